#!/usr/bin/env python3
"""greeter: the greeter bot in Python, in the blocking style.

It connects to a universe, logs in, lists the worlds, enters one, publishes
its position, greets every avatar that arrives by name, answers "!time" with
the time, accepts invitations, and reports the objects it sees being built.
It stays up: the library makes a lost connection again and enters the world
again, and the greeter says so.

    KIVSDK_LIBRARY=build/src/libKIVSDK.so PYTHONPATH=bindings/python \\
        python3 bindings/python/examples/greeter.py --port 6670 --world lobby --seconds 60
"""
import argparse
import sys
import time

import kivsdk
from kivsdk import Callback, Event, Side


class Greeter:
    def __init__(self, name="greeter", instance=None, out=print, liveness=kivsdk.LIVENESS_DEFAULT):
        self.name = name
        self.out = out
        self.bot = instance or kivsdk.Instance()
        self.world = None
        self.gave_up = False
        self.list_done = False
        self.greeted = 0
        self.present = 0
        bot = self.bot
        bot.on_event(Event.WORLD_LIST, self.on_world)
        bot.on_callback(Callback.WORLD_LIST, self.on_world_list_done)
        bot.on_event(Event.AVATAR_ADD, self.on_avatar_add)
        bot.on_event(Event.AVATAR_DELETE, self.on_avatar_delete)
        bot.on_event(Event.CHAT, self.on_chat)
        bot.on_event(Event.OBJECT, self.on_object)
        bot.on_event(Event.INVITE, self.on_invite)
        bot.on_event(Event.TERRAIN_NODE_CHANGED, self.on_terrain_changed)
        bot.on_event(Event.UNIVERSE_DISCONNECT, self.on_disconnect)
        bot.on_event(Event.WORLD_DISCONNECT, self.on_disconnect)
        bot.on_event(Event.RECONNECTING, self.on_reconnecting)
        bot.on_event(Event.RECONNECTED, self.on_reconnected)
        bot.on_event(Event.GAVE_UP, self.on_gave_up)
        bot.reconnect()          # stay up
        bot.liveness(liveness)   # stay up

    def log(self, text):
        self.out(f"[{self.name}] {text}")

    def say(self, text):
        self.bot.say(text)
        self.log(f"says: {text}")

    # ---- handlers: strings are emptied when they return, so read them here
    def on_world(self, bot):
        tls = ", over TLS" if bot.world_state & 2 else ""
        self.log(f'world "{bot.world_name}" with {bot.world_value} user(s){tls}')

    def on_world_list_done(self, bot, rc, reference):
        if rc != kivsdk.ReturnCode.SUCCESS:
            self.log(f"world list failed: {int(rc)}")
        self.list_done = True

    def on_avatar_add(self, bot):
        self.log(f"{bot.avatar_name} arrives (session {bot.avatar_session})")
        self.say(f"Hello, {bot.avatar_name}! Say !time and I'll tell you the time.")
        self.greeted += 1
        self.present += 1

    def on_avatar_delete(self, bot):
        self.log(f"{bot.avatar_name} leaves")
        self.present -= 1

    def on_chat(self, bot):
        self.log(f"hears {bot.avatar_name}: {bot.chat_message}")
        if bot.chat_message == "!time":
            self.say(time.strftime("It is %H:%M:%S UTC.", time.gmtime()))

    def on_object(self, bot):
        self.log(f'sees object {bot.object_id} "{bot.object_string_1}" appear at '
                 f"({bot.object_x:.1f}, {bot.object_z:.1f})")

    def on_invite(self, bot):
        self.log(f'{bot.invite_name} invites me to "{bot.invite_world}" at '
                 f"({bot.invite_x:.1f}, {bot.invite_z:.1f}): accepted")
        bot.invite_accept(bot.invite_id)

    def on_terrain_changed(self, bot):
        self.log(f"sees terrain node ({bot.terrain_node_x}, {bot.terrain_node_z}) of tile "
                 f"({bot.terrain_tile_x}, {bot.terrain_tile_z}) change")

    def on_disconnect(self, bot):
        self.log(f"lost the connection (reason {bot.disconnect_reason}: {bot.disconnect_text})")
        if bot.current_event == Event.WORLD_DISCONNECT:
            self.present = 0   # entering again adds everyone present anew

    @staticmethod
    def side_name(bot):
        return "the world" if bot.disconnect_side == Side.WORLD else "the universe"

    def on_reconnecting(self, bot):
        self.log(f"reconnecting {self.side_name(bot)} in {bot.reconnect_delay} ms "
                 f"(attempt {bot.reconnect_attempt}): {bot.disconnect_text}")

    def on_reconnected(self, bot):
        self.log(f'back in "{self.world}"' if bot.disconnect_side == Side.WORLD
                 else "back in the universe")

    def on_gave_up(self, bot):
        self.log(f"gave up on {self.side_name(bot)} after {bot.reconnect_attempt} attempt(s): "
                 f"{bot.disconnect_text}")
        self.gave_up = True

    # ---- the run -----------------------------------------------------------
    def start(self, host, port, password, world):
        """Connect, log in and enter block until their answer is in; each
        raises kivsdk.KIVError with the code when it fails."""
        bot = self.bot
        bot.connect_universe(host, port)
        bot.login(self.name, password, "")
        self.log(f"logged in as user {bot.login_reply_value}: {bot.login_reply_string}")
        # The world list has no blocking form: wait for its callback.
        bot.world_list(0)
        bot.wait_until(lambda: self.list_done, 10)
        bot.enter(world)
        self.world = world
        self.log(f'entered "{world}"')
        bot.my_x, bot.my_z, bot.my_yaw = 5.0, 5.0, 180.0
        bot.state_change()

    def serve(self, seconds, once=False):
        """Serves until the time is up, the library gave up reconnecting, or
        (with once) everyone it greeted has left."""
        def done():
            alone = (once and self.greeted > 0 and self.present == 0
                     and self.bot.state(Side.WORLD) == kivsdk.State.READY)
            return self.gave_up or alone
        self.bot.wait_until(done, seconds)
        self.log("leaving")


def main(argv=None):
    parser = argparse.ArgumentParser(description="The greeter bot.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True, help="universe port")
    parser.add_argument("--name", default="greeter")
    parser.add_argument("--password", default="sandbox")
    parser.add_argument("--world", default="lobby")
    parser.add_argument("--seconds", type=float, default=30.0, help="how long to stay")
    parser.add_argument("--once", action="store_true",
                        help="leave as soon as everyone it greeted has left")
    parser.add_argument("--liveness", type=int, default=kivsdk.LIVENESS_DEFAULT,
                        help="seconds of silence after which a server is lost (0: off)")
    options = parser.parse_args(argv)
    kivsdk.init()
    greeter = Greeter(options.name, out=lambda line: print(line, flush=True),
                      liveness=options.liveness)
    try:
        greeter.start(options.host, options.port, options.password, options.world)
        greeter.serve(options.seconds, options.once)
        if greeter.gave_up:
            return 1
    except kivsdk.KIVError as error:
        print(f"[{options.name}] {error.operation} failed: return code {int(error.code)}",
              file=sys.stderr)
        return 1
    finally:
        greeter.bot.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

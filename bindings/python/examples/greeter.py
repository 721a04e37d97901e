#!/usr/bin/env python3
"""A greeter bot: enters a world, shows itself, and greets every avatar that
appears and every chat line that says hello.

    KIVSDK_LIBRARY=build/src/libKIVSDK.so PYTHONPATH=bindings/python \
        python3 bindings/python/examples/greeter.py --port 6670 --world lobby
"""
import argparse
import sys

import kivsdk
from kivsdk import Event


class Greeter:
    def __init__(self, name="Greeter", instance=None):
        self.name = name
        self.bot = instance or kivsdk.Instance()
        self.greeted = []
        self.bot.on_event(Event.AVATAR_ADD, self.on_avatar_add)
        self.bot.on_event(Event.CHAT, self.on_chat)
        self.bot.on_event(Event.WORLD_DISCONNECT, self.on_world_disconnect)
        self.lost = False

    def start(self, host, port, password, world):
        # Blocking style: each call returns once its answer is in, or raises
        # KIVError with the code.
        self.bot.connect_universe(host, port)
        self.bot.login(self.name, password, "")
        self.bot.enter(world)
        self.bot.my_x, self.bot.my_y, self.bot.my_z = 0.0, 0.0, 0.0
        self.bot.state_change()   # others see an avatar once it has a position

    def greet(self, who):
        self.greeted.append(who)
        self.bot.say(f"Hello, {who}!")

    def on_avatar_add(self, bot):
        print(f"{bot.avatar_name} arrived (session {bot.avatar_session})")
        self.greet(bot.avatar_name)

    def on_chat(self, bot):
        # The strings are emptied when the handler returns: read them here.
        print(f"{bot.avatar_name}: {bot.chat_message}")
        if "hello" in bot.chat_message.lower():
            self.greet(bot.avatar_name)

    def on_world_disconnect(self, bot):
        print(f"world connection lost (reason {bot.disconnect_reason})")
        self.lost = True

    def serve(self, seconds):
        self.bot.wait_until(lambda: self.lost, seconds)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True, help="universe port")
    parser.add_argument("--name", default="Greeter")
    parser.add_argument("--password", default="")
    parser.add_argument("--world", default="lobby")
    parser.add_argument("--seconds", type=float, default=60.0, help="how long to serve")
    options = parser.parse_args(argv)
    kivsdk.init()
    greeter = Greeter(options.name)
    try:
        greeter.start(options.host, options.port, options.password, options.world)
        print(f"{options.name} is in {options.world}")
        greeter.serve(options.seconds)
    except kivsdk.KIVError as error:
        print(f"greeter: {error}", file=sys.stderr)
        return 1
    finally:
        greeter.bot.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

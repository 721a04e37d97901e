#!/usr/bin/env python3
"""aio_bot: a greeter written with kivsdk.aio, served by asyncio.

It connects, logs in, enters a world and stands there; it greets every
avatar that arrives by name, answers "!time" with the time and "!build" by
placing a box in front of itself (an awaited request: the events keep
coming while it waits for the answer), and says goodbye when it leaves.

    KIVSDK_LIBRARY=build/src/libKIVSDK.so PYTHONPATH=bindings/python \\
        python3 bindings/python/examples/aio_bot.py --port 6670 --world lobby --seconds 60
"""
import argparse
import asyncio
import sys
import time

import kivsdk
from kivsdk import Event, aio


class AioBot:
    def __init__(self, bot, name="aiobot", out=print):
        self.bot = bot
        self.name = name
        self.out = out
        self.greeted = []
        self.built = []
        self.tasks = set()

    def log(self, text):
        self.out(f"[{self.name}] {text}")

    def say(self, text):
        self.bot.say(text)
        self.log(f"says: {text}")

    async def start(self, host, port, password, world):
        """Each step raises kivsdk.KIVError with the code when it fails."""
        bot = self.bot
        await bot.connect_universe(host, port)
        login = await bot.login(self.name, password)
        self.log(f"logged in as user {login.login_reply_value}: {login.login_reply_string}")
        await bot.enter(world)
        self.log(f'entered "{world}"')
        bot.state_change(my_x=5.0, my_z=5.0, my_yaw=180.0)

    async def serve(self, events):
        """Answers the events until the stream ends (the bot is closed)."""
        async for event in events:
            if event.event is Event.AVATAR_ADD:
                self.log(f"{event.avatar_name} arrives (session {event.avatar_session})")
                self.say(f"Hello, {event.avatar_name}! Say !time or !build.")
                self.greeted.append(event.avatar_name)
            elif event.event is Event.AVATAR_DELETE:
                self.log(f"{event.avatar_name} leaves")
            elif event.event is Event.CHAT:
                self.log(f"hears {event.avatar_name}: {event.chat_message}")
                if event.chat_message == "!time":
                    self.say(time.strftime("It is %H:%M:%S UTC.", time.gmtime()))
                elif event.chat_message == "!build":
                    # A task of its own: the next events are read meanwhile.
                    task = asyncio.ensure_future(self.build(event.avatar_name))
                    self.tasks.add(task)
                    task.add_done_callback(self.tasks.discard)

    async def build(self, for_whom):
        try:
            added = await self.bot.object_add(object_string_1="box.rwx", object_x=5.0,
                                              object_y=0.0, object_z=7.0)
        except kivsdk.KIVError as error:
            if not self.bot.closed:
                self.say(f"Sorry {for_whom}, I could not build: {error}")
            return
        self.built.append(added.object_id)
        self.say(f"Built object {added.object_id} for {for_whom}.")


async def run(host, port, name, password, world, seconds, out=print, loop=None):
    """The whole run: returns the AioBot once the time is up."""
    async with aio.Bot(loop) as bot:
        greeter = AioBot(bot, name, out)
        events = bot.events(Event.AVATAR_ADD, Event.AVATAR_DELETE, Event.CHAT)
        await greeter.start(host, port, password, world)
        serving = asyncio.ensure_future(greeter.serve(events))
        await asyncio.sleep(seconds)
        greeter.say("Goodbye!")
        greeter.log("leaving")
    await serving  # ends with the bot
    await asyncio.gather(*greeter.tasks)  # a build still waiting ends with Closed
    return greeter


def main(argv=None):
    parser = argparse.ArgumentParser(description="The asyncio greeter bot.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True, help="universe port")
    parser.add_argument("--name", default="aiobot")
    parser.add_argument("--password", default="sandbox")
    parser.add_argument("--world", default="lobby")
    parser.add_argument("--seconds", type=float, default=30.0, help="how long to stay")
    options = parser.parse_args(argv)
    kivsdk.init()
    try:
        asyncio.run(run(options.host, options.port, options.name, options.password,
                        options.world, options.seconds, out=lambda line: print(line, flush=True)))
    except kivsdk.KIVError as error:
        print(f"[{options.name}] {error.operation} failed: return code {int(error.code)}",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

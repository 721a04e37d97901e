"""The asyncio greeter (aio_bot.py beside this file), tested with pytest
against the kit in this process."""
import asyncio
import re

import kivsdk
from kivsdk import aio
from aio_bot import AioBot

pytest_plugins = ["kivsdk.testing"]  # the `sandbox` fixture: worlds "lobby" and "garden"


def test_aio_bot_greets_tells_the_time_and_builds(sandbox):
    kivsdk.init()

    def said():  # the bot's chat lines, as the kit decoded them
        return [line for line in sandbox.sent("aiobot", "lobby") if line.startswith("say ")]

    async def until(condition):
        for _ in range(250):
            if condition():
                return True
            await asyncio.sleep(0.02)
        return False

    async def scene():
        async with aio.Bot() as bot:
            sandbox.trust(bot.instance)  # kiv_trust_set with the kit's CAs
            greeter = AioBot(bot, out=lambda line: None)
            serving = asyncio.ensure_future(greeter.serve(bot.events()))
            await greeter.start("127.0.0.1", sandbox.universe_port, "secret", "lobby")
            sandbox.actor_enter("ann", "lobby")
            assert await until(lambda: len(said()) == 1)
            sandbox.actor_say("ann", "!time")
            assert await until(lambda: len(said()) == 2)
            sandbox.actor_say("ann", "!build")
            assert await until(lambda: len(said()) == 3)
        await serving
        return greeter, said()

    greeter, lines = asyncio.run(scene())
    assert greeter.greeted == ["ann"]
    assert lines[0] == 'say text="Hello, ann! Say !time or !build."'
    assert re.fullmatch(r'say text="It is \d\d:\d\d:\d\d UTC\."', lines[1])
    assert lines[2] == f'say text="Built object {greeter.built[0]} for ann."'
    placed = [o for o in sandbox.world_state("lobby").objects if o.id == greeter.built[0]]
    assert [(o.model, o.x, o.z) for o in placed] == [("box.rwx", 5.0, 7.0)]

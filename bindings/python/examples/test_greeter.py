"""The greeter (greeter.py beside this file), tested with pytest against the
kit in this process."""
import re

import kivsdk
from greeter import Greeter

pytest_plugins = ["kivsdk.testing"]  # the `sandbox` fixture: worlds "lobby" and "garden"


def test_greeter_welcomes_an_arrival_and_tells_the_time(sandbox):
    kivsdk.init()
    greeter = Greeter(out=lambda line: None)
    try:
        sandbox.trust(greeter.bot)  # kiv_trust_set with the kit's CAs
        greeter.start("127.0.0.1", sandbox.universe_port, "secret", "lobby")
        sandbox.actor_enter("ann", "lobby")
        sandbox.actor_say("ann", "!time")

        def said():  # the bot's chat lines, as the kit decoded them
            return [line for line in sandbox.sent("greeter", "lobby") if line.startswith("say ")]

        assert greeter.bot.wait_until(lambda: len(said()) == 2, 5, slice_ms=20)
        assert said()[0] == "say text=\"Hello, ann! Say !time and I'll tell you the time.\""
        assert re.fullmatch(r'say text="It is \d\d:\d\d:\d\d UTC\."', said()[1])
    finally:
        greeter.bot.close()

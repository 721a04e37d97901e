"""The pytest fixture of kivsdk.testing: a kit per test, stopped after it.
Runs under the interpreter that has pytest (Debian's /usr/bin/python3)."""
import kivsdk
from kivsdk import Event
from kivsdk.testing import sandbox  # noqa: F401  (the fixture)


def test_the_fixture_serves_a_bot_that_sees_an_actor(sandbox):  # noqa: F811
    bot = kivsdk.Instance()
    try:
        arrived = []
        bot.on_event(Event.AVATAR_ADD, lambda b: arrived.append(b.avatar_name))
        sandbox.trust(bot)
        bot.connect_universe("127.0.0.1", sandbox.universe_port)
        bot.login("fixturebot", "", "")
        bot.enter("lobby")
        sandbox.actor_enter("ann", "lobby")
        assert bot.wait_until(lambda: arrived, 5, slice_ms=20)
        assert arrived == ["ann"]
        assert sandbox.sent("fixturebot", "universe")[0].startswith("login ")
    finally:
        bot.close()

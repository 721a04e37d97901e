"""kivsdk.aio: the tables of what each message writes, Bots served by an
asyncio loop against the sandbox server (requests, events, refusals,
closing), the passes the loop runs, and the asyncio example."""
import asyncio
import os
import re
import socket
import subprocess
import sys
import unittest

import kivsdk
from kivsdk import (DataAttribute, Event, FloatAttribute, IntAttribute, KIVError, ReturnCode,
                    StringAttribute, aio)

from . import support

EXAMPLES = os.path.join(support.HERE, "..", "examples")
ATTRIBUTE_KINDS = (IntAttribute, FloatAttribute, StringAttribute, DataAttribute)


def run(coroutine, seconds=30):
    """Runs a test's coroutine on a fresh asyncio loop, bounded in time."""
    return asyncio.run(asyncio.wait_for(coroutine, seconds))


async def until(condition, seconds=10):
    for _ in range(int(seconds / 0.01)):
        if condition():
            return True
        await asyncio.sleep(0.01)
    return False


class CountedPasses:
    """Counts the calls of kiv_loop_wait, whoever makes them."""

    def __init__(self):
        self.calls = 0
        self._lib = kivsdk.library()
        self._original = self._lib.kiv_loop_wait

    def __enter__(self):
        def counting(handle, milliseconds):
            self.calls += 1
            return self._original(handle, milliseconds)
        self._lib.kiv_loop_wait = counting
        return self

    def __exit__(self, *exc):
        self._lib.kiv_loop_wait = self._original
        return False


class TablesTest(unittest.TestCase):
    def header_names(self, prefix):
        return set(re.findall(r"\b%s(\w+)\s*=" % prefix, support.header_text()))

    def test_every_event_and_callback_of_the_header_has_an_entry(self):
        self.assertEqual({event.name for event in aio.EVENT_WRITES},
                         self.header_names("KIV_EVENT_"))
        self.assertEqual({callback.name for callback in aio.CALLBACK_WRITES},
                         self.header_names("KIV_CALLBACK_"))

    def test_entries_name_attributes_once_each(self):
        tables = list(aio.EVENT_WRITES.items()) + list(aio.CALLBACK_WRITES.items())
        tables.append(("console line", aio.CONSOLE_LINE_WRITES))
        for owner, attributes in tables:
            with self.subTest(owner=owner):
                for attribute in attributes:
                    self.assertIsInstance(attribute, ATTRIBUTE_KINDS)
                names = [attribute.name for attribute in attributes]
                self.assertEqual(len(names), len(set(names)))
        for callback, event in aio.CALLBACK_ENTRIES.items():
            self.assertIn(event, aio.EVENT_WRITES, callback)

    def test_a_snapshot_gives_what_its_message_wrote_and_nothing_else(self):
        data = aio.EventData(Event.CHAT, None, {"avatar_session": 3, "avatar_name": "ann"})
        self.assertEqual((data.avatar_session, data.avatar_name), (3, "ann"))
        self.assertEqual(data[StringAttribute.AVATAR_NAME], "ann")   # same number as the session
        self.assertEqual(data[IntAttribute.AVATAR_SESSION], 3)
        with self.assertRaisesRegex(AttributeError, "CHAT does not write object_id"):
            data.object_id
        with self.assertRaises(AttributeError):
            data.no_such_attribute


class WithoutDescriptorTest(unittest.TestCase):
    def test_a_loop_without_a_descriptor_is_refused_clearly(self):
        class NoDescriptor(kivsdk.Loop):
            def fileno(self):
                return -1   # as off Linux

        loop = NoDescriptor()
        self.addCleanup(loop.close)

        async def make():
            aio.Bot(loop)
        with self.assertRaisesRegex(NotImplementedError, "Linux only"):
            run(make())
        self.assertEqual(len(loop._members), 0)   # no Instance was left on it


class SandboxTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sandbox = support.Sandbox("--password", "secret")
        cls.port = cls.sandbox.universe_port

    @classmethod
    def tearDownClass(cls):
        cls.sandbox.close()

    async def entered(self, bot, name, world="lobby"):
        await bot.connect_universe("127.0.0.1", self.port)
        await bot.login(name, "secret")
        return await bot.enter(world)

    def test_two_bots_on_one_loop_talk_and_build(self):
        async def scene():
            with kivsdk.Loop() as loop:
                async with aio.Bot(loop) as talker, aio.Bot(loop) as listener:
                    heard = listener.events(Event.CHAT)
                    connected = await talker.connect_universe("127.0.0.1", self.port)
                    self.assertIs(connected.rc, ReturnCode.SUCCESS)
                    self.assertEqual(connected.reference, 0)
                    login = await talker.login("Talker", "secret")
                    self.assertIn("Talker", login.login_reply_string)
                    await talker.enter("lobby")
                    await self.entered(listener, "Listener")

                    worlds = await talker.world_list()
                    self.assertEqual({entry.world_name for entry in worlds.entries},
                                     {"lobby", "garden"})

                    talker.say("hello, listener")
                    line = await heard.__anext__()
                    self.assertEqual((line.avatar_name, line.chat_message, line.chat_type),
                                     ("Talker", "hello, listener", 0))
                    self.assertEqual(listener.instance.chat_message, "")   # emptied after
                    self.assertIs(line.bot, listener)

                    first, second = await asyncio.gather(
                        talker.object_add(object_string_1="box.rwx", object_x=1.0),
                        talker.object_add(object_string_1="cone.rwx", object_x=2.0))
                    self.assertNotEqual(first.reference, second.reference)
                    self.assertNotEqual(first.object_id, second.object_id)
                    record = await listener.object_get(second.object_id)
                    self.assertEqual((record.object_id, record.object_string_1, record.object_x),
                                     (second.object_id, "cone.rwx", 2.0))
                    self.assertEqual(talker._driver, listener._driver)   # one reader, one timer
        run(scene())

    def test_a_failed_request_raises_its_code(self):
        async def scene():
            async with aio.Bot() as bot:
                with self.assertRaises(KIVError) as caught:
                    await bot.object_add()   # refused by the call itself
                self.assertIs(caught.exception.code, ReturnCode.NOT_IN_WORLD)
                await bot.connect_universe("127.0.0.1", self.port)
                with self.assertRaises(KIVError) as caught:
                    await bot.login("Failer", "wrong")   # refused by the server
                self.assertIs(caught.exception.code, ReturnCode.LOGIN_REFUSED)
                self.assertIs(caught.exception.result.rc, ReturnCode.LOGIN_REFUSED)
                with self.assertRaises(KIVError) as caught:
                    await self.entered(bot, "Failer", world="no such world")
                self.assertIs(caught.exception.code, ReturnCode.WORLD_UNAVAILABLE)
                await bot.enter("garden")   # the TLS world
                await bot.object_add(object_string_1="after.rwx")
        run(scene())

    def test_a_second_login_while_one_waits_is_refused(self):
        async def scene():
            async with aio.Bot() as bot:
                await bot.connect_universe("127.0.0.1", self.port)
                first = asyncio.ensure_future(bot.login("Twice", "secret"))
                await asyncio.sleep(0)   # the first is sent, its answer not read yet
                with self.assertRaisesRegex(RuntimeError, "another login"):
                    await bot.login("Twice", "secret")
                self.assertIs((await first).rc, ReturnCode.SUCCESS)
                await bot.enter("lobby")   # another kind is no concern of the refusal
        run(scene())

    def test_events_wait_in_order_for_a_slow_reader(self):
        async def scene():
            with kivsdk.Loop() as loop:
                async with aio.Bot(loop) as talker, aio.Bot(loop) as listener:
                    await self.entered(talker, "Chatty")
                    await self.entered(listener, "Patient")
                    chat = listener.events(Event.CHAT)
                    arrivals = listener.events(Event.AVATAR_ADD)
                    lines = [f"line {n}" for n in range(30)]
                    for line in lines[:15]:
                        talker.say(line)
                    self.assertTrue(await until(lambda: len(chat) == 15))   # nobody reads yet
                    got = []
                    async for event in chat:
                        got.append(event.chat_message)
                        if len(got) == 15:
                            for line in lines[15:]:
                                talker.say(line)
                        await asyncio.sleep(0.01)   # passes run while the reader is busy
                        if len(got) == len(lines):
                            break
                    self.assertEqual(got, lines)
                    self.assertEqual(len(arrivals), 0)   # chat is not an arrival
        run(scene())

    def test_closing_ends_waiting_requests_and_streams(self):
        async def scene():
            async with aio.Bot() as bot:
                await self.entered(bot, "Closer")
                everything = bot.events()
                read = []

                async def reader():
                    async for event in everything:
                        read.append(event.event)
                reading = asyncio.ensure_future(reader())
                bot.say("one for the road")
                adding = asyncio.ensure_future(bot.object_add(object_string_1="late.rwx"))
                await asyncio.sleep(0)   # sent; its answer needs a pass
                bot.close()
                with self.assertRaises(aio.Closed) as caught:
                    await adding
                self.assertIsInstance(caught.exception, KIVError)
                self.assertIs(caught.exception.code, ReturnCode.CONNECTION_ERROR)
                await asyncio.wait_for(reading, 5)   # the stream ended
                with self.assertRaises(ValueError):
                    await bot.enter("lobby")
                bot.close()
        run(scene())

    def test_idle_bots_run_no_pass_until_a_timer_is_due(self):
        async def scene():
            with kivsdk.Loop() as loop:
                async with aio.Bot(loop) as first, aio.Bot(loop) as second:
                    await self.entered(first, "Idle1")
                    await self.entered(second, "Idle2")
                    for _ in range(25):   # what follows the entries is served
                        with CountedPasses() as settling:
                            await asyncio.sleep(0.2)
                        if settling.calls == 0:
                            break
                    self.assertGreater(loop.next_ms(), 2000, "only keep-alives, far off")
                    with CountedPasses() as counted:
                        await asyncio.sleep(1.0)
                    self.assertEqual(counted.calls, 0)
        run(scene())

    def test_a_due_timer_runs_one_pass_against_a_silent_server(self):
        silent = socket.socket()
        self.addCleanup(silent.close)
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)   # accepts the connection, never answers

        async def scene():
            async with aio.Bot() as bot:
                bot.liveness(30)      # puts callback-style requests under time limits
                bot.limits(connect=1)
                driver = bot._driver
                with CountedPasses() as counted:
                    with self.assertRaises(KIVError) as caught:
                        await bot.connect_universe("127.0.0.1", silent.getsockname()[1])
                self.assertIs(caught.exception.code, ReturnCode.TIMEOUT)
                # The connect's readiness, then the time limit's timer: a
                # loop that spun would have run thousands.
                self.assertEqual(counted.calls, driver.reader_passes + driver.timer_passes)
                self.assertLessEqual(driver.reader_passes, 2)
                self.assertIn(driver.timer_passes, (1, 2))
        run(scene(), seconds=10)

    def test_example_program_runs_and_stops_by_itself(self):
        def program(*arguments):
            return subprocess.run(
                [sys.executable, os.path.join(EXAMPLES, "aio_bot.py"), "--port", str(self.port),
                 "--seconds", "0.3", *arguments], capture_output=True, text=True, timeout=60,
                env=dict(os.environ, PYTHONPATH=os.path.join(support.HERE, "..")))
        result = program("--password", "secret", "--world", "garden")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn('[aiobot] entered "garden"', result.stdout)
        self.assertIn("[aiobot] leaving", result.stdout)
        failed = program("--password", "wrong")
        self.assertEqual(failed.returncode, 1)
        self.assertIn("login failed: return code 5", failed.stderr)


@unittest.skipUnless(os.environ.get("KIVSDK_TESTKIT_LIBRARY"), "needs the test kit")
class SnapshotTest(unittest.TestCase):
    """Events caused by the kit's actors: each snapshot holds what the actor
    did, strings included, though the library empties them after the
    handler."""

    def test_snapshots_hold_what_the_actors_did(self):
        from kivsdk.testing import Sandbox

        async def scene(kit):
            async with aio.Bot() as bot:
                kit.trust(bot.instance)
                events = bot.events()
                await bot.connect_universe("127.0.0.1", kit.universe_port)
                await bot.login("watcher", "secret")
                await bot.enter("lobby")
                session = kit.world_state("lobby").avatar("watcher").session

                kit.actor_enter("ann", "lobby", 1.0, 0.0, 2.0)
                kit.actor_move("ann", 3.0, 0.0, 4.0)
                kit.actor_say("ann", "hi there")
                kit.actor_console("ann", session, "console words")
                tree = kit.actor_object_add("ann", "tree.rwx", 5.0, 0.0, 6.0, "a tree", "act")
                kit.actor_object_change("ann", tree, "oak.rwx", 5.0, 0.0, 6.0)
                kit.actor_click_object("ann", tree)
                kit.actor_url("ann", session, "https://example.invalid/page")
                kit.actor_setting("ann", "welcome", "be nice")
                kit.actor_teleport("ann", session, "garden", 7.0, 0.0, 8.0)
                kit.actor_leave("ann")

                seen = {}
                async for event in events:
                    seen.setdefault(event.event, []).append(event)
                    if event.event is Event.AVATAR_DELETE:
                        break
                return seen

        with Sandbox("--world", "lobby", "--world", "garden:tls") as kit:
            seen = run(scene(kit))
        arrival = seen[Event.AVATAR_ADD][-1]
        self.assertEqual((arrival.avatar_name, arrival.avatar_x, arrival.avatar_z),
                         ("ann", 1.0, 2.0))
        self.assertEqual(seen[Event.AVATAR_CHANGE][-1].avatar_x, 3.0)
        chat, console = seen[Event.CHAT]
        self.assertEqual((chat.avatar_name, chat.chat_message), ("ann", "hi there"))
        self.assertNotIn(IntAttribute.CHAT_EFFECTS, chat)
        self.assertEqual((console.chat_type, console.chat_message), (1, "console words"))
        self.assertIn(IntAttribute.CHAT_COLOR_RED, console)
        built = seen[Event.OBJECT][-1]
        self.assertEqual((built.object_string_1, built.object_string_2, built.object_string_3,
                          built.object_x), ("tree.rwx", "a tree", "act", 5.0))
        self.assertEqual(seen[Event.OBJECT_CHANGE][-1].object_string_1, "oak.rwx")
        clicked = seen[Event.OBJECT_CLICK][-1]
        self.assertEqual((clicked.avatar_name, clicked.object_id), ("ann", built.object_id))
        self.assertEqual(seen[Event.URL][-1].url, "https://example.invalid/page")
        setting = seen[Event.WORLD_SETTING][-1]
        self.assertEqual((setting.world_setting_name, setting.world_setting_value),
                         ("welcome", "be nice"))
        teleport = seen[Event.TELEPORT][-1]
        self.assertEqual((teleport.teleport_world, teleport.teleport_x), ("garden", 7.0))
        self.assertEqual(seen[Event.AVATAR_DELETE][-1].avatar_name, "ann")


if __name__ == "__main__":
    unittest.main()

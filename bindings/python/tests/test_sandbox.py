"""The binding against the sandbox server: both request styles, events and
callbacks with real messages, and the greeter example."""
import os
import subprocess
import sys
import unittest

import kivsdk
from kivsdk import Callback, Event, KIVError, ReturnCode

from . import support

EXAMPLES = os.path.join(support.HERE, "..", "examples")
sys.path.insert(0, EXAMPLES)
import greeter  # noqa: E402


def pump(instances, condition, seconds=10):
    """Serves every Instance in turn until condition() holds."""
    first, others = instances[0], instances[1:]

    def step():
        for other in others:
            other.wait(0)
        return condition()
    return first.wait_until(step, seconds, slice_ms=20)


class SandboxTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sandbox = support.Sandbox("--password", "secret")
        cls.port = cls.sandbox.universe_port

    @classmethod
    def tearDownClass(cls):
        cls.sandbox.close()

    def instance(self):
        bot = kivsdk.Instance()
        self.addCleanup(bot.close)
        return bot

    def entered(self, name, world="lobby"):
        bot = self.instance()
        bot.connect_universe("127.0.0.1", self.port)
        bot.login(name, "secret", "")
        bot.enter(world)
        return bot

    def test_blocking_requests_return_or_raise_the_code(self):
        bot = self.instance()
        bot.connect_universe("127.0.0.1", self.port)
        with self.assertRaises(KIVError) as caught:
            bot.login("Blocker", "wrong", "")
        self.assertIs(caught.exception.code, ReturnCode.LOGIN_REFUSED)
        bot.login("Blocker", "secret", "")
        self.assertIn("Blocker", bot.login_reply_string)
        with self.assertRaises(KIVError) as caught:
            bot.enter("no such world")
        self.assertIs(caught.exception.code, ReturnCode.WORLD_UNAVAILABLE)
        bot.enter("garden")   # the TLS world
        bot.say("made it")

    def test_callback_style_requests_answer_through_their_handlers(self):
        bot = self.instance()
        answers = []
        for callback in (Callback.CONNECT_UNIVERSE, Callback.LOGIN, Callback.ENTER):
            bot.on_callback(callback, lambda b, rc, ref, c=callback: answers.append((c, rc, ref)))
        bot.connect_universe("127.0.0.1", self.port)   # returns at once
        self.assertTrue(bot.wait_until(lambda: answers, 10))
        bot.login("Caller", "secret", "")
        self.assertTrue(bot.wait_until(lambda: len(answers) == 2, 10))
        bot.enter("lobby")
        self.assertTrue(bot.wait_until(lambda: len(answers) == 3, 10))
        self.assertEqual(answers, [(Callback.CONNECT_UNIVERSE, ReturnCode.SUCCESS, 0),
                                   (Callback.LOGIN, ReturnCode.SUCCESS, 0),
                                   (Callback.ENTER, ReturnCode.SUCCESS, 0)])

    def test_object_add_hands_back_the_reference_number_and_the_new_id(self):
        bot = self.entered("Builder")
        results = []

        @bot.callback(Callback.OBJECT_ADD)
        def added(b, rc, reference):
            results.append((rc, reference, b.object_id))

        for reference in (41, 42):
            bot.reference_number = reference
            bot.object_string_1 = f"box{reference}.rwx"
            bot.object_x = reference * 1.0
            bot.object_add()
        self.assertTrue(bot.wait_until(lambda: len(results) == 2, 10))
        self.assertEqual([(rc, ref) for rc, ref, _ in results],
                         [(ReturnCode.SUCCESS, 41), (ReturnCode.SUCCESS, 42)])
        ids = [object_id for _, _, object_id in results]
        self.assertEqual(len(set(ids)), 2, ids)

    def test_chat_strings_are_read_in_the_handler_and_emptied_after(self):
        listener = self.entered("Listener")
        talker = self.entered("Talker")
        lines = []
        listener.on_event(Event.CHAT,
                          lambda b: lines.append((b.avatar_name, b.chat_message, b.avatar_session)))
        talker.say("hello, listener")
        self.assertTrue(pump([listener, talker], lambda: lines))
        name, text, session = lines[0]
        self.assertEqual((name, text), ("Talker", "hello, listener"))
        self.assertEqual(listener.chat_message, "")
        self.assertEqual(listener.avatar_session, session)   # numbers stay

    def test_an_exception_in_a_real_event_handler_comes_out_of_wait(self):
        listener = self.entered("Raiser")
        talker = self.entered("Provoker")

        @listener.event(Event.CHAT)
        def on_chat(bot):
            raise RuntimeError(f"handler saw {bot.chat_message!r}")

        talker.say("boom")
        talker.wait(0)
        with self.assertRaisesRegex(RuntimeError, "handler saw 'boom'"):
            listener.wait_until(lambda: False, 10, slice_ms=20)

    def test_greeter_example_greets_answers_and_leaves_once_alone(self):
        lines = []
        bot = greeter.Greeter("greeter", self.instance(), out=lines.append)
        bot.start("127.0.0.1", self.port, "secret", "lobby")
        self.assertTrue(any('world "garden"' in line and "over TLS" in line for line in lines),
                        lines)
        visitor = self.entered("Visitor")
        heard = []
        visitor.on_event(Event.CHAT, lambda b: heard.append((b.avatar_name, b.chat_message)))
        visitor.state_change()
        self.assertTrue(pump([visitor, bot.bot], lambda: heard))
        self.assertEqual(heard[0],
                         ("greeter", "Hello, Visitor! Say !time and I'll tell you the time."))
        visitor.say("!time")
        self.assertTrue(pump([visitor, bot.bot], lambda: len(heard) == 2))
        self.assertRegex(heard[1][1], r"^It is \d\d:\d\d:\d\d UTC\.$")

        visitor.object_string_1 = "tree.rwx"
        visitor.object_x, visitor.object_z = 3.0, 4.0
        visitor.object_add()
        self.assertTrue(pump([bot.bot, visitor],
                             lambda: any('"tree.rwx" appear at (3.0, 4.0)' in l for l in lines)))
        # --once: the greeter leaves when everyone it greeted has gone.
        visitor.close()
        bot.serve(10, once=True)
        self.assertEqual((bot.greeted, bot.present), (1, 0))
        self.assertIn("[greeter] Visitor leaves", lines)

    def run_greeter(self, *arguments):
        return subprocess.run(
            [sys.executable, os.path.join(EXAMPLES, "greeter.py"), "--port", str(self.port),
             "--seconds", "0.5", *arguments],
            capture_output=True, text=True, timeout=60,
            env=dict(os.environ, PYTHONPATH=os.path.join(support.HERE, "..")))

    def test_greeter_program_runs_and_stops_by_itself(self):
        result = self.run_greeter("--password", "secret", "--world", "garden")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn('[greeter] entered "garden"', result.stdout)
        self.assertIn("[greeter] leaving", result.stdout)
        failed = self.run_greeter("--password", "wrong")
        self.assertEqual(failed.returncode, 1)
        self.assertIn("login failed: return code 5", failed.stderr)

class SharedLoopTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sandbox = support.Sandbox()
        cls.port = cls.sandbox.universe_port

    @classmethod
    def tearDownClass(cls):
        cls.sandbox.close()

    def test_one_loop_serves_its_instances_and_goes_after_them(self):
        loop = kivsdk.Loop()
        entered, heard = {}, []
        bots = [loop.instance() for _ in range(3)]
        for index, bot in enumerate(bots):
            name = "Looper%d" % index
            bot.on_callback(Callback.CONNECT_UNIVERSE,
                            lambda b, rc, ref, name=name: b.login(name, "", ""))
            bot.on_callback(Callback.LOGIN, lambda b, rc, ref: b.enter("lobby"))
            bot.on_callback(Callback.ENTER,
                            lambda b, rc, ref, index=index: entered.__setitem__(index, rc))
            bot.on_event(Event.CHAT, lambda b: heard.append(b.chat_message))
            bot.connect_universe("127.0.0.1", self.port)
        for _ in range(500):
            if len(entered) == 3:
                break
            loop.wait(20)
        self.assertEqual(entered, {0: 0, 1: 0, 2: 0})
        bots[0].say("all of us")
        for _ in range(500):
            if len(heard) >= 2:
                break
            loop.wait(20)
        self.assertEqual(heard[:2], ["all of us", "all of us"])
        if sys.platform.startswith("linux"):
            self.assertGreaterEqual(loop.fileno(), 0)
        self.assertGreater(loop.next_ms(), 0, "a keep-alive's timer, far off")

        with self.assertRaises(KIVError) as caught:
            loop.close()
        self.assertIs(caught.exception.code, ReturnCode.INVALID_ARGUMENT)
        for bot in bots:
            bot.close()
        loop.close()
        loop.close()


if __name__ == "__main__":
    unittest.main()

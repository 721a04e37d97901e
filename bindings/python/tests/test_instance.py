"""The Instance class without a server: attributes, handlers and the
exceptions they raise, return codes, lifetime. A scripted socket table
stands in for the network."""
import ctypes
import gc
import unittest

import kivsdk
from kivsdk import Callback, Event, IntAttribute, KIVError, ReturnCode, StringAttribute

from . import support


class AttributeTest(unittest.TestCase):
    def setUp(self):
        self.bot = kivsdk.Instance()
        self.addCleanup(self.bot.close)

    def test_each_kind_round_trips_through_get_set_and_properties(self):
        bot = self.bot
        bot.set(IntAttribute.MY_TYPE, 7)
        self.assertEqual(bot.my_type, 7)
        bot.object_id = -5
        self.assertEqual(kivsdk.library().kiv_int(bot.handle, IntAttribute.OBJECT_ID), -5)
        bot.object_x = 0.1   # held as a double: no single-precision rounding
        self.assertEqual(bot.get(kivsdk.FloatAttribute.OBJECT_X), 0.1)
        bot.object_data = b"\x00\x01\xff"
        self.assertEqual(bot.object_data, b"\x00\x01\xff")
        bot.object_data = b""
        self.assertEqual(bot.object_data, b"")
        self.assertEqual(bot.terrain_node_data, b"")

    def test_strings_are_utf8_and_raw_bytes_stay_reachable(self):
        bot = self.bot
        bot.avatar_name = "Grüße"
        self.assertEqual(bot.avatar_name, "Grüße")
        self.assertEqual(bot.get_bytes(StringAttribute.AVATAR_NAME), "Grüße".encode())
        bot.set(StringAttribute.AVATAR_NAME, b"bad \xff byte")
        self.assertEqual(bot.avatar_name, "bad \ufffd byte")
        self.assertEqual(bot.get_bytes(StringAttribute.AVATAR_NAME), b"bad \xff byte")
        bot.avatar_name = None
        self.assertEqual(bot.avatar_name, "")

    def test_wrong_kinds_and_wrong_indices_are_refused(self):
        with self.assertRaises(TypeError):
            self.bot.get(3)
        with self.assertRaises(TypeError):
            self.bot.set(Event.CHAT, 1)
        with self.assertRaises(ValueError):
            self.bot.on_event(kivsdk.constants.EVENT_COUNT, lambda bot: None)
        with self.assertRaises(ValueError):
            self.bot.on_callback(-1, lambda bot, rc, ref: None)


class ReturnCodeTest(unittest.TestCase):
    def test_failures_raise_kiv_error_with_the_code(self):
        with kivsdk.Instance() as bot:
            with self.assertRaises(KIVError) as caught:
                bot.say("hello")
            self.assertIs(caught.exception.code, ReturnCode.NOT_IN_WORLD)
            self.assertIn("NOT_IN_WORLD", str(caught.exception))
            with self.assertRaises(KIVError) as caught:
                bot.friends_get()
            self.assertIs(caught.exception.code, ReturnCode.NOT_IN_UNIVERSE)
            # The library's own sockets with nothing to watch: the pass fails.
            with self.assertRaises(KIVError) as caught:
                bot.wait(0)
            self.assertIs(caught.exception.code, ReturnCode.CONNECTION_ERROR)

    def test_codes_the_library_does_not_define_stay_plain_ints(self):
        self.assertIs(kivsdk.as_code(16), ReturnCode.TIMEOUT)
        self.assertEqual(kivsdk.as_code(77), 77)
        self.assertNotIsInstance(kivsdk.as_code(77), ReturnCode)
        self.assertIn("unknown", str(KIVError(77, "terrain")))
        kivsdk.init()

    def test_a_table_without_wait_reports_it(self):
        net = support.ScriptedNet(with_wait=False)
        with kivsdk.Instance(net.config) as bot:
            with self.assertRaises(KIVError) as caught:
                bot.wait(0)
            self.assertIs(caught.exception.code, ReturnCode.NO_WAIT_FUNCTION)


class HandlerTest(unittest.TestCase):
    def setUp(self):
        self.net = support.ScriptedNet()
        self.bot = kivsdk.Instance(self.net.config)
        self.addCleanup(self.bot.close)
        self.results = []
        # With the connect callback set, connect_universe never blocks.
        self.bot.on_callback(Callback.CONNECT_UNIVERSE,
                             lambda bot, rc, ref: self.results.append((rc, ref)))

    def fail_connect(self):
        self.bot.connect_universe("127.0.0.1", 1)
        self.net.queued = [(kivsdk.NetNotification.CONNECT_RESULT, -1)]

    def lose_connection(self):
        self.bot.connect_universe("127.0.0.1", 1)
        self.net.queued = [(kivsdk.NetNotification.CONNECT_RESULT, 0),
                           (kivsdk.NetNotification.DISCONNECTED, 0)]

    def test_callbacks_get_the_instance_a_return_code_and_the_reference(self):
        seen = []

        @self.bot.callback(Callback.CONNECT_UNIVERSE)
        def on_connect(bot, rc, reference):
            seen.append((bot, rc, reference, bot.get(IntAttribute.CURRENT_CALLBACK)))

        self.assertTrue(callable(on_connect))
        self.fail_connect()
        self.bot.wait(0)
        self.assertEqual(seen, [(self.bot, ReturnCode.CONNECTION_ERROR, 0,
                                 Callback.CONNECT_UNIVERSE)])
        self.assertIs(seen[0][1], ReturnCode.CONNECTION_ERROR)
        self.assertEqual(self.bot.disconnect_reason, -1)

    def test_events_reach_their_handler_only_and_none_clears_it(self):
        fired = []
        for event in Event:
            self.bot.on_event(event, lambda bot, event=event: fired.append(event))
        self.lose_connection()
        self.bot.wait(0)
        self.assertEqual(fired, [Event.UNIVERSE_DISCONNECT])
        self.assertTrue(self.net.sent)   # the opening went out before the loss

        self.bot.on_event(Event.UNIVERSE_DISCONNECT, None)
        self.lose_connection()
        self.bot.wait(0)
        self.assertEqual(fired, [Event.UNIVERSE_DISCONNECT])

    def test_handlers_survive_garbage_collection(self):
        def register():
            counter = []
            self.bot.on_event(Event.UNIVERSE_DISCONNECT, lambda bot: counter.append(1))
            return counter

        counter = register()
        gc.collect()
        self.lose_connection()
        self.bot.wait(0)
        self.assertEqual(counter, [1])

    def test_a_handler_exception_is_raised_from_wait_once_and_the_first_wins(self):
        calls = []

        def boom(bot, rc, reference):
            calls.append(rc)
            raise LookupError(f"call {len(calls)}")

        self.bot.on_callback(Callback.CONNECT_UNIVERSE, boom)
        self.fail_connect()
        with self.assertRaisesRegex(LookupError, "call 1"):
            self.bot.wait(0)
        self.bot.wait(0)   # raised once only

        # Two passes through the C functions, then the binding's next wait.
        library = kivsdk.library()
        for _ in range(2):
            self.assertEqual(library.kiv_connect_universe(self.bot.handle, b"127.0.0.1", 1), 0)
            self.net.queued = [(kivsdk.NetNotification.CONNECT_RESULT, -1)]
            self.assertEqual(library.kiv_wait(self.bot.handle, 0), 0)
        self.assertEqual(len(calls), 3)
        with self.assertRaisesRegex(LookupError, "call 2"):
            self.bot.wait(0)

    def test_waiting_inside_a_handler_is_refused_and_reported_from_the_outer_wait(self):
        @self.bot.event(Event.UNIVERSE_DISCONNECT)
        def nested(bot):
            bot.wait(0)

        self.lose_connection()
        with self.assertRaises(KIVError) as caught:
            self.bot.wait(0)
        self.assertIs(caught.exception.code, ReturnCode.RECURSIVE_WAIT)

    def test_a_handler_may_close_its_own_instance(self):
        @self.bot.event(Event.UNIVERSE_DISCONNECT)
        def leave(bot):
            bot.close()
            gc.collect()

        self.lose_connection()
        self.bot.wait(0)
        self.assertTrue(self.bot.closed)
        self.assertEqual([c for c in self.net.connections if c], [])   # sockets destroyed

    def test_wait_until_stops_when_the_condition_holds_or_the_time_is_up(self):
        self.fail_connect()
        self.assertTrue(self.bot.wait_until(lambda: self.results, timeout=5, slice_ms=0))
        self.assertEqual(self.results, [(ReturnCode.CONNECTION_ERROR, 0)])
        before = self.net.waits
        self.assertFalse(self.bot.wait_until(lambda: False, timeout=0.05, slice_ms=1))
        self.assertGreater(self.net.waits, before)


class LifetimeTest(unittest.TestCase):
    def test_close_is_idempotent_and_a_closed_instance_refuses_calls(self):
        bot = kivsdk.Instance()
        self.assertFalse(bot.closed)
        bot.close()
        bot.close()
        self.assertTrue(bot.closed)
        with self.assertRaises(ValueError):
            bot.say("hello")
        with self.assertRaises(ValueError):
            _ = bot.my_type

    def test_user_data_is_left_to_the_host(self):
        with kivsdk.Instance() as bot:
            self.assertIsNone(bot.user_data)
            marker = ctypes.c_int(5)
            bot.user_data = ctypes.addressof(marker)
            self.assertEqual(bot.user_data, ctypes.addressof(marker))


if __name__ == "__main__":
    unittest.main()

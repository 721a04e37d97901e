"""Staying up through the binding: the setters and their checks, a side's
state, the thread check, trust anchors; against the sandbox, a bot that is
dropped comes back into its world, a refused login ends reconnection, and a
full output queue refuses a request without losing the connection."""
import os
import re
import socket
import sys
import unittest

import kivsdk
from kivsdk import Callback, Detail, Event, KIVError, ReturnCode, Side, State

from . import support

EXAMPLES = os.path.join(support.HERE, "..", "examples")
sys.path.insert(0, EXAMPLES)
import greeter  # noqa: E402

ANCHOR = """-----BEGIN CERTIFICATE-----
MIIBnDCCAUGgAwIBAgIUPL+u2C5VkglFLSYJBX04d3+tGaswCgYIKoZIzj0EAwIw
IzEhMB8GA1UEAwwYS0lWU0RLIHRlc3QgdHJ1c3QgYW5jaG9yMB4XDTI2MTIwOTE3
MTcyMVoXDTM2MTIwNjE3MTcyMVowIzEhMB8GA1UEAwwYS0lWU0RLIHRlc3QgdHJ1
c3QgYW5jaG9yMFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEy2wgv+tygiSpqz3B
vJoqq2u9uVvsdzkQAsqJRSQb0hZahJv7bDK5Uc8+mszOIIJtRSVzDwJt4qE8fS+9
jr3Uq6NTMFEwHQYDVR0OBBYEFJiLUP4qhh9FwHPCf6LEE3sDxyCHMB8GA1UdIwQY
MBaAFJiLUP4qhh9FwHPCf6LEE3sDxyCHMA8GA1UdEwEB/wQFMAMBAf8wCgYIKoZI
zj0EAwIDSQAwRgIhAI4L+27TjskA7T9gTNpoeISlxwnYehKDUm3syyi+E8B1AiEA
oRlejWwDpjqsWrlP9B1ScCuDMp9K2wNWeFCRNEY1Xv0=
-----END CERTIFICATE-----
"""


class SettingsTest(unittest.TestCase):
    def setUp(self):
        self.bot = kivsdk.Instance()
        self.addCleanup(self.bot.close)

    def assert_code(self, code, call, *args, **kwargs):
        with self.assertRaises(KIVError) as caught:
            call(*args, **kwargs)
        self.assertIs(caught.exception.code, code)

    def test_the_library_reports_the_headers_version(self):
        number = re.search(r"#define\s+KIVSDK_VERSION_NUMBER\s+(\d+)", support.header_text())
        self.assertEqual(kivsdk.version(), int(number.group(1)))

    def test_states_and_details_come_back_as_their_enumerations(self):
        self.assertIs(self.bot.state(Side.UNIVERSE), State.NONE)
        self.assertIs(self.bot.state(Side.WORLD), State.NONE)
        with self.assertRaises(ValueError):
            self.bot.state(2)
        self.bot.disconnect_detail = Detail.SILENT
        self.bot.disconnect_side = Side.WORLD
        self.assertIs(self.bot.disconnect_detail, Detail.SILENT)
        self.assertIs(self.bot.disconnection.side, Side.WORLD)
        self.bot.disconnect_detail = 99   # a value the header does not name stays an int
        self.assertEqual(self.bot.disconnect_detail, 99)

class Control:
    """The sandbox's control port: one command line, one answer line."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.lines = self.socket.makefile("r")

    def __call__(self, command):
        self.socket.sendall(command.encode() + b"\n")
        answer = self.lines.readline().strip()
        if not answer.startswith("ok"):
            raise RuntimeError(f"{command}: {answer}")
        return answer

    def close(self):
        self.lines.close()
        self.socket.close()


class SandboxReconnectionTest(unittest.TestCase):
    def setUp(self):
        self.sandbox = support.Sandbox("--control-port", "0")
        self.addCleanup(self.sandbox.close)
        self.port = self.sandbox.universe_port
        self.control = Control(self.sandbox.world_ports.pop("control"))
        self.addCleanup(self.control.close)

    def instance(self):
        bot = kivsdk.Instance()
        self.addCleanup(bot.close)
        return bot

    def watched(self, name):
        """A bot that reconnects quickly and records events 26-28."""
        bot = self.instance()
        bot.reconnect(first_delay_ms=100, max_delay_ms=100, jitter=False)
        steps = []
        for event in (Event.RECONNECTING, Event.RECONNECTED, Event.GAVE_UP):
            bot.on_event(event, lambda b, event=event: steps.append((event, b.disconnection)))
        bot.connect_universe("127.0.0.1", self.port)
        bot.login(name, "any", "")
        return bot, steps

    def test_a_dropped_greeter_comes_back_into_its_world_and_is_seen_there(self):
        lines = []
        example = greeter.Greeter("Keeper", self.instance(), out=lines.append)
        example.start("127.0.0.1", self.port, "any", "lobby")
        bot = example.bot
        bot.reconnect(first_delay_ms=100, max_delay_ms=100, jitter=False)   # quicker than 1 s
        self.control("drop all")
        self.assertTrue(bot.wait_until(lambda: bot.state(Side.WORLD) == State.READY
                                       and any("back in" in line for line in lines), 15), lines)
        self.assertIs(bot.state(Side.UNIVERSE), State.LOGGED_IN)
        reconnecting = [line for line in lines if "reconnecting" in line]
        self.assertTrue(reconnecting, lines)
        self.assertIn("closed by the server", reconnecting[0])
        self.assertTrue(any('back in "lobby"' in line for line in lines), lines)
        bot.say("still here")

        # The library sent the last own state again: a newcomer is told of
        # the greeter at once (avatars present on entry are added too).
        newcomer = self.instance()
        present = []
        newcomer.on_event(Event.AVATAR_ADD, lambda b: present.append((b.avatar_name, b.avatar_x,
                                                                      b.avatar_z)))
        newcomer.connect_universe("127.0.0.1", self.port)
        newcomer.login("Newcomer", "any", "")
        newcomer.enter("lobby")
        self.assertTrue(newcomer.wait_until(lambda: present, 5))
        self.assertEqual(present, [("Keeper", 5.0, 5.0)])

if __name__ == "__main__":
    unittest.main()

"""Log routes into logging.Logger, the counters and captures, on a scripted
socket table."""
import logging
import os
import tempfile
import unittest

import kivsdk
from kivsdk import Callback, KIVError, LogLevel, NetNotification, ReturnCode

from . import support


class Collect(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


def logger_with(name):
    logger = logging.getLogger(name)
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    collect = Collect()
    logger.addHandler(collect)
    return logger, collect


class ObservabilityTest(unittest.TestCase):
    def setUp(self):
        self.net = support.ScriptedNet()
        self.bot = kivsdk.Instance(self.net.config)
        self.addCleanup(self.bot.close)
        self.bot.on_callback(Callback.CONNECT_UNIVERSE, lambda bot, rc, ref: None)

    def connect(self):
        self.bot.connect_universe("127.0.0.1", 1)
        self.net.queued = [(NetNotification.CONNECT_RESULT, 0)]
        self.bot.wait(0)

    def test_an_instances_lines_reach_its_logger_and_a_raising_logger_raises_from_wait(self):
        logger, collect = logger_with("kivsdk.test.instance")
        self.bot.log_to(logger, LogLevel.INFO)
        self.connect()
        self.assertEqual([(r.levelno, r.getMessage(), r.kiv_category) for r in collect.records],
                         [(logging.INFO, "net: connecting to 127.0.0.1:1", "net"),
                          (logging.INFO, "net: connected to 127.0.0.1:1", "net")])

        with self.assertRaises(KIVError) as caught:
            self.bot.log_to(logger, 7)
        self.assertIs(caught.exception.code, ReturnCode.INVALID_ARGUMENT)

    def test_a_logger_that_raises_raises_from_the_call_that_ran_it(self):
        class Broken(logging.Logger):
            def log(self, *args, **kwargs):
                raise RuntimeError("broken logger")
        self.bot.log_to(Broken("broken"), LogLevel.INFO)
        with self.assertRaisesRegex(RuntimeError, "broken logger"):
            self.bot.connect_universe("127.0.0.1", 1)

    def test_the_global_route_takes_lines_of_instances_without_their_own(self):
        logger, collect = logger_with("kivsdk.test.global")
        kivsdk.log_to(logger, LogLevel.INFO)
        self.addCleanup(kivsdk.log_to, None, LogLevel.WARNING)
        self.connect()
        self.assertIn("net: connected to 127.0.0.1:1", [r.getMessage() for r in collect.records])
        count = len(collect.records)
        own, _ = logger_with("kivsdk.test.own")
        self.bot.log_to(own, LogLevel.DEBUG)
        self.bot.connect_universe("127.0.0.1", 1)
        self.assertEqual(len(collect.records), count)

    def test_stats_and_a_capture_of_the_opening(self):
        stats = self.bot.stats()
        self.assertEqual(stats.universe.rtt_last_us, -1)
        self.assertEqual(stats.world.frames_out, 0)
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "opening.kivcap")
            self.bot.capture_start(path)
            self.connect()
            self.bot.capture_stop()
            self.assertGreater(self.bot.stats().universe.frames_out, 0)
            with open(path, "rb") as capture:
                data = capture.read()
            self.assertEqual(data[:8], b"KIVCAP\x00\x02")
            self.assertGreater(len(data), 16, "the opening frame was captured")
            with self.assertRaises(KIVError) as caught:
                self.bot.capture_start(path, -1)
            self.assertIs(caught.exception.code, ReturnCode.INVALID_ARGUMENT)

            # The capture played into a fresh Instance: the same connect
            # opens a connection over the recording, which sends the same
            # secure-channel request.
            replayed = kivsdk.Instance()
            self.addCleanup(replayed.close)
            replayed.replay_start(path)
            status = replayed.replay_status()
            self.assertEqual((status.position, status.waiting, status.waiting_side),
                             (0, kivsdk.ReplayWait.WAITS_FOR_CONNECT, kivsdk.Side.UNIVERSE))
            replayed.on_callback(Callback.CONNECT_UNIVERSE, lambda bot, rc, ref: None)
            replayed.connect_universe("127.0.0.1", 1)
            replayed.wait(0)
            status = replayed.replay_status()
            self.assertEqual((status.position, status.records, status.sent, status.mismatched),
                             (2, 2, 1, 0))
            self.assertIs(kivsdk.ReplayWait(status.waiting), kivsdk.ReplayWait.FINISHED)
            with self.assertRaises(KIVError) as caught:
                replayed.replay_skip()
            self.assertIs(caught.exception.code, ReturnCode.INVALID_ARGUMENT)


if __name__ == "__main__":
    unittest.main()

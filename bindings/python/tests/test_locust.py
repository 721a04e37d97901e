"""kivsdk.locust: KivUser's reports in this process (a Locust Environment
without a runner, bots against the sandbox server), the lines heard by the
other bots, the refusals, gevent's monitor, and a distributed run: a Locust
master and two workers with 20 bots for 15 s, read back from Locust's CSV
files and the workers' monitor reports."""
import contextlib
import csv
import glob
import io
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import gevent
from locust.env import Environment
from locust.exception import LocustError, StopUser

import kivsdk
from kivsdk import Event, KIVError, ReturnCode
from kivsdk import locust as kivlocust

from . import support

LOCUSTFILE = os.path.join(support.HERE, "locust_bots.py")
EXAMPLE = os.path.join(support.HERE, "..", "examples", "locustfile.py")
REQUEST_TYPES = ("connect", "login", "enter", "object_add", "chat")


def greenlets(*functions, timeout=30):
    """Runs the functions in greenlets of their own; re-raises the first
    failure; every one must end within `timeout` seconds."""
    running = [gevent.spawn(function) for function in functions]
    gevent.joinall(running, timeout=timeout)
    for greenlet in running:
        if not greenlet.ready():
            gevent.killall(running)
            raise AssertionError(f"{greenlet} did not end within {timeout} s")
    for greenlet in running:
        greenlet.get()
    return [greenlet.value for greenlet in running]


class PassLengths:
    """Records the milliseconds of every kiv_loop_wait call, whoever makes it."""

    def __init__(self):
        self.lengths = []
        self._lib = kivsdk.library()
        self._original = self._lib.kiv_loop_wait

    def __enter__(self):
        def recording(handle, milliseconds):
            self.lengths.append(milliseconds)
            return self._original(handle, milliseconds)
        self._lib.kiv_loop_wait = recording
        return self

    def __exit__(self, *exc):
        self._lib.kiv_loop_wait = self._original
        return False


class Blocking:
    """The reports of gevent's monitor (50 ms) while the block runs."""

    def __enter__(self):
        self.reports = []
        self._stop = kivlocust.watch_blocking(self.reports.append, max_blocking_time=0.05)
        return self

    def __exit__(self, *exc):
        self._stop()
        return False

    def describe(self):
        return "\n".join("\n".join(str(line) for line in report.info[:12])
                         for report in self.reports)


class NamesTest(unittest.TestCase):
    def test_a_universe_is_host_and_port(self):
        self.assertEqual(kivlocust.split_host("127.0.0.1:6670"), ("127.0.0.1", 6670))
        self.assertEqual(kivlocust.split_host("kiv://universe.example:7000/"),
                         ("universe.example", 7000))
        self.assertEqual(kivlocust.split_host("[::1]:6670"), ("::1", 6670))
        for wrong in ("127.0.0.1", "host:", ":6670", "host:0", "host:70000", "host:port", "",
                      None):
            with self.subTest(host=wrong), self.assertRaisesRegex(ValueError, "HOST:PORT"):
                kivlocust.split_host(wrong)

    def test_names_are_resolved_by_gevent_to_a_numeric_address(self):
        self.assertEqual(kivlocust.resolve("127.0.0.1", 6670), "127.0.0.1")
        self.assertIn(kivlocust.resolve("localhost", 6670), ("127.0.0.1", "::1"))

    def test_a_user_without_a_universe_is_refused(self):
        class Nowhere(kivlocust.KivUser):
            pass
        with self.assertRaisesRegex(LocustError, "--host HOST:PORT"):
            Nowhere(Environment())


class _Bot:
    """What the driver reads of a bot to match heard lines."""

    def __init__(self, world, name):
        self.world, self.name, self.closed = world, name, False


class HeardLinesTest(unittest.TestCase):
    def setUp(self):
        self.driver = kivlocust.driver()
        self.speaker, self.first, self.second = (_Bot("lobby", name) for name in "abc")
        self.elsewhere = _Bot("garden", "d")
        self.bots = (self.speaker, self.first, self.second, self.elsewhere)
        for bot in self.bots:
            self.driver.worlds[bot.world].add(bot)

    def tearDown(self):
        for bot in self.bots:
            self.driver.worlds[bot.world].discard(bot)
        self.driver.lines.clear()

    def test_each_listener_hears_a_speakers_lines_in_order(self):
        one = self.driver.expect_line(self.speaker, "same", timeout=10)
        two = self.driver.expect_line(self.speaker, "same", timeout=10)
        self.assertEqual(one.waiting, {id(self.first), id(self.second)})
        self.driver.heard(self.second, "lobby", "a", "same")
        self.assertTrue(one.result.ready())
        self.assertFalse(two.result.ready())
        self.driver.heard(self.first, "lobby", "a", "same")   # still the first line for it
        self.assertFalse(two.result.ready())
        self.driver.heard(self.second, "lobby", "a", "same")
        self.assertTrue(two.result.ready())
        self.assertGreaterEqual(two.result.get(), two.said)
        self.driver.heard(self.first, "lobby", "a", "same")
        self.assertEqual(self.driver.lines, {})                 # heard by all: gone

    def test_other_speakers_worlds_and_texts_do_not_count(self):
        line = self.driver.expect_line(self.speaker, "hello", timeout=10)
        self.driver.heard(self.first, "lobby", "someone else", "hello")
        self.driver.heard(self.first, "garden", "a", "hello")
        self.driver.heard(self.first, "lobby", "a", "hello!")
        self.driver.heard(self.speaker, "lobby", "a", "hello")  # not a listener of its own
        self.assertFalse(line.result.ready())
        self.driver.forget(line)
        self.assertEqual(self.driver.lines, {})

    def test_no_listener_no_timing(self):
        self.first.closed = True
        self.second.closed = True
        self.assertIsNone(self.driver.expect_line(self.speaker, "alone", timeout=10))
        self.assertIsNone(self.driver.expect_line(self.elsewhere, "alone", timeout=10))

    def test_lines_long_unheard_are_dropped(self):
        stale = self.driver.expect_line(self.speaker, "old", timeout=10)
        stale.said -= 60
        self.driver.expect_line(self.speaker, "new", timeout=10)
        self.assertEqual([key[2] for key in self.driver.lines], ["new"])


class MonitorTest(unittest.TestCase):
    def test_the_monitor_reports_a_greenlet_that_holds_the_hub(self):
        printed = io.StringIO()   # the monitor also prints its report there
        with kivsdk.Loop() as idle, Blocking() as blocking, contextlib.redirect_stderr(printed):
            def hold():
                try:
                    idle.wait(300)   # a pass that waits: what the driver never runs
                except KIVError:
                    pass             # nothing to serve
            holder = gevent.spawn(hold)
            holder.join(5)
            gevent.sleep(0.2)        # the monitor's next look
        self.assertTrue(blocking.reports, "gevent's monitor saw nothing")
        self.assertIs(blocking.reports[0].greenlet, holder)
        self.assertIn("in hold", printed.getvalue())


class KivUserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sandbox = support.Sandbox("--password", "secret", "--control-port", "0")
        cls.control = cls.sandbox.world_ports.pop("control")
        cls.host = f"127.0.0.1:{cls.sandbox.universe_port}"

    @classmethod
    def tearDownClass(cls):
        cls.sandbox.close()

    def setUp(self):
        self.reports = []
        self.environment = Environment()
        self.environment.events.request.add_listener(
            lambda **request: self.reports.append(request))

    def users(self, count, **attributes):
        attributes.setdefault("host", self.host)
        attributes.setdefault("password", "secret")
        kind = type("Visitor", (kivlocust.KivUser,), attributes)
        made = [kind(self.environment) for _ in range(count)]
        for user in made:
            self.addCleanup(user.close)
        return made

    def reported(self, request_type):
        return [request for request in self.reports if request["request_type"] == request_type]

    def command(self, line):
        with socket.create_connection(("127.0.0.1", self.control), timeout=5) as control:
            control.sendall(line.encode() + b"\n")
            answer = control.makefile().readline()
        self.assertTrue(answer.startswith("ok"), answer)

    def test_requests_are_reported_when_answered(self):
        driver = kivlocust.driver()
        with Blocking() as blocking, PassLengths() as passes:
            speaker, listener = self.users(2)
            heard = []
            started = time.perf_counter()
            greenlets(speaker.on_start, listener.on_start)
            elapsed_ms = (time.perf_counter() - started) * 1000
            listener.bot.on(Event.CHAT, heard.append)

            self.assertEqual(len(self.reports), 6)
            for request in self.reports:
                self.assertIsNone(request["exception"], request)
                self.assertLessEqual(0, request["response_time"])
                self.assertLessEqual(request["response_time"], elapsed_ms)
            for request_type, name in (("connect", self.host), ("login", self.host),
                                       ("enter", "lobby")):
                self.assertEqual([request["name"] for request in self.reported(request_type)],
                                 [name, name])
            login = self.reported("login")[0]
            self.assertGreater(login["response_length"], 0)   # the reply's text
            self.assertNotEqual(speaker.bot.name, listener.bot.name)

            added = speaker.object_add(object_string_1="box.rwx", object_x=2.0)
            record = listener.bot.object_get(added.object_id)
            self.assertEqual((record.object_string_1, record.object_x), ("box.rwx", 2.0))
            [build] = self.reported("object_add")
            self.assertEqual((build["name"], build["exception"]), ("lobby", None))

            waited = speaker.say("hello, listener")
            [chat] = self.reported("chat")
            self.assertEqual((chat["name"], chat["response_length"], chat["exception"]),
                             ("lobby", len("hello, listener"), None))
            self.assertAlmostEqual(chat["response_time"], waited, places=6)
            self.assertEqual([(line.avatar_name, line.chat_message) for line in heard],
                             [(speaker.bot.name, "hello, listener")])

            # A line held up by the server is timed to its hearing, not its sending.
            self.command("freeze 0.4")
            speaker.say("after a pause")
            self.assertGreaterEqual(self.reported("chat")[-1]["response_time"], 300)

            speaker.on_stop()
            listener.on_stop()
            self.assertTrue(speaker.bot.closed and listener.bot.closed)
        self.assertTrue(passes.lengths)
        self.assertEqual(set(passes.lengths), {0}, "a pass that may wait was run")
        self.assertFalse(blocking.reports, blocking.describe())
        self.assertGreater(driver.reader_wakes, 0)

    def test_failures_are_reported_then_raised(self):
        wrong_password, = self.users(1, password="not it")
        with self.assertRaises(StopUser):
            wrong_password.on_start()
        self.assertEqual([request["request_type"] for request in self.reports],
                         ["connect", "login"])
        failure = self.reports[-1]["exception"]
        self.assertIsInstance(failure, KIVError)
        self.assertIs(failure.code, ReturnCode.LOGIN_REFUSED)
        self.assertTrue(wrong_password.bot.closed)

        self.reports.clear()
        lost, = self.users(1, world="no such world")
        with self.assertRaises(StopUser):
            lost.on_start()
        self.assertIs(self.reported("enter")[0]["exception"].code, ReturnCode.WORLD_UNAVAILABLE)
        self.assertEqual(self.reported("enter")[0]["name"], "no such world")

        self.reports.clear()
        outside, = self.users(1)
        outside.connect()
        outside.login()
        for attempt in (lambda: outside.object_add(object_string_1="box.rwx"),
                        lambda: outside.say("anyone?")):
            with self.assertRaises(KIVError) as raised:
                attempt()
            self.assertIs(raised.exception.code, ReturnCode.NOT_IN_WORLD)
        self.assertEqual([(request["request_type"], request["exception"].code)
                          for request in self.reports[2:]],
                         [("object_add", ReturnCode.NOT_IN_WORLD),
                          ("chat", ReturnCode.NOT_IN_WORLD)])

    def test_a_line_not_heard_in_time_fails_and_a_lone_line_is_not_timed(self):
        speaker, listener, loner = self.users(3, chat_timeout=0.5)
        greenlets(speaker.on_start, listener.on_start)
        loner.connect()
        loner.login()
        loner.enter("garden")
        self.assertIsNone(loner.say("nobody of ours is here"))
        self.assertEqual(self.reported("chat"), [])

        self.command("freeze 1.5")
        with self.assertRaises(kivlocust.ChatNotHeard):
            speaker.say("into the void")
        [missed] = self.reported("chat")
        self.assertIsInstance(missed["exception"], kivlocust.ChatNotHeard)
        self.assertEqual(kivlocust.driver().lines, {})   # not left to match a later line
        speaker.chat_timeout = 10   # the server resumes: lines are heard again
        speaker.say("back again")
        self.assertIsNone(self.reported("chat")[-1]["exception"])

    def test_a_time_limit_is_reached_by_the_timer_alone(self):
        driver = kivlocust.driver()
        user, = self.users(1)
        user.bot.liveness()
        user.bot.limits(connect=1)
        before = driver.timer_wakes
        self.command("freeze 3")   # the secure channel never comes up
        self.addCleanup(self.command, "freeze 0")
        with self.assertRaises(KIVError) as raised:
            user.connect()
        self.assertIs(raised.exception.code, ReturnCode.TIMEOUT)
        self.assertIs(self.reported("connect")[0]["exception"], raised.exception)
        self.assertGreater(driver.timer_wakes, before)

    def test_what_would_hold_the_hub_is_refused(self):
        user, = self.users(1)
        bot = user.bot
        for name, call in (("wait", lambda: bot.wait(100)),
                           ("wait_until", lambda: bot.wait_until(lambda: True, 1)),
                           ("run_for", lambda: bot.run_for(1))):
            with self.subTest(call=name), self.assertRaisesRegex(RuntimeError, "hold gevent's hub"):
                call()

        def on_another_thread(call):
            def caught():
                try:
                    call()
                except Exception as error:
                    return error
            return gevent.get_hub().threadpool.apply(caught)
        for call in (lambda: bot.state_change(my_x=1.0),
                     lambda: bot.object_add(object_string_1="x")):
            self.assertRegex(str(on_another_thread(call)), "thread of the gevent hub")


def read(path):
    with open(path, encoding="utf-8") as text:
        return text.read()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class LocustRun:
    """Locust processes of one run, their output in files; every one is
    stopped when the run is closed."""

    def __init__(self, directory, host):
        self.directory = directory
        self.host = host
        self.processes = []
        self.environment = dict(os.environ, KIVSDK_LOCUST_REPORTS=directory)

    def start(self, label, *arguments):
        output = open(os.path.join(self.directory, label + ".log"), "w", encoding="utf-8")
        process = subprocess.Popen([sys.executable, "-m", "locust", *arguments],
                                   stdout=output, stderr=subprocess.STDOUT,
                                   env=self.environment, cwd=self.directory)
        output.close()
        process.label = label
        self.processes.append(process)
        return process

    def log(self, label):
        return read(os.path.join(self.directory, label + ".log"))[-4000:]

    def close(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
            process.wait(timeout=10)

    def stats(self, prefix):
        with open(prefix + "_stats.csv", encoding="utf-8") as table:
            return {row["Type"] or row["Name"]: row for row in csv.DictReader(table)}

    @staticmethod
    def data_rows(path):
        with open(path, encoding="utf-8") as table:
            return list(csv.reader(table))[1:]


class DistributedRunTest(unittest.TestCase):
    def test_a_master_and_two_workers_report_every_request_without_blocking(self):
        with support.Sandbox("--password", "secret") as sandbox, \
                tempfile.TemporaryDirectory(prefix="kivsdk-locust-") as directory:
            run = LocustRun(directory, f"127.0.0.1:{sandbox.universe_port}")
            self.addCleanup(run.close)
            port = str(free_port())
            prefix = os.path.join(directory, "run")
            master = run.start("master", "-f", LOCUSTFILE, "--headless", "--master",
                               "--master-bind-host", "127.0.0.1", "--master-bind-port", port,
                               "--expect-workers", "2", "--expect-workers-max-wait", "60",
                               "-u", "20", "-r", "10", "-t", "15s", "--csv", prefix,
                               "--host", run.host, "--loglevel", "WARNING")
            workers = [run.start(f"worker{n}", "-f", LOCUSTFILE, "--worker",
                                 "--master-host", "127.0.0.1", "--master-port", port,
                                 "--loglevel", "WARNING")
                       for n in (1, 2)]
            for process in [master] + workers:
                try:
                    code = process.wait(timeout=120)
                except subprocess.TimeoutExpired:
                    self.fail(f"{process.label} still runs:\n{run.log(process.label)}")
                self.assertEqual(code, 0, f"{process.label}:\n{run.log(process.label)}")

            stats = run.stats(prefix)
            for request_type in REQUEST_TYPES:
                with self.subTest(request_type=request_type):
                    self.assertIn(request_type, stats, run.log("master"))
                    row = stats[request_type]
                    self.assertGreater(int(row["Request Count"]), 0)
                    self.assertEqual(int(row["Failure Count"]), 0)
            for request_type in ("connect", "login", "enter"):
                self.assertEqual(int(stats[request_type]["Request Count"]), 20)
            self.assertEqual(stats["Aggregated"]["Failure Count"], "0")
            self.assertEqual(run.data_rows(prefix + "_failures.csv"), [])
            self.assertEqual(run.data_rows(prefix + "_exceptions.csv"), [])

            blocked = sorted(glob.glob(os.path.join(directory, "blocked-*.txt")))
            self.assertEqual(blocked, [], "".join(read(path)[:3000] for path in blocked))
            summaries = [json.loads(read(path))
                         for path in glob.glob(os.path.join(directory, "summary-*.json"))]
            self.assertEqual(len(summaries), 2, "a worker wrote no summary")
            for summary in summaries:
                self.assertEqual((summary["monitor"], summary["max_blocking_time"],
                                  summary["blocked"], summary["open_bots"]),
                                 (True, 0.05, 0, 0), summary)
                self.assertGreater(summary["passes"], 0)   # each worker served bots


class ExampleTest(unittest.TestCase):
    def test_the_example_locustfile_runs_its_bots(self):
        with support.Sandbox() as sandbox, \
                tempfile.TemporaryDirectory(prefix="kivsdk-locust-example-") as directory:
            run = LocustRun(directory, f"127.0.0.1:{sandbox.universe_port}")
            self.addCleanup(run.close)
            prefix = os.path.join(directory, "example")
            local = run.start("example", "-f", EXAMPLE, "--headless", "-u", "3", "-r", "3",
                              "-t", "4s", "--csv", prefix, "--host", run.host,
                              "--loglevel", "WARNING")
            try:
                code = local.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.fail("the example still runs:\n" + run.log("example"))
            self.assertEqual(code, 0, run.log("example"))
            stats = run.stats(prefix)
            for request_type in ("connect", "login", "enter"):
                self.assertEqual((stats[request_type]["Request Count"],
                                  stats[request_type]["Failure Count"]), ("3", "0"))
            self.assertEqual(run.data_rows(prefix + "_exceptions.csv"), [])


if __name__ == "__main__":
    unittest.main()

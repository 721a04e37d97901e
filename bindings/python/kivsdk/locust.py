"""Locust users that are bots: each Locust user of a locustfile is a KIVSDK
Instance, and its logins, enters, object adds and chat lines show in
Locust's statistics, charts and CSV files like requests of a web site.

    from locust import between, task
    from kivsdk.locust import KivUser

    class Visitor(KivUser):
        host = "127.0.0.1:6670"       # or locust --host
        world = "lobby"
        password = "secret"
        wait_time = between(5, 15)

        @task
        def chat(self):
            self.say("hello")         # reported when another bot here hears it

    locust -f visitors.py --headless -u 100 -r 10

How it is driven: every bot of a Locust process is an Instance on one
shared loop (kivsdk.Loop). gevent's hub watches the loop's descriptor (an io
watcher) and keeps one timer at the loop's nearest timer (next_ms, asked
again after every pass and every request); either wakes one greenlet that
runs a pass without blocking (kiv_loop_wait(loop, 0)) for every bot. Requests
use the callback forms: a user's greenlet sends one and waits on an
AsyncResult that the answer's callback sets, so the hub keeps serving the
other users meanwhile. Host names are resolved by gevent's resolver and the
library is handed the numeric address. Nothing calls into the library from
another thread, and nothing in it waits.

Requires gevent and Locust (Debian: python3-locust); importing this module
imports Locust, which monkey-patches the standard library for gevent.
"""
from __future__ import annotations

import collections
import contextlib
import itertools
import logging
import socket
import time
import uuid
import weakref
from typing import (TYPE_CHECKING, Any, Callable, DefaultDict, Deque, Dict, Iterator,
                    List, NoReturn, Optional, Set, Tuple, TypeVar, Union, cast)

import gevent
import gevent.event
import gevent.events
import gevent.monkey
import gevent.socket
import locust
import locust.argument_parser
import locust.runners
from locust import User
from locust.exception import LocustError, StopUser

from . import _native
from .aio import (CALLBACK_ENTRIES, Closed, EventData, Result, _BotBase, _callback_handler,
                  _COLLECTED, _event_handler)
from .constants import Callback, Event, ReturnCode
from .instance import Code, KIVError, Text
from .loop import Loop

if TYPE_CHECKING:
    from typing import Literal

    from locust.env import Environment

_T = TypeVar("_T")
_BotSelf = TypeVar("_BotSelf", bound="Bot")
# handler(EventData) of Bot.on(); what it returns is ignored.
EventDataFunction = Callable[[EventData], object]

__all__ = ["KivUser", "Bot", "RequestTimeout", "ChatNotHeard", "Closed", "driver", "resolve",
           "split_host", "watch_blocking"]

_log = logging.getLogger("kivsdk.locust")
# The thread's own identity: Locust's monkey-patching makes
# threading.get_ident() tell greenlets apart instead.
_thread_ident = gevent.monkey.get_original("_thread", "get_ident")

# Debian's python3-locust (2.12.1) carries an empty version string, and a
# master turns away every worker whose hello has none ("an old (pre 2.0)
# worker"), so --master/--worker runs never start. Processes that load this
# module agree on a stand-in instead; a real version is left alone.
if not locust.runners.__version__:
    locust.__version__ = locust.runners.__version__ = "unknown"


# A worker handling a spawn message builds Locust's whole argument parser
# once per option the master sent (default_args_dict() inside a loop):
# 150 ms and more during which the hub serves no bot, on every spawn step.
# The defaults never change within a process, so they are built once.
def _default_args_once(build: Callable[[], Dict[str, Any]]) -> Callable[[], Dict[str, Any]]:
    defaults: Dict[str, Any] = {}

    def default_args_dict() -> Dict[str, Any]:
        if not defaults:
            defaults.update(build())
        return dict(defaults)
    default_args_dict.kivsdk_once = True  # type: ignore[attr-defined]
    return default_args_dict


if not getattr(locust.argument_parser.default_args_dict, "kivsdk_once", False):
    locust.argument_parser.default_args_dict = _default_args_once(
        locust.argument_parser.default_args_dict)

class RequestTimeout(KIVError):
    """No answer came within the request's time limit (code TIMEOUT)."""

    def __init__(self, operation: str, seconds: float) -> None:
        super().__init__(ReturnCode.TIMEOUT, operation)
        self.args = (f"{operation}: no answer within {seconds:g} s",)


class ChatNotHeard(Exception):
    """No other bot of this Locust process in the world heard the line in time."""


# ---- the driver: one shared loop served by gevent's hub ----------------------
class _Driver:
    """Serves one kivsdk.Loop from gevent's hub: an io watcher on the loop's
    descriptor and one timer at its nearest timer wake a greenlet that runs
    a pass without blocking. One per hub (a Locust process has one); it
    stays for the life of the process and costs nothing while idle."""

    def __init__(self) -> None:
        self.hub = gevent.get_hub()
        self.thread = _thread_ident()
        self.loop = Loop()
        self.lib = _native.library()
        descriptor = self.loop.fileno()
        if descriptor < 0:
            self.loop.close()
            raise NotImplementedError(
                "kivsdk.locust needs the shared loop's descriptor (kiv_loop_fd), which the "
                "library has on Linux only")
        self.descriptor = descriptor
        self.passes = 0         # kiv_loop_wait calls
        self.reader_wakes = 0   # wakes for a readable descriptor
        self.timer_wakes = 0    # wakes for a due timer
        # world -> bots in it
        self.worlds: DefaultDict[str, weakref.WeakSet[Bot]] = collections.defaultdict(
            weakref.WeakSet)
        # (world, speaker, text) -> deque of _Line
        self.lines: Dict[Tuple[str, Optional[str], str], Deque[_Line]] = {}
        self.addresses: Dict[Tuple[str, int], str] = {}   # (host, port) -> numeric address
        self._wake = gevent.event.Event()
        # Neither watcher keeps the hub's loop alive by itself.
        self._reader = self.hub.loop.io(descriptor, 1, ref=False)
        self._reader.start(self._readable)
        self._timer: Optional[Any] = None
        self._server = gevent.spawn(self._serve)
        self.rearm()

    # Both run in the hub: they only wake the serving greenlet, where the
    # pass runs (a greenlet that blocked there would be seen by gevent's
    # monitor; the hub itself is not watched).
    def _readable(self) -> None:
        self.reader_wakes += 1
        self._wake.set()

    def _due(self) -> None:
        self._timer = None
        self.timer_wakes += 1
        self._wake.set()

    def _serve(self) -> None:
        while True:
            self._wake.wait()
            self._wake.clear()
            try:
                self.run_pass()
            except Exception:   # the bots of this process depend on this greenlet
                _log.exception("a pass of the shared loop failed")

    def run_pass(self) -> None:
        self.passes += 1
        rc = self.lib.kiv_loop_wait(self.loop.handle, 0)
        # Handlers of our own never raise; one set by hand on an Instance may.
        for member in list(self.loop._members):
            try:
                member.raise_pending()
            except Exception:
                _log.exception("a handler of a kivsdk Instance raised")
        if rc != 0:
            _log.error("kiv_loop_wait failed: %s", KIVError(rc, "loop_wait"))
        self.rearm()

    def rearm(self) -> None:
        """Puts the timer at the loop's nearest timer: after every pass and
        every request, since either may arm, move or cancel one."""
        if self._timer is not None:
            self._timer.stop()
            self._timer.close()
            self._timer = None
        milliseconds = self.lib.kiv_loop_next_ms(self.loop.handle)
        if milliseconds >= 0:
            self._timer = self.hub.loop.timer(milliseconds / 1000.0, ref=False)
            self._timer.start(self._due, update=True)

    def address(self, host: str, port: int) -> str:
        """The numeric address of host (resolved once per process)."""
        address = self.addresses.get((host, port))
        if address is None:
            address = self.addresses[(host, port)] = resolve(host, port)
        return address

    def check_thread(self) -> None:
        if _thread_ident() != self.thread:
            raise RuntimeError("kivsdk.locust: bots are used on the thread of the gevent hub "
                               "that serves them")

    # ---- chat lines heard by the other bots of this process ---------------
    def expect_line(self, speaker: Bot, text: str, timeout: float) -> Optional[_Line]:
        """A _Line for `text` about to be said by `speaker`, or None when no
        other bot of this process is in its world to hear it."""
        world = speaker.world
        if world is None:   # in no world: nobody hears it
            return None
        listeners = {id(bot) for bot in self.worlds.get(world, ())
                     if bot is not speaker and not bot.closed}
        if not listeners:
            return None
        self._prune(time.perf_counter() - 2 * timeout)
        line = _Line(listeners)
        key = (world, speaker.name, text)
        self.lines.setdefault(key, collections.deque()).append(line)
        return line

    def heard(self, listener: Bot, world: str, speaker: str, text: str) -> None:
        """Called inside a pass: `listener` got a chat line. The line it
        heard is the oldest one of that speaker and text it has not heard yet
        (each speaker's lines reach a listener in order)."""
        key: Tuple[str, Optional[str], str] = (world, speaker, text)
        lines = self.lines.get(key)
        if not lines:
            return
        for line in lines:
            if id(listener) in line.waiting:
                line.waiting.discard(id(listener))
                if not line.result.ready():
                    line.result.set(time.perf_counter())
                break
        while lines and not lines[0].waiting:
            lines.popleft()
        if not lines:
            del self.lines[key]

    def forget(self, line: _Line) -> None:
        line.waiting.clear()
        for key in [key for key, lines in self.lines.items() if line in lines]:
            lines = self.lines[key]
            lines.remove(line)
            if not lines:
                del self.lines[key]

    def _prune(self, before: float) -> None:
        for key in list(self.lines):
            lines = self.lines[key]
            while lines and lines[0].said < before:
                lines.popleft()
            if not lines:
                del self.lines[key]


class _Line:
    __slots__ = ("said", "waiting", "result")

    def __init__(self, listeners: Set[int]) -> None:
        self.said = time.perf_counter()
        self.waiting = listeners                      # ids of bots yet to hear it
        self.result = gevent.event.AsyncResult()      # perf_counter of the first hearing


_drivers: Dict[int, _Driver] = {}   # thread id -> _Driver


def driver() -> _Driver:
    """The _Driver of the calling thread's gevent hub, made on first use:
    its .loop is the shared kivsdk.Loop of this Locust process; .passes,
    .reader_wakes and .timer_wakes count what it ran."""
    thread = _thread_ident()
    current = _drivers.get(thread)
    if current is None or current.hub is not gevent.get_hub():
        current = _drivers[thread] = _Driver()
    return current


# ---- names ------------------------------------------------------------------
def split_host(host: Optional[str]) -> Tuple[str, int]:
    """("host", port) from "HOST:PORT", "kiv://HOST:PORT" or "[V6]:PORT"."""
    text = (host or "").strip()
    if "://" in text:
        text = text.split("://", 1)[1]
    text = text.rstrip("/")
    name, separator, port = text.rpartition(":")
    if name.startswith("[") and name.endswith("]"):
        name = name[1:-1]
    if not separator or not name or not port.isdigit() or not 0 < int(port) < 65536:
        raise ValueError(f"a universe is given as HOST:PORT (e.g. 127.0.0.1:6670), not {host!r}")
    return name, int(port)


def resolve(host: str, port: int) -> str:
    """The numeric address of `host` by gevent's resolver (IPv4 first),
    which does not block the hub as the library's own lookup would."""
    infos = gevent.socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM)
    if not infos:
        raise socket.gaierror(f"no address for {host}")
    infos.sort(key=lambda info: info[0] != socket.AF_INET)
    return infos[0][4][0]


# ---- the monitor -----------------------------------------------------------
def watch_blocking(report: Callable[[gevent.events.EventLoopBlocked], object],
                   max_blocking_time: float = 0.05) -> Callable[[], None]:
    """Starts gevent's monitor thread (if not running) with the given
    maximum blocking time and calls report(event), an
    gevent.events.EventLoopBlocked, whenever a greenlet keeps the hub from
    running longer than that. report runs on the monitor thread. Call it on
    the hub's thread (at the top of a locustfile, say). Returns a function
    that stops the reports (the monitor thread stays)."""
    gevent.config.monitor_thread = True
    gevent.config.max_blocking_time = max_blocking_time
    if gevent.get_hub().start_periodic_monitoring_thread() is None:
        raise RuntimeError("gevent's monitor thread did not start")

    def subscriber(event: object) -> None:
        if isinstance(event, gevent.events.EventLoopBlocked):
            report(event)
    gevent.events.subscribers.append(subscriber)

    def stop() -> None:
        if subscriber in gevent.events.subscribers:
            gevent.events.subscribers.remove(subscriber)
    return stop


# ---- the Bot -----------------------------------------------------------------
class _Waiting:
    __slots__ = ("callback", "operation", "result", "entries")

    def __init__(self, callback: Callback, operation: str) -> None:
        self.callback = callback
        self.operation = operation
        self.result = gevent.event.AsyncResult()   # (Result, perf_counter of the answer)
        self.entries: Optional[List[EventData]] = [] if callback in CALLBACK_ENTRIES else None


class Bot(_BotBase):
    """An Instance on the shared loop of this gevent hub (driver().loop).

    Requests with an answer (connect_universe, login, enter, the object
    requests, world_list, ...) send the request, let the current greenlet
    wait for the answer and return a kivsdk.aio.Result; a non-zero code
    raises KIVError, no answer within `timeout` seconds (request_timeout by
    default) RequestTimeout. Requests without an answer (say, leave, ...),
    the staying-up setters and attribute reads pass through to the
    Instance. The blocking forms (wait, wait_until, run_for) raise: they
    would hold the hub while the library waits.

    on(event, handler) calls handler(EventData) inside the pass, in the
    hub's serving greenlet: it must not block (spawn a greenlet for that).
    """

    request_timeout: float = 30.0

    def __init__(self) -> None:
        self._driver = driver()
        self._closed = False
        self._waiting: Dict[int, _Waiting] = {}         # reference -> _Waiting
        self._unnumbered: Dict[Callback, _Waiting] = {}  # connect, login, enter -> _Waiting
        self._reference = 0
        self._handlers: Dict[Event, EventDataFunction] = {}  # Event -> handler(EventData)
        # perf_counter of the last answer a request returned
        self.answered: Optional[float] = None
        self.name: Optional[str] = None    # the login name, once logged in
        self.world: Optional[str] = None   # the world entered, until left or closed
        self.instance = self._driver.loop.instance()
        owner = weakref.ref(self)
        for callback in Callback:
            self.instance.on_callback(callback, _callback_handler(owner, callback))
        for event in _COLLECTED | {Event.CHAT}:
            self.instance.on_event(event, _event_handler(owner, event))

    @property
    def loop(self) -> Loop:
        return self._driver.loop

    def close(self) -> None:
        """Destroys the Instance; a greenlet waiting for an answer gets
        Closed. Idempotent."""
        if self._closed:
            return
        self._driver.check_thread()
        self._closed = True
        self._leave_world()
        waiting = list(self._unnumbered.values()) + list(self._waiting.values())
        self._unnumbered.clear()
        self._waiting.clear()
        for request in waiting:
            if not request.result.ready():
                request.result.set_exception(Closed(request.operation))
        self.instance.close()
        self._driver.rearm()

    def __enter__(self: _BotSelf) -> _BotSelf:
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        self.close()
        return False

    # ---- events ---------------------------------------------------------------
    def on(self, event: Union[Event, int], handler: Optional[EventDataFunction]) -> None:
        """Calls handler(EventData) for every `event` (None clears), inside
        the pass: never block there."""
        event = Event(event)
        if handler is None:
            self._handlers.pop(event, None)
            if event not in _COLLECTED and event is not Event.CHAT:
                self.instance.on_event(event, None)
            return
        self._handlers[event] = handler
        self.instance.on_event(event, _event_handler(weakref.ref(self), event))

    def _on_event(self, event: Event) -> None:
        handler = self._handlers.get(event)
        if event is Event.CHAT and self.world is not None:
            self._driver.heard(self, self.world, self.instance.avatar_name,
                               self.instance.chat_message)
        data = self._event_data(event, handler is not None)
        if data is not None and handler is not None:
            handler(data)

    def _on_callback(self, callback: Callback, rc: Code, reference: int) -> None:
        answered = time.perf_counter()
        request = self._take_answered(callback, reference)
        if request is None or request.result.ready():
            return
        result = self._result(callback, rc, reference, request)
        if rc == ReturnCode.SUCCESS:
            request.result.set((result, answered))
        else:
            error = KIVError(rc, request.operation)
            error.result = result
            error.answered = answered
            request.result.set_exception(error)

    # ---- requests ---------------------------------------------------------------
    def request(self, callback: Callback, operation: str, call: Callable[[], object],
                attributes: Optional[Dict[str, Any]] = None,
                timeout: Optional[float] = None) -> Result:
        """Sends a request with `call()` (after setting the keyword
        attributes) and lets the current greenlet wait for its answer;
        returns its Result. The named methods below use it. self.answered is
        then the time.perf_counter() of the answer's callback (a failure's
        KIVError has it as .answered)."""
        if self._closed:
            raise ValueError("the Bot is closed")
        self._driver.check_thread()
        if gevent.getcurrent() is self._driver.hub:
            raise RuntimeError(f"{operation}: a request waits for its answer, which the hub "
                               "itself cannot do (call it from a greenlet)")
        if attributes:
            self._assign(attributes)
        request = _Waiting(callback, operation)
        key = self._register(callback, operation, request)
        # Registered before the call: a lost connection answers inside it.
        try:
            call()
        except BaseException:
            self._unregister(callback, key, request)
            raise
        finally:
            self._driver.rearm()
        limit = self.request_timeout if timeout is None else timeout
        try:
            result: Result
            result, self.answered = request.result.get(timeout=limit)
            return result
        except gevent.Timeout:
            # A numbered answer coming later finds nothing and is dropped. An
            # unnumbered one stays expected, so that it is not taken for the
            # answer of the next request of its kind.
            if key is not None:
                self._waiting.pop(key, None)
            raise RequestTimeout(operation, limit) from None

    def connect_universe(self, host: str, port: int, timeout: Optional[float] = None) -> Result:
        """Connects (host resolved by gevent first) and brings up the
        secure channel."""
        address = self._driver.address(host, port)
        return self.request(Callback.CONNECT_UNIVERSE, "connect_universe",
                            lambda: self.instance.connect_universe(address, port),
                            timeout=timeout)

    def login(self, name: str, password: Text, extra: Text = "",
              timeout: Optional[float] = None) -> Result:
        """Result: login_reply_value, login_reply_string."""
        result = self.request(Callback.LOGIN, "login",
                              lambda: self.instance.login(name, password, extra), timeout=timeout)
        self.name = name
        return result

    def enter(self, world: str, timeout: Optional[float] = None) -> Result:
        """Result: world_entry_value."""
        self._leave_world()
        result = self.request(Callback.ENTER, "enter", lambda: self.instance.enter(world),
                              timeout=timeout)
        self.world = world
        self._driver.worlds[world].add(self)
        return result

    def leave(self) -> None:
        self._leave_world()
        self._immediate(self.instance.leave)

    def _leave_world(self) -> None:
        if self.world is not None:
            self._driver.worlds[self.world].discard(self)
            self.world = None

    def object_add(self, timeout: Optional[float] = None, **attributes: Any) -> Result:
        """Sets the keyword attributes, adds the object; Result: object_id."""
        return self.request(Callback.OBJECT_ADD, "object_add", self.instance.object_add,
                            attributes, timeout)

    def object_change(self, timeout: Optional[float] = None, **attributes: Any) -> Result:
        return self.request(Callback.OBJECT_CHANGE, "object_change", self.instance.object_change,
                            attributes, timeout)

    def object_load(self, timeout: Optional[float] = None, **attributes: Any) -> Result:
        return self.request(Callback.OBJECT_LOAD, "object_load", self.instance.object_load,
                            attributes, timeout)

    def object_delete(self, object_id: int, timeout: Optional[float] = None) -> Result:
        return self.request(Callback.OBJECT_DELETE, "object_delete",
                            lambda: self.instance.object_delete(object_id), timeout=timeout)

    def object_get(self, object_id: int, timeout: Optional[float] = None) -> Result:
        """Result: the object's record."""
        return self.request(Callback.OBJECT_GET, "object_get",
                            lambda: self.instance.object_get(object_id), timeout=timeout)

    def world_list(self, value: int = 0, timeout: Optional[float] = None) -> Result:
        """Result.entries: one WORLD_LIST event per world."""
        return self.request(Callback.WORLD_LIST, "world_list",
                            lambda: self.instance.world_list(value), timeout=timeout)

    def world_setting_set(self, setting: Text, value: Text, target: int = 0,
                          timeout: Optional[float] = None) -> Result:
        return self.request(Callback.WORLD_SETTING_SET, "world_setting_set",
                            lambda: self.instance.world_setting_set(setting, value, target),
                            timeout=timeout)

    def _immediate(self, method: Callable[..., _T], *args: Any, **keywords: Any) -> _T:
        if self._closed:
            raise ValueError("the Bot is closed")
        self._driver.check_thread()
        try:
            return method(*args, **keywords)
        finally:
            self._driver.rearm()

    # ---- refused: they would hold the hub ------------------------------------
    def _blocking(self, name: str) -> NoReturn:
        raise RuntimeError(f"{name}() would hold gevent's hub while the library waits; the "
                           "hub serves every bot of this process already: wait with gevent "
                           "(gevent.sleep, or a request's own wait)")

    def wait(self, *args: Any, **keywords: Any) -> NoReturn:
        self._blocking("wait")

    def wait_until(self, *args: Any, **keywords: Any) -> NoReturn:
        self._blocking("wait_until")

    def run_for(self, *args: Any, **keywords: Any) -> NoReturn:
        self._blocking("run_for")




# ---- the Locust user -----------------------------------------------------------
_process_tag = uuid.uuid4().hex[:6]
_serial = itertools.count(1)


class KivUser(User):
    """A Locust user that is a bot on this process's shared loop.

    Set `host` (or pass --host) to the universe as HOST:PORT, and `world`
    and `password`; on_start connects, logs in as a name of its own
    (login_name()) and enters the world. Call super().on_start() when
    overriding it. A bot that cannot connect, log in or enter stops (its
    failure is reported first).

    Reported to Locust (request type, name): ("connect", host),
    ("login", host), ("enter", world), ("object_add", world) from the
    request to its answer, and ("chat", world) from say() to the moment
    the first other bot of this process in the same world hears the line.
    A failure is reported with its exception and then raised (KIVError,
    RequestTimeout or ChatNotHeard); Locust logs it and goes on with the
    next task. measure() reports anything else.

    self.bot is the Bot (made on first use, closed in on_stop).
    """

    abstract = True
    host: str       # the universe; __init__ refuses a KivUser without one
    world: str = "lobby"
    password: str = ""
    name_prefix: str = "bot"
    request_timeout: float = 30.0   # seconds for an answer
    chat_timeout: float = 10.0      # seconds for a line to be heard

    def __init__(self, environment: Environment) -> None:
        super().__init__(environment)
        if not self.host:
            raise LocustError("a KivUser needs the universe's address: set `host` in the "
                              "class or pass --host HOST:PORT")
        self.universe = split_host(self.host)
        self._bot: Optional[Bot] = None

    @property
    def bot(self) -> Bot:
        if self._bot is None:
            self._bot = Bot()
            self._bot.request_timeout = self.request_timeout
        return self._bot

    def login_name(self) -> str:
        """A name no other user of this run has: prefix, process tag, serial."""
        return f"{self.name_prefix}-{_process_tag}-{next(_serial)}"

    def on_start(self) -> None:
        try:
            self.connect()
            self.login()
            self.enter()
        except (KIVError, OSError):
            self.close()
            raise StopUser() from None

    def on_stop(self) -> None:
        self.close()

    def close(self) -> None:
        if self._bot is not None:
            self._bot.close()

    # ---- reporting --------------------------------------------------------------
    def report(self, request_type: str, name: str, started: float, finished: float,
               length: int = 0, exception: Optional[BaseException] = None) -> None:
        """Fires Locust's request event: response time from `started` to
        `finished` (time.perf_counter values) in milliseconds."""
        self.environment.events.request.fire(
            request_type=request_type, name=name,
            response_time=max(0.0, (finished - started) * 1000.0),
            response_length=length, exception=exception, context=self.context(),
            response=None)

    @contextlib.contextmanager
    def measure(self, request_type: str, name: str, length: int = 0) -> Iterator[None]:
        """Reports the block as one request: a failure when it raises (the
        exception goes on)."""
        started = time.perf_counter()
        try:
            yield
        except Exception as error:
            self.report(request_type, name, started, time.perf_counter(), 0, error)
            raise
        self.report(request_type, name, started, time.perf_counter(), length)

    def _timed(self, request_type: str, name: str, send: Callable[[], Result],
               length: Callable[[Result], int] = lambda result: 0) -> Result:
        started = time.perf_counter()
        try:
            result = send()
        except Exception as error:
            self.report(request_type, name, started,
                        getattr(error, "answered", None) or time.perf_counter(), 0, error)
            raise
        # Timed to the answer's callback, not to when this greenlet resumed.
        self.report(request_type, name, started, cast(float, self.bot.answered), length(result))
        return result

    # ---- reported requests --------------------------------------------------------
    def connect(self) -> Result:
        """Resolves the universe's host and connects."""
        host, port = self.universe
        return self._timed("connect", self.host, lambda: self.bot.connect_universe(host, port))

    def login(self, name: Optional[str] = None, password: Optional[str] = None) -> Result:
        """Logs in as `name` (login_name() by default) with `password`
        (the class's by default)."""
        login_name = self.login_name() if name is None else name
        login_password = self.password if password is None else password
        return self._timed("login", self.host,
                           lambda: self.bot.login(login_name, login_password),
                           lambda result: len(result.login_reply_string.encode("utf-8")))

    def enter(self, world: Optional[str] = None) -> Result:
        """Enters `world` (the class's by default)."""
        entered = self.world if world is None else world
        return self._timed("enter", entered, lambda: self.bot.enter(entered))

    def object_add(self, **attributes: Any) -> Result:
        """Adds an object (keyword attributes: object_string_1="box.rwx",
        object_x=..., ...); returns its Result (object_id)."""
        return self._timed("object_add", self.bot.world or "",
                           lambda: self.bot.object_add(**attributes))

    def say(self, text: str) -> Optional[float]:
        """Says `text`. When other bots of this process are in the world, the
        line is reported once the first of them hears it (a failure after
        chat_timeout); returns the milliseconds it took. Alone, the line is
        said and not reported (None)."""
        bot = self.bot
        world = bot.world or ""
        length = len(text.encode("utf-8"))
        line = bot._driver.expect_line(bot, text, self.chat_timeout) if bot.world else None
        started = time.perf_counter()
        try:
            bot.say(text)
        except Exception as error:
            if line is not None:
                bot._driver.forget(line)
            self.report("chat", world, started, time.perf_counter(), 0, error)
            raise
        if line is None:
            return None
        try:
            heard = line.result.get(timeout=self.chat_timeout)
        except gevent.Timeout:
            bot._driver.forget(line)
            not_heard = ChatNotHeard(f"no bot in {world} heard the line within "
                                     f"{self.chat_timeout:g} s")
            self.report("chat", world, started, time.perf_counter(), 0, not_heard)
            raise not_heard from None
        self.report("chat", world, started, heard, length)
        return (heard - started) * 1000.0

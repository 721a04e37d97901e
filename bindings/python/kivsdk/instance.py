"""The Instance: one client of the library, with its attributes, handlers
and requests."""
from __future__ import annotations

import ctypes
import logging
import os
import threading
import time
import weakref
from enum import IntEnum
from typing import (TYPE_CHECKING, Any, Callable, Dict, Iterable, List, NamedTuple, Optional,
                    Tuple, Type, TypeVar, Union, overload)

from . import _native
from .constants import (LIVENESS_DEFAULT, Callback, DataAttribute, Detail, Event, FloatAttribute,
                        IntAttribute, LogLevel, ReplayFlag, ReturnCode, Side, State,
                        StringAttribute)

if TYPE_CHECKING:
    from typing import Literal

    from .aio import Result

# A return code: the ReturnCode, or the plain int of one the library does
# not define.
Code = Union[ReturnCode, int]
# An attribute slot of get() and set(), of any of the four kinds.
Attribute = Union[IntAttribute, FloatAttribute, StringAttribute, DataAttribute]
# What get() reads: int, float, str or bytes after the attribute's kind.
AttributeValue = Union[int, float, str, bytes]
# Text handed to the library: str (sent as UTF-8) or bytes (sent as they are).
Text = Union[str, bytes]
# A file name of capture_start() and replay_start().
PathName = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# handler(instance) of an event; what it returns is ignored.
EventFunction = Callable[["Instance"], object]
# handler(instance, rc, reference) of a callback; what it returns is ignored.
CallbackFunction = Callable[["Instance", Code, int], object]

_EventF = TypeVar("_EventF", bound=EventFunction)
_CallbackF = TypeVar("_CallbackF", bound=CallbackFunction)
_Enum = TypeVar("_Enum", bound=IntEnum)
_Self = TypeVar("_Self", bound="Instance")


class KIVError(Exception):
    """A call failed; .code is the library's return code (a ReturnCode when
    the library defines it, the plain int otherwise)."""

    # Set by kivsdk.aio and kivsdk.locust on the error of a request whose
    # answer came: .result is that answer (a kivsdk.aio.Result) and, from
    # kivsdk.locust, .answered the time.perf_counter() of its callback.
    result: Result
    answered: float

    def __init__(self, code: int, operation: str = "") -> None:
        self.code: Code = as_code(code)
        self.operation = operation
        name = self.code.name if isinstance(self.code, ReturnCode) else "unknown code"
        super().__init__(f"{operation}: {name} ({int(code)})" if operation
                         else f"{name} ({int(code)})")


def as_code(value: int) -> Code:
    """The ReturnCode for value, or the int itself when the library does not
    define it (terrain callbacks pass server results through)."""
    try:
        return ReturnCode(value)
    except ValueError:
        return int(value)


def init() -> None:
    """kiv_init with the interface version this package was written for;
    raises KIVError on a mismatch."""
    from .constants import INTERFACE_VERSION
    rc = _native.library().kiv_init(INTERFACE_VERSION)
    if rc != 0:
        raise KIVError(rc, "init")


def version() -> int:
    """The library's version as major * 10000 + minor * 100 + patch."""
    return _native.library().kiv_version()


def _as(kind: Type[_Enum], value: int) -> Union[_Enum, int]:
    """kind(value) when kind defines it, else the plain int."""
    try:
        return kind(value)
    except ValueError:
        return int(value)


class Disconnection(NamedTuple):
    """What ints 45-48 and string 24 say about the last failure or
    reconnection step: read it in the disconnect events and in Event.RECONNECTING,
    RECONNECTED and GAVE_UP. side is a Side, detail a Detail."""

    side: Union[Side, int]
    detail: Union[Detail, int]
    text: str
    attempt: int
    delay_ms: int


# The counters of kiv_stats: Stats(universe=SideStats(...), world=SideStats(...)).
# The fields are those of KIVSideStats (_native.SideStats), in its order.
class SideStats(NamedTuple):
    bytes_in: int
    bytes_out: int
    frames_in: int
    frames_out: int
    queue_bytes: int
    queue_peak: int
    rtt_last_us: int
    rtt_smoothed_us: int
    losses: int
    reconnections: int
    unknown_messages: int
    handshake_us: int


class Stats(NamedTuple):
    universe: SideStats
    world: SideStats


# The progress of a replay (kiv_replay_status): the fields of KIVReplayStatus
# (_native.ReplayStatus) but its size, in its order.
class ReplayStatus(NamedTuple):
    records: int
    position: int
    skipped: int
    sent: int
    mismatched: int
    waiting: int
    waiting_side: int
    waiting_type: int


# The library's log levels as the logging module's.
_PYTHON_LEVELS: Dict[int, int] = {LogLevel.ERROR: logging.ERROR, LogLevel.WARNING: logging.WARNING,
                  LogLevel.INFO: logging.INFO, LogLevel.DEBUG: logging.DEBUG}


def _log_thunk(logger: logging.Logger,
               keep: Optional[Callable[[BaseException], None]] = None) -> Any:
    """A LogHandler feeding `logger`: each line as one record at the matching
    level, "category: text" without the line end, the category also in
    record.kiv_category. Nothing raises into the library: an exception goes to
    keep(error) when given, else it is dropped."""
    def thunk(_handle: Any, level: int, category: Optional[bytes], text: Optional[bytes]) -> None:
        try:
            name = (category or b"").decode("utf-8", "replace")
            line = (text or b"").decode("utf-8", "replace").rstrip("\r\n")
            logger.log(_PYTHON_LEVELS.get(level, logging.DEBUG), "%s: %s", name, line,
                       extra={"kiv_category": name})
        except BaseException as error:  # ctypes would print and drop it
            if keep is not None:
                keep(error)
    return _native.LogHandler(thunk)


# Every global thunk ever handed to the library: another thread may still be
# inside a replaced one.
_global_log_thunks: List[Any] = []
_global_log_lock = threading.Lock()


def log_to(logger: Optional[logging.Logger],
           level: Union[LogLevel, int] = LogLevel.WARNING) -> None:
    """Sends the diagnostic lines at `level` and below of every Instance
    without a route of its own (and those of no Instance) to `logger`, a
    logging.Logger; logger None writes them to standard output, LogLevel.OFF
    silences them. The lines may come from any thread that runs an Instance."""
    with _global_log_lock:
        # LogHandler() is NULL: a function pointer ctypes' stubs do not know.
        thunk = (_log_thunk(logger) if logger is not None
                 else _native.LogHandler())  # type: ignore[call-overload]
        _check(_native.library().kiv_log_set(None, int(level), thunk), "log_to")
        _global_log_thunks.append(thunk)


@overload
def _text(value: None) -> None: ...
@overload
def _text(value: Text) -> bytes: ...
@overload
def _text(value: Optional[Text]) -> Optional[bytes]: ...


def _text(value: object) -> Optional[bytes]:
    if value is None:
        return None
    if isinstance(value, bytes):
        return value
    return str(value).encode("utf-8")


def _check(rc: int, operation: str) -> None:
    if rc != 0:
        raise KIVError(rc, operation)


class Instance:
    """One client Instance.

    Attributes: get(attribute)/set(attribute, value) with any member of
    IntAttribute, FloatAttribute, StringAttribute or DataAttribute, or the
    lower-case properties named after them (bot.chat_message, bot.my_x = 1.0).
    Strings are str (UTF-8; undecodable bytes are replaced, get_bytes gives
    them raw); data attributes are bytes.

    Handlers: @bot.event(Event.CHAT) def f(bot) and
    @bot.callback(Callback.LOGIN) def f(bot, rc, reference), or
    on_event/on_callback; None clears. An exception raised by a handler is
    kept and re-raised from the call that ran it (wait, the blocking requests).

    Requests raise KIVError with the return code when they fail. Without a
    callback handler, connect_universe, login and enter block until their
    answer; with one, they return at once and the answer calls the handler.

    Staying up: liveness(), limits(), reconnect(), queue_limit(), state(side),
    trust(side, pem); the disconnection property reads what the library says
    in the disconnect and reconnect events.

    An Instance belongs to one thread at a time: a call from another thread
    while one is inside the library raises KIVError WRONG_THREAD. close() (or
    leaving a with block) destroys it; so does garbage collection.
    """

    # The attribute properties (added after the class, one per member of the
    # four attribute enumerations), as type checkers see them.
    avatar_session: int
    avatar_type: int
    my_type: int
    object_id: int
    object_type: int
    object_int_1: int
    object_int_2: int
    world_state: int
    world_value: int
    reference_number: int
    current_callback: int
    user_id: int
    user_int_1: int
    user_int_2: int
    user_int_3: int
    friend_id: int
    friend_user_id: int
    friend_state: int
    login_reply_value: int
    connect_mode: int
    connect_alt_port: int
    cell_x: int
    cell_z: int
    terrain_tile_x: int
    terrain_tile_z: int
    terrain_node_x: int
    terrain_node_z: int
    terrain_node_revision: int
    clicked_session: int
    chat_type: int
    chat_color_red: int
    chat_color_green: int
    chat_color_blue: int
    chat_effects: int
    disconnect_reason: int
    url_target: int
    current_event: int
    cell_revision: int
    cell_status: int
    join_id: int
    invite_id: int
    invite_user_id: int
    world_entry_value: int
    world_permission_holder: int
    disconnect_detail: Union[Detail, int]
    reconnect_attempt: int
    reconnect_delay: int
    disconnect_side: Union[Side, int]
    avatar_x: float
    avatar_y: float
    avatar_z: float
    avatar_pitch: float
    avatar_yaw: float
    my_x: float
    my_y: float
    my_z: float
    my_yaw: float
    my_pitch: float
    object_x: float
    object_y: float
    object_z: float
    object_rotation_x: float
    object_rotation_y: float
    object_rotation_z: float
    object_rotation_angle: float
    teleport_x: float
    teleport_y: float
    teleport_z: float
    teleport_yaw: float
    teleport_pitch: float
    click_hit_x: float
    click_hit_y: float
    click_hit_z: float
    join_x: float
    join_y: float
    join_z: float
    join_yaw: float
    join_pitch: float
    invite_x: float
    invite_y: float
    invite_z: float
    invite_yaw: float
    invite_pitch: float
    avatar_name: str
    chat_message: str
    object_string_1: str
    object_string_2: str
    object_string_3: str
    world_name: str
    user_string_1: str
    user_string_2: str
    world_setting_name: str
    world_setting_value: str
    friend_name: str
    connect_alt_host: str
    teleport_world: str
    url: str
    join_world: str
    join_name: str
    login_reply_string: str
    invite_name: str
    invite_world: str
    login_extra_1: str
    login_extra_2: str
    avatar_string_1: str
    avatar_string_2: str
    world_permission_name: str
    disconnect_text: str
    object_data: bytes
    terrain_node_data: bytes

    def __init__(self, net_config: Optional[_native.NetConfig] = None) -> None:
        self._lib = _native.library()
        self._net_config = net_config  # the host's table keeps its functions alive
        self._handle = self._lib.kiv_create(ctypes.byref(net_config) if net_config else None)
        if not self._handle:
            raise MemoryError("kiv_create failed")
        # Every CFUNCTYPE object handed to the library lives as long as the
        # Instance: ctypes frees the thunk when the object is collected.
        self._event_thunks: Dict[Event, Any] = {}
        self._callback_thunks: Dict[Callback, Any] = {}
        self._event_handlers: Dict[Event, EventFunction] = {}
        self._callback_handlers: Dict[Callback, CallbackFunction] = {}
        self._log_thunks: List[Any] = []
        self._pending_error: Optional[BaseException] = None

    # ---- lifetime ---------------------------------------------------------
    @property
    def handle(self) -> ctypes._Pointer[_native.KIVInstance]:
        """The KIVInstance pointer, for calling the C functions directly."""
        if not self._handle:
            raise ValueError("the Instance is closed")
        return self._handle

    @property
    def closed(self) -> bool:
        return not self._handle

    def close(self) -> None:
        """Destroys the Instance (idempotent)."""
        handle, self._handle = self._handle, None
        if handle:
            self._lib.kiv_destroy(handle)
        # The thunks stay until the object goes: close() may run inside one of
        # them, and freeing a running ctypes thunk pulls the code from under it.

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        self.close()
        return False

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # interpreter shutdown
            pass

    # ---- attributes -------------------------------------------------------
    @overload
    def get(self, attribute: IntAttribute) -> int: ...
    @overload
    def get(self, attribute: FloatAttribute) -> float: ...
    @overload
    def get(self, attribute: StringAttribute) -> str: ...
    @overload
    def get(self, attribute: DataAttribute) -> bytes: ...

    def get(self, attribute: Attribute) -> AttributeValue:
        if isinstance(attribute, IntAttribute):
            return self._lib.kiv_int(self.handle, attribute)
        if isinstance(attribute, FloatAttribute):
            return self._lib.kiv_double(self.handle, attribute)
        if isinstance(attribute, StringAttribute):
            raw = self.get_bytes(attribute)
            return raw.decode("utf-8", errors="replace")
        if isinstance(attribute, DataAttribute):
            length = ctypes.c_int(0)
            pointer = self._lib.kiv_data(self.handle, attribute, ctypes.byref(length))
            return ctypes.string_at(pointer, length.value) if pointer and length.value > 0 else b""
        raise TypeError(f"not an attribute: {attribute!r}")

    def get_bytes(self, attribute: Union[StringAttribute, int]) -> bytes:
        """A string attribute as the raw bytes the library holds."""
        value = self._lib.kiv_string(self.handle, StringAttribute(attribute))
        return value if value is not None else b""

    @overload
    def set(self, attribute: IntAttribute, value: int) -> None: ...
    @overload
    def set(self, attribute: FloatAttribute, value: float) -> None: ...
    @overload
    def set(self, attribute: StringAttribute, value: Optional[Text]) -> None: ...
    @overload
    def set(self, attribute: DataAttribute, value: Optional[bytes]) -> None: ...

    def set(self, attribute: Attribute, value: Any) -> None:
        if isinstance(attribute, IntAttribute):
            _check(self._lib.kiv_int_set(self.handle, attribute, int(value)), f"set {attribute.name}")
        elif isinstance(attribute, FloatAttribute):
            _check(self._lib.kiv_double_set(self.handle, attribute, float(value)),
                   f"set {attribute.name}")
        elif isinstance(attribute, StringAttribute):
            self._lib.kiv_string_set(self.handle, attribute, _text(value))
        elif isinstance(attribute, DataAttribute):
            data = bytes(value) if value is not None else None
            _check(self._lib.kiv_data_set(self.handle, attribute, len(data) if data else 0, data),
                   f"set {attribute.name}")
        else:
            raise TypeError(f"not an attribute: {attribute!r}")

    @property
    def user_data(self) -> Optional[int]:
        """The Instance's opaque user-data pointer (an int or None). The
        binding itself never uses it; C code sharing the Instance may."""
        return self._lib.kiv_user_data(self.handle)

    @user_data.setter
    def user_data(self, value: Optional[int]) -> None:
        self._lib.kiv_user_data_set(self.handle, value)

    # ---- handlers ---------------------------------------------------------
    def on_event(self, event: Union[Event, int], handler: Optional[EventFunction]) -> None:
        """Sets (None clears) the handler of an event: handler(instance)."""
        event = Event(event)
        thunk = (self._event_thunk(event) if handler is not None
                 else _native.EventHandler())  # type: ignore[call-overload]
        _check(self._lib.kiv_event_set(self.handle, event, thunk), f"set handler {event.name}")
        if handler is None:
            self._event_handlers.pop(event, None)
            self._event_thunks.pop(event, None)
        else:
            self._event_handlers[event] = handler
            self._event_thunks[event] = thunk

    def on_callback(self, callback: Union[Callback, int],
                    handler: Optional[CallbackFunction]) -> None:
        """Sets (None clears) the handler of a callback:
        handler(instance, rc, reference), rc a ReturnCode (or int)."""
        callback = Callback(callback)
        thunk = (self._callback_thunk(callback) if handler is not None
                 else _native.CallbackHandler())  # type: ignore[call-overload]
        _check(self._lib.kiv_callback_set(self.handle, callback, thunk),
               f"set handler {callback.name}")
        if handler is None:
            self._callback_handlers.pop(callback, None)
            self._callback_thunks.pop(callback, None)
        else:
            self._callback_handlers[callback] = handler
            self._callback_thunks[callback] = thunk

    def event(self, event: Union[Event, int]) -> Callable[[_EventF], _EventF]:
        """Decorator form of on_event."""
        def register(handler: _EventF) -> _EventF:
            self.on_event(event, handler)
            return handler
        return register

    def callback(self, callback: Union[Callback, int]) -> Callable[[_CallbackF], _CallbackF]:
        """Decorator form of on_callback."""
        def register(handler: _CallbackF) -> _CallbackF:
            self.on_callback(callback, handler)
            return handler
        return register

    def _keep(self, error: BaseException) -> None:
        if self._pending_error is None:
            self._pending_error = error

    def _event_thunk(self, event: Event) -> Any:
        owner = weakref.ref(self)

        def thunk(_handle: Any) -> None:
            instance = owner()
            if instance is None:
                return
            handler = instance._event_handlers.get(event)
            if handler is None:
                return
            try:
                handler(instance)
            except BaseException as error:  # ctypes would print and drop it
                instance._keep(error)
        return _native.EventHandler(thunk)

    def _callback_thunk(self, callback: Callback) -> Any:
        owner = weakref.ref(self)

        def thunk(_handle: Any, rc: int, reference: int) -> None:
            instance = owner()
            if instance is None:
                return
            handler = instance._callback_handlers.get(callback)
            if handler is None:
                return
            try:
                handler(instance, as_code(rc), reference)
            except BaseException as error:
                instance._keep(error)
        return _native.CallbackHandler(thunk)

    def raise_pending(self) -> None:
        """Re-raises (and forgets) the first exception a handler raised."""
        error, self._pending_error = self._pending_error, None
        if error is not None:
            raise error

    def _after_handlers(self, rc: int, operation: str) -> None:
        self.raise_pending()
        _check(rc, operation)

    # ---- waiting ----------------------------------------------------------
    def wait(self, milliseconds: int = 0) -> None:
        """One pass of kiv_wait: blocks at most `milliseconds`, runs every
        handler that is due, re-raises a handler's exception, raises KIVError
        when the pass fails."""
        self._after_handlers(self._lib.kiv_wait(self.handle, int(milliseconds)), "wait")

    def wait_until(self, condition: Callable[[], object], timeout: float,
                   slice_ms: int = 100) -> bool:
        """Calls wait(slice_ms) until condition() is true or `timeout`
        seconds have passed; returns whether the condition was met."""
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() >= deadline:
                return False
            self.wait(slice_ms)
        return True

    def run_for(self, seconds: float, slice_ms: int = 100) -> None:
        """Serves the Instance for `seconds` seconds."""
        self.wait_until(lambda: False, seconds, slice_ms)

    # ---- observability ----------------------------------------------------
    def log_to(self, logger: Optional[logging.Logger],
               level: Union[LogLevel, int] = LogLevel.INFO) -> None:
        """Sends this Instance's diagnostic lines at `level` and below to
        `logger` (a logging.Logger) instead of the global route; logger None
        writes them to standard output, LogLevel.OFF silences them. An
        exception from the logger is re-raised like a handler's."""
        owner = weakref.ref(self)

        def keep(error: BaseException) -> None:
            instance = owner()
            if instance is not None:
                instance._keep(error)
        thunk = (_log_thunk(logger, keep) if logger is not None
                 else _native.LogHandler())  # type: ignore[call-overload]
        _check(self._lib.kiv_log_set(self.handle, int(level), thunk), "log_to")
        self._log_thunks.append(thunk)  # kept until the Instance goes

    def stats(self) -> Stats:
        """The counters of both sides, as Stats(universe, world) of
        SideStats named tuples (bytes_in, frames_out, rtt_last_us, ...)."""
        counters = _native.Stats()
        size = ctypes.sizeof(counters)
        _check(self._lib.kiv_stats(self.handle, ctypes.byref(counters), size), "stats")
        return Stats(*(SideStats(*(getattr(side, name) for name in SideStats._fields))
                       for side in (counters.universe, counters.world)))

    def capture_start(self, path: PathName, max_bytes: int = 0) -> None:
        """Writes every frame of both sides, credentials masked, to a
        capture file (docs/capture-format.md; kivdump prints it) until
        capture_stop() or until it holds `max_bytes` (0: 64 MiB)."""
        _check(self._lib.kiv_capture_start(self.handle, _text(os.fspath(path)), int(max_bytes)),
               "capture_start")

    def capture_stop(self) -> None:
        """Ends the capture; its file is complete."""
        _check(self._lib.kiv_capture_stop(self.handle), "capture_stop")

    def replay_start(self, path: PathName, timed: bool = False) -> None:
        """Replays a capture into this fresh Instance (a regression test):
        the same calls as in the recorded session then see the same events,
        with the server's side played from the file (kiv_replay_start)."""
        flags = ReplayFlag.RECORDED_TIMING if timed else ReplayFlag.AS_FAST_AS_POSSIBLE
        _check(self._lib.kiv_replay_start(self.handle, _text(os.fspath(path)), int(flags)),
               "replay_start")

    def replay_status(self) -> ReplayStatus:
        """The replay's progress as a ReplayStatus named tuple (records,
        position, skipped, sent, mismatched, waiting, waiting_side, waiting_type)."""
        status = _native.ReplayStatus()
        _check(self._lib.kiv_replay_status(self.handle, ctypes.byref(status),
                                           ctypes.sizeof(status)), "replay_status")
        return ReplayStatus(*(getattr(status, name) for name in ReplayStatus._fields))

    def replay_skip(self) -> None:
        """Passes the recorded client frame the replay waits for."""
        _check(self._lib.kiv_replay_skip(self.handle), "replay_skip")

    # ---- staying up -------------------------------------------------------
    def liveness(self, seconds: int = LIVENESS_DEFAULT) -> None:
        """A side that receives nothing for `seconds` is lost (Detail.SILENT or
        STALLED); 0 turns it off, the default turns it on with 75 s. Servers
        send keep-alives after 30 s without sending: stay above that."""
        _check(self._lib.kiv_liveness_set(self.handle, int(seconds)), "liveness")

    def limits(self, connect: int = 0, login: int = 0, enter: int = 0) -> None:
        """Time limits in whole seconds of connect, login and enter; 0 keeps
        a limit's default (15, 10, 20 s)."""
        _check(self._lib.kiv_limits_set(self.handle, int(connect), int(login), int(enter)),
               "limits")

    def reconnect(self, enabled: bool = True, first_delay_ms: int = 1000,
                  max_delay_ms: int = 30000, max_attempts: int = 0, jitter: bool = True) -> None:
        """Reconnection after the first successful login: a lost side is
        tried again after min(max_delay_ms, first_delay_ms * 2^(attempt-1))
        (with jitter a random part of it), max_attempts 0 forever.
        reconnect(enabled=False) turns it off and cancels a scheduled attempt."""
        policy = _native.ReconnectPolicy(ctypes.sizeof(_native.ReconnectPolicy),
                                         1 if enabled else 0, int(first_delay_ms),
                                         int(max_delay_ms), int(max_attempts),
                                         1 if jitter else 0)
        _check(self._lib.kiv_reconnect_set(self.handle, ctypes.byref(policy)), "reconnect")

    def queue_limit(self, limit: int = 0) -> None:
        """The most bytes each output queue holds (0: the default, 8 MiB). A
        request past it raises KIVError QUEUE_FULL and sends nothing."""
        _check(self._lib.kiv_queue_limit_set(self.handle, int(limit)), "queue_limit")

    def state(self, side: Union[Side, int]) -> Union[State, int]:
        """The State of a Side (Side.UNIVERSE or Side.WORLD)."""
        value = self._lib.kiv_state(self.handle, int(Side(side)))
        if value in (ReturnCode.INVALID_ARGUMENT, ReturnCode.WRONG_THREAD):
            raise KIVError(value, "state")
        return _as(State, value)

    def trust(self, side: Union[Side, int], pem: Text) -> None:
        """The CA certificates (PEM, str or bytes) the side trusts from its
        next connection on, instead of the built-in bundle."""
        data = _text(pem)
        _check(self._lib.kiv_trust_set(self.handle, int(Side(side)), data, len(data)), "trust")

    @property
    def disconnection(self) -> Disconnection:
        """A Disconnection from ints 45-48 and string 24."""
        return Disconnection(self.disconnect_side, self.disconnect_detail, self.disconnect_text,
                             self.reconnect_attempt, self.reconnect_delay)

    # ---- universe ---------------------------------------------------------
    def connect_universe(self, host: Text, port: int) -> None:
        self._after_handlers(self._lib.kiv_connect_universe(self.handle, _text(host), int(port)),
                             "connect_universe")

    def login(self, name: Text, password: Text, extra: Text = "") -> None:
        self._after_handlers(self._lib.kiv_login(self.handle, _text(name), _text(password),
                                                 _text(extra)), "login")

    def _request(self, name: str, *args: Any) -> None:
        _check(getattr(self._lib, "kiv_" + name)(self.handle, *args), name)

    def world_list(self, value: int = 0) -> None:
        self._request("world_list", int(value))

    def user_attributes_by_id(self, user_id: int) -> None:
        self._request("user_attributes_by_id", int(user_id))

    def friends_get(self) -> None:
        self._request("friends_get")

    def friend_add_by_name(self, name: Text) -> None:
        self._request("friend_add_by_name", _text(name))

    def friend_delete(self, friend_id: int) -> None:
        self._request("friend_delete", int(friend_id))

    def invite(self, user_id: int, world: Text, x: float, y: float, z: float, yaw: float,
               pitch: float) -> None:
        self._request("invite", int(user_id), _text(world), x, y, z, yaw, pitch)

    def invite_accept(self, invitation_id: int) -> None:
        self._request("invite_accept", int(invitation_id))

    def invite_decline(self, invitation_id: int) -> None:
        self._request("invite_decline", int(invitation_id))

    def join(self, user_id: int) -> None:
        self._request("join", int(user_id))

    def join_accept(self, join_id: int, world: Text, x: float, y: float, z: float, yaw: float,
                    pitch: float) -> None:
        self._request("join_accept", int(join_id), _text(world), x, y, z, yaw, pitch)

    def join_decline(self, join_id: int) -> None:
        self._request("join_decline", int(join_id))

    # ---- world ------------------------------------------------------------
    def enter(self, world: Text) -> None:
        self._after_handlers(self._lib.kiv_enter(self.handle, _text(world)), "enter")

    def leave(self) -> None:
        self._request("leave")

    def state_change(self) -> None:
        self._request("state_change")

    def say(self, text: Text) -> None:
        self._request("say", _text(text))

    def object_add(self) -> None:
        self._request("object_add")

    def object_change(self) -> None:
        self._request("object_change")

    def object_delete(self, object_id: int) -> None:
        self._request("object_delete", int(object_id))

    def object_load(self) -> None:
        self._request("object_load")

    def object_get(self, object_id: int) -> None:
        self._request("object_get", int(object_id))

    def object_click(self, object_id: int, session: int, hit_x: float, hit_y: float,
                     hit_z: float) -> None:
        self._request("object_click", int(object_id), int(session), hit_x, hit_y, hit_z)

    def object_bump_begin(self, object_id: int, session: int) -> None:
        self._request("object_bump_begin", int(object_id), int(session))

    def object_bump_end(self, object_id: int, session: int) -> None:
        self._request("object_bump_end", int(object_id), int(session))

    def query_cell(self, cell_x: int, cell_z: int, revision: Optional[int] = None) -> None:
        if revision is None:
            self._request("query_cell", int(cell_x), int(cell_z))
        else:
            self._request("query_cell_revision", int(cell_x), int(cell_z), int(revision))

    def terrain_query(self, tile_x: int, tile_z: int, revisions: Iterable[int]) -> None:
        values = list(revisions)
        if len(values) != 16:
            raise ValueError("terrain_query needs 16 node revisions")
        self._request("terrain_query", int(tile_x), int(tile_z), (ctypes.c_int * 16)(*values))

    def terrain_node_set(self, tile_x: int, tile_z: int, node_x: int, node_z: int,
                         cells: Iterable[Tuple[float, int]]) -> None:
        """cells: 64 (height, attributes) pairs in wire order."""
        values = list(cells)
        if len(values) != 64:
            raise ValueError("terrain_node_set needs 64 cells")
        array = (_native.TerrainCell * 64)(*[_native.TerrainCell(h, a, 0) for h, a in values])
        self._request("terrain_node_set", int(tile_x), int(tile_z), int(node_x), int(node_z),
                      array)

    def world_permission_user_set(self, permission: Text, user_id: int, enable: bool) -> None:
        self._request("world_permission_user_set", _text(permission), int(user_id),
                      1 if enable else 0)

    def world_permission_session_set(self, permission: Text, session: int,
                                     enable: bool) -> None:
        self._request("world_permission_session_set", _text(permission), int(session),
                      1 if enable else 0)

    def world_permissions_get_all(self) -> None:
        self._request("world_permissions_get_all")

    def world_permissions_get_by_user(self, user_id: int) -> None:
        self._request("world_permissions_get_by_user", int(user_id))

    def world_permissions_get_my(self) -> None:
        self._request("world_permissions_get_my")

    def world_setting_set(self, setting: Text, value: Text, target: int = 0) -> None:
        self._request("world_setting_set", _text(setting), _text(value), int(target))

    def teleport_avatar(self, session: int, world: Text, x: float, y: float, z: float,
                        yaw: float, pitch: float) -> None:
        self._request("teleport_avatar", int(session), _text(world), x, y, z, yaw, pitch)

    def url_send(self, session: int, url: Text, target: int = 0) -> None:
        self._request("url_send", int(session), _text(url), int(target))

    def console_message(self, session: int, name: Text, message: Text, effects: int = 0,
                        red: int = 0, green: int = 0, blue: int = 0) -> None:
        self._request("console_message", int(session), _text(name), _text(message), int(effects),
                      int(red), int(green), int(blue))

    def avatar_click(self, session: int) -> None:
        self._request("avatar_click", int(session))


# Int attributes whose values are one of the header's enumerations.
_TYPED: Dict[IntEnum, Type[IntEnum]] = {IntAttribute.DISCONNECT_SIDE: Side,
                                         IntAttribute.DISCONNECT_DETAIL: Detail}


def _attribute_property(attribute: IntEnum) -> property:
    kind = _TYPED.get(attribute)
    getter = ((lambda self: _as(kind, self.get(attribute))) if kind
              else (lambda self: self.get(attribute)))
    return property(getter, lambda self, value: self.set(attribute, value),
                    doc=f"The {type(attribute).__name__} {attribute.name}.")


def _add_attribute_properties() -> None:
    for kind in (IntAttribute, FloatAttribute, StringAttribute, DataAttribute):
        for attribute in kind:
            name = attribute.name.lower()
            if hasattr(Instance, name):
                raise RuntimeError(f"attribute property {name} clashes with Instance.{name}")
            setattr(Instance, name, _attribute_property(attribute))


_add_attribute_properties()

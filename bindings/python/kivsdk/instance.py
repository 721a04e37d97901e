"""The Instance: one client of the library, with its attributes, handlers
and requests."""
import collections
import ctypes
import logging
import os
import threading
import time
import weakref

from . import _native
from .constants import (LIVENESS_DEFAULT, Callback, DataAttribute, Detail, Event, FloatAttribute,
                        IntAttribute, LogLevel, ReplayFlag, ReturnCode, Side, State,
                        StringAttribute)


class KIVError(Exception):
    """A call failed; .code is the library's return code (a ReturnCode when
    the library defines it, the plain int otherwise)."""

    def __init__(self, code, operation=""):
        self.code = as_code(code)
        self.operation = operation
        name = self.code.name if isinstance(self.code, ReturnCode) else "unknown code"
        super().__init__(f"{operation}: {name} ({int(code)})" if operation
                         else f"{name} ({int(code)})")


def as_code(value):
    """The ReturnCode for value, or the int itself when the library does not
    define it (terrain callbacks pass server results through)."""
    try:
        return ReturnCode(value)
    except ValueError:
        return int(value)


def init():
    """kiv_init with the interface version this package was written for;
    raises KIVError on a mismatch."""
    from .constants import INTERFACE_VERSION
    rc = _native.library().kiv_init(INTERFACE_VERSION)
    if rc != 0:
        raise KIVError(rc, "init")


def version():
    """The library's version as major * 10000 + minor * 100 + patch."""
    return _native.library().kiv_version()


def _as(kind, value):
    """kind(value) when kind defines it, else the plain int."""
    try:
        return kind(value)
    except ValueError:
        return int(value)


Disconnection = collections.namedtuple("Disconnection", "side detail text attempt delay_ms")

# The counters of kiv_stats: Stats(universe=SideStats(...), world=SideStats(...)).
SideStats = collections.namedtuple("SideStats",
                                   [name for name, _ in _native.SideStats._fields_])
Stats = collections.namedtuple("Stats", "universe world")
# The progress of a replay (kiv_replay_status).
ReplayStatus = collections.namedtuple(
    "ReplayStatus", [name for name, _ in _native.ReplayStatus._fields_ if name != "size"])

# The library's log levels as the logging module's.
_PYTHON_LEVELS = {LogLevel.ERROR: logging.ERROR, LogLevel.WARNING: logging.WARNING,
                  LogLevel.INFO: logging.INFO, LogLevel.DEBUG: logging.DEBUG}


def _log_thunk(logger, keep=None):
    """A LogHandler feeding `logger`: each line as one record at the matching
    level, "category: text" without the line end, the category also in
    record.kiv_category. Nothing raises into the library: an exception goes to
    keep(error) when given, else it is dropped."""
    def thunk(_handle, level, category, text):
        try:
            category = (category or b"").decode("utf-8", "replace")
            text = (text or b"").decode("utf-8", "replace").rstrip("\r\n")
            logger.log(_PYTHON_LEVELS.get(level, logging.DEBUG), "%s: %s", category, text,
                       extra={"kiv_category": category})
        except BaseException as error:  # ctypes would print and drop it
            if keep is not None:
                keep(error)
    return _native.LogHandler(thunk)


# Every global thunk ever handed to the library: another thread may still be
# inside a replaced one.
_global_log_thunks = []
_global_log_lock = threading.Lock()


def log_to(logger, level=LogLevel.WARNING):
    """Sends the diagnostic lines at `level` and below of every Instance
    without a route of its own (and those of no Instance) to `logger`, a
    logging.Logger; logger None writes them to standard output, LogLevel.OFF
    silences them. The lines may come from any thread that runs an Instance."""
    with _global_log_lock:
        thunk = _log_thunk(logger) if logger is not None else _native.LogHandler()
        _check(_native.library().kiv_log_set(None, int(level), thunk), "log_to")
        _global_log_thunks.append(thunk)
Disconnection.__doc__ = """What ints 45-48 and string 24 say about the last failure or
reconnection step: read it in the disconnect events and in Event.RECONNECTING,
RECONNECTED and GAVE_UP. side is a Side, detail a Detail."""


def _text(value):
    if value is None:
        return None
    if isinstance(value, bytes):
        return value
    return str(value).encode("utf-8")


def _check(rc, operation):
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

    def __init__(self, net_config=None):
        self._lib = _native.library()
        self._net_config = net_config  # the host's table keeps its functions alive
        self._handle = self._lib.kiv_create(ctypes.byref(net_config) if net_config else None)
        if not self._handle:
            raise MemoryError("kiv_create failed")
        # Every CFUNCTYPE object handed to the library lives as long as the
        # Instance: ctypes frees the thunk when the object is collected.
        self._event_thunks = {}
        self._callback_thunks = {}
        self._event_handlers = {}
        self._callback_handlers = {}
        self._log_thunks = []
        self._pending_error = None

    # ---- lifetime ---------------------------------------------------------
    @property
    def handle(self):
        """The KIVInstance pointer, for calling the C functions directly."""
        if not self._handle:
            raise ValueError("the Instance is closed")
        return self._handle

    @property
    def closed(self):
        return not self._handle

    def close(self):
        """Destroys the Instance (idempotent)."""
        handle, self._handle = self._handle, None
        if handle:
            self._lib.kiv_destroy(handle)
        # The thunks stay until the object goes: close() may run inside one of
        # them, and freeing a running ctypes thunk pulls the code from under it.

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:  # interpreter shutdown
            pass

    # ---- attributes -------------------------------------------------------
    def get(self, attribute):
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

    def get_bytes(self, attribute):
        """A string attribute as the raw bytes the library holds."""
        value = self._lib.kiv_string(self.handle, StringAttribute(attribute))
        return value if value is not None else b""

    def set(self, attribute, value):
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
    def user_data(self):
        """The Instance's opaque user-data pointer (an int or None). The
        binding itself never uses it; C code sharing the Instance may."""
        return self._lib.kiv_user_data(self.handle)

    @user_data.setter
    def user_data(self, value):
        self._lib.kiv_user_data_set(self.handle, value)

    # ---- handlers ---------------------------------------------------------
    def on_event(self, event, handler):
        """Sets (None clears) the handler of an event: handler(instance)."""
        event = Event(event)
        thunk = self._event_thunk(event) if handler is not None else _native.EventHandler()
        _check(self._lib.kiv_event_set(self.handle, event, thunk), f"set handler {event.name}")
        if handler is None:
            self._event_handlers.pop(event, None)
            self._event_thunks.pop(event, None)
        else:
            self._event_handlers[event] = handler
            self._event_thunks[event] = thunk

    def on_callback(self, callback, handler):
        """Sets (None clears) the handler of a callback:
        handler(instance, rc, reference), rc a ReturnCode (or int)."""
        callback = Callback(callback)
        thunk = (self._callback_thunk(callback) if handler is not None
                 else _native.CallbackHandler())
        _check(self._lib.kiv_callback_set(self.handle, callback, thunk),
               f"set handler {callback.name}")
        if handler is None:
            self._callback_handlers.pop(callback, None)
            self._callback_thunks.pop(callback, None)
        else:
            self._callback_handlers[callback] = handler
            self._callback_thunks[callback] = thunk

    def event(self, event):
        """Decorator form of on_event."""
        def register(handler):
            self.on_event(event, handler)
            return handler
        return register

    def callback(self, callback):
        """Decorator form of on_callback."""
        def register(handler):
            self.on_callback(callback, handler)
            return handler
        return register

    def _keep(self, error):
        if self._pending_error is None:
            self._pending_error = error

    def _event_thunk(self, event):
        owner = weakref.ref(self)

        def thunk(_handle):
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

    def _callback_thunk(self, callback):
        owner = weakref.ref(self)

        def thunk(_handle, rc, reference):
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

    def raise_pending(self):
        """Re-raises (and forgets) the first exception a handler raised."""
        error, self._pending_error = self._pending_error, None
        if error is not None:
            raise error

    def _after_handlers(self, rc, operation):
        self.raise_pending()
        _check(rc, operation)

    # ---- waiting ----------------------------------------------------------
    def wait(self, milliseconds=0):
        """One pass of kiv_wait: blocks at most `milliseconds`, runs every
        handler that is due, re-raises a handler's exception, raises KIVError
        when the pass fails."""
        self._after_handlers(self._lib.kiv_wait(self.handle, int(milliseconds)), "wait")

    def wait_until(self, condition, timeout, slice_ms=100):
        """Calls wait(slice_ms) until condition() is true or `timeout`
        seconds have passed; returns whether the condition was met."""
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() >= deadline:
                return False
            self.wait(slice_ms)
        return True

    def run_for(self, seconds, slice_ms=100):
        """Serves the Instance for `seconds` seconds."""
        self.wait_until(lambda: False, seconds, slice_ms)

    # ---- observability ----------------------------------------------------
    def log_to(self, logger, level=LogLevel.INFO):
        """Sends this Instance's diagnostic lines at `level` and below to
        `logger` (a logging.Logger) instead of the global route; logger None
        writes them to standard output, LogLevel.OFF silences them. An
        exception from the logger is re-raised like a handler's."""
        owner = weakref.ref(self)

        def keep(error):
            instance = owner()
            if instance is not None:
                instance._keep(error)
        thunk = _log_thunk(logger, keep) if logger is not None else _native.LogHandler()
        _check(self._lib.kiv_log_set(self.handle, int(level), thunk), "log_to")
        self._log_thunks.append(thunk)  # kept until the Instance goes

    def stats(self):
        """The counters of both sides, as Stats(universe, world) of
        SideStats named tuples (bytes_in, frames_out, rtt_last_us, ...)."""
        counters = _native.Stats()
        size = ctypes.sizeof(counters)
        _check(self._lib.kiv_stats(self.handle, ctypes.byref(counters), size), "stats")
        return Stats(*(SideStats(*(getattr(side, name) for name in SideStats._fields))
                       for side in (counters.universe, counters.world)))

    def capture_start(self, path, max_bytes=0):
        """Writes every frame of both sides, credentials masked, to a
        capture file (docs/capture-format.md; kivdump prints it) until
        capture_stop() or until it holds `max_bytes` (0: 64 MiB)."""
        _check(self._lib.kiv_capture_start(self.handle, _text(os.fspath(path)), int(max_bytes)),
               "capture_start")

    def capture_stop(self):
        """Ends the capture; its file is complete."""
        _check(self._lib.kiv_capture_stop(self.handle), "capture_stop")

    def replay_start(self, path, timed=False):
        """Replays a capture into this fresh Instance (a regression test):
        the same calls as in the recorded session then see the same events,
        with the server's side played from the file (kiv_replay_start)."""
        flags = ReplayFlag.RECORDED_TIMING if timed else ReplayFlag.AS_FAST_AS_POSSIBLE
        _check(self._lib.kiv_replay_start(self.handle, _text(os.fspath(path)), int(flags)),
               "replay_start")

    def replay_status(self):
        """The replay's progress as a ReplayStatus named tuple (records,
        position, skipped, sent, mismatched, waiting, waiting_side, waiting_type)."""
        status = _native.ReplayStatus()
        _check(self._lib.kiv_replay_status(self.handle, ctypes.byref(status),
                                           ctypes.sizeof(status)), "replay_status")
        return ReplayStatus(*(getattr(status, name) for name in ReplayStatus._fields))

    def replay_skip(self):
        """Passes the recorded client frame the replay waits for."""
        _check(self._lib.kiv_replay_skip(self.handle), "replay_skip")

    # ---- staying up -------------------------------------------------------
    def liveness(self, seconds=LIVENESS_DEFAULT):
        """A side that receives nothing for `seconds` is lost (Detail.SILENT or
        STALLED); 0 turns it off, the default turns it on with 75 s. Servers
        send keep-alives after 30 s without sending: stay above that."""
        _check(self._lib.kiv_liveness_set(self.handle, int(seconds)), "liveness")

    def limits(self, connect=0, login=0, enter=0):
        """Time limits in whole seconds of connect, login and enter; 0 keeps
        a limit's default (15, 10, 20 s)."""
        _check(self._lib.kiv_limits_set(self.handle, int(connect), int(login), int(enter)),
               "limits")

    def reconnect(self, enabled=True, first_delay_ms=1000, max_delay_ms=30000, max_attempts=0,
                  jitter=True):
        """Reconnection after the first successful login: a lost side is
        tried again after min(max_delay_ms, first_delay_ms * 2^(attempt-1))
        (with jitter a random part of it), max_attempts 0 forever.
        reconnect(enabled=False) turns it off and cancels a scheduled attempt."""
        policy = _native.ReconnectPolicy(ctypes.sizeof(_native.ReconnectPolicy),
                                         1 if enabled else 0, int(first_delay_ms),
                                         int(max_delay_ms), int(max_attempts),
                                         1 if jitter else 0)
        _check(self._lib.kiv_reconnect_set(self.handle, ctypes.byref(policy)), "reconnect")

    def queue_limit(self, limit=0):
        """The most bytes each output queue holds (0: the default, 8 MiB). A
        request past it raises KIVError QUEUE_FULL and sends nothing."""
        _check(self._lib.kiv_queue_limit_set(self.handle, int(limit)), "queue_limit")

    def state(self, side):
        """The State of a Side (Side.UNIVERSE or Side.WORLD)."""
        value = self._lib.kiv_state(self.handle, int(Side(side)))
        if value in (ReturnCode.INVALID_ARGUMENT, ReturnCode.WRONG_THREAD):
            raise KIVError(value, "state")
        return _as(State, value)

    def trust(self, side, pem):
        """The CA certificates (PEM, str or bytes) the side trusts from its
        next connection on, instead of the built-in bundle."""
        data = _text(pem)
        _check(self._lib.kiv_trust_set(self.handle, int(Side(side)), data, len(data)), "trust")

    @property
    def disconnection(self):
        """A Disconnection from ints 45-48 and string 24."""
        return Disconnection(self.disconnect_side, self.disconnect_detail, self.disconnect_text,
                             self.reconnect_attempt, self.reconnect_delay)

    # ---- universe ---------------------------------------------------------
    def connect_universe(self, host, port):
        self._after_handlers(self._lib.kiv_connect_universe(self.handle, _text(host), int(port)),
                             "connect_universe")

    def login(self, name, password, extra=""):
        self._after_handlers(self._lib.kiv_login(self.handle, _text(name), _text(password),
                                                 _text(extra)), "login")

    def _request(self, name, *args):
        _check(getattr(self._lib, "kiv_" + name)(self.handle, *args), name)

    def world_list(self, value=0):
        self._request("world_list", int(value))

    def user_attributes_by_id(self, user_id):
        self._request("user_attributes_by_id", int(user_id))

    def friends_get(self):
        self._request("friends_get")

    def friend_add_by_name(self, name):
        self._request("friend_add_by_name", _text(name))

    def friend_delete(self, friend_id):
        self._request("friend_delete", int(friend_id))

    def invite(self, user_id, world, x, y, z, yaw, pitch):
        self._request("invite", int(user_id), _text(world), x, y, z, yaw, pitch)

    def invite_accept(self, invitation_id):
        self._request("invite_accept", int(invitation_id))

    def invite_decline(self, invitation_id):
        self._request("invite_decline", int(invitation_id))

    def join(self, user_id):
        self._request("join", int(user_id))

    def join_accept(self, join_id, world, x, y, z, yaw, pitch):
        self._request("join_accept", int(join_id), _text(world), x, y, z, yaw, pitch)

    def join_decline(self, join_id):
        self._request("join_decline", int(join_id))

    # ---- world ------------------------------------------------------------
    def enter(self, world):
        self._after_handlers(self._lib.kiv_enter(self.handle, _text(world)), "enter")

    def leave(self):
        self._request("leave")

    def state_change(self):
        self._request("state_change")

    def say(self, text):
        self._request("say", _text(text))

    def object_add(self):
        self._request("object_add")

    def object_change(self):
        self._request("object_change")

    def object_delete(self, object_id):
        self._request("object_delete", int(object_id))

    def object_load(self):
        self._request("object_load")

    def object_get(self, object_id):
        self._request("object_get", int(object_id))

    def object_click(self, object_id, session, hit_x, hit_y, hit_z):
        self._request("object_click", int(object_id), int(session), hit_x, hit_y, hit_z)

    def object_bump_begin(self, object_id, session):
        self._request("object_bump_begin", int(object_id), int(session))

    def object_bump_end(self, object_id, session):
        self._request("object_bump_end", int(object_id), int(session))

    def query_cell(self, cell_x, cell_z, revision=None):
        if revision is None:
            self._request("query_cell", int(cell_x), int(cell_z))
        else:
            self._request("query_cell_revision", int(cell_x), int(cell_z), int(revision))

    def terrain_query(self, tile_x, tile_z, revisions):
        values = list(revisions)
        if len(values) != 16:
            raise ValueError("terrain_query needs 16 node revisions")
        self._request("terrain_query", int(tile_x), int(tile_z), (ctypes.c_int * 16)(*values))

    def terrain_node_set(self, tile_x, tile_z, node_x, node_z, cells):
        """cells: 64 (height, attributes) pairs in wire order."""
        values = list(cells)
        if len(values) != 64:
            raise ValueError("terrain_node_set needs 64 cells")
        array = (_native.TerrainCell * 64)(*[_native.TerrainCell(h, a, 0) for h, a in values])
        self._request("terrain_node_set", int(tile_x), int(tile_z), int(node_x), int(node_z),
                      array)

    def world_permission_user_set(self, permission, user_id, enable):
        self._request("world_permission_user_set", _text(permission), int(user_id),
                      1 if enable else 0)

    def world_permission_session_set(self, permission, session, enable):
        self._request("world_permission_session_set", _text(permission), int(session),
                      1 if enable else 0)

    def world_permissions_get_all(self):
        self._request("world_permissions_get_all")

    def world_permissions_get_by_user(self, user_id):
        self._request("world_permissions_get_by_user", int(user_id))

    def world_permissions_get_my(self):
        self._request("world_permissions_get_my")

    def world_setting_set(self, setting, value, target=0):
        self._request("world_setting_set", _text(setting), _text(value), int(target))

    def teleport_avatar(self, session, world, x, y, z, yaw, pitch):
        self._request("teleport_avatar", int(session), _text(world), x, y, z, yaw, pitch)

    def url_send(self, session, url, target=0):
        self._request("url_send", int(session), _text(url), int(target))

    def console_message(self, session, name, message, effects=0, red=0, green=0, blue=0):
        self._request("console_message", int(session), _text(name), _text(message), int(effects),
                      int(red), int(green), int(blue))

    def avatar_click(self, session):
        self._request("avatar_click", int(session))


# Int attributes whose values are one of the header's enumerations.
_TYPED = {IntAttribute.DISCONNECT_SIDE: Side, IntAttribute.DISCONNECT_DETAIL: Detail}


def _attribute_property(attribute):
    kind = _TYPED.get(attribute)
    getter = ((lambda self: _as(kind, self.get(attribute))) if kind
              else (lambda self: self.get(attribute)))
    return property(getter, lambda self, value: self.set(attribute, value),
                    doc=f"The {type(attribute).__name__} {attribute.name}.")


def _add_attribute_properties():
    for kind in (IntAttribute, FloatAttribute, StringAttribute, DataAttribute):
        for attribute in kind:
            name = attribute.name.lower()
            if hasattr(Instance, name):
                raise RuntimeError(f"attribute property {name} clashes with Instance.{name}")
            setattr(Instance, name, _attribute_property(attribute))


_add_attribute_properties()

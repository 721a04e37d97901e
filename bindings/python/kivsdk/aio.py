"""asyncio for KIVSDK: awaitable requests and an async iterator of events,
served by the running asyncio loop through a shared loop (kivsdk.Loop).

    import asyncio
    from kivsdk import Event, aio

    async def main():
        async with aio.Bot() as bot:
            chat = bot.events(Event.CHAT)              # queued from here on
            await bot.connect_universe("127.0.0.1", 6670)
            await bot.login("AioBot", "password")
            await bot.enter("lobby")
            added = await bot.object_add(object_string_1="tree.rwx", object_x=1.0)
            print("object", added.object_id)
            async for event in chat:
                print(event.avatar_name, event.chat_message)

    asyncio.run(main())

How it is driven: the asyncio loop watches the shared loop's descriptor
(add_reader) and keeps one call_later timer at the loop's nearest timer
(next_ms, asked again after every pass and every request); either runs one
pass without blocking (kiv_loop_wait(loop, 0)) for every Instance of the
loop. Nothing else runs: no thread, no polling. The descriptor exists on
Linux only; elsewhere a Bot cannot be made (NotImplementedError).

Requests resolve to a Result (or raise KIVError); events arrive as
EventData. Both carry a snapshot of the attributes their message wrote,
taken inside the handler: the library empties strings once a handler
returns. EVENT_WRITES and CALLBACK_WRITES below say which attributes those
are.
"""
from __future__ import annotations

import asyncio
import collections
import weakref
from typing import (TYPE_CHECKING, Any, Callable, Deque, Dict, FrozenSet, Iterable, List,
                    Optional, Sequence, Set, Tuple, TypeVar, Union, cast, overload)

from . import _native
from .constants import (Callback, DataAttribute, Event, FloatAttribute, IntAttribute, ReturnCode,
                        StringAttribute)
from .instance import Attribute, Code, Instance, KIVError, Text
from .loop import Loop

if TYPE_CHECKING:
    from typing import Literal

_T = TypeVar("_T")
_StreamSelf = TypeVar("_StreamSelf", bound="EventStream")
_BotSelf = TypeVar("_BotSelf", bound="Bot")

__all__ = ["Bot", "Result", "EventData", "EventStream", "Closed", "EVENT_WRITES",
           "CONSOLE_LINE_WRITES", "CALLBACK_WRITES", "CALLBACK_ENTRIES"]

# ---- what each message writes ----------------------------------------------
# The attributes the library sets right before an event or a callback, as the
# world and universe sessions write them (src/world, src/universe, and the
# staying-up steps in src/api). A snapshot reads exactly these.
_I, _F, _S, _D = IntAttribute, FloatAttribute, StringAttribute, DataAttribute

_AVATAR = (_I.AVATAR_SESSION, _F.AVATAR_X, _F.AVATAR_Y, _F.AVATAR_Z, _F.AVATAR_YAW,
           _F.AVATAR_PITCH, _I.AVATAR_TYPE, _S.AVATAR_NAME)
_OBJECT = (_I.OBJECT_ID, _I.OBJECT_TYPE, _F.OBJECT_X, _F.OBJECT_Y, _F.OBJECT_Z,
           _F.OBJECT_ROTATION_X, _F.OBJECT_ROTATION_Y, _F.OBJECT_ROTATION_Z,
           _F.OBJECT_ROTATION_ANGLE, _I.OBJECT_INT_1, _I.OBJECT_INT_2, _S.OBJECT_STRING_1,
           _S.OBJECT_STRING_2, _S.OBJECT_STRING_3, _D.OBJECT_DATA)
_FAILURE = (_I.DISCONNECT_DETAIL, _I.DISCONNECT_SIDE, _S.DISCONNECT_TEXT)
_RECONNECTION = (_I.DISCONNECT_DETAIL, _I.DISCONNECT_SIDE, _S.DISCONNECT_TEXT,
                 _I.RECONNECT_ATTEMPT, _I.RECONNECT_DELAY)
_TERRAIN_NODE = (_I.TERRAIN_TILE_X, _I.TERRAIN_TILE_Z, _I.TERRAIN_NODE_X, _I.TERRAIN_NODE_Z)
_CLICK_HIT = (_F.CLICK_HIT_X, _F.CLICK_HIT_Y, _F.CLICK_HIT_Z)

EVENT_WRITES: Dict[Event, Tuple[Attribute, ...]] = {
    Event.CHAT: (_I.AVATAR_SESSION, _S.AVATAR_NAME, _S.CHAT_MESSAGE, _I.CHAT_TYPE),
    Event.AVATAR_ADD: _AVATAR + (_I.USER_ID, _S.AVATAR_STRING_1, _S.AVATAR_STRING_2),
    Event.AVATAR_CHANGE: _AVATAR,
    Event.AVATAR_DELETE: (_I.AVATAR_SESSION, _S.AVATAR_NAME),
    Event.OBJECT: _OBJECT + (_I.AVATAR_SESSION,),
    Event.OBJECT_CHANGE: _OBJECT + (_I.AVATAR_SESSION,),
    Event.OBJECT_DELETE: (_I.OBJECT_ID, _I.AVATAR_SESSION),
    Event.OBJECT_CLICK: (_I.AVATAR_SESSION, _S.AVATAR_NAME, _I.OBJECT_ID) + _CLICK_HIT,
    Event.WORLD_LIST: (_S.WORLD_NAME, _I.WORLD_STATE, _I.WORLD_VALUE),
    Event.WORLD_SETTING: (_S.WORLD_SETTING_NAME, _S.WORLD_SETTING_VALUE),
    Event.WORLD_SETTINGS_END: (),
    Event.FRIEND: (_I.FRIEND_ID, _I.FRIEND_USER_ID, _I.FRIEND_STATE, _S.FRIEND_NAME),
    Event.WORLD_DISCONNECT: (_I.DISCONNECT_REASON,) + _FAILURE,
    Event.UNIVERSE_DISCONNECT: (_I.DISCONNECT_REASON,) + _FAILURE,
    Event.USER_ATTRIBUTES: (_I.USER_ID, _I.USER_INT_1, _I.USER_INT_2, _I.USER_INT_3,
                            _S.USER_STRING_1, _S.USER_STRING_2),
    Event.CELL_END: (_I.CELL_X, _I.CELL_Z, _I.CELL_REVISION, _I.CELL_STATUS),
    Event.TERRAIN_NODE: _TERRAIN_NODE + (_I.TERRAIN_NODE_REVISION, _D.TERRAIN_NODE_DATA),
    Event.AVATAR_CLICK: (_I.AVATAR_SESSION, _I.CLICKED_SESSION) + _CLICK_HIT,
    Event.TELEPORT: (_I.AVATAR_SESSION, _S.TELEPORT_WORLD, _F.TELEPORT_X, _F.TELEPORT_Y,
                     _F.TELEPORT_Z, _F.TELEPORT_YAW, _F.TELEPORT_PITCH),
    Event.URL: (_I.AVATAR_SESSION, _I.URL_TARGET, _S.URL),
    Event.OBJECT_BUMP_BEGIN: (_I.AVATAR_SESSION, _I.OBJECT_ID),
    Event.OBJECT_BUMP_END: (_I.AVATAR_SESSION, _I.OBJECT_ID),
    Event.TERRAIN_NODE_CHANGED: _TERRAIN_NODE,
    Event.JOIN: (_I.JOIN_ID, _I.USER_ID, _S.JOIN_NAME),
    Event.INVITE: (_I.INVITE_ID, _I.INVITE_USER_ID, _F.INVITE_X, _F.INVITE_Y, _F.INVITE_Z,
                   _F.INVITE_YAW, _F.INVITE_PITCH, _S.INVITE_WORLD, _S.INVITE_NAME),
    Event.WORLD_PERMISSION: (_I.WORLD_PERMISSION_HOLDER, _S.WORLD_PERMISSION_NAME),
    Event.RECONNECTING: _RECONNECTION,
    Event.RECONNECTED: _RECONNECTION,
    Event.GAVE_UP: _RECONNECTION,
}
# A console line (chat type 1) also carries its effects and colour.
CONSOLE_LINE_WRITES: Tuple[Attribute, ...] = (_I.CHAT_EFFECTS, _I.CHAT_COLOR_RED,
                                              _I.CHAT_COLOR_GREEN, _I.CHAT_COLOR_BLUE)

# Connect, login and enter also write the failure attributes when they fail;
# for any other failed request the values are whatever the slots held.
CALLBACK_WRITES: Dict[Callback, Tuple[Attribute, ...]] = {
    Callback.OBJECT_ADD: (_I.OBJECT_ID,),
    Callback.OBJECT_CHANGE: (_I.OBJECT_ID,),
    Callback.OBJECT_DELETE: (_I.OBJECT_ID,),
    Callback.FRIENDS_GET: (),
    Callback.FRIEND_ADD: (),
    Callback.FRIEND_DELETE: (_I.FRIEND_ID, _I.FRIEND_USER_ID),
    Callback.TERRAIN_QUERY: (),
    Callback.TERRAIN_NODE_SET: (),
    Callback.OBJECT_GET: _OBJECT,
    Callback.OBJECT_LOAD: (_I.OBJECT_ID,),
    Callback.LOGIN: (_I.LOGIN_REPLY_VALUE, _S.LOGIN_REPLY_STRING) + _FAILURE,
    Callback.ENTER: (_I.WORLD_ENTRY_VALUE,) + _FAILURE,
    Callback.JOIN: (_F.JOIN_X, _F.JOIN_Y, _F.JOIN_Z, _F.JOIN_YAW, _F.JOIN_PITCH, _S.JOIN_WORLD,
                    _S.JOIN_NAME),
    Callback.CONNECT_UNIVERSE: _FAILURE,
    Callback.WORLD_PERMISSION_USER_SET: (),
    Callback.WORLD_PERMISSION_SESSION_SET: (),
    Callback.WORLD_SETTING_SET: (),
    Callback.INVITE: (_S.INVITE_NAME,),
    Callback.WORLD_LIST: (),
    Callback.WORLD_PERMISSIONS_GET_MY: (),
    Callback.WORLD_PERMISSIONS_GET_BY_USER: (),
    Callback.WORLD_PERMISSIONS_GET_ALL: (),
}

# Requests answered by a series of events before their callback: the events
# that arrive while such a request waits become its Result.entries (and are
# yielded to event streams as well).
CALLBACK_ENTRIES: Dict[Callback, Event] = {
    Callback.WORLD_LIST: Event.WORLD_LIST,
    Callback.FRIENDS_GET: Event.FRIEND,
    Callback.TERRAIN_QUERY: Event.TERRAIN_NODE,
    Callback.WORLD_PERMISSIONS_GET_MY: Event.WORLD_PERMISSION,
    Callback.WORLD_PERMISSIONS_GET_BY_USER: Event.WORLD_PERMISSION,
    Callback.WORLD_PERMISSIONS_GET_ALL: Event.WORLD_PERMISSION,
}
_COLLECTED: FrozenSet[Event] = frozenset(CALLBACK_ENTRIES.values())
del _I, _F, _S, _D

# Answered with reference 0, so at most one of each may wait at a time.
_UNNUMBERED: Tuple[Callback, ...] = (Callback.CONNECT_UNIVERSE, Callback.LOGIN, Callback.ENTER)

# Every attribute by its property name (chat_message, object_x, ...).
_ATTRIBUTES: Dict[str, Attribute] = {
    attribute.name.lower(): cast(Attribute, attribute)
    for kind in (IntAttribute, FloatAttribute, StringAttribute, DataAttribute)
    for attribute in kind}


# ---- snapshots ---------------------------------------------------------------
class _Snapshot:
    """Attribute values copied inside a handler. Read them as properties named
    like the Instance's (event.avatar_name) or by attribute
    (event[StringAttribute.AVATAR_NAME]); one the message did not write
    raises AttributeError (KeyError by attribute)."""

    __slots__ = ("values",)

    def __init__(self, values: Dict[str, Any]) -> None:
        # By property name: the attribute kinds share their numbers, so
        # IntAttribute.AVATAR_SESSION == StringAttribute.AVATAR_NAME.
        self.values = values

    @overload
    def __getitem__(self, attribute: IntAttribute) -> int: ...
    @overload
    def __getitem__(self, attribute: FloatAttribute) -> float: ...
    @overload
    def __getitem__(self, attribute: StringAttribute) -> str: ...
    @overload
    def __getitem__(self, attribute: DataAttribute) -> bytes: ...

    def __getitem__(self, attribute: Attribute) -> Any:
        return self.values[attribute.name.lower()]

    def __contains__(self, attribute: Attribute) -> bool:
        return attribute.name.lower() in self.values

    def __getattr__(self, name: str) -> Any:
        if name not in _ATTRIBUTES:
            raise AttributeError(name)
        try:
            return self.values[name]
        except KeyError:
            raise AttributeError(f"{self._what()} does not write {name}") from None

    def as_dict(self) -> Dict[str, Any]:
        """The values by property name, in the order the message writes them."""
        return dict(self.values)

    def _what(self) -> str:
        raise NotImplementedError

    def __repr__(self) -> str:
        fields = ", ".join(f"{name}={value!r}" for name, value in self.values.items())
        return f"<{self._what()} {fields}>"


class EventData(_Snapshot):
    """One event: .event (an Event), .bot (the Bot it came to) and the
    attributes it wrote (EVENT_WRITES; a console line adds
    CONSOLE_LINE_WRITES)."""

    __slots__ = ("event", "bot")

    def __init__(self, event: Event, bot: _BotBase, values: Dict[str, Any]) -> None:
        super().__init__(values)
        self.event = event
        self.bot = bot

    def _what(self) -> str:
        return f"event {self.event.name}"


class Result(_Snapshot):
    """The answer to a request: .callback, .rc (ReturnCode, or the plain int
    a terrain answer may pass through), .reference, .entries (the events of
    CALLBACK_ENTRIES that answered it, else empty) and the attributes the
    answer wrote (CALLBACK_WRITES)."""

    __slots__ = ("callback", "rc", "reference", "entries")

    def __init__(self, callback: Callback, rc: Code, reference: int, values: Dict[str, Any],
                 entries: Iterable[EventData] = ()) -> None:
        super().__init__(values)
        self.callback = callback
        self.rc = rc
        self.reference = reference
        self.entries = list(entries)

    def _what(self) -> str:
        return f"answer {self.callback.name}"


class Closed(KIVError):
    """A request was still waiting when its Bot was closed. Its code is
    CONNECTION_ERROR (9), as for a request whose connection ended: treat the
    request as not done."""

    def __init__(self, operation: str) -> None:
        super().__init__(ReturnCode.CONNECTION_ERROR, operation)
        self.args = (f"{operation}: the bot was closed",)


def _snapshot(instance: Instance, attributes: Iterable[Attribute]) -> Dict[str, Any]:
    names = (attribute.name.lower() for attribute in attributes)
    return {name: getattr(instance, name) for name in names}


# ---- the driver: a shared loop served by an asyncio loop ---------------------
class _Driver:
    """Serves one kivsdk.Loop from one asyncio loop: a reader on the loop's
    descriptor and one timer at its nearest timer, each running a pass that
    does not block. Exists while a Bot of the loop is open."""

    # id(Loop) -> driver (which holds the Loop)
    _drivers: weakref.WeakValueDictionary[int, _Driver] = weakref.WeakValueDictionary()

    @classmethod
    def attach(cls, loop: Loop, aloop: asyncio.AbstractEventLoop, bot: Bot) -> _Driver:
        driver = cls._drivers.get(id(loop))
        if driver is not None and driver.loop is loop and not driver.aloop.is_closed():
            if driver.aloop is not aloop:
                raise RuntimeError("this kivsdk.Loop is served by another asyncio loop")
        else:
            driver = cls(loop, aloop)
            cls._drivers[id(loop)] = driver
        driver.bots.add(bot)
        return driver

    def __init__(self, loop: Loop, aloop: asyncio.AbstractEventLoop) -> None:
        descriptor = loop.fileno()
        if descriptor < 0:
            raise NotImplementedError(
                "kivsdk.aio needs the shared loop's descriptor (kiv_loop_fd), which the library "
                "has on Linux only; elsewhere drive a kivsdk.Loop with wait() yourself")
        try:
            aloop.add_reader(descriptor, self._readable)
        except NotImplementedError:
            raise NotImplementedError(
                "kivsdk.aio needs an asyncio loop that watches descriptors (add_reader); "
                f"{type(aloop).__name__} does not") from None
        self.loop = loop
        self.aloop = aloop
        self.descriptor: Optional[int] = descriptor
        self.lib = _native.library()
        self.bots: weakref.WeakSet[Bot] = weakref.WeakSet()
        self.timer: Optional[asyncio.TimerHandle] = None
        self.passes = 0         # kiv_loop_wait calls
        self.reader_passes = 0  # of them, for a readable descriptor
        self.timer_passes = 0   # of them, for a due timer
        self.rearm()

    def _readable(self) -> None:
        self.reader_passes += 1
        self.run_pass()

    def _due(self) -> None:
        self.timer = None
        self.timer_passes += 1
        self.run_pass()

    def run_pass(self) -> None:
        if self.loop._handle is None:  # the Loop was closed under its Bots
            for bot in list(self.bots):
                bot.close()
            self.stop()
            return
        self.passes += 1
        rc = self.lib.kiv_loop_wait(self.loop._handle, 0)
        # Handlers of our own never raise; one set by hand on an Instance may.
        for member in list(self.loop._members):
            try:
                member.raise_pending()
            except BaseException as error:  # reported, not lost
                self.aloop.call_exception_handler(
                    {"message": "a handler of a kivsdk Instance raised", "exception": error})
        if rc != 0:
            self.aloop.call_exception_handler(
                {"message": "kiv_loop_wait failed", "exception": KIVError(rc, "loop_wait")})
        self.rearm()

    def rearm(self) -> None:
        """Puts the timer at the loop's nearest timer: after every pass and
        every request, since either may arm, move or cancel one."""
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        if self.loop._handle is None:
            return
        milliseconds = self.lib.kiv_loop_next_ms(self.loop._handle)
        if milliseconds >= 0:
            self.timer = self.aloop.call_later(milliseconds / 1000.0, self._due)

    def detach(self, bot: Bot) -> None:
        self.bots.discard(bot)
        if not self.bots:
            self.stop()

    def stop(self) -> None:
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        if self.descriptor is not None:
            if not self.aloop.is_closed():
                self.aloop.remove_reader(self.descriptor)
            self.descriptor = None
        if self._drivers.get(id(self.loop)) is self:
            del self._drivers[id(self.loop)]


# ---- event streams -----------------------------------------------------------
class EventStream:
    """The events of one Bot from the moment it was made, in order, queued
    until read: `async for event in stream`. Ends (after the events queued
    before) when the Bot is closed; close() ends it at once. Made by
    Bot.events()."""

    def __init__(self, bot: Bot, events: Sequence[Event]) -> None:
        self._bot = bot
        self._events: Optional[FrozenSet[Event]] = frozenset(events) if events else None
        self._queue: Deque[EventData] = collections.deque()
        self._waiter: Optional[asyncio.Future[None]] = None
        self._ended = False

    def wants(self, event: Event) -> bool:
        return self._events is None or event in self._events

    def __len__(self) -> int:
        """Events queued and not read yet."""
        return len(self._queue)

    def _push(self, data: EventData) -> None:
        self._queue.append(data)
        self._wake()

    def _end(self) -> None:
        self._ended = True
        self._wake()

    def _wake(self) -> None:
        if self._waiter is not None and not self._waiter.done():
            self._waiter.set_result(None)

    def __aiter__(self: _StreamSelf) -> _StreamSelf:
        return self

    async def __anext__(self) -> EventData:
        while not self._queue:
            if self._ended:
                raise StopAsyncIteration
            if self._waiter is not None:
                raise RuntimeError("another task already waits on this event stream")
            self._waiter = asyncio.get_running_loop().create_future()
            try:
                await self._waiter
            finally:
                self._waiter = None
        return self._queue.popleft()

    def close(self) -> None:
        """Stops the stream: queued events are dropped, a waiting reader ends."""
        self._bot._streams.discard(self)
        self._queue.clear()
        self._end()

    async def aclose(self) -> None:
        self.close()

    async def __aenter__(self: _StreamSelf) -> _StreamSelf:
        return self

    async def __aexit__(self, *exc: object) -> Literal[False]:
        self.close()
        return False


# ---- the Bot -----------------------------------------------------------------
class _Waiting:
    """A request waiting for its callback."""

    __slots__ = ("callback", "operation", "future", "entries")

    def __init__(self, callback: Callback, operation: str,
                 future: asyncio.Future[Result]) -> None:
        self.callback = callback
        self.operation = operation
        self.future = future
        self.entries: Optional[List[EventData]] = [] if callback in CALLBACK_ENTRIES else None


# Requests without an answer, and the Instance's setters and getters, that a
# Bot passes through to its Instance (each may arm a timer: the driver's is
# put right afterwards).
_PASSED_THROUGH: FrozenSet[str] = frozenset({
    "say", "leave", "query_cell", "object_click", "object_bump_begin",
    "object_bump_end", "teleport_avatar", "url_send", "console_message", "avatar_click",
    "user_attributes_by_id", "invite_accept", "invite_decline", "join_accept", "join_decline",
    "liveness", "limits", "reconnect", "queue_limit", "trust", "state", "stats", "log_to",
    "capture_start", "capture_stop", "get", "get_bytes", "set",
})


class _BotBase:
    """What a bot of an event loop other than the library's shares: its
    closed state, the filing of waiting requests, keyword attributes and the
    Instance's plain calls and attributes passed through. A subclass has
    `instance`, `_closed`, `_reference`, `_waiting`, `_unnumbered` and
    `_immediate(method, ...)`."""

    instance: Instance
    _closed: bool
    _reference: int
    _waiting: Dict[int, Any]
    _unnumbered: Dict[Callback, Any]

    def _immediate(self, method: Callable[..., _T], *args: Any, **keywords: Any) -> _T:
        raise NotImplementedError

    @property
    def closed(self) -> bool:
        return self._closed

    def _next_reference(self) -> int:
        while True:
            self._reference = self._reference % 0x7FFFFFFF + 1
            if self._reference not in self._waiting:
                return self._reference

    def _register(self, callback: Callback, operation: str, request: Any) -> Optional[int]:
        """Files a waiting request under its reference (set in int 9 here)
        or, for the requests whose answers carry none, under its kind: one
        of those at a time. Returns the reference, or None."""
        if callback in _UNNUMBERED:
            if callback in self._unnumbered:
                raise RuntimeError(f"{operation}: another {operation} of this bot is waiting "
                                   "for its answer (answers carry no reference to tell them "
                                   "apart)")
            self._unnumbered[callback] = request
            return None
        key = self._next_reference()
        self.instance.set(IntAttribute.REFERENCE_NUMBER, key)
        self._waiting[key] = request
        return key

    def _unregister(self, callback: Callback, key: Optional[int], request: Any) -> None:
        if key is None:
            if self._unnumbered.get(callback) is request:
                del self._unnumbered[callback]
        else:
            self._waiting.pop(key, None)

    def _event_data(self, event: Event, wanted: bool) -> Optional[EventData]:
        """The event's values, taken now (inside the library's handler):
        given to the waiting request that collects such events (a list's
        entries) and returned for the bot's own `wanted` handlers; None when
        nobody wants them."""
        collector = None
        if event in _COLLECTED:
            collector = next((request.entries for request in self._waiting.values()
                              if request.entries is not None
                              and CALLBACK_ENTRIES[request.callback] is event), None)
        if collector is None and not wanted:
            return None
        values = _snapshot(self.instance, EVENT_WRITES[event])
        if event is Event.CHAT and values["chat_type"] == 1:
            values.update(_snapshot(self.instance, CONSOLE_LINE_WRITES))
        data = EventData(event, self, values)
        if collector is not None:
            collector.append(data)
        return data

    def _take_answered(self, callback: Callback, reference: int) -> Any:
        """The waiting request a callback answers, taken off its file; None
        when the answer is not for one of this bot's requests."""
        if callback in _UNNUMBERED:
            return self._unnumbered.pop(callback, None)
        request = self._waiting.get(reference)
        if request is None or request.callback is not callback:
            return None
        del self._waiting[reference]
        return request

    def _result(self, callback: Callback, rc: Code, reference: int, request: Any) -> Result:
        """The answer's values, taken now, with the entries collected for it."""
        values = _snapshot(self.instance, CALLBACK_WRITES[callback])
        return Result(callback, rc, reference, values, request.entries or ())

    def state_change(self, **attributes: Any) -> None:
        """Sets the keyword attributes (my_x=..., my_type=...) and sends the
        own state."""
        self._assign(attributes)
        self._immediate(self.instance.state_change)

    def _assign(self, attributes: Dict[str, Any]) -> None:
        for name, value in attributes.items():
            attribute = _ATTRIBUTES.get(name)
            if attribute is None:
                raise TypeError(f"no attribute named {name!r}")
            self.instance.set(attribute, value)

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_") or name == "instance":
            raise AttributeError(name)
        if name in _ATTRIBUTES or name == "disconnection":
            return getattr(self.instance, name)
        if name in _PASSED_THROUGH:
            method = getattr(self.instance, name)
            return lambda *args, **keywords: self._immediate(method, *args, **keywords)
        raise AttributeError(f"'Bot' has no attribute {name!r}")


class Bot(_BotBase):
    """An Instance served by the running asyncio loop.

    Bot(loop=None) must be made inside a coroutine. Without a loop it makes
    a kivsdk.Loop of its own and frees it on close(); Bots given the same
    kivsdk.Loop share its passes (close them before the Loop).

    Requests with an answer are coroutines resolving to a Result; a non-zero
    code raises KIVError (the Result in its .result when the answer carried
    it). The object requests and state_change() take attributes as keywords
    (object_string_1="tree.rwx", my_x=1.0) and set them first. Requests
    without an answer (say, leave, ...) and the staying-up setters are plain
    methods, as on the Instance; attributes read as properties
    (bot.login_reply_value). bot.instance is the Instance: leave its
    handlers and its int 9 (REFERENCE_NUMBER) to the Bot.
    """

    def __init__(self, loop: Optional[Loop] = None) -> None:
        try:
            self._aloop = asyncio.get_running_loop()
        except RuntimeError:
            raise RuntimeError("a kivsdk.aio.Bot is made inside a coroutine: its asyncio loop "
                               "must be running") from None
        self._own_loop = loop is None
        self._loop = Loop() if loop is None else loop
        self._closed = False
        self._streams: weakref.WeakSet[EventStream] = weakref.WeakSet()
        self._waiting: Dict[int, _Waiting] = {}         # reference -> _Waiting
        self._unnumbered: Dict[Callback, _Waiting] = {}  # connect, login, enter -> _Waiting
        self._reference = 0
        self._handled_events: Set[Event] = set()
        try:
            self._driver = _Driver.attach(self._loop, self._aloop, self)
        except BaseException:
            if self._own_loop:
                self._loop.close()
            raise
        try:
            self.instance = self._loop.instance()
        except BaseException:
            self._driver.detach(self)
            if self._own_loop:
                self._loop.close()
            raise
        owner = weakref.ref(self)
        for callback in Callback:
            self.instance.on_callback(callback, _callback_handler(owner, callback))
        self._handle_events(_COLLECTED)

    # ---- lifetime -------------------------------------------------------------
    @property
    def loop(self) -> Loop:
        """The kivsdk.Loop the Bot is on."""
        return self._loop

    def close(self) -> None:
        """Destroys the Instance. Every request still waiting raises Closed
        (a KIVError with code 9); every event stream ends once its queued
        events are read. Idempotent."""
        if self._closed:
            return
        self._closed = True
        waiting = list(self._unnumbered.values()) + list(self._waiting.values())
        self._unnumbered.clear()
        self._waiting.clear()
        for request in waiting:
            if not request.future.done():
                request.future.set_exception(Closed(request.operation))
        for stream in list(self._streams):
            stream._end()
        self._streams.clear()
        self.instance.close()
        self._driver.detach(self)
        if self._own_loop:
            self._loop.close()

    async def aclose(self) -> None:
        self.close()

    async def __aenter__(self: _BotSelf) -> _BotSelf:
        return self

    async def __aexit__(self, *exc: object) -> Literal[False]:
        self.close()
        return False

    # ---- events ---------------------------------------------------------------
    def events(self, *events: Union[Event, int]) -> EventStream:
        """An EventStream of the given events (all of them without
        arguments), queued from this call on."""
        if self._closed:
            raise ValueError("the Bot is closed")
        wanted = [Event(event) for event in events]
        self._handle_events(wanted or list(Event))
        stream = EventStream(self, wanted)
        self._streams.add(stream)
        return stream

    def _handle_events(self, events: Iterable[Event]) -> None:
        owner = weakref.ref(self)
        for event in events:
            if event not in self._handled_events:
                self.instance.on_event(event, _event_handler(owner, event))
                self._handled_events.add(event)

    def _on_event(self, event: Event) -> None:
        streams = [stream for stream in self._streams if stream.wants(event)]
        data = self._event_data(event, bool(streams))
        if data is None:
            return
        for stream in streams:
            stream._push(data)

    # ---- answers --------------------------------------------------------------
    def _on_callback(self, callback: Callback, rc: Code, reference: int) -> None:
        request = self._take_answered(callback, reference)
        if request is None or request.future.done():  # not ours, or its await was cancelled
            return
        result = self._result(callback, rc, reference, request)
        if rc == ReturnCode.SUCCESS:
            request.future.set_result(result)
        else:
            error = KIVError(rc, request.operation)
            error.result = result
            request.future.set_exception(error)

    def _start(self, callback: Callback, operation: str, call: Callable[[], object],
               attributes: Optional[Dict[str, Any]] = None) -> asyncio.Future[Result]:
        """Sends a request and returns the future of its answer."""
        if self._closed:
            raise ValueError("the Bot is closed")
        if attributes:
            self._assign(attributes)
        request = _Waiting(callback, operation, self._aloop.create_future())
        key = self._register(callback, operation, request)
        # Registered before the call: a lost connection answers inside it.
        try:
            call()
        except BaseException:
            self._unregister(callback, key, request)
            if request.future.done():  # answered inside the call: the raise tells it
                request.future.exception()
            raise
        finally:
            self._driver.rearm()
        return request.future

    async def _request(self, callback: Callback, operation: str, call: Callable[[], object],
                       attributes: Optional[Dict[str, Any]] = None) -> Result:
        return await self._start(callback, operation, call, attributes)

    # ---- universe -------------------------------------------------------------
    async def connect_universe(self, host: Text, port: int) -> Result:
        """Connects and brings up the secure channel."""
        return await self._request(Callback.CONNECT_UNIVERSE, "connect_universe",
                                   lambda: self.instance.connect_universe(host, port))

    async def login(self, name: Text, password: Text, extra: Text = "") -> Result:
        """Result: login_reply_value, login_reply_string."""
        return await self._request(Callback.LOGIN, "login",
                                   lambda: self.instance.login(name, password, extra))

    async def world_list(self, value: int = 0) -> Result:
        """Result.entries: one WORLD_LIST event per world."""
        return await self._request(Callback.WORLD_LIST, "world_list",
                                   lambda: self.instance.world_list(value))

    async def friends_get(self) -> Result:
        """Result.entries: one FRIEND event per friend."""
        return await self._request(Callback.FRIENDS_GET, "friends_get", self.instance.friends_get)

    async def friend_add_by_name(self, name: Text) -> Result:
        return await self._request(Callback.FRIEND_ADD, "friend_add_by_name",
                                   lambda: self.instance.friend_add_by_name(name))

    async def friend_delete(self, friend_id: int) -> Result:
        """Result: friend_id, friend_user_id."""
        return await self._request(Callback.FRIEND_DELETE, "friend_delete",
                                   lambda: self.instance.friend_delete(friend_id))

    async def invite(self, user_id: int, world: Text, x: float, y: float, z: float, yaw: float,
                     pitch: float) -> Result:
        """Result: invite_name."""
        return await self._request(
            Callback.INVITE, "invite",
            lambda: self.instance.invite(user_id, world, x, y, z, yaw, pitch))

    async def join(self, user_id: int) -> Result:
        """Result: join_world, join_x .. join_pitch, join_name."""
        return await self._request(Callback.JOIN, "join", lambda: self.instance.join(user_id))

    # ---- world ----------------------------------------------------------------
    async def enter(self, world: Text) -> Result:
        """Result: world_entry_value."""
        return await self._request(Callback.ENTER, "enter", lambda: self.instance.enter(world))

    async def object_add(self, **attributes: Any) -> Result:
        """Sets the keyword attributes, adds the object; Result: object_id."""
        return await self._request(Callback.OBJECT_ADD, "object_add", self.instance.object_add,
                                   attributes)

    async def object_change(self, **attributes: Any) -> Result:
        """Changes object object_id to the object attributes (keywords set first)."""
        return await self._request(Callback.OBJECT_CHANGE, "object_change",
                                   self.instance.object_change, attributes)

    async def object_load(self, **attributes: Any) -> Result:
        """As object_add, with object_int_1 and object_int_2; Result: object_id."""
        return await self._request(Callback.OBJECT_LOAD, "object_load", self.instance.object_load,
                                   attributes)

    async def object_delete(self, object_id: int) -> Result:
        return await self._request(Callback.OBJECT_DELETE, "object_delete",
                                   lambda: self.instance.object_delete(object_id))

    async def object_get(self, object_id: int) -> Result:
        """Result: the object's record (object_id, object_string_1, object_x, ...)."""
        return await self._request(Callback.OBJECT_GET, "object_get",
                                   lambda: self.instance.object_get(object_id))

    async def terrain_query(self, tile_x: int, tile_z: int, revisions: Iterable[int]) -> Result:
        """Result.entries: one TERRAIN_NODE event per node sent back."""
        return await self._request(Callback.TERRAIN_QUERY, "terrain_query",
                                   lambda: self.instance.terrain_query(tile_x, tile_z, revisions))

    async def terrain_node_set(self, tile_x: int, tile_z: int, node_x: int, node_z: int,
                               cells: Iterable[Tuple[float, int]]) -> Result:
        return await self._request(
            Callback.TERRAIN_NODE_SET, "terrain_node_set",
            lambda: self.instance.terrain_node_set(tile_x, tile_z, node_x, node_z, cells))

    async def world_permission_user_set(self, permission: Text, user_id: int,
                                        enable: bool) -> Result:
        return await self._request(
            Callback.WORLD_PERMISSION_USER_SET, "world_permission_user_set",
            lambda: self.instance.world_permission_user_set(permission, user_id, enable))

    async def world_permission_session_set(self, permission: Text, session: int,
                                           enable: bool) -> Result:
        return await self._request(
            Callback.WORLD_PERMISSION_SESSION_SET, "world_permission_session_set",
            lambda: self.instance.world_permission_session_set(permission, session, enable))

    async def world_permissions_get_all(self) -> Result:
        """Result.entries: one WORLD_PERMISSION event per holder and permission."""
        return await self._request(Callback.WORLD_PERMISSIONS_GET_ALL, "world_permissions_get_all",
                                   self.instance.world_permissions_get_all)

    async def world_permissions_get_by_user(self, user_id: int) -> Result:
        """Result.entries: WORLD_PERMISSION events."""
        return await self._request(
            Callback.WORLD_PERMISSIONS_GET_BY_USER, "world_permissions_get_by_user",
            lambda: self.instance.world_permissions_get_by_user(user_id))

    async def world_permissions_get_my(self) -> Result:
        """Result.entries: WORLD_PERMISSION events."""
        return await self._request(Callback.WORLD_PERMISSIONS_GET_MY, "world_permissions_get_my",
                                   self.instance.world_permissions_get_my)

    async def world_setting_set(self, setting: Text, value: Text, target: int = 0) -> Result:
        return await self._request(
            Callback.WORLD_SETTING_SET, "world_setting_set",
            lambda: self.instance.world_setting_set(setting, value, target))

    # ---- passed through -------------------------------------------------------
    def _immediate(self, method: Callable[..., _T], *args: Any, **keywords: Any) -> _T:
        if self._closed:
            raise ValueError("the Bot is closed")
        try:
            return method(*args, **keywords)
        finally:
            self._driver.rearm()



def _event_handler(owner: weakref.ref[Any], event: Event) -> Callable[[Instance], None]:
    def handler(_instance: Instance) -> None:
        bot = owner()
        if bot is not None and not bot._closed:
            bot._on_event(event)
    return handler


def _callback_handler(owner: weakref.ref[Any],
                      callback: Callback) -> Callable[[Instance, Code, int], None]:
    def handler(_instance: Instance, rc: Code, reference: int) -> None:
        bot = owner()
        if bot is not None and not bot._closed:
            bot._on_callback(callback, rc, reference)
    return handler

"""The sandbox test kit inside a Python test: a universe and its worlds on
loopback, on a thread of the kit's own library, with scripted actors, faults
and assertions (see kivsandbox.h for every call).

    from kivsdk.testing import Sandbox

    with Sandbox("--world", "lobby") as kit:
        bot.connect_universe("127.0.0.1", kit.universe_port)
        ...
        kit.actor_enter("ann", "lobby")
        kit.actor_say("ann", "hello")
        bot.wait_until(lambda: greeted, 5)
        assert 'say text="hello ann"' in kit.sent("greeter", "lobby")

With pytest, the fixture `sandbox` is a kit with the worlds "lobby" (plain)
and "garden" (TLS):

    pytest_plugins = ["kivsdk.testing"]

    def test_greets(sandbox):
        ...

The kit's library is found through $KIVSDK_TESTKIT_LIBRARY, then the
system's library search (libkivsdk_testkit.so).
"""
from __future__ import annotations

import ctypes
import ctypes.util
import os
from ctypes import POINTER, c_char_p, c_double, c_int, c_size_t, c_void_p
from typing import (TYPE_CHECKING, Any, Dict, Final, Iterator, List, NamedTuple, Optional,
                    TypeVar, overload)

try:
    import pytest
except ImportError:  # the kit works without pytest; only the fixture needs it
    pytest = None  # type: ignore[assignment]

if TYPE_CHECKING:
    from typing import Literal

    from .instance import Instance

_Self = TypeVar("_Self", bound="Sandbox")

__all__ = ["Sandbox", "SandboxError", "WorldState", "load"]

OK: Final[int] = 0
BUFFER_TOO_SMALL: Final[int] = 6

_K = c_void_p
_S = c_char_p
_SIGNATURES: Dict[str, List[Any]] = {
    "kivsb_start": [POINTER(c_char_p), c_int, c_char_p, c_size_t, POINTER(c_void_p)],
    "kivsb_stop": [_K],
    "kivsb_universe_port": [_K, POINTER(c_int)],
    "kivsb_world_port": [_K, _S, POINTER(c_int)],
    "kivsb_actor_enter": [_K, _S, _S, c_double, c_double, c_double, c_double, c_int,
                          POINTER(c_int)],
    "kivsb_actor_move": [_K, _S, c_double, c_double, c_double, c_double, c_int],
    "kivsb_actor_say": [_K, _S, _S],
    "kivsb_actor_leave": [_K, _S],
    "kivsb_actor_click_avatar": [_K, _S, c_int],
    "kivsb_actor_click_object": [_K, _S, c_int, c_int],
    "kivsb_actor_bump": [_K, _S, c_int, c_int, c_int],
    "kivsb_actor_teleport": [_K, _S, c_int, _S, c_double, c_double, c_double, c_double],
    "kivsb_actor_url": [_K, _S, c_int, _S],
    "kivsb_actor_console": [_K, _S, c_int, _S],
    "kivsb_actor_object_add": [_K, _S, _S, _S, _S, c_double, c_double, c_double,
                               POINTER(c_int)],
    "kivsb_actor_object_change": [_K, _S, c_int, _S, _S, _S, c_double, c_double, c_double],
    "kivsb_actor_object_delete": [_K, _S, c_int],
    "kivsb_actor_terrain": [_K, _S, c_int, c_int, c_int, c_int, c_double, c_int],
    "kivsb_actor_setting": [_K, _S, _S, _S],
    "kivsb_actor_permission": [_K, _S, _S, c_int, c_int],
    "kivsb_actor_invite": [_K, _S, c_int, _S, c_double, c_double, c_double, c_double],
    "kivsb_actor_join": [_K, _S, c_int],
    "kivsb_actor_user_id": [_K, _S, POINTER(c_int)],
    "kivsb_freeze": [_K, c_int],
    "kivsb_drop": [_K, _S, c_int, POINTER(c_int)],
    "kivsb_refuse_logins": [_K, c_int, c_int],
    "kivsb_remove_world": [_K, _S],
    "kivsb_keepalive": [_K, c_int],
    "kivsb_delay": [_K, c_int],
    "kivsb_ignore": [_K, _S, c_int, c_int],
    "kivsb_cut_after": [_K, _S, c_int],
    "kivsb_sent": [_K, _S, _S, c_char_p, c_size_t, POINTER(c_size_t)],
    "kivsb_forget_sent": [_K],
    "kivsb_world_state": [_K, _S, c_char_p, c_size_t, POINTER(c_size_t)],
}
del _K, _S

_library: Optional[ctypes.CDLL] = None


def load(path: Optional[str] = None) -> ctypes.CDLL:
    """Opens the kit's library (path, $KIVSDK_TESTKIT_LIBRARY or the
    system's search) once and declares every signature."""
    global _library
    if _library is not None and path is None:
        return _library
    candidates: List[Optional[str]] = (
        [path] if path else [os.environ.get("KIVSDK_TESTKIT_LIBRARY"),
                             ctypes.util.find_library("kivsdk_testkit"), "libkivsdk_testkit.so"])
    errors: List[str] = []
    for candidate in filter(None, candidates):
        try:
            library = ctypes.CDLL(candidate)
        except OSError as error:
            errors.append(f"{candidate}: {error}")
            continue
        for name, argtypes in _SIGNATURES.items():
            function = getattr(library, name)
            function.restype = c_int
            function.argtypes = argtypes
        library.kivsb_pki_dir.restype = c_char_p
        library.kivsb_pki_dir.argtypes = []
        _library = library
        return library
    raise OSError("cannot load the test kit's library (set KIVSDK_TESTKIT_LIBRARY to its path): "
                  + "; ".join(errors))


class SandboxError(Exception):
    """A kit call failed; `code` is its KIVSB return code."""

    def __init__(self, code: int, operation: str) -> None:
        super().__init__(f"{operation} failed with kivsandbox code {code}")
        self.code = code


class Avatar(NamedTuple):
    session: int
    user_id: int
    visible: bool
    x: float
    y: float
    z: float
    yaw: float
    pitch: float
    type: int
    name: str


class Object(NamedTuple):
    id: int
    owner: int
    type: int
    x: float
    y: float
    z: float
    model: str
    description: str
    action: str
    data_size: int


class Cell(NamedTuple):
    x: int
    z: int
    revision: int
    objects: int


class TerrainNode(NamedTuple):
    tile_x: int
    tile_z: int
    node_x: int
    node_z: int
    revision: int


class WorldState:
    """What a world holds: avatars, objects, cells, terrain and settings."""

    def __init__(self, text: str) -> None:
        self.avatars: List[Avatar] = []
        self.objects: List[Object] = []
        self.cells: List[Cell] = []
        self.terrain: List[TerrainNode] = []
        self.settings: Dict[str, str] = {}
        for line in text.splitlines():
            kind, *fields = [_unescape(field) for field in line.split("\t")]
            if kind == "avatar":
                self.avatars.append(Avatar._make([int(fields[0]), int(fields[1]), fields[2] == "1",
                                                  *map(float, fields[3:8]), int(fields[8]),
                                                  fields[9]]))
            elif kind == "object":
                self.objects.append(Object._make([*map(int, fields[:3]), *map(float, fields[3:6]),
                                                  *fields[6:9], int(fields[9])]))
            elif kind == "cell":
                self.cells.append(Cell(*map(int, fields)))
            elif kind == "terrain":
                self.terrain.append(TerrainNode(*map(int, fields)))
            elif kind == "setting":
                self.settings[fields[0]] = fields[1]

    def avatar(self, name: str) -> Optional[Avatar]:
        """The avatar of that name, or None."""
        return next((a for a in self.avatars if a.name == name), None)


def _unescape(field: str) -> str:
    return field.replace("\\\\", "\0").replace("\\t", "\t").replace("\\n", "\n") \
        .replace("\0", "\\")


@overload
def _bytes(text: None) -> None: ...
@overload
def _bytes(text: str) -> bytes: ...
@overload
def _bytes(text: Optional[str]) -> Optional[bytes]: ...


def _bytes(text: Optional[str]) -> Optional[bytes]:
    return None if text is None else text.encode("utf-8")


class Sandbox:
    """A running kit; a context manager that stops it on exit."""

    def __init__(self, *options: str, library: Optional[str] = None) -> None:
        self._lib = load(library)
        arguments = (c_char_p * max(1, len(options)))(*[_bytes(o) for o in options])
        handle = c_void_p()
        error = ctypes.create_string_buffer(512)
        rc = self._lib.kivsb_start(arguments, len(options), error, len(error),
                                   ctypes.byref(handle))
        if rc != OK:
            raise SandboxError(rc, "kivsb_start: " + error.value.decode("utf-8", "replace"))
        self._kit: Optional[c_void_p] = handle

    def close(self) -> None:
        """Stops the kit; every client connection closes."""
        if self._kit:
            self._lib.kivsb_stop(self._kit)
            self._kit = None

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        self.close()
        return False

    def _call(self, name: str, *args: Any) -> None:
        rc = getattr(self._lib, name)(self._kit, *args)
        if rc != OK:
            raise SandboxError(rc, name)

    def _number(self, name: str, *args: Any) -> int:
        value = c_int()
        self._call(name, *args, ctypes.byref(value))
        return value.value

    def _text(self, name: str, *args: Any) -> str:
        length = c_size_t()
        buffer = ctypes.create_string_buffer(4096)
        while True:
            rc = getattr(self._lib, name)(self._kit, *args, buffer, len(buffer),
                                          ctypes.byref(length))
            if rc == OK:
                return buffer.value.decode("utf-8", "replace")
            if rc != BUFFER_TOO_SMALL:
                raise SandboxError(rc, name)
            buffer = ctypes.create_string_buffer(length.value + 1)

    @staticmethod
    def pki_dir() -> str:
        """The folder of the certificates the kit loads (its CA bundles
        universe-bundle.pem and world-bundle.pem are what a bot trusts)."""
        return load().kivsb_pki_dir().decode("utf-8")

    @staticmethod
    def trust(instance: Instance) -> None:
        """Makes a bot's Instance trust the kit's CAs on both sides, so it
        reaches the kit over TLS whatever CAs the library was built with."""
        from . import Side  # the library's binding, loaded only here
        for side, name in ((Side.UNIVERSE, "universe-bundle.pem"),
                           (Side.WORLD, "world-bundle.pem")):
            with open(os.path.join(Sandbox.pki_dir(), name), "rb") as bundle:
                instance.trust(side, bundle.read())

    @property
    def universe_port(self) -> int:
        return self._number("kivsb_universe_port")

    def world_port(self, world: str) -> int:
        return self._number("kivsb_world_port", _bytes(world))

    # ---- Actors

    def actor_enter(self, name: str, world: str, x: float = 0.0, y: float = 0.0,
                    z: float = 0.0, yaw: float = 0.0, avatar_type: int = 0) -> int:
        """Enters the world; returns the avatar's session."""
        return self._number("kivsb_actor_enter", _bytes(name), _bytes(world), x, y, z, yaw,
                            avatar_type)

    def actor_move(self, name: str, x: float, y: float, z: float, yaw: float = 0.0,
                   avatar_type: int = 0) -> None:
        self._call("kivsb_actor_move", _bytes(name), x, y, z, yaw, avatar_type)

    def actor_say(self, name: str, text: str) -> None:
        self._call("kivsb_actor_say", _bytes(name), _bytes(text))

    def actor_leave(self, name: str) -> None:
        self._call("kivsb_actor_leave", _bytes(name))

    def actor_click_avatar(self, name: str, session: int) -> None:
        self._call("kivsb_actor_click_avatar", _bytes(name), session)

    def actor_click_object(self, name: str, object_id: int, session: int = 0) -> None:
        self._call("kivsb_actor_click_object", _bytes(name), object_id, session)

    def actor_bump(self, name: str, object_id: int, begin: bool = True,
                   session: int = 0) -> None:
        self._call("kivsb_actor_bump", _bytes(name), object_id, int(begin), session)

    def actor_teleport(self, name: str, session: int, world: str, x: float, y: float, z: float,
                       yaw: float = 0.0) -> None:
        self._call("kivsb_actor_teleport", _bytes(name), session, _bytes(world), x, y, z, yaw)

    def actor_url(self, name: str, session: int, url: str) -> None:
        self._call("kivsb_actor_url", _bytes(name), session, _bytes(url))

    def actor_console(self, name: str, session: int, text: str) -> None:
        self._call("kivsb_actor_console", _bytes(name), session, _bytes(text))

    def actor_object_add(self, name: str, model: str, x: float, y: float, z: float,
                         description: str = "", action: str = "") -> int:
        """Adds an object; returns its id."""
        return self._number("kivsb_actor_object_add", _bytes(name), _bytes(model),
                            _bytes(description), _bytes(action), x, y, z)

    def actor_object_change(self, name: str, object_id: int, model: str, x: float, y: float,
                            z: float, description: str = "", action: str = "") -> None:
        self._call("kivsb_actor_object_change", _bytes(name), object_id, _bytes(model),
                   _bytes(description), _bytes(action), x, y, z)

    def actor_object_delete(self, name: str, object_id: int) -> None:
        self._call("kivsb_actor_object_delete", _bytes(name), object_id)

    def actor_terrain(self, name: str, tile_x: int, tile_z: int, node_x: int, node_z: int,
                      height: float, attributes: int = 0) -> None:
        self._call("kivsb_actor_terrain", _bytes(name), tile_x, tile_z, node_x, node_z, height,
                   attributes)

    def actor_setting(self, name: str, setting: str, value: str) -> None:
        self._call("kivsb_actor_setting", _bytes(name), _bytes(setting), _bytes(value))

    def actor_permission(self, name: str, permission: str, user_id: int,
                         enable: bool = True) -> None:
        self._call("kivsb_actor_permission", _bytes(name), _bytes(permission), user_id,
                   int(enable))

    def actor_invite(self, name: str, user_id: int, world: str, x: float = 0.0, y: float = 0.0,
                     z: float = 0.0, yaw: float = 0.0) -> None:
        self._call("kivsb_actor_invite", _bytes(name), user_id, _bytes(world), x, y, z, yaw)

    def actor_join(self, name: str, user_id: int) -> None:
        self._call("kivsb_actor_join", _bytes(name), user_id)

    def actor_user_id(self, name: str) -> int:
        return self._number("kivsb_actor_user_id", _bytes(name))

    # ---- Faults; `where` is "universe", a world, or None for every client

    def freeze(self, milliseconds: int) -> None:
        self._call("kivsb_freeze", milliseconds)

    def drop(self, where: Optional[str] = None, reset: bool = False) -> int:
        """Closes the clients of `where`; returns how many."""
        return self._number("kivsb_drop", _bytes(where), int(reset))

    def refuse_logins(self, count: int, result: int) -> None:
        self._call("kivsb_refuse_logins", count, result)

    def remove_world(self, world: str) -> None:
        self._call("kivsb_remove_world", _bytes(world))

    def keepalive(self, seconds: int) -> None:
        self._call("kivsb_keepalive", seconds)

    def delay(self, milliseconds: int) -> None:
        self._call("kivsb_delay", milliseconds)

    def ignore(self, where: Optional[str], message_type: int, ignore: bool = True) -> None:
        self._call("kivsb_ignore", _bytes(where), message_type, int(ignore))

    def cut_after(self, where: Optional[str], bytes_out: int) -> None:
        self._call("kivsb_cut_after", _bytes(where), bytes_out)

    # ---- What happened

    def sent(self, user: str, where: str) -> List[str]:
        """What `user` sent to `where`, one decoded message per item."""
        return self._text("kivsb_sent", _bytes(user), _bytes(where)).splitlines()

    def forget_sent(self) -> None:
        self._call("kivsb_forget_sent")

    def world_state(self, world: str) -> WorldState:
        return WorldState(self._text("kivsb_world_state", _bytes(world)))


if pytest is not None:
    @pytest.fixture
    def sandbox() -> Iterator[Sandbox]:
        """A kit with "lobby" (plain) and "garden" (TLS), stopped after the test."""
        with Sandbox("--world", "lobby", "--world", "garden:tls") as kit:
            yield kit

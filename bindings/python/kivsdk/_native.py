"""Loads the shared library and declares the C signature of every kiv_
function: without argtypes, ctypes would pass Python floats as doubles where
the C side expects float and cut 64-bit pointers to int."""
import ctypes
import ctypes.util
import os
import re
import shutil
import subprocess
import sys
from typing import Any, Callable, Dict, List, Optional, Tuple

from ctypes import (CFUNCTYPE, POINTER, Structure, c_char, c_char_p, c_double, c_float,
                    c_int, c_longlong, c_uint16, c_void_p)


class KIVInstance(Structure):
    """Opaque: only pointers to it are used."""


InstancePtr = POINTER(KIVInstance)


class KIVLoop(Structure):
    pass


LoopPtr = POINTER(KIVLoop)
EventHandler = CFUNCTYPE(None, InstancePtr)
CallbackHandler = CFUNCTYPE(None, InstancePtr, c_int, c_int)
LogHandler = CFUNCTYPE(None, InstancePtr, c_int, c_char_p, c_char_p)

# The socket operations table (KIVNetConfig).
CreateOp = CFUNCTYPE(c_void_p, c_void_p, c_void_p)
DestroyOp = CFUNCTYPE(c_int, c_void_p)
ConnectOp = CFUNCTYPE(c_int, c_void_p, c_char_p, c_int)
SendOp = CFUNCTYPE(c_int, c_void_p, POINTER(c_char), c_int)
RecvOp = CFUNCTYPE(c_int, c_void_p, POINTER(c_char), c_int)
TimeoutOp = CFUNCTYPE(c_int, c_void_p, c_int)
WaitOp = CFUNCTYPE(c_int, c_void_p, c_int)


class NetConfig(Structure):
    _fields_ = [
        ("create", CreateOp),
        ("destroy", DestroyOp),
        ("connect", ConnectOp),
        ("send", SendOp),
        ("recv", RecvOp),
        ("timeout", TimeoutOp),
        ("wait", WaitOp),
        ("context", c_void_p),
    ]


class TerrainCell(Structure):
    _fields_ = [("height", c_float), ("attributes", c_uint16), ("padding", c_uint16)]


class SideStats(Structure):
    _fields_ = [
        ("bytes_in", c_longlong),
        ("bytes_out", c_longlong),
        ("frames_in", c_longlong),
        ("frames_out", c_longlong),
        ("queue_bytes", c_longlong),
        ("queue_peak", c_longlong),
        ("rtt_last_us", c_int),
        ("rtt_smoothed_us", c_int),
        ("losses", c_int),
        ("reconnections", c_int),
        ("unknown_messages", c_int),
        ("handshake_us", c_int),
    ]


class Stats(Structure):
    _fields_ = [("size", c_int), ("universe", SideStats), ("world", SideStats)]


class ReplayStatus(Structure):
    _fields_ = [(name, c_int) for name in (
        "size", "records", "position", "skipped", "sent", "mismatched", "waiting",
        "waiting_side", "waiting_type")]


class ReconnectPolicy(Structure):
    _fields_ = [
        ("size", c_int),
        ("enabled", c_int),
        ("first_delay_ms", c_int),
        ("max_delay_ms", c_int),
        ("max_attempts", c_int),
        ("jitter", c_int),
    ]


I = InstancePtr
# name: (restype, argtypes). Every function of kivsdk.h outside its
# Windows-only block.
SIGNATURES: Dict[str, Tuple[Any, List[Any]]] = {
    "kiv_init": (c_int, [c_int]),
    "kiv_create": (I, [POINTER(NetConfig)]),
    "kiv_destroy": (c_int, [I]),
    "kiv_wait": (c_int, [I, c_int]),
    "kiv_int": (c_int, [I, c_int]),
    "kiv_int_get": (c_int, [I, c_int, POINTER(c_int)]),
    "kiv_int_set": (c_int, [I, c_int, c_int]),
    "kiv_float": (c_float, [I, c_int]),
    "kiv_float_get": (c_int, [I, c_int, POINTER(c_float)]),
    "kiv_float_set": (c_int, [I, c_int, c_float]),
    "kiv_double": (c_double, [I, c_int]),
    "kiv_double_get": (c_int, [I, c_int, POINTER(c_double)]),
    "kiv_double_set": (c_int, [I, c_int, c_double]),
    "kiv_string": (c_char_p, [I, c_int]),
    "kiv_string_get": (c_int, [I, c_int, POINTER(c_char_p)]),
    "kiv_string_set": (None, [I, c_int, c_char_p]),
    "kiv_data": (c_void_p, [I, c_int, POINTER(c_int)]),
    "kiv_data_set": (c_int, [I, c_int, c_int, c_void_p]),
    "kiv_event_set": (c_int, [I, c_int, EventHandler]),
    "kiv_callback_set": (c_int, [I, c_int, CallbackHandler]),
    "kiv_user_data": (c_void_p, [I]),
    "kiv_user_data_set": (None, [I, c_void_p]),
    "kiv_net_notify": (c_int, [c_void_p, c_int, c_int]),
    "kiv_version": (c_int, []),
    "kiv_log_set": (c_int, [I, c_int, LogHandler]),
    "kiv_stats": (c_int, [I, POINTER(Stats), c_int]),
    "kiv_capture_start": (c_int, [I, c_char_p, c_longlong]),
    "kiv_capture_stop": (c_int, [I]),
    "kiv_replay_start": (c_int, [I, c_char_p, c_int]),
    "kiv_replay_status": (c_int, [I, POINTER(ReplayStatus), c_int]),
    "kiv_replay_skip": (c_int, [I]),
    "kiv_loop_create": (LoopPtr, []),
    "kiv_loop_destroy": (c_int, [LoopPtr]),
    "kiv_loop_table": (c_int, [LoopPtr, POINTER(NetConfig)]),
    "kiv_loop_wait": (c_int, [LoopPtr, c_int]),
    "kiv_loop_fd": (c_int, [LoopPtr]),
    "kiv_loop_next_ms": (c_int, [LoopPtr]),
    "kiv_liveness_set": (c_int, [I, c_int]),
    "kiv_limits_set": (c_int, [I, c_int, c_int, c_int]),
    "kiv_reconnect_set": (c_int, [I, POINTER(ReconnectPolicy)]),
    "kiv_queue_limit_set": (c_int, [I, c_int]),
    "kiv_state": (c_int, [I, c_int]),
    "kiv_trust_set": (c_int, [I, c_int, c_char_p, c_int]),
    "kiv_connect_universe": (c_int, [I, c_char_p, c_int]),
    "kiv_login": (c_int, [I, c_char_p, c_char_p, c_char_p]),
    "kiv_world_list": (c_int, [I, c_int]),
    "kiv_user_attributes_by_id": (c_int, [I, c_int]),
    "kiv_user_attributes_by_name": (c_int, [I, c_char_p]),
    "kiv_friends_get": (c_int, [I]),
    "kiv_friend_add_by_name": (c_int, [I, c_char_p]),
    "kiv_friend_delete": (c_int, [I, c_int]),
    "kiv_invite": (c_int, [I, c_int, c_char_p, c_double, c_double, c_double, c_float, c_float]),
    "kiv_invite_accept": (c_int, [I, c_int]),
    "kiv_invite_decline": (c_int, [I, c_int]),
    "kiv_join": (c_int, [I, c_int]),
    "kiv_join_accept": (c_int, [I, c_int, c_char_p, c_double, c_double, c_double, c_float,
                                c_float]),
    "kiv_join_decline": (c_int, [I, c_int]),
    "kiv_enter": (c_int, [I, c_char_p]),
    "kiv_leave": (c_int, [I]),
    "kiv_state_change": (c_int, [I]),
    "kiv_say": (c_int, [I, c_char_p]),
    "kiv_object_add": (c_int, [I]),
    "kiv_object_change": (c_int, [I]),
    "kiv_object_delete": (c_int, [I, c_int]),
    "kiv_object_load": (c_int, [I]),
    "kiv_object_get": (c_int, [I, c_int]),
    "kiv_object_click": (c_int, [I, c_int, c_int, c_float, c_float, c_float]),
    "kiv_object_bump_begin": (c_int, [I, c_int, c_int]),
    "kiv_object_bump_end": (c_int, [I, c_int, c_int]),
    "kiv_query_cell": (c_int, [I, c_int, c_int]),
    "kiv_query_cell_revision": (c_int, [I, c_int, c_int, c_int]),
    "kiv_terrain_query": (c_int, [I, c_int, c_int, POINTER(c_int)]),
    "kiv_terrain_node_set": (c_int, [I, c_int, c_int, c_int, c_int, POINTER(TerrainCell)]),
    "kiv_world_permission_user_set": (c_int, [I, c_char_p, c_int, c_int]),
    "kiv_world_permission_session_set": (c_int, [I, c_char_p, c_int, c_int]),
    "kiv_world_permissions_get_all": (c_int, [I]),
    "kiv_world_permissions_get_by_user": (c_int, [I, c_int]),
    "kiv_world_permissions_get_my": (c_int, [I]),
    "kiv_world_setting_set": (c_int, [I, c_char_p, c_char_p, c_int]),
    "kiv_teleport_avatar": (c_int, [I, c_int, c_char_p, c_float, c_float, c_float, c_float,
                                    c_float]),
    "kiv_url_send": (c_int, [I, c_int, c_char_p, c_int]),
    "kiv_console_message": (c_int, [I, c_int, c_char_p, c_char_p, c_int, c_int, c_int, c_int]),
    "kiv_avatar_click": (c_int, [I, c_int]),
}
del I


# Where load() looks, in order; named by its error when none gives a library.
SEARCH_ORDER: Tuple[str, ...] = (
    "$KIVSDK_LIBRARY", "the library installed beside this package",
    "pkg-config (kivsdk's libdir)", "the system's library search path")


def _library_names() -> List[str]:
    if sys.platform == "win32":
        return ["KIVSDK.dll"]
    if sys.platform == "darwin":
        return ["libKIVSDK.0.dylib", "libKIVSDK.dylib"]
    return ["libKIVSDK.so.0", "libKIVSDK.so"]


def _beside_package() -> Optional[str]:
    """The library that CMake installed with this package (_build_info.LIBRARY,
    relative to the package's folder), or None for a package that was not
    installed by CMake."""
    try:
        from . import _build_info  # type: ignore[attr-defined]
    except ImportError:
        return None
    location = getattr(_build_info, "LIBRARY", None)
    if not location:
        return None
    return os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), location))


def _from_pkg_config() -> Tuple[Optional[str], str]:
    """(path, why not): the library in `pkg-config --variable=libdir kivsdk`."""
    tool = shutil.which("pkg-config") or shutil.which("pkgconf")
    if not tool:
        return None, "no pkg-config program"
    try:
        done = subprocess.run([tool, "--variable=libdir", "kivsdk"], capture_output=True,
                              text=True, timeout=30, check=False)
    except (OSError, subprocess.SubprocessError) as error:
        return None, f"pkg-config failed: {error}"
    libdir = done.stdout.strip()
    if done.returncode != 0 or not libdir:
        return None, "pkg-config knows no kivsdk"
    for name in _library_names():
        path = os.path.join(libdir, name)
        if os.path.exists(path):
            return path, ""
    return None, f"no {' or '.join(_library_names())} in {libdir}"


def _try(candidate: str, errors: List[str], label: str) -> Optional[ctypes.CDLL]:
    try:
        return ctypes.CDLL(candidate)
    except OSError as error:
        errors.append(f"{label}: {candidate}: {error}")
        return None


def _find() -> Tuple[ctypes.CDLL, str]:
    """Opens the library from the first place of SEARCH_ORDER that has one.
    An explicit $KIVSDK_LIBRARY is the only place tried when it is set."""
    errors: List[str] = []
    explicit = os.environ.get("KIVSDK_LIBRARY")
    if explicit:
        library = _try(explicit, errors, SEARCH_ORDER[0])
        if library is not None:
            return library, explicit
        raise OSError("cannot load the KIVSDK shared library: " + errors[0] +
                      " (with $KIVSDK_LIBRARY set, the other places are not tried: "
                      + ", ".join(SEARCH_ORDER[1:]) + ")")
    errors.append(f"{SEARCH_ORDER[0]}: not set")

    # Each place is looked at only when the ones before it gave nothing.
    lookups: List[Tuple[str, Callable[[], Tuple[Optional[str], str]]]] = [
        (SEARCH_ORDER[1], lambda: (_beside_package(), "not installed with the library")),
        (SEARCH_ORDER[2], _from_pkg_config),
    ]
    for place, look in lookups:
        path, why = look()
        if path is None:
            errors.append(f"{place}: {why}")
            continue
        library = _try(path, errors, place)
        if library is not None:
            return library, path

    system_errors: List[str] = []
    for name in ([ctypes.util.find_library("KIVSDK") or ""] + _library_names()):
        if name:
            library = _try(name, system_errors, SEARCH_ORDER[3])
            if library is not None:
                return library, name
    errors.append(f"{SEARCH_ORDER[3]}: no {' or '.join(_library_names())} found")
    raise OSError("cannot load the KIVSDK shared library; looked in, in order: "
                  + "; ".join(errors)
                  + ". Set KIVSDK_LIBRARY to the library's path, or install it.")


def _declare(library: ctypes.CDLL) -> ctypes.CDLL:
    for name, (restype, argtypes) in SIGNATURES.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes
    return library


def load(path: Optional[str] = None) -> ctypes.CDLL:
    """Opens the shared library and declares every signature: `path` when
    given, else the first of $KIVSDK_LIBRARY, the library installed beside
    this package (by CMake), the one pkg-config names, the system's search
    path. Raises OSError naming every place when none loads."""
    global _path
    if path:
        errors: List[str] = []
        library = _try(path, errors, "path")
        if library is None:
            raise OSError("cannot load the KIVSDK shared library: " + errors[0])
        _path = path
        return _declare(library)
    library, _path = _find()
    return _declare(library)


_library: Optional[ctypes.CDLL] = None
_path: Optional[str] = None


def library() -> ctypes.CDLL:
    """The shared library, loaded on first use."""
    global _library
    if _library is None:
        _library = load()
    return _library


def library_path() -> Optional[str]:
    """Where the loaded library came from (None before it is loaded)."""
    return _path


def _version_from_header(path: str) -> Optional[str]:
    try:
        with open(path, encoding="utf-8") as header:
            text = header.read()
    except OSError:
        return None
    parts = [re.search(rf"#define KIVSDK_VERSION_{part} (\d+)", text)
             for part in ("MAJOR", "MINOR", "PATCH")]
    if not all(parts):
        return None
    return ".".join(match.group(1) for match in parts if match)


def package_version() -> Optional[str]:
    """This package's version: the one it was built or installed with
    (_build_info, written by setup.py or CMake), else, in a source tree, the
    library's header beside it ($KIVSDK_HEADER or include/kivsdk.h)."""
    try:
        from . import _build_info  # type: ignore[attr-defined]
        return str(_build_info.VERSION)
    except ImportError:
        pass
    here = os.path.dirname(os.path.abspath(__file__))
    for header in (os.environ.get("KIVSDK_HEADER"),
                   os.path.join(here, "..", "..", "..", "include", "kivsdk.h")):
        if header:
            version = _version_from_header(header)
            if version:
                return version
    return None


def version_text(number: int) -> str:
    """kiv_version()'s number (major * 10000 + minor * 100 + patch) as text."""
    return f"{number // 10000}.{number // 100 % 100}.{number % 100}"


def check_version() -> None:
    """Raises ImportError when the loaded library's kiv_version() is not this
    package's version (a package and a library from different builds)."""
    expected = package_version()
    if expected is None:
        return
    found = version_text(library().kiv_version())
    if found != expected:
        raise ImportError(f"the Python package kivsdk is version {expected} but the KIVSDK "
                          f"library {library_path()} is version {found}; install matching "
                          f"versions or set KIVSDK_LIBRARY to the library of version {expected}")

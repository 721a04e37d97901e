"""Loads the shared library and declares the C signature of every kiv_
function: without argtypes, ctypes would pass Python floats as doubles where
the C side expects float and cut 64-bit pointers to int."""
import ctypes
import ctypes.util
import os
import sys

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
SIGNATURES = {
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


def _candidates():
    explicit = os.environ.get("KIVSDK_LIBRARY")
    if explicit:
        yield explicit
        return
    if sys.platform == "win32":
        yield "KIVSDK.dll"
        return
    found = ctypes.util.find_library("KIVSDK")
    if found:
        yield found
    yield "libKIVSDK.so.0"
    yield "libKIVSDK.so"


def load(path=None):
    """Opens the shared library (path, or $KIVSDK_LIBRARY, or the system's
    search) and declares every signature. Raises OSError when none loads."""
    errors = []
    for candidate in [path] if path else _candidates():
        try:
            library = ctypes.CDLL(candidate)
        except OSError as error:
            errors.append(f"{candidate}: {error}")
            continue
        for name, (restype, argtypes) in SIGNATURES.items():
            function = getattr(library, name)
            function.restype = restype
            function.argtypes = argtypes
        return library
    raise OSError("cannot load the KIVSDK shared library (set KIVSDK_LIBRARY to its path): "
                  + "; ".join(errors))


_library = None


def library():
    """The shared library, loaded on first use."""
    global _library
    if _library is None:
        _library = load()
    return _library

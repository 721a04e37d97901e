"""A loop shared by many Instances (kiv_loop_create): one pass serves them
all. Make the Instances with loop.instance(); run passes with loop.wait(),
or let a host loop watch loop.fileno() and loop.next_ms() and call
loop.wait(0) when either is due."""
from __future__ import annotations

import ctypes
import weakref
from typing import TYPE_CHECKING, Optional, TypeVar


from . import _native
from .instance import Instance, KIVError, _check

if TYPE_CHECKING:
    from typing import Literal

_Self = TypeVar("_Self", bound="Loop")


class Loop:
    def __init__(self) -> None:
        self._lib = _native.library()
        self._handle: Optional[ctypes._Pointer[_native.KIVLoop]] = self._lib.kiv_loop_create()
        if not self._handle:
            raise MemoryError("kiv_loop_create failed")
        self._net_config = _native.NetConfig()
        _check(self._lib.kiv_loop_table(self._handle, ctypes.byref(self._net_config)),
               "loop_table")
        self._members: weakref.WeakSet[Instance] = weakref.WeakSet()

    @property
    def handle(self) -> ctypes._Pointer[_native.KIVLoop]:
        """The KIVLoop pointer, for calling the C functions directly."""
        if not self._handle:
            raise ValueError("the Loop is closed")
        return self._handle

    def instance(self) -> Instance:
        """A new Instance on this loop."""
        member = Instance(self._net_config)
        self._members.add(member)
        return member

    def wait(self, milliseconds: int = 0) -> None:
        """One pass for every Instance of the loop (kiv_loop_wait): blocks at
        most `milliseconds`, runs every handler that is due, re-raises the
        first exception a handler of any of them raised."""
        rc = self._lib.kiv_loop_wait(self.handle, int(milliseconds))
        for member in list(self._members):
            member.raise_pending()
        _check(rc, "loop_wait")

    def fileno(self) -> int:
        """The descriptor a host loop watches for reading (never reads); -1
        where there is none (off Linux)."""
        return self._lib.kiv_loop_fd(self.handle)

    def next_ms(self) -> int:
        """Milliseconds until the nearest timer is due; -1 without one."""
        return self._lib.kiv_loop_next_ms(self.handle)

    def close(self) -> None:
        """Frees the loop; its Instances must be closed first (KIVError
        INVALID_ARGUMENT otherwise). Idempotent."""
        if not self._handle:
            return
        _check(self._lib.kiv_loop_destroy(self._handle), "loop_destroy")
        self._handle = None

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        for member in list(self._members):
            member.close()
        self.close()
        return False


__all__ = ["Loop", "KIVError"]

"""What an arm and a handle share: a serial port opened at construction, its time-out, its life cycle."""

import errno
import gc
import math
import os
import threading
import warnings
import weakref
from typing import Any, Callable, Dict, List, TypeVar, Union

from ._kivra_ffi import ffi, lib
from ._safety import enable_interrupts
from .errors import raise_for_status, raise_open_error

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Self = TypeVar("_Self", bound="PortDevice")

# The devices this process has opened, by the port's real path. Weak: a
# device dropped without close() must stay collectable, so that its port is
# freed; under PyPy that happens only when the collector runs, and a clash
# with such a device is what makes an open collect once and try again.
_opened: Dict[str, "weakref.WeakSet[PortDevice]"] = {}
_opened_lock = threading.Lock()


def _open_here(real_path: str) -> List["PortDevice"]:
    """The devices of this process still open on the port."""
    with _opened_lock:
        return [device for device in _opened.get(real_path, ()) if device.is_open]


def _checked_timeout(timeout: float, name: str = "timeout") -> float:
    value = float(timeout)
    if not (math.isfinite(value) and value > 0.0):
        raise ValueError("%s must be a finite number of seconds above 0, got %r" % (name, timeout))
    return value


class PortDevice:
    """A device on one serial port; a subclass names its C functions, ``class Arm(PortDevice, c_name="arm")``."""

    _C_TYPE = ""  # the C handle's type, e.g. "kivra_arm"
    _c_open: Callable[..., int]
    _c_destroy: Callable[[Any], None]
    _c_is_open: Callable[[Any], int]
    _c_get_timeout: Callable[[Any, Any], int]
    _c_set_timeout: Callable[[Any, float], int]
    _c_close: Callable[[Any], int]

    def __init_subclass__(cls, c_name: str = "", **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        cls._C_TYPE = "kivra_" + c_name
        for part in ("open", "destroy", "is_open", "get_timeout", "set_timeout", "close"):
            # As staticmethods: stored plainly, a function would take the instance as its first argument.
            setattr(cls, "_c_" + part, staticmethod(getattr(lib, "kivra_%s_%s" % (c_name, part))))

    def __init__(self, port: PathLike, timeout: float, exclusive: bool) -> None:
        self._port = os.fsdecode(port)
        encoded = os.fsencode(port)
        if b"\0" in encoded:
            raise ValueError("embedded null byte")
        timeout = _checked_timeout(timeout)
        enable_interrupts()
        handle = ffi.new(self._C_TYPE + "**")
        detail = ffi.new("int32_t*")
        flags = lib.KIVRA_OPEN_EXCLUSIVE if exclusive else 0
        real_path = os.path.realpath(self._port)
        status = self._c_open(encoded, timeout, flags, handle, detail)
        if status == lib.KIVRA_NOT_OPEN and detail[0] == errno.EBUSY and _open_here(real_path):
            # Perhaps held by a device of this process that nothing refers
            # to any more and the collector has not found yet (PyPy's way).
            gc.collect()
            status = self._c_open(encoded, timeout, flags, handle, detail)
        if status == lib.KIVRA_NOT_OPEN:
            raise_open_error(detail[0], self._port, [repr(device) for device in _open_here(real_path)])
        if status != lib.KIVRA_OK:
            raise_for_status(status, detail[0], self._port, timeout)
        self._handle = ffi.gc(handle[0], self._c_destroy)
        with _opened_lock:
            _opened.setdefault(real_path, weakref.WeakSet()).add(self)

    @property
    def port(self) -> str:
        """The port's path, as it was given."""
        return self._port

    @property
    def is_open(self) -> bool:
        """Whether the port is open: False after :meth:`close`."""
        return bool(self._c_is_open(self._handle))

    @property
    def timeout(self) -> float:
        """Reply time-out [s]."""
        value = ffi.new("double*")
        self._c_get_timeout(self._handle, value)
        return float(value[0])

    @timeout.setter
    def timeout(self, seconds: float) -> None:
        self._c_set_timeout(self._handle, _checked_timeout(seconds))

    def close(self) -> None:
        """Closes the port at once, after a call in progress; closing again does nothing."""
        status = self._c_close(self._handle)
        if status != lib.KIVRA_OK:
            raise_for_status(status, 0, self._port, 0.0)

    def __del__(self) -> None:
        handle = getattr(self, "_handle", None)
        if handle is None or not self._c_is_open(handle):
            return
        # Closed before the warning, which a filter may turn into an error.
        self._c_close(handle)
        warnings.warn("unclosed %s on %s: close() it, or open it in a with block" % (type(self).__name__,
                      self._port), ResourceWarning, source=self)

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return "<kivra.%s %s %s>" % (type(self).__name__, self._port, "open" if self.is_open else "closed")

"""The hand-held handle over libkivra: requests, its replies as records, and its status frames."""

from dataclasses import dataclass
from typing import Any, Iterator, Optional, Tuple, Union

from ._kivra_ffi import ffi, lib
from ._port import PathLike, PortDevice, _checked_timeout
from .errors import DeviceBusy, DeviceTimeout, ProtocolError, _fail, raise_for_status

Quaternion = Tuple[float, float, float, float]


@dataclass(frozen=True)
class HandleInfo:
    """The handle's info reply, its answer to a wakeup."""

    device_id: int
    tool_data_remaining: int
    model_number: int
    hardware_version: int
    firmware_version: int


@dataclass(frozen=True)
class HandleStatus:
    """A status message, the answer to a status request."""

    device_id: int
    quaternion: Quaternion
    error_flag: int
    hall_effect_sensor_level: int
    user_data: bytes


@dataclass(frozen=True)
class HandleError:
    """An error response: the handle refused a request (a reply, not an exception)."""

    device_id: int
    error_code: int


@dataclass(frozen=True)
class HandleStatusFrame:
    """A status frame the handle streams while no request comes.

    ``quaternion`` has the signs of the module's ``GetManiloStatus`` (q0, -q1,
    -q2, q3), ``buttons`` the three button bits, ``battery_level`` is in volts.
    """

    device_id: int
    quaternion: Quaternion
    buttons: int
    hall_effect_sensor_level: int
    battery_level: float
    error_flag: int


HandleMessage = Union[HandleInfo, HandleStatus, HandleError]


def _quaternion(values: Any) -> Quaternion:
    return (values[0], values[1], values[2], values[3])


def _record(message: Any) -> HandleMessage:
    if message.kind == lib.KIVRA_HANDLE_INFO:
        info = message.info
        return HandleInfo(
            info.device_id, info.tool_data_remaining, info.model_number, info.hardware_version, info.firmware_version
        )
    if message.kind == lib.KIVRA_HANDLE_STATUS:
        status = message.status
        return HandleStatus(
            status.device_id,
            _quaternion(status.quaternion),
            status.error_flag,
            status.hall_effect_sensor_level,
            bytes(ffi.buffer(status.user_data, status.user_data_length)),
        )
    error = message.error
    return HandleError(error.device_id, error.error_code)


class Handle(PortDevice, c_name="handle"):
    """The handle on one serial port, opened at construction.

    ``timeout`` [s] bounds a receive (unless it is given its own) and how
    long a request may wait for a full port. The default of 0.5 s is far
    above the handle's answer time, a few milliseconds over USB and tens of
    milliseconds over a Bluetooth link, yet short enough that a handle that
    has gone away is noticed at once. ``exclusive`` refuses the port to every
    other opener while it is open.

    Replies come back as records from :meth:`receive`; nothing is called
    back. Every call after :meth:`close` raises :class:`~kivra.PortClosed`.
    """

    def __init__(self, port: PathLike, *, timeout: float = 0.5, exclusive: bool = True) -> None:
        super().__init__(port, timeout, exclusive)

    def _check(self, status: int, detail: int, timeout: float) -> None:
        if status == lib.KIVRA_WRONG_CODE:
            if lib.kivra_sender_of_code(detail) == lib.KIVRA_DEVICE_ARM:
                _fail(ProtocolError("%s is an arm, not a handle: open it with kivra.Arm" % self._port, code=detail))
            _fail(ProtocolError("%s sent code %d, which is no reply of the handle" % (self._port, detail), code=detail))
        if status == lib.KIVRA_BUSY:
            _fail(DeviceBusy("a bridge or a recording reads the status frames of %s; stop it first" % self._port))
        if status != lib.KIVRA_OK:
            raise_for_status(status, detail, self._port, timeout)

    def wakeup(self) -> None:
        """Asks the handle for its info; :meth:`receive` takes the :class:`HandleInfo`."""
        detail = ffi.new("int32_t*")
        self._check(lib.kivra_handle_wakeup(self._handle, detail), detail[0], self.timeout)

    def request_status(self) -> None:
        """Asks the handle for its status; :meth:`receive` takes the :class:`HandleStatus`."""
        detail = ffi.new("int32_t*")
        self._check(lib.kivra_handle_request_status(self._handle, detail), detail[0], self.timeout)

    def send_state(self, device_id: int, user_data: bytes = b"") -> None:
        """Sends the handle state: device_id (0 to 65535) and up to 255 bytes of user data."""
        if not 0 <= device_id <= 0xFFFF:
            raise ValueError("device_id must be 0 to 65535, got %r" % (device_id,))
        data = bytes(user_data)
        if len(data) > 255:
            raise ValueError("user_data holds at most 255 bytes, got %d" % len(data))
        detail = ffi.new("int32_t*")
        status = lib.kivra_handle_send_state(self._handle, device_id, data, len(data), detail)
        self._check(status, detail[0], self.timeout)

    def receive(self, timeout: Optional[float] = None) -> HandleMessage:
        """The next reply within timeout [s] (default: the handle's).

        Raises :class:`~kivra.DeviceTimeout` when none comes,
        :class:`~kivra.Disconnected` when the port hangs up and
        :class:`~kivra.ProtocolError` for a code the handle does not send or a
        reply cut short.
        """
        wait = self.timeout if timeout is None else _checked_timeout(timeout)
        message = ffi.new("kivra_handle_message*")
        detail = ffi.new("int32_t*")
        self._check(lib.kivra_handle_receive(self._handle, wait, message, detail), detail[0], wait)
        return _record(message)

    def messages(self, timeout: Optional[float] = None) -> Iterator[HandleMessage]:
        """Replies as they come, until none comes within timeout [s]."""
        while True:
            try:
                message = self.receive(timeout)
            except DeviceTimeout:
                return
            yield message

    def read_status_frame(self, timeout: Optional[float] = None) -> HandleStatusFrame:
        """The next status frame within timeout [s] (default: the handle's); sends nothing.

        The handle streams frames only while no request has come for a while;
        without one in time, :class:`~kivra.DeviceTimeout`.
        """
        wait = self.timeout if timeout is None else _checked_timeout(timeout)
        frame = ffi.new("kivra_status_frame*")
        detail = ffi.new("int32_t*")
        status = lib.kivra_handle_read_status_frame(self._handle, wait, frame, detail)
        if status == lib.KIVRA_TIMED_OUT:
            text = "no status frame from %s within %g s (reader's code %d)" % (self._port, wait, detail[0])
            _fail(DeviceTimeout(text))
        self._check(status, detail[0], wait)
        return HandleStatusFrame(
            frame.device_id,
            _quaternion(frame.quaternion),
            frame.buttons,
            frame.hall_effect_sensor_level,
            frame.battery_level,
            frame.error_flag,
        )


__all__ = ["Handle", "HandleError", "HandleInfo", "HandleMessage", "HandleStatus", "HandleStatusFrame"]

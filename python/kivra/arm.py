"""The arm device over libkivra."""

import uuid
import warnings
from typing import Any, Iterator, List, NamedTuple, Optional, Protocol, Sequence, Tuple, Union, overload

from ._kivra_ffi import ffi, lib
from ._port import PathLike, PortDevice
from .errors import raise_for_status

Vector = Tuple[float, float, float]
#: What an exchange returns: (position [m], velocity [m/s]) or (joint angles [deg], joint velocities [deg/s]).
State = Tuple[Vector, Vector]


class FloatBuffer(Protocol):
    """Three writable floats: an :meth:`Arm.buffer`, or any writable buffer of three 32-bit floats
    (``array.array("f", ...)``, a float32 NumPy array)."""

    def __len__(self) -> int: ...

    def __getitem__(self, index: int) -> float: ...

    def __setitem__(self, index: int, value: float) -> None: ...

    def __iter__(self) -> Iterator[float]: ...


#: A command: three floats, as a sequence or a buffer.
Command = Union[Sequence[float], FloatBuffer]

# The largest magnitude a command component can have on the wire, a 32-bit float.
_FLOAT32_MAX = 3.4028234663852886e38


#: The model number an arm gives in its wakeup reply.
MODEL_NUMBER: int = lib.KIVRA_ARM_MODEL_NUMBER


class DeviceInfo(NamedTuple):
    """The device's answer to a wakeup."""

    device_id: int
    model_number: int
    hardware_version: int
    firmware_version: int
    unique_id: uuid.UUID


class ArmStatus(NamedTuple):
    """What the arm reports of itself."""

    temperature: float  # [degrees C]
    motor_currents: Vector  # [A]
    orientation: Tuple[float, float, float, float]  # the base's orientation quaternion
    powered: bool  # the motors have power


class _Scratch:
    """C buffers of one exchange in flight, reused so that an exchange allocates nothing."""

    __slots__ = ("command", "first", "second", "detail")

    def __init__(self) -> None:
        self.command = ffi.new("float[3]")
        self.first = ffi.new("float[3]")
        self.second = ffi.new("float[3]")
        self.detail = ffi.new("int32_t[1]")


def _float_buffer(buffer: Any, name: str) -> Any:
    if not isinstance(buffer, ffi.CData):
        # Costs a small object per call: the hot path passes Arm.buffer()s.
        buffer = ffi.from_buffer("float[]", buffer, require_writable=True)
    if ffi.sizeof(buffer) != 12:
        raise ValueError("%s must hold 3 floats" % name)
    return buffer


class Arm(PortDevice, c_name="arm"):
    """The arm device on one serial port, opened at construction.

    ``timeout`` [s] bounds each exchange. The default of 50 ms is far above
    the arm's own answer time (about 1 ms) and far below a stall that a haptic
    loop would notice as a hang: a 1 kHz loop survives a few lost cycles, not
    the five seconds that blocking reads would cost. ``exclusive`` refuses the
    port to every other opener while it is open.

    One Arm may be used from several threads: exchanges are serialised and
    never interleave on the wire. Every call after :meth:`close` raises
    :class:`~kivra.PortClosed`.
    """

    def __init__(self, port: PathLike, *, timeout: float = 0.05, exclusive: bool = True) -> None:
        super().__init__(port, timeout, exclusive)
        self._scratch: List[Optional[_Scratch]] = [None]

    @staticmethod
    def buffer(values: Sequence[float] = (0.0, 0.0, 0.0)) -> FloatBuffer:
        """A C array of 3 floats for the allocation-free form of the exchanges."""
        values = list(values)
        if len(values) != 3:
            raise ValueError("a buffer holds 3 floats, got %d values" % len(values))
        return ffi.new("float[3]", values)  # type: ignore[no-any-return]

    def _exchange(self, function: Any, command: Any, first: Any, second: Any) -> Optional[State]:
        # A stack of scratch buffers rather than one set: two threads may be
        # inside an exchange of the same arm at once. pop and append are
        # atomic, and the None at the bottom keeps the list from ever running
        # empty, which under PyPy would reallocate it on every call.
        pool = self._scratch
        scratch = pool.pop()
        if scratch is None:
            pool.append(None)
            scratch = _Scratch()
        try:
            if len(command) != 3:
                raise ValueError("a command has 3 components, got %d" % len(command))
            c0, c1, c2 = float(command[0]), float(command[1]), float(command[2])
            # NaN fails every comparison; anything beyond float32 would arrive as infinity.
            if not (-_FLOAT32_MAX <= c0 <= _FLOAT32_MAX and -_FLOAT32_MAX <= c1 <= _FLOAT32_MAX
                    and -_FLOAT32_MAX <= c2 <= _FLOAT32_MAX):
                raise ValueError("a command must be finite and within float32 range, got %r" % ((c0, c1, c2),))
            if not isinstance(command, ffi.CData):
                sent = scratch.command
                sent[0] = c0
                sent[1] = c1
                sent[2] = c2
                command = sent
            if first is None and second is None:
                out_first, out_second = scratch.first, scratch.second
            elif first is None or second is None:
                raise ValueError("pass both output buffers or neither")
            else:
                out_first, out_second = _float_buffer(first, "first"), _float_buffer(second, "second")
            status = function(self._handle, command, out_first, out_second, scratch.detail)
            if status != 0:
                raise_for_status(status, scratch.detail[0], self._port, self.timeout)
            if first is None:
                return (out_first[0], out_first[1], out_first[2]), (out_second[0], out_second[1], out_second[2])
            return None
        finally:
            pool.append(scratch)

    # Each exchange in two forms, told apart by their arguments so that a type
    # checker knows which one returns the state: without buffers it returns
    # (first, second); with both buffers it fills them and returns None.

    @overload
    def exchange_force(self, force: Command, position: None = None, velocity: None = None) -> State: ...

    @overload
    def exchange_force(self, force: Command, position: FloatBuffer, velocity: FloatBuffer) -> None: ...

    def exchange_force(self, force: Command, position: Any = None, velocity: Any = None) -> Optional[State]:
        """Sends force [N], returns (position [m], velocity [m/s]).

        With position and velocity buffers (see :meth:`buffer`) it fills them
        instead and returns None: the form that allocates nothing per call.
        """
        return self._exchange(lib.kivra_arm_exchange_force, force, position, velocity)

    @overload
    def exchange_position(self, target: Command, position: None = None, velocity: None = None) -> State: ...

    @overload
    def exchange_position(self, target: Command, position: FloatBuffer, velocity: FloatBuffer) -> None: ...

    def exchange_position(self, target: Command, position: Any = None, velocity: Any = None) -> Optional[State]:
        """Sends a target position [m], returns (position [m], velocity [m/s]); with buffers, fills them."""
        return self._exchange(lib.kivra_arm_exchange_position, target, position, velocity)

    @overload
    def exchange_joint_torques(self, torques: Command, angles: None = None, velocities: None = None) -> State: ...

    @overload
    def exchange_joint_torques(self, torques: Command, angles: FloatBuffer, velocities: FloatBuffer) -> None: ...

    def exchange_joint_torques(self, torques: Command, angles: Any = None, velocities: Any = None) -> Optional[State]:
        """Sends joint torques [N m], returns (joint angles [deg], joint velocities [deg/s]);
        with buffers, fills them."""
        return self._exchange(lib.kivra_arm_exchange_joint_torques, torques, angles, velocities)

    @overload
    def exchange_joint_angles(self, target: Command, angles: None = None, velocities: None = None) -> State: ...

    @overload
    def exchange_joint_angles(self, target: Command, angles: FloatBuffer, velocities: FloatBuffer) -> None: ...

    def exchange_joint_angles(self, target: Command, angles: Any = None, velocities: Any = None) -> Optional[State]:
        """Sends target joint angles [deg], returns (joint angles [deg], joint velocities [deg/s]); with buffers,
        fills them."""
        return self._exchange(lib.kivra_arm_exchange_joint_angles, target, angles, velocities)

    def wakeup(self) -> DeviceInfo:
        """Wakes the device and returns its identity."""
        info = ffi.new("kivra_device_info*")
        detail = ffi.new("int32_t*")
        status = lib.kivra_arm_wakeup(self._handle, info, detail)
        if status != lib.KIVRA_OK:
            raise_for_status(status, detail[0], self._port, self.timeout)
        return DeviceInfo(
            info.device_id,
            info.model_number,
            info.hardware_version,
            info.firmware_version,
            uuid.UUID(bytes=bytes(ffi.buffer(info.unique_id))),
        )

    def status(self) -> ArmStatus:
        """Temperature, motor currents, base orientation and power, one exchange each."""
        status = ffi.new("kivra_arm_status*")
        detail = ffi.new("int32_t*")
        code = lib.kivra_arm_get_status(self._handle, status, detail)
        if code != lib.KIVRA_OK:
            raise_for_status(code, detail[0], self._port, self.timeout)
        currents, quaternion = status.motor_currents, status.orientation
        return ArmStatus(
            status.temperature,
            (currents[0], currents[1], currents[2]),
            (quaternion[0], quaternion[1], quaternion[2], quaternion[3]),
            bool(status.powered),
        )

    def _identifier(self, selector: int) -> uuid.UUID:
        value = ffi.new("uint8_t[16]")
        detail = ffi.new("int32_t*")
        status = lib.kivra_arm_identifier(self._handle, selector, value, detail)
        if status != lib.KIVRA_OK:
            raise_for_status(status, detail[0], self._port, self.timeout)
        return uuid.UUID(bytes=bytes(ffi.buffer(value)))

    def unique_id(self) -> uuid.UUID:
        """The device's 16-byte unique id, asked for on its own (the same as ``wakeup().unique_id``)."""
        return self._identifier(lib.KIVRA_IDENTIFIER_DEVICE_ID)

    def device_id(self) -> uuid.UUID:
        """Deprecated: the 16-byte unique id, which :meth:`unique_id` gives.

        Not the device id of :meth:`wakeup`, the integer that names the arm.
        """
        warnings.warn(
            "Arm.device_id() returns the 16-byte unique id: call Arm.unique_id() instead "
            "(wakeup().device_id is the integer device id)",
            DeprecationWarning,
            stacklevel=2,
        )
        return self.unique_id()

    def firmware_id(self) -> uuid.UUID:
        """The 16-byte identifier of the device's firmware."""
        return self._identifier(lib.KIVRA_IDENTIFIER_FIRMWARE_VERSION)


__all__ = ["Arm", "ArmStatus", "DeviceInfo", "MODEL_NUMBER"]

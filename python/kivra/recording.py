"""Recording a servo loop into an MCAP file that ROS 2 tools and MCAP readers open.

Every tick goes into the file with ROS 2 message types, CDR-encoded:

- ``/kivra/joint_states`` (sensor_msgs/msg/JointState): joints "x", "y", "z",
  the end effector's coordinates as three prismatic joints; position [m],
  velocity [m/s], effort = the force sent [N];
- ``/kivra/pose`` (geometry_msgs/msg/PoseStamped, frame "kivra_base",
  orientation identity), ``/kivra/twist`` (TwistStamped, linear = velocity),
  ``/kivra/wrench`` (WrenchStamped, force = the force sent);
- ``/kivra/tick_timing`` (kivra_msgs/msg/TickTiming, its definition in the
  file): tick, time, wake-up lateness, exchange time, outcome, host force and
  the counts of effect and scene changes;
- ``/kivra/effects`` (std_msgs/msg/String): a JSON object for the effects in
  force at the first tick and at each change, ``{"kind": "effects", "tick",
  "time", "effects_changes", "effects": {"spring", "walls",
  "viscous_damping", "constant_force", "force_limit"}}``, and for each scene
  change, ``{"kind": "scene", "tick", "time", "scene_changes", "scene"}``;
- ``/kivra/diagnostics`` (diagnostic_msgs/msg/DiagnosticArray) once a
  second of loop time: rate, misses, failed exchanges, lateness and exchange
  percentiles, dropped ticks; ``/kivra/identity`` (DiagnosticArray) once;
- with a handle attached (``ServoLoop.record(path, handle=...)``), each of
  its status frames as it comes, frame "kivra_handle": ``/kivra/buttons``
  (sensor_msgs/msg/Joy: one axis, the hall-effect sensor from 0 to 1, and
  the buttons) and ``/kivra/orientation`` (geometry_msgs/msg/QuaternionStamped).

Stamps are the system clock at the loop's start plus each tick's time.
"""

import os
import weakref
from typing import Any, Mapping, NamedTuple, Optional

from ._kivra_ffi import ffi, lib
from .errors import DeviceBusy, PortClosed, RecordingError, raise_for_status

#: The chunk compressions a recording may use, by name.
COMPRESSIONS = {
    "zstd": lib.KIVRA_COMPRESSION_ZSTD,
    "lz4": lib.KIVRA_COMPRESSION_LZ4,
    "none": lib.KIVRA_COMPRESSION_NONE,
}
_ERROR_TEXT = 512


def compression_available(compression: str) -> bool:
    """Whether this build of libkivra writes chunks compressed as compression ("zstd", "lz4", "none")."""
    return compression in COMPRESSIONS and bool(lib.kivra_compression_available(COMPRESSIONS[compression]))


class RecordingStatus(NamedTuple):
    ticks_written: int
    ticks_dropped: int  # ticks the recording could not keep
    bytes: int  # [B] written so far
    recording: bool  # False once stopped
    handle_frames: int = 0  # status frames of an attached handle written


class Recording:
    """A recording of a servo loop into the MCAP file at ``path``; see :meth:`kivra.ServoLoop.record`.

    After a failed write every call raises :class:`~kivra.RecordingError`
    with the reason; the loop runs on without it.
    """

    def __init__(
        self, servo: Any, owner: Any, path: str, compression: str, identity: Optional[Mapping[str, str]]
    ) -> None:
        if compression not in COMPRESSIONS:
            raise ValueError("compression must be one of %s, got %r" % (", ".join(COMPRESSIONS), compression))
        if not compression_available(compression):
            raise ValueError("compression %r is not built into this libkivra" % compression)
        lines = []
        for key, value in (identity or {}).items():
            if "=" in key or "\n" in key or "\n" in value:
                raise ValueError("identity keys hold no '=' or line break, values no line break: %r" % key)
            lines.append("%s=%s" % (key, value))
        self.path = str(path)
        self._owner = owner  # the loop outlives its recordings
        handle = ffi.new("kivra_recording**")
        detail = ffi.new("int32_t*")
        status = lib.kivra_recording_start(
            servo, self.path.encode(), COMPRESSIONS[compression], "\n".join(lines).encode(), handle, detail
        )
        if status == lib.KIVRA_NOT_OPEN:
            raise RecordingError(detail[0], os.strerror(detail[0]), self.path)
        if status == lib.KIVRA_BUSY:
            raise RecordingError("the loop has as many readers as it takes; stop a recording first")
        if status != lib.KIVRA_OK:
            raise_for_status(status, detail[0], self.path, 0.0)
        self._handle = ffi.gc(handle[0], lib.kivra_recording_destroy)
        # The file gets its summary when the program ends without stop().
        self._at_exit = weakref.finalize(self, lib.kivra_recording_stop, self._handle)
        self._status = ffi.new("kivra_recording_status*")
        self._error = ffi.new("char[]", _ERROR_TEXT)

    def _checked(self) -> RecordingStatus:
        s = self._status
        lib.kivra_recording_get_status(self._handle, s)
        if s.failed:
            lib.kivra_recording_get_error(self._handle, self._error, _ERROR_TEXT)
            raise RecordingError(ffi.string(self._error).decode(errors="replace"))
        return RecordingStatus(s.ticks_written, s.ticks_dropped, s.bytes, bool(s.recording), s.handle_frames)

    def status(self) -> RecordingStatus:
        """Ticks written and dropped and bytes [B] so far; raises RecordingError once a write failed."""
        return self._checked()

    def stop(self) -> RecordingStatus:
        """Writes the ticks still held and the file's summary, and closes it; stopping twice does nothing."""
        lib.kivra_recording_stop(self._handle)
        return self._checked()

    def _attach_handle(self, handle: Any) -> None:
        status = lib.kivra_recording_attach_handle(self._handle, handle._handle)
        if status == lib.KIVRA_BUSY:
            raise DeviceBusy("a bridge or another recording reads the handle on %s; stop it first" % handle.port)
        if status == lib.KIVRA_CLOSED:
            raise PortClosed("the handle on %s is closed, or the recording has ended" % handle.port)
        if status != lib.KIVRA_OK:
            raise_for_status(status, 0, handle.port, 0.0)

    def _describe_scene(self, description: str) -> None:
        lib.kivra_recording_describe_scene(self._handle, description.encode())

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        if exc_info[0] is None:
            self.stop()
            return
        try:
            self.stop()
        except RecordingError:
            pass  # the exception on its way out says more


__all__ = ["COMPRESSIONS", "Recording", "RecordingStatus", "compression_available"]

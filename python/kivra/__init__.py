"""kivra: the Pendra3 haptic arm and the handle from Python, through libkivra's C interface.

Calls go through a cffi module, so that under PyPy an exchange allocates
nothing when given buffers of its own (:meth:`Arm.buffer`), and failures are
exceptions: :class:`DeviceTimeout`, :class:`Disconnected`,
:class:`ProtocolError`, all :class:`KivraError`.
"""

from typing import TYPE_CHECKING, Any

from ._kivra_ffi import ffi as _ffi, lib as _lib
from .arm import Arm, ArmStatus, DeviceInfo
from .emulator import Emulator
from .discovery import AmbiguousDevice, DeviceNotFound, FoundDevice, find_devices, open_arm
from .errors import (
    DeviceBusy,
    DeviceTimeout,
    Disconnected,
    Interrupted,
    KivraError,
    NotATerminal,
    PortClosed,
    PortInUse,
    PortIsADirectory,
    PortNotFound,
    PortOpenError,
    PortPermissionError,
    ProtocolError,
    RecordingError,
)
from .handle import Handle, HandleError, HandleInfo, HandleStatus, HandleStatusFrame
from . import scene
from .scene import (
    Box,
    Capsule,
    CForceLaw,
    Cylinder,
    Detents,
    Guide,
    Material,
    Mesh,
    Plane,
    SceneStatistics,
    Sphere,
    Texture,
    Vibration,
    ViscousBox,
)
from .recording import Recording, RecordingStatus
from .servo import (
    MAX_FORCE,
    ConstantForce,
    Damping,
    Effect,
    EffectSet,
    LoopStatistics,
    Percentiles,
    ServoLoop,
    Spring,
    TickState,
    Wall,
    status_name,
)
from .recording_reader import RecordedTick, RepairResult, read_recording, repair_recording
from .replay import ReplayResult, replay_recording

__version__: str = _ffi.string(_lib.kivra_version()).decode()


def web(loop: ServoLoop, port: int = 0, host: str = "127.0.0.1", **options: Any) -> "WebMonitor":
    """Serves a live page of loop in a browser: see :class:`kivra.tools.web.WebMonitor`.

    The web server is one of kivra's tools; it is loaded here, on first use,
    so that ``import kivra`` stays free of an HTTP server.
    """
    from .tools.web import web as serve

    return serve(loop, port, host, **options)


def bridge(loop: ServoLoop, namespace: str = "kivra", **options: Any) -> "Bridge":
    """Puts loop on a ROS 2 network under ``/<namespace>/``: see :class:`kivra.ros2.Bridge`.

    Loaded on first use: a build without Cyclone DDS raises
    :class:`kivra.ros2.BridgeUnavailable` here, and only here.
    """
    from .ros2 import Bridge

    return Bridge(loop, namespace, **options)


def teleoperation(leader: ServoLoop, follower: ServoLoop, **options: Any) -> "Teleoperation":
    """Couples two loops, leader and follower, through two bridges: see :class:`kivra.ros2.Teleoperation`."""
    from .ros2 import Teleoperation

    return Teleoperation(leader, follower, **options)


if TYPE_CHECKING:
    from .ros2 import Bridge, Teleoperation
    from .tools.web import WebMonitor

__all__ = [
    "Box",
    "Capsule",
    "CForceLaw",
    "Cylinder",
    "Detents",
    "Guide",
    "Material",
    "Mesh",
    "Plane",
    "SceneStatistics",
    "Sphere",
    "Texture",
    "Vibration",
    "ViscousBox",
    "scene",
    "MAX_FORCE",
    "AmbiguousDevice",
    "Arm",
    "ArmStatus",
    "ConstantForce",
    "Damping",
    "DeviceBusy",
    "DeviceInfo",
    "DeviceNotFound",
    "DeviceTimeout",
    "Effect",
    "EffectSet",
    "Disconnected",
    "Emulator",
    "FoundDevice",
    "Handle",
    "HandleError",
    "HandleInfo",
    "HandleStatus",
    "HandleStatusFrame",
    "Interrupted",
    "KivraError",
    "LoopStatistics",
    "Percentiles",
    "NotATerminal",
    "PortClosed",
    "PortInUse",
    "PortIsADirectory",
    "PortNotFound",
    "PortOpenError",
    "PortPermissionError",
    "ProtocolError",
    "Recording",
    "RecordingError",
    "RecordedTick",
    "RecordingStatus",
    "RepairResult",
    "ReplayResult",
    "ServoLoop",
    "Spring",
    "TickState",
    "Wall",
    "bridge",
    "find_devices",
    "open_arm",
    "read_recording",
    "repair_recording",
    "replay_recording",
    "status_name",
    "teleoperation",
    "web",
]

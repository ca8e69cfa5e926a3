"""Python Implementation of the Kivra Hardware API"""

import uuid
from typing import Any, Iterable, List, Optional, Tuple, TypedDict, Union, overload, type_check_only

__version__: str

# Every float vector argument takes any iterable of numbers with at least
# three items (lists, tuples, generators, sets, dictionary views, map, zip).
_Floats = Iterable[float]
# Reply vectors come back as lists of three floats.
_State = Tuple[List[float], List[float]]

@type_check_only
class _WakeupDict(TypedDict):
    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int
    device_id_ext: uuid.UUID

@type_check_only
class _ManiloStatus(TypedDict):
    device_id: int
    quaternion: List[float]
    error_flag: int
    hall_effect_sensor_level: int
    buttons: int
    battery_level: float

def get_cpp_version() -> str:
    """Get the version of the CPP library"""

def print_cpp_version() -> None:
    """Print the version of the CPP library"""

def detect_pendra3s() -> List[str]:
    """detect available pendra3 devices"""

def detect_handles() -> List[str]:
    """detect available handles"""

def detect_wired_handles() -> List[str]:
    """detect available wired handles"""

def detect_wireless_handles() -> List[str]:
    """detect available wireless handles"""

class SerialStream:
    def __init__(self, port: Union[str, bytes, bytearray, None], /) -> None:
        """Initialize the serial stream"""

class UUID:
    def __init__(self) -> None: ...
    def bytes(self) -> List[int]: ...

class Device: ...

class Pendra3:
    """Pendra3 Device Class"""

    def __init__(self, stream: SerialStream, /) -> None: ...
    def device_wakeup(self) -> Tuple[int, int, int, int, List[int]]:
        """Wakeup the device and return the device info as a tuple."""
    def device_wakeup_dict(self) -> _WakeupDict:
        """Wakeup the device and return the device info as a dict."""
    def get_firmware_version(self) -> uuid.UUID:
        """Receive the firmware version of the device."""
    def get_device_id(self) -> uuid.UUID:
        """Receive the UUID of the device."""
    def get_motor_currents(self) -> List[float]:
        """Receive the motor currents of the device."""
    def get_device_orientation(self) -> List[float]:
        """Receive the orientation of the base of the device."""
    def get_power_status(self) -> bool:
        """Receive the power status of the device."""
    def get_temperature(self) -> float:
        """Receive the temperature of the device."""
    # The argument's registered name is "force request vector": a name with
    # blanks can only be passed by position.
    def end_effector_force(self, force_request_vector: _Floats = ..., /) -> _State:
        """Send forces to the device and receive device states"""
    def get_end_effector_position(self, onboard: bool = True) -> _State:
        """Get the end-effector position and velocity"""
    def adjust_angles(self, angles: _Floats = ...) -> None:
        """Adjust the angles of the device"""
    def adjust_lengths(
        self,
        inner_arm_1: float = 0.14,
        outer_arm_1: float = 0.14,
        inner_arm_2: float = 0.165,
        outer_arm_2: float = 0.165,
        extension: float = 0.0765,
    ) -> None:
        """Adjust the lengths of the linkages"""
    def adjust_gear_ratios(
        self,
        head_gear_ratio_coeff: float = 1.0,
        inner_arm_gear_ratio_coeff: float = 1.0,
        outer_arm_gear_ratio_coeff: float = 1.0,
    ) -> None:
        """Adjust the gear ratios"""
    def deactivate_orientation_sensor(self) -> None: ...
    def joint_torques(self, joint_torque_request_vector: _Floats = ..., /) -> _State:
        """Send joint torques to the device and receive the joint states"""
    def end_effector_position(self, position_request_vector: _Floats = ..., /) -> _State:
        """Send end-effector position and receive device states"""
    def joint_angles(self, joint_angle_request_vector: _Floats = ..., /) -> _State:
        """Send joint angles to the device and receive the joint states"""
    def SendDeviceWakeup(self) -> None:
        """[DEPRECATED] Send a device wakeup command"""
    def ReceiveDeviceInfo(self) -> Tuple[int, int, int, int, UUID]:
        """Receive device info: device_id, device_model_num, hardware_version, firmware_version, device_id_ext"""
    @overload
    def SendForce(self, force: _Floats = ...) -> None:
        """[Deprecated] Send force to the device"""
    @overload
    def SendForce(self, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None: ...
    def ReceiveState(self, position: _Floats = ..., velocity: _Floats = ...) -> _State:
        """[Deprecated] receive state and return position and velocity"""
    def ReceiveJointState(self, joint_position: _Floats = ..., joint_velocity: _Floats = ...) -> _State:
        """[Deprecated] receive joint state and return position and velocity in the joint reference frame"""
    def SendJointTorques(self, joint_torque: _Floats = ...) -> None:
        """[Deprecated] send joint torque"""
    def SendAngle(self, angle: _Floats = ...) -> None:
        """Send angles to the device"""
    def RequestCurrent(self) -> None:
        """request current"""
    def ReceiveCurrent(self, current: _Floats = ...) -> List[float]:
        """receive current and return current"""
    def SendPosition(self, position: _Floats = ...) -> None:
        """[Deprecated] Send Position to the device"""

class Handle:
    """The manilo handle class

    Subclasses override the OnReceive methods to get the events that
    Receive decodes.
    """

    def __init__(self, stream: SerialStream, /) -> None: ...
    def SendDeviceWakeup(self) -> None: ...
    def SendHandleState(self, device_id: int = 0, data_length: int = 0, user_data: Optional[int] = None) -> None:
        """send handle state"""
    def RequestStatus(self) -> None:
        """request handle status"""
    def OnReceiveHandleInfo(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
    ) -> None: ...
    # Called by Receive with the four quaternion components and the user
    # data bytes as lists; called directly, with one float and one int.
    def OnReceiveHandleStatusMessage(
        self,
        device_id: int,
        quaternion: Any,
        error_flag: int,
        hall_effect_sensor_level: int,
        user_data_length: int,
        user_data: Any,
    ) -> None: ...
    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None: ...
    @overload
    def Receive(self) -> int:
        """Receive data from the handle"""
    @overload
    def Receive(self, obsolete: int) -> int:
        """[DEPRECATED] Receive current and return current"""
    def GetManiloStatus(self) -> _ManiloStatus:
        """Get the most recent Manilo informations"""

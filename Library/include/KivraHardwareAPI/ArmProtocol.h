#pragma once

// What travels on the arm's line: message codes, payload lengths, its model
// number, and the names its ports (and the handle's) go by. Every other part
// of the library takes these from here.

#include <array>
#include <cstddef>
#include <cstdint>

namespace Kivra::HardwareAPI::Devices {

// Message codes of the arm device.
namespace Pendra3Code {
constexpr uint8_t WAKEUP = 10;
constexpr uint8_t DEVICE_INFO = 11;
constexpr uint8_t ORIENTATION = 12;
constexpr uint8_t IDENTIFIER = 13;
constexpr uint8_t JOINT_TORQUES = 26;
constexpr uint8_t JOINT_STATE = 27;
constexpr uint8_t JOINT_ANGLES = 28;
constexpr uint8_t END_EFFECTOR_FORCE = 42;
constexpr uint8_t END_EFFECTOR_STATE = 43;
constexpr uint8_t END_EFFECTOR_POSITION = 44;
constexpr uint8_t TEMPERATURE = 170;
constexpr uint8_t MOTOR_CURRENTS = 171;
constexpr uint8_t POWER_STATUS = 172;
// Identifier selectors: sent after IDENTIFIER, and echoed after it in the reply.
constexpr uint8_t SELECT_DEVICE_ID = 209;
constexpr uint8_t SELECT_FIRMWARE_VERSION = 210;
}  // namespace Pendra3Code

// Payload lengths of the arm's replies, after the code.
namespace Pendra3Length {
constexpr std::size_t STATE = 24;        // position (or angles) and velocity, 3 floats each
constexpr std::size_t CURRENTS = 12;     // 3 floats
constexpr std::size_t ORIENTATION = 16;  // quaternion, 4 floats
constexpr std::size_t TEMPERATURE = 4;   // 1 float
constexpr std::size_t POWER_STATUS = 1;  // nonzero: powered
constexpr std::size_t IDENTIFIER_VALUE = 16;
constexpr std::size_t IDENTIFIER = 1 + IDENTIFIER_VALUE;  // length byte, then the value
constexpr std::size_t DEVICE_INFO = 21;                   // id (2), model, hardware, firmware, unique id (16)
}  // namespace Pendra3Length

// The model number an arm reports in its wakeup reply.
constexpr uint8_t PENDRA3_MODEL_NUMBER = 4;

}  // namespace Kivra::HardwareAPI::Devices

namespace Kivra::HardwareAPI::Discovery {

// Substrings that make a device name a candidate port, in the order they are
// tested: USB CDC-ACM (the arm), USB serial adapters and Bluetooth RFCOMM
// (the handle, wired and wireless).
constexpr const char* ACM_PORT_PATTERN = "ttyACM";
constexpr const char* USB_PORT_PATTERN = "ttyUSB";
constexpr const char* RFCOMM_PORT_PATTERN = "rfcomm";
constexpr std::array<const char*, 3> PORT_PATTERNS{ACM_PORT_PATTERN, USB_PORT_PATTERN, RFCOMM_PORT_PATTERN};

}  // namespace Kivra::HardwareAPI::Discovery

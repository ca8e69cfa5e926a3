#pragma once

#include <array>
#include <cstdint>

#include "KivraHardwareAPI/ArmProtocol.h"
#include "KivraHardwareAPI/Device.h"
#include "KivraHardwareAPI/KinematicModel.h"
#include "KivraHardwareAPI/Outcome.h"
#include "KivraHardwareAPI/SerialStream.h"
#include "KivraHardwareAPI/UUID.h"

namespace Kivra::HardwareAPI::Devices {

using Vector3 = std::array<float, 3>;

// Decoded wakeup reply.
struct DeviceInfo {
    uint16_t device_id = 0;
    UUID device_id_ext;
    uint8_t device_model_number = 0;
    uint8_t hardware_version = 0;
    uint8_t firmware_version = 0;
};

// Length of the wakeup reply's payload, and its decoding.
constexpr std::size_t DEVICE_INFO_LENGTH = Pendra3Length::DEVICE_INFO;
void decode_device_info(const uint8_t* payload, DeviceInfo& info);

// Arm device of model PENDRA3_MODEL_NUMBER. A missing, foreign or short reply gives a
// neutral result (zeros, false, an all-zero identifier), never an exception.
// Gear ratios, lengths, offsets and orientation live in the process-wide
// KinematicModel, shared by every arm device.
class Pendra3 : public Device {
public:
    static constexpr uint8_t MODEL_NUMBER = PENDRA3_MODEL_NUMBER;

    // Resets the shared model's gear ratios and lengths (angle offsets stay).
    // Throws std::invalid_argument for a null stream.
    explicit Pendra3(IO::SerialStream* stream);

    DeviceInfo device_wakeup();
    // Takes in the reply to an earlier wakeup; sends nothing.
    DeviceInfo receive_device_info();
    UUID request_identifier(uint8_t selector);
    UUID get_device_id();
    UUID get_firmware_version();

    // Each returns {position, velocity} or {joint angles, joint velocities}.
    std::array<Vector3, 2> end_effector_force(const Vector3& force);
    std::array<Vector3, 2> end_effector_position(const Vector3& position);
    std::array<Vector3, 2> joint_torques(const Vector3& torques);
    std::array<Vector3, 2> joint_angles(const Vector3& angles);
    // onboard: the device's own computation; otherwise forward kinematics
    // of the joint readings on the host, with zero velocity.
    std::array<Vector3, 2> get_end_effector_position(bool onboard);

    Vector3 get_motor_currents();
    std::array<float, 4> get_device_orientation();
    bool get_power_status();
    float get_temperature();
    void deactivate_orientation_sensor();

    void adjust_gear_ratios(float head, float inner, float outer);
    void adjust_lengths(float inner_arm_1, float outer_arm_1, float inner_arm_2, float outer_arm_2, float extension);
    // Declares the present pose [deg] (head, inner arm, outer arm).
    void adjust_angles(const Vector3& angles_deg);

    // One command exchange (a force, position, torque or angle command and
    // its state reply), with
    // what happened as an outcome and no log line. It starts from an empty
    // input queue, holds the port's lock, and gives up after timeout [s] on
    // the monotonic clock (0 or less: no limit); a foreign reply code ends it
    // at once with wrong_code, and nothing of a failed exchange is left
    // waiting. first and second are written only when it is done. Allocates
    // nothing.
    Outcome exchange(uint8_t code, const Vector3& command, Vector3& first, Vector3& second, double timeout);
    // The same exchange as a last word that must reach the arm (a loop's
    // final zero force): sent even when the line has not gone quiet after an
    // earlier time-out. The reply is read and dropped.
    Outcome last_exchange(uint8_t code, const Vector3& command, double timeout);
    // The wakeup exchange with an outcome; info is written only when done.
    Outcome wakeup(DeviceInfo& info, double timeout);
    // An identifier request (SELECT_DEVICE_ID or SELECT_FIRMWARE_VERSION).
    Outcome identifier(uint8_t selector, UUID& value, double timeout);
    // The status queries with an outcome; the value is written only when done.
    Outcome temperature(float& celsius, double timeout);        // [degrees C]
    Outcome motor_currents(Vector3& currents, double timeout);  // [A]
    Outcome orientation(std::array<float, 4>& quaternion, double timeout);
    Outcome power_status(bool& powered, double timeout);
    // Reply code of a command code: END_EFFECTOR_STATE for the end effector
    // commands, JOINT_STATE for the joint commands, 0 otherwise.
    static uint8_t reply_code_of(uint8_t command_code);

    // Split operations: a send returns at once, a receive takes the reply of
    // an earlier send.
    void send_device_wakeup();
    void request_current();
    void send_command(uint8_t code, const Vector3& values);
    // Overwrite the arguments only when the full reply came; return whether it did.
    bool receive_state(uint8_t expected_code, Vector3& first, Vector3& second);
    bool receive_current(Vector3& current);

private:
    // Every exchange of the arm is one of the routines below, run under the
    // devices' own rule by the calls that give a neutral result and under a
    // precise rule by the calls that give an outcome.
    ExchangeRule devices_own_rule() const { return ExchangeRule::devices_own(timeout); }
    // The request: the port quiet first when suspect, stale input dropped,
    // then tx_buffer[0..n-1] sent.
    Outcome send_request_of_arm(std::size_t n, ExchangeRule& rule);
    Outcome send_code(uint8_t code, ExchangeRule& rule);
    // The reply: header `code` and an n-byte payload into rx_buffer, a
    // failure settled by rule.
    Outcome take_reply(uint8_t code, std::size_t n, const ExchangeRule& rule);
    // What a failed reply leaves behind is dropped, and the port is suspect
    // while the rest may still come; the devices' own rule waits a foreign
    // reply out instead.
    Outcome settle(const Outcome& failure, const ExchangeRule& rule);

    Outcome wakeup_exchange(DeviceInfo& info, ExchangeRule rule);
    Outcome take_device_info(DeviceInfo& info, const ExchangeRule& rule);
    Outcome identifier_exchange(uint8_t selector, UUID& value, ExchangeRule rule);
    Outcome state_exchange(uint8_t code, const Vector3& command, Vector3& first, Vector3& second, ExchangeRule rule);
    Outcome take_state(uint8_t reply_code, Vector3& first, Vector3& second, const ExchangeRule& rule);
    // A request of one code answered by the same code: orientation, power
    // status, temperature, motor currents.
    Outcome reading_exchange(uint8_t code, std::size_t n, ExchangeRule rule);

    std::array<Vector3, 2> command_exchange(uint8_t code, const Vector3& values);
    void decode_floats(float* out, std::size_t count, std::size_t offset) const;
};

}  // namespace Kivra::HardwareAPI::Devices

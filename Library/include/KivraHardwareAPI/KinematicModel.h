#pragma once

#include <array>

namespace Kivra::HardwareAPI::Devices {

// Host-side kinematics of the arm: one instance per process, shared by every
// arm device. It has no lock: writers must not overlap with readers.
struct KinematicModel {
    float head_gear_ratio_coeff = 1.0f;
    float inner_arm_gear_ratio_coeff = 1.0f;
    float outer_arm_gear_ratio_coeff = 1.0f;
    std::array<float, 3> angle_offsets{};     // head, inner arm, outer arm [rad]
    float inner_arm_1 = 0.0f;                 // [m]
    float outer_arm_1 = 0.0f;                 // [m]
    float inner_arm_2 = 0.0f;                 // [m]
    float outer_arm_2 = 0.0f;                 // [m]
    float lateral_offset = 0.0f;              // |extension| - 0.052 [m]
    float planar_offset = 0.0f;               // [m]
    std::array<float, 4> base_orientation{};  // quaternion x, y, z, w

    // Stores the link lengths [m] and resets the derived offsets and the base
    // orientation; gear ratios and angle offsets are kept.
    void setup_model(float inner_arm_1, float outer_arm_1, float inner_arm_2, float outer_arm_2, float extension);
    // End-effector position [m] from the raw joint readings [deg].
    std::array<float, 3> forward_kinematics(float r0, float r1, float r2) const;

    // The process-wide instance.
    static KinematicModel& instance();
};

// 3.141592 in single precision, as the device firmware uses it.
constexpr float KINEMATIC_PI = 3.141592f;
// Quaternion (x, y, z, w) with the firmware's 0.7071, deliberately not
// sqrt(0.5) and never normalised: host results must match the device's.
constexpr std::array<float, 4> DEFAULT_BASE_ORIENTATION{0.0f, 0.7071f, 0.0f, 0.7071f};

}  // namespace Kivra::HardwareAPI::Devices

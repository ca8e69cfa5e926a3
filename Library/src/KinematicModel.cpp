#include "KivraHardwareAPI/KinematicModel.h"

#include <cmath>

namespace Kivra::HardwareAPI::Devices {

namespace {

constexpr float PLANAR_OFFSET = 0.18645f;
constexpr float EXTENSION_BASE = 0.052f;
// Below this the two elbows coincide and the triangle has no base.
constexpr double DEGENERATE_BASE = 1e-6;

// Product with P before the division, as the firmware rounds it.
inline float degrees_to_radians(float degrees) { return degrees * KINEMATIC_PI / 180.0f; }

}  // namespace

KinematicModel& KinematicModel::instance() {
    // Function-local static: built on first use, outlives every device.
    static KinematicModel model;
    return model;
}

void KinematicModel::setup_model(float inner_1, float outer_1, float inner_2, float outer_2, float extension) {
    inner_arm_1 = inner_1;
    outer_arm_1 = outer_1;
    inner_arm_2 = inner_2;
    outer_arm_2 = outer_2;
    lateral_offset = std::fabs(extension) - EXTENSION_BASE;
    planar_offset = PLANAR_OFFSET;
    base_orientation = DEFAULT_BASE_ORIENTATION;
}

std::array<float, 3> KinematicModel::forward_kinematics(float r0, float r1, float r2) const {
    // Single-precision angles; trigonometry in double on single arguments,
    // sums with a sine or cosine formed in double, then rounded to float.
    const float head = degrees_to_radians(90.0f + head_gear_ratio_coeff * r0) - angle_offsets[0];
    const float inner = degrees_to_radians(-180.0f - inner_arm_gear_ratio_coeff * r1) - angle_offsets[1];
    const float outer = degrees_to_radians(-180.0f - outer_arm_gear_ratio_coeff * r2) - angle_offsets[2];

    const double cos_inner = std::cos(static_cast<double>(inner));
    const double sin_inner = std::sin(static_cast<double>(inner));
    const float dx = static_cast<float>(inner_arm_1 * cos_inner - outer_arm_1 * std::cos(static_cast<double>(outer)));
    const float dy = static_cast<float>(inner_arm_1 * sin_inner - outer_arm_1 * std::sin(static_cast<double>(outer)));
    const float base = std::sqrt(dx * dx + dy * dy);

    float phi;
    if (static_cast<double>(base) < DEGENERATE_BASE) {
        phi = inner;
    } else {
        const float direction = static_cast<float>(std::atan2(static_cast<double>(dy), static_cast<double>(dx)));
        // Outside [-1, 1] when the second links cannot meet: acos gives NaN,
        // which the position carries on.
        const float cosine =
            (base * base + inner_arm_2 * inner_arm_2 - outer_arm_2 * outer_arm_2) / (2.0f * base * inner_arm_2);
        const float beta = static_cast<float>(std::acos(static_cast<double>(cosine)));
        phi = direction + KINEMATIC_PI - beta;
    }
    const float px = static_cast<float>(inner_arm_1 * cos_inner + inner_arm_2 * std::cos(static_cast<double>(phi)));
    const float py = static_cast<float>(inner_arm_1 * sin_inner + inner_arm_2 * std::sin(static_cast<double>(phi)));

    const double cos_head = std::cos(static_cast<double>(head));
    const double sin_head = std::sin(static_cast<double>(head));
    const float t1 = -(px + planar_offset);
    const float t2 = static_cast<float>(lateral_offset * sin_head - py * cos_head);
    const float t3 = static_cast<float>(lateral_offset * cos_head + py * sin_head);

    // Used as stored, without normalising.
    const float x = base_orientation[0];
    const float y = base_orientation[1];
    const float z = base_orientation[2];
    const float w = base_orientation[3];
    const float m00 = 1.0f - 2.0f * (y * y + z * z);
    const float m01 = 2.0f * (x * y - z * w);
    const float m02 = 2.0f * (x * z + y * w);
    const float m10 = 2.0f * (x * y + z * w);
    const float m11 = 1.0f - 2.0f * (x * x + z * z);
    const float m12 = 2.0f * (y * z - x * w);
    const float m20 = 2.0f * (x * z - y * w);
    const float m21 = 2.0f * (y * z + x * w);
    const float m22 = 1.0f - 2.0f * (x * x + y * y);
    return {m00 * t1 + m01 * t2 + m02 * t3, m10 * t1 + m11 * t2 + m12 * t3, m20 * t1 + m21 * t2 + m22 * t3};
}

}  // namespace Kivra::HardwareAPI::Devices

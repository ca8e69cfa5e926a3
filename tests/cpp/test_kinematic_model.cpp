#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "KivraHardwareAPI/KinematicModel.h"

using Kivra::HardwareAPI::Devices::KinematicModel;

namespace {

// The model is process-wide: every test starts from the construction
// defaults with zero offsets.
struct DefaultModel : testing::Test {
    KinematicModel& model = KinematicModel::instance();
    void SetUp() override {
        model.head_gear_ratio_coeff = model.inner_arm_gear_ratio_coeff = model.outer_arm_gear_ratio_coeff = 1.0f;
        model.angle_offsets = {0.0f, 0.0f, 0.0f};
        model.setup_model(0.14f, 0.14f, 0.165f, 0.165f, 0.0765f);
    }
};

struct WorkedValue {
    float r0, r1, r2;
    float x, y, z;
};

struct WorkedValues : DefaultModel, testing::WithParamInterface<WorkedValue> {};

}  // namespace

TEST_P(WorkedValues, MatchToFourDigits) {
    const auto& v = GetParam();
    const auto p = model.forward_kinematics(v.r0, v.r1, v.r2);
    EXPECT_NEAR(p[0], v.x, 5e-5);
    EXPECT_NEAR(p[1], v.y, 5e-5);
    EXPECT_NEAR(p[2], v.z, 5e-5);
}

INSTANTIATE_TEST_SUITE_P(DefaultModel, WorkedValues,
                         testing::Values(WorkedValue{0, 0, 0, 0.0000021f, 0.0245f, -0.1185f},
                                         WorkedValue{0, -45, -135, -0.2310f, 0.0245f, 0.1864f},
                                         WorkedValue{30, -60, -120, -0.2466f, -0.1141f, 0.1864f}));

TEST_F(DefaultModel, SetupDerivesOffsetsAndOrientation) {
    model.base_orientation = {1, 2, 3, 4};
    model.setup_model(0.1f, 0.2f, 0.3f, 0.4f, -0.0765f);
    EXPECT_FLOAT_EQ(model.lateral_offset, 0.0245f) << "the sign of the extension does not matter";
    EXPECT_FLOAT_EQ(model.planar_offset, 0.18645f);
    EXPECT_FLOAT_EQ(model.inner_arm_2, 0.3f);
    EXPECT_FLOAT_EQ(model.outer_arm_2, 0.4f);
    const std::array<float, 4> expected{0.0f, 0.7071f, 0.0f, 0.7071f};
    EXPECT_EQ(model.base_orientation, expected);
}

TEST_F(DefaultModel, QuaternionIsUsedUnnormalised) {
    // At rest the first coordinate is 1 - 2 * 0.7071^2 times the reach:
    // it would be zero (to 1e-8) with a normalised quaternion.
    const auto p = model.forward_kinematics(0, 0, 0);
    EXPECT_NEAR(p[0], 2.1e-6f, 3e-7f);
}

TEST_F(DefaultModel, CoincidentElbowsGiveAStraightArm) {
    // Equal readings put both first links on one point: the arm lies
    // stretched along the inner arm angle, -210 degrees here.
    const auto p = model.forward_kinematics(0, 30, 30);
    for (float c : p) EXPECT_TRUE(std::isfinite(c));
    EXPECT_NEAR(p[2], 0.305f * std::cos(-210.0 * M_PI / 180.0) + 0.18645f, 1e-4);
}

TEST_F(DefaultModel, GearRatiosScaleTheReadings) {
    const auto plain = model.forward_kinematics(30, -45, -135);
    model.head_gear_ratio_coeff = model.inner_arm_gear_ratio_coeff = model.outer_arm_gear_ratio_coeff = 2.0f;
    const auto scaled = model.forward_kinematics(15, -22.5f, -67.5f);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(scaled[i], plain[i], 1e-6);
}

TEST_F(DefaultModel, AngleOffsetsTakeThePlaceOfReadings) {
    const auto moved = model.forward_kinematics(30, -60, -120);
    const float pi = Kivra::HardwareAPI::Devices::KINEMATIC_PI;
    model.angle_offsets = {-30 * pi / 180, -60 * pi / 180, -120 * pi / 180};
    const auto at_rest = model.forward_kinematics(0, 0, 0);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(at_rest[i], moved[i], 1e-6);
}

struct PosesWithoutSolution : DefaultModel, testing::WithParamInterface<std::array<float, 3>> {};

TEST_P(PosesWithoutSolution, GiveNotANumber) {
    // Second links of 5 cm cannot close the 20 cm gap between the elbows of
    // the first pose; the others carry a NaN reading through.
    model.setup_model(0.14f, 0.14f, 0.05f, 0.05f, 0.0765f);
    const auto& r = GetParam();
    const auto p = model.forward_kinematics(r[0], r[1], r[2]);
    for (float c : p) EXPECT_TRUE(std::isnan(c));
}

INSTANTIATE_TEST_SUITE_P(DefaultModel, PosesWithoutSolution,
                         testing::Values(std::array<float, 3>{0, -45, -135},
                                         std::array<float, 3>{std::numeric_limits<float>::quiet_NaN(), 0, 0},
                                         std::array<float, 3>{0, std::numeric_limits<float>::quiet_NaN(), 0}));

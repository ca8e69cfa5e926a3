#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include "KivraHardwareAPI/Pendra3.h"
#include "PtyPeer.h"
#include "TestSupport.h"

using Kivra::HardwareAPI::UUID;
using Kivra::HardwareAPI::Devices::DeviceInfo;
using Kivra::HardwareAPI::Devices::KINEMATIC_PI;
using Kivra::HardwareAPI::Devices::KinematicModel;
using Kivra::HardwareAPI::Devices::Pendra3;
using Kivra::HardwareAPI::Devices::Vector3;
using Kivra::HardwareAPI::IO::SerialStream;
using State = std::array<Vector3, 2>;

namespace {

Bytes counting(std::size_t n, uint8_t first = 0) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(first + i);
    return out;
}

const Bytes DRAIN_FILL(1024, 0x5A);  // exactly what a drain takes in
const Vector3 ZERO{0, 0, 0};

struct ArmOnPty : testing::Test {
    PtyPeer peer;
    SerialStream stream{peer.path().c_str()};
    Pendra3 arm{&stream};
    KinematicModel& model = KinematicModel::instance();
    void SetUp() override {
        arm.timeout = 1.0f;
        model.angle_offsets = {0, 0, 0};
    }
};

struct Command {
    const char* name;
    uint8_t code;
    uint8_t reply;
    State (Pendra3::*exchange)(const Vector3&);
};

struct Commands : ArmOnPty, testing::WithParamInterface<Command> {};

}  // namespace

TEST_P(Commands, SendThirteenBytesAndDecodeTheReply) {
    const Command& c = GetParam();
    peer.send_on_request(floats(c.reply, {1, 2, 3, 4, 5, 6}));
    const State state = (arm.*c.exchange)({1.5f, -2.0f, 0.25f});
    EXPECT_EQ(peer.receive(13), floats(c.code, {1.5f, -2.0f, 0.25f}));
    EXPECT_EQ(state[0], (Vector3{1, 2, 3}));
    EXPECT_EQ(state[1], (Vector3{4, 5, 6}));
    EXPECT_TRUE(peer.drain().empty());
}

TEST_P(Commands, ForeignReplyIsDrainedAndGivesZeros) {
    const Command& c = GetParam();
    const uint8_t foreign = c.reply == 43 ? 27 : 43;
    peer.send_on_request(Bytes{foreign} + DRAIN_FILL);
    const auto start = Clock::now();
    const State state = (arm.*c.exchange)({7, 8, 9});
    EXPECT_LT(since(start), bound(0.9)) << "a full drain ends without a time-out";
    EXPECT_EQ(state, (State{ZERO, ZERO}));
    EXPECT_EQ(stream.available(), 0);
}

INSTANTIATE_TEST_SUITE_P(Pendra3, Commands,
                         testing::Values(Command{"force", 42, 43, &Pendra3::end_effector_force},
                                         Command{"position", 44, 43, &Pendra3::end_effector_position},
                                         Command{"torques", 26, 27, &Pendra3::joint_torques},
                                         Command{"angles", 28, 27, &Pendra3::joint_angles}),
                         [](const auto& info) { return std::string(info.param.name); });

namespace {

struct Silence {
    const char* name;
    Bytes partial_reply;  // what the device gets out before it falls silent
    std::function<bool(Pendra3&)> gives_neutral_result;
};

struct SilentDevice : ArmOnPty, testing::WithParamInterface<Silence> {};

}  // namespace

TEST_P(SilentDevice, CostsOneTimeOutAndOneLine) {
    const Silence& s = GetParam();
    if (!s.partial_reply.empty()) peer.send(s.partial_reply);
    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    EXPECT_TRUE(s.gives_neutral_result(arm));
    const double elapsed = since(start);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_GT(elapsed, 1.0);
    EXPECT_LT(elapsed, 1.0 + bound(1.2)) << "a silent device must not be waited for twice";
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_NE(log.find("[err] Library/src/Device.cpp:"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Pendra3, SilentDevice,
    testing::Values(Silence{"force",
                            {},
                            [](Pendra3& a) {
                                return a.end_effector_force({1, 1, 1}) == State{ZERO, ZERO};
                            }},
                    Silence{"wakeup", {}, [](Pendra3& a) { return a.device_wakeup().device_model_number == 0; }},
                    Silence{"identifier_echo", {13}, [](Pendra3& a) { return a.get_device_id().data == UUID{}.data; }},
                    Silence{"short_orientation", floats(12, {1, 2, 3}) + Bytes{0, 0, 0},
                            [](Pendra3& a) { return a.get_device_orientation() == std::array<float, 4>{}; }},
                    Silence{"host_position",
                            {},
                            [](Pendra3& a) {
                                const State s = a.get_end_effector_position(false);
                                return s[0] == KinematicModel::instance().forward_kinematics(0, 0, 0) && s[1] == ZERO;
                            }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ArmOnPty, WakeupDecodesTheDeviceInfo) {
    const Bytes reply = Bytes{11, 0x01, 0x02, 0x04, 0x03, 0x07} + counting(16);
    peer.send_on_request(reply);
    const DeviceInfo info = arm.device_wakeup();
    EXPECT_EQ(peer.receive(1), Bytes{10});
    EXPECT_EQ(info.device_id, 513);
    EXPECT_EQ(info.device_model_number, Pendra3::MODEL_NUMBER);
    EXPECT_EQ(info.hardware_version, 3);
    EXPECT_EQ(info.firmware_version, 7);
    EXPECT_EQ(info.device_id_ext.to_hex(), "000102030405060708090a0b0c0d0e0f");

    // The split form: the receive half sends nothing of its own.
    arm.send_device_wakeup();
    EXPECT_EQ(peer.receive(1), Bytes{10});
    peer.send(reply);
    EXPECT_EQ(arm.receive_device_info().device_id_ext.data, info.device_id_ext.data);
    EXPECT_TRUE(peer.drain().empty());
}

namespace {

struct IdentifierCase {
    const char* name;
    uint8_t selector;
    Bytes reply;
    bool accepted;
};

struct Identifiers : ArmOnPty, testing::WithParamInterface<IdentifierCase> {};

}  // namespace

TEST_P(Identifiers, AcceptOnlyTheirOwnSixteenByteReply) {
    const IdentifierCase& c = GetParam();
    peer.send_on_request(c.reply);
    const UUID id = c.selector == 209 ? arm.get_device_id() : arm.get_firmware_version();
    EXPECT_EQ(peer.receive(2), (Bytes{13, c.selector}));
    EXPECT_EQ(id.to_hex(), c.accepted ? "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf" : std::string(32, '0'));
    EXPECT_EQ(stream.available(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Pendra3, Identifiers,
    testing::Values(IdentifierCase{"device_id", 209, Bytes{13, 209, 16} + counting(16, 0xA0), true},
                    IdentifierCase{"firmware", 210, Bytes{13, 210, 16} + counting(16, 0xA0), true},
                    IdentifierCase{"length_15", 209, Bytes{13, 209, 15} + counting(16, 0xA0), false},
                    IdentifierCase{"other_selector", 209, Bytes{13, 210} + DRAIN_FILL, false},
                    IdentifierCase{"other_code", 210, Bytes{43} + DRAIN_FILL, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ArmOnPty, StatusQueriesDecodeTheirReplies) {
    peer.send_on_request(floats(171, {0.5f, -1.0f, 2.0f}));
    EXPECT_EQ(arm.get_motor_currents(), (Vector3{0.5f, -1.0f, 2.0f}));
    peer.send_on_request(floats(12, {0.1f, 0.2f, 0.3f, 0.9f}));
    EXPECT_EQ(arm.get_device_orientation(), (std::array<float, 4>{0.1f, 0.2f, 0.3f, 0.9f}));
    peer.send_on_request(floats(170, {36.5f}));
    EXPECT_FLOAT_EQ(arm.get_temperature(), 36.5f);
    peer.send_on_request(Bytes{172, 2});
    EXPECT_TRUE(arm.get_power_status());
    peer.send_on_request(Bytes{172, 0});
    EXPECT_FALSE(arm.get_power_status());
    EXPECT_EQ(peer.drain(), (Bytes{171, 12, 170, 172, 172}));
}

TEST_F(ArmOnPty, EndEffectorPositionOnboardOrOnTheHost) {
    peer.send_on_request(floats(43, {1, 2, 3, 4, 5, 6}));
    State s = arm.get_end_effector_position(true);
    EXPECT_EQ(peer.receive(13), floats(42, {0, 0, 0}));
    EXPECT_EQ(s, (State{Vector3{1, 2, 3}, Vector3{4, 5, 6}}));

    peer.send_on_request(floats(27, {0, -45, -135, 9, 9, 9}));
    s = arm.get_end_effector_position(false);
    EXPECT_EQ(peer.receive(13), floats(26, {0, 0, 0}));
    EXPECT_NEAR(s[0][0], -0.2310f, 5e-5);
    EXPECT_NEAR(s[0][1], 0.0245f, 5e-5);
    EXPECT_NEAR(s[0][2], 0.1864f, 5e-5);
    EXPECT_EQ(s[1], ZERO);
}

TEST_F(ArmOnPty, AdjustAnglesMakesThePresentPoseTheDeclaredOne) {
    peer.send_on_request(floats(27, {10, 20, 30, 0, 0, 0}));
    arm.adjust_angles({0, 0, 0});
    EXPECT_EQ(peer.receive(13), floats(26, {0, 0, 0}));
    EXPECT_FLOAT_EQ(model.angle_offsets[0], 10 * KINEMATIC_PI / 180);
    EXPECT_FLOAT_EQ(model.angle_offsets[1], -20 * KINEMATIC_PI / 180);
    EXPECT_FLOAT_EQ(model.angle_offsets[2], -30 * KINEMATIC_PI / 180);

    peer.send_on_request(floats(27, {10, 20, 30, 0, 0, 0}));
    const Vector3 here = arm.get_end_effector_position(false)[0];
    model.angle_offsets = {0, 0, 0};
    const Vector3 rest = model.forward_kinematics(0, 0, 0);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(here[i], rest[i], 1e-6);
}

TEST_F(ArmOnPty, ConstructionResetsTheSharedModelButNotItsOffsets) {
    arm.adjust_gear_ratios(2, 3, 4);
    arm.adjust_lengths(0.2f, 0.2f, 0.3f, 0.3f, 0.1f);
    model.angle_offsets = {0.1f, 0.2f, 0.3f};
    model.base_orientation = {1, 0, 0, 0};
    arm.deactivate_orientation_sensor();
    EXPECT_EQ(model.base_orientation, (std::array<float, 4>{0, 0.7071f, 0, 0.7071f}));
    EXPECT_FLOAT_EQ(model.inner_arm_gear_ratio_coeff, 3.0f);
    EXPECT_FLOAT_EQ(model.lateral_offset, 0.1f - 0.052f);

    const Pendra3 second(&stream);
    EXPECT_EQ(model.head_gear_ratio_coeff, 1.0f);
    EXPECT_EQ(model.inner_arm_gear_ratio_coeff, 1.0f);
    EXPECT_EQ(model.outer_arm_gear_ratio_coeff, 1.0f);
    EXPECT_EQ(model.inner_arm_1, 0.14f);
    EXPECT_EQ(model.outer_arm_2, 0.165f);
    EXPECT_FLOAT_EQ(model.lateral_offset, 0.0245f);
    EXPECT_EQ(model.angle_offsets, (std::array<float, 3>{0.1f, 0.2f, 0.3f}));
    EXPECT_TRUE(peer.drain().empty()) << "adjustments and construction talk to nobody";
}

TEST_F(ArmOnPty, SplitOperationsSendAndReceiveSeparately) {
    arm.send_command(28, {5, 6, 7});
    EXPECT_EQ(peer.receive(13), floats(28, {5, 6, 7}));
    arm.request_current();
    EXPECT_EQ(peer.receive(1), Bytes{171});

    Vector3 current{9, 9, 9};
    peer.send(floats(171, {1, 2, 3}));
    EXPECT_TRUE(arm.receive_current(current));
    EXPECT_EQ(current, (Vector3{1, 2, 3}));

    Vector3 first{1, 1, 1}, second{2, 2, 2};
    peer.send(Bytes{171} + DRAIN_FILL);
    EXPECT_FALSE(arm.receive_state(43, first, second));
    EXPECT_EQ(first, (Vector3{1, 1, 1}));
    EXPECT_EQ(second, (Vector3{2, 2, 2}));

    peer.send(floats(27, {1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(arm.receive_state(27, first, second));
    EXPECT_EQ(second, (Vector3{4, 5, 6}));
    EXPECT_TRUE(peer.drain().empty());
}

TEST(Pendra3WithoutStream, IsRefused) {
    try {
        Pendra3 arm(nullptr);
        FAIL() << "constructed without a stream";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Pendra3 needs a SerialStream");
    }
}

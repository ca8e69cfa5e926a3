// The handle's reply decoders on plain byte buffers.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "KivraHardwareAPI/HandleFrame.h"
#include "StatusFrames.h"

using namespace Kivra::HardwareAPI::Devices;
using Bytes = std::vector<uint8_t>;
using status_frames::check_byte_for;
using status_frames::escaped;

namespace {

// 17 decoded bytes with the given fields; bytes 0, 1 and 5 to 7 are filler
// the decoder must not look at.
Bytes frame_content(uint8_t error_flag, uint8_t sensor_byte, uint8_t device_id, const uint16_t (&quaternion)[4],
                    uint8_t battery) {
    Bytes content{0x11, 0x22, error_flag, sensor_byte, device_id, 0x33, 0x44, 0x55};
    for (uint16_t q : quaternion) {
        content.push_back(static_cast<uint8_t>(q));
        content.push_back(static_cast<uint8_t>(q >> 8));
    }
    content.push_back(battery);
    return content;
}

Bytes with_check_byte(Bytes content) {
    content.push_back(check_byte_for(content));
    return content;
}

bool accepts(const Bytes& raw, ManiloStatus& status) { return decode_status_frame(raw.data(), raw.size(), status); }

}  // namespace

struct UnescapeCase {
    std::string name;
    Bytes raw;
    Bytes decoded;
};

class Unescape : public testing::TestWithParam<UnescapeCase> {};

TEST_P(Unescape, FollowsTheFrameRules) {
    const auto& c = GetParam();
    EXPECT_EQ(unescape_status_frame(c.raw.data(), c.raw.size()), c.decoded);
}

INSTANTIATE_TEST_SUITE_P(
    HandleFrame, Unescape,
    testing::Values(UnescapeCase{"EscapedEnd", {0xDB, 0xDC, 0x01}, {0xC0, 0x01}},
                    UnescapeCase{"EscapedEscape", {0xDB, 0xDD, 0x01}, {0xDB, 0x01}},
                    UnescapeCase{"StrayEscapeDropped", {0xDB, 0x41}, {0x41}},
                    UnescapeCase{"StrayEscapeBeforeEscapePair", {0xDB, 0xDB, 0xDD}, {0xDB}},
                    UnescapeCase{"InnerEndDropped", {0x41, 0xC0, 0x42}, {0x41, 0x42}},
                    UnescapeCase{"TrailingEndKept", {0x41, 0xC0}, {0x41, 0xC0}},
                    UnescapeCase{"LoneEndKept", {0xC0}, {0xC0}},
                    UnescapeCase{"DoubleEndKeepsLast", {0xC0, 0xC0}, {0xC0}},
                    UnescapeCase{"LastEscapeKept", {0x41, 0xDB}, {0x41, 0xDB}},
                    UnescapeCase{"PairAtTheEnd", {0x41, 0xDB, 0xDC}, {0x41, 0xC0}},
                    UnescapeCase{"PlainBytes", {0x00, 0x7F, 0xFF, 0xDC, 0xDD}, {0x00, 0x7F, 0xFF, 0xDC, 0xDD}},
                    UnescapeCase{"Empty", {}, {}}),
    [](const testing::TestParamInfo<UnescapeCase>& info) { return info.param.name; });

TEST(HandleFrame, CheckByteCoversStatusCodeAndAllButLastByte) {
    EXPECT_FALSE(status_check_byte_matches({}));
    EXPECT_TRUE(status_check_byte_matches({218})) << "a one-byte frame passes only when it is 218";
    EXPECT_FALSE(status_check_byte_matches({217}));
    EXPECT_TRUE(status_check_byte_matches({0x10, 0x20, static_cast<uint8_t>(218 + 0x30)}));
    // 218 + 0x30 + 0x20 = 0x12A: only the low 8 bits count.
    EXPECT_TRUE(status_check_byte_matches({0x30, 0x20, 0x2A}));
    EXPECT_FALSE(status_check_byte_matches({0x30, 0x20, 0x2B}));
}

struct FieldCase {
    std::string name;
    uint8_t sensor_byte;
    uint16_t quaternion[4];
    uint8_t battery;
    uint8_t level;
    uint8_t buttons;
    float expected_quaternion[4];
    float battery_level;
};

class StatusFields : public testing::TestWithParam<FieldCase> {};

TEST_P(StatusFields, DecodeFromAcceptedFrame) {
    const auto& c = GetParam();
    ManiloStatus status;
    ASSERT_TRUE(accepts(with_check_byte(frame_content(7, c.sensor_byte, 42, c.quaternion, c.battery)), status));
    EXPECT_EQ(status.error_flag, 7);
    EXPECT_EQ(status.device_id, 42);
    EXPECT_EQ(status.hall_effect_sensor_level, c.level);
    EXPECT_EQ(status.buttons, c.buttons);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(status.quaternion[i], c.expected_quaternion[i]) << "component " << i;
    EXPECT_EQ(status.battery_level, c.battery_level);
}

INSTANTIATE_TEST_SUITE_P(
    HandleFrame, StatusFields,
    testing::Values(
        FieldCase{"MostNegative", 0x00, {0x8000, 0x8000, 0x8000, 0x8000}, 0, 0, 0, {-1.0f, 1.0f, 1.0f, -1.0f}, 3.0f},
        FieldCase{"Half", 0xFF, {0x4000, 0x4000, 0x4000, 0x4000}, 100, 31, 7, {0.5f, -0.5f, -0.5f, 0.5f}, 3.5f},
        FieldCase{"MostPositive",
                  0xA5,
                  {0x7FFF, 0x7FFF, 0x0000, 0xFFFF},
                  255,
                  5,
                  5,
                  {0.999969482421875f, -0.999969482421875f, -0.0f, -1.0f / 32768.0f},
                  4.275000095367432f},
        FieldCase{"SensorBits", 0x1F, {0, 0, 0, 0}, 1, 31, 0, {0.0f, -0.0f, -0.0f, 0.0f}, 3.005f},
        FieldCase{"ButtonBits", 0xE0, {0, 0, 0, 0}, 2, 0, 7, {0.0f, -0.0f, -0.0f, 0.0f}, 3.01f}),
    [](const testing::TestParamInfo<FieldCase>& info) { return info.param.name; });

TEST(HandleFrame, EscapedFieldBytesDecodeToTheirValues) {
    // device_id 0xC0 and error_flag 0xDB travel escaped.
    Bytes content = frame_content(0xDB, 0x00, 0xC0, {0x00C0, 0, 0, 0}, 0);
    Bytes decoded = with_check_byte(content);
    const Bytes raw = escaped(decoded);
    ManiloStatus status;
    ASSERT_TRUE(accepts(raw, status));
    EXPECT_EQ(status.device_id, 0xC0);
    EXPECT_EQ(status.error_flag, 0xDB);
    EXPECT_EQ(status.quaternion[0], 192.0f / 32768.0f);
}

TEST(HandleFrame, TrailingEndByteIsTheCheckByte) {
    Bytes content = frame_content(1, 2, 3, {0, 0, 0, 0}, 4);
    ManiloStatus status;
    // With the computed check byte followed by 0xC0, the 0xC0 is what gets
    // compared, and the real check byte counts as data.
    Bytes raw = with_check_byte(content);
    raw.push_back(0xC0);
    EXPECT_FALSE(accepts(raw, status));
    // Choose a filler byte so that the sum lands on 0xC0.
    content[5] = 0;
    content[5] = static_cast<uint8_t>(0xC0 - check_byte_for(content));
    raw = content;
    raw.push_back(0xC0);
    ASSERT_TRUE(accepts(raw, status));
    EXPECT_EQ(status.device_id, 3);
    EXPECT_EQ(status.battery_level, 3.02f);
}

TEST(HandleFrame, RejectedFramesLeaveStatusUntouched) {
    const Bytes good = with_check_byte(frame_content(1, 2, 3, {0, 0, 0, 0}, 4));
    ASSERT_EQ(good.size(), 18u);
    Bytes wrong_check = good;
    wrong_check[17] ^= 0x01;
    Bytes ends_in_escape = good;
    ends_in_escape.push_back(0xDB);
    // Passes its check byte but stops before the battery byte.
    Bytes short_frame(good.begin(), good.begin() + 15);
    short_frame.push_back(check_byte_for(short_frame));
    const Bytes only_code{218};
    const Bytes only_end{0xC0};

    const std::vector<const Bytes*> rejected{&wrong_check, &ends_in_escape, &short_frame, &only_code, &only_end};
    for (const Bytes* raw : rejected) {
        ManiloStatus status;
        status.device_id = 77;
        status.error_flag = 66;
        EXPECT_FALSE(accepts(*raw, status)) << "frame of " << raw->size() << " bytes";
        EXPECT_EQ(status.device_id, 77);
        EXPECT_EQ(status.error_flag, 66);
    }
    ManiloStatus status;
    EXPECT_FALSE(decode_status_frame(nullptr, 0, status));
    EXPECT_TRUE(accepts(good, status));
}

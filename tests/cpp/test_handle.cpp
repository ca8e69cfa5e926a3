// The handle against a pseudo-terminal peer: requests, Receive and its
// events, the discovery variant and GetManiloStatus end to end.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "KivraHardwareAPI/Handle.h"
#include "KivraHardwareAPI/MyHandle.h"
#include "PtyPeer.h"
#include "StatusFrames.h"
#include "TestSupport.h"

using namespace Kivra::HardwareAPI::Devices;
using Kivra::HardwareAPI::IO::SerialStream;
using status_frames::check_byte_for;
using status_frames::escaped;

namespace {

void append_float(Bytes& bytes, float value) {
    uint8_t b[4];
    std::memcpy(b, &value, 4);  // the test machines are little-endian
    bytes.insert(bytes.end(), b, b + 4);
}

Bytes status_message(uint16_t device_id, uint8_t error_flag, uint8_t level, const float (&q)[4],
                     const Bytes& user_data) {
    Bytes m{218, static_cast<uint8_t>(device_id), static_cast<uint8_t>(device_id >> 8), error_flag, level};
    for (float v : q) append_float(m, v);
    m.push_back(static_cast<uint8_t>(user_data.size()));
    m.insert(m.end(), user_data.begin(), user_data.end());
    return m;
}

// Every event call, in order, with its arguments copied out.
struct Call {
    std::string name;
    std::vector<double> values;  // scalar arguments in declaration order
    Bytes data;                  // user data (unpacked) or the whole 255-byte area (record)
};

class RecordingHandle : public Handle {
public:
    using Handle::Handle;
    std::vector<Call> calls;
    bool throw_from_info = false;

    void OnReceiveHandleInfoData(const HandleInfo& r) override {
        calls.push_back({"InfoData",
                         {double(r.device_id), double(r.tool_data_remaining), double(r.device_model_number),
                          double(r.hardware_version), double(r.firmware_version)},
                         {}});
    }
    void OnReceiveHandleInfo(uint8_t tdr, uint16_t id, uint8_t model, uint8_t hw, uint8_t fw) override {
        calls.push_back({"Info", {double(tdr), double(id), double(model), double(hw), double(fw)}, {}});
        if (throw_from_info) throw std::runtime_error("event failed");
    }
    void OnReceiveHandleStatusData(const HandleStatusMessage& r) override {
        calls.push_back({"StatusData",
                         {double(r.device_id), r.quaternion[0], r.quaternion[1], r.quaternion[2], r.quaternion[3],
                          double(r.error_flag), double(r.hall_effect_sensor_level), double(r.user_data_length)},
                         Bytes(r.user_data, r.user_data + 255)});
    }
    void OnReceiveHandleStatusMessage(uint16_t id, const float* q, uint8_t flag, uint8_t level, uint8_t n,
                                      const uint8_t* data) override {
        calls.push_back({"Status",
                         {double(id), q[0], q[1], q[2], q[3], double(flag), double(level), double(n)},
                         Bytes(data, data + n)});
    }
    void OnReceiveHandleErrorData(const HandleErrorResponse& r) override {
        calls.push_back({"ErrorData", {double(r.device_id), double(r.error_code)}, {}});
    }
    void OnReceiveHandleErrorResponse(uint16_t id, uint8_t code) override {
        calls.push_back({"Error", {double(id), double(code)}, {}});
    }
};

std::vector<std::string> names(const std::vector<Call>& calls) {
    std::vector<std::string> result;
    for (const auto& c : calls) result.push_back(c.name);
    return result;
}

struct HandleOnPty : testing::Test {
    PtyPeer peer;
    SerialStream stream{peer.path().c_str()};
    RecordingHandle handle{&stream};
    void SetUp() override { handle.timeout = 0.5f; }
};

}  // namespace

// ---------------------------------------------------------------- requests

struct RequestCase {
    std::string name;
    std::function<void(Handle&)> send;
    Bytes expected;
};

class HandleRequest : public HandleOnPty, public testing::WithParamInterface<RequestCase> {};

TEST_P(HandleRequest, WritesExactBytes) {
    GetParam().send(handle);
    EXPECT_EQ(peer.receive(GetParam().expected.size()), GetParam().expected);
    EXPECT_TRUE(peer.drain().empty()) << "nothing beyond the message";
}

const uint8_t USER_BYTE = 171;
const Bytes FULL_USER_DATA = [] {
    Bytes b(255);
    for (int i = 0; i < 255; ++i) b[i] = static_cast<uint8_t>(255 - i);
    return b;
}();

INSTANTIATE_TEST_SUITE_P(Handle, HandleRequest,
                         testing::Values(RequestCase{"Wakeup", [](Handle& h) { h.SendDeviceWakeup(); }, {0x0A}},
                                         RequestCase{"StatusRequest", [](Handle& h) { h.RequestStatus(); }, {0xDA}},
                                         RequestCase{"StateWithOneByte",
                                                     [](Handle& h) { h.SendHandleState(258, 1, &USER_BYTE); },
                                                     {0xDB, 0x02, 0x01, 0x01, 0xAB}},
                                         RequestCase{"StateWithoutData",
                                                     [](Handle& h) { h.SendHandleState(1, 0, &USER_BYTE); },
                                                     {0xDB, 0x01, 0x00, 0x00}},
                                         RequestCase{"StateWithNullDataSendsZeros",
                                                     [](Handle& h) { h.SendHandleState(0xABCD, 2, nullptr); },
                                                     {0xDB, 0xCD, 0xAB, 0x02, 0x00, 0x00}},
                                         RequestCase{
                                             "StateWithFullData",
                                             [](Handle& h) { h.SendHandleState(0xFFFF, 255, FULL_USER_DATA.data()); },
                                             [] {
                                                 Bytes b{0xDB, 0xFF, 0xFF, 0xFF};
                                                 b.insert(b.end(), FULL_USER_DATA.begin(), FULL_USER_DATA.end());
                                                 return b;
                                             }()}),
                         [](const testing::TestParamInfo<RequestCase>& info) { return info.param.name; });

// ----------------------------------------------------------------- Receive

class HandleStatusReceive : public HandleOnPty, public testing::WithParamInterface<int> {};

TEST_P(HandleStatusReceive, CountsAndDispatchesUnpackedThenRecord) {
    const int n = GetParam();
    Bytes user_data(n);
    for (int i = 0; i < n; ++i) user_data[i] = static_cast<uint8_t>(i * 7 + 1);
    const float q[4] = {0.5f, -0.25f, 1e-7f, -3.5f};
    peer.send(status_message(0x0201, 9, 17, q, user_data));

    EXPECT_EQ(handle.Receive(), 21 + n);
    ASSERT_EQ(names(handle.calls), (std::vector<std::string>{"Status", "StatusData"}));
    const std::vector<double> fields{0x0201, q[0], q[1], q[2], q[3], 9, 17, double(n)};
    EXPECT_EQ(handle.calls[0].values, fields);
    EXPECT_EQ(handle.calls[0].data, user_data);
    EXPECT_EQ(handle.calls[1].values, fields);
    Bytes area = user_data;
    area.resize(255, 0);
    EXPECT_EQ(handle.calls[1].data, area) << "user data, then zeros";
    EXPECT_EQ(stream.available(), 0);
}

INSTANTIATE_TEST_SUITE_P(Handle, HandleStatusReceive, testing::Values(0, 2, 255));

struct ReplyCase {
    std::string name;
    Bytes reply;
    int32_t count;
    std::vector<Call> calls;
};

class HandleReply : public HandleOnPty, public testing::WithParamInterface<ReplyCase> {};

TEST_P(HandleReply, CountsAndDispatches) {
    const auto& c = GetParam();
    peer.send(c.reply);
    EXPECT_EQ(handle.Receive(), c.count);
    ASSERT_EQ(names(handle.calls), names(c.calls));
    for (std::size_t i = 0; i < c.calls.size(); ++i) EXPECT_EQ(handle.calls[i].values, c.calls[i].values) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Handle, HandleReply,
    testing::Values(
        // device_id from bytes 0 and 1, tool_data_remaining from byte 2.
        ReplyCase{"Info",
                  {208, 0x34, 0x12, 7, 4, 2, 9},
                  6,
                  {{"Info", {7, 0x1234, 4, 2, 9}, {}}, {"InfoData", {0x1234, 7, 4, 2, 9}, {}}}},
        ReplyCase{
            "Error", {223, 0xFF, 0x01, 0x80}, 3, {{"Error", {0x01FF, 0x80}, {}}, {"ErrorData", {0x01FF, 0x80}, {}}}},
        ReplyCase{"ArmWakeupReply", {11}, -1, {}}, ReplyCase{"ZeroByte", {0}, -1, {}},
        ReplyCase{"HandleStateCode", {219}, -1, {}}),
    [](const testing::TestParamInfo<ReplyCase>& info) { return info.param.name; });

TEST_F(HandleOnPty, UnknownCodeLeavesItsPayloadUnread) {
    Bytes reply{11};
    for (int i = 0; i < 21; ++i) reply.push_back(static_cast<uint8_t>(i + 1));
    peer.send(reply);
    EXPECT_EQ(handle.Receive(), -1);
    EXPECT_TRUE(handle.calls.empty());
    EXPECT_EQ(stream.available(), 21);
    // The payload is now met as header codes: 1 is no handle reply either.
    EXPECT_EQ(handle.Receive(), -1);
    EXPECT_EQ(stream.available(), 20);
}

TEST_F(HandleOnPty, ConsecutiveRepliesAreReadOneByOne) {
    const float q[4] = {1, 2, 3, 4};
    Bytes bytes = status_message(5, 0, 0, q, {0xC0});
    bytes.insert(bytes.end(), {223, 6, 0, 1, 208, 7, 0, 1, 2, 3, 4});
    peer.send(bytes);
    EXPECT_EQ(handle.Receive(), 22);
    EXPECT_EQ(handle.Receive(), 3);
    EXPECT_EQ(handle.Receive(), 6);
    EXPECT_EQ(names(handle.calls),
              (std::vector<std::string>{"Status", "StatusData", "Error", "ErrorData", "Info", "InfoData"}));
    EXPECT_EQ(handle.calls[2].values, (std::vector<double>{6, 1}));
    EXPECT_EQ(handle.calls[4].values, (std::vector<double>{1, 7, 2, 3, 4}));
}

TEST_F(HandleOnPty, SilentHandleGivesMinusOneWithoutEvents) {
    // A whole-second clock: with 1.0 the wait lasts more than 1 and at most 2 s.
    handle.timeout = 1.0f;
    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    EXPECT_EQ(handle.Receive(), -1);
    const double elapsed = since(start);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_GT(elapsed, 1.0);
    EXPECT_LE(elapsed, 1.0 + bound(1.1));
    EXPECT_NE(log.find("timeout waiting for header code"), std::string::npos) << log;
    EXPECT_TRUE(handle.calls.empty());
}

TEST_F(HandleOnPty, ShortPayloadStillDispatchesAndShowsInTheCount) {
    peer.send({223, 0x05});
    testing::internal::CaptureStderr();
    EXPECT_EQ(handle.Receive(), 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(names(handle.calls), (std::vector<std::string>{"Error", "ErrorData"}));
}

TEST_F(HandleOnPty, ExceptionFromUnpackedEventSkipsTheRecord) {
    handle.throw_from_info = true;
    peer.send({208, 1, 0, 2, 3, 4, 5});
    EXPECT_THROW(handle.Receive(), std::runtime_error);
    EXPECT_EQ(names(handle.calls), std::vector<std::string>{"Info"});
    EXPECT_EQ(stream.available(), 0);
}

TEST_F(HandleOnPty, PlainHandleDropsEventsButCounts) {
    Handle plain{&stream};
    const float q[4] = {0, 0, 0, 0};
    peer.send(status_message(1, 2, 3, q, {4, 5}));
    EXPECT_EQ(plain.Receive(), 23);
}

// ---------------------------------------------------------------- MyHandle

struct ProbeCase {
    std::string name;
    Bytes reply;
    bool found;
};

class MyHandleProbe : public testing::TestWithParam<ProbeCase> {};

TEST_P(MyHandleProbe, FoundOnlyForInfoOrStatus) {
    PtyPeer peer;
    SerialStream stream{peer.path().c_str()};
    MyHandle probe{&stream};
    probe.timeout = 0.5f;
    EXPECT_FALSE(probe.found);
    probe.SendDeviceWakeup();
    EXPECT_EQ(peer.receive(1), Bytes{0x0A});
    peer.send(GetParam().reply);
    probe.Receive();
    EXPECT_EQ(probe.found, GetParam().found);
}

INSTANTIATE_TEST_SUITE_P(Handle, MyHandleProbe,
                         testing::Values(ProbeCase{"Info", {208, 1, 0, 0, 5, 1, 1}, true},
                                         ProbeCase{"Status",
                                                   [] {
                                                       const float q[4] = {0, 0, 0, 0};
                                                       return status_message(1, 0, 0, q, {});
                                                   }(),
                                                   true},
                                         ProbeCase{"Error", {223, 1, 0, 9}, false},
                                         ProbeCase{"ArmWakeupReply",
                                                   [] {
                                                       Bytes b{11};
                                                       b.resize(22, 4);
                                                       return b;
                                                   }(),
                                                   false}),
                         [](const testing::TestParamInfo<ProbeCase>& info) { return info.param.name; });

// --------------------------------------------------------- GetManiloStatus

namespace {

// 17 decoded bytes: error_flag, sensor byte, device_id, quaternion and
// battery at their offsets, filler elsewhere.
Bytes frame_content(uint8_t error_flag, uint8_t sensor_byte, uint8_t device_id, const uint16_t (&q)[4],
                    uint8_t battery) {
    Bytes content{0x01, 0x02, error_flag, sensor_byte, device_id, 0x03, 0x04, 0x05};
    for (uint16_t v : q) content.insert(content.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)});
    content.push_back(battery);
    return content;
}

// Code, escaped content and check byte, not terminated: must be the last
// bytes on the wire.
Bytes open_frame(Bytes content) {
    content.push_back(check_byte_for(content));
    Bytes frame{218};
    const Bytes raw = escaped(content);
    frame.insert(frame.end(), raw.begin(), raw.end());
    return frame;
}

// Code, escaped content and a closing 0xC0, which then serves as the check
// byte; filler byte 5 is chosen to make the sum come out.
Bytes closed_frame(Bytes content) {
    content[5] = 0;
    content[5] = static_cast<uint8_t>(0xC0 - check_byte_for(content));
    Bytes frame{218};
    const Bytes raw = escaped(content);
    frame.insert(frame.end(), raw.begin(), raw.end());
    frame.push_back(0xC0);
    return frame;
}

void expect_failure(const ManiloStatus& s, uint8_t code) {
    EXPECT_EQ(s.error_flag, code);
    EXPECT_EQ(s.device_id, 0);
    EXPECT_EQ(s.hall_effect_sensor_level, 0);
    EXPECT_EQ(s.buttons, 0);
    EXPECT_EQ(s.battery_level, 0.0f);
    for (float q : s.quaternion) EXPECT_EQ(q, 0.0f);
}

}  // namespace

TEST_F(HandleOnPty, ManiloStatusFromEscapedFrameAfterStrayCodes) {
    // device_id 0xC0 and sensor byte 0xDB go over the wire escaped.
    const Bytes content = frame_content(0x12, 0xDB, 0xC0, {0x8000, 0x4000, 0x7FFF, 0xC000}, 100);
    peer.send(Bytes{1, 2, 3} + closed_frame(content) + Bytes{5});
    const ManiloStatus s = handle.GetManiloStatus();
    EXPECT_EQ(s.error_flag, 0x12);
    EXPECT_EQ(s.device_id, 0xC0);
    EXPECT_EQ(s.hall_effect_sensor_level, 0xDB & 0x1F);
    EXPECT_EQ(s.buttons, 0xDB >> 5);
    EXPECT_EQ(s.quaternion, (std::array<float, 4>{-1.0f, -0.5f, -0.999969482421875f, -0.5f}));
    EXPECT_EQ(s.battery_level, 3.5f);
    EXPECT_EQ(stream.available(), 1) << "bytes after the closing 0xC0 stay unread";
    EXPECT_TRUE(handle.calls.empty()) << "no events";
}

TEST_F(HandleOnPty, ManiloStatusSkipsRejectedFrames) {
    Bytes corrupt = closed_frame(frame_content(1, 0, 1, {0, 0, 0, 0}, 0));
    corrupt[3] ^= 0x40;  // breaks the check
    const Bytes good = open_frame(frame_content(2, 0x21, 2, {0, 0, 0, 0x4000}, 255));
    peer.send(corrupt + Bytes{218, 0xC0} + good);
    const ManiloStatus s = handle.GetManiloStatus();
    EXPECT_EQ(s.error_flag, 2);
    EXPECT_EQ(s.device_id, 2);
    EXPECT_EQ(s.hall_effect_sensor_level, 1);
    EXPECT_EQ(s.buttons, 1);
    EXPECT_EQ(s.quaternion[3], 0.5f);
    EXPECT_EQ(s.battery_level, 4.275000095367432f);
    EXPECT_EQ(stream.available(), 0);
}

struct SearchCase {
    std::string name;
    Bytes wire;
    uint8_t failure;  // 0: the frame is accepted
    int left_unread;
};

class ManiloSearch : public HandleOnPty, public testing::WithParamInterface<SearchCase> {};

TEST_P(ManiloSearch, EndsAsExpected) {
    const auto& c = GetParam();
    peer.send(c.wire);
    const auto start = Clock::now();
    const ManiloStatus s = handle.GetManiloStatus();
    EXPECT_LT(since(start), bound(0.3)) << "no waiting with all bytes there";
    if (c.failure != 0) {
        expect_failure(s, c.failure);
    } else {
        EXPECT_EQ(s.device_id, 9);
    }
    EXPECT_EQ(stream.available(), c.left_unread);
}

const Bytes GOOD = open_frame(frame_content(0, 0, 9, {0, 0, 0, 0}, 0));

INSTANTIATE_TEST_SUITE_P(
    Handle, ManiloSearch,
    testing::Values(SearchCase{"HundredStrayCodesAreSkipped", Bytes(100, 7) + GOOD, 0, 0},
                    SearchCase{"HundredAndOneStrayCodesGiveUp", Bytes(101, 7) + GOOD, 3, int(GOOD.size())},
                    SearchCase{"ZeroHeaderCode", Bytes{0} + GOOD, 2, int(GOOD.size())},
                    SearchCase{"ZeroAmongStrayCodes", Bytes{7, 7, 0} + GOOD, 2, int(GOOD.size())},
                    SearchCase{"TooFewBytesAfterRejectedFrame", Bytes{218, 1, 0xC0} + Bytes(18, 7), 3, 18},
                    SearchCase{"FrameEndingInEscapeRejected", Bytes{218} + Bytes(17, 1) + Bytes{0xDB}, 3, 0}),
    [](const testing::TestParamInfo<SearchCase>& info) { return info.param.name; });

TEST_F(HandleOnPty, ManiloStatusGivesUpWithoutNineteenBytes) {
    peer.send(Bytes(18, 218));
    const auto start = Clock::now();
    const ManiloStatus s = handle.GetManiloStatus();
    const double elapsed = since(start);
    expect_failure(s, 99);
    EXPECT_GT(elapsed, 1.0);
    EXPECT_LE(elapsed, 1.0 + bound(1.1));
    EXPECT_EQ(stream.available(), 18) << "nothing is read while waiting";
}

TEST_F(HandleOnPty, ManiloStatusCodeTwoWhenCodesRunOut) {
    peer.send(Bytes(19, 7));
    testing::internal::CaptureStderr();
    const ManiloStatus s = handle.GetManiloStatus();
    const std::string log = testing::internal::GetCapturedStderr();
    expect_failure(s, 2);
    EXPECT_NE(log.find("timeout waiting for header code"), std::string::npos) << log;
}

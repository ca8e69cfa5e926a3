#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <thread>

#include "KivraHardwareAPI/Device.h"
#include "PtyPeer.h"
#include "TestSupport.h"

using Kivra::HardwareAPI::Devices::BUFFER_SIZE;
using Kivra::HardwareAPI::Devices::Device;
using Kivra::HardwareAPI::IO::SerialStream;

namespace {

struct DeviceOnPty : testing::Test {
    PtyPeer peer;
    SerialStream stream{peer.path().c_str()};
    Device device{&stream};
};

const std::regex HEADER_TIMEOUT_LINE(
    R"(\[err\] Library/src/Device\.cpp:(\d+)> timeout waiting for header code: \[-?\d+\] .*\n)");
const std::regex READ_FAILURE_LINE(
    R"(\[err\] Library/src/Device\.cpp:\d+> unable to read '(\d+)' bytes from stream: \[-?\d+\] .*\n)");
const std::regex HEADER_FAILURE_LINE(
    R"(\[err\] Library/src/Device\.cpp:\d+> unable to read header code from stream: \[-?\d+\] .*\n)");

}  // namespace

TEST_F(DeviceOnPty, StartsWithDefaultsAndZeroBuffers) {
    EXPECT_FLOAT_EQ(device.timeout, 5.0f);
    EXPECT_EQ(device.stream, &stream);
    for (std::size_t i = 0; i < BUFFER_SIZE; ++i) {
        ASSERT_EQ(device.tx_buffer[i], 0);
        ASSERT_EQ(device.rx_buffer[i], 0);
    }
}

TEST_F(DeviceOnPty, SendFloatsFramesCodeAndLittleEndianFloats) {
    const float values[] = {1.5f, -2.0f, 0.25f};
    device.send_floats(42, values, 3);
    EXPECT_EQ(peer.receive(13), floats(42, {1.5f, -2.0f, 0.25f}));
    device.send_floats(170, nullptr, 0);
    EXPECT_EQ(peer.receive(1), std::vector<uint8_t>{170});
    EXPECT_TRUE(peer.drain().empty());
}

TEST_F(DeviceOnPty, HeaderCodeThenPayloadAlreadyWaiting) {
    std::vector<uint8_t> reply{11};
    for (int i = 0; i < 21; ++i) reply.push_back(static_cast<uint8_t>(100 + i));
    peer.send(reply);
    auto start = Clock::now();
    EXPECT_EQ(device.await_header_code(), 11);
    EXPECT_EQ(device.await_payload(21), 21u);
    EXPECT_LT(since(start), bound(0.2));
    EXPECT_EQ(device.rx_buffer[0], 100) << "the payload overwrites the header code";
    EXPECT_EQ(device.rx_buffer[20], 120);
}

TEST_F(DeviceOnPty, ZeroPayloadIsImmediateAndKeepsStreamGood) {
    EXPECT_EQ(device.await_payload(0), 0u);
    EXPECT_TRUE(stream.good());
}

TEST_F(DeviceOnPty, FullBufferPayload) {
    std::vector<uint8_t> bytes(1024);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
    peer.send(bytes);
    EXPECT_EQ(device.await_payload(1024), 1024u);
    EXPECT_EQ(device.rx_buffer[1023], 255);
}

TEST_F(DeviceOnPty, OversizedPayloadReadsNothing) {
    peer.send(std::vector<uint8_t>(40, 9));
    testing::internal::CaptureStderr();
    EXPECT_EQ(device.await_payload(BUFFER_SIZE + 1), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(stream.available(), 40);
}

TEST_F(DeviceOnPty, SilentDeviceTimesOutWithinOneExtraSecond) {
    device.timeout = 1.0f;
    testing::internal::CaptureStderr();
    auto start = Clock::now();
    EXPECT_EQ(device.await_header_code(), 0);
    const double elapsed = since(start);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_GT(elapsed, 1.0);
    EXPECT_LE(elapsed, 1.0 + bound(1.1));
    EXPECT_TRUE(std::regex_match(log, HEADER_TIMEOUT_LINE)) << log;
}

TEST_F(DeviceOnPty, ShortPayloadTimesOutAndLeavesBytesForNextHeader) {
    device.timeout = 0.5f;
    std::vector<uint8_t> partial(20);
    for (int i = 0; i < 20; ++i) partial[i] = static_cast<uint8_t>(200 + i);
    peer.send(partial);
    testing::internal::CaptureStderr();
    auto start = Clock::now();
    EXPECT_EQ(device.await_payload(21), 0u);
    EXPECT_LE(since(start), 0.5 + bound(0.6));
    const std::string log = testing::internal::GetCapturedStderr();
    std::smatch match;
    ASSERT_TRUE(std::regex_match(log, match, HEADER_TIMEOUT_LINE)) << log;
    EXPECT_EQ(stream.available(), 20);
    EXPECT_EQ(device.await_header_code(), 200);
}

TEST_F(DeviceOnPty, HeaderAndPayloadTimeoutsReportDifferentLines) {
    device.timeout = 0.5f;
    testing::internal::CaptureStderr();
    device.await_header_code();
    device.await_payload(3);
    const std::string log = testing::internal::GetCapturedStderr();
    std::smatch first, second;
    const std::string first_line = log.substr(0, log.find('\n') + 1);
    const std::string second_line = log.substr(first_line.size());
    ASSERT_TRUE(std::regex_match(first_line, first, HEADER_TIMEOUT_LINE)) << log;
    ASSERT_TRUE(std::regex_match(second_line, second, HEADER_TIMEOUT_LINE)) << log;
    EXPECT_NE(first[1], second[1]);
}

TEST_F(DeviceOnPty, ZeroTimeoutWaitsForALateReply) {
    device.timeout = 0.0f;
    peer.script({{{}, {27}, std::chrono::milliseconds(1300)}});
    auto start = Clock::now();
    EXPECT_EQ(device.await_header_code(), 27);
    EXPECT_GE(since(start), 1.2);
}

TEST_F(DeviceOnPty, ReplyArrivingDuringTheWaitIsTaken) {
    peer.script({{{}, {43, 1, 2}, std::chrono::milliseconds(30)}, {{}, {3, 4}, std::chrono::milliseconds(30)}});
    EXPECT_EQ(device.await_header_code(), 43);
    EXPECT_EQ(device.await_payload(4), 4u);
    EXPECT_EQ(device.rx_buffer[3], 4);
    EXPECT_TRUE(peer.script_played());
}

TEST_F(DeviceOnPty, AfterShortReadEveryReadIsSilentZero) {
    peer.send({5});
    char in[2];
    stream.read(in, 2);  // comes up short: eofbit
    peer.send({11, 1, 2, 3});
    testing::internal::CaptureStderr();
    auto start = Clock::now();
    EXPECT_EQ(device.await_header_code(), 0);
    EXPECT_EQ(device.await_payload(2), 0u);
    EXPECT_LT(since(start), bound(0.5));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(DeviceOnPty, AfterFailedWriteReadsAreLogged) {
    stream.close();
    const uint8_t code = 10;
    testing::internal::CaptureStderr();
    stream.write_bytes(&code, 1);
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(stream.bad());
    // Reads only start once bytes are waiting, so look at a second stream on
    // the same port that had its write fail.
    SerialStream second(peer.path().c_str());
    Device reader(&second);
    second.setstate(std::ios::badbit);
    peer.send({11, 1, 2});
    testing::internal::CaptureStderr();
    EXPECT_EQ(reader.await_header_code(), 0);
    EXPECT_EQ(reader.await_payload(2), 0u);
    const std::string log = testing::internal::GetCapturedStderr();
    const std::string first_line = log.substr(0, log.find('\n') + 1);
    std::smatch match;
    EXPECT_TRUE(std::regex_match(first_line, HEADER_FAILURE_LINE)) << log;
    const std::string second_line = log.substr(first_line.size());
    ASSERT_TRUE(std::regex_match(second_line, match, READ_FAILURE_LINE)) << log;
    EXPECT_EQ(match[1], "2");
}

// The reply wait must not keep a processor busy while the device is silent,
// and its spinning phase must not change what an exchange returns.

#include <gtest/gtest.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "KivraHardwareAPI/Device.h"
#include "PtyPeer.h"
#include "TestSupport.h"

using Kivra::HardwareAPI::Devices::Device;
using Kivra::HardwareAPI::IO::SerialStream;

namespace {

struct LateReply {
    const char* name;
    std::size_t header_bytes;  // 1: await_header_code, 0: await_payload(24)
    std::size_t sent_at_once;  // bytes waiting before the wait starts
};

void PrintTo(const LateReply& reply, std::ostream* out) { *out << reply.name; }

class ReplyWait : public testing::TestWithParam<LateReply> {
protected:
    PtyPeer peer;
    SerialStream stream{peer.path().c_str()};
    Device device{&stream};
};

TEST_P(ReplyWait, SleepsUntilALateReplyArrives) {
    const LateReply& param = GetParam();
    device.timeout = 1.0f;
    const std::size_t total = param.header_bytes == 1 ? 1 : 24;
    std::vector<uint8_t> reply(total);
    for (std::size_t i = 0; i < total; ++i) reply[i] = static_cast<uint8_t>(43 + i);
    if (param.sent_at_once > 0) peer.send({reply.begin(), reply.begin() + static_cast<long>(param.sent_at_once)});
    peer.script(
        {{{}, {reply.begin() + static_cast<long>(param.sent_at_once), reply.end()}, std::chrono::milliseconds(300)}});
    const auto start = Clock::now();
    const double cpu_before = cpu_seconds();
    if (param.header_bytes == 1) {
        EXPECT_EQ(device.await_header_code(), 43);
    } else {
        EXPECT_EQ(device.await_payload(24), 24u);
        EXPECT_EQ(0, std::memcmp(device.rx_buffer, reply.data(), 24));
    }
    const double cpu = cpu_seconds() - cpu_before;
    const double elapsed = since(start);
    EXPECT_TRUE(peer.script_played());
    EXPECT_GE(elapsed, 0.25);
    EXPECT_LT(elapsed, 0.3 + bound(0.6)) << "the wait must end soon after the reply";
    // A wait that polls without sleeping burns all of the 300 ms.
    EXPECT_LT(cpu, 0.03) << "waited " << elapsed << " s using " << cpu << " s of processor time";
}

INSTANTIATE_TEST_SUITE_P(Waits, ReplyWait,
                         testing::Values(LateReply{"HeaderCode", 1, 0}, LateReply{"WholePayload", 0, 0},
                                         LateReply{"RestOfPayload", 0, 10}),
                         [](const testing::TestParamInfo<LateReply>& info) { return std::string(info.param.name); });

// A peer that answers at once, so most replies arrive while the wait spins.
TEST(ReplyWaitSpin, QuickRepliesAreTakenWhole) {
    PtyPeer peer;
    SerialStream stream{peer.path().c_str()};
    Device device{&stream};
    device.timeout = 1.0f;
    constexpr int EXCHANGES = 2000;
    peer.answer_each(13, [](const Bytes& request) {
        const Bytes values(request.begin() + 1, request.end());
        return Bytes{43} + values + values;
    });
    int answered = 0;
    for (; answered < EXCHANGES; ++answered) {
        const float values[3] = {static_cast<float>(answered), -1.0f, 0.5f};
        device.send_floats(42, values, 3);
        if (device.await_header_code() != 43 || device.await_payload(24) != 24) break;
        float echoed;
        std::memcpy(&echoed, device.rx_buffer + 12, sizeof(echoed));
        if (echoed != values[0]) break;
    }
    EXPECT_EQ(answered, EXCHANGES) << "exchange " << answered << " did not get its own reply";
    EXPECT_EQ(stream.available(), 0);

    // However the spin has settled, a silent device is still given up on
    // the whole-second rule, with one line.
    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    EXPECT_EQ(device.await_header_code(), 0);
    const double elapsed = since(start);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_GT(elapsed, 1.0);
    EXPECT_LE(elapsed, 1.0 + bound(1.1));
    EXPECT_TRUE(std::regex_match(
        log, std::regex(R"(\[err\] Library/src/Device\.cpp:\d+> timeout waiting for header code: \[-?\d+\] .*\n)")))
        << log;
}

}  // namespace

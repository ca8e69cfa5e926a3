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

using Kivra::HardwareAPI::Devices::Device;
using Kivra::HardwareAPI::IO::SerialStream;

namespace {

double thread_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

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
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        peer.send({reply.begin() + static_cast<long>(param.sent_at_once), reply.end()});
    });
    const auto start = std::chrono::steady_clock::now();
    const double cpu_before = thread_cpu_seconds();
    if (param.header_bytes == 1) {
        EXPECT_EQ(device.await_header_code(), 43);
    } else {
        EXPECT_EQ(device.await_payload(24), 24u);
        EXPECT_EQ(0, std::memcmp(device.rx_buffer, reply.data(), 24));
    }
    const double cpu = thread_cpu_seconds() - cpu_before;
    const double elapsed = seconds_since(start);
    late.join();
    EXPECT_GE(elapsed, 0.25);
    EXPECT_LT(elapsed, 0.9) << "the wait must end soon after the reply";
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
    std::thread responder([&] {
        uint8_t request[13];
        for (int i = 0; i < EXCHANGES; ++i) {
            std::size_t got = 0;
            while (got < sizeof(request)) {
                const ssize_t n = ::read(peer.master(), request + got, sizeof(request) - got);
                if (n > 0) {
                    got += static_cast<std::size_t>(n);
                } else {
                    pollfd p{peer.master(), POLLIN, 0};
                    ::poll(&p, 1, 1000);
                }
            }
            uint8_t reply[25] = {43};
            std::memcpy(reply + 1, request + 1, 12);
            std::memcpy(reply + 13, request + 1, 12);
            if (::write(peer.master(), reply, sizeof(reply)) != 25) {
                ADD_FAILURE() << "the peer could not answer";
                return;
            }
        }
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
    responder.join();
    EXPECT_EQ(answered, EXCHANGES) << "exchange " << answered << " did not get its own reply";
    EXPECT_EQ(stream.available(), 0);

    // However the spin has settled, a silent device is still given up on
    // the whole-second rule, with one line.
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(device.await_header_code(), 0);
    const double elapsed = seconds_since(start);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_GT(elapsed, 1.0);
    EXPECT_LE(elapsed, 2.1);
    EXPECT_TRUE(std::regex_match(
        log, std::regex(R"(\[err\] Library/src/Device\.cpp:\d+> timeout waiting for header code: \[-?\d+\] .*\n)")))
        << log;
}

}  // namespace

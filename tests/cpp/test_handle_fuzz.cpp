// Seeded random input for the handle's readers: the frame decoder on its own
// and Receive / GetManiloStatus behind a pseudo-terminal. Under the sanitizer
// build these also prove that no input reads or writes outside a buffer.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "KivraHardwareAPI/Handle.h"
#include "KivraHardwareAPI/HandleFrame.h"
#include "PtyPeer.h"
#include "StatusFrames.h"

using namespace Kivra::HardwareAPI::Devices;
using Kivra::HardwareAPI::IO::SerialStream;
using Bytes = std::vector<uint8_t>;
using status_frames::check_byte_for;
using status_frames::escaped;

namespace {

constexpr uint32_t SEED = 0x4B1A7A;

// Bytes that matter to the handle's readers turn up far more often than
// chance would have them.
uint8_t interesting_byte(std::mt19937& rng) {
    static const uint8_t special[] = {0x00, 0xC0, 0xDB, 0xDC, 0xDD, 208, 218, 223};
    if (rng() % 3 == 0) return special[rng() % sizeof(special)];
    return static_cast<uint8_t>(rng());
}

Bytes random_bytes(std::mt19937& rng, std::size_t count) {
    Bytes b(count);
    for (auto& x : b) x = interesting_byte(rng);
    return b;
}

void expect_plausible(const ManiloStatus& s) {
    EXPECT_LE(s.hall_effect_sensor_level, 31);
    EXPECT_LE(s.buttons, 7);
    for (float q : s.quaternion) {
        EXPECT_GE(q, -1.0f);
        EXPECT_LE(q, 1.0f);
    }
    const bool failure = s.battery_level == 0.0f;
    if (failure) {
        EXPECT_TRUE(s.error_flag == 2 || s.error_flag == 3) << int(s.error_flag);
        EXPECT_EQ(s.device_id, 0);
    } else {
        EXPECT_GE(s.battery_level, 3.0f);
        EXPECT_LE(s.battery_level, 4.2751f);
    }
}

// Puts bytes on the wire without the settling pause of PtyPeer::send, and
// waits only until the library's side reports them all.
void feed(const PtyPeer& peer, SerialStream& stream, const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(peer.master(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else {
            pollfd p{peer.master(), POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (stream.available() < static_cast<int32_t>(bytes.size()) && std::chrono::steady_clock::now() < deadline) {
        usleep(50);
    }
    ASSERT_EQ(stream.available(), static_cast<int32_t>(bytes.size()));
}

void discard_waiting(SerialStream& stream) {
    char sink[1024];
    for (int32_t n = stream.available(); n > 0; n = stream.available()) {
        stream.read(sink, std::min<int32_t>(n, sizeof(sink)));
    }
}

class CheckingHandle : public Handle {
public:
    using Handle::Handle;
    std::string events;  // one letter per event: i I s S e E (unpacked, record)
    HandleStatusMessage unpacked{};

    void OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) override { events += 'i'; }
    void OnReceiveHandleInfoData(const HandleInfo&) override { events += 'I'; }
    void OnReceiveHandleErrorResponse(uint16_t, uint8_t) override { events += 'e'; }
    void OnReceiveHandleErrorData(const HandleErrorResponse&) override { events += 'E'; }
    void OnReceiveHandleStatusMessage(uint16_t id, const float* q, uint8_t flag, uint8_t level, uint8_t n,
                                      const uint8_t* data) override {
        events += 's';
        unpacked = HandleStatusMessage{};
        unpacked.device_id = id;
        std::memcpy(unpacked.quaternion, q, sizeof(unpacked.quaternion));
        unpacked.error_flag = flag;
        unpacked.hall_effect_sensor_level = level;
        unpacked.user_data_length = n;
        std::memcpy(unpacked.user_data, data, n);
    }
    void OnReceiveHandleStatusData(const HandleStatusMessage& r) override {
        events += 'S';
        // The record repeats the unpacked call, zero-padded; memcmp keeps a
        // NaN quaternion comparable.
        EXPECT_EQ(std::memcmp(&r, &unpacked, sizeof(r)), 0);
    }
};

}  // namespace

TEST(HandleFuzz, UnescapeUndoesEscapingForAnyContent) {
    std::mt19937 rng(SEED);
    for (int round = 0; round < 50000; ++round) {
        const Bytes content = random_bytes(rng, 1 + rng() % 40);
        const Bytes raw = escaped(content);
        ASSERT_EQ(unescape_status_frame(raw.data(), raw.size()), content);
        Bytes closed = raw;
        closed.push_back(0xC0);
        Bytes expected = content;
        expected.push_back(0xC0);
        ASSERT_EQ(unescape_status_frame(closed.data(), closed.size()), expected);
    }
}

TEST(HandleFuzz, ValidFramesAreAcceptedWithTheirFields) {
    std::mt19937 rng(SEED + 1);
    for (int round = 0; round < 50000; ++round) {
        Bytes content = random_bytes(rng, 17 + rng() % 30);
        content.push_back(check_byte_for(content));
        const Bytes raw = escaped(content);
        ManiloStatus s;
        ASSERT_TRUE(decode_status_frame(raw.data(), raw.size(), s));
        ASSERT_EQ(s.error_flag, content[2]);
        ASSERT_EQ(s.device_id, content[4]);
        ASSERT_EQ(s.buttons << 5 | s.hall_effect_sensor_level, content[3]);
        ASSERT_NEAR(s.battery_level, 3.0 + 0.005 * content[16], 1e-6);
    }
}

TEST(HandleFuzz, ArbitraryRawFramesStayInBounds) {
    std::mt19937 rng(SEED + 2);
    int accepted = 0;
    for (int round = 0; round < 200000; ++round) {
        // Exactly sized heap copies, so the sanitizer sees any overrun.
        const Bytes raw = random_bytes(rng, rng() % 48);
        const std::vector<uint8_t> decoded = unescape_status_frame(raw.data(), raw.size());
        ASSERT_LE(decoded.size(), raw.size());
        ManiloStatus s;
        if (decode_status_frame(raw.data(), raw.size(), s)) {
            ++accepted;
            ASSERT_GE(decoded.size(), STATUS_FRAME_MIN_SIZE);
            ASSERT_TRUE(status_check_byte_matches(decoded));
            expect_plausible(s);
        }
    }
    // About one frame in 256 of sufficient length passes its check byte.
    EXPECT_GT(accepted, 50);
}

TEST(HandleFuzz, ReceiveOnRandomStreams) {
    PtyPeer peer;
    SerialStream stream{peer.path().c_str()};
    CheckingHandle handle{&stream};
    handle.timeout = 0.5f;
    std::mt19937 rng(SEED + 3);
    testing::internal::CaptureStderr();
    long messages = 0;
    for (int round = 0; round < 3000 && !HasFatalFailure(); ++round) {
        Bytes wire = random_bytes(rng, 1 + rng() % 300);
        // Zero bytes after the random part let every message that starts in
        // it complete without a time-out; each zero is one -1 reply.
        const std::size_t random_part = wire.size();
        wire.resize(random_part + 1 + 21 + 255, 0);
        feed(peer, stream, wire);

        std::size_t pos = 0;
        while (pos < wire.size()) {
            handle.events.clear();
            const int32_t count = handle.Receive();
            const uint8_t code = wire[pos];
            if (code == 218) {
                const uint8_t n = wire[pos + 21];
                ASSERT_EQ(count, 21 + n) << "round " << round << " at " << pos;
                ASSERT_EQ(handle.events, "sS");
                ASSERT_EQ(handle.unpacked.device_id, wire[pos + 1] | wire[pos + 2] << 8);
                ASSERT_EQ(Bytes(handle.unpacked.user_data, handle.unpacked.user_data + n),
                          Bytes(wire.begin() + pos + 22, wire.begin() + pos + 22 + n));
                pos += 22 + n;
            } else if (code == 223) {
                ASSERT_EQ(count, 3);
                ASSERT_EQ(handle.events, "eE");
                pos += 4;
            } else if (code == 208) {
                ASSERT_EQ(count, 6);
                ASSERT_EQ(handle.events, "iI");
                pos += 7;
            } else {
                ASSERT_EQ(count, -1);
                ASSERT_EQ(handle.events, "");
                pos += 1;
            }
            ++messages;
        }
        ASSERT_EQ(stream.available(), 0);
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log, "") << "no reply may have had to wait";
    EXPECT_GT(messages, 1000);
}

TEST(HandleFuzz, ManiloStatusOnRandomStreams) {
    PtyPeer peer;
    SerialStream stream{peer.path().c_str()};
    Handle handle{&stream};
    handle.timeout = 0.5f;
    std::mt19937 rng(SEED + 4);
    testing::internal::CaptureStderr();
    int exact = 0;
    for (int round = 0; round < 3000 && !HasFatalFailure(); ++round) {
        Bytes wire;
        Bytes content = random_bytes(rng, 17);
        const int kind = static_cast<int>(rng() % 3);
        if (kind == 2) {
            wire = random_bytes(rng, 19 + rng() % 300);
        } else {
            // Stray codes that are neither 0 nor 218, then a frame closed by
            // 0xC0 (filler byte 5 makes its sum come out), then anything.
            for (std::size_t k = rng() % 101; k > 0; --k) {
                uint8_t b = static_cast<uint8_t>(rng());
                wire.push_back(b == 0 || b == 218 ? 1 : b);
            }
            content[5] = 0;
            content[5] = static_cast<uint8_t>(0xC0 - check_byte_for(content));
            wire.push_back(218);
            const Bytes raw = escaped(content);
            wire.insert(wire.end(), raw.begin(), raw.end());
            wire.push_back(0xC0);
            if (kind == 1) {
                for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips) {
                    wire[rng() % wire.size()] = interesting_byte(rng);
                }
            }
            const Bytes tail = random_bytes(rng, rng() % 40);
            wire.insert(wire.end(), tail.begin(), tail.end());
        }
        // A final zero ends any header-code search before the bytes run
        // out, so no stream makes the reader wait.
        wire.push_back(0);
        feed(peer, stream, wire);

        const ManiloStatus s = handle.GetManiloStatus();
        expect_plausible(s);
        if (kind == 0) {
            ASSERT_EQ(s.error_flag, content[2]) << "round " << round;
            ASSERT_EQ(s.device_id, content[4]);
            ASSERT_EQ(s.buttons << 5 | s.hall_effect_sensor_level, content[3]);
            ++exact;
        }
        discard_waiting(stream);
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log, "") << "no stream may have had to wait";
    EXPECT_GT(exact, 600);
}

#include "KivraHardwareAPI/Device.h"

#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace Kivra::HardwareAPI::Devices {

namespace {

// A reply usually follows its request within tens of microseconds; spinning
// that long takes it without a wake-up, after that the wait blocks in poll.
constexpr long long SPIN_NANOSECONDS = 30'000;
// While part of a payload is waiting, poll would return at once; sleep
// briefly instead of spinning until the rest arrives.
constexpr long PARTIAL_SLEEP_NANOSECONDS = 20'000;
constexpr int LONGEST_BLOCK_MILLISECONDS = 1000;

long long monotonic_nanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

// Whole seconds, so that the time-out rule keeps its one-second resolution,
// on a clock that setting the wall clock cannot move.
time_t monotonic_seconds(long long nanoseconds) { return static_cast<time_t>(nanoseconds / 1'000'000'000LL); }

}  // namespace

float read_float_le(const uint8_t* bytes) {
    uint32_t bits = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                    static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

void write_float_le(uint8_t* bytes, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    bytes[0] = static_cast<uint8_t>(bits);
    bytes[1] = static_cast<uint8_t>(bits >> 8);
    bytes[2] = static_cast<uint8_t>(bits >> 16);
    bytes[3] = static_cast<uint8_t>(bits >> 24);
}

Device::Device(IO::SerialStream* stream) : stream(stream) {}

void Device::send(std::size_t n) {
    if (n > BUFFER_SIZE) n = BUFFER_SIZE;
    stream->write_bytes(tx_buffer, n);
}

void Device::send_floats(uint8_t code, const float* values, int32_t count) {
    if (count < 0) count = 0;
    if (count > 255) count = 255;
    tx_buffer[0] = code;
    for (int32_t i = 0; i < count; ++i) write_float_le(tx_buffer + 1 + 4 * i, values[i]);
    send(static_cast<std::size_t>(1 + 4 * count));
}

bool Device::wait_until_available(std::size_t needed, float limit) {
    const long long start_ns = monotonic_nanoseconds();
    const time_t start = monotonic_seconds(start_ns);
    // First whole second at which the strict "more than limit" test holds.
    const long long give_up_ns =
        limit > 0 ? (static_cast<long long>(start) + static_cast<long long>(std::floor(limit)) + 1) * 1'000'000'000LL
                  : 0;
    for (;;) {
        const int32_t waiting = stream->available();
        if (static_cast<std::size_t>(waiting) >= needed) return true;
        const long long now_ns = monotonic_nanoseconds();
        if (limit > 0 && difftime(monotonic_seconds(now_ns), start) > limit) return false;
        if (now_ns - start_ns < SPIN_NANOSECONDS) continue;
        if (waiting > 0) {
            const timespec pause{0, PARTIAL_SLEEP_NANOSECONDS};
            const int saved_errno = errno;
            nanosleep(&pause, nullptr);
            errno = saved_errno;
            continue;
        }
        int block_ms = LONGEST_BLOCK_MILLISECONDS;
        if (limit > 0) {
            const long long remaining_ms = (give_up_ns - now_ns) / 1'000'000 + 1;
            if (remaining_ms < block_ms) block_ms = static_cast<int>(remaining_ms);
        }
        // The failure lines report errno as the exchange left it, not as
        // an interrupted sleep did.
        const int saved_errno = errno;
        stream->wait_for_input(block_ms);
        errno = saved_errno;
    }
}

uint8_t Device::await_header_code() {
    if (!wait_until_available(1, timeout)) {
        const int err = errno;
        std::fprintf(stderr, "[err] %s:%u> timeout waiting for header code: [%d] %ls\n", __FILE__, __LINE__, err,
                     IO::error_text(err).c_str());
        std::fflush(stderr);
        return 0;
    }
    stream->read(reinterpret_cast<char*>(rx_buffer), 1);
    const auto state = stream->rdstate();
    if (state == std::ios::goodbit) return rx_buffer[0];
    if ((state & std::ios::eofbit) != 0) return 0;
    const int err = errno;
    std::fprintf(stderr, "[err] %s:%u> unable to read header code from stream: [%d] %ls\n", __FILE__, __LINE__, err,
                 IO::error_text(err).c_str());
    std::fflush(stderr);
    return 0;
}

uint32_t Device::await_payload(std::size_t n) {
    if (n > BUFFER_SIZE) return 0;
    if (!wait_until_available(n, timeout)) {
        const int err = errno;
        std::fprintf(stderr, "[err] %s:%u> timeout waiting for header code: [%d] %ls\n", __FILE__, __LINE__, err,
                     IO::error_text(err).c_str());
        std::fflush(stderr);
        return 0;
    }
    stream->read(reinterpret_cast<char*>(rx_buffer), static_cast<std::streamsize>(n));
    const auto state = stream->rdstate();
    if (state == std::ios::goodbit) return static_cast<uint32_t>(stream->gcount());
    if ((state & std::ios::eofbit) != 0) return 0;
    const int err = errno;
    std::fprintf(stderr, "[err] %s:%u> unable to read '%zu' bytes from stream: [%d] %ls\n", __FILE__, __LINE__, n, err,
                 IO::error_text(err).c_str());
    std::fflush(stderr);
    return 0;
}

}  // namespace Kivra::HardwareAPI::Devices

#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "KivraHardwareAPI/ServoLoop.h"

namespace Kivra::HardwareAPI::Servo {

// Counts of durations [ns] in log-linear buckets: exact below 64 ns, then 32
// buckets per power of two (about 3 % wide) up to 2^40 ns. One writer, which
// neither allocates nor locks; readers see counts that may lag by a tick.
class Histogram {
    static constexpr int SUB_BITS = 5;
    static constexpr int64_t SUB = int64_t(1) << SUB_BITS;

public:
    // Longer durations (about 18 minutes) are counted as this one.
    static constexpr int64_t LARGEST = (int64_t(1) << 40) - 1;
    static constexpr std::size_t BUCKETS = std::size_t((40 - SUB_BITS + 1) * SUB);

    void record(int64_t value);
    void reset();
    // Each percentile is the middle of its bucket, never above the largest value recorded.
    Percentiles percentiles() const;

    // The bucket of value [ns], 0 to LARGEST.
    static std::size_t index_of(int64_t value) {
        if (value < SUB) return std::size_t(value);
        const int most_significant = 63 - __builtin_clzll(static_cast<unsigned long long>(value));
        const int shift = most_significant - SUB_BITS;
        return std::size_t(int64_t(shift) * SUB + (value >> shift));
    }

    // The value [ns] a bucket stands for.
    static int64_t middle_of(std::size_t index) {
        if (int64_t(index) < 2 * SUB) return int64_t(index);
        const int64_t shift = int64_t(index) / SUB - 1;
        const int64_t sub = int64_t(index) - shift * SUB;
        return (sub << shift) + (int64_t(1) << shift) / 2;
    }

private:
    std::array<std::atomic<uint64_t>, BUCKETS> counts{};
    std::atomic<int64_t> largest{0};
};

}  // namespace Kivra::HardwareAPI::Servo

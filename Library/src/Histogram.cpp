#include "Histogram.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace Kivra::HardwareAPI::Servo {

namespace {

double seconds(int64_t nanoseconds) { return static_cast<double>(nanoseconds) / 1e9; }

}  // namespace

void Histogram::record(int64_t value) {
    value = std::clamp<int64_t>(value, 0, LARGEST);
    std::atomic<uint64_t>& count = counts[index_of(value)];
    count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (value > largest.load(std::memory_order_relaxed)) largest.store(value, std::memory_order_relaxed);
}

void Histogram::reset() {
    for (auto& count : counts) count.store(0, std::memory_order_relaxed);
    largest.store(0, std::memory_order_relaxed);
}

Percentiles Histogram::percentiles() const {
    static thread_local std::vector<uint64_t> snapshot;
    snapshot.resize(BUCKETS);
    uint64_t total = 0;
    for (std::size_t i = 0; i < BUCKETS; ++i) {
        snapshot[i] = counts[i].load(std::memory_order_relaxed);
        total += snapshot[i];
    }
    Percentiles result;
    if (total == 0) return result;
    const int64_t max = largest.load(std::memory_order_relaxed);
    auto at = [&](double quantile) {
        const uint64_t rank = std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(quantile * double(total))));
        uint64_t seen = 0;
        for (std::size_t i = 0; i < BUCKETS; ++i) {
            seen += snapshot[i];
            if (seen >= rank) return seconds(std::min(middle_of(i), max));
        }
        return seconds(max);
    };
    result.p50 = at(0.5);
    result.p99 = at(0.99);
    result.p999 = at(0.999);
    result.max = seconds(max);
    return result;
}

}  // namespace Kivra::HardwareAPI::Servo

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "Histogram.h"

using Kivra::HardwareAPI::Servo::Histogram;
using Kivra::HardwareAPI::Servo::Percentiles;

namespace {

TEST(HistogramBuckets, AreExactBelow64Nanoseconds) {
    for (int64_t value = 0; value < 64; ++value) {
        ASSERT_EQ(Histogram::index_of(value), std::size_t(value));
        ASSERT_EQ(Histogram::middle_of(Histogram::index_of(value)), value);
    }
}

TEST(HistogramBuckets, AreAbout3PercentWideAbove) {
    std::size_t previous = Histogram::index_of(63);
    for (int64_t value = 64; value <= Histogram::LARGEST; value += value / 61 + 1) {
        const std::size_t index = Histogram::index_of(value);
        ASSERT_LT(index, Histogram::BUCKETS) << value;
        ASSERT_GE(index, previous) << value;
        // Half a bucket of at most 1/32 of its value either side of the middle.
        ASSERT_NEAR(double(Histogram::middle_of(index)), double(value), double(value) / 64.0 + 1.0) << value;
        ASSERT_GT(Histogram::index_of(value + value / 31 + 1), index) << value;
        previous = index;
    }
    EXPECT_EQ(Histogram::index_of(Histogram::LARGEST), Histogram::BUCKETS - 1);
}

struct KnownSamples {
    const char* name;
    std::vector<int64_t> samples;
    Percentiles expected;  // [s]
};

struct HistogramPercentiles : testing::TestWithParam<KnownSamples> {};

TEST_P(HistogramPercentiles, AreTheBucketsOfTheirRanks) {
    Histogram histogram;
    histogram.record(5000);
    histogram.reset();
    for (int64_t sample : GetParam().samples) histogram.record(sample);
    const Percentiles got = histogram.percentiles(), want = GetParam().expected;
    EXPECT_DOUBLE_EQ(got.p50, want.p50);
    EXPECT_DOUBLE_EQ(got.p99, want.p99);
    EXPECT_DOUBLE_EQ(got.p999, want.p999);
    EXPECT_DOUBLE_EQ(got.max, want.max);
}

std::vector<int64_t> one_to(int64_t last) {
    std::vector<int64_t> out;
    for (int64_t value = 1; value <= last; ++value) out.push_back(value);
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Histogram, HistogramPercentiles,
    testing::Values(
        KnownSamples{"none", {}, {0, 0, 0, 0}}, KnownSamples{"exact", {40, 10, 30, 20}, {20e-9, 40e-9, 40e-9, 40e-9}},
        // Ranks 500, 990 and 999 fall in [496, 504), [976, 992) and [992, 1008).
        KnownSamples{"one_to_a_thousand", one_to(1000), {500e-9, 984e-9, 1000e-9, 1000e-9}},
        KnownSamples{"middle_above_the_largest", {977}, {977e-9, 977e-9, 977e-9, 977e-9}},
        KnownSamples{"negative_is_zero", {-7, -1}, {0, 0, 0, 0}},
        KnownSamples{"clamped_at_the_largest",
                     {3, Histogram::LARGEST + 12345},
                     // The last bucket is [63, 64) * 2^34 ns.
                     {3e-9, (63.5 * (1ll << 34)) / 1e9, (63.5 * (1ll << 34)) / 1e9, double(Histogram::LARGEST) / 1e9}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

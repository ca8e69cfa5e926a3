#include "KivraHardwareAPI/Clock.h"

#include <cmath>

namespace Kivra::HardwareAPI {

namespace {
constexpr long long NANOSECONDS_PER_SECOND = 1'000'000'000LL;
}  // namespace

long long monotonic_nanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * NANOSECONDS_PER_SECOND + now.tv_nsec;
}

std::time_t monotonic_seconds(long long nanoseconds) {
    return static_cast<std::time_t>(nanoseconds / NANOSECONDS_PER_SECOND);
}

long long deadline_from(long long start_ns, double timeout) {
    if (!(timeout > 0)) return 0;
    return start_ns + static_cast<long long>(std::ceil(timeout * 1e9));
}

long long deadline_after(double timeout) { return deadline_from(monotonic_nanoseconds(), timeout); }

}  // namespace Kivra::HardwareAPI

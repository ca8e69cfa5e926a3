#pragma once

// The one clock of the library: every deadline, time-out and loop period is
// measured on it, so that setting the wall clock moves none of them.

#include <ctime>

namespace Kivra::HardwareAPI {

// Monotonic clock [ns].
long long monotonic_nanoseconds();
// Whole seconds of a monotonic instant [ns]: the devices' own time-out rule
// counts on this one-second resolution.
std::time_t monotonic_seconds(long long nanoseconds);
// Monotonic instant timeout [s] after start_ns, rounded up to the next [ns];
// 0 (no limit) for a timeout of 0 or less.
long long deadline_from(long long start_ns, double timeout);
// The same from now.
long long deadline_after(double timeout);

}  // namespace Kivra::HardwareAPI

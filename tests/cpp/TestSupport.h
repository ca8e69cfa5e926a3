#pragma once

// What the C++ tests share: bytes as a device sends them, clocks, and the
// scale of every wall-clock bound.

#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A message: its code, then the values as little-endian floats (as the test machines store them).
inline Bytes floats(uint8_t code, std::initializer_list<float> values) {
    Bytes out{code};
    for (float v : values) {
        uint8_t b[4];
        std::memcpy(b, &v, 4);
        out.insert(out.end(), b, b + 4);
    }
    return out;
}

// [s] of wall-clock time since start.
inline double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// [s] of processor time the calling thread has used.
inline double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// How much slower than a plain build on an idle machine this run may be
// (sanitizers, emulation): KIVRA_TIME_SCALE, 1 when unset.
inline double time_scale() {
    static const double scale = [] {
        const char* text = std::getenv("KIVRA_TIME_SCALE");
        const double value = text ? std::atof(text) : 1.0;
        return value >= 1.0 ? value : 1.0;
    }();
    return scale;
}

// An upper bound [s] on wall-clock time, widened for a slow run.
inline double bound(double seconds) { return seconds * time_scale(); }

// The servo loop in a plain C++ process: the reference the servo loop inside
// PyPy (client.py servo) is held to. Same effects, same host force updates at
// 100 Hz, no Python and no allocating thread. With "busy" the main thread
// spins between the updates instead of sleeping: it takes a whole processor,
// as the allocating Python thread does, without allocating anything.
//
// Usage: kivra_bench_servo PORT RATE [busy]. Each line "run SECONDS" on standard
// input runs a fresh loop for that long and prints one line of its
// statistics (see servo_line in client.py for the fields); "ready" tells that
// the port is open. End of input ends the client.

#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "KivraHardwareAPI/Pendra3.h"
#include "KivraHardwareAPI/SerialStream.h"
#include "KivraHardwareAPI/ServoLoop.h"

using namespace Kivra::HardwareAPI;

namespace {

constexpr long HOST_INTERVAL_NS = 10'000'000;
constexpr double PI = 3.14159265358979323846;

long long monotonic_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec;
}

// The responder echoes the force as the position, so the effects are mild:
// a weak spring that the echo cannot drive into oscillation and a wall that
// is never reached, evaluated every tick all the same.
Servo::Effects bench_effects() {
    Servo::Effects effects;
    effects.spring.enabled = true;
    effects.spring.stiffness = 0.5f;
    effects.spring.damping = 0.01f;
    effects.walls[0].enabled = true;
    effects.walls[0].point = {-100.0f, 0.0f, 0.0f};
    effects.walls[0].normal = {1.0f, 0.0f, 0.0f};
    effects.walls[0].stiffness = 800.0f;
    effects.walls[0].damping = 4.0f;
    return effects;
}

long long ns(double seconds) { return std::llround(seconds * 1e9); }

}  // namespace

int main(int argc, char** argv) {
    const bool busy = argc == 4 && std::string(argv[3]) == "busy";
    if (argc != 3 && !busy) {
        std::fprintf(stderr, "usage: %s PORT RATE [busy]\n", argv[0]);
        return 2;
    }
    IO::SerialStream stream(argv[1]);
    Devices::Pendra3 arm(&stream);
    Servo::LoopOptions options;
    options.rate = std::atof(argv[2]);
    std::printf("ready\n");
    std::fflush(stdout);

    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.rfind("run ", 0) != 0) continue;
        const double seconds = std::atof(line.c_str() + 4);
        Servo::ServoLoop loop(arm, options);
        loop.set_effects(bench_effects());
        loop.start();
        const long long began = monotonic_ns();
        const long long end = began + ns(seconds);
        for (long long next = began; next < end;) {
            const double t = double(next - began) * 1e-9;
            loop.set_host_force({static_cast<float>(-2.5 * std::sin(2.0 * PI * t / 2.0)), 0.0f, 0.0f});
            next += HOST_INTERVAL_NS;
            if (busy) {
                while (monotonic_ns() < next) {
                }
                continue;
            }
            timespec wake{time_t(next / 1'000'000'000LL), long(next % 1'000'000'000LL)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
        }
        loop.stop();
        const Servo::LoopStatistics s = loop.statistics();
        const Servo::Percentiles& late = s.wakeup_lateness;
        const Servo::Percentiles& exchange = s.exchange_time;
        std::printf("%llu %llu %llu %d %lld %lld %lld %lld %lld %lld %lld %lld\n",
                    static_cast<unsigned long long>(s.ticks), static_cast<unsigned long long>(s.missed_deadlines),
                    static_cast<unsigned long long>(s.failed_exchanges), s.realtime_granted ? 1 : 0, ns(late.p50),
                    ns(late.p99), ns(late.p999), ns(late.max), ns(exchange.p50), ns(exchange.p99), ns(exchange.p999),
                    ns(exchange.max));
        std::fflush(stdout);
    }
    return 0;
}

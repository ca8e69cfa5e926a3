#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <unistd.h>

#include "KivraHardwareAPI/Recording.h"
#include "KivraHardwareAPI/RecordingReader.h"
#include "KivraHardwareAPI/ServoLoop.h"
#include "PtyPeer.h"
#include "TestSupport.h"

using namespace Kivra::HardwareAPI::Servo;
using Kivra::HardwareAPI::Devices::Pendra3;
using Kivra::HardwareAPI::IO::SerialStream;

namespace {

struct Request {
    Clock::time_point time;
    Vector3 force;
};

// Answers every 13-byte force request with a state reply; by default the
// request's index in every coordinate, so any mix of two replies shows.
class ForcePeer {
public:
    ForcePeer() {
        pty.answer_each(13, [this](const Bytes& request) {
            std::unique_lock<std::mutex> guard(mutex);
            const uint64_t index = seen.size();
            seen.push_back({Clock::now(), {}});
            std::memcpy(seen.back().force.data(), &request[1], 12);
            const float value = coordinate(index);
            const auto wait = index == delayed_request ? delay : std::chrono::milliseconds(0);
            guard.unlock();
            std::this_thread::sleep_for(wait);
            return floats(43, {value, value, value, value, value, value});
        });
    }
    void answer(std::function<float(uint64_t)> coordinate, uint64_t delayed = UINT64_MAX, int delay_ms = 0) {
        std::lock_guard<std::mutex> guard(mutex);
        this->coordinate = coordinate, delayed_request = delayed, delay = std::chrono::milliseconds(delay_ms);
    }
    const std::string& path() const { return pty.path(); }
    // Bytes nobody asked for, as a line with a stray reply carries them.
    void send(const Bytes& bytes) const { pty.send(bytes); }
    std::vector<Request> requests() const {
        std::lock_guard<std::mutex> guard(mutex);
        return seen;
    }

private:
    mutable std::mutex mutex;
    std::vector<Request> seen;
    std::function<float(uint64_t)> coordinate = [](uint64_t index) { return float(index); };
    uint64_t delayed_request = UINT64_MAX;
    std::chrono::milliseconds delay{0};
    PtyPeer pty;  // last: its answers stop before the rest goes
};

struct ServoOnPty : testing::Test {
    ForcePeer peer;
    SerialStream stream{peer.path().c_str()};
    Pendra3 arm{&stream};
    LoopOptions options;
    void SetUp() override {
        arm.timeout = 1.0f;
        options.realtime = false;
        options.exchange_timeout = 2.0;  // a stalled peer must not shift replies to later ticks
    }
};

void run_for(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// Counts ticks rather than time, so that a busy machine slows the test down instead of failing it.
void run_ticks(const ServoLoop& loop, uint64_t ticks) {
    for (int i = 0; i < 3000 * time_scale() && loop.statistics().ticks < ticks; ++i) run_for(0.001);
}

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

void expect_near(const Vector3& actual, const Vector3& expected, float tolerance) {
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << "component " << i;
}

Effects with(std::function<void(Effects&)> change) {
    Effects effects;
    effects.force_limit = Kivra::HardwareAPI::Servo::MAX_FORCE;
    change(effects);
    return effects;
}

WallEffect wall(Vector3 normal, float stiffness, float damping) {
    return {true, {0, 0, 0}, normal, stiffness, damping};
}

template <typename Case>
std::string name_of(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

struct ForceLawCase {
    const char* name;
    Effects effects;
    Vector3 position, velocity, expected;
};

struct ServoForceLaw : testing::TestWithParam<ForceLawCase> {};

TEST_P(ServoForceLaw, GivesTheDefinedForce) {
    const ForceLawCase& c = GetParam();
    const Vector3 force = clamp_force(effects_force(c.effects, c.position, c.velocity), c.effects.force_limit);
    expect_near(force, c.expected, 1e-4f);
}

const float NOT_A_NUMBER = std::numeric_limits<float>::quiet_NaN();
const float INFINITE = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    ServoEffects, ServoForceLaw,
    testing::Values(ForceLawCase{"spring",
                                 with([](Effects& e) {
                                     e.spring = {true, {0, 0, 0.1f}, 100, 0};
                                 }),
                                 {0.01f, 0, 0.1f},
                                 {},
                                 {-1, 0, 0}},
                    ForceLawCase{"spring_damping",
                                 with([](Effects& e) {
                                     e.spring = {true, {}, 100, 2};
                                 }),
                                 {0, 0.02f, 0},
                                 {0, 0.5f, 0},
                                 {0, -3, 0}},
                    ForceLawCase{"wall_outside",
                                 with([](Effects& e) {
                                     e.walls[0] = wall({0, 0, 2}, 1000, 10);
                                 }),
                                 {0, 0, 0.01f},
                                 {0, 0, -1},
                                 {}},
                    ForceLawCase{"wall_inside",
                                 with([](Effects& e) {
                                     e.walls[0] = wall({0, 0, 2}, 1000, 10);
                                 }),
                                 {0.3f, 0, -0.01f},
                                 {},
                                 {0, 0, 10}},
                    ForceLawCase{"wall_moving_in",
                                 with([](Effects& e) {
                                     e.walls[0] = wall({0, 0, 2}, 1000, 10);
                                 }),
                                 {0, 0, -0.01f},
                                 {0, 0, -0.5f},
                                 {0, 0, 15}},
                    ForceLawCase{"wall_never_pulls",
                                 with([](Effects& e) {
                                     e.walls[0] = wall({0, 0, 2}, 1000, 10);
                                 }),
                                 {0, 0, -0.01f},
                                 {0, 0, 2},
                                 {}},
                    ForceLawCase{"wall_tilted",
                                 with([](Effects& e) {
                                     e.walls[1] = wall({1, 1, 0}, 1000, 0);
                                 }),
                                 {-0.01f, -0.01f, 0},
                                 {},
                                 {10, 10, 0}},
                    ForceLawCase{"wall_zero_normal",
                                 with([](Effects& e) {
                                     e.walls[0] = wall({0, 0, 0}, 1000, 0);
                                 }),
                                 {0, 0, -1},
                                 {},
                                 {}},
                    ForceLawCase{
                        "viscous", with([](Effects& e) { e.viscous_damping = 3; }), {}, {1, -2, 0}, {-3, 6, 0}},
                    ForceLawCase{"constant_plus_spring",
                                 with([](Effects& e) {
                                     e.constant_force = {1, 2, 3};
                                     e.spring = {true, {}, 10, 0};
                                 }),
                                 {0.1f, 0, 0},
                                 {},
                                 {0, 2, 3}},
                    ForceLawCase{"clamped",
                                 with([](Effects& e) {
                                     e.constant_force = {3, 4, 0};
                                     e.force_limit = 2.5f;
                                 }),
                                 {},
                                 {},
                                 {1.5f, 2, 0}},
                    ForceLawCase{"no_limit_sends_zero",
                                 with([](Effects& e) {
                                     e.constant_force = {3, 4, 0};
                                     e.force_limit = 0;
                                 }),
                                 {},
                                 {},
                                 {}}),
    name_of<ForceLawCase>);

struct LoopForceCase {
    const char* name;
    Effects effects;
    Vector3 expected;
    bool refused;
};

struct ServoLoopForce : ServoOnPty, testing::WithParamInterface<LoopForceCase> {};

// The arm reports x = 0.01 m in every coordinate; each tick's force comes from the previous reply.
TEST_P(ServoLoopForce, SendsTheClampedSumOrZero) {
    peer.answer([](uint64_t) { return 0.01f; });
    ServoLoop loop(arm, options);
    loop.set_effects(GetParam().effects);
    ASSERT_TRUE(loop.start());
    run_ticks(loop, 30);
    loop.stop();
    const auto requests = peer.requests();
    const LoopStatistics statistics = loop.statistics();
    ASSERT_GE(requests.size(), 20u);
    ASSERT_EQ(requests.size(), statistics.ticks + 1);  // and the zero force of stop
    expect_near(requests.front().force, {}, 0);
    for (std::size_t i = 1; i + 1 < requests.size(); ++i) expect_near(requests[i].force, GetParam().expected, 1e-5f);
    expect_near(requests.back().force, {}, 0);
    EXPECT_EQ(statistics.refused_forces, GetParam().refused ? statistics.ticks - 1 : 0u);
    EXPECT_EQ(statistics.failed_exchanges, 0u);
}

INSTANTIATE_TEST_SUITE_P(ServoEffects, ServoLoopForce,
                         testing::Values(LoopForceCase{"spring",
                                                       with([](Effects& e) {
                                                           e.spring = {true, {}, 100, 0};
                                                       }),
                                                       {-1, -1, -1},
                                                       false},
                                         LoopForceCase{"clamped",
                                                       with([](Effects& e) {
                                                           e.constant_force = {3, 0, 4};
                                                           e.force_limit = 2.5f;
                                                       }),
                                                       {1.5f, 0, 2},
                                                       false}),
                         name_of<LoopForceCase>);

// A device that reports a position that is not a number gets zero force, however stiff the spring.
TEST_F(ServoOnPty, RefusesForcesOfANonFinitePosition) {
    peer.answer([](uint64_t) { return NOT_A_NUMBER; });
    ServoLoop loop(arm, options);
    loop.set_effects(with([](Effects& e) { e.spring = {true, {}, 100, 0}; }));
    ASSERT_TRUE(loop.start());
    run_ticks(loop, 20);
    loop.stop();
    for (const Request& request : peer.requests()) expect_near(request.force, {}, 0);
    EXPECT_EQ(loop.statistics().refused_forces, loop.statistics().ticks - 1);
}

struct UnsafeEffectsCase {
    const char* name;
    Effects effects;
    const char* problem;
};

struct ServoUnsafeEffects : ServoOnPty, testing::WithParamInterface<UnsafeEffectsCase> {};

TEST_P(ServoUnsafeEffects, AreRefusedAndKeepThePreviousOnes) {
    ServoLoop loop(arm, options);
    const Effects before = with([](Effects& e) { e.viscous_damping = 2; });
    loop.set_effects(before);
    try {
        loop.set_effects(GetParam().effects);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), GetParam().problem);
    }
    EXPECT_EQ(loop.effects().viscous_damping, 2.0f);
}

INSTANTIATE_TEST_SUITE_P(ServoEffects, ServoUnsafeEffects,
                         testing::Values(UnsafeEffectsCase{"nan", with([](Effects& e) {
                                                               e.constant_force = {1, NOT_A_NUMBER, 0};
                                                           }),
                                                           "constant force must be finite"},
                                         UnsafeEffectsCase{"infinite", with([](Effects& e) {
                                                               e.spring = {true, {}, INFINITE, 0};
                                                           }),
                                                           "spring stiffness must be finite and 0 or more"},
                                         UnsafeEffectsCase{"negative_damping", with([](Effects& e) {
                                                               e.walls[1] = wall({0, 0, 1}, 10, -1);
                                                           }),
                                                           "wall damping must be finite and 0 or more"},
                                         UnsafeEffectsCase{"zero_normal", with([](Effects& e) {
                                                               e.walls[3] = wall({0, 0, 0}, 10, 1);
                                                           }),
                                                           "wall normal must not be zero"},
                                         UnsafeEffectsCase{
                                             "limit_above_maximum", with([](Effects& e) { e.force_limit = 20.5f; }),
                                             "force limit must be above 0 and at most the arm's maximum force"}),
                         name_of<UnsafeEffectsCase>);

struct RampCase {
    const char* name;
    bool release;  // otherwise the host force's hold time runs out
};

struct ServoRamp : ServoOnPty, testing::WithParamInterface<RampCase> {};

TEST_P(ServoRamp, ForceRampsToZero) {
    options.host_force_hold = 0.08;
    options.host_force_ramp = 0.08;
    const double hold = GetParam().release ? 0.0 : options.host_force_hold;
    ServoLoop loop(arm, options);
    const Clock::time_point before_start = Clock::now();
    ASSERT_TRUE(loop.start());
    run_for(0.01);
    const Clock::time_point action = Clock::now();
    if (GetParam().release)
        loop.set_effects(with([](Effects& e) { e.constant_force = {2, 0, 0}; })), loop.release();
    else
        loop.set_host_force({2, 0, 0});
    const Clock::time_point acted = Clock::now();
    const uint64_t ticks_at_action = loop.statistics().ticks;
    run_for(hold + options.host_force_ramp + 0.04);
    run_ticks(loop, ticks_at_action + 40);
    loop.stop();
    // 2 N until the ramp starts, then linearly to zero, over the time since the call.
    auto expected = [&](double t) { return 2.0 * std::clamp(1.0 - (t - hold) / options.host_force_ramp, 0.0, 1.0); };
    const auto requests = peer.requests();
    std::vector<TickState> trace(requests.size());
    trace.resize(loop.drain_trace(trace.data(), trace.size()));
    ASSERT_EQ(trace.size() + 1, requests.size());
    std::size_t checked = 0;
    // A tick computes its force after its deadline and before the peer receives it.
    for (std::size_t k = 1; k < trace.size(); ++k) {
        ASSERT_EQ(trace[k].force[0], requests[k].force[0]);
        const double deadline = seconds_between(acted, before_start) + trace[k].time;
        EXPECT_LE(trace[k].force[0], expected(deadline) + 1e-4) << "tick " << k;
        if (requests[k - 1].time < acted) continue;  // it may have begun before the call
        EXPECT_GE(trace[k].force[0], expected(seconds_between(action, requests[k].time)) - 1e-4) << "tick " << k;
        ++checked;
    }
    EXPECT_GE(checked, 20u);
}

INSTANTIATE_TEST_SUITE_P(ServoForces, ServoRamp,
                         testing::Values(RampCase{"host_force_hold", false}, RampCase{"release", true}),
                         name_of<RampCase>);

TEST(ServoSilentArm, CountsFailedExchangesAndKeepsTheGrid) {
    PtyPeer silent;
    SerialStream stream(silent.path().c_str());
    Pendra3 arm(&stream);
    LoopOptions options;
    options.rate = 0.0;
    try {
        ServoLoop refused(arm, options);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "servo rate 0.000000 Hz is outside 1.000000 to 10000.000000 Hz");
    }
    options.rate = 1000.0;
    options.realtime = false;
    options.exchange_timeout = 0.005;
    ServoLoop loop(arm, options);
    ASSERT_TRUE(loop.start());
    run_ticks(loop, 8);
    loop.stop();
    const LoopStatistics statistics = loop.statistics();
    EXPECT_GE(statistics.ticks, 8u);
    // Every exchange timed out, but the one that stop() cut short.
    EXPECT_GE(statistics.failed_exchanges + 1, statistics.ticks);
    EXPECT_EQ(statistics.timeouts, statistics.failed_exchanges);
    EXPECT_EQ(statistics.last_failure.kind, Kivra::HardwareAPI::OutcomeKind::timed_out);
    EXPECT_GE(statistics.missed_deadlines, 4 * statistics.ticks - 4);  // each 5 ms exchange passes 4 deadlines
}

TEST_F(ServoOnPty, SnapshotsAndTraceAreNeverTorn) {
    options.rate = 2000.0;
    ServoLoop loop(arm, options);
    std::atomic<bool> reading{true};
    std::atomic<uint64_t> reads{0}, torn{0}, backwards{0};
    std::thread reader([&] {
        uint64_t last = 0;
        while (reading) {
            const TickState s = loop.state();
            const float expected = float(s.tick);
            for (int i = 0; i < 3; ++i) torn += s.position[i] != expected || s.velocity[i] != expected;
            backwards += s.tick < last;
            last = s.tick;
            ++reads;
        }
    });
    // Further readers see every tick the trace sees, until they are detached.
    TraceTap tap(4096), detached(4096);
    ASSERT_TRUE(loop.attach(tap) && loop.attach(detached));
    const auto before = std::chrono::system_clock::now();
    ASSERT_TRUE(loop.start());
    const auto started = std::chrono::system_clock::time_point(std::chrono::nanoseconds(loop.started_at()));
    EXPECT_TRUE(before <= started && started <= std::chrono::system_clock::now());
    std::vector<TickState> trace(4096);
    std::size_t drained = 0;
    for (int i = 0; i < 30; ++i) {
        run_for(0.01);
        drained += loop.drain_trace(trace.data() + drained, trace.size() - drained);
        if (i == 10) {
            loop.detach(detached);
            loop.set_effects(with([](Effects& e) { e.viscous_damping = 0.5f; }));
        }
    }
    // Stop may cut the last tick's exchange short, and that tick keeps the
    // previous position: the reader is done before.
    reading = false;
    reader.join();
    loop.stop();
    drained += loop.drain_trace(trace.data() + drained, trace.size() - drained);

    EXPECT_GT(reads.load(), 1000u);
    EXPECT_EQ(torn.load() + backwards.load(), 0u);
    const LoopStatistics statistics = loop.statistics();
    ASSERT_EQ(statistics.failed_exchanges, 0u);
    ASSERT_EQ(drained, statistics.ticks);
    EXPECT_EQ(loop.trace_dropped(), 0u);
    const auto interrupted = int32_t(Kivra::HardwareAPI::OutcomeKind::interrupted);
    for (std::size_t i = 0; i < drained; ++i) {
        const bool cut_short = i + 1 == drained && trace[i].outcome == interrupted;
        ASSERT_TRUE(trace[i].tick == i && (cut_short || trace[i].position[2] == float(i)))
            << i << ": outcome " << trace[i].outcome;
    }
    const Percentiles& exchange = statistics.exchange_time;
    EXPECT_TRUE(0 < exchange.p50 && exchange.p50 <= exchange.p99 && exchange.p99 <= exchange.p999 &&
                exchange.p999 <= exchange.max);

    std::vector<TickState> tapped(4096), early(4096);
    ASSERT_EQ(tap.drain(tapped.data(), tapped.size()), drained);
    const std::size_t before_detach = detached.drain(early.data(), early.size());
    EXPECT_TRUE(before_detach > 0 && before_detach < drained) << before_detach << " of " << drained;
    EXPECT_EQ(tap.dropped() + detached.dropped(), 0u);
    for (std::size_t i = 0; i < drained; ++i) {
        ASSERT_EQ(tapped[i].tick, trace[i].tick);
        ASSERT_EQ(tapped[i].position[2], trace[i].position[2]);
        if (i < before_detach) {
            ASSERT_EQ(early[i].tick, i);
        }
        ASSERT_GT(trace[i].exchange_time, 0.0f) << i;
        // The effects changed once, and a tick that saw the change never precedes one that did not.
        ASSERT_LE(trace[i].effects_changes, 1u);
        if (i > 0) {
            ASSERT_GE(trace[i].effects_changes, trace[i - 1].effects_changes);
        }
    }
    EXPECT_EQ(trace[drained - 1].effects_changes, 1u);
    EXPECT_EQ(early[before_detach - 1].effects_changes, 0u);
}

// Renders (k, k, -k) from two halves set apart: a tick that took half of
// one scene and half of another would show it.
class TwoHalvesScene : public Scene {
public:
    TwoHalvesScene(double k, std::atomic<int>& alive, std::atomic<int>& freed_on_servo_thread)
        : first(k), second(k), alive(alive), freed_on_servo_thread(freed_on_servo_thread) {
        ++alive;
    }
    ~TwoHalvesScene() override {
        --alive;
        freed_on_servo_thread += rendering_thread;
    }
    std::array<double, 3> render(const SceneInput&) noexcept override {
        rendering_thread = true;
        return {first, second, -first};
    }

private:
    static thread_local bool rendering_thread;
    const double first, second;
    std::atomic<int>& alive;
    std::atomic<int>& freed_on_servo_thread;
};
thread_local bool TwoHalvesScene::rendering_thread = false;

TEST_F(ServoOnPty, ScenesSwitchWholeBetweenTicksAndAreFreedOffTheServoThread) {
    std::atomic<int> alive{0}, freed_on_servo_thread{0};
    {
        ServoLoop loop(arm, options);
        std::atomic<bool> reading{true};
        std::atomic<uint64_t> mixed{0}, switches{0};
        std::thread reader([&] {
            float last = 0.0f;
            while (reading) {
                const Vector3 f = loop.state().force;
                mixed += f[0] != f[1] || f[2] != -f[0];
                switches += f[0] != last;
                last = f[0];
            }
        });
        ASSERT_TRUE(loop.start());
        for (int k = 1; k <= 200; ++k) {
            loop.set_scene(std::make_unique<TwoHalvesScene>(0.01 * k, alive, freed_on_servo_thread));
            run_for(0.002);
        }
        reading = false;
        reader.join();
        loop.stop();
        EXPECT_EQ(mixed.load(), 0u);
        EXPECT_GT(switches.load(), 20u);
        EXPECT_GE(loop.state().scene_changes, switches.load());
        EXPECT_EQ(alive.load(), 1);  // the last one, kept for a restart
    }
    EXPECT_EQ(alive.load(), 0);
    EXPECT_EQ(freed_on_servo_thread.load(), 0);
}

TEST_F(ServoOnPty, SkipsMissedDeadlinesWithoutCatchingUp) {
    peer.answer([](uint64_t index) { return float(index); }, 30, 20);
    options.trace_capacity = 50;
    ServoLoop loop(arm, options);
    ASSERT_TRUE(loop.start());
    run_ticks(loop, 90);
    loop.stop();
    const auto requests = peer.requests();
    const LoopStatistics statistics = loop.statistics();
    std::vector<TickState> trace(100);
    ASSERT_EQ(loop.drain_trace(trace.data(), trace.size()), 50u);
    EXPECT_EQ(loop.trace_dropped(), statistics.ticks - 50);  // the newest are dropped
    EXPECT_EQ(trace[49].tick, 49u);

    // Every tick keeps to the 1 ms grid; the stall skips at least 19 of its deadlines.
    EXPECT_GE(statistics.missed_deadlines, 19u);
    const double stall = trace[31].time - trace[30].time;
    EXPECT_GE(stall, 0.0205);
    EXPECT_NEAR(stall * 1000.0, std::round(stall * 1000.0), 1e-6);
    const TickState last = loop.state();
    // Its deadline lies past those of the ticks before it and the ones skipped
    // so far; a last tick that overran skipped more after it.
    const double skipped = last.time * 1000.0 - double(last.tick);
    EXPECT_NEAR(skipped, std::round(skipped), 1e-6);
    EXPECT_GE(skipped, 19.0);
    EXPECT_LE(skipped, double(statistics.missed_deadlines) + 1e-6);
    EXPECT_GE(statistics.exchange_time.max, 0.019);
    EXPECT_LT(statistics.exchange_time.p50, bound(0.005));
    // A catch-up would send the ~19 skipped ticks at once after the stall.
    const Clock::time_point stall_end = requests[30].time + std::chrono::milliseconds(20);
    int soon_after = 0;
    for (const Request& request : requests)
        soon_after += request.time > stall_end && request.time < stall_end + std::chrono::milliseconds(10);
    EXPECT_LE(soon_after, 12);
}

TEST_F(ServoOnPty, TheLastZeroForceGoesOutOnALineThatNeverFallsQuiet) {
    // After a time-out the loop waits for a quiet line before it asks again;
    // stray bytes every millisecond keep the line from ever falling quiet.
    options.exchange_timeout = 0.005;
    ServoLoop loop(arm, options);
    loop.set_effects(with([](Effects& e) { e.constant_force = {1, 0, 0}; }));
    ASSERT_TRUE(loop.start());
    run_ticks(loop, 20);
    std::atomic<bool> babbling{true};
    std::thread babbler([&] {
        while (babbling) {
            peer.send({0x55});
            run_for(0.001);
        }
    });
    for (int i = 0; i < 3000 * time_scale() && loop.statistics().failed_exchanges < 3; ++i) run_for(0.001);
    loop.stop();
    babbling = false;
    babbler.join();
    ASSERT_GE(loop.statistics().failed_exchanges, 3u);
    // The peer reads on a thread of its own.
    for (int i = 0; i < 1000 * time_scale() && peer.requests().back().force[0] != 0.0f; ++i) run_for(0.001);
    const auto requests = peer.requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[requests.size() - 2].force[0], 1.0f);
    EXPECT_EQ(requests.back().force[0], 0.0f);
}

TEST_F(ServoOnPty, StopLeavesTheArmUsable) {
    options.realtime = true;
    ServoLoop loop(arm, options);
    loop.set_effects(with([](Effects& e) { e.constant_force = {1, 0, 0}; }));
    ASSERT_TRUE(loop.start());
    EXPECT_FALSE(loop.start());
    run_ticks(loop, 20);
    loop.stop();
    EXPECT_FALSE(loop.running());
    const LoopStatistics statistics = loop.statistics();
    EXPECT_EQ(statistics.realtime_granted && statistics.memory_locked, statistics.realtime_errno == 0);
    auto requests = peer.requests();
    ASSERT_EQ(requests.size(), statistics.ticks + 1);
    EXPECT_EQ(requests[requests.size() - 2].force[0], 1.0f);
    EXPECT_EQ(requests.back().force[0], 0.0f);

    const auto state = arm.end_effector_force({0.5f, 0, 0});
    requests = peer.requests();
    EXPECT_TRUE(requests.back().force[0] == 0.5f && state[0][0] == float(requests.size() - 1));
    EXPECT_TRUE(loop.start());
}

TEST_F(ServoOnPty, ARecordingReadsAHandleOnAThreadOfItsOwnUntilItStops) {
    namespace Recording = Kivra::HardwareAPI::Recording;
    ServoLoop loop(arm, options);
    ASSERT_TRUE(loop.start());
    char path[] = "/tmp/kivra-handle-XXXXXX";
    close(mkstemp(path));
    std::atomic<uint64_t> reads{0};
    std::atomic<bool> released{false};
    Kivra::HardwareAPI::Devices::HandleFrameSource source;
    source.read = [&](Kivra::HardwareAPI::Devices::ManiloStatus& status, double) -> int32_t {
        run_for(0.002);  // a frame every 2 ms, however fast the recording takes them
        status.buttons = uint8_t(reads.fetch_add(1) & 7);
        status.quaternion = {1, 0, 0, 0};
        return 0;
    };
    source.release = [&] { released = true; };
    Recording::Recorder recorder(loop, path);
    ASSERT_TRUE(recorder.attach_handle(source));
    EXPECT_FALSE(recorder.attach_handle(source));  // one handle at a time
    run_ticks(loop, 50);
    for (int i = 0; i < 3000 * time_scale() && reads < 20; ++i) run_for(0.001);
    recorder.stop();
    const uint64_t read = reads;
    EXPECT_TRUE(released);
    run_for(0.02);
    EXPECT_EQ(reads, read);  // nothing read after the stop
    EXPECT_FALSE(recorder.attach_handle(source));
    // Every frame read is in the file, on the handle's two topics.
    EXPECT_EQ(recorder.status().handle_frames, read);
    Recording::McapReader reader(path);
    Recording::McapReader::Record record;
    std::map<uint16_t, std::string> topics;
    std::map<std::string, uint64_t> messages;
    while (reader.next(record)) {
        if (record.kind == Recording::McapReader::Kind::channel) topics[record.id] = record.name;
        if (record.kind == Recording::McapReader::Kind::message) ++messages[topics[record.id]];
    }
    EXPECT_GE(read, 20u);
    EXPECT_EQ(messages[Recording::HANDLE_BUTTONS_TOPIC], read);
    EXPECT_EQ(messages[Recording::HANDLE_ORIENTATION_TOPIC], read);
    unlink(path);
}

}  // namespace

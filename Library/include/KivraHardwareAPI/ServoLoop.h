#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "KivraHardwareAPI/Outcome.h"
#include "KivraHardwareAPI/Pendra3.h"

namespace Kivra::HardwareAPI::Servo {

using Devices::Vector3;

constexpr std::size_t MAX_WALLS = 4;

// The most force [N] the library ever sends the arm: a force limit may only
// lower it, and the servo thread clamps every sum to it whatever it was given.
constexpr float MAX_FORCE = 20.0f;
// The rates [Hz] a loop may run at.
constexpr double LOWEST_RATE = 1.0;
constexpr double HIGHEST_RATE = 10000.0;

// Pulls towards anchor [m]: F = -stiffness (x - anchor) - damping v.
struct SpringEffect {
    bool enabled = false;
    Vector3 anchor{};
    float stiffness = 0.0f;  // [N/m]
    float damping = 0.0f;    // [N s/m]
};

// A plane through point [m] with its outward normal (need not be unit
// length; a zero normal disables the wall). Beyond the plane (penetration
// d = -(x - point) . n > 0) it pushes out along n with stiffness d plus
// damping of the normal velocity, and never pulls in: the normal force is
// clamped at zero.
struct WallEffect {
    bool enabled = false;
    Vector3 point{};
    Vector3 normal{0.0f, 0.0f, 1.0f};
    float stiffness = 0.0f;  // [N/m]
    float damping = 0.0f;    // [N s/m]
};

// Everything the servo thread sums each tick, set by the host as a whole.
struct Effects {
    SpringEffect spring;
    std::array<WallEffect, MAX_WALLS> walls{};
    float viscous_damping = 0.0f;  // [N s/m], F = -b v
    Vector3 constant_force{};      // [N]
    float force_limit = 10.0f;     // [N], magnitude of the sum, above 0 and at most MAX_FORCE
};

// Why effects cannot be rendered safely (a non-finite value, a negative
// stiffness or damping, which would push energy into the hand, a zero wall
// normal, a force limit outside (0, MAX_FORCE]), or nullptr when they can.
// A static text naming the field.
const char* effects_problem(const Effects& effects);

// The gains a person or a remote program may set from outside the process
// (the web page's sliders, a network command): a stiffness beyond these
// cannot be rendered passively by the arm at usual rates.
constexpr float MAX_WALL_STIFFNESS = 5000.0f;    // [N/m]
constexpr float MAX_SPRING_STIFFNESS = 1000.0f;  // [N/m]
constexpr float MAX_EFFECT_DAMPING = 20.0f;      // [N s/m], of a wall, the spring and the viscous damping

// effects_problem, and beyond it a gain above those ranges: a static text
// naming the field, or nullptr.
const char* effects_range_problem(const Effects& effects);

// Force of the effects (without host force and limit) at position [m] and velocity [m/s].
Vector3 effects_force(const Effects& effects, const Vector3& position, const Vector3& velocity);

// Scales force down to magnitude limit (keeping its direction).
Vector3 clamp_force(const Vector3& force, float limit);

struct LoopOptions {
    double rate = 1000.0;  // [Hz], LOWEST_RATE to HIGHEST_RATE
    // [s] per exchange; 0 or less: a little under the period (at most 50 ms),
    // so that a lost or truncated reply costs one tick.
    double exchange_timeout = 0.0;
    double host_force_hold = 0.05;  // [s] a host force is held this long after its last update...
    double host_force_ramp = 0.1;   // [s] ...then ramps linearly to zero over this time
    bool realtime = true;           // ask for SCHED_FIFO and locked memory; run anyway when refused
    int realtime_priority = 80;
    std::size_t trace_capacity = 8192;  // ticks kept for drain_trace
};

// State of one tick, as published to readers.
struct TickState {
    uint64_t tick = 0;             // index of the tick, from 0
    double time = 0.0;             // [s] since the loop started, at the tick's deadline
    Vector3 position{};            // [m]
    Vector3 velocity{};            // [m/s]
    Vector3 force{};               // [N] sent in this tick
    Vector3 host_force{};          // [N] the host force's contribution after hold and ramp
    int32_t outcome = 0;           // OutcomeKind of the tick's exchange
    float wakeup_lateness = 0.0f;  // [s] from the deadline to the wake-up; 0 for a tick run early for new commands
    float exchange_time = 0.0f;    // [s] the tick's exchange took
    uint32_t effects_changes = 0;  // how often effects were set or released before this tick, since construction
    uint32_t scene_changes = 0;    // how many scenes the servo thread has switched to, since construction
};

// A reader of every tick beside the loop's own trace (a recorder, a
// publisher), attached with ServoLoop::attach: a ring of its own that the
// servo thread fills without waiting. While it is full, new ticks are
// dropped (the kept ones stay) and counted. One thread at a time drains it.
class TraceTap {
public:
    explicit TraceTap(std::size_t capacity);
    TraceTap(const TraceTap&) = delete;
    TraceTap& operator=(const TraceTap&) = delete;

    // Moves up to capacity of the oldest kept ticks into out, oldest first; returns how many.
    std::size_t drain(TickState* out, std::size_t capacity);
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
    std::size_t capacity() const { return ring_.size(); }

    // The producer's side: never allocates or waits.
    void push(const TickState& state) noexcept;
    // Empties the ring and its count; only while nothing pushes or drains.
    void reset();

private:
    std::vector<TickState> ring_;
    std::atomic<uint64_t> written_{0};
    std::atomic<uint64_t> read_{0};
    std::atomic<uint64_t> dropped_{0};
};

constexpr std::size_t MAX_TRACE_TAPS = 4;

struct Percentiles {
    double p50 = 0.0, p99 = 0.0, p999 = 0.0, max = 0.0;  // [s]
};

// The default exchange time-out of a loop at rate [Hz].
double default_exchange_timeout(double rate);

struct LoopStatistics {
    uint64_t ticks = 0;                   // exchanges attempted
    uint64_t missed_deadlines = 0;        // deadlines skipped because already past
    uint64_t failed_exchanges = 0;        // exchanges whose outcome was not done, by kind:
    uint64_t timeouts = 0;                //   no reply at all
    uint64_t short_replies = 0;           //   a reply cut short
    uint64_t wrong_codes = 0;             //   a foreign reply
    uint64_t hang_ups = 0;                //   the port went away
    uint64_t late_replies_discarded = 0;  // late replies thrown away before an exchange
    uint64_t refused_forces = 0;          // ticks whose force was NaN or infinite, sent as zero
    Percentiles wakeup_lateness;          // deadline to wake-up
    Percentiles exchange_time;            // duration of the exchange
    double elapsed = 0.0;                 // [s] since the loop started
    bool realtime_granted = false;        // SCHED_FIFO was granted
    bool memory_locked = false;           // mlockall was granted
    int32_t realtime_errno = 0;           // why SCHED_FIFO or mlockall was refused, 0 when granted or not asked
    Outcome last_failure;                 // the most recent outcome other than done
};

// What a scene is given each tick: the arm's latest state.
struct SceneInput {
    double time = 0.0;                 // [s] since the loop started
    double period = 0.0;               // [s] between two deadlines
    std::array<double, 3> position{};  // [m]
    std::array<double, 3> velocity{};  // [m/s]
};

// What the servo thread renders beside the effects, built whole by the host
// and handed over with ServoLoop::set_scene. render() runs on the servo
// thread only, once a tick; it must not allocate, lock, wait or throw, and
// its force [N] is added to the effects' before the limit.
class Scene {
public:
    virtual ~Scene() = default;
    virtual std::array<double, 3> render(const SceneInput& input) noexcept = 0;
    // Called on the servo thread when this scene replaces previous, before
    // its first render: a scene may carry state over (a contact in progress
    // with a shape that only moved). Same rules as render.
    virtual void continue_from(Scene& previous) noexcept { (void)previous; }
};

// Runs the force exchange of one arm at a fixed rate on a thread of its own,
// waking at absolute deadlines of the monotonic clock. The host sets effects
// and a host force at any time; the thread publishes each tick's state
// without ever blocking on a reader. While running, the loop owns the arm:
// other exchanges on its port wait for the port's lock between ticks.
class ServoLoop {
public:
    // Throws std::invalid_argument for a rate outside LOWEST_RATE to HIGHEST_RATE,
    // std::system_error when the loop's wake-up descriptors cannot be made.
    explicit ServoLoop(Devices::Pendra3& arm, const LoopOptions& options = {});
    ~ServoLoop();  // stops the loop
    ServoLoop(const ServoLoop&) = delete;
    ServoLoop& operator=(const ServoLoop&) = delete;

    // Starts the thread; false when already running or the thread could not start.
    // Statistics, tick numbers and the trace begin afresh with every start.
    bool start();
    // Sends a zero force, stops and joins the thread, within an exchange at
    // any rate: the thread's waits end at once. The arm stays usable.
    void stop();
    bool running() const;

    // Applied as a whole before the next tick, never half-applied; a loop
    // slower than 100 Hz runs an extra tick at once rather than wait for its
    // deadline. Throws std::invalid_argument with effects_problem's text.
    void set_effects(const Effects& effects);
    Effects effects() const;
    // force [N]; the hold time restarts with every update.
    void set_host_force(const Vector3& force);
    // Replaces the scene between two ticks (nullptr: none). The servo thread
    // switches to it without locking or freeing anything; the scene it
    // leaves is deleted here, at the next set_scene, or when the loop stops
    // or is destroyed. A scene handed over is the loop's until then.
    void set_scene(std::unique_ptr<Scene> scene);

    // Ramps every force to zero over the host force's ramp time and keeps it
    // there until effects or host force are set again.
    void release();

    // Latest published tick; never torn, never blocks the servo thread.
    TickState state() const;
    // Moves up to capacity of the oldest kept ticks into out, oldest first;
    // returns how many. While the ring is full, new ticks are dropped (the
    // kept ones stay) and counted in trace_dropped.
    std::size_t drain_trace(TickState* out, std::size_t capacity);
    uint64_t trace_dropped() const;
    LoopStatistics statistics() const;
    // The system clock [ns since the epoch] at the latest start, where a
    // tick's time counts from: stamps for the world outside the process.
    int64_t started_at() const;

    // Has the servo thread push every tick into tap too, from the next tick
    // on, across restarts; false when MAX_TRACE_TAPS are attached already.
    // The tap must stay alive until detached.
    bool attach(TraceTap& tap);
    // Returns once the servo thread no longer touches tap.
    void detach(TraceTap& tap);

    struct Shared;  // the state the host and the servo thread share

private:
    std::unique_ptr<Shared> shared;
};

}  // namespace Kivra::HardwareAPI::Servo

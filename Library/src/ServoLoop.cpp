#include "KivraHardwareAPI/ServoLoop.h"

#include "KivraHardwareAPI/Clock.h"
#include "KivraHardwareAPI/Threads.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "ForceLaw.h"
#include "Histogram.h"
#include "SeqlockCell.h"

namespace Kivra::HardwareAPI::Servo {

using detail::clamp_wide;
using detail::effects_force_wide;
using detail::finite;
using detail::narrow;
using detail::Vector3d;
using detail::widen;

namespace {

constexpr int64_t NANOSECONDS_PER_SECOND = 1000000000;

using Kivra::HardwareAPI::monotonic_nanoseconds;

double seconds(int64_t nanoseconds) { return static_cast<double>(nanoseconds) / NANOSECONDS_PER_SECOND; }

int64_t nanoseconds(double seconds) {
    if (!(seconds > 0.0)) return 0;
    return static_cast<int64_t>(std::min(seconds, 1e9) * NANOSECONDS_PER_SECOND);
}

// 1 until `since` reaches 0, then linearly down to 0 over `ramp` [ns].
double ramp_down(int64_t since, int64_t ramp) {
    if (since <= 0) return 1.0;
    if (since >= ramp) return 0.0;
    return 1.0 - static_cast<double>(since) / static_cast<double>(ramp);
}

// What the host hands the servo thread, as one value.
struct Command {
    Effects effects;
    Vector3 host_force{};
    int64_t host_force_time = 0;   // [ns, monotonic] of the last update
    int64_t release_time = -1;     // [ns, monotonic] of release(), or -1
    uint32_t effects_changes = 0;  // set_effects and release calls so far
};

uint64_t pack(const Outcome& outcome) { return uint64_t(uint32_t(outcome.kind)) << 32 | uint32_t(outcome.detail); }

Outcome unpack(uint64_t packed) { return {static_cast<OutcomeKind>(int32_t(packed >> 32)), int32_t(uint32_t(packed))}; }

// mlockall is process-wide: the last loop that asked for it undoes it.
std::mutex memory_lock_mutex;
int memory_lock_users = 0;

int lock_memory() {
    std::lock_guard<std::mutex> guard(memory_lock_mutex);
    if (memory_lock_users == 0) {
        // On fault: locking every mapping of the process at once (a PyPy heap,
        // a sanitizer's shadow) could take all memory; what the servo thread
        // touches is faulted in before it ticks.
        if (mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) != 0) return errno;
    }
    ++memory_lock_users;
    return 0;
}

void unlock_memory() {
    std::lock_guard<std::mutex> guard(memory_lock_mutex);
    if (memory_lock_users > 0 && --memory_lock_users == 0) munlockall();
}

__attribute__((noinline)) void prefault_stack() {
    volatile unsigned char pages[64 * 1024];
    for (std::size_t i = 0; i < sizeof(pages); i += 4096) pages[i] = 0;
}

}  // namespace

// An eventfd that one thread trips and another polls.
class WakeUp {
public:
    WakeUp() : fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    ~WakeUp() { ::close(fd); }
    WakeUp(const WakeUp&) = delete;
    WakeUp& operator=(const WakeUp&) = delete;

    void trip() const {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof(one));
    }
    void clear() const {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(fd, &count, sizeof(count));
    }

    const int fd;
};

// Shorter periods than this are not cut short for new effects: the next
// tick comes soon enough (a person does not feel 10 ms), and an extra tick
// per host update would disturb the loop's own rhythm.
constexpr int64_t EARLY_TICK_PERIOD = 10 * 1000000;  // [ns]

struct ServoLoop::Shared {
    Shared(Devices::Pendra3& arm, const LoopOptions& options)
        : arm(arm),
          options(options),
          period(std::max<int64_t>(1, nanoseconds(1.0 / options.rate))),
          hold(nanoseconds(options.host_force_hold)),
          ramp(nanoseconds(options.host_force_ramp)),
          exchange_timeout(options.exchange_timeout > 0.0 ? options.exchange_timeout
                                                          : default_exchange_timeout(options.rate)),
          trace(options.trace_capacity) {
        command.store(host_command);
    }

    void run();
    void publish(const TickState& state);
    void count_failure(const Outcome& outcome);
    // Sleeps until deadline [ns]; false when woken early by stop or new commands.
    bool sleep_until(int64_t deadline) const;
    // After a host update: a slow loop renders it now rather than at its deadline.
    void command_changed() const {
        if (period >= EARLY_TICK_PERIOD) command_wake.trip();
    }

    Devices::Pendra3& arm;
    const LoopOptions options;
    const int64_t period;
    const int64_t hold;
    const int64_t ramp;
    const double exchange_timeout;  // [s]
    // stop_wake also ends an exchange in progress; command_wake only a sleep.
    WakeUp stop_wake;
    WakeUp command_wake;

    std::mutex lifecycle_mutex;  // start and stop
    std::thread thread;
    std::atomic<bool> is_running{false};
    std::atomic<bool> stop_requested{false};
    bool holds_memory_lock = false;

    // The scene handover. The host publishes into pending; the servo thread
    // takes it between ticks and leaves the scene it replaces in an empty
    // retired slot, which the host empties. The servo thread takes a new
    // scene only while a slot is free, so it never has to free one itself.
    std::atomic<Scene*> pending_scene{nullptr};
    Scene* current_scene = nullptr;  // the servo thread's while it runs, the host's otherwise
    uint32_t scene_changes = 0;      // likewise
    std::array<std::atomic<Scene*>, 4> retired_scenes{};
    std::mutex scene_mutex;  // host callers of set_scene and stop

    bool switch_scene();
    void free_retired_scenes();
    ~Shared() {
        delete current_scene;
        delete pending_scene.load();
        free_retired_scenes();
    }

    std::mutex host_mutex;  // host writers of the command
    Command host_command;
    SeqlockCell<Command> command;

    SeqlockCell<TickState> snapshot;

    // The loop's own trace: host threads drain it one at a time under drain_mutex.
    TraceTap trace;
    std::mutex drain_mutex;
    // Further readers. The servo thread raises pushing_taps while it goes
    // through the slots, so that detach can wait for a push in progress.
    std::array<std::atomic<TraceTap*>, MAX_TRACE_TAPS> taps{};
    std::atomic<bool> pushing_taps{false};
    std::mutex taps_mutex;  // host callers of attach and detach

    std::atomic<uint64_t> ticks{0};
    std::atomic<uint64_t> missed_deadlines{0};
    std::atomic<uint64_t> failed_exchanges{0};
    std::atomic<uint64_t> timeouts{0};
    std::atomic<uint64_t> short_replies{0};
    std::atomic<uint64_t> wrong_codes{0};
    std::atomic<uint64_t> hang_ups{0};
    std::atomic<uint64_t> late_replies_discarded{0};
    std::atomic<uint64_t> refused_forces{0};
    std::atomic<uint64_t> last_failure{0};
    Histogram wakeup_lateness;
    Histogram exchange_time;
    std::atomic<int64_t> start_time{0};
    std::atomic<int64_t> start_system_time{0};  // [ns since the epoch] at start_time
    std::atomic<int64_t> stop_time{0};
    std::atomic<bool> realtime_granted{false};
    std::atomic<bool> memory_locked{false};
    std::atomic<int32_t> realtime_errno{0};
};

namespace {

// Only the servo thread writes these counters: a load and a store cost less
// than a locked increment and readers still never see a torn value.
void bump(std::atomic<uint64_t>& counter, uint64_t by = 1) {
    counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

}  // namespace

TraceTap::TraceTap(std::size_t capacity) : ring_(capacity) {}

// Single producer, single consumer. When full, new ticks are dropped: moving
// the oldest out would make the producer write the consumer's index.
void TraceTap::push(const TickState& state) noexcept {
    const uint64_t written = written_.load(std::memory_order_relaxed);
    if (ring_.empty() || written - read_.load(std::memory_order_acquire) >= ring_.size()) {
        bump(dropped_);
        return;
    }
    ring_[written % ring_.size()] = state;
    written_.store(written + 1, std::memory_order_release);
}

std::size_t TraceTap::drain(TickState* out, std::size_t capacity) {
    if (out == nullptr || ring_.empty()) return 0;
    const uint64_t read = read_.load(std::memory_order_relaxed);
    const uint64_t written = written_.load(std::memory_order_acquire);
    const std::size_t count = std::size_t(std::min<uint64_t>(written - read, capacity));
    for (std::size_t i = 0; i < count; ++i) out[i] = ring_[(read + i) % ring_.size()];
    read_.store(read + count, std::memory_order_release);
    return count;
}

void TraceTap::reset() {
    written_.store(0);
    read_.store(0);
    dropped_.store(0);
}

void ServoLoop::Shared::publish(const TickState& state) {
    snapshot.store(state);
    trace.push(state);
    pushing_taps.store(true, std::memory_order_seq_cst);
    for (auto& slot : taps) {
        if (TraceTap* tap = slot.load(std::memory_order_seq_cst)) tap->push(state);
    }
    pushing_taps.store(false, std::memory_order_release);
}

bool ServoLoop::Shared::sleep_until(int64_t deadline) const {
    pollfd wakes[2] = {{stop_wake.fd, POLLIN, 0}, {command_wake.fd, POLLIN, 0}};
    for (;;) {
        const int64_t left = deadline - monotonic_nanoseconds();
        if (left <= 0) return true;
        const timespec limit{time_t(left / NANOSECONDS_PER_SECOND), long(left % NANOSECONDS_PER_SECOND)};
        const int ready = ppoll(wakes, 2, &limit, nullptr);
        if (ready > 0) return false;
        if (ready == 0) return true;
        // EINTR: sleep on towards the same deadline.
    }
}

bool ServoLoop::Shared::switch_scene() {
    if (pending_scene.load(std::memory_order_relaxed) == nullptr) return false;
    std::atomic<Scene*>* free_slot = nullptr;
    for (auto& slot : retired_scenes) {
        if (slot.load(std::memory_order_acquire) == nullptr) {
            free_slot = &slot;
            break;
        }
    }
    if (free_slot == nullptr) return false;  // the host has yet to free the older ones
    Scene* next = pending_scene.exchange(nullptr, std::memory_order_acq_rel);
    if (next == nullptr) return false;
    if (current_scene != nullptr) {
        next->continue_from(*current_scene);
        free_slot->store(current_scene, std::memory_order_release);
    }
    current_scene = next;
    ++scene_changes;
    return true;
}

void ServoLoop::Shared::free_retired_scenes() {
    for (auto& slot : retired_scenes) delete slot.exchange(nullptr, std::memory_order_acq_rel);
}

void ServoLoop::Shared::count_failure(const Outcome& outcome) {
    switch (outcome.kind) {
        case OutcomeKind::done:
        case OutcomeKind::interrupted:  // by stop: the loop is ending, nothing failed
            return;
        case OutcomeKind::timed_out: bump(timeouts); break;
        case OutcomeKind::short_payload: bump(short_replies); break;
        case OutcomeKind::wrong_code: bump(wrong_codes); break;
        case OutcomeKind::hung_up: bump(hang_ups); break;
        default: break;
    }
    bump(failed_exchanges);
    last_failure.store(pack(outcome), std::memory_order_relaxed);
}

void ServoLoop::Shared::run() {
    prefault_stack();
    // stop() ends a wait for the arm's reply at once, whatever the time-out.
    Devices::set_thread_interrupt_fd(stop_wake.fd);
    const int64_t start = start_time.load(std::memory_order_relaxed);
    const double timeout = exchange_timeout;
    const float force_ceiling = MAX_FORCE;
    int64_t deadline = start;

    Command current;
    uint64_t current_version = 0;
    SceneInput scene_input;
    scene_input.period = seconds(period);
    bool have_state = false;
    Vector3 position{}, velocity{};
    TickState state;
    uint64_t late_replies_seen = arm.late_replies_discarded.load(std::memory_order_relaxed);

    for (uint64_t tick = 0;; ++tick) {
        // A tick runs at its deadline, or at once for new host commands when
        // the period is long; either way the deadlines stay where they were.
        bool early = false;
        while (!stop_requested.load(std::memory_order_acquire)) {
            if (sleep_until(deadline)) break;
            command_wake.clear();
            if (command.version() != current_version) {
                early = true;
                break;
            }
        }
        if (stop_requested.load(std::memory_order_acquire)) break;
        const int64_t woke = monotonic_nanoseconds();
        if (!early) wakeup_lateness.record(woke - deadline);
        state.wakeup_lateness = early ? 0.0f : float(seconds(woke - deadline));

        // A host write in progress keeps the previous command for one more tick.
        if (command.version() != current_version) command.try_load(current, current_version);
        switch_scene();

        Vector3d force{0.0, 0.0, 0.0};
        Vector3d host{0.0, 0.0, 0.0};
        // Until the arm has answered once its position is unknown, and every
        // effect would act on a made-up one: the first tick sends zero.
        if (have_state) {
            const double release = current.release_time < 0 ? 1.0 : ramp_down(woke - current.release_time, ramp);
            const double held = ramp_down(woke - current.host_force_time - hold, ramp);
            Vector3d sum = effects_force_wide(current.effects, widen(position), widen(velocity));
            if (current_scene != nullptr) {
                scene_input.time = seconds(woke - start);
                scene_input.position = widen(position);
                scene_input.velocity = widen(velocity);
                const Vector3d rendered = current_scene->render(scene_input);
                for (int i = 0; i < 3; ++i) sum[i] += rendered[i];
            }
            for (int i = 0; i < 3; ++i) {
                host[i] = double(current.host_force[i]) * held;
                sum[i] += host[i];
                host[i] *= release;
            }
            if (finite(sum)) {
                // The arm's maximum is the last line, whatever limit was set.
                force = clamp_wide(sum, std::min(current.effects.force_limit, force_ceiling));
                for (double& component : force) component *= release;
            } else {
                bump(refused_forces);
            }
        }
        Vector3 sent = narrow(force);
        if (!finite(widen(sent))) {  // a limit near the float range can overflow in the narrowing
            sent = {0.0f, 0.0f, 0.0f};
            bump(refused_forces);
        }

        Vector3 reply_position{}, reply_velocity{};
        const int64_t exchange_start = monotonic_nanoseconds();
        const Outcome outcome =
            arm.exchange(Devices::Pendra3Code::END_EFFECTOR_FORCE, sent, reply_position, reply_velocity, timeout);
        const int64_t exchange_took = monotonic_nanoseconds() - exchange_start;
        exchange_time.record(exchange_took);
        state.exchange_time = float(seconds(exchange_took));
        if (outcome.ok()) {
            position = reply_position;
            velocity = reply_velocity;
            have_state = true;
        } else {
            count_failure(outcome);
        }
        const uint64_t late_replies = arm.late_replies_discarded.load(std::memory_order_relaxed);
        if (late_replies != late_replies_seen) bump(late_replies_discarded, late_replies - late_replies_seen);
        late_replies_seen = late_replies;

        state.tick = tick;
        state.time = seconds((early ? woke : deadline) - start);
        state.position = position;
        state.velocity = velocity;
        state.force = sent;
        state.host_force = narrow(host);
        state.outcome = static_cast<int32_t>(outcome.kind);
        state.effects_changes = current.effects_changes;
        state.scene_changes = scene_changes;
        publish(state);
        bump(ticks);
        if (stop_requested.load(std::memory_order_acquire)) break;
        if (early) continue;

        // Deadlines that passed during this tick are skipped, not caught up:
        // a burst of forces after a stall would be felt.
        deadline += period;
        const int64_t now = monotonic_nanoseconds();
        if (deadline <= now) {
            const int64_t skipped = (now - deadline) / period + 1;
            deadline += skipped * period;
            bump(missed_deadlines, uint64_t(skipped));
        }
    }

    // The last word to the arm is zero force, and nothing may cut it short:
    // not a signal, and not a line still busy with a late reply.
    Devices::set_thread_interrupt_fd(-1);
    arm.last_exchange(Devices::Pendra3Code::END_EFFECTOR_FORCE, Vector3{0.0f, 0.0f, 0.0f}, timeout);
}

ServoLoop::ServoLoop(Devices::Pendra3& arm, const LoopOptions& options) {
    if (!(options.rate >= LOWEST_RATE && options.rate <= HIGHEST_RATE))
        throw std::invalid_argument("servo rate " + std::to_string(options.rate) + " Hz is outside " +
                                    std::to_string(LOWEST_RATE) + " to " + std::to_string(HIGHEST_RATE) + " Hz");
    shared = std::make_unique<Shared>(arm, options);
}

ServoLoop::~ServoLoop() { stop(); }

bool ServoLoop::start() {
    Shared& s = *shared;
    std::lock_guard<std::mutex> lifecycle(s.lifecycle_mutex);
    if (s.is_running.load()) return false;

    {
        std::lock_guard<std::mutex> drain(s.drain_mutex);
        s.trace.reset();
    }
    for (auto* counter : {&s.ticks, &s.missed_deadlines, &s.failed_exchanges, &s.timeouts, &s.short_replies,
                          &s.wrong_codes, &s.hang_ups, &s.late_replies_discarded, &s.refused_forces, &s.last_failure})
        counter->store(0);
    s.stop_wake.clear();
    s.command_wake.clear();
    s.wakeup_lateness.reset();
    s.exchange_time.reset();
    s.snapshot.store(TickState{});
    s.stop_requested.store(false);

    int32_t refusal = 0;
    s.realtime_granted.store(false);
    s.memory_locked.store(false);
    if (s.options.realtime) {
        refusal = lock_memory();
        s.holds_memory_lock = refusal == 0;
        s.memory_locked.store(s.holds_memory_lock);
    }

    const int64_t start = monotonic_nanoseconds();
    s.stop_time.store(start);
    s.start_time.store(start);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    s.start_system_time.store(int64_t(now.tv_sec) * NANOSECONDS_PER_SECOND + now.tv_nsec -
                              (monotonic_nanoseconds() - start));
    try {
        s.thread = library_thread([&s] { s.run(); });
    } catch (const std::system_error&) {
        if (s.holds_memory_lock) unlock_memory();
        s.holds_memory_lock = false;
        s.memory_locked.store(false);
        return false;
    }

    if (s.options.realtime) {
        sched_param parameters{};
        parameters.sched_priority = s.options.realtime_priority;
        const int result = pthread_setschedparam(s.thread.native_handle(), SCHED_FIFO, &parameters);
        s.realtime_granted.store(result == 0);
        if (result != 0 && refusal == 0) refusal = result;
    }
    s.realtime_errno.store(refusal);
    s.is_running.store(true);
    return true;
}

void ServoLoop::stop() {
    Shared& s = *shared;
    std::lock_guard<std::mutex> lifecycle(s.lifecycle_mutex);
    if (!s.is_running.load()) return;
    s.stop_requested.store(true, std::memory_order_release);
    s.stop_wake.trip();
    s.thread.join();
    s.stop_time.store(monotonic_nanoseconds());
    {
        // The thread is gone: the newest scene becomes the one a restart renders.
        std::lock_guard<std::mutex> guard(s.scene_mutex);
        s.free_retired_scenes();
        if (Scene* newest = s.pending_scene.exchange(nullptr)) {
            delete s.current_scene;
            s.current_scene = newest;
            ++s.scene_changes;
        }
    }
    if (s.holds_memory_lock) unlock_memory();
    s.holds_memory_lock = false;
    s.is_running.store(false);
}

bool ServoLoop::running() const { return shared->is_running.load(); }

void ServoLoop::set_effects(const Effects& effects) {
    if (const char* problem = effects_problem(effects)) throw std::invalid_argument(problem);
    std::lock_guard<std::mutex> guard(shared->host_mutex);
    shared->host_command.effects = effects;
    shared->host_command.release_time = -1;
    ++shared->host_command.effects_changes;
    shared->command.store(shared->host_command);
    shared->command_changed();
}

Effects ServoLoop::effects() const {
    std::lock_guard<std::mutex> guard(shared->host_mutex);
    return shared->host_command.effects;
}

void ServoLoop::set_host_force(const Vector3& force) {
    std::lock_guard<std::mutex> guard(shared->host_mutex);
    shared->host_command.host_force = force;
    shared->host_command.host_force_time = monotonic_nanoseconds();
    shared->host_command.release_time = -1;
    shared->command.store(shared->host_command);
    shared->command_changed();
}

void ServoLoop::set_scene(std::unique_ptr<Scene> scene) {
    Shared& s = *shared;
    std::lock_guard<std::mutex> guard(s.scene_mutex);
    s.free_retired_scenes();
    delete s.pending_scene.exchange(scene.release(), std::memory_order_acq_rel);  // one never taken
    s.command_changed();
}

void ServoLoop::release() {
    std::lock_guard<std::mutex> guard(shared->host_mutex);
    if (shared->host_command.release_time < 0) shared->host_command.release_time = monotonic_nanoseconds();
    ++shared->host_command.effects_changes;
    shared->command.store(shared->host_command);
    shared->command_changed();
}

TickState ServoLoop::state() const { return shared->snapshot.load(); }

std::size_t ServoLoop::drain_trace(TickState* out, std::size_t capacity) {
    std::lock_guard<std::mutex> drain(shared->drain_mutex);
    return shared->trace.drain(out, capacity);
}

uint64_t ServoLoop::trace_dropped() const { return shared->trace.dropped(); }

int64_t ServoLoop::started_at() const { return shared->start_system_time.load(); }

bool ServoLoop::attach(TraceTap& tap) {
    Shared& s = *shared;
    std::lock_guard<std::mutex> guard(s.taps_mutex);
    for (auto& slot : s.taps) {
        if (slot.load() == &tap) return true;
    }
    for (auto& slot : s.taps) {
        if (slot.load() == nullptr) {
            slot.store(&tap, std::memory_order_seq_cst);
            return true;
        }
    }
    return false;
}

void ServoLoop::detach(TraceTap& tap) {
    Shared& s = *shared;
    std::lock_guard<std::mutex> guard(s.taps_mutex);
    for (auto& slot : s.taps) {
        if (slot.load() == &tap) slot.store(nullptr, std::memory_order_seq_cst);
    }
    // A push that began before the store may still be writing: it ends within microseconds.
    while (s.pushing_taps.load(std::memory_order_seq_cst)) std::this_thread::yield();
}

LoopStatistics ServoLoop::statistics() const {
    const Shared& s = *shared;
    LoopStatistics statistics;
    statistics.ticks = s.ticks.load(std::memory_order_relaxed);
    statistics.missed_deadlines = s.missed_deadlines.load(std::memory_order_relaxed);
    statistics.failed_exchanges = s.failed_exchanges.load(std::memory_order_relaxed);
    statistics.timeouts = s.timeouts.load(std::memory_order_relaxed);
    statistics.short_replies = s.short_replies.load(std::memory_order_relaxed);
    statistics.wrong_codes = s.wrong_codes.load(std::memory_order_relaxed);
    statistics.hang_ups = s.hang_ups.load(std::memory_order_relaxed);
    statistics.late_replies_discarded = s.late_replies_discarded.load(std::memory_order_relaxed);
    statistics.refused_forces = s.refused_forces.load(std::memory_order_relaxed);
    statistics.wakeup_lateness = s.wakeup_lateness.percentiles();
    statistics.exchange_time = s.exchange_time.percentiles();
    const int64_t start = s.start_time.load();
    if (start != 0)
        statistics.elapsed = seconds((s.is_running.load() ? monotonic_nanoseconds() : s.stop_time.load()) - start);
    statistics.realtime_granted = s.realtime_granted.load();
    statistics.memory_locked = s.memory_locked.load();
    statistics.realtime_errno = s.realtime_errno.load();
    statistics.last_failure = unpack(s.last_failure.load(std::memory_order_relaxed));
    return statistics;
}

}  // namespace Kivra::HardwareAPI::Servo

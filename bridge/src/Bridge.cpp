#include "KivraBridge/Bridge.h"

#include <dds/dds.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <deque>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Coupling.h"
#include "KivraHardwareAPI/Clock.h"
#include "KivraHardwareAPI/Recording.h"
#include "KivraHardwareAPI/Threads.h"
#include "diagnostic_msgs.h"
#include "geometry_msgs.h"
#include "kivra_msgs.h"
#include "sensor_msgs.h"

namespace Kivra::Bridge {

namespace Servo = HardwareAPI::Servo;
using HardwareAPI::monotonic_nanoseconds;

namespace {

constexpr int64_t NANOSECONDS_PER_SECOND = 1000000000;
constexpr int64_t POLL_PERIOD = 1000000;  // [ns] between two looks at the tap and the readers
constexpr std::size_t DRAIN_BATCH = 256;
constexpr std::size_t TAP_CAPACITY = 8192;
constexpr double MAX_RECEIVE_DELAY = 10.0;  // [s]
constexpr uint32_t TAKE_BATCH = 32;
// The frames a recording names too: the arm's base, and the handle.
using HardwareAPI::Recording::FRAME_ID;
using HardwareAPI::Recording::HANDLE_FRAME_ID;
// [s] a read of the handle waits at most this long for a frame, and so do a
// stop of the bridge and a close of the handle for a read in progress.
constexpr double HANDLE_READ_TIMEOUT = 0.1;
constexpr int32_t HANDLE_TIMED_OUT = int32_t(HardwareAPI::OutcomeKind::timed_out);
constexpr uint8_t LEVEL_OK = 0, LEVEL_WARN = 1, LEVEL_ERROR = 2;

// The idle class: any ordinary thread that wakes takes this processor at
// once. The loop's replies reach it through the kernel's worker threads,
// which are ordinary ones; publishing at nice 0 would make them wait for the
// rest of this thread's time slice, and the loop miss its deadline. The tap
// holds seconds of ticks for the moments the calling thread waits.
//
// While ordinary threads keep every processor busy, a thread of the idle
// class gets next to none: a stop puts the bridge's threads back in the
// ordinary class, or its wait for them would last as long as the load.
// The class is set from outside, under the life-cycle lock, so that a stop
// cannot come between a thread's start and its entering the idle class.
void set_class(std::thread& thread, int policy) {
    if (!thread.joinable()) return;
    sched_param none{};
    pthread_setschedparam(thread.native_handle(), policy, &none);
}

// An entity that deletes itself (and, for a participant, all it holds).
struct Entity {
    dds_entity_t handle = 0;
    Entity() = default;
    Entity(const Entity&) = delete;
    Entity& operator=(const Entity&) = delete;
    ~Entity() {
        if (handle > 0) dds_delete(handle);
    }
};

dds_entity_t checked(dds_entity_t result, const std::string& what) {
    if (result < 0) throw std::runtime_error(what + " failed: " + dds_strretcode(result));
    return result;
}

struct Qos {
    dds_qos_t* qos = dds_create_qos();
    Qos(bool reliable, int32_t depth) {
        dds_qset_reliability(qos, reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT, DDS_MSECS(100));
        dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, depth);
        dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    }
    ~Qos() { dds_delete_qos(qos); }
    Qos(const Qos&) = delete;
    Qos& operator=(const Qos&) = delete;
};

builtin_interfaces_msg_dds__Time_ stamp_of(int64_t nanoseconds) {
    builtin_interfaces_msg_dds__Time_ stamp;
    int64_t seconds = nanoseconds / NANOSECONDS_PER_SECOND, rest = nanoseconds % NANOSECONDS_PER_SECOND;
    if (rest < 0) {
        rest += NANOSECONDS_PER_SECOND;
        --seconds;
    }
    stamp.sec = int32_t(seconds);
    stamp.nanosec = uint32_t(rest);
    return stamp;
}

int64_t system_nanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * NANOSECONDS_PER_SECOND + now.tv_nsec;
}

bool finite3(const geometry_msgs_msg_dds__Vector3_& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

Servo::Vector3 narrow(double x, double y, double z) { return {float(x), float(y), float(z)}; }

// A message's effects for the loop, or the reason they are refused.
const char* effects_of(const kivra_msgs_msg_dds__Effects_& in, Servo::Effects& out) {
    if (in.walls._length > Servo::MAX_WALLS) return "at most 4 walls";
    out = Servo::Effects{};
    out.spring.enabled = in.spring_enabled;
    out.spring.anchor = narrow(in.spring_anchor.x, in.spring_anchor.y, in.spring_anchor.z);
    out.spring.stiffness = float(in.spring_stiffness);
    out.spring.damping = float(in.spring_damping);
    for (uint32_t i = 0; i < in.walls._length; ++i) {
        const kivra_msgs_msg_dds__Wall_& wall = in.walls._buffer[i];
        out.walls[i].enabled = true;
        out.walls[i].point = narrow(wall.point.x, wall.point.y, wall.point.z);
        out.walls[i].normal = narrow(wall.normal.x, wall.normal.y, wall.normal.z);
        out.walls[i].stiffness = float(wall.stiffness);
        out.walls[i].damping = float(wall.damping);
    }
    out.viscous_damping = float(in.viscous_damping);
    out.constant_force = narrow(in.constant_force.x, in.constant_force.y, in.constant_force.z);
    out.force_limit = float(in.force_limit);
    // A double too large for a float narrows to infinity, which the check refuses.
    return Servo::effects_range_problem(out);
}

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof(text), pattern, value);
    return text;
}

}  // namespace

const char* options_problem(const BridgeOptions& options) {
    const std::string& ns = options.name_space;
    const auto valid_name = [](const std::string& name) {
        if (name.empty() || name.front() == '/' || name.back() == '/') return false;
        for (char c : name) {
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '/')) return false;
        }
        return !std::isdigit(static_cast<unsigned char>(name.front())) && name.find("//") == std::string::npos;
    };
    if (!valid_name(ns)) return "namespace must be letters, digits, '_' and inner '/', not starting with a digit";
    if (!options.peer.empty() && (!valid_name(options.peer) || options.peer == ns))
        return "peer must be a namespace like the bridge's own, and another one";
    if (!(options.state_rate > 0.0 && options.state_rate <= Servo::HIGHEST_RATE))
        return "state rate must be above 0 and at most the highest loop rate";
    if (!(options.diagnostics_rate > 0.0 && options.diagnostics_rate <= 100.0))
        return "diagnostics rate must be above 0 and at most 100 Hz";
    if (!(options.receive_delay >= 0.0 && options.receive_delay <= MAX_RECEIVE_DELAY))
        return "receive delay must be from 0 to 10 s";
    if (!(options.receive_loss >= 0.0 && options.receive_loss <= 1.0)) return "receive loss must be from 0 to 1";
    if (!(std::isfinite(options.coupling_stiffness) && options.coupling_stiffness >= 0.0 &&
          options.coupling_stiffness <= Servo::MAX_SPRING_STIFFNESS))
        return "coupling stiffness must be from 0 to the spring's maximum";
    if (!(std::isfinite(options.coupling_damping) && options.coupling_damping >= 0.0 &&
          options.coupling_damping <= Servo::MAX_EFFECT_DAMPING))
        return "coupling damping must be from 0 to the effects' maximum damping";
    if (!(std::isfinite(options.max_passivity_damping) && options.max_passivity_damping >= 0.0))
        return "passivity damping must be finite and 0 or more";
    if (options.domain < -1 || options.domain > 232) return "domain must be -1 (the default) or 0 to 232";
    return nullptr;
}

struct Bridge::Shared {
    Shared(std::shared_ptr<Servo::ServoLoop> loop, const BridgeOptions& options)
        : loop(std::move(loop)), options(options), tap(TAP_CAPACITY), random(options.loss_seed) {}

    void open();
    void run();
    void publish_tick(const Servo::TickState& tick);
    void publish_diagnostics(int64_t now);
    void take_commands(int64_t now);
    void apply_due(int64_t now);
    void read_handle();
    void publish_handle(const HardwareAPI::Devices::ManiloStatus& status);
    bool lost() { return options.receive_loss > 0.0 && chance(random) < options.receive_loss; }
    void refuse(const char* why, std::atomic<uint64_t>& counter);
    std::string topic(const std::string& name) const { return "rt/" + options.name_space + "/" + name; }

    std::shared_ptr<Servo::ServoLoop> loop;
    const BridgeOptions options;
    Servo::TraceTap tap;
    bool attached = false;
    std::shared_ptr<CouplingChannel> channel;  // set once, before the thread starts
    bool scene_set = false;
    std::string frame = FRAME_ID;  // the messages' frame_id, writable (data()) as their type wants
    std::string handle_frame = HANDLE_FRAME_ID;

    Entity participant;
    dds_entity_t joint_states = 0, pose = 0, twist = 0, wrench = 0, diagnostics = 0, coupling_out = 0;
    dds_entity_t force_commands = 0, effects_in = 0, coupling_in = 0;
    dds_entity_t buttons = 0, orientation = 0;

    std::thread thread;
    // The handle's reads are this thread's alone; source is set before it starts.
    HandleSource handle;
    std::thread handle_thread;
    std::atomic<uint64_t> handle_frames{0}, handle_timeouts{0};
    std::atomic<bool> handle_attached{false}, handle_reading{false};
    std::atomic<int32_t> handle_failure{0};
    std::atomic<bool> stopping{false};
    std::mutex lifecycle;

    // What arrived, waiting for its time on the delay line.
    struct Pending {
        enum class Kind { force, effects, peer } kind;
        int64_t due;  // [ns, monotonic]
        Servo::Vector3 force{};
        Servo::Effects effects{};
        PeerState peer{};
    };
    std::deque<Pending> delay_line;
    std::mt19937 random;
    std::uniform_real_distribution<double> chance{0.0, 1.0};

    double next_state_time = 0.0;  // [s of the loop] when the next tick is due to go out
    uint64_t last_tick = 0;
    bool have_tick = false;
    int64_t started_at = 0;

    // Diagnostics of the previous array, for rates and changes.
    int64_t previous_diagnostics = 0;
    Servo::LoopStatistics previous_statistics;

    std::atomic<uint64_t> published_states{0}, published_diagnostics{0}, force_applied{0}, force_refused{0},
        effects_applied{0}, effects_refused{0}, peer_states{0}, lost_messages{0};
    mutable std::mutex refusal_mutex;
    std::string last_refusal;
};

void Bridge::Shared::open() {
    participant.handle =
        checked(dds_create_participant(options.domain < 0 ? DDS_DOMAIN_DEFAULT : dds_domainid_t(options.domain),
                                       nullptr, nullptr),
                "dds_create_participant");
    const dds_entity_t p = participant.handle;
    const Qos sensor(false, 5), command(true, 10), received_state(false, 64);
    const auto writer = [&](const dds_topic_descriptor_t* type, const std::string& name, const Qos& qos) {
        const dds_entity_t t = checked(dds_create_topic(p, type, name.c_str(), nullptr, nullptr), "topic " + name);
        return checked(dds_create_writer(p, t, qos.qos, nullptr), "writer of " + name);
    };
    const auto reader = [&](const dds_topic_descriptor_t* type, const std::string& name, const Qos& qos) {
        const dds_entity_t t = checked(dds_create_topic(p, type, name.c_str(), nullptr, nullptr), "topic " + name);
        return checked(dds_create_reader(p, t, qos.qos, nullptr), "reader of " + name);
    };
    joint_states = writer(&sensor_msgs_msg_dds__JointState__desc, topic("joint_states"), sensor);
    pose = writer(&geometry_msgs_msg_dds__PoseStamped__desc, topic("pose"), sensor);
    twist = writer(&geometry_msgs_msg_dds__TwistStamped__desc, topic("twist"), sensor);
    wrench = writer(&geometry_msgs_msg_dds__WrenchStamped__desc, topic("wrench"), sensor);
    diagnostics = writer(&diagnostic_msgs_msg_dds__DiagnosticArray__desc, topic("diagnostics"), command);
    force_commands = reader(&geometry_msgs_msg_dds__WrenchStamped__desc, topic("force_command"), command);
    effects_in = reader(&kivra_msgs_msg_dds__Effects__desc, topic("effects"), command);
    if (!options.peer.empty()) {
        coupling_out = writer(&kivra_msgs_msg_dds__Coupling__desc, topic("coupling"), sensor);
        coupling_in = reader(&kivra_msgs_msg_dds__Coupling__desc, "rt/" + options.peer + "/coupling", received_state);
    }
}

void Bridge::Shared::publish_tick(const Servo::TickState& tick) {
    static char x[] = "x", y[] = "y", z[] = "z";
    static char* names[] = {x, y, z};

    std_msgs_msg_dds__Header_ header;
    header.stamp = stamp_of(started_at + int64_t(std::llround(tick.time * 1e9)));
    header.frame_id = frame.data();
    double position[3], velocity[3], force[3];
    for (int i = 0; i < 3; ++i) {
        position[i] = tick.position[i];
        velocity[i] = tick.velocity[i];
        force[i] = tick.force[i];
    }

    sensor_msgs_msg_dds__JointState_ joints{};
    joints.header = header;
    joints.name = {3, 3, names, false};
    joints.position = {3, 3, position, false};
    joints.velocity = {3, 3, velocity, false};
    joints.effort = {3, 3, force, false};
    dds_write(joint_states, &joints);

    geometry_msgs_msg_dds__PoseStamped_ stamped_pose{};
    stamped_pose.header = header;
    stamped_pose.pose.position = {position[0], position[1], position[2]};
    stamped_pose.pose.orientation = {0.0, 0.0, 0.0, 1.0};
    dds_write(pose, &stamped_pose);

    geometry_msgs_msg_dds__TwistStamped_ stamped_twist{};
    stamped_twist.header = header;
    stamped_twist.twist.linear = {velocity[0], velocity[1], velocity[2]};
    dds_write(twist, &stamped_twist);

    geometry_msgs_msg_dds__WrenchStamped_ stamped_wrench{};
    stamped_wrench.header = header;
    stamped_wrench.wrench.force = {force[0], force[1], force[2]};
    dds_write(wrench, &stamped_wrench);

    if (coupling_out > 0) {
        kivra_msgs_msg_dds__Coupling_ side{};
        side.header = header;
        side.position = {position[0], position[1], position[2]};
        side.velocity = {velocity[0], velocity[1], velocity[2]};
        side.energy_in = channel->state.load().energy_in;
        dds_write(coupling_out, &side);
    }
    published_states.fetch_add(1, std::memory_order_relaxed);
}

void Bridge::Shared::publish_handle(const HardwareAPI::Devices::ManiloStatus& status) {
    using HardwareAPI::Devices::HANDLE_BUTTONS;
    std_msgs_msg_dds__Header_ header;
    header.stamp = stamp_of(system_nanoseconds());
    header.frame_id = handle_frame.data();

    int32_t pressed[HANDLE_BUTTONS];
    for (int i = 0; i < HANDLE_BUTTONS; ++i) pressed[i] = (status.buttons >> i) & 1;
    // The hall-effect sensor is the handle's one analogue input: 0 to 1.
    float axes[1] = {float(status.hall_effect_sensor_level) / HardwareAPI::Devices::MAX_HALL_EFFECT_SENSOR_LEVEL};
    sensor_msgs_msg_dds__Joy_ joy{};
    joy.header = header;
    joy.axes = {1, 1, axes, false};
    joy.buttons = {HANDLE_BUTTONS, HANDLE_BUTTONS, pressed, false};
    dds_write(buttons, &joy);

    // The frame's quaternion is (w, x, y, z); ROS 2 orders it x, y, z, w.
    geometry_msgs_msg_dds__QuaternionStamped_ stamped{};
    stamped.header = header;
    stamped.quaternion = {status.quaternion[1], status.quaternion[2], status.quaternion[3], status.quaternion[0]};
    dds_write(orientation, &stamped);
    handle_frames.fetch_add(1, std::memory_order_relaxed);
}

void Bridge::Shared::read_handle() {
    HardwareAPI::Devices::ManiloStatus status;
    while (!stopping.load(std::memory_order_acquire)) {
        int32_t result;
        try {
            result = handle.read(status, HANDLE_READ_TIMEOUT);
        } catch (...) {
            result = -1;
        }
        if (result == 0) {
            publish_handle(status);
        } else if (result == HANDLE_TIMED_OUT) {
            handle_timeouts.fetch_add(1, std::memory_order_relaxed);
        } else {
            handle_failure.store(result);
            break;
        }
    }
    handle_reading.store(false);
    if (handle.release) handle.release();
}

void Bridge::Shared::refuse(const char* why, std::atomic<uint64_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> guard(refusal_mutex);
    last_refusal = why;
}

void Bridge::Shared::take_commands(int64_t now) {
    const int64_t due = now + int64_t(options.receive_delay * 1e9);
    void* samples[TAKE_BATCH];
    dds_sample_info_t infos[TAKE_BATCH];
    const auto take = [&](dds_entity_t reader, auto&& each) {
        for (;;) {
            samples[0] = nullptr;
            const int32_t count = dds_take(reader, samples, infos, TAKE_BATCH, TAKE_BATCH);
            if (count <= 0) return;
            for (int32_t i = 0; i < count; ++i) {
                if (!infos[i].valid_data) continue;
                if (lost()) {
                    lost_messages.fetch_add(1, std::memory_order_relaxed);
                    continue;
                }
                each(samples[i]);
            }
            dds_return_loan(reader, samples, count);
            if (count < int32_t(TAKE_BATCH)) return;
        }
    };
    take(force_commands, [&](void* sample) {
        const auto& command = *static_cast<const geometry_msgs_msg_dds__WrenchStamped_*>(sample);
        const char* frame_id = command.header.frame_id != nullptr ? command.header.frame_id : "";
        if (!finite3(command.wrench.force)) {
            refuse("force command not finite", force_refused);
        } else if (frame_id[0] != 0 && std::string(frame_id) != FRAME_ID) {
            refuse("force command in a frame other than kivra_base", force_refused);
        } else {
            Pending pending{Pending::Kind::force, due};
            pending.force = narrow(command.wrench.force.x, command.wrench.force.y, command.wrench.force.z);
            if (!std::isfinite(pending.force[0]) || !std::isfinite(pending.force[1]) ||
                !std::isfinite(pending.force[2]))
                refuse("force command beyond a float's range", force_refused);
            else
                delay_line.push_back(pending);
        }
    });
    take(effects_in, [&](void* sample) {
        Pending pending{Pending::Kind::effects, due};
        if (const char* problem =
                effects_of(*static_cast<const kivra_msgs_msg_dds__Effects_*>(sample), pending.effects))
            refuse(problem, effects_refused);
        else
            delay_line.push_back(pending);
    });
    if (coupling_in > 0) {
        take(coupling_in, [&](void* sample) {
            const auto& side = *static_cast<const kivra_msgs_msg_dds__Coupling_*>(sample);
            Pending pending{Pending::Kind::peer, due};
            const double values[7] = {side.position.x, side.position.y, side.position.z, side.velocity.x,
                                      side.velocity.y, side.velocity.z, side.energy_in};
            for (double value : values) {
                if (!std::isfinite(value)) return;
            }
            pending.peer.position[0] = side.position.x;
            pending.peer.position[1] = side.position.y;
            pending.peer.position[2] = side.position.z;
            pending.peer.velocity[0] = side.velocity.x;
            pending.peer.velocity[1] = side.velocity.y;
            pending.peer.velocity[2] = side.velocity.z;
            pending.peer.energy_in = side.energy_in;
            delay_line.push_back(pending);
        });
    }
}

void Bridge::Shared::apply_due(int64_t now) {
    while (!delay_line.empty() && delay_line.front().due <= now) {
        Pending& pending = delay_line.front();
        switch (pending.kind) {
            case Pending::Kind::force:
                loop->set_host_force(pending.force);
                force_applied.fetch_add(1, std::memory_order_relaxed);
                break;
            case Pending::Kind::effects:
                loop->set_effects(pending.effects);  // checked when taken
                effects_applied.fetch_add(1, std::memory_order_relaxed);
                break;
            case Pending::Kind::peer:
                pending.peer.arrived = now;
                channel->peer.store(pending.peer);
                peer_states.fetch_add(1, std::memory_order_relaxed);
                break;
        }
        delay_line.pop_front();
    }
}

void Bridge::Shared::publish_diagnostics(int64_t now) {
    const Servo::LoopStatistics statistics = loop->statistics();
    const double interval = previous_diagnostics > 0 ? double(now - previous_diagnostics) * 1e-9 : 0.0;
    const uint64_t new_misses =
        statistics.missed_deadlines - std::min(statistics.missed_deadlines, previous_statistics.missed_deadlines);
    const uint64_t new_failures =
        statistics.failed_exchanges - std::min(statistics.failed_exchanges, previous_statistics.failed_exchanges);
    const uint64_t new_ticks = statistics.ticks - std::min(statistics.ticks, previous_statistics.ticks);
    const double rate = interval > 0.0 ? double(new_ticks) / interval : 0.0;
    previous_diagnostics = now;
    previous_statistics = statistics;

    // Each status keeps its texts until the array is written.
    struct Status {
        uint8_t level = LEVEL_OK;
        std::string name, message;
        std::vector<std::pair<std::string, std::string>> values;
        void add(const std::string& key, const std::string& value) { values.emplace_back(key, value); }
    };
    std::vector<Status> statuses;
    const auto count = [](uint64_t value) { return std::to_string(value); };
    const auto milliseconds = [](double seconds) { return format("%.3f", seconds * 1e3); };

    Status servo;
    servo.name = options.name_space + ": servo loop";
    const bool running = loop->running();
    servo.level = !running ? LEVEL_ERROR : (new_misses > 0 || new_failures > 0) ? LEVEL_WARN : LEVEL_OK;
    servo.message = !running           ? "stopped"
                    : new_failures > 0 ? "failed exchanges in the last interval"
                    : new_misses > 0   ? "missed deadlines in the last interval"
                                       : "running";
    servo.add("rate [Hz]", format("%.1f", rate));
    servo.add("ticks", count(statistics.ticks));
    servo.add("missed deadlines", count(statistics.missed_deadlines));
    servo.add("failed exchanges", count(statistics.failed_exchanges));
    servo.add("timeouts", count(statistics.timeouts));
    servo.add("short replies", count(statistics.short_replies));
    servo.add("wrong codes", count(statistics.wrong_codes));
    servo.add("hang-ups", count(statistics.hang_ups));
    servo.add("refused forces", count(statistics.refused_forces));
    servo.add("last fault", count(uint64_t(uint32_t(statistics.last_failure.kind))));
    servo.add("wake-up lateness p50 [ms]", milliseconds(statistics.wakeup_lateness.p50));
    servo.add("wake-up lateness p99 [ms]", milliseconds(statistics.wakeup_lateness.p99));
    servo.add("wake-up lateness p99.9 [ms]", milliseconds(statistics.wakeup_lateness.p999));
    servo.add("wake-up lateness max [ms]", milliseconds(statistics.wakeup_lateness.max));
    servo.add("exchange time p50 [ms]", milliseconds(statistics.exchange_time.p50));
    servo.add("exchange time p99 [ms]", milliseconds(statistics.exchange_time.p99));
    servo.add("exchange time p99.9 [ms]", milliseconds(statistics.exchange_time.p999));
    servo.add("exchange time max [ms]", milliseconds(statistics.exchange_time.max));
    servo.add("real-time", statistics.realtime_granted ? "granted" : "refused");
    statuses.push_back(servo);

    Status bridge;
    bridge.name = options.name_space + ": bridge";
    const uint64_t refused = force_refused.load() + effects_refused.load();
    bridge.level = refused > 0 ? LEVEL_WARN : LEVEL_OK;
    {
        std::lock_guard<std::mutex> guard(refusal_mutex);
        bridge.message = last_refusal.empty() ? "publishing" : "refused: " + last_refusal;
    }
    bridge.add("published states", count(published_states.load()));
    bridge.add("trace dropped", count(tap.dropped()));
    bridge.add("force commands", count(force_applied.load()));
    bridge.add("refused force commands", count(force_refused.load()));
    bridge.add("effects applied", count(effects_applied.load()));
    bridge.add("refused effects", count(effects_refused.load()));
    bridge.add("lost messages (test aid)", count(lost_messages.load()));
    bridge.add("receive delay [ms] (test aid)", milliseconds(options.receive_delay));
    statuses.push_back(bridge);

    if (handle_attached.load()) {
        Status held;
        held.name = options.name_space + ": handle";
        const bool reading = handle_reading.load();
        const int32_t failure = handle_failure.load();
        held.level = reading ? LEVEL_OK : failure != 0 ? LEVEL_ERROR : LEVEL_WARN;
        held.message = reading        ? "publishing"
                       : failure != 0 ? "read failed with status " + count(uint64_t(failure))
                                      : "stopped";
        held.add("frames", count(handle_frames.load()));
        held.add("timeouts", count(handle_timeouts.load()));
        statuses.push_back(held);
    }

    if (channel) {
        const CouplingRecord coupling = channel->state.load();
        Status teleoperation;
        teleoperation.name = options.name_space + ": teleoperation";
        teleoperation.level = coupling.coupled ? LEVEL_OK : LEVEL_WARN;
        teleoperation.message = coupling.coupled ? "coupled to " + options.peer : "waiting for " + options.peer;
        teleoperation.add("passivity control", options.passivity_control ? "on" : "off");
        teleoperation.add("observed energy [J]", format("%.6f", coupling.observed_energy));
        teleoperation.add("energy in [J]", format("%.6f", coupling.energy_in));
        teleoperation.add("energy out [J]", format("%.6f", coupling.energy_out));
        teleoperation.add("peer energy in [J]", format("%.6f", coupling.peer_energy_in));
        teleoperation.add("dissipated [J]", format("%.6f", coupling.dissipated));
        teleoperation.add("passivity damping [N s/m]", format("%.3f", coupling.passivity_damping));
        teleoperation.add("position error [m]", format("%.6f", coupling.error));
        teleoperation.add("longest positive observed energy [s]", format("%.3f", coupling.longest_positive));
        statuses.push_back(teleoperation);
    }

    static char empty[] = "";
    std::vector<diagnostic_msgs_msg_dds__DiagnosticStatus_> out(statuses.size());
    std::vector<std::vector<diagnostic_msgs_msg_dds__KeyValue_>> pairs(statuses.size());
    std::string hardware_id = options.name_space;
    for (std::size_t i = 0; i < statuses.size(); ++i) {
        for (auto& [key, value] : statuses[i].values)
            pairs[i].push_back({const_cast<char*>(key.c_str()), const_cast<char*>(value.c_str())});
        out[i].level = statuses[i].level;
        out[i].name = const_cast<char*>(statuses[i].name.c_str());
        out[i].message = const_cast<char*>(statuses[i].message.c_str());
        out[i].hardware_id = const_cast<char*>(hardware_id.c_str());
        out[i].values = {uint32_t(pairs[i].size()), uint32_t(pairs[i].size()), pairs[i].data(), false};
    }
    diagnostic_msgs_msg_dds__DiagnosticArray_ array{};
    array.header.stamp = stamp_of(system_nanoseconds());
    array.header.frame_id = empty;
    array.status = {uint32_t(out.size()), uint32_t(out.size()), out.data(), false};
    dds_write(diagnostics, &array);
    published_diagnostics.fetch_add(1, std::memory_order_relaxed);
}

void Bridge::Shared::run() {
    const double state_interval = 1.0 / options.state_rate;
    const int64_t diagnostics_interval = int64_t(1e9 / options.diagnostics_rate);
    int64_t next_diagnostics = monotonic_nanoseconds() + diagnostics_interval;
    std::vector<Servo::TickState> ticks(DRAIN_BATCH);
    int64_t wake = monotonic_nanoseconds();
    while (!stopping.load(std::memory_order_acquire)) {
        std::size_t drained;
        // A backlog of seconds is not published once a stop has come.
        while (!stopping.load(std::memory_order_acquire) && (drained = tap.drain(ticks.data(), ticks.size())) > 0) {
            for (std::size_t i = 0; i < drained; ++i) {
                const Servo::TickState& tick = ticks[i];
                // A restart of the loop begins its times afresh.
                if (!have_tick || tick.tick <= last_tick) {
                    next_state_time = tick.time;
                    started_at = loop->started_at();
                }
                have_tick = true;
                last_tick = tick.tick;
                // Ticks come at the loop's period; a hair of slack keeps
                // rounding from skipping one when the rates are equal.
                if (tick.time + 1e-7 < next_state_time) continue;
                next_state_time = std::max(next_state_time + state_interval, tick.time + 0.5 * state_interval);
                publish_tick(tick);
            }
            if (drained < ticks.size()) break;
        }
        const int64_t now = monotonic_nanoseconds();
        take_commands(now);
        apply_due(now);
        if (now >= next_diagnostics) {
            publish_diagnostics(now);
            next_diagnostics = std::max(next_diagnostics + diagnostics_interval, now);
        }
        wake = std::max<int64_t>(wake + POLL_PERIOD, monotonic_nanoseconds());
        const int64_t left = wake - monotonic_nanoseconds();
        if (left > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(left));
    }
}

Bridge::Bridge(std::shared_ptr<Servo::ServoLoop> loop, const BridgeOptions& options) {
    if (!loop) throw std::invalid_argument("a bridge needs a servo loop");
    if (const char* problem = options_problem(options)) throw std::invalid_argument(problem);
    shared = std::make_unique<Shared>(std::move(loop), options);
    Shared& s = *shared;
    s.open();
    if (!s.loop->attach(s.tap)) throw std::runtime_error("the servo loop has no room for another reader");
    s.attached = true;
    try {
        if (!s.options.peer.empty()) {
            s.channel = std::make_shared<CouplingChannel>();
            CouplingGains gains;
            gains.stiffness = options.coupling_stiffness;
            gains.damping = options.coupling_damping;
            gains.passivity_control = options.passivity_control;
            gains.max_passivity_damping = options.max_passivity_damping;
            s.loop->set_scene(std::make_unique<CouplingScene>(s.channel, gains));
            s.scene_set = true;
        }
        s.thread = HardwareAPI::library_thread([&s] { s.run(); });
        set_class(s.thread, SCHED_IDLE);
    } catch (...) {
        stop();
        throw;
    }
}

HandleAttach Bridge::attach_handle(HandleSource source) {
    Shared& s = *shared;
    std::lock_guard<std::mutex> guard(s.lifecycle);
    if (!s.thread.joinable() || s.handle.read) {
        if (source.release) source.release();
        return !s.thread.joinable() ? HandleAttach::stopped : HandleAttach::already_reading;
    }
    try {
        const Qos sensor(false, 5);
        const auto writer = [&](const dds_topic_descriptor_t* type, const std::string& name) {
            const dds_entity_t t =
                checked(dds_create_topic(s.participant.handle, type, name.c_str(), nullptr, nullptr), "topic " + name);
            return checked(dds_create_writer(s.participant.handle, t, sensor.qos, nullptr), "writer of " + name);
        };
        s.buttons = writer(&sensor_msgs_msg_dds__Joy__desc, s.topic("buttons"));
        s.orientation = writer(&geometry_msgs_msg_dds__QuaternionStamped__desc, s.topic("orientation"));
    } catch (...) {
        if (source.release) source.release();
        throw;
    }
    s.handle = std::move(source);
    s.handle_attached.store(true);
    s.handle_reading.store(true);
    try {
        s.handle_thread = HardwareAPI::library_thread([&s] { s.read_handle(); });
        set_class(s.handle_thread, SCHED_IDLE);  // frames wait in the port meanwhile
    } catch (...) {
        s.handle_attached.store(false);
        s.handle_reading.store(false);
        if (s.handle.release) s.handle.release();
        s.handle = HandleSource{};
        throw;
    }
    return HandleAttach::attached;
}

Bridge::~Bridge() { stop(); }

void Bridge::stop() {
    Shared& s = *shared;
    std::lock_guard<std::mutex> guard(s.lifecycle);
    s.stopping.store(true, std::memory_order_release);
    set_class(s.thread, SCHED_OTHER);
    set_class(s.handle_thread, SCHED_OTHER);
    if (s.thread.joinable()) s.thread.join();
    if (s.handle_thread.joinable()) s.handle_thread.join();
    if (s.attached) {
        s.loop->detach(s.tap);
        s.attached = false;
    }
    if (s.scene_set) {
        s.loop->set_scene(nullptr);
        s.scene_set = false;
    }
    if (s.participant.handle > 0) {
        dds_delete(s.participant.handle);
        s.participant.handle = 0;
    }
}

BridgeStatistics Bridge::statistics() const {
    const Shared& s = *shared;
    BridgeStatistics out;
    out.published_states = s.published_states.load();
    out.published_diagnostics = s.published_diagnostics.load();
    out.trace_dropped = s.tap.dropped();
    out.force_commands = s.force_applied.load();
    out.refused_force_commands = s.force_refused.load();
    out.effects_applied = s.effects_applied.load();
    out.refused_effects = s.effects_refused.load();
    out.received_peer_states = s.peer_states.load();
    out.lost_messages = s.lost_messages.load();
    out.handle_frames = s.handle_frames.load();
    out.handle_timeouts = s.handle_timeouts.load();
    out.handle_reading = s.handle_reading.load();
    out.handle_failure = s.handle_failure.load();
    std::lock_guard<std::mutex> guard(s.refusal_mutex);
    out.last_refusal = s.last_refusal;
    return out;
}

CouplingState Bridge::coupling() const {
    CouplingState out;
    if (!shared->channel) return out;
    const CouplingRecord record = shared->channel->state.load();
    out.coupled = record.coupled;
    out.energy_in = record.energy_in;
    out.energy_out = record.energy_out;
    out.peer_energy_in = record.peer_energy_in;
    out.observed_energy = record.observed_energy;
    out.passivity_damping = record.passivity_damping;
    out.dissipated = record.dissipated;
    out.error = record.error;
    out.longest_positive = record.longest_positive;
    return out;
}

}  // namespace Kivra::Bridge

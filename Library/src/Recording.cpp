#include "KivraHardwareAPI/Recording.h"

#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "KivraHardwareAPI/Clock.h"
#include "KivraHardwareAPI/Threads.h"
#include "RecordingFormat.h"

namespace Kivra::HardwareAPI::Recording {

const char* const JOINT_STATES_TOPIC = "/kivra/joint_states";
const char* const POSE_TOPIC = "/kivra/pose";
const char* const TWIST_TOPIC = "/kivra/twist";
const char* const WRENCH_TOPIC = "/kivra/wrench";
const char* const DIAGNOSTICS_TOPIC = "/kivra/diagnostics";
const char* const TICK_TIMING_TOPIC = "/kivra/tick_timing";
const char* const EFFECTS_TOPIC = "/kivra/effects";
const char* const IDENTITY_TOPIC = "/kivra/identity";
const char* const HANDLE_BUTTONS_TOPIC = "/kivra/buttons";
const char* const HANDLE_ORIENTATION_TOPIC = "/kivra/orientation";
const char* const FRAME_ID = "kivra_base";
const char* const HANDLE_FRAME_ID = "kivra_handle";

namespace {

constexpr std::size_t BATCH = 1024;
// Frames of a handle held for the recorder's thread: at 100 frames a second, 40 s of them.
constexpr std::size_t HANDLE_BACKLOG = 4096;
constexpr double HANDLE_READ_TIMEOUT = 0.1;  // [s]: also how long a stop waits for a read under way
constexpr int32_t HANDLE_TIMED_OUT = int32_t(OutcomeKind::timed_out);

// The ROS 2 message definitions, as their packages give them (comments left out).
const char* const TIME_DEFINITION = "int32 sec\nuint32 nanosec\n";
const char* const HEADER_DEFINITION = "builtin_interfaces/Time stamp\nstring frame_id\n";
const char* const JOINT_STATE_DEFINITION =
    "std_msgs/Header header\n\nstring[] name\nfloat64[] position\nfloat64[] velocity\nfloat64[] effort\n";
const char* const POSE_STAMPED_DEFINITION = "std_msgs/Header header\nPose pose\n";
const char* const POSE_DEFINITION = "Point position\nQuaternion orientation\n";
const char* const POINT_DEFINITION = "float64 x\nfloat64 y\nfloat64 z\n";
const char* const QUATERNION_DEFINITION = "float64 x 0\nfloat64 y 0\nfloat64 z 0\nfloat64 w 1\n";
const char* const TWIST_STAMPED_DEFINITION = "std_msgs/Header header\nTwist twist\n";
const char* const TWIST_DEFINITION = "Vector3  linear\nVector3  angular\n";
const char* const VECTOR3_DEFINITION = "float64 x\nfloat64 y\nfloat64 z\n";
const char* const WRENCH_STAMPED_DEFINITION = "std_msgs/Header header\nWrench wrench\n";
const char* const WRENCH_DEFINITION = "Vector3  force\nVector3  torque\n";
const char* const DIAGNOSTIC_ARRAY_DEFINITION = "std_msgs/Header header\nDiagnosticStatus[] status\n";
const char* const DIAGNOSTIC_STATUS_DEFINITION =
    "byte OK=0\nbyte WARN=1\nbyte ERROR=2\nbyte STALE=3\n\nbyte level\nstring name\nstring message\n"
    "string hardware_id\nKeyValue[] values\n";
const char* const KEY_VALUE_DEFINITION = "string key\nstring value\n";
const char* const STRING_DEFINITION = "string data\n";
const char* const JOY_DEFINITION = "std_msgs/Header header\nfloat32[] axes\nint32[] buttons\n";
const char* const QUATERNION_STAMPED_DEFINITION = "std_msgs/Header header\nQuaternion quaternion\n";
// The loop's own per-tick record, which no ROS 2 package has.
const char* const TICK_TIMING_DEFINITION =
    "# One tick of a kivra servo loop: its timing and what the host added.\n"
    "std_msgs/Header header\n"
    "uint64 tick                       # index of the tick since the loop started\n"
    "float64 time                      # [s] since the loop started, at the tick's deadline\n"
    "float32 wakeup_lateness           # [s] from the deadline to the wake-up\n"
    "float32 exchange_time             # [s] the exchange with the arm took\n"
    "int32 outcome                     # kivra_status of the exchange (0: done)\n"
    "geometry_msgs/Vector3 host_force  # [N] the host force after hold and ramp\n"
    "uint32 effects_changes            # effects set or released before this tick\n"
    "uint32 scene_changes              # scenes the loop switched to\n";

constexpr uint8_t DIAGNOSTIC_OK = 0;
constexpr uint8_t DIAGNOSTIC_WARN = 1;

// A "ros2msg" schema: the message's definition, then each type it uses
// after a line of '=' and "MSG: package/Type".
std::string ros2msg(const char* definition, std::initializer_list<std::pair<const char*, const char*>> dependencies) {
    std::string text = definition;
    for (const auto& [name, dependency] : dependencies) {
        text += std::string(80, '=') + "\nMSG: " + name + "\n" + dependency;
    }
    return text;
}

void header(CdrWriter& cdr, uint64_t stamp, const char* frame_id = FRAME_ID) {
    int32_t seconds = int32_t(stamp / NANOSECONDS_PER_SECOND);
    uint32_t nanoseconds = uint32_t(stamp % NANOSECONDS_PER_SECOND);
    header_layout(cdr, seconds, nanoseconds, frame_id);
}

void zero_vector3(CdrWriter& cdr) {
    for (int i = 0; i < 3; ++i) cdr.float64(0.0);
}

void key_value(CdrWriter& cdr, const std::string& key, const std::string& value) {
    cdr.string(key);
    cdr.string(value);
}

std::string number(double value) {
    if (!std::isfinite(value)) return "null";
    char text[32];
    std::snprintf(text, sizeof(text), "%.9g", value);
    return text;
}

std::string json_vector(const Servo::Vector3& value) {
    return "[" + number(value[0]) + "," + number(value[1]) + "," + number(value[2]) + "]";
}

std::string json_effects(const Servo::Effects& effects) {
    std::string text = "{\"spring\":";
    if (effects.spring.enabled) {
        text += "{\"anchor\":" + json_vector(effects.spring.anchor) +
                ",\"stiffness\":" + number(effects.spring.stiffness) +
                ",\"damping\":" + number(effects.spring.damping) + "}";
    } else {
        text += "null";
    }
    text += ",\"walls\":[";
    bool first = true;
    for (const Servo::WallEffect& wall : effects.walls) {
        if (!wall.enabled) continue;
        text += std::string(first ? "" : ",") + "{\"point\":" + json_vector(wall.point) +
                ",\"normal\":" + json_vector(wall.normal) + ",\"stiffness\":" + number(wall.stiffness) +
                ",\"damping\":" + number(wall.damping) + "}";
        first = false;
    }
    text += "],\"viscous_damping\":" + number(effects.viscous_damping) +
            ",\"constant_force\":" + json_vector(effects.constant_force) +
            ",\"force_limit\":" + number(effects.force_limit) + "}";
    return text;
}

// The identity's unique id, which ROS 2's diagnostics call the hardware id.
std::string hardware_id(const std::vector<std::pair<std::string, std::string>>& identity) {
    for (const auto& [key, value] : identity) {
        if (key == "unique id") return value;
    }
    return "";
}

uint64_t system_nanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return uint64_t(now.tv_sec) * NANOSECONDS_PER_SECOND + uint64_t(now.tv_nsec);
}

}  // namespace

Recorder::Recorder(Servo::ServoLoop& loop, const std::string& path, const RecorderOptions& options)
    : loop_(loop), options_(options), path_(path), tap_(options.tap_capacity) {
    if (!compression_available(options.compression))
        throw std::invalid_argument(std::string("compression ") + compression_name(options.compression) +
                                    " is not built into this library");
    if (!(options.drain_period > 0.0 && options.drain_period <= 1.0) ||
        !(options.flush_period >= options.drain_period && options.flush_period <= 60.0) ||
        !(options.diagnostics_period > 0.0) || options.tap_capacity == 0 || options.chunk_size == 0)
        throw std::invalid_argument("recorder periods, tap capacity or chunk size out of range");
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), path);
    batch_.resize(BATCH);
    try {
        writer_ = std::make_unique<McapWriter>(fd_, options.compression, options.chunk_size);
        writer_->start(PROFILE, LIBRARY);
        struct Topic {
            const char* topic;
            const char* type;
            std::string definition;
        };
        const std::pair<const char*, const char*> stamp_header[] = {{"std_msgs/Header", HEADER_DEFINITION},
                                                                    {"builtin_interfaces/Time", TIME_DEFINITION}};
        const auto [h, t] = stamp_header;
        const Topic topics[] = {
            {JOINT_STATES_TOPIC, "sensor_msgs/msg/JointState", ros2msg(JOINT_STATE_DEFINITION, {h, t})},
            {POSE_TOPIC, "geometry_msgs/msg/PoseStamped",
             ros2msg(POSE_STAMPED_DEFINITION, {h,
                                               t,
                                               {"geometry_msgs/Pose", POSE_DEFINITION},
                                               {"geometry_msgs/Point", POINT_DEFINITION},
                                               {"geometry_msgs/Quaternion", QUATERNION_DEFINITION}})},
            {TWIST_TOPIC, "geometry_msgs/msg/TwistStamped",
             ros2msg(TWIST_STAMPED_DEFINITION,
                     {h, t, {"geometry_msgs/Twist", TWIST_DEFINITION}, {"geometry_msgs/Vector3", VECTOR3_DEFINITION}})},
            {WRENCH_TOPIC, "geometry_msgs/msg/WrenchStamped",
             ros2msg(
                 WRENCH_STAMPED_DEFINITION,
                 {h, t, {"geometry_msgs/Wrench", WRENCH_DEFINITION}, {"geometry_msgs/Vector3", VECTOR3_DEFINITION}})},
            {DIAGNOSTICS_TOPIC, "diagnostic_msgs/msg/DiagnosticArray",
             ros2msg(DIAGNOSTIC_ARRAY_DEFINITION, {h,
                                                   t,
                                                   {"diagnostic_msgs/DiagnosticStatus", DIAGNOSTIC_STATUS_DEFINITION},
                                                   {"diagnostic_msgs/KeyValue", KEY_VALUE_DEFINITION}})},
            {TICK_TIMING_TOPIC, "kivra_msgs/msg/TickTiming",
             ros2msg(TICK_TIMING_DEFINITION, {h, t, {"geometry_msgs/Vector3", VECTOR3_DEFINITION}})},
            {EFFECTS_TOPIC, "std_msgs/msg/String", STRING_DEFINITION},
            {IDENTITY_TOPIC, "diagnostic_msgs/msg/DiagnosticArray", ""},
            {HANDLE_BUTTONS_TOPIC, "sensor_msgs/msg/Joy", ros2msg(JOY_DEFINITION, {h, t})},
            {HANDLE_ORIENTATION_TOPIC, "geometry_msgs/msg/QuaternionStamped",
             ros2msg(QUATERNION_STAMPED_DEFINITION, {h, t, {"geometry_msgs/Quaternion", QUATERNION_DEFINITION}})},
        };
        std::map<std::string, uint16_t> schemas;
        for (const Topic& topic : topics) {
            auto known = schemas.find(topic.type);
            if (known == schemas.end())
                known = schemas.emplace(topic.type, writer_->add_schema(topic.type, "ros2msg", topic.definition)).first;
            channels_[topic.topic] = writer_->add_channel(known->second, topic.topic, "cdr");
        }
        write_identity(system_nanoseconds());
        bytes_ = writer_->bytes_written();
    } catch (...) {
        ::close(fd_);
        throw;
    }
    if (!loop_.attach(tap_)) {
        ::close(fd_);
        throw std::runtime_error("the servo loop has " + std::to_string(Servo::MAX_TRACE_TAPS) +
                                 " readers already: stop one of its recordings or bridges first");
    }
    attached_ = true;
    recording_ = true;
    try {
        thread_ = library_thread([this] { run(); });
    } catch (...) {
        loop_.detach(tap_);
        ::close(fd_);
        throw;
    }
}

Recorder::~Recorder() { stop(); }

void Recorder::stop() {
    std::lock_guard<std::mutex> guard(stop_mutex_);
    if (stopped_) return;
    // The handle's last frames are written with the last ticks.
    handle_stopping_ = true;
    if (handle_thread_.joinable()) handle_thread_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    stopped_ = true;
}

RecorderStatus Recorder::status() const {
    RecorderStatus status;
    status.ticks_written = ticks_written_.load();
    status.ticks_dropped = tap_.dropped();
    status.bytes = bytes_.load();
    status.recording = recording_.load();
    status.handle_frames = handle_frames_.load();
    std::lock_guard<std::mutex> lock(mutex_);
    status.error = error_;
    return status;
}

void Recorder::describe_scene(const std::string& description) {
    std::lock_guard<std::mutex> lock(mutex_);
    scene_description_ = description;
}

bool Recorder::attach_handle(Devices::HandleFrameSource source) {
    std::lock_guard<std::mutex> guard(stop_mutex_);
    if (stopped_ || handle_thread_.joinable() || !recording_.load()) return false;
    handle_ = std::move(source);
    frames_read_.reserve(HANDLE_BACKLOG);
    frames_writing_.reserve(HANDLE_BACKLOG);
    handle_thread_ = library_thread([this] { read_handle(); });
    return true;
}

void Recorder::read_handle() {
    pthread_setname_np(pthread_self(), "kivra-rec-hand");
    Devices::ManiloStatus status;
    while (!handle_stopping_.load()) {
        int32_t result;
        try {
            result = handle_.read(status, HANDLE_READ_TIMEOUT);
        } catch (...) {
            result = -1;
        }
        if (result == HANDLE_TIMED_OUT) continue;
        if (result != 0) break;
        std::lock_guard<std::mutex> lock(handle_mutex_);
        // Beyond the backlog the recording has failed or lags: the newest frames are the ones lost.
        if (frames_read_.size() < HANDLE_BACKLOG) frames_read_.push_back({system_nanoseconds(), status});
    }
    if (handle_.release) handle_.release();
}

void Recorder::write_handle_frames() {
    {
        std::lock_guard<std::mutex> lock(handle_mutex_);
        frames_writing_.swap(frames_read_);
    }
    for (const HandleFrame& frame : frames_writing_) {
        cdr_.reset();
        header(cdr_, frame.stamp, HANDLE_FRAME_ID);
        // The hall-effect sensor is the handle's one analogue input: 0 to 1.
        cdr_.sequence_length(1);
        cdr_.float32(float(frame.status.hall_effect_sensor_level) / Devices::MAX_HALL_EFFECT_SENSOR_LEVEL);
        cdr_.sequence_length(Devices::HANDLE_BUTTONS);
        for (int i = 0; i < Devices::HANDLE_BUTTONS; ++i) cdr_.int32((frame.status.buttons >> i) & 1);
        write_message(channels_[HANDLE_BUTTONS_TOPIC], frame.stamp);
        // The frame's quaternion is (w, x, y, z); ROS 2 orders it x, y, z, w.
        cdr_.reset();
        header(cdr_, frame.stamp, HANDLE_FRAME_ID);
        for (int i : {1, 2, 3, 0}) cdr_.float64(frame.status.quaternion[i]);
        write_message(channels_[HANDLE_ORIENTATION_TOPIC], frame.stamp);
    }
    handle_frames_ += frames_writing_.size();
    frames_writing_.clear();
}

void Recorder::fail(const std::string& error) {
    if (attached_) loop_.detach(tap_);
    attached_ = false;
    ::close(fd_);
    fd_ = -1;
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = error;
    recording_ = false;
}

void Recorder::run() {
    // A name of its own, so that its CPU time can be told from the loop's (top -H, /proc/<pid>/task).
    pthread_setname_np(pthread_self(), "kivra-record");
    using Clock = std::chrono::steady_clock;
    const auto flush_period = std::chrono::duration<double>(options_.flush_period);
    const auto drain_period = std::chrono::duration<double>(options_.drain_period);
    auto last_flush = Clock::now();
    try {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (wake_.wait_for(lock, drain_period, [this] { return stopping_; })) break;
            }
            drain();
            write_handle_frames();
            if (Clock::now() - last_flush >= flush_period) {
                writer_->flush_chunk();
                last_flush = Clock::now();
            }
            bytes_ = writer_->bytes_written();
        }
        // Whatever the servo thread pushed before the detach is still drained.
        loop_.detach(tap_);
        attached_ = false;
        drain();
        write_handle_frames();
        writer_->finish();
        bytes_ = writer_->bytes_written();
        if (::close(fd_) != 0) throw std::system_error(errno, std::generic_category());
        fd_ = -1;
        recording_ = false;
    } catch (const std::system_error& error) {
        fail("writing " + path_ + ": " + std::strerror(error.code().value()));
    } catch (const std::exception& error) {
        fail("writing " + path_ + ": " + error.what());
    }
}

uint64_t Recorder::stamp_of(const Servo::TickState& tick) {
    return uint64_t(started_at_ + int64_t(std::llround(tick.time * double(NANOSECONDS_PER_SECOND))));
}

void Recorder::drain() {
    for (;;) {
        const std::size_t count = tap_.drain(batch_.data(), batch_.size());
        for (std::size_t i = 0; i < count; ++i) write_tick(batch_[i]);
        ticks_written_ += count;
        if (count < batch_.size()) return;
    }
}

void Recorder::write_message(uint16_t channel, uint64_t stamp) {
    const std::vector<uint8_t>& bytes = cdr_.bytes();
    writer_->add_message(channel, sequences_[channel]++, stamp, stamp, bytes.data(), bytes.size());
}

void Recorder::write_text(uint16_t channel, uint64_t stamp, const std::string& text) {
    cdr_.reset();
    cdr_.string(text);
    write_message(channel, stamp);
}

void Recorder::write_tick(const Servo::TickState& tick) {
    // A restarted loop counts its ticks and its time afresh.
    if (!seen_tick_ || tick.tick <= last_tick_) {
        started_at_ = loop_.started_at();
        next_diagnostics_ = tick.time + options_.diagnostics_period;
        previous_ticks_ = 0;
        previous_elapsed_ = 0.0;
    }
    const uint64_t stamp = stamp_of(tick);
    const std::string where = "\"tick\":" + std::to_string(tick.tick) + ",\"time\":" + number(tick.time);
    if (!seen_tick_ || tick.effects_changes != effects_changes_) {
        write_text(channels_[EFFECTS_TOPIC], stamp,
                   "{\"kind\":\"effects\"," + where + ",\"effects_changes\":" + std::to_string(tick.effects_changes) +
                       ",\"effects\":" + json_effects(loop_.effects()) + "}");
    }
    if ((!seen_tick_ && tick.scene_changes > 0) || (seen_tick_ && tick.scene_changes != scene_changes_)) {
        std::string description;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            description = scene_description_;
        }
        write_text(channels_[EFFECTS_TOPIC], stamp,
                   "{\"kind\":\"scene\"," + where + ",\"scene_changes\":" + std::to_string(tick.scene_changes) +
                       ",\"scene\":" + (description.empty() ? std::string("null") : description) + "}");
    }
    seen_tick_ = true;
    last_tick_ = tick.tick;
    effects_changes_ = tick.effects_changes;
    scene_changes_ = tick.scene_changes;

    cdr_.reset();
    header(cdr_, stamp);
    joint_state_layout(cdr_, tick);
    write_message(channels_[JOINT_STATES_TOPIC], stamp);

    cdr_.reset();
    header(cdr_, stamp);
    vector3(cdr_, tick.position);
    for (double component : {0.0, 0.0, 0.0, 1.0}) cdr_.float64(component);
    write_message(channels_[POSE_TOPIC], stamp);

    cdr_.reset();
    header(cdr_, stamp);
    vector3(cdr_, tick.velocity);
    zero_vector3(cdr_);
    write_message(channels_[TWIST_TOPIC], stamp);

    cdr_.reset();
    header(cdr_, stamp);
    vector3(cdr_, tick.force);
    zero_vector3(cdr_);
    write_message(channels_[WRENCH_TOPIC], stamp);

    cdr_.reset();
    header(cdr_, stamp);
    tick_timing_layout(cdr_, tick);
    write_message(channels_[TICK_TIMING_TOPIC], stamp);

    if (tick.time >= next_diagnostics_) {
        next_diagnostics_ += options_.diagnostics_period *
                             std::floor(1.0 + (tick.time - next_diagnostics_) / options_.diagnostics_period);
        write_diagnostics(stamp);
    }
}

void Recorder::write_diagnostics(uint64_t stamp) {
    const Servo::LoopStatistics statistics = loop_.statistics();
    const double window = statistics.elapsed - previous_elapsed_;
    const double rate = window > 0.0 ? double(statistics.ticks - previous_ticks_) / window : 0.0;
    previous_ticks_ = statistics.ticks;
    previous_elapsed_ = statistics.elapsed;
    const uint64_t dropped = tap_.dropped();
    const bool troubled = statistics.missed_deadlines > 0 || statistics.failed_exchanges > 0 || dropped > 0;
    const std::pair<std::string, std::string> values[] = {
        {"loop rate [Hz]", number(rate)},
        {"ticks", std::to_string(statistics.ticks)},
        {"missed deadlines", std::to_string(statistics.missed_deadlines)},
        {"failed exchanges", std::to_string(statistics.failed_exchanges)},
        {"wakeup lateness p50 [s]", number(statistics.wakeup_lateness.p50)},
        {"wakeup lateness p99 [s]", number(statistics.wakeup_lateness.p99)},
        {"wakeup lateness p99.9 [s]", number(statistics.wakeup_lateness.p999)},
        {"wakeup lateness max [s]", number(statistics.wakeup_lateness.max)},
        {"exchange time p50 [s]", number(statistics.exchange_time.p50)},
        {"exchange time p99 [s]", number(statistics.exchange_time.p99)},
        {"exchange time p99.9 [s]", number(statistics.exchange_time.p999)},
        {"exchange time max [s]", number(statistics.exchange_time.max)},
        {"dropped ticks", std::to_string(dropped)},
    };
    cdr_.reset();
    header(cdr_, stamp);
    cdr_.sequence_length(1);
    cdr_.uint8(troubled ? DIAGNOSTIC_WARN : DIAGNOSTIC_OK);
    cdr_.string("kivra: servo loop");
    cdr_.string(troubled ? "deadlines missed, exchanges failed or ticks dropped" : "ok");
    cdr_.string(hardware_id(options_.identity));
    cdr_.sequence_length(uint32_t(std::size(values)));
    for (const auto& [key, value] : values) key_value(cdr_, key, value);
    write_message(channels_[DIAGNOSTICS_TOPIC], stamp);
}

void Recorder::write_identity(uint64_t stamp) {
    cdr_.reset();
    header(cdr_, stamp);
    cdr_.sequence_length(1);
    cdr_.uint8(DIAGNOSTIC_OK);
    cdr_.string("kivra: arm");
    cdr_.string("identity");
    cdr_.string(hardware_id(options_.identity));
    cdr_.sequence_length(uint32_t(options_.identity.size()));
    for (const auto& [key, value] : options_.identity) key_value(cdr_, key, value);
    write_message(channels_[IDENTITY_TOPIC], stamp);
}

}  // namespace Kivra::HardwareAPI::Recording

#pragma once

// The layout of a recording, shared by its writer and its reader: MCAP's
// magic and opcodes, and the order and CDR types of the fields of each tick's
// messages. Each layout is one template that a CdrWriter writes through and a
// CdrReader reads through, so the two cannot drift apart.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "KivraHardwareAPI/Recording.h"
#include "KivraHardwareAPI/RecordingReader.h"

namespace Kivra::HardwareAPI::Recording {

inline constexpr uint8_t MAGIC[8] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

enum Opcode : uint8_t {
    HEADER = 0x01,
    FOOTER = 0x02,
    SCHEMA = 0x03,
    CHANNEL = 0x04,
    MESSAGE = 0x05,
    CHUNK = 0x06,
    MESSAGE_INDEX = 0x07,
    CHUNK_INDEX = 0x08,
    STATISTICS = 0x0B,
    SUMMARY_OFFSET = 0x0E,
    DATA_END = 0x0F,
};

// A record's opcode and length before its content; a footer's content.
inline constexpr std::size_t RECORD_PREFIX = 1 + 8;
inline constexpr std::size_t FOOTER_CONTENT = 8 + 8 + 4;

// What the header record of every recording says.
inline constexpr const char* PROFILE = "ros2";
inline constexpr const char* LIBRARY = "kivra";

inline constexpr int64_t NANOSECONDS_PER_SECOND = 1000000000;
inline constexpr const char* const JOINT_NAMES[3] = {"x", "y", "z"};

// Reads what CdrWriter writes, with the same alignment; throws FormatError
// for a buffer that ends early or does not start with the encapsulation header.
class CdrReader {
public:
    CdrReader(const uint8_t* data, std::size_t size);
    void uint8(uint8_t& value) { get(&value, 1, 1); }
    void int32(int32_t& value) { get(&value, 4, 4); }
    void uint32(uint32_t& value) { get(&value, 4, 4); }
    void uint64(uint64_t& value) { get(&value, 8, 8); }
    void float32(float& value) { get(&value, 4, 4); }
    void float64(double& value) { get(&value, 8, 8); }
    void string(std::string& value);

private:
    void get(void* value, std::size_t size, std::size_t alignment);
    const uint8_t* data_;
    std::size_t size_, at_;
};

// A value every recording writes the same: the reader checks it is there.
inline void fixed(CdrWriter& cdr, const char* text) { cdr.string(text); }
inline void fixed_length(CdrWriter& cdr, uint32_t count) { cdr.sequence_length(count); }
void fixed(CdrReader& cdr, const char* text);
void fixed_length(CdrReader& cdr, uint32_t count);

// A Vector3 as geometry_msgs/Vector3: three float64.
inline void vector3(CdrWriter& cdr, const Servo::Vector3& value) {
    for (float component : value) cdr.float64(component);
}
void vector3(CdrReader& cdr, Servo::Vector3& value);

// std_msgs/Header: the stamp (builtin_interfaces/Time) and the frame, by
// default the arm's base.
template <class Cdr>
void header_layout(Cdr& cdr, int32_t& seconds, uint32_t& nanoseconds, const char* frame_id = FRAME_ID) {
    cdr.int32(seconds);
    cdr.uint32(nanoseconds);
    fixed(cdr, frame_id);
}

// sensor_msgs/JointState after its header: joints x, y, z; position [m],
// velocity [m/s] and effort (the force sent [N]).
template <class Cdr, class Tick>
void joint_state_layout(Cdr& cdr, Tick& tick) {
    fixed_length(cdr, 3);
    for (const char* name : JOINT_NAMES) fixed(cdr, name);
    fixed_length(cdr, 3);
    vector3(cdr, tick.position);
    fixed_length(cdr, 3);
    vector3(cdr, tick.velocity);
    fixed_length(cdr, 3);
    vector3(cdr, tick.force);
}

// kivra_msgs/msg/TickTiming after its header.
template <class Cdr, class Tick>
void tick_timing_layout(Cdr& cdr, Tick& tick) {
    cdr.uint64(tick.tick);
    cdr.float64(tick.time);
    cdr.float32(tick.wakeup_lateness);
    cdr.float32(tick.exchange_time);
    cdr.int32(tick.outcome);
    vector3(cdr, tick.host_force);
    cdr.uint32(tick.effects_changes);
    cdr.uint32(tick.scene_changes);
}

}  // namespace Kivra::HardwareAPI::Recording

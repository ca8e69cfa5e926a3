#pragma once

// Recording a servo loop's ticks into an MCAP file with ROS 2 message types
// (CDR-encoded), so that ROS 2 tools and any MCAP reader can open it.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KivraHardwareAPI/Handle.h"
#include "KivraHardwareAPI/ServoLoop.h"

namespace Kivra::HardwareAPI::Recording {

// How the chunks of a file are compressed.
enum class Compression { none, zstd, lz4 };

// The name MCAP gives it: "", "zstd", "lz4"; and the name users give it: "none", "zstd", "lz4".
const char* mcap_compression_name(Compression compression);
const char* compression_name(Compression compression);
// False for a compression this build was made without.
bool compression_available(Compression compression);

// CRC-32 as zlib and MCAP compute it; pass the previous result to continue.
uint32_t crc32(const void* data, std::size_t size, uint32_t previous = 0);

// ROS 2's CDR: XCDR1 little-endian behind the encapsulation header 00 01 00
// 00; each primitive is aligned to its size, counted from the end of that header.
class CdrWriter {
public:
    CdrWriter() { reset(); }
    void reset();  // back to the encapsulation header alone
    void uint8(uint8_t value) { put(&value, 1, 1); }
    void int32(int32_t value) { put(&value, 4, 4); }
    void uint32(uint32_t value) { put(&value, 4, 4); }
    void uint64(uint64_t value) { put(&value, 8, 8); }
    void float32(float value) { put(&value, 4, 4); }
    void float64(double value) { put(&value, 8, 8); }
    void string(const std::string& value);  // length with the terminating zero, the bytes, the zero
    void sequence_length(uint32_t count) { uint32(count); }
    const std::vector<uint8_t>& bytes() const { return buffer_; }

private:
    void put(const void* value, std::size_t size, std::size_t alignment);
    std::vector<uint8_t> buffer_;
};

// Writes an MCAP file onto a descriptor as it goes: schemas and channels
// first, then messages in chunks, each chunk followed by its message
// indexes, so that everything up to the last chunk written stays readable
// if the process dies; finish() adds the summary (schemas, channels,
// statistics, chunk indexes), the summary offsets and the footer.
// Throws std::system_error with the errno of a failed write.
class McapWriter {
public:
    // chunk_size: uncompressed bytes [B] of messages that close a chunk.
    McapWriter(int fd, Compression compression, std::size_t chunk_size);
    ~McapWriter();
    McapWriter(const McapWriter&) = delete;
    McapWriter& operator=(const McapWriter&) = delete;

    void start(const std::string& profile, const std::string& library);
    uint16_t add_schema(const std::string& name, const std::string& encoding, const std::string& data);
    uint16_t add_channel(uint16_t schema, const std::string& topic, const std::string& message_encoding);
    // log_time and publish_time [ns since the epoch].
    void add_message(uint16_t channel, uint32_t sequence, uint64_t log_time, uint64_t publish_time, const uint8_t* data,
                     std::size_t size);
    // Writes the messages added since the last chunk as one chunk, if any.
    void flush_chunk();
    void finish();
    uint64_t bytes_written() const { return offset_; }
    uint64_t message_count() const { return message_count_; }

private:
    struct Schema {
        uint16_t id;
        std::string name, encoding, data;
    };
    struct Channel {
        uint16_t id, schema;
        std::string topic, message_encoding;
    };
    struct ChunkIndex {
        uint64_t start_time, end_time, chunk_offset, chunk_length;
        std::map<uint16_t, uint64_t> message_index_offsets;
        uint64_t message_index_length, compressed_size, uncompressed_size;
    };
    void write(const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> compress(const std::vector<uint8_t>& records);

    const int fd_;
    const Compression compression_;
    const std::size_t chunk_size_;
    uint64_t offset_ = 0;
    uint32_t data_crc_ = 0;
    std::vector<Schema> schemas_;
    std::vector<Channel> channels_;
    std::vector<ChunkIndex> chunk_indexes_;
    std::map<uint16_t, uint64_t> channel_message_counts_;
    uint64_t message_count_ = 0, start_time_ = 0, end_time_ = 0;
    // The chunk being filled.
    std::vector<uint8_t> chunk_;
    std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> chunk_message_index_;  // log time, offset
    uint64_t chunk_start_time_ = 0, chunk_end_time_ = 0;
    void* compressor_ = nullptr;  // zstd's context, kept between chunks
};

struct RecorderOptions {
    Compression compression = Compression::zstd;
    double drain_period = 0.02;        // [s] between two drains of the loop's ticks
    double flush_period = 0.5;         // [s] the longest a tick waits in memory before it is written
    std::size_t chunk_size = 1 << 20;  // [B] of uncompressed messages that close a chunk sooner
    std::size_t tap_capacity = 16384;  // ticks held between two drains
    double diagnostics_period = 1.0;   // [s] of loop time between two diagnostics
    // The arm's identity, written once ("unique id" is also the hardware id).
    std::vector<std::pair<std::string, std::string>> identity;
};

struct RecorderStatus {
    uint64_t ticks_written = 0;
    uint64_t ticks_dropped = 0;  // ticks the loop made that the recorder could not keep
    uint64_t bytes = 0;          // [B] written to the file so far
    uint64_t handle_frames = 0;  // status frames of an attached handle written
    bool recording = false;      // false once stopped or failed
    std::string error;           // why the recording ended early, empty if it did not
};

// The topics every recording has, in the conventions of ROS 2.
extern const char* const JOINT_STATES_TOPIC;
extern const char* const POSE_TOPIC;
extern const char* const TWIST_TOPIC;
extern const char* const WRENCH_TOPIC;
extern const char* const DIAGNOSTICS_TOPIC;
extern const char* const TICK_TIMING_TOPIC;
extern const char* const EFFECTS_TOPIC;
extern const char* const IDENTITY_TOPIC;
extern const char* const HANDLE_BUTTONS_TOPIC;      // sensor_msgs/msg/Joy of an attached handle
extern const char* const HANDLE_ORIENTATION_TOPIC;  // geometry_msgs/msg/QuaternionStamped of it
extern const char* const FRAME_ID;                  // of every stamped message of the arm: its base
extern const char* const HANDLE_FRAME_ID;           // of the handle's messages

// Records every tick of a servo loop into an MCAP file on a thread of its
// own, beside the loop: a TraceTap of its own, drained every drain_period,
// and a chunk written at least every flush_period. The servo thread does
// nothing more than fill the tap. A failed write (a full disk) ends the
// recording and keeps the error for status(); the loop runs on.
class Recorder {
public:
    // Creates or truncates the file at path and records from the next tick
    // on. Throws std::invalid_argument for a compression not built in or
    // options out of range, std::runtime_error when the loop has no free
    // tap, std::system_error when the file cannot be made or the thread not started.
    Recorder(Servo::ServoLoop& loop, const std::string& path, const RecorderOptions& options = {});
    ~Recorder();  // stops
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Writes the ticks still held and the summary, and closes the file; a second call does nothing.
    void stop();
    RecorderStatus status() const;
    // Text (JSON) that describes the scene set next, written beside the next scene change.
    void describe_scene(const std::string& description);
    // Records a handle's status frames too, as they come, read on a thread
    // of their own until the recording stops or a read fails. False, and
    // source not used, when a handle is attached already or the recording
    // has stopped.
    bool attach_handle(Devices::HandleFrameSource source);

private:
    void run();
    void drain();
    void write_tick(const Servo::TickState& tick);
    void write_text(uint16_t channel, uint64_t stamp, const std::string& text);
    void write_diagnostics(uint64_t stamp);
    void write_identity(uint64_t stamp);
    void write_message(uint16_t channel, uint64_t stamp);
    void fail(const std::string& error);
    uint64_t stamp_of(const Servo::TickState& tick);
    void read_handle();
    void write_handle_frames();

    struct HandleFrame {
        uint64_t stamp;  // [ns since the epoch] when it was read
        Devices::ManiloStatus status;
    };

    Servo::ServoLoop& loop_;
    const RecorderOptions options_;
    const std::string path_;
    int fd_ = -1;
    std::unique_ptr<McapWriter> writer_;
    Servo::TraceTap tap_;
    std::vector<Servo::TickState> batch_;
    CdrWriter cdr_;
    std::map<std::string, uint16_t> channels_;
    std::map<uint16_t, uint32_t> sequences_;
    bool attached_ = false;

    // The recorder's thread's own.
    int64_t started_at_ = 0;
    uint64_t last_tick_ = 0;
    bool seen_tick_ = false;
    uint32_t effects_changes_ = 0, scene_changes_ = 0;
    double next_diagnostics_ = 0.0;
    uint64_t previous_ticks_ = 0;
    double previous_elapsed_ = 0.0;

    mutable std::mutex mutex_;  // what status() and describe_scene share with the thread
    std::condition_variable wake_;
    bool stopping_ = false;
    bool stopped_ = false;
    std::string error_;
    std::string scene_description_;
    std::atomic<uint64_t> ticks_written_{0};
    std::atomic<uint64_t> bytes_{0};
    std::atomic<bool> recording_{false};
    std::mutex stop_mutex_;
    std::thread thread_;

    // An attached handle: its reader thread hands frames to the recorder's
    // through frames_read_ (handle_mutex_), at most HANDLE_BACKLOG of them.
    Devices::HandleFrameSource handle_;
    std::thread handle_thread_;
    std::atomic<bool> handle_stopping_{false};
    std::mutex handle_mutex_;
    std::vector<HandleFrame> frames_read_;
    std::vector<HandleFrame> frames_writing_;  // the recorder's thread's own
    std::atomic<uint64_t> handle_frames_{0};
};

}  // namespace Kivra::HardwareAPI::Recording

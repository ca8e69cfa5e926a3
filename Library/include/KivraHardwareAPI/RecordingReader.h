#pragma once

// Reading back the MCAP files a Recorder writes, and making a file cut short
// (its process killed) whole again.

#include <cstdint>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "KivraHardwareAPI/Recording.h"
#include "KivraHardwareAPI/ServoLoop.h"

namespace Kivra::HardwareAPI::Recording {

// A file that is not a recording of this library, or one damaged before its end.
class FormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The records of an MCAP file, walked from its start without its summary,
// chunks decompressed and their CRCs checked: a file cut short reads up to
// its last whole record. Throws std::system_error when the file cannot be
// read, FormatError for one that is not MCAP or is damaged before its end.
class McapReader {
public:
    enum class Kind { schema, channel, message, chunk_end };
    struct Record {
        Kind kind = Kind::message;
        uint16_t id = 0;       // of the schema, the channel, or a message's channel
        uint16_t schema = 0;   // a channel's
        std::string name;      // a schema's name, a channel's topic
        std::string encoding;  // a schema's or a channel's message encoding
        std::string data;      // a schema's definition
        uint32_t sequence = 0;
        uint64_t log_time = 0, publish_time = 0;  // [ns since the epoch]
        std::vector<uint8_t> bytes;               // a message's
    };

    explicit McapReader(const std::string& path);
    ~McapReader();
    McapReader(const McapReader&) = delete;
    McapReader& operator=(const McapReader&) = delete;

    // The next record, false at the end of the data (or of a file cut short).
    bool next(Record& record);
    // Once next() gave false: whether the file ended with its summary and footer.
    bool whole() const { return whole_; }
    // The compression of the chunks read so far (none before the first).
    Compression compression() const { return compression_; }
    const std::string& path() const { return path_; }

private:
    bool read_record();
    bool next_in_chunk(Record& record);
    void open_chunk();
    [[noreturn]] void damaged(const std::string& what) const;

    const std::string path_;
    std::FILE* file_ = nullptr;
    uint64_t size_ = 0, offset_ = 0;
    uint8_t opcode_ = 0;
    uint64_t record_at_ = 0;
    std::vector<uint8_t> record_;  // the content of the record read last
    std::vector<uint8_t> chunk_;   // the records of the open chunk, decompressed
    std::size_t chunk_at_ = 0;
    bool in_chunk_ = false, ended_ = false, whole_ = false;
    Compression compression_ = Compression::none;
};

// One tick of a recording, as the loop's trace had it.
struct RecordedTick {
    Servo::TickState state;
    uint64_t stamp = 0;                // [ns since the epoch]
    std::vector<std::string> changes;  // JSON of the effects and scene changes written with this tick
};

// The ticks of a recording in order; throws as McapReader does, and
// FormatError for an MCAP file that this library did not write.
class RecordingReader {
public:
    explicit RecordingReader(const std::string& path);
    // The next tick, false after the last whole one.
    bool next(RecordedTick& tick);
    // Once next() gave false: whether the file ended with its summary and footer.
    bool whole() const { return mcap_.whole(); }

private:
    McapReader mcap_;
    McapReader::Record record_;
    std::map<uint16_t, std::string> topics_;
    Servo::TickState pending_;
    uint64_t pending_stamp_ = 0;
    bool have_joints_ = false;
    std::vector<std::string> changes_;
};

struct RepairResult {
    bool was_whole = false;  // the file had its summary and was left as it was
    uint64_t ticks = 0;      // ticks in the file (kept, when it was repaired)
    uint64_t chunks = 0;     // whole chunks kept
};

// Makes a recording cut short whole in place: its whole chunks rewritten
// into a file beside it (path + ".repair") with a new summary and footer,
// which then replaces it. A whole file is left as it is.
RepairResult repair(const std::string& path);

}  // namespace Kivra::HardwareAPI::Recording

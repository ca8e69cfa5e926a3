// Reading recordings back: MCAP records from the start of the file, chunks
// decompressed and checked, and the ticks decoded with the writer's layouts.

#include "KivraHardwareAPI/RecordingReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "RecordingFormat.h"

#ifdef KIVRA_HAVE_ZSTD
#include <zstd.h>
#endif
#ifdef KIVRA_HAVE_LZ4
#include <lz4frame.h>
#endif

namespace Kivra::HardwareAPI::Recording {

CdrReader::CdrReader(const uint8_t* data, std::size_t size) : data_(data), size_(size), at_(4) {
    if (size < 4 || data[0] != 0x00 || data[1] != 0x01)
        throw FormatError("a message without the CDR little-endian encapsulation header");
}

void CdrReader::get(void* value, std::size_t size, std::size_t alignment) {
    constexpr std::size_t ENCAPSULATION = 4;
    at_ += (alignment - (at_ - ENCAPSULATION) % alignment) % alignment;
    if (at_ + size > size_) throw FormatError("a message shorter than its type");
    std::memcpy(value, data_ + at_, size);  // the machine is little-endian, as the encoding is
    at_ += size;
}

void CdrReader::string(std::string& value) {
    uint32_t length = 0;
    uint32(length);
    if (length == 0 || at_ + length > size_ || data_[at_ + length - 1] != 0)
        throw FormatError("a message with a string cut short");
    value.assign(reinterpret_cast<const char*>(data_ + at_), length - 1);
    at_ += length;
}

void fixed(CdrReader& cdr, const char* text) {
    std::string value;
    cdr.string(value);
    if (value != text) throw FormatError("a message with \"" + value + "\" where \"" + text + "\" belongs");
}

void fixed_length(CdrReader& cdr, uint32_t count) {
    uint32_t value = 0;
    cdr.uint32(value);
    if (value != count)
        throw FormatError("a message with " + std::to_string(value) + " values where " + std::to_string(count) +
                          " belong");
}

void vector3(CdrReader& cdr, Servo::Vector3& value) {
    for (float& component : value) {
        double wide = 0.0;
        cdr.float64(wide);
        component = float(wide);
    }
}

namespace {

// Little-endian fields of a record's content, bounds checked.
class Fields {
public:
    Fields(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    uint64_t u(int bytes) {
        need(std::size_t(bytes));
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) value |= uint64_t(data_[at_ + i]) << (8 * i);
        at_ += std::size_t(bytes);
        return value;
    }
    std::string string() {
        const std::size_t length = std::size_t(u(4));
        need(length);
        std::string text(reinterpret_cast<const char*>(data_ + at_), length);
        at_ += length;
        return text;
    }
    const uint8_t* take(std::size_t length) {
        need(length);
        at_ += length;
        return data_ + at_ - length;
    }
    std::size_t left() const { return size_ - at_; }

private:
    void need(std::size_t length) const {
        if (length > size_ - at_) throw FormatError("a record shorter than its fields");
    }
    const uint8_t* data_;
    std::size_t size_, at_ = 0;
};

Compression compression_of(const std::string& name) {
    for (Compression c : {Compression::none, Compression::zstd, Compression::lz4}) {
        if (name == mcap_compression_name(c)) return c;
    }
    throw FormatError("a chunk compressed as \"" + name + "\", which this library does not read");
}

std::vector<uint8_t> decompress(Compression compression, const uint8_t* data, std::size_t size,
                                std::size_t uncompressed) {
    if (compression == Compression::none) return {data, data + size};
    if (!compression_available(compression))
        throw FormatError(std::string("a chunk compressed as ") + compression_name(compression) +
                          ", which is not built into this library");
    std::vector<uint8_t> out(uncompressed);
#ifdef KIVRA_HAVE_ZSTD
    if (compression == Compression::zstd) {
        const std::size_t got = ZSTD_decompress(out.data(), out.size(), data, size);
        if (ZSTD_isError(got) || got != uncompressed) throw FormatError("a chunk that zstd cannot decompress");
        return out;
    }
#endif
#ifdef KIVRA_HAVE_LZ4
    if (compression == Compression::lz4) {
        LZ4F_dctx* context = nullptr;
        if (LZ4F_isError(LZ4F_createDecompressionContext(&context, LZ4F_VERSION))) throw std::bad_alloc();
        std::size_t in = 0, produced = 0, hint = 1;
        while (hint != 0 && in < size && produced < out.size()) {
            std::size_t out_size = out.size() - produced, in_size = size - in;
            hint = LZ4F_decompress(context, out.data() + produced, &out_size, data + in, &in_size, nullptr);
            if (LZ4F_isError(hint)) break;
            in += in_size;
            produced += out_size;
        }
        LZ4F_freeDecompressionContext(context);
        if (LZ4F_isError(hint) || produced != uncompressed) throw FormatError("a chunk that lz4 cannot decompress");
        return out;
    }
#endif
    return out;
}

}  // namespace

McapReader::McapReader(const std::string& path) : path_(path) {
    file_ = std::fopen(path.c_str(), "rbe");
    if (file_ == nullptr) throw std::system_error(errno, std::generic_category(), path);
    struct stat status {};
    uint8_t magic[sizeof(MAGIC)] = {};
    if (::fstat(fileno(file_), &status) != 0 || !S_ISREG(status.st_mode)) {
        std::fclose(file_);
        throw FormatError(path + ": not a regular file");
    }
    size_ = uint64_t(status.st_size);
    if (std::fread(magic, 1, sizeof(magic), file_) != sizeof(magic) || std::memcmp(magic, MAGIC, sizeof(magic)) != 0) {
        std::fclose(file_);
        throw FormatError(path + ": not an MCAP file (it does not start with MCAP's magic bytes)");
    }
    offset_ = sizeof(MAGIC);
    try {
        if (!read_record() || opcode_ != HEADER) damaged("no header record after the magic bytes");
        Fields header(record_.data(), record_.size());
        const std::string profile = header.string(), library = header.string();
        if (profile != PROFILE || library != LIBRARY)
            throw FormatError(path + ": an MCAP file, but not a recording of " + LIBRARY + " (profile \"" + profile +
                              "\", library \"" + library + "\")");
    } catch (...) {
        std::fclose(file_);
        throw;
    }
}

McapReader::~McapReader() { std::fclose(file_); }

void McapReader::damaged(const std::string& what) const {
    throw FormatError(path_ + ": damaged at byte " + std::to_string(record_at_) + ": " + what);
}

// The next record's opcode and content; false when the file ends before it
// is whole.
bool McapReader::read_record() {
    uint8_t prefix[RECORD_PREFIX];
    if (size_ - offset_ < RECORD_PREFIX || std::fread(prefix, 1, RECORD_PREFIX, file_) != RECORD_PREFIX) return false;
    uint64_t length = 0;
    for (int i = 0; i < 8; ++i) length |= uint64_t(prefix[1 + i]) << (8 * i);
    if (length > size_ - offset_ - RECORD_PREFIX) return false;
    record_at_ = offset_;
    opcode_ = prefix[0];
    record_.resize(std::size_t(length));
    if (std::fread(record_.data(), 1, record_.size(), file_) != record_.size())
        throw std::system_error(errno ? errno : EIO, std::generic_category(), path_);
    offset_ += RECORD_PREFIX + length;
    return true;
}

void McapReader::open_chunk() {
    Fields chunk(record_.data(), record_.size());
    chunk.u(8);  // start and end time
    chunk.u(8);
    const uint64_t uncompressed = chunk.u(8);
    const uint32_t crc = uint32_t(chunk.u(4));
    compression_ = compression_of(chunk.string());
    const std::size_t size = std::size_t(chunk.u(8));
    const uint8_t* records = chunk.take(size);
    if (uncompressed > (uint64_t(1) << 32)) damaged("a chunk larger than 4 GiB");
    chunk_ = decompress(compression_, records, size, std::size_t(uncompressed));
    if (chunk_.size() != uncompressed) damaged("a chunk whose size is not the one its record gives");
    if (crc != 0 && crc32(chunk_.data(), chunk_.size()) != crc) damaged("a chunk whose CRC does not match");
    chunk_at_ = 0;
    in_chunk_ = true;
}

namespace {

// A schema, channel or message record's content into record; false for any other opcode.
bool decode(uint8_t opcode, Fields fields, McapReader::Record& record) {
    switch (opcode) {
        case SCHEMA:
            record.kind = McapReader::Kind::schema;
            record.id = uint16_t(fields.u(2));
            record.name = fields.string();
            record.encoding = fields.string();
            record.data = fields.string();
            return true;
        case CHANNEL:
            record.kind = McapReader::Kind::channel;
            record.id = uint16_t(fields.u(2));
            record.schema = uint16_t(fields.u(2));
            record.name = fields.string();
            record.encoding = fields.string();
            return true;
        case MESSAGE: {
            record.kind = McapReader::Kind::message;
            record.id = uint16_t(fields.u(2));
            record.sequence = uint32_t(fields.u(4));
            record.log_time = fields.u(8);
            record.publish_time = fields.u(8);
            const std::size_t size = fields.left();
            const uint8_t* data = fields.take(size);
            record.bytes.assign(data, data + size);
            return true;
        }
        default: return false;
    }
}

}  // namespace

bool McapReader::next_in_chunk(Record& record) {
    while (chunk_at_ < chunk_.size()) {
        Fields prefix(chunk_.data() + chunk_at_, chunk_.size() - chunk_at_);
        const uint8_t opcode = uint8_t(prefix.u(1));
        const uint64_t length = prefix.u(8);
        if (length > prefix.left()) damaged("a record in a chunk longer than the chunk");
        const std::size_t content = chunk_at_ + RECORD_PREFIX;
        chunk_at_ = content + std::size_t(length);
        if (decode(opcode, Fields(chunk_.data() + content, std::size_t(length)), record)) return true;
    }
    in_chunk_ = false;
    record.kind = Kind::chunk_end;
    return true;
}

bool McapReader::next(Record& record) {
    try {
        for (;;) {
            if (in_chunk_) return next_in_chunk(record);
            if (ended_ || !read_record()) {
                ended_ = true;
                return false;
            }
            if (opcode_ == CHUNK) {
                open_chunk();
                continue;
            }
            if (opcode_ == DATA_END || opcode_ == FOOTER) {
                ended_ = true;
                // Whole: the file ends with a footer and the magic bytes again.
                uint8_t tail[sizeof(MAGIC)] = {};
                const uint64_t footer = RECORD_PREFIX + FOOTER_CONTENT + sizeof(MAGIC);
                whole_ = size_ >= offset_ + sizeof(MAGIC) &&
                         std::fseek(file_, long(size_ - sizeof(MAGIC)), SEEK_SET) == 0 &&
                         std::fread(tail, 1, sizeof(tail), file_) == sizeof(tail) &&
                         std::memcmp(tail, MAGIC, sizeof(MAGIC)) == 0 && size_ >= footer;
                return false;
            }
            if (decode(opcode_, Fields(record_.data(), record_.size()), record)) return true;
        }
    } catch (const FormatError& error) {
        const std::string what = error.what();
        if (what.rfind(path_ + ":", 0) == 0) throw;
        damaged(what);
    }
}

RecordingReader::RecordingReader(const std::string& path) : mcap_(path) {}

bool RecordingReader::next(RecordedTick& tick) {
    while (mcap_.next(record_)) {
        if (record_.kind == McapReader::Kind::channel) {
            topics_[record_.id] = record_.name;
            continue;
        }
        if (record_.kind != McapReader::Kind::message) continue;
        const auto topic = topics_.find(record_.id);
        if (topic == topics_.end())
            throw FormatError(mcap_.path() + ": a message on channel " + std::to_string(record_.id) +
                              " before the channel");
        try {
            CdrReader cdr(record_.bytes.data(), record_.bytes.size());
            int32_t seconds = 0;
            uint32_t nanoseconds = 0;
            if (topic->second == EFFECTS_TOPIC) {
                std::string text;
                cdr.string(text);
                changes_.push_back(std::move(text));
            } else if (topic->second == JOINT_STATES_TOPIC) {
                header_layout(cdr, seconds, nanoseconds);
                joint_state_layout(cdr, pending_);
                pending_stamp_ = record_.log_time;
                have_joints_ = true;
            } else if (topic->second == TICK_TIMING_TOPIC) {
                header_layout(cdr, seconds, nanoseconds);
                tick_timing_layout(cdr, pending_);
                if (!have_joints_ || pending_stamp_ != record_.log_time)
                    throw FormatError("a tick's timing without its joint states");
                have_joints_ = false;
                tick.state = pending_;
                tick.stamp = record_.log_time;
                tick.changes.swap(changes_);
                changes_.clear();
                return true;
            }
        } catch (const FormatError& error) {
            throw FormatError(mcap_.path() + ": on " + topic->second + " at " + std::to_string(record_.log_time) +
                              " ns: " + error.what());
        }
    }
    return false;
}

RepairResult repair(const std::string& path) {
    RepairResult result;
    uint16_t timing_channel = 0;
    bool has_timing = false;
    Compression compression = Compression::none;
    {
        McapReader in(path);
        McapReader::Record record;
        while (in.next(record)) {
            if (record.kind == McapReader::Kind::channel && record.name == TICK_TIMING_TOPIC) {
                timing_channel = record.id;
                has_timing = true;
            }
            if (record.kind == McapReader::Kind::message && has_timing && record.id == timing_channel) ++result.ticks;
            if (record.kind == McapReader::Kind::chunk_end) ++result.chunks;
        }
        compression = in.compression();
        if (in.whole()) {
            result.was_whole = true;
            return result;
        }
    }
    const std::string temporary = path + ".repair";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), temporary);
    try {
        McapReader in(path);
        McapWriter out(fd, compression, SIZE_MAX);
        out.start(PROFILE, LIBRARY);
        std::map<uint16_t, uint16_t> schemas, channels;
        McapReader::Record record;
        while (in.next(record)) {
            switch (record.kind) {
                case McapReader::Kind::schema:
                    schemas[record.id] = out.add_schema(record.name, record.encoding, record.data);
                    break;
                case McapReader::Kind::channel:
                    channels[record.id] = out.add_channel(schemas[record.schema], record.name, record.encoding);
                    break;
                case McapReader::Kind::message:
                    out.add_message(channels.at(record.id), record.sequence, record.log_time, record.publish_time,
                                    record.bytes.data(), record.bytes.size());
                    break;
                case McapReader::Kind::chunk_end: out.flush_chunk(); break;
            }
        }
        out.finish();
        if (::fsync(fd) != 0) throw std::system_error(errno, std::generic_category(), temporary);
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    if (::close(fd) != 0 || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw std::system_error(error, std::generic_category(), path);
    }
    return result;
}

}  // namespace Kivra::HardwareAPI::Recording

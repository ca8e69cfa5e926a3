// The MCAP container and the CDR encoding beneath the recorder: pure byte
// building, apart from the descriptor the file's bytes go to.

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "KivraHardwareAPI/Recording.h"
#include "RecordingFormat.h"

#ifdef KIVRA_HAVE_ZSTD
#include <zstd.h>
#endif
#ifdef KIVRA_HAVE_LZ4
#include <lz4frame.h>
#endif

namespace Kivra::HardwareAPI::Recording {

namespace {

constexpr int ZSTD_LEVEL = 3;

std::array<uint32_t, 256> crc_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? 0xEDB88320u ^ (value >> 1) : value >> 1;
        table[i] = value;
    }
    return table;
}

// Little-endian fields of MCAP's records.
class Bytes {
public:
    explicit Bytes(std::vector<uint8_t>& out) : out_(out) {}
    void u8(uint8_t value) { out_.push_back(value); }
    void u16(uint16_t value) { little(value, 2); }
    void u32(uint32_t value) { little(value, 4); }
    void u64(uint64_t value) { little(value, 8); }
    void raw(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        out_.insert(out_.end(), bytes, bytes + size);
    }
    void string(const std::string& text) {
        u32(uint32_t(text.size()));
        raw(text.data(), text.size());
    }
    // A record: opcode, a length patched in by end(), the content between.
    std::size_t begin(uint8_t opcode) {
        u8(opcode);
        const std::size_t at = out_.size();
        u64(0);
        return at;
    }
    void end(std::size_t at) { patch64(at, out_.size() - at - 8); }
    void patch32(std::size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) out_[at + i] = uint8_t(value >> (8 * i));
    }
    void patch64(std::size_t at, uint64_t value) {
        for (int i = 0; i < 8; ++i) out_[at + i] = uint8_t(value >> (8 * i));
    }
    std::size_t size() const { return out_.size(); }

private:
    void little(uint64_t value, int size) {
        for (int i = 0; i < size; ++i) out_.push_back(uint8_t(value >> (8 * i)));
    }
    std::vector<uint8_t>& out_;
};

}  // namespace

uint32_t crc32(const void* data, std::size_t size, uint32_t previous) {
    static const std::array<uint32_t, 256> table = crc_table();
    uint32_t crc = ~previous;
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

const char* mcap_compression_name(Compression compression) {
    switch (compression) {
        case Compression::zstd: return "zstd";
        case Compression::lz4: return "lz4";
        default: return "";
    }
}

const char* compression_name(Compression compression) {
    return compression == Compression::none ? "none" : mcap_compression_name(compression);
}

bool compression_available(Compression compression) {
    switch (compression) {
        case Compression::none: return true;
#ifdef KIVRA_HAVE_ZSTD
        case Compression::zstd: return true;
#endif
#ifdef KIVRA_HAVE_LZ4
        case Compression::lz4: return true;
#endif
        default: return false;
    }
}

void CdrWriter::reset() { buffer_.assign({0x00, 0x01, 0x00, 0x00}); }

void CdrWriter::put(const void* value, std::size_t size, std::size_t alignment) {
    constexpr std::size_t ENCAPSULATION = 4;
    const std::size_t position = buffer_.size() - ENCAPSULATION;
    buffer_.resize(buffer_.size() + (alignment - position % alignment) % alignment, 0);
    const auto* bytes = static_cast<const uint8_t*>(value);
    buffer_.insert(buffer_.end(), bytes, bytes + size);  // the machine is little-endian, as the encoding is
}

void CdrWriter::string(const std::string& value) {
    uint32(uint32_t(value.size() + 1));
    buffer_.insert(buffer_.end(), value.begin(), value.end());
    buffer_.push_back(0);
}

McapWriter::McapWriter(int fd, Compression compression, std::size_t chunk_size)
    : fd_(fd), compression_(compression), chunk_size_(chunk_size) {
    if (!compression_available(compression))
        throw std::invalid_argument(std::string("compression ") + compression_name(compression) +
                                    " is not built into this library");
#ifdef KIVRA_HAVE_ZSTD
    if (compression == Compression::zstd) {
        compressor_ = ZSTD_createCCtx();
        if (compressor_ == nullptr) throw std::bad_alloc();
    }
#endif
}

McapWriter::~McapWriter() {
#ifdef KIVRA_HAVE_ZSTD
    ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(compressor_));
#endif
}

void McapWriter::write(const std::vector<uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category());
        }
        done += std::size_t(written);
    }
    data_crc_ = crc32(bytes.data(), bytes.size(), data_crc_);
    offset_ += bytes.size();
}

void McapWriter::start(const std::string& profile, const std::string& library) {
    std::vector<uint8_t> out;
    Bytes b(out);
    b.raw(MAGIC, sizeof(MAGIC));
    const std::size_t header = b.begin(HEADER);
    b.string(profile);
    b.string(library);
    b.end(header);
    write(out);
}

namespace {

void schema_record(Bytes& b, uint16_t id, const std::string& name, const std::string& encoding,
                   const std::string& data) {
    const std::size_t record = b.begin(SCHEMA);
    b.u16(id);
    b.string(name);
    b.string(encoding);
    b.string(data);
    b.end(record);
}

void channel_record(Bytes& b, uint16_t id, uint16_t schema, const std::string& topic, const std::string& encoding) {
    const std::size_t record = b.begin(CHANNEL);
    b.u16(id);
    b.u16(schema);
    b.string(topic);
    b.string(encoding);
    b.u32(0);  // no metadata
    b.end(record);
}

}  // namespace

uint16_t McapWriter::add_schema(const std::string& name, const std::string& encoding, const std::string& data) {
    const uint16_t id = uint16_t(schemas_.size() + 1);  // 0 means "no schema"
    std::vector<uint8_t> out;
    Bytes b(out);
    schema_record(b, id, name, encoding, data);
    write(out);
    schemas_.push_back({id, name, encoding, data});
    return id;
}

uint16_t McapWriter::add_channel(uint16_t schema, const std::string& topic, const std::string& message_encoding) {
    const uint16_t id = uint16_t(channels_.size());
    std::vector<uint8_t> out;
    Bytes b(out);
    channel_record(b, id, schema, topic, message_encoding);
    write(out);
    channels_.push_back({id, schema, topic, message_encoding});
    channel_message_counts_[id] = 0;
    return id;
}

void McapWriter::add_message(uint16_t channel, uint32_t sequence, uint64_t log_time, uint64_t publish_time,
                             const uint8_t* data, std::size_t size) {
    if (chunk_.empty() || log_time < chunk_start_time_) chunk_start_time_ = log_time;
    if (chunk_.empty() || log_time > chunk_end_time_) chunk_end_time_ = log_time;
    chunk_message_index_[channel].emplace_back(log_time, chunk_.size());
    Bytes b(chunk_);
    const std::size_t record = b.begin(MESSAGE);
    b.u16(channel);
    b.u32(sequence);
    b.u64(log_time);
    b.u64(publish_time);
    b.raw(data, size);
    b.end(record);
    if (message_count_ == 0 || log_time < start_time_) start_time_ = log_time;
    if (message_count_ == 0 || log_time > end_time_) end_time_ = log_time;
    ++message_count_;
    ++channel_message_counts_[channel];
    if (chunk_.size() >= chunk_size_) flush_chunk();
}

std::vector<uint8_t> McapWriter::compress(const std::vector<uint8_t>& records) {
    std::vector<uint8_t> out;
#ifdef KIVRA_HAVE_ZSTD
    if (compression_ == Compression::zstd) {
        out.resize(ZSTD_compressBound(records.size()));
        const std::size_t size = ZSTD_compressCCtx(static_cast<ZSTD_CCtx*>(compressor_), out.data(), out.size(),
                                                   records.data(), records.size(), ZSTD_LEVEL);
        if (ZSTD_isError(size)) throw std::runtime_error(std::string("zstd: ") + ZSTD_getErrorName(size));
        out.resize(size);
        return out;
    }
#endif
#ifdef KIVRA_HAVE_LZ4
    if (compression_ == Compression::lz4) {
        LZ4F_preferences_t preferences{};
        preferences.frameInfo.contentSize = records.size();
        out.resize(LZ4F_compressFrameBound(records.size(), &preferences));
        const std::size_t size =
            LZ4F_compressFrame(out.data(), out.size(), records.data(), records.size(), &preferences);
        if (LZ4F_isError(size)) throw std::runtime_error(std::string("lz4: ") + LZ4F_getErrorName(size));
        out.resize(size);
        return out;
    }
#endif
    return records;
}

void McapWriter::flush_chunk() {
    if (chunk_.empty()) return;
    const std::vector<uint8_t> compressed = compress(chunk_);
    // The chunk and its message indexes go out in one write, so that a
    // process killed meanwhile leaves at most one record cut short.
    std::vector<uint8_t> out;
    Bytes b(out);
    ChunkIndex index{};
    index.start_time = chunk_start_time_;
    index.end_time = chunk_end_time_;
    index.chunk_offset = offset_;
    const std::size_t chunk = b.begin(CHUNK);
    b.u64(chunk_start_time_);
    b.u64(chunk_end_time_);
    b.u64(chunk_.size());
    b.u32(crc32(chunk_.data(), chunk_.size()));
    b.string(mcap_compression_name(compression_));
    b.u64(compressed.size());
    b.raw(compressed.data(), compressed.size());
    b.end(chunk);
    index.chunk_length = b.size();
    for (const auto& [channel, entries] : chunk_message_index_) {
        index.message_index_offsets[channel] = offset_ + b.size();
        const std::size_t record = b.begin(MESSAGE_INDEX);
        b.u16(channel);
        b.u32(uint32_t(entries.size() * 16));
        for (const auto& [time, at] : entries) {
            b.u64(time);
            b.u64(at);
        }
        b.end(record);
    }
    index.message_index_length = b.size() - index.chunk_length;
    index.compressed_size = compressed.size();
    index.uncompressed_size = chunk_.size();
    write(out);
    chunk_indexes_.push_back(std::move(index));
    chunk_.clear();
    chunk_message_index_.clear();
}

void McapWriter::finish() {
    flush_chunk();
    std::vector<uint8_t> out;
    Bytes b(out);
    const std::size_t data_end = b.begin(DATA_END);
    b.u32(0);  // patched below: the data section's CRC covers everything before this record
    b.end(data_end);
    Bytes(out).patch32(data_end + 8, data_crc_);

    // Summary: each kind of record as one group, whose place the summary offsets give.
    const uint64_t summary_start = offset_ + out.size();
    struct Group {
        uint8_t opcode;
        uint64_t start, length;
    };
    std::vector<Group> groups;
    auto group = [&](uint8_t opcode, auto&& records) {
        const std::size_t start = b.size();
        records();
        if (b.size() > start) groups.push_back({opcode, offset_ + start, b.size() - start});
    };
    group(SCHEMA, [&] {
        for (const Schema& s : schemas_) schema_record(b, s.id, s.name, s.encoding, s.data);
    });
    group(CHANNEL, [&] {
        for (const Channel& c : channels_) channel_record(b, c.id, c.schema, c.topic, c.message_encoding);
    });
    group(STATISTICS, [&] {
        const std::size_t record = b.begin(STATISTICS);
        b.u64(message_count_);
        b.u16(uint16_t(schemas_.size()));
        b.u32(uint32_t(channels_.size()));
        b.u32(0);  // attachments
        b.u32(0);  // metadata
        b.u32(uint32_t(chunk_indexes_.size()));
        b.u64(start_time_);
        b.u64(end_time_);
        b.u32(uint32_t(channel_message_counts_.size() * 10));
        for (const auto& [channel, count] : channel_message_counts_) {
            b.u16(channel);
            b.u64(count);
        }
        b.end(record);
    });
    group(CHUNK_INDEX, [&] {
        for (const ChunkIndex& c : chunk_indexes_) {
            const std::size_t record = b.begin(CHUNK_INDEX);
            b.u64(c.start_time);
            b.u64(c.end_time);
            b.u64(c.chunk_offset);
            b.u64(c.chunk_length);
            b.u32(uint32_t(c.message_index_offsets.size() * 10));
            for (const auto& [channel, at] : c.message_index_offsets) {
                b.u16(channel);
                b.u64(at);
            }
            b.u64(c.message_index_length);
            b.string(mcap_compression_name(compression_));
            b.u64(c.compressed_size);
            b.u64(c.uncompressed_size);
            b.end(record);
        }
    });
    const uint64_t summary_offset_start = offset_ + out.size();
    for (const Group& g : groups) {
        const std::size_t record = b.begin(SUMMARY_OFFSET);
        b.u8(g.opcode);
        b.u64(g.start);
        b.u64(g.length);
        b.end(record);
    }
    // Its length written at once, not patched: the CRC below covers it.
    b.u8(FOOTER);
    b.u64(8 + 8 + 4);
    b.u64(summary_start);
    b.u64(summary_offset_start);
    // The summary's CRC runs from its start through the footer's summary_offset_start.
    const std::size_t summary_at = std::size_t(summary_start - offset_);
    b.u32(crc32(out.data() + summary_at, out.size() - summary_at));
    b.raw(MAGIC, sizeof(MAGIC));
    write(out);
}

}  // namespace Kivra::HardwareAPI::Recording

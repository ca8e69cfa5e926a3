// The recorder's encodings against bytes worked out by hand; the reader on a
// file cut short at every byte.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KivraHardwareAPI/Recording.h"
#include "KivraHardwareAPI/RecordingReader.h"

namespace Recording = Kivra::HardwareAPI::Recording;

TEST(Recording, Crc32GivesTheCheckValueOfItsDefinition) {
    const char* digits = "123456789";
    EXPECT_EQ(Recording::crc32(digits, 9), 0xCBF43926u);
    EXPECT_EQ(Recording::crc32(digits + 4, 5, Recording::crc32(digits, 4)), 0xCBF43926u);
}

TEST(Recording, CdrAlignsEachPrimitiveFromTheEndOfTheEncapsulationHeader) {
    Recording::CdrWriter cdr;
    cdr.uint8(7);
    cdr.float64(2.0);        // 7 bytes of padding first
    cdr.string("ab");        // length 3 with the zero
    cdr.uint32(0x01020304);  // one byte of padding after "ab\0"
    cdr.float32(1.0f);
    cdr.sequence_length(1);
    cdr.uint64(5);  // 4 bytes of padding
    const std::vector<uint8_t> expected = {
        0x00, 0x01, 0x00, 0x00,                          // CDR little-endian
        0x07, 0,    0,    0,    0,    0,    0,    0,     // uint8, padding
        0,    0,    0,    0,    0,    0,    0x00, 0x40,  // 2.0
        0x03, 0,    0,    0,    'a',  'b',  0x00, 0x00,  // "ab", padding
        0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x80, 0x3F,  // uint32, 1.0f
        0x01, 0,    0,    0,    0,    0,    0,    0,     // count, padding
        0x05, 0,    0,    0,    0,    0,    0,    0,     // uint64
    };
    EXPECT_EQ(cdr.bytes(), expected);
}

TEST(Recording, AFileCutAnywhereReadsItsWholeChunksAndNothingMore) {
    char path[] = "/tmp/kivra-torn-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::vector<uint64_t> chunk_ends;  // the file's size after each chunk and its indexes
    {
        Recording::McapWriter writer(fd, Recording::Compression::zstd, 1 << 20);
        writer.start("ros2", "kivra");
        const uint16_t channel = writer.add_channel(writer.add_schema("s", "ros2msg", ""), "/t", "cdr");
        const uint8_t payload[5] = {1, 2, 3, 4, 5};
        for (uint32_t sequence = 0; sequence < 6; ++sequence) {
            writer.add_message(channel, sequence, 1000 + sequence, 1000 + sequence, payload, sizeof(payload));
            if (sequence % 3 == 2) {
                writer.flush_chunk();
                chunk_ends.push_back(writer.bytes_written());
            }
        }
        writer.finish();
    }
    const off_t size = lseek(fd, 0, SEEK_END);
    std::vector<uint8_t> bytes(static_cast<std::size_t>(size));
    ASSERT_EQ(pread(fd, bytes.data(), bytes.size(), 0), size);
    const std::size_t header_end = 8 + 9 + 4 + 4 + 4 + 5;  // magic, then the header record
    for (std::size_t cut = header_end; cut <= bytes.size(); ++cut) {
        ASSERT_EQ(ftruncate(fd, off_t(cut)), 0);
        ASSERT_EQ(pwrite(fd, bytes.data(), cut, 0), ssize_t(cut));
        Recording::McapReader reader(path);
        Recording::McapReader::Record record;
        std::vector<uint32_t> sequences;
        int chunks = 0;
        while (reader.next(record)) {
            if (record.kind == Recording::McapReader::Kind::message) sequences.push_back(record.sequence);
            if (record.kind == Recording::McapReader::Kind::chunk_end) ++chunks;
        }
        // A chunk counts from the end of its record on; its message index
        // after it (opcode, length, channel, entries' size, 3 entries) is not needed.
        const uint64_t index_size = 1 + 8 + 2 + 4 + 3 * 16;
        int expected = 0;
        for (uint64_t end : chunk_ends) expected += cut >= end - index_size ? 1 : 0;
        ASSERT_EQ(chunks, expected) << "cut at " << cut;
        ASSERT_EQ(sequences.size(), std::size_t(chunks) * 3) << "cut at " << cut;
        for (std::size_t i = 0; i < sequences.size(); ++i) ASSERT_EQ(sequences[i], i);
        EXPECT_EQ(reader.whole(), cut == bytes.size()) << "cut at " << cut;
    }
    close(fd);
    unlink(path);
}

// The recorder's encodings against bytes worked out by hand.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "KivraHardwareAPI/Recording.h"

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

#pragma once

// Building escaped status frames the way a handle sends them.

#include <cstdint>
#include <vector>

namespace status_frames {

using Bytes = std::vector<uint8_t>;

// The check byte that follows `content`: low 8 bits of 218 plus its bytes.
inline uint8_t check_byte_for(const Bytes& content) {
    unsigned sum = 218;
    for (uint8_t b : content) sum += b;
    return static_cast<uint8_t>(sum);
}

// 0xC0 and 0xDB travel as escape pairs.
inline Bytes escaped(const Bytes& decoded) {
    Bytes raw;
    for (uint8_t b : decoded) {
        if (b == 0xC0) {
            raw.insert(raw.end(), {0xDB, 0xDC});
        } else if (b == 0xDB) {
            raw.insert(raw.end(), {0xDB, 0xDD});
        } else {
            raw.push_back(b);
        }
    }
    return raw;
}

}  // namespace status_frames

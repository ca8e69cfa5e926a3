#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace Kivra::HardwareAPI {

// 16-byte device identifier, bytes in the order the device sent them.
struct UUID {
    std::array<uint8_t, 16> data{};

    // 32 lower-case hexadecimal digits, byte 0 first.
    std::string to_hex() const;
};

}  // namespace Kivra::HardwareAPI

#include "KivraHardwareAPI/UUID.h"

namespace Kivra::HardwareAPI {

std::string UUID::to_hex() const {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text(32, '0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        text[2 * i] = digits[data[i] >> 4];
        text[2 * i + 1] = digits[data[i] & 0x0F];
    }
    return text;
}

}  // namespace Kivra::HardwareAPI

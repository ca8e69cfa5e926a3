#pragma once

// Decoding of the handle's replies from byte buffers alone, apart from any
// stream, so that every rule can be exercised without a port.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "KivraHardwareAPI/Handle.h"

namespace Kivra::HardwareAPI::Devices {

constexpr std::size_t INFO_PAYLOAD_SIZE = 6;
constexpr std::size_t STATUS_PAYLOAD_SIZE = 21;  // fixed part; user data follows
constexpr std::size_t ERROR_PAYLOAD_SIZE = 3;

// Escape bytes of the status frame (RFC 1055 framing).
constexpr uint8_t FRAME_END = 0xC0;
constexpr uint8_t FRAME_ESCAPE = 0xDB;
constexpr uint8_t FRAME_ESCAPED_END = 0xDC;
constexpr uint8_t FRAME_ESCAPED_ESCAPE = 0xDD;
// The last decoded field, the battery byte, sits at this offset.
constexpr std::size_t STATUS_FRAME_MIN_SIZE = 17;

// `payload` points to INFO_PAYLOAD_SIZE bytes after the code.
HandleInfo decode_info_payload(const uint8_t* payload);
// `payload` points to ERROR_PAYLOAD_SIZE bytes after the code.
HandleErrorResponse decode_error_payload(const uint8_t* payload);
// `payload` points to the STATUS_PAYLOAD_SIZE fixed bytes; user_data_length
// is taken from them, user_data is left all zero for the caller to fill.
HandleStatusMessage decode_status_payload(const uint8_t* payload);

// Turns the raw bytes collected after the status code into the decoded
// frame. The last raw byte is always kept as it is, so a frame ended by 0xC0
// keeps that byte as its check byte.
std::vector<uint8_t> unescape_status_frame(const uint8_t* raw, std::size_t count);

// True when the last decoded byte equals the low 8 bits of the status code
// plus all decoded bytes before it. An empty frame never matches.
bool status_check_byte_matches(const std::vector<uint8_t>& decoded);

// Applies every acceptance rule to one collected raw frame and, when it is
// accepted, fills `status`. A rejected frame leaves `status` untouched.
bool decode_status_frame(const uint8_t* raw, std::size_t count, ManiloStatus& status);

}  // namespace Kivra::HardwareAPI::Devices

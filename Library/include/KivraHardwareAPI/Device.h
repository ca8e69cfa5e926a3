#pragma once

#include <cstddef>
#include <cstdint>

#include "KivraHardwareAPI/SerialStream.h"

namespace Kivra::HardwareAPI::Devices {

constexpr std::size_t BUFFER_SIZE = 1024;

// Common record of both device kinds: reply time-out, the borrowed stream and
// one transmit and one receive buffer. A message is one header code (never 0)
// followed by a payload whose length the code fixes.
class Device {
public:
    explicit Device(IO::SerialStream* stream);
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Writes tx_buffer[0..n-1] in one write.
    void send(std::size_t n);
    // Sends code followed by count little-endian floats (count 0 to 255).
    void send_floats(uint8_t code, const float* values, int32_t count);
    // Next header code, or 0 when none came within timeout or the read failed.
    uint8_t await_header_code();
    // Reads n payload bytes into rx_buffer once all are waiting; returns n,
    // or 0 on time-out, failure or n larger than BUFFER_SIZE.
    uint32_t await_payload(std::size_t n);

    // Waits until at least `needed` bytes are waiting. Gives up once more
    // than limit [s] have passed on a whole-second monotonic clock; a limit
    // of 0 or less waits without end. Returns false on giving up.
    bool wait_until_available(std::size_t needed, float limit);

    float timeout = 5.0f;  // reply time-out [s]; 0 or less waits without limit
    IO::SerialStream* stream;
    uint8_t tx_buffer[BUFFER_SIZE] = {};
    uint8_t rx_buffer[BUFFER_SIZE] = {};
};

// Float stored little-endian at an arbitrary offset.
float read_float_le(const uint8_t* bytes);
void write_float_le(uint8_t* bytes, float value);

}  // namespace Kivra::HardwareAPI::Devices

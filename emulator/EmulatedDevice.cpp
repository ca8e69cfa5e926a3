#include "EmulatedDevice.h"

#include <cstdio>

#include "KivraHardwareAPI/Device.h"

namespace kivra_emulator {

void ReplyChannel::send(Message message, double now) {
    if (options.silent || message.empty()) return;
    ++sent;
    if (options.wrong_code_every != 0 && sent % options.wrong_code_every == 0) {
        if (options.verbose) std::fprintf(stderr, "kivra-emulator: reply %lu gets a wrong header code\n", sent);
        message[0] = WRONG_HEADER_CODE;
    }
    if (options.truncate_every != 0 && sent % options.truncate_every == 0) {
        if (options.verbose) std::fprintf(stderr, "kivra-emulator: reply %lu is truncated\n", sent);
        // The header code and the front half of the payload; at least one
        // payload byte is always missing.
        message.resize(1 + (message.size() - 1) / 2);
    }
    pending.push_back({now + options.reply_delay, std::move(message)});
}

std::vector<Message> ReplyChannel::take_due(double now) {
    std::vector<Message> due;
    while (!pending.empty() && pending.front().due <= now) {
        due.push_back(std::move(pending.front().bytes));
        pending.pop_front();
    }
    return due;
}

void put_u16(Message& message, uint16_t value) {
    message.push_back(static_cast<uint8_t>(value & 0xFF));
    message.push_back(static_cast<uint8_t>(value >> 8));
}

void put_float(Message& message, float value) {
    uint8_t bytes[4];
    Kivra::HardwareAPI::Devices::write_float_le(bytes, value);
    message.insert(message.end(), bytes, bytes + 4);
}

float get_float(const uint8_t* bytes) { return Kivra::HardwareAPI::Devices::read_float_le(bytes); }

}  // namespace kivra_emulator

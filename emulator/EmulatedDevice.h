#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <vector>

#include "Options.h"

namespace kivra_emulator {

using Message = std::vector<uint8_t>;

// Replies on their way to the host, with the fault options applied. Stream
// frames do not pass through here: the faults count replies only.
class ReplyChannel {
public:
    explicit ReplyChannel(const Options& options) : options(options) {}

    void send(Message message, double now);
    // Replies whose time has come, oldest first.
    std::vector<Message> take_due(double now);
    double next_due() const { return pending.empty() ? std::numeric_limits<double>::infinity() : pending.front().due; }
    void clear() { pending.clear(); }
    bool empty() const { return pending.empty(); }

private:
    struct Pending {
        double due;
        Message bytes;
    };
    const Options& options;
    unsigned long sent = 0;
    std::deque<Pending> pending;
};

// One kind of emulated device: parses requests, answers them, and keeps
// its simulated state in step with the clock (seconds, monotonic).
class EmulatedDevice {
public:
    virtual ~EmulatedDevice() = default;

    // Total length of the request that starts at bytes[0], given the
    // `available` bytes (it may be more than are available yet); 0 for a
    // header code the device does not know.
    virtual std::size_t request_length(const uint8_t* bytes, std::size_t available) const = 0;
    virtual void handle_request(const uint8_t* request, std::size_t length, double now, ReplyChannel& replies) = 0;
    virtual void advance(double now) = 0;
    virtual void host_opened(double /*now*/) {}
    // A hand's force [N] on the device, until the next call; only an arm has a place for it.
    virtual void push(const std::array<double, 3>& /*force*/, double /*now*/) {}
    // A status frame to write now, or an empty message. host_unread tells
    // how many bytes the host has not read yet.
    virtual Message stream_frame(double /*now*/, const std::function<int()>& /*host_unread*/) { return {}; }
    // When the device next wants to run without a request.
    virtual double next_wakeup(double now) const { return now + 0.01; }
};

// Little-endian packing, as the wire wants it.
void put_u16(Message& message, uint16_t value);
void put_float(Message& message, float value);
float get_float(const uint8_t* bytes);

}  // namespace kivra_emulator

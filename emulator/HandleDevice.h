#pragma once

#include <array>

#include "EmulatedDevice.h"

namespace kivra_emulator {

// What the handle's sensors read at one moment.
struct HandleReadings {
    std::array<float, 4> quaternion{};  // w, x, y, z; a unit quaternion
    uint8_t error_flag = 0;
    uint8_t sensor_level = 0;  // hall-effect sensor, 0 to 31
    uint8_t buttons = 0;       // three button bits
    float battery_volts = 0.0f;
};

// The escaped status frame: the status code, the SLIP-escaped decoded
// bytes, and 0xC0 to end it. The reader keeps that 0xC0 as the frame's last
// decoded byte and compares it with the check sum, so the frame carries a
// balancing byte that makes 218 plus its decoded bytes come to 0xC0.
Message encode_status_frame(const HandleReadings& readings, uint8_t device_id, uint16_t sequence);

// The hand-held handle: answers its wakeup and status requests, keeps the
// user data of the last handle state, and streams escaped status frames.
class HandleDevice : public EmulatedDevice {
public:
    HandleDevice(const Options& options, double now);

    std::size_t request_length(const uint8_t* bytes, std::size_t available) const override;
    void handle_request(const uint8_t* request, std::size_t length, double now, ReplyChannel& replies) override;
    void advance(double) override {}
    void host_opened(double now) override;
    Message stream_frame(double now, const std::function<int()>& host_unread) override;
    double next_wakeup(double now) const override;

    // The simulated sensors at `now`: a slowly turning orientation, a sensor
    // level and buttons that cycle, a battery that drains.
    HandleReadings readings(double now) const;

private:
    const Options& options;
    double start;
    double quiet_since;  // last request, or the host's open of the port
    double next_frame;
    uint16_t sequence = 0;
    std::vector<uint8_t> user_data;
};

}  // namespace kivra_emulator

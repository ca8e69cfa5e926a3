#pragma once

#include "KivraHardwareAPI/Handle.h"

namespace Kivra::HardwareAPI::Devices {

// Notes whether anything that only a handle sends (an info
// reply or a status message) came back. An error response does not count.
class MyHandle : public Handle {
public:
    explicit MyHandle(IO::SerialStream* stream);

    void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
                             uint8_t hardware_version, uint8_t firmware_version) override;
    void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion, uint8_t error_flag,
                                      uint8_t hall_effect_sensor_level, uint8_t user_data_length,
                                      const uint8_t* user_data) override;

    bool found = false;
};

}  // namespace Kivra::HardwareAPI::Devices

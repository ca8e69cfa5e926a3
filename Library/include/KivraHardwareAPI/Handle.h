#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "KivraHardwareAPI/Device.h"
#include "KivraHardwareAPI/Outcome.h"
#include "KivraHardwareAPI/SerialStream.h"

namespace Kivra::HardwareAPI::Devices {

// Decoded info reply (code 208).
struct HandleInfo {
    uint16_t device_id;
    uint8_t tool_data_remaining;
    uint8_t device_model_number;
    uint8_t hardware_version;
    uint8_t firmware_version;
};

// Decoded plain status message (code 218); user_data beyond
// user_data_length is zero.
struct HandleStatusMessage {
    uint16_t device_id;
    float quaternion[4];
    uint8_t error_flag;
    uint8_t hall_effect_sensor_level;
    uint8_t user_data_length;
    uint8_t user_data[255];
};

// Decoded error response (code 223).
struct HandleErrorResponse {
    uint16_t device_id;
    uint8_t error_code;
};

// The status frame's fourth byte: the hall-effect sensor level in its low
// five bits, one bit per button above them.
constexpr uint8_t HANDLE_BUTTONS = 3;
constexpr uint8_t MAX_HALL_EFFECT_SENSOR_LEVEL = 0x1F;

// Result of reading the escaped status frame. When no frame was accepted,
// error_flag holds the failure code and everything else is zero.
struct ManiloStatus {
    uint8_t device_id = 0;
    std::array<float, 4> quaternion{};  // already [q0, -q1, -q2, q3]
    uint8_t error_flag = 0;
    uint8_t hall_effect_sensor_level = 0;
    uint8_t buttons = 0;
    float battery_level = 0.0f;
};

// A handle's status frames as a reader of them (a bridge, a recording) takes
// them on a thread of its own. read takes the next frame within timeout [s]
// and returns a status of the C interface: 0 a frame, 1 (timed out) none in
// time; any other ends the reading. release is called once, on the
// reader's thread, when the reading ends.
struct HandleFrameSource {
    std::function<int32_t(ManiloStatus& status, double timeout)> read;
    std::function<void()> release;
};

// One decoded reply of the handle; only the member that `kind` names holds it.
struct HandleMessage {
    enum class Kind : int32_t { none = 0, info = 1, status = 2, error = 3 };
    Kind kind = Kind::none;
    HandleInfo info{};
    HandleStatusMessage status{};
    HandleErrorResponse error{};
};

// Failure codes of GetManiloStatus, reported in error_flag.
constexpr uint8_t MANILO_NO_DATA = 99;     // 19 bytes did not arrive in time
constexpr uint8_t MANILO_NO_FRAME = 3;     // too few bytes, or no status code among 101
constexpr uint8_t MANILO_READ_FAILED = 2;  // a header-code read gave 0

// The hand-held tool. Replies are handed to the event operations below, in
// each case the unpacked operation first and the record operation after it.
class Handle : public Device {
public:
    static constexpr uint8_t WAKEUP_CODE = 10;
    static constexpr uint8_t INFO_CODE = 208;
    static constexpr uint8_t STATUS_CODE = 218;
    static constexpr uint8_t HANDLE_STATE_CODE = 219;
    static constexpr uint8_t ERROR_CODE = 223;

    explicit Handle(IO::SerialStream* stream);
    virtual ~Handle();

    virtual void OnReceiveHandleInfoData(const HandleInfo& info);
    virtual void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
                                     uint8_t hardware_version, uint8_t firmware_version);
    virtual void OnReceiveHandleStatusData(const HandleStatusMessage& status);
    // quaternion points to 4 floats, user_data to user_data_length bytes;
    // both live only for the duration of the call.
    virtual void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion, uint8_t error_flag,
                                              uint8_t hall_effect_sensor_level, uint8_t user_data_length,
                                              const uint8_t* user_data);
    virtual void OnReceiveHandleErrorData(const HandleErrorResponse& error);
    virtual void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code);

    void SendDeviceWakeup();
    void RequestStatus();
    // Sends device_id, data_length and data_length bytes of user_data; a null
    // user_data sends zeros in their place.
    void SendHandleState(uint16_t device_id, uint8_t data_length, const uint8_t* user_data);

    // Reads one reply and dispatches it. Returns the number of payload bytes
    // read, or -1 when no reply or an unknown code came (nothing more is read
    // then). Exceptions of the event operations pass through unchanged.
    int32_t Receive();

    // Reads the newest escaped status frame already arriving; sends nothing.
    ManiloStatus GetManiloStatus();

    // The same operations with what happened as an outcome: no log line, no
    // event operation, a precise timeout [s] on the monotonic clock (0 or
    // less: no limit), the port's lock held throughout. The sends wait up to
    // the time-out for a full port to take the request.
    Outcome wakeup(double timeout);
    Outcome request_status(double timeout);
    Outcome send_handle_state(uint16_t device_id, uint8_t data_length, const uint8_t* user_data, double timeout);
    // Takes one reply into `message`. A code the handle does not send gives
    // wrong_code and drops what is waiting, so that the next receive starts
    // at a later message; a payload cut short gives short_payload.
    Outcome receive(HandleMessage& message, double timeout);
    // Reads an escaped status frame as GetManiloStatus does, waiting up to
    // timeout [s] for its bytes. When no frame is accepted, status holds
    // GetManiloStatus's failure code and the outcome says whether the port
    // hung up or nothing usable came in time.
    Outcome read_status_frame(ManiloStatus& status, double timeout);

private:
    // Every exchange of the handle is one of these routines, run under the
    // devices' own rule by the calls above and under a precise rule by the
    // calls with an outcome.
    ExchangeRule devices_own_rule() const { return ExchangeRule::devices_own(timeout); }
    Outcome send_code(uint8_t code, ExchangeRule rule);
    Outcome handle_state_exchange(uint16_t device_id, uint8_t data_length, const uint8_t* user_data, ExchangeRule rule);
    // Takes one message; taken: the payload bytes that came in full.
    Outcome take_message(HandleMessage& message, uint32_t& taken, const ExchangeRule& rule);
    std::size_t encode_handle_state(uint16_t device_id, uint8_t data_length, const uint8_t* user_data);
    // The frame search shared by GetManiloStatus and read_status_frame.
    ManiloStatus search_status_frame(const WaitLimit& limit, bool logged);
};

}  // namespace Kivra::HardwareAPI::Devices

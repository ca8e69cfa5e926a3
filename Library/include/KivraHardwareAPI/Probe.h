#pragma once

// The wakeup probe: one wakeup on a port tells an arm from a handle, and
// what answered from a port where nothing did.

#include <cstdint>

#include "KivraHardwareAPI/Device.h"
#include "KivraHardwareAPI/Handle.h"
#include "KivraHardwareAPI/Outcome.h"
#include "KivraHardwareAPI/Pendra3.h"

namespace Kivra::HardwareAPI::Discovery {

// What answered the wakeup. The values are stable: the C interface hands
// them on as its device kinds.
enum class ProbeKind : int32_t {
    none = 0,     // nothing answered: see the outcome
    arm = 1,      // the arm's wakeup reply, of the arm's model number
    handle = 2,   // the handle's info or status message
    unknown = 3,  // an answer, but as neither: see code, outcome and arm
};

struct ProbeResult {
    ProbeKind kind = ProbeKind::none;
    // done when the answer came in full; not_open with the open's errno
    // (EBUSY: held exclusively elsewhere); wrong_code with the code that came
    // when it belongs to no device sought.
    Outcome outcome;
    uint8_t code = 0;      // header code of the answer, 0 when none came
    uint8_t expected = 0;  // the wakeup reply of the kind sought, 0 when any kind was
    bool has_arm_info = false;
    Devices::DeviceInfo arm{};  // the arm's wakeup reply, whatever its model number
    bool has_handle_info = false;
    Devices::HandleInfo handle{};
};

// Which kind of device sends a message with this header code: arm for the
// arm's replies, handle for the handle's messages, unknown for any other
// code. Tells a caller that reached the wrong kind of device which one it is.
ProbeKind sender_of(uint8_t code);

// How a probe runs on a port that is already open.
struct ProbeRule {
    Devices::ExchangeRule exchange;
    // none: any device; arm or handle: only that kind's answers are read,
    // another's is left for the caller.
    ProbeKind sought = ProbeKind::none;
    // Whatever the port held before the wakeup is no answer to it.
    bool drop_waiting = true;
};

// Sends the wakeup on device's port and takes the first answer, holding the
// port's lock. Under the devices' own rule a handle's status or error
// message is read in whole, as the handle's own receive reads it.
ProbeResult probe_device(Devices::Device& device, ProbeRule rule);

// Opens port_path exclusively (so that a probe never talks over a program
// that holds the port), drops what is waiting, sends the wakeup and takes
// the answer within timeout [s] on the monotonic clock; logs nothing and
// leaves the process-wide kinematic model alone.
ProbeResult probe_port(const char* port_path, double timeout);

}  // namespace Kivra::HardwareAPI::Discovery

#pragma once

#include <cstdint>

namespace Kivra::HardwareAPI {

// What one operation on a port or device came to. The values are stable:
// the C interface hands them on as its status codes.
enum class OutcomeKind : int32_t {
    done = 0,
    timed_out = 1,      // nothing (or not enough) came within the time-out
    hung_up = 2,        // the port closed, reported POLLHUP/POLLERR, or a read gave end of file
    wrong_code = 3,     // detail: the header code that came instead
    short_payload = 4,  // detail: the payload bytes that came
    write_failed = 5,   // detail: errno of the write
    not_open = 6,       // detail: errno of the open (ENOTTY: not a terminal, EBUSY: held exclusively)
    interrupted = 7,    // the waiting thread's interrupt descriptor became readable (a signal, a stop)
};

struct Outcome {
    OutcomeKind kind = OutcomeKind::done;
    int32_t detail = 0;

    constexpr bool ok() const { return kind == OutcomeKind::done; }
    static constexpr Outcome done() { return {}; }
};

}  // namespace Kivra::HardwareAPI

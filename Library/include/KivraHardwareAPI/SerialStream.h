#pragma once

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <mutex>
#include <string>

#include "KivraHardwareAPI/Outcome.h"
#include "KivraHardwareAPI/serialib.h"

namespace Kivra::HardwareAPI::IO {

// Text of an errno value in English, one wide character per byte.
std::wstring error_text(int errnum);

// Writes the failure line "[err] <file>:<line>> <what>: [<err>] <text of
// err>" to standard error, whole and at once; `what` is a printf format for
// the arguments that follow.
void report_failure(const char* file, unsigned line, int err, const char* what, ...)
    __attribute__((format(printf, 4, 5)));

// Standard iostream over one serial port, through an unbuffered serialib.
class SerialStream : public std::iostream {
public:
    // port_path may be null; its open then fails.
    explicit SerialStream(const char* port_path, bool open_on_construction = true);
    ~SerialStream() override;
    SerialStream(const SerialStream&) = delete;
    SerialStream& operator=(const SerialStream&) = delete;

    // 1 opened, -2 the system open failed, -1 an exception was raised.
    int8_t open();
    // Opens the port; not_open carries the errno (ENOENT, EACCES, EISDIR,
    // ENOTTY for anything that is not a terminal, EBUSY when another lock
    // holder refuses it). exclusive: no other lock holder gets the port
    // until this stream closes it; false opens without any lock.
    Outcome open_port(bool exclusive);
    Outcome open_port(PortLock lock);
    // errno of the last open, 0 when it succeeded.
    int last_open_errno() const { return open_errno; }
    // Closes the descriptor at once.
    virtual void close();
    // Bytes waiting on the port; 0 when it is not open.
    virtual int32_t available();
    // Writes all bytes; a failure is logged, not returned.
    virtual void write_bytes(const uint8_t* data, std::size_t count);

    // How long write_bytes waits for a full port to take the bytes [s];
    // 0 or less: without limit.
    void set_write_limit(double seconds);
    // Writes all bytes, waiting for room until deadline_ns on the monotonic
    // clock (0: no limit). Logs nothing and leaves the stream state alone.
    Outcome write_all(const uint8_t* data, std::size_t count, long long deadline_ns);
    // Takes up to count bytes already waiting (the held-back byte first);
    // returns the number taken, or -1 when the read failed (hung up).
    int32_t read_waiting(uint8_t* data, std::size_t count);
    // Drops everything waiting, including a byte the stream holds back.
    void discard_input();

    // Blocks until input is waiting, the port hangs up or timeout_ms [ms]
    // have passed. Returns the poll events: 0 on time-out, POLLNVAL when
    // the port is not open.
    int wait_for_input(int timeout_ms) const;
    // The same for up to timeout_ns [ns] (negative: without limit), ending
    // with interrupted set once interrupt_fd (when not negative) is readable.
    int wait_for_input(long long timeout_ns, int interrupt_fd, bool& interrupted) const;
    // The port is closed, or reports a hang-up or an error.
    bool hung_up() const;
    // Descriptor of the open port, or -1.
    int descriptor() const;
    // errno of the last failed call on the port: the open's while it is not
    // open, EBADF once closed.
    int last_errno() const;

    // Held for the whole of every exchange of every device on this port, so
    // that two threads never interleave requests and replies. Recursive: a
    // handle's event operation may talk to its device again.
    std::recursive_mutex& exchange_mutex() { return exchange_mutex_; }

private:
    std::string port_path;
    bool has_port_path;
    serialib* port_buffer = nullptr;
    bool open_on_construction;
    int open_errno = 0;
    std::recursive_mutex exchange_mutex_;
};

}  // namespace Kivra::HardwareAPI::IO

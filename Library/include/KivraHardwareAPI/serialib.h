#pragma once

#include <cstdint>
#include <streambuf>

#include "KivraHardwareAPI/Clock.h"

// The advisory lock an opener takes on the port, which binds root as well.
enum class PortLock {
    none,       // takes no lock and ignores the others'
    shared,     // any number of shared holders; refused while an exclusive holder has the port
    exclusive,  // refuses every other lock holder, and other users' opens (TIOCEXCL)
};

// Unbuffered stream buffer over one serial port descriptor. Every read and
// write goes straight to the descriptor; only a single byte is ever held back.
class serialib : public std::streambuf {
public:
    serialib() = default;
    ~serialib() override;
    serialib(const serialib&) = delete;
    serialib& operator=(const serialib&) = delete;

    // Opens and configures the port (115200 8N1, raw, non-blocking).
    // Returns 1 on success, -2 when the open failed; then last_error() tells
    // why (ENOTTY: not a terminal, EBUSY: held exclusively elsewhere).
    int8_t open_device(const char* path);
    // exclusive: refuse other openers (TIOCEXCL) and other exclusive
    // openers, root included (flock).
    int8_t open_device(const char* path, bool exclusive);
    int8_t open_device(const char* path, PortLock lock);
    void raise_dtr();
    // Bytes waiting in the port's input queue; 0 when no port is open.
    int32_t bytes_available() const;
    void close_device();
    // Reads up to count bytes, giving up after 1000 [ms]. Returns the number
    // stored, or -2 when a system read failed.
    int32_t timed_read(uint8_t* destination, uint32_t count);
    // Blocks until the port has input, hangs up or timeout_ms [ms] have
    // passed; returns the poll events (0 on time-out, POLLNVAL when closed).
    int wait_readable(int timeout_ms) const;
    // The same for up to timeout_ns [ns] (negative: without limit), ending
    // early once interrupt_fd (when not negative) is readable; then
    // interrupted is set and 0 returned.
    int wait_readable(long long timeout_ns, int interrupt_fd, bool& interrupted) const;
    // Poll events of the port right now.
    int events_now() const;

    // Takes what is already waiting, the held-back byte first, without
    // waiting for more. Returns the number stored, or -2 when a read failed.
    int32_t read_waiting(uint8_t* destination, uint32_t count);
    // Writes all bytes, waiting for the port to accept them until
    // deadline_ns on the monotonic clock (0: no limit). Returns the number
    // written; fewer means failure, with last_error() telling why.
    int32_t write_until(const uint8_t* data, uint32_t count, long long deadline_ns);
    // Drops the input queue and the held-back byte.
    void discard_input();
    // How long a write through the stream interface may wait for the port
    // to accept it [ms]; negative: without limit.
    void set_write_limit(int milliseconds) { write_limit_ms = milliseconds; }

    int descriptor() const { return fd; }
    // errno of the last failed system call on this port, EBADF once closed.
    int last_error() const { return error; }

protected:
    std::streambuf* setbuf(char_type* s, std::streamsize n) override;
    std::streamsize showmanyc() override;
    std::streamsize xsgetn(char_type* s, std::streamsize n) override;
    int_type underflow() override;
    int_type uflow() override;
    int_type pbackfail(int_type c) override;
    std::streamsize xsputn(const char_type* s, std::streamsize n) override;
    int_type overflow(int_type c) override;

private:
    char pending_byte = 0;
    bool has_pending_byte = false;
    int32_t fd = -1;
    int32_t error = 0;
    bool exclusive = false;
    int write_limit_ms = 1000;
};

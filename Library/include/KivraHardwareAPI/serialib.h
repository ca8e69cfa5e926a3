#pragma once

#include <cstdint>
#include <streambuf>

// Unbuffered stream buffer over one serial port descriptor. Every read and
// write goes straight to the descriptor; only a single byte is ever held back.
class serialib : public std::streambuf {
public:
    serialib() = default;
    ~serialib() override;
    serialib(const serialib&) = delete;
    serialib& operator=(const serialib&) = delete;

    // Opens and configures the port (115200 8N1, raw, non-blocking).
    // Returns 1 on success, -2 when the system open failed.
    int8_t open_device(const char* path);
    void raise_dtr();
    // Bytes waiting in the port's input queue; 0 when no port is open.
    int32_t bytes_available() const;
    void close_device();
    // Reads up to count bytes, giving up after 1000 [ms]. Returns the number
    // stored, or -2 when a system read failed.
    int32_t timed_read(uint8_t* destination, uint32_t count);
    // Blocks until the port has input or timeout_ms [ms] have passed; returns
    // at once when input is already waiting. A closed port just sleeps.
    void wait_readable(int timeout_ms) const;

    int descriptor() const { return fd; }

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
};

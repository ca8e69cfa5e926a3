#pragma once

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <mutex>
#include <string>

class serialib;

namespace Kivra::HardwareAPI::IO {

// Text of an errno value in English, one wide character per byte.
std::wstring error_text(int errnum);

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
    virtual void close();
    // Bytes waiting on the port; 0 when it is not open.
    virtual int32_t available();
    // Writes all bytes in one system write; a failure is logged, not returned.
    virtual void write_bytes(const uint8_t* data, std::size_t count);

    // Blocks until input is waiting or timeout_ms [ms] have passed.
    void wait_for_input(int timeout_ms) const;
    // Descriptor of the open port, or -1.
    int descriptor() const;

    // Held for the whole of every exchange of every device on this port, so
    // that two threads never interleave requests and replies. Recursive: a
    // handle's event operation may talk to its device again.
    std::recursive_mutex& exchange_mutex() { return exchange_mutex_; }

private:
    std::string port_path;
    bool has_port_path;
    serialib* port_buffer = nullptr;
    bool open_on_construction;
    std::recursive_mutex exchange_mutex_;
};

}  // namespace Kivra::HardwareAPI::IO

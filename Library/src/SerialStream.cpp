#include "KivraHardwareAPI/SerialStream.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "KivraHardwareAPI/serialib.h"

namespace Kivra::HardwareAPI::IO {

std::wstring error_text(int errnum) {
    // strerror follows the process locale, which belongs to the host
    // interpreter; the untranslated description needs no locale at all.
    const char* description = strerrordesc_np(errnum);
    char unknown[48];
    if (description == nullptr) {
        std::snprintf(unknown, sizeof(unknown), "Unknown error %d", errnum);
        description = unknown;
    }
    std::wstring text;
    for (const char* c = description; *c != '\0'; ++c) {
        text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    }
    return text;
}

SerialStream::SerialStream(const char* port_path, bool open_on_construction)
    : std::iostream(nullptr),
      port_path(port_path != nullptr ? port_path : ""),
      has_port_path(port_path != nullptr),
      open_on_construction(open_on_construction) {
    if (open_on_construction) open();
}

SerialStream::~SerialStream() {
    close();
    delete port_buffer;
}

int8_t SerialStream::open() {
    port_buffer = new serialib();
    rdbuf(port_buffer);
    int8_t result = -1;
    try {
        result = port_buffer->open_device(has_port_path ? port_path.c_str() : nullptr);
    } catch (...) {
        return -1;
    }
    port_buffer->raise_dtr();
    return result;
}

void SerialStream::close() {
    if (port_buffer != nullptr && port_buffer->descriptor() >= 0) port_buffer->close_device();
}

int32_t SerialStream::available() {
    if (port_buffer == nullptr) return 0;
    return port_buffer->bytes_available();
}

void SerialStream::write_bytes(const uint8_t* data, std::size_t count) {
    write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(count));
    const iostate state = rdstate();
    if (state == goodbit || (state & eofbit) != 0) return;
    const int err = errno;
    std::fprintf(stderr, "[err] %s:%u> unable to write '%zu' bytes to stream: [%d] %ls\n", __FILE__, __LINE__,
                 count, err, error_text(err).c_str());
    std::fflush(stderr);
}

void SerialStream::wait_for_input(int timeout_ms) const {
    if (port_buffer != nullptr) {
        port_buffer->wait_readable(timeout_ms);
    } else {
        ::poll(nullptr, 0, timeout_ms);
    }
}

int SerialStream::descriptor() const { return port_buffer != nullptr ? port_buffer->descriptor() : -1; }

}  // namespace Kivra::HardwareAPI::IO

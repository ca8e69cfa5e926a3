#include "KivraHardwareAPI/SerialStream.h"

#include <poll.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
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

void report_failure(const char* file, unsigned line, int err, const char* what, ...) {
    char described[256];
    va_list arguments;
    va_start(arguments, what);
    std::vsnprintf(described, sizeof(described), what, arguments);
    va_end(arguments);
    // One call, so that the line reaches the descriptor whole.
    std::fprintf(stderr, "[err] %s:%u> %s: [%d] %ls\n", file, line, described, err, error_text(err).c_str());
    std::fflush(stderr);
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
    try {
        return open_port(false).ok() ? 1 : -2;
    } catch (...) {
        return -1;
    }
}

Outcome SerialStream::open_port(bool exclusive) { return open_port(exclusive ? PortLock::exclusive : PortLock::none); }

Outcome SerialStream::open_port(PortLock lock_mode) {
    std::lock_guard<std::recursive_mutex> lock(exchange_mutex_);
    if (port_buffer != nullptr) {
        close();
        rdbuf(nullptr);
        delete port_buffer;
        port_buffer = nullptr;
    }
    port_buffer = new serialib();
    rdbuf(port_buffer);
    if (port_buffer->open_device(has_port_path ? port_path.c_str() : nullptr, lock_mode) != 1) {
        open_errno = port_buffer->last_error();
        errno = open_errno;
        return {OutcomeKind::not_open, open_errno};
    }
    open_errno = 0;
    port_buffer->raise_dtr();
    return Outcome::done();
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
    // The errno of the call that failed, not whatever ran since: a write
    // refused for a closed port or an earlier failure made no call at all.
    report_failure(__FILE__, __LINE__, last_errno(), "unable to write '%zu' bytes to stream", count);
}

void SerialStream::set_write_limit(double seconds) {
    if (port_buffer == nullptr) return;
    port_buffer->set_write_limit(seconds > 0 ? static_cast<int>(std::ceil(seconds * 1000.0)) : -1);
}

Outcome SerialStream::write_all(const uint8_t* data, std::size_t count, long long deadline_ns) {
    if (port_buffer == nullptr || port_buffer->descriptor() < 0) return {OutcomeKind::not_open, last_errno()};
    const int32_t written = port_buffer->write_until(data, static_cast<uint32_t>(count), deadline_ns);
    if (static_cast<std::size_t>(written) == count) return Outcome::done();
    const int err = port_buffer->last_error();
    if (err == EIO) return {OutcomeKind::hung_up, err};
    return {OutcomeKind::write_failed, err};
}

int32_t SerialStream::read_waiting(uint8_t* data, std::size_t count) {
    if (port_buffer == nullptr) return -1;
    const int32_t got = port_buffer->read_waiting(data, static_cast<uint32_t>(count));
    return got < 0 ? -1 : got;
}

void SerialStream::discard_input() {
    if (port_buffer != nullptr) port_buffer->discard_input();
}

int SerialStream::wait_for_input(int timeout_ms) const {
    if (port_buffer != nullptr) return port_buffer->wait_readable(timeout_ms);
    return POLLNVAL;
}

int SerialStream::wait_for_input(long long timeout_ns, int interrupt_fd, bool& interrupted) const {
    interrupted = false;
    if (port_buffer != nullptr) return port_buffer->wait_readable(timeout_ns, interrupt_fd, interrupted);
    return POLLNVAL;
}

bool SerialStream::hung_up() const {
    if (port_buffer == nullptr) return true;
    return (port_buffer->events_now() & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int SerialStream::descriptor() const { return port_buffer != nullptr ? port_buffer->descriptor() : -1; }

int SerialStream::last_errno() const {
    if (port_buffer == nullptr) return open_errno != 0 ? open_errno : EBADF;
    const int err = port_buffer->last_error();
    return err != 0 ? err : EBADF;
}

}  // namespace Kivra::HardwareAPI::IO

#include "KivraHardwareAPI/serialib.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr long READ_LIMIT_MS = 1000;
constexpr useconds_t READ_RETRY_US = 100;

long monotonic_milliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

serialib::~serialib() {
    if (fd >= 0) ::close(fd);
}

int8_t serialib::open_device(const char* path) {
    if (path == nullptr) {
        // What the kernel answers for a null path, without handing it one.
        errno = EFAULT;
        return -2;
    }
    fd = ::open(path, O_RDWR | O_NOCTTY | O_NDELAY);
    if (fd == -1) return -2;
    // The port stays non-blocking: reads poll, they never wait in the driver.
    fcntl(fd, F_SETFL, O_NONBLOCK);
    termios options{};
    tcgetattr(fd, &options);
    // Start from an all-zero record so nothing of a previous owner's setup
    // (echo, canonical mode, flow control) survives.
    std::memset(&options, 0, sizeof(options));
    cfsetispeed(&options, B115200);
    cfsetospeed(&options, B115200);
    options.c_cc[VTIME] = 0;
    options.c_cc[VMIN] = 0;
    options.c_iflag = IGNBRK | IGNPAR;
    options.c_cflag |= CS8 | CREAD | CLOCAL;
    options.c_oflag = 0;
    options.c_lflag = 0;
    tcsetattr(fd, TCSANOW, &options);
    return 1;
}

void serialib::raise_dtr() {
    int bits = 0;
    ioctl(fd, TIOCMGET, &bits);
    bits |= TIOCM_DTR;
    ioctl(fd, TIOCMSET, &bits);
}

int32_t serialib::bytes_available() const {
    if (fd < 0) return 0;
    int count = 0;
    ioctl(fd, FIONREAD, &count);
    return count;
}

void serialib::close_device() {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

int32_t serialib::timed_read(uint8_t* destination, uint32_t count) {
    if (count == 0) return 0;
    const long start = monotonic_milliseconds();
    uint32_t stored = 0;
    for (;;) {
        const long elapsed = monotonic_milliseconds() - start;
        if (elapsed >= READ_LIMIT_MS || elapsed < 0) return static_cast<int32_t>(stored);
        const ssize_t got = ::read(fd, destination + stored, count - stored);
        if (got == -1) return -2;
        if (got > 0) {
            stored += static_cast<uint32_t>(got);
            if (stored >= count) return static_cast<int32_t>(stored);
        }
        usleep(READ_RETRY_US);
    }
}

void serialib::wait_readable(int timeout_ms) const {
    pollfd request{fd, POLLIN, 0};
    // A negative descriptor is ignored by poll, which then only sleeps.
    ::poll(&request, 1, timeout_ms);
}

std::streambuf* serialib::setbuf(char_type*, std::streamsize) { return this; }

std::streamsize serialib::showmanyc() {
    if (fd == -1) return 0;
    if (has_pending_byte) return 1;
    const int saved_flags = fcntl(fd, F_GETFL);
    if (saved_flags == -1 || fcntl(fd, F_SETFL, saved_flags | O_NONBLOCK) == -1) return -1;
    std::streamsize answer = 0;
    if (timed_read(reinterpret_cast<uint8_t*>(&pending_byte), 1) == 1) {
        has_pending_byte = true;
        answer = 1;
    }
    if (fcntl(fd, F_SETFL, saved_flags) == -1) return -1;
    return answer;
}

std::streamsize serialib::xsgetn(char_type* s, std::streamsize n) {
    if (n <= 0 || fd == -1) return 0;
    auto* destination = reinterpret_cast<uint8_t*>(s);
    if (has_pending_byte) {
        destination[0] = static_cast<uint8_t>(pending_byte);
        has_pending_byte = false;
        if (n == 1) return 1;
        const int32_t got = timed_read(destination + 1, static_cast<uint32_t>(n - 1));
        return 1 + (got > 0 ? got : 0);
    }
    const int32_t got = timed_read(destination, static_cast<uint32_t>(n));
    return got > 0 ? got : 0;
}

serialib::int_type serialib::underflow() {
    if (fd == -1) return traits_type::eof();
    if (has_pending_byte) return traits_type::to_int_type(pending_byte);
    uint8_t byte = 0;
    if (timed_read(&byte, 1) != 1) return traits_type::eof();
    pending_byte = static_cast<char>(byte);
    has_pending_byte = true;
    return traits_type::to_int_type(pending_byte);
}

serialib::int_type serialib::uflow() {
    const int_type next = underflow();
    has_pending_byte = false;
    return next;
}

serialib::int_type serialib::pbackfail(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof()) || has_pending_byte) return traits_type::eof();
    pending_byte = traits_type::to_char_type(c);
    has_pending_byte = true;
    return c;
}

std::streamsize serialib::xsputn(const char_type* s, std::streamsize n) {
    if (n <= 0 || fd == -1) return 0;
    const ssize_t written = ::write(fd, s, static_cast<std::size_t>(n));
    if (written == n) return n;
    return written > 0 ? written : 0;
}

serialib::int_type serialib::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof()) || fd == -1) return traits_type::eof();
    const char byte = traits_type::to_char_type(c);
    [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
    return c;
}

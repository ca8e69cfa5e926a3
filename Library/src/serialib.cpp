#include "KivraHardwareAPI/serialib.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr long READ_LIMIT_MS = 1000;
constexpr useconds_t READ_RETRY_US = 100;

long monotonic_milliseconds() { return static_cast<long>(Kivra::HardwareAPI::monotonic_nanoseconds() / 1'000'000); }

// Calls whose results are ignored must not leave their errno behind for a
// later failure line to report.
class ErrnoKept {
public:
    ErrnoKept() : saved(errno) {}
    ~ErrnoKept() { errno = saved; }
    ErrnoKept(const ErrnoKept&) = delete;
    ErrnoKept& operator=(const ErrnoKept&) = delete;

private:
    int saved;
};

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

}  // namespace

serialib::~serialib() { close_device(); }

int8_t serialib::open_device(const char* path) { return open_device(path, false); }

int8_t serialib::open_device(const char* path, bool exclusive_open) {
    return open_device(path, exclusive_open ? PortLock::exclusive : PortLock::none);
}

int8_t serialib::open_device(const char* path, PortLock lock) {
    if (path == nullptr) {
        // What the kernel answers for a null path, without handing it one.
        error = errno = EFAULT;
        return -2;
    }
    // Close-on-exec: a child process started by the program must not keep
    // the port open (and locked) after the program has let it go.
    fd = ::open(path, O_RDWR | O_NOCTTY | O_NDELAY | O_CLOEXEC);
    if (fd == -1) {
        error = errno;
        return -2;
    }
    termios options{};
    auto refuse = [this](int err) -> int8_t {
        ::close(fd);
        fd = -1;
        error = errno = err;
        return -2;
    };
    // Anything else (a regular file, /dev/null) would swallow the requests.
    if (tcgetattr(fd, &options) != 0) return refuse(errno == EBADF ? EBADF : ENOTTY);
    if (lock == PortLock::exclusive) {
        // TIOCEXCL turns away later opens by other users; root passes it, so
        // an advisory lock is what keeps two exclusive owners apart.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) return refuse(errno == EWOULDBLOCK ? EBUSY : errno);
        if (ioctl(fd, TIOCEXCL) != 0) return refuse(errno);
        exclusive = true;
    } else if (lock == PortLock::shared) {
        // Sharers do not exclude each other, but an exclusive owner (root or
        // not) excludes them, and they it.
        if (flock(fd, LOCK_SH | LOCK_NB) != 0) return refuse(errno == EWOULDBLOCK ? EBUSY : errno);
    }
    ErrnoKept kept;
    // The port stays non-blocking: reads poll, they never wait in the driver.
    fcntl(fd, F_SETFL, O_NONBLOCK);
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
    error = 0;
    return 1;
}

void serialib::raise_dtr() {
    ErrnoKept kept;  // pseudo-terminals have no modem lines and say ENOTTY
    int bits = 0;
    ioctl(fd, TIOCMGET, &bits);
    bits |= TIOCM_DTR;
    ioctl(fd, TIOCMSET, &bits);
}

int32_t serialib::bytes_available() const {
    if (fd < 0) return 0;
    ErrnoKept kept;
    int count = 0;
    ioctl(fd, FIONREAD, &count);
    return count;
}

void serialib::close_device() {
    if (fd < 0) return;
    {
        ErrnoKept kept;
        // The tty keeps the flag while any other descriptor holds it open.
        if (exclusive) ioctl(fd, TIOCNXCL);
    }
    ::close(fd);
    fd = -1;
    exclusive = false;
    error = EBADF;
}

int32_t serialib::timed_read(uint8_t* destination, uint32_t count) {
    if (count == 0) return 0;
    const long start = monotonic_milliseconds();
    uint32_t stored = 0;
    for (;;) {
        const long elapsed = monotonic_milliseconds() - start;
        if (elapsed >= READ_LIMIT_MS || elapsed < 0) return static_cast<int32_t>(stored);
        const ssize_t got = ::read(fd, destination + stored, count - stored);
        if (got == -1 && !would_block(errno)) {
            error = errno;
            return -2;
        }
        if (got > 0) {
            stored += static_cast<uint32_t>(got);
            if (stored >= count) return static_cast<int32_t>(stored);
        }
        usleep(READ_RETRY_US);
    }
}

int serialib::wait_readable(int timeout_ms) const {
    if (fd < 0) return POLLNVAL;
    ErrnoKept kept;
    pollfd request{fd, POLLIN, 0};
    if (::poll(&request, 1, timeout_ms) <= 0) return 0;
    return request.revents;
}

int serialib::wait_readable(long long timeout_ns, int interrupt_fd, bool& interrupted) const {
    interrupted = false;
    if (fd < 0) return POLLNVAL;
    ErrnoKept kept;
    pollfd requests[2] = {{fd, POLLIN, 0}, {interrupt_fd, POLLIN, 0}};
    const nfds_t count = interrupt_fd >= 0 ? 2 : 1;
    timespec limit{};
    if (timeout_ns >= 0) limit = {time_t(timeout_ns / 1'000'000'000), long(timeout_ns % 1'000'000'000)};
    if (::ppoll(requests, count, timeout_ns >= 0 ? &limit : nullptr, nullptr) <= 0) return 0;
    if (count == 2 && (requests[1].revents & POLLIN) != 0) {
        interrupted = true;
        return 0;
    }
    return requests[0].revents;
}

int serialib::events_now() const { return wait_readable(0); }

int32_t serialib::read_waiting(uint8_t* destination, uint32_t count) {
    if (fd < 0) {
        error = EBADF;
        return -2;
    }
    uint32_t stored = 0;
    if (count > 0 && has_pending_byte) {
        destination[stored++] = static_cast<uint8_t>(pending_byte);
        has_pending_byte = false;
    }
    while (stored < count) {
        const ssize_t got = ::read(fd, destination + stored, count - stored);
        if (got > 0) {
            stored += static_cast<uint32_t>(got);
            continue;
        }
        if (got == -1 && errno == EINTR) continue;
        if (got == -1 && !would_block(errno)) {
            error = errno;
            return -2;
        }
        break;
    }
    return static_cast<int32_t>(stored);
}

int32_t serialib::write_until(const uint8_t* data, uint32_t count, long long deadline_ns) {
    if (fd < 0) {
        error = EBADF;
        return 0;
    }
    uint32_t written = 0;
    while (written < count) {
        const ssize_t n = ::write(fd, data + written, count - written);
        if (n > 0) {
            written += static_cast<uint32_t>(n);
            continue;
        }
        if (n == -1 && !would_block(errno)) {
            error = errno;
            break;
        }
        // The driver's queue is full: wait for room rather than fail, as a
        // blocking port would.
        int wait_ms = -1;
        if (deadline_ns > 0) {
            const long long left_ns = deadline_ns - Kivra::HardwareAPI::monotonic_nanoseconds();
            if (left_ns <= 0) {
                error = EAGAIN;
                break;
            }
            wait_ms = static_cast<int>((left_ns + 999'999) / 1'000'000);
        }
        pollfd request{fd, POLLOUT, 0};
        const int ready = ::poll(&request, 1, wait_ms);
        if (ready > 0 && (request.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            error = EIO;
            break;
        }
    }
    if (written < count) errno = error;
    return static_cast<int32_t>(written);
}

void serialib::discard_input() {
    has_pending_byte = false;
    if (fd < 0) return;
    ErrnoKept kept;
    tcflush(fd, TCIFLUSH);
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
    const long long deadline_ns =
        write_limit_ms < 0 ? 0 : Kivra::HardwareAPI::monotonic_nanoseconds() + write_limit_ms * 1'000'000LL;
    return write_until(reinterpret_cast<const uint8_t*>(s), static_cast<uint32_t>(n), deadline_ns);
}

serialib::int_type serialib::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof()) || fd == -1) return traits_type::eof();
    const char byte = traits_type::to_char_type(c);
    [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
    return c;
}

#include "PtyPort.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace kivra_emulator {

namespace {

// While no host has the port open, poll reports the hang-up at once; this
// pause keeps the wait for an open from spinning.
constexpr long ABSENT_HOST_PAUSE_NS = 2'000'000;

[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

void pause_nanoseconds(long ns) {
    const timespec pause{0, ns};
    nanosleep(&pause, nullptr);
}

}  // namespace

PtyPort::PtyPort(const std::string& link_path) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) fail("posix_openpt");
    char name[256] = {};
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof(name)) != 0) {
        const int err = errno;
        ::close(master);
        errno = err;
        fail("pseudo-terminal setup");
    }
    host_path = name;
    // Raw from the start, so that nothing sent before the host configures
    // the port is cooked by the line discipline. The settings outlive this
    // descriptor: they belong to the terminal, which lives as long as the
    // master does.
    const int host_end = ::open(name, O_RDWR | O_NOCTTY);
    if (host_end >= 0) {
        termios raw{};
        if (tcgetattr(host_end, &raw) == 0) {
            cfmakeraw(&raw);
            tcsetattr(host_end, TCSANOW, &raw);
        }
        ::close(host_end);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (!link_path.empty()) {
        // An emulator that was killed leaves its link behind, pointing at a
        // terminal that went with it (or whose number this one now has):
        // such a link is taken over.
        struct stat existing {};
        if (::lstat(link_path.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode)) {
            char target[256] = {};
            const ssize_t length = ::readlink(link_path.c_str(), target, sizeof(target) - 1);
            const bool ours = length > 0 && std::string(target, static_cast<std::size_t>(length)) == name;
            if (ours || ::access(link_path.c_str(), F_OK) != 0) ::unlink(link_path.c_str());
        }
        if (::symlink(name, link_path.c_str()) != 0) {
            const int err = errno;
            ::close(master);
            errno = err;
            fail("cannot create the link " + link_path);
        }
        link = link_path;
    }
}

PtyPort::~PtyPort() { hang_up(); }

PtyPort::Event PtyPort::wait(int timeout_ms, std::vector<uint8_t>& input) {
    if (master < 0) {
        pause_nanoseconds(std::max(timeout_ms, 0) * 1'000'000L);
        return Event::none;
    }
    pollfd request{master, static_cast<short>(POLLIN | (output.empty() ? 0 : POLLOUT)), 0};
    const int ready = ::poll(&request, 1, timeout_ms);
    if (ready < 0) return Event::none;  // a signal; the caller looks at its flag
    if (ready > 0 && (request.revents & POLLHUP) != 0) {
        if (present) {
            mark_closed();
            return Event::closed;
        }
        pause_nanoseconds(std::min<long>(ABSENT_HOST_PAUSE_NS, std::max(timeout_ms, 0) * 1'000'000L));
        return Event::none;
    }
    // No hang-up reported, even after a quiet wait: a host has the port open.
    Event event = Event::none;
    if (!present) {
        present = true;
        event = Event::opened;
    }
    if ((request.revents & POLLIN) != 0) {
        uint8_t chunk[4096];
        for (;;) {
            const ssize_t got = ::read(master, chunk, sizeof(chunk));
            if (got > 0) {
                input.insert(input.end(), chunk, chunk + got);
                continue;
            }
            if (got < 0 && errno == EIO) {
                // The host closed the port while we read.
                mark_closed();
                return event == Event::opened ? Event::none : Event::closed;
            }
            break;
        }
    }
    flush_output();
    return event;
}

void PtyPort::queue(const std::vector<uint8_t>& bytes) {
    if (master < 0 || !present) return;
    output.insert(output.end(), bytes.begin(), bytes.end());
    flush_output();
}

void PtyPort::flush_output() {
    while (master >= 0 && !output.empty()) {
        // One write per contiguous run, so a message leaves whole when it fits.
        uint8_t chunk[4096];
        const std::size_t count = std::min(output.size(), sizeof(chunk));
        std::copy_n(output.begin(), count, chunk);
        const ssize_t written = ::write(master, chunk, count);
        if (written <= 0) {
            if (written < 0 && errno == EIO) mark_closed();
            return;
        }
        output.erase(output.begin(), output.begin() + written);
    }
}

int PtyPort::host_unread() const {
    if (master < 0) return 0;
    const int host_end = ::open(host_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (host_end < 0) return 0;
    int waiting = 0;
    if (ioctl(host_end, FIONREAD, &waiting) != 0) waiting = 0;
    ::close(host_end);
    return waiting;
}

void PtyPort::discard_host_input() const {
    if (master < 0) return;
    const int host_end = ::open(host_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (host_end < 0) return;
    tcflush(host_end, TCIFLUSH);
    ::close(host_end);
}

void PtyPort::mark_closed() {
    present = false;
    output.clear();
}

void PtyPort::remove_link() {
    if (link.empty()) return;
    // Only our own link: whatever replaced it in the meantime stays.
    char target[256] = {};
    const ssize_t length = ::readlink(link.c_str(), target, sizeof(target) - 1);
    if (length > 0 && host_path == std::string(target, static_cast<std::size_t>(length))) ::unlink(link.c_str());
    link.clear();
}

void PtyPort::hang_up() {
    remove_link();
    if (master >= 0) {
        ::close(master);
        master = -1;
    }
    mark_closed();
}

}  // namespace kivra_emulator

// A stand-in arm device on a pseudo-terminal, shared by every client of one
// benchmark run. It answers each 13-byte force request (code 42) with the
// end-effector state (code 43 and 24 bytes) in one write, either at once or
// a set delay after the request arrived.
//
// Protocol with the harness: the slave path is printed on the first line of
// standard output; each line "delay <nanoseconds>" on standard input sets the
// delay and is answered "ok"; end of input ends the responder.
//
// The state it sends back is the request's force as the position and the
// request count as the first velocity, so clients can check that each reply
// is the answer to their own request.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr std::size_t REQUEST_SIZE = 13;
constexpr std::size_t REPLY_SIZE = 25;
constexpr uint8_t FORCE_CODE = 42;
constexpr uint8_t STATE_CODE = 43;

bool write_all(int fd, const uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::write(fd, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<std::size_t>(n);
        } else if (n == -1 && errno != EINTR && errno != EAGAIN) {
            return false;
        } else if (n == -1 && errno == EAGAIN) {
            pollfd out{fd, POLLOUT, 0};
            ::poll(&out, 1, 100);
        }
    }
    return true;
}

void sleep_until(const timespec& wake) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
}

timespec add_nanoseconds(timespec t, long long ns) {
    long long total = static_cast<long long>(t.tv_nsec) + ns;
    t.tv_sec += static_cast<time_t>(total / 1'000'000'000LL);
    t.tv_nsec = static_cast<long>(total % 1'000'000'000LL);
    return t;
}

}  // namespace

int main() {
    // The default 50 us timer slack would stretch a 1 ms device delay.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    int master = -1;
    int slave = -1;
    char name[128] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    // The slave stays open here so that the master never sees a hang-up
    // between two clients.
    std::printf("%s\n", name);
    std::fflush(stdout);

    long long delay_ns = 0;
    uint8_t pending[4096];
    std::size_t pending_count = 0;
    uint32_t answered = 0;
    std::string control;

    for (;;) {
        pollfd watch[2] = {{master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(watch, 2, -1) < 0) {
            if (errno == EINTR) continue;
            std::perror("poll");
            return 1;
        }
        if ((watch[1].revents & (POLLIN | POLLHUP)) != 0) {
            char chunk[256];
            const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof(chunk));
            if (n <= 0) break;
            control.append(chunk, static_cast<std::size_t>(n));
            std::size_t end;
            while ((end = control.find('\n')) != std::string::npos) {
                const std::string line = control.substr(0, end);
                control.erase(0, end + 1);
                if (line.rfind("delay ", 0) == 0) {
                    delay_ns = std::atoll(line.c_str() + 6);
                    std::printf("ok\n");
                } else {
                    std::printf("unknown command\n");
                }
                std::fflush(stdout);
            }
        }
        if ((watch[0].revents & POLLIN) == 0) continue;

        timespec arrival{};
        clock_gettime(CLOCK_MONOTONIC, &arrival);
        const ssize_t n = ::read(master, pending + pending_count, sizeof(pending) - pending_count);
        if (n <= 0) continue;
        pending_count += static_cast<std::size_t>(n);
        std::size_t used = 0;
        while (pending_count - used >= REQUEST_SIZE) {
            const uint8_t* request = pending + used;
            used += REQUEST_SIZE;
            if (request[0] != FORCE_CODE) {
                // Out of step: drop everything and wait for the next request.
                used = pending_count;
                break;
            }
            uint8_t reply[REPLY_SIZE] = {};
            reply[0] = STATE_CODE;
            std::memcpy(reply + 1, request + 1, 12);
            const float count = static_cast<float>(++answered % 1000000);
            std::memcpy(reply + 13, &count, 4);
            if (delay_ns > 0) sleep_until(add_nanoseconds(arrival, delay_ns));
            if (!write_all(master, reply, REPLY_SIZE)) {
                std::perror("write");
                return 1;
            }
        }
        std::memmove(pending, pending + used, pending_count - used);
        pending_count -= used;
    }
    ::close(master);
    ::close(slave);
    return 0;
}

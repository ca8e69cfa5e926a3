#pragma once

// The device side of a pseudo-terminal: tests write what a device would send
// to the master and read back what the library wrote to the slave path.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class PtyPeer {
public:
    PtyPeer() {
        char name[128] = {};
        if (openpty(&master_fd, &slave_fd, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
        // Raw from the start, so bytes written before the library configures
        // the port are not cooked by the line discipline.
        termios raw{};
        tcgetattr(slave_fd, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave_fd, TCSANOW, &raw);
        fcntl(master_fd, F_SETFL, fcntl(master_fd, F_GETFL) | O_NONBLOCK);
        slave_path = name;
    }
    ~PtyPeer() {
        for (std::thread& t : responders) t.join();
        if (master_fd >= 0) ::close(master_fd);
        if (slave_fd >= 0) ::close(slave_fd);
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& path() const { return slave_path; }
    int master() const { return master_fd; }

    void send(const std::vector<uint8_t>& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_fd, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else {
                pollfd p{master_fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
        // Let the line discipline hand the bytes to the slave side.
        wait_until_slave_has(bytes.size());
    }

    // Sends `reply` once the library has written more than it had so far, as
    // a device that speaks only when asked does; gives up after 6 s.
    void send_on_request(std::vector<uint8_t> reply) {
        const int before = master_waiting();
        responders.emplace_back([this, before, reply = std::move(reply)] {
            for (int i = 0; i < 30000 && master_fd >= 0; ++i) {
                if (master_waiting() > before) {
                    send(reply);
                    return;
                }
                usleep(200);
            }
        });
    }

    // The device goes away: the library's side of the port is hung up.
    void hang_up() {
        for (std::thread& t : responders) t.join();
        responders.clear();
        ::close(master_fd);
        master_fd = -1;
    }

    // Reads up to `count` bytes the library wrote, waiting at most timeout_ms.
    std::vector<uint8_t> receive(std::size_t count, int timeout_ms = 1000) const {
        std::vector<uint8_t> got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (got.size() < count) {
            uint8_t chunk[1024];
            const ssize_t n = ::read(master_fd, chunk, std::min(sizeof(chunk), count - got.size()));
            if (n > 0) {
                got.insert(got.end(), chunk, chunk + n);
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{master_fd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left.count()));
        }
        return got;
    }

    // Everything written so far, after a short settling time.
    std::vector<uint8_t> drain(int settle_ms = 50) const { return receive(1 << 20, settle_ms); }

    // Bytes waiting on the slave side, unread by the library.
    int slave_waiting() const {
        int n = 0;
        ioctl(slave_fd, FIONREAD, &n);
        return n;
    }

    // Bytes the library wrote that the peer has not read yet.
    int master_waiting() const {
        int n = 0;
        ioctl(master_fd, FIONREAD, &n);
        return n;
    }

private:
    void wait_until_slave_has(std::size_t) const {
        // The pty moves bytes to the slave asynchronously; a short wait makes
        // "already waiting" cases deterministic.
        for (int i = 0; i < 200; ++i) {
            if (slave_waiting() > 0) break;
            usleep(500);
        }
        usleep(2000);
    }

    int master_fd = -1;
    int slave_fd = -1;
    std::string slave_path;
    std::vector<std::thread> responders;
};

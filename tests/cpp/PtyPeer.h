#pragma once

// The device side of a pseudo-terminal: tests write what a device would send
// to the master and read back what the library wrote to the slave path.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
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
        stop_serving();
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
        stop_serving();
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
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
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

    struct Step {
        std::vector<uint8_t> request;  // awaited whole; none: the reply follows the delay alone
        std::vector<uint8_t> reply;
        std::chrono::milliseconds delay{0};  // between the request and the reply
    };

    // Plays the steps in order on a thread of its own, which is from then on
    // the only reader of what the library writes. A request other than the
    // one awaited, or none within 6 s, ends the play.
    void script(std::vector<Step> steps) {
        steps_played = 0;
        scripted_steps = steps.size();
        serve([this, steps = std::move(steps)] {
            for (const Step& step : steps) {
                if (read_request(step.request.size(), 6000) != step.request) return;
                for (auto end = std::chrono::steady_clock::now() + step.delay;
                     serving && std::chrono::steady_clock::now() < end;)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (!write_reply(step.reply)) return;
                ++steps_played;
            }
        });
    }

    // Whether every step of the script was played, waiting at most timeout_ms.
    bool script_played(int timeout_ms = 6000) const {
        for (int waited = 0; steps_played < scripted_steps && waited < timeout_ms; ++waited) usleep(1000);
        return steps_played == scripted_steps;
    }

    // Answers every request of request_size bytes, on a thread of its own
    // and until the peer goes away, with what answer returns for it (an
    // empty reply sends nothing). answer runs on that thread: a pause in it
    // delays the reply. Nothing else should read what the library writes.
    void answer_each(std::size_t request_size,
                     std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)> answer) {
        serve([this, request_size, answer = std::move(answer)] {
            for (;;) {
                const std::vector<uint8_t> request = read_request(request_size, -1);
                if (request.size() != request_size || !write_reply(answer(request))) return;
            }
        });
    }

private:
    void serve(std::function<void()> body) {
        serving = true;
        servers.emplace_back(std::move(body));
    }

    void stop_serving() {
        serving = false;
        for (std::thread& t : servers) t.join();
        servers.clear();
    }

    // size bytes the library wrote, or fewer when the peer stops serving or,
    // with patience_ms of 0 or more, when none came for that long.
    std::vector<uint8_t> read_request(std::size_t size, int patience_ms) const {
        std::vector<uint8_t> got;
        auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(patience_ms);
        while (got.size() < size && serving) {
            uint8_t chunk[256];
            const ssize_t n = ::read(master_fd, chunk, std::min(sizeof(chunk), size - got.size()));
            if (n > 0) {
                got.insert(got.end(), chunk, chunk + n);
                give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(patience_ms);
                continue;
            }
            if (patience_ms >= 0 && std::chrono::steady_clock::now() > give_up) break;
            pollfd p{master_fd, POLLIN, 0};
            // A closed slave side makes the master readable for good: do not spin on it.
            if (::poll(&p, 1, 5) > 0 && !(p.revents & POLLIN)) usleep(5000);
        }
        return got;
    }

    // Without send's settling pause, which would cost every reply 2 ms.
    bool write_reply(const std::vector<uint8_t>& reply) const {
        for (std::size_t done = 0; done < reply.size();) {
            const ssize_t n = ::write(master_fd, reply.data() + done, reply.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (!serving) return false;
            pollfd p{master_fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
        return true;
    }

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
    std::atomic<bool> serving{false};
    std::atomic<std::size_t> steps_played{0}, scripted_steps{0};
    std::vector<std::thread> servers;
};

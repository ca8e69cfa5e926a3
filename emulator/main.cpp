// kivra-emulator: an arm device or a handle on a pseudo-terminal.
//
// One thread does everything: it waits on the port, parses requests, keeps
// the simulation in step with the clock, and writes replies when their time
// comes (at once unless a delay is asked for) and stream frames when they are
// due. The first line on standard output is the port path.

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include "ArmDevice.h"
#include "HandleDevice.h"
#include "Options.h"
#include "PtyPort.h"

namespace {

using namespace kivra_emulator;

volatile sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

// A request cut off midway is dropped after this long [s], so that one lost
// byte does not shift every later request.
constexpr double PARTIAL_REQUEST_LIMIT = 0.5;
// How long a hang-up waits for the host to read the last reply [s].
constexpr double HANG_UP_GRACE = 2.0;
// Bytes written to the master reach the host end a moment later, through
// the kernel's work queue; until then the host end reports nothing unread.
constexpr double DELIVERY_ALLOWANCE = 0.2;
constexpr int LONGEST_WAIT_MS = 10;

double monotonic_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: the wait returns at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// The hand's force as it comes on standard input, a line "fx fy fz" [N]
// each, read without blocking the device. Once the input ends (the program
// that fed it has gone) the hand lets go.
class HandInput {
public:
    HandInput() { fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK); }

    // True when a new force came since the last call; force is then the latest.
    bool take(std::array<double, 3>& force) {
        if (ended) return false;
        char chunk[512];
        bool changed = false;
        for (;;) {
            const ssize_t count = read(STDIN_FILENO, chunk, sizeof(chunk));
            if (count > 0) {
                pending.append(chunk, static_cast<std::size_t>(count));
                continue;
            }
            if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
                ended = true;
                force = {0.0, 0.0, 0.0};
                return true;
            }
            break;
        }
        std::size_t line_end;
        while ((line_end = pending.find('\n')) != std::string::npos) {
            std::istringstream line(pending.substr(0, line_end));
            pending.erase(0, line_end + 1);
            std::array<double, 3> read_force{};
            if (line >> read_force[0] >> read_force[1] >> read_force[2]) {
                force = read_force;
                changed = true;
            }
        }
        return changed;
    }

private:
    std::string pending;
    bool ended = false;
};

std::string identifier_text(const std::array<uint8_t, 16>& bytes) {
    std::string text;
    char digits[3];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        std::snprintf(digits, sizeof(digits), "%02x", bytes[i]);
        text += digits;
    }
    return text;
}

// The second line of standard output: what is served, where, and how to stop it.
std::string description(const Options& options, const std::string& path) {
    std::ostringstream text;
    if (options.device == DeviceKind::arm) {
        text << "an arm (model " << unsigned{options.model_number} << ", device id " << options.device_id
             << ", unique id " << identifier_text(options.unique_id) << ", firmware id "
             << identifier_text(options.firmware_id) << ")";
        if (options.hand_input) text << " pushed by a hand from standard input";
        if (!options.replay_states.empty()) {
            text << " replaying " << options.replay_states.size() << " recorded states";
        }
    } else {
        text << "a handle (model " << unsigned{options.model_number} << ", device id " << options.device_id << ")";
    }
    text << " on " << path << "; Ctrl-C stops it";
    return text.str();
}

std::unique_ptr<EmulatedDevice> make_device(const Options& options, double now) {
    if (options.device == DeviceKind::handle) return std::make_unique<HandleDevice>(options, now);
    return std::make_unique<ArmDevice>(options, now);
}

int serve(const Options& options, PtyPort& port) {
    // An orphan is adopted by another process: the parent's pid no longer shows.
    const pid_t parent = getppid();
    std::unique_ptr<EmulatedDevice> device = make_device(options, monotonic_seconds());
    ReplyChannel replies(options);
    std::vector<uint8_t> input;
    double input_since = 0.0;
    long exchanges = 0;
    bool hang_up_due = options.hang_up_after == 0;
    double hang_up_deadline = std::numeric_limits<double>::infinity();
    double last_reply_time = -std::numeric_limits<double>::infinity();
    bool last_reply_seen_unread = false;
    std::unique_ptr<HandInput> hand = options.hand_input ? std::make_unique<HandInput>() : nullptr;
    std::array<double, 3> hand_force{};

    while (stop_requested == 0) {
        if (options.exit_with_parent && getppid() != parent) break;
        double now = monotonic_seconds();
        double wake = std::min(device->next_wakeup(now), replies.next_due());
        if (!input.empty()) wake = std::min(wake, input_since + PARTIAL_REQUEST_LIMIT);
        // A hang-up waits for the host to read; the stream is over by then.
        if (hang_up_due) wake = now + 0.001;
        const double wait_ms = std::ceil((wake - now) * 1000.0);
        const int timeout_ms = static_cast<int>(std::max(0.0, std::min<double>(LONGEST_WAIT_MS, wait_ms)));

        const bool had_input = !input.empty();
        const PtyPort::Event event = port.wait(timeout_ms, input);
        now = monotonic_seconds();
        if (event == PtyPort::Event::opened) {
            // Whatever an earlier host left unread is not for this one.
            port.discard_host_input();
            device->host_opened(now);
            if (options.verbose) std::fprintf(stderr, "kivra-emulator: port opened\n");
        } else if (event == PtyPort::Event::closed) {
            replies.clear();
            input.clear();
            if (options.verbose) std::fprintf(stderr, "kivra-emulator: port closed\n");
        }
        if (!had_input && !input.empty()) input_since = now;

        if (hand && hand->take(hand_force)) device->push(hand_force, now);
        device->advance(now);
        std::size_t used = 0;
        while (used < input.size() && !hang_up_due) {
            const std::size_t length = device->request_length(&input[used], input.size() - used);
            if (length == 0) {
                ++used;  // not a request of this device: skipped, as the firmware does
                continue;
            }
            if (length > input.size() - used) break;
            device->handle_request(&input[used], length, now, replies);
            used += length;
            ++exchanges;
            if (options.hang_up_after >= 0 && exchanges >= options.hang_up_after) {
                hang_up_due = true;
                hang_up_deadline = now + HANG_UP_GRACE;
            }
        }
        input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(used));
        if (used > 0) input_since = now;
        if (hang_up_due || (!input.empty() && now - input_since > PARTIAL_REQUEST_LIMIT)) input.clear();

        for (const Message& reply : replies.take_due(now)) {
            port.queue(reply);
            last_reply_time = now;
            last_reply_seen_unread = false;
        }
        if (port.host_present() && !hang_up_due) {
            const Message frame = device->stream_frame(now, [&port]() { return port.host_unread(); });
            if (!frame.empty()) port.queue(frame);
        }

        if (hang_up_due && (exchanges > 0 || port.host_present())) {
            // The last reply is read before the line goes down: a hang-up
            // drops what the host has not read yet.
            bool delivered = false;
            if (replies.empty() && !port.output_pending()) {
                const int unread = port.host_unread();
                if (unread > 0) last_reply_seen_unread = true;
                delivered = unread == 0 && (last_reply_seen_unread || now - last_reply_time > DELIVERY_ALLOWANCE);
            }
            if (delivered || now > hang_up_deadline) {
                port.hang_up();
                std::fprintf(stderr, "kivra-emulator: hung up after %ld requests\n", exchanges);
                return 0;
            }
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse_options(argc, argv);
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "kivra-emulator: %s\n\n%s", error.what(), usage());
        return 2;
    }
    if (options.help) {
        std::fputs(usage(), stdout);
        return 0;
    }
    install_signal_handlers();
    try {
        PtyPort port(options.link);
        std::printf("%s\n%s\n", port.path().c_str(), description(options, port.path()).c_str());
        std::fflush(stdout);
        return serve(options, port);
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "kivra-emulator: %s\n", error.what());
        return 1;
    }
}

#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace kivra_emulator {

// The device end of a new pseudo-terminal. The emulator keeps no descriptor
// of the host end open, so the master reports a hang-up while no host has
// the port open: that is how opens and closes of the port are seen.
class PtyPort {
public:
    enum class Event { none, opened, closed };

    // Throws std::system_error; link_path may be empty.
    explicit PtyPort(const std::string& link_path);
    ~PtyPort();
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    const std::string& path() const { return host_path; }
    bool host_present() const { return present; }

    // Waits up to timeout_ms for host bytes, room for pending output or an
    // open or close of the port; appends what the host sent to `input`.
    Event wait(int timeout_ms, std::vector<uint8_t>& input);

    // Output leaves in order, as fast as the host end takes it.
    void queue(const std::vector<uint8_t>& bytes);
    bool output_pending() const { return !output.empty(); }
    // Bytes that reached the host end but were not read there yet.
    int host_unread() const;
    // Drops what the host end holds unread (left over from an earlier host).
    void discard_host_input() const;

    // Closes the port as an unplugged device does; the link goes with it.
    void hang_up();

private:
    void flush_output();
    void mark_closed();
    void remove_link();

    int master = -1;
    std::string host_path;
    std::string link;
    bool present = false;
    std::deque<uint8_t> output;
};

}  // namespace kivra_emulator

#include "KivraHardwareAPI/Device.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "KivraHardwareAPI/serialib.h"

namespace Kivra::HardwareAPI::Devices {

namespace {

// Spinning takes a quick reply without a wake-up, but only pays while another
// processor is free to produce it; SpinBudget (below) learns how long to spin,
// never longer than a tenth of a 1 kHz device's period.
constexpr long long LONGEST_SPIN_NANOSECONDS = 100'000;
// While part of a payload is waiting, poll would return at once: the wait
// sleeps for about the time the missing bytes take on the line instead.
constexpr long long BYTE_NANOSECONDS = 86'806;  // 10 bits at 115200 baud
constexpr long long LONGEST_PARTIAL_SLEEP_NANOSECONDS = 5'000'000;
constexpr int LONGEST_BLOCK_MILLISECONDS = 1000;
constexpr int HANG_UP_EVENTS = POLLHUP | POLLERR | POLLNVAL;

using Kivra::HardwareAPI::monotonic_nanoseconds;
using Kivra::HardwareAPI::monotonic_seconds;
long long spin_nanoseconds();           // how long this thread's next wait spins
void spin_ran_out(long long& spin_ns);  // marks this wait's spin as spent
void wait_ended(long long waited_nanoseconds, long long spin_ns);

using Lock = std::lock_guard<std::recursive_mutex>;

thread_local int interrupt_fd = -1;

}  // namespace

void set_thread_interrupt_fd(int fd) { interrupt_fd = fd < 0 ? -1 : fd; }

int thread_interrupt_fd() { return interrupt_fd; }

WaitLimit WaitLimit::precise(double timeout) {
    WaitLimit limit;
    limit.start_ns = monotonic_nanoseconds();
    limit.give_up_ns = deadline_from(limit.start_ns, timeout);
    return limit;
}

WaitLimit WaitLimit::whole_second(float seconds) {
    WaitLimit limit;
    limit.start_ns = monotonic_nanoseconds();
    if (seconds > 0) {
        limit.whole_seconds = seconds;
        // First whole second at which the strict "more than limit" test holds.
        limit.give_up_ns = (static_cast<long long>(monotonic_seconds(limit.start_ns)) +
                            static_cast<long long>(std::floor(seconds)) + 1) *
                           1'000'000'000LL;
    }
    return limit;
}

bool WaitLimit::expired(long long now_ns) const {
    if (whole_seconds > 0) {
        return difftime(monotonic_seconds(now_ns), monotonic_seconds(start_ns)) > whole_seconds;
    }
    return give_up_ns > 0 && now_ns >= give_up_ns;
}

bool WaitLimit::expired() const { return expired(monotonic_nanoseconds()); }

WaitLimit WaitLimit::until(long long deadline_ns) {
    WaitLimit limit;
    limit.give_up_ns = deadline_ns;
    return limit;
}

ExchangeRule ExchangeRule::precise(double timeout) {
    ExchangeRule rule;
    rule.timeout = timeout;
    return rule;
}

ExchangeRule ExchangeRule::devices_own(float timeout) {
    ExchangeRule rule;
    rule.timeout = timeout;
    rule.whole_second = true;
    rule.sink = FailureSink::logged;
    return rule;
}

void ExchangeRule::start() {
    if (!whole_second) limit = WaitLimit::precise(timeout);
}

WaitLimit ExchangeRule::next_wait() const {
    return whole_second ? WaitLimit::whole_second(static_cast<float>(timeout)) : limit;
}

long long ExchangeRule::timeout_ns() const { return timeout > 0 ? static_cast<long long>(timeout * 1e9) : 0; }

float read_float_le(const uint8_t* bytes) {
    uint32_t bits = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                    static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

void write_float_le(uint8_t* bytes, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    bytes[0] = static_cast<uint8_t>(bits);
    bytes[1] = static_cast<uint8_t>(bits >> 8);
    bytes[2] = static_cast<uint8_t>(bits >> 16);
    bytes[3] = static_cast<uint8_t>(bits >> 24);
}

Device::Device(IO::SerialStream* stream) : stream(stream) {}

void Device::send(std::size_t n) {
    if (n > BUFFER_SIZE) n = BUFFER_SIZE;
    Lock lock(stream->exchange_mutex());
    stream->set_write_limit(timeout);
    stream->write_bytes(tx_buffer, n);
}

void Device::send_floats(uint8_t code, const float* values, int32_t count) {
    send(encode_floats(tx_buffer, code, values, count));
}

std::size_t encode_floats(uint8_t* message, uint8_t code, const float* values, int32_t count) {
    if (count < 0) count = 0;
    if (count > 255) count = 255;
    message[0] = code;
    for (int32_t i = 0; i < count; ++i) write_float_le(message + 1 + 4 * i, values[i]);
    return static_cast<std::size_t>(1 + 4 * count);
}

void Device::begin_exchange() { stream->clear(); }

bool Device::wait_until_available(std::size_t needed, float limit) {
    return wait_until_available(needed, WaitLimit::whole_second(limit)) == OutcomeKind::done;
}

OutcomeKind Device::wait_until_available(std::size_t needed, const WaitLimit& limit) {
    const long long start_ns = monotonic_nanoseconds();
    const long long give_up_ns = limit.give_up_ns;
    long long spin_ns = -1;  // chosen once bytes are found missing
    for (;;) {
        const int32_t waiting = stream->available();
        if (static_cast<std::size_t>(waiting) >= needed) {
            if (spin_ns != -1) wait_ended(monotonic_nanoseconds() - start_ns, spin_ns);
            return OutcomeKind::done;
        }
        const long long now_ns = monotonic_nanoseconds();
        if (limit.expired(now_ns)) return OutcomeKind::timed_out;
        if (spin_ns == -1) spin_ns = spin_nanoseconds();
        if (now_ns - start_ns < spin_ns) continue;
        if (spin_ns > 0) spin_ran_out(spin_ns);
        const int saved_errno = errno;  // failure lines report the exchange's errno
        if (waiting > 0) {
            // poll would answer at once: ask it only whether the port hung up.
            if ((stream->wait_for_input(0) & HANG_UP_EVENTS) != 0) return OutcomeKind::hung_up;
            const auto missing = static_cast<long long>(needed - static_cast<std::size_t>(waiting));
            long long pause_ns = std::min(LONGEST_PARTIAL_SLEEP_NANOSECONDS, missing * BYTE_NANOSECONDS);
            if (give_up_ns > 0) pause_ns = std::max(0LL, std::min(pause_ns, give_up_ns - now_ns));
            const timespec pause{0, static_cast<long>(pause_ns)};
            nanosleep(&pause, nullptr);
        } else {
            long long left_ns = LONGEST_BLOCK_MILLISECONDS * 1'000'000LL;
            if (give_up_ns > 0) left_ns = std::max(0LL, std::min(left_ns, give_up_ns - now_ns));
            bool interrupted = false;
            const int events = stream->wait_for_input(left_ns, interrupt_fd, interrupted);
            if (interrupted) return OutcomeKind::interrupted;
            if ((events & HANG_UP_EVENTS) != 0 && (events & POLLIN) == 0) return OutcomeKind::hung_up;
            // A hung-up port may still report its last bytes as readable:
            // once they are taken, it is seen hung up above.
            if ((events & HANG_UP_EVENTS) != 0 && stream->available() == 0) return OutcomeKind::hung_up;
        }
        errno = saved_errno;
    }
}

uint8_t Device::await_header_code() {
    uint8_t code = 0;
    const Outcome outcome = take_code(code, WaitLimit::whole_second(timeout), FailureSink::logged, ReadPath::stream);
    return outcome.ok() ? code : 0;
}

uint8_t Device::await_header_code(const WaitLimit& limit, bool logged) {
    uint8_t code = 0;
    const FailureSink sink = logged ? FailureSink::logged : FailureSink::silent;
    return take_code(code, limit, sink, ReadPath::waiting).ok() ? code : 0;
}

uint32_t Device::await_payload(std::size_t n) {
    const Outcome outcome = take_payload(n, WaitLimit::whole_second(timeout), FailureSink::logged, ReadPath::stream);
    return outcome.ok() ? static_cast<uint32_t>(n) : 0;
}

Outcome Device::take_code(uint8_t& code, const WaitLimit& limit, FailureSink sink, ReadPath path) {
    Lock lock(stream->exchange_mutex());
    const bool logged = sink == FailureSink::logged;
    const OutcomeKind waited = wait_until_available(1, limit);
    if (waited != OutcomeKind::done) {
        if (logged) IO::report_failure(__FILE__, __LINE__, errno, "timeout waiting for header code");
        return {waited, 0};
    }
    if (path == ReadPath::stream) {
        stream->read(reinterpret_cast<char*>(rx_buffer), 1);
        // A stream at its end stays silent: its failure was told when it came.
        if ((stream->rdstate() & std::ios::eofbit) != 0) return {OutcomeKind::hung_up, 0};
    }
    if (path == ReadPath::stream ? stream->rdstate() != std::ios::goodbit : stream->read_waiting(rx_buffer, 1) != 1) {
        const int err = stream->last_errno();
        if (logged) IO::report_failure(__FILE__, __LINE__, err, "unable to read header code from stream");
        return {OutcomeKind::hung_up, err};
    }
    code = rx_buffer[0];
    return Outcome::done();
}

Outcome Device::take_payload(std::size_t n, const WaitLimit& limit, FailureSink sink, ReadPath path) {
    if (n > BUFFER_SIZE) return {OutcomeKind::short_payload, 0};
    if (n == 0 && path == ReadPath::waiting) return Outcome::done();
    Lock lock(stream->exchange_mutex());
    const bool logged = sink == FailureSink::logged;
    const OutcomeKind waited = wait_until_available(n, limit);
    if (waited != OutcomeKind::done) {
        // The devices' own line for a payload that did not come names the header code too.
        if (logged) IO::report_failure(__FILE__, __LINE__, errno, "timeout waiting for header code");
        if (waited == OutcomeKind::timed_out) return {OutcomeKind::short_payload, std::max(0, stream->available())};
        return {waited, 0};
    }
    int32_t got = 0;
    if (path == ReadPath::stream) {
        stream->read(reinterpret_cast<char*>(rx_buffer), static_cast<std::streamsize>(n));
        if ((stream->rdstate() & std::ios::eofbit) != 0) return {OutcomeKind::hung_up, 0};
        got = stream->rdstate() == std::ios::goodbit ? static_cast<int32_t>(stream->gcount()) : -1;
    } else {
        got = stream->read_waiting(rx_buffer, n);
    }
    if (got < 0) {
        const int err = stream->last_errno();
        if (logged) IO::report_failure(__FILE__, __LINE__, err, "unable to read '%zu' bytes from stream", n);
        return {OutcomeKind::hung_up, err};
    }
    if (static_cast<std::size_t>(got) != n) return {OutcomeKind::short_payload, got};
    return Outcome::done();
}

Outcome Device::take_code(uint8_t& code, const ExchangeRule& rule) {
    return take_code(code, rule.next_wait(), rule.sink, rule.reads());
}

Outcome Device::take_payload(std::size_t n, const ExchangeRule& rule) {
    return take_payload(n, rule.next_wait(), rule.sink, rule.reads());
}

Outcome Device::start_exchange(ExchangeRule& rule) {
    if (rule.whole_second) {
        begin_exchange();
        return Outcome::done();
    }
    const Outcome outcome = check_open();
    if (outcome.ok()) rule.start();
    return outcome;
}

Outcome Device::send_request(std::size_t n, const ExchangeRule& rule) {
    if (!rule.whole_second) return send_until(n, rule.limit.give_up_ns);
    send(n);
    return Outcome::done();
}

void Device::suspect_late_reply(long long quiet_ns) {
    if (quiet_ns <= 0) return;
    quiet_window_ns = std::max(quiet_window_ns, quiet_ns);
    last_activity_ns = monotonic_nanoseconds();
}

Outcome Device::await_quiet_line(long long give_up_ns) {
    if (quiet_window_ns <= 0) return Outcome::done();
    bool counted = false;
    for (;;) {
        const int32_t waiting = stream->available();
        long long now_ns = monotonic_nanoseconds();
        if (waiting > 0) {
            stream->discard_input();
            late_bytes_discarded.fetch_add(static_cast<uint64_t>(waiting), std::memory_order_relaxed);
            if (!counted) late_replies_discarded.fetch_add(1, std::memory_order_relaxed);
            counted = true;
            last_activity_ns = now_ns;
        }
        const long long quiet_at = last_activity_ns + quiet_window_ns;
        if (now_ns >= quiet_at) {
            quiet_window_ns = 0;
            return Outcome::done();
        }
        if (give_up_ns > 0 && now_ns >= give_up_ns) return {OutcomeKind::timed_out, 0};
        const long long until = give_up_ns > 0 ? std::min(quiet_at, give_up_ns) : quiet_at;
        bool interrupted = false;
        const int saved_errno = errno;
        const int events = stream->wait_for_input(until - now_ns, interrupt_fd, interrupted);
        errno = saved_errno;
        if (interrupted) return {OutcomeKind::interrupted, 0};
        if ((events & HANG_UP_EVENTS) != 0 && stream->available() == 0) return {OutcomeKind::hung_up, 0};
    }
}

Outcome Device::check_open() const {
    if (stream == nullptr) return {OutcomeKind::not_open, EBADF};
    if (stream->descriptor() < 0) return {OutcomeKind::not_open, stream->last_errno()};
    return Outcome::done();
}

Outcome Device::send_until(std::size_t n, long long deadline_ns) {
    if (n > BUFFER_SIZE) n = BUFFER_SIZE;
    return stream->write_all(tx_buffer, n, deadline_ns);
}

Outcome Device::receive_code(uint8_t& code, long long deadline_ns) {
    return take_code(code, WaitLimit::until(deadline_ns), FailureSink::silent, ReadPath::waiting);
}

Outcome Device::receive_payload(std::size_t n, long long deadline_ns) {
    return take_payload(n, WaitLimit::until(deadline_ns), FailureSink::silent, ReadPath::waiting);
}

namespace {

// How long the waits of one thread spin before they block. Spinning takes a
// reply without a wake-up, which on an idle (and virtual) machine saves much
// of the exchange; but on a busy machine the spinner holds the very processor
// that the reply's path (the port's kernel worker, the device) waits for, and
// every microsecond spun is added to the exchange. So the spin follows what
// it achieves. A reply caught while spinning makes the next spins last at
// least four times as long as that reply took; a spin that ran out is cut by
// a quarter, so where spinning does not pay it fades out within a few
// exchanges and the wait blocks at once. Once it has faded, one wait in
// PROBE_INTERVAL spins again, at most as long as blocked waits have lately
// taken (spinning longer could only lose), to notice that processors have
// become free; a failed probe costs that one exchange its time once more.
struct SpinBudget {
    static constexpr long long SHORTEST_NANOSECONDS = 2'000;
    static constexpr long long MARGIN_NANOSECONDS = 2'000;
    static constexpr long long CATCH_FACTOR = 4;
    static constexpr unsigned PROBE_INTERVAL = 64;

    long long nanoseconds = LONGEST_SPIN_NANOSECONDS;
    long long blocked_wait_nanoseconds = LONGEST_SPIN_NANOSECONDS;  // recent mean, waits that did not spin
    unsigned waits_without_spin = 0;
};

// One per thread: the library has no locks, and how long a reply takes is
// a matter of the machine's load more than of the device.
thread_local SpinBudget spin_budget;

long long spin_nanoseconds() {
    if (spin_budget.nanoseconds > 0) return spin_budget.nanoseconds;
    if (++spin_budget.waits_without_spin < SpinBudget::PROBE_INTERVAL) return 0;
    spin_budget.waits_without_spin = 0;
    return std::max(SpinBudget::SHORTEST_NANOSECONDS,
                    std::min(LONGEST_SPIN_NANOSECONDS, spin_budget.blocked_wait_nanoseconds));
}

void spin_ran_out(long long& spin_ns) {
    spin_budget.nanoseconds -= spin_budget.nanoseconds / 4;
    if (spin_budget.nanoseconds < SpinBudget::SHORTEST_NANOSECONDS) spin_budget.nanoseconds = 0;
    spin_ns = -spin_ns;
}

// spin_ns: positive when the bytes came while spinning, 0 when the wait
// blocked without spinning, below -1 when it blocked after its spin ran out.
void wait_ended(long long waited_nanoseconds, long long spin_ns) {
    if (spin_ns == 0) {
        spin_budget.blocked_wait_nanoseconds += (waited_nanoseconds - spin_budget.blocked_wait_nanoseconds) / 8;
    } else if (spin_ns > 0) {
        const long long wanted = SpinBudget::CATCH_FACTOR * waited_nanoseconds + SpinBudget::MARGIN_NANOSECONDS;
        spin_budget.nanoseconds = std::max(spin_budget.nanoseconds, std::min(LONGEST_SPIN_NANOSECONDS, wanted));
    }
}

}  // namespace

}  // namespace Kivra::HardwareAPI::Devices

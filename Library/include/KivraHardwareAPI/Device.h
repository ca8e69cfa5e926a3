#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "KivraHardwareAPI/Clock.h"
#include "KivraHardwareAPI/Outcome.h"
#include "KivraHardwareAPI/SerialStream.h"

namespace Kivra::HardwareAPI::Devices {

constexpr std::size_t BUFFER_SIZE = 1024;

// When a wait gives up.
struct WaitLimit {
    long long start_ns = 0;    // monotonic [ns]
    long long give_up_ns = 0;  // precise: first instant at which the wait has failed; 0: no limit
    float whole_seconds = 0;   // > 0: instead, once more than this many whole seconds have passed
    // timeout [s]; 0 or less: no limit.
    static WaitLimit precise(double timeout);
    // The devices' own rule: a whole-second clock and a strict comparison,
    // so a limit of 5 gives up after more than 5 and at most 6 seconds.
    static WaitLimit whole_second(float limit);
    // Precise, giving up at deadline_ns (monotonic [ns], 0: no limit).
    static WaitLimit until(long long deadline_ns);
    // The limit has passed at now_ns (monotonic [ns]).
    bool expired(long long now_ns) const;
    bool expired() const;
};

// Where the failures of an exchange go: nowhere for the calls that report an
// outcome, to the "[err]" lines on standard error for the devices' own calls.
enum class FailureSink { silent, logged };

// How a read takes its bytes: through the iostream, whose failure state
// stays until the next exchange begins, or only from what is waiting.
enum class ReadPath { stream, waiting };

// How one exchange waits and what becomes of its failures. The calls with an
// outcome have one precise deadline for the whole exchange, set when it
// starts, read what is waiting and log nothing. The devices' own calls give
// every wait the whole time-out anew on the whole-second clock, read through
// the stream and write the "[err]" lines; their send logs its own failure and
// the exchange goes on.
struct ExchangeRule {
    double timeout = 0;  // [s]; 0 or less: no limit
    bool whole_second = false;
    // Sent even when the line has not gone quiet after an earlier time-out:
    // a last word that must reach the device. What comes back is checked as
    // always.
    bool sends_anyway = false;
    FailureSink sink = FailureSink::silent;
    WaitLimit limit;  // precise: the exchange's own, from start()

    static ExchangeRule precise(double timeout);
    static ExchangeRule devices_own(float timeout);
    bool logged() const { return sink == FailureSink::logged; }
    ReadPath reads() const { return whole_second ? ReadPath::stream : ReadPath::waiting; }
    // The exchange's time starts now.
    void start();
    // The limit of the exchange's next wait.
    WaitLimit next_wait() const;
    // The time-out [ns]; 0 without one.
    long long timeout_ns() const;
};

// Common record of both device kinds: reply time-out, the borrowed stream and
// one transmit and one receive buffer. A message is one header code (never 0)
// followed by a payload whose length the code fixes.
class Device {
public:
    explicit Device(IO::SerialStream* stream);
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Writes tx_buffer[0..n-1] in one write.
    void send(std::size_t n);
    // Sends code followed by count little-endian floats (count 0 to 255).
    void send_floats(uint8_t code, const float* values, int32_t count);
    // Next header code, or 0 when none came within timeout, the port hung up
    // or the read failed.
    uint8_t await_header_code();
    // The same under any limit, reading only what is already waiting; logged:
    // the failure lines of await_header_code, else silent.
    uint8_t await_header_code(const WaitLimit& limit, bool logged);
    // Reads n payload bytes into rx_buffer once all are waiting; returns n,
    // or 0 on time-out, hang-up, failure or n larger than BUFFER_SIZE.
    uint32_t await_payload(std::size_t n);

    // Waits until at least `needed` bytes are waiting. Gives up once more
    // than limit [s] have passed on a whole-second monotonic clock, or at
    // once when the port hangs up; a limit of 0 or less waits without end
    // for a port that stays up. Returns false on giving up.
    bool wait_until_available(std::size_t needed, float limit);
    // The same wait under any limit: done, timed_out or hung_up.
    OutcomeKind wait_until_available(std::size_t needed, const WaitLimit& limit);

    // Pieces of an exchange that report an outcome, log nothing and allocate
    // nothing; deadlines are monotonic [ns], 0 for none.
    // Writes tx_buffer[0..n-1].
    Outcome send_until(std::size_t n, long long deadline_ns);
    // Takes the next header code into `code`.
    Outcome receive_code(uint8_t& code, long long deadline_ns);
    // Takes n payload bytes into rx_buffer; short_payload tells how many came.
    Outcome receive_payload(std::size_t n, long long deadline_ns);
    // not_open (with the open's errno) unless the stream's port is open.
    Outcome check_open() const;

    // The one wait for a reply's header code and the one wait for its
    // payload, under any limit, sink and read path; every call above is one
    // of their uses. A payload cut short by the limit gives short_payload
    // with the bytes waiting; a failed read gives hung_up.
    Outcome take_code(uint8_t& code, const WaitLimit& limit, FailureSink sink, ReadPath path);
    Outcome take_payload(std::size_t n, const WaitLimit& limit, FailureSink sink, ReadPath path);
    Outcome take_code(uint8_t& code, const ExchangeRule& rule);
    Outcome take_payload(std::size_t n, const ExchangeRule& rule);
    // Starts an exchange by rule: the devices' own calls clear the stream's
    // failure state; the calls with an outcome need an open port and start
    // their deadline.
    Outcome start_exchange(ExchangeRule& rule);
    // Sends tx_buffer[0..n-1] by rule.
    Outcome send_request(std::size_t n, const ExchangeRule& rule);

    // Starts an exchange: a failure of an earlier exchange does not carry
    // over into this one.
    void begin_exchange();

    // A reply that did not come in full may still be on its way: until the
    // line has been quiet for the failed exchange's time-out, anything that
    // arrives belongs to an earlier request, never to the next one.
    // Marks the port suspect for quiet_ns [ns] from now.
    void suspect_late_reply(long long quiet_ns);
    // Discards what arrives until the line has been quiet long enough (at
    // once when the port is not suspect). Gives up with timed_out at
    // give_up_ns (monotonic, 0: no limit), the port still suspect; hung_up
    // or interrupted as any wait.
    Outcome await_quiet_line(long long give_up_ns);
    bool suspect() const { return quiet_window_ns > 0; }

    float timeout = 5.0f;  // reply time-out [s]; 0 or less waits without limit
    IO::SerialStream* stream;
    uint8_t tx_buffer[BUFFER_SIZE] = {};
    uint8_t rx_buffer[BUFFER_SIZE] = {};

    std::atomic<uint64_t> late_replies_discarded{0};  // quiet-line waits that had to throw bytes away
    std::atomic<uint64_t> late_bytes_discarded{0};

private:
    long long quiet_window_ns = 0;   // > 0 while the port is suspect
    long long last_activity_ns = 0;  // monotonic [ns]: the failure, or the last late byte seen
};

// While fd (not negative) is readable, every wait of the calling thread on a
// port ends with `interrupted`; -1 (the default) waits undisturbed. The
// descriptor is only polled, never read: its owner drains it.
void set_thread_interrupt_fd(int fd);
int thread_interrupt_fd();

using Kivra::HardwareAPI::deadline_after;
using Kivra::HardwareAPI::monotonic_nanoseconds;

// Float stored little-endian at an arbitrary offset.
float read_float_le(const uint8_t* bytes);
void write_float_le(uint8_t* bytes, float value);
// Stores code and count floats at the start of `message`; returns its length.
std::size_t encode_floats(uint8_t* message, uint8_t code, const float* values, int32_t count);

}  // namespace Kivra::HardwareAPI::Devices

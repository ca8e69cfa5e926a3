// The C++ clients of the round-trip benchmark, one process per kind:
//   floor    one write of the request and a blocking read of the reply: the
//            least any client can do over this port;
//   library  Pendra3::end_effector_force, the library as a C++ user calls it;
//   spin     the library's framing with a reply wait that polls the waiting
//            count without ever sleeping, kept only as the CPU reference.
//
// Usage: kivra_bench_client KIND PORT. Each line "run N" on standard input
// makes N exchanges and prints two lines: "<cpu ns> <wall ns> <bad replies>"
// and the N latencies in nanoseconds. The line "ready" tells that the port
// is open. End of input ends the client.

#include <fcntl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "KivraHardwareAPI/Device.h"
#include "KivraHardwareAPI/Pendra3.h"
#include "KivraHardwareAPI/SerialStream.h"

using Kivra::HardwareAPI::Devices::Device;
using Kivra::HardwareAPI::Devices::Pendra3;
using Kivra::HardwareAPI::IO::SerialStream;

namespace {

constexpr uint8_t FORCE_CODE = 42;
constexpr uint8_t STATE_CODE = 43;
constexpr std::size_t REPLY_SIZE = 25;

long long clock_ns(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<long long>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec;
}

float float_at(const uint8_t* bytes) {
    float value;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

// One exchange: sends the force, returns false when the reply is not the
// answer to it (the responder echoes the force as the position).
class Client {
public:
    virtual ~Client() = default;
    virtual void prepare() {}
    virtual bool exchange(const std::array<float, 3>& force) = 0;
};

class FloorClient : public Client {
public:
    explicit FloorClient(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY)) {
        if (fd < 0) {
            std::perror("open");
            std::exit(1);
        }
    }
    ~FloorClient() override { ::close(fd); }

    // Terminal settings belong to the port, not to this descriptor, and the
    // other clients set VMIN to 0, under which a blocking read would return
    // at once; they are set again before every batch.
    void prepare() override {
        termios options{};
        tcgetattr(fd, &options);
        cfmakeraw(&options);
        options.c_cc[VMIN] = 1;
        options.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &options);
        tcflush(fd, TCIFLUSH);
    }

    bool exchange(const std::array<float, 3>& force) override {
        uint8_t request[13];
        request[0] = FORCE_CODE;
        std::memcpy(request + 1, force.data(), 12);
        if (::write(fd, request, sizeof(request)) != static_cast<ssize_t>(sizeof(request))) return false;
        uint8_t reply[REPLY_SIZE];
        std::size_t got = 0;
        while (got < REPLY_SIZE) {
            const ssize_t n = ::read(fd, reply + got, REPLY_SIZE - got);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return reply[0] == STATE_CODE && float_at(reply + 1) == force[0];
    }

private:
    int fd;
};

class LibraryClient : public Client {
public:
    explicit LibraryClient(const std::string& path) : stream(path.c_str()), arm(&stream) {}
    void prepare() override { tcflush(stream.descriptor(), TCIFLUSH); }
    bool exchange(const std::array<float, 3>& force) override {
        const auto state = arm.end_effector_force(force);
        return state[0][0] == force[0];
    }

private:
    SerialStream stream;
    Pendra3 arm;
};

// The reply wait as a pure busy loop: the waiting count is asked again at
// once until enough bytes are there or the whole-second time-out passes.
class SpinClient : public Client {
public:
    explicit SpinClient(const std::string& path) : stream(path.c_str()), device(&stream) {}
    void prepare() override { tcflush(stream.descriptor(), TCIFLUSH); }

    bool exchange(const std::array<float, 3>& force) override {
        device.send_floats(FORCE_CODE, force.data(), 3);
        if (!spin_until(1)) return false;
        stream.read(reinterpret_cast<char*>(device.rx_buffer), 1);
        if (!stream.good() || device.rx_buffer[0] != STATE_CODE) return false;
        if (!spin_until(24)) return false;
        stream.read(reinterpret_cast<char*>(device.rx_buffer), 24);
        return stream.good() && float_at(device.rx_buffer) == force[0];
    }

private:
    bool spin_until(int32_t needed) {
        const time_t start = std::time(nullptr);
        while (stream.available() < needed) {
            if (device.timeout > 0 && std::difftime(std::time(nullptr), start) > device.timeout) return false;
        }
        return true;
    }

    SerialStream stream;
    Device device;
};

std::unique_ptr<Client> make_client(const std::string& kind, const std::string& path) {
    if (kind == "floor") return std::make_unique<FloorClient>(path);
    if (kind == "library") return std::make_unique<LibraryClient>(path);
    if (kind == "spin") return std::make_unique<SpinClient>(path);
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s floor|library|spin PORT\n", argv[0]);
        return 2;
    }
    auto client = make_client(argv[1], argv[2]);
    if (!client) {
        std::fprintf(stderr, "unknown client kind '%s'\n", argv[1]);
        return 2;
    }
    // Every client opens the port before any measures: an opening client
    // configures the port and would upset an exchange in flight.
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    std::vector<long long> latencies;
    uint32_t sequence = 0;
    while (std::getline(std::cin, line)) {
        if (line.rfind("run ", 0) != 0) continue;
        const long count = std::stol(line.substr(4));
        latencies.assign(static_cast<std::size_t>(count), 0);
        client->prepare();
        long bad = 0;
        const long long cpu_start = clock_ns(CLOCK_PROCESS_CPUTIME_ID);
        const long long wall_start = clock_ns(CLOCK_MONOTONIC);
        for (long i = 0; i < count; ++i) {
            const std::array<float, 3> force{static_cast<float>(++sequence % 4096), -1.5f, 0.25f};
            const long long before = clock_ns(CLOCK_MONOTONIC);
            const bool good = client->exchange(force);
            latencies[static_cast<std::size_t>(i)] = clock_ns(CLOCK_MONOTONIC) - before;
            if (!good && bad++ == 0) {
                std::fprintf(stderr, "%s: reply %ld of %ld did not answer its request\n", argv[1], i + 1, count);
            }
        }
        const long long wall = clock_ns(CLOCK_MONOTONIC) - wall_start;
        const long long cpu = clock_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
        std::printf("%lld %lld %ld\n", cpu, wall, bad);
        for (std::size_t i = 0; i < latencies.size(); ++i) std::printf(i ? " %lld" : "%lld", latencies[i]);
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}

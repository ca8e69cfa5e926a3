// A scene's cost per servo tick against the tick's own exchange: for each
// primitive solid, and for meshes of about 1k, 10k and 100k triangles, the
// median time of ShapeScene::render while a hand moves in and out of the
// surface at up to 0.3 m/s at 1 kHz; beside it, in the same run, the median
// force exchange with a peer that answers at once over a pseudo-terminal.
//
// Usage: kivra_bench_scene [TICKS] (default 20000 per row).

#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KivraHardwareAPI/Clock.h"
#include "KivraHardwareAPI/Mesh.h"
#include "KivraHardwareAPI/Pendra3.h"
#include "KivraHardwareAPI/SerialStream.h"
#include "KivraHardwareAPI/ShapeScene.h"
#include "KivraHardwareAPI/Shapes.h"
#include "bench_support.h"

using namespace Kivra::HardwareAPI::Render;

namespace {

using bench::median;
using bench::percentile;
using bench::PI;
using Kivra::HardwareAPI::monotonic_nanoseconds;

struct Cost {
    double median, p99;  // [ns]
};

// Render time [ns] of a scene of solid, its top at z = top [m]: the hand is
// in contact about two ticks in five, and the slower ticks are those.
Cost render_ns(std::shared_ptr<const Surface> solid, double top, int ticks) {
    ShapeScene scene({{std::move(solid), Pose{}, Material{1000.0, 2.0, 0.3, 0.2}, 1}}, FieldSet{}, {}, 1000.0);
    std::vector<double> took(ticks);
    for (int i = 0; i < ticks; ++i) {
        const double t = i * 0.001;
        // 10 mm above to 5 mm deep and back, 2 Hz, drifting sideways over the surface.
        const Vec3 p{0.01 * std::sin(0.7 * t), 0.01 * std::cos(0.5 * t), top + 0.0025 + 0.0075 * std::cos(4 * PI * t)};
        const Kivra::HardwareAPI::Servo::SceneInput input{t, 0.001, {p.x, p.y, p.z}, {0.0, 0.0, 0.0}};
        const long long start = monotonic_nanoseconds();
        const std::array<double, 3> force = scene.render(input);
        took[i] = double(monotonic_nanoseconds() - start);
        if (!std::isfinite(force[2])) std::abort();
    }
    return {median(took), percentile(took, 0.99)};
}

// Median force exchange [ns] with a peer thread that answers each request at once.
double exchange_ns(int exchanges) {
    int master = -1, slave = -1;
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return NAN;
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::atomic<bool> running{true};
    std::thread peer([&] {
        unsigned char request[13], reply[25] = {43};
        while (running) {
            std::size_t got = 0;
            while (got < sizeof(request)) {
                const ssize_t n = read(master, request + got, sizeof(request) - got);
                if (n <= 0) return;
                got += std::size_t(n);
            }
            if (write(master, reply, sizeof(reply)) != ssize_t(sizeof(reply))) return;
        }
    });
    std::vector<double> took;
    {
        Kivra::HardwareAPI::IO::SerialStream stream(name);
        Kivra::HardwareAPI::Devices::Pendra3 arm(&stream);
        Kivra::HardwareAPI::Devices::Vector3 position{}, velocity{};
        for (int i = 0; i < exchanges; ++i) {
            const long long start = monotonic_nanoseconds();
            const auto outcome = arm.exchange(Kivra::HardwareAPI::Devices::Pendra3Code::END_EFFECTOR_FORCE,
                                              {0.0f, 0.0f, 0.0f}, position, velocity, 0.05);
            if (outcome.ok()) took.push_back(double(monotonic_nanoseconds() - start));
        }
    }
    running = false;
    close(slave);
    close(master);
    peer.join();
    return took.empty() ? NAN : median(took);
}

}  // namespace

int main(int argc, char** argv) {
    const int ticks = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (ticks < 1) {
        std::fprintf(stderr, "usage: %s [TICKS]\n", argv[0]);
        return 2;
    }
    const double exchange = exchange_ns(std::min(ticks, 5000));
    std::printf("%-22s %12s %12s %16s\n", "solid", "median [ns]", "p99 [ns]", "p99 of exchange");
    const auto row = [&](const std::string& name, Cost cost) {
        std::printf("%-22s %12.0f %12.0f %15.1f%%\n", name.c_str(), cost.median, cost.p99, 100.0 * cost.p99 / exchange);
    };
    row("plane", render_ns(std::make_shared<PlaneSolid>(), 0.0, ticks));
    row("sphere", render_ns(std::make_shared<SphereSolid>(0.05), 0.05, ticks));
    row("box", render_ns(std::make_shared<BoxSolid>(Vec3{0.05, 0.05, 0.05}), 0.05, ticks));
    row("capsule", render_ns(std::make_shared<CapsuleSolid>(0.03, 0.02), 0.05, ticks));
    row("cylinder", render_ns(std::make_shared<CylinderSolid>(0.05, 0.05), 0.05, ticks));
    for (const int rings : {16, 50, 158}) {
        auto mesh = std::make_shared<MeshSolid>(bench::sphere_mesh(rings, [](double, double) { return 0.05; }));
        row("mesh " + std::to_string(mesh->size()) + " triangles", render_ns(mesh, 0.05, ticks));
    }
    std::printf("%-22s %12.0f %12s %15s   (the tick's own force exchange, same run)\n", "exchange", exchange, "",
                "100.0%");
    return 0;
}

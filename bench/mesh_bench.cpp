// Mesh solid queries against the servo tick's budget: for closed, bumpy
// spheres 0.1 m across of about 1k, 10k and 100k triangles, the median
// time per query of entry and of nearest (and of inside) over batches of
// random 1 mm steps that start within 1 mm of the surface, as a proxy
// renders a hand moving at 1 m/s. The nearest query slows as its point
// moves off the surface: more boxes lie within that distance.
//
// Usage: kivra_bench_mesh [BATCHES [QUERIES_PER_BATCH]] (default 200 500).

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "KivraHardwareAPI/Clock.h"
#include "KivraHardwareAPI/Mesh.h"
#include "bench_support.h"

using namespace Kivra::HardwareAPI::Render;
using bench::median;
using bench::PI;
using Kivra::HardwareAPI::monotonic_nanoseconds;

namespace {

constexpr double RADIUS = 0.05;  // [m]

// The surface's radius [m] at polar angle theta and azimuth phi.
double surface_radius(double theta, double phi) {
    return RADIUS * (1.0 + 0.05 * std::sin(5 * theta) * std::cos(4 * phi));
}

}  // namespace

int main(int argc, char** argv) {
    const int batches = argc > 1 ? std::atoi(argv[1]) : 200;
    const int per_batch = argc > 2 ? std::atoi(argv[2]) : 500;
    if (batches < 1 || per_batch < 1) {
        std::fprintf(stderr, "usage: %s [BATCHES [QUERIES_PER_BATCH]]\n", argv[0]);
        return 2;
    }
    std::printf("%10s %11s %11s %13s %13s %21s %8s\n", "triangles", "build [ms]", "entry [ns]", "nearest [ns]",
                "inside [ns]", "entry+nearest [ns]", "entered");
    for (const int rings : {16, 50, 158}) {
        const std::vector<Triangle> triangles = bench::sphere_mesh(rings, surface_radius);
        const long long build_start = monotonic_nanoseconds();
        const MeshSolid solid(triangles);
        const double build_ms = (monotonic_nanoseconds() - build_start) * 1e-6;

        std::mt19937 random(1);
        std::normal_distribution<double> gaussian;
        std::uniform_real_distribution<double> uniform(-1.0, 1.0);
        const auto direction = [&] { return normalized(Vec3{gaussian(random), gaussian(random), gaussian(random)}); };
        const int count = batches * per_batch;
        std::vector<Vec3> starts(count), ends(count);
        for (int i = 0; i < count; ++i) {
            const Vec3 u = direction();
            const double r = surface_radius(std::acos(u.z), std::atan2(u.y, u.x));
            starts[i] = u * (r + 0.001 * uniform(random));
            ends[i] = starts[i] + direction() * 0.001;
        }

        std::vector<double> entry_ns(batches), nearest_ns(batches), inside_ns(batches), both_ns(batches);
        long long entered = 0;
        volatile double sink = 0.0;  // keeps the answers from being optimized away
        for (int batch = 0; batch < batches; ++batch) {
            const int first = batch * per_batch, last = first + per_batch;
            const long long t0 = monotonic_nanoseconds();
            for (int i = first; i < last; ++i) {
                double t;
                SurfacePoint at;
                if (solid.entry(starts[i], ends[i], t, at)) {
                    ++entered;
                    sink += t;
                }
            }
            const long long t1 = monotonic_nanoseconds();
            for (int i = first; i < last; ++i) sink += solid.nearest(starts[i]).point.x;
            const long long t2 = monotonic_nanoseconds();
            for (int i = first; i < last; ++i) sink += solid.inside(starts[i]) ? 1.0 : 0.0;
            const long long t3 = monotonic_nanoseconds();
            entry_ns[batch] = double(t1 - t0) / per_batch;
            nearest_ns[batch] = double(t2 - t1) / per_batch;
            both_ns[batch] = double(t2 - t0) / per_batch;
            inside_ns[batch] = double(t3 - t2) / per_batch;
        }
        std::printf("%10zu %11.1f %11.0f %13.0f %13.0f %21.0f %7.1f%%\n", solid.size(), build_ms, median(entry_ns),
                    median(nearest_ns), median(inside_ns), median(both_ns), 100.0 * entered / count);
    }
    return 0;
}

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

#include "KivraHardwareAPI/Mesh.h"

using namespace Kivra::HardwareAPI::Render;

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr double RADIUS = 0.05;  // [m]

long long monotonic_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec;
}

// The surface's radius [m] at polar angle theta and azimuth phi.
double surface_radius(double theta, double phi) {
    return RADIUS * (1.0 + 0.05 * std::sin(5 * theta) * std::cos(4 * phi));
}

// rings rings of 2 rings quads; the poles' zero-area halves are dropped by
// the solid, leaving 4 rings (rings - 1) triangles.
std::vector<Triangle> bumpy_sphere(int rings) {
    const int slices = 2 * rings;
    const auto vertex = [&](int i, int j) {
        const double theta = PI * i / rings, phi = 2 * PI * (j % slices) / slices;
        const double r = surface_radius(theta, phi);
        if (i == 0 || i == rings) return Vec3{0, 0, i == 0 ? RADIUS : -RADIUS};  // one vertex each
        return Vec3{r * std::sin(theta) * std::cos(phi), r * std::sin(theta) * std::sin(phi), r * std::cos(theta)};
    };
    std::vector<Triangle> triangles;
    for (int i = 0; i < rings; ++i)
        for (int j = 0; j < slices; ++j) {
            triangles.push_back({vertex(i, j), vertex(i + 1, j), vertex(i + 1, j + 1)});
            triangles.push_back({vertex(i, j), vertex(i + 1, j + 1), vertex(i, j + 1)});
        }
    return triangles;
}

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
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
        const std::vector<Triangle> triangles = bumpy_sphere(rings);
        const long long build_start = monotonic_ns();
        const MeshSolid solid(triangles);
        const double build_ms = (monotonic_ns() - build_start) * 1e-6;

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
            const long long t0 = monotonic_ns();
            for (int i = first; i < last; ++i) {
                double t;
                SurfacePoint at;
                if (solid.entry(starts[i], ends[i], t, at)) {
                    ++entered;
                    sink += t;
                }
            }
            const long long t1 = monotonic_ns();
            for (int i = first; i < last; ++i) sink += solid.nearest(starts[i]).point.x;
            const long long t2 = monotonic_ns();
            for (int i = first; i < last; ++i) sink += solid.inside(starts[i]) ? 1.0 : 0.0;
            const long long t3 = monotonic_ns();
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

#pragma once

// What the C++ benches share: a sphere-like mesh and order statistics.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "KivraHardwareAPI/Mesh.h"

namespace bench {

using Kivra::HardwareAPI::Render::Triangle;
using Kivra::HardwareAPI::Render::Vec3;

constexpr double PI = 3.14159265358979323846;

// rings rings of 2 rings quads around the origin, the surface at
// radius(theta, phi) [m] (polar angle, azimuth); the poles' zero-area
// halves are dropped by a MeshSolid, leaving 4 rings (rings - 1) triangles.
template <typename Radius>
std::vector<Triangle> sphere_mesh(int rings, Radius radius) {
    const int slices = 2 * rings;
    const auto vertex = [&](int i, int j) {
        const double theta = PI * i / rings, phi = 2 * PI * (j % slices) / slices;
        if (i == 0 || i == rings) return Vec3{0, 0, i == 0 ? radius(0.0, 0.0) : -radius(PI, 0.0)};  // one vertex each
        const double r = radius(theta, phi);
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

// The value below which share (0 to 1) of values lie.
inline double percentile(std::vector<double> values, double share) {
    const auto at = values.begin() + std::ptrdiff_t(share * double(values.size() - 1));
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

inline double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

}  // namespace bench

#pragma once

// Vectors, poses and boxes of the haptic scene, in double precision and SI
// units ([m], [s]). Header-only and allocation-free: the servo thread uses
// them every tick.

#include <algorithm>
#include <cmath>

namespace Kivra::HardwareAPI::Render {

struct Vec3 {
    double x = 0.0, y = 0.0, z = 0.0;

    constexpr Vec3() = default;
    constexpr Vec3(double x, double y, double z) : x(x), y(y), z(z) {}

    constexpr double operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
    constexpr Vec3 operator+(const Vec3& o) const { return {x + o.x, y + o.y, z + o.z}; }
    constexpr Vec3 operator-(const Vec3& o) const { return {x - o.x, y - o.y, z - o.z}; }
    constexpr Vec3 operator-() const { return {-x, -y, -z}; }
    constexpr Vec3 operator*(double s) const { return {x * s, y * s, z * s}; }
    constexpr Vec3 operator/(double s) const { return {x / s, y / s, z / s}; }
    Vec3& operator+=(const Vec3& o) { return *this = *this + o; }
    Vec3& operator-=(const Vec3& o) { return *this = *this - o; }
    Vec3& operator*=(double s) { return *this = *this * s; }
    constexpr bool operator==(const Vec3& o) const { return x == o.x && y == o.y && z == o.z; }
    constexpr bool operator!=(const Vec3& o) const { return !(*this == o); }
};

constexpr Vec3 operator*(double s, const Vec3& v) { return v * s; }
constexpr double dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
constexpr Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double norm(const Vec3& v) { return std::sqrt(dot(v, v)); }
inline bool finite(const Vec3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }
// v scaled to length 1; the zero vector stays zero.
inline Vec3 normalized(const Vec3& v) {
    const double length = norm(v);
    return length > 0.0 ? v / length : Vec3{};
}
constexpr Vec3 min(const Vec3& a, const Vec3& b) {
    return {a.x < b.x ? a.x : b.x, a.y < b.y ? a.y : b.y, a.z < b.z ? a.z : b.z};
}
constexpr Vec3 max(const Vec3& a, const Vec3& b) {
    return {a.x > b.x ? a.x : b.x, a.y > b.y ? a.y : b.y, a.z > b.z ? a.z : b.z};
}

// A rotation as a unit quaternion (w, x, y, z).
struct Quat {
    double w = 1.0, x = 0.0, y = 0.0, z = 0.0;

    // The rotation by angle [rad] about axis (any length above zero).
    static Quat about(const Vec3& axis, double angle) {
        const Vec3 a = Render::normalized(axis);
        const double s = std::sin(0.5 * angle);
        return {std::cos(0.5 * angle), a.x * s, a.y * s, a.z * s};
    }
    Quat conjugate() const { return {w, -x, -y, -z}; }
    Quat operator*(const Quat& o) const {
        return {w * o.w - x * o.x - y * o.y - z * o.z, w * o.x + x * o.w + y * o.z - z * o.y,
                w * o.y - x * o.z + y * o.w + z * o.x, w * o.z + x * o.y - y * o.x + z * o.w};
    }
    Vec3 rotate(const Vec3& v) const {
        const Vec3 u{x, y, z};
        const Vec3 t = 2.0 * cross(u, v);
        return v + w * t + cross(u, t);
    }
    Quat normalized() const {
        const double n = std::sqrt(w * w + x * x + y * y + z * z);
        return n > 0.0 ? Quat{w / n, x / n, y / n, z / n} : Quat{};
    }
};

// Where a shape sits: its own frame's origin and orientation in the arm's frame.
struct Pose {
    Vec3 position{};
    Quat orientation{};

    Vec3 to_world(const Vec3& local) const { return position + orientation.rotate(local); }
    Vec3 to_local(const Vec3& world) const { return orientation.conjugate().rotate(world - position); }
    Vec3 direction_to_world(const Vec3& local) const { return orientation.rotate(local); }
    Vec3 direction_to_local(const Vec3& world) const { return orientation.conjugate().rotate(world); }
};

// An axis-aligned box; the default one is empty.
struct Aabb {
    Vec3 low{HUGE_VAL, HUGE_VAL, HUGE_VAL};
    Vec3 high{-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};

    bool empty() const { return low.x > high.x || low.y > high.y || low.z > high.z; }
    void add(const Vec3& p) {
        low = min(low, p);
        high = max(high, p);
    }
    void add(const Aabb& b) {
        low = min(low, b.low);
        high = max(high, b.high);
    }
    Vec3 centre() const { return 0.5 * (low + high); }
    Vec3 size() const { return high - low; }
    Aabb grown(double margin) const {
        return {low - Vec3{margin, margin, margin}, high + Vec3{margin, margin, margin}};
    }
    bool contains(const Vec3& p) const {
        return p.x >= low.x && p.x <= high.x && p.y >= low.y && p.y <= high.y && p.z >= low.z && p.z <= high.z;
    }
    // Whether the segment a + t (b - a), t in [0, 1], meets the box (slab test).
    bool meets_segment(const Vec3& a, const Vec3& b) const {
        double t0 = 0.0, t1 = 1.0;
        const Vec3 d = b - a;
        for (int i = 0; i < 3; ++i) {
            const double lo = i == 0 ? low.x : (i == 1 ? low.y : low.z);
            const double hi = i == 0 ? high.x : (i == 1 ? high.y : high.z);
            if (d[i] == 0.0) {
                if (a[i] < lo || a[i] > hi) return false;
                continue;
            }
            double near = (lo - a[i]) / d[i], far = (hi - a[i]) / d[i];
            if (near > far) std::swap(near, far);
            t0 = std::max(t0, near);
            t1 = std::min(t1, far);
            if (t0 > t1) return false;
        }
        return true;
    }
    // Squared distance from p to the box (0 inside).
    double distance_squared(const Vec3& p) const {
        const Vec3 c = max(low, min(p, high));
        return dot(p - c, p - c);
    }
};

}  // namespace Kivra::HardwareAPI::Render

#include "KivraHardwareAPI/Shapes.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

namespace Kivra::HardwareAPI::Render {

namespace {

double checked_size(const char* what, double value) {
    if (!(std::isfinite(value) && value > 0.0)) {
        char text[64];
        std::snprintf(text, sizeof text, "%g", value);
        throw std::invalid_argument(std::string(what) + " must be finite and above 0 [m], not " + text);
    }
    return value;
}

Vec3 with_component(Vec3 v, int axis, double value) {
    (axis == 0 ? v.x : (axis == 1 ? v.y : v.z)) = value;
    return v;
}

Vec3 axis_unit(int axis, double sign) { return with_component(Vec3{}, axis, sign); }

// Whether a line that spends [enter, leave] of its parameter inside a convex
// solid, and whose segment starts outside it at 0, passes through the inside
// before 1: grazing the surface, or only reaching it at 1, is no entry.
bool passes_inside(double enter, double leave) { return enter < leave && enter < 1.0 && leave > 0.0; }

// Both roots of dd t^2 + 2 half_b t + c = 0 in order, when there are two.
// The second root comes from the product of the roots, so that neither loses
// its digits when the other is near 0.
bool two_roots(double dd, double half_b, double c, double& low, double& high) {
    const double discriminant = half_b * half_b - dd * c;
    if (!(discriminant > 0.0)) return false;
    const double q = -(half_b + std::copysign(std::sqrt(discriminant), half_b));
    low = q / dd;
    high = c / q;
    if (low > high) std::swap(low, high);
    return true;
}

// Where the line a + t d is inside the ball of radius about centre.
bool ball_interval(const Vec3& a, const Vec3& d, const Vec3& centre, double radius, double& enter, double& leave) {
    const double dd = dot(d, d);
    if (dd == 0.0) return false;
    const Vec3 offset = a - centre;
    return two_roots(dd, dot(offset, d), dot(offset, offset) - radius * radius, enter, leave);
}

// Where the line a + t d is inside the endless cylinder x^2 + y^2 < radius^2.
bool radial_interval(const Vec3& a, const Vec3& d, double radius, double& enter, double& leave) {
    const double dd = d.x * d.x + d.y * d.y;
    const double c = a.x * a.x + a.y * a.y - radius * radius;
    if (dd == 0.0) {
        enter = -HUGE_VAL;
        leave = HUGE_VAL;
        return c < 0.0;
    }
    return two_roots(dd, a.x * d.x + a.y * d.y, c, enter, leave);
}

// Where the coordinate a + t d is strictly within (-half, half).
bool slab_interval(double a, double d, double half, double& enter, double& leave) {
    if (d == 0.0) {
        enter = -HUGE_VAL;
        leave = HUGE_VAL;
        return std::abs(a) < half;
    }
    enter = (-half - a) / d;
    leave = (half - a) / d;
    if (enter > leave) std::swap(enter, leave);
    return true;
}

}  // namespace

// PlaneSolid

bool PlaneSolid::entry(const Vec3& a, const Vec3& b, double& t, SurfacePoint& at) const {
    if (a.z < 0.0 || !(b.z < 0.0)) return false;
    t = a.z / (a.z - b.z);
    at.point = a + t * (b - a);
    at.point.z = 0.0;
    at.normal = {0.0, 0.0, 1.0};
    return true;
}

bool PlaneSolid::inside(const Vec3& p) const { return p.z < 0.0; }

SurfacePoint PlaneSolid::nearest(const Vec3& p) const { return {{p.x, p.y, 0.0}, {0.0, 0.0, 1.0}}; }

Aabb PlaneSolid::bounds() const { return {{-HUGE_VAL, -HUGE_VAL, -HUGE_VAL}, {HUGE_VAL, HUGE_VAL, 0.0}}; }

// SphereSolid

SphereSolid::SphereSolid(double radius) : radius_(checked_size("sphere radius", radius)) {}

bool SphereSolid::entry(const Vec3& a, const Vec3& b, double& t, SurfacePoint& at) const {
    if (inside(a)) return false;
    const Vec3 d = b - a;
    double enter = 0.0, leave = 0.0;
    if (!ball_interval(a, d, Vec3{}, radius_, enter, leave) || !passes_inside(enter, leave)) return false;
    t = std::max(enter, 0.0);
    at = nearest(a + t * d);
    return true;
}

bool SphereSolid::inside(const Vec3& p) const { return dot(p, p) < radius_ * radius_; }

SurfacePoint SphereSolid::nearest(const Vec3& p) const {
    Vec3 normal = normalized(p);
    // From the centre every direction is as near; any will do.
    if (normal == Vec3{}) normal = {0.0, 0.0, 1.0};
    return {normal * radius_, normal};
}

Aabb SphereSolid::bounds() const { return {{-radius_, -radius_, -radius_}, {radius_, radius_, radius_}}; }

// BoxSolid

BoxSolid::BoxSolid(const Vec3& half_extents)
    : half_extents_{checked_size("box half extent x", half_extents.x),
                    checked_size("box half extent y", half_extents.y),
                    checked_size("box half extent z", half_extents.z)} {}

bool BoxSolid::entry(const Vec3& a, const Vec3& b, double& t, SurfacePoint& at) const {
    if (inside(a)) return false;
    const Vec3 d = b - a;
    double enter = -HUGE_VAL, leave = HUGE_VAL;
    int entry_axis = -1;
    for (int axis = 0; axis < 3; ++axis) {
        double slab_enter = 0.0, slab_leave = 0.0;
        if (!slab_interval(a[axis], d[axis], half_extents_[axis], slab_enter, slab_leave)) return false;
        if (slab_enter > enter) {
            enter = slab_enter;
            entry_axis = axis;
        }
        leave = std::min(leave, slab_leave);
    }
    if (entry_axis < 0 || !passes_inside(enter, leave)) return false;
    t = std::max(enter, 0.0);
    // The face it crosses faces against the motion along that axis.
    const double side = d[entry_axis] < 0.0 ? 1.0 : -1.0;
    at.point = with_component(a + t * d, entry_axis, side * half_extents_[entry_axis]);
    at.normal = axis_unit(entry_axis, side);
    return true;
}

bool BoxSolid::inside(const Vec3& p) const {
    return std::abs(p.x) < half_extents_.x && std::abs(p.y) < half_extents_.y && std::abs(p.z) < half_extents_.z;
}

SurfacePoint BoxSolid::nearest(const Vec3& p) const {
    const Vec3& h = half_extents_;
    if (std::abs(p.x) > h.x || std::abs(p.y) > h.y || std::abs(p.z) > h.z) {
        const Vec3 clamped = max(-h, min(p, h));
        return {clamped, normalized(p - clamped)};
    }
    int face_axis = 0;
    for (int axis = 1; axis < 3; ++axis) {
        if (h[axis] - std::abs(p[axis]) < h[face_axis] - std::abs(p[face_axis])) face_axis = axis;
    }
    const double side = p[face_axis] < 0.0 ? -1.0 : 1.0;
    return {with_component(p, face_axis, side * h[face_axis]), axis_unit(face_axis, side)};
}

Aabb BoxSolid::bounds() const { return {-half_extents_, half_extents_}; }

// CapsuleSolid

CapsuleSolid::CapsuleSolid(double radius, double half_length)
    : radius_(checked_size("capsule radius", radius)), half_length_(checked_size("capsule half length", half_length)) {}

bool CapsuleSolid::entry(const Vec3& a, const Vec3& b, double& t, SurfacePoint& at) const {
    if (inside(a)) return false;
    const Vec3 d = b - a;
    // The capsule is the union of its two end balls and the cylinder between
    // them; being convex, the line meets it in the span of those pieces.
    double enter = HUGE_VAL, leave = -HUGE_VAL;
    const auto unite = [&](double piece_enter, double piece_leave) {
        if (!(piece_enter < piece_leave)) return;
        enter = std::min(enter, piece_enter);
        leave = std::max(leave, piece_leave);
    };
    double piece_enter = 0.0, piece_leave = 0.0;
    if (ball_interval(a, d, {0.0, 0.0, half_length_}, radius_, piece_enter, piece_leave))
        unite(piece_enter, piece_leave);
    if (ball_interval(a, d, {0.0, 0.0, -half_length_}, radius_, piece_enter, piece_leave))
        unite(piece_enter, piece_leave);
    double slab_enter = 0.0, slab_leave = 0.0;
    if (radial_interval(a, d, radius_, piece_enter, piece_leave) &&
        slab_interval(a.z, d.z, half_length_, slab_enter, slab_leave))
        unite(std::max(piece_enter, slab_enter), std::min(piece_leave, slab_leave));
    if (!passes_inside(enter, leave)) return false;
    t = std::max(enter, 0.0);
    at = nearest(a + t * d);
    return true;
}

bool CapsuleSolid::inside(const Vec3& p) const {
    const Vec3 offset = p - Vec3{0.0, 0.0, std::clamp(p.z, -half_length_, half_length_)};
    return dot(offset, offset) < radius_ * radius_;
}

SurfacePoint CapsuleSolid::nearest(const Vec3& p) const {
    const Vec3 axis_point{0.0, 0.0, std::clamp(p.z, -half_length_, half_length_)};
    Vec3 normal = normalized(p - axis_point);
    // On the axis every direction across it is as near; any will do.
    if (normal == Vec3{}) normal = {1.0, 0.0, 0.0};
    return {axis_point + normal * radius_, normal};
}

Aabb CapsuleSolid::bounds() const {
    const double reach = half_length_ + radius_;
    return {{-radius_, -radius_, -reach}, {radius_, radius_, reach}};
}

// CylinderSolid

CylinderSolid::CylinderSolid(double radius, double half_length)
    : radius_(checked_size("cylinder radius", radius)),
      half_length_(checked_size("cylinder half length", half_length)) {}

bool CylinderSolid::entry(const Vec3& a, const Vec3& b, double& t, SurfacePoint& at) const {
    if (inside(a)) return false;
    const Vec3 d = b - a;
    double side_enter = 0.0, side_leave = 0.0, cap_enter = 0.0, cap_leave = 0.0;
    if (!radial_interval(a, d, radius_, side_enter, side_leave) ||
        !slab_interval(a.z, d.z, half_length_, cap_enter, cap_leave))
        return false;
    const double enter = std::max(side_enter, cap_enter), leave = std::min(side_leave, cap_leave);
    if (!passes_inside(enter, leave)) return false;
    t = std::max(enter, 0.0);
    const Vec3 point = a + t * d;
    if (cap_enter >= side_enter) {
        const double side = d.z < 0.0 ? 1.0 : -1.0;
        at = {{point.x, point.y, side * half_length_}, {0.0, 0.0, side}};
    } else {
        const Vec3 radial = normalized(Vec3{point.x, point.y, 0.0});
        at = {{radial.x * radius_, radial.y * radius_, point.z}, radial};
    }
    return true;
}

bool CylinderSolid::inside(const Vec3& p) const {
    return p.x * p.x + p.y * p.y < radius_ * radius_ && std::abs(p.z) < half_length_;
}

SurfacePoint CylinderSolid::nearest(const Vec3& p) const {
    const double rho = std::hypot(p.x, p.y);
    if (rho > radius_ || std::abs(p.z) > half_length_) {
        const double scale = rho > radius_ ? radius_ / rho : 1.0;
        const Vec3 clamped{p.x * scale, p.y * scale, std::clamp(p.z, -half_length_, half_length_)};
        return {clamped, normalized(p - clamped)};
    }
    if (radius_ - rho < half_length_ - std::abs(p.z)) {
        // On the axis every direction across it is as near; any will do.
        const Vec3 radial = rho > 0.0 ? Vec3{p.x / rho, p.y / rho, 0.0} : Vec3{1.0, 0.0, 0.0};
        return {{radial.x * radius_, radial.y * radius_, p.z}, radial};
    }
    const double side = p.z < 0.0 ? -1.0 : 1.0;
    return {{p.x, p.y, side * half_length_}, {0.0, 0.0, side}};
}

Aabb CylinderSolid::bounds() const { return {{-radius_, -radius_, -half_length_}, {radius_, radius_, half_length_}}; }

}  // namespace Kivra::HardwareAPI::Render

#include "KivraHardwareAPI/Fields.h"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace Kivra::HardwareAPI::Render {

namespace {

constexpr double TWO_PI = 6.283185307179586;

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

[[noreturn]] void refuse(const std::string& field, const std::string& what) {
    throw std::invalid_argument(field + " " + what);
}

// parameter: its name and unit, as in "damping [N·s/m]".
void require_finite(const char* field, const char* parameter, double value) {
    if (!std::isfinite(value)) refuse(field, std::string(parameter) + " must be finite, got " + number(value));
}

void require_not_negative(const char* field, const char* parameter, double value) {
    if (!std::isfinite(value) || value < 0.0)
        refuse(field, std::string(parameter) + " must be finite and at least 0, got " + number(value));
}

void require_positive(const char* field, const char* parameter, double value) {
    if (!std::isfinite(value) || value <= 0.0)
        refuse(field, std::string(parameter) + " must be finite and above 0, got " + number(value));
}

void require_finite(const char* field, const char* parameter, const Vec3& value) {
    if (!finite(value))
        refuse(field, std::string(parameter) + " must be finite, got (" + number(value.x) + ", " + number(value.y) +
                          ", " + number(value.z) + ")");
}

Vec3 unit_direction(const char* field, const char* parameter, const Vec3& value) {
    require_finite(field, parameter, value);
    if (norm(value) == 0.0) refuse(field, std::string(parameter) + " must not be the zero vector");
    return normalized(value);
}

}  // namespace

// ---------------------------------------------------------------- ViscousRegion

ViscousRegion::ViscousRegion(const Surface* region, const Pose& pose, double damping)
    : region_(region), pose_(pose), damping_(damping) {
    if (region == nullptr) refuse("ViscousRegion", "region must not be null");
    require_finite("ViscousRegion", "pose position [m]", pose.position);
    const Quat& q = pose.orientation;
    const double length = std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
    if (!std::isfinite(length) || length == 0.0)
        refuse("ViscousRegion", "pose orientation must be a finite, non-zero quaternion");
    pose_.orientation = q.normalized();
    require_not_negative("ViscousRegion", "damping [N·s/m]", damping);
}

ViscousRegion ViscousRegion::box(const Aabb& box, double damping) {
    require_finite("ViscousRegion", "box low corner [m]", box.low);
    require_finite("ViscousRegion", "box high corner [m]", box.high);
    if (box.empty()) refuse("ViscousRegion", "box must not be empty (low above high)");
    require_not_negative("ViscousRegion", "damping [N·s/m]", damping);
    ViscousRegion field;
    field.box_ = box;
    field.damping_ = damping;
    return field;
}

bool ViscousRegion::contains(const Vec3& position) const {
    return region_ != nullptr ? region_->inside(pose_.to_local(position)) : box_.contains(position);
}

Vec3 ViscousRegion::force(const Vec3& position, const Vec3& velocity, double) const {
    return contains(position) ? -damping_ * velocity : Vec3{};
}

// ---------------------------------------------------------------- Detents

Detents::Detents(const Detent* detents, std::size_t count, double stiffness, double damping)
    : count_(count), stiffness_(stiffness), damping_(damping) {
    if (count > MAX_DETENTS)
        throw std::length_error("Detents holds at most " + std::to_string(MAX_DETENTS) + " detents, got " +
                                std::to_string(count));
    if (count > 0 && detents == nullptr) refuse("Detents", "detents must not be null");
    for (std::size_t i = 0; i < count; ++i) {
        require_finite("Detents", "detent centre [m]", detents[i].centre);
        require_positive("Detents", "detent radius [m]", detents[i].radius);
        detents_[i] = detents[i];
    }
    require_not_negative("Detents", "stiffness [N/m]", stiffness);
    require_not_negative("Detents", "damping [N·s/m]", damping);
}

Detents::Detents(std::initializer_list<Detent> detents, double stiffness, double damping)
    : Detents(detents.begin(), detents.size(), stiffness, damping) {}

Vec3 Detents::force(const Vec3& position, const Vec3& velocity, double) const {
    const Detent* holding = nullptr;
    double nearest = 0.0;
    for (std::size_t i = 0; i < count_; ++i) {
        const double distance = norm(detents_[i].centre - position);
        if (distance < detents_[i].radius && (holding == nullptr || distance < nearest)) {
            holding = &detents_[i];
            nearest = distance;
        }
    }
    if (holding == nullptr) return {};
    const double fade_start = (1.0 - FADE) * holding->radius;
    const double weight = nearest <= fade_start ? 1.0 : (holding->radius - nearest) / (FADE * holding->radius);
    return weight * (stiffness_ * (holding->centre - position) - damping_ * velocity);
}

// ---------------------------------------------------------------- Guide

Guide::Guide(const Vec3* points, std::size_t count, double stiffness, double damping, double max_force)
    : count_(count), stiffness_(stiffness), damping_(damping), max_force_(max_force) {
    if (count > MAX_GUIDE_POINTS)
        throw std::length_error("Guide holds at most " + std::to_string(MAX_GUIDE_POINTS) + " points, got " +
                                std::to_string(count));
    if (count < 2) refuse("Guide", "points must be at least 2, got " + std::to_string(count));
    if (points == nullptr) refuse("Guide", "points must not be null");
    for (std::size_t i = 0; i < count; ++i) {
        require_finite("Guide", "point [m]", points[i]);
        if (i > 0 && points[i] == points[i - 1])
            refuse("Guide", "points " + std::to_string(i - 1) + " and " + std::to_string(i) + " [m] are the same");
        points_[i] = points[i];
    }
    require_not_negative("Guide", "stiffness [N/m]", stiffness);
    require_not_negative("Guide", "damping [N·s/m]", damping);
    require_positive("Guide", "max_force [N]", max_force);
}

Guide::Guide(std::initializer_list<Vec3> points, double stiffness, double damping, double max_force)
    : Guide(points.begin(), points.size(), stiffness, damping, max_force) {}

namespace {

// The point at knot t of the centripetal Catmull-Rom segment from p1 to p2
// (Barry and Goldman's pyramid); knots t0 < t1 < t2 < t3 spaced by the
// square roots of the distances between the control points.
Vec3 catmull_rom(const Vec3& p0, const Vec3& p1, const Vec3& p2, const Vec3& p3, double fraction) {
    const double t0 = 0.0;
    const double t1 = t0 + std::sqrt(norm(p1 - p0));
    const double t2 = t1 + std::sqrt(norm(p2 - p1));
    const double t3 = t2 + std::sqrt(norm(p3 - p2));
    const double t = t1 + fraction * (t2 - t1);
    const Vec3 a1 = ((t1 - t) * p0 + (t - t0) * p1) / (t1 - t0);
    const Vec3 a2 = ((t2 - t) * p1 + (t - t1) * p2) / (t2 - t1);
    const Vec3 a3 = ((t3 - t) * p2 + (t - t2) * p3) / (t3 - t2);
    const Vec3 b1 = ((t2 - t) * a1 + (t - t0) * a2) / (t2 - t0);
    const Vec3 b2 = ((t3 - t) * a2 + (t - t1) * a3) / (t3 - t1);
    return ((t2 - t) * b1 + (t - t1) * b2) / (t2 - t1);
}

}  // namespace

Guide Guide::spline(const Vec3* control_points, std::size_t count, std::size_t samples_per_segment, double stiffness,
                    double damping, double max_force) {
    if (count < 2) refuse("Guide", "control_points must be at least 2, got " + std::to_string(count));
    if (control_points == nullptr) refuse("Guide", "control_points must not be null");
    if (samples_per_segment < 1) refuse("Guide", "samples_per_segment must be at least 1, got 0");
    for (std::size_t i = 0; i < count; ++i) {
        require_finite("Guide", "control point [m]", control_points[i]);
        if (i > 0 && control_points[i] == control_points[i - 1])
            refuse("Guide",
                   "control points " + std::to_string(i - 1) + " and " + std::to_string(i) + " [m] are the same");
    }
    if ((count - 1) > (MAX_GUIDE_POINTS - 1) / samples_per_segment)
        throw std::length_error("Guide holds at most " + std::to_string(MAX_GUIDE_POINTS) +
                                " points: " + std::to_string(count) + " control points with " +
                                std::to_string(samples_per_segment) + " samples_per_segment need more");
    std::array<Vec3, MAX_GUIDE_POINTS> points{};
    std::size_t n = 0;
    for (std::size_t segment = 0; segment + 1 < count; ++segment) {
        const Vec3& p1 = control_points[segment];
        const Vec3& p2 = control_points[segment + 1];
        const Vec3 p0 = segment > 0 ? control_points[segment - 1] : 2.0 * p1 - p2;
        const Vec3 p3 = segment + 2 < count ? control_points[segment + 2] : 2.0 * p2 - p1;
        points[n++] = p1;
        for (std::size_t j = 1; j < samples_per_segment; ++j)
            points[n++] = catmull_rom(p0, p1, p2, p3, double(j) / double(samples_per_segment));
    }
    points[n++] = control_points[count - 1];
    return Guide(points.data(), n, stiffness, damping, max_force);
}

Guide Guide::spline(std::initializer_list<Vec3> control_points, std::size_t samples_per_segment, double stiffness,
                    double damping, double max_force) {
    return spline(control_points.begin(), control_points.size(), samples_per_segment, stiffness, damping, max_force);
}

void Guide::nearest(const Vec3& position, Vec3& point, Vec3& tangent) const {
    if (count_ < 2) {
        point = position;
        tangent = {};
        return;
    }
    // The nearest point of each segment, by its parameter clamped to [0, 1].
    std::size_t best_segment = 0;
    double best_fraction = 0.0, best_distance = HUGE_VAL;
    for (std::size_t i = 0; i + 1 < count_; ++i) {
        const Vec3 along = points_[i + 1] - points_[i];
        const double fraction = std::clamp(dot(position - points_[i], along) / dot(along, along), 0.0, 1.0);
        const Vec3 offset = points_[i] + fraction * along - position;
        const double distance = dot(offset, offset);
        if (distance < best_distance) {
            best_distance = distance;
            best_segment = i;
            best_fraction = fraction;
        }
    }
    const Vec3 along = points_[best_segment + 1] - points_[best_segment];
    // The end point itself, not a sum that may miss it by rounding.
    point = best_fraction == 1.0 ? points_[best_segment + 1] : points_[best_segment] + best_fraction * along;
    tangent = normalized(along);
    // At an inner corner, turn the tangent from the incoming direction to the
    // outgoing one by where p lies in the wedge outside the corner: the
    // weights make the blend at right angles to p - corner.
    std::size_t corner = count_;
    if (best_fraction == 1.0 && best_segment + 2 < count_) corner = best_segment + 1;
    if (best_fraction == 0.0 && best_segment > 0) corner = best_segment;
    if (corner == count_) return;
    const Vec3 incoming = normalized(points_[corner] - points_[corner - 1]);
    const Vec3 outgoing = normalized(points_[corner + 1] - points_[corner]);
    const Vec3 offset = position - points_[corner];
    const double past_incoming = std::max(dot(offset, incoming), 0.0);
    const double before_outgoing = std::max(-dot(offset, outgoing), 0.0);
    const Vec3 blend = normalized(before_outgoing * incoming + past_incoming * outgoing);
    if (blend != Vec3{}) {
        tangent = blend;
        return;
    }
    const Vec3 bisector = normalized(incoming + outgoing);
    if (bisector != Vec3{}) tangent = bisector;
}

Vec3 Guide::force(const Vec3& position, const Vec3& velocity, double) const {
    if (count_ < 2) return {};
    Vec3 point, tangent;
    nearest(position, point, tangent);
    const Vec3 across = velocity - dot(velocity, tangent) * tangent;
    const Vec3 force = stiffness_ * (point - position) - damping_ * across;
    const double magnitude = norm(force);
    return magnitude > max_force_ ? force * (max_force_ / magnitude) : force;
}

// ---------------------------------------------------------------- Texture

Texture::Texture(const Vec3& plane_point, const Vec3& normal, const Vec3& tangent, double wavelength, double amplitude,
                 double depth)
    : plane_point_(plane_point), wavelength_(wavelength), amplitude_(amplitude), depth_(depth) {
    require_finite("Texture", "plane_point [m]", plane_point);
    normal_ = unit_direction("Texture", "normal", normal);
    require_finite("Texture", "tangent", tangent);
    const Vec3 across = tangent - dot(tangent, normal_) * normal_;
    // A tangent within a hair of the normal leaves only rounding error.
    if (!(norm(across) > 1e-9 * norm(tangent))) refuse("Texture", "tangent must not be zero or along the normal");
    tangent_ = normalized(across);
    require_positive("Texture", "wavelength [m]", wavelength);
    require_not_negative("Texture", "amplitude [N]", amplitude);
    require_positive("Texture", "depth [m]", depth);
}

Vec3 Texture::force(const Vec3& position, const Vec3&, double) const {
    const double below = dot(plane_point_ - position, normal_);
    if (!(below > 0.0 && below <= depth_)) return {};
    const double along = dot(position - plane_point_, tangent_);
    return amplitude_ * std::sin(TWO_PI * along / wavelength_) * normal_;
}

// ---------------------------------------------------------------- Vibration

Vibration::Vibration(double amplitude, double frequency, const Vec3& direction, double phase, double start,
                     double duration)
    : amplitude_(amplitude), frequency_(frequency), phase_(phase), start_(start), duration_(duration) {
    require_not_negative("Vibration", "amplitude [N]", amplitude);
    require_positive("Vibration", "frequency [Hz]", frequency);
    direction_ = unit_direction("Vibration", "direction", direction);
    require_finite("Vibration", "phase [rad]", phase);
    require_finite("Vibration", "start [s]", start);
    require_finite("Vibration", "duration [s]", duration);
}

bool Vibration::aliases(double rate) const {
    require_positive("Vibration", "rate [Hz]", rate);
    return frequency_ >= 0.5 * rate;
}

Vec3 Vibration::force(const Vec3&, const Vec3&, double time) const {
    if (!(time >= start_)) return {};
    if (duration_ > 0.0 && time >= start_ + duration_) return {};
    // Whole cycles dropped first, so that hours into a run the phase keeps its precision.
    const double cycles = frequency_ * time;
    return amplitude_ * std::sin(TWO_PI * (cycles - std::floor(cycles)) + phase_) * direction_;
}

// ---------------------------------------------------------------- FieldSet

namespace {

template <class Field, std::size_t N>
void append(std::array<Field, N>& fields, std::size_t& count, const Field& field, const char* kind) {
    if (count == N)
        throw std::length_error("FieldSet holds at most " + std::to_string(N) + " " + kind + ", and is full");
    fields[count++] = field;
}

template <class Field, std::size_t N>
Vec3 sum(const std::array<Field, N>& fields, std::size_t count, const Vec3& position, const Vec3& velocity,
         double time) {
    Vec3 total{};
    for (std::size_t i = 0; i < count; ++i) total += fields[i].force(position, velocity, time);
    return total;
}

}  // namespace

void FieldSet::add(const ViscousRegion& field) {
    append(viscous_regions_, viscous_region_count_, field, "viscous regions");
}
void FieldSet::add(const Detents& field) { append(detents_, detents_count_, field, "detent sets"); }
void FieldSet::add(const Guide& field) { append(guides_, guide_count_, field, "guides"); }
void FieldSet::add(const Texture& field) { append(textures_, texture_count_, field, "textures"); }
void FieldSet::add(const Vibration& field) { append(vibrations_, vibration_count_, field, "vibrations"); }

void FieldSet::clear() { *this = FieldSet{}; }

Vec3 FieldSet::force(const Vec3& position, const Vec3& velocity, double time) const {
    return sum(viscous_regions_, viscous_region_count_, position, velocity, time) +
           sum(detents_, detents_count_, position, velocity, time) +
           sum(guides_, guide_count_, position, velocity, time) +
           sum(textures_, texture_count_, position, velocity, time) +
           sum(vibrations_, vibration_count_, position, velocity, time);
}

}  // namespace Kivra::HardwareAPI::Render

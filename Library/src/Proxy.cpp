#include "KivraHardwareAPI/Proxy.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace Kivra::HardwareAPI::Render {

namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

}  // namespace

void validate(const Material& material) {
    const auto check = [](const char* field, double value) {
        if (!(std::isfinite(value) && value >= 0.0))
            throw std::invalid_argument(std::string("material ") + field + " must be finite and 0 or more, not " +
                                        number(value));
    };
    check("stiffness", material.stiffness);
    check("damping", material.damping);
    check("static_friction", material.static_friction);
    check("dynamic_friction", material.dynamic_friction);
    if (material.dynamic_friction > material.static_friction)
        throw std::invalid_argument("material dynamic_friction " + number(material.dynamic_friction) +
                                    " is above its static_friction " + number(material.static_friction));
}

std::string stability_problem(const Material& material, double rate, double device_damping) {
    if (!(std::isfinite(rate) && rate > 0.0)) return "loop rate " + number(rate) + " Hz must be finite and above 0";
    const double limit = passive_stiffness_limit(material.damping, rate, device_damping);
    if (material.stiffness <= limit) return {};
    return "stiffness " + number(material.stiffness) + " N/m is above " + number(limit) + " N/m, the most a " +
           number(rate) + " Hz loop keeps passive with " + number(material.damping) +
           " N·s/m of damping (raise the damping or the rate, or allow an active shape)";
}

void Proxy::reset() {
    seen_ = false;
    in_contact_ = false;
    sliding_ = false;
    previous_force_ = {};
}

Vec3 Proxy::update(const Surface& solid, const Pose& pose, const Material& material, const Vec3& device_position,
                   const Vec3& device_velocity) {
    if (!finite(device_position) || !finite(device_velocity)) {
        reset();
        return {};
    }
    // The force of the previous tick acted while the device moved here.
    if (seen_) energy_ += dot(previous_force_, device_position - previous_world_);

    // Both ends of the path in the solid's present frame would miss a solid
    // that moves onto a still hand; the previous point is kept in the frame
    // of its own tick, so the path is the motion relative to the solid.
    const Vec3 device = pose.to_local(device_position);
    if (!in_contact_ && seen_) {
        double t = 0.0;
        SurfacePoint at;
        if (solid.entry(previous_device_, device, t, at)) {
            in_contact_ = true;
            sliding_ = false;
            proxy_ = at.point;
            normal_ = at.normal;
        }
    }

    Vec3 force{};
    if (in_contact_) {
        const double depth = dot(proxy_ - device, normal_);
        const double normal_force = material.stiffness * std::max(depth, 0.0);
        // The device point moved onto the plane touching the surface at the proxy.
        const Vec3 goal = device + depth * normal_;
        const Vec3 slip = goal - proxy_;
        const double slip_length = norm(slip);
        // Coulomb friction: the proxy holds while the spring's pull along the
        // surface stays within the static cone; once it slides it keeps
        // sliding, trailing the goal on the rim of the dynamic cone, until
        // the goal comes back within that cone.
        const double cone = sliding_ ? material.dynamic_friction : material.static_friction;
        Vec3 target = proxy_;
        sliding_ = material.stiffness * slip_length > cone * normal_force;
        if (sliding_) {
            const double trail = material.dynamic_friction * std::max(depth, 0.0);
            target = goal - slip * (trail / slip_length);
        }
        // Back onto a curved surface, but never across to a face turned away
        // from the one in contact: in a thin plate the far face is nearer.
        // A face at right angles is taken, so that the proxy passes over an
        // edge and lets go of a hand beside the solid.
        const SurfacePoint snapped = solid.nearest(target);
        if (dot(snapped.normal, normal_) >= 0.0 && snapped.normal != Vec3{}) {
            proxy_ = snapped.point;
            normal_ = snapped.normal;
        } else {
            proxy_ = target;
        }

        if (!solid.inside(device) && dot(device - proxy_, normal_) >= 0.0) {
            in_contact_ = false;
            sliding_ = false;
        } else {
            const Vec3 velocity = pose.direction_to_local(device_velocity);
            Vec3 local = material.stiffness * (proxy_ - device) - material.damping * dot(velocity, normal_) * normal_;
            // The damping of a hand leaving the surface must not hold it back in.
            const double push = dot(local, normal_);
            if (push < 0.0) local -= push * normal_;
            force = pose.direction_to_world(local);
        }
    }

    previous_device_ = device;
    previous_world_ = device_position;
    previous_force_ = force;
    seen_ = true;
    return force;
}

}  // namespace Kivra::HardwareAPI::Render

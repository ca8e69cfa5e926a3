#pragma once

// Renders a solid through a proxy (god-object): a point that stays on the
// surface while the device point sinks in, tied to it by a spring-damper.
// Because the proxy remembers the side it came from, a thin solid pushes the
// hand back the way it came instead of through. Works on any Surface, in the
// solid's own frame; forces and positions are in the arm's frame, in SI units.

#include <string>

#include "KivraHardwareAPI/Geometry.h"
#include "KivraHardwareAPI/Surface.h"

namespace Kivra::HardwareAPI::Render {

// How a solid feels.
struct Material {
    double stiffness = 0.0;         // [N/m] of the spring from the device point to the proxy
    double damping = 0.0;           // [N·s/m] of the device velocity along the contact normal
    double static_friction = 0.0;   // Coulomb coefficient that holds the proxy still
    double dynamic_friction = 0.0;  // Coulomb coefficient while it slides, at most static_friction
};

// Throws std::invalid_argument naming the field when a value is negative or
// not finite, or dynamic_friction exceeds static_friction.
void validate(const Material& material);

// Viscous damping [N·s/m] the Pendra3's motors and linkage are assumed to add
// to every rendered force. A low figure for a small backdrivable arm, so that
// the bounds below err on the safe side; the arm's real damping is likely
// higher, never lower.
constexpr double DEVICE_DAMPING = 0.5;

// The highest stiffness [N/m] a loop at rate [Hz] renders passively with
// damping [N·s/m] rendered and device_damping [N·s/m] in the arm: K < 2 b / T
// with b = damping + device_damping and T = 1 / rate (Colgate's bound for a
// sampled spring held between ticks, counting the rendered damping of a
// measured velocity as the arm's own).
constexpr double passive_stiffness_limit(double damping, double rate, double device_damping) {
    return 2.0 * (damping + device_damping) * rate;
}

// Why material would not be passive in a loop at rate [Hz], naming its
// stiffness, the bound and the rate; empty when it is. For the host: it
// allocates.
std::string stability_problem(const Material& material, double rate, double device_damping = DEVICE_DAMPING);

// The contact state of the device point with one solid, kept in the solid's
// own frame so that moving the solid carries its proxy along. update() is
// the per-tick call: it neither allocates nor locks.
class Proxy {
public:
    // One tick: the force [N] on the hand, in the arm's frame, of solid placed
    // at pose, for the device point at device_position [m] moving at
    // device_velocity [m/s] (both in the arm's frame). material must pass
    // validate(). A device point first seen inside the solid (or after
    // reset()) feels nothing until it has left: contact only starts where the
    // point's path enters the solid. Non-finite input ends the contact and
    // gives no force.
    Vec3 update(const Surface& solid, const Pose& pose, const Material& material, const Vec3& device_position,
                const Vec3& device_velocity);

    // Forgets the contact and the previous device point; the energy stays.
    void reset();

    bool in_contact() const { return in_contact_; }
    // Whether the proxy slides over the surface rather than sticking.
    bool sliding() const { return in_contact_ && sliding_; }
    // The proxy [m] in the arm's frame for the solid at pose; out of contact,
    // the device point of the last tick.
    Vec3 proxy_position(const Pose& pose) const { return pose.to_world(in_contact_ ? proxy_ : previous_device_); }
    // The outward unit normal at the proxy, in the arm's frame; zero out of contact.
    Vec3 contact_normal(const Pose& pose) const { return in_contact_ ? pose.direction_to_world(normal_) : Vec3{}; }

    // Work [J] the rendered force did on the hand since the last
    // reset_energy(): the sum over ticks of the force held since the previous
    // tick times the device's displacement since then. Above 0, the rendering
    // gave the hand energy.
    double energy() const { return energy_; }
    void reset_energy() { energy_ = 0.0; }

private:
    Vec3 proxy_{};            // [m], solid's frame
    Vec3 normal_{};           // outward unit normal at proxy_, solid's frame
    Vec3 previous_device_{};  // [m], the solid's frame of that tick
    Vec3 previous_world_{};   // [m], arm's frame
    Vec3 previous_force_{};   // [N], arm's frame
    bool seen_ = false;       // previous_device_ and previous_world_ hold a device point
    bool in_contact_ = false;
    bool sliding_ = false;
    double energy_ = 0.0;  // [J]
};

}  // namespace Kivra::HardwareAPI::Render

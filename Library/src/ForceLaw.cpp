#include "ForceLaw.h"

#include <algorithm>
#include <cmath>

namespace Kivra::HardwareAPI::Servo {

namespace detail {

Vector3d effects_force_wide(const Effects& effects, const Vector3d& x, const Vector3d& v) {
    Vector3d force = widen(effects.constant_force);
    const double viscous = effects.viscous_damping;
    for (int i = 0; i < 3; ++i) force[i] -= viscous * v[i];

    const SpringEffect& spring = effects.spring;
    if (spring.enabled) {
        for (int i = 0; i < 3; ++i)
            force[i] -= double(spring.stiffness) * (x[i] - spring.anchor[i]) + double(spring.damping) * v[i];
    }

    for (const WallEffect& wall : effects.walls) {
        if (!wall.enabled) continue;
        Vector3d normal = widen(wall.normal);
        const double length = std::sqrt(dot(normal, normal));
        if (length == 0.0) continue;
        // A NaN normal is kept, so that the force it gives is refused rather than the wall ignored.
        if (std::isfinite(length)) {
            for (double& n : normal) n /= length;
        }
        const Vector3d offset{x[0] - wall.point[0], x[1] - wall.point[1], x[2] - wall.point[2]};
        const double penetration = -dot(offset, normal);
        if (!(penetration > 0.0) && !std::isnan(penetration)) continue;
        double push = double(wall.stiffness) * penetration - double(wall.damping) * dot(v, normal);
        // Damping while the arm leaves the wall must not hold it back inside.
        if (push < 0.0) push = 0.0;
        for (int i = 0; i < 3; ++i) force[i] += push * normal[i];
    }
    return force;
}

Vector3d clamp_wide(const Vector3d& force, double limit) {
    if (!(limit > 0.0)) return {0.0, 0.0, 0.0};
    const double magnitude = std::sqrt(dot(force, force));
    if (!(magnitude > limit)) return force;
    const double scale = limit / magnitude;
    return {force[0] * scale, force[1] * scale, force[2] * scale};
}

}  // namespace detail

using detail::clamp_wide;
using detail::effects_force_wide;
using detail::narrow;
using detail::widen;

const char* effects_problem(const Effects& effects) {
    const auto finite3 = [](const Vector3& v) {
        return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
    };
    const auto passive = [](float value) { return std::isfinite(value) && value >= 0.0f; };
    const SpringEffect& spring = effects.spring;
    if (!finite3(spring.anchor)) return "spring anchor must be finite";
    if (!passive(spring.stiffness)) return "spring stiffness must be finite and 0 or more";
    if (!passive(spring.damping)) return "spring damping must be finite and 0 or more";
    for (const WallEffect& wall : effects.walls) {
        if (!finite3(wall.point) || !finite3(wall.normal)) return "wall point and normal must be finite";
        if (!passive(wall.stiffness)) return "wall stiffness must be finite and 0 or more";
        if (!passive(wall.damping)) return "wall damping must be finite and 0 or more";
        if (wall.enabled && wall.normal[0] == 0.0f && wall.normal[1] == 0.0f && wall.normal[2] == 0.0f)
            return "wall normal must not be zero";
    }
    if (!passive(effects.viscous_damping)) return "viscous damping must be finite and 0 or more";
    if (!finite3(effects.constant_force)) return "constant force must be finite";
    if (!(effects.force_limit > 0.0f && effects.force_limit <= MAX_FORCE))
        return "force limit must be above 0 and at most the arm's maximum force";
    return nullptr;
}

const char* effects_range_problem(const Effects& effects) {
    if (const char* problem = effects_problem(effects)) return problem;
    if (effects.spring.stiffness > MAX_SPRING_STIFFNESS) return "spring stiffness is above its range";
    if (effects.spring.damping > MAX_EFFECT_DAMPING) return "spring damping is above its range";
    for (const WallEffect& wall : effects.walls) {
        if (wall.stiffness > MAX_WALL_STIFFNESS) return "wall stiffness is above its range";
        if (wall.damping > MAX_EFFECT_DAMPING) return "wall damping is above its range";
    }
    if (effects.viscous_damping > MAX_EFFECT_DAMPING) return "viscous damping is above its range";
    return nullptr;
}

double default_exchange_timeout(double rate) {
    constexpr double SHARE_OF_PERIOD = 0.8;
    constexpr double LONGEST = 0.05;  // [s]
    return rate > 0.0 ? std::min(LONGEST, SHARE_OF_PERIOD / rate) : LONGEST;
}

Vector3 effects_force(const Effects& effects, const Vector3& position, const Vector3& velocity) {
    return narrow(effects_force_wide(effects, widen(position), widen(velocity)));
}

Vector3 clamp_force(const Vector3& force, float limit) { return narrow(clamp_wide(widen(force), limit)); }

}  // namespace Kivra::HardwareAPI::Servo

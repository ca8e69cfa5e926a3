#pragma once

// The force law in double precision, shared by the public float functions
// and the servo thread, which sums in double and narrows once per tick.

#include <array>
#include <cmath>

#include "KivraHardwareAPI/ServoLoop.h"

namespace Kivra::HardwareAPI::Servo::detail {

using Vector3d = std::array<double, 3>;

inline double dot(const Vector3d& a, const Vector3d& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

inline Vector3d widen(const Vector3& v) { return {v[0], v[1], v[2]}; }

inline Vector3 narrow(const Vector3d& v) {
    return {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
}

inline bool finite(const Vector3d& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

Vector3d effects_force_wide(const Effects& effects, const Vector3d& x, const Vector3d& v);

Vector3d clamp_wide(const Vector3d& force, double limit);

}  // namespace Kivra::HardwareAPI::Servo::detail

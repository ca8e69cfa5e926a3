#pragma once

// A solid the hand can touch, in its own frame: what the proxy that renders
// it asks of its geometry. Every query is const, allocation-free and safe
// to call from the servo thread while the host builds another solid.

#include "KivraHardwareAPI/Geometry.h"

namespace Kivra::HardwareAPI::Render {

// A point of the surface and the surface's outward unit normal there.
struct SurfacePoint {
    Vec3 point{};
    Vec3 normal{};
};

class Surface {
public:
    virtual ~Surface() = default;

    // Where the segment a -> b first enters the solid from outside, if it
    // does: t in [0, 1] along it, the point and the outward normal. A
    // segment that starts inside enters nowhere; one that passes through a
    // thin part enters on the side it came from.
    virtual bool entry(const Vec3& a, const Vec3& b, double& t, SurfacePoint& at) const = 0;
    // Whether p is inside the solid (on the surface counts as outside).
    virtual bool inside(const Vec3& p) const = 0;
    // The surface point nearest p, and the outward normal there.
    virtual SurfacePoint nearest(const Vec3& p) const = 0;
    // A box that holds the whole solid.
    virtual Aabb bounds() const = 0;
};

}  // namespace Kivra::HardwareAPI::Render

#pragma once

// Primitive solids the hand can touch, each in its own frame (a Pose puts it
// in the arm's frame). Sizes are in [m]; every query is analytic, const and
// allocation-free. The constructors run on the host and throw
// std::invalid_argument for a size that is not finite or not above 0.

#include "KivraHardwareAPI/Surface.h"

namespace Kivra::HardwareAPI::Render {

// The half-space z <= 0, outward normal +z. It is entered only from the
// side z >= 0: the hand never meets its underside.
class PlaneSolid final : public Surface {
public:
    bool entry(const Vec3& a, const Vec3& b, double& t, SurfacePoint& at) const override;
    bool inside(const Vec3& p) const override;
    SurfacePoint nearest(const Vec3& p) const override;
    Aabb bounds() const override;
};

// A ball of radius [m] centred at the origin.
class SphereSolid final : public Surface {
public:
    explicit SphereSolid(double radius);

    bool entry(const Vec3& a, const Vec3& b, double& t, SurfacePoint& at) const override;
    bool inside(const Vec3& p) const override;
    SurfacePoint nearest(const Vec3& p) const override;
    Aabb bounds() const override;

    double radius() const { return radius_; }

private:
    double radius_;
};

// The box [-half_extents, half_extents] [m].
class BoxSolid final : public Surface {
public:
    explicit BoxSolid(const Vec3& half_extents);

    bool entry(const Vec3& a, const Vec3& b, double& t, SurfacePoint& at) const override;
    bool inside(const Vec3& p) const override;
    // Inside, the nearest face (on a tie the one of the lowest axis).
    SurfacePoint nearest(const Vec3& p) const override;
    Aabb bounds() const override;

    const Vec3& half_extents() const { return half_extents_; }

private:
    Vec3 half_extents_;
};

// The points within radius [m] of the segment from (0, 0, -half_length) to
// (0, 0, +half_length) [m].
class CapsuleSolid final : public Surface {
public:
    CapsuleSolid(double radius, double half_length);

    bool entry(const Vec3& a, const Vec3& b, double& t, SurfacePoint& at) const override;
    bool inside(const Vec3& p) const override;
    SurfacePoint nearest(const Vec3& p) const override;
    Aabb bounds() const override;

    double radius() const { return radius_; }
    double half_length() const { return half_length_; }

private:
    double radius_;
    double half_length_;
};

// A cylinder of radius [m] about the z axis with flat caps at
// z = +-half_length [m].
class CylinderSolid final : public Surface {
public:
    CylinderSolid(double radius, double half_length);

    bool entry(const Vec3& a, const Vec3& b, double& t, SurfacePoint& at) const override;
    bool inside(const Vec3& p) const override;
    // Inside, the nearest of the side and the caps.
    SurfacePoint nearest(const Vec3& p) const override;
    Aabb bounds() const override;

    double radius() const { return radius_; }
    double half_length() const { return half_length_; }

private:
    double radius_;
    double half_length_;
};

}  // namespace Kivra::HardwareAPI::Render

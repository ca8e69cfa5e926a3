#pragma once

// Force fields: effects that act in free space, summed with the force of the
// touched solids every servo tick. Each field is a value type that checks its
// parameters when built (std::invalid_argument naming the parameter and its
// unit) and whose force() is const and allocation-free. Positions [m],
// velocities [m/s], time [s] since the servo loop started, forces [N].
//
// A field given a non-finite position, velocity or time returns zero or a
// non-finite force, which the servo loop refuses (it sends zero instead).

#include <array>
#include <cstddef>
#include <initializer_list>
#include <type_traits>

#include "KivraHardwareAPI/Geometry.h"
#include "KivraHardwareAPI/Surface.h"

namespace Kivra::HardwareAPI::Render {

// F = -damping v while the hand is inside a region, zero outside: a volume
// of thick fluid. The region is a solid placed by a pose, or a box.
class ViscousRegion {
public:
    // Acts nowhere.
    ViscousRegion() = default;
    // Inside region (not owned; it must outlive the field and every copy of
    // it), placed in the arm's frame by pose; damping [N·s/m].
    ViscousRegion(const Surface* region, const Pose& pose, double damping);
    // Inside the box (in the arm's frame, its faces included); damping [N·s/m].
    static ViscousRegion box(const Aabb& box, double damping);

    bool contains(const Vec3& position) const;
    Vec3 force(const Vec3& position, const Vec3& velocity, double time) const;

private:
    const Surface* region_ = nullptr;  // null: the box is the region
    Pose pose_{};
    Aabb box_{};
    double damping_ = 0.0;
};

// A snap point: where a detent pulls to [m] and how far it reaches [m].
struct Detent {
    Vec3 centre{};
    double radius = 0.0;
};

// Snap points. Within the radius of the nearest detent that holds the hand,
// F = w (k (c - p) - b v), with w = 1 up to 80% of the radius, falling
// linearly to 0 at the radius; zero outside every radius. The fade keeps the
// force continuous at the edge: a step there is felt as a click and can make
// the loop chatter. Where radii overlap, the pull switches from one centre
// to the other halfway between them: that is the snap.
class Detents {
public:
    static constexpr std::size_t MAX_DETENTS = 16;
    // The share of the radius, at its outer edge, over which the force fades.
    static constexpr double FADE = 0.2;

    // No detents: acts nowhere.
    Detents() = default;
    // count detents (at most MAX_DETENTS, else std::length_error); stiffness
    // k [N/m], damping b [N·s/m].
    Detents(const Detent* detents, std::size_t count, double stiffness, double damping);
    Detents(std::initializer_list<Detent> detents, double stiffness, double damping);

    std::size_t size() const { return count_; }
    const Detent& operator[](std::size_t i) const { return detents_[i]; }
    Vec3 force(const Vec3& position, const Vec3& velocity, double time) const;

private:
    std::array<Detent, MAX_DETENTS> detents_{};
    std::size_t count_ = 0;
    double stiffness_ = 0.0;
    double damping_ = 0.0;
};

// A guidance fixture: holds the hand to a path, a polyline, and leaves it
// free to move along it. With c the point of the path nearest p and t the
// path's tangent there, F = k (c - p) - b (v - (v·t) t), clamped to the
// maximum force. At a bend, in the wedge outside the corner where c is the
// corner itself, t turns from one segment's direction to the next in
// proportion to where p lies in the wedge; it is then still at right angles
// to c - p, so the pull has no component along the path there either. Past
// either end the guide pulls back to the end point. On the inner side of a
// bend the nearest point jumps from one segment to the other where the two
// are equally near.
class Guide {
public:
    static constexpr std::size_t MAX_GUIDE_POINTS = 64;

    // No path: acts nowhere.
    Guide() = default;
    // The polyline through count points [m] (2 to MAX_GUIDE_POINTS, else
    // std::length_error; no two in a row the same); stiffness k [N/m],
    // damping b [N·s/m] across the path, max_force [N] above zero.
    Guide(const Vec3* points, std::size_t count, double stiffness, double damping, double max_force);
    Guide(std::initializer_list<Vec3> points, double stiffness, double damping, double max_force);
    // The polyline through samples_per_segment points of each segment of a
    // centripetal Catmull-Rom spline through the control points, and the
    // last control point: (count - 1) samples_per_segment + 1 points, at most
    // MAX_GUIDE_POINTS. The centripetal form neither loops nor cusps within a
    // segment; the ends are continued by mirroring the next control point.
    static Guide spline(const Vec3* control_points, std::size_t count, std::size_t samples_per_segment,
                        double stiffness, double damping, double max_force);
    static Guide spline(std::initializer_list<Vec3> control_points, std::size_t samples_per_segment, double stiffness,
                        double damping, double max_force);

    std::size_t size() const { return count_; }
    const Vec3& operator[](std::size_t i) const { return points_[i]; }
    // The point of the path nearest position, and the path's unit tangent there.
    void nearest(const Vec3& position, Vec3& point, Vec3& tangent) const;
    Vec3 force(const Vec3& position, const Vec3& velocity, double time) const;

private:
    std::array<Vec3, MAX_GUIDE_POINTS> points_{};
    std::size_t count_ = 0;
    double stiffness_ = 0.0;
    double damping_ = 0.0;
    double max_force_ = 0.0;
};

// Ridges felt on a plane: F = amplitude sin(2 pi s / wavelength) n while the
// hand is at most depth below the plane (0 < (plane_point - p)·n <= depth),
// zero otherwise; s = (p - plane_point)·tangent.
class Texture {
public:
    // Acts nowhere.
    Texture() = default;
    // A plane through plane_point [m] with outward normal (any length above
    // zero); tangent: the direction across the ridges (its component along the
    // normal is dropped); wavelength [m] above zero, amplitude [N] at least
    // zero, depth [m] above zero.
    Texture(const Vec3& plane_point, const Vec3& normal, const Vec3& tangent, double wavelength, double amplitude,
            double depth);

    Vec3 force(const Vec3& position, const Vec3& velocity, double time) const;

private:
    Vec3 plane_point_{};
    Vec3 normal_{};
    Vec3 tangent_{};
    double wavelength_ = 1.0;
    double amplitude_ = 0.0;
    double depth_ = 0.0;
};

// F = amplitude sin(2 pi frequency time + phase) direction, for time in
// [start, start + duration), or from start on for a duration of zero or less.
// The servo loop samples it at its rate: a frequency at or above half that
// rate aliases to a lower one (or to nothing), which aliases() tells.
class Vibration {
public:
    // Acts nowhere.
    Vibration() = default;
    // amplitude [N] at least zero, frequency [Hz] above zero, direction (any
    // length above zero), phase [rad], start [s] and duration [s].
    Vibration(double amplitude, double frequency, const Vec3& direction, double phase = 0.0, double start = 0.0,
              double duration = 0.0);

    // Whether a loop that runs at rate [Hz] (above zero) cannot render the frequency.
    bool aliases(double rate) const;
    Vec3 force(const Vec3& position, const Vec3& velocity, double time) const;

private:
    double amplitude_ = 0.0;
    double frequency_ = 0.0;
    Vec3 direction_{};
    double phase_ = 0.0;
    double start_ = 0.0;
    double duration_ = 0.0;
};

// The fields the servo thread renders, held in place (about 19 KB, no
// pointers to the heap) so that the host builds a set and hands over a copy.
// It holds up to MAX_PER_KIND fields of each kind; add() beyond that throws
// std::length_error. A viscous region's solid is not copied: it must outlive
// every copy of the set.
class FieldSet {
public:
    static constexpr std::size_t MAX_PER_KIND = 8;

    void add(const ViscousRegion& field);
    void add(const Detents& field);
    void add(const Guide& field);
    void add(const Texture& field);
    void add(const Vibration& field);
    void clear();

    std::size_t viscous_regions() const { return viscous_region_count_; }
    std::size_t detents() const { return detents_count_; }
    std::size_t guides() const { return guide_count_; }
    std::size_t textures() const { return texture_count_; }
    std::size_t vibrations() const { return vibration_count_; }
    // The sum of every field's force [N].
    Vec3 force(const Vec3& position, const Vec3& velocity, double time) const;

private:
    std::array<ViscousRegion, MAX_PER_KIND> viscous_regions_{};
    std::array<Detents, MAX_PER_KIND> detents_{};
    std::array<Guide, MAX_PER_KIND> guides_{};
    std::array<Texture, MAX_PER_KIND> textures_{};
    std::array<Vibration, MAX_PER_KIND> vibrations_{};
    std::size_t viscous_region_count_ = 0;
    std::size_t detents_count_ = 0;
    std::size_t guide_count_ = 0;
    std::size_t texture_count_ = 0;
    std::size_t vibration_count_ = 0;
};

// Copied as bytes into the servo thread's memory: nothing it holds owns memory.
static_assert(std::is_trivially_copyable_v<FieldSet>);

}  // namespace Kivra::HardwareAPI::Render

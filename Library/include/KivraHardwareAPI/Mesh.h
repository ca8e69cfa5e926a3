#pragma once

// Triangle meshes the hand can touch: loading from STL and OBJ files, and a
// solid whose queries run on the servo thread. Coordinates are in [m].

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "KivraHardwareAPI/Surface.h"

namespace Kivra::HardwareAPI::Render {

// Corners [m] counter-clockwise seen from outside: the outward normal is
// normalized(cross(b - a, c - a)).
struct Triangle {
    Vec3 a, b, c;
};

// The triangles of a binary STL, ASCII STL or Wavefront OBJ file, every
// coordinate multiplied by scale (0.001 for a file in millimetres). ".obj"
// files are read as OBJ, ".stl" files as STL (binary when the size is
// 84 + 50 n for the n the header gives, even if it starts with "solid"),
// others by their content. OBJ polygons are split into fans; texture and
// normal indices are ignored, as are STL's stored normals: the winding
// tells outside. Throws std::runtime_error naming the path, the line for
// text files, and the fault (a file that cannot be read, a truncated
// binary STL, a bad number, a vertex index out of range, a non-finite
// vertex, no triangles); std::invalid_argument for a scale that is not
// finite and above zero.
std::vector<Triangle> load_triangles(const std::string& path, double scale = 1.0);

// A solid bounded by triangles, searched through a tree of axis-aligned
// boxes built once: each query visits O(log n) boxes, allocates nothing and
// may run on the servo thread while the host builds another solid.
class MeshSolid : public Surface {
public:
    // Triangles of no area (twice the area below 1e-12 of the longest edge
    // squared) are dropped. Throws std::invalid_argument when none is left or a corner is
    // not finite.
    explicit MeshSolid(const std::vector<Triangle>& triangles);

    // The first crossing of a -> b through a triangle whose outward normal
    // faces against the segment (dot(normal, b - a) < 0): the segment enters
    // there from outside, and passes through a thin wall on the side it came
    // from. A start on the surface (within 1e-10 of the mesh's size) is
    // outside. On a closed mesh a segment that leaves through a triangle
    // before it enters anywhere started inside and enters nowhere; on an
    // open mesh the first crossing against the segment counts, whatever
    // crossings came before it.
    bool entry(const Vec3& a, const Vec3& b, double& t, SurfacePoint& at) const override;
    // Parity of the crossings of a fixed ray from p, skewed against the axes
    // so that it seldom grazes an edge; within 1e-10 of the mesh's size of a
    // triangle p is on the surface and outside. An open mesh answers by the
    // same parity, which means little where the ray leaves through a hole.
    bool inside(const Vec3& p) const override;
    // The nearest point of any triangle, with that triangle's outward normal
    // (where several are nearest, as on an edge, one of them).
    SurfacePoint nearest(const Vec3& p) const override;
    Aabb bounds() const override { return bounds_; }

    // Triangles kept.
    std::size_t size() const { return triangles_.size(); }
    // Whether every edge of the kept triangles is shared by exactly two of
    // them (corners equal to the bit are one vertex), found when built.
    bool closed() const { return closed_; }

private:
    // Leaves hold triangles [first, first + count); an inner node's
    // children are the next node and node `first`.
    struct Node {
        Aabb box;
        std::uint32_t first = 0;
        std::uint32_t count = 0;
    };
    // Deep enough for any tree of fewer than 2^32 triangles: the median
    // split halves every node.
    static constexpr int STACK_DEPTH = 64;

    std::uint32_t build(std::vector<std::uint32_t>& order, const std::vector<Vec3>& centroids, std::uint32_t begin,
                        std::uint32_t end, int depth);
    // Calls visit(i, t, front) for every triangle i that p + t d crosses
    // with t in [low, limit], front when it faces against d; an edge_margin
    // above zero widens each triangle by that fraction to close gaps that
    // rounding opens along shared edges. visit may lower limit.
    template <typename Visit>
    void visit_crossings(const Vec3& p, const Vec3& d, double low, double& limit, double edge_margin,
                         Visit&& visit) const;

    std::vector<Triangle> triangles_;
    std::vector<Vec3> normals_;
    std::vector<Node> nodes_;
    Aabb bounds_;
    double surface_tolerance_ = 0.0;  // [m]
    bool closed_ = false;
};

}  // namespace Kivra::HardwareAPI::Render

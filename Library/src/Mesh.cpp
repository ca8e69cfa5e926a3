#include "KivraHardwareAPI/Mesh.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace Kivra::HardwareAPI::Render {

namespace {

// ---- Loading ------------------------------------------------------------

constexpr std::size_t STL_HEADER_BYTES = 84;  // 80 free bytes, then the triangle count
constexpr std::size_t STL_TRIANGLE_BYTES = 50;

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw std::runtime_error(path + ": " + what);
}

[[noreturn]] void fail_at(const std::string& path, std::size_t line, const std::string& what) {
    throw std::runtime_error(path + ":" + std::to_string(line) + ": " + what);
}

std::string read_file(const std::string& path) {
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file) fail(path, std::string("cannot open: ") + (errno ? std::strerror(errno) : "unknown error"));
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) fail(path, "cannot read");
    return bytes;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// The whitespace-separated words of one line, comments (from '#') cut off
// when cut_comment is set.
void split(std::string_view line, bool cut_comment, std::vector<std::string_view>& words) {
    words.clear();
    if (cut_comment) line = line.substr(0, line.find('#'));
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_space(line[i])) ++i;
        const std::size_t start = i;
        while (i < line.size() && !is_space(line[i])) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
}

// Calls handle(line_number, words) for each line of text.
template <typename Handle>
void for_each_line(const std::string& text, bool cut_comment, Handle&& handle) {
    std::vector<std::string_view> words;
    std::size_t line_number = 0, start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        ++line_number;
        split(std::string_view(text).substr(start, end - start), cut_comment, words);
        if (!words.empty()) handle(line_number, words);
        start = end + 1;
    }
}

bool parse_number(std::string_view word, double& value) {
    if (!word.empty() && word[0] == '+') word.remove_prefix(1);
    const char* end = word.data() + word.size();
    const auto result = std::from_chars(word.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

double number_at(const std::string& path, std::size_t line, std::string_view word) {
    double value = 0.0;
    if (!parse_number(word, value)) fail_at(path, line, "bad number '" + std::string(word) + "'");
    return value;
}

// Three numbers from words[first], scaled; a non-finite result is a fault.
Vec3 point_at(const std::string& path, std::size_t line, const std::vector<std::string_view>& words, std::size_t first,
              double scale) {
    if (words.size() < first + 3) fail_at(path, line, "vertex with fewer than three coordinates");
    const Vec3 p = Vec3{number_at(path, line, words[first]), number_at(path, line, words[first + 1]),
                        number_at(path, line, words[first + 2])} *
                   scale;
    if (!finite(p)) fail_at(path, line, "non-finite vertex");
    return p;
}

std::uint32_t little_endian_u32(const char* bytes) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

double little_endian_float(const char* bytes) {
    const std::uint32_t bits = little_endian_u32(bytes);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Whether the bytes follow the binary layout exactly.
bool exact_binary_stl_size(const std::string& bytes) {
    if (bytes.size() < STL_HEADER_BYTES) return false;
    const std::uint64_t count = little_endian_u32(bytes.data() + 80);
    return bytes.size() == STL_HEADER_BYTES + STL_TRIANGLE_BYTES * count;
}

// ASCII STL starts with "solid"; a binary file may too, but its floats and
// attribute words put zero bytes in it.
bool looks_like_ascii_stl(const std::string& bytes) {
    const std::size_t start = bytes.find_first_not_of(" \t\r\n");
    return start != std::string::npos && bytes.compare(start, 5, "solid") == 0 && bytes.find('\0') == std::string::npos;
}

std::vector<Triangle> read_binary_stl(const std::string& path, const std::string& bytes, double scale) {
    if (bytes.size() < STL_HEADER_BYTES)
        fail(path, "binary STL of " + std::to_string(bytes.size()) + " bytes, shorter than its 84-byte header");
    const std::uint64_t count = little_endian_u32(bytes.data() + 80);
    const std::uint64_t expected = STL_HEADER_BYTES + STL_TRIANGLE_BYTES * count;
    if (bytes.size() != expected)
        fail(path, std::string(bytes.size() < expected ? "truncated binary STL" : "binary STL with extra bytes") +
                       ": " + std::to_string(count) + " triangles need " + std::to_string(expected) +
                       " bytes, the file has " + std::to_string(bytes.size()));
    std::vector<Triangle> triangles(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        const char* record = bytes.data() + STL_HEADER_BYTES + STL_TRIANGLE_BYTES * i + 12;  // after the normal
        Vec3 corners[3];
        for (int k = 0; k < 3; ++k) {
            const char* p = record + 12 * k;
            corners[k] = Vec3{little_endian_float(p), little_endian_float(p + 4), little_endian_float(p + 8)} * scale;
            if (!finite(corners[k])) fail(path, "triangle " + std::to_string(i) + " has a non-finite vertex");
        }
        triangles[i] = {corners[0], corners[1], corners[2]};
    }
    return triangles;
}

// Adds the fan (p0, p[i], p[i + 1]) of a polygon.
void add_fan(const std::vector<Vec3>& polygon, std::vector<Triangle>& triangles) {
    for (std::size_t i = 1; i + 1 < polygon.size(); ++i) triangles.push_back({polygon[0], polygon[i], polygon[i + 1]});
}

std::vector<Triangle> read_ascii_stl(const std::string& path, const std::string& text, double scale) {
    std::vector<Triangle> triangles;
    std::vector<Vec3> loop;
    for_each_line(text, false, [&](std::size_t line, const std::vector<std::string_view>& words) {
        const std::string_view keyword = words[0];
        if (keyword == "vertex") {
            loop.push_back(point_at(path, line, words, 1, scale));
        } else if (keyword == "outer") {
            loop.clear();
        } else if (keyword == "endloop") {
            if (loop.size() < 3) fail_at(path, line, "loop with " + std::to_string(loop.size()) + " vertices");
            add_fan(loop, triangles);
            loop.clear();
        } else if (keyword != "solid" && keyword != "endsolid" && keyword != "facet" && keyword != "endfacet") {
            fail_at(path, line, "unexpected '" + std::string(keyword) + "'");
        }
    });
    if (!loop.empty()) fail(path, "ASCII STL ends inside a loop");
    return triangles;
}

std::vector<Triangle> read_obj(const std::string& path, const std::string& text, double scale) {
    std::vector<Vec3> vertices;
    // Faces by their corners' zero-based vertex indices, checked once every
    // vertex is known; each face keeps its line for the message.
    struct Face {
        std::size_t line, first, count;
    };
    std::vector<Face> faces;
    std::vector<long long> corners;
    for_each_line(text, true, [&](std::size_t line, const std::vector<std::string_view>& words) {
        if (words[0] == "v") {
            vertices.push_back(point_at(path, line, words, 1, scale));
        } else if (words[0] == "f") {
            if (words.size() < 4) fail_at(path, line, "face with fewer than three vertices");
            faces.push_back({line, corners.size(), words.size() - 1});
            for (std::size_t i = 1; i < words.size(); ++i) {
                const std::string_view index_text = words[i].substr(0, words[i].find('/'));  // v, v/vt, v//vn, v/vt/vn
                long long index = 0;
                const char* end = index_text.data() + index_text.size();
                const auto result = std::from_chars(index_text.data(), end, index);
                if (result.ec != std::errc() || result.ptr != end || index == 0)
                    fail_at(path, line, "bad vertex index '" + std::string(words[i]) + "'");
                // Negative indices count back from the last vertex read so far.
                const long long resolved = index > 0 ? index - 1 : static_cast<long long>(vertices.size()) + index;
                if (resolved < 0)
                    fail_at(path, line,
                            "vertex index " + std::to_string(index) + " out of range (" +
                                std::to_string(vertices.size()) + " vertices so far)");
                corners.push_back(resolved);
            }
        }
        // Texture coordinates, normals, groups, materials and the rest shape nothing here.
    });
    std::vector<Triangle> triangles;
    std::vector<Vec3> polygon;
    for (const Face& face : faces) {
        polygon.clear();
        for (std::size_t i = 0; i < face.count; ++i) {
            const long long index = corners[face.first + i];
            if (index >= static_cast<long long>(vertices.size()))
                fail_at(path, face.line,
                        "vertex index " + std::to_string(index + 1) + " out of range (" +
                            std::to_string(vertices.size()) + " vertices)");
            polygon.push_back(vertices[index]);
        }
        add_fan(polygon, triangles);
    }
    return triangles;
}

bool has_extension(const std::string& path, const char* extension) {
    const std::size_t length = std::strlen(extension);
    if (path.size() < length) return false;
    for (std::size_t i = 0; i < length; ++i)
        if (std::tolower(static_cast<unsigned char>(path[path.size() - length + i])) != extension[i]) return false;
    return true;
}

// ---- Geometry -----------------------------------------------------------

// The point of triangle (a, b, c) nearest p, by the region of the triangle's
// plane p projects into (Ericson, Real-Time Collision Detection, 5.1.5).
Vec3 closest_on_triangle(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c) {
    const Vec3 ab = b - a, ac = c - a, ap = p - a;
    const double d1 = dot(ab, ap), d2 = dot(ac, ap);
    if (d1 <= 0.0 && d2 <= 0.0) return a;
    const Vec3 bp = p - b;
    const double d3 = dot(ab, bp), d4 = dot(ac, bp);
    if (d3 >= 0.0 && d4 <= d3) return b;
    const double vc = d1 * d4 - d3 * d2;
    if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) return a + ab * (d1 / (d1 - d3));
    const Vec3 cp = p - c;
    const double d5 = dot(ab, cp), d6 = dot(ac, cp);
    if (d6 >= 0.0 && d5 <= d6) return c;
    const double vb = d5 * d2 - d1 * d6;
    if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) return a + ac * (d2 / (d2 - d6));
    const double va = d3 * d6 - d5 * d4;
    if (va <= 0.0 && d4 - d3 >= 0.0 && d5 - d6 >= 0.0) return b + (c - b) * ((d4 - d3) / ((d4 - d3) + (d5 - d6)));
    const double scale = 1.0 / (va + vb + vc);
    return a + ab * (vb * scale) + ac * (vc * scale);
}

// Where p + t d meets the box, t in [low, high]: the first such t.
bool segment_meets_box(const Aabb& box, const Vec3& p, const Vec3& d, double low, double high, double& t) {
    for (int i = 0; i < 3; ++i) {
        const double lo = box.low[i], hi = box.high[i];
        if (d[i] == 0.0) {
            if (p[i] < lo || p[i] > hi) return false;
            continue;
        }
        const double inverse = 1.0 / d[i];
        double near = (lo - p[i]) * inverse, far = (hi - p[i]) * inverse;
        if (near > far) std::swap(near, far);
        low = std::max(low, near);
        high = std::min(high, far);
        if (low > high) return false;
    }
    t = low;
    return true;
}

// Whether twice the area is below 1e-12 of the longest edge squared: too
// thin to touch, and its normal mostly rounding.
bool degenerate(const Triangle& triangle) {
    const double area2 = norm(cross(triangle.b - triangle.a, triangle.c - triangle.a));
    const Vec3 ab = triangle.b - triangle.a, bc = triangle.c - triangle.b, ca = triangle.a - triangle.c;
    const double longest2 = std::max({dot(ab, ab), dot(bc, bc), dot(ca, ca)});
    return !(area2 > 1e-12 * longest2);
}

bool every_edge_shared_by_two(const std::vector<Triangle>& triangles) {
    // Equal corners become one vertex number.
    std::vector<std::pair<Vec3, std::uint32_t>> corners;
    corners.reserve(3 * triangles.size());
    for (std::size_t i = 0; i < triangles.size(); ++i) {
        const auto n = static_cast<std::uint32_t>(3 * i);
        corners.push_back({triangles[i].a, n});
        corners.push_back({triangles[i].b, n + 1});
        corners.push_back({triangles[i].c, n + 2});
    }
    const auto lexicographic = [](const std::pair<Vec3, std::uint32_t>& l, const std::pair<Vec3, std::uint32_t>& r) {
        const Vec3 &p = l.first, &q = r.first;
        return p.x != q.x ? p.x < q.x : (p.y != q.y ? p.y < q.y : p.z < q.z);
    };
    std::sort(corners.begin(), corners.end(), lexicographic);
    std::vector<std::uint32_t> vertex(corners.size());
    std::uint32_t next = 0;
    for (std::size_t i = 0; i < corners.size(); ++i) {
        if (i > 0 && corners[i].first != corners[i - 1].first) ++next;
        vertex[corners[i].second] = next;
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
    edges.reserve(corners.size());
    for (std::size_t i = 0; i < triangles.size(); ++i)
        for (int k = 0; k < 3; ++k) {
            const std::uint32_t u = vertex[3 * i + k], v = vertex[3 * i + (k + 1) % 3];
            edges.push_back({std::min(u, v), std::max(u, v)});
        }
    std::sort(edges.begin(), edges.end());
    for (std::size_t i = 0; i < edges.size();) {
        std::size_t j = i;
        while (j < edges.size() && edges[j] == edges[i]) ++j;
        if (j - i != 2) return false;
        i = j;
    }
    return true;
}

// Triangles widen by this fraction of themselves for the segment and ray
// tests, so that no rounding lets a segment slip between two neighbours.
constexpr double EDGE_MARGIN = 1e-9;

// The ray inside() casts: skewed against the axes, the diagonals and any
// simple ratio, so that it seldom grazes an edge of a modelled object.
const Vec3 PARITY_DIRECTION = normalized(Vec3{0.5410441731, 0.3165894743, 0.7793009521});

}  // namespace

std::vector<Triangle> load_triangles(const std::string& path, double scale) {
    if (!std::isfinite(scale) || scale <= 0.0)
        throw std::invalid_argument("scale " + std::to_string(scale) + " for " + path +
                                    " must be finite and above zero");
    const std::string bytes = read_file(path);
    std::vector<Triangle> triangles;
    if (has_extension(path, ".obj")) {
        triangles = read_obj(path, bytes, scale);
    } else if (exact_binary_stl_size(bytes)) {
        triangles = read_binary_stl(path, bytes, scale);
    } else if (looks_like_ascii_stl(bytes)) {
        triangles = read_ascii_stl(path, bytes, scale);
    } else if (has_extension(path, ".stl")) {
        triangles = read_binary_stl(path, bytes, scale);  // says what is wrong with it
    } else {
        triangles = read_obj(path, bytes, scale);
    }
    if (triangles.empty()) fail(path, "no triangles");
    return triangles;
}

MeshSolid::MeshSolid(const std::vector<Triangle>& triangles) {
    for (std::size_t i = 0; i < triangles.size(); ++i) {
        const Triangle& triangle = triangles[i];
        if (!finite(triangle.a) || !finite(triangle.b) || !finite(triangle.c))
            throw std::invalid_argument("triangle " + std::to_string(i) + " has a non-finite corner");
    }
    std::vector<Triangle> kept;
    kept.reserve(triangles.size());
    for (const Triangle& triangle : triangles)
        if (!degenerate(triangle)) kept.push_back(triangle);
    if (kept.empty()) throw std::invalid_argument("a mesh solid needs at least one triangle of nonzero area");
    if (kept.size() > std::numeric_limits<std::uint32_t>::max() / 2)
        throw std::invalid_argument("too many triangles for one mesh solid");

    closed_ = every_edge_shared_by_two(kept);
    std::vector<Vec3> centroids(kept.size());
    std::vector<std::uint32_t> order(kept.size());
    for (std::size_t i = 0; i < kept.size(); ++i) {
        centroids[i] = (kept[i].a + kept[i].b + kept[i].c) / 3.0;
        order[i] = static_cast<std::uint32_t>(i);
        bounds_.add(kept[i].a);
        bounds_.add(kept[i].b);
        bounds_.add(kept[i].c);
    }
    const Vec3 extent = bounds_.size();
    surface_tolerance_ = 1e-10 * std::max({extent.x, extent.y, extent.z});

    nodes_.reserve(2 * kept.size());
    build(order, centroids, 0, static_cast<std::uint32_t>(kept.size()), 1);
    triangles_.reserve(kept.size());
    normals_.reserve(kept.size());
    for (std::uint32_t i : order) {
        triangles_.push_back(kept[i]);
        normals_.push_back(normalized(cross(kept[i].b - kept[i].a, kept[i].c - kept[i].a)));
    }
    // Children follow their parent in the array, so one backward pass sizes
    // every box. A flat box (a leaf of one face of a cube) and a segment
    // along its edge must meet despite rounding: every box grows by a hair.
    for (std::size_t n = nodes_.size(); n-- > 0;) {
        Node& node = nodes_[n];
        Aabb box;
        if (node.count > 0) {
            for (std::uint32_t i = node.first; i < node.first + node.count; ++i) {
                box.add(triangles_[i].a);
                box.add(triangles_[i].b);
                box.add(triangles_[i].c);
            }
            node.box = box.grown(surface_tolerance_);
        } else {
            node.box = nodes_[n + 1].box;
            node.box.add(nodes_[node.first].box);
        }
    }
}

std::uint32_t MeshSolid::build(std::vector<std::uint32_t>& order, const std::vector<Vec3>& centroids,
                               std::uint32_t begin, std::uint32_t end, int depth) {
    if (depth >= STACK_DEPTH) throw std::logic_error("mesh solid tree deeper than its query stack");
    const auto index = static_cast<std::uint32_t>(nodes_.size());
    nodes_.emplace_back();
    Aabb centre_box;
    for (std::uint32_t i = begin; i < end; ++i) centre_box.add(centroids[order[i]]);
    if (end - begin <= 4) {
        nodes_[index].first = begin;
        nodes_[index].count = end - begin;
        return index;
    }
    const Vec3 size = centre_box.size();
    const int axis = size.x >= size.y && size.x >= size.z ? 0 : (size.y >= size.z ? 1 : 2);
    const std::uint32_t middle = begin + (end - begin) / 2;
    std::nth_element(order.begin() + begin, order.begin() + middle, order.begin() + end,
                     [&](std::uint32_t l, std::uint32_t r) { return centroids[l][axis] < centroids[r][axis]; });
    build(order, centroids, begin, middle, depth + 1);
    const std::uint32_t right = build(order, centroids, middle, end, depth + 1);
    nodes_[index].first = right;
    nodes_[index].count = 0;
    return index;
}

template <typename Visit>
void MeshSolid::visit_crossings(const Vec3& p, const Vec3& d, double low, double& limit, double edge_margin,
                                Visit&& visit) const {
    std::uint32_t stack[STACK_DEPTH];
    double stack_t[STACK_DEPTH];  // where the segment meets each pending box
    int top = 0;
    if (!segment_meets_box(nodes_[0].box, p, d, low, limit, stack_t[0])) return;
    stack[top++] = 0;
    while (top > 0) {
        --top;
        if (stack_t[top] > limit) continue;
        const std::uint32_t index = stack[top];
        const Node& node = nodes_[index];
        if (node.count == 0) {
            const std::uint32_t children[2] = {index + 1, node.first};
            double t[2];
            bool meets[2];
            for (int k = 0; k < 2; ++k) meets[k] = segment_meets_box(nodes_[children[k]].box, p, d, low, limit, t[k]);
            // The nearer child goes on top, to lower the limit early.
            const int first = meets[0] && meets[1] && t[0] < t[1] ? 1 : 0;
            for (int k : {first, 1 - first}) {
                if (!meets[k]) continue;
                stack[top] = children[k];
                stack_t[top++] = t[k];
            }
            continue;
        }
        for (std::uint32_t i = node.first; i < node.first + node.count; ++i) {
            // Moeller and Trumbore's test; det > 0 when the triangle faces against d.
            const Triangle& triangle = triangles_[i];
            const Vec3 e1 = triangle.b - triangle.a, e2 = triangle.c - triangle.a;
            const Vec3 across = cross(d, e2);
            const double det = dot(e1, across);
            if (det == 0.0) continue;
            const double inverse = 1.0 / det;
            const Vec3 s = p - triangle.a;
            const double u = dot(s, across) * inverse;
            if (u < -edge_margin || u > 1.0 + edge_margin) continue;
            const Vec3 q = cross(s, e1);
            const double v = dot(d, q) * inverse;
            if (v < -edge_margin || u + v > 1.0 + edge_margin) continue;
            const double t = dot(e2, q) * inverse;
            if (t < low || t > limit) continue;
            visit(i, t, det > 0.0);
        }
    }
}

bool MeshSolid::entry(const Vec3& a, const Vec3& b, double& t, SurfacePoint& at) const {
    const Vec3 d = b - a;
    const double length = norm(d);
    if (!(length > 0.0)) return false;
    // A start on the surface, within the tolerance, is outside: it enters a
    // face it lies on at t = 0, and leaving one there does not make it a
    // start inside.
    const double tolerance = surface_tolerance_ / length;
    double limit = 1.0, front = HUGE_VAL, back = HUGE_VAL;
    std::uint32_t front_index = 0;
    visit_crossings(a, d, -tolerance, limit, EDGE_MARGIN, [&](std::uint32_t i, double hit, bool facing) {
        if (facing && hit < front) {
            front = hit;
            front_index = i;
        } else if (!facing && hit > tolerance && hit < back) {
            back = hit;
        }
        limit = std::min(limit, closed_ ? std::min(front, back) : front);
    });
    if (front == HUGE_VAL || (closed_ && back < front)) return false;
    t = std::max(front, 0.0);
    at.point = a + d * t;
    at.normal = normals_[front_index];
    return true;
}

bool MeshSolid::inside(const Vec3& p) const {
    if (!bounds_.contains(p)) return false;
    // Long enough to leave the bounds from anywhere in them.
    const double length = 2.0 * norm(bounds_.size());
    const double tolerance = surface_tolerance_ / length;
    double limit = 1.0;
    bool on_surface = false;
    std::size_t crossings = 0;
    visit_crossings(p, PARITY_DIRECTION * length, -tolerance, limit, EDGE_MARGIN, [&](std::uint32_t, double t, bool) {
        if (t <= tolerance) {
            on_surface = true;
            limit = -tolerance;
        } else {
            ++crossings;
        }
    });
    return !on_surface && crossings % 2 == 1;
}

SurfacePoint MeshSolid::nearest(const Vec3& p) const {
    SurfacePoint best;
    double best_squared = HUGE_VAL;
    std::uint32_t stack[STACK_DEPTH];
    double stack_squared[STACK_DEPTH];  // the distance squared to each pending box
    int top = 0;
    stack[top] = 0;
    stack_squared[top++] = nodes_[0].box.distance_squared(p);
    while (top > 0) {
        --top;
        if (stack_squared[top] >= best_squared) continue;
        const std::uint32_t index = stack[top];
        const Node& node = nodes_[index];
        if (node.count == 0) {
            const std::uint32_t children[2] = {index + 1, node.first};
            const double squared[2] = {nodes_[children[0]].box.distance_squared(p),
                                       nodes_[children[1]].box.distance_squared(p)};
            const int first = squared[0] < squared[1] ? 1 : 0;  // the nearer on top
            for (int k : {first, 1 - first}) {
                if (squared[k] >= best_squared) continue;
                stack[top] = children[k];
                stack_squared[top++] = squared[k];
            }
            continue;
        }
        for (std::uint32_t i = node.first; i < node.first + node.count; ++i) {
            const Triangle& triangle = triangles_[i];
            const Vec3 q = closest_on_triangle(p, triangle.a, triangle.b, triangle.c);
            const double squared = dot(p - q, p - q);
            if (squared < best_squared) {
                best_squared = squared;
                best.point = q;
                best.normal = normals_[i];
            }
        }
    }
    return best;
}

}  // namespace Kivra::HardwareAPI::Render

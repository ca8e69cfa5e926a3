#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "KivraHardwareAPI/Mesh.h"
#include "bench_support.h"

using namespace Kivra::HardwareAPI::Render;
namespace fs = std::filesystem;

namespace {

// Corner i of the unit cube [0, 1]^3 is (i & 1, i >> 1 & 1, i >> 2 & 1); each
// face's quad is counter-clockwise seen from outside: -z, +z, -x, +x, -y, +y.
constexpr int CUBE_QUADS[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 4, 6, 2}, {1, 3, 7, 5}, {0, 1, 5, 4}, {2, 6, 7, 3}};
Vec3 corner(int i) { return {double(i & 1), double(i >> 1 & 1), double(i >> 2 & 1)}; }

std::vector<Triangle> unit_cube() {
    std::vector<Triangle> triangles;
    for (const auto& q : CUBE_QUADS) {
        triangles.push_back({corner(q[0]), corner(q[1]), corner(q[2])});
        triangles.push_back({corner(q[0]), corner(q[2]), corner(q[3])});
    }
    return triangles;
}

// Binary STL as a little-endian machine writes it, its header starting with "solid".
std::string binary_stl(const std::vector<Triangle>& triangles) {
    std::string out = "solid written as binary";
    out.resize(80, '\0');
    const auto count = static_cast<std::uint32_t>(triangles.size());
    out.append(reinterpret_cast<const char*>(&count), 4);
    for (const Triangle& t : triangles) {
        for (const Vec3& v : {Vec3{}, t.a, t.b, t.c})
            for (float f : {float(v.x), float(v.y), float(v.z)}) out.append(reinterpret_cast<const char*>(&f), 4);
        out.append(2, '\0');
    }
    return out;
}

std::string ascii_stl(const std::vector<Triangle>& triangles) {
    std::ostringstream out;
    out << std::scientific << "solid cube\n";
    for (const Triangle& t : triangles) {
        out << " facet normal 0 0 0\n  outer loop\n";
        for (const Vec3& v : {t.a, t.b, t.c}) out << "   vertex " << v.x << ' ' << v.y << ' ' << v.z << "\r\n";
        out << "  endloop\n endfacet\n";
    }
    return out.str() + "endsolid cube\n";
}

// The cube in millimetres, its faces in every index form OBJ allows.
const std::string CUBE_OBJ_MM =
    "# unit cube\nv 0 0 0\nv 1000 0 0\nv 0 1000 0\nv 1000 1000 0  # corner 3\nv 0 0 1000\nv 1000 0 1000\n"
    "v 0 1000 1000\nv 1000 1000 1000\nvt 0 0\nvn 0 0 1\no cube\ns off\n"
    "f 1 3 4 2\nf 5/1 6/1 8/1 7/1\nf 1//1 5//1 7//1 3//1\nf 2/1/1 4/1/1 8/1/1 6/1/1\nf -8 -7 -3 -4\nf -6 -2 -1 -5\n";

struct TempFolder : testing::Test {
    fs::path folder;
    void SetUp() override {
        char name[] = "/tmp/kivra-mesh-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        folder = name;
    }
    void TearDown() override { fs::remove_all(folder); }
    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream(folder / name, std::ios::binary) << bytes;
        return (folder / name).string();
    }
};

}  // namespace

TEST_F(TempFolder, LoadsTheCubeFromEveryFormat) {
    struct Case {
        const char* name;
        std::string bytes;
        double scale, side;  // side: the cube's edge once scaled [m]
    };
    const Case cases[] = {{"cube.stl", binary_stl(unit_cube()), 1.0, 1.0},
                          {"cube-ascii.STL", ascii_stl(unit_cube()), 1.0, 1.0},
                          {"cube.obj", CUBE_OBJ_MM, 0.001, 1.0},
                          {"cube.mesh", binary_stl(unit_cube()), 2.0, 2.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<Triangle> triangles = load_triangles(write(c.name, c.bytes), c.scale);
        ASSERT_EQ(triangles.size(), 12u);
        // The +z face's second triangle: corners 4, 7, 6.
        EXPECT_EQ(triangles[3].b, (Vec3{1, 1, 1} * c.side));
        EXPECT_EQ(triangles[3].c, (Vec3{0, 1, 1} * c.side));
    }
}

TEST_F(TempFolder, ErrorsNameTheFileLineAndFault) {
    std::string truncated = binary_stl(unit_cube());
    truncated.resize(84 + 50);
    struct Case {
        const char* name;
        std::string bytes;
        std::string message;
    };
    const Case cases[] = {
        {"absent.stl", "", "absent.stl: cannot open: No such file or directory"},
        {"truncated.stl", truncated,
         "truncated.stl: truncated binary STL: 12 triangles need 684 bytes, the file has 134"},
        {"index.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 4\n", "index.obj:4: vertex index 4 out of range (3 vertices)"},
        {"relative.obj", "v 0 0 0\nf -1 -2 -3\n", "relative.obj:2: vertex index -2 out of range (1 vertices so far)"},
        {"number.stl", "solid s\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 O 0\n",
         "number.stl:5: bad number 'O'"},
        {"nan.obj", "v 0 0 0\nv 1 0 nan\n", "nan.obj:2: non-finite vertex"},
        {"empty.obj", "# nothing\nv 0 0 0\n", "empty.obj: no triangles"},
    };
    for (const Case& c : cases) {
        const std::string path = c.bytes.empty() ? (folder / c.name).string() : write(c.name, c.bytes);
        try {
            load_triangles(path);
            ADD_FAILURE() << c.name << " loaded";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), (folder / c.message).string());
        }
    }
    EXPECT_THROW(load_triangles(write("cube.obj", CUBE_OBJ_MM), -1.0), std::invalid_argument);
}

TEST(MeshSolid, RefusesNoAreaAndNonFiniteCorners) {
    EXPECT_THROW(MeshSolid({}), std::invalid_argument);
    EXPECT_THROW(MeshSolid({{{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}}), std::invalid_argument);
    EXPECT_THROW(MeshSolid({{{0, 0, 0}, {1, 0, 0}, {0, NAN, 0}}}), std::invalid_argument);
    std::vector<Triangle> triangles = unit_cube();
    triangles.push_back({{0, 0, 0}, {0.5, 0, 0}, {1, 0, 0}});  // zero area: dropped
    const MeshSolid cube(triangles);
    EXPECT_EQ(cube.size(), 12u);
    EXPECT_TRUE(cube.closed());
    EXPECT_EQ(cube.bounds().low, (Vec3{0, 0, 0}));
    EXPECT_EQ(cube.bounds().high, (Vec3{1, 1, 1}));
    triangles.pop_back();
    triangles.pop_back();
    EXPECT_FALSE(MeshSolid(triangles).closed());
}

// Where the answer lies on an edge or corner either face's normal will do:
// each has dot 1 with the sum given as the normal.
TEST(MeshSolid, CubeQueriesGiveTheBoxAnswers) {
    // A second cube at x in [2, 3] makes one closed mesh of two pieces.
    std::vector<Triangle> triangles = unit_cube();
    for (const Triangle& t : unit_cube())
        triangles.push_back({t.a + Vec3{2, 0, 0}, t.b + Vec3{2, 0, 0}, t.c + Vec3{2, 0, 0}});
    const MeshSolid cube(triangles);
    ASSERT_TRUE(cube.closed());
    struct Entry {
        Vec3 a, b;
        bool enters;
        double t;
        Vec3 point, normal;
    };
    const Entry entries[] = {
        {{0.5, 0.5, 2}, {0.5, 0.5, 0}, true, 0.5, {0.5, 0.5, 1}, {0, 0, 1}},
        {{-1, 0.25, 0.75}, {1, 0.25, 0.75}, true, 0.5, {0, 0.25, 0.75}, {-1, 0, 0}},
        {{0.3, -0.2, 0.6}, {0.3, 0.6, 0.6}, true, 0.25, {0.3, 0, 0.6}, {0, -1, 0}},
        {{1.5, 0.5, 1.5}, {0.5, 0.5, 0.5}, true, 0.5, {1, 0.5, 1}, {1, 0, 1}},       // through an edge
        {{1, 0.5, 0.5}, {2.5, 0.5, 0.5}, true, 1 / 1.5, {2, 0.5, 0.5}, {-1, 0, 0}},  // leaves a face it is on
        {{0.5, 0.5, 0.5}, {0.5, 0.5, 1.5}, false, 0, {}, {}},                        // starts inside
        {{0.5, 0.5, 0.5}, {2.5, 0.5, 0.5}, false, 0, {}, {}},                        // and crosses the other's face
        {{0.5, 0.5, 2}, {0.5, 0.5, 1.5}, false, 0, {}, {}},                          // stops short
        {{2, 2, 2}, {3, 2, 2}, false, 0, {}, {}},
    };
    for (const Entry& e : entries) {
        double t = -1;
        SurfacePoint at;
        ASSERT_EQ(cube.entry(e.a, e.b, t, at), e.enters) << e.a.x << " " << e.a.y << " " << e.a.z;
        if (!e.enters) continue;
        EXPECT_NEAR(t, e.t, 1e-12);
        EXPECT_NEAR(norm(at.point - e.point), 0.0, 1e-12);
        EXPECT_NEAR(dot(at.normal, e.normal), 1.0, 1e-12);
    }
    const std::pair<Vec3, bool> insides[] = {
        {{0.5, 0.5, 0.5}, true}, {{0.9, 0.1, 0.95}, true}, {{1.5, 0.5, 0.5}, false}, {{0.5, 0.5, 1}, false},
        {{0.5, 0.5, 0}, false},  {{0.25, 0.6, 0}, false},  {{0, 0.3, 0.4}, false}};
    for (const auto& [p, inside] : insides) EXPECT_EQ(cube.inside(p), inside) << p.x << " " << p.y << " " << p.z;
    const std::tuple<Vec3, Vec3, Vec3> nearests[] = {{{0.5, 0.5, 1.3}, {0.5, 0.5, 1}, {0, 0, 1}},
                                                     {{0.5, 0.5, 0.9}, {0.5, 0.5, 1}, {0, 0, 1}},
                                                     {{0.25, -0.5, 0.5}, {0.25, 0, 0.5}, {0, -1, 0}},
                                                     {{1.3, 0.5, 1.3}, {1, 0.5, 1}, {1, 0, 1}},
                                                     {{1.2, -1, 2}, {1, 0, 1}, {1, -1, 1}}};
    for (const auto& [p, point, normal] : nearests) {
        const SurfacePoint found = cube.nearest(p);
        EXPECT_NEAR(norm(found.point - point), 0.0, 1e-12) << p.x << " " << p.y << " " << p.z;
        EXPECT_NEAR(dot(found.normal, normal), 1.0, 1e-12);
    }
}

TEST(MeshSolid, StepThroughAThinWallEntersTheNearFace) {
    // Two squares 1 mm apart: the bottom faces -z, the top +z.
    const MeshSolid wall({{{0, 0, 0}, {0, 1, 0}, {1, 1, 0}},
                          {{0, 0, 0}, {1, 1, 0}, {1, 0, 0}},
                          {{0, 0, 0.001}, {1, 0, 0.001}, {1, 1, 0.001}},
                          {{0, 0, 0.001}, {1, 1, 0.001}, {0, 1, 0.001}}});
    EXPECT_FALSE(wall.closed());
    for (const double direction : {-1.0, 1.0}) {
        const Vec3 a{0.4, 0.3, 0.0005 - 0.001 * direction}, b{0.4, 0.3, 0.0005 + 0.001 * direction};
        double t = -1;
        SurfacePoint at;
        ASSERT_TRUE(wall.entry(a, b, t, at));
        EXPECT_NEAR(t, 0.25, 1e-9);
        EXPECT_NEAR(at.point.z, direction < 0 ? 0.001 : 0.0, 1e-12);
        EXPECT_EQ(at.normal, (Vec3{0, 0, -direction}));
    }
}

namespace {

// A closed sphere of radius 1 with bumps deep enough for concave regions:
// 23 rings of 46 quads, the triangles at the poles zero-area.
std::vector<Triangle> bumpy_sphere() {
    return bench::sphere_mesh(
        23, [](double theta, double phi) { return 1.0 + 0.3 * std::sin(3 * theta) * std::cos(2 * phi); });
}

double distance_to_segment(const Vec3& p, const Vec3& a, const Vec3& b) {
    const double s = std::clamp(dot(p - a, b - a) / dot(b - a, b - a), 0.0, 1.0);
    return norm(p - (a + (b - a) * s));
}

// Whether x, in the triangle's plane, lies within its three edges.
bool within(const Triangle& t, const Vec3& n, const Vec3& x) {
    return dot(cross(t.b - t.a, x - t.a), n) >= 0 && dot(cross(t.c - t.b, x - t.b), n) >= 0 &&
           dot(cross(t.a - t.c, x - t.c), n) >= 0;
}

}  // namespace

TEST(MeshSolid, TreeAnswersAsEveryTriangleDoes) {
    std::vector<Triangle> all = bumpy_sphere(), kept;
    for (const Triangle& t : all)
        if (norm(cross(t.b - t.a, t.c - t.a)) > 0) kept.push_back(t);
    const MeshSolid sphere(all);
    ASSERT_EQ(sphere.size(), 2024u);
    ASSERT_TRUE(sphere.closed());
    // Plane crossings of a + s d, s in [0, limit], as (s, facing against d).
    const auto crossings = [&](const Vec3& a, const Vec3& d, double limit) {
        std::vector<std::pair<double, bool>> hits;
        for (const Triangle& t : kept) {
            const Vec3 n = normalized(cross(t.b - t.a, t.c - t.a));
            const double s = dot(n, t.a - a) / dot(n, d);
            if (s >= 0 && s <= limit && within(t, n, a + d * s)) hits.push_back({s, dot(n, d) < 0});
        }
        return hits;
    };
    std::mt19937 random(7);
    std::uniform_real_distribution<double> uniform(-1.5, 1.5);
    const auto draw = [&] { return Vec3{uniform(random), uniform(random), uniform(random)}; };
    int entered = 0, inside = 0;
    for (int i = 0; i < 300; ++i) {
        const Vec3 a = draw(), b = a + draw();
        double front = HUGE_VAL, back = HUGE_VAL;
        for (const auto& [s, facing] : crossings(a, b - a, 1.0)) {
            double& first = facing ? front : back;
            first = std::min(first, s);
        }
        const bool expected = front < HUGE_VAL && !(back < front);
        double t = -1;
        SurfacePoint at;
        ASSERT_EQ(sphere.entry(a, b, t, at), expected) << i;
        if (expected) {
            EXPECT_NEAR(t, front, 1e-9);
            ++entered;
        }

        const Vec3 p = draw();
        const bool odd = crossings(p, Vec3{0.2, -0.7, 0.6}, 100.0).size() % 2 == 1;
        EXPECT_EQ(sphere.inside(p), odd) << i;
        inside += odd;

        double distance = HUGE_VAL;
        for (const Triangle& t : kept) {
            const Vec3 n = normalized(cross(t.b - t.a, t.c - t.a));
            const Vec3 projected = p - n * dot(n, p - t.a);
            distance =
                std::min(distance, within(t, n, projected)
                                       ? std::abs(dot(n, p - t.a))
                                       : std::min({distance_to_segment(p, t.a, t.b), distance_to_segment(p, t.b, t.c),
                                                   distance_to_segment(p, t.c, t.a)}));
        }
        EXPECT_NEAR(norm(sphere.nearest(p).point - p), distance, 1e-12) << i;
    }
    EXPECT_GT(entered, 30);
    EXPECT_GT(inside, 30);
}

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

#include "KivraHardwareAPI/Shapes.h"

using namespace Kivra::HardwareAPI::Render;

namespace {

const PlaneSolid plane;
const SphereSolid sphere(0.1);
const BoxSolid box({0.1, 0.05, 0.02});
const BoxSolid plate({0.05, 0.05, 0.0005});
const CapsuleSolid capsule(0.05, 0.1);
const CylinderSolid cylinder(0.05, 0.1);

void expect_near(const Vec3& got, const Vec3& want, const char* what) {
    EXPECT_NEAR(norm(got - want), 0.0, 1e-12) << what << " " << got.x << " " << got.y << " " << got.z;
}

struct ShapeCase {
    const char* name;
    const Surface* solid;
    Vec3 a, b;  // a segment [m]; entry is expected at t (none when t < 0)
    double t;
    SurfacePoint entry;
    Vec3 q;  // [m], asked whether inside and for its nearest surface point
    bool inside;
    SurfacePoint nearest;
};

ShapeCase row(const char* name, const Surface& solid, Vec3 a, Vec3 b, double t, SurfacePoint entry, Vec3 q, bool inside,
              SurfacePoint nearest) {
    return {name, &solid, a, b, t, entry, q, inside, nearest};
}

struct Shapes : testing::TestWithParam<ShapeCase> {};

TEST_P(Shapes, AnswerEntryInsideAndNearest) {
    const ShapeCase& c = GetParam();
    double t = -1.0;
    SurfacePoint at;
    ASSERT_EQ(c.solid->entry(c.a, c.b, t, at), c.t >= 0);
    if (c.t >= 0) {
        EXPECT_NEAR(t, c.t, 1e-12);
        expect_near(at.point, c.entry.point, "entry point");
        expect_near(at.normal, c.entry.normal, "entry normal");
    }
    EXPECT_EQ(c.solid->inside(c.q), c.inside);
    expect_near(c.solid->nearest(c.q).point, c.nearest.point, "nearest point");
    expect_near(c.solid->nearest(c.q).normal, c.nearest.normal, "nearest normal");
}

INSTANTIATE_TEST_SUITE_P(
    Render, Shapes,
    testing::Values(
        // Normals such as (0.6, 0, 0.8) come from 3-4-5 triangles.
        row("plane", plane, {0.1, 0, 0.02}, {0.1, 0, -0.02}, 0.5, {{0.1, 0, 0}, {0, 0, 1}}, {0.1, 0, -0.02}, true,
            {{0.1, 0, 0}, {0, 0, 1}}),
        row("plane_from_below", plane, {0, 0, -0.01}, {0, 0, 0.01}, -1, {}, {0, 0, 0.01}, false,
            {{0, 0, 0}, {0, 0, 1}}),
        // y = 0.06 meets the ball at x = -0.08.
        row("sphere", sphere, {-0.2, 0.06, 0}, {0.2, 0.06, 0}, 0.3, {{-0.08, 0.06, 0}, {-0.8, 0.6, 0}}, {0, 0.03, 0.04},
            true, {{0, 0.06, 0.08}, {0, 0.6, 0.8}}),
        row("sphere_grazed", sphere, {-0.2, 0.1, 0}, {0.2, 0.1, 0}, -1, {}, {0, 0.3, 0.4}, false,
            {{0, 0.06, 0.08}, {0, 0.6, 0.8}}),
        row("box", box, {0.3, 0, 0}, {-0.3, 0, 0}, 1.0 / 3, {{0.1, 0, 0}, {1, 0, 0}}, {0.09, 0, 0}, true,
            {{0.1, 0, 0}, {1, 0, 0}}),
        row("box_from_inside_off_an_edge", box, {0, 0, 0}, {0.3, 0, 0}, -1, {}, {0.13, 0, 0.06}, false,
            {{0.1, 0, 0.02}, {0.6, 0, 0.8}}),
        // Through the whole plate in one step; from inside, its far face is the nearer.
        row("plate_from_above", plate, {0.01, 0, 0.001}, {0.01, 0, -0.001}, 0.25, {{0.01, 0, 0.0005}, {0, 0, 1}},
            {0.01, 0, -0.0001}, true, {{0.01, 0, -0.0005}, {0, 0, -1}}),
        // The top ball (centre z = 0.1) meets x = 0.03 at z = 0.14.
        row("capsule_end", capsule, {0.03, 0, 0.3}, {0.03, 0, 0}, 0.16 / 0.3, {{0.03, 0, 0.14}, {0.6, 0, 0.8}},
            {0, 0.02, 0}, true, {{0, 0.05, 0}, {0, 1, 0}}),
        row("capsule_side", capsule, {0.2, 0, 0.05}, {0, 0, 0.05}, 0.75, {{0.05, 0, 0.05}, {1, 0, 0}}, {0, 0, 0.2},
            false, {{0, 0, 0.15}, {0, 0, 1}}),
        row("cylinder_cap", cylinder, {0.03, 0, 0.3}, {0.03, 0, 0}, 2.0 / 3, {{0.03, 0, 0.1}, {0, 0, 1}}, {0.04, 0, 0},
            true, {{0.05, 0, 0}, {1, 0, 0}}),
        row("cylinder_side_off_the_rim", cylinder, {0.2, 0, 0.05}, {0, 0, 0.05}, 0.75, {{0.05, 0, 0.05}, {1, 0, 0}},
            {0.08, 0, 0.14}, false, {{0.05, 0, 0.1}, {0.6, 0, 0.8}})),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ShapeSizes, AreRefusedByName) {
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[] { SphereSolid(0.0); }, "sphere radius must be finite and above 0 [m], not 0"},
        {[] {
             BoxSolid(Vec3{0.1, -0.2, 0.1});
         },
         "box half extent y must be finite and above 0 [m], not -0.2"},
        {[] { CapsuleSolid(0.1, INFINITY); }, "capsule half length must be finite and above 0 [m], not inf"},
        {[] { CylinderSolid(NAN, 0.1); }, "cylinder radius must be finite and above 0 [m], not nan"}};
    for (const auto& [build, message] : cases) {
        try {
            build();
            ADD_FAILURE() << "no exception: " << message;
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), message);
        }
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "KivraHardwareAPI/Fields.h"

using namespace Kivra::HardwareAPI::Render;

namespace {

constexpr double TOLERANCE = 1e-9;  // [N]

void expect_near(const Vec3& got, const Vec3& want) {
    EXPECT_NEAR(got.x, want.x, TOLERANCE);
    EXPECT_NEAR(got.y, want.y, TOLERANCE);
    EXPECT_NEAR(got.z, want.z, TOLERANCE);
}

// A box of half-sides 5 x 1 x 1 cm about its own origin.
struct Bar : Surface {
    bool entry(const Vec3&, const Vec3&, double&, SurfacePoint&) const override { return false; }
    bool inside(const Vec3& p) const override {
        return std::abs(p.x) < 0.05 && std::abs(p.y) < 0.01 && std::abs(p.z) < 0.01;
    }
    SurfacePoint nearest(const Vec3& p) const override { return {p, {}}; }
    Aabb bounds() const override { return {{-0.05, -0.01, -0.01}, {0.05, 0.01, 0.01}}; }
};
const Bar bar;

using ForceOf = std::function<Vec3(const Vec3&, const Vec3&, double)>;
template <class Field>
ForceOf of(const Field& field) {
    return [field](const Vec3& p, const Vec3& v, double t) { return field.force(p, v, t); };
}

// The bar turned a quarter turn about z, so that it lies along y, centred at x = 0.1.
const ForceOf viscous_bar = of(ViscousRegion(&bar, {{0.1, 0, 0}, Quat::about({0, 0, 1}, M_PI / 2)}, 2.0));
const ForceOf viscous_box = of(ViscousRegion::box({{0, 0, 0}, {0.1, 0.1, 0.1}}, 3.0));
const ForceOf detents = of(Detents({{{0, 0, 0}, 0.01}, {{0.05, 0, 0}, 0.02}}, 100.0, 0.5));
// An L: 10 cm along x, then 10 cm along y.
const Guide ell({{0, 0, 0}, {0.1, 0, 0}, {0.1, 0.1, 0}}, 200.0, 4.0, 5.0);
const ForceOf ridges = of(Texture({0, 0, 0}, {0, 0, 2}, {1, 0, 1}, 0.004, 0.5, 0.002));
const ForceOf buzz = of(Vibration(2.0, 50.0, {0, 3, 0}, 0.0, 0.1, 0.2));
const ForceOf hum = of(Vibration(2.0, 50.0, {0, 1, 0}, M_PI / 2));

struct FieldCase {
    const char* name;
    const ForceOf* field;
    Vec3 position, velocity;
    double time;
    Vec3 expected;
};

void PrintTo(const FieldCase& c, std::ostream* out) { *out << c.name; }

struct FieldForce : testing::TestWithParam<FieldCase> {};

TEST_P(FieldForce, IsTheHandComputedOne) {
    const FieldCase& c = GetParam();
    expect_near((*c.field)(c.position, c.velocity, c.time), c.expected);
}

const ForceOf guide = of(ell);
const FieldCase field_cases[] = {
    // -2 v inside the turned bar; (0.14, 0, 0) would be inside it unturned.
    {"ViscousInside", &viscous_bar, {0.1, 0.04, 0}, {0.1, -0.2, 0.3}, 0, {-0.2, 0.4, -0.6}},
    {"ViscousOutside", &viscous_bar, {0.14, 0, 0}, {0.1, -0.2, 0.3}, 0, {}},
    {"BoxInside", &viscous_box, {0.05, 0.05, 0.05}, {1, 0, 0}, 0, {-3, 0, 0}},
    {"BoxOutside", &viscous_box, {0.2, 0.05, 0.05}, {1, 0, 0}, 0, {}},
    // 100 (c - p) - 0.5 v well inside the first detent.
    {"DetentCore", &detents, {0.002, 0.001, 0}, {0.1, 0, 0}, 0, {-0.25, -0.1, 0}},
    {"DetentNearestHolds", &detents, {0.04, 0, 0}, {}, 0, {1, 0, 0}},
    // 90% of the radius: half of 100 x 0.018.
    {"DetentFading", &detents, {0.068, 0, 0}, {}, 0, {-0.9, 0, 0}},
    // 99.5% of the radius: 2.5% of 100 x 0.0199 + 0.5 x 1, the damping faded too.
    {"DetentNearEdge", &detents, {0.0699, 0, 0}, {1, 0, 0}, 0, {-0.06225, 0, 0}},
    {"DetentsOutside", &detents, {0.025, 0, 0}, {1, 0, 0}, 0, {}},
    // 200 x 1 cm toward the path, minus 4 x the velocity across it.
    {"GuideAcross", &guide, {0.05, 0.01, 0}, {0.3, 0.2, 0.1}, 0, {0, -2.8, -0.4}},
    {"GuideClamped", &guide, {0.05, 0, 0.03}, {}, 0, {0, 0, -5}},
    {"GuidePastEnd", &guide, {0.1, 0.11, 0}, {}, 0, {0, -2, 0}},
    // sin(2 pi 1/4) = 1 along the normal a millimetre deep; sin(2 pi 3/4) = -1.
    {"RidgeCrest", &ridges, {0.001, 0, -0.001}, {}, 0, {0, 0, 0.5}},
    {"RidgeTrough", &ridges, {0.003, 0.7, -0.001}, {}, 0, {0, 0, -0.5}},
    {"RidgeAbovePlane", &ridges, {0.001, 0, 0.001}, {}, 0, {}},
    {"RidgeOnPlane", &ridges, {0.001, 0, 0}, {}, 0, {}},
    {"RidgeTooDeep", &ridges, {0.001, 0, -0.0021}, {}, 0, {}},
    // 50 Hz: a quarter cycle past 0.1 s is the crest, three quarters the trough.
    {"VibrationCrest", &buzz, {}, {}, 0.105, {0, 2, 0}},
    {"VibrationTrough", &buzz, {}, {}, 0.115, {0, -2, 0}},
    {"VibrationBeforeStart", &buzz, {}, {}, 0.095, {}},
    {"VibrationEnded", &buzz, {}, {}, 0.305, {}},
    {"VibrationForeverPhase", &hum, {}, {}, 1000.0, {0, 2, 0}},
};

INSTANTIATE_TEST_SUITE_P(Table, FieldForce, testing::ValuesIn(field_cases),
                         [](const testing::TestParamInfo<FieldCase>& info) { return std::string(info.param.name); });

TEST(DetentFade, LeavesNoStepUpToAndPastTheRadius) {
    const Detents one({{{0, 0, 0}, 0.02}}, 100.0, 0.0);
    // The steepest slope, 5 k at the radius, over 10 um steps; a step at the edge would be 2 N.
    double previous = 0.0;
    for (int i = 1; i <= 2500; ++i) {
        const double force = one.force({i * 1e-5, 0, 0}, {}, 0).x;
        ASSERT_LE(std::abs(force - previous), 5 * 100.0 * 1e-5 + 1e-12) << i * 1e-5;
        previous = force;
    }
    EXPECT_EQ(previous, 0.0);
}

// Points near the L, the path's tangent at their nearest point and their distance to it.
struct NearPath {
    Vec3 position, tangent;
    double distance;
};

TEST(GuidePath, PullsByDistanceAndLeavesMotionAlongItFree) {
    const double r = std::sqrt(0.5);
    const std::vector<NearPath> table = {
        {{0.05, 0.01, 0}, {1, 0, 0}, 0.01},  {{0.03, 0, -0.015}, {1, 0, 0}, 0.015},
        {{0.09, 0.05, 0}, {0, 1, 0}, 0.01},  {{0.11, -0.01, 0}, {r, r, 0}, std::sqrt(2e-4)},
        {{0.1, -0.01, 0}, {1, 0, 0}, 0.01},  {{0.06, 0, 0}, {1, 0, 0}, 0},
        {{0.1, 0.0, 0.01}, {r, r, 0}, 0.01},
    };
    for (const NearPath& near : table) {
        SCOPED_TRACE(testing::Message() << near.position.x << ", " << near.position.y << ", " << near.position.z);
        const Vec3 still = ell.force(near.position, {}, 0);
        EXPECT_NEAR(norm(still), 200.0 * near.distance, TOLERANCE);
        EXPECT_NEAR(dot(still, near.tangent), 0.0, TOLERANCE);
        expect_near(ell.force(near.position, 0.5 * near.tangent, 0), still);
    }
}

TEST(GuideSpline, PassesThroughItsControlPointsBetweenCatmullRomMidpoints) {
    // Control points 10 cm apart: the centripetal midpoint is (-p0 + 9 p1 + 9 p2 - p3) / 16.
    const Guide guide = Guide::spline({{0, 0, 0}, {0.1, 0, 0}, {0.1, 0.1, 0}, {0, 0.1, 0}}, 2, 1, 0, 1);
    ASSERT_EQ(guide.size(), 7u);
    expect_near(guide[0], {0, 0, 0});
    expect_near(guide[1], {0.05625, -0.00625, 0});  // the end mirrored: p0 = (-0.1, 0, 0)
    expect_near(guide[2], {0.1, 0, 0});
    expect_near(guide[3], {0.1125, 0.05, 0});
    expect_near(guide[6], {0, 0.1, 0});
}

TEST(VibrationAliasing, StartsAtHalfTheLoopRate) {
    EXPECT_FALSE(Vibration(1, 499, {1, 0, 0}).aliases(1000));
    EXPECT_TRUE(Vibration(1, 500, {1, 0, 0}).aliases(1000));
    EXPECT_TRUE(Vibration(1, 700, {1, 0, 0}).aliases(1000));
}

template <class Error>
void expect_error(const std::function<void()>& build, const std::string& message) {
    try {
        build();
        ADD_FAILURE() << "no error; expected " << message;
    } catch (const Error& error) {
        EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
    }
}

TEST(FieldParameters, AreRefusedByName) {
    // clang-format off
    const std::vector<std::pair<std::function<void()>, std::string>> table = {
        {[] { ViscousRegion(nullptr, {}, 1); }, "ViscousRegion region must not be null"},
        {[] { ViscousRegion(&bar, {}, -1); }, "damping [N·s/m] must be finite and at least 0, got -1"},
        {[] { ViscousRegion::box({}, 1); }, "box low corner [m] must be finite"},
        {[] { Detents({{{0, 0, 0}, 0}}, 1, 0); }, "detent radius [m] must be finite and above 0, got 0"},
        {[] { Detents({}, NAN, 0); }, "Detents stiffness [N/m] must be finite and at least 0, got nan"},
        {[] { Guide({{0, 0, 0}}, 1, 0, 1); }, "Guide points must be at least 2, got 1"},
        {[] { Guide({{0, 0, 0}, {0, 0, 0}}, 1, 0, 1); }, "points 0 and 1 [m] are the same"},
        {[] { Guide({{0, 0, 0}, {1, 0, 0}}, 1, 0, 0); }, "max_force [N] must be finite and above 0, got 0"},
        {[] { Texture({}, {0, 0, 1}, {0, 0, -2}, 1, 1, 1); }, "tangent must not be zero or along the normal"},
        {[] { Texture({}, {0, 0, 1}, {1, 0, 0}, 1, 1, -1); }, "depth [m] must be finite and above 0, got -1"},
        {[] { Vibration(1, INFINITY, {1, 0, 0}); }, "frequency [Hz] must be finite and above 0, got inf"},
        {[] { Vibration(1, 1, {0, 0, 0}); }, "Vibration direction must not be the zero vector"},
        {[] { Vibration(1, 1, {1, 0, 0}).aliases(0); }, "rate [Hz] must be finite and above 0, got 0"},
    };
    // clang-format on
    for (const auto& [build, message] : table) expect_error<std::invalid_argument>(build, message);
    const std::vector<Detent> seventeen(17, Detent{{0, 0, 0}, 0.01});
    expect_error<std::length_error>([&] { Detents(seventeen.data(), 17, 1, 0); }, "at most 16 detents, got 17");
    const auto too_many_samples = [] { Guide::spline({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}, 32, 1, 0, 1); };
    expect_error<std::length_error>(too_many_samples,
                                    "at most 64 points: 3 control points with 32 samples_per_segment");
}

TEST(FieldSetForce, SumsItsFieldsAndRefusesOneTooMany) {
    FieldSet set;
    set.add(ViscousRegion::box({{0, 0, 0}, {0.1, 0.1, 0.1}}, 3.0));
    set.add(Vibration(2.0, 50.0, {0, 0, 1}, M_PI / 2));
    set.add(Detents({{{0.05, 0.05, 0.05}, 0.01}}, 100.0, 0.0));
    // -3 v + 2 cos(0) z + 100 (c - p).
    expect_near(set.force({0.05, 0.05, 0.055}, {0.1, 0, 0}, 0), {-0.3, 0, 2 - 0.5});
    for (int i = 1; i < 8; ++i) set.add(Vibration(1.0, 10.0, {1, 0, 0}));
    EXPECT_EQ(set.vibrations(), 8u);
    const Vibration ninth(1.0, 10.0, {1, 0, 0});
    expect_error<std::length_error>([&] { set.add(ninth); }, "FieldSet holds at most 8 vibrations");
    set.clear();
    EXPECT_EQ(set.force({0.05, 0.05, 0.05}, {1, 1, 1}, 0), Vec3{});
}

}  // namespace

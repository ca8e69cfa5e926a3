#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "KivraHardwareAPI/ShapeScene.h"
#include "KivraHardwareAPI/Shapes.h"

using namespace Kivra::HardwareAPI::Render;
using Kivra::HardwareAPI::Servo::SceneInput;

namespace {

constexpr double PI = 3.14159265358979323846;

SceneShape sphere_at(const Vec3& centre, double stiffness, double damping, uint64_t id = 0) {
    return {std::make_shared<SphereSolid>(0.02), Pose{centre, {}}, Material{stiffness, damping, 0.0, 0.0}, id};
}

SceneInput tick(double time, double period, const Vec3& p, const Vec3& v = {}) {
    return {time, period, {p.x, p.y, p.z}, {v.x, v.y, v.z}};
}

// Drives the point from above into a sphere of radius 20 mm at the origin,
// 1 mm a tick, until depth [m]; returns the last force.
std::array<double, 3> press(ShapeScene& scene, double depth, double period = 0.001) {
    std::array<double, 3> force{};
    int i = 0;
    for (double z = 0.025; z >= 0.02 - depth - 1e-12; z -= 0.001, ++i)
        force = scene.render(tick(i * period, period, {0, 0, z}, {0, 0, -0.001 / period}));
    return force;
}

TEST(ShapeScene, SumsSolidsFieldsAndForceLaws) {
    FieldSet fields;
    fields.add(Vibration(0.5, 10.0, {1, 0, 0}));  // sin(2 pi 10 t): 0.5 N at t = 25 ms
    auto law = [](const CEffectInput* in, double force[3], void* context) {
        force[1] = *static_cast<double*>(context) + in->force[2];  // sees the solids' and fields' sum
    };
    double offset = 0.25;
    ShapeScene scene({sphere_at({0, 0, 0}, 1000.0, 5.0)}, fields, {{law, &offset, 1.0}}, 1000.0);
    for (int i = 0; i < 8; ++i) scene.render(tick(0.025, 0.001, {0, 0, 0.025 - 0.001 * i}));
    // 3 mm deep in a 1000 N/m sphere, still, at t = 25 ms.
    const std::array<double, 3> f = scene.render(tick(0.025, 0.001, {0, 0, 0.017}));
    EXPECT_NEAR(f[0], 0.5, 1e-9);
    EXPECT_NEAR(f[2], 3.0, 1e-9);
    EXPECT_NEAR(f[1], 3.25, 1e-9);
}

TEST(ShapeScene, RefusesWhatTheLoopCannotKeepPassiveUnlessAllowed) {
    // 5000 N/m with 1 N s/m (and the arm's 0.5): at most 3000 N/m at 1 kHz, 12000 N/m at 4 kHz.
    try {
        ShapeScene({sphere_at({}, 5000.0, 1.0)}, FieldSet{}, {}, 1000.0);
        FAIL() << "accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("3000 N/m"), std::string::npos) << error.what();
        EXPECT_EQ(std::string(error.what()).rfind("shape 0: ", 0), 0u) << error.what();
    }
    EXPECT_NO_THROW(ShapeScene({sphere_at({}, 5000.0, 1.0)}, FieldSet{}, {}, 4000.0));
    SceneShape allowed = sphere_at({}, 5000.0, 1.0);
    allowed.allow_active = true;
    EXPECT_NO_THROW(ShapeScene({allowed}, FieldSet{}, {}, 1000.0));
    EXPECT_THROW(ShapeScene({SceneShape{}}, FieldSet{}, {}, 1000.0), std::invalid_argument);
}

TEST(ShapeScene, EnergyWatchReleasesAShapeThatKeepsGivingEnergy) {
    // A stiff sphere at 100 Hz, allowed although active: each in-and-out
    // stroke of 5 mm at 5 Hz gives the hand energy through the held force.
    SceneShape active = sphere_at({}, 20000.0, 0.0);
    active.allow_active = true;
    ShapeScene scene({active}, FieldSet{}, {}, 100.0);
    const double period = 0.01;
    int ticks = 0;
    for (; ticks < 2000 && !scene.released(0); ++ticks) {
        const double t = ticks * period;
        const double z = 0.0225 + 0.005 * std::cos(2 * PI * 5 * t);  // 7.5 mm above to 2.5 mm deep
        const double v = -0.005 * 2 * PI * 5 * std::sin(2 * PI * 5 * t);
        scene.render(tick(t, period, {0, 0, z}, {0, 0, v}));
    }
    EXPECT_TRUE(scene.released(0));
    EXPECT_EQ(scene.released_shapes(), 1u);
    EXPECT_EQ(scene.render(tick(0, period, {0, 0, 0.015})), (std::array<double, 3>{0, 0, 0}));
}

TEST(ShapeScene, AMovedShapeKeepsItsContactAcrossScenes) {
    ShapeScene before({sphere_at({0, 0, 0}, 1000.0, 0.0, 7)}, FieldSet{}, {}, 1000.0);
    EXPECT_NEAR(press(before, 0.002)[2], 2.0, 1e-9);
    // The sphere moves 1 mm down under the still hand: 1 mm deep now.
    ShapeScene after({sphere_at({0, 0, -0.001}, 1000.0, 0.0, 7)}, FieldSet{}, {}, 1000.0);
    after.continue_from(before);
    EXPECT_NEAR(after.render(tick(0.1, 0.001, {0, 0, 0.018}))[2], 1.0, 1e-9);
    // Without the id the new shape has no contact: a point found inside feels nothing.
    ShapeScene stranger({sphere_at({0, 0, -0.001}, 1000.0, 0.0, 8)}, FieldSet{}, {}, 1000.0);
    stranger.continue_from(before);
    EXPECT_EQ(stranger.render(tick(0.1, 0.001, {0, 0, 0.018}))[2], 0.0);
}

TEST(ShapeScene, ForceLawsOverBudgetOrNonFiniteAreDroppedForTheirTick) {
    auto slow = [](const CEffectInput*, double force[3], void*) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
        while (std::chrono::steady_clock::now() < until) {
        }
        force[0] = 1.0;
    };
    auto broken = [](const CEffectInput*, double force[3], void*) {
        force[0] = std::numeric_limits<double>::quiet_NaN();
    };
    auto fine = [](const CEffectInput*, double force[3], void*) { force[2] = 0.5; };
    ShapeScene scene({}, FieldSet{}, {{slow, nullptr, 0.0}, {broken, nullptr, 0.0}, {fine, nullptr, 0.0}}, 1000.0);
    EXPECT_EQ(scene.render(tick(0, 0.001, {})), (std::array<double, 3>{0, 0, 0.5}));
    EXPECT_EQ(scene.dropped_effect_ticks(), 2u);
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "KivraHardwareAPI/Proxy.h"
#include "KivraHardwareAPI/Shapes.h"

using namespace Kivra::HardwareAPI::Render;

namespace {

constexpr double PERIOD = 0.001;  // [s], a 1 kHz loop

void expect_near(const Vec3& got, const Vec3& want, double tolerance, const char* what) {
    EXPECT_LE(norm(got - want), tolerance) << what << " " << got.x << " " << got.y << " " << got.z;
}

TEST(ProxyOnSphere, StaysAtTheRadiusWhileTheDeviceSinksIn) {
    const SphereSolid sphere(0.1);
    const Pose pose{{0.2, 0, 0}, {}};
    const Material material{1000, 0, 0, 0};
    Proxy proxy;
    proxy.update(sphere, pose, material, {0.2, 0, 0.12}, {});
    // Straight down onto the top: force k * depth, upwards.
    for (double z : {0.09, 0.08}) {
        expect_near(proxy.update(sphere, pose, material, {0.2, 0, z}, {}), {0, 0, 1000 * (0.1 - z)}, 1e-9, "top");
        expect_near(proxy.proxy_position(pose), {0.2, 0, 0.1}, 1e-12, "top");
    }
    // Held 0.08 from the centre along (0.6, 0, 0.8), the frictionless proxy
    // glides over the surface to 0.1 along it.
    Vec3 force;
    for (int tick = 0; tick < 40; ++tick) {
        force = proxy.update(sphere, pose, material, {0.248, 0, 0.064}, {});
        EXPECT_NEAR(norm(proxy.proxy_position(pose) - pose.position), 0.1, 1e-12) << tick;
    }
    expect_near(proxy.proxy_position(pose), {0.26, 0, 0.08}, 1e-12, "held");
    expect_near(force, {12, 0, 16}, 1e-9, "held");
}

TEST(ProxyOnThinPlate, PushesBackTheWayTheDeviceCame) {
    // A 1 mm plate crossed at 2 m/s: 2 mm per tick at 1 kHz.
    const BoxSolid plate({0.05, 0.05, 0.0005});
    const Material material{1000, 1, 0, 0};
    const Vec3 velocity{0, 0, -2};
    Proxy proxy;
    proxy.update(plate, {}, material, {0, 0, 0.001}, velocity);
    for (double z = -0.001; z > -0.02; z -= 0.002) {
        const Vec3 force = proxy.update(plate, {}, material, {0, 0, z}, velocity);
        ASSERT_TRUE(proxy.in_contact()) << z;
        expect_near(proxy.proxy_position({}), {0, 0, 0.0005}, 0, "on the entry face");
        // Spring to the entry face, and 1 N·s/m * 2 m/s of damping.
        expect_near(force, {0, 0, 1000 * (0.0005 - z) + 2}, 1e-9, "up");
    }
}

TEST(ProxyOnBox, LetsGoOfAHandThatSlipsOffTheEdge) {
    const BoxSolid box({0.05, 0.05, 0.02});
    const Material material{1000, 0, 0, 0};
    Proxy proxy;
    proxy.update(box, {}, material, {0.04, 0, 0.021}, {});
    expect_near(proxy.update(box, {}, material, {0.04, 0, 0.018}, {}), {0, 0, 2}, 1e-9, "on top");
    // Past the side, 2 mm below the top: the proxy goes over the edge onto
    // the side, which the hand is outside of.
    expect_near(proxy.update(box, {}, material, {0.052, 0, 0.018}, {}), {0, 0, 0}, 0, "beside");
    EXPECT_FALSE(proxy.in_contact());
}

struct FrictionCase {
    const char* name;
    std::vector<double> device_x;  // [m] along the plane, 2 mm deep, one per tick
    double proxy_x, force_x;       // [m], [N]
    bool sliding;
};

struct ProxyFriction : testing::TestWithParam<FrictionCase> {};

// Static 0.5 and dynamic 0.3 with a normal force of 1000 N/m * 2 mm = 2 N:
// the proxy holds up to 1 N along the plane and trails at 0.6 N.
TEST_P(ProxyFriction, HoldsWithinTheConeAndTrailsOutside) {
    const PlaneSolid plane;
    const Material material{1000, 0, 0.5, 0.3};
    Proxy proxy;
    proxy.update(plane, {}, material, {0, 0, 0.001}, {});
    expect_near(proxy.update(plane, {}, material, {0, 0, -0.002}, {}), {0, 0, 2}, 1e-12, "pressed");
    Vec3 force;
    for (double x : GetParam().device_x) force = proxy.update(plane, {}, material, {x, 0, -0.002}, {});
    expect_near(proxy.proxy_position({}), {GetParam().proxy_x, 0, 0}, 1e-12, "proxy");
    expect_near(force, {GetParam().force_x, 0, 2}, 1e-9, "force");
    EXPECT_EQ(proxy.sliding(), GetParam().sliding);
}

INSTANTIATE_TEST_SUITE_P(Render, ProxyFriction,
                         testing::Values(FrictionCase{"sticks_at_0_9_newton", {0.0009}, 0, -0.9, false},
                                         FrictionCase{"slides_at_1_1_newton", {0.0011}, 0.0005, -0.6, true},
                                         // Once sliding, 0.8 N is not enough to stop it...
                                         FrictionCase{"keeps_sliding", {0.0011, 0.0013}, 0.0007, -0.6, true},
                                         // ...but falling back within the dynamic cone is.
                                         FrictionCase{"stops_again", {0.0011, 0.001}, 0.0005, -0.5, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ProxyOnMovedSolid, MovesWithTheSolid) {
    const SphereSolid sphere(0.1);
    const Material material{1000, 0, 0, 0};
    Proxy proxy;
    proxy.update(sphere, {}, material, {0, 0, 0.15}, {});
    proxy.update(sphere, {}, material, {0, 0, 0.09}, {});
    // Turned a quarter about y (its top now faces +x) and moved to x = 0.5,
    // with the hand keeping its place relative to it.
    const Pose moved{{0.5, 0, 0}, Quat::about({0, 1, 0}, M_PI / 2)};
    expect_near(proxy.update(sphere, moved, material, {0.59, 0, 0}, {}), {10, 0, 0}, 1e-9, "carried");
    expect_near(proxy.proxy_position(moved), {0.6, 0, 0}, 1e-12, "carried");
    // A solid that moves onto a hand that stays still is felt too.
    proxy.reset();
    proxy.update(sphere, {}, material, {0, 0, 0.15}, {});
    expect_near(proxy.update(sphere, {{0, 0, 0.06}, {}}, material, {0, 0, 0.15}, {}), {0, 0, 10}, 1e-9, "raised");
}

struct ProxyEnergyOnPlane : testing::TestWithParam<std::pair<double, double>> {};

// 6 ticks of 0.5 mm into a 2000 N/m plane, 4 along, 6 out. Each tick's force
// acts over the next tick's motion, so going in it lags the spring by a step
// and coming out it leads it: 2000 * 0.0005^2 * 6 = 3 mJ gained. Damping b
// takes b * 0.5 m/s * 0.5 mm back on each tick along the normal that follows
// one that was: 5 in, 5 out.
TEST_P(ProxyEnergyOnPlane, CountsTheForceHeldOverEachTick) {
    const auto [damping, energy] = GetParam();
    const PlaneSolid plane;
    Proxy proxy;
    Vec3 point{0, 0, 0};
    proxy.update(plane, {}, {2000, damping, 0, 0}, point, {});
    for (const auto& [step, ticks] : {std::pair{Vec3{0, 0, -0.0005}, 6}, {Vec3{0.0005, 0, 0}, 4}, {{0, 0, 0.0005}, 6}})
        for (int i = 0; i < ticks; ++i) proxy.update(plane, {}, {2000, damping, 0, 0}, point += step, step / PERIOD);
    EXPECT_FALSE(proxy.in_contact());
    EXPECT_NEAR(proxy.energy(), energy, 1e-12);
    proxy.reset_energy();
    EXPECT_EQ(proxy.energy(), 0.0);
}

// At 4 N·s/m, leaving from 0.5 mm at 0.5 m/s would pull in 1 N against the
// spring's 1 N out: the push stops at 0, and 0.5 mJ less is taken back.
INSTANTIATE_TEST_SUITE_P(Render, ProxyEnergyOnPlane,
                         testing::Values(std::pair{0.0, 3e-3}, std::pair{1.0, 3e-3 - 10 * 2.5e-4},
                                         std::pair{2.0, 3e-3 - 10 * 5e-4}, std::pair{4.0, 3e-3 - 10 * 1e-3 + 5e-4}));

struct ClosedPath {
    const char* name;
    const Surface* solid;
    Vec3 surface_point, normal, along;  // in the solid's frame
};

struct ProxyEnergy : testing::TestWithParam<ClosedPath> {};

// In 2.8 mm at 0.5 m/s, 5 mm along, back out and home, at 1 kHz, with the
// solid tilted and moved.
double energy_of(const ClosedPath& path, double damping) {
    const Pose pose{{0.1, -0.2, 0.05}, Quat::about({1, 1, 0}, 0.7)};
    std::vector<Vec3> points{path.surface_point + path.normal * 0.0002};
    for (const auto& [step, ticks] :
         {std::pair{-path.normal, 6}, {path.along, 10}, {path.normal, 6}, {-path.along, 10}})
        for (int i = 0; i < ticks; ++i) points.push_back(points.back() + step * 0.0005);
    Proxy proxy;
    Vec3 previous = pose.to_world(points.front());
    for (const Vec3& point : points) {
        const Vec3 world = pose.to_world(point);
        proxy.update(*path.solid, pose, {2000, damping, 0, 0}, world, (world - previous) / PERIOD);
        previous = world;
    }
    EXPECT_FALSE(proxy.in_contact());
    return proxy.energy();
}

TEST_P(ProxyEnergy, IsNotGainedOverAClosedPathWithEnoughDamping) {
    // Undamped, the force held over each tick gives the hand energy...
    EXPECT_GT(energy_of(GetParam(), 0.0), 0.0);
    // ...which twice the damping the bound asks of 2000 N/m at 1 kHz for a
    // hand without damping of its own, 2000 / (2 * 1000) = 1 N·s/m, takes
    // back: the bound holds for steady motion, each turn costs a tick more.
    EXPECT_LE(energy_of(GetParam(), 2.0), 0.0);
}

const PlaneSolid plane;
const SphereSolid sphere(0.05);
const BoxSolid box({0.05, 0.03, 0.02});
const CapsuleSolid capsule(0.02, 0.05);
const CylinderSolid cylinder(0.03, 0.02);

INSTANTIATE_TEST_SUITE_P(Render, ProxyEnergy,
                         testing::Values(ClosedPath{"plane", &plane, {0, 0, 0}, {0, 0, 1}, {1, 0, 0}},
                                         ClosedPath{"sphere", &sphere, {0, 0, 0.05}, {0, 0, 1}, {1, 0, 0}},
                                         ClosedPath{"box", &box, {0, 0, 0.02}, {0, 0, 1}, {0, 1, 0}},
                                         ClosedPath{"capsule", &capsule, {0.02, 0, 0}, {1, 0, 0}, {0, 0, 1}},
                                         ClosedPath{"cylinder", &cylinder, {0, 0, 0.02}, {0, 0, 1}, {1, 0, 0}}),
                         [](const auto& info) { return std::string(info.param.name); });

// With the arm's 0.5 N·s/m: 2 * (1 + 0.5) * 1000 = 3000 N/m, at 4 kHz 12000 N/m.
TEST(ProxyStability, RefusesStiffnessAboveTheBound) {
    EXPECT_EQ(stability_problem({5000, 1, 0, 0}, 1000),
              "stiffness 5000 N/m is above 3000 N/m, the most a 1000 Hz loop keeps passive with 1 N·s/m of damping "
              "(raise the damping or the rate, or allow an active shape)");
    EXPECT_EQ(stability_problem({5000, 1, 0, 0}, 4000), "");
    EXPECT_EQ(stability_problem({3000, 1, 0, 0}, 1000), "");
    EXPECT_EQ(stability_problem({3000, 1, 0, 0}, 0), "loop rate 0 Hz must be finite and above 0");
}

TEST(MaterialValues, AreRefusedByName) {
    const std::pair<Material, const char*> cases[] = {
        {{-1, 0, 0, 0}, "material stiffness must be finite and 0 or more, not -1"},
        {{1, NAN, 0, 0}, "material damping must be finite and 0 or more, not nan"},
        {{1, 0, INFINITY, 0}, "material static_friction must be finite and 0 or more, not inf"},
        {{1, 0, 0.2, 0.3}, "material dynamic_friction 0.3 is above its static_friction 0.2"}};
    for (const auto& [material, message] : cases) {
        try {
            validate(material);
            ADD_FAILURE() << "no exception: " << message;
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), message);
        }
    }
    EXPECT_NO_THROW(validate({1000, 1, 0.5, 0.5}));
}

}  // namespace

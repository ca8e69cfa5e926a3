// The servo thread allocates nothing once it runs: every operator new of
// the program is counted here while the thread that renders does it.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <thread>

#include "KivraHardwareAPI/Mesh.h"
#include "KivraHardwareAPI/ServoLoop.h"
#include "KivraHardwareAPI/ShapeScene.h"
#include "KivraHardwareAPI/Shapes.h"
#include "PtyPeer.h"
#include "TestSupport.h"

namespace {
thread_local bool counted_thread = false;
std::atomic<uint64_t> allocations{0};
}  // namespace

// The pair below matches malloc and free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    if (counted_thread) ++allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

using namespace Kivra::HardwareAPI::Servo;
namespace Render = Kivra::HardwareAPI::Render;
using Kivra::HardwareAPI::Devices::Pendra3;
using Kivra::HardwareAPI::IO::SerialStream;

namespace {

// From its first call on, the servo thread's allocations count.
void mark_thread(const Render::CEffectInput*, double force[3], void*) {
    counted_thread = true;
    force[0] = 0.0;
}

// A scene of every kind of part, the sphere moved a little each time.
std::unique_ptr<Render::ShapeScene> scene(int i, const std::shared_ptr<const Render::Surface>& mesh) {
    using namespace Kivra::HardwareAPI::Render;
    std::vector<SceneShape> shapes{
        {std::make_shared<SphereSolid>(0.02), Pose{{0.0, 0.0, 0.001 * (i % 5)}, {}}, {500.0, 2.0, 0.5, 0.3}, 1},
        {mesh, Pose{{0.0, 0.05, 0.0}, {}}, {500.0, 2.0, 0.0, 0.0}, 2}};
    FieldSet fields;
    fields.add(Guide({{0.0, 0.0, 0.0}, {0.1, 0.0, 0.0}, {0.1, 0.1, 0.0}}, 50.0, 1.0, 2.0));
    fields.add(Vibration(0.1, 50.0, {0.0, 0.0, 1.0}));
    return std::make_unique<ShapeScene>(std::move(shapes), fields, std::vector<CEffect>{{mark_thread, nullptr, 0.0}},
                                        1000.0);
}

TEST(ServoAllocations, NoneOnTheServoThreadWhileScenesAndEffectsChange) {
    std::thread([] {
        counted_thread = true;
        ::operator delete(::operator new(16));  // a new-expression could be elided
    }).join();
    ASSERT_EQ(allocations.exchange(0), 1u);  // the count sees a marked thread's allocation

    PtyPeer pty;
    pty.answer_each(13, [](const Bytes&) { return floats(43, {0.01f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f}); });
    SerialStream stream(pty.path().c_str());
    Pendra3 arm(&stream);
    LoopOptions options;
    options.realtime = false;
    options.exchange_timeout = 2.0;
    ServoLoop loop(arm, options);
    ASSERT_TRUE(loop.start());
    Effects effects;
    effects.spring.enabled = true;
    const std::vector<Render::Triangle> cube{
        {{0, 0, 0}, {0, 1, 0}, {1, 1, 0}}, {{0, 0, 0}, {1, 1, 0}, {1, 0, 0}}, {{0, 0, 1}, {1, 0, 1}, {1, 1, 1}},
        {{0, 0, 1}, {1, 1, 1}, {0, 1, 1}}, {{0, 0, 0}, {1, 0, 0}, {1, 0, 1}}, {{0, 0, 0}, {1, 0, 1}, {0, 0, 1}},
        {{0, 1, 0}, {0, 1, 1}, {1, 1, 1}}, {{0, 1, 0}, {1, 1, 1}, {1, 1, 0}}, {{0, 0, 0}, {0, 0, 1}, {0, 1, 1}},
        {{0, 0, 0}, {0, 1, 1}, {0, 1, 0}}, {{1, 0, 0}, {1, 1, 0}, {1, 1, 1}}, {{1, 0, 0}, {1, 1, 1}, {1, 0, 1}}};
    const std::shared_ptr<const Render::Surface> mesh = std::make_shared<Render::MeshSolid>(cube);
    for (int i = 0; i < 100; ++i) {
        loop.set_scene(scene(i, mesh));
        effects.spring.stiffness = float(i);
        loop.set_effects(effects);
        loop.set_host_force({0.0f, 0.01f * i, 0.0f});
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    loop.stop();
    EXPECT_GT(loop.statistics().ticks, 100u);
    EXPECT_EQ(loop.statistics().failed_exchanges, 0u);
    EXPECT_EQ(allocations.load(), 0u);
}

}  // namespace

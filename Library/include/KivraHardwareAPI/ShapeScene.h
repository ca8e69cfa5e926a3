#pragma once

// A haptic scene as the servo loop renders it: solids felt through their
// proxies, force fields, and force laws of the program's own in C. The host
// builds one whole (everything checked and allocated here) and hands it to
// ServoLoop::set_scene; the servo thread then only renders it.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "KivraHardwareAPI/Fields.h"
#include "KivraHardwareAPI/Proxy.h"
#include "KivraHardwareAPI/ServoLoop.h"
#include "KivraHardwareAPI/Surface.h"

namespace Kivra::HardwareAPI::Render {

// A solid placed in the scene. id ties a shape to its namesake in the scene
// it replaces: a shape moved by a new scene keeps its contact (0: never).
struct SceneShape {
    std::shared_ptr<const Surface> solid;
    Pose pose;
    Material material;
    uint64_t id = 0;
    // Renders a stiffness beyond what the loop keeps passive, on the
    // program's word; the energy watch still releases it when it runs away.
    bool allow_active = false;
};

// The tick as a force law of the program's own sees it.
struct CEffectInput {
    double time;         // [s] since the loop started
    double period;       // [s]
    double position[3];  // [m]
    double velocity[3];  // [m/s]
    double force[3];     // [N] of the scene so far (solids and fields)
};
// Sets force [N] for this tick; runs on the servo thread, so it must not
// block, allocate or take the interpreter lock. context is the program's.
using CEffectFunction = void (*)(const CEffectInput* input, double force[3], void* context);

struct CEffect {
    CEffectFunction function = nullptr;
    void* context = nullptr;
    double budget = 0.0;  // [s] a tick may take; over it, that tick's force is dropped (0: a fifth of the period)
};

// Work [J] a shape may do on the hand, summed since it was handed over,
// before the energy watch releases it: a passive shape gives back at most
// what the hand stored in it, far below this for the arm's forces.
constexpr double ENERGY_LIMIT = 0.5;

// What a scene counts while it runs, shared with whoever watches it, so
// that the counts outlive a scene the loop has let go.
struct SceneCounters {
    std::atomic<uint64_t> released_shapes{0};       // shapes the energy watch released
    std::atomic<uint64_t> dropped_effect_ticks{0};  // ticks a force law's force was dropped
};

class ShapeScene final : public Servo::Scene {
public:
    // Throws std::invalid_argument naming the shape: no solid, a material
    // validate() refuses, or (unless allow_active) a stiffness above
    // passive_stiffness_limit at rate [Hz], with the bound in the message.
    ShapeScene(std::vector<SceneShape> shapes, const FieldSet& fields, std::vector<CEffect> effects, double rate,
               std::shared_ptr<SceneCounters> counters = std::make_shared<SceneCounters>());

    std::array<double, 3> render(const Servo::SceneInput& input) noexcept override;
    void continue_from(Servo::Scene& previous) noexcept override;

    std::size_t size() const { return shapes_.size(); }
    const SceneShape& shape(std::size_t i) const { return shapes_[i]; }
    // Read from any thread while the loop runs.
    bool released(std::size_t shape) const { return released_[shape].load(std::memory_order_relaxed); }
    uint64_t released_shapes() const { return counters_->released_shapes.load(std::memory_order_relaxed); }
    uint64_t dropped_effect_ticks() const { return counters_->dropped_effect_ticks.load(std::memory_order_relaxed); }
    // Keeps what the scene's parts need alive as long as the scene (a loaded
    // library of force laws); released with it, on the host's side.
    void keep(std::shared_ptr<const void> resource) { kept_.push_back(std::move(resource)); }

private:
    std::vector<SceneShape> shapes_;
    std::vector<Proxy> proxies_;
    std::unique_ptr<std::atomic<bool>[]> released_;
    FieldSet fields_;
    std::vector<CEffect> effects_;
    std::shared_ptr<SceneCounters> counters_;
    std::vector<std::shared_ptr<const void>> kept_;
};

}  // namespace Kivra::HardwareAPI::Render

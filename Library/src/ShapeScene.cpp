#include "KivraHardwareAPI/ShapeScene.h"

#include <time.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "KivraHardwareAPI/Clock.h"

namespace Kivra::HardwareAPI::Render {

namespace {

std::string named(std::size_t index, const std::string& problem) {
    return "shape " + std::to_string(index) + ": " + problem;
}

}  // namespace

ShapeScene::ShapeScene(std::vector<SceneShape> shapes, const FieldSet& fields, std::vector<CEffect> effects,
                       double rate, std::shared_ptr<SceneCounters> counters)
    : shapes_(std::move(shapes)),
      proxies_(shapes_.size()),
      released_(new std::atomic<bool>[shapes_.size()]),
      fields_(fields),
      effects_(std::move(effects)),
      counters_(std::move(counters)) {
    if (!counters_) counters_ = std::make_shared<SceneCounters>();
    if (!(std::isfinite(rate) && rate > 0.0)) throw std::invalid_argument("the loop's rate must be above 0 Hz");
    for (std::size_t i = 0; i < shapes_.size(); ++i) {
        const SceneShape& shape = shapes_[i];
        released_[i].store(false);
        if (!shape.solid) throw std::invalid_argument(named(i, "no solid"));
        if (!finite(shape.pose.position)) throw std::invalid_argument(named(i, "its position is not finite"));
        try {
            validate(shape.material);
        } catch (const std::invalid_argument& error) {
            throw std::invalid_argument(named(i, error.what()));
        }
        if (!shape.allow_active) {
            const std::string problem = stability_problem(shape.material, rate);
            if (!problem.empty()) throw std::invalid_argument(named(i, problem));
        }
        shapes_[i].pose.orientation = shape.pose.orientation.normalized();
    }
    for (const CEffect& effect : effects_) {
        if (effect.function == nullptr) throw std::invalid_argument("a force law without a function");
        if (!(std::isfinite(effect.budget) && effect.budget >= 0.0))
            throw std::invalid_argument("a force law's time budget must be 0 or more seconds");
    }
}

void ShapeScene::continue_from(Servo::Scene& previous) noexcept {
    auto* before = dynamic_cast<ShapeScene*>(&previous);
    if (before == nullptr) return;
    for (std::size_t i = 0; i < shapes_.size(); ++i) {
        if (shapes_[i].id == 0) continue;
        for (std::size_t j = 0; j < before->shapes_.size(); ++j) {
            if (before->shapes_[j].id != shapes_[i].id) continue;
            proxies_[i] = before->proxies_[j];
            if (before->released(j)) released_[i].store(true, std::memory_order_relaxed);
            break;
        }
    }
}

std::array<double, 3> ShapeScene::render(const Servo::SceneInput& input) noexcept {
    const Vec3 position{input.position[0], input.position[1], input.position[2]};
    const Vec3 velocity{input.velocity[0], input.velocity[1], input.velocity[2]};
    Vec3 force{};
    for (std::size_t i = 0; i < shapes_.size(); ++i) {
        if (released_[i].load(std::memory_order_relaxed)) continue;
        const SceneShape& shape = shapes_[i];
        const Vec3 pushed = proxies_[i].update(*shape.solid, shape.pose, shape.material, position, velocity);
        if (proxies_[i].energy() > ENERGY_LIMIT) {
            // It keeps giving the hand energy: an active shape, felt no more.
            released_[i].store(true, std::memory_order_relaxed);
            counters_->released_shapes.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        force += pushed;
    }
    force += fields_.force(position, velocity, input.time);

    for (const CEffect& effect : effects_) {
        CEffectInput given{input.time,
                           input.period,
                           {position.x, position.y, position.z},
                           {velocity.x, velocity.y, velocity.z},
                           {force.x, force.y, force.z}};
        double out[3] = {0.0, 0.0, 0.0};
        const long long started = monotonic_nanoseconds();
        effect.function(&given, out, effect.context);
        const double took = 1e-9 * double(monotonic_nanoseconds() - started);
        const double budget = effect.budget > 0.0 ? effect.budget : 0.2 * input.period;
        const Vec3 added{out[0], out[1], out[2]};
        if (took > budget || !finite(added)) {
            counters_->dropped_effect_ticks.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        force += added;
    }
    return {force.x, force.y, force.z};
}

}  // namespace Kivra::HardwareAPI::Render

// The servo loop behind the C interface. The loop's structs are copied field
// by field: the C structs are a stable layout of their own, not a mirror that
// would change whenever the core's records do.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

#include "KivraHardwareAPI/ServoLoop.h"
#include "capi_internal.h"
#include "kivra/kivra_scene.h"
#include "scene_internal.h"
#include "servo_internal.h"

using namespace kivra_capi;
namespace Servo = Kivra::HardwareAPI::Servo;
using Servo::Vector3;

static_assert(Servo::MAX_WALLS == sizeof(kivra_effects::walls) / sizeof(kivra_wall) &&
                  Servo::MAX_WALLS == KIVRA_MAX_WALLS,
              "one C wall per wall of the core");
static_assert(Servo::MAX_WALL_STIFFNESS == KIVRA_MAX_WALL_STIFFNESS &&
                  Servo::MAX_SPRING_STIFFNESS == KIVRA_MAX_SPRING_STIFFNESS &&
                  Servo::MAX_EFFECT_DAMPING == KIVRA_MAX_EFFECT_DAMPING,
              "the C gain ranges are the core's");
static_assert(Servo::MAX_FORCE == KIVRA_MAX_FORCE && Servo::LOWEST_RATE == KIVRA_SERVO_LOWEST_RATE &&
                  Servo::HIGHEST_RATE == KIVRA_SERVO_HIGHEST_RATE,
              "the C limits are the core's");

namespace {

Vector3 vector_of(const float* values) { return {values[0], values[1], values[2]}; }

void copy_vector(float* out, const Vector3& values) { std::memcpy(out, values.data(), sizeof(values)); }

Servo::Effects effects_of(const kivra_effects& in) {
    Servo::Effects out;
    out.spring.enabled = in.spring.enabled != 0;
    out.spring.anchor = vector_of(in.spring.anchor);
    out.spring.stiffness = in.spring.stiffness;
    out.spring.damping = in.spring.damping;
    for (std::size_t i = 0; i < Servo::MAX_WALLS; ++i) {
        out.walls[i].enabled = in.walls[i].enabled != 0;
        out.walls[i].point = vector_of(in.walls[i].point);
        out.walls[i].normal = vector_of(in.walls[i].normal);
        out.walls[i].stiffness = in.walls[i].stiffness;
        out.walls[i].damping = in.walls[i].damping;
    }
    out.viscous_damping = in.viscous_damping;
    out.constant_force = vector_of(in.constant_force);
    out.force_limit = in.force_limit;
    return out;
}

void copy_effects(kivra_effects& out, const Servo::Effects& in) {
    out.spring.enabled = in.spring.enabled ? 1 : 0;
    copy_vector(out.spring.anchor, in.spring.anchor);
    out.spring.stiffness = in.spring.stiffness;
    out.spring.damping = in.spring.damping;
    for (std::size_t i = 0; i < Servo::MAX_WALLS; ++i) {
        out.walls[i].enabled = in.walls[i].enabled ? 1 : 0;
        copy_vector(out.walls[i].point, in.walls[i].point);
        copy_vector(out.walls[i].normal, in.walls[i].normal);
        out.walls[i].stiffness = in.walls[i].stiffness;
        out.walls[i].damping = in.walls[i].damping;
    }
    out.viscous_damping = in.viscous_damping;
    copy_vector(out.constant_force, in.constant_force);
    out.force_limit = in.force_limit;
}

void copy_percentiles(kivra_percentiles& out, const Servo::Percentiles& in) {
    out.p50 = in.p50;
    out.p99 = in.p99;
    out.p999 = in.p999;
    out.max = in.max;
}

// Every loop that has not been destroyed, so that the process's end can stop
// those still running: a loop left running at exit would leave the last
// force on the arm. Never destroyed itself, so that it outlives every other
// static that an exit handler might still touch.
struct Registry {
    std::mutex mutex;
    std::set<kivra_servo*> loops;
    bool exit_handler_installed = false;
};

Registry& registry() {
    static Registry* const loops = new Registry;
    return *loops;
}

// Stops the loop and gives the arm back; a second call finds nothing to do.
void stop_loop(kivra_servo& servo) {
    std::lock_guard<std::mutex> lock(servo.stopping);
    servo.loop->stop();
    if (servo.counted) {
        servo.counted = false;
        servo.core->running_loops.fetch_sub(1);
    }
}

void stop_every_loop() noexcept {
    try {
        Registry& loops = registry();
        std::lock_guard<std::mutex> lock(loops.mutex);
        for (kivra_servo* servo : loops.loops) stop_loop(*servo);
    } catch (...) {
        // At the process's end there is nobody left to tell.
    }
}

void register_loop(kivra_servo* servo) {
    Registry& loops = registry();
    std::lock_guard<std::mutex> lock(loops.mutex);
    loops.loops.insert(servo);
    if (!loops.exit_handler_installed) {
        loops.exit_handler_installed = std::atexit([] { stop_every_loop(); }) == 0;
    }
}

void unregister_loop(kivra_servo* servo) {
    Registry& loops = registry();
    std::lock_guard<std::mutex> lock(loops.mutex);
    loops.loops.erase(servo);
}

// Unloading the library (dlclose) with a loop running would pull its code
// from under the servo thread.
__attribute__((destructor)) void stop_loops_on_unload() { stop_every_loop(); }

}  // namespace

void copy_tick(kivra_tick& out, const Servo::TickState& in) {
    out.tick = in.tick;
    out.time = in.time;
    copy_vector(out.position, in.position);
    copy_vector(out.velocity, in.velocity);
    copy_vector(out.force, in.force);
    copy_vector(out.host_force, in.host_force);
    out.outcome = in.outcome;
    out.wakeup_lateness = in.wakeup_lateness;
    out.exchange_time = in.exchange_time;
    out.effects_changes = in.effects_changes;
    out.scene_changes = in.scene_changes;
}

extern "C" {

void kivra_servo_default_options(kivra_servo_options* options) {
    if (options == nullptr) return;
    const Servo::LoopOptions defaults;
    options->exchange_timeout = defaults.exchange_timeout;
    options->host_force_hold = defaults.host_force_hold;
    options->host_force_ramp = defaults.host_force_ramp;
    options->realtime = defaults.realtime ? 1 : 0;
    options->realtime_priority = defaults.realtime_priority;
    options->trace_capacity = defaults.trace_capacity;
}

void kivra_effects_default(kivra_effects* effects) {
    if (effects != nullptr) copy_effects(*effects, Servo::Effects{});
}

kivra_status kivra_servo_start(kivra_arm* arm, double rate, const kivra_servo_options* options, kivra_servo** servo,
                               int32_t* detail) {
    if (servo != nullptr) *servo = nullptr;
    if (arm == nullptr || servo == nullptr || !(rate >= Servo::LOWEST_RATE && rate <= Servo::HIGHEST_RATE)) {
        return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    }
    kivra_servo_options chosen;
    kivra_servo_default_options(&chosen);
    if (options != nullptr) chosen = *options;
    if (!std::isfinite(chosen.exchange_timeout) || chosen.exchange_timeout < 0.0 ||
        !std::isfinite(chosen.host_force_hold) || chosen.host_force_hold < 0.0 ||
        !std::isfinite(chosen.host_force_ramp) || chosen.host_force_ramp < 0.0 || chosen.trace_capacity == 0) {
        return with_detail(detail, KIVRA_INVALID_ARGUMENT);
    }
    return guarded(detail, [&]() -> kivra_status {
        Servo::LoopOptions loop_options;
        loop_options.rate = rate;
        loop_options.exchange_timeout = chosen.exchange_timeout;
        loop_options.host_force_hold = chosen.host_force_hold;
        loop_options.host_force_ramp = chosen.host_force_ramp;
        loop_options.realtime = chosen.realtime != 0;
        loop_options.realtime_priority = chosen.realtime_priority;
        loop_options.trace_capacity = static_cast<std::size_t>(chosen.trace_capacity);

        ArmCore& core = *arm->core;
        auto started = std::make_unique<kivra_servo>();
        started->core = arm->core;
        started->rate = rate;
        started->loop = std::make_shared<Servo::ServoLoop>(core.device, loop_options);
        std::lock_guard<std::recursive_mutex> lock(core.stream.exchange_mutex());
        if (!core.open.load()) return with_detail(detail, KIVRA_CLOSED);
        if (core.running_loops.load() > 0) return with_detail(detail, KIVRA_BUSY);
        core.running_loops.fetch_add(1);
        started->counted = true;
        if (!started->loop->start()) {
            started->counted = false;
            core.running_loops.fetch_sub(1);
            return with_detail(detail, KIVRA_INTERNAL_ERROR);
        }
        *servo = started.release();
        register_loop(*servo);
        return with_detail(detail, KIVRA_OK);
    });
}

kivra_status kivra_servo_stop(kivra_servo* servo) {
    if (servo == nullptr) return KIVRA_INVALID_ARGUMENT;
    return guarded(nullptr, [&]() -> kivra_status {
        stop_loop(*servo);
        return KIVRA_OK;
    });
}

void kivra_servo_stop_all(void) { stop_every_loop(); }

void kivra_servo_destroy(kivra_servo* servo) {
    if (servo == nullptr) return;
    unregister_loop(servo);
    end_recordings(*servo);
    kivra_servo_stop(servo);
    delete servo;
}

int32_t kivra_servo_is_running(const kivra_servo* servo) { return servo != nullptr && servo->loop->running() ? 1 : 0; }

kivra_status kivra_servo_set_effects(kivra_servo* servo, const kivra_effects* effects) {
    if (servo == nullptr || effects == nullptr || kivra_effects_problem(effects) != nullptr)
        return KIVRA_INVALID_ARGUMENT;
    return guarded(nullptr, [&]() -> kivra_status {
        servo->loop->set_effects(effects_of(*effects));
        return KIVRA_OK;
    });
}

const char* kivra_effects_problem(const kivra_effects* effects) {
    if (effects == nullptr) return "effects must not be NULL";
    return Servo::effects_problem(effects_of(*effects));
}

kivra_status kivra_servo_get_effects(const kivra_servo* servo, kivra_effects* effects) {
    if (servo == nullptr || effects == nullptr) return KIVRA_INVALID_ARGUMENT;
    return guarded(nullptr, [&]() -> kivra_status {
        copy_effects(*effects, servo->loop->effects());
        return KIVRA_OK;
    });
}

kivra_status kivra_servo_set_host_force(kivra_servo* servo, const float force[3]) {
    if (servo == nullptr || force == nullptr || !finite_vector(force)) return KIVRA_INVALID_ARGUMENT;
    return guarded(nullptr, [&]() -> kivra_status {
        servo->loop->set_host_force(vector_of(force));
        return KIVRA_OK;
    });
}

kivra_status kivra_servo_release(kivra_servo* servo) {
    if (servo == nullptr) return KIVRA_INVALID_ARGUMENT;
    return guarded(nullptr, [&]() -> kivra_status {
        servo->loop->release();
        return KIVRA_OK;
    });
}

kivra_status kivra_servo_get_state(const kivra_servo* servo, kivra_tick* tick) {
    if (servo == nullptr || tick == nullptr) return KIVRA_INVALID_ARGUMENT;
    return guarded(nullptr, [&]() -> kivra_status {
        copy_tick(*tick, servo->loop->state());
        return KIVRA_OK;
    });
}

kivra_status kivra_servo_drain_trace(kivra_servo* servo, kivra_tick* ticks, size_t capacity, size_t* count) {
    if (count != nullptr) *count = 0;
    if (servo == nullptr || count == nullptr || (ticks == nullptr && capacity > 0)) return KIVRA_INVALID_ARGUMENT;
    return guarded(nullptr, [&]() -> kivra_status {
        // Drained in small batches so that no buffer of the core's records
        // the size of the caller's is needed.
        constexpr std::size_t batch = 256;
        Servo::TickState states[batch];
        std::size_t total = 0;
        while (total < capacity) {
            const std::size_t wanted = std::min(batch, capacity - total);
            const std::size_t got = servo->loop->drain_trace(states, wanted);
            for (std::size_t i = 0; i < got; ++i) copy_tick(ticks[total + i], states[i]);
            total += got;
            if (got < wanted) break;
        }
        *count = total;
        return KIVRA_OK;
    });
}

kivra_status kivra_servo_get_started_at(const kivra_servo* servo, int64_t* nanoseconds) {
    if (servo == nullptr || nanoseconds == nullptr) return KIVRA_INVALID_ARGUMENT;
    *nanoseconds = servo->loop->started_at();
    return KIVRA_OK;
}

kivra_status kivra_servo_get_statistics(const kivra_servo* servo, kivra_servo_statistics* statistics) {
    if (servo == nullptr || statistics == nullptr) return KIVRA_INVALID_ARGUMENT;
    return guarded(nullptr, [&]() -> kivra_status {
        const Servo::LoopStatistics in = servo->loop->statistics();
        kivra_servo_statistics& out = *statistics;
        out.ticks = in.ticks;
        out.missed_deadlines = in.missed_deadlines;
        out.failed_exchanges = in.failed_exchanges;
        out.timeouts = in.timeouts;
        out.short_replies = in.short_replies;
        out.wrong_codes = in.wrong_codes;
        out.hang_ups = in.hang_ups;
        out.late_replies_discarded = in.late_replies_discarded;
        out.refused_forces = in.refused_forces;
        out.trace_dropped = servo->loop->trace_dropped();
        copy_percentiles(out.wakeup_lateness, in.wakeup_lateness);
        copy_percentiles(out.exchange_time, in.exchange_time);
        out.elapsed = in.elapsed;
        out.realtime_granted = in.realtime_granted ? 1 : 0;
        out.memory_locked = in.memory_locked ? 1 : 0;
        out.realtime_errno = in.realtime_errno;
        out.last_failure = static_cast<kivra_status>(in.last_failure.kind);
        out.last_failure_detail = in.last_failure.detail;
        return KIVRA_OK;
    });
}

kivra_status kivra_servo_set_scene(kivra_servo* servo, kivra_scene* scene) {
    if (servo == nullptr) return KIVRA_INVALID_ARGUMENT;
    if (scene != nullptr) scene->error.clear();
    try {
        if (scene == nullptr) {
            servo->loop->set_scene(nullptr);
            return KIVRA_OK;
        }
        auto built = std::make_unique<Kivra::HardwareAPI::Render::ShapeScene>(
            scene->shapes, scene->fields, scene->effects, servo->rate, servo->scene_counters);
        for (const auto& library : scene->libraries) built->keep(library);
        servo->loop->set_scene(std::move(built));
        return KIVRA_OK;
    } catch (const std::invalid_argument& error) {
        scene->error = error.what();
        return KIVRA_INVALID_ARGUMENT;
    } catch (const std::bad_alloc&) {
        return KIVRA_OUT_OF_MEMORY;
    } catch (...) {
        return KIVRA_INTERNAL_ERROR;
    }
}

kivra_status kivra_servo_get_scene_statistics(const kivra_servo* servo, kivra_scene_statistics* statistics) {
    if (servo == nullptr || statistics == nullptr) return KIVRA_INVALID_ARGUMENT;
    statistics->released_shapes = servo->scene_counters->released_shapes.load(std::memory_order_relaxed);
    statistics->dropped_effect_ticks = servo->scene_counters->dropped_effect_ticks.load(std::memory_order_relaxed);
    return KIVRA_OK;
}

}  // extern "C"

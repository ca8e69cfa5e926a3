// The bridge behind its C interface. It reaches the loop of a kivra_servo,
// and the core of a kivra_handle, through their layouts, which it shares
// with libkivra by being built from the same sources in the same build.

#include "kivra/kivra_bridge.h"

#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "KivraBridge/Bridge.h"
#include "capi_internal.h"

using Kivra::Bridge::Bridge;
using Kivra::Bridge::BridgeOptions;

struct kivra_bridge {
    std::shared_ptr<kivra_capi::ArmCore> core;  // the arm the loop exchanges with outlives the bridge
    std::unique_ptr<Bridge> bridge;
};

namespace {

thread_local std::string last_error;

BridgeOptions options_of(const kivra_bridge_options& in) {
    BridgeOptions out;
    if (in.name_space != nullptr) out.name_space = in.name_space;
    out.domain = in.domain;
    out.state_rate = in.state_rate;
    out.diagnostics_rate = in.diagnostics_rate;
    out.receive_delay = in.receive_delay;
    out.receive_loss = in.receive_loss;
    out.loss_seed = in.loss_seed;
    if (in.peer != nullptr) out.peer = in.peer;
    out.coupling_stiffness = in.coupling_stiffness;
    out.coupling_damping = in.coupling_damping;
    out.passivity_control = in.passivity_control != 0;
    out.max_passivity_damping = in.max_passivity_damping;
    return out;
}

}  // namespace

extern "C" {

void kivra_bridge_default_options(kivra_bridge_options* options) {
    if (options == nullptr) return;
    const BridgeOptions defaults;
    options->name_space = nullptr;
    options->domain = defaults.domain;
    options->state_rate = defaults.state_rate;
    options->diagnostics_rate = defaults.diagnostics_rate;
    options->receive_delay = defaults.receive_delay;
    options->receive_loss = defaults.receive_loss;
    options->loss_seed = defaults.loss_seed;
    options->peer = nullptr;
    options->coupling_stiffness = defaults.coupling_stiffness;
    options->coupling_damping = defaults.coupling_damping;
    options->passivity_control = defaults.passivity_control ? 1 : 0;
    options->max_passivity_damping = defaults.max_passivity_damping;
}

const char* kivra_bridge_options_problem(const kivra_bridge_options* options) {
    if (options == nullptr) return "options must not be NULL";
    try {
        return Kivra::Bridge::options_problem(options_of(*options));
    } catch (...) {
        return "options could not be read";
    }
}

kivra_status kivra_bridge_start(kivra_servo* servo, const kivra_bridge_options* options, kivra_bridge** bridge,
                                int32_t* detail) {
    if (bridge != nullptr) *bridge = nullptr;
    if (detail != nullptr) *detail = 0;
    if (servo == nullptr || bridge == nullptr) return KIVRA_INVALID_ARGUMENT;
    kivra_bridge_options chosen;
    kivra_bridge_default_options(&chosen);
    if (options != nullptr) chosen = *options;
    if (kivra_bridge_options_problem(&chosen) != nullptr) return KIVRA_INVALID_ARGUMENT;
    try {
        auto started = std::make_unique<kivra_bridge>();
        started->core = servo->core;
        started->bridge = std::make_unique<Bridge>(servo->loop, options_of(chosen));
        *bridge = started.release();
        return KIVRA_OK;
    } catch (const std::bad_alloc&) {
        return KIVRA_OUT_OF_MEMORY;
    } catch (const std::exception& error) {
        last_error = error.what();
        return KIVRA_INTERNAL_ERROR;
    } catch (...) {
        return KIVRA_INTERNAL_ERROR;
    }
}

const char* kivra_bridge_last_error(void) { return last_error.c_str(); }

kivra_status kivra_bridge_stop(kivra_bridge* bridge) {
    if (bridge == nullptr) return KIVRA_INVALID_ARGUMENT;
    try {
        bridge->bridge->stop();
        return KIVRA_OK;
    } catch (...) {
        return KIVRA_INTERNAL_ERROR;
    }
}

void kivra_bridge_destroy(kivra_bridge* bridge) {
    if (bridge == nullptr) return;
    kivra_bridge_stop(bridge);
    delete bridge;
}

kivra_status kivra_bridge_attach_handle(kivra_bridge* bridge, kivra_handle* handle) {
    if (bridge == nullptr || handle == nullptr) return KIVRA_INVALID_ARGUMENT;
    return kivra_capi::guarded(nullptr, [&]() -> kivra_status {
        std::shared_ptr<kivra_capi::HandleCore> core = handle->core;
        if (!core->open.load()) return KIVRA_CLOSED;
        bool free = false;
        if (!core->read_elsewhere.compare_exchange_strong(free, true)) return KIVRA_BUSY;
        Kivra::Bridge::HandleSource source;
        source.read = [core](Kivra::HardwareAPI::Devices::ManiloStatus& status, double timeout) {
            return kivra_capi::read_status_frame(*core, timeout, status, nullptr);
        };
        source.release = [core] { core->read_elsewhere.store(false); };
        switch (bridge->bridge->attach_handle(std::move(source))) {
            case Kivra::Bridge::HandleAttach::attached: return KIVRA_OK;
            case Kivra::Bridge::HandleAttach::stopped: return KIVRA_CLOSED;
            case Kivra::Bridge::HandleAttach::already_reading: return KIVRA_BUSY;
        }
        return KIVRA_INTERNAL_ERROR;
    });
}

kivra_status kivra_bridge_get_statistics(const kivra_bridge* bridge, kivra_bridge_statistics* statistics) {
    if (bridge == nullptr || statistics == nullptr) return KIVRA_INVALID_ARGUMENT;
    const Kivra::Bridge::BridgeStatistics in = bridge->bridge->statistics();
    statistics->published_states = in.published_states;
    statistics->published_diagnostics = in.published_diagnostics;
    statistics->trace_dropped = in.trace_dropped;
    statistics->force_commands = in.force_commands;
    statistics->refused_force_commands = in.refused_force_commands;
    statistics->effects_applied = in.effects_applied;
    statistics->refused_effects = in.refused_effects;
    statistics->received_peer_states = in.received_peer_states;
    statistics->lost_messages = in.lost_messages;
    statistics->handle_frames = in.handle_frames;
    statistics->handle_timeouts = in.handle_timeouts;
    statistics->handle_reading = in.handle_reading ? 1 : 0;
    statistics->handle_failure = in.handle_failure;
    return KIVRA_OK;
}

kivra_status kivra_bridge_last_refusal(const kivra_bridge* bridge, char* text, size_t capacity) {
    if (bridge == nullptr || text == nullptr || capacity == 0) return KIVRA_INVALID_ARGUMENT;
    const std::string refusal = bridge->bridge->statistics().last_refusal;
    const std::size_t length = std::min(refusal.size(), capacity - 1);
    std::memcpy(text, refusal.data(), length);
    text[length] = '\0';
    return KIVRA_OK;
}

kivra_status kivra_bridge_get_coupling(const kivra_bridge* bridge, kivra_coupling_state* state) {
    if (bridge == nullptr || state == nullptr) return KIVRA_INVALID_ARGUMENT;
    const Kivra::Bridge::CouplingState in = bridge->bridge->coupling();
    state->coupled = in.coupled ? 1 : 0;
    state->energy_in = in.energy_in;
    state->energy_out = in.energy_out;
    state->peer_energy_in = in.peer_energy_in;
    state->observed_energy = in.observed_energy;
    state->passivity_damping = in.passivity_damping;
    state->dissipated = in.dissipated;
    state->error = in.error;
    state->longest_positive = in.longest_positive;
    return KIVRA_OK;
}

}  // extern "C"

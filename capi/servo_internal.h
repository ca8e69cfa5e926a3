#pragma once

// The servo loop's handle, shared by the loop's and the recorder's sources.

#include <memory>
#include <mutex>
#include <set>

#include "KivraHardwareAPI/ServoLoop.h"
#include "KivraHardwareAPI/ShapeScene.h"
#include "capi_internal.h"
#include "kivra/kivra_record.h"

struct kivra_servo {
    std::shared_ptr<kivra_capi::ArmCore> core;
    std::unique_ptr<Kivra::HardwareAPI::Servo::ServoLoop> loop;
    double rate = 0.0;  // [Hz]
    std::shared_ptr<Kivra::HardwareAPI::Render::SceneCounters> scene_counters =
        std::make_shared<Kivra::HardwareAPI::Render::SceneCounters>();
    std::mutex stopping;
    bool counted = false;  // holds one of the arm's running_loops
    // Recordings of this loop, ended before the loop is freed.
    std::mutex recordings_mutex;
    std::set<kivra_recording*> recordings;
};

// Stops and writes out every recording of servo; their handles stay valid, stopped.
void end_recordings(kivra_servo& servo);

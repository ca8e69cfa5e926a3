#pragma once

// What the loop's and the recorder's sources share beside the loop's handle.

#include <memory>
#include <mutex>
#include <set>

#include "KivraHardwareAPI/ServoLoop.h"
#include "KivraHardwareAPI/ShapeScene.h"
#include "capi_internal.h"
#include "kivra/kivra_record.h"

// A tick of the core as the C interface gives it.
void copy_tick(kivra_tick& out, const Kivra::HardwareAPI::Servo::TickState& in);

// Stops and writes out every recording of servo; their handles stay valid, stopped.
void end_recordings(kivra_servo& servo);

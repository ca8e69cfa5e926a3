#pragma once

// The scene builder behind kivra_scene: the parts as given, checked as they
// come, and turned into a loop's own scene by kivra_servo_set_scene.

#include <memory>
#include <string>
#include <vector>

#include "KivraHardwareAPI/Fields.h"
#include "KivraHardwareAPI/ShapeScene.h"

struct kivra_scene {
    std::vector<Kivra::HardwareAPI::Render::SceneShape> shapes;
    Kivra::HardwareAPI::Render::FieldSet fields;
    std::vector<Kivra::HardwareAPI::Render::CEffect> effects;
    std::vector<std::shared_ptr<const void>> libraries;  // of the force laws loaded from files
    std::string error;
};

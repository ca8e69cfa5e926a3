// The scene builder of the C interface: each part is checked as it comes,
// with the reason kept for kivra_scene_error.

#include <dlfcn.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "KivraHardwareAPI/Mesh.h"
#include "KivraHardwareAPI/Shapes.h"
#include "capi_internal.h"
#include "kivra/kivra_scene.h"
#include "scene_internal.h"

namespace Render = Kivra::HardwareAPI::Render;

namespace {

Render::Vec3 vec(const double* v) { return {v[0], v[1], v[2]}; }

// Runs body, keeping the reason of a refusal in the builder.
template <typename Body>
kivra_status building(kivra_scene* scene, Body&& body) noexcept {
    if (scene == nullptr) return KIVRA_INVALID_ARGUMENT;
    scene->error.clear();
    try {
        body();
        return KIVRA_OK;
    } catch (const std::invalid_argument& error) {
        scene->error = error.what();
    } catch (const std::length_error& error) {
        scene->error = error.what();
    } catch (const std::runtime_error& error) {  // a mesh file that cannot be read
        scene->error = error.what();
    } catch (const std::bad_alloc&) {
        return KIVRA_OUT_OF_MEMORY;
    } catch (...) {
        return KIVRA_INTERNAL_ERROR;
    }
    return KIVRA_INVALID_ARGUMENT;
}

void require(bool condition, const char* problem) {
    if (!condition) throw std::invalid_argument(problem);
}

Render::SceneShape placed(const kivra_shape& shape, std::shared_ptr<const Render::Surface> solid) {
    const kivra_pose& pose = shape.pose;
    const Render::Quat turn{pose.orientation[0], pose.orientation[1], pose.orientation[2], pose.orientation[3]};
    const double length = std::sqrt(turn.w * turn.w + turn.x * turn.x + turn.y * turn.y + turn.z * turn.z);
    require(std::isfinite(length) && length > 0.0, "the orientation must be a quaternion of length above 0");
    require(Render::finite(vec(pose.position)), "the position must be finite");
    const kivra_material& m = shape.material;
    Render::SceneShape placed{std::move(solid),
                              Render::Pose{vec(pose.position), turn},  // the scene normalizes it
                              {m.stiffness, m.damping, m.static_friction, m.dynamic_friction},
                              shape.id,
                              shape.allow_active != 0};
    Render::validate(placed.material);
    return placed;
}

std::shared_ptr<const Render::Surface> solid_of(const kivra_shape& shape) {
    const double* size = shape.size;
    switch (shape.kind) {
        case KIVRA_SHAPE_PLANE: return std::make_shared<Render::PlaneSolid>();
        case KIVRA_SHAPE_SPHERE: return std::make_shared<Render::SphereSolid>(size[0]);
        case KIVRA_SHAPE_BOX: return std::make_shared<Render::BoxSolid>(vec(size));
        case KIVRA_SHAPE_CAPSULE: return std::make_shared<Render::CapsuleSolid>(size[0], size[1]);
        case KIVRA_SHAPE_CYLINDER: return std::make_shared<Render::CylinderSolid>(size[0], size[1]);
        default: throw std::invalid_argument("unknown shape kind " + std::to_string(shape.kind));
    }
}

std::vector<Render::Vec3> points_of(const double* values, size_t count) {
    require(values != nullptr || count == 0, "points must not be NULL");
    std::vector<Render::Vec3> points;
    for (size_t i = 0; i < count; ++i) points.push_back(vec(values + 3 * i));
    return points;
}

}  // namespace

extern "C" {

kivra_status kivra_scene_create(kivra_scene** scene) {
    if (scene == nullptr) return KIVRA_INVALID_ARGUMENT;
    *scene = nullptr;
    return kivra_capi::guarded(nullptr, [&]() -> kivra_status {
        *scene = new kivra_scene();
        return KIVRA_OK;
    });
}

void kivra_scene_destroy(kivra_scene* scene) { delete scene; }

const char* kivra_scene_error(const kivra_scene* scene) {
    return scene == nullptr ? "scene must not be NULL" : scene->error.c_str();
}

kivra_status kivra_scene_clear(kivra_scene* scene) {
    return building(scene, [&] {
        scene->shapes.clear();
        scene->fields.clear();
        scene->effects.clear();
        scene->libraries.clear();
    });
}

kivra_status kivra_scene_add_shape(kivra_scene* scene, const kivra_shape* shape) {
    return building(scene, [&] {
        require(shape != nullptr, "shape must not be NULL");
        scene->shapes.push_back(placed(*shape, solid_of(*shape)));
    });
}

kivra_status kivra_scene_add_mesh(kivra_scene* scene, const char* path, double scale, const kivra_shape* shape) {
    return building(scene, [&] {
        require(path != nullptr && shape != nullptr, "path and shape must not be NULL");
        auto mesh = std::make_shared<Render::MeshSolid>(Render::load_triangles(path, scale));
        scene->shapes.push_back(placed(*shape, std::move(mesh)));
    });
}

kivra_status kivra_scene_shape_bounds(kivra_scene* scene, size_t index, double low[3], double high[3]) {
    return building(scene, [&] {
        require(low != nullptr && high != nullptr, "low and high must not be NULL");
        require(index < scene->shapes.size(), "no solid of that index");
        const Render::Aabb box = scene->shapes[index].solid->bounds();
        for (int i = 0; i < 3; ++i) {
            low[i] = box.low[i];
            high[i] = box.high[i];
        }
    });
}

kivra_status kivra_scene_add_guide(kivra_scene* scene, const double* points, size_t count, size_t spline_samples,
                                   double stiffness, double damping, double max_force) {
    return building(scene, [&] {
        const std::vector<Render::Vec3> given = points_of(points, count);
        if (spline_samples > 0) {
            scene->fields.add(
                Render::Guide::spline(given.data(), given.size(), spline_samples, stiffness, damping, max_force));
        } else {
            scene->fields.add(Render::Guide(given.data(), given.size(), stiffness, damping, max_force));
        }
    });
}

kivra_status kivra_scene_add_detents(kivra_scene* scene, const double* centres, const double* radii, size_t count,
                                     double stiffness, double damping) {
    return building(scene, [&] {
        require(radii != nullptr || count == 0, "radii must not be NULL");
        const std::vector<Render::Vec3> given = points_of(centres, count);
        std::vector<Render::Detent> detents;
        for (size_t i = 0; i < count; ++i) detents.push_back({given[i], radii[i]});
        scene->fields.add(Render::Detents(detents.data(), detents.size(), stiffness, damping));
    });
}

kivra_status kivra_scene_add_viscous_box(kivra_scene* scene, const double low[3], const double high[3],
                                         double damping) {
    return building(scene, [&] {
        require(low != nullptr && high != nullptr, "low and high must not be NULL");
        Render::Aabb box;
        box.add(vec(low));
        box.add(vec(high));
        scene->fields.add(Render::ViscousRegion::box(box, damping));
    });
}

kivra_status kivra_scene_add_texture(kivra_scene* scene, const double point[3], const double normal[3],
                                     const double tangent[3], double wavelength, double amplitude, double depth) {
    return building(scene, [&] {
        require(point != nullptr && normal != nullptr && tangent != nullptr, "vectors must not be NULL");
        scene->fields.add(Render::Texture(vec(point), vec(normal), vec(tangent), wavelength, amplitude, depth));
    });
}

kivra_status kivra_scene_add_vibration(kivra_scene* scene, double amplitude, double frequency,
                                       const double direction[3], double phase, double start, double duration) {
    return building(scene, [&] {
        require(direction != nullptr, "direction must not be NULL");
        scene->fields.add(Render::Vibration(amplitude, frequency, vec(direction), phase, start, duration));
    });
}

kivra_status kivra_scene_add_force_law(kivra_scene* scene, kivra_force_law_fn law, void* context, double budget) {
    return building(scene, [&] {
        require(law != nullptr, "the force law must not be NULL");
        require(std::isfinite(budget) && budget >= 0.0, "the time budget must be 0 or more seconds");
        // Same layout, field for field: the core's tick is the C interface's.
        static_assert(sizeof(kivra_force_input) == sizeof(Render::CEffectInput), "force law input layouts differ");
        scene->effects.push_back({reinterpret_cast<Render::CEffectFunction>(law), context, budget});
    });
}

kivra_status kivra_scene_add_force_law_from(kivra_scene* scene, const char* path, const char* symbol, void* context,
                                            double budget) {
    return building(scene, [&] {
        require(path != nullptr, "path must not be NULL");
        require(std::isfinite(budget) && budget >= 0.0, "the time budget must be 0 or more seconds");
        dlerror();
        void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) throw std::invalid_argument(std::string("cannot load ") + path + ": " + dlerror());
        std::shared_ptr<const void> held(library, [](const void* l) { dlclose(const_cast<void*>(l)); });
        const char* name = symbol != nullptr ? symbol : KIVRA_FORCE_LAW_SYMBOL;
        void* function = dlsym(library, name);
        if (function == nullptr) throw std::invalid_argument(std::string(path) + " exports no " + name);
        scene->effects.push_back({reinterpret_cast<Render::CEffectFunction>(function), context, budget});
        scene->libraries.push_back(std::move(held));
    });
}

}  // extern "C"

/* Haptic scenes for a servo loop: solids felt through a proxy, force fields
 * and force laws of the program's own, built on the host and handed to a
 * running loop whole. A kivra_scene is a builder: kivra_servo_set_scene
 * makes the loop's own copy, so one builder may be changed and handed over
 * again. SI units throughout ([m], [s], [N], [N/m], [N s/m]). Every call
 * that fails with KIVRA_INVALID_ARGUMENT says why in kivra_scene_error. */
#ifndef KIVRA_SCENE_H
#define KIVRA_SCENE_H

#include "kivra/kivra.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kivra_scene kivra_scene;

/* How a solid feels. Friction coefficients are Coulomb's; dynamic at most static. */
typedef struct kivra_material {
    double stiffness;        /* [N/m] */
    double damping;          /* [N s/m] along the contact normal */
    double static_friction;  /* the proxy sticks while the sideways pull is within this cone */
    double dynamic_friction; /* and trails the hand by this cone while it slides */
} kivra_material;

/* Where a solid sits: its frame's origin [m] and orientation as a unit
 * quaternion (w, x, y, z) in the arm's frame. */
typedef struct kivra_pose {
    double position[3];
    double orientation[4];
} kivra_pose;

enum kivra_shape_kind {
    KIVRA_SHAPE_PLANE = 0,   /* the half-space z <= 0 of its frame, outward +z; size unused */
    KIVRA_SHAPE_SPHERE = 1,  /* size[0]: radius */
    KIVRA_SHAPE_BOX = 2,     /* size: half extents along x, y, z */
    KIVRA_SHAPE_CAPSULE = 3, /* size[0]: radius, size[1]: half length of its axis (z) */
    KIVRA_SHAPE_CYLINDER = 4 /* size[0]: radius, size[1]: half length of its axis (z) */
};

typedef struct kivra_shape {
    int32_t kind; /* kivra_shape_kind */
    double size[3];
    kivra_pose pose;
    kivra_material material;
    /* Ties the shape to its namesake in the scene it replaces, so that a
     * moved shape keeps its contact; 0: never. */
    uint64_t id;
    /* 1: render a stiffness beyond what the loop's rate keeps passive (the
     * energy watch still releases the shape if it runs away). */
    int32_t allow_active;
} kivra_shape;

/* A force law of the program's own sees this each tick. */
typedef struct kivra_force_input {
    double time;        /* [s] since the loop started */
    double period;      /* [s] */
    double position[3]; /* [m] */
    double velocity[3]; /* [m/s] */
    double force[3];    /* [N] of the scene's solids and fields this tick */
} kivra_force_input;

/* Writes the force [N] it adds. Runs on the servo thread every tick: it must
 * not block, allocate or call into an interpreter. Over its time budget, or
 * with a force that is not finite, its force is dropped for that tick. */
typedef void (*kivra_force_law_fn)(const kivra_force_input* input, double force[3], void* context);

/* The name a library of force laws exports its function under, unless
 * another is given. */
#define KIVRA_FORCE_LAW_SYMBOL "kivra_force_law"

kivra_status kivra_scene_create(kivra_scene** scene);
void kivra_scene_destroy(kivra_scene* scene);
/* Why the last call on scene failed; "" when it did not. Valid until the next call on it. */
const char* kivra_scene_error(const kivra_scene* scene);
/* Removes every part. */
kivra_status kivra_scene_clear(kivra_scene* scene);

kivra_status kivra_scene_add_shape(kivra_scene* scene, const kivra_shape* shape);
/* A triangle mesh from a binary or ASCII STL or an OBJ file; scale multiplies
 * its coordinates (0.001 for a file in millimetres). shape->kind and size are unused. */
kivra_status kivra_scene_add_mesh(kivra_scene* scene, const char* path, double scale, const kivra_shape* shape);

/* The box [m] that holds the index-th solid added (shapes and meshes, in
 * their order), in the solid's own frame: a mesh's as read, scaled. A plane's
 * runs to HUGE_VAL but for its top, z = 0. KIVRA_INVALID_ARGUMENT for an index past
 * the last. */
kivra_status kivra_scene_shape_bounds(kivra_scene* scene, size_t index, double low[3], double high[3]);

/* Fields. points and centres are count x 3 doubles. */
kivra_status kivra_scene_add_guide(kivra_scene* scene, const double* points, size_t count, size_t spline_samples,
                                   double stiffness, double damping, double max_force);
kivra_status kivra_scene_add_detents(kivra_scene* scene, const double* centres, const double* radii, size_t count,
                                     double stiffness, double damping);
kivra_status kivra_scene_add_viscous_box(kivra_scene* scene, const double low[3], const double high[3], double damping);
kivra_status kivra_scene_add_texture(kivra_scene* scene, const double point[3], const double normal[3],
                                     const double tangent[3], double wavelength, double amplitude, double depth);
kivra_status kivra_scene_add_vibration(kivra_scene* scene, double amplitude, double frequency,
                                       const double direction[3], double phase, double start, double duration);

/* budget [s] a tick may take (0: a fifth of the period). */
kivra_status kivra_scene_add_force_law(kivra_scene* scene, kivra_force_law_fn law, void* context, double budget);
/* Loads the shared object at path and adds its function symbol (NULL:
 * KIVRA_FORCE_LAW_SYMBOL); the library stays loaded while a scene uses it. */
kivra_status kivra_scene_add_force_law_from(kivra_scene* scene, const char* path, const char* symbol, void* context,
                                            double budget);

/* Hands the loop its own copy of scene (NULL: no scene), checked against
 * the loop's rate; the loop switches to it between two ticks. */
kivra_status kivra_servo_set_scene(kivra_servo* servo, kivra_scene* scene);

typedef struct kivra_scene_statistics {
    uint64_t released_shapes;      /* shapes the energy watch released, over every scene handed over */
    uint64_t dropped_effect_ticks; /* ticks a force law's force was dropped */
} kivra_scene_statistics;
kivra_status kivra_servo_get_scene_statistics(const kivra_servo* servo, kivra_scene_statistics* statistics);

#ifdef __cplusplus
}
#endif

#endif

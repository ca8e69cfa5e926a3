/* A magnet: pulls the hand towards a point with a force that grows as the
 * hand nears it, the way a small magnet snaps onto steel.
 *
 *     F = strength (c - x) / |c - x|^3, at most max_force [N],
 *
 * with c the magnet's position [m] and strength [N m^2]. Built by CMake into
 * magnet_law.so; a program hands it a struct magnet as its context:
 *
 *     loop.add_c_effect("build/.../magnet_law.so", context=ffi.new("double[5]", [x, y, z, strength, max_force]))
 *
 * It runs on the servo thread every tick: no allocation, no locks, no I/O. */
#include <math.h>

#include "kivra/kivra_scene.h"

struct magnet {
    double position[3]; /* [m] */
    double strength;    /* [N m^2] */
    double max_force;   /* [N] */
};

void kivra_force_law(const kivra_force_input* input, double force[3], void* context) {
    const struct magnet* magnet = (const struct magnet*)context;
    double d[3], distance = 0.0;
    for (int i = 0; i < 3; ++i) {
        d[i] = magnet->position[i] - input->position[i];
        distance += d[i] * d[i];
    }
    distance = sqrt(distance);
    if (distance <= 0.0) {
        force[0] = force[1] = force[2] = 0.0;
        return;
    }
    double magnitude = magnet->strength / (distance * distance);
    if (magnitude > magnet->max_force) magnitude = magnet->max_force;
    for (int i = 0; i < 3; ++i) force[i] = magnitude * d[i] / distance;
}

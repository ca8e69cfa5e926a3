/* kivra bridge: a servo loop on a ROS 2 network (Cyclone DDS, ROS 2's
 * topic and type conventions), in libkivra_bridge beside libkivra.
 *
 * Topics under rt/<namespace>/: joint_states, pose, twist, wrench at up to
 * the loop's rate, diagnostics at 1 Hz; force_command and effects are taken.
 * With a handle attached, its status frames on buttons and orientation.
 * Conventions and status codes: kivra/kivra_status.h. */
#ifndef KIVRA_BRIDGE_H
#define KIVRA_BRIDGE_H

#include "kivra/kivra_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kivra_servo kivra_servo;
typedef struct kivra_bridge kivra_bridge;
typedef struct kivra_handle kivra_handle;

typedef struct kivra_bridge_options {
    const char* name_space;  /* topics rt/<name_space>/...; NULL: "kivra" */
    int32_t domain;          /* DDS domain, -1: the default (CYCLONEDDS_URI's, else 0) */
    double state_rate;       /* [Hz] of the state topics, at most the loop's rate counts */
    double diagnostics_rate; /* [Hz] */
    /* Test aids: messages taken are dropped with probability receive_loss
     * and otherwise applied receive_delay [s] after they arrived. */
    double receive_delay;
    double receive_loss;
    uint32_t loss_seed;
    /* Teleoperation: couples the loop to the arm of the bridge under this
     * namespace (NULL or empty: none) through the loop's scene. */
    const char* peer;
    double coupling_stiffness;    /* [N/m] */
    double coupling_damping;      /* [N s/m] */
    int32_t passivity_control;    /* 1: keep the coupling passive */
    double max_passivity_damping; /* [N s/m] */
} kivra_bridge_options;

typedef struct kivra_bridge_statistics {
    uint64_t published_states;
    uint64_t published_diagnostics;
    uint64_t trace_dropped;
    uint64_t force_commands;         /* applied */
    uint64_t refused_force_commands; /* never applied */
    uint64_t effects_applied;
    uint64_t refused_effects; /* never applied */
    uint64_t received_peer_states;
    uint64_t lost_messages;   /* by receive_loss */
    uint64_t handle_frames;   /* the handle's status frames published */
    uint64_t handle_timeouts; /* reads of the handle that found no frame in time */
    int32_t handle_reading;   /* 1 while an attached handle is read */
    kivra_status
        handle_failure; /* what ended the handle's reading (KIVRA_CLOSED, KIVRA_HUNG_UP...); KIVRA_OK: nothing */
} kivra_bridge_statistics;

typedef struct kivra_coupling_state {
    int32_t coupled;
    double energy_in;         /* [J] the local arm put into the coupling */
    double energy_out;        /* [J] the coupling put into the local arm */
    double peer_energy_in;    /* [J] the peer's arm put in, as last heard */
    double observed_energy;   /* [J] energy_out - peer_energy_in - dissipated */
    double passivity_damping; /* [N s/m] added now */
    double dissipated;        /* [J] taken out by the passivity controller */
    double error;             /* [m] distance to the peer's position as last heard */
    double longest_positive;  /* [s] the longest observed_energy stayed above zero */
} kivra_coupling_state;

void kivra_bridge_default_options(kivra_bridge_options* options);
/* Why options would be refused, as a static text, or NULL. */
const char* kivra_bridge_options_problem(const kivra_bridge_options* options);
/* Starts a bridge on the loop of servo (which may be stopped or destroyed
 * first: the bridge then publishes nothing more). KIVRA_INVALID_ARGUMENT for
 * options that kivra_bridge_options_problem refuses; KIVRA_INTERNAL_ERROR
 * when DDS refused, with its return code in detail and its words in
 * kivra_bridge_last_error. */
kivra_status kivra_bridge_start(kivra_servo* servo, const kivra_bridge_options* options, kivra_bridge** bridge,
                                int32_t* detail);
/* What the latest failed kivra_bridge_start of this thread said. */
const char* kivra_bridge_last_error(void);
/* Stops publishing and taking, leaves the network; the handle stays valid. */
kivra_status kivra_bridge_stop(kivra_bridge* bridge);
/* Stops and frees. NULL is ignored. */
void kivra_bridge_destroy(kivra_bridge* bridge);
/* Publishes handle's status frames, each as it comes, on buttons
 * (sensor_msgs/msg/Joy: buttons 0 or 1 for bits 0 to 2, axes the hall-effect
 * sensor level from 0 to 1) and orientation (geometry_msgs/msg/QuaternionStamped),
 * read on a thread of the bridge's own. Until the bridge stops, its reads
 * are the bridge's: the program's kivra_handle_receive and
 * kivra_handle_read_status_frame give KIVRA_BUSY. The program may still send
 * requests (the handle pauses its frames after one), close and destroy the
 * handle: a handle closed, destroyed or failing only ends the bridge's reading,
 * its topics go quiet and statistics keep why (handle_failure). The handle is
 * the program's again once the bridge has stopped. KIVRA_BUSY when this
 * bridge already reads a handle or another bridge reads this one,
 * KIVRA_CLOSED when the handle is closed or the bridge stopped. */
kivra_status kivra_bridge_attach_handle(kivra_bridge* bridge, kivra_handle* handle);
kivra_status kivra_bridge_get_statistics(const kivra_bridge* bridge, kivra_bridge_statistics* statistics);
/* Why the latest command was refused, into text of capacity bytes ("" when none). */
kivra_status kivra_bridge_last_refusal(const kivra_bridge* bridge, char* text, size_t capacity);
kivra_status kivra_bridge_get_coupling(const kivra_bridge* bridge, kivra_coupling_state* state);

#ifdef __cplusplus
}
#endif

#endif

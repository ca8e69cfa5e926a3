/* kivra C interface: the arm device and its servo loop.
 *
 * Handles are opaque and owned by the caller: every kivra_arm_open is matched
 * by one kivra_arm_destroy, every kivra_servo_start by one kivra_servo_destroy.
 * One arm may be used from several threads; its exchanges never interleave on
 * the wire. Conventions and status codes: kivra/kivra_status.h. */
#ifndef KIVRA_H
#define KIVRA_H

#include "kivra/kivra_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kivra_arm kivra_arm;
typedef struct kivra_servo kivra_servo;

enum kivra_open_flag {
    /* Refuse the port to every other opener while it is open (KIVRA_NOT_OPEN, EBUSY). */
    KIVRA_OPEN_EXCLUSIVE = 1
};

enum kivra_arm_model {
    KIVRA_ARM_MODEL_NUMBER = 4 /* what an arm's wakeup reply gives as its model number */
};

/* Safety limits, the same for every arm. */
enum kivra_limit {
    KIVRA_MAX_FORCE = 20,             /* [N] the most force ever sent; a force limit may only lower it */
    KIVRA_SERVO_LOWEST_RATE = 1,      /* [Hz] */
    KIVRA_SERVO_HIGHEST_RATE = 10000, /* [Hz] */
    KIVRA_MAX_WALLS = 4,              /* walls in kivra_effects */
    /* The gains a person or a remote program may set from outside the process: */
    KIVRA_MAX_WALL_STIFFNESS = 5000,   /* [N/m] */
    KIVRA_MAX_SPRING_STIFFNESS = 1000, /* [N/m] */
    KIVRA_MAX_EFFECT_DAMPING = 20      /* [N s/m] of a wall, the spring and the viscous damping */
};

enum kivra_identifier_selector { KIVRA_IDENTIFIER_DEVICE_ID = 209, KIVRA_IDENTIFIER_FIRMWARE_VERSION = 210 };

/* Decoded wakeup reply. */
typedef struct kivra_device_info {
    uint16_t device_id;
    uint8_t model_number; /* KIVRA_ARM_MODEL_NUMBER for the arm */
    uint8_t hardware_version;
    uint8_t firmware_version;
    uint8_t unique_id[16]; /* in the order the device sent it */
} kivra_device_info;

/* Opens the arm on port with the given reply time-out [s] (finite, above 0)
 * and flags (kivra_open_flag). On KIVRA_OK *arm is a new handle; otherwise
 * *arm is NULL and, for KIVRA_NOT_OPEN, detail is the errno of the open. */
kivra_status kivra_arm_open(const char* port, double timeout, uint32_t flags, kivra_arm** arm, int32_t* detail);
/* Closes the port at once, waiting for an exchange in progress; the handle
 * stays valid and every later call on it gives KIVRA_CLOSED. KIVRA_BUSY while
 * a servo loop runs on it. Closing twice is KIVRA_OK. */
kivra_status kivra_arm_close(kivra_arm* arm);
/* Closes the port unless a servo loop still uses it, and frees the handle. NULL is ignored. */
void kivra_arm_destroy(kivra_arm* arm);
/* 1 while the port is open, 0 otherwise (also for NULL). */
int32_t kivra_arm_is_open(const kivra_arm* arm);
/* Reply time-out [s] of every later exchange. */
kivra_status kivra_arm_set_timeout(kivra_arm* arm, double timeout);
kivra_status kivra_arm_get_timeout(const kivra_arm* arm, double* timeout);

/* One command and its state reply. force, position [m], joint torques and
 * joint angles [deg] are three floats each, all finite (KIVRA_INVALID_ARGUMENT
 * before anything is sent otherwise); the reply fills first and second
 * (position [m] and velocity [m/s], or joint angles [deg] and joint
 * velocities) only on KIVRA_OK. After a reply failed to come in full, the
 * next exchange first waits until the line has been quiet for one time-out,
 * discarding what arrives, so that a late reply is never taken for the next. */
kivra_status kivra_arm_exchange_force(kivra_arm* arm, const float force[3], float position[3], float velocity[3],
                                      int32_t* detail);
kivra_status kivra_arm_exchange_position(kivra_arm* arm, const float position[3], float first[3], float second[3],
                                         int32_t* detail);
kivra_status kivra_arm_exchange_joint_torques(kivra_arm* arm, const float torques[3], float angles[3],
                                              float angular_velocities[3], int32_t* detail);
kivra_status kivra_arm_exchange_joint_angles(kivra_arm* arm, const float angles[3], float first[3], float second[3],
                                             int32_t* detail);

/* The wakeup exchange: the device's identity. */
kivra_status kivra_arm_wakeup(kivra_arm* arm, kivra_device_info* info, int32_t* detail);
/* One identifier request (kivra_identifier_selector) into 16 bytes. */
kivra_status kivra_arm_identifier(kivra_arm* arm, int32_t selector, uint8_t value[16], int32_t* detail);

/* The arm's status. */
typedef struct kivra_arm_status {
    float temperature;       /* [degrees C] */
    float motor_currents[3]; /* [A] */
    float orientation[4];    /* the base's orientation quaternion */
    int32_t powered;         /* 1 when the motors have power */
} kivra_arm_status;

/* Every status query, one exchange each; status is written only on KIVRA_OK. */
kivra_status kivra_arm_get_status(kivra_arm* arm, kivra_arm_status* status, int32_t* detail);

/* Servo loop: the force exchange of one arm at a fixed rate on a thread of
 * its own, with the force computed each tick from effects the caller sets. */

typedef struct kivra_servo_options {
    double exchange_timeout; /* [s] per exchange; 0: a little under the period, at most 50 ms */
    double host_force_hold;  /* [s] a host force holds this long after its last update... */
    double host_force_ramp;  /* [s] ...then ramps to zero over this time */
    int32_t realtime;        /* 1: ask for SCHED_FIFO and locked memory, run anyway when refused */
    int32_t realtime_priority;
    uint64_t trace_capacity; /* ticks kept for kivra_servo_drain_trace */
} kivra_servo_options;

/* F = -stiffness (x - anchor) - damping v */
typedef struct kivra_spring {
    int32_t enabled;
    float anchor[3]; /* [m] */
    float stiffness; /* [N/m] */
    float damping;   /* [N s/m] */
} kivra_spring;

/* Pushes out of the half-space behind the plane through point with outward
 * normal (any length; zero disables it), never pulls in. */
typedef struct kivra_wall {
    int32_t enabled;
    float point[3]; /* [m] */
    float normal[3];
    float stiffness; /* [N/m] */
    float damping;   /* [N s/m] of the normal velocity */
} kivra_wall;

typedef struct kivra_effects {
    kivra_spring spring;
    kivra_wall walls[4];
    float viscous_damping;   /* [N s/m], F = -b v */
    float constant_force[3]; /* [N] */
    float force_limit;       /* [N] magnitude of the sum, above 0 and at most KIVRA_MAX_FORCE */
} kivra_effects;

typedef struct kivra_tick {
    uint64_t tick;            /* index of the tick, from 0 */
    double time;              /* [s] since the loop started, at the tick's deadline */
    float position[3];        /* [m] */
    float velocity[3];        /* [m/s] */
    float force[3];           /* [N] sent in this tick */
    float host_force[3];      /* [N] host force after hold and ramp */
    int32_t outcome;          /* kivra_status of the tick's exchange */
    float wakeup_lateness;    /* [s] from the deadline to the wake-up (0 for a tick run early for new commands) */
    float exchange_time;      /* [s] the exchange took */
    uint32_t effects_changes; /* effects set or released before this tick, since the loop was made */
    uint32_t scene_changes;   /* scenes switched to, since the loop was made */
} kivra_tick;

typedef struct kivra_percentiles {
    double p50;
    double p99;
    double p999;
    double max; /* [s] */
} kivra_percentiles;

typedef struct kivra_servo_statistics {
    uint64_t ticks;                  /* exchanges attempted */
    uint64_t missed_deadlines;       /* deadlines skipped because already past */
    uint64_t failed_exchanges;       /* of which: */
    uint64_t timeouts;               /*   no reply */
    uint64_t short_replies;          /*   a reply cut short */
    uint64_t wrong_codes;            /*   a foreign reply */
    uint64_t hang_ups;               /*   the port went away */
    uint64_t late_replies_discarded; /* late replies thrown away before an exchange */
    uint64_t refused_forces;         /* NaN or infinite forces, sent as zero */
    uint64_t trace_dropped;          /* ticks lost before they were drained */
    kivra_percentiles wakeup_lateness;
    kivra_percentiles exchange_time;
    double elapsed; /* [s] since the loop started */
    int32_t realtime_granted;
    int32_t memory_locked;
    int32_t realtime_errno;    /* why real-time scheduling or locked memory was refused */
    kivra_status last_failure; /* the most recent status other than KIVRA_OK */
    int32_t last_failure_detail;
} kivra_servo_statistics;

/* The defaults: exchanges a little under the period, 50 ms hold, 100 ms ramp,
 * real-time asked at priority 80, 8192 ticks. */
void kivra_servo_default_options(kivra_servo_options* options);
/* No effect at all and a 10 N force limit. */
void kivra_effects_default(kivra_effects* effects);

/* Starts a loop on arm at rate [Hz] (KIVRA_SERVO_LOWEST_RATE to
 * KIVRA_SERVO_HIGHEST_RATE; options NULL: the defaults). The loop owns the
 * arm until it stops: the arm's own exchanges give KIVRA_BUSY. Every loop
 * still running when the process exits (exit(), a return from main) or the
 * library is unloaded is stopped, its arm sent zero force, first. */
kivra_status kivra_servo_start(kivra_arm* arm, double rate, const kivra_servo_options* options, kivra_servo** servo,
                               int32_t* detail);
/* Sends a zero force and stops, at once at any rate; the handle keeps its
 * last state and statistics. */
kivra_status kivra_servo_stop(kivra_servo* servo);
/* Stops every running loop of the process, each sending zero force. */
void kivra_servo_stop_all(void);
/* Stops the loop if it runs and frees the handle. NULL is ignored. */
void kivra_servo_destroy(kivra_servo* servo);
int32_t kivra_servo_is_running(const kivra_servo* servo);

/* Applied as a whole before the next tick (a loop slower than 100 Hz
 * renders them at once). KIVRA_INVALID_ARGUMENT for effects that
 * kivra_effects_problem refuses. */
kivra_status kivra_servo_set_effects(kivra_servo* servo, const kivra_effects* effects);
/* Why effects would be refused (a value that is not finite, a negative
 * stiffness or damping, a zero normal of an enabled wall, a force limit
 * outside (0, KIVRA_MAX_FORCE]), as a static text naming the field, or NULL
 * when they are fine. */
const char* kivra_effects_problem(const kivra_effects* effects);
kivra_status kivra_servo_get_effects(const kivra_servo* servo, kivra_effects* effects);
/* force [N], added to the effects; held, then ramped to zero, unless renewed. */
kivra_status kivra_servo_set_host_force(kivra_servo* servo, const float force[3]);
/* Ramps every force to zero and keeps it there until effects or host force are set again. */
kivra_status kivra_servo_release(kivra_servo* servo);

/* The latest tick. */
kivra_status kivra_servo_get_state(const kivra_servo* servo, kivra_tick* tick);
/* Moves up to capacity of the oldest kept ticks into ticks, oldest first; *count tells how many. */
kivra_status kivra_servo_drain_trace(kivra_servo* servo, kivra_tick* ticks, size_t capacity, size_t* count);
kivra_status kivra_servo_get_statistics(const kivra_servo* servo, kivra_servo_statistics* statistics);
/* The system clock [ns since the epoch] at the loop's latest start, where a
 * tick's time counts from: stamps for the world outside the process. */
kivra_status kivra_servo_get_started_at(const kivra_servo* servo, int64_t* nanoseconds);

#ifdef __cplusplus
}
#endif

#endif

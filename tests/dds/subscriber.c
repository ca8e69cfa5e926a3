/* The far end of the bridge, as a ROS 2 node would see it: reads
 * rt/<namespace>/joint_states, pose, wrench, buttons and orientation with the sensor-data QoS,
 * reports every publication under rt/<namespace>/ with its type name and
 * QoS, and can send force commands and commands that must be refused.
 *
 *   kivra-dds-subscriber [--namespace NS] [--seconds S]
 *                        [--force FX FY FZ --force-seconds T] [--refused-commands]
 *
 * One line per event on stdout:
 *   publication <topic> <type name> <best_effort|reliable> <history depth>
 *   joint_states <stamp ns> <names joined by ','> p0 p1 p2 v0 v1 v2 e0 e1 e2
 *   pose <stamp ns> <frame> x y z qx qy qz qw
 *   wrench <stamp ns> fx fy fz
 *   buttons <stamp ns> <frame> <axes joined by ',', or -> <buttons joined by ','>
 *   orientation <stamp ns> <frame> x y z w
 *   commands_stopped <system clock ns>
 *   refused_commands_sent */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "dds/dds.h"
#include "ros_types.h"

#define BATCH 64

static int64_t now_ns(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static int64_t stamp_ns(const builtin_interfaces_msg_dds__Time_* stamp) {
    return (int64_t)stamp->sec * 1000000000 + stamp->nanosec;
}

static dds_entity_t must(dds_entity_t entity, const char* what) {
    if (entity < 0) {
        fprintf(stderr, "%s: %s\n", what, dds_strretcode(entity));
        exit(2);
    }
    return entity;
}

static dds_entity_t topic(dds_entity_t participant, const dds_topic_descriptor_t* type, const char* ns,
                          const char* name) {
    char full[256];
    snprintf(full, sizeof(full), "rt/%s/%s", ns, name);
    return must(dds_create_topic(participant, type, full, NULL, NULL), full);
}

static void print_publications(dds_entity_t reader, const char* prefix) {
    void* samples[BATCH] = {NULL};
    dds_sample_info_t infos[BATCH];
    const int32_t count = dds_take(reader, samples, infos, BATCH, BATCH);
    for (int32_t i = 0; i < count; ++i) {
        const dds_builtintopic_endpoint_t* endpoint = samples[i];
        if (!infos[i].valid_data || strncmp(endpoint->topic_name, prefix, strlen(prefix)) != 0) continue;
        dds_reliability_kind_t reliability = DDS_RELIABILITY_BEST_EFFORT;
        dds_duration_t blocking = 0;
        dds_history_kind_t history = DDS_HISTORY_KEEP_LAST;
        int32_t depth = 0;
        dds_qget_reliability(endpoint->qos, &reliability, &blocking);
        dds_qget_history(endpoint->qos, &history, &depth);
        printf("publication %s %s %s %d\n", endpoint->topic_name, endpoint->type_name,
               reliability == DDS_RELIABILITY_RELIABLE ? "reliable" : "best_effort",
               history == DDS_HISTORY_KEEP_LAST ? depth : -1);
    }
    if (count > 0) dds_return_loan(reader, samples, count);
}

/* Takes what reader holds and prints each valid sample with print_one. */
static void take_each(dds_entity_t reader, void (*print_one)(const void*)) {
    void* samples[BATCH];
    dds_sample_info_t infos[BATCH];
    samples[0] = NULL;
    const int32_t count = dds_take(reader, samples, infos, BATCH, BATCH);
    for (int32_t i = 0; i < count; ++i) {
        if (infos[i].valid_data) print_one(samples[i]);
    }
    if (count > 0) dds_return_loan(reader, samples, count);
}

static void print_joints(const void* sample) {
    const sensor_msgs_msg_dds__JointState_* s = sample;
    printf("joint_states %lld ", (long long)stamp_ns(&s->header.stamp));
    for (uint32_t n = 0; n < s->name._length; ++n) printf("%s%s", n ? "," : "", s->name._buffer[n]);
    const dds_sequence_double* columns[3] = {&s->position, &s->velocity, &s->effort};
    for (int c = 0; c < 3; ++c) {
        for (uint32_t n = 0; n < columns[c]->_length; ++n) printf(" %.9g", columns[c]->_buffer[n]);
    }
    printf("\n");
}

static void print_pose(const void* sample) {
    const geometry_msgs_msg_dds__PoseStamped_* s = sample;
    printf("pose %lld %s %.9g %.9g %.9g %.9g %.9g %.9g %.9g\n", (long long)stamp_ns(&s->header.stamp),
           s->header.frame_id[0] ? s->header.frame_id : "-", s->pose.position.x, s->pose.position.y, s->pose.position.z,
           s->pose.orientation.x, s->pose.orientation.y, s->pose.orientation.z, s->pose.orientation.w);
}

static void print_wrench(const void* sample) {
    const geometry_msgs_msg_dds__WrenchStamped_* s = sample;
    printf("wrench %lld %.9g %.9g %.9g\n", (long long)stamp_ns(&s->header.stamp), s->wrench.force.x, s->wrench.force.y,
           s->wrench.force.z);
}

static void print_buttons(const void* sample) {
    const sensor_msgs_msg_dds__Joy_* s = sample;
    printf("buttons %lld %s ", (long long)stamp_ns(&s->header.stamp), s->header.frame_id);
    for (uint32_t n = 0; n < s->axes._length; ++n) printf("%s%.9g", n ? "," : "", s->axes._buffer[n]);
    printf("%s ", s->axes._length ? "" : "-");
    for (uint32_t n = 0; n < s->buttons._length; ++n) printf("%s%d", n ? "," : "", (int)s->buttons._buffer[n]);
    printf("\n");
}

static void print_orientation(const void* sample) {
    const geometry_msgs_msg_dds__QuaternionStamped_* s = sample;
    printf("orientation %lld %s %.9g %.9g %.9g %.9g\n", (long long)stamp_ns(&s->header.stamp), s->header.frame_id,
           s->quaternion.x, s->quaternion.y, s->quaternion.z, s->quaternion.w);
}

/* The topics read with the sensor-data QoS, each with its printer. */
static const struct {
    const dds_topic_descriptor_t* type;
    const char* name;
    void (*print)(const void*);
} STATE_TOPICS[] = {
    {&sensor_msgs_msg_dds__JointState__desc, "joint_states", print_joints},
    {&geometry_msgs_msg_dds__PoseStamped__desc, "pose", print_pose},
    {&geometry_msgs_msg_dds__WrenchStamped__desc, "wrench", print_wrench},
    {&sensor_msgs_msg_dds__Joy__desc, "buttons", print_buttons},
    {&geometry_msgs_msg_dds__QuaternionStamped__desc, "orientation", print_orientation},
};
#define STATE_TOPIC_COUNT (sizeof STATE_TOPICS / sizeof STATE_TOPICS[0])

static void print_samples(const dds_entity_t* readers) {
    for (size_t r = 0; r < STATE_TOPIC_COUNT; ++r) take_each(readers[r], STATE_TOPICS[r].print);
}

static int matched(dds_entity_t writer) {
    dds_publication_matched_status_t status;
    return dds_get_publication_matched_status(writer, &status) == DDS_RETCODE_OK && status.current_count > 0;
}

static void send_refused_commands(dds_entity_t commands, dds_entity_t effects) {
    static char frame[] = "kivra_base", foreign[] = "world";
    geometry_msgs_msg_dds__WrenchStamped_ command;
    memset(&command, 0, sizeof(command));
    command.header.frame_id = frame;
    command.wrench.force.x = NAN;
    dds_write(commands, &command);
    command.header.frame_id = foreign;
    command.wrench.force.x = 1.0;
    dds_write(commands, &command);

    kivra_msgs_msg_dds__Wall_ walls[5];
    memset(walls, 0, sizeof(walls));
    for (int i = 0; i < 5; ++i) walls[i].normal.z = 1.0;
    kivra_msgs_msg_dds__Effects_ stiff;
    memset(&stiff, 0, sizeof(stiff));
    stiff.header.frame_id = frame;
    stiff.spring_enabled = true;
    stiff.spring_stiffness = 1e6; /* far above any arm's passive range */
    stiff.force_limit = 5.0;
    dds_write(effects, &stiff);
    kivra_msgs_msg_dds__Effects_ crowded = stiff;
    crowded.spring_stiffness = 10.0;
    crowded.walls._length = crowded.walls._maximum = 5;
    crowded.walls._buffer = walls;
    dds_write(effects, &crowded);
    printf("refused_commands_sent\n");
}

int main(int argc, char** argv) {
    const char* ns = "kivra";
    double seconds = 3.0, force_seconds = 0.0, force[3] = {0.0, 0.0, 0.0};
    int refused_commands = 0;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--namespace") && i + 1 < argc) {
            ns = argv[++i];
        } else if (!strcmp(argv[i], "--seconds") && i + 1 < argc) {
            seconds = atof(argv[++i]);
        } else if (!strcmp(argv[i], "--force") && i + 3 < argc) {
            for (int k = 0; k < 3; ++k) force[k] = atof(argv[++i]);
        } else if (!strcmp(argv[i], "--force-seconds") && i + 1 < argc) {
            force_seconds = atof(argv[++i]);
        } else if (!strcmp(argv[i], "--refused-commands")) {
            refused_commands = 1;
        } else {
            fprintf(stderr,
                    "usage: %s [--namespace NS] [--seconds S] [--force FX FY FZ --force-seconds T] "
                    "[--refused-commands]\n",
                    argv[0]);
            return 2;
        }
    }
    char prefix[256];
    snprintf(prefix, sizeof(prefix), "rt/%s/", ns);

    const dds_entity_t participant = must(dds_create_participant(DDS_DOMAIN_DEFAULT, NULL, NULL), "participant");
    dds_qos_t* sensor = dds_create_qos();
    dds_qset_reliability(sensor, DDS_RELIABILITY_BEST_EFFORT, 0);
    /* Deeper than the sensor-data profile's 5: the history is the reader's
     * own and matching does not depend on it; this reader wants every sample. */
    dds_qset_history(sensor, DDS_HISTORY_KEEP_LAST, 1000);
    dds_qos_t* reliable = dds_create_qos();
    dds_qset_reliability(reliable, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
    dds_qset_history(reliable, DDS_HISTORY_KEEP_LAST, 10);

    const dds_entity_t publications =
        must(dds_create_reader(participant, DDS_BUILTIN_TOPIC_DCPSPUBLICATION, NULL, NULL), "publications");
    dds_entity_t readers[STATE_TOPIC_COUNT];
    for (size_t r = 0; r < STATE_TOPIC_COUNT; ++r) {
        readers[r] =
            must(dds_create_reader(participant, topic(participant, STATE_TOPICS[r].type, ns, STATE_TOPICS[r].name),
                                   sensor, NULL),
                 STATE_TOPICS[r].name);
    }
    const dds_entity_t commands =
        must(dds_create_writer(participant,
                               topic(participant, &geometry_msgs_msg_dds__WrenchStamped__desc, ns, "force_command"),
                               reliable, NULL),
             "force_command writer");
    const dds_entity_t effects =
        must(dds_create_writer(participant, topic(participant, &kivra_msgs_msg_dds__Effects__desc, ns, "effects"),
                               reliable, NULL),
             "effects writer");
    setvbuf(stdout, NULL, _IOLBF, 0);

    static char frame[] = "kivra_base";
    const int64_t start = now_ns(CLOCK_MONOTONIC);
    const int64_t end = start + (int64_t)(seconds * 1e9);
    const int64_t force_end = start + (int64_t)(force_seconds * 1e9);
    int64_t next_command = start;
    int commands_stopped = force_seconds <= 0.0, refused_sent = !refused_commands;
    while (now_ns(CLOCK_MONOTONIC) < end) {
        const int64_t now = now_ns(CLOCK_MONOTONIC);
        if (!commands_stopped && now >= force_end) {
            printf("commands_stopped %lld\n", (long long)now_ns(CLOCK_REALTIME));
            commands_stopped = 1;
        } else if (!commands_stopped && now >= next_command && matched(commands)) {
            geometry_msgs_msg_dds__WrenchStamped_ command;
            memset(&command, 0, sizeof(command));
            const int64_t stamp = now_ns(CLOCK_REALTIME);
            command.header.stamp.sec = (int32_t)(stamp / 1000000000);
            command.header.stamp.nanosec = (uint32_t)(stamp % 1000000000);
            command.header.frame_id = frame;
            command.wrench.force.x = force[0];
            command.wrench.force.y = force[1];
            command.wrench.force.z = force[2];
            dds_write(commands, &command);
            next_command = now + 5000000; /* 200 Hz */
        }
        if (!refused_sent && matched(commands) && matched(effects)) {
            send_refused_commands(commands, effects);
            refused_sent = 1;
        }
        print_publications(publications, prefix);
        print_samples(readers);
        dds_sleepfor(DDS_MSECS(1));
    }
    print_samples(readers);
    dds_delete_qos(sensor);
    dds_delete_qos(reliable);
    dds_delete(participant);
    return 0;
}

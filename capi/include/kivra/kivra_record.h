/* kivra C interface: recording a servo loop's ticks into an MCAP file.
 *
 * A recording writes every tick of its loop, on a thread of its own, with
 * ROS 2 message types in CDR (topics /kivra/joint_states, /kivra/pose,
 * /kivra/twist, /kivra/wrench, /kivra/tick_timing, /kivra/diagnostics,
 * /kivra/effects, /kivra/identity), and writes a chunk at least every half
 * second: a process killed meanwhile leaves a file readable up to its last
 * chunk. A failed write (a full disk) ends the recording, never the loop. */
#ifndef KIVRA_RECORD_H
#define KIVRA_RECORD_H

#include "kivra/kivra.h"
#include "kivra/kivra_handle.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kivra_recording kivra_recording;

enum kivra_compression { KIVRA_COMPRESSION_NONE = 0, KIVRA_COMPRESSION_ZSTD = 1, KIVRA_COMPRESSION_LZ4 = 2 };

typedef struct kivra_recording_status {
    uint64_t ticks_written;
    uint64_t ticks_dropped; /* ticks the recording could not keep */
    uint64_t bytes;         /* [B] written so far */
    int32_t recording;      /* 1 until stopped or failed */
    int32_t failed;         /* 1 when it ended early: kivra_recording_get_error tells why */
    uint64_t handle_frames; /* status frames of an attached handle written */
} kivra_recording_status;

/* 1 when this library was built with compression (kivra_compression), 0 otherwise. */
int32_t kivra_compression_available(int32_t compression);

/* Creates or truncates the file at path and records servo's ticks into it
 * from the next on, its chunks compressed as compression (kivra_compression).
 * identity: the arm's identity as "key=value" lines, written once ("unique
 * id" also as the hardware id; NULL: none). On KIVRA_OK *recording is a new
 * handle; otherwise NULL and: KIVRA_NOT_OPEN with detail the errno when the
 * file cannot be made or written, KIVRA_INVALID_ARGUMENT for a compression
 * not built in, KIVRA_BUSY when the loop has all the readers it can take. */
kivra_status kivra_recording_start(kivra_servo* servo, const char* path, int32_t compression, const char* identity,
                                   kivra_recording** recording, int32_t* detail);
/* Writes the ticks still held and the file's summary, and closes it. Stopping twice is KIVRA_OK. */
kivra_status kivra_recording_stop(kivra_recording* recording);
/* Stops the recording and frees the handle. NULL is ignored. */
void kivra_recording_destroy(kivra_recording* recording);
kivra_status kivra_recording_get_status(const kivra_recording* recording, kivra_recording_status* status);
/* Why the recording ended early ("" when it did not), zero-terminated into
 * buffer of size bytes, cut short when it does not fit. */
kivra_status kivra_recording_get_error(const kivra_recording* recording, char* buffer, size_t size);
/* A text (JSON) describing the scene set next, written beside it when the loop switches to it. */
kivra_status kivra_recording_describe_scene(kivra_recording* recording, const char* description);
/* Records handle's status frames too, as they come (/kivra/buttons, sensor_msgs/msg/Joy:
 * the hall-effect sensor's level from 0 to 1 and the buttons; /kivra/orientation,
 * geometry_msgs/msg/QuaternionStamped), read on a thread of the recording's own until it
 * stops or a read fails. Meanwhile the program's reads of the handle give KIVRA_BUSY.
 * KIVRA_CLOSED for a closed handle or a recording that has ended; KIVRA_BUSY when a bridge
 * or another recording reads the handle, or this recording reads one already. */
kivra_status kivra_recording_attach_handle(kivra_recording* recording, kivra_handle* handle);

/* Reading recordings back. A reader walks the file from its start, without
 * its summary: a file cut short by a killed process reads up to its last
 * whole chunk. Chunks are decompressed and their CRCs checked. */
typedef struct kivra_recording_reader kivra_recording_reader;

/* Opens the recording at path. On KIVRA_OK *reader is a new handle;
 * otherwise NULL and: KIVRA_NOT_OPEN with detail the errno when the file
 * cannot be read, KIVRA_INVALID_ARGUMENT when it is not a recording of this
 * library; problem (NULL: not wanted) then says why, zero-terminated into size bytes. */
kivra_status kivra_recording_open(const char* path, kivra_recording_reader** reader, int32_t* detail, char* problem,
                                  size_t size);
/* The next tick into *tick and *stamp [ns since the epoch], *changes the
 * number of effects and scene changes written with it (kivra_recording_get_change),
 * and *more 1; *more 0 after the last whole tick. KIVRA_INVALID_ARGUMENT
 * when the file is damaged before its end (kivra_recording_get_problem says where). */
kivra_status kivra_recording_next_tick(kivra_recording_reader* reader, kivra_tick* tick, uint64_t* stamp,
                                       uint32_t* changes, int32_t* more);
/* Change index (from 0) of the tick read last, a JSON object ({"kind": "effects"
 * or "scene", "tick", "time", ...}), zero-terminated into buffer of size
 * bytes; *length is its length without the zero, whether it fit or not. */
kivra_status kivra_recording_get_change(const kivra_recording_reader* reader, uint32_t index, char* buffer, size_t size,
                                        size_t* length);
/* Why the last call failed ("" if it did not), zero-terminated into buffer of size bytes. */
kivra_status kivra_recording_get_problem(const kivra_recording_reader* reader, char* buffer, size_t size);
/* Once the last tick was read: *whole 1 when the file ended with its summary and footer, 0 when cut short. */
kivra_status kivra_recording_get_whole(const kivra_recording_reader* reader, int32_t* whole);
/* Frees the reader. NULL is ignored. */
void kivra_recording_close(kivra_recording_reader* reader);

/* Makes the recording at path whole again when it was cut short: its whole
 * chunks are rewritten with a new summary and footer into path + ".repair",
 * which then replaces it. A whole file is left as it is (*repaired 0).
 * *ticks: the ticks in the file, as kept. Fails as kivra_recording_open does. */
kivra_status kivra_recording_repair(const char* path, uint64_t* ticks, int32_t* repaired, int32_t* detail,
                                    char* problem, size_t size);

#ifdef __cplusplus
}
#endif

#endif

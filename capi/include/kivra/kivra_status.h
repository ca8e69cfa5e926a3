/* Status codes and conventions shared by every header of the kivra C interface.
 *
 * Every function that talks to a device returns a kivra_status and, when its
 * last argument `detail` is not NULL, stores there what the status needs to be
 * understood (see each code). Output buffers belong to the caller and are
 * written only when the call returns KIVRA_OK. No function throws, keeps a
 * pointer it was given, or allocates on the exchange path.
 *
 * The declarations are plain C with no macros in them, so that the text that
 * remains after the preprocessor lines (and the C++ guards) are removed can
 * be handed to cffi as it is. */
#ifndef KIVRA_STATUS_H
#define KIVRA_STATUS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t kivra_status;

enum kivra_status_code {
    KIVRA_OK = 0,
    KIVRA_TIMED_OUT = 1,     /* nothing, or not enough, came within the time-out */
    KIVRA_HUNG_UP = 2,       /* the port went away; detail: errno when one was reported */
    KIVRA_WRONG_CODE = 3,    /* detail: the header code that came instead (low byte) and, from an arm
                                exchange, the code that was expected (next byte; 0 for none) */
    KIVRA_SHORT_PAYLOAD = 4, /* detail: the payload bytes that came */
    KIVRA_WRITE_FAILED = 5,  /* detail: errno of the write */
    KIVRA_NOT_OPEN = 6,      /* detail: errno of the open (ENOTTY: not a terminal, EBUSY: held exclusively) */
    KIVRA_INTERRUPTED = 7,   /* the calling thread's interrupt descriptor became readable (kivra_set_interrupt_fd) */
    KIVRA_INVALID_ARGUMENT = 16, /* a NULL handle or buffer, or a value out of range */
    KIVRA_CLOSED = 17,           /* the device was closed by this process */
    KIVRA_BUSY = 18,             /* a servo loop owns the device, or a network bridge its reads */
    KIVRA_OUT_OF_MEMORY = 19,
    KIVRA_INTERNAL_ERROR = 20
};

/* Name of a status code ("KIVRA_TIMED_OUT"); a static string, never NULL. */
const char* kivra_status_name(kivra_status status);

/* Version of the library, "major.minor.patch"; a static string. */
const char* kivra_version(void);

/* While fd is readable, every wait of the calling thread for a device (an
 * exchange, a probe, an open's first reply) ends with KIVRA_INTERRUPTED
 * instead of waiting out its time-out; -1 turns it off. The descriptor is
 * only polled, never read: its owner drains it. Meant for a signal wake-up
 * descriptor, so that Ctrl-C ends a wait at once. Probes started by
 * kivra_probe_ports watch their caller's descriptor. */
void kivra_set_interrupt_fd(int32_t fd);

#ifdef __cplusplus
}
#endif

#endif

/* kivra C interface: the handle, and finding devices by what they answer.
 *
 * A handle is owned like an arm: every kivra_handle_open is matched by one
 * kivra_handle_destroy. One handle may be used from several threads; a
 * request or a receive never interleaves with another on the wire. While a
 * network bridge reads the handle (kivra_bridge_attach_handle) its receives
 * and status frame reads give KIVRA_BUSY; requests and closing work as ever.
 * Conventions and status codes: kivra/kivra_status.h. */
#ifndef KIVRA_HANDLE_H
#define KIVRA_HANDLE_H

#include "kivra/kivra.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kivra_handle kivra_handle;

enum kivra_handle_message_kind { KIVRA_HANDLE_INFO = 1, KIVRA_HANDLE_STATUS = 2, KIVRA_HANDLE_ERROR = 3 };

/* Info reply, the answer to a wakeup. */
typedef struct kivra_handle_info {
    uint16_t device_id;
    uint8_t tool_data_remaining;
    uint8_t model_number;
    uint8_t hardware_version;
    uint8_t firmware_version;
} kivra_handle_info;

/* Status message, the answer to a status request. */
typedef struct kivra_handle_status {
    uint16_t device_id;
    float quaternion[4];
    uint8_t error_flag;
    uint8_t hall_effect_sensor_level;
    uint8_t user_data_length;
    uint8_t user_data[255]; /* zero past user_data_length */
} kivra_handle_status;

/* Error response: the handle refused a request. */
typedef struct kivra_handle_error {
    uint16_t device_id;
    uint8_t error_code;
} kivra_handle_error;

/* One reply of the handle; only the member that kind (kivra_handle_message_kind) names is written. */
typedef struct kivra_handle_message {
    int32_t kind;
    kivra_handle_info info;
    kivra_handle_status status;
    kivra_handle_error error;
} kivra_handle_message;

/* The status frame the handle streams on its own while no request comes. */
typedef struct kivra_status_frame {
    float quaternion[4]; /* as the module's GetManiloStatus: q0, -q1, -q2, q3 */
    uint8_t device_id;
    uint8_t buttons;                  /* bits 0 to 2 */
    uint8_t hall_effect_sensor_level; /* 0 to 31 */
    uint8_t error_flag;
    float battery_level; /* [V] */
} kivra_status_frame;

/* Opens the handle on port with the given reply time-out [s] (finite, above
 * 0) and flags (kivra_open_flag), as kivra_arm_open does. */
kivra_status kivra_handle_open(const char* port, double timeout, uint32_t flags, kivra_handle** handle,
                               int32_t* detail);
/* Closes the port at once, after a request or receive in progress; later
 * calls give KIVRA_CLOSED. Closing twice is KIVRA_OK. */
kivra_status kivra_handle_close(kivra_handle* handle);
/* Closes the port and frees the handle. NULL is ignored. */
void kivra_handle_destroy(kivra_handle* handle);
int32_t kivra_handle_is_open(const kivra_handle* handle);
/* Time-out [s] of the requests: how long a full port may hold one back. */
kivra_status kivra_handle_set_timeout(kivra_handle* handle, double timeout);
kivra_status kivra_handle_get_timeout(const kivra_handle* handle, double* timeout);

/* Requests; each returns once its bytes are written. The handle answers a
 * wakeup with its info and a status request with a status message. */
kivra_status kivra_handle_wakeup(kivra_handle* handle, int32_t* detail);
kivra_status kivra_handle_request_status(kivra_handle* handle, int32_t* detail);
/* The handle state: device_id and length (0 to 255) bytes of user data. */
kivra_status kivra_handle_send_state(kivra_handle* handle, uint16_t device_id, const uint8_t* user_data, size_t length,
                                     int32_t* detail);

/* Takes the next reply within timeout [s] (finite, above 0). A code the
 * handle does not send gives KIVRA_WRONG_CODE and drops what is waiting, so
 * that the next receive starts at a later message. */
kivra_status kivra_handle_receive(kivra_handle* handle, double timeout, kivra_handle_message* message, int32_t* detail);
/* Takes the next status frame within timeout [s]; sends nothing. Without an
 * accepted frame: KIVRA_TIMED_OUT with detail the reader's failure code
 * (99 nothing came, 3 no frame among what came, 2 a read failed), or
 * KIVRA_HUNG_UP. */
kivra_status kivra_handle_read_status_frame(kivra_handle* handle, double timeout, kivra_status_frame* frame,
                                            int32_t* detail);

/* Finding devices: one wakeup per port tells an arm from a handle. */

enum kivra_device_kind {
    KIVRA_DEVICE_NONE = 0,   /* no answer: see status */
    KIVRA_DEVICE_ARM = 1,    /* answered with the arm's wakeup reply, model KIVRA_ARM_MODEL_NUMBER */
    KIVRA_DEVICE_HANDLE = 2, /* answered with an info or status message */
    KIVRA_DEVICE_UNKNOWN = 3 /* answered, but as neither: see code, status and arm.model_number */
};

typedef struct kivra_probe_result {
    int32_t kind;        /* kivra_device_kind */
    kivra_status status; /* KIVRA_OK when the answer came in full; KIVRA_NOT_OPEN with
                            detail the open's errno (EBUSY: held exclusively elsewhere) */
    int32_t detail;
    int32_t code;     /* header code of the answer, 0 when none came */
    int32_t has_info; /* 1 when arm (an arm's wakeup reply, of any model) or handle (a
                         handle's info) holds the decoded answer; a handle that answered
                         with a status message tells nothing more */
    kivra_device_info arm;
    kivra_handle_info handle;
} kivra_probe_result;

/* Probes the count ports at once, each on a thread of its own: opens it
 * exclusively, drops what is waiting, sends one wakeup and takes the first
 * answer within timeout [s] (finite, above 0); results[i] tells what answered
 * on ports[i]. Returns when every probe has ended: about one time-out, however
 * many ports. The process-wide kinematic model of the arms is left untouched. */
kivra_status kivra_probe_ports(const char* const* ports, size_t count, double timeout, kivra_probe_result* results);

/* The kind of device (kivra_device_kind) that sends messages with this
 * header code: KIVRA_DEVICE_ARM for the arm's replies, KIVRA_DEVICE_HANDLE
 * for the handle's, KIVRA_DEVICE_UNKNOWN for any other. With the code of a
 * KIVRA_WRONG_CODE it tells which device answered instead. */
int32_t kivra_sender_of_code(int32_t code);

/* 1 when a port of this name (a name in /dev, not a path) may hold a device:
 * a USB CDC-ACM port, a USB serial adapter or a Bluetooth RFCOMM port. */
int32_t kivra_is_candidate_port_name(const char* name);

#ifdef __cplusplus
}
#endif

#endif

/*
 * libvlmtty's side of vlmhost's IPC protocol: whether a descriptor is one
 * of vlmhost's terminals, and TerminalControl requests on its session.
 * Plain C on system calls only: no allocation, no lock, no state between
 * calls, so it may run in a signal handler, between fork and exec, and in
 * any process it is preloaded into.
 */
#ifndef VLMTTY_CLIENT_H
#define VLMTTY_CLIENT_H

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Serial requests (ntddser.h's codes) the session answers. */
#define VLMTTY_GET_MODEMSTATUS 0x001B0068u
#define VLMTTY_SET_DTR 0x001B0024u
#define VLMTTY_CLR_DTR 0x001B0028u
#define VLMTTY_SET_RTS 0x001B0030u
#define VLMTTY_CLR_RTS 0x001B0034u
#define VLMTTY_SET_BREAK_ON 0x001B0010u
#define VLMTTY_SET_BREAK_OFF 0x001B0014u
#define VLMTTY_GET_COMMSTATUS 0x001B006Cu
#define VLMTTY_GET_DTRRTS 0x001B0078u
#define VLMTTY_WAIT_ON_MASK 0x001B0048u
#define VLMTTY_GET_COUNTERS 0x001B3C04u /* vlmhost's own: 11 u32 counters */
#define VLMTTY_COUNTERS 11

/* What the requests report, as ntddser.h names the bits. */
#define VLMTTY_MS_CTS 0x10u
#define VLMTTY_MS_DSR 0x20u
#define VLMTTY_MS_RING 0x40u
#define VLMTTY_MS_RLSD 0x80u
#define VLMTTY_DTR_STATE 0x1u
#define VLMTTY_RTS_STATE 0x2u
#define VLMTTY_EV_CTS 0x0008u
#define VLMTTY_EV_DSR 0x0010u
#define VLMTTY_EV_RLSD 0x0020u
#define VLMTTY_EV_RING 0x0100u

#define VLMTTY_STATUS_SUCCESS 0
#define VLMTTY_STATUS_NO_SUCH_DEVICE ((int32_t)0xC000000E)
#define VLMTTY_STATUS_INVALID_PARAMETER ((int32_t)0xC000000D)
#define VLMTTY_STATUS_ACCESS_DENIED ((int32_t)0xC0000022)
#define VLMTTY_STATUS_CANCELLED ((int32_t)0xC0000120)

/* The system root: $VLM_SYSTEM_ROOT, else /var/lib/vlm. */
const char* vlmtty_root(void);

/* Whether <root>/run/terminals lists `device`; 0 when it does not or the
 * list cannot be read. */
int vlmtty_listed(const char* root, dev_t device);

/* One connection to vlmhost; requests on it are answered in turn. */
struct vlmtty_connection {
    int fd;
    uint32_t next_id;
};

/* Connects and says Hello. 0, or -1 when vlmhost cannot be reached or
 * does not admit this process. */
int vlmtty_connect(const char* root, struct vlmtty_connection* connection);
void vlmtty_disconnect(struct vlmtty_connection* connection);

/* A TerminalControl request on the session of terminal `device`. Waits
 * for the reply at most `limit_ms` (-1: for as long as it takes; a signal
 * ends the wait with errno EINTR). Returns 0 with *status and *answered
 * (bytes put in `output`) when vlmhost replied, else -1 with errno
 * (ETIMEDOUT, EINTR, EPIPE...). */
int vlmtty_request(struct vlmtty_connection* connection, dev_t device, uint32_t code, const void* input,
        uint32_t input_length, void* output, uint32_t output_length, int limit_ms, int32_t* status, uint32_t* answered);

#ifdef __cplusplus
}
#endif

#endif

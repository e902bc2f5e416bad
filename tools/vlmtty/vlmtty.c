/*
 * libvlmtty: preloaded into a serial program (vlmrun does it), it answers
 * the handshake-line ioctls on vlmhost's terminals from the port's
 * session, as a serial driver answers them from its UART: TIOCMGET,
 * TIOCMSET, TIOCMBIS, TIOCMBIC, TIOCMIWAIT, TIOCGICOUNT, TIOCSBRK,
 * TIOCCBRK and the break of TCSBRK/TCSBRKP (and so tcsendbreak).
 *
 * Every other ioctl goes to the C library at once, untouched; so does any
 * of these on a descriptor that is not one of vlmhost's terminals (its
 * device number is not in <root>/run/terminals). When vlmhost cannot be
 * reached the answer is a plain pseudo-terminal's: ENOTTY. Nothing is
 * kept between calls but the C library's ioctl, which is the same in a
 * forked child and found afresh after exec; only TIOCMIWAIT waits (until a
 * line changes, the session ends or a signal comes: EINTR), and the other
 * requests give vlmhost a bounded time. Only system calls are made, so the
 * answered calls stay async-signal-safe.
 */
#define _GNU_SOURCE
#include "client.h"

#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

typedef int (*ioctl_function)(int, unsigned long, ...);

/* The C library's ioctl, looked up before main (dlsym is no call for a
 * signal handler) and again if something calls in earlier. */
static ioctl_function next_ioctl;

__attribute__((constructor)) static void find_next_ioctl(void)
{
    ioctl_function next = (ioctl_function)dlsym(RTLD_NEXT, "ioctl");
    __atomic_store_n(&next_ioctl, next, __ATOMIC_RELEASE);
}

static int pass_on(int fd, unsigned long request, void* argument)
{
    ioctl_function next = __atomic_load_n(&next_ioctl, __ATOMIC_ACQUIRE);
    if (!next) {
        find_next_ioctl();
        next = __atomic_load_n(&next_ioctl, __ATOMIC_ACQUIRE);
    }
    if (!next)
        return (int)syscall(SYS_ioctl, fd, request, argument);
    return next(fd, request, argument);
}

/* How long vlmhost may take over a request that is no wait: the first
 * request after an open waits while the session connects to the printer. */
#define ANSWER_LIMIT_MS 10000
/* TCSBRK's break, as Linux times it. */
#define BREAK_MS 250

static int answers(unsigned long request)
{
    switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMIWAIT:
    case TIOCGICOUNT:
    case TIOCSBRK:
    case TIOCCBRK:
    case TCSBRK:
    case TCSBRKP:
        return 1;
    default:
        return 0;
    }
}

/* errno for a status vlmhost answered with. */
static int error_of(int32_t status)
{
    switch (status) {
    case VLMTTY_STATUS_NO_SUCH_DEVICE:
        return ENOTTY; /* no longer one of its terminals */
    case VLMTTY_STATUS_INVALID_PARAMETER:
        return EINVAL;
    case VLMTTY_STATUS_ACCESS_DENIED:
        return EACCES;
    default:
        return EIO; /* the session ended (hung up), or the port failed */
    }
}

/* One request on the session; 0, or -1 with errno. */
static int ask(struct vlmtty_connection* connection, dev_t device, uint32_t code, const void* input,
        uint32_t input_length, void* output, uint32_t output_length, int limit_ms)
{
    int32_t status;
    uint32_t answered;
    if (vlmtty_request(connection, device, code, input, input_length, output, output_length, limit_ms, &status,
                &answered) != 0) {
        if (errno != EINTR)
            errno = errno == ETIMEDOUT ? EIO : ENOTTY;
        return -1;
    }
    if (status < 0) {
        errno = error_of(status);
        return -1;
    }
    if (answered < output_length) {
        errno = EIO;
        return -1;
    }
    return 0;
}

static uint32_t get_u32(const uint8_t* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static int modem_lines(struct vlmtty_connection* c, dev_t device, int* lines)
{
    uint8_t status[4], dtrrts[4];
    if (ask(c, device, VLMTTY_GET_MODEMSTATUS, NULL, 0, status, 4, ANSWER_LIMIT_MS) != 0 ||
            ask(c, device, VLMTTY_GET_DTRRTS, NULL, 0, dtrrts, 4, ANSWER_LIMIT_MS) != 0)
        return -1;
    uint32_t in = get_u32(status), out = get_u32(dtrrts);
    *lines = ((in & VLMTTY_MS_CTS) ? TIOCM_CTS : 0) | ((in & VLMTTY_MS_DSR) ? TIOCM_DSR : 0) |
            ((in & VLMTTY_MS_RING) ? TIOCM_RNG : 0) | ((in & VLMTTY_MS_RLSD) ? TIOCM_CAR : 0) |
            ((out & VLMTTY_DTR_STATE) ? TIOCM_DTR : 0) | ((out & VLMTTY_RTS_STATE) ? TIOCM_RTS : 0);
    return 0;
}

/* DTR and RTS as TIOCMSET (set), TIOCMBIS (raise) or TIOCMBIC (drop) ask. */
static int set_lines(struct vlmtty_connection* c, dev_t device, unsigned long request, int bits)
{
    if ((request == TIOCMSET || (bits & TIOCM_DTR)) &&
            ask(c, device,
                    ((request == TIOCMSET && (bits & TIOCM_DTR)) || request == TIOCMBIS) ? VLMTTY_SET_DTR
                                                                                         : VLMTTY_CLR_DTR,
                    NULL, 0, NULL, 0, ANSWER_LIMIT_MS) != 0)
        return -1;
    if ((request == TIOCMSET || (bits & TIOCM_RTS)) &&
            ask(c, device,
                    ((request == TIOCMSET && (bits & TIOCM_RTS)) || request == TIOCMBIS) ? VLMTTY_SET_RTS
                                                                                         : VLMTTY_CLR_RTS,
                    NULL, 0, NULL, 0, ANSWER_LIMIT_MS) != 0)
        return -1;
    return 0;
}

static int wait_for_lines(struct vlmtty_connection* c, dev_t device, unsigned long lines)
{
    uint32_t mask = ((lines & TIOCM_CTS) ? VLMTTY_EV_CTS : 0) | ((lines & TIOCM_DSR) ? VLMTTY_EV_DSR : 0) |
            ((lines & TIOCM_CAR) ? VLMTTY_EV_RLSD : 0) | ((lines & TIOCM_RNG) ? VLMTTY_EV_RING : 0);
    uint8_t input[4] = {(uint8_t)mask, (uint8_t)(mask >> 8), (uint8_t)(mask >> 16), (uint8_t)(mask >> 24)};
    uint8_t events[4];
    /* Ended by closing the connection: vlmhost cancels the wait. */
    return ask(c, device, VLMTTY_WAIT_ON_MASK, input, 4, events, 4, -1);
}

static int counters(struct vlmtty_connection* c, dev_t device, struct serial_icounter_struct* out)
{
    uint8_t raw[VLMTTY_COUNTERS * 4];
    if (ask(c, device, VLMTTY_GET_COUNTERS, NULL, 0, raw, sizeof raw, ANSWER_LIMIT_MS) != 0)
        return -1;
    int* fields[VLMTTY_COUNTERS] = {&out->cts, &out->dsr, &out->rng, &out->dcd, &out->rx, &out->tx, &out->frame,
            &out->overrun, &out->parity, &out->brk, &out->buf_overrun};
    for (int i = 0; i < 9; i++)
        out->reserved[i] = 0;
    for (int i = 0; i < VLMTTY_COUNTERS; i++)
        *fields[i] = (int)get_u32(raw + 4 * i);
    return 0;
}

static int send_break(struct vlmtty_connection* c, dev_t device, int milliseconds)
{
    if (ask(c, device, VLMTTY_SET_BREAK_ON, NULL, 0, NULL, 0, ANSWER_LIMIT_MS) != 0)
        return -1;
    struct timespec left = {milliseconds / 1000, (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) { }
    return ask(c, device, VLMTTY_SET_BREAK_OFF, NULL, 0, NULL, 0, ANSWER_LIMIT_MS);
}

static int answer(int fd, dev_t device, unsigned long request, void* argument)
{
    /* TCSBRK and TCSBRKP drain the output first, as the terminal does;
     * their break follows only when one is asked for. */
    int break_ms = 0;
    if (request == TCSBRK || request == TCSBRKP) {
        int drained = pass_on(fd, request, argument);
        if (drained != 0)
            return drained;
        long duration = (long)argument;
        if (request == TCSBRK && duration != 0)
            return 0; /* tcdrain's form */
        break_ms = request == TCSBRKP && duration > 0 ? (int)(duration > 300 ? 30000 : duration * 100) : BREAK_MS;
    }
    if ((request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC ||
                request == TIOCGICOUNT) &&
            argument == NULL) {
        errno = EFAULT;
        return -1;
    }
    struct vlmtty_connection c;
    if (vlmtty_connect(vlmtty_root(), &c) != 0) {
        errno = ENOTTY;
        return -1;
    }
    int result;
    switch (request) {
    case TIOCMGET:
        result = modem_lines(&c, device, (int*)argument);
        break;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
        result = set_lines(&c, device, request, *(const int*)argument);
        break;
    case TIOCMIWAIT:
        result = wait_for_lines(&c, device, (unsigned long)argument);
        break;
    case TIOCGICOUNT:
        result = counters(&c, device, (struct serial_icounter_struct*)argument);
        break;
    case TIOCSBRK:
        result = ask(&c, device, VLMTTY_SET_BREAK_ON, NULL, 0, NULL, 0, ANSWER_LIMIT_MS);
        break;
    case TIOCCBRK:
        result = ask(&c, device, VLMTTY_SET_BREAK_OFF, NULL, 0, NULL, 0, ANSWER_LIMIT_MS);
        break;
    default:
        result = send_break(&c, device, break_ms);
        break;
    }
    int saved = errno;
    vlmtty_disconnect(&c);
    errno = saved;
    return result;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (!answers(request))
        return pass_on(fd, request, argument);
    int saved = errno;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !vlmtty_listed(vlmtty_root(), st.st_rdev)) {
        errno = saved;
        return pass_on(fd, request, argument);
    }
    int result = answer(fd, st.st_rdev, request, argument);
    if (result == 0)
        errno = saved;
    return result;
}

/* The C library sends its break with an ioctl of its own that no
 * preloaded ioctl sees; this is its tcsendbreak on ours. */
int tcsendbreak(int fd, int duration)
{
    if (duration <= 0)
        return ioctl(fd, TCSBRK, (void*)0);
    return ioctl(fd, TCSBRKP, (void*)(long)((duration + 99) / 100));
}

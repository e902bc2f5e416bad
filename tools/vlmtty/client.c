#define _GNU_SOURCE
#include "client.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

/* The wire: a 24-byte header, little endian (magic "VLMI", version, op,
 * id, handle, length, reserved), then the payload. */
#define HEADER_BYTES 24u
#define MAGIC 0x494D4C56u
#define VERSION 1u
#define OP_HELLO 1u
#define OP_TERMINAL_CONTROL 12u
#define REPLY_BIT 0x8000u
#define REPLY_FIXED_BYTES 16u
#define MAX_OUTPUT 4096u /* the most any request here asks back */

/* How long Hello's answer may take: vlmhost answers it on the connection's
 * own thread, before it reads anything else. */
#define HELLO_LIMIT_MS 5000

static void put16(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

static void put32(uint8_t* p, uint32_t v)
{
    put16(p, v);
    put16(p + 2, v >> 16);
}

static uint32_t get32(const uint8_t* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static void header(uint8_t* p, uint32_t op, uint32_t id, uint32_t length)
{
    memset(p, 0, HEADER_BYTES);
    put32(p, MAGIC);
    put16(p + 4, VERSION);
    put16(p + 6, op);
    put32(p + 8, id);
    put32(p + 16, length);
}

const char* vlmtty_root(void)
{
    const char* root = getenv("VLM_SYSTEM_ROOT");
    return root && *root ? root : "/var/lib/vlm";
}

/* root + suffix into buffer; 0, or -1 when it does not fit. */
static int join(char* buffer, size_t size, const char* root, const char* suffix)
{
    size_t a = strlen(root), b = strlen(suffix);
    if (a + b + 1 > size)
        return -1;
    memcpy(buffer, root, a);
    memcpy(buffer + a, suffix, b + 1);
    return 0;
}

int vlmtty_listed(const char* root, dev_t device)
{
    char path[512];
    if (join(path, sizeof path, root, "/run/terminals") != 0)
        return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return 0;
    /* Lines "<device> <name>": the number at each line's start is compared
     * as it is read, whatever the chunks. */
    char chunk[1024];
    unsigned long long number = 0;
    int at_start = 1, in_number = 0, digits = 0, found = 0;
    ssize_t n;
    while (!found && (n = read(fd, chunk, sizeof chunk)) > 0) {
        for (ssize_t i = 0; i < n && !found; i++) {
            char c = chunk[i];
            if (c == '\n') {
                at_start = 1;
                in_number = 0;
                continue;
            }
            if (at_start) {
                at_start = 0;
                in_number = 1;
                number = 0;
                digits = 0;
            }
            if (!in_number)
                continue;
            if (c >= '0' && c <= '9' && digits < 20) {
                number = number * 10 + (unsigned long long)(c - '0');
                digits++;
            } else {
                found = c == ' ' && digits > 0 && number == (unsigned long long)device;
                in_number = 0;
            }
        }
    }
    close(fd);
    return found;
}

static long long now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

/* All of bytes; -1 with errno on failure. */
static int send_all(int fd, const uint8_t* bytes, size_t size)
{
    while (size > 0) {
        ssize_t n = send(fd, bytes, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        bytes += n;
        size -= (size_t)n;
    }
    return 0;
}

/* Exactly `size` bytes before the deadline (-1: none); -1 with errno
 * ETIMEDOUT, EINTR (a signal came: the caller gives up), EPIPE (closed). */
static int receive_all(int fd, uint8_t* bytes, size_t size, long long deadline)
{
    while (size > 0) {
        int wait = -1;
        if (deadline >= 0) {
            long long left = deadline - now_ms();
            if (left <= 0) {
                errno = ETIMEDOUT;
                return -1;
            }
            wait = left > 1000000 ? 1000000 : (int)left;
        }
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, wait);
        if (ready < 0)
            return -1;
        if (ready == 0)
            continue;
        ssize_t n = recv(fd, bytes, size, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n < 0)
            return -1;
        if (n == 0) {
            errno = EPIPE;
            return -1;
        }
        bytes += n;
        size -= (size_t)n;
    }
    return 0;
}

/* One reply of op `op` and id `id`: its status and up to `room` bytes of
 * data into `data`; more data than that is a broken peer. */
static int receive_reply(
        int fd, uint32_t op, uint32_t id, long long deadline, int32_t* status, void* data, uint32_t room, uint32_t* got)
{
    uint8_t head[HEADER_BYTES], fixed[REPLY_FIXED_BYTES];
    if (receive_all(fd, head, sizeof head, deadline) != 0)
        return -1;
    uint32_t length = get32(head + 16);
    if (get32(head) != MAGIC || (get32(head + 4) & 0xFFFFu) != VERSION ||
            ((get32(head + 4) >> 16) & 0xFFFFu) != (op | REPLY_BIT) || get32(head + 8) != id ||
            length < REPLY_FIXED_BYTES || length - REPLY_FIXED_BYTES > room) {
        errno = EPROTO;
        return -1;
    }
    if (receive_all(fd, fixed, sizeof fixed, deadline) != 0)
        return -1;
    *status = (int32_t)get32(fixed);
    *got = length - REPLY_FIXED_BYTES;
    return *got == 0 ? 0 : receive_all(fd, (uint8_t*)data, *got, deadline);
}

int vlmtty_connect(const char* root, struct vlmtty_connection* connection)
{
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (join(address.sun_path, sizeof address.sun_path, root, "/run/vlmhost.sock") != 0)
        return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int result;
    do
        result = connect(fd, (const struct sockaddr*)&address, sizeof address);
    while (result != 0 && errno == EINTR);
    uint8_t hello[HEADER_BYTES];
    header(hello, OP_HELLO, 1, 0);
    int32_t status = -1;
    uint32_t got = 0;
    if (result != 0 || send_all(fd, hello, sizeof hello) != 0 ||
            receive_reply(fd, OP_HELLO, 1, now_ms() + HELLO_LIMIT_MS, &status, NULL, 0, &got) != 0 ||
            status != VLMTTY_STATUS_SUCCESS) {
        close(fd);
        return -1;
    }
    connection->fd = fd;
    connection->next_id = 2;
    return 0;
}

void vlmtty_disconnect(struct vlmtty_connection* connection)
{
    if (connection->fd >= 0)
        close(connection->fd);
    connection->fd = -1;
}

int vlmtty_request(struct vlmtty_connection* connection, dev_t device, uint32_t code, const void* input,
        uint32_t input_length, void* output, uint32_t output_length, int limit_ms, int32_t* status, uint32_t* answered)
{
    uint8_t message[HEADER_BYTES + 16 + 64];
    if (input_length > sizeof message - HEADER_BYTES - 16 || output_length > MAX_OUTPUT) {
        errno = EINVAL;
        return -1;
    }
    uint32_t id = connection->next_id++;
    uint32_t length = 16 + input_length;
    header(message, OP_TERMINAL_CONTROL, id, length);
    uint8_t* payload = message + HEADER_BYTES;
    put32(payload, code);
    put32(payload + 4, output_length);
    put32(payload + 8, (uint32_t)((unsigned long long)device & 0xFFFFFFFFu));
    put32(payload + 12, (uint32_t)((unsigned long long)device >> 32));
    if (input_length)
        memcpy(payload + 16, input, input_length);
    if (send_all(connection->fd, message, HEADER_BYTES + length) != 0)
        return -1;
    long long deadline = limit_ms < 0 ? -1 : now_ms() + limit_ms;
    return receive_reply(connection->fd, OP_TERMINAL_CONTROL, id, deadline, status, output, output_length, answered);
}

/*
 * vlmttywritecost VLMRUN: what libvlmtty costs a program that only writes.
 * Runs itself, alternately plain and under VLMRUN, five rounds each; every
 * run times 1,000,000 one-byte writes to /dev/null and 1,000,000 TCGETS
 * ioctls (passed on by the library) and prints nanoseconds per call, the
 * median of the rounds last. The library does not interpose write at all,
 * so any difference in the write column is noise.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define CALLS 1000000
#define ROUNDS 5

static double now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e9 + (double)t.tv_nsec;
}

static int measure(void)
{
    int null = open("/dev/null", O_WRONLY);
    int tty = posix_openpt(O_RDWR | O_NOCTTY);
    if (null < 0 || tty < 0)
        return 1;
    double start = now_ns();
    for (int i = 0; i < CALLS; i++)
        if (write(null, "x", 1) != 1)
            return 1;
    double writes = (now_ns() - start) / CALLS;
    struct termios t;
    start = now_ns();
    for (int i = 0; i < CALLS; i++)
        if (ioctl(tty, TCGETS, &t) != 0)
            return 1;
    double ioctls = (now_ns() - start) / CALLS;
    printf("%.1f %.1f\n", writes, ioctls);
    return 0;
}

static int run(const char* vlmrun, const char* self, double* writes, double* ioctls)
{
    int out[2];
    if (pipe(out) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        if (vlmrun)
            execl(vlmrun, vlmrun, self, "--measure", (char*)NULL);
        else
            execl(self, self, "--measure", (char*)NULL);
        _exit(127);
    }
    close(out[1]);
    char text[128] = {0};
    ssize_t n = read(out[0], text, sizeof text - 1);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (n <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || sscanf(text, "%lf %lf", writes, ioctls) != 2)
        return -1;
    return 0;
}

static int by_value(const void* a, const void* b)
{
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "--measure") == 0)
        return measure();
    if (argc != 2) {
        fprintf(stderr, "usage: vlmttywritecost PATH-TO-VLMRUN\n");
        return 2;
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return 1;
    self[n] = '\0';
    double w[2][ROUNDS], c[2][ROUNDS];
    printf("ns per call, %d calls a run   write(/dev/null)   ioctl(TCGETS)\n", CALLS);
    for (int round = 0; round < ROUNDS; round++) {
        for (int preloaded = 0; preloaded < 2; preloaded++) {
            if (run(preloaded ? argv[1] : NULL, self, &w[preloaded][round], &c[preloaded][round]) != 0) {
                fprintf(stderr, "vlmttywritecost: a run failed\n");
                return 1;
            }
            printf("round %d %-22s %10.1f %15.1f\n", round + 1, preloaded ? "under vlmrun" : "plain",
                    w[preloaded][round], c[preloaded][round]);
        }
    }
    for (int preloaded = 0; preloaded < 2; preloaded++) {
        qsort(w[preloaded], ROUNDS, sizeof(double), by_value);
        qsort(c[preloaded], ROUNDS, sizeof(double), by_value);
        printf("median  %-22s %10.1f %15.1f\n", preloaded ? "under vlmrun" : "plain", w[preloaded][ROUNDS / 2],
                c[preloaded][ROUNDS / 2]);
    }
    return 0;
}

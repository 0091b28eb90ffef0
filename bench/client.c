/* The C baseline: each workload done with plain system calls on the same kind of pty, as a
 * careful C program would do it without the library. Started by bench-host, which holds the
 * master side; see host.c for the control lines.
 *
 * Usage: bench-client read|echo|bulk|list|silent|cpu
 *
 * The port is $TARVOLEX_PORT_DIR/COM3, opened blocking in raw mode at 57600 bit/s 8N1 with
 * VMIN=1: a read() of one byte returns as soon as there is one. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static void fail(const char *what) {
    fprintf(stderr, "bench-client: %s: %s\n", what, strerror(errno));
    exit(1);
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static const char *portDir(void) {
    const char *dir = getenv("TARVOLEX_PORT_DIR");
    return dir != NULL && *dir != '\0' ? dir : "/dev";
}

static int openPort(void) {
    char path[4096];
    snprintf(path, sizeof path, "%s/COM3", portDir());
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        fail(path);
    }
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        fail("tcgetattr");
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (cfsetspeed(&tio, B57600) != 0 || tcsetattr(fd, TCSANOW, &tio) != 0) {
        fail("tcsetattr");
    }
    return fd;
}

static void readLine(char *line, size_t size) {
    if (fgets(line, (int)size, stdin) == NULL) {
        fprintf(stderr, "bench-client: the host hung up\n");
        exit(1);
    }
}

static void say(const char *line) {
    puts(line);
    fflush(stdout);
}

static int compareLongs(const void *a, const void *b) {
    const long x = *(const long *)a;
    const long y = *(const long *)b;
    return (x > y) - (x < y);
}

/* The value at fraction q of the sorted samples (nearest rank). */
static long quantile(long *samples, int count, double q) {
    qsort(samples, (size_t)count, sizeof *samples, compareLongs);
    int rank = (int)(q * count + 0.999999);
    rank = rank < 1 ? 1 : (rank > count ? count : rank);
    return samples[rank - 1];
}

static void perByteRead(int fd) {
    char line[128];
    long warm = 0;
    long total = 0;
    readLine(line, sizeof line);
    if (sscanf(line, "go %ld %ld", &warm, &total) != 2) {
        fail("go line");
    }
    long done = 0;
    double timed = 0;
    uint32_t sum = 0;
    for (;;) {
        readLine(line, sizeof line);
        if (strncmp(line, "end", 3) == 0) {
            break;
        }
        const long count = atol(line);
        const double start = now();
        for (long i = 0; i < count; ++i) {
            unsigned char byte;
            if (read(fd, &byte, 1) != 1) {
                fail("read");
            }
            sum += byte;
        }
        const double elapsed = now() - start;
        if (done >= warm) {
            timed += elapsed;
        }
        done += count;
        say("done");
    }
    printf("read_bytes_per_s %.0f\nread_sum %u\n", (double)total / timed, sum);
}

static void echo(int fd) {
    char line[128];
    int warm = 0;
    int rounds = 0;
    readLine(line, sizeof line);
    if (sscanf(line, "go %d %d", &warm, &rounds) != 2 || rounds <= 0) {
        fail("go line");
    }
    long *nanos = calloc((size_t)rounds, sizeof *nanos);
    for (int i = -warm; i < rounds; ++i) {
        const unsigned char out = (unsigned char)i;
        unsigned char in = 0;
        struct timespec t0;
        struct timespec t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        if (write(fd, &out, 1) != 1) {
            fail("write");
        }
        if (read(fd, &in, 1) != 1) {
            fail("read");
        }
        clock_gettime(CLOCK_MONOTONIC, &t1);
        if (in != out) {
            fprintf(stderr, "bench-client: echo returned %u for %u\n", in, out);
            exit(1);
        }
        if (i >= 0) {
            nanos[i] = (t1.tv_sec - t0.tv_sec) * 1000000000L + (t1.tv_nsec - t0.tv_nsec);
        }
    }
    printf("echo_median_us %.2f\n", quantile(nanos, rounds, 0.5) / 1e3);
    printf("echo_p99_us %.2f\n", quantile(nanos, rounds, 0.99) / 1e3);
    free(nanos);
}

static void writeAll(int fd, const unsigned char *bytes, size_t count) {
    while (count > 0) {
        const ssize_t put = write(fd, bytes, count);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            fail("write");
        }
        bytes += put;
        count -= (size_t)put;
    }
}

static void bulkWrite(int fd) {
    char line[128];
    long warm = 0;
    long total = 0;
    long block = 0;
    readLine(line, sizeof line);
    if (sscanf(line, "go %ld %ld %ld", &warm, &total, &block) != 3 || block <= 0 || block > 65536) {
        fail("go line");
    }
    static unsigned char bytes[65536];
    for (long i = 0; i < block; ++i) {
        bytes[i] = (unsigned char)i;
    }
    for (long sent = 0; sent < warm; sent += block) {
        writeAll(fd, bytes, (size_t)block);
    }
    const double start = now();
    for (long sent = 0; sent < total; sent += block) {
        writeAll(fd, bytes, (size_t)block);
    }
    const double elapsed = now() - start;
    printf("bulk_mb_per_s %.2f\n", (double)total / elapsed / 1e6);
}

/* COM1..COM40, each opened and at once closed again when it opens. */
static void list(void) {
    char line[128];
    int warm = 0;
    int calls = 0;
    readLine(line, sizeof line);
    if (sscanf(line, "go %d %d", &warm, &calls) != 2 || calls <= 0) {
        fail("go line");
    }
    long *nanos = calloc((size_t)calls, sizeof *nanos);
    char found[512] = "";
    for (int call = -warm; call < calls; ++call) {
        found[0] = '\0';
        struct timespec t0;
        struct timespec t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        for (int n = 1; n <= 40; ++n) {
            char path[4096];
            snprintf(path, sizeof path, "%s/COM%d", portDir(), n);
            const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                close(fd);
                snprintf(found + strlen(found), sizeof found - strlen(found), "%sCOM%d",
                         found[0] != '\0' ? "," : "", n);
            }
        }
        clock_gettime(CLOCK_MONOTONIC, &t1);
        if (call >= 0) {
            nanos[call] = (t1.tv_sec - t0.tv_sec) * 1000000000L + (t1.tv_nsec - t0.tv_nsec);
        }
    }
    printf("list_ms %.4f\n", quantile(nanos, calls, 0.5) / 1e6);
    printf("list_found %s\n", found[0] != '\0' ? found : "none");
    free(nanos);
}

/* A read with the library's time-out on a line that never sends. */
static void silent(int fd) {
    char line[128];
    readLine(line, sizeof line);
    struct pollfd waiting = {fd, POLLIN, 0};
    const double start = now();
    const int ready = poll(&waiting, 1, 1005);
    const double elapsed = now() - start;
    if (ready != 0) {
        fail("poll on a silent line");
    }
    printf("silent_ms %.2f\n", elapsed * 1e3);
}

/* Nanoseconds this (single-threaded) process has run, from /proc/self/schedstat. */
static long long runNanos(void) {
    FILE *stat = fopen("/proc/self/schedstat", "r");
    long long nanos = -1;
    if (stat == NULL || fscanf(stat, "%lld", &nanos) != 1) {
        fail("/proc/self/schedstat");
    }
    fclose(stat);
    return nanos;
}

static void cpu(int fd) {
    char line[128];
    readLine(line, sizeof line);
    const long long idleStart = runNanos();
    const double idleWall = now();
    const struct timespec two = {2, 0};
    nanosleep(&two, NULL);
    const double idle = (double)(runNanos() - idleStart) / 1e9 / (now() - idleWall);
    const long long blockedStart = runNanos();
    const double blockedWall = now();
    struct pollfd waiting = {fd, POLLIN, 0};
    if (poll(&waiting, 1, 2000) != 0) {
        fail("poll on a silent line");
    }
    const double blocked = (double)(runNanos() - blockedStart) / 1e9 / (now() - blockedWall);
    printf("cpu_idle_pct %.4f\ncpu_blocked_pct %.4f\ncpu_reader_pct %.4f\n", idle * 100,
           blocked * 100, blocked * 100);
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: bench-client read|echo|bulk|list|silent|cpu\n");
        return 2;
    }
    const char *workload = argv[1];
    if (strcmp(workload, "list") == 0) {
        say("ready");
        list();
        return 0;
    }
    const int fd = openPort();
    say("ready");
    if (strcmp(workload, "read") == 0) {
        perByteRead(fd);
    } else if (strcmp(workload, "echo") == 0) {
        echo(fd);
    } else if (strcmp(workload, "bulk") == 0) {
        bulkWrite(fd);
    } else if (strcmp(workload, "silent") == 0) {
        silent(fd);
    } else if (strcmp(workload, "cpu") == 0) {
        cpu(fd);
    } else {
        fprintf(stderr, "bench-client: unknown workload %s\n", workload);
        return 2;
    }
    close(fd);
    return 0;
}

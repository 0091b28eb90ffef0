/* The master side of one benchmark run.
 *
 * Usage: bench-host WORKLOAD PORT_DIR [--ports COM1,COM3,...] -- CLIENT [ARGS...]
 *
 * Creates a fresh pty per port (COM3 unless --ports says otherwise), links each slave into
 * PORT_DIR, starts CLIENT with TARVOLEX_PORT_DIR=PORT_DIR and plays the other end of the line for
 * WORKLOAD: it fills the input, echoes, drains or stays silent. The same host serves the C
 * baseline and the Java client, so both see exactly the same partner. Control lines go to the
 * client's standard input ("go ..."); the client answers "ready" once its port is open and ends
 * with result lines "<metric> <value>" on its standard output, which the host copies to its own.
 * Exits non-zero when the client fails or moves other bytes than it was given. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

/* Workload sizes; the clients learn them from the "go" line. */
enum {
    readWarmBytes = 40000,
    readBytes = 200000,
    /* Bytes per fill: what the slave's line discipline holds at once in raw mode (4 KiB less one
     * byte on Linux), so that every timed byte is already in the reader's own queue. */
    readChunk = 4000,
    echoWarm = 1000,
    echoRounds = 5000,
    bulkWarmBytes = 64 * 1024,
    bulkBytes = 1024 * 1024,
    bulkBlock = 4096,
    listWarm = 5,
    listCalls = 40,
    maxPorts = 40,
};

static void die(const char *format, ...) {
    va_list args;
    va_start(args, format);
    fputs("bench-host: ", stderr);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    exit(1);
}

struct Pty {
    char link[4096];
    int master;
    int slave; /* our own view of the slave, to see how much input is queued */
};

static void openPty(struct Pty *pty, const char *dir, const char *name) {
    pty->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty->master < 0 || grantpt(pty->master) != 0 || unlockpt(pty->master) != 0) {
        die("posix_openpt: %s", strerror(errno));
    }
    const char *slavePath = ptsname(pty->master);
    pty->slave = open(slavePath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (pty->slave < 0) {
        die("open %s: %s", slavePath, strerror(errno));
    }
    snprintf(pty->link, sizeof pty->link, "%s/%s", dir, name);
    unlink(pty->link);
    if (symlink(slavePath, pty->link) != 0) {
        die("symlink %s: %s", pty->link, strerror(errno));
    }
}

static void closePty(struct Pty *pty) {
    unlink(pty->link);
    close(pty->slave);
    close(pty->master);
}

static void writeAll(int fd, const unsigned char *bytes, size_t count) {
    while (count > 0) {
        const ssize_t put = write(fd, bytes, count);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            die("write to the master: %s", strerror(errno));
        }
        bytes += put;
        count -= (size_t)put;
    }
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* Waits until the slave's line discipline holds `count` bytes of input. */
static void awaitQueued(const struct Pty *pty, int count) {
    const double deadline = now() + 5.0;
    int queued = 0;
    while (ioctl(pty->slave, FIONREAD, &queued) == 0 && queued < count) {
        if (now() > deadline) {
            die("only %d of %d bytes reached the slave", queued, count);
        }
        usleep(50);
    }
}

static FILE *fromClient;
static FILE *toClient;

static void expectLine(const char *expected) {
    char line[256];
    if (fgets(line, sizeof line, fromClient) == NULL) {
        die("the client ended before saying \"%s\"", expected);
    }
    line[strcspn(line, "\n")] = '\0';
    if (strcmp(line, expected) != 0) {
        die("the client said \"%s\", expected \"%s\"", line, expected);
    }
}

static void send(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(toClient, format, args);
    va_end(args);
    fflush(toClient);
}

/* Per-byte read: fills the slave's queue a chunk at a time; the client reads each chunk byte by
 * byte, timing only its read loop. Returns the sum of all bytes sent. */
static uint32_t hostRead(const struct Pty *pty) {
    unsigned char chunk[readChunk];
    uint32_t sum = 0;
    int sent = 0;
    send("go %d %d\n", readWarmBytes, readBytes);
    for (int total = readWarmBytes + readBytes; sent < total;) {
        const int count = total - sent < readChunk ? total - sent : readChunk;
        for (int i = 0; i < count; ++i) {
            chunk[i] = (unsigned char)((sent + i) * 7 + 1);
            sum += chunk[i];
        }
        writeAll(pty->master, chunk, (size_t)count);
        awaitQueued(pty, count);
        send("%d\n", count);
        sent += count;
        expectLine("done");
    }
    return sum;
}

/* Echo: returns every byte as soon as it arrives. */
static void hostEcho(const struct Pty *pty) {
    send("go %d %d\n", echoWarm, echoRounds);
    unsigned char bytes[64];
    for (int echoed = 0; echoed < echoWarm + echoRounds;) {
        const ssize_t got = read(pty->master, bytes, sizeof bytes);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            die("echo: read from the master: %s", got == 0 ? "end of file" : strerror(errno));
        }
        writeAll(pty->master, bytes, (size_t)got);
        echoed += (int)got;
    }
}

/* Bulk write: drains the master as fast as it can. */
static void hostBulk(const struct Pty *pty) {
    send("go %d %d %d\n", bulkWarmBytes, bulkBytes, bulkBlock);
    static unsigned char bytes[64 * 1024];
    for (long drained = 0; drained < bulkWarmBytes + bulkBytes;) {
        const ssize_t got = read(pty->master, bytes, sizeof bytes);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            die("bulk: read from the master: %s", got == 0 ? "end of file" : strerror(errno));
        }
        drained += got;
    }
}

int main(int argc, char **argv) {
    if (argc < 5) {
        die("usage: bench-host WORKLOAD PORT_DIR [--ports COM1,COM3] -- CLIENT [ARGS...]");
    }
    const char *workload = argv[1];
    const char *dir = argv[2];
    char portList[512] = "COM3";
    int argi = 3;
    if (strcmp(argv[argi], "--ports") == 0 && argi + 1 < argc) {
        snprintf(portList, sizeof portList, "%s", argv[argi + 1]);
        argi += 2;
    }
    char expectedPorts[512];
    snprintf(expectedPorts, sizeof expectedPorts, "%s", portList[0] != '\0' ? portList : "none");
    if (argi >= argc || strcmp(argv[argi], "--") != 0 || argi + 1 >= argc) {
        die("no client command after --");
    }
    char **client = &argv[argi + 1];

    struct Pty ptys[maxPorts];
    int ptyCount = 0;
    for (char *name = strtok(portList, ","); name != NULL && ptyCount < maxPorts;
         name = strtok(NULL, ",")) {
        openPty(&ptys[ptyCount++], dir, name);
    }

    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
        die("pipe: %s", strerror(errno));
    }
    signal(SIGPIPE, SIG_IGN);
    const pid_t child = fork();
    if (child < 0) {
        die("fork: %s", strerror(errno));
    }
    if (child == 0) {
        dup2(toChild[0], STDIN_FILENO);
        dup2(fromChild[1], STDOUT_FILENO);
        setenv("TARVOLEX_PORT_DIR", dir, 1);
        signal(SIGPIPE, SIG_DFL);
        execvp(client[0], client);
        fprintf(stderr, "bench-host: exec %s: %s\n", client[0], strerror(errno));
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    toClient = fdopen(toChild[1], "w");
    fromClient = fdopen(fromChild[0], "r");

    int failed = 0;
    uint32_t sum = 0;
    expectLine("ready");
    if (strcmp(workload, "read") == 0) {
        sum = hostRead(&ptys[0]);
        send("end\n");
    } else if (strcmp(workload, "echo") == 0) {
        hostEcho(&ptys[0]);
    } else if (strcmp(workload, "bulk") == 0) {
        hostBulk(&ptys[0]);
    } else if (strcmp(workload, "list") == 0) {
        send("go %d %d\n", listWarm, listCalls);
    } else if (strcmp(workload, "silent") == 0 || strcmp(workload, "cpu") == 0) {
        send("go\n");
    } else {
        die("unknown workload %s", workload);
    }

    /* The client's checks travel with its results: the sum of the bytes it read, the ports it
     * found. */
    char line[256];
    char found[512];
    while (fgets(line, sizeof line, fromClient) != NULL) {
        unsigned long value = 0;
        if (sscanf(line, "read_sum %lu", &value) == 1 && value != sum) {
            fprintf(stderr, "bench-host: the client read a sum of %lu, expected %u\n", value, sum);
            failed = 1;
        } else if (sscanf(line, "list_found %511s", found) == 1 &&
                   strcmp(found, expectedPorts) != 0) {
            fprintf(stderr, "bench-host: the client listed %s, expected %s\n", found,
                    expectedPorts);
            failed = 1;
        }
        fputs(line, stdout);
    }
    fflush(stdout);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "bench-host: the %s client failed (status %d)\n", workload, status);
        failed = 1;
    }
    for (int i = 0; i < ptyCount; ++i) {
        closePty(&ptys[i]);
    }
    return failed;
}

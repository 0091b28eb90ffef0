// The POSIX platform layer alone, beside the raw system calls that do the same job, on a fresh
// pty per benchmark: open and close, a one-byte read with data waiting, a one-byte write. A
// regression in the Java figures that shows here too lies in the platform layer; one that does
// not lies above it (JNI glue, the serial algorithms).
#include "platform.h"
#include "serial.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

namespace platform = tarvolex::platform;

// Bytes moved between two pauses: what the slave's input queue holds at once in raw mode.
constexpr int batch = 4000;

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {
        if (fd_ < 0) {
            throw std::runtime_error("cannot open a pty");
        }
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() { ::close(fd_); }
    int get() const { return fd_; }

private:
    int fd_;
};

// A fresh pty: the master, the slave's path, and a view of the slave that shows its input queue.
struct Pty {
    Descriptor master{posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)};
    std::string slavePath = unlockedSlave(master.get());
    std::string devicePath = "\\\\.\\" + slavePath; // an absolute name is used as it stands
    Descriptor spy{::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};

    static std::string unlockedSlave(int master) {
        if (grantpt(master) != 0 || unlockpt(master) != 0) {
            throw std::runtime_error("cannot unlock a pty");
        }
        return ptsname(master);
    }

    // Puts `batch` bytes into the slave's input queue and waits until they are all there.
    void fill() const {
        std::array<unsigned char, batch> bytes{};
        if (::write(master.get(), bytes.data(), bytes.size()) != batch) {
            throw std::runtime_error("cannot fill the pty");
        }
        for (int queued = 0; ioctl(spy.get(), FIONREAD, &queued) == 0 && queued < batch;) {
            usleep(20);
        }
    }

    // Takes `count` bytes that the slave wrote off the master.
    void drain(int count) const {
        std::array<unsigned char, batch> bytes{};
        for (int got = 0; got < count;) {
            const ssize_t n = ::read(master.get(), bytes.data(), bytes.size());
            if (n <= 0) {
                throw std::runtime_error("cannot drain the pty");
            }
            got += static_cast<int>(n);
        }
    }
};

// The slave opened as a C program would: blocking, raw, 57600 bit/s 8N1, VMIN=1.
int openRaw(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (fd < 0 || tcgetattr(fd, &tio) != 0) {
        throw std::runtime_error("cannot open " + path);
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetspeed(&tio, B57600);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

// The slave opened through the library, with its fixed line settings and time-outs.
platform::Handle openLibrary(const Pty &pty) {
    const tarvolex::OpenResult result = tarvolex::openPort(pty.devicePath);
    if (result.status != tarvolex::OpenStatus::opened) {
        throw std::runtime_error("the library cannot open " + pty.slavePath);
    }
    return result.handle;
}

void openCloseLibrary(benchmark::State &state) {
    const Pty pty;
    for (auto _ : state) {
        const platform::Handle handle = platform::openDevice(pty.devicePath.c_str());
        benchmark::DoNotOptimize(handle);
        platform::closeDevice(handle);
    }
}

void openCloseRaw(benchmark::State &state) {
    const Pty pty;
    for (auto _ : state) {
        const int fd = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        benchmark::DoNotOptimize(fd);
        ::close(fd);
    }
}

// Runs `step` once per iteration with `batch` bytes waiting before every batch-th step (or the
// master drained after it), the refilling and draining outside the timing.
template <typename Step, typename Between>
void inBatches(benchmark::State &state, Step step, Between between) {
    int left = 0;
    for (auto _ : state) {
        if (left == 0) {
            state.PauseTiming();
            between();
            left = batch;
            state.ResumeTiming();
        }
        step();
        --left;
    }
    state.SetBytesProcessed(state.iterations());
}

void readByteLibrary(benchmark::State &state) {
    const Pty pty;
    const platform::Handle handle = openLibrary(pty);
    inBatches(
        state,
        [&] {
            unsigned char byte = 0;
            std::uint32_t moved = 0;
            if (!platform::readBytes(handle, &byte, 1, moved) || moved != 1) {
                state.SkipWithError("read failed");
            }
        },
        [&] { pty.fill(); });
    platform::closeDevice(handle);
}

void readByteRaw(benchmark::State &state) {
    const Pty pty;
    const Descriptor fd{openRaw(pty.slavePath)};
    inBatches(
        state,
        [&] {
            unsigned char byte = 0;
            if (::read(fd.get(), &byte, 1) != 1) {
                state.SkipWithError("read failed");
            }
        },
        [&] { pty.fill(); });
}

void writeByteLibrary(benchmark::State &state) {
    const Pty pty;
    const platform::Handle handle = openLibrary(pty);
    bool first = true;
    inBatches(
        state,
        [&] {
            const unsigned char byte = 0x55;
            std::uint32_t moved = 0;
            if (!platform::writeBytes(handle, &byte, 1, moved) || moved != 1) {
                state.SkipWithError("write failed");
            }
        },
        [&] {
            if (!first) {
                pty.drain(batch);
            }
            first = false;
        });
    platform::closeDevice(handle);
}

void writeByteRaw(benchmark::State &state) {
    const Pty pty;
    const Descriptor fd{openRaw(pty.slavePath)};
    bool first = true;
    inBatches(
        state,
        [&] {
            const unsigned char byte = 0x55;
            if (::write(fd.get(), &byte, 1) != 1) {
                state.SkipWithError("write failed");
            }
        },
        [&] {
            if (!first) {
                pty.drain(batch);
            }
            first = false;
        });
}

BENCHMARK(openCloseLibrary);
BENCHMARK(openCloseRaw);
BENCHMARK(readByteLibrary);
BENCHMARK(readByteRaw);
BENCHMARK(writeByteLibrary);
BENCHMARK(writeByteRaw);

} // namespace

BENCHMARK_MAIN();

// The platform layer on Linux: the results and effects of the Windows serial services, built on
// termios, poll and a table of open ports. See docs/platforms.md for the background.
#include "platform.h"

#include "deadline.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace tarvolex::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view deviceNamespace = "\\\\.\\";

// A descriptor that closes itself on every way out.
struct FileDescriptor {
    explicit FileDescriptor(int descriptor = -1) : fd(descriptor) {}
    FileDescriptor(FileDescriptor &&other) noexcept : fd(std::exchange(other.fd, -1)) {}
    FileDescriptor &operator=(FileDescriptor &&) = delete;
    ~FileDescriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    int get() const { return fd; }
    explicit operator bool() const { return fd >= 0; }

private:
    int fd;
};

// An open device. The descriptor is closed when the last user lets go of the record, never while
// a transfer on another thread may still use it, so a descriptor number that the process has
// reused is never touched through a closed port.
struct Port {
    FileDescriptor fd;
    FileDescriptor wakeFd; // an eventfd, signalled once and for all when the port is closed
    bool hungUp = false;   // guarded by the table's mutex
    std::atomic<bool> closed{false}; // a transfer under way stops at its next step

    Port(FileDescriptor device, FileDescriptor wake)
        : fd(std::move(device)), wakeFd(std::move(wake)) {
        ioctl(fd.get(), TIOCEXCL);
    }
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    ~Port() {
        // A pty keeps TIOCEXCL after its last close and would then refuse every other non-root
        // user; the flock goes with the descriptor.
        ioctl(fd.get(), TIOCNXCL);
    }
};

struct Entry {
    std::shared_ptr<Port> port;
    Timeouts timeouts{};
};

// The open ports by handle: the one piece of shared state, standing in for the kernel's own
// handle table. Handles are numbers of our own, not descriptors, and are never reused.
struct PortTable {
    std::mutex mutex;
    std::unordered_map<Handle, Entry> entries;
    Handle lastHandle = 0;
};

PortTable &portTable() {
    // Never destroyed: JVM threads may still call in while the process runs its exit handlers.
    static PortTable &table = *new PortTable;
    return table;
}

// A port as one transfer sees it: the record, held for the length of the transfer, and the
// time-outs in force when the transfer started.
struct Use {
    std::shared_ptr<Port> port;
    Timeouts timeouts{};
};

// Returns an empty Use when the handle names no open port, or one that has hung up.
Use usePort(Handle handle) {
    PortTable &table = portTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.entries.find(handle);
    if (found == table.entries.end() || found->second.port->hungUp) {
        return {};
    }
    return {found->second.port, found->second.timeouts};
}

// Once a device has hung up, it refuses every later transfer.
void markHungUp(Port &port) {
    std::lock_guard<std::mutex> lock(portTable().mutex);
    port.hungUp = true;
}

// \\.\NAME names /NAME... itself when NAME is absolute, else NAME in $TARVOLEX_PORT_DIR, else
// NAME in /dev. Anything else names no device and resolves to the empty path.
std::string resolve(std::string_view devicePath) {
    if (devicePath.substr(0, deviceNamespace.size()) != deviceNamespace) {
        return {};
    }
    const std::string_view name = devicePath.substr(deviceNamespace.size());
    if (name.empty() || name.front() == '/') {
        return std::string(name);
    }
    const char *dir = std::getenv("TARVOLEX_PORT_DIR");
    std::string path = dir != nullptr && *dir != '\0' ? std::string(dir) + "/" : "/dev/";
    path += name;
    return path;
}

// Whether the file behind `pathFd` (an O_PATH descriptor) is a device of the kernel's terminal
// layer: a serial port, a console, a pty. Pty slaves live on devpts, which sysfs does not list;
// every other terminal is listed in sysfs under the tty class. Without sysfs (a bare container)
// any character device passes here, and tcgetattr after the open decides.
bool isTerminalDevice(int pathFd, const struct stat &status) {
    if (!S_ISCHR(status.st_mode)) {
        return false;
    }
    struct statfs filesystem {};
    if (fstatfs(pathFd, &filesystem) == 0 && filesystem.f_type == DEVPTS_SUPER_MAGIC) {
        return true;
    }
    if (access("/sys/dev/char", F_OK) != 0) {
        return true;
    }
    const std::string subsystem = "/sys/dev/char/" + std::to_string(major(status.st_rdev)) + ":" +
                                  std::to_string(minor(status.st_rdev)) + "/subsystem";
    char target[PATH_MAX];
    const ssize_t length = readlink(subsystem.c_str(), target, sizeof target);
    if (length <= 0) {
        return false;
    }
    const std::string_view link(target, static_cast<std::size_t>(length));
    return link.substr(link.find_last_of('/') + 1) == "tty"; // ../../../../class/tty
}

// Opens a terminal for exclusive use without blocking (no wait for carrier) and without making
// it the controlling terminal. Regular files, FIFOs, directories and other devices are refused
// as if they did not exist. Returns the descriptor, or none.
//
// Opening a device runs its driver's open, which for some devices is an action of its own (a
// watchdog starts counting, a tape rewinds on close). So the path is first looked at through an
// O_PATH descriptor, which opens nothing, and only a terminal is then opened, through that same
// descriptor: a path swapped meanwhile cannot slip another device in.
FileDescriptor openTerminal(const char *devicePath) {
    const std::string path = resolve(devicePath);
    if (path.empty()) {
        return FileDescriptor();
    }
    const FileDescriptor located(::open(path.c_str(), O_PATH | O_CLOEXEC));
    struct stat found {};
    if (!located || fstat(located.get(), &found) != 0 || !isTerminalDevice(located.get(), found)) {
        return FileDescriptor();
    }
    constexpr int flags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    int opened = ::open(("/proc/self/fd/" + std::to_string(located.get())).c_str(), flags);
    if (opened < 0 && errno == ENOENT) {
        opened = ::open(path.c_str(), flags); // no /proc: checked below that it is the same file
    }
    FileDescriptor fd(opened);
    struct stat status {};
    termios settings{};
    // flock keeps out every other open of the library, in this process or another, also for
    // root, whom TIOCEXCL does not stop.
    if (!fd || fstat(fd.get(), &status) != 0 || status.st_dev != found.st_dev ||
        status.st_ino != found.st_ino || !S_ISCHR(status.st_mode) ||
        tcgetattr(fd.get(), &settings) != 0 || flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        return FileDescriptor();
    }
    return fd;
}

speed_t toSpeed(std::uint32_t baudRate) {
    static constexpr std::pair<std::uint32_t, speed_t> speeds[] = {
        {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
        {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
        {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    for (const auto &[rate, speed] : speeds) {
        if (rate == baudRate) {
            return speed;
        }
    }
    return B0;
}

using TransferDeadline = Deadline<Clock::time_point>;

enum class Wait { ready, timedOut, closed, hungUp };

// Waits until the port's descriptor is ready for `events`, the deadline passes, the port is
// closed or the device hangs up. Sleeps in the kernel; a signal resumes the wait with the time
// that is left.
Wait waitFor(const Port &port, short events, const TransferDeadline &deadline) {
    for (;;) {
        pollfd fds[2] = {{port.fd.get(), events, 0}, {port.wakeFd.get(), POLLIN, 0}};
        timespec remaining{};
        timespec *timeout = nullptr;
        if (deadline.applies) {
            const auto left = std::max(Clock::duration::zero(), deadline.at - Clock::now());
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
            remaining.tv_sec = static_cast<time_t>(seconds.count());
            remaining.tv_nsec = static_cast<long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
            timeout = &remaining;
        }
        const int ready = ppoll(fds, 2, timeout, nullptr);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Wait::hungUp;
        }
        if (fds[1].revents != 0) {
            return Wait::closed;
        }
        if (fds[0].revents & events) {
            return Wait::ready;
        }
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            return Wait::hungUp;
        }
        if (ready == 0 && deadline.applies && Clock::now() >= deadline.at) {
            return Wait::timedOut;
        }
    }
}

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

// Moves `count` bytes with `step`, one read or write system call on the port's descriptor for the
// bytes from `done` on, waiting for `events` whenever the descriptor has no room or no data. Ends
// when every byte has moved, the deadline passes (`interval`, for reads, bounds the wait between
// two bytes), the port is closed, or the device hangs up. Returns false when the transfer could
// not be started: the device was found gone before any byte moved and before any wait.
template <typename Step>
bool transfer(Port &port, short events, const TransferDeadline &total, std::uint32_t interval,
              std::uint32_t count, std::uint32_t &moved, Step step) {
    TransferDeadline deadline = total;
    moved = 0;
    bool waited = false; // under way when the line went: it ends, as on Windows
    while (moved < count && !port.closed.load(std::memory_order_relaxed)) {
        const ssize_t done = step(port.fd.get(), moved);
        if (done > 0) {
            moved += static_cast<std::uint32_t>(done);
            if (interval != 0 && moved < count) {
                deadline = afterByte(total, Clock::now(), interval);
            }
            continue;
        }
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0 && wouldBlock(errno)) {
            const Wait wait = waitFor(port, events, deadline);
            if (wait == Wait::ready) {
                waited = true;
                continue;
            }
            if (wait == Wait::hungUp) {
                markHungUp(port);
            }
            return true;
        }
        // End of file, EIO or EPIPE: the other end is gone (an unplugged adapter, a closed pty
        // master).
        markHungUp(port);
        return moved > 0 || waited;
    }
    return true;
}

} // namespace

Handle openDevice(const char *devicePath) {
    FileDescriptor fd = openTerminal(devicePath);
    if (!fd) {
        return invalidHandle;
    }
    FileDescriptor wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wakeFd) {
        return invalidHandle;
    }
    auto port = std::make_shared<Port>(std::move(fd), std::move(wakeFd));

    PortTable &table = portTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (table.lastHandle == std::numeric_limits<Handle>::max()) {
        return invalidHandle; // every handle value has been handed out once
    }
    const Handle handle = ++table.lastHandle;
    table.entries.emplace(handle, Entry{std::move(port), {}});
    return handle;
}

bool probeDevice(const char *devicePath) {
    return static_cast<bool>(openTerminal(devicePath));
}

void closeDevice(Handle handle) {
    std::shared_ptr<Port> port;
    {
        PortTable &table = portTable();
        std::lock_guard<std::mutex> lock(table.mutex);
        const auto found = table.entries.find(handle);
        if (found == table.entries.end()) {
            return;
        }
        port = std::move(found->second.port);
        table.entries.erase(found);
    }
    // Stop every transfer under way on the port and wake every one that waits.
    port->closed.store(true, std::memory_order_relaxed);
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(port->wakeFd.get(), &one, sizeof one);
    // The last one out closes the descriptor. They leave within microseconds, and then the
    // device is free to open again as soon as the close returns; should one take longer, the
    // close still returns after a bounded wait and that transfer closes the descriptor itself.
    const auto giveUp = Clock::now() + std::chrono::seconds(2);
    auto pause = std::chrono::microseconds(20);
    while (port.use_count() > 1 && Clock::now() < giveUp) {
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(10000));
    }
}

bool applyLineSettings(Handle handle, const LineSettings &settings) {
    const Use use = usePort(handle);
    const speed_t speed = toSpeed(settings.baudRate);
    if (!use.port || speed == B0 || settings.byteSize < 5 || settings.byteSize > 8 ||
        settings.parity > 2 || (settings.stopBits != 0 && settings.stopBits != 2)) {
        return false;
    }
    termios tio{};
    if (tcgetattr(use.port->fd.get(), &tio) != 0) {
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= sizes[settings.byteSize - 5];
    if (settings.parity != 0) {
        tio.c_cflag |= PARENB | (settings.parity == 1 ? PARODD : 0);
    }
    if (settings.stopBits == 2) {
        tio.c_cflag |= CSTOPB;
    }
    // VMIN 1 with O_NONBLOCK: an empty line reads as EAGAIN, so a read of 0 can only mean that
    // the device hung up (with VMIN 0 a silent live line would read 0 as well).
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) {
        return false;
    }
    return tcsetattr(use.port->fd.get(), TCSANOW, &tio) == 0;
}

bool applyTimeouts(Handle handle, const Timeouts &timeouts) {
    PortTable &table = portTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.entries.find(handle);
    if (found == table.entries.end()) {
        return false;
    }
    found->second.timeouts = timeouts;
    return true;
}

bool readBytes(Handle handle, void *buffer, std::uint32_t count, std::uint32_t &moved) {
    const Use use = usePort(handle);
    if (!use.port) {
        return false;
    }
    const Timeouts &t = use.timeouts;
    auto *bytes = static_cast<unsigned char *>(buffer);
    return transfer(*use.port, POLLIN,
                    totalDeadline(Clock::now(), t.readTotalMultiplier, t.readTotalConstant, count),
                    t.readInterval, count, moved, [&](int fd, std::uint32_t done) {
                        // Tried before any wait: with bytes waiting, a read is one system call.
                        return ::read(fd, bytes + done, count - done);
                    });
}

bool writeBytes(Handle handle, const void *buffer, std::uint32_t count, std::uint32_t &moved) {
    const Use use = usePort(handle);
    if (!use.port) {
        return false;
    }
    const Timeouts &t = use.timeouts;
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    return transfer(
        *use.port, POLLOUT,
        totalDeadline(Clock::now(), t.writeTotalMultiplier, t.writeTotalConstant, count), 0, count,
        moved, [&](int fd, std::uint32_t done) { return ::write(fd, bytes + done, count - done); });
}

} // namespace tarvolex::platform

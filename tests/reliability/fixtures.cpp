#include "fixtures.h"

#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tarvolex::reliability {
namespace {

[[noreturn]] void fail(const std::string &what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

PortDir::PortDir() {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tarvolex-reliability-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        fail("mkdtemp");
    }
    path_ = pattern;
    setenv("TARVOLEX_PORT_DIR", path_.c_str(), 1);
}

PortDir::~PortDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void PortDir::link(const std::string &name, const std::string &target) const {
    remove(name);
    if (symlink(target.c_str(), at(name).c_str()) != 0) {
        fail("symlink " + name);
    }
}

void PortDir::remove(const std::string &name) const {
    std::error_code ignored;
    std::filesystem::remove(at(name), ignored);
}

FarEnd::FarEnd() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        fail("posix_openpt");
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        fail("ptsname_r");
    }
    slave_ = name;
}

FarEnd::~FarEnd() {
    hangUp();
}

void FarEnd::hangUp() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

void FarEnd::send(const std::vector<std::uint8_t> &bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            fail("write to the far end");
        } else {
            pollfd fd{master_, POLLOUT, 0};
            poll(&fd, 1, 100);
        }
    }
}

std::vector<std::uint8_t> FarEnd::drain(std::chrono::milliseconds settle) const {
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    for (;;) {
        pollfd fd{master_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(settle.count())) <= 0 || !(fd.revents & POLLIN)) {
            return bytes;
        }
        const ssize_t n = ::read(master_, chunk, sizeof chunk);
        if (n <= 0) {
            return bytes;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
}

std::vector<std::uint8_t> FarEnd::receive(std::size_t count,
                                          std::chrono::milliseconds within) const {
    std::vector<std::uint8_t> bytes(count);
    std::size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (got < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd fd{master_, POLLIN, 0};
        if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        const ssize_t n = ::read(master_, bytes.data() + got, count - got);
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

void fillLine(jint handle) {
    // The library's own time-outs: 1000 ms between bytes, 5 ms a byte + 1000 ms for a read, 10 ms
    // a byte + 50 ms for a write.
    constexpr platform::Timeouts library{1000, 5, 1000, 10, 50};
    platform::Timeouts quick = library;
    quick.writeTotalMultiplier = 0;
    quick.writeTotalConstant = 1;
    platform::applyTimeouts(handle, quick);
    const std::vector<std::uint8_t> chunk(4096, 0x5a);
    std::uint32_t moved = 0;
    do {
        if (!platform::writeBytes(handle, chunk.data(), 4096, moved)) {
            break;
        }
    } while (moved == 4096);
    platform::applyTimeouts(handle, library);
}

SocatCable::SocatCable(const PortDir &dir, const std::string &first, const std::string &second) {
    const char *socat = std::getenv("TARVOLEX_SOCAT");
    const std::string program = socat != nullptr && *socat != '\0' ? socat : "socat";
    const std::string a = "pty,raw,echo=0,link=" + dir.at(first);
    const std::string b = "pty,raw,echo=0,link=" + dir.at(second);
    pid_ = fork();
    if (pid_ < 0) {
        fail("fork");
    }
    if (pid_ == 0) {
        execlp(program.c_str(), program.c_str(), a.c_str(), b.c_str(),
               static_cast<char *>(nullptr));
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (access(dir.at(first).c_str(), F_OK) != 0 || access(dir.at(second).c_str(), F_OK) != 0) {
        if (std::chrono::steady_clock::now() > deadline || waitpid(pid_, nullptr, WNOHANG) != 0) {
            throw std::runtime_error("socat did not link " + first + " and " + second);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

SocatCable::~SocatCable() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

std::size_t openDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto &entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count - 1; // the iterator's own
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace tarvolex::reliability

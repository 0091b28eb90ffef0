// Devices for the sanitizer driver and the fuzzers: a private port folder, a pty whose far end
// the test holds itself, and a socat cable between two ports of the library.
#pragma once

#include <jni.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

namespace tarvolex::reliability {

// A fresh folder under $TMPDIR (or /tmp), set as TARVOLEX_PORT_DIR for the whole process; it is
// removed with everything in it at destruction. Set it up before any thread starts: the library
// reads the variable on every open.
class PortDir {
public:
    PortDir();
    ~PortDir();
    PortDir(const PortDir &) = delete;
    PortDir &operator=(const PortDir &) = delete;

    const std::string &path() const { return path_; }
    std::string at(const std::string &name) const { return path_ + "/" + name; }

    // Links `name` to `target`, replacing what was there.
    void link(const std::string &name, const std::string &target) const;
    void remove(const std::string &name) const;

private:
    std::string path_;
};

// A pty whose master (the far end of the line) the test holds; the slave is what the library
// opens. Closing the master hangs the line up, and the slave's node disappears with it.
class FarEnd {
public:
    FarEnd();
    ~FarEnd();
    FarEnd(const FarEnd &) = delete;
    FarEnd &operator=(const FarEnd &) = delete;

    const std::string &slavePath() const { return slave_; }
    std::string devicePath() const { return "\\\\.\\" + slave_; }

    // Sends bytes to the library's side.
    void send(const std::vector<std::uint8_t> &bytes) const;
    // The next `count` bytes from the library's side, or fewer if they do not come in time.
    std::vector<std::uint8_t> receive(std::size_t count, std::chrono::milliseconds within) const;
    // Everything the library's side has sent so far (waits up to `settle` for stragglers).
    std::vector<std::uint8_t>
    drain(std::chrono::milliseconds settle = std::chrono::milliseconds(50)) const;
    void hangUp();
    bool hungUp() const { return master_ < 0; }

private:
    int master_ = -1;
    std::string slave_;
};

// A socat pty pair whose two ends are linked as two names in a port folder.
class SocatCable {
public:
    SocatCable(const PortDir &dir, const std::string &first, const std::string &second);
    ~SocatCable();
    SocatCable(const SocatCable &) = delete;
    SocatCable &operator=(const SocatCable &) = delete;

private:
    pid_t pid_ = -1;
};

// The process's open descriptors.
std::size_t openDescriptors();

// Fills the line of an open port until nothing more fits, so that its next write has to wait
// (the far end never reads). Writes with a time-out of 1 ms meanwhile, then puts the library's
// own time-outs back.
void fillLine(jint handle);

// Seconds since `start`, on the monotonic clock.
double secondsSince(std::chrono::steady_clock::time_point start);

} // namespace tarvolex::reliability

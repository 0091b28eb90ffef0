#include "serial.h"

namespace tarvolex {
namespace {

constexpr std::string_view deviceNamespace = "\\\\.\\";

// 57600 bit/s, 8 data bits, no parity, one stop bit.
constexpr platform::LineSettings lineSettings{57600, 8, 0, 0};

// A one-byte read waits at most 1005 ms; a write of n bytes is given 10 ms per byte plus 50 ms.
constexpr platform::Timeouts timeouts{1000, 5, 1000, 10, 50};

} // namespace

std::string toDevicePath(std::string_view name) {
    // Only the first three characters are compared: \\.COM1 is taken as it stands, while
    // \\?\COM1 and //./COM1 get the prefix.
    if (name.empty() || name.substr(0, 3) == deviceNamespace.substr(0, 3)) {
        return std::string(name);
    }
    std::string path(deviceNamespace);
    path += name;
    return path;
}

OpenResult openPort(const std::string &devicePath) {
    const Handle handle = platform::openDevice(devicePath.c_str());
    if (handle == platform::invalidHandle) {
        return {OpenStatus::openFailed, platform::invalidHandle};
    }
    // A device whose set-up fails is closed here: its handle never reaches the caller, who
    // could not close it, and it would otherwise stay locked until the process ends.
    if (!platform::applyLineSettings(handle, lineSettings)) {
        platform::closeDevice(handle);
        return {OpenStatus::setupFailed, platform::invalidHandle};
    }
    if (!platform::applyTimeouts(handle, timeouts)) {
        platform::closeDevice(handle);
        return {OpenStatus::timeoutSetupFailed, platform::invalidHandle};
    }
    return {OpenStatus::opened, handle};
}

void closePort(Handle handle) {
    if (handle != 0) {
        platform::closeDevice(handle);
    }
}

} // namespace tarvolex

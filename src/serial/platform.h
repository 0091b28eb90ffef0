// The platform's serial device services, as the rest of the library uses them.
//
// Every algorithm in src/serial/ talks to devices only through the functions below. Each
// backend implements all of them in one file: platform_win32.cpp over kernel32, and
// platform_posix.cpp over termios, which provides the same results and effects on Linux.
// The build picks exactly one backend; no other file knows which.
#pragma once

#include <cstdint>

namespace tarvolex::platform {

// The value of an open device as it travels to Java and back: the 32-bit value of the kernel32
// handle on Windows, a number handed out by the POSIX layer elsewhere. The library never checks
// a handle; the backend decides what a value names.
using Handle = std::int32_t;

// What an open that fails returns (INVALID_HANDLE_VALUE, or -1 as a Java int).
constexpr Handle invalidHandle = -1;

// Opens a device path (\\.\NAME) for exclusive read and write use of an existing device, ready
// for overlapped transfers. Returns invalidHandle when the device does not exist, is already
// open anywhere, or refuses access. Never blocks.
Handle openDevice(const char *devicePath);

// Opens a device path for exclusive use as openDevice does, without overlapped I/O, and closes
// it again at once. Returns whether the open succeeded. Changes none of the device's settings.
bool probeDevice(const char *devicePath);

// Ends the use of a device. Whatever the platform answers is ignored: a handle that is not open
// is simply passed on. Transfers still waiting on the handle end promptly.
void closeDevice(Handle handle);

// The line settings that the library applies; every other setting of the device keeps the
// value the device reported.
struct LineSettings {
    std::uint32_t baudRate;
    std::uint8_t byteSize;
    std::uint8_t parity;   // 0: none
    std::uint8_t stopBits; // 0: one stop bit
};

// Reads the device's current settings, sets the fields above and applies the result.
// Returns false when the device refuses them.
bool applyLineSettings(Handle handle, const LineSettings &settings);

// Time-outs in milliseconds. A read of n bytes ends when n bytes have arrived, when
// readTotalMultiplier * n + readTotalConstant have passed since it began, or when more than
// readInterval passes between two bytes; a write of n bytes ends at the latest after
// writeTotalMultiplier * n + writeTotalConstant.
struct Timeouts {
    std::uint32_t readInterval;
    std::uint32_t readTotalMultiplier;
    std::uint32_t readTotalConstant;
    std::uint32_t writeTotalMultiplier;
    std::uint32_t writeTotalConstant;
};

// Applies all five time-outs. Returns false when the device refuses them.
bool applyTimeouts(Handle handle, const Timeouts &timeouts);

// Transfers. Each starts one transfer on the calling thread and returns only when that transfer
// has ended, by completion, time-out, error or the handle's close. Returns false when the
// transfer could not be started (the handle names no open device, or the device has hung up);
// otherwise `moved` holds the count of bytes moved, which is less than `count` when the
// transfer timed out or failed part way.
bool readBytes(Handle handle, void *buffer, std::uint32_t count, std::uint32_t &moved);
bool writeBytes(Handle handle, const void *buffer, std::uint32_t count, std::uint32_t &moved);

} // namespace tarvolex::platform

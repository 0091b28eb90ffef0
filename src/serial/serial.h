// Serial port access: enumeration, opening and closing, and byte transfers, in plain C++ types.
// These are the algorithms behind the six native methods; the JNI glue in src/native/ only
// unpacks Java arguments, calls them and turns their outcomes into Java exceptions.
#pragma once

#include "platform.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvolex {

using platform::Handle;

// ---- Opening and closing ----

// The device path for a port name: COM3 becomes \\.\COM3; a name that already starts with the
// three characters \\. is used unchanged, and so is the empty name.
std::string toDevicePath(std::string_view name);

enum class OpenStatus {
    opened,
    openFailed,        // the device cannot be opened
    setupFailed,       // the device refused the line settings
    timeoutSetupFailed // the device refused the time-outs
};

struct OpenResult {
    OpenStatus status;
    Handle handle; // the open device when status is opened, invalidHandle otherwise
};

// Opens a device path for exclusive use with the library's fixed line settings and time-outs.
// A device that refuses its set-up is closed again before the failure is returned.
OpenResult openPort(const std::string &devicePath);

// Closes a port; the handle 0 stands for no port and closes nothing.
void closePort(Handle handle);

// ---- Byte transfers ----

// What readByte returns when no byte arrived within the read time-out.
constexpr int noByte = -1;

struct ReadResult {
    bool started; // false: the read could not be started (no open device, or it has hung up)
    int value;    // 0..255, or noByte
};

ReadResult readByte(Handle handle);

enum class WriteStatus {
    written,    // every byte was written
    notStarted, // the write could not be started
    incomplete  // started, but fewer bytes than asked were written before it ended
};

WriteStatus writeBytes(Handle handle, const std::uint8_t *data, std::uint32_t length);

// ---- Enumeration ----

constexpr int portCount = 40;

// The name of port number n (1..portCount): COMn.
std::string portName(int number);

// Probes COM1..COM40 in ascending order; entry n - 1 tells whether COMn could be opened now.
std::array<bool, portCount> probePorts();

} // namespace tarvolex

// The platform layer on Windows: kernel32 itself.
#include "platform.h"

#include <cstdint>
#include <windows.h>

namespace tarvolex::platform {
namespace {

// A handle travels as its 32-bit value; kernel handles fit in 32 bits also in 64-bit processes,
// and the sign extension on the way back turns -1 into INVALID_HANDLE_VALUE again.
HANDLE toNative(Handle handle) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle));
}

Handle fromNative(HANDLE handle) {
    return static_cast<Handle>(reinterpret_cast<std::intptr_t>(handle));
}

HANDLE openExclusive(const char *devicePath, DWORD flags) {
    return CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                       nullptr);
}

// The per-call state of one transfer. ReadFileEx and WriteFileEx do not use the OVERLAPPED
// record's hEvent, so it carries a pointer to this record to the completion routine.
struct Completion {
    bool done = false;
};

void CALLBACK onTransferEnded(DWORD, DWORD, LPOVERLAPPED overlapped) {
    static_cast<Completion *>(overlapped->hEvent)->done = true;
}

// An alertable wait also ends when some other completion routine or queued call runs on this
// thread, so wait again until this transfer's own routine has run: the transfer uses the
// caller's buffer and record until then.
void waitFor(const Completion &completion) {
    while (!completion.done) {
        SleepEx(INFINITE, TRUE);
    }
}

// Starts one overlapped transfer with `start` and waits until it has ended. The count of bytes
// moved is what the system stored in the record's InternalHigh field.
template <typename Start> bool transfer(std::uint32_t &moved, Start start) {
    Completion completion;
    OVERLAPPED overlapped{};
    overlapped.hEvent = &completion;
    if (!start(&overlapped)) {
        return false;
    }
    waitFor(completion);
    moved = static_cast<std::uint32_t>(overlapped.InternalHigh);
    return true;
}

} // namespace

Handle openDevice(const char *devicePath) {
    return fromNative(openExclusive(devicePath, FILE_FLAG_OVERLAPPED));
}

bool probeDevice(const char *devicePath) {
    const HANDLE handle = openExclusive(devicePath, FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(handle);
    return true;
}

void closeDevice(Handle handle) {
    CloseHandle(toNative(handle));
}

bool applyLineSettings(Handle handle, const LineSettings &settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(toNative(handle), &dcb);
    dcb.BaudRate = settings.baudRate;
    dcb.ByteSize = settings.byteSize;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.stopBits;
    return SetCommState(toNative(handle), &dcb) != 0;
}

bool applyTimeouts(Handle handle, const Timeouts &timeouts) {
    COMMTIMEOUTS record{};
    GetCommTimeouts(toNative(handle), &record);
    record.ReadIntervalTimeout = timeouts.readInterval;
    record.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
    record.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
    record.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
    record.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
    return SetCommTimeouts(toNative(handle), &record) != 0;
}

bool readBytes(Handle handle, void *buffer, std::uint32_t count, std::uint32_t &moved) {
    return transfer(moved, [&](LPOVERLAPPED overlapped) {
        return ReadFileEx(toNative(handle), buffer, count, overlapped, onTransferEnded);
    });
}

bool writeBytes(Handle handle, const void *buffer, std::uint32_t count, std::uint32_t &moved) {
    return transfer(moved, [&](LPOVERLAPPED overlapped) {
        return WriteFileEx(toNative(handle), buffer, count, overlapped, onTransferEnded);
    });
}

} // namespace tarvolex::platform

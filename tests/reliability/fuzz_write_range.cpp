// libFuzzer target: the range write's arguments. Each input is a flags byte, a 16-bit array size
// (up to 4096), a 32-bit offset, a 32-bit length (both little endian, any value) and the array's
// bytes; the flags choose a null array and which handle: the open pty, a closed one, or any value.
//
// What must hold: a null array or length 0 writes nothing and raises nothing; a region outside
// the array raises ArrayIndexOutOfBoundsException and writes nothing; a region inside it on the
// open port writes exactly those bytes; on any other handle it raises IOException "Cannot write
// to serial port.". The far end of the pty checks every byte that arrives.
#include "com_vembor_tarvolex_Tarvolex.h"
#include "fake_jni.h"
#include "fixtures.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace tarvolex::reliability;

namespace {

struct World {
    PortDir dir;
    FarEnd pty;
    jint open = -1;
    jint closed = -1;

    World() {
        tarvolex::fakejni::FakeJni jni;
        closed = Java_com_vembor_tarvolex_Tarvolex_doOpen(jni.env(), jni.callerClass(),
                                                          jni.newString(pty.devicePath()), 0);
        Java_com_vembor_tarvolex_Tarvolex_doClose(jni.env(), jni.callerClass(), closed);
        open = Java_com_vembor_tarvolex_Tarvolex_doOpen(jni.env(), jni.callerClass(),
                                                        jni.newString(pty.devicePath()), 0);
        if (open == -1 || jni.pending()) {
            std::fprintf(stderr, "cannot open %s\n", pty.slavePath().c_str());
            std::abort();
        }
    }
};

std::unique_ptr<World> world; // for the whole run; its folder goes at exit

[[noreturn]] void finding(const char *what) {
    // On standard output: the fuzz runs close standard error to silence the trace.
    std::printf("FINDING: %s\n", what);
    std::fflush(stdout);
    std::abort();
}

template <typename T> T take(const std::uint8_t *&data, std::size_t &size) {
    T value{};
    const std::size_t n = size < sizeof value ? size : sizeof value;
    if (n > 0) {
        std::memcpy(&value, data, n);
    }
    data += n;
    size -= n;
    return value;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    world = std::make_unique<World>();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const auto flags = take<std::uint8_t>(data, size);
    const auto arraySize = static_cast<std::size_t>(take<std::uint16_t>(data, size) % 4097);
    const auto offset = take<std::int32_t>(data, size);
    const auto length = take<std::int32_t>(data, size);
    const auto anyHandle = take<std::int32_t>(data, size);
    std::vector<std::uint8_t> bytes(arraySize);
    if (size > 0 && arraySize > 0) {
        std::memcpy(bytes.data(), data, size < arraySize ? size : arraySize);
    }

    const bool nullArray = (flags & 1) != 0;
    const jint handle = (flags & 6) == 0   ? world->open
                        : (flags & 6) == 2 ? world->closed
                                           : anyHandle;
    tarvolex::fakejni::FakeJni jni;
    const jbyteArray array = nullArray ? nullptr : jni.newByteArray(bytes);
    Java_com_vembor_tarvolex_Tarvolex_doWrite__I_3BII(jni.env(), jni.callerClass(), handle, array,
                                                      offset, length);
    const auto raised = jni.takePending();

    const std::int64_t begin = offset;
    const std::int64_t end = begin + length;
    const bool nothing = nullArray || length == 0;
    const bool outside = begin < 0 || length < 0 || end > static_cast<std::int64_t>(arraySize);
    std::vector<std::uint8_t> expected;
    if (nothing) {
        if (raised) {
            finding("a null array or length 0 raised");
        }
    } else if (outside) {
        if (!raised || raised->className != "java/lang/ArrayIndexOutOfBoundsException") {
            finding("a region outside the array without ArrayIndexOutOfBoundsException");
        }
    } else if (handle != world->open) {
        if (!raised || raised->className != "java/io/IOException" ||
            raised->message != "Cannot write to serial port.") {
            finding("a write on a handle that is not open without its IOException");
        }
    } else {
        if (raised) {
            finding("a region inside the array on the open port raised");
        }
        expected.assign(bytes.begin() + begin, bytes.begin() + end);
    }
    // What arrives must be exactly the region: nothing more (stray bytes of an earlier input
    // show up here too), nothing less.
    std::vector<std::uint8_t> arrived =
        world->pty.receive(expected.size(), std::chrono::seconds(2));
    if (arrived.size() == expected.size()) {
        const auto stray = world->pty.drain(std::chrono::milliseconds(0));
        arrived.insert(arrived.end(), stray.begin(), stray.end());
    }
    if (arrived != expected) {
        finding("the bytes that arrived are not the region");
    }
    if (!jni.faults().empty()) {
        finding(jni.faults().front().c_str());
    }
    return 0;
}

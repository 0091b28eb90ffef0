// The six native methods of com.vembor.tarvolex.Tarvolex. Each unpacks its Java arguments, calls
// the serial algorithms and turns their outcome into a result or a Java exception. No C++
// exception ever leaves these functions: the virtual machine could not survive one.
#include "com_vembor_tarvolex_Tarvolex.h"

#include "../serial/serial.h"
#include "java_error.h"
#include "trace.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

using namespace tarvolex;

namespace {

constexpr const char *ioException = "java/io/IOException";

// The port name as modified UTF-8 bytes, unchanged (no conversion to a code page); a null name
// is taken as the empty one. The buffer is sized from the name, whatever its length.
std::string portNameBytes(JNIEnv *env, jstring name) {
    if (name == nullptr) {
        return {};
    }
    const jsize length = env->GetStringLength(name);
    // One UTF-16 unit takes up to three bytes of modified UTF-8, which never holds a zero byte.
    const auto units = static_cast<std::size_t>(length);
    if (units > (SIZE_MAX - 1) / 3) {
        throw std::bad_alloc();
    }
    std::string bytes(3 * units + 1, '\0');
    env->GetStringUTFRegion(name, 0, length, bytes.data());
    bytes.resize(std::strlen(bytes.c_str()));
    return bytes;
}

} // namespace

JNIEXPORT jobjectArray JNICALL Java_com_vembor_tarvolex_Tarvolex_listPorts(JNIEnv *env, jclass) {
    traceLog("List ports\n");
    try {
        // Every entry starts as the same empty string; each port that could be opened gets its
        // name. A null from the virtual machine leaves its own exception pending.
        const jstring empty = env->NewStringUTF("");
        if (empty == nullptr) {
            return nullptr;
        }
        const jclass stringClass = env->FindClass("java/lang/String");
        if (stringClass == nullptr) {
            return nullptr;
        }
        const jobjectArray ports = env->NewObjectArray(portCount, stringClass, empty);
        if (ports == nullptr) {
            return nullptr;
        }
        const auto available = probePorts();
        for (int number = 1; number <= portCount; ++number) {
            if (!available[number - 1]) {
                continue;
            }
            const jstring name = env->NewStringUTF(portName(number).c_str());
            if (name == nullptr) {
                return nullptr;
            }
            env->SetObjectArrayElement(ports, number - 1, name);
            env->DeleteLocalRef(name);
        }
        return ports;
    } catch (const std::bad_alloc &) {
        raiseJavaError(env, "java/lang/OutOfMemoryError", "Cannot list serial ports.");
        return nullptr;
    }
}

JNIEXPORT jint JNICALL Java_com_vembor_tarvolex_Tarvolex_doOpen(JNIEnv *env, jclass, jstring port,
                                                                jint) {
    try {
        const std::string devicePath = toDevicePath(portNameBytes(env, port));
        traceLog("doOpen port = %s\n", devicePath.c_str());
        const OpenResult result = openPort(devicePath);
        switch (result.status) {
        case OpenStatus::opened:
            traceLog("OPENED %d\n", static_cast<int>(result.handle));
            break;
        case OpenStatus::openFailed:
            raiseJavaError(env, ioException, "Connection failed.");
            break;
        case OpenStatus::setupFailed:
            raiseJavaError(env, ioException, "Connection setup failed.");
            break;
        case OpenStatus::timeoutSetupFailed:
            raiseJavaError(env, ioException, "Connection timeout setup failed.");
            break;
        }
        return result.handle;
    } catch (const std::bad_alloc &) {
        raiseJavaError(env, ioException, "Connection failed.");
        return platform::invalidHandle;
    }
}

JNIEXPORT jint JNICALL Java_com_vembor_tarvolex_Tarvolex_doRead(JNIEnv *env, jclass, jint handle) {
    const ReadResult result = readByte(handle);
    if (!result.started) {
        raiseJavaError(env, "java/lang/Exception", "Can not read serial port.");
    }
    return result.value;
}

JNIEXPORT void JNICALL Java_com_vembor_tarvolex_Tarvolex_doWrite__I_3BII(JNIEnv *env, jclass,
                                                                         jint handle,
                                                                         jbyteArray data,
                                                                         jint offset, jint length) {
    if (data == nullptr || length == 0) {
        return;
    }
    // Compared without signed overflow; nothing is sized from a negative length.
    const jsize size = env->GetArrayLength(data);
    if (offset < 0 || length < 0 || offset > size || length > size - offset) {
        char message[96];
        std::snprintf(message, sizeof message, "Array region %d..%lld out of bounds for length %d",
                      static_cast<int>(offset),
                      static_cast<long long>(offset) + static_cast<long long>(length),
                      static_cast<int>(size));
        raiseJavaError(env, "java/lang/ArrayIndexOutOfBoundsException", message);
        return;
    }
    // Filled from the array at once, so not zeroed first.
    const std::unique_ptr<jbyte[]> buffer(new (std::nothrow)
                                              jbyte[static_cast<std::size_t>(length)]);
    if (!buffer) {
        raiseJavaError(env, ioException, "Cannot write to serial port.");
        return;
    }
    env->GetByteArrayRegion(data, offset, length, buffer.get());
    if (env->ExceptionCheck()) {
        return;
    }
    // A write that moved fewer bytes than asked lost data: it is reported like one that could
    // not be started.
    if (writeBytes(handle, reinterpret_cast<const std::uint8_t *>(buffer.get()),
                   static_cast<std::uint32_t>(length)) != WriteStatus::written) {
        raiseJavaError(env, ioException, "Cannot write to serial port.");
    }
}

JNIEXPORT void JNICALL Java_com_vembor_tarvolex_Tarvolex_doWrite__IB(JNIEnv *env, jclass,
                                                                     jint handle, jbyte value) {
    const auto byte = static_cast<std::uint8_t>(value);
    if (writeBytes(handle, &byte, 1) != WriteStatus::written) {
        raiseJavaError(env, ioException, "Connection closed.");
    }
}

JNIEXPORT void JNICALL Java_com_vembor_tarvolex_Tarvolex_doClose(JNIEnv *, jclass, jint handle) {
    traceLog("close\n");
    closePort(handle);
}

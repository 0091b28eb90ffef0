// A fake Java virtual machine for driving the native methods without a JVM: one JNIEnv whose
// function table holds only the JNI functions the library calls, with Java strings, byte arrays,
// object arrays, classes and a pending exception behind them.
//
//   tarvolex::fakejni::FakeJni jni;
//   const jint handle = Java_com_vembor_tarvolex_Tarvolex_doOpen(jni.env(), jni.callerClass(),
//                                                                 jni.newString("COM3"), 0);
//   if (const auto &e = jni.pending()) { ... e->className, e->message ... }
//   EXPECT_TRUE(jni.faults().empty());
//
// The functions behave as a JVM's do in what the library relies on:
// - FindClass, ThrowNew, ExceptionCheck: any class name is found (unless made to fail); ThrowNew
//   leaves an exception of that class with that message pending.
// - Strings hold UTF-16 units. GetStringUTFRegion converts them to modified UTF-8 as a JVM does
//   (U+0000 as C0 80, each surrogate of a supplementary character as its own three bytes) and
//   terminates the bytes; a region outside the string leaves StringIndexOutOfBoundsException.
// - NewStringUTF decodes modified UTF-8; NewObjectArray fills every slot with the initial element;
//   SetObjectArrayElement and GetByteArrayRegion leave ArrayIndexOutOfBoundsException pending for
//   an index or region outside the array, copying nothing.
// - Each object that a JNI function hands out is a new local reference; DeleteLocalRef releases
//   one. Objects themselves live as long as the FakeJni, so a stale reference never crashes.
//
// Misuse is recorded in faults() instead of crashing: a call to any other JNI function ("unexpected
// JNI call"), a call other than ExceptionCheck or DeleteLocalRef while an exception is pending, a
// reference that is not one of this FakeJni's objects or whose local references were all deleted,
// an object of the wrong kind, a second ThrowNew over a pending exception.
//
// One FakeJni serves one thread at a time, as a JNIEnv does. It is neither copied nor moved: the
// JNIEnv it hands out points into it.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvolex::fakejni {

// A Java exception: its class in slash form ("java/io/IOException") and its message.
struct JavaException {
    std::string className;
    std::string message;
};

// The JNI functions that can be made to fail as a JVM out of memory fails them: they return null
// and leave java/lang/OutOfMemoryError (FindClass: java/lang/NoClassDefFoundError) pending.
enum class Fallible { findClass, newStringUtf, newObjectArray };

class FakeJni {
public:
    FakeJni();
    ~FakeJni();
    FakeJni(const FakeJni &) = delete;
    FakeJni &operator=(const FakeJni &) = delete;

    // The JNIEnv to pass to native methods, and the class reference that goes with it.
    JNIEnv *env();
    jclass callerClass();

    // Java values as a Java caller passes them; each is a live local reference. newString takes
    // standard UTF-8 and stores UTF-16 (supplementary characters as surrogate pairs); the u16
    // overload stores the units as given, lone surrogates included.
    jstring newString(std::string_view utf8);
    jstring newString(std::u16string_view units);
    jbyteArray newByteArray(const std::vector<std::uint8_t> &bytes);

    // Reading results. text() gives a string as standard UTF-8, elements() an object array's
    // slots, bytes() a byte array's contents. A reference that is not of that kind throws
    // std::invalid_argument (a mistake in the test, not in the library).
    std::string text(jobject string) const;
    std::vector<jobject> elements(jobject array) const;
    std::vector<std::uint8_t> bytes(jobject array) const;

    // The pending exception, if any; takePending also clears it, as the Java caller catching it.
    const std::optional<JavaException> &pending() const;
    std::optional<JavaException> takePending();

    // The names of the JNI functions called so far, in order ("FindClass", ...), and every misuse.
    const std::vector<std::string> &calls() const;
    const std::vector<std::string> &faults() const;
    void clearLog();

    // Live local references: made by JNI functions or by the new... functions above, and not yet
    // deleted.
    std::size_t localReferences() const;

    // Lets the next `successes` calls of the function succeed and fails every later one.
    void failAfter(Fallible function, std::size_t successes);

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace tarvolex::fakejni

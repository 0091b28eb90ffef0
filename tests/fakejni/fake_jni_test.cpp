#include "fake_jni.h"

#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <string>
#include <vector>

namespace {

using tarvolex::fakejni::FakeJni;
using tarvolex::fakejni::Fallible;

std::string pendingClass(const FakeJni &jni) {
    return jni.pending() ? jni.pending()->className : "";
}

struct Encoding {
    const char *what;
    std::string utf8; // as the test passes it
    jsize units;      // the Java string's length
    std::string modifiedUtf8;
};

void PrintTo(const Encoding &c, std::ostream *out) {
    *out << c.what;
}

class ModifiedUtf8 : public testing::TestWithParam<Encoding> {};

TEST_P(ModifiedUtf8, RegionConvertsEveryUnitAndTerminates) {
    const Encoding &c = GetParam();
    FakeJni jni;
    JNIEnv *env = jni.env();
    const jstring string = jni.newString(c.utf8);
    ASSERT_EQ(env->GetStringLength(string), c.units);
    std::string buffer(3 * static_cast<std::size_t>(c.units) + 2, '\x55');
    env->GetStringUTFRegion(string, 0, c.units, buffer.data());
    EXPECT_EQ(buffer.substr(0, c.modifiedUtf8.size()), c.modifiedUtf8);
    EXPECT_EQ(buffer[c.modifiedUtf8.size()], '\0');
    EXPECT_EQ(jni.text(string), c.utf8);
    EXPECT_FALSE(jni.pending());
    EXPECT_TRUE(jni.faults().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Units, ModifiedUtf8,
    testing::Values(Encoding{"ascii", "COM3", 4, "COM3"}, Encoding{"empty", "", 0, ""},
                    Encoding{"nul", std::string("A\0B", 3), 3,
                             "A\xC0\x80"
                             "B"},
                    Encoding{"two_bytes", "\xC3\xA9\xDF\xBF", 2, "\xC3\xA9\xDF\xBF"},
                    Encoding{"three_bytes", "\xE0\xA0\x80\xEF\xBF\xBF", 2,
                             "\xE0\xA0\x80\xEF\xBF\xBF"},
                    // U+1F600: one surrogate pair, each half as three bytes.
                    Encoding{"supplementary", "\xF0\x9F\x98\x80", 2, "\xED\xA0\xBD\xED\xB8\x80"},
                    Encoding{"lone_surrogate", "\xED\xB0\x80", 1, "\xED\xB0\x80"}),
    [](const testing::TestParamInfo<Encoding> &row) { return row.param.what; });

struct Region {
    jsize start;
    jsize length;
    bool fits;
};

// The rows apply to a five-element array and to a five-unit string alike.
const std::vector<Region> regions = {
    {0, 5, true},   {2, 3, true},   {5, 0, true},        {4, 3, false},
    {-1, 2, false}, {0, -1, false}, {1, INT_MAX, false}, {6, 0, false},
};

TEST(Regions, ByteArrayCopiesTheRegionOrRaisesAndCopiesNothing) {
    for (const Region &r : regions) {
        SCOPED_TRACE(testing::Message() << "start " << r.start << " length " << r.length);
        FakeJni jni;
        const jbyteArray array = jni.newByteArray({10, 11, 12, 13, 14});
        std::vector<jbyte> buffer(8, 99);
        jni.env()->GetByteArrayRegion(array, r.start, r.length, buffer.data());
        if (r.fits) {
            EXPECT_FALSE(jni.pending());
            for (jsize i = 0; i < r.length; ++i) {
                EXPECT_EQ(buffer[static_cast<std::size_t>(i)], 10 + r.start + i);
            }
            EXPECT_EQ(buffer[static_cast<std::size_t>(r.length)], 99);
        } else {
            EXPECT_EQ(pendingClass(jni), "java/lang/ArrayIndexOutOfBoundsException");
            EXPECT_EQ(buffer, std::vector<jbyte>(8, 99));
        }
    }
}

TEST(Regions, StringRegionOutsideTheStringRaises) {
    for (const Region &r : regions) {
        SCOPED_TRACE(testing::Message() << "start " << r.start << " length " << r.length);
        FakeJni jni;
        const jstring string = jni.newString("ABCDE");
        std::string buffer(16, '\x55');
        jni.env()->GetStringUTFRegion(string, r.start, r.length, buffer.data());
        if (r.fits) {
            EXPECT_FALSE(jni.pending());
            EXPECT_EQ(buffer.c_str(),
                      std::string("ABCDE").substr(static_cast<std::size_t>(r.start),
                                                  static_cast<std::size_t>(r.length)));
        } else {
            EXPECT_EQ(pendingClass(jni), "java/lang/StringIndexOutOfBoundsException");
            EXPECT_EQ(buffer, std::string(16, '\x55'));
        }
    }
}

TEST(ObjectArrays, FilledWithTheInitialElementAndBoundsChecked) {
    FakeJni jni;
    JNIEnv *env = jni.env();
    const jstring empty = env->NewStringUTF("");
    const jobjectArray array = env->NewObjectArray(3, env->FindClass("java/lang/String"), empty);
    const jstring name = env->NewStringUTF("COM2");
    env->SetObjectArrayElement(array, 1, name);
    env->DeleteLocalRef(name);
    EXPECT_EQ(env->GetArrayLength(array), 3);
    const auto slots = jni.elements(array);
    EXPECT_EQ(slots[0], empty);
    EXPECT_EQ(slots[2], empty);
    EXPECT_EQ(jni.text(slots[1]), "COM2");
    EXPECT_EQ(jni.localReferences(), 3u); // empty, the class, the array
    EXPECT_TRUE(jni.faults().empty());

    env->SetObjectArrayElement(array, 3, empty);
    EXPECT_EQ(pendingClass(jni), "java/lang/ArrayIndexOutOfBoundsException");
    EXPECT_EQ(jni.elements(array)[2], empty);
}

TEST(Misuse, IsRecordedAsAFault) {
    FakeJni jni;
    JNIEnv *env = jni.env();
    EXPECT_EQ(env->GetVersion(), 0);
    EXPECT_EQ(jni.faults().back(), "unexpected JNI call: GetVersion");

    const jstring name = jni.newString("COM1");
    env->DeleteLocalRef(name);
    env->DeleteLocalRef(name);
    EXPECT_EQ(jni.faults().back(), "DeleteLocalRef: the reference was already deleted");
    env->GetStringLength(name);
    EXPECT_EQ(jni.faults().back(), "GetStringLength: use of a deleted local reference");

    env->ThrowNew(env->FindClass("java/io/IOException"), "Connection failed.");
    const auto faultsBefore = jni.faults().size();
    EXPECT_TRUE(env->ExceptionCheck());
    EXPECT_EQ(jni.faults().size(), faultsBefore);
    env->FindClass("java/lang/Exception");
    EXPECT_EQ(jni.faults().back(), "FindClass called with java/io/IOException pending");
    ASSERT_TRUE(jni.pending());
    EXPECT_EQ(jni.pending()->message, "Connection failed.");
}

TEST(Fallible, FailsAfterTheGivenSuccesses) {
    FakeJni jni;
    JNIEnv *env = jni.env();
    jni.failAfter(Fallible::newStringUtf, 1);
    EXPECT_NE(env->NewStringUTF("COM1"), nullptr);
    EXPECT_EQ(env->NewStringUTF("COM2"), nullptr);
    EXPECT_EQ(pendingClass(jni), "java/lang/OutOfMemoryError");
    EXPECT_EQ(jni.calls(), (std::vector<std::string>{"NewStringUTF", "NewStringUTF"}));
}

} // namespace

#include "fake_jni.h"
#include "jni_functions.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <map>
#include <stdexcept>
#include <utility>

namespace tarvolex::fakejni {
namespace {

enum class Kind { string, byteArray, objectArray, javaClass };

const char *kindName(Kind kind) {
    switch (kind) {
    case Kind::string:
        return "a string";
    case Kind::byteArray:
        return "a byte array";
    case Kind::objectArray:
        return "an object array";
    case Kind::javaClass:
        return "a class";
    }
    return "?";
}

struct Object {
    explicit Object(Kind k) : kind(k) {}
    Kind kind;
    std::u16string units;            // string
    std::vector<std::uint8_t> bytes; // byte array
    std::vector<jobject> elements;   // object array
    std::string name;                // class
    std::size_t localReferences = 0;
};

jobject referenceTo(Object *object) {
    return reinterpret_cast<jobject>(object);
}

// ---- Text encodings ----

// One UTF-16 unit as modified UTF-8: 1 byte for U+0001..U+007F, 2 for U+0000 and up to U+07FF,
// 3 above; a surrogate is encoded on its own like any other unit.
void appendModifiedUtf8(std::string &out, char16_t unit) {
    if (unit != 0 && unit < 0x80) {
        out += static_cast<char>(unit);
    } else if (unit < 0x800) {
        out += static_cast<char>(0xC0 | (unit >> 6));
        out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (unit >> 12));
        out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (unit & 0x3F));
    }
}

void appendUtf16(std::u16string &out, char32_t code) {
    if (code >= 0x10000) {
        code -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (code >> 10));
        out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
        out += static_cast<char16_t>(code);
    }
}

// Decodes UTF-8 (standard or modified: both forms of U+0000 and 4-byte sequences are taken).
// Returns nothing for malformed input.
std::optional<std::u16string> decodeUtf8(std::string_view bytes) {
    std::u16string out;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t extra = 0;
        char32_t code = 0;
        if (lead < 0x80) {
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            code = lead & 0x07;
        } else {
            return std::nullopt;
        }
        if (bytes.size() - i <= extra) {
            return std::nullopt;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            code = (code << 6) | (next & 0x3F);
        }
        if (code > 0x10FFFF) {
            return std::nullopt;
        }
        appendUtf16(out, code);
        i += extra + 1;
    }
    return out;
}

// UTF-16 as standard UTF-8; a lone surrogate is kept as its three-byte form.
std::string encodeUtf8(std::u16string_view units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t code = units[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

// Whether [start, start + length) lies within [0, size), compared without overflow.
bool regionFits(jsize start, jsize length, std::size_t size) {
    return start >= 0 && length >= 0 && static_cast<std::size_t>(start) <= size &&
           static_cast<std::size_t>(length) <= size - static_cast<std::size_t>(start);
}

std::string regionMessage(jsize start, jsize length, std::size_t size) {
    return "Array region " + std::to_string(start) + ".." +
           std::to_string(static_cast<long long>(start) + length) + " out of bounds for length " +
           std::to_string(size);
}

} // namespace

// The JNIEnv handed to native code, with the way back to the state behind it. JNIEnv_ holds
// only the table pointer, so the native code sees an ordinary JNIEnv.
struct Binding {
    JNIEnv_ env;
    FakeJni::State *state;
};

struct FakeJni::State {
    Binding binding{};
    JNINativeInterface_ table{};
    std::map<const void *, std::unique_ptr<Object>> objects;
    std::map<std::string, Object *, std::less<>> classes;
    std::optional<JavaException> pending;
    std::vector<std::string> calls;
    std::vector<std::string> faults;
    std::array<std::optional<std::size_t>, 3> budgets{};

    Object *make(Kind kind) {
        auto object = std::make_unique<Object>(kind);
        Object *raw = object.get();
        objects.emplace(raw, std::move(object));
        return raw;
    }

    // A new local reference to the object.
    jobject handOut(Object *object) {
        ++object->localReferences;
        return referenceTo(object);
    }

    Object *classNamed(std::string_view name) {
        const auto found = classes.find(name);
        if (found != classes.end()) {
            return found->second;
        }
        Object *type = make(Kind::javaClass);
        type->name = std::string(name);
        classes.emplace(type->name, type);
        return type;
    }

    void fault(std::string text) { faults.push_back(std::move(text)); }

    // Every implemented function starts here: the call is logged, and a call while an exception
    // is pending is misuse unless the function is one that JNI allows then.
    void enter(const char *function, bool allowedWhilePending = false) {
        calls.emplace_back(function);
        if (pending && !allowedWhilePending) {
            fault(std::string(function) + " called with " + pending->className + " pending");
        }
    }

    // The object behind a reference that native code passed in, if it is one of ours;
    // otherwise the misuse is recorded and null returned.
    Object *lookup(const char *function, jobject reference) {
        if (reference == nullptr) {
            fault(std::string(function) + ": null reference");
            return nullptr;
        }
        const auto found = objects.find(static_cast<const void *>(reference));
        if (found == objects.end()) {
            fault(std::string(function) + ": not a reference of this JNIEnv");
            return nullptr;
        }
        Object *object = found->second.get();
        if (object->localReferences == 0) {
            fault(std::string(function) + ": use of a deleted local reference");
        }
        return object;
    }

    // The same, for a reference that must be of the given kind.
    Object *lookup(const char *function, jobject reference, Kind kind) {
        Object *object = lookup(function, reference);
        if (object != nullptr && object->kind != kind) {
            fault(std::string(function) + ": " + kindName(object->kind) + " where " +
                  kindName(kind) + " is required");
            return nullptr;
        }
        return object;
    }

    void raise(std::string className, std::string message) {
        pending = JavaException{std::move(className), std::move(message)};
    }

    // Whether the JNI function runs out of memory now.
    bool exhausted(Fallible function) {
        auto &budget = budgets[static_cast<std::size_t>(function)];
        if (!budget) {
            return false;
        }
        if (*budget == 0) {
            return true;
        }
        --*budget;
        return false;
    }
};

namespace {

FakeJni::State &stateOf(JNIEnv *env) {
    return *reinterpret_cast<Binding *>(env)->state;
}

// ---- The implemented JNI functions ----

jclass JNICALL findClass(JNIEnv *env, const char *name) {
    auto &state = stateOf(env);
    state.enter("FindClass");
    if (name == nullptr) {
        state.fault("FindClass: null name");
        return nullptr;
    }
    if (state.exhausted(Fallible::findClass)) {
        state.raise("java/lang/NoClassDefFoundError", name);
        return nullptr;
    }
    return static_cast<jclass>(state.handOut(state.classNamed(name)));
}

jint JNICALL throwNew(JNIEnv *env, jclass type, const char *message) {
    auto &state = stateOf(env);
    state.enter("ThrowNew");
    const Object *object = state.lookup("ThrowNew", type, Kind::javaClass);
    if (object == nullptr) {
        return -1;
    }
    // A JVM would replace the pending exception; the library never raises twice.
    if (state.pending) {
        state.fault("ThrowNew: " + object->name + " thrown over pending " +
                    state.pending->className);
    }
    state.raise(object->name, message == nullptr ? std::string() : std::string(message));
    return 0;
}

jboolean JNICALL exceptionCheck(JNIEnv *env) {
    auto &state = stateOf(env);
    state.enter("ExceptionCheck", true);
    return state.pending ? JNI_TRUE : JNI_FALSE;
}

void JNICALL deleteLocalRef(JNIEnv *env, jobject reference) {
    auto &state = stateOf(env);
    state.enter("DeleteLocalRef", true);
    if (reference == nullptr) {
        return;
    }
    const auto found = state.objects.find(static_cast<const void *>(reference));
    if (found == state.objects.end()) {
        state.fault("DeleteLocalRef: not a reference of this JNIEnv");
    } else if (found->second->localReferences == 0) {
        state.fault("DeleteLocalRef: the reference was already deleted");
    } else {
        --found->second->localReferences;
    }
}

jstring JNICALL newStringUtf(JNIEnv *env, const char *bytes) {
    auto &state = stateOf(env);
    state.enter("NewStringUTF");
    if (bytes == nullptr) {
        state.fault("NewStringUTF: null text");
        return nullptr;
    }
    if (state.exhausted(Fallible::newStringUtf)) {
        state.raise("java/lang/OutOfMemoryError", "Java heap space");
        return nullptr;
    }
    auto units = decodeUtf8(bytes);
    if (!units) {
        state.fault("NewStringUTF: malformed modified UTF-8");
        units.emplace();
    }
    Object *string = state.make(Kind::string);
    string->units = std::move(*units);
    return static_cast<jstring>(state.handOut(string));
}

jsize JNICALL getStringLength(JNIEnv *env, jstring string) {
    auto &state = stateOf(env);
    state.enter("GetStringLength");
    const Object *object = state.lookup("GetStringLength", string, Kind::string);
    return object == nullptr ? 0 : static_cast<jsize>(object->units.size());
}

void JNICALL getStringUtfRegion(JNIEnv *env, jstring string, jsize start, jsize length,
                                char *buffer) {
    auto &state = stateOf(env);
    state.enter("GetStringUTFRegion");
    const Object *object = state.lookup("GetStringUTFRegion", string, Kind::string);
    if (object == nullptr) {
        return;
    }
    if (!regionFits(start, length, object->units.size())) {
        state.raise("java/lang/StringIndexOutOfBoundsException",
                    regionMessage(start, length, object->units.size()));
        return;
    }
    std::string converted;
    for (jsize i = 0; i < length; ++i) {
        appendModifiedUtf8(converted, object->units[static_cast<std::size_t>(start + i)]);
    }
    // Copied with its terminator, as the JDK's own virtual machine does.
    std::memcpy(buffer, converted.c_str(), converted.size() + 1);
}

jsize JNICALL getArrayLength(JNIEnv *env, jarray array) {
    auto &state = stateOf(env);
    state.enter("GetArrayLength");
    const Object *object = state.lookup("GetArrayLength", array);
    if (object == nullptr) {
        return 0;
    }
    switch (object->kind) {
    case Kind::byteArray:
        return static_cast<jsize>(object->bytes.size());
    case Kind::objectArray:
        return static_cast<jsize>(object->elements.size());
    default:
        state.fault(std::string("GetArrayLength: ") + kindName(object->kind) +
                    " where an array is required");
        return 0;
    }
}

void JNICALL getByteArrayRegion(JNIEnv *env, jbyteArray array, jsize start, jsize length,
                                jbyte *buffer) {
    auto &state = stateOf(env);
    state.enter("GetByteArrayRegion");
    const Object *object = state.lookup("GetByteArrayRegion", array, Kind::byteArray);
    if (object == nullptr) {
        return;
    }
    if (!regionFits(start, length, object->bytes.size())) {
        state.raise("java/lang/ArrayIndexOutOfBoundsException",
                    regionMessage(start, length, object->bytes.size()));
        return;
    }
    if (length > 0) {
        std::memcpy(buffer, object->bytes.data() + start, static_cast<std::size_t>(length));
    }
}

jobjectArray JNICALL newObjectArray(JNIEnv *env, jsize length, jclass elementClass,
                                    jobject initial) {
    auto &state = stateOf(env);
    state.enter("NewObjectArray");
    if (state.lookup("NewObjectArray", elementClass, Kind::javaClass) == nullptr) {
        return nullptr;
    }
    if (initial != nullptr && state.lookup("NewObjectArray", initial) == nullptr) {
        return nullptr;
    }
    if (length < 0) {
        state.raise("java/lang/NegativeArraySizeException", std::to_string(length));
        return nullptr;
    }
    if (state.exhausted(Fallible::newObjectArray)) {
        state.raise("java/lang/OutOfMemoryError", "Java heap space");
        return nullptr;
    }
    Object *array = state.make(Kind::objectArray);
    array->elements.assign(static_cast<std::size_t>(length), initial);
    return static_cast<jobjectArray>(state.handOut(array));
}

void JNICALL setObjectArrayElement(JNIEnv *env, jobjectArray array, jsize index, jobject value) {
    auto &state = stateOf(env);
    state.enter("SetObjectArrayElement");
    Object *object = state.lookup("SetObjectArrayElement", array, Kind::objectArray);
    if (object == nullptr) {
        return;
    }
    if (value != nullptr && state.lookup("SetObjectArrayElement", value) == nullptr) {
        return;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= object->elements.size()) {
        state.raise("java/lang/ArrayIndexOutOfBoundsException",
                    "Index " + std::to_string(index) + " out of bounds for length " +
                        std::to_string(object->elements.size()));
        return;
    }
    object->elements[static_cast<std::size_t>(index)] = value;
}

// ---- Every other slot of the table ----

// TARVOLEX_JNI_FUNCTIONS(X) lists every function of the JDK's table, read from its jni.h at
// configure time, so that each slot gets a trap of exactly its own type.
constexpr std::size_t slotCount = sizeof(JNINativeInterface_) / sizeof(void *);
constexpr std::size_t reservedSlots = 4;
#define TARVOLEX_COUNT_FUNCTION(name) +1
static_assert(reservedSlots + (0 TARVOLEX_JNI_FUNCTIONS(TARVOLEX_COUNT_FUNCTION)) == slotCount,
              "the generated list of JNI functions does not cover the function table");
#undef TARVOLEX_COUNT_FUNCTION

std::string slotName(std::size_t slot) {
#define TARVOLEX_SLOT_NAME(name)                                                                   \
    if (slot == offsetof(JNINativeInterface_, name) / sizeof(void *)) {                            \
        return #name;                                                                              \
    }
    TARVOLEX_JNI_FUNCTIONS(TARVOLEX_SLOT_NAME)
#undef TARVOLEX_SLOT_NAME
    return "slot " + std::to_string(slot);
}

void reportUnexpected(JNIEnv *env, std::size_t slot) {
    auto &state = stateOf(env);
    state.calls.push_back(slotName(slot));
    state.fault("unexpected JNI call: " + slotName(slot));
}

// A trap of the slot's own type (fixed and variadic argument lists), returning zero or null.
template <typename Function, std::size_t Slot> struct Trap;

template <typename Result, typename... Args, std::size_t Slot>
struct Trap<Result(JNICALL *)(JNIEnv *, Args...), Slot> {
    static Result JNICALL call(JNIEnv *env, Args...) {
        reportUnexpected(env, Slot);
        return Result();
    }
};

template <typename Result, typename... Args, std::size_t Slot>
struct Trap<Result(JNICALL *)(JNIEnv *, Args..., ...), Slot> {
    static Result JNICALL call(JNIEnv *env, Args..., ...) {
        reportUnexpected(env, Slot);
        return Result();
    }
};

} // namespace

FakeJni::FakeJni() : state_(std::make_unique<State>()) {
    State &state = *state_;
    // Every slot first reports an unexpected call, the reserved ones stay null as in a JVM, and
    // then the functions the library uses take their slots.
#define TARVOLEX_SET_TRAP(name)                                                                    \
    state.table.name = Trap<decltype(state.table.name),                                            \
                            offsetof(JNINativeInterface_, name) / sizeof(void *)>::call;
// MinGW's x86-64 va_list carries an attribute that a template argument drops; the trap's type
// still matches its slot exactly, or the assignment would not compile.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
    TARVOLEX_JNI_FUNCTIONS(TARVOLEX_SET_TRAP)
#pragma GCC diagnostic pop
#undef TARVOLEX_SET_TRAP
    state.table.FindClass = findClass;
    state.table.ThrowNew = throwNew;
    state.table.ExceptionCheck = exceptionCheck;
    state.table.DeleteLocalRef = deleteLocalRef;
    state.table.NewStringUTF = newStringUtf;
    state.table.GetStringLength = getStringLength;
    state.table.GetStringUTFRegion = getStringUtfRegion;
    state.table.GetArrayLength = getArrayLength;
    state.table.GetByteArrayRegion = getByteArrayRegion;
    state.table.NewObjectArray = newObjectArray;
    state.table.SetObjectArrayElement = setObjectArrayElement;
    state.binding.env.functions = &state.table;
    state.binding.state = &state;
}

FakeJni::~FakeJni() = default;

JNIEnv *FakeJni::env() {
    return &state_->binding.env;
}

jclass FakeJni::callerClass() {
    return static_cast<jclass>(state_->handOut(state_->classNamed("com/vembor/tarvolex/Tarvolex")));
}

jstring FakeJni::newString(std::string_view utf8) {
    auto units = decodeUtf8(utf8);
    if (!units) {
        throw std::invalid_argument("newString: malformed UTF-8");
    }
    return newString(std::u16string_view(*units));
}

jstring FakeJni::newString(std::u16string_view units) {
    Object *string = state_->make(Kind::string);
    string->units = std::u16string(units);
    return static_cast<jstring>(state_->handOut(string));
}

jbyteArray FakeJni::newByteArray(const std::vector<std::uint8_t> &bytes) {
    Object *array = state_->make(Kind::byteArray);
    array->bytes = bytes;
    return static_cast<jbyteArray>(state_->handOut(array));
}

namespace {

const Object &expect(const FakeJni::State &state, jobject reference, Kind kind) {
    const auto found = state.objects.find(static_cast<const void *>(reference));
    if (found == state.objects.end() || found->second->kind != kind) {
        throw std::invalid_argument(std::string("not ") + kindName(kind));
    }
    return *found->second;
}

} // namespace

std::string FakeJni::text(jobject string) const {
    return encodeUtf8(expect(*state_, string, Kind::string).units);
}

std::vector<jobject> FakeJni::elements(jobject array) const {
    return expect(*state_, array, Kind::objectArray).elements;
}

std::vector<std::uint8_t> FakeJni::bytes(jobject array) const {
    return expect(*state_, array, Kind::byteArray).bytes;
}

const std::optional<JavaException> &FakeJni::pending() const {
    return state_->pending;
}

std::optional<JavaException> FakeJni::takePending() {
    return std::exchange(state_->pending, std::nullopt);
}

const std::vector<std::string> &FakeJni::calls() const {
    return state_->calls;
}

const std::vector<std::string> &FakeJni::faults() const {
    return state_->faults;
}

void FakeJni::clearLog() {
    state_->calls.clear();
    state_->faults.clear();
}

std::size_t FakeJni::localReferences() const {
    std::size_t live = 0;
    for (const auto &entry : state_->objects) {
        live += entry.second->localReferences;
    }
    return live;
}

void FakeJni::failAfter(Fallible function, std::size_t successes) {
    state_->budgets[static_cast<std::size_t>(function)] = successes;
}

} // namespace tarvolex::fakejni

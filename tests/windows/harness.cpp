// The Windows harness: loads Tarvolex.dll, finds its six exports under their undecorated JNI
// names and drives them through the fake JNIEnv, one scenario per run. wine_harness.sh links the
// COM ports that each scenario expects into the Wine prefix's dosdevices folder.
//
// usage: tarvolex_harness <Tarvolex.dll> none|ports|cable
//   none   no COM port exists
//   ports  COM1, COM3 and COM41 exist, each a pty whose other end is left alone
//   cable  COM3 and COM4 are the two ends of one null-modem cable
//
// Prints PASS, FAIL or SKIP per case and closes with "harness: N passed, M failed, K skipped";
// exits with 1 when a case failed, 2 when the DLL cannot be used at all.
#include "com_vembor_tarvolex_Tarvolex.h"
#include "fake_jni.h"

#include <windows.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <io.h>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using tarvolex::fakejni::FakeJni;
using tarvolex::fakejni::Fallible;
using Bytes = std::vector<std::uint8_t>;

const std::string ioException = "java/io/IOException";
const std::string wineNoExclusiveOpens = "Wine does not enforce exclusive opens of serial devices";

// ---- The library under test ----

struct Library {
    decltype(&Java_com_vembor_tarvolex_Tarvolex_listPorts) listPorts = nullptr;
    decltype(&Java_com_vembor_tarvolex_Tarvolex_doOpen) doOpen = nullptr;
    decltype(&Java_com_vembor_tarvolex_Tarvolex_doRead) doRead = nullptr;
    decltype(&Java_com_vembor_tarvolex_Tarvolex_doWrite__I_3BII) doWriteRange = nullptr;
    decltype(&Java_com_vembor_tarvolex_Tarvolex_doWrite__IB) doWriteByte = nullptr;
    decltype(&Java_com_vembor_tarvolex_Tarvolex_doClose) doClose = nullptr;
};

template <typename Function> bool bind(HMODULE module, const char *name, Function &function) {
    const FARPROC address = GetProcAddress(module, name);
    if (address == nullptr) {
        std::printf("harness: the DLL exports no %s\n", name);
        return false;
    }
    function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
    return true;
}

std::optional<Library> load(const char *path) {
    const HMODULE module = LoadLibraryA(path);
    if (module == nullptr) {
        std::printf("harness: cannot load %s (error %lu)\n", path, GetLastError());
        return std::nullopt;
    }
    Library library;
    const bool bound =
        bind(module, "Java_com_vembor_tarvolex_Tarvolex_listPorts", library.listPorts) &
        bind(module, "Java_com_vembor_tarvolex_Tarvolex_doOpen", library.doOpen) &
        bind(module, "Java_com_vembor_tarvolex_Tarvolex_doRead", library.doRead) &
        bind(module, "Java_com_vembor_tarvolex_Tarvolex_doWrite__I_3BII", library.doWriteRange) &
        bind(module, "Java_com_vembor_tarvolex_Tarvolex_doWrite__IB", library.doWriteByte) &
        bind(module, "Java_com_vembor_tarvolex_Tarvolex_doClose", library.doClose);
    return bound ? std::optional<Library>(library) : std::nullopt;
}

bool underWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// ---- Cases ----

struct Skipped {
    std::string reason;
};

// One case's verdict: every failed expectation, or the reason it was skipped.
class Check {
public:
    void expect(bool ok, const std::string &what) {
        if (!ok) {
            failures.push_back(what);
        }
    }
    [[noreturn]] void skip(std::string reason) { throw Skipped{std::move(reason)}; }

    std::vector<std::string> failures;
};

std::string quoted(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string shown(const std::vector<std::string> &lines) {
    std::string out = "[";
    for (const auto &line : lines) {
        out += (out.size() > 1 ? ", " : "") +
               quoted(line.size() > 60 ? line.substr(0, 60) + "..." : line);
    }
    return out + "]";
}

template <typename Number> std::string shown(const std::vector<Number> &numbers) {
    std::string out = "{";
    for (const auto number : numbers) {
        out += (out.size() > 1 ? " " : "") + std::to_string(number);
    }
    return out + "}";
}

// No exception pending, or exactly this one (taken, as a Java caller catching it).
void expectException(Check &check, FakeJni &jni, const std::string &className = "",
                     const std::string &message = "") {
    const auto pending = jni.takePending();
    if (className.empty()) {
        check.expect(!pending,
                     "unexpected " +
                         (pending ? pending->className + ": " + pending->message : std::string()));
        return;
    }
    if (!pending) {
        check.expect(false, "no exception pending, expected " + className);
    } else {
        check.expect(pending->className == className && pending->message == message,
                     "pending " + pending->className + " " + quoted(pending->message) +
                         ", expected " + className + " " + quoted(message));
    }
}

// The trace written to standard error while it lives: stderr is pointed at a temporary file,
// which the C runtime that the DLL shares with the harness then writes to.
class TraceCapture {
public:
    TraceCapture() {
        char folder[MAX_PATH];
        GetTempPathA(MAX_PATH, folder);
        GetTempFileNameA(folder, "trc", 0, path_);
        file_ = _open(path_, _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
        std::fflush(stderr);
        saved_ = _dup(2);
        _dup2(file_, 2);
    }
    ~TraceCapture() {
        restore();
        _close(file_);
        DeleteFileA(path_);
    }
    TraceCapture(const TraceCapture &) = delete;
    TraceCapture &operator=(const TraceCapture &) = delete;

    // The text of each line behind the time stamp and prefix; a line without them is returned
    // whole, marked as malformed.
    std::vector<std::string> lines() {
        restore();
        std::string text;
        _lseek(file_, 0, SEEK_SET);
        char chunk[4096];
        for (int n; (n = _read(file_, chunk, sizeof chunk)) > 0;) {
            text.append(chunk, static_cast<std::size_t>(n));
        }
        // Only the prefix goes through the regex: libstdc++ matches recursively, and a line as
        // long as a 100000-character port name would overflow the stack.
        static const std::regex prefix(
            R"(([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]\.000  Tarvolex: )");
        constexpr std::size_t prefixLength = 24;
        std::vector<std::string> result;
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos) {
                end = text.size();
            }
            std::string line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            const bool stamped = line.size() >= prefixLength &&
                                 std::regex_match(line.substr(0, prefixLength), prefix);
            result.push_back(stamped ? line.substr(prefixLength) : "malformed: " + line);
            start = end + 1;
        }
        return result;
    }

private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            _dup2(saved_, 2);
            _close(saved_);
            saved_ = -1;
        }
    }

    char path_[MAX_PATH] = {};
    int file_ = -1;
    int saved_ = -1;
};

// The far end of the cable, through kernel32 directly, so that what the library sends and
// receives is seen independently of its own transfers.
class Peer {
public:
    explicit Peer(const char *devicePath)
        : handle_(CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr)) {
        if (handle_ == INVALID_HANDLE_VALUE) {
            throw std::runtime_error(std::string("cannot open the peer ") + devicePath);
        }
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(handle_, &dcb);
        dcb.BaudRate = 57600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        SetCommState(handle_, &dcb);
    }
    ~Peer() { CloseHandle(handle_); }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // Everything that arrives within `millis` (up to 64 bytes).
    Bytes read(DWORD millis) {
        COMMTIMEOUTS timeouts{};
        timeouts.ReadTotalTimeoutConstant = millis;
        SetCommTimeouts(handle_, &timeouts);
        Bytes bytes(64);
        DWORD got = 0;
        if (!ReadFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) {
            got = 0;
        }
        bytes.resize(got);
        return bytes;
    }

    void write(const Bytes &bytes) {
        DWORD written = 0;
        if (!WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                       nullptr) ||
            written != bytes.size()) {
            throw std::runtime_error("the peer could not write");
        }
    }

private:
    HANDLE handle_;
};

class Harness {
public:
    explicit Harness(const Library &library) : lib(library) {}

    // Runs one case with a fresh fake JNIEnv; any misuse of JNI that the fake recorded fails it.
    void run(const std::string &name, const std::function<void(Check &, FakeJni &)> &body) {
        Check check;
        try {
            FakeJni jni;
            body(check, jni);
            for (const auto &fault : jni.faults()) {
                check.expect(false, "JNI misuse: " + fault);
            }
            check.expect(!jni.pending(), "exception left pending: " +
                                             (jni.pending() ? jni.pending()->className : ""));
        } catch (const Skipped &skipped) {
            std::printf("SKIP %s: %s\n", name.c_str(), skipped.reason.c_str());
            ++skippedCount;
            std::fflush(stdout);
            return;
        } catch (const std::exception &error) {
            check.failures.push_back(std::string("harness error: ") + error.what());
        }
        if (check.failures.empty()) {
            std::printf("PASS %s\n", name.c_str());
            ++passedCount;
        } else {
            for (const auto &failure : check.failures) {
                std::printf("FAIL %s: %s\n", name.c_str(), failure.c_str());
            }
            ++failedCount;
        }
        std::fflush(stdout);
    }

    const Library lib;
    int passedCount = 0;
    int failedCount = 0;
    int skippedCount = 0;
};

// ---- Scenarios ----

jint open(const Library &lib, FakeJni &jni, const char *name) {
    return lib.doOpen(jni.env(), jni.callerClass(), jni.newString(name), 0);
}

// The 40 entries of listPorts as text, checking that every empty entry is one and the same
// string object.
std::vector<std::string> listedPorts(Check &check, FakeJni &jni, jobjectArray ports) {
    std::vector<std::string> names;
    if (ports == nullptr) {
        check.expect(false, "listPorts returned null");
        return names;
    }
    const auto entries = jni.elements(ports);
    jobject empty = nullptr;
    for (const jobject entry : entries) {
        names.push_back(jni.text(entry));
        if (names.back().empty()) {
            if (empty == nullptr) {
                empty = entry;
            }
            check.expect(entry == empty, "an empty entry is not the array's one empty string");
        }
    }
    return names;
}

std::vector<std::string> expectedList(std::initializer_list<int> present) {
    std::vector<std::string> names(40);
    for (const int number : present) {
        names[static_cast<std::size_t>(number - 1)] = "COM" + std::to_string(number);
    }
    return names;
}

void listCase(Harness &h, const std::string &name, std::initializer_list<int> present) {
    h.run(name, [&](Check &check, FakeJni &jni) {
        const jclass caller = jni.callerClass();
        const std::size_t referencesBefore = jni.localReferences();
        TraceCapture trace;
        const jobjectArray ports = h.lib.listPorts(jni.env(), caller);
        const auto lines = trace.lines();
        check.expect(lines == std::vector<std::string>{"List ports"}, "trace " + shown(lines));
        const auto names = listedPorts(check, jni, ports);
        check.expect(names == expectedList(present), "listed " + shown(names));
        // The empty string, the String class and the array; each name's reference is released
        // once it is stored.
        check.expect(jni.localReferences() - referencesBefore <= 3,
                     std::to_string(jni.localReferences() - referencesBefore) +
                         " local references left");
    });
}

// A JVM that cannot make a string, the class or the array leaves its exception pending, and
// listPorts returns null without another JNI call.
void outOfMemoryCases(Harness &h, Fallible function, std::size_t successes, const char *jniName,
                      const std::string &name) {
    h.run(name, [&](Check &check, FakeJni &jni) {
        jni.failAfter(function, successes);
        const jobjectArray ports = h.lib.listPorts(jni.env(), jni.callerClass());
        check.expect(ports == nullptr, "listPorts returned an array");
        check.expect(jni.pending().has_value(), "the JVM's exception is not pending");
        check.expect(!jni.calls().empty() && jni.calls().back() == jniName,
                     "JNI calls after the failed " + std::string(jniName) + ": " +
                         shown(jni.calls()));
        jni.takePending();
    });
}

void scenarioNone(Harness &h) {
    listCase(h, "listPorts with no port gives 40 empty entries", {});
    outOfMemoryCases(h, Fallible::newStringUtf, 0, "NewStringUTF",
                     "listPorts when the empty string cannot be made");
    outOfMemoryCases(h, Fallible::findClass, 0, "FindClass",
                     "listPorts when java/lang/String cannot be found");
    outOfMemoryCases(h, Fallible::newObjectArray, 0, "NewObjectArray",
                     "listPorts when the array cannot be made");

    struct BadName {
        const char *what;
        std::optional<std::string> name; // nothing: a null reference
        std::string devicePath;          // as traced: modified UTF-8 behind the prefix
    };
    const std::string longName(100000, 'x');
    const std::vector<BadName> badNames = {
        {"a missing port", "COM3", "\\\\.\\COM3"},
        {"an empty name", "", ""},
        {"a null name", std::nullopt, ""},
        {"a name already in the device namespace", "\\\\.\\COM7", "\\\\.\\COM7"},
        {"a name outside ASCII", "COM\xC3\xA9\xF0\x9F\x98\x80",
         "\\\\.\\COM\xC3\xA9\xED\xA0\xBD\xED\xB8\x80"},
        {"a name holding U+0000", std::string("COM3\0", 5), std::string("\\\\.\\COM3\xC0\x80")},
        {"a name of 100000 characters", longName, "\\\\.\\" + longName},
    };
    for (const auto &bad : badNames) {
        h.run(std::string("doOpen of ") + bad.what + " raises Connection failed.",
              [&](Check &check, FakeJni &jni) {
                  const jstring name = bad.name ? jni.newString(*bad.name) : nullptr;
                  const jclass caller = jni.callerClass();
                  TraceCapture trace;
                  const jint handle = h.lib.doOpen(jni.env(), caller, name, 0);
                  const auto lines = trace.lines();
                  check.expect(lines == std::vector<std::string>{"doOpen port = " + bad.devicePath},
                               "trace " + shown(lines));
                  check.expect(handle == -1, "returned " + std::to_string(handle));
                  expectException(check, jni, ioException, "Connection failed.");
              });
    }

    // \\.\NUL opens but refuses line settings. Handle slots are handed out lowest first, so the
    // slot the library used is the one a fresh open gets when, and only when, it was closed.
    h.run("doOpen of \\\\.\\NUL raises Connection setup failed. and closes the device",
          [&](Check &check, FakeJni &jni) {
              const auto openNul = [] {
                  return CreateFileA("\\\\.\\NUL", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
              };
              const jstring name = jni.newString("\\\\.\\NUL");
              const jclass caller = jni.callerClass();
              TraceCapture trace;
              const HANDLE before = openNul();
              CloseHandle(before);
              h.lib.doOpen(jni.env(), caller, name, 0);
              const HANDLE after = openNul();
              CloseHandle(after);
              const auto lines = trace.lines();
              check.expect(lines == std::vector<std::string>{"doOpen port = \\\\.\\NUL"},
                           "trace " + shown(lines));
              expectException(check, jni, ioException, "Connection setup failed.");
              check.expect(before != INVALID_HANDLE_VALUE && after == before,
                           "the device was left open");
          });

    for (const jint handle : {0, -1}) {
        h.run("doClose(" + std::to_string(handle) + ") traces close and raises nothing",
              [&](Check &check, FakeJni &jni) {
                  const jclass caller = jni.callerClass();
                  TraceCapture trace;
                  h.lib.doClose(jni.env(), caller, handle);
                  const auto lines = trace.lines();
                  check.expect(lines == std::vector<std::string>{"close"}, "trace " + shown(lines));
                  expectException(check, jni);
              });
    }
}

void scenarioPorts(Harness &h, bool wine) {
    listCase(h, "listPorts with COM1, COM3 and COM41 lists COM1 and COM3 only", {1, 3});
    outOfMemoryCases(h, Fallible::newStringUtf, 1, "NewStringUTF",
                     "listPorts when a port's name cannot be made");
    h.run("a port held by doOpen lists empty until closed", [&](Check &check, FakeJni &jni) {
        const jint handle = open(h.lib, jni, "COM3");
        expectException(check, jni);
        const auto held = listedPorts(check, jni, h.lib.listPorts(jni.env(), jni.callerClass()));
        if (wine && held == expectedList({1, 3})) {
            h.lib.doClose(jni.env(), jni.callerClass(), handle);
            check.skip(wineNoExclusiveOpens);
        }
        check.expect(held == expectedList({1}), "while held: " + shown(held));
        h.lib.doClose(jni.env(), jni.callerClass(), handle);
        const auto freed = listedPorts(check, jni, h.lib.listPorts(jni.env(), jni.callerClass()));
        check.expect(freed == expectedList({1, 3}), "after close: " + shown(freed));
    });
}

void scenarioCable(Harness &h, bool wine) {
    h.run("doOpen and doClose of COM3 trace their lines", [&](Check &check, FakeJni &jni) {
        const jstring name = jni.newString("COM3");
        const jclass caller = jni.callerClass();
        TraceCapture trace;
        const jint handle = h.lib.doOpen(jni.env(), caller, name, 0);
        h.lib.doClose(jni.env(), caller, handle);
        const auto lines = trace.lines();
        expectException(check, jni);
        check.expect(handle != -1 && handle != 0, "returned " + std::to_string(handle));
        check.expect(lines == std::vector<std::string>{"doOpen port = \\\\.\\COM3",
                                                       "OPENED " + std::to_string(handle), "close"},
                     "trace " + shown(lines));
    });

    h.run("a second doOpen of an open port raises Connection failed.",
          [&](Check &check, FakeJni &jni) {
              const jint first = open(h.lib, jni, "COM3");
              expectException(check, jni);
              const jint second = open(h.lib, jni, "COM3");
              if (wine && !jni.pending()) {
                  h.lib.doClose(jni.env(), jni.callerClass(), second);
                  h.lib.doClose(jni.env(), jni.callerClass(), first);
                  check.skip(wineNoExclusiveOpens);
              }
              expectException(check, jni, ioException, "Connection failed.");
              h.lib.doClose(jni.env(), jni.callerClass(), first);
              const jint again = open(h.lib, jni, "COM3");
              expectException(check, jni);
              h.lib.doClose(jni.env(), jni.callerClass(), again);
          });

    // The peer is opened before the port under test, so that no handle value the cases close
    // can be handed to it.
    Peer peer("\\\\.\\COM4");
    h.run("the byte values 0 and 255 cross the cable both ways", [&](Check &check, FakeJni &jni) {
        const jint handle = open(h.lib, jni, "COM3");
        expectException(check, jni);
        h.lib.doWriteByte(jni.env(), jni.callerClass(), handle, 0);
        h.lib.doWriteByte(jni.env(), jni.callerClass(), handle, static_cast<jbyte>(0xFF));
        h.lib.doWriteRange(jni.env(), jni.callerClass(), handle,
                           jni.newByteArray({0x00, 0xFF, 0x80, 0x7F}), 0, 4);
        expectException(check, jni);
        const Bytes sent = peer.read(500);
        check.expect(sent == Bytes{0, 255, 0, 255, 128, 127}, "the peer received " + shown(sent));

        peer.write({0x00, 0xFF, 0x80});
        std::vector<jint> received;
        for (int i = 0; i < 3; ++i) {
            received.push_back(h.lib.doRead(jni.env(), jni.callerClass(), handle));
        }
        expectException(check, jni);
        check.expect(received == std::vector<jint>{0, 255, 128},
                     "doRead returned " + shown(received));
        h.lib.doClose(jni.env(), jni.callerClass(), handle);
    });

    h.run("a read on a silent line returns -1 after about a second",
          [&](Check &check, FakeJni &jni) {
              const jint handle = open(h.lib, jni, "COM3");
              const auto start = std::chrono::steady_clock::now();
              const jint value = h.lib.doRead(jni.env(), jni.callerClass(), handle);
              const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - start)
                                      .count();
              h.lib.doClose(jni.env(), jni.callerClass(), handle);
              expectException(check, jni);
              check.expect(value == -1, "doRead returned " + std::to_string(value));
              check.expect(millis >= 900 && millis <= 3000,
                           "returned after " + std::to_string(millis) + " ms");
          });

    struct Region {
        const char *what;
        bool nullArray;
        jint offset;
        jint length;
        Bytes written; // of the array {10, 11, 12, 13, 14}
        bool outOfBounds;
    };
    const std::vector<Region> regions = {
        {"offset 2 length 3 writes bytes 2..4", false, 2, 3, {12, 13, 14}, false},
        {"the whole array", false, 0, 5, {10, 11, 12, 13, 14}, false},
        {"a null array writes nothing", true, 0, 3, {}, false},
        {"a null array with a negative offset writes nothing", true, -1, 3, {}, false},
        {"length 0 with an offset outside writes nothing", false, 99, 0, {}, false},
        {"offset 4 length 3 is out of bounds", false, 4, 3, {}, true},
        {"a negative offset is out of bounds", false, -1, 2, {}, true},
        {"a negative length is out of bounds", false, 0, -1, {}, true},
        {"offset 1 length INT_MAX is out of bounds", false, 1, INT_MAX, {}, true},
    };
    for (const auto &region : regions) {
        h.run(std::string("range write: ") + region.what, [&](Check &check, FakeJni &jni) {
            const jint handle = open(h.lib, jni, "COM3");
            expectException(check, jni);
            const jbyteArray data =
                region.nullArray ? nullptr : jni.newByteArray({10, 11, 12, 13, 14});
            h.lib.doWriteRange(jni.env(), jni.callerClass(), handle, data, region.offset,
                               region.length);
            if (region.outOfBounds) {
                const auto pending = jni.takePending();
                check.expect(pending &&
                                 pending->className == "java/lang/ArrayIndexOutOfBoundsException",
                             "no ArrayIndexOutOfBoundsException pending");
            } else {
                expectException(check, jni);
            }
            const Bytes sent = peer.read(300);
            check.expect(sent == region.written, "the peer received " + shown(sent));
            h.lib.doClose(jni.env(), jni.callerClass(), handle);
        });
    }

    h.run("transfers on a closed handle raise their messages", [&](Check &check, FakeJni &jni) {
        const jint handle = open(h.lib, jni, "COM3");
        h.lib.doClose(jni.env(), jni.callerClass(), handle);
        expectException(check, jni);
        h.lib.doRead(jni.env(), jni.callerClass(), handle);
        expectException(check, jni, "java/lang/Exception", "Can not read serial port.");
        h.lib.doWriteRange(jni.env(), jni.callerClass(), handle, jni.newByteArray({1, 2}), 0, 2);
        expectException(check, jni, ioException, "Cannot write to serial port.");
        h.lib.doWriteByte(jni.env(), jni.callerClass(), handle, 1);
        expectException(check, jni, ioException, "Connection closed.");
        const Bytes sent = peer.read(300);
        check.expect(sent.empty(), "the peer received " + shown(sent));
    });
}

} // namespace

int main(int argc, char **argv) {
    const std::string scenario = argc == 3 ? argv[2] : "";
    if (scenario != "none" && scenario != "ports" && scenario != "cable") {
        std::printf("usage: tarvolex_harness <Tarvolex.dll> none|ports|cable\n");
        return 2;
    }
    const auto library = load(argv[1]);
    if (!library) {
        return 2;
    }
    const bool wine = underWine();
    std::printf("harness: scenario %s%s\n", scenario.c_str(), wine ? " (under Wine)" : "");
    Harness harness(*library);
    try {
        if (scenario == "none") {
            scenarioNone(harness);
        } else if (scenario == "ports") {
            scenarioPorts(harness, wine);
        } else {
            scenarioCable(harness, wine);
        }
    } catch (const std::exception &error) {
        std::printf("FAIL %s: harness error: %s\n", scenario.c_str(), error.what());
        ++harness.failedCount;
    }
    std::printf("harness: %d passed, %d failed, %d skipped\n", harness.passedCount,
                harness.failedCount, harness.skippedCount);
    return harness.failedCount == 0 ? 0 : 1;
}

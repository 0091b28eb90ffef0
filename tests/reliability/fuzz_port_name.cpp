// libFuzzer target: arbitrary port names into doOpen. The input's bytes are UTF-16 units (little
// endian), so names hold anything a Java string can: U+0000, lone surrogates, supplementary
// characters. They pass through GetStringLength and GetStringUTFRegion of the fake JNIEnv, the
// device path rules and the platform open. A private port folder holds a regular file, a FIFO, a
// folder, /dev/null, a symlink loop, a dangling link and one real pty (as COM1 and as pty).
//
// What must hold for every name: no sanitizer report; either a handle and nothing pending, or -1
// and IOException "Connection failed."; only the private pty ever opens.
#include "com_vembor_tarvolex_Tarvolex.h"
#include "fake_jni.h"
#include "fixtures.h"
#include "serial.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace tarvolex;
using namespace tarvolex::reliability;

namespace {

struct World {
    PortDir dir;
    FarEnd pty;
    dev_t ptyDevice = 0;
    std::string realDir;

    World() {
        std::ofstream(dir.at("file")) << "not a device";
        mkfifo(dir.at("fifo").c_str(), 0600);
        mkdir(dir.at("dir").c_str(), 0700);
        dir.link("null", "/dev/null");
        dir.link("loop", dir.at("loop"));
        dir.link("dangling", dir.at("nothing"));
        dir.link("COM1", pty.slavePath());
        dir.link("pty", pty.slavePath());
        struct stat status {};
        stat(pty.slavePath().c_str(), &status);
        ptyDevice = status.st_rdev;
        char real[PATH_MAX];
        realDir = realpath(dir.path().c_str(), real) != nullptr ? real : dir.path();
    }
};

std::unique_ptr<World> world; // for the whole run; its folder goes at exit

[[noreturn]] void finding(const char *what, const std::string &name) {
    // On standard output: the fuzz runs close standard error to silence the trace.
    std::printf("FINDING: %s (path %s)\n", what, name.c_str());
    std::fflush(stdout);
    std::abort();
}

// The file a name leads to, worked out as the library does, or "" when it names no path.
std::string pathOf(fakejni::FakeJni &jni, jstring name) {
    JNIEnv *env = jni.env();
    const jsize length = env->GetStringLength(name);
    std::string bytes(3 * static_cast<std::size_t>(length) + 1, '\0');
    env->GetStringUTFRegion(name, 0, length, bytes.data());
    bytes.resize(std::strlen(bytes.c_str()));
    const std::string device = toDevicePath(bytes);
    if (device.rfind("\\\\.\\", 0) != 0) {
        return {};
    }
    const std::string rest = device.substr(4);
    return rest.empty() || rest.front() == '/' ? rest : world->dir.at(rest);
}

// Where the fuzzer may lead the library: anything that is not a device, the private pty and the
// harmless memory devices (/dev/null, /dev/zero, /dev/full, /dev/random, /dev/urandom). Any other
// device of the machine (its consoles, serial ports, other programs' ptys) is left alone. A path
// that does not exist yet may only lie in the private folder: elsewhere (in /dev/pts, say)
// another program could create a device there between this check and the open.
bool mayTouch(const std::string &path) {
    if (path.empty()) {
        return true;
    }
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        const std::string parent = path.substr(0, path.find_last_of('/') + 1) + ".";
        char real[PATH_MAX];
        return realpath(parent.c_str(), real) != nullptr &&
               (std::string(real) + "/").rfind(world->realDir + "/", 0) == 0;
    }
    if (!S_ISCHR(status.st_mode) && !S_ISBLK(status.st_mode)) {
        return true;
    }
    const unsigned minorNumber = minor(status.st_rdev);
    return status.st_rdev == world->ptyDevice ||
           (S_ISCHR(status.st_mode) && major(status.st_rdev) == 1 &&
            (minorNumber == 3 || minorNumber == 5 || minorNumber == 7 || minorNumber == 8 ||
             minorNumber == 9));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    world = std::make_unique<World>();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::u16string units(size / 2, u'\0');
    if (!units.empty()) {
        std::memcpy(units.data(), data, units.size() * 2);
    }
    fakejni::FakeJni jni;
    const jstring name = jni.newString(units);
    const std::string path = pathOf(jni, name);
    if (!mayTouch(path)) {
        return 0;
    }
    const jint handle =
        Java_com_vembor_tarvolex_Tarvolex_doOpen(jni.env(), jni.callerClass(), name, 0);
    const auto raised = jni.takePending();
    if (handle == -1) {
        if (!raised || raised->className != "java/io/IOException" ||
            raised->message != "Connection failed.") {
            finding("a refused open without IOException \"Connection failed.\"", path);
        }
    } else {
        if (raised) {
            finding("an exception beside a handle", path);
        }
        struct stat status {};
        if (stat(path.c_str(), &status) != 0 || status.st_rdev != world->ptyDevice) {
            finding("something other than the private pty opened", path);
        }
        Java_com_vembor_tarvolex_Tarvolex_doClose(jni.env(), jni.callerClass(), handle);
    }
    if (!jni.faults().empty()) {
        finding(jni.faults().front().c_str(), path);
    }
    return 0;
}

// Drives the six native methods through the fake JNIEnv on real ptys, for the sanitizer builds
// (ASan+UBSan+LSan, and TSan): every method with good and bad arguments, the faults a line can
// have (hang-up, a far end that never reads, a vanished node, signals), and threads racing reads,
// writes and closes. A sanitizer report fails the run; so does a descriptor left open.
#include "com_vembor_tarvolex_Tarvolex.h"
#include "fake_jni.h"
#include "fixtures.h"
#include "platform.h"

#include <gtest/gtest.h>
#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tarvolex;
using namespace tarvolex::reliability;
using fakejni::FakeJni;
using fakejni::JavaException;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr const char *ioException = "java/io/IOException";
constexpr const char *readException = "java/lang/Exception";
constexpr const char *regionException = "java/lang/ArrayIndexOutOfBoundsException";

// One Java thread: its own JNIEnv and the six methods called as the JVM calls them.
struct Java {
    FakeJni jni;

    jint open(jstring name) {
        return Java_com_vembor_tarvolex_Tarvolex_doOpen(jni.env(), jni.callerClass(), name, 0);
    }
    jint open(const std::string &utf8) { return open(jni.newString(utf8)); }
    jint read(jint handle) {
        return Java_com_vembor_tarvolex_Tarvolex_doRead(jni.env(), jni.callerClass(), handle);
    }
    void write(jint handle, jbyteArray data, jint offset, jint length) {
        Java_com_vembor_tarvolex_Tarvolex_doWrite__I_3BII(jni.env(), jni.callerClass(), handle,
                                                          data, offset, length);
    }
    void write(jint handle, const std::vector<std::uint8_t> &bytes) {
        write(handle, jni.newByteArray(bytes), 0, static_cast<jint>(bytes.size()));
    }
    void write(jint handle, std::uint8_t value) {
        Java_com_vembor_tarvolex_Tarvolex_doWrite__IB(jni.env(), jni.callerClass(), handle,
                                                      static_cast<jbyte>(value));
    }
    void close(jint handle) {
        Java_com_vembor_tarvolex_Tarvolex_doClose(jni.env(), jni.callerClass(), handle);
    }
    std::vector<std::string> list() {
        const jobjectArray ports =
            Java_com_vembor_tarvolex_Tarvolex_listPorts(jni.env(), jni.callerClass());
        std::vector<std::string> names;
        if (ports != nullptr) {
            for (const jobject name : jni.elements(ports)) {
                names.push_back(jni.text(name));
            }
        }
        return names;
    }

    // The exception the last call left, cleared as a Java caller's catch clears it.
    std::optional<JavaException> caught() { return jni.takePending(); }

    ~Java() { EXPECT_TRUE(jni.faults().empty()) << ::testing::PrintToString(jni.faults()); }
};

::testing::AssertionResult raised(const std::optional<JavaException> &e, const char *className,
                                  const char *message) {
    if (!e) {
        return ::testing::AssertionFailure() << "nothing raised";
    }
    if (e->className != className || e->message != message) {
        return ::testing::AssertionFailure() << e->className << ": " << e->message;
    }
    return ::testing::AssertionSuccess();
}

// Runs `body` on a thread of its own and hands back its duration in seconds once joined.
class Timed {
public:
    explicit Timed(std::function<void()> body)
        : thread_([this, body = std::move(body)] {
              const auto start = Clock::now();
              body();
              seconds_ = secondsSince(start);
          }) {}
    double join() {
        thread_.join();
        return seconds_;
    }

private:
    std::atomic<double> seconds_{0};
    std::thread thread_;
};

// Every test gets a fresh port folder; the environment variable is set before any thread runs.
class Line : public ::testing::Test {
protected:
    PortDir dir;
    Java java;
};

// ---- Every method, on a socat cable ----

TEST_F(Line, EveryMethodOnASocatCable) {
    SocatCable cable(dir, "COM1", "COM2");

    const std::vector<std::string> listed = java.list();
    ASSERT_EQ(listed.size(), 40u);
    EXPECT_EQ(listed[0], "COM1");
    EXPECT_EQ(listed[1], "COM2");
    for (std::size_t i = 2; i < listed.size(); ++i) {
        EXPECT_EQ(listed[i], "") << i;
    }

    const jint a = java.open("COM1");
    const jint b = java.open("COM2");
    ASSERT_FALSE(java.caught());
    EXPECT_EQ(java.list()[0], ""); // held ports do not list

    // A range, then single bytes, both ways.
    java.write(a, java.jni.newByteArray({9, 0, 255, 7, 9}), 1, 3);
    java.write(b, std::uint8_t{0x80});
    ASSERT_FALSE(java.caught());
    EXPECT_EQ(java.read(b), 0);
    EXPECT_EQ(java.read(b), 255);
    EXPECT_EQ(java.read(b), 7);
    EXPECT_EQ(java.read(a), 0x80);
    ASSERT_FALSE(java.caught());

    java.close(a);
    java.close(b);
    java.close(b); // twice: nothing
    java.close(0);
    java.close(-1);
    EXPECT_FALSE(java.caught());

    // A closed handle refuses every transfer with the method's own message.
    EXPECT_EQ(java.read(a), -1);
    EXPECT_TRUE(raised(java.caught(), readException, "Can not read serial port."));
    java.write(a, {1, 2});
    EXPECT_TRUE(raised(java.caught(), ioException, "Cannot write to serial port."));
    java.write(a, std::uint8_t{1});
    EXPECT_TRUE(raised(java.caught(), ioException, "Connection closed."));
}

TEST_F(Line, SilentLineReadsMinusOneAfterAboutOneSecond) {
    FarEnd far;
    const jint handle = java.open(far.devicePath());
    const auto start = Clock::now();
    EXPECT_EQ(java.read(handle), -1);
    const double seconds = secondsSince(start);
    EXPECT_GT(seconds, 0.9);
    EXPECT_LT(seconds, 3.0);
    java.close(handle);
}

// A child process started while a port is open inherits neither its device nor its wake-up
// descriptor.
TEST_F(Line, ChildProcessesInheritNoPortDescriptor) {
    FarEnd far;
    const jint handle = java.open(far.devicePath());
    ASSERT_FALSE(java.caught());
    std::string listing;
    {
        const std::unique_ptr<FILE, int (*)(FILE *)> child(popen("ls -l /proc/self/fd", "r"),
                                                           pclose);
        ASSERT_TRUE(child);
        char line[512];
        while (std::fgets(line, sizeof line, child.get()) != nullptr) {
            listing += line;
        }
    }
    EXPECT_EQ(listing.find(far.slavePath()), std::string::npos) << listing;
    EXPECT_EQ(listing.find("eventfd"), std::string::npos) << listing;
    EXPECT_NE(listing.find("/proc/"), std::string::npos) << listing; // ls's own: the listing works
    java.close(handle);
}

// ---- Names that open nothing ----

struct BadName {
    const char *what;
    std::function<jstring(Java &, const PortDir &)> name;
};

class OpenRefusal : public Line, public ::testing::WithParamInterface<BadName> {};

std::u16string u16(const std::string &ascii) {
    return {ascii.begin(), ascii.end()};
}

const BadName badNames[] = {
    {"missing", [](Java &j, const PortDir &) { return j.jni.newString("COM9"); }},
    {"empty", [](Java &j, const PortDir &) { return j.jni.newString(""); }},
    {"null", [](Java &, const PortDir &) { return jstring{}; }},
    {"regular_file", [](Java &j, const PortDir &d) { return j.jni.newString(d.at("file")); }},
    {"fifo", [](Java &j, const PortDir &) { return j.jni.newString("fifo"); }},
    {"directory", [](Java &j, const PortDir &) { return j.jni.newString("dir"); }},
    {"dev_null", [](Java &j, const PortDir &) { return j.jni.newString("\\\\.\\/dev/null"); }},
    {"dev_null_linked", [](Java &j, const PortDir &) { return j.jni.newString("null"); }},
    {"symlink_loop", [](Java &j, const PortDir &) { return j.jni.newString("loop"); }},
    {"dangling_link", [](Java &j, const PortDir &) { return j.jni.newString("dangling"); }},
    {"huge", [](Java &j, const PortDir &) { return j.jni.newString(std::string(100000, 'C')); }},
    {"nul_inside", [](Java &j, const PortDir &) { return j.jni.newString(u16("COM") + u'\0'); }},
    {"lone_surrogate",
     [](Java &j, const PortDir &) { return j.jni.newString(u16("COM") + char16_t{0xD800}); }},
    {"supplementary", // 3 bytes of modified UTF-8 for each of its 20 UTF-16 units
     [](Java &j, const PortDir &) {
         std::string name = "COM";
         for (int i = 0; i < 10; ++i) {
             name += "\U0001F600";
         }
         return j.jni.newString(name);
     }},
    {"other_prefix", [](Java &j, const PortDir &) { return j.jni.newString("\\\\?\\COM1"); }},
    {"parent_escape",
     [](Java &j, const PortDir &) { return j.jni.newString("../../../../../../etc/passwd"); }},
};

TEST_P(OpenRefusal, RaisesConnectionFailedAndLeavesNothingOpen) {
    std::ofstream(dir.at("file")) << "not a device";
    ASSERT_EQ(mkfifo(dir.at("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.at("dir").c_str(), 0700), 0);
    dir.link("null", "/dev/null");
    dir.link("loop", dir.at("loop"));
    dir.link("dangling", dir.at("nothing"));
    const std::size_t descriptors = openDescriptors();

    EXPECT_EQ(java.open(GetParam().name(java, dir)), -1);
    EXPECT_TRUE(raised(java.caught(), ioException, "Connection failed."));
    EXPECT_EQ(openDescriptors(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Names, OpenRefusal, ::testing::ValuesIn(badNames),
                         [](const auto &info) { return std::string(info.param.what); });

// Only terminals are opened at all: a reader waiting for a FIFO's writer stays waiting, where
// opening the FIFO for writing would have released it.
TEST_F(Line, ANonTerminalIsNeverOpened) {
    ASSERT_EQ(mkfifo(dir.at("fifo").c_str(), 0600), 0);
    std::atomic<bool> released{false};
    std::thread reader([&] {
        const int fd = ::open(dir.at("fifo").c_str(), O_RDONLY | O_CLOEXEC); // waits for a writer
        released = true;
        ::close(fd);
    });
    EXPECT_EQ(java.open("fifo"), -1);
    EXPECT_TRUE(raised(java.caught(), ioException, "Connection failed."));
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(released);
    ::close(::open(dir.at("fifo").c_str(), O_WRONLY | O_CLOEXEC)); // let the reader go
    reader.join();
}

// ---- The range write's regions ----

struct Region {
    const char *what;
    int size; // -1: a null array
    jint offset;
    jint length;
    const char *raisedClass; // nullptr: nothing raised; the bytes offset..offset+length arrive
};

class RangeWrite : public Line, public ::testing::WithParamInterface<Region> {};

const Region regions[] = {
    {"whole", 5, 0, 5, nullptr},
    {"middle", 5, 2, 3, nullptr},
    {"empty_at_end", 5, 5, 0, nullptr},
    {"empty_far_out", 5, 99, 0, nullptr},
    {"empty_negative", 5, -7, 0, nullptr},
    {"null", -1, 0, 5, nullptr},
    {"null_negative", -1, -1, -1, nullptr},
    {"past_end", 5, 4, 3, regionException},
    {"offset_past_end", 5, 6, 1, regionException},
    {"negative_offset", 5, -1, 2, regionException},
    {"negative_length", 5, 1, -1, regionException},
    {"int_max_length", 5, 1, 0x7fffffff, regionException},
    {"int_max_offset", 5, 0x7fffffff, 1, regionException},
    {"overflowing_sum", 5, 0x7ffffffe, 0x7ffffffe, regionException},
    {"int_min", 5, -0x7fffffff - 1, -0x7fffffff - 1, regionException},
};

TEST_P(RangeWrite, WritesExactlyTheRegionOrRaises) {
    const Region &r = GetParam();
    FarEnd far;
    const jint handle = java.open(far.devicePath());
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::max(r.size, 0)));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(0xa0 + i);
    }
    java.write(handle, r.size < 0 ? nullptr : java.jni.newByteArray(bytes), r.offset, r.length);
    const auto e = java.caught();
    const std::vector<std::uint8_t> arrived = far.drain();
    if (r.raisedClass != nullptr) {
        ASSERT_TRUE(e);
        EXPECT_EQ(e->className, r.raisedClass);
        EXPECT_TRUE(arrived.empty());
    } else {
        EXPECT_FALSE(e) << e->className << ": " << e->message;
        const bool nothing = r.size < 0 || r.length == 0;
        EXPECT_EQ(arrived, nothing
                               ? std::vector<std::uint8_t>{}
                               : std::vector<std::uint8_t>(bytes.begin() + r.offset,
                                                           bytes.begin() + r.offset + r.length));
    }
    java.close(handle);
}

INSTANTIATE_TEST_SUITE_P(Regions, RangeWrite, ::testing::ValuesIn(regions),
                         [](const auto &info) { return std::string(info.param.what); });

// ---- Faults of the line ----

TEST_F(Line, HangUpDuringAReadEndsItAndRefusesLaterTransfers) {
    FarEnd far;
    const jint handle = java.open(far.devicePath());
    Timed read([&] {
        Java reader;
        EXPECT_EQ(reader.read(handle), -1);
        EXPECT_FALSE(reader.caught());
    });
    std::this_thread::sleep_for(200ms);
    far.hangUp();
    EXPECT_LT(read.join(), 0.9); // ended by the hang-up, not the time-out

    EXPECT_EQ(java.read(handle), -1);
    EXPECT_TRUE(raised(java.caught(), readException, "Can not read serial port."));
    java.write(handle, std::vector<std::uint8_t>{1});
    EXPECT_TRUE(raised(java.caught(), ioException, "Cannot write to serial port."));
    java.write(handle, std::uint8_t{1});
    EXPECT_TRUE(raised(java.caught(), ioException, "Connection closed."));
    java.close(handle);
}

TEST_F(Line, HangUpDuringAWriteEndsItAndRaises) {
    FarEnd far;
    const jint handle = java.open(far.devicePath());
    fillLine(handle);
    Timed write([&] {
        Java writer;
        writer.write(handle, std::vector<std::uint8_t>(100, 1)); // 1050 ms to go
        EXPECT_TRUE(raised(writer.caught(), ioException, "Cannot write to serial port."));
    });
    std::this_thread::sleep_for(200ms);
    far.hangUp();
    EXPECT_LT(write.join(), 0.9);
    java.close(handle);
}

TEST_F(Line, WriteThatTheFarEndNeverReadsEndsByItsTimeOutAndRaises) {
    FarEnd far;
    const jint handle = java.open(far.devicePath());
    fillLine(handle);

    auto start = Clock::now();
    java.write(handle, std::vector<std::uint8_t>(100, 1)); // 10 ms a byte + 50 ms
    EXPECT_TRUE(raised(java.caught(), ioException, "Cannot write to serial port."));
    EXPECT_GT(secondsSince(start), 0.9);
    EXPECT_LT(secondsSince(start), 3.0);

    start = Clock::now();
    java.write(handle, std::uint8_t{1}); // 60 ms
    EXPECT_TRUE(raised(java.caught(), ioException, "Connection closed."));
    EXPECT_LT(secondsSince(start), 1.0);
    java.close(handle);
}

TEST_F(Line, NodeThatDisappearsWhileOpen) {
    FarEnd far;
    dir.link("COM5", far.slavePath());
    const jint handle = java.open("COM5");
    ASSERT_FALSE(java.caught());

    // The name goes: the open port goes on working, and the name opens nothing any more.
    dir.remove("COM5");
    java.write(handle, std::uint8_t{42});
    EXPECT_EQ(far.drain(), std::vector<std::uint8_t>{42});
    EXPECT_EQ(java.open("COM5"), -1);
    EXPECT_TRUE(raised(java.caught(), ioException, "Connection failed."));

    // The device itself goes (the pty's node is removed with its master): transfers refuse.
    far.hangUp();
    EXPECT_NE(access(far.slavePath().c_str(), F_OK), 0);
    EXPECT_EQ(java.read(handle), -1);
    EXPECT_TRUE(raised(java.caught(), readException, "Can not read serial port."));
    java.close(handle);
}

// ---- Signals during a wait ----

extern "C" void ignoreSignal(int) {}

// SIGUSR1 to a thread every millisecond while it waits: each signal interrupts its ppoll, which
// must resume with the time left, so the transfer still ends at its own time-out.
double underSignals(const std::function<void()> &transfer) {
    struct sigaction action {};
    action.sa_handler = ignoreSignal; // no SA_RESTART: every signal interrupts the wait
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    sigaction(SIGUSR1, &action, &previous);

    std::atomic<bool> done{false};
    std::atomic<double> seconds{0};
    std::thread waiter([&] {
        const auto start = Clock::now();
        transfer();
        seconds = secondsSince(start);
        done = true;
    });
    int signals = 0;
    const auto giveUp = Clock::now() + 10s;
    while (!done && Clock::now() < giveUp) {
        pthread_kill(waiter.native_handle(), SIGUSR1);
        ++signals;
        std::this_thread::sleep_for(1ms);
    }
    waiter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GT(signals, 100);
    return seconds;
}

TEST_F(Line, SignalsDuringAReadNeitherEndItEarlyNorRestartIt) {
    FarEnd far;
    const jint handle = java.open(far.devicePath());
    const double seconds = underSignals([&] {
        Java reader;
        EXPECT_EQ(reader.read(handle), -1);
        EXPECT_FALSE(reader.caught());
    });
    EXPECT_GT(seconds, 0.95);
    EXPECT_LT(seconds, 3.0);
    java.close(handle);
}

TEST_F(Line, SignalsDuringAWriteNeitherEndItEarlyNorRestartIt) {
    FarEnd far;
    const jint handle = java.open(far.devicePath());
    fillLine(handle);
    const double seconds = underSignals([&] {
        Java writer;
        writer.write(handle, std::vector<std::uint8_t>(100, 1));
        EXPECT_TRUE(raised(writer.caught(), ioException, "Cannot write to serial port."));
    });
    EXPECT_GT(seconds, 0.95);
    EXPECT_LT(seconds, 3.0);
    java.close(handle);
}

// ---- Time-out arithmetic at the limits ----

// A write of nearly 2^31 bytes is given 10 ms a byte: about 250 days, not a wrapped-around few
// milliseconds. Driven through the platform layer with a reserved but untouched buffer, since a
// Java array of 2 GiB would be copied. The close ends it.
class HugeWrite : public Line, public ::testing::WithParamInterface<platform::Timeouts> {};

TEST_P(HugeWrite, WaitsInsteadOfTimingOutAtOnceAndEndsAtTheClose) {
    constexpr std::uint32_t count = 0x7fffffff;
    void *memory =
        mmap(nullptr, count, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    FarEnd far;
    const jint handle = java.open(far.devicePath());
    fillLine(handle);
    platform::applyTimeouts(handle, GetParam());
    std::atomic<bool> ended{false};
    std::uint32_t moved = 0;
    Timed write([&] {
        EXPECT_TRUE(platform::writeBytes(handle, memory, count, moved));
        ended = true;
    });
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(ended);
    const auto closed = Clock::now();
    java.close(handle);
    write.join();
    EXPECT_LT(secondsSince(closed), 1.0);
    EXPECT_LT(moved, count);
    munmap(memory, count);
}

INSTANTIATE_TEST_SUITE_P(Limits, HugeWrite,
                         ::testing::Values(platform::Timeouts{1000, 5, 1000, 10, 50},
                                           platform::Timeouts{0xffffffff, 0xffffffff, 0xffffffff,
                                                              0xffffffff, 0xffffffff}));

// ---- Threads ----

// A read and a write blocked on one port, and a close from a third thread: both end promptly,
// each either finished or raising its own message; nothing touches the port afterwards.
TEST_F(Line, CloseRacesABlockedReadAndWrite) {
    FarEnd far;
    std::mt19937 random(6);
    for (int round = 0; round < 40; ++round) {
        const jint handle = java.open(far.devicePath());
        ASSERT_FALSE(java.caught());
        if (round == 0) {
            fillLine(handle);
        }
        Timed read([&] {
            Java reader;
            EXPECT_EQ(reader.read(handle), -1);
            if (auto e = reader.caught()) { // started after the close
                EXPECT_TRUE(raised(e, readException, "Can not read serial port."));
            }
        });
        Timed write([&] {
            Java writer;
            writer.write(handle, std::vector<std::uint8_t>(256, 3));
            if (auto e = writer.caught()) {
                EXPECT_TRUE(raised(e, ioException, "Cannot write to serial port."));
            }
        });
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        const auto closed = Clock::now();
        java.close(handle);
        read.join();
        write.join();
        EXPECT_LT(secondsSince(closed), 1.0) << "round " << round;
    }
}

// Several threads, each with its own cable and JNIEnv, transferring, opening and closing, while
// another lists the ports.
TEST_F(Line, ThreadsOnSeveralLinesAtOnce) {
    constexpr int lines = 3;
    std::vector<std::unique_ptr<FarEnd>> ends;
    for (int i = 0; i < lines; ++i) {
        ends.push_back(std::make_unique<FarEnd>());
        dir.link("COM" + std::to_string(i + 1), ends.back()->slavePath());
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < lines; ++i) {
        threads.emplace_back([&, i] {
            Java java;
            const std::string name = "COM" + std::to_string(i + 1);
            for (int round = 0; !stop; ++round) {
                const jint handle = java.open(name);
                if (java.caught()) { // the lister's probe held it
                    continue;
                }
                const std::uint8_t value = static_cast<std::uint8_t>(round);
                ends[i]->send({value});
                EXPECT_EQ(java.read(handle), value);
                java.write(handle, {value, value});
                EXPECT_FALSE(java.caught());
                EXPECT_EQ(ends[i]->drain(), (std::vector<std::uint8_t>{value, value}));
                java.close(handle);
            }
        });
    }
    threads.emplace_back([&] {
        Java lister;
        while (!stop) {
            EXPECT_EQ(lister.list().size(), 40u);
        }
    });
    std::this_thread::sleep_for(2s);
    stop = true;
    for (auto &thread : threads) {
        thread.join();
    }
}

// No descriptor outlives the run: a leak in any path above shows here. Memory is LSan's.
class Descriptors : public ::testing::Environment {
public:
    void SetUp() override { before_ = openDescriptors(); }
    void TearDown() override { EXPECT_EQ(openDescriptors(), before_) << "descriptors leaked"; }

private:
    std::size_t before_ = 0;
};

} // namespace

// The library's trace goes to standard error, thousands of lines of it here; the sanitizers'
// reports go to the real standard error, and the trace to $TARVOLEX_TRACE_FILE or nowhere.
int main(int argc, char **argv) {
    const int reports = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    const char *traceFile = std::getenv("TARVOLEX_TRACE_FILE");
    const int trace = ::open(traceFile != nullptr ? traceFile : "/dev/null",
                             O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (reports >= 0 && trace >= 0) {
        dup2(trace, STDERR_FILENO);
        ::close(trace);
        __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<std::intptr_t>(reports)));
    }
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new Descriptors); // owned by GoogleTest
    return RUN_ALL_TESTS();
}

// traceLog: the "HH:MM:SS.000  Tarvolex: " stamp in local time, then the caller's message, on
// standard error.
#include "trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <regex>
#include <string>

namespace {

constexpr std::size_t prefixLength = 24;
constexpr long secondsPerDay = 24 * 60 * 60;

// Sets TZ for the life of the object and restores the previous zone afterwards.
class TimeZone {
public:
    explicit TimeZone(const std::string &zone) {
        if (const char *old = std::getenv("TZ")) {
            saved_ = old;
        }
        setenv("TZ", zone.c_str(), 1);
        tzset();
    }
    ~TimeZone() {
        if (saved_) {
            setenv("TZ", saved_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    TimeZone(const TimeZone &) = delete;
    TimeZone &operator=(const TimeZone &) = delete;

private:
    std::optional<std::string> saved_;
};

// A fixed zone east of UTC in which the clock reads `secondOfDay` at `utc`.
std::string zoneShowing(long secondOfDay, std::time_t utc) {
    const long offset =
        ((secondOfDay - utc % secondsPerDay) % secondsPerDay + secondsPerDay) % secondsPerDay;
    char zone[32];
    std::snprintf(zone, sizeof zone, "TST-%02ld:%02ld:%02ld", offset / 3600, offset / 60 % 60,
                  offset % 60);
    return zone;
}

std::string stamp(long secondOfDay) {
    secondOfDay %= secondsPerDay;
    char text[32]; // room for any long, though the fields are 0..59
    std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld.000  Tarvolex: ", secondOfDay / 3600,
                  secondOfDay / 60 % 60, secondOfDay % 60);
    return text;
}

std::string captureTrace(const std::function<void()> &trace) {
    testing::internal::CaptureStderr();
    trace();
    return testing::internal::GetCapturedStderr();
}

struct StampCase {
    const char *label;
    int hour, minute, second;
};

std::ostream &operator<<(std::ostream &out, const StampCase &c) {
    return out << c.label;
}

class TraceStamp : public testing::TestWithParam<StampCase> {};

// The clock is made to read the wanted local time through TZ; the stamp is whichever second
// the trace was written in.
TEST_P(TraceStamp, ShowsTheLocalTimeOfDay) {
    const StampCase &c = GetParam();
    const long wanted = c.hour * 3600L + c.minute * 60L + c.second;
    const std::time_t before = std::time(nullptr);
    const TimeZone zone(zoneShowing(wanted, before));

    const std::string line = captureTrace([] { tarvolex::traceLog("close\n"); });
    const std::time_t after = std::time(nullptr);

    bool matched = false;
    for (std::time_t t = before; t <= after; ++t) {
        matched = matched || line == stamp(wanted + (t - before)) + "close\n";
    }
    EXPECT_TRUE(matched) << "trace line: \"" << line << "\", expected stamp " << stamp(wanted);
}

INSTANTIATE_TEST_SUITE_P(Times, TraceStamp,
                         testing::Values(StampCase{"LeadingZeros", 9, 5, 3},
                                         StampCase{"Midnight", 0, 0, 0},
                                         StampCase{"LastSecondOfTheDay", 23, 59, 59},
                                         StampCase{"Afternoon", 14, 3, 7}),
                         [](const testing::TestParamInfo<StampCase> &p) { return p.param.label; });

struct MessageCase {
    const char *label;
    std::function<void()> trace;
    std::string message;
};

std::ostream &operator<<(std::ostream &out, const MessageCase &c) {
    return out << c.label;
}

class TraceMessage : public testing::TestWithParam<MessageCase> {};

TEST_P(TraceMessage, FollowsTheStamp) {
    const std::string line = captureTrace(GetParam().trace);
    ASSERT_GE(line.size(), prefixLength) << line;
    EXPECT_TRUE(std::regex_match(line.substr(0, prefixLength),
                                 std::regex(R"(\d\d:\d\d:\d\d\.000  Tarvolex: )")))
        << line;
    EXPECT_EQ(line.substr(prefixLength), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TraceMessage,
    testing::Values(
        MessageCase{"ListPorts", [] { tarvolex::traceLog("List ports\n"); }, "List ports\n"},
        MessageCase{"DoOpen", [] { tarvolex::traceLog("doOpen port = %s\n", R"(\\.\COM3)"); },
                    "doOpen port = \\\\.\\COM3\n"},
        MessageCase{"OpenedLargestHandle", [] { tarvolex::traceLog("OPENED %d\n", 2147483647); },
                    "OPENED 2147483647\n"},
        MessageCase{"OpenedNegativeHandle", [] { tarvolex::traceLog("OPENED %d\n", -5); },
                    "OPENED -5\n"},
        MessageCase{"Close", [] { tarvolex::traceLog("close\n"); }, "close\n"},
        MessageCase{"NoLineEndOfItsOwn", [] { tarvolex::traceLog("%s", ""); }, ""}),
    [](const testing::TestParamInfo<MessageCase> &p) { return p.param.label; });

} // namespace

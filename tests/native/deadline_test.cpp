// The time-out arithmetic of the transfers: total = multiplier x n + constant, 0 and 0 meaning
// none, the interval between two bytes, and no overflow anywhere in the 32-bit ranges.
#include "deadline.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

namespace {

using namespace tarvolex::platform;
using TimePoint = std::chrono::steady_clock::time_point;
using Deadline = tarvolex::platform::Deadline<TimePoint>;
using std::chrono::milliseconds;

constexpr std::uint32_t maxU32 = 0xFFFFFFFF;

// A steady clock reads the time since boot; any fixed point will do.
const TimePoint start = TimePoint{} + std::chrono::hours(100);

TimePoint at(std::int64_t ms) {
    return start + milliseconds(ms);
}
const Deadline none{};

struct TotalCase {
    const char *label;
    std::uint32_t multiplier, constant, count;
    std::uint64_t ms;  // the total time-out
    Deadline deadline; // for a transfer starting at `start`
};

std::ostream &operator<<(std::ostream &out, const TotalCase &c) {
    return out << c.label;
}

class TotalTimeout : public testing::TestWithParam<TotalCase> {};

TEST_P(TotalTimeout, IsMultiplierTimesCountPlusConstant) {
    const TotalCase &c = GetParam();
    EXPECT_EQ(totalTimeout(c.multiplier, c.constant, c.count), c.ms);
    EXPECT_EQ(hasTotalTimeout(c.multiplier, c.constant), c.deadline.applies);
    const Deadline deadline = totalDeadline(start, c.multiplier, c.constant, c.count);
    EXPECT_EQ(deadline.applies, c.deadline.applies);
    EXPECT_EQ(deadline.at.time_since_epoch().count(), c.deadline.at.time_since_epoch().count());
}

INSTANTIATE_TEST_SUITE_P(
    Table, TotalTimeout,
    testing::Values(
        TotalCase{"BothZeroMeansNone", 0, 0, 1, 0, none},
        TotalCase{"BothZeroForManyBytes", 0, 0, 4096, 0, none},
        TotalCase{"ReadOfOneByte", 5, 1000, 1, 1005, {true, at(1005)}},
        TotalCase{"WriteOf4096Bytes", 10, 50, 4096, 41010, {true, at(41010)}},
        TotalCase{"ConstantOnly", 0, 1000, 4096, 1000, {true, at(1000)}},
        TotalCase{"MultiplierOnly", 5, 0, 3, 15, {true, at(15)}},
        TotalCase{"NoBytes", 10, 50, 0, 50, {true, at(50)}},
        // Products near 2^64 ms must neither wrap in 64 bits nor overflow the clock, whose
        // nanoseconds run out after some 292 years: the deadline saturates.
        TotalCase{
            "LargestProduct", maxU32, 0, maxU32, 0xFFFFFFFE00000001, {true, TimePoint::max()}},
        TotalCase{
            "LargestOfAll", maxU32, maxU32, maxU32, 0xFFFFFFFF00000000, {true, TimePoint::max()}},
        TotalCase{
            "PastTheClock", 100000000, 0, 100000000, 10000000000000000, {true, TimePoint::max()}},
        TotalCase{"LargeButRepresentable", maxU32, 0, 2, 0x1FFFFFFFE, {true, at(0x1FFFFFFFE)}}),
    [](const testing::TestParamInfo<TotalCase> &p) { return p.param.label; });

TEST(TotalTimeout, SaturatesNearTheEndOfTheClock) {
    const TimePoint late = TimePoint::max() - milliseconds(10);
    EXPECT_EQ(totalDeadline(late, 0, 5, 1).at, late + milliseconds(5));
    EXPECT_EQ(totalDeadline(late, 0, 10, 1).at, TimePoint::max());
    EXPECT_EQ(totalDeadline(late, 0, 11, 1).at, TimePoint::max());
}

struct IntervalCase {
    const char *label;
    Deadline total;
    std::int64_t byteAt; // ms after start
    std::uint32_t interval;
    Deadline expected;
};

std::ostream &operator<<(std::ostream &out, const IntervalCase &c) {
    return out << c.label;
}

class ReadInterval : public testing::TestWithParam<IntervalCase> {};

TEST_P(ReadInterval, BoundsTheWaitForTheNextByte) {
    const IntervalCase &c = GetParam();
    const Deadline deadline = afterByte(c.total, at(c.byteAt), c.interval);
    EXPECT_EQ(deadline.applies, c.expected.applies);
    EXPECT_EQ(deadline.at.time_since_epoch().count(), c.expected.at.time_since_epoch().count());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadInterval,
    testing::Values(IntervalCase{"NoIntervalNoTotal", none, 3, 0, none},
                    IntervalCase{
                        "NoIntervalKeepsTheTotal", {true, at(1005)}, 3, 0, {true, at(1005)}},
                    IntervalCase{"IntervalAlone", none, 3, 1000, {true, at(1003)}},
                    IntervalCase{"TotalComesFirst", {true, at(1005)}, 10, 1000, {true, at(1005)}},
                    IntervalCase{"IntervalComesFirst", {true, at(1005)}, 3, 100, {true, at(103)}},
                    IntervalCase{"LargestIntervalUnderASaturatedTotal",
                                 {true, TimePoint::max()},
                                 3,
                                 maxU32,
                                 {true, at(3 + std::int64_t{maxU32})}}),
    [](const testing::TestParamInfo<IntervalCase> &p) { return p.param.label; });

} // namespace

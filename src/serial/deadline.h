// The time-out arithmetic of a transfer: when a read or write of n bytes must end, from the
// COMMTIMEOUTS-style values kept for a port. Pure arithmetic on a monotonic clock's time
// points, so that it can be checked without a device.
//
// A read of n bytes ends when n bytes have arrived, when multiplier * n + constant milliseconds
// have passed since it began, or when more than the interval passes between two bytes; a write
// has only the total. A multiplier and a constant that are both 0 mean no total time-out; an
// interval of 0 means no interval time-out.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace tarvolex::platform {

// multiplier * count + constant in milliseconds. With 32-bit operands the result is at most
// 2^64 - 2^32, so it always fits in 64 unsigned bits.
constexpr std::uint64_t totalTimeout(std::uint32_t multiplier, std::uint32_t constant,
                                     std::uint32_t count) {
    return std::uint64_t{multiplier} * count + constant;
}

// Whether a transfer has a total time-out at all.
constexpr bool hasTotalTimeout(std::uint32_t multiplier, std::uint32_t constant) {
    return multiplier != 0 || constant != 0;
}

// `start` plus `ms` milliseconds, or TimePoint::max() when that lies beyond what the clock can
// represent (a nanosecond clock runs out after about 292 years, far short of 2^64 ms).
template <typename TimePoint> constexpr TimePoint later(TimePoint start, std::uint64_t ms) {
    using std::chrono::milliseconds;
    using Duration = typename TimePoint::duration;
    const auto room = std::chrono::duration_cast<milliseconds>(TimePoint::max() - start).count();
    if (room < 0 || ms >= static_cast<std::uint64_t>(room)) {
        return TimePoint::max();
    }
    return start +
           std::chrono::duration_cast<Duration>(milliseconds(static_cast<milliseconds::rep>(ms)));
}

// The moment a transfer must end by, or none: a transfer without one waits until its bytes
// have moved, the port is closed or the device hangs up.
template <typename TimePoint> struct Deadline {
    bool applies = false;
    TimePoint at{};

    friend constexpr bool operator==(const Deadline &a, const Deadline &b) {
        return a.applies == b.applies && (!a.applies || a.at == b.at);
    }
};

// The deadline of a transfer of `count` bytes that starts at `start`.
template <typename TimePoint>
constexpr Deadline<TimePoint> totalDeadline(TimePoint start, std::uint32_t multiplier,
                                            std::uint32_t constant, std::uint32_t count) {
    if (!hasTotalTimeout(multiplier, constant)) {
        return {};
    }
    return {true, later(start, totalTimeout(multiplier, constant, count))};
}

// A read's deadline once a byte has arrived at `now`: the next byte must follow within the
// interval, and the total deadline still holds. An interval of 0 leaves the total alone.
template <typename TimePoint>
constexpr Deadline<TimePoint> afterByte(const Deadline<TimePoint> &total, TimePoint now,
                                        std::uint32_t interval) {
    if (interval == 0) {
        return total;
    }
    const TimePoint next = later(now, interval);
    return {true, total.applies ? std::min(total.at, next) : next};
}

} // namespace tarvolex::platform

// Wall-clock time, local and UTC, and a monotonic clock for deadlines.
#pragma once

namespace platform {

struct DateTime {
    int year = 0, month = 0, day = 0;  // month 1..12, day 1..31
    int hour = 0, minute = 0, second = 0, millisecond = 0;
    int dayOfWeek = 0;  // 1 = Sunday .. 7 = Saturday
};

// Seconds since the epoch, with fraction.
double NowSeconds();
// Seconds from an arbitrary start; never goes back.
double MonotonicSeconds();
DateTime LocalDateTime(double epochSeconds);
DateTime UtcDateTime(double epochSeconds);
// The instant of a local wall-clock time (daylight saving decided by the zone rules).
double LocalToEpoch(const DateTime& local);

}  // namespace platform

#include "platform/Clock.h"

#include <cmath>

#include "platform/windows/Win32.h"

namespace platform {
namespace {
DateTime FromSystemTime(const SYSTEMTIME& t, double epochSeconds) {
    DateTime d;
    d.year = t.wYear;
    d.month = t.wMonth;
    d.day = t.wDay;
    d.hour = t.wHour;
    d.minute = t.wMinute;
    d.second = t.wSecond;
    d.millisecond = static_cast<int>((epochSeconds - std::floor(epochSeconds)) * 1000);
    d.dayOfWeek = t.wDayOfWeek + 1;
    return d;
}

SYSTEMTIME UtcSystemTime(double epochSeconds) {
    FILETIME whole = win32::FileTimeOf(std::floor(epochSeconds));
    SYSTEMTIME t{};
    FileTimeToSystemTime(&whole, &t);
    return t;
}
}  // namespace

double NowSeconds() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return win32::EpochSeconds(now);
}

double MonotonicSeconds() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / frequency;
}

// The zone is the system's (the control panel's), with its daylight-saving
// rules for the year of the instant.
DateTime LocalDateTime(double epochSeconds) {
    SYSTEMTIME utc = UtcSystemTime(epochSeconds), local{};
    if (!SystemTimeToTzSpecificLocalTimeEx(nullptr, &utc, &local)) local = utc;
    return FromSystemTime(local, epochSeconds);
}

DateTime UtcDateTime(double epochSeconds) { return FromSystemTime(UtcSystemTime(epochSeconds), epochSeconds); }

double LocalToEpoch(const DateTime& local) {
    SYSTEMTIME wall{};
    wall.wYear = static_cast<WORD>(local.year);
    wall.wMonth = static_cast<WORD>(local.month);
    wall.wDay = static_cast<WORD>(local.day);
    wall.wHour = static_cast<WORD>(local.hour);
    wall.wMinute = static_cast<WORD>(local.minute);
    wall.wSecond = static_cast<WORD>(local.second);
    SYSTEMTIME utc{};
    if (!TzSpecificLocalTimeToSystemTimeEx(nullptr, &wall, &utc)) utc = wall;
    FILETIME t;
    if (!SystemTimeToFileTime(&utc, &t)) return 0;
    return win32::EpochSeconds(t) + local.millisecond / 1000.0;
}

}  // namespace platform

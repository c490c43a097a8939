#include "platform/Clock.h"

#include <cmath>
#include <cstdint>

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
// rules for the year of the instant. (The year's rules are fetched and handed
// to the plain conversions: the *Ex conversions that would do both are
// missing from some Windows versions and from Wine.)
DateTime LocalDateTime(double epochSeconds) {
    SYSTEMTIME utc = UtcSystemTime(epochSeconds), local{};
    TIME_ZONE_INFORMATION zone;
    if (!GetTimeZoneInformationForYear(utc.wYear, nullptr, &zone) ||
        !SystemTimeToTzSpecificLocalTime(&zone, &utc, &local))
        local = utc;
    return FromSystemTime(local, epochSeconds);
}

// By arithmetic on the proleptic Gregorian calendar, as gmtime does: the
// system's conversion knows no moment before 1601.
DateTime UtcDateTime(double epochSeconds) {
    double whole = std::floor(epochSeconds);
    int64_t days = static_cast<int64_t>(std::floor(whole / 86400));
    int64_t secondOfDay = static_cast<int64_t>(whole) - days * 86400;
    // Days since 0000-03-01 in eras of 400 years (146097 days).
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t dayOfEra = z - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t monthIndex = (5 * dayOfYear + 2) / 153;  // 0 = March
    DateTime d;
    d.day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    d.month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    d.year = static_cast<int>(yearOfEra + era * 400 + (d.month <= 2 ? 1 : 0));
    d.hour = static_cast<int>(secondOfDay / 3600);
    d.minute = static_cast<int>(secondOfDay / 60 % 60);
    d.second = static_cast<int>(secondOfDay % 60);
    d.millisecond = static_cast<int>((epochSeconds - whole) * 1000);
    // 1970-01-01 was a Thursday (5).
    d.dayOfWeek = static_cast<int>(((days % 7) + 7 + 4) % 7) + 1;
    return d;
}

double LocalToEpoch(const DateTime& local) {
    SYSTEMTIME wall{};
    wall.wYear = static_cast<WORD>(local.year);
    wall.wMonth = static_cast<WORD>(local.month);
    wall.wDay = static_cast<WORD>(local.day);
    wall.wHour = static_cast<WORD>(local.hour);
    wall.wMinute = static_cast<WORD>(local.minute);
    wall.wSecond = static_cast<WORD>(local.second);
    SYSTEMTIME utc{};
    TIME_ZONE_INFORMATION zone;
    if (!GetTimeZoneInformationForYear(wall.wYear, nullptr, &zone) ||
        !TzSpecificLocalTimeToSystemTime(&zone, &wall, &utc))
        utc = wall;
    FILETIME t;
    if (!SystemTimeToFileTime(&utc, &t)) return 0;
    return win32::EpochSeconds(t) + local.millisecond / 1000.0;
}

}  // namespace platform

#include "platform/Clock.h"

#include <sys/time.h>
#include <time.h>

#include <cmath>

namespace platform {
namespace {
DateTime FromTm(const struct tm& t, double epochSeconds) {
    DateTime d;
    d.year = t.tm_year + 1900;
    d.month = t.tm_mon + 1;
    d.day = t.tm_mday;
    d.hour = t.tm_hour;
    d.minute = t.tm_min;
    d.second = t.tm_sec;
    d.millisecond = static_cast<int>((epochSeconds - std::floor(epochSeconds)) * 1000);
    d.dayOfWeek = t.tm_wday + 1;
    return d;
}
}  // namespace

double NowSeconds() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double MonotonicSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

DateTime LocalDateTime(double epochSeconds) {
    time_t t = static_cast<time_t>(std::floor(epochSeconds));
    struct tm parts;
    localtime_r(&t, &parts);
    return FromTm(parts, epochSeconds);
}

DateTime UtcDateTime(double epochSeconds) {
    time_t t = static_cast<time_t>(std::floor(epochSeconds));
    struct tm parts;
    gmtime_r(&t, &parts);
    return FromTm(parts, epochSeconds);
}

double LocalToEpoch(const DateTime& local) {
    struct tm parts {};
    parts.tm_year = local.year - 1900;
    parts.tm_mon = local.month - 1;
    parts.tm_mday = local.day;
    parts.tm_hour = local.hour;
    parts.tm_min = local.minute;
    parts.tm_sec = local.second;
    parts.tm_isdst = -1;
    return static_cast<double>(mktime(&parts)) + local.millisecond / 1000.0;
}

}  // namespace platform

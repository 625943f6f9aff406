#include "platform/system/filetime.h"

#include <ctime>
#include <limits>

#include "platform/system/last_error.h"

namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerMillisecond = 10'000;
// Seconds from 1601-01-01 to 1970-01-01 (369 years, 89 of them leap years).
constexpr int64_t kUnixEpochSeconds = 11'644'473'600;
constexpr int64_t kSecondsPerDay = 86'400;
constexpr int kFirstYear = 1601;
constexpr int kLastYear = 30827;

uint64_t ticksOf(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME fileTimeOf(uint64_t ticks) {
    return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

bool isLeapYear(int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(int64_t year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1601-01-01 of a proleptic Gregorian date. 1601 starts a 400-year cycle,
// so whole cycles, centuries and four-year groups can be counted off directly.
int64_t daysFromDate(int64_t year, int month, int day) {
    int64_t y = year - kFirstYear;
    int64_t days = y * 365 + y / 4 - y / 100 + y / 400;
    for (int m = 1; m < month; ++m) days += daysInMonth(year, m);
    return days + day - 1;
}

void dateFromDays(int64_t days, int64_t& year, int& month, int& day) {
    int64_t cycles = days / 146'097;  // days in 400 years
    int64_t rest = days % 146'097;
    int64_t centuries = rest / 36'524;
    if (centuries == 4) centuries = 3;  // the last day of a leap 400th year
    rest -= centuries * 36'524;
    int64_t quads = rest / 1'461;
    rest -= quads * 1'461;
    int64_t years = rest / 365;
    if (years == 4) years = 3;  // the last day of a leap year
    rest -= years * 365;
    year = kFirstYear + cycles * 400 + centuries * 100 + quads * 4 + years;
    month = 1;
    while (rest >= daysInMonth(year, month)) rest -= daysInMonth(year, month++);
    day = static_cast<int>(rest) + 1;
}

// The first tick of year 30828: no SYSTEMTIME can hold it.
const uint64_t kTicksPastLastYear =
    static_cast<uint64_t>(daysFromDate(kLastYear + 1, 1, 1)) * kSecondsPerDay * kTicksPerSecond;

}  // namespace

void GetSystemTimeAsFileTime(FILETIME* lpSystemTimeAsFileTime) {
    if (!lpSystemTimeAsFileTime) return;
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t ticks = static_cast<uint64_t>(ts.tv_sec + kUnixEpochSeconds) * kTicksPerSecond +
                     static_cast<uint64_t>(ts.tv_nsec / 100);
    *lpSystemTimeAsFileTime = fileTimeOf(ticks);
}

void GetSystemTime(SYSTEMTIME* lpSystemTime) {
    if (!lpSystemTime) return;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    FileTimeToSystemTime(&now, lpSystemTime);
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime) {
    if (!lpSystemTime || !lpFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const SYSTEMTIME& st = *lpSystemTime;
    // The day of the week is an output field only; the platform ignores it here too.
    if (st.wYear < kFirstYear || st.wYear > kLastYear || st.wMonth < 1 || st.wMonth > 12 ||
        st.wDay < 1 || st.wDay > daysInMonth(st.wYear, st.wMonth) || st.wHour > 23 ||
        st.wMinute > 59 || st.wSecond > 59 || st.wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int64_t seconds = daysFromDate(st.wYear, st.wMonth, st.wDay) * kSecondsPerDay +
                      st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
    *lpFileTime = fileTimeOf(static_cast<uint64_t>(seconds) * kTicksPerSecond +
                             static_cast<uint64_t>(st.wMilliseconds) * kTicksPerMillisecond);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime) {
    if (!lpFileTime || !lpSystemTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t ticks = ticksOf(*lpFileTime);
    if (ticks >= kTicksPastLastYear) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int64_t seconds = static_cast<int64_t>(ticks / kTicksPerSecond);
    int64_t days = seconds / kSecondsPerDay;
    int64_t secondOfDay = seconds % kSecondsPerDay;
    int64_t year = 0;
    int month = 0, day = 0;
    dateFromDays(days, year, month, day);
    SYSTEMTIME& st = *lpSystemTime;
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    st.wHour = static_cast<WORD>(secondOfDay / 3600);
    st.wMinute = static_cast<WORD>(secondOfDay / 60 % 60);
    st.wSecond = static_cast<WORD>(secondOfDay % 60);
    st.wMilliseconds = static_cast<WORD>(ticks % kTicksPerSecond / kTicksPerMillisecond);
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, FILETIME* lpLocalFileTime) {
    if (!lpFileTime || !lpLocalFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The offset of this moment, deliberately applied to every time: a certificate's
    // dates shift by today's offset, summer time or not, as they do on the platform.
    time_t now = ::time(nullptr);
    struct tm local {};
    ::localtime_r(&now, &local);
    int64_t offset = static_cast<int64_t>(local.tm_gmtoff) * kTicksPerSecond;
    uint64_t ticks = ticksOf(*lpFileTime);
    // A shift below 1601 or past the 64-bit range has no FILETIME.
    if ((offset < 0 && ticks < static_cast<uint64_t>(-offset)) ||
        (offset > 0 &&
         ticks > std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(offset))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpLocalFileTime = fileTimeOf(ticks + static_cast<uint64_t>(offset));
    return TRUE;
}

FILETIME fileTimeFromUnix(int64_t seconds) {
    // Times before 1601 clamp to its first tick, times past the range to the last one.
    constexpr int64_t maxSeconds =
        static_cast<int64_t>(std::numeric_limits<uint64_t>::max() / kTicksPerSecond) -
        kUnixEpochSeconds;
    if (seconds <= -kUnixEpochSeconds) return fileTimeOf(0);
    if (seconds > maxSeconds) return fileTimeOf(std::numeric_limits<uint64_t>::max());
    return fileTimeOf(static_cast<uint64_t>(seconds + kUnixEpochSeconds) * kTicksPerSecond);
}

int64_t unixFromFileTime(const FILETIME& ft) {
    return static_cast<int64_t>(ticksOf(ft) / kTicksPerSecond) - kUnixEpochSeconds;
}

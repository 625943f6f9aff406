#include "platform/system/filetime.h"

#include <chrono>
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

// Calendar arithmetic is the proleptic Gregorian calendar of std::chrono, counted in
// days from the FILETIME epoch.
constexpr std::chrono::sys_days kEpochDay{std::chrono::year{kFirstYear} / 1 / 1};
static_assert((std::chrono::sys_days{std::chrono::year{1970} / 1 / 1} - kEpochDay).count() *
                  kSecondsPerDay ==
              kUnixEpochSeconds);

// Days since 1601-01-01 of a valid date.
constexpr int64_t daysFromDate(const std::chrono::year_month_day& date) {
    return (std::chrono::sys_days{date} - kEpochDay).count();
}

constexpr std::chrono::sys_days dayOf(int64_t days) {
    return kEpochDay + std::chrono::days{days};
}

// The first tick of year 30828: no SYSTEMTIME can hold it.
constexpr uint64_t kTicksPastLastYear =
    static_cast<uint64_t>(daysFromDate(std::chrono::year{kLastYear + 1} / 1 / 1)) * kSecondsPerDay *
    kTicksPerSecond;

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
    std::chrono::year_month_day date{std::chrono::year{st.wYear}, std::chrono::month{st.wMonth},
                                     std::chrono::day{st.wDay}};
    // chrono's month and day hold no more than 255, so the raw fields are bounded too.
    if (st.wYear < kFirstYear || st.wYear > kLastYear || st.wMonth > 12 || st.wDay > 31 ||
        !date.ok() || st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 ||
        st.wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int64_t seconds =
        daysFromDate(date) * kSecondsPerDay + st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
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
    std::chrono::sys_days day = dayOf(days);
    std::chrono::year_month_day date{day};
    SYSTEMTIME& st = *lpSystemTime;
    st.wYear = static_cast<WORD>(static_cast<int>(date.year()));
    st.wMonth = static_cast<WORD>(static_cast<unsigned>(date.month()));
    st.wDay = static_cast<WORD>(static_cast<unsigned>(date.day()));
    // Sunday is 0 in both.
    st.wDayOfWeek = static_cast<WORD>(std::chrono::weekday{day}.c_encoding());
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

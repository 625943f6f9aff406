#include "platform/system/filetime.h"

#include <gtest/gtest.h>

#include <ctime>

#include "platform/system/last_error.h"
#include "tests/scoped_state.h"

namespace {

uint64_t ticks(const FILETIME& ft) {
    return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}
FILETIME fileTime(uint64_t t) {
    return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

// Expected ticks and weekdays from Python:
//   (datetime(Y,M,D,h,m,s,ms*1000) - datetime(1601,1,1)) in 100 ns units, isoweekday() % 7;
// the year-30827 row from summing calendar.isleap() days, as datetime stops at 9999.
struct DateCase {
    SYSTEMTIME st;  // wDayOfWeek holds the expected weekday
    uint64_t ticks;
} const kDates[] = {
    {{1601, 1, 1, 1, 0, 0, 0, 0}, 0},
    {{1601, 12, 1, 31, 23, 59, 59, 999}, 315359999990000},
    {{1900, 2, 3, 28, 23, 59, 59, 0}, 94405823990000000},  // 1900 is no leap year
    {{1900, 3, 4, 1, 0, 0, 0, 0}, 94405824000000000},
    {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000},
    {{2000, 2, 2, 29, 12, 34, 56, 789}, 125963012967890000},  // 2000 is one
    {{2024, 2, 4, 29, 23, 59, 59, 999}, 133537247999990000},
    {{2038, 1, 2, 19, 3, 14, 8, 0}, 137919572480000000},
    {{2100, 3, 1, 1, 0, 0, 0, 0}, 157520160000000000},
    {{9999, 12, 5, 31, 23, 59, 59, 999}, 2650467743999990000},
    {{30827, 12, 5, 31, 23, 59, 59, 999}, 9223149887999990000},
    // The first leap day, a century that is no leap year, and the last days of leap years
    // that end a four-year group, a 400-year cycle and the next.
    {{1604, 2, 0, 29, 0, 0, 0, 0}, 997056000000000},
    {{1700, 2, 0, 28, 12, 0, 0, 1}, 31291920000010000},
    {{1700, 3, 1, 1, 0, 0, 0, 0}, 31292352000000000},
    {{2000, 12, 0, 31, 23, 59, 59, 999}, 126227807999990000},
    {{2004, 12, 5, 31, 0, 0, 0, 0}, 127489248000000000},
    {{2400, 12, 0, 31, 6, 7, 8, 9}, 252454972280090000},
};

TEST(FileTime, SystemTimeToFileTimeAndBack) {
    for (const auto& c : kDates) {
        SYSTEMTIME in = c.st;
        in.wDayOfWeek = 6;  // ignored on the way in
        FILETIME ft{};
        ASSERT_TRUE(SystemTimeToFileTime(&in, &ft)) << c.st.wYear;
        EXPECT_EQ(ticks(ft), c.ticks) << c.st.wYear << "-" << c.st.wMonth << "-" << c.st.wDay;
        SYSTEMTIME out{};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &out));
        EXPECT_EQ(out.wYear, c.st.wYear);
        EXPECT_EQ(out.wMonth, c.st.wMonth);
        EXPECT_EQ(out.wDay, c.st.wDay);
        EXPECT_EQ(out.wDayOfWeek, c.st.wDayOfWeek) << c.st.wYear;
        EXPECT_EQ(out.wHour, c.st.wHour);
        EXPECT_EQ(out.wMinute, c.st.wMinute);
        EXPECT_EQ(out.wSecond, c.st.wSecond);
        EXPECT_EQ(out.wMilliseconds, c.st.wMilliseconds);
    }
}

TEST(FileTime, EveryDayOfFourHundredYearsRoundTrips) {
    // One full Gregorian cycle from 1601 covers every leap-year rule; the day count
    // must step by exactly one day each time.
    FILETIME ft{};
    SYSTEMTIME st{1601, 1, 0, 1, 12, 0, 0, 0};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    const uint64_t day = 864'000'000'000;
    uint64_t first = ticks(ft);
    for (uint64_t n = 0; n < 146'097; ++n) {
        FILETIME f = fileTime(first + n * day);
        SYSTEMTIME s{};
        ASSERT_TRUE(FileTimeToSystemTime(&f, &s));
        FILETIME back{};
        ASSERT_TRUE(SystemTimeToFileTime(&s, &back));
        ASSERT_EQ(ticks(back), ticks(f)) << s.wYear << "-" << s.wMonth << "-" << s.wDay;
    }
    FILETIME next = fileTime(first + 146'097 * day);
    SYSTEMTIME s{};
    ASSERT_TRUE(FileTimeToSystemTime(&next, &s));
    EXPECT_EQ(s.wYear, 2001);
    EXPECT_EQ(s.wMonth, 1);
    EXPECT_EQ(s.wDay, 1);
}

TEST(FileTime, FieldsOutOfRangeAreRefused) {
    const SYSTEMTIME bad[] = {
        {1600, 12, 0, 31, 0, 0, 0, 0},
        {30828, 1, 0, 1, 0, 0, 0, 0},
        {2023, 0, 0, 1, 0, 0, 0, 0},
        {2023, 13, 0, 1, 0, 0, 0, 0},
        {2023, 2, 0, 29, 0, 0, 0, 0},
        {1900, 2, 0, 29, 0, 0, 0, 0},
        {2024, 4, 0, 31, 0, 0, 0, 0},
        {2024, 1, 0, 0, 0, 0, 0, 0},
        {2024, 1, 0, 1, 24, 0, 0, 0},
        {2024, 1, 0, 1, 0, 60, 0, 0},
        {2024, 1, 0, 1, 0, 0, 60, 0},
        {2024, 1, 0, 1, 0, 0, 0, 1000},
        // A month or day past a byte must not wrap round to a valid one.
        {2024, 257, 0, 1, 0, 0, 0, 0},
        {2024, 1, 0, 257, 0, 0, 0, 0},
    };
    for (const auto& st : bad) {
        FILETIME ft{7, 7};
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&st, &ft))
            << st.wYear << "-" << st.wMonth << "-" << st.wDay;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(ft.dwLowDateTime, 7u);  // left alone
    }
    // Past the last SYSTEMTIME year: the first tick of 30828 and the largest value.
    for (uint64_t t : {uint64_t{9223149888000000000u}, ~uint64_t{0}}) {
        FILETIME ft = fileTime(t);
        SYSTEMTIME st{};
        SetLastError(0);
        EXPECT_FALSE(FileTimeToSystemTime(&ft, &st));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    SetLastError(0);
    EXPECT_FALSE(FileTimeToSystemTime(nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(FileTime, LocalTimeUsesTodaysOffsetForEveryTime) {
    const int64_t hour = 36'000'000'000;
    // 1975-07-01 04:00 UTC: Taipei kept summer time (+9) then, +8 now; and a winter date.
    const uint64_t summer1975 = 118'178'784'000'000'000 + 4 * hour;
    const uint64_t winter2024 = 133'537'247'999'990'000;
    struct Case {
        const char* tz;
        int64_t offset;
    } cases[] = {
        {"UTC", 0},
        {"Asia/Taipei", 8 * hour},
        {"<-05>5", -5 * hour},  // a fixed zone spelled out, needing no zone database
    };
    for (const auto& c : cases) {
        ScopedTimeZone zone(c.tz);
        for (uint64_t t : {summer1975, winter2024, uint64_t{10} * hour}) {
            FILETIME in = fileTime(t), out{};
            ASSERT_TRUE(FileTimeToLocalFileTime(&in, &out)) << c.tz;
            EXPECT_EQ(static_cast<int64_t>(ticks(out) - t), c.offset) << c.tz << " " << t;
        }
    }
}

TEST(FileTime, LocalShiftOutOfRangeIsRefused) {
    struct Case {
        const char* tz;
        uint64_t t;
    } cases[] = {{"<-05>5", 0}, {"<-05>5", 179'999'999'999}, {"Asia/Taipei", ~uint64_t{0}}};
    for (const auto& c : cases) {
        ScopedTimeZone zone(c.tz);
        FILETIME in = fileTime(c.t), out{1, 1};
        SetLastError(0);
        EXPECT_FALSE(FileTimeToLocalFileTime(&in, &out)) << c.tz;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(out.dwLowDateTime, 1u);
    }
    ScopedTimeZone zone("<-05>5");
    FILETIME in = fileTime(180'000'000'000), out{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&in, &out));  // exactly five hours after 1601
    EXPECT_EQ(ticks(out), 0u);
}

TEST(FileTime, UnixSecondsConvertBothWays) {
    struct Case {
        int64_t seconds;
        uint64_t ticks;
    } cases[] = {
        {0, 116444736000000000},
        {-11644473600, 0},
        {951827696, 125963012960000000},  // 2000-02-29 12:34:56
        {2147483647, 137919572470000000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ticks(fileTimeFromUnix(c.seconds)), c.ticks) << c.seconds;
        EXPECT_EQ(unixFromFileTime(fileTime(c.ticks)), c.seconds) << c.seconds;
    }
    EXPECT_EQ(ticks(fileTimeFromUnix(-20'000'000'000)), 0u);  // before 1601: the first tick
    EXPECT_EQ(ticks(fileTimeFromUnix(INT64_MAX)), ~uint64_t{0});
}

TEST(FileTime, CurrentTimeAgreesWithTheClock) {
    time_t before = time(nullptr);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    SYSTEMTIME st{};
    GetSystemTime(&st);
    time_t after = time(nullptr);
    int64_t seconds = unixFromFileTime(now);
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
    // The date of either end, in case the calls straddle midnight.
    struct tm first {
    }, last{};
    gmtime_r(&before, &first);
    gmtime_r(&after, &last);
    EXPECT_TRUE(st.wDay == first.tm_mday || st.wDay == last.tm_mday);
    EXPECT_TRUE(st.wDayOfWeek == first.tm_wday || st.wDayOfWeek == last.tm_wday);
}

}  // namespace

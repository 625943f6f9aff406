// Times in the platform's two forms: FILETIME (100-nanosecond intervals since
// 1601-01-01 UTC) and SYSTEMTIME (broken-down fields).
#pragma once

#include "platform/system/types.h"

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

// The current time in UTC.
void GetSystemTime(SYSTEMTIME* lpSystemTime);
void GetSystemTimeAsFileTime(FILETIME* lpSystemTimeAsFileTime);
// FALSE with ERROR_INVALID_PARAMETER for fields out of range (years 1601-30827).
BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime);
// FALSE with ERROR_INVALID_PARAMETER for times past year 30827.
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime);
// Applies the local offset from UTC in force now to any time, as the platform does
// (not the offset that was in force at that time).
BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, FILETIME* lpLocalFileTime);
// Seconds since 1970 to FILETIME and back (helpers of the layer).
FILETIME fileTimeFromUnix(int64_t seconds);
int64_t unixFromFileTime(const FILETIME& ft);

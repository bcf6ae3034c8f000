#pragma once
// Time conversions of the Windows originals:
//  - FILETIME: 100-ns units since 1601-01-01 00:00 UTC, kept as uint64_t.
//  - Calendar time (SYSTEMTIME-like, with milliseconds), proleptic Gregorian.
//  - Local time by the machine's time-zone rules (TZ / the system zone) for
//    the instant in question, so a winter date in summer keeps winter time.
//  - OLE automation dates: days since 1899-12-30 00:00 as a double, the
//    fraction being the time of day (for negative dates the fraction counts
//    forward from the day too: -1.25 is 1899-12-29 06:00).
//  - Formatting with the invariant locale: English month names, never the
//    process locale.

#include <cstdint>
#include <string>

#include "platform/SkrivoExport.h"

namespace sk {

struct CalendarTime {
    int year = 1601;  // 1601..30827 for FILETIME, 100..9999 for OLE dates
    int month = 1;    // 1..12
    int day = 1;      // 1..31
    int hour = 0;     // 0..23
    int minute = 0;   // 0..59
    int second = 0;   // 0..59
    int millisecond = 0;
    int dayOfWeek = 1; // 0 = Sunday; filled by the conversions, ignored as input

    bool SameSecond(const CalendarTime& o) const {
        return year == o.year && month == o.month && day == o.day && hour == o.hour && minute == o.minute &&
               second == o.second;
    }
};

inline constexpr uint64_t kFileTimePerSecond = 10'000'000ull;
inline constexpr uint64_t kFileTimeUnixEpoch = 116'444'736'000'000'000ull; // 1970-01-01 as FILETIME

// FILETIME <-> calendar time (no zone involved; the caller knows if it is UTC
// or local). Fails outside FILETIME's range / for invalid fields.
SKRIVO_API bool FileTimeToCalendar(uint64_t fileTime, CalendarTime* out);
SKRIVO_API bool CalendarToFileTime(const CalendarTime& ct, uint64_t* out);

// FILETIME <-> Unix time. Unix seconds before 1601 fail.
SKRIVO_API int64_t FileTimeToUnixSeconds(uint64_t fileTime); // rounds toward earlier time
SKRIVO_API bool UnixSecondsToFileTime(int64_t seconds, uint64_t* out);
SKRIVO_API uint64_t NowFileTime();

// UTC FILETIME -> local FILETIME with the zone's offset at that instant.
SKRIVO_API bool FileTimeToLocalFileTime(uint64_t utc, uint64_t* local);
// Local FILETIME -> UTC. A local time that occurs twice (the hour after
// summer time ends) is taken as its first occurrence (summer time); one that
// does not exist (the skipped hour in spring) is read with the offset before
// the change, so 02:30 becomes 01:30 UTC in Europe/Berlin, like 03:30 summer time.
SKRIVO_API bool LocalFileTimeToFileTime(uint64_t local, uint64_t* utc);
// Offset of local time from UTC in seconds at a UTC instant (east positive).
SKRIVO_API bool UtcOffsetSeconds(int64_t unixSeconds, long* offset);

// OLE automation date <-> calendar time, valid from 100-01-01 to 9999-12-31.
// Like the Windows conversions: milliseconds are ignored going to OLE, and
// going back the time is rounded to the nearest second (millisecond = 0).
SKRIVO_API bool CalendarToOleDate(const CalendarTime& ct, double* out);
SKRIVO_API bool OleDateToCalendar(double oleDate, CalendarTime* out);
// Exact variant keeping milliseconds both ways (rounded to the nearest ms).
SKRIVO_API bool CalendarToOleDateMs(const CalendarTime& ct, double* out);
SKRIVO_API bool OleDateToCalendarMs(double oleDate, CalendarTime* out);

// True when the fields form a real date and time (leap years included).
SKRIVO_API bool IsValidCalendar(const CalendarTime& ct);
// Days since 1970-01-01 of a proleptic Gregorian date, and back.
SKRIVO_API int64_t DaysFromCivil(int year, int month, int day);
SKRIVO_API void CivilFromDays(int64_t days, int* year, int* month, int* day);

// Invariant-locale picture formatting, as the Windows date/time formatters:
// d dd ddd dddd  M MM MMM MMMM  y yy yyyy  h hh H HH m mm s ss t tt; text in
// single quotes is copied. "" on an invalid calendar time.
SKRIVO_API std::wstring FormatInvariant(const CalendarTime& ct, const wchar_t* picture);
// The header's fixed forms.
SKRIVO_API std::wstring FormatDateDdMmYy(const CalendarTime& ct);     // "05.12.26"
SKRIVO_API std::wstring FormatTimeHhMmSs(const CalendarTime& ct);     // "20.09.27"
SKRIVO_API std::wstring FormatDateDdMmmYyyy(const CalendarTime& ct, bool upperCase = true); // "05-DEC-2026"
// A strftime subset in the "C"/English locale: %d %m %y %Y %b %B %a %A %H %M
// %S %j %p %%; other conversions are copied unchanged. "" on invalid time.
SKRIVO_API std::wstring FormatCTime(const wchar_t* format, const CalendarTime& ct);

SKRIVO_API const wchar_t* EnglishMonthAbbreviation(int month); // 1..12, else ""

// Test helper: sets TZ for the process and re-reads the zone rules; restores
// the previous TZ when destroyed. Not for use while other threads convert times.
class SKRIVO_API ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz);
    ~ScopedTimeZone();
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    bool m_had = false;
    std::string m_old;
};

} // namespace sk

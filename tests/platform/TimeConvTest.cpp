#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/TimeConv.h"

namespace {

using sk::CalendarTime;

CalendarTime Cal(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    CalendarTime c;
    c.year = y, c.month = mo, c.day = d, c.hour = h, c.minute = mi, c.second = s, c.millisecond = ms;
    return c;
}

uint64_t Ft(const CalendarTime& c) {
    uint64_t ft = 0;
    EXPECT_TRUE(sk::CalendarToFileTime(c, &ft));
    return ft;
}

std::string Show(const CalendarTime& c) {
    char b[64];
    snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d.%03d", c.year, c.month, c.day, c.hour, c.minute, c.second,
             c.millisecond);
    return b;
}

TEST(TimeConv, FileTimeAndUnixTime) {
    EXPECT_EQ(sk::FileTimeToUnixSeconds(sk::kFileTimeUnixEpoch), 0);
    EXPECT_EQ(Ft(Cal(2000, 1, 1)), 125911584000000000ull);
    EXPECT_EQ(sk::FileTimeToUnixSeconds(125911584000000000ull), 946684800);
    EXPECT_EQ(sk::FileTimeToUnixSeconds(sk::kFileTimeUnixEpoch - 1), -1) << "rounds toward the earlier second";
    uint64_t ft = 0;
    ASSERT_TRUE(sk::UnixSecondsToFileTime(946684800, &ft));
    EXPECT_EQ(ft, 125911584000000000ull);
    EXPECT_FALSE(sk::UnixSecondsToFileTime(-11644473601LL, &ft)) << "before 1601";

    CalendarTime c;
    ASSERT_TRUE(sk::FileTimeToCalendar(Ft(Cal(2026, 12, 5, 20, 9, 27, 123)) + 4567, &c));
    EXPECT_EQ(Show(c), "2026-12-05 20:09:27.123") << "sub-millisecond units are dropped";
    EXPECT_EQ(c.dayOfWeek, 6);
    ASSERT_TRUE(sk::FileTimeToCalendar(0, &c));
    EXPECT_EQ(Show(c), "1601-01-01 00:00:00.000");
    EXPECT_EQ(c.dayOfWeek, 1);
    EXPECT_FALSE(sk::FileTimeToCalendar(0x8000000000000000ull, &c));
    EXPECT_FALSE(sk::CalendarToFileTime(Cal(1600, 12, 31), &ft));
    EXPECT_FALSE(sk::CalendarToFileTime(Cal(2026, 2, 29), &ft)) << "no leap day in 2026";
    EXPECT_TRUE(sk::CalendarToFileTime(Cal(2024, 2, 29), &ft));
    EXPECT_FALSE(sk::CalendarToFileTime(Cal(2026, 1, 1, 24), &ft));
}

// Local time follows the zone rules of the instant converted: the two nights
// of 2026 when Berlin changes between CET (+1) and CEST (+2).
TEST(TimeConv, LocalTimeAcrossDaylightSavingChanges) {
    sk::ScopedTimeZone tz("Europe/Berlin");
    const struct { CalendarTime utc; const char* local; } cases[] = {
        {Cal(2026, 3, 29, 0, 59, 59, 500), "2026-03-29 01:59:59.500"},
        {Cal(2026, 3, 29, 1, 0, 0), "2026-03-29 03:00:00.000"},
        {Cal(2026, 10, 25, 0, 59, 59), "2026-10-25 02:59:59.000"},
        {Cal(2026, 10, 25, 1, 0, 0), "2026-10-25 02:00:00.000"},
        {Cal(2026, 1, 15, 12, 0, 0), "2026-01-15 13:00:00.000"},  // winter
        {Cal(2026, 7, 15, 12, 0, 0), "2026-07-15 14:00:00.000"},  // summer
        {Cal(2026, 12, 31, 23, 30, 0), "2027-01-01 00:30:00.000"}, // crosses the year
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.local);
        uint64_t local = 0;
        ASSERT_TRUE(sk::FileTimeToLocalFileTime(Ft(c.utc), &local));
        CalendarTime lc;
        ASSERT_TRUE(sk::FileTimeToCalendar(local, &lc));
        EXPECT_EQ(Show(lc), c.local);
        uint64_t back = 0;
        ASSERT_TRUE(sk::LocalFileTimeToFileTime(local, &back));
        if (std::string(c.local) != "2026-10-25 02:00:00.000") { // the repeated hour, see below
            EXPECT_EQ(back, Ft(c.utc));
        }
    }
    // 02:30 on 25 October happens twice: read as the first (summer) one.
    uint64_t utc = 0;
    ASSERT_TRUE(sk::LocalFileTimeToFileTime(Ft(Cal(2026, 10, 25, 2, 30)), &utc));
    EXPECT_EQ(utc, Ft(Cal(2026, 10, 25, 0, 30)));
    // 02:30 on 29 March never happens: read with the winter offset.
    ASSERT_TRUE(sk::LocalFileTimeToFileTime(Ft(Cal(2026, 3, 29, 2, 30)), &utc));
    EXPECT_EQ(utc, Ft(Cal(2026, 3, 29, 1, 30)));
    long off = 0;
    ASSERT_TRUE(sk::UtcOffsetSeconds(sk::FileTimeToUnixSeconds(Ft(Cal(2026, 7, 1))), &off));
    EXPECT_EQ(off, 7200);
}

TEST(TimeConv, TimeZoneOverrideChangesTheRules) {
    uint64_t local = 0;
    {
        sk::ScopedTimeZone tz("UTC");
        ASSERT_TRUE(sk::FileTimeToLocalFileTime(Ft(Cal(2026, 7, 1, 12)), &local));
        EXPECT_EQ(local, Ft(Cal(2026, 7, 1, 12)));
    }
    {
        sk::ScopedTimeZone tz("America/New_York");
        ASSERT_TRUE(sk::FileTimeToLocalFileTime(Ft(Cal(2026, 7, 1, 12)), &local));
        EXPECT_EQ(local, Ft(Cal(2026, 7, 1, 8)));
    }
}

TEST(TimeConv, OleAutomationDates) {
    const struct { double ole; const char* cal; } cases[] = {
        {0.0, "1899-12-30 00:00:00.000"},
        {1.0, "1899-12-31 00:00:00.000"},
        {2.5, "1900-01-01 12:00:00.000"},
        {-1.25, "1899-12-29 06:00:00.000"}, // negative dates: the fraction still runs forward
        {-0.5, "1899-12-30 12:00:00.000"},
        {36526.0, "2000-01-01 00:00:00.000"},
        {46361.75, "2026-12-05 18:00:00.000"},
        {46361.0 + 0.4999999999, "2026-12-05 12:00:00.000"}, // rounds to the nearest second
        {46361.99999999, "2026-12-06 00:00:00.000"},          // ... carrying into the next day
        {-657434.0, "0100-01-01 00:00:00.000"},
        {-657434.5, "0100-01-01 12:00:00.000"},
        {2958465.99998, "9999-12-31 23:59:58.000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cal);
        CalendarTime ct;
        ASSERT_TRUE(sk::OleDateToCalendar(c.ole, &ct));
        EXPECT_EQ(Show(ct), c.cal);
        double back = 0;
        ASSERT_TRUE(sk::CalendarToOleDate(ct, &back));
        CalendarTime again;
        ASSERT_TRUE(sk::OleDateToCalendar(back, &again));
        EXPECT_TRUE(again.SameSecond(ct)) << "round trip";
    }
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(), -657435.0, 2958466.0, 1e300}) {
        CalendarTime ct;
        EXPECT_FALSE(sk::OleDateToCalendar(bad, &ct)) << bad;
    }
    double d = 0;
    EXPECT_FALSE(sk::CalendarToOleDate(Cal(99, 12, 31), &d));
    ASSERT_TRUE(sk::CalendarToOleDate(Cal(2026, 12, 5, 18, 0, 0, 900), &d));
    EXPECT_DOUBLE_EQ(d, 46361.75) << "milliseconds do not enter the OLE date";
    ASSERT_TRUE(sk::CalendarToOleDateMs(Cal(2026, 12, 5, 18, 0, 0, 900), &d));
    CalendarTime ms;
    ASSERT_TRUE(sk::OleDateToCalendarMs(d, &ms));
    EXPECT_EQ(Show(ms), "2026-12-05 18:00:00.900");
}

TEST(TimeConv, InvariantFormatting) {
    const CalendarTime t = Cal(2026, 12, 5, 20, 9, 7);
    EXPECT_EQ(sk::FormatDateDdMmYy(t), L"05.12.26");
    EXPECT_EQ(sk::FormatTimeHhMmSs(t), L"20.09.07");
    EXPECT_EQ(sk::FormatDateDdMmmYyyy(t), L"05-DEC-2026");
    EXPECT_EQ(sk::FormatDateDdMmmYyyy(t, false), L"05-Dec-2026");
    EXPECT_EQ(sk::FormatInvariant(t, L"dddd d MMMM yyyy, h:mm tt 'at' HH"), L"Saturday 5 December 2026, 8:09 PM at 20");
    EXPECT_EQ(sk::FormatCTime(L"%d-%b-%Y %H:%M:%S %j %a %%", t), L"05-Dec-2026 20:09:07 339 Sat %");
    EXPECT_EQ(sk::FormatCTime(L"%d-%b-%Y", Cal(1905, 1, 9)), L"09-Jan-1905");
    EXPECT_EQ(sk::FormatDateDdMmYy(Cal(2000, 1, 1)), L"01.01.00");
    const wchar_t* expected[] = {L"JAN", L"FEB", L"MAR", L"APR", L"MAY", L"JUN",
                                 L"JUL", L"AUG", L"SEP", L"OCT", L"NOV", L"DEC"};
    for (int m = 1; m <= 12; ++m)
        EXPECT_EQ(sk::FormatDateDdMmmYyyy(Cal(2026, m, 1)).substr(3, 3), expected[m - 1]);
    EXPECT_EQ(sk::FormatDateDdMmmYyyy(Cal(2026, 13, 1)), L"") << "invalid dates format as nothing";
    EXPECT_EQ(sk::FormatCTime(L"%d", Cal(2026, 2, 30)), L"");
}

} // namespace

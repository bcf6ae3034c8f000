#include "platform/TimeConv.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "platform/Format.h"
#include "platform/TextConv.h"

namespace sk {
namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kFileTimePerDay = kSecondsPerDay * 10'000'000;
// FILETIME day 0 (1601-01-01) in days since 1970-01-01.
constexpr int64_t kFileTimeEpochDays = -134774;
constexpr int64_t kMaxFileTime = INT64_MAX; // the top bit must stay clear
// OLE day 0 (1899-12-30) in days since 1970-01-01.
constexpr int64_t kOleEpochDays = -25569;
constexpr double kOleMin = -657434.0;         // 0100-01-01 00:00 (down to -657434.99...: later that day)
constexpr double kOleMaxExclusive = 2958466.0; // 10000-01-01

const wchar_t* const kMonths[] = {L"January", L"February", L"March",     L"April",   L"May",      L"June",
                                  L"July",    L"August",   L"September", L"October", L"November", L"December"};
const wchar_t* const kMonthAbbr[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                     L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
const wchar_t* const kDays[] = {L"Sunday", L"Monday", L"Tuesday", L"Wednesday", L"Thursday", L"Friday", L"Saturday"};
const wchar_t* const kDayAbbr[] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};

void EnsureTzRead() {
    static std::once_flag once;
    std::call_once(once, [] { tzset(); });
}

int DaysInMonth(int y, int m) {
    static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return (m == 2 && leap) ? 29 : d[m - 1];
}

int DayOfWeek(int64_t daysSince1970) { return static_cast<int>(((daysSince1970 % 7) + 11) % 7); }

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Builds a calendar time from days since 1970 plus a time of day.
CalendarTime FromDays(int64_t days, int64_t msOfDay) {
    CalendarTime ct;
    CivilFromDays(days, &ct.year, &ct.month, &ct.day);
    ct.hour = static_cast<int>(msOfDay / 3'600'000);
    ct.minute = static_cast<int>(msOfDay / 60'000 % 60);
    ct.second = static_cast<int>(msOfDay / 1000 % 60);
    ct.millisecond = static_cast<int>(msOfDay % 1000);
    ct.dayOfWeek = DayOfWeek(days);
    return ct;
}

bool LocalOffset(int64_t unixSeconds, long* off) {
    EnsureTzRead();
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    if (!localtime_r(&t, &tm))
        return false;
    *off = tm.tm_gmtoff;
    return true;
}

bool OleToCalendar(double d, int64_t unitsPerDay, CalendarTime* out) {
    if (!std::isfinite(d) || d <= kOleMin - 1.0 || d >= kOleMaxExclusive)
        return false;
    double whole;
    const double frac = std::fabs(std::modf(d, &whole));
    int64_t days = static_cast<int64_t>(whole);
    int64_t units = std::llround(frac * static_cast<double>(unitsPerDay));
    if (units >= unitsPerDay) { // rounded up into the next day
        units -= unitsPerDay;
        ++days;
    }
    const int64_t msOfDay = units * (86'400'000 / unitsPerDay);
    CalendarTime ct = FromDays(days + kOleEpochDays, msOfDay);
    if (ct.year < 100 || ct.year > 9999)
        return false;
    *out = ct;
    return true;
}

bool CalendarToOle(const CalendarTime& ct, bool withMs, double* out) {
    if (!IsValidCalendar(ct) || ct.year < 100 || ct.year > 9999)
        return false;
    const int64_t days = DaysFromCivil(ct.year, ct.month, ct.day) - kOleEpochDays;
    double secs = ct.hour * 3600.0 + ct.minute * 60.0 + ct.second;
    if (withMs)
        secs += ct.millisecond / 1000.0;
    const double frac = secs / 86400.0;
    *out = days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
    return true;
}

std::wstring Num(int v, int width) { return FormatW(L"%0*d", width, v); }

} // namespace

int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int64_t era = FloorDiv(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int* year, int* month, int* day) {
    z += 719468;
    const int64_t era = FloorDiv(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int>(yoe + era * 400 + (m <= 2));
    *month = static_cast<int>(m);
    *day = static_cast<int>(d);
}

bool IsValidCalendar(const CalendarTime& ct) {
    return ct.month >= 1 && ct.month <= 12 && ct.day >= 1 && ct.day <= DaysInMonth(ct.year, ct.month) &&
           ct.hour >= 0 && ct.hour <= 23 && ct.minute >= 0 && ct.minute <= 59 && ct.second >= 0 &&
           ct.second <= 59 && ct.millisecond >= 0 && ct.millisecond <= 999;
}

bool FileTimeToCalendar(uint64_t ft, CalendarTime* out) {
    if (ft > static_cast<uint64_t>(kMaxFileTime))
        return false;
    const auto v = static_cast<int64_t>(ft);
    *out = FromDays(v / kFileTimePerDay + kFileTimeEpochDays, (v % kFileTimePerDay) / 10'000);
    return true;
}

bool CalendarToFileTime(const CalendarTime& ct, uint64_t* out) {
    if (!IsValidCalendar(ct) || ct.year < 1601 || ct.year > 30827)
        return false;
    const int64_t days = DaysFromCivil(ct.year, ct.month, ct.day) - kFileTimeEpochDays;
    const int64_t ms = ((ct.hour * 60LL + ct.minute) * 60 + ct.second) * 1000 + ct.millisecond;
    *out = static_cast<uint64_t>(days * kFileTimePerDay + ms * 10'000);
    return true;
}

int64_t FileTimeToUnixSeconds(uint64_t ft) {
    const int64_t rel = static_cast<int64_t>(ft & static_cast<uint64_t>(kMaxFileTime)) -
                        static_cast<int64_t>(kFileTimeUnixEpoch);
    return FloorDiv(rel, static_cast<int64_t>(kFileTimePerSecond));
}

bool UnixSecondsToFileTime(int64_t s, uint64_t* out) {
    const int64_t minS = -static_cast<int64_t>(kFileTimeUnixEpoch / kFileTimePerSecond);
    const int64_t maxS = (kMaxFileTime - static_cast<int64_t>(kFileTimeUnixEpoch)) / 10'000'000;
    if (s < minS || s > maxS)
        return false;
    *out = static_cast<uint64_t>(s * 10'000'000 + static_cast<int64_t>(kFileTimeUnixEpoch));
    return true;
}

uint64_t NowFileTime() {
    using namespace std::chrono;
    const auto ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return static_cast<uint64_t>(ns / 100) + kFileTimeUnixEpoch;
}

bool UtcOffsetSeconds(int64_t unixSeconds, long* offset) { return LocalOffset(unixSeconds, offset); }

bool FileTimeToLocalFileTime(uint64_t utc, uint64_t* local) {
    if (utc > static_cast<uint64_t>(kMaxFileTime))
        return false;
    long off = 0;
    if (!LocalOffset(FileTimeToUnixSeconds(utc), &off))
        return false;
    const int64_t delta = static_cast<int64_t>(off) * 10'000'000;
    if (delta > 0 && static_cast<int64_t>(utc) > kMaxFileTime - delta)
        return false;
    const int64_t r = static_cast<int64_t>(utc) + delta;
    if (r < 0)
        return false;
    *local = static_cast<uint64_t>(r);
    return true;
}

bool LocalFileTimeToFileTime(uint64_t local, uint64_t* utc) {
    if (local > static_cast<uint64_t>(kMaxFileTime))
        return false;
    const int64_t L = FileTimeToUnixSeconds(local);
    const int64_t sub = static_cast<int64_t>(local % kFileTimePerSecond);
    // The offset in force can only be one of those around L; a candidate is
    // right when the offset at the UTC instant it gives is itself.
    long cands[3];
    if (!LocalOffset(L - 2 * kSecondsPerDay, &cands[0]) || !LocalOffset(L, &cands[1]) ||
        !LocalOffset(L + 2 * kSecondsPerDay, &cands[2]))
        return false;
    bool found = false;
    int64_t best = 0;
    for (long o : cands) {
        const int64_t t = L - o;
        long check = 0;
        if (LocalOffset(t, &check) && check == o && (!found || t < best)) {
            best = t;
            found = true;
        }
    }
    if (!found) // skipped local time: read it with the offset before the change
        best = L - cands[0];
    uint64_t r = 0;
    if (!UnixSecondsToFileTime(best, &r))
        return false;
    *utc = r + static_cast<uint64_t>(sub);
    return true;
}

bool CalendarToOleDate(const CalendarTime& ct, double* out) { return CalendarToOle(ct, false, out); }
bool OleDateToCalendar(double d, CalendarTime* out) { return OleToCalendar(d, 86'400, out); }
bool CalendarToOleDateMs(const CalendarTime& ct, double* out) { return CalendarToOle(ct, true, out); }
bool OleDateToCalendarMs(double d, CalendarTime* out) { return OleToCalendar(d, 86'400'000, out); }

const wchar_t* EnglishMonthAbbreviation(int month) {
    return month >= 1 && month <= 12 ? kMonthAbbr[month - 1] : L"";
}

std::wstring FormatInvariant(const CalendarTime& ctIn, const wchar_t* picture) {
    if (!picture || !IsValidCalendar(ctIn))
        return std::wstring();
    CalendarTime ct = ctIn;
    ct.dayOfWeek = DayOfWeek(DaysFromCivil(ct.year, ct.month, ct.day));
    std::wstring out;
    const wchar_t* p = picture;
    while (*p) {
        const wchar_t c = *p;
        if (c == L'\'') {
            ++p;
            while (*p && *p != L'\'')
                out += *p++;
            if (*p)
                ++p;
            continue;
        }
        size_t n = 0;
        while (p[n] == c)
            ++n;
        const int h12 = ct.hour % 12 == 0 ? 12 : ct.hour % 12;
        switch (c) {
        case L'd':
            out += n == 1 ? Num(ct.day, 1) : n == 2 ? Num(ct.day, 2) : n == 3 ? kDayAbbr[ct.dayOfWeek] : kDays[ct.dayOfWeek];
            break;
        case L'M':
            out += n == 1 ? Num(ct.month, 1) : n == 2 ? Num(ct.month, 2)
                 : n == 3 ? kMonthAbbr[ct.month - 1] : kMonths[ct.month - 1];
            break;
        case L'y':
            out += n == 1 ? Num(ct.year % 100, 1) : n == 2 ? Num(ct.year % 100, 2) : Num(ct.year, 4);
            break;
        case L'h': out += Num(h12, n >= 2 ? 2 : 1); break;
        case L'H': out += Num(ct.hour, n >= 2 ? 2 : 1); break;
        case L'm': out += Num(ct.minute, n >= 2 ? 2 : 1); break;
        case L's': out += Num(ct.second, n >= 2 ? 2 : 1); break;
        case L't': out += n == 1 ? (ct.hour < 12 ? L"A" : L"P") : (ct.hour < 12 ? L"AM" : L"PM"); break;
        default: out.append(n, c); break;
        }
        p += n;
    }
    return out;
}

std::wstring FormatDateDdMmYy(const CalendarTime& ct) { return FormatInvariant(ct, L"dd.MM.yy"); }
std::wstring FormatTimeHhMmSs(const CalendarTime& ct) { return FormatInvariant(ct, L"HH.mm.ss"); }
std::wstring FormatDateDdMmmYyyy(const CalendarTime& ct, bool upperCase) {
    const std::wstring s = FormatInvariant(ct, L"dd-MMM-yyyy");
    return upperCase ? ToUpperAscii(s) : s;
}

std::wstring FormatCTime(const wchar_t* format, const CalendarTime& ctIn) {
    if (!format || !IsValidCalendar(ctIn))
        return std::wstring();
    CalendarTime ct = ctIn;
    const int64_t days = DaysFromCivil(ct.year, ct.month, ct.day);
    ct.dayOfWeek = DayOfWeek(days);
    std::wstring out;
    for (const wchar_t* p = format; *p; ++p) {
        if (*p != L'%' || !p[1]) {
            out += *p;
            continue;
        }
        ++p;
        const int h12 = ct.hour % 12 == 0 ? 12 : ct.hour % 12;
        switch (*p) {
        case L'd': out += Num(ct.day, 2); break;
        case L'e': out += FormatW(L"%2d", ct.day); break;
        case L'm': out += Num(ct.month, 2); break;
        case L'y': out += Num(((ct.year % 100) + 100) % 100, 2); break;
        case L'Y': out += Num(ct.year, 1); break;
        case L'b':
        case L'h': out += kMonthAbbr[ct.month - 1]; break;
        case L'B': out += kMonths[ct.month - 1]; break;
        case L'a': out += kDayAbbr[ct.dayOfWeek]; break;
        case L'A': out += kDays[ct.dayOfWeek]; break;
        case L'H': out += Num(ct.hour, 2); break;
        case L'I': out += Num(h12, 2); break;
        case L'M': out += Num(ct.minute, 2); break;
        case L'S': out += Num(ct.second, 2); break;
        case L'p': out += ct.hour < 12 ? L"AM" : L"PM"; break;
        case L'j': out += Num(static_cast<int>(days - DaysFromCivil(ct.year, 1, 1) + 1), 3); break;
        case L'%': out += L'%'; break;
        default:
            out += L'%';
            out += *p;
            break;
        }
    }
    return out;
}

ScopedTimeZone::ScopedTimeZone(const char* tz) {
    EnsureTzRead();
    if (const char* old = std::getenv("TZ")) {
        m_had = true;
        m_old = old;
    }
    if (tz)
        ::setenv("TZ", tz, 1);
    else
        ::unsetenv("TZ");
    tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
    if (m_had)
        ::setenv("TZ", m_old.c_str(), 1);
    else
        ::unsetenv("TZ");
    tzset();
}

} // namespace sk

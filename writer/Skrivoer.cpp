// Exporter object, EDF header, field writers, number formatting and start
// times. Numbers and dates are formatted with std::to_chars and fixed English
// tables, so neither the process nor the thread locale can change a byte.

#include "writer/Skrivoer.h"

#include <charconv>
#include <numeric>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/HResult.h"
#include "platform/recording/Montage.h"
#include "platform/recording/MultipleBOSupport.h"
#include "recorddata/DecimalDigits.h"
#include "recorddata/EDFAnnotationData.h"
#include "recorddata/EDFRecordData.h"
#include "recorddata/SkrivoAnnotationManager.h"
#include "templates/SkrivoTemplate.h"
#include "writer/EdfOutputFile.h"
#include "writer/WriterLog.h"
#include "writer/WriterUtil.h"

using namespace sk::writer;

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicksPerDay = kTicksPerSecond * 86400;
const char* const kMonths[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                 "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

// Days from 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

// Day numbers (from 1970) of the two epochs the study files use.
const int64_t kDays1601 = DaysFromCivil(1601, 1, 1);
const int64_t kDays1899 = DaysFromCivil(1899, 12, 30);
// Start times are dates of years 100..9999: ticks from 1601 of the bounds.
const int64_t kTicksFirst = (DaysFromCivil(100, 1, 1) - kDays1601) * kTicksPerDay;
const int64_t kTicksEnd = (DaysFromCivil(10000, 1, 1) - kDays1601) * kTicksPerDay;

sk::CalendarTime CalendarFromTicks(int64_t ticks) {
    sk::CalendarTime t;
    int64_t days = ticks / kTicksPerDay;
    int64_t rest = ticks % kTicksPerDay;
    if (rest < 0) {
        rest += kTicksPerDay;
        --days;
    }
    CivilFromDays(days + kDays1601, t.year, t.month, t.day);
    int64_t ms = rest / 10000;
    t.hour = static_cast<int>(ms / 3600000);
    t.minute = static_cast<int>(ms / 60000 % 60);
    t.second = static_cast<int>(ms / 1000 % 60);
    t.millisecond = static_cast<int>(ms % 1000);
    return t;
}

// OLE automation date (days from 1899-12-30; the fraction counts forward
// from the day also for negative dates) to 100-ns ticks from 1601.
bool TicksFromOleDate(double date, int64_t& ticks) {
    if (!std::isfinite(date) || date < -657434.0 || date > 2958465.9999999)
        return false;
    double whole = std::trunc(date);
    double frac = std::fabs(date - whole);
    int64_t dayTicks = static_cast<int64_t>(std::llround(frac * 86400000.0)) * 10000;
    ticks = (static_cast<int64_t>(whole) + kDays1899 - kDays1601) * kTicksPerDay + dayTicks;
    return true;
}

// Calendar ticks to an OLE date, to the whole second (as the system's own
// conversion does).
double OleDateFromTicks(int64_t ticks) {
    int64_t t = ticks - (kDays1899 - kDays1601) * kTicksPerDay;
    int64_t secTicks = t / kTicksPerSecond * kTicksPerSecond;
    if (secTicks > t)
        secTicks -= kTicksPerSecond;
    int64_t days = secTicks / kTicksPerDay;
    int64_t rest = secTicks % kTicksPerDay;
    if (rest < 0) {
        rest += kTicksPerDay;
        --days;
    }
    double frac = static_cast<double>(rest) / static_cast<double>(kTicksPerDay);
    return days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
}

// UTC ticks to local ticks by the machine's time-zone rules at that instant.
int64_t LocalFromUtcTicks(int64_t utc) {
    int64_t unixSeconds = utc / kTicksPerSecond - (-kDays1601) * 86400;
    time_t tt = static_cast<time_t>(unixSeconds);
    struct tm tmv {};
    if (localtime_r(&tt, &tmv) == nullptr)
        return utc;
    return utc + static_cast<int64_t>(tmv.tm_gmtoff) * kTicksPerSecond;
}

std::string TwoDigits(int v) {
    char b[3] = {static_cast<char>('0' + (v / 10) % 10), static_cast<char>('0' + v % 10), 0};
    return b;
}

std::string IntText(int64_t v) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// Empty when the text does not fit the buffer (a fixed form of a huge value).
std::string DoubleText(double v, std::chars_format format, int precision) {
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, v, format, precision);
    if (r.ec != std::errc())
        return std::string();
    return std::string(buf, r.ptr);
}

// Trailing zeros, then trailing points, removed.
std::string TrimFraction(std::string s) {
    while (!s.empty() && s.back() == '0')
        s.pop_back();
    while (!s.empty() && s.back() == '.')
        s.pop_back();
    return s;
}

// Subfield of the identification fields in its ASCII rendering, spaces
// become "_"; an empty value or one with a character that has no rendering
// (a control character too) becomes "X".
std::wstring Subfield(const std::wstring& value) {
    std::wstring v;
    if (!ToAsciiRendering(value, &v) || v.empty())
        return L"X";
    return ReplaceAll(v, L" ", L"_");
}

} // namespace

// --- construction -----------------------------------------------------------

CSkrivoer::CSkrivoer(const CKeyTree& study, const CKeyTree& templ, const std::wstring& outputFolder)
    : m_study(study), m_template(templ), m_outputFolder(outputFolder),
      m_file(std::make_unique<sk::EdfOutputFile>()),
      m_annotations(std::make_unique<CSkrivoAnnotationManager>()) {}

CSkrivoer::~CSkrivoer() {
    m_writers.clear();
    for (CEDFRecordData* p : m_processors)
        delete p;
    m_processors.clear();
}

CSkrivoAnnotationManager& CSkrivoer::GetAnnotationManager() { return *m_annotations; }

CEDFRecordData* CSkrivoer::GetProcessor(size_t i) const {
    return i < m_processors.size() ? m_processors[i] : nullptr;
}

void CSkrivoer::AddProcessor(CEDFRecordData* processor) {
    if (processor)
        m_processors.push_back(processor);
}

bool CSkrivoer::IsEdfPlus() const {
    return CSkrivoTemplate::ExportFormatOf(m_template) == CSkrivoTemplate::FormatEDFPlus;
}

bool CSkrivoer::PadGaps() const {
    // Plain EDF has no way to say where a gap was: it is always padded.
    return !IsEdfPlus() || IntOf(m_template.GetAt(L"PadGaps"), 0) != 0;
}

bool CSkrivoer::SplitAtGaps() const {
    return IsEdfPlus() && !PadGaps() && IntOf(m_template.GetAt(L"SplitAtGaps"), 0) != 0;
}

bool CSkrivoer::LastFile(int64_t start, int64_t next, int64_t end) const {
    return next > end || next <= start || (!m_splitLimit && !SplitAtGaps());
}

const char* CSkrivoer::FileKind(const CKeyTree& study, const CKeyTree& templ) {
    if (CSkrivoTemplate::ExportFormatOf(templ) != CSkrivoTemplate::FormatEDFPlus)
        return "EDF";
    const bool contiguous = IntOf(study.GetAt(L"Samples.Contiguous"), 1) != 0;
    const bool pad = IntOf(templ.GetAt(L"PadGaps"), 0) != 0;
    const bool split = IntOf(templ.GetAt(L"SplitAtGaps"), 0) != 0;
    return (!contiguous && !pad && !split) ? "EDF+D" : "EDF+C";
}

std::wstring CSkrivoer::StudyKey(const std::wstring& key) const {
    return m_useDecimated ? L"Decimated." + key : key;
}

void CSkrivoer::SetError(int32_t code, const std::wstring& text) {
    m_errorCode = code;
    m_errorText = text;
}

void CSkrivoer::SetFileError(int osError) {
    uint32_t win = osError <= 0 ? 0u : sk::Win32FromErrno(osError);
    m_errorCode = osError <= 0 ? osError : sk::HResultFromWin32(win);
    std::wstring text = osError <= 0 ? std::wstring() : sk::SystemErrorText(win);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
        text.pop_back();
    if (text.empty()) {
        wchar_t buf[64];
        std::swprintf(buf, 64, L"Unknown error 0x%0lX", static_cast<unsigned long>(static_cast<uint32_t>(m_errorCode)));
        text = buf;
    }
    m_errorText = text;
}

// --- output file --------------------------------------------------------------

bool CSkrivoer::OpenOutputFile(const std::wstring& path) {
    if (!m_file->Open(ToUtf8(path))) {
        SetFileError(m_file->LastError());
        return false;
    }
    return true;
}

bool CSkrivoer::CloseOutputFile() {
    if (!m_file->IsOpen())
        return true;
    if (!m_file->Close()) {
        SetFileError(m_file->LastError());
        return false;
    }
    return true;
}

bool CSkrivoer::Put(const char* data, size_t size) {
    if (m_buildingHeader) {
        if (m_imagePos + size > m_headerImage.size())
            m_headerImage.resize(m_imagePos + size, ' ');
        m_headerImage.replace(m_imagePos, size, data, size);
        m_imagePos += size;
        return true;
    }
    if (!m_file->Write(data, size)) {
        SKW_LOG(8, L"CSkrivoer::WriteString - Error writing to file: %d", m_file->LastError());
        return false;
    }
    return true;
}

bool CSkrivoer::SeekOut(int64_t position) {
    if (m_buildingHeader) {
        m_imagePos = static_cast<size_t>(position);
        return true;
    }
    return m_file->Seek(position);
}

// --- field writers ------------------------------------------------------------

bool CSkrivoer::WriteString(std::string_view text, int width) {
    if (width < 0)
        width = 0;
    size_t n = std::min(text.size(), static_cast<size_t>(width));
    bool ok = true;
    if (n > 0)
        ok = Put(text.data(), n);
    static const std::string spaces(256, ' ');
    size_t pad = static_cast<size_t>(width) - n;
    while (ok && pad > 0) {
        size_t k = std::min(pad, spaces.size());
        ok = Put(spaces.data(), k);
        pad -= k;
    }
    return ok;
}

bool CSkrivoer::WriteInteger(int64_t value, int width) {
    std::string text = IntText(value);
    if (static_cast<int>(text.size()) > width)
        return false;
    return WriteString(text, width);
}

std::string CSkrivoer::FormatDouble(double value, int width, bool* ok) {
    if (ok)
        *ok = false;
    if (!std::isfinite(value) || width <= 0)
        return std::string();
    // A whole number is written as an integer when it fits.
    if (std::fabs(value) < 9.2e18) {
        auto whole = static_cast<int64_t>(value);
        if (static_cast<double>(whole) == value) {
            std::string t = IntText(whole);
            if (static_cast<int>(t.size()) <= width) {
                if (ok)
                    *ok = true;
                return t;
            }
        }
    }
    std::string text = TrimFraction(DoubleText(value, std::chars_format::fixed, 6));
    if (!text.empty() && static_cast<int>(text.size()) <= width) {
        if (ok)
            *ok = true;
        return text;
    }
    const double mag = std::fabs(value);
    const int e = static_cast<int>(std::floor(std::log10(mag)));
    int p = width - (e + 1);
    if (value != std::trunc(value))
        p -= 1;
    if (value < 0)
        p -= 1;
    if (p == 0) {
        std::string t = IntText(static_cast<int64_t>(std::trunc(value)));
        if (static_cast<int>(t.size()) > width)
            return std::string();
        if (ok)
            *ok = true;
        return t;
    }
    if (p > 0) {
        text = TrimFraction(DoubleText(value, std::chars_format::fixed, p));
        if (static_cast<int>(text.size()) > width) {
            SKW_EVENT();
            text.resize(static_cast<size_t>(width));
        }
        if (ok)
            *ok = true;
        return text;
    }
    text = DoubleText(value, std::chars_format::scientific, 6);
    if (static_cast<int>(text.size()) > width) {
        int q = width - static_cast<int>(text.size()) + 6;
        if (q < 0) {
            SKW_LOG(8, L"CSkrivoer::WriteDouble - Insufficient buffer to write double - %d characters", width);
            return std::string();
        }
        text = DoubleText(value, std::chars_format::scientific, q);
        if (static_cast<int>(text.size()) != width)
            SKW_EVENT();
        if (static_cast<int>(text.size()) > width)
            text.resize(static_cast<size_t>(width));
    }
    if (ok)
        *ok = true;
    return text;
}

bool CSkrivoer::WriteDouble(double value, int width) {
    bool ok = false;
    std::string text = FormatDouble(value, width, &ok);
    if (!ok)
        return false;
    return WriteString(text, width);
}

bool CSkrivoer::WriteText(const std::wstring& text, int width) {
    if (text.empty() || !IsPrintableAscii(text))
        return false;
    std::string narrow;
    narrow.reserve(text.size());
    for (wchar_t c : text)
        narrow.push_back(static_cast<char>(c));
    return WriteString(narrow, width);
}

// --- identification and times ------------------------------------------------

std::wstring CSkrivoer::GetPatientIdentification() const {
    std::wstring code = L"X", sex = L"X", birth = L"X", name = L"X_X";
    if (IntOf(m_template.GetAt(L"Deidentify"), 0) == 0) {
        code = Subfield(AsCStr(m_study.GetAt(L"Info.Admin.ID"), L"X"));
        std::wstring gender = AsCStr(m_study.GetAt(L"Info.Personal.Gender"), L"X");
        // Only "F" and "M" are sexes the format knows; anything else
        // ("Unknown", "Other", foreign letters) is "X".
        if (!gender.empty()) {
            const std::wstring first = ToUpperAscii(gender.substr(0, 1));
            if (first == L"F" || first == L"M")
                sex = first;
        }
        double bd = RealOf(m_study.GetAt(L"Info.Personal.BirthDate"), -1.0);
        int64_t ticks = 0;
        // 0 is the date files store for "none" (30-DEC-1899), not a birth date.
        if (bd > 0.0 && TicksFromOleDate(bd, ticks)) {
            sk::CalendarTime t = CalendarFromTicks(ticks);
            std::string s = TwoDigits(t.day) + "-" + kMonths[t.month - 1] + "-" + IntText(t.year);
            birth = FromUtf8(s);
        }
        std::wstring last = Subfield(AsCStr(m_study.GetAt(L"Info.Name.LastName"), L"X"));
        std::wstring first = Subfield(AsCStr(m_study.GetAt(L"Info.Name.FirstName"), L"X"));
        name = last + L"," + first;
    }
    return code + L" " + sex + L" " + birth + L" " + name;
}

std::wstring CSkrivoer::GetRecordingIdentification(int64_t startStamp) const {
    std::wstring date = L"X", admin = L"X", tech = L"X", equip = L"X";
    if (IntOf(m_template.GetAt(L"Deidentify"), 0) == 0) {
        sk::CalendarTime t = GetStartTime(startStamp);
        if (t.month >= 1 && t.month <= 12 && StartDateKnown(startStamp) && t.year <= 9999)
            date = FromUtf8(TwoDigits(t.day) + "-" + kMonths[t.month - 1] + "-" + IntText(t.year));
        admin = Subfield(AsCStr(m_study.GetAt(L"Study.StudyName"), L"X"));
        tech = Subfield(AsCStr(m_study.GetAt(L"Study.Reviewer"), L"X"));
        equip = Subfield(AsCStr(m_study.GetAt(L"Study.AcquisitionInstrument"), L"X"));
    }
    return L"Startdate " + date + L" " + admin + L" " + tech + L" " + equip;
}

int64_t CSkrivoer::StartTicks(int64_t stamp) const {
    int64_t ticks = 0;
    StartTicksChecked(stamp, ticks);
    return ticks;
}

bool CSkrivoer::StartTicksChecked(int64_t stamp, int64_t& ticks) const {
    const double f = RealOf(m_study.GetAt(L"Samples.Frequency"), -1.0);
    const double creation = RealOf(m_study.GetAt(L"Samples.CreationTime"), 0.0);
    int64_t base = 0;
    bool havePrecise = false;
    const CLuser* precise = AsUser(m_study.GetAt(L"Samples.TaviCreationTime"));
    if (precise && precise->Bytes().size() == 8) {
        uint64_t ft = 0;
        for (int i = 7; i >= 0; --i)
            ft = (ft << 8) | precise->Bytes()[static_cast<size_t>(i)];
        // Beyond year 9999 the value is not a usable time.
        if (ft < 2650467743999999999ull) {
            base = LocalFromUtcTicks(static_cast<int64_t>(ft));
            // The conversion to an OLE date keeps whole seconds only.
            double d = OleDateFromTicks(base);
            int64_t back = 0;
            havePrecise = TicksFromOleDate(d, back) &&
                          back / kTicksPerSecond == base / kTicksPerSecond;
            if (havePrecise && creation != 0.0) {
                double diff = creation - d;
                double half = 0.5 / 86400.0;
                int64_t seconds = static_cast<int64_t>((diff + (diff < 0 ? -half : half)) * 86400.0);
                double sign = seconds > 0 ? 1.0 : (seconds < 0 ? -1.0 : 0.0);
                int64_t minutes = static_cast<int64_t>(static_cast<double>(seconds) / 60.0 + 0.5 * sign);
                if (minutes != 0)
                    base += minutes * 600000000LL;
            }
        }
    }
    if (!havePrecise) {
        if (!TicksFromOleDate(creation, base))
            base = 0;
    }
    // The sub-second part of the creation time is put on the stamp grid, so
    // that a file's start (header second plus first onset) is a whole number
    // of stamps from a whole second: the header second, the onsets and the
    // second carried when the fraction reaches a whole second all follow
    // from the same grid (see StartFractionStamps).
    if (f > 0.0 && std::isfinite(f)) {
        const int64_t sub = ((base % kTicksPerSecond) + kTicksPerSecond) % kTicksPerSecond;
        const double grid = std::round(static_cast<double>(sub) * f / kTicksPerSecond);
        base += static_cast<int64_t>(std::llround(grid * kTicksPerSecond / f)) - sub;
    }
    // A stamp times the ticks per second overflows 64 bits from about 9.2e11
    // on, and stamps up to the end sentinel are legal: the product is taken
    // in 128 bits, exactly for a whole rate (rounded to the nearest tick),
    // else in long double.
    __int128 offset = 0;
    if (f >= 1.0 && f < 2147483648.0 && f == std::floor(f) && stamp >= 0) {
        const auto rate = static_cast<__int128>(f);
        offset = (static_cast<__int128>(stamp) * kTicksPerSecond + rate / 2) / rate;
    } else {
        const long double x = static_cast<long double>(stamp) * kTicksPerSecond / f + 0.5L;
        if (!std::isfinite(x)) {
            ticks = base;
            return true;
        }
        if (std::fabs(x) >= 1.0e30L) {
            ticks = x > 0 ? kTicksEnd - 1 : kTicksFirst;
            return false;
        }
        offset = static_cast<__int128>(x);
    }
    // A start after year 9999 (or before year 100) is no date; it is clamped
    // so that nothing overflows, and reported.
    const __int128 total = static_cast<__int128>(base) + offset;
    if (total >= kTicksEnd) {
        ticks = kTicksEnd - 1;
        return false;
    }
    if (total < kTicksFirst) {
        ticks = kTicksFirst;
        return false;
    }
    ticks = static_cast<int64_t>(total);
    return true;
}

int64_t CSkrivoer::StartFractionStamps() const {
    const double f = RealOf(m_study.GetAt(L"Samples.Frequency"), -1.0);
    if (!(f > 0.0) || !std::isfinite(f))
        return 0;
    const int64_t ticks = StartTicks(0);
    const int64_t sub = ((ticks % kTicksPerSecond) + kTicksPerSecond) % kTicksPerSecond;
    return static_cast<int64_t>(std::llround(static_cast<double>(sub) * f / kTicksPerSecond));
}

sk::CalendarTime CSkrivoer::GetStartTime(int64_t stamp) const {
    return CalendarFromTicks(StartTicks(stamp));
}

// The two-digit year follows the EDF clipping rule: 85-99 are 1985-1999,
// 00-84 are 2000-2084, and after 2084 the year is "yy" (the EDF+ Startdate
// subfield then holds the date). A year before 1985 (a device clock that was
// reset, a missing creation time) cannot be written: the field holds the
// clipping date 01.01.85 and the EDF+ subfield "X" (date unknown), so no
// reader is given a date a century off.
bool CSkrivoer::StartDateKnown(int64_t stamp) const { return GetStartTime(stamp).year >= 1985; }

std::string CSkrivoer::GetStartDateText(int64_t stamp) const {
    sk::CalendarTime t = GetStartTime(stamp);
    if (t.year < 1985)
        return "01.01.85";
    const std::string year = t.year > 2084 ? std::string("yy") : TwoDigits(t.year % 100);
    return TwoDigits(t.day) + "." + TwoDigits(t.month) + "." + year;
}

std::string CSkrivoer::GetStartTimeText(int64_t stamp) const {
    sk::CalendarTime t = GetStartTime(stamp);
    return TwoDigits(t.hour) + "." + TwoDigits(t.minute) + "." + TwoDigits(t.second);
}

// --- header ---------------------------------------------------------------------

bool CSkrivoer::WriteHeader(int64_t startStamp) {
    const int ns = static_cast<int>(m_processors.size());
    const int64_t headerBytes = 256LL * (ns + 1);
    // Fields that cannot be written (refused text) stay blank rather than
    // holding stray bytes, so every field keeps its offset and width.
    int64_t startTicks = 0;
    if (!StartTicksChecked(startStamp, startTicks)) {
        SetError(sk::kErrInvalidArg, L"Start time of the data is outside the years 100 to 9999.");
        return false;
    }
    m_headerImage.assign(static_cast<size_t>(headerBytes), ' ');
    m_imagePos = 0;
    m_buildingHeader = true;

    WriteInteger(0, 8);
    if (!WriteText(GetPatientIdentification(), 80))
        SeekOut(88);
    if (!WriteText(GetRecordingIdentification(startStamp), 80))
        SeekOut(168);
    if (!StartDateKnown(startStamp))
        SKW_LOG(8, L"CSkrivoer::WriteHeader - start date before 1985 (clock reset or no creation time): "
                   L"written as 01.01.85, Startdate X");
    WriteString(GetStartDateText(startStamp), 8);
    WriteString(GetStartTimeText(startStamp), 8);
    WriteInteger(headerBytes, 8);
    std::string reserved;
    if (IsEdfPlus())
        reserved = FileKind(m_study, m_template);
    WriteString(reserved, 44);
    WriteInteger(m_headerRecords, 8);
    if (!WriteDouble(m_recordDuration, 8))
        SeekOut(252);
    WriteInteger(ns, 4);
    if (m_imagePos != 256)
        SKW_EVENT();

    auto at = [&](int column, int width, int i) {
        SeekOut(256 + static_cast<int64_t>(ns) * column + static_cast<int64_t>(i) * width);
    };
    for (int i = 0; i < ns; ++i) {
        CEDFRecordData* p = m_processors[static_cast<size_t>(i)];
        std::wstring label = p->GetLabel();
        if (!IsPrintableAscii(label)) {
            wchar_t buf[32];
            std::swprintf(buf, 32, L"Ch%d", i + 1);
            label = buf;
        }
        at(0, 16, i);
        WriteText(label, 16);
        at(16, 80, i);
        WriteText(p->GetTransducerType(), 80);
        at(96, 8, i);
        WriteText(p->GetEDFUnits(), 8);
        int32_t dmin = 0, dmax = 0;
        double pmin = 0.0, pmax = 0.0;
        p->GetRange(dmin, dmax, pmin, pmax);
        at(104, 8, i);
        WriteDouble(pmin, 8);
        at(112, 8, i);
        WriteDouble(pmax, 8);
        at(120, 8, i);
        WriteInteger(dmin, 8);
        at(128, 8, i);
        WriteInteger(dmax, 8);
        at(136, 80, i);
        WriteText(p->GetPrefiltering(), 80);
        at(216, 8, i);
        int32_t size = static_cast<size_t>(i) < m_recordSizes.size()
                           ? m_recordSizes[static_cast<size_t>(i)]
                           : p->GetRecordSize(m_recordDuration, m_sampleFrequency);
        WriteInteger(static_cast<uint32_t>(size) / 2, 8);
        at(224, 32, i);
        WriteString("", 32);
    }
    m_buildingHeader = false;

    if (!m_file->Seek(0) || !m_file->Write(m_headerImage.data(), m_headerImage.size())) {
        SKW_LOG(8, L"CSkrivoer::WriteString - Error writing to file: %d", m_file->LastError());
        SetFileError(m_file->LastError());
        return false;
    }
    return true;
}

// --- record layout --------------------------------------------------------------

// Signal channels must hold exactly twice their samples per record in bytes.
// A processor's truncation of 2 x D x f can land one short of (or, for a
// sampling rate that is not whole, one above) twice the frame count; such a
// size is pinned to 2 x frames. Other sizes (the annotation signal) are kept,
// rounded down to an even count.
void CSkrivoer::FitRecordSizes() {
    int64_t total = 0;
    for (size_t i = 0; i < m_processors.size(); ++i) {
        int32_t s = m_processors[i]->GetRecordSize(m_recordDuration, m_sampleFrequency);
        const int64_t twice = 2LL * m_framesPerRecord;
        if (s >= twice - 1 && s <= twice + 1)
            s = static_cast<int32_t>(twice);
        else if (s < 0)
            s = 0;
        else
            s &= ~1;
        m_recordSizes[i] = s;
        total += s;
    }
    m_bytesPerRecord = static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
}

namespace {
// Frames of a duration: D x f is meant to be whole; tolerate the rounding of
// the division that produced D.
int32_t FramesOf(double d, double f) {
    double x = d * f;
    double r = std::round(x);
    if (std::fabs(x - r) < 1e-6)
        return static_cast<int32_t>(r);
    return static_cast<int32_t>(x);
}

// The sampling rate as p samples per q seconds (decimated data first tries
// its factor: 256 Hz / 3 is 256 per 3 s). False for a rate no small fraction
// gives.
bool RateFraction(double f, int32_t decimation, int64_t& p, int64_t& q) {
    auto whole = [&](int64_t c) {
        const double x = f * static_cast<double>(c);
        if (x < 1.0 || x > 1e12 || std::fabs(x - std::round(x)) > 1e-6 * std::max(1.0, x))
            return false;
        p = static_cast<int64_t>(std::llround(x));
        q = c;
        return true;
    };
    if (decimation > 1 && whole(decimation))
        return true;
    for (int64_t c = 1; c <= 1000; ++c)
        if (whole(c))
            return true;
    return false;
}

// True when k samples at p/q Hz last a time whose decimal text fits the
// header's 8 characters exactly (the reduced denominator is 2^a 5^b).
bool ExactDuration(int64_t k, int64_t p, int64_t q) {
    int64_t n = k * q, d = p;
    const int64_t g = std::gcd(n, d);
    n /= g;
    d /= g;
    const int fraction = sk::rec::TerminatingDecimalDigits(d);
    if (fraction < 0)
        return false;
    int digits = 1;
    for (int64_t v = n / d; v >= 10; v /= 10)
        ++digits;
    return digits + (fraction > 0 ? 1 + fraction : 0) <= 8;
}
} // namespace

void CSkrivoer::ComputeRecordLayout() {
    const size_t n = m_processors.size();
    const double f = m_sampleFrequency;
    const bool edfPlus = IsEdfPlus();
    auto* anno = (edfPlus && n > 0) ? dynamic_cast<CEDFAnnotationData*>(m_processors.back()) : nullptr;

    m_recordSizes.assign(n, 0);
    m_recordDuration = 0.0;
    m_framesPerRecord = 0;
    m_bytesPerRecord = 0;
    if (n == 0 || !(f > 0.0) || !std::isfinite(f))
        return;

    const double stampRate = static_cast<double>(m_decimation) * f;
    std::vector<Gap> gaps;
    int64_t start = LongLongOf(m_study.GetAt(StudyKey(L"Samples.Start")), -1);
    if (anno) {
        int64_t end = LongLongOf(m_study.GetAt(StudyKey(L"Samples.End")), -1);
        double length = static_cast<double>(end - start + 1) / stampRate;
        IAnnotationIterator* it = m_annotations->CreateAnnotationIterator();
        anno->Prepare(start, length, stampRate, it);
        delete it;
        gaps = RecordingGaps();
    }

    // The header's duration is the one samples and onsets use, so it must be
    // exact in its 8 characters: 921/256 s ("3.59765625") is not, and readers
    // that check the time-keeping onsets against it refuse the file. Frame
    // counts are therefore those whose duration is exact.
    int64_t rateP = 0, rateQ = 0;
    const bool rational = RateFraction(f, m_decimation, rateP, rateQ);
    auto exactAtMost = [&](int32_t frames) -> int32_t {
        if (!rational)
            return frames;
        for (int32_t k = frames; k >= 1; --k)
            if (ExactDuration(k, rateP, rateQ))
                return k;
        return 0;
    };
    // The fewest frames above `frames` with an exact duration, within a
    // factor of 16; 0 when none.
    auto exactAbove = [&](int32_t frames) -> int32_t {
        const int64_t cap = std::min<int64_t>(16LL * std::max(frames, 1) + 16, INT32_MAX);
        for (int64_t k = frames + 1; k <= cap; ++k)
            if (ExactDuration(k, rateP, rateQ))
                return static_cast<int32_t>(k);
        return 0;
    };
    auto setFrames = [&](int32_t frames, double fallbackDuration) {
        m_framesPerRecord = frames;
        m_recordDuration = rational ? static_cast<double>(frames * rateQ) / static_cast<double>(rateP)
                                    : fallbackDuration;
    };
    // Lays out a record of `frames` frames; returns its size in bytes.
    auto layOut = [&](int32_t frames, double fallbackDuration) {
        setFrames(frames, fallbackDuration);
        if (anno) {
            const int64_t window = static_cast<int64_t>(m_framesPerRecord) * m_decimation;
            int count = PlannedAnnotations(window, start, gaps);
            if (count < 1)
                SKW_EVENT();
            anno->SetAnnotationsPerRecord(count);
        }
        FitRecordSizes();
        return m_bytesPerRecord;
    };

    // First duration: whole seconds, else a power of two (for a power-of-two
    // rate) or of ten of a second, rounded down to whole samples.
    const double d0 = static_cast<double>(sk::kRecordLimit) / (2.0 * static_cast<double>(n) * f);
    double d;
    if (d0 >= 1.0) {
        d = std::floor(d0);
        // A rate that is not whole (decimated data) needs a duration that
        // holds whole samples; take the longest whole-second one that does.
        if (std::fabs(d * f - std::round(d * f)) > 1e-6) {
            for (double c = d; c >= 1.0; c -= 1.0) {
                if (std::fabs(c * f - std::round(c * f)) <= 1e-6) {
                    d = c;
                    break;
                }
            }
        }
    } else {
        auto p2 = static_cast<int64_t>(std::pow(2.0, std::floor(std::log10(f) / std::log10(2.0) + 0.5)));
        auto fi = static_cast<int64_t>(f + 0.5);
        double dp;
        if (p2 == fi)
            dp = std::pow(2.0, std::floor(std::log10(d0) / std::log10(2.0)));
        else
            dp = std::pow(10.0, std::floor(std::log10(10.0 * d0))) / 10.0;
        double frames = std::floor(dp * f);
        d = frames >= 1.0 ? frames / f : 1.0 / f;
    }
    int32_t first = FramesOf(d, f);
    // A file limited in time holds whole records, so no record may be longer
    // than the limit.
    const int32_t temporal = IntOf(m_template.GetAt(L"TemporalMaximum"), 0);
    if (temporal >= 1 && LongLongOf(m_template.GetAt(L"SpatialMaximum"), 0) <= 0) {
        const auto limitFrames = static_cast<int64_t>(std::floor(temporal * f + 1e-6));
        if (limitFrames >= 1 && limitFrames < first) {
            first = static_cast<int32_t>(limitFrames);
            d = first / f;
        }
    }
    if (rational) {
        // No exact duration at or below: the shortest exact one above, a
        // record somewhat over the size limit (which the EDF rules make a
        // recommendation) rather than a header that misstates the time.
        const int32_t exact = exactAtMost(first);
        first = exact > 0 ? exact : exactAbove(first);
        if (first == 0) {
            first = FramesOf(d, f);
            SK_EVENTLOG_EXCEPTION(L"No record duration is exact for this sampling rate");
        }
    }
    if (layOut(first, d) <= sk::kRecordLimit)
        return;

    // Too large: shorten, while the record is larger than the limit, by the
    // excess in tenths (halving when the excess is nine tenths of the limit
    // or more), each time to the largest exact frame count not above the
    // result. That ends below the limit whenever the shortest exact record
    // fits. Where even that one does not, only the annotation signal is too
    // large (notes clustered at one instant: every record carries the block
    // sized for the densest stretch, so shorter records would only multiply
    // the file size); the record then stays at one second (or the first
    // duration when shorter), above the limit, and that is reported.
    int32_t shortest = 1;
    if (rational)
        while (shortest <= first && !ExactDuration(shortest, rateP, rateQ))
            ++shortest;
    const bool canFit = shortest >= 1 && shortest <= first && layOut(shortest, shortest / f) <= sk::kRecordLimit;
    if (!canFit) {
        int32_t floorFrames = first;
        if (static_cast<double>(first) > f) {
            floorFrames = exactAtMost(static_cast<int32_t>(std::ceil(f - 1e-6)));
            if (floorFrames < 1)
                floorFrames = first;
        }
        layOut(floorFrames, floorFrames / f);
        SK_EVENTLOG_EXCEPTION(L"The template cannot be made to fit the record size limit: " +
                              std::to_wstring(m_bytesPerRecord) + L" bytes per record");
        return;
    }
    int32_t frames = first;
    double duration = d;
    for (int round = 0; round < 256 && layOut(frames, duration) > sk::kRecordLimit; ++round) {
        const double excess = static_cast<double>(m_bytesPerRecord - sk::kRecordLimit);
        double r = std::ceil(excess / sk::kRecordLimit * 10.0) / 10.0;
        if (r >= 1.0)
            r = 0.5;
        duration = std::floor((m_recordDuration - r * m_recordDuration) * f) / f;
        int32_t next = FramesOf(duration, f);
        if (next >= frames)
            next = frames - 1; // rounding kept the count: progress regardless
        next = exactAtMost(next);
        if (next < shortest)
            next = shortest;
        frames = next;
        duration = frames / f;
    }
}

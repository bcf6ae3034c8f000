#include "recorddata/EDFAnnotationData.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/Log.h"
#include "recorddata/DecimalDigits.h"

namespace {

constexpr uint8_t kTalOnsetEnd = 0x14;  // ends an onset or a text
constexpr uint8_t kTalDuration = 0x15;  // separates onset and duration
constexpr uint8_t kTalEnd = 0x00;

// Prints a value with "%.*f" semantics (a negative precision means 6) in
// the C locale, whatever the process locale says.
size_t PrintFixed(char* buf, size_t cap, double value, int precision) {
    if (precision < 0)
        precision = 6;
    auto res = std::to_chars(buf, buf + cap, value, std::chars_format::fixed, precision);
    if (res.ec != std::errc())
        return 0;
    return static_cast<size_t>(res.ptr - buf);
}

// Removes trailing zeros and then a trailing point of a fixed-point text.
size_t TrimFraction(const char* buf, size_t len) {
    if (!std::memchr(buf, '.', len))
        return len;
    while (len > 0 && buf[len - 1] == '0')
        --len;
    if (len > 0 && buf[len - 1] == '.')
        --len;
    return len;
}

// A short text built on the stack (onsets never exceed ~40 characters).
struct ShortText {
    char buf[64];
    size_t len = 0;
    void Append(const char* p, size_t n) {
        if (n > sizeof(buf) - 1 - len)
            n = sizeof(buf) - 1 - len;
        std::memcpy(buf + len, p, n);
        len += n;
        buf[len] = 0;
    }
};

// UTF-8 of a zero-terminated wide text of at most 63 characters into out
// (capacity 256 is enough: 4 bytes per character). Surrogate pairs are joined;
// a lone surrogate or a value beyond U+10FFFF becomes U+FFFD, so that a
// damaged character never empties the whole text. The TAL
// separators 0x14 and 0x15 become spaces so that a text cannot break the
// structure of its TAL.
int ToUtf8(const wchar_t* text, uint8_t* out, size_t cap) {
    size_t n = 0;
    for (size_t i = 0; text[i] != 0 && i < 64; ++i) {
        uint32_t c = static_cast<uint32_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF) {
            const uint32_t lo = (i + 1 < 64) ? static_cast<uint32_t>(text[i + 1]) : 0;
            if (lo < 0xDC00 || lo > 0xDFFF) {
                c = 0xFFFD;
            } else {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                ++i;
            }
        } else if ((c >= 0xDC00 && c <= 0xDFFF) || c > 0x10FFFF) {
            c = 0xFFFD;
        }
        if (c == kTalOnsetEnd || c == kTalDuration)
            c = ' ';
        uint8_t tmp[4];
        size_t k;
        if (c < 0x80) {
            tmp[0] = static_cast<uint8_t>(c);
            k = 1;
        } else if (c < 0x800) {
            tmp[0] = static_cast<uint8_t>(0xC0 | (c >> 6));
            tmp[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            k = 2;
        } else if (c < 0x10000) {
            tmp[0] = static_cast<uint8_t>(0xE0 | (c >> 12));
            tmp[1] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
            tmp[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            k = 3;
        } else {
            tmp[0] = static_cast<uint8_t>(0xF0 | (c >> 18));
            tmp[1] = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
            tmp[2] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
            tmp[3] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            k = 4;
        }
        if (n + k > cap)
            return -1;
        std::memcpy(out + n, tmp, k);
        n += k;
    }
    return static_cast<int>(n);
}

bool HasDuration(double d) { return d > 0.0 && std::isfinite(d); }

// The whole stamps per second that onsets are divided by. A rate below one
// stamp per second (or a corrupt one) cannot divide stamps; one stamp per
// second keeps the arithmetic defined.
int64_t RoundedRate(double stampsPerSecond) {
    const double rounded = std::trunc(stampsPerSecond + 0.5);
    return (rounded >= 1.0 && rounded < 9.2e18) ? static_cast<int64_t>(rounded) : 1;
}

// Most fraction digits an onset text can carry at this rate. The fraction is
// remainder / rate with a remainder below the rounded rate, printed with 15
// places and trimmed. A whole rate of the form 2^a x 5^b gives fractions that
// end after max(a, b) digits; any other rate can fill all 15 places.
int MaxOnsetFractionDigits(double stampsPerSecond) {
    const int64_t rounded = RoundedRate(stampsPerSecond);
    if (rounded == 1)
        return 0; // every remainder is 0
    if (static_cast<double>(rounded) != stampsPerSecond)
        return 15;
    const int digits = sk::rec::TerminatingDecimalDigits(rounded);
    return digits < 0 ? 15 : std::min(digits, 15);
}

int DecimalDigits(uint64_t v) {
    int n = 1;
    for (; v >= 10; v /= 10)
        ++n;
    return n;
}

// Characters of the longest onset text the writer can print for a stamp that
// lies `distance` stamps from the recording start. The stamp of onset 0 is
// the whole second of the start, which lies less than one second (rate - 1
// stamps) away from it, on either side when the start is negative; so the
// integer part can be one larger and the fraction can be any remainder.
int WorstOnsetLength(uint64_t distance, double stampsPerSecond) {
    const auto rate = static_cast<uint64_t>(RoundedRate(stampsPerSecond));
    const uint64_t slack = rate - 1;
    const uint64_t far = distance > UINT64_MAX - slack ? UINT64_MAX : distance + slack;
    const int fraction = MaxOnsetFractionDigits(stampsPerSecond);
    return 1 + DecimalDigits(far / rate) + (fraction > 0 ? 1 + fraction : 0);
}

} // namespace

// ------------------------------------------------------------------ numbers

int CEDFAnnotationData::NumberLength(double x, bool withSign) {
    if (!std::isfinite(x))
        x = 0.0;
    const double ax = std::fabs(x);
    const double ip = std::floor(ax);
    double frac = ax - ip;
    int f = 0;
    // Every step removes at least one binary digit, so this ends within the
    // width of a double; the bound only guards against surprises.
    while (frac != 0.0 && f < 1100) {
        frac *= 10.0;
        frac -= std::floor(frac);
        ++f;
    }
    const int intDigits = ip == 0.0 ? 1 : static_cast<int>(std::floor(std::log10(ip))) + 1;
    return intDigits + (f >= 1 ? 1 : 0) + f + (withSign ? 1 : 0);
}

std::string CEDFAnnotationData::DurationText(double seconds) {
    if (!HasDuration(seconds))
        return std::string();
    const int n = static_cast<int>(std::floor(std::log10(seconds))) + 1;
    char buf[512];
    size_t len = PrintFixed(buf, sizeof(buf), seconds, 15 - n);
    len = TrimFraction(buf, len);
    return std::string(buf, len);
}

// ------------------------------------------------------------------- writer

void CEDFAnnotationData::CEDFAnnotationWriter::Initialize(double startFraction, int64_t startStamp,
                                                          double sampleFrequency, int32_t decimation,
                                                          double) {
    m_frameStamps = decimation > 1 ? decimation : 1;
    m_last.clear();
    m_stampsPerSecond = decimation * sampleFrequency;
    m_roundedStampsPerSecond = RoundedRate(m_stampsPerSecond);
    if (!(m_stampsPerSecond > 0.0) || !std::isfinite(m_stampsPerSecond))
        m_stampsPerSecond = static_cast<double>(m_roundedStampsPerSecond);
    // Stamps count at the recording's rate also in decimated data, so the
    // fraction becomes stamps at the stamp rate, not at the sample rate.
    const double fracSamples = std::trunc(startFraction * m_stampsPerSecond + 0.5);
    const int64_t fracStamps = (std::fabs(fracSamples) < 9.2e18) ? static_cast<int64_t>(fracSamples) : 0;
    int64_t sum;
    if (__builtin_add_overflow(startStamp, fracStamps, &sum))
        sum = startStamp;
    m_baseStamp = startStamp - sum % m_roundedStampsPerSecond;
}

std::string CEDFAnnotationData::CEDFAnnotationWriter::OnsetText(int64_t stamp) const {
    // Onset texts are formatted into a stack buffer on the writing path; this
    // wrapper serves callers that want a string.
    ShortText t;
    const int64_t rel = static_cast<int64_t>(static_cast<uint64_t>(stamp) - static_cast<uint64_t>(m_baseStamp));
    const uint64_t a = rel < 0 ? 0 - static_cast<uint64_t>(rel) : static_cast<uint64_t>(rel);
    t.Append(rel < 0 ? "-" : "+", 1);
    const uint64_t rate = static_cast<uint64_t>(m_roundedStampsPerSecond);
    char num[32];
    auto r = std::to_chars(num, num + sizeof(num), a / rate);
    t.Append(num, static_cast<size_t>(r.ptr - num));
    const uint64_t rem = a % rate;
    if (rem != 0) {
        char buf[64];
        size_t len = PrintFixed(buf, sizeof(buf), static_cast<double>(rem) / m_stampsPerSecond, 15);
        len = TrimFraction(buf, len);
        // Drop the leading "0" of "0.5".
        if (len > 1 && buf[0] == '0')
            t.Append(buf + 1, len - 1);
    }
    return std::string(t.buf, t.len);
}

void CEDFAnnotationData::CEDFAnnotationWriter::Take(int64_t last) {
    if (IAnnotationIterator* it = m_owner->m_iterator.get()) {
        for (const ANNOTATION_ENTRY* e = it->GetCurrent(); e && e->start <= last; e = it->GetCurrent()) {
            m_pending.push_back(*e);
            it->MoveNext();
        }
    }
}

uint32_t CEDFAnnotationData::CEDFAnnotationWriter::Write(int64_t recordStart, int64_t recordEnd,
                                                         const uint8_t*, uint32_t sampleCount,
                                                         uint8_t* out) {
    const size_t capacity = 2u * static_cast<size_t>(sampleCount);
    // Every annotation up to the end of this record's time, including any
    // that lay in a gap skipped since the previous record, after any an
    // earlier record had no room for: nothing is dropped, what does not fit
    // waits for the next record (the layout plans room for the densest
    // record, so this is a safeguard only). A decimated record's time ends
    // where the next frame would start, not at its last frame's stamp.
    int64_t last;
    if (__builtin_add_overflow(recordEnd, m_frameStamps - 1, &last))
        last = std::numeric_limits<int64_t>::max();
    Take(last);
    const size_t written = Render(recordStart, out, capacity);
    m_last.assign(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(written));
    m_lastStart = recordStart;
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(written));
    return static_cast<uint32_t>(capacity);
}

CEDFAnnotationData::CEDFAnnotationWriter::Rest
CEDFAnnotationData::CEDFAnnotationWriter::CompleteLastRecord(int64_t last, uint8_t* out, uint32_t sampleCount) {
    Rest rest;
    Take(last);
    if (m_pending.empty())
        return rest;
    size_t written = 0;
    if (out) {
        m_pending.insert(m_pending.begin(), m_last.begin(), m_last.end());
        written = Render(m_lastStart, out, 2u * static_cast<size_t>(sampleCount));
        rest.rewritten = true;
        m_last.assign(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(written));
    }
    for (size_t i = written; i < m_pending.size(); ++i)
        ++(m_pending[i].stage ? rest.stages : rest.notes);
    m_pending.clear();
    return rest;
}

size_t CEDFAnnotationData::CEDFAnnotationWriter::Render(int64_t recordStart, uint8_t* out, size_t capacity) {
    size_t pos = 0;

    // Time-keeping TAL.
    const std::string onset = OnsetText(recordStart);
    SKLOG(32, L"CEDFAnnotationData::CEDFAnnotationWriter::Write - Writing offset %S", onset.c_str());
    if (onset.size() + 3 <= capacity) {
        std::memcpy(out, onset.data(), onset.size());
        pos = onset.size();
        out[pos++] = kTalOnsetEnd;
        out[pos++] = kTalOnsetEnd;
        out[pos++] = kTalEnd;
    } else {
        SK_EVENTLOG_EXCEPTION(L"CEDFAnnotationData::CEDFAnnotationWriter::Write - record too small for its time-keeping annotation");
        SKLOG(8, L"CEDFAnnotationData::CEDFAnnotationWriter::Write - insufficient space to write all annotations - off by %d bytes",
              static_cast<int>(onset.size() + 3 - capacity));
        std::memset(out, 0, capacity);
        return 0;
    }

    size_t written = 0;
    bool open = false; // the previous annotation left its TAL open
    for (size_t i = 0; i < m_pending.size(); ++i) {
        const ANNOTATION_ENTRY& e = m_pending[i];
        const std::string onsetText = OnsetText(e.start);
        const bool hasDuration = HasDuration(e.duration);
        const std::string durationText = hasDuration ? DurationText(e.duration) : std::string();
        uint8_t utf8[260];
        int textLen = ToUtf8(e.text, utf8, sizeof(utf8));
        if (textLen < 0)
            textLen = 0;
        SKLOG(1, L"CEDFAnnotationData::CEDFAnnotationWriter::Write - Writing annotation %S with offset %S",
              std::string(reinterpret_cast<const char*>(utf8), static_cast<size_t>(textLen)).c_str(),
              onsetText.c_str());

        const bool leaveOpen = i + 1 < m_pending.size() && m_pending[i + 1].start == e.start &&
                               m_pending[i + 1].duration == e.duration;
        size_t needed = 0;
        if (!open)
            needed += onsetText.size() + 1 + (hasDuration ? durationText.size() + 1 : 0);
        needed += static_cast<size_t>(textLen) + (leaveOpen ? 1 : 2);
        const size_t remaining = capacity - pos;
        // A TAL left open still needs its closing 0x00 should the next text
        // not fit, so keep one byte in hand for it. This never refuses an
        // annotation that could be written: written closed instead, it would
        // need that same byte for its 0x00, and a following text that fits
        // always leaves it. So records filled to the last byte still take
        // every annotation.
        const size_t reserve = leaveOpen ? 1 : 0;
        if (needed + reserve > remaining) {
            SK_EVENTLOG_EXCEPTION(L"CEDFAnnotationData::CEDFAnnotationWriter::Write - insufficient space to write all annotations; the rest moves to the next record");
            // The shortfall counts the byte in hand, so it is never reported as 0.
            SKLOG(8, L"CEDFAnnotationData::CEDFAnnotationWriter::Write - insufficient space to write all annotations - off by %d bytes",
                  static_cast<int>(needed + reserve - remaining));
            break;
        }
        if (!open) {
            std::memcpy(out + pos, onsetText.data(), onsetText.size());
            pos += onsetText.size();
            if (hasDuration) {
                out[pos++] = kTalDuration;
                std::memcpy(out + pos, durationText.data(), durationText.size());
                pos += durationText.size();
            }
            out[pos++] = kTalOnsetEnd;
        }
        std::memcpy(out + pos, utf8, static_cast<size_t>(textLen));
        pos += static_cast<size_t>(textLen);
        out[pos++] = kTalOnsetEnd;
        if (!leaveOpen)
            out[pos++] = kTalEnd;
        open = leaveOpen;
        written = i + 1;
    }
    std::memset(out + pos, 0, capacity - pos);
    return written;
}

// ---------------------------------------------------------------- processor

CEDFAnnotationData::CEDFAnnotationData(IAnnotationIterator* iterator)
    : m_iterator(iterator), m_writer(this) {}

CEDFAnnotationData::~CEDFAnnotationData() = default;

std::wstring CEDFAnnotationData::GetLabel() const { return L"EDF Annotations"; }

void CEDFAnnotationData::GetRange(int32_t& digitalMin, int32_t& digitalMax, double& physicalMin,
                                  double& physicalMax) const {
    digitalMin = -32768;
    digitalMax = 32767;
    physicalMin = -1.0;
    physicalMax = 1.0;
}

int32_t CEDFAnnotationData::GetRecordSize(double, double) const {
    const int64_t perRecord = m_annotationsPerRecord > 0 ? m_annotationsPerRecord : 0;
    const int64_t bytes = perRecord * m_maxAnnotationLength + m_timeKeepingLength + 1;
    const int64_t rounded = (bytes + 15) / 16 * 16;
    const int64_t cap = (std::numeric_limits<int32_t>::max() / 16) * 16;
    return static_cast<int32_t>(rounded < cap ? rounded : cap);
}

IEDFRecordWriter* CEDFAnnotationData::GetWriter() { return &m_writer; }

void CEDFAnnotationData::Prepare(int64_t startStamp, double durationSeconds, double stampsPerSecond,
                                 IAnnotationIterator* scan) {
    // Fraction digits of one stamp's duration.
    int fractionDigits = 0;
    {
        double step = 1.0 / stampsPerSecond;
        if (!std::isfinite(step))
            step = 0.0;
        double frac = std::fabs(step) - std::floor(std::fabs(step));
        while (frac != 0.0 && fractionDigits < 1100) {
            frac *= 10.0;
            frac -= std::floor(frac);
            ++fractionDigits;
        }
    }
    double d = durationSeconds;
    if (!(d >= 1.0))
        d = 1.0;
    if (d > 1e308)
        d = 1e308;
    const int digits = static_cast<int>(std::floor(std::log10(d))) + 1 + fractionDigits;
    // The onsets are measured here from the start stamp, but the writer
    // measures them from the whole second of the start, which can lie up to a
    // second earlier: the same stamp then prints with one more integer digit
    // or with every fraction digit the rate allows. Each length is therefore
    // the larger of the length measured from the start and the longest text
    // the writer can print, so that a record filled to the planned count
    // never runs short.
    const int fraction = MaxOnsetFractionDigits(stampsPerSecond);
    const int wholeSeconds = static_cast<int>(std::floor(std::log10(std::floor(d) + 1.0))) + 1;
    const int worstTimeKeeping = 1 + wholeSeconds + (fraction > 0 ? 1 + fraction : 0) + 3;
    m_timeKeepingLength = std::max(digits + 5, worstTimeKeeping);

    m_maxAnnotationLength = 0;
    if (!scan)
        return;
    for (const ANNOTATION_ENTRY* e = scan->GetCurrent(); e; scan->MoveNext(), e = scan->GetCurrent()) {
        int size = 0;
        if (HasDuration(e->duration))
            size += std::max(NumberLength(e->duration, false), static_cast<int>(DurationText(e->duration).size())) + 1;
        int64_t rel;
        if (__builtin_sub_overflow(e->start, startStamp, &rel))
            rel = 0;
        const uint64_t distance = e->start >= startStamp
                                      ? static_cast<uint64_t>(e->start) - static_cast<uint64_t>(startStamp)
                                      : static_cast<uint64_t>(startStamp) - static_cast<uint64_t>(e->start);
        size += std::max(NumberLength(static_cast<double>(rel) / stampsPerSecond, true),
                         WorstOnsetLength(distance, stampsPerSecond));
        uint8_t utf8[260];
        const int textLen = ToUtf8(e->text, utf8, sizeof(utf8));
        size += 1 + (textLen > 0 ? textLen : 0) + 2;
        if (size > m_maxAnnotationLength)
            m_maxAnnotationLength = size;
    }
}

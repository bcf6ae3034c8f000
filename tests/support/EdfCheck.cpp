// Strict EDF/EDF+ checks and the BioSig reader for tests. This file must not
// include edflib.h: BioSig's header defines macros with EDFlib's names.

#include "support/EdfCheck.h"

#include <biosig.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

namespace sk::test {

namespace {

std::string Field(const std::vector<uint8_t>& b, size_t off, size_t len) {
    return std::string(reinterpret_cast<const char*>(b.data()) + off, len);
}

std::string TrimRight(std::string s) {
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

// A number field: left-aligned, space padded, a plain decimal number (an
// integer for T = int64_t).
template <class T> bool Parse(const std::string& field, T& out) {
    const std::string t = TrimRight(field);
    const auto r = std::from_chars(t.data(), t.data() + t.size(), out);
    return !t.empty() && r.ec == std::errc() && r.ptr == t.data() + t.size();
}

// Parses a TAL number at pos: an onset with its sign, or a duration without;
// digits, and a fraction of at least one digit after a point.
bool ParseTalNumber(const uint8_t* d, size_t n, size_t& pos, bool sign, double& out) {
    const char* p = reinterpret_cast<const char*>(d);
    const bool negative = sign && pos < n && p[pos] == '-';
    if (sign && (pos >= n || (p[pos] != '+' && !negative)))
        return false;
    pos += sign ? 1 : 0;
    const size_t start = pos;
    while (pos < n && ((p[pos] >= '0' && p[pos] <= '9') || p[pos] == '.'))
        ++pos;
    const auto r = std::from_chars(p + start, p + pos, out, std::chars_format::fixed);
    out = negative ? -out : out;
    return pos > start && p[start] != '.' && p[pos - 1] != '.' && r.ec == std::errc() && r.ptr == p + pos;
}

} // namespace

std::vector<Tal> ParseTals(const uint8_t* d, size_t n, std::string* error) {
    std::vector<Tal> tals;
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return tals;
    };
    size_t pos = 0;
    while (pos < n && d[pos] != 0) {
        Tal tal;
        if (!ParseTalNumber(d, n, pos, true, tal.onset))
            return fail("bad onset at byte " + std::to_string(pos));
        if (pos < n && d[pos] == 0x15) {
            ++pos;
            if (!ParseTalNumber(d, n, pos, false, tal.duration))
                return fail("bad duration at byte " + std::to_string(pos));
        }
        if (pos >= n || d[pos] != 0x14)
            return fail("onset not followed by 0x14 at byte " + std::to_string(pos));
        ++pos;
        for (;;) {
            if (pos >= n)
                return fail("TAL runs past the signal");
            if (d[pos] == 0) {
                ++pos;
                break;
            }
            size_t a = pos;
            while (pos < n && d[pos] != 0x14 && d[pos] != 0)
                ++pos;
            if (pos >= n || d[pos] != 0x14)
                return fail("annotation text not closed by 0x14");
            tal.texts.emplace_back(reinterpret_cast<const char*>(d) + a, pos - a);
            ++pos;
        }
        tals.push_back(std::move(tal));
    }
    for (; pos < n; ++pos)
        if (d[pos] != 0)
            return fail("non-zero byte after the last TAL");
    if (error)
        error->clear();
    return tals;
}

EdfFile::EdfFile(const std::string& path) : m_path(path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        m_error = "cannot open " + path;
        return;
    }
    m_bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    Check();
}

void EdfFile::Check() {
    auto fail = [&](const std::string& why) { m_error = why; };
    const auto& b = m_bytes;
    if (b.size() < 256)
        return fail("file shorter than the fixed header");
    if (Field(b, 0, 8) != "0       ")
        return fail("version field is not 0");
    int64_t hb = 0, ns = 0;
    if (!Parse(Field(b, 184, 8), hb) || !Parse(Field(b, 252, 4), ns))
        return fail("header size or signal count not a number");
    if (ns < 1 || ns > 4096 || hb != 256 * (ns + 1))
        return fail("header size does not match the signal count");
    if (b.size() < static_cast<size_t>(hb))
        return fail("file shorter than its header");
    for (int64_t i = 0; i < hb; ++i)
        if (b[static_cast<size_t>(i)] < 32 || b[static_cast<size_t>(i)] > 126)
            return fail("header byte " + std::to_string(i) + " is not printable US-ASCII");
    EdfHeader& h = m_header;
    h.ns = static_cast<int>(ns);
    h.headerBytes = static_cast<int>(hb);
    h.patient = Field(b, 8, 80);
    h.recording = Field(b, 88, 80);
    h.startDate = Field(b, 168, 8);
    h.startTime = Field(b, 176, 8);
    h.reserved = Field(b, 192, 44);
    // "yy" is the year after 2084 (the EDF+ Startdate subfield has the date).
    static const std::regex date(R"(\d\d\.\d\d\.(\d\d|yy))"), time(R"(\d\d\.\d\d\.\d\d)");
    if (!std::regex_match(h.startDate, date))
        return fail("start date is not dd.mm.yy");
    if (!std::regex_match(h.startTime, time))
        return fail("start time is not hh.mm.ss");
    if (!Parse(Field(b, 236, 8), h.records))
        return fail("record count not a number");
    h.durationText = TrimRight(Field(b, 244, 8));
    if (!Parse(Field(b, 244, 8), h.duration) || !(h.duration > 0))
        return fail("record duration not a positive number");
    const std::string res = TrimRight(h.reserved);
    const bool plus = res == "EDF+C" || res == "EDF+D";
    if (!res.empty() && !plus)
        return fail("reserved field holds '" + res + "'");

    h.signals.resize(static_cast<size_t>(ns));
    auto sf = [&](int column, int width, int i) {
        return Field(b, static_cast<size_t>(256 + ns * column + i * width), static_cast<size_t>(width));
    };
    int64_t recordBytes = 0;
    m_signalOffset.assign(static_cast<size_t>(ns), 0);
    for (int i = 0; i < ns; ++i) {
        EdfSignal& s = h.signals[static_cast<size_t>(i)];
        s.label = TrimRight(sf(0, 16, i));
        s.transducer = TrimRight(sf(16, 80, i));
        s.dimension = TrimRight(sf(96, 8, i));
        s.prefilter = TrimRight(sf(136, 80, i));
        int64_t dmin = 0, dmax = 0, spr = 0;
        if (!Parse(sf(104, 8, i), s.physMin) || !Parse(sf(112, 8, i), s.physMax))
            return fail("signal " + std::to_string(i) + ": physical range not numbers");
        if (!Parse(sf(120, 8, i), dmin) || !Parse(sf(128, 8, i), dmax) || !Parse(sf(216, 8, i), spr))
            return fail("signal " + std::to_string(i) + ": digital range or samples not integers");
        s.digMin = static_cast<int>(dmin);
        s.digMax = static_cast<int>(dmax);
        s.samples = static_cast<int>(spr);
        if (dmin < -32768 || dmax > 32767 || dmin >= dmax)
            return fail("signal " + std::to_string(i) + ": bad digital range");
        if (s.physMin == s.physMax)
            return fail("signal " + std::to_string(i) + ": physical minimum equals maximum");
        if (spr < 1)
            return fail("signal " + std::to_string(i) + ": no samples per record");
        if (!TrimRight(sf(224, 32, i)).empty())
            return fail("signal " + std::to_string(i) + ": reserved field not blank");
        m_signalOffset[static_cast<size_t>(i)] = recordBytes;
        recordBytes += 2 * spr;
        if (s.label == "EDF Annotations" && h.annotationSignal < 0)
            h.annotationSignal = i;
    }
    h.recordBytes = recordBytes;
    if (h.records == -1)
        return fail("record count not patched (-1)");
    if (h.records < 0)
        return fail("negative record count");
    if (static_cast<int64_t>(b.size()) != hb + h.records * recordBytes)
        return fail("file size " + std::to_string(b.size()) + " does not match header and " +
                    std::to_string(h.records) + " records of " + std::to_string(recordBytes) + " bytes");
    if (plus) {
        if (h.annotationSignal < 0)
            return fail("EDF+ file without an EDF Annotations signal");
        std::istringstream ps(TrimRight(h.patient));
        std::vector<std::string> parts{std::istream_iterator<std::string>(ps), std::istream_iterator<std::string>()};
        if (parts.size() < 4)
            return fail("EDF+ patient field has fewer than four subfields");
        if (TrimRight(h.recording).rfind("Startdate ", 0) != 0)
            return fail("EDF+ recording field does not begin with Startdate");
        double prev = 0;
        for (int64_t r = 0; r < h.records; ++r) {
            std::string err;
            std::vector<Tal> tals = Tals(r, &err);
            if (!err.empty())
                return fail("record " + std::to_string(r) + ": " + err);
            if (tals.empty() || tals[0].texts.size() != 1 || !tals[0].texts[0].empty() || tals[0].duration >= 0)
                return fail("record " + std::to_string(r) + " does not begin with a time-keeping TAL");
            double onset = tals[0].onset;
            double tol = 1e-6 * static_cast<double>(r + 1) + 1e-9;
            if (r > 0) {
                if (res == "EDF+C" && std::fabs(onset - (prev + h.duration)) > tol + 1e-6)
                    return fail("EDF+C record " + std::to_string(r) + " does not follow its predecessor");
                if (res == "EDF+D" && onset < prev + h.duration - 1e-6)
                    return fail("EDF+D record " + std::to_string(r) + " overlaps its predecessor");
            }
            prev = onset;
        }
    }
}

int16_t EdfFile::Sample(int64_t r, int s, int i) const {
    size_t off = static_cast<size_t>(m_header.headerBytes + r * m_header.recordBytes +
                                     m_signalOffset[static_cast<size_t>(s)] + 2 * i);
    return static_cast<int16_t>(m_bytes[off] | (m_bytes[off + 1] << 8));
}

std::vector<Tal> EdfFile::Tals(int64_t r, std::string* error) const {
    const int s = m_header.annotationSignal;
    if (s < 0)
        return {};
    size_t off = static_cast<size_t>(m_header.headerBytes + r * m_header.recordBytes + m_signalOffset[static_cast<size_t>(s)]);
    size_t n = static_cast<size_t>(2 * m_header.signals[static_cast<size_t>(s)].samples);
    if (off + n > m_bytes.size()) {
        if (error)
            *error = "record past the end of the file";
        return {};
    }
    return ParseTals(m_bytes.data() + off, n, error);
}

double EdfFile::RecordOnset(int64_t r) const {
    if (m_header.annotationSignal < 0)
        return static_cast<double>(r) * m_header.duration;
    std::vector<Tal> t = Tals(r);
    return t.empty() ? -1.0 : t[0].onset;
}

BiosigRead ReadWithBiosig(const std::string& path) {
    BiosigRead out;
    HDRTYPE* hdr = sopen(path.c_str(), "r", nullptr);
    if (!hdr) {
        out.error = "sopen returned null";
        return out;
    }
    if (biosig_check_error(hdr)) {
        char* msg = biosig_get_errormsg(hdr);
        out.error = msg ? msg : "biosig error";
        free(msg);
        sclose(hdr);
        destructHDR(hdr);
        return out;
    }
    out.records = biosig_get_number_of_records(hdr);
    out.channels = static_cast<int>(biosig_get_number_of_channels(hdr));
    (void)sread(nullptr, 0, out.records, hdr);
    biosig_data_type* data = nullptr;
    size_t rows = 0, cols = 0;
    if (biosig_get_datablock(hdr, &data, &rows, &cols) == 0 && data) {
        out.channels = static_cast<int>(cols);
        for (size_t c = 0; c < cols; ++c)
            out.data.emplace_back(data + c * rows, data + (c + 1) * rows);
    }
    size_t ne = biosig_get_number_of_events(hdr);
    for (size_t i = 0; i < ne; ++i) {
        uint16_t typ = 0, chn = 0;
        uint32_t pos = 0, dur = 0;
        gdf_time ts = 0;
        const char* desc = nullptr;
        if (biosig_get_nth_event(hdr, i, &typ, &pos, &chn, &dur, &ts, &desc) != 0)
            continue;
        out.events.push_back({desc ? desc : "", static_cast<double>(ts) / 4294967296.0 * 86400.0});
    }
    out.ok = true;
    sclose(hdr);
    destructHDR(hdr);
    return out;
}

} // namespace sk::test

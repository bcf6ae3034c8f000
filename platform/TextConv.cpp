#include "platform/TextConv.h"

#include <cwctype>
#include <locale.h>
#include <wctype.h>

namespace sk {
namespace {

bool IsScalar(uint32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

void AppendUtf8(uint32_t c, std::string* out) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (c >> 18)));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Decodes one UTF-8 sequence at in[i]; returns its length, 0 when invalid.
size_t DecodeUtf8(std::string_view in, size_t i, uint32_t* cp) {
    const auto b0 = static_cast<unsigned char>(in[i]);
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    }
    size_t len;
    uint32_t c, min;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2;
        c = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3;
        c = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4;
        c = b0 & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (in.size() - i < len)
        return 0;
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(in[i + k]);
        if ((b & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || !IsScalar(c))
        return 0;
    *cp = c;
    return len;
}

// Code units of the text to put(unit); a character that is no Unicode
// scalar value fails the encoding, or becomes U+FFFD when lossy.
template <class Put>
bool EncodeUtf16(std::wstring_view in, bool lossy, Put put) {
    for (wchar_t wc : in) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (!IsScalar(c)) {
            if (!lossy)
                return false;
            c = 0xFFFD;
        }
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    return true;
}

locale_t Utf8Locale() {
    static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return loc;
}

} // namespace

bool WideToUtf8(std::wstring_view in, std::string* out) {
    out->clear();
    std::string s;
    s.reserve(in.size());
    for (wchar_t wc : in) {
        const auto c = static_cast<uint32_t>(wc);
        if (!IsScalar(c))
            return false;
        AppendUtf8(c, &s);
    }
    *out = std::move(s);
    return true;
}

bool Utf8ToWide(std::string_view in, std::wstring* out) {
    out->clear();
    std::wstring s;
    s.reserve(in.size());
    for (size_t i = 0; i < in.size();) {
        uint32_t c;
        const size_t n = DecodeUtf8(in, i, &c);
        if (n == 0)
            return false;
        s.push_back(static_cast<wchar_t>(c));
        i += n;
    }
    *out = std::move(s);
    return true;
}

bool WideToUtf16LE(std::wstring_view in, std::vector<uint8_t>* out) {
    out->clear();
    std::vector<uint8_t> v;
    v.reserve(in.size() * 2);
    if (!EncodeUtf16(in, false, [&v](uint32_t u) {
            v.push_back(static_cast<uint8_t>(u & 0xFF));
            v.push_back(static_cast<uint8_t>(u >> 8));
        }))
        return false;
    *out = std::move(v);
    return true;
}

void AppendUtf16LELossy(std::wstring_view in, std::string& out) {
    EncodeUtf16(in, true, [&out](uint32_t u) {
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>(u >> 8));
    });
}

std::wstring Utf16LEToWideLossy(const uint8_t* p, size_t units, bool stopAtZero) {
    auto unit = [p](size_t i) { return static_cast<uint32_t>(p[2 * i] | (p[2 * i + 1] << 8)); };
    std::wstring out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = unit(i);
        if (u == 0 && stopAtZero)
            break;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const uint32_t lo = unit(i + 1);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00)));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF)
            u = 0xFFFD;
        out.push_back(static_cast<wchar_t>(u));
    }
    return out;
}

std::string ToUtf8Lossy(std::wstring_view in) {
    std::string s;
    s.reserve(in.size());
    for (wchar_t wc : in) {
        const auto c = static_cast<uint32_t>(wc);
        AppendUtf8(IsScalar(c) ? c : 0xFFFD, &s);
    }
    return s;
}

std::wstring FromUtf8Lossy(std::string_view in) {
    std::wstring s;
    s.reserve(in.size());
    for (size_t i = 0; i < in.size();) {
        uint32_t c;
        const size_t n = DecodeUtf8(in, i, &c);
        if (n == 0) {
            s.push_back(static_cast<wchar_t>(0xFFFD));
            ++i;
        } else {
            s.push_back(static_cast<wchar_t>(c));
            i += n;
        }
    }
    return s;
}

wchar_t FoldCase(wchar_t c) {
    const auto u = static_cast<uint32_t>(c);
    if (u < 0x80)
        return (u >= 'A' && u <= 'Z') ? static_cast<wchar_t>(u + 32) : c;
    if (locale_t l = Utf8Locale(); l != static_cast<locale_t>(0))
        return static_cast<wchar_t>(towlower_l(static_cast<wint_t>(c), l));
    // Latin-1 capitals without a C.UTF-8 locale
    if ((u >= 0xC0 && u <= 0xDE) && u != 0xD7)
        return static_cast<wchar_t>(u + 32);
    return c;
}

std::wstring FoldCase(std::wstring_view s) {
    std::wstring r(s);
    for (auto& c : r)
        c = FoldCase(c);
    return r;
}

bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && FoldCase(a[i]) != FoldCase(b[i]))
            return false;
    return true;
}

std::wstring ToUpperAscii(std::wstring_view s) {
    std::wstring r(s);
    for (auto& c : r)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - 32);
    return r;
}

std::wstring ToLowerAscii(std::wstring_view s) {
    std::wstring r(s);
    for (auto& c : r)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c + 32);
    return r;
}

} // namespace sk

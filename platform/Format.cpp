#include "platform/Format.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cwchar>
#include <locale.h>
#include <vector>

namespace sk {
namespace {

// "C" numbers with UTF-8 character handling, so narrow %S arguments holding
// UTF-8 text convert; falls back to plain "C".
locale_t FormatLocale() {
    static locale_t loc = [] {
        locale_t l = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(0));
        if (l == static_cast<locale_t>(0))
            l = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
        return l;
    }();
    return loc;
}

class ScopedCLocale {
public:
    ScopedCLocale() {
        locale_t l = FormatLocale();
        m_old = l != static_cast<locale_t>(0) ? uselocale(l) : static_cast<locale_t>(0);
    }
    ~ScopedCLocale() {
        if (m_old != static_cast<locale_t>(0))
            uselocale(m_old);
    }

private:
    locale_t m_old;
};

constexpr size_t kMaxOutput = size_t{1} << 20;

std::wstring FormatErrorText(const wchar_t* format) {
    std::wstring s = format ? format : L"(null)";
    s += L" [format error]";
    return s;
}

} // namespace

std::wstring TranslateWideFormat(const wchar_t* format) {
    std::wstring out;
    if (!format)
        return out;
    const wchar_t* p = format;
    while (*p) {
        if (*p != L'%') {
            out += *p++;
            continue;
        }
        const size_t start = out.size();
        out += *p++;
        if (*p == L'%') {
            out += *p++;
            continue;
        }
        // flags, width, precision
        while (*p && std::wcschr(L"-+ #0'", *p))
            out += *p++;
        while (*p == L'*' || (*p >= L'0' && *p <= L'9'))
            out += *p++;
        if (*p == L'.') {
            out += *p++;
            while (*p == L'*' || (*p >= L'0' && *p <= L'9'))
                out += *p++;
        }
        // length modifiers; Windows ones are rewritten
        enum { None, Short, Long, Other } len = None;
        std::wstring lenText;
        for (;;) {
            if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
                lenText = L"ll";
                len = Other;
                p += 3;
            } else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') {
                lenText.clear();
                len = Other;
                p += 3;
            } else if (p[0] == L'I') {
                lenText = L"z";
                len = Other;
                p += 1;
            } else if (*p == L'h') {
                lenText += L'h';
                len = Short;
                ++p;
            } else if (*p == L'l' || *p == L'w') {
                lenText += L'l';
                len = (len == Long) ? Other : Long; // "ll" is a long long
                ++p;
            } else if (*p == L'L' || *p == L'z' || *p == L'j' || *p == L't' || *p == L'q') {
                lenText += (*p == L'q') ? std::wstring(L"ll") : std::wstring(1, *p);
                len = Other;
                ++p;
            } else {
                break;
            }
        }
        wchar_t conv = *p;
        if (!conv)
            break;
        ++p;
        switch (conv) {
        case L's':
            out += (len == Short) ? L"s" : L"ls";
            break;
        case L'S':
            out += (len == Long) ? L"ls" : L"s";
            break;
        case L'c':
            out += (len == Short) ? L"c" : L"lc";
            break;
        case L'C':
            out += (len == Long) ? L"lc" : L"c";
            break;
        case L'n':
            // never write through an argument: print the text instead
            out.resize(start);
            out += L"%%n";
            break;
        default:
            out += lenText;
            out += conv;
            break;
        }
    }
    return out;
}

std::wstring FormatWV(const wchar_t* format, va_list args) {
    if (!format)
        return std::wstring();
    const std::wstring fmt = TranslateWideFormat(format);
    ScopedCLocale cLocale;
    std::vector<wchar_t> buf(256);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        errno = 0;
        int n = std::vswprintf(buf.data(), buf.size(), fmt.c_str(), copy);
        const int err = errno;
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < buf.size())
            return std::wstring(buf.data(), static_cast<size_t>(n));
        // -1 means "too small" or a conversion error (a narrow argument that
        // is not UTF-8); only the first is worth a bigger buffer.
        if (err == EILSEQ || err == EINVAL || buf.size() >= kMaxOutput)
            return FormatErrorText(format);
        buf.resize(buf.size() * 4);
    }
}

std::wstring FormatW(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring s = FormatWV(format, args);
    va_end(args);
    return s;
}

std::string FormatAV(const char* format, va_list args) {
    if (!format)
        return std::string();
    ScopedCLocale cLocale;
    char small[256];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return std::string(format) + " [format error]";
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    if (static_cast<size_t>(n) >= kMaxOutput)
        return std::string(format) + " [format error]";
    std::string s(static_cast<size_t>(n) + 1, '\0');
    va_copy(copy, args);
    std::vsnprintf(s.data(), s.size(), format, copy);
    va_end(copy);
    s.resize(static_cast<size_t>(n));
    return s;
}

std::string FormatA(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = FormatAV(format, args);
    va_end(args);
    return s;
}

} // namespace sk

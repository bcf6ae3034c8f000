#pragma once
// Letter-case-blind comparison of names and file paths that does not depend
// on the process locale. Folds ASCII, Latin-1, Greek and basic Cyrillic
// letters, which covers the file names users give templates in the supported
// languages; other characters compare exactly.

#include <string>

namespace sk {

inline wchar_t FoldCase(wchar_t c)
{
    if (c < 0x80)
        return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return static_cast<wchar_t>(c + 32);
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2)
        return static_cast<wchar_t>(c + 32);
    if (c >= 0x410 && c <= 0x42F)
        return static_cast<wchar_t>(c + 32);
    if (c >= 0x400 && c <= 0x40F)
        return static_cast<wchar_t>(c + 80);
    return c;
}

inline bool EqualsNoCase(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldCase(a[i]) != FoldCase(b[i]))
            return false;
    }
    return true;
}

} // namespace sk

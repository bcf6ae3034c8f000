#pragma once
// Text conversions between the wide strings used inside (one wchar_t per
// Unicode code point) and the byte forms of files: UTF-8 for EDF+
// annotations, UTF-16LE for on-disk text. Conversions are strict (they fail,
// return false and leave *out empty, instead of substituting characters)
// unless named Lossy.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SkrivoExport.h"

namespace sk {

// Fails on surrogate code points (U+D800..U+DFFF) and values above U+10FFFF.
SKRIVO_API bool WideToUtf8(std::wstring_view in, std::string* out);
// Fails on any invalid UTF-8: stray continuation bytes, truncated sequences,
// overlong forms, surrogates, values above U+10FFFF.
SKRIVO_API bool Utf8ToWide(std::string_view in, std::wstring* out);

// UTF-16LE, the text of registry values and of the study files: characters
// above U+FFFF become surrogate pairs. Fails like WideToUtf8.
SKRIVO_API bool WideToUtf16LE(std::wstring_view in, std::vector<uint8_t>* out);
// The study files' forms, which never fail: surrogate code points and values
// above U+10FFFF are written as U+FFFD (appended to out), and reading
// `units` code units at p combines surrogate pairs, turns an unpaired
// surrogate into U+FFFD and, with stopAtZero, ends at the first zero unit.
SKRIVO_API void AppendUtf16LELossy(std::wstring_view in, std::string& out);
SKRIVO_API std::wstring Utf16LEToWideLossy(const uint8_t* p, size_t units, bool stopAtZero);

// Lenient forms for messages and logs: invalid input becomes U+FFFD / '?'.
SKRIVO_API std::string ToUtf8Lossy(std::wstring_view in);
SKRIVO_API std::wstring FromUtf8Lossy(std::string_view in);

// Simple case folding (ASCII, Latin-1 and other one-to-one lower-case
// mappings), independent of the process locale.
SKRIVO_API wchar_t FoldCase(wchar_t c);
SKRIVO_API std::wstring FoldCase(std::wstring_view s);
SKRIVO_API bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b);
// ASCII-only upper/lower case (for EDF fields and fixed texts).
SKRIVO_API std::wstring ToUpperAscii(std::wstring_view s);
SKRIVO_API std::wstring ToLowerAscii(std::wstring_view s);

} // namespace sk

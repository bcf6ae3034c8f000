#pragma once
// printf-style formatting that never follows the process locale: numbers
// always use a full stop and no grouping, whatever setlocale() said.
//
// FormatW takes format strings written for the Windows wide printf family,
// which is how this code base writes its messages:
//   %s  %ws %ls  -> a wide string argument (const wchar_t*)
//   %S  %hs      -> a narrow string argument (const char*, UTF-8)
//   %c  %lc      -> a wide character;  %C %hc -> a narrow character
//   %I64d %I64u %I64x %I64X -> a 64-bit integer (int64_t / uint64_t)
// Everything else is standard C (%d, %u, %x, %f, %e, %g, %.*f, %02d ...).
// On this platform long is 64 bits: pass a long to %ld, an int32_t to %d.
//
// A format that cannot be applied (bad conversion, output over 1 MiB) yields
// the format string itself followed by " [format error]" rather than nothing.

#include <cstdarg>
#include <string>

#include "platform/SkrivoExport.h"

namespace sk {

SKRIVO_API std::wstring FormatW(const wchar_t* format, ...);
SKRIVO_API std::wstring FormatWV(const wchar_t* format, va_list args);

// Narrow, standard C conversions only (%s is a narrow string), "C" locale.
SKRIVO_API std::string FormatA(const char* format, ...) __attribute__((format(printf, 1, 2)));
SKRIVO_API std::string FormatAV(const char* format, va_list args);

// The Windows-to-C rewriting FormatW applies (exposed for tests).
SKRIVO_API std::wstring TranslateWideFormat(const wchar_t* format);

} // namespace sk

#pragma once
// Languages of the module's string table and how a locale name selects one.

#include <string>
#include <string_view>

#include "platform/SkrivoExport.h"

namespace sk {

enum class Language {
    English,
    German,
    French,
    Japanese,
    Russian,
    ChineseSimplified,
    Spanish,
};

inline constexpr int kLanguageCount = 7;

// Language of a POSIX locale name such as "de_DE.UTF-8", "fr_CA", "ja",
// "zh_CN.GB18030" or "es-419" (letter case ignored). "C", "POSIX", empty and
// unknown names give English, and so do Chinese locales written in the
// traditional script (zh_TW, zh_HK, zh_MO, zh_Hant), which the table lacks.
SKRIVO_API Language LanguageFromLocaleName(std::string_view locale);

// Language of the user's locale: the first non-empty of LC_ALL, LC_MESSAGES
// and LANG decides (as the C library would), English when none is set.
SKRIVO_API Language LanguageFromEnvironment();

// Two-letter code: "en", "de", "fr", "ja", "ru", "zh", "es".
SKRIVO_API const char* LanguageCode(Language lang);

} // namespace sk

#include "module/Language.h"

#include <cstdlib>

namespace sk {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

} // namespace

Language LanguageFromLocaleName(std::string_view locale) {
    // language[_territory][.codeset][@modifier]; a hyphen is accepted in
    // place of the underscore (BCP 47 style names such as "es-419").
    const std::string_view name = locale.substr(0, locale.find_first_of(".@"));
    const size_t sep = name.find_first_of("_-");
    const std::string_view lang = name.substr(0, sep);
    const std::string_view rest = sep == std::string_view::npos ? std::string_view() : name.substr(sep + 1);

    if (EqualsNoCase(lang, "en")) return Language::English;
    if (EqualsNoCase(lang, "de")) return Language::German;
    if (EqualsNoCase(lang, "fr")) return Language::French;
    if (EqualsNoCase(lang, "ja")) return Language::Japanese;
    if (EqualsNoCase(lang, "ru")) return Language::Russian;
    if (EqualsNoCase(lang, "es")) return Language::Spanish;
    if (EqualsNoCase(lang, "zh")) {
        // The territory or script says which script is meant; the table has
        // only the simplified one.
        for (size_t start = 0; start <= rest.size();) {
            const size_t end = rest.find_first_of("_-", start);
            const std::string_view part = rest.substr(start, end == std::string_view::npos ? end : end - start);
            if (EqualsNoCase(part, "TW") || EqualsNoCase(part, "HK") || EqualsNoCase(part, "MO") ||
                EqualsNoCase(part, "Hant"))
                return Language::English;
            if (end == std::string_view::npos) break;
            start = end + 1;
        }
        return Language::ChineseSimplified;
    }
    return Language::English;
}

Language LanguageFromEnvironment() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(var);
        if (value && *value) return LanguageFromLocaleName(value);
    }
    return Language::English;
}

const char* LanguageCode(Language lang) {
    switch (lang) {
    case Language::English: return "en";
    case Language::German: return "de";
    case Language::French: return "fr";
    case Language::Japanese: return "ja";
    case Language::Russian: return "ru";
    case Language::ChineseSimplified: return "zh";
    case Language::Spanish: return "es";
    }
    return "en";
}

} // namespace sk

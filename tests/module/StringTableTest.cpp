#include "module/SkrivoApp.h"

#include <gtest/gtest.h>

#include <string>

#include "support/ScopedEnv.h"

namespace {

using EnvVar = sk::test::ScopedEnv;

constexpr sk::Language kAll[] = {sk::Language::English,  sk::Language::German,
                                 sk::Language::French,   sk::Language::Japanese,
                                 sk::Language::Russian,  sk::Language::ChineseSimplified,
                                 sk::Language::Spanish};

TEST(StringTable, EveryLanguageHasEveryTextAndOnlyThose) {
    for (sk::Language lang : kAll) {
        for (int id = 95; id <= 115; ++id) {
            const bool hasText = id == 100 || (id >= 105 && id <= 109);
            EXPECT_EQ(!sk::LoadString(id, lang).empty(), hasText) << sk::LanguageCode(lang) << " " << id;
        }
        // 108 becomes an EDF physical dimension: printable US-ASCII, 8 at most.
        const std::wstring unit = sk::LoadString(sk::IDS_ON_OFF, lang);
        EXPECT_LE(unit.size(), 8u);
        for (wchar_t c : unit) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << sk::LanguageCode(lang);
    }
    EXPECT_EQ(sk::LoadString(109, sk::Language::German), L"Speichern");
    EXPECT_EQ(sk::LoadString(107, sk::Language::Japanese), L"EDF テンプレート エディター");
    EXPECT_EQ(sk::LoadString(109, sk::Language::Russian), L"Сохранить");
    EXPECT_EQ(sk::LoadString(106, sk::Language::ChineseSimplified), L"必须为模板指定名称。");
    EXPECT_EQ(sk::LoadString(100, static_cast<sk::Language>(42)), L"");
}

TEST(StringTable, LocaleNamesPickTheLanguage) {
    const std::pair<const char*, sk::Language> cases[] = {
        {"de_DE.UTF-8", sk::Language::German},  {"de_AT@euro", sk::Language::German},
        {"FR_ca", sk::Language::French},        {"fr", sk::Language::French},
        {"ja_JP.eucJP", sk::Language::Japanese}, {"ru_RU.KOI8-R", sk::Language::Russian},
        {"zh_CN.GB18030", sk::Language::ChineseSimplified}, {"zh_SG", sk::Language::ChineseSimplified},
        {"zh-Hans-CN", sk::Language::ChineseSimplified},    {"zh_TW.UTF-8", sk::Language::English},
        {"zh-Hant-HK", sk::Language::English},  {"es-419", sk::Language::Spanish},
        {"es_ES.UTF-8", sk::Language::Spanish}, {"en_GB", sk::Language::English},
        {"C", sk::Language::English},           {"POSIX", sk::Language::English},
        {"C.UTF-8", sk::Language::English},     {"", sk::Language::English},
        {"d", sk::Language::English},           {"deu_DE", sk::Language::English},
        {"pt_BR", sk::Language::English},
    };
    for (const auto& [name, lang] : cases) EXPECT_EQ(sk::LanguageFromLocaleName(name), lang) << name;
}

TEST(StringTable, EnvironmentPrecedenceAndOverride) {
    sk::UseLocaleLanguage();
    struct Case {
        const char* lcAll;
        const char* lcMessages;
        const char* lang;
        sk::Language expected;
    } cases[] = {
        {nullptr, nullptr, nullptr, sk::Language::English},
        {nullptr, nullptr, "de_DE.UTF-8", sk::Language::German},
        {nullptr, "ru_RU.UTF-8", "de_DE.UTF-8", sk::Language::Russian},
        {"ja_JP.UTF-8", "ru_RU.UTF-8", "de_DE.UTF-8", sk::Language::Japanese},
        {"", "", "es_ES", sk::Language::Spanish},     // empty values do not count
        {"C", "ru_RU.UTF-8", "de_DE", sk::Language::English}, // a set LC_ALL decides
    };
    for (const auto& c : cases) {
        EnvVar a("LC_ALL", c.lcAll), m("LC_MESSAGES", c.lcMessages), l("LANG", c.lang);
        EXPECT_EQ(sk::CurrentLanguage(), c.expected) << (c.lang ? c.lang : "-");
    }
    {
        EnvVar a("LC_ALL", "fr_FR.UTF-8");
        EXPECT_EQ(sk::LoadString(109), L"Enregistrer");
        sk::SetLanguage(sk::Language::Spanish);
        EXPECT_EQ(sk::CurrentLanguage(), sk::Language::Spanish);
        EXPECT_EQ(sk::LoadString(109), L"Guardar");
        sk::UseLocaleLanguage();
        EXPECT_EQ(sk::LoadString(109), L"Enregistrer");
    }
}

TEST(StringTable, ModuleObjectStarts) {
    EXPECT_TRUE(theApp.InitInstance());
}

} // namespace

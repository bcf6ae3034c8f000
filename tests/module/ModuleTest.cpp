// Registry settings with defaults, and the language of the user-facing texts.
#include <gtest/gtest.h>

#include <filesystem>

#include "module/RegSetup.h"
#include "module/SkrivoApp.h"
#include "platform/TextConv.h"
#include "support/IsolatedSettings.h"

namespace {

using EnvVar = sk::test::ScopedEnv;
using Value = std::pair<uint32_t, std::vector<uint8_t>>;
constexpr const wchar_t* kKey = L"Software\\Corvane\\Ostra\\EDF";

class RegSetupTest : public ::testing::Test {
protected:
    sk::test::IsolatedSettings settings;

    void Set(const wchar_t* name, uint32_t type, std::vector<uint8_t> data) {
        std::unique_ptr<sk::RegistryKey> k;
        ASSERT_EQ(sk::RegistryKey::Create(sk::HKEY_LOCAL_MACHINE, kKey, sk::KEY_READ | sk::KEY_WRITE, &k), 0);
        ASSERT_EQ(k->SetValue(name, type, data.data(), static_cast<uint32_t>(data.size())), 0);
    }
    Value Get(const wchar_t* name) {
        Value v{0xFFFFFFFFu, {}};
        std::unique_ptr<sk::RegistryKey> k;
        if (sk::RegistryKey::Open(sk::HKEY_LOCAL_MACHINE, kKey, sk::KEY_READ, &k) != 0 ||
            k->QueryValue(name, &v.first, &v.second) != 0)
            return {0xFFFFFFFFu, {}};
        return v;
    }
    static std::vector<uint8_t> Sz(const std::wstring& s, int zeros = 1) {
        std::vector<uint8_t> v;
        sk::WideToUtf16LE(s, &v);
        v.insert(v.end(), 2 * zeros, 0);
        return v;
    }
    static Value Dword(uint8_t low) { return {sk::REG_DWORD, {low, 0, 0, 0}}; }
};

// The engine's settings test reads these values through the engine; here the
// reader itself, and what a read-only registry or a missing key give.
TEST_F(RegSetupTest, MissingValuesAreSeededUnlessTheRegistryIsReadOnly) {
    Set(L"Extension", sk::REG_SZ, Sz(L"rec"));
    {
        EnvVar ro("SKRIVO_REGISTRY_READONLY", "1");
        RegSetup reg(sk::HKEY_LOCAL_MACHINE, kKey, true);
        EXPECT_TRUE(reg.IsOpen() && !reg.IsWritable());
        EXPECT_EQ(reg.ReadString(L"extension", L"edf"), L"rec") << "stored values win; names ignore case";
        EXPECT_EQ(reg.ReadDWORD(L"BreakQueryLimit", 5), 5u);
        reg.WriteBinary(L"Headbox01", "abc", 3);
        EXPECT_EQ(Get(L"BreakQueryLimit").first, 0xFFFFFFFFu);
        EXPECT_EQ(Get(L"Headbox01").first, 0xFFFFFFFFu);
        RegSetup missing(sk::HKEY_LOCAL_MACHINE, L"Software\\Nowhere", false);
        EXPECT_FALSE(missing.IsOpen());
        EXPECT_EQ(missing.ReadString(L"Extension", L"edf"), L"edf");
        EXPECT_FALSE(std::filesystem::exists(settings.Root() / "registry/hklm/software/nowhere"));
    }
    {
        RegSetup reg(sk::HKEY_LOCAL_MACHINE, kKey, true);
        EXPECT_TRUE(reg.IsWritable());
        EXPECT_EQ(reg.ReadDWORD(L"BreakQueryLimit", 1000), 1000u);
        EXPECT_TRUE(reg.ReadBool(L"InvertACChannels", true));
    }
    EXPECT_EQ(Get(L"BreakQueryLimit"), Value(sk::REG_DWORD, {0xE8, 3, 0, 0}));
    EXPECT_EQ(Get(L"InvertACChannels"), Dword(1));
    Set(L"AllowEFormat", sk::REG_DWORD, {2, 0, 0, 0});
    EXPECT_TRUE(RegSetup(sk::HKEY_LOCAL_MACHINE, kKey, false).ReadBool(L"AllowEFormat", false)) << "any non-zero";
    EXPECT_FALSE(RegSetup(sk::RegRoot::None, kKey, false).IsOpen());
}

TEST_F(RegSetupTest, WrongTypedOrMalformedValuesAreReplaced) {
    const std::wstring dflt = L"dflt";
    const struct {
        const char* name;
        bool isString;
        uint32_t type;
        std::vector<uint8_t> data;
        std::wstring read; // a string read as stored; empty: replaced by the default
    } cases[] = {
        {"string where a DWORD is expected", false, sk::REG_SZ, Sz(L"12"), L""},
        {"DWORD of two bytes", false, sk::REG_DWORD, {1, 0}, L""},
        {"DWORD of eight bytes", false, sk::REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}, L""},
        {"binary where a DWORD is expected", false, sk::REG_BINARY, {1, 0, 0, 0}, L""},
        {"DWORD where a string is expected", true, sk::REG_DWORD, {1, 0, 0, 0}, L""},
        {"string without terminator", true, sk::REG_SZ, {'a', 0, 'b', 0}, L""},
        {"string of odd length", true, sk::REG_SZ, {'a', 0, 0}, L""},
        {"multi-string with one zero", true, sk::REG_MULTI_SZ, Sz(L"a", 1), L""},
        {"expandable string", true, sk::REG_EXPAND_SZ, Sz(L"%HOME%"), L"%HOME%"},
        {"multi-string reads its first string", true, sk::REG_MULTI_SZ, Sz(std::wstring(L"one\0two", 7), 2), L"one"},
        {"exactly 500 bytes", true, sk::REG_SZ, Sz(std::wstring(249, L'x')), std::wstring(249, L'x')},
        {"non-ASCII", true, sk::REG_SZ, Sz(L"Grüße \U0001F600"), L"Grüße \U0001F600"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Set(L"V", c.type, c.data);
        RegSetup reg(sk::HKEY_LOCAL_MACHINE, kKey, false);
        if (!c.isString) {
            EXPECT_EQ(reg.ReadDWORD(L"V", 77), 77u);
            EXPECT_EQ(Get(L"V"), Dword(77));
            continue;
        }
        EXPECT_EQ(reg.ReadString(L"V", dflt), c.read.empty() ? dflt : c.read);
        EXPECT_EQ(Get(L"V"), c.read.empty() ? Value(sk::REG_SZ, Sz(dflt)) : Value(c.type, c.data));
    }
    // Longer than the 500-byte buffer: not read, and not overwritten either.
    const auto overlong = Sz(std::wstring(250, L'y'));
    Set(L"Extension", sk::REG_SZ, overlong);
    EXPECT_EQ(RegSetup(sk::HKEY_LOCAL_MACHINE, kKey, false).ReadString(L"Extension", L"edf"), L"edf");
    EXPECT_EQ(Get(L"Extension"), Value(sk::REG_SZ, overlong));
}

// Every language has the texts English has, and only those; the on/off unit
// becomes an EDF physical dimension (printable US-ASCII, 8 at most). The
// language follows the locale unless one is set.
TEST(StringTable, EveryLanguageHasEveryTextAndTheLocalePicksOne) {
    EXPECT_TRUE(theApp.InitInstance());
    for (int l = 0; l < sk::kLanguageCount; ++l) {
        const auto lang = static_cast<sk::Language>(l);
        for (int id = 95; id <= 115; ++id)
            EXPECT_EQ(sk::LoadString(id, lang).empty(), sk::LoadString(id, sk::Language::English).empty())
                << sk::LanguageCode(lang) << " " << id;
        const std::wstring unit = sk::LoadString(sk::IDS_ON_OFF, lang);
        EXPECT_TRUE(!unit.empty() && unit.size() <= 8u);
        for (wchar_t c : unit) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << sk::LanguageCode(lang);
    }
    EXPECT_EQ(sk::LoadString(100, static_cast<sk::Language>(42)), L"");

    const std::pair<const char*, sk::Language> names[] = {
        {"de_AT@euro", sk::Language::German},   {"FR_ca", sk::Language::French},
        {"ja_JP.eucJP", sk::Language::Japanese}, {"ru_RU.KOI8-R", sk::Language::Russian},
        {"zh_SG", sk::Language::ChineseSimplified}, {"zh-Hans-CN", sk::Language::ChineseSimplified},
        {"zh_TW.UTF-8", sk::Language::English}, {"zh-Hant-HK", sk::Language::English},
        {"es-419", sk::Language::Spanish},      {"C.UTF-8", sk::Language::English},
        {"", sk::Language::English},            {"d", sk::Language::English},
        {"deu_DE", sk::Language::English},      {"pt_BR", sk::Language::English},
    };
    for (const auto& [name, lang] : names) EXPECT_EQ(sk::LanguageFromLocaleName(name), lang) << name;

    sk::UseLocaleLanguage();
    const struct { const char *lcAll, *lcMessages, *lang; sk::Language expected; } cases[] = {
        {nullptr, nullptr, nullptr, sk::Language::English},
        {nullptr, "ru_RU.UTF-8", "de_DE.UTF-8", sk::Language::Russian},
        {"ja_JP.UTF-8", "ru_RU.UTF-8", "de_DE.UTF-8", sk::Language::Japanese},
        {"", "", "es_ES", sk::Language::Spanish},             // empty values do not count
        {"C", "ru_RU.UTF-8", "de_DE", sk::Language::English}, // a set LC_ALL decides
    };
    for (const auto& c : cases) {
        EnvVar a("LC_ALL", c.lcAll), m("LC_MESSAGES", c.lcMessages), l("LANG", c.lang);
        EXPECT_EQ(sk::CurrentLanguage(), c.expected) << (c.lang ? c.lang : "-");
    }
    EnvVar a("LC_ALL", "fr_FR.UTF-8");
    EXPECT_EQ(sk::LoadString(109), L"Enregistrer");
    sk::SetLanguage(sk::Language::Spanish);
    EXPECT_EQ(sk::LoadString(109), L"Guardar") << "an explicit language wins over the environment";
    sk::UseLocaleLanguage();
    EXPECT_EQ(sk::LoadString(109), L"Enregistrer");
}

} // namespace

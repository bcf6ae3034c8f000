#include <gtest/gtest.h>

#include <fstream>

#include "module/RegSetup.h"
#include "platform/TextConv.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

constexpr const wchar_t* kKey = L"Software\\Corvane\\Ostra\\EDF";

class RegSetupTest : public ::testing::Test {
protected:
    sk::test::TempDir dir{"regsetup"};
    sk::test::ScopedEnv root{"SKRIVO_REGISTRY_ROOT", dir.path().string()};
    sk::test::ScopedEnv notReadOnly{"SKRIVO_REGISTRY_READONLY", nullptr};

    std::unique_ptr<sk::RegistryKey> Key() {
        std::unique_ptr<sk::RegistryKey> k;
        EXPECT_EQ(sk::RegistryKey::Create(sk::HKEY_LOCAL_MACHINE, kKey, sk::KEY_READ | sk::KEY_WRITE, &k), 0);
        return k;
    }
    void Set(const wchar_t* name, uint32_t type, std::vector<uint8_t> data) {
        ASSERT_EQ(Key()->SetValue(name, type, data.data(), static_cast<uint32_t>(data.size())), 0);
    }
    std::pair<uint32_t, std::vector<uint8_t>> Get(const wchar_t* name) {
        uint32_t type = 0;
        std::vector<uint8_t> data;
        std::unique_ptr<sk::RegistryKey> k;
        if (sk::RegistryKey::Open(sk::HKEY_LOCAL_MACHINE, kKey, sk::KEY_READ, &k) != 0 ||
            k->QueryValue(name, &type, &data) != 0)
            return {0xFFFFFFFFu, {}};
        return {type, data};
    }
    static std::vector<uint8_t> Sz(const std::wstring& s, int zeros = 1) {
        std::vector<uint8_t> v;
        sk::WideToUtf16LE(s, &v);
        v.insert(v.end(), 2 * zeros, 0);
        return v;
    }
};

TEST_F(RegSetupTest, MissingValuesAreSeededWithTheirDefaults) {
    {
        RegSetup reg(sk::HKEY_LOCAL_MACHINE, kKey, true);
        EXPECT_TRUE(reg.IsOpen());
        EXPECT_TRUE(reg.IsWritable());
        EXPECT_EQ(reg.ViewFlags(), 0u) << "a 64-bit process has one view";
        EXPECT_EQ(reg.ReadString(L"Extension", L"edf"), L"edf");
        EXPECT_EQ(reg.ReadDWORD(L"BreakQueryLimit", 1000), 1000u);
        EXPECT_TRUE(reg.ReadBool(L"InvertACChannels", true));
        EXPECT_FALSE(reg.ReadBool(L"AllowEFormat", false));
    }
    EXPECT_EQ(Get(L"Extension"), std::make_pair(sk::REG_SZ, Sz(L"edf")));
    EXPECT_EQ(Get(L"BreakQueryLimit"), std::make_pair(sk::REG_DWORD, std::vector<uint8_t>{0xE8, 3, 0, 0}));
    EXPECT_EQ(Get(L"InvertACChannels"), std::make_pair(sk::REG_DWORD, std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(Get(L"AllowEFormat"), std::make_pair(sk::REG_DWORD, std::vector<uint8_t>{0, 0, 0, 0}));

    // Stored values win over the defaults from then on.
    Set(L"BreakQueryLimit", sk::REG_DWORD, {9, 0, 0, 0});
    Set(L"AllowEFormat", sk::REG_DWORD, {2, 0, 0, 0});
    RegSetup again(sk::HKEY_LOCAL_MACHINE, kKey, false);
    EXPECT_EQ(again.ReadDWORD(L"breakquerylimit", 1000), 9u);
    EXPECT_TRUE(again.ReadBool(L"AllowEFormat", false)) << "any non-zero value is true";
}

TEST_F(RegSetupTest, WrongTypedOrMalformedValuesAreReplaced) {
    const struct {
        const char* name;
        bool isString;
        uint32_t type;
        std::vector<uint8_t> data;
        bool keeps; // read as stored
        std::wstring read;
    } cases[] = {
        {"string where a DWORD is expected", false, sk::REG_SZ, Sz(L"12"), false, L""},
        {"DWORD of two bytes", false, sk::REG_DWORD, {1, 0}, false, L""},
        {"DWORD of eight bytes", false, sk::REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}, false, L""},
        {"binary where a DWORD is expected", false, sk::REG_BINARY, {1, 0, 0, 0}, false, L""},
        {"DWORD where a string is expected", true, sk::REG_DWORD, {1, 0, 0, 0}, false, L""},
        {"string without terminator", true, sk::REG_SZ, {'a', 0, 'b', 0}, false, L""},
        {"string of odd length", true, sk::REG_SZ, {'a', 0, 0}, false, L""},
        {"empty string data", true, sk::REG_SZ, {}, false, L""},
        {"multi-string with one zero", true, sk::REG_MULTI_SZ, Sz(L"a", 1), false, L""},
        {"expandable string", true, sk::REG_EXPAND_SZ, Sz(L"%HOME%"), true, L"%HOME%"},
        {"multi-string reads its first string", true, sk::REG_MULTI_SZ, Sz(std::wstring(L"one\0two", 7), 2), true,
         L"one"},
        {"empty string", true, sk::REG_SZ, Sz(L""), true, L""},
        {"exactly 500 bytes", true, sk::REG_SZ, Sz(std::wstring(249, L'x')), true, std::wstring(249, L'x')},
        {"non-ASCII", true, sk::REG_SZ, Sz(L"Grüße \U0001F600"), true, L"Grüße \U0001F600"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Set(L"V", c.type, c.data);
        RegSetup reg(sk::HKEY_LOCAL_MACHINE, kKey, false);
        if (c.isString) {
            EXPECT_EQ(reg.ReadString(L"V", L"dflt"), c.keeps ? c.read : L"dflt");
            EXPECT_EQ(Get(L"V"), c.keeps ? std::make_pair(c.type, c.data) : std::make_pair(sk::REG_SZ, Sz(L"dflt")));
        } else {
            EXPECT_EQ(reg.ReadDWORD(L"V", 77), 77u);
            EXPECT_EQ(Get(L"V"), std::make_pair(sk::REG_DWORD, std::vector<uint8_t>{77, 0, 0, 0}));
        }
    }
}

// Longer than the 500-byte buffer: not read, and not overwritten either.
TEST_F(RegSetupTest, OverlongStringGivesDefaultAndStaysStored) {
    const auto stored = Sz(std::wstring(250, L'y')); // 502 bytes
    Set(L"Extension", sk::REG_SZ, stored);
    RegSetup reg(sk::HKEY_LOCAL_MACHINE, kKey, false);
    EXPECT_EQ(reg.ReadString(L"Extension", L"edf"), L"edf");
    EXPECT_EQ(Get(L"Extension"), std::make_pair(sk::REG_SZ, stored));
}

TEST_F(RegSetupTest, WithoutWriteAccessStoredValuesReadAndNothingIsWritten) {
    Set(L"Extension", sk::REG_SZ, Sz(L"rec"));
    Set(L"BreakQueryLimit", sk::REG_SZ, Sz(L"wrong type"));
    sk::test::ScopedEnv ro("SKRIVO_REGISTRY_READONLY", "1");
    RegSetup reg(sk::HKEY_LOCAL_MACHINE, kKey, true);
    EXPECT_TRUE(reg.IsOpen());
    EXPECT_FALSE(reg.IsWritable());
    EXPECT_EQ(reg.ReadString(L"Extension", L"edf"), L"rec");
    EXPECT_EQ(reg.ReadDWORD(L"BreakQueryLimit", 5), 5u);
    EXPECT_EQ(reg.ReadDWORD(L"Missing", 6), 6u);
    const uint8_t bytes[] = {1, 2, 3};
    reg.WriteBinary(L"Headbox01", bytes, 3);
    EXPECT_EQ(Get(L"BreakQueryLimit"), std::make_pair(sk::REG_SZ, Sz(L"wrong type")));
    EXPECT_EQ(Get(L"Missing").first, 0xFFFFFFFFu);
    EXPECT_EQ(Get(L"Headbox01").first, 0xFFFFFFFFu);
}

TEST_F(RegSetupTest, UnopenableKeyGivesDefaultsAndWritesNothing) {
    {
        sk::test::ScopedEnv ro("SKRIVO_REGISTRY_READONLY", "1");
        RegSetup missing(sk::HKEY_LOCAL_MACHINE, L"Software\\Nowhere", false);
        EXPECT_FALSE(missing.IsOpen());
        EXPECT_EQ(missing.ReadString(L"Extension", L"edf"), L"edf");
        EXPECT_EQ(missing.ReadDWORD(L"x", 4), 4u);
    }
    RegSetup noRoot(sk::RegRoot::None, kKey, false);
    EXPECT_FALSE(noRoot.IsOpen());
    EXPECT_TRUE(noRoot.ReadBool(L"x", true));
    noRoot.WriteBinary(L"x", "a", 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "hklm/software/nowhere"));
}

TEST_F(RegSetupTest, WriteBinaryStoresBytes) {
    RegSetup reg(sk::HKEY_LOCAL_MACHINE, L"Software\\Corvane\\Ostra\\EDF\\Export\\EEG", true);
    const std::vector<uint8_t> image{0, 0xFF, 7, 0, '\n'};
    reg.WriteBinary(L"Headbox01", image.data(), static_cast<uint32_t>(image.size()));
    std::unique_ptr<sk::RegistryKey> k;
    ASSERT_EQ(sk::RegistryKey::Open(sk::HKEY_LOCAL_MACHINE, L"software\\corvane\\ostra\\edf\\export\\eeg",
                                    sk::KEY_READ, &k), 0);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    ASSERT_EQ(k->QueryValue(L"HEADBOX01", &type, &data), 0);
    EXPECT_EQ(type, sk::REG_BINARY);
    EXPECT_EQ(data, image);
}

} // namespace

#include <gtest/gtest.h>

#include "platform/TextConv.h"

namespace {

TEST(TextConv, AsciiRefusesAnythingAbove127) {
    const struct { std::wstring in; bool ok; } cases[] = {
        {L"", true}, {L"Patient X 1970", true}, {std::wstring(1, wchar_t(127)), true},
        {std::wstring(1, wchar_t(128)), false}, {L"Müller", false}, {L"日本", false},
        {std::wstring(L"a\0b", 3), true},
    };
    for (const auto& c : cases) {
        std::string out = "stale";
        EXPECT_EQ(sk::WideToAscii(c.in, &out), c.ok);
        if (c.ok) {
            EXPECT_EQ(out.size(), c.in.size());
        } else {
            EXPECT_TRUE(out.empty()) << "no partial output";
        }
    }
    std::wstring w;
    EXPECT_FALSE(sk::AsciiToWide("caf\xe9", &w));
    EXPECT_TRUE(sk::AsciiToWide("cafe", &w));
    EXPECT_EQ(w, L"cafe");
}

TEST(TextConv, Utf8IsStrict) {
    const struct { const char* name; std::string in; bool ok; std::wstring out; } cases[] = {
        {"ascii", "abc", true, L"abc"},
        {"two-byte", "Gr\xc3\xbc\xc3\x9f" "e", true, L"Grüße"},
        {"four-byte", "\xf0\x9f\x98\x80", true, std::wstring(1, wchar_t(0x1F600))},
        {"truncated", "ab\xc3", false, L""},
        {"stray continuation", "\x80" "a", false, L""},
        {"overlong slash", "\xc0\xaf", false, L""},
        {"overlong three-byte", "\xe0\x80\xaf", false, L""},
        {"surrogate", "\xed\xa0\x80", false, L""},
        {"above U+10FFFF", "\xf4\x90\x80\x80", false, L""},
        {"invalid lead byte", "\xff", false, L""},
        {"bad continuation", "\xe2\x28\xa1", false, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::wstring out = L"stale";
        EXPECT_EQ(sk::Utf8ToWide(c.in, &out), c.ok);
        EXPECT_EQ(out, c.out);
    }
    std::string u;
    EXPECT_TRUE(sk::WideToUtf8(L"Grüße \U0001F600", &u));
    EXPECT_EQ(u, "Gr\xc3\xbc\xc3\x9f" "e \xf0\x9f\x98\x80");
    EXPECT_FALSE(sk::WideToUtf8(std::wstring(1, wchar_t(0xD800)), &u));
    EXPECT_FALSE(sk::WideToUtf8(std::wstring(1, wchar_t(0x110000)), &u));
    EXPECT_EQ(sk::ToUtf8Lossy(std::wstring(L"a") + wchar_t(0xDC00)), "a\xef\xbf\xbd");
    EXPECT_EQ(sk::FromUtf8Lossy("a\xff" "b"), L"a\xFFFD" L"b");
}

TEST(TextConv, Utf16LittleEndian) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(sk::WideToUtf16LE(L"A\u00e9\U0001F600", &bytes));
    const std::vector<uint8_t> expected{0x41, 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE};
    EXPECT_EQ(bytes, expected);
    std::wstring back;
    ASSERT_TRUE(sk::Utf16LEToWide(bytes.data(), bytes.size(), &back));
    EXPECT_EQ(back, L"A\u00e9\U0001F600");
    const struct { const char* name; std::vector<uint8_t> in; } bad[] = {
        {"odd byte count", {0x41, 0, 0x42}},
        {"high surrogate at the end", {0x41, 0, 0x3D, 0xD8}},
        {"high surrogate before a letter", {0x3D, 0xD8, 0x41, 0}},
        {"lone low surrogate", {0x00, 0xDE, 0x41, 0}},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.name);
        EXPECT_FALSE(sk::Utf16LEToWide(b.in.data(), b.in.size(), &back));
        EXPECT_TRUE(back.empty());
    }
}

TEST(TextConv, CaseFoldingIgnoresTheProcessLocale) {
    EXPECT_TRUE(sk::EqualsIgnoreCase(L"Software\\Corvane", L"SOFTWARE\\corvane"));
    EXPECT_TRUE(sk::EqualsIgnoreCase(L"ÄÖÜ.EEG", L"äöü.eeg"));
    EXPECT_FALSE(sk::EqualsIgnoreCase(L"a", L"ab"));
    EXPECT_FALSE(sk::EqualsIgnoreCase(L"[", L"{")); // 0x5B and 0x7B differ by 32 but are no letters
    EXPECT_EQ(sk::ToUpperAscii(L"05-dec-2026 ä"), L"05-DEC-2026 ä");
    EXPECT_EQ(sk::ToLowerAscii(L"EDF Ä"), L"edf Ä");
}

} // namespace

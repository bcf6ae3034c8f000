// Text conversions, message formatting and the log.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/TextConv.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

TEST(TextConv, AsciiAndUtf8AreStrict) {
    const std::pair<std::wstring, bool> ascii[] = {
        {std::wstring(L"\x7F\0", 2), true}, {L"\x80", false}, {L"Müller", false}};
    for (const auto& [in, ok] : ascii) {
        std::string out = "stale";
        EXPECT_EQ(sk::WideToAscii(in, &out), ok);
        EXPECT_EQ(out.size(), ok ? in.size() : 0u) << "no partial output";
    }
    std::wstring w;
    EXPECT_FALSE(sk::AsciiToWide("caf\xe9", &w));

    const struct { const char* name; std::string in; std::wstring out; /* empty: refused */ } utf8[] = {
        {"two-byte", "Gr\xc3\xbc\xc3\x9f" "e", L"Grüße"},
        {"four-byte", "\xf0\x9f\x98\x80", std::wstring(1, wchar_t(0x1F600))},
        {"truncated", "ab\xc3", L""}, {"stray continuation", "\x80" "a", L""},
        {"overlong slash", "\xc0\xaf", L""}, {"overlong three-byte", "\xe0\x80\xaf", L""},
        {"surrogate", "\xed\xa0\x80", L""}, {"above U+10FFFF", "\xf4\x90\x80\x80", L""},
        {"invalid lead byte", "\xff", L""}, {"bad continuation", "\xe2\x28\xa1", L""},
    };
    for (const auto& c : utf8) {
        std::wstring out = L"stale";
        EXPECT_EQ(sk::Utf8ToWide(c.in, &out), !c.out.empty()) << c.name;
        EXPECT_EQ(out, c.out) << c.name;
    }
    std::string u;
    EXPECT_TRUE(sk::WideToUtf8(L"Grüße \U0001F600", &u));
    EXPECT_EQ(u, "Gr\xc3\xbc\xc3\x9f" "e \xf0\x9f\x98\x80");
    EXPECT_FALSE(sk::WideToUtf8(std::wstring(1, wchar_t(0xD800)), &u));
    EXPECT_FALSE(sk::WideToUtf8(std::wstring(1, wchar_t(0x110000)), &u));
    EXPECT_EQ(sk::ToUtf8Lossy(std::wstring(L"a") + wchar_t(0xDC00)), "a\xef\xbf\xbd");
    EXPECT_EQ(sk::FromUtf8Lossy("a\xff" "b"), L"a\xFFFD" L"b");
}

TEST(TextConv, Utf16LittleEndianAndCaseFolding) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(sk::WideToUtf16LE(L"A\u00e9\U0001F600", &bytes));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x41, 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE}));
    std::wstring back;
    ASSERT_TRUE(sk::Utf16LEToWide(bytes.data(), bytes.size(), &back));
    EXPECT_EQ(back, L"A\u00e9\U0001F600");
    const std::vector<uint8_t> bad[] = {
        {0x41, 0, 0x42},         // odd byte count
        {0x41, 0, 0x3D, 0xD8},   // high surrogate at the end
        {0x3D, 0xD8, 0x41, 0},   // high surrogate before a letter
        {0x00, 0xDE, 0x41, 0},   // lone low surrogate
    };
    for (const auto& b : bad) {
        EXPECT_FALSE(sk::Utf16LEToWide(b.data(), b.size(), &back)) << b.size();
        EXPECT_TRUE(back.empty());
    }
    // Folding ignores the process locale.
    EXPECT_TRUE(sk::EqualsIgnoreCase(L"ÄÖÜ.EEG", L"äöü.eeg"));
    EXPECT_FALSE(sk::EqualsIgnoreCase(L"a", L"ab"));
    EXPECT_FALSE(sk::EqualsIgnoreCase(L"[", L"{")); // 0x5B and 0x7B differ by 32 but are no letters
    EXPECT_EQ(sk::ToUpperAscii(L"05-dec-2026 ä"), L"05-DEC-2026 ä");
    EXPECT_EQ(sk::ToLowerAscii(L"EDF Ä"), L"edf Ä");
}

TEST(Format, WindowsWideConversionsAreRewritten) {
    const struct { const wchar_t* in; const wchar_t* out; } cases[] = {
        {L"%s", L"%ls"},           {L"%S", L"%s"},          {L"%ws", L"%ls"},        {L"%hs", L"%s"},
        {L"%ls", L"%ls"},          {L"%-12s|", L"%-12ls|"}, {L"%.*s", L"%.*ls"},     {L"%c%C", L"%lc%c"},
        {L"%I64d %I64X", L"%lld %llX"}, {L"%I32d", L"%d"},  {L"%%s", L"%%s"},        {L"100%%", L"100%%"},
        {L"%02d.%03u", L"%02d.%03u"},   {L"%.*f %e", L"%.*f %e"}, {L"%lld %zu", L"%lld %zu"},
        {L"%n", L"%%n"},           {L"%-5n", L"%%n"},       {L"trailing %", L"trailing %"},
    };
    for (const auto& c : cases) EXPECT_EQ(sk::TranslateWideFormat(c.in), c.out) << std::wstring(c.in).size();
    EXPECT_EQ(sk::FormatW(L"annotation %S at %s", "Gr\xc3\xbc\xc3\x9f" "e", L"+12.5"), L"annotation Grüße at +12.5");
    EXPECT_EQ(sk::FormatW(L"%I64d|%I64u", INT64_MIN, UINT64_MAX), L"-9223372036854775808|18446744073709551615");
    const std::wstring longText(5000, L'x');
    EXPECT_EQ(sk::FormatW(L"<%s>", longText.c_str()), L"<" + longText + L">");
    EXPECT_EQ(sk::FormatW(L"bad %S", "\xff"), L"bad %S [format error]") << "narrow text that is not UTF-8";
    EXPECT_EQ(sk::FormatA("%.2f|%8.1e", 3.14159, 0.000123), "3.14| 1.2e-04");
}

// A process locale with a decimal comma must not leak into formatted numbers.
TEST(Format, NumbersIgnoreTheProcessLocale) {
    const char* got = nullptr;
    for (const char* l : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE"})
        if ((got = std::setlocale(LC_ALL, l))) break;
    if (!got) GTEST_SKIP() << "no locale with a decimal comma installed";
    EXPECT_EQ(sk::FormatW(L"%.1f", 2.5), L"2.5");
    EXPECT_EQ(sk::FormatA("%.1f", 2.5), "2.5");
    std::setlocale(LC_ALL, "C");
}

TEST(Log, CaptureRecordsExactTextLevelFileAndLineAndEventRecords) {
    sk::LogCapture outer;
    sk::LogCapture cap;
    const int line = __LINE__ + 1;
    SKLOG(8, L"CSkrivoer::WriteString - Error writing to file: %d", 112);
    SKLOG(32, L"%s - %I64d", L"CSkrivoer::WriteRecords", int64_t{1} << 40);
    const auto msgs = cap.Messages();
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0].text, L"CSkrivoer::WriteString - Error writing to file: 112");
    EXPECT_EQ(msgs[0].level, 8u);
    EXPECT_EQ(msgs[0].component, L"SKRIVO");
    EXPECT_EQ(msgs[0].file, "TextTest.cpp");
    EXPECT_EQ(msgs[0].line, line);
    EXPECT_EQ(msgs[1].text, L"CSkrivoer::WriteRecords - 1099511627776");
    EXPECT_FALSE(cap.Contains(L"CSkrivoer::WriteString - Error writing to file: 112", 1)) << "another level";
    EXPECT_EQ(cap.Texts(32).size(), 1u);

    const int eventLine = __LINE__ + 1;
    SK_EVENTLOG_EXCEPTION(L"header does not end at byte 256");
    SK_EVENTLOG_EXCEPTION_CAT(L"", 3);
    COrlException(0x1234u, "dir\\Other.cpp", 9).Report();
    const auto recs = cap.EventRecords();
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[0].code, 0xC1010001u);
    EXPECT_EQ(recs[0].text, L"header does not end at byte 256");
    EXPECT_EQ(recs[0].file, "TextTest.cpp");
    EXPECT_EQ(recs[0].line, eventLine);
    EXPECT_EQ(recs[1].category, 3);
    EXPECT_EQ(recs[2].file, "Other.cpp") << "Windows separators are cut too";
    EXPECT_EQ(cap.EventCount(), 2u);
    EXPECT_EQ(cap.EventCount(0x1234u), 1u);
    cap.Clear();
    EXPECT_TRUE(cap.Messages().empty());
    EXPECT_EQ(outer.EventRecords().size(), 3u) << "nested captures both see everything";
}

TEST(Log, CaptureIsThreadSafe) {
    sk::LogCapture cap;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                SKLOG(8, L"worker %d message %d", t, i);
                if (i % 50 == 0) SK_EVENTLOG_EXCEPTION(L"w");
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(cap.Messages().size(), 800u);
    EXPECT_EQ(cap.EventCount(), 16u);
    EXPECT_TRUE(cap.Contains(L"worker 3 message 199"));
}

// Without a capture, the level mask decides what is written, and where.
TEST(Log, LevelMaskAndOutputFilesFromTheEnvironment) {
    sk::test::TempDir dir("log");
    const auto read = [&](const char* name) {
        std::stringstream s;
        s << std::ifstream(dir / name).rdbuf();
        return s.str();
    };
    {
        sk::test::ScopedEnv file("SKRIVO_LOG_FILE", (dir / "skrivo.log").string());
        sk::test::ScopedEnv events("SKRIVO_EVENTLOG_FILE", (dir / "events.log").string());
        sk::test::ScopedEnv levels("SKRIVO_LOG_LEVELS", "0x9");
        CTaviLogManager::Reconfigure();
        SKLOG(8, L"level eight");
        SKLOG(32, L"level thirty-two");
        SKLOG(1, L"level one ü");
        SK_EVENTLOG_EXCEPTION(L"consistency");
        CTaviLogManager::GetComponent(L"OTHER")->Write(8, __FILE__, 7, L"%s", L"other component");
        const std::string log = read("skrivo.log");
        EXPECT_NE(log.find("[SKRIVO] L8 TextTest.cpp("), std::string::npos) << log;
        EXPECT_NE(log.find("): level eight\n"), std::string::npos);
        EXPECT_NE(log.find("level one \xc3\xbc"), std::string::npos) << "UTF-8 in the file";
        EXPECT_EQ(log.find("thirty-two"), std::string::npos);
        EXPECT_NE(log.find("[OTHER] L8 TextTest.cpp(7): other component"), std::string::npos);
        EXPECT_NE(read("events.log").find("EVENT 0xC1010001 TextTest.cpp("), std::string::npos);
    }
    {
        sk::test::ScopedEnv levels("SKRIVO_LOG_LEVELS", "0");
        CTaviLogManager::Reconfigure();
        EXPECT_FALSE(CTaviLogManager::IsLoggingOn());
        sk::LogCapture cap;
        EXPECT_TRUE(CTaviLogManager::IsLoggingOn()) << "a capture turns everything on";
    }
    CTaviLogManager::Reconfigure();
    EXPECT_EQ(sk::SkrivoLogger(), CTaviLogManager::GetComponent(L"SKRIVO")) << "one component, kept";
}

} // namespace

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>

#include "platform/Format.h"

namespace {

TEST(Format, WindowsWideConversionsAreRewritten) {
    const struct { const wchar_t* in; const wchar_t* out; } cases[] = {
        {L"%s", L"%ls"},           {L"%S", L"%s"},          {L"%ws", L"%ls"},        {L"%hs", L"%s"},
        {L"%ls", L"%ls"},          {L"%-12s|", L"%-12ls|"}, {L"%.*s", L"%.*ls"},     {L"%c%C", L"%lc%c"},
        {L"%I64d %I64X", L"%lld %llX"}, {L"%I32d", L"%d"},  {L"%%s", L"%%s"},        {L"100%%", L"100%%"},
        {L"%02d.%03u", L"%02d.%03u"},   {L"%.*f %e", L"%.*f %e"}, {L"%lld %zu", L"%lld %zu"},
        {L"%n", L"%%n"},           {L"%-5n", L"%%n"},       {L"trailing %", L"trailing %"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sk::TranslateWideFormat(c.in), c.out) << std::wstring(c.in).size();
}

TEST(Format, FormatsArgumentsAsTheMessagesNeed) {
    EXPECT_EQ(sk::FormatW(L"CSkrivoer::ProcessRecordData - Unrecognized channel definition - '%s'", L"Bogus"),
              L"CSkrivoer::ProcessRecordData - Unrecognized channel definition - 'Bogus'");
    EXPECT_EQ(sk::FormatW(L"Writing annotation %S with offset %S", "Gr\xc3\xbc\xc3\x9f" "e", "+12.5"),
              L"Writing annotation Grüße with offset +12.5");
    EXPECT_EQ(sk::FormatW(L"%I64d|%I64u", INT64_MIN, UINT64_MAX),
              L"-9223372036854775808|18446744073709551615");
    EXPECT_EQ(sk::FormatW(L"Headbox%02d", 7), L"Headbox07");
    EXPECT_EQ(sk::FormatW(L"Unknown error 0x%0X", 0x80070057u), L"Unknown error 0x80070057");
    EXPECT_EQ(sk::FormatW(L"%.*e", 3, 12345.678), L"1.235e+04");
    const std::wstring longText(5000, L'x');
    EXPECT_EQ(sk::FormatW(L"<%s>", longText.c_str()), L"<" + longText + L">");
    EXPECT_EQ(sk::FormatW(L"bad %S", "\xff"), L"bad %S [format error]") << "narrow text that is not UTF-8";
    EXPECT_EQ(sk::FormatA("%.2f|%8.1e", 3.14159, 0.000123), "3.14| 1.2e-04");
}

// A process locale with a decimal comma must not leak into formatted numbers.
TEST(Format, NumbersIgnoreTheProcessLocale) {
    const char* tried[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE"};
    const char* got = nullptr;
    for (const char* l : tried)
        if ((got = std::setlocale(LC_ALL, l)))
            break;
    if (!got)
        GTEST_SKIP() << "no locale with a decimal comma installed";
    EXPECT_EQ(sk::FormatW(L"%.1f", 2.5), L"2.5");
    EXPECT_EQ(sk::FormatA("%.1f", 2.5), "2.5");
    std::setlocale(LC_ALL, "C");
}

} // namespace

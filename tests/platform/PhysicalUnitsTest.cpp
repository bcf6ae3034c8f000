#include "platform/appcommon/PhysicalUnits.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(PhysicalUnits, LanguageNeutralNames) {
    struct Case {
        CPhysicalUnits::Units units;
        const wchar_t* text;
    } cases[] = {
        {CPhysicalUnits::Microvolts, L"\u00B5V"},      {CPhysicalUnits::Millivolts, L"mV"},
        {CPhysicalUnits::Volts, L"V"},                 {CPhysicalUnits::DegreesCelsius, L"\u00B0C"},
        {CPhysicalUnits::BeatsPerMinute, L"beats/min"}, {CPhysicalUnits::BreathsPerMinute, L"breaths/min"},
        {CPhysicalUnits::LitresPerMinute, L"litres/min"}, {CPhysicalUnits::Percent, L"%"},
        {CPhysicalUnits::CmH2O, L"cmH2O"},             {CPhysicalUnits::MmHg, L"mmHg"},
        {CPhysicalUnits::Degrees, L"\u00B0"},          {CPhysicalUnits::Lux, L"lx"},
        {CPhysicalUnits::Decibels, L"dB"},             {CPhysicalUnits::Kiloohms, L"kOhm"},
        {CPhysicalUnits::Counts, L"counts"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CPhysicalUnits::ToLangNeutralString(c.units), c.text);
        EXPECT_EQ(CPhysicalUnits::FromLangNeutralString(c.text), c.units);
    }
    EXPECT_EQ(std::size(cases), static_cast<size_t>(CPhysicalUnits::LastUnits));
}

TEST(PhysicalUnits, EveryUnitHasItsOwnNameAndStrangersHaveNone) {
    std::set<std::wstring> seen;
    for (int u = 1; u <= CPhysicalUnits::LastUnits; ++u) {
        std::wstring s = CPhysicalUnits::ToLangNeutralString(u);
        EXPECT_FALSE(s.empty()) << u;
        EXPECT_TRUE(seen.insert(s).second) << u;
    }
    for (int u : {0, -1, CPhysicalUnits::LastUnits + 1, 1 << 30}) EXPECT_EQ(CPhysicalUnits::ToLangNeutralString(u), L"");
    for (const wchar_t* s : {L"", L"uV", L"µv", L"degC", L"bpm", L"Mv"})
        EXPECT_EQ(CPhysicalUnits::FromLangNeutralString(s), CPhysicalUnits::Unknown) << s;
}

} // namespace

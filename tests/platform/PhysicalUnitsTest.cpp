#include "platform/appcommon/PhysicalUnits.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(PhysicalUnits, EveryUnitHasItsOwnNameAndStrangersHaveNone) {
    std::set<std::wstring> seen;
    for (int u = 1; u <= CPhysicalUnits::LastUnits; ++u) {
        std::wstring s = CPhysicalUnits::ToLangNeutralString(u);
        EXPECT_FALSE(s.empty()) << u;
        EXPECT_TRUE(seen.insert(s).second) << u;
        EXPECT_EQ(CPhysicalUnits::FromLangNeutralString(s), u) << u;
    }
    for (int u : {0, -1, CPhysicalUnits::LastUnits + 1, 1 << 30}) EXPECT_EQ(CPhysicalUnits::ToLangNeutralString(u), L"");
    for (const wchar_t* s : {L"", L"uV", L"µv", L"degC", L"bpm", L"Mv"})
        EXPECT_EQ(CPhysicalUnits::FromLangNeutralString(s), CPhysicalUnits::Unknown) << s;
}

} // namespace

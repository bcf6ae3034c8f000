#include "platform/appcommon/HeadboxConfig.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <ostream>
#include <set>
#include <string>

#include "platform/recording/WaveType.h"

namespace {

using Range = CKadeHeadbox::ChannelRange;

std::vector<int> AllTypes() {
    std::vector<int> t;
    for (int i = CKadeHeadboxConfig::kFirstType; i <= CKadeHeadboxConfig::kLastType; ++i) t.push_back(i);
    return t;
}

TEST(HeadboxConfig, TypesOutsideTheTableAreRefusedSafely) {
    EXPECT_EQ(CKadeHeadboxConfig::m_HeadboxClass[0], nullptr);
    for (int type : {0, 28, -1, 100, INT_MIN, INT_MAX}) {
        EXPECT_EQ(CKadeHeadboxConfig::GetHeadboxClass(type), nullptr) << type;
        EXPECT_EQ(CKadeHeadboxConfig::CreateHeadbox(type), nullptr) << type;
    }
}

TEST(HeadboxConfig, EveryTypeDescribesAConsistentHeadbox) {
    std::set<std::wstring> models;
    for (int type : AllTypes()) {
        SCOPED_TRACE(type);
        const CHeadboxClass* cls = CKadeHeadboxConfig::m_HeadboxClass[static_cast<size_t>(type)];
        ASSERT_NE(cls, nullptr);
        EXPECT_EQ(cls->m_nType, type);
        EXPECT_TRUE(models.insert(cls->m_lpszName).second) << "model names must be distinct";
        std::unique_ptr<CKadeHeadbox> hb(cls->CreateObject());
        ASSERT_NE(hb, nullptr);
        EXPECT_EQ(hb->GetType(), type);
        EXPECT_EQ(hb->GetName(), cls->m_lpszName);

        const int n = hb->GetChannelCount();
        EXPECT_GT(hb->GetACChannelCount(), 0);
        EXPECT_LE(hb->GetACChannelCount(), n);
        EXPECT_LE(n, 544) << "more channels than a sample frame holds";
        EXPECT_EQ(IntOf(hb->GetConfiguration().GetAt(L"ChannelCount"), -1), n);
        EXPECT_EQ(IntOf(hb->GetConfiguration().GetAt(L"ACChannelCount"), -1), hb->GetACChannelCount());

        std::vector<std::wstring> names = hb->GetDefaultChannelNames();
        ASSERT_EQ(static_cast<int>(names.size()), n);
        EXPECT_EQ(std::set<std::wstring>(names.begin(), names.end()).size(), names.size()) << "duplicate input name";
        for (const auto& name : names) {
            EXPECT_FALSE(name.empty());
            EXPECT_LE(name.size(), 16u);
        }
        std::vector<std::wstring> sleep = hb->GetDefaultSleepChannelNames();
        EXPECT_TRUE(sleep.empty() || static_cast<int>(sleep.size()) == n);
        EXPECT_EQ(std::set<std::wstring>(sleep.begin(), sleep.end()).size(), sleep.size());

        // AC inputs come first: the configuration's display types must agree
        // with the AC count, in both naming modes.
        for (bool sleepMode : {false, true}) {
            const std::vector<int>& dts = hb->GetDefaultDisplayTypes(sleepMode);
            ASSERT_EQ(static_cast<int>(dts.size()), n);
            for (int c = 0; c < n; ++c) {
                const CWaveType* wt = WaveTypePtrLookup(dts[static_cast<size_t>(c)]);
                ASSERT_NE(wt, nullptr) << "channel " << c;
                EXPECT_EQ(wt->GetKind() == CWaveType::KindAC, c < hb->GetACChannelCount()) << "channel " << c;
            }
        }

        // Stored samples have usable ranges on every channel, and the
        // 24-bit ones leave the out-of-range marker codes free.
        ASSERT_EQ(static_cast<int>(hb->GetChannelRanges(99.0, 1).size()), n);
        std::vector<Range> ranges = hb->GetStorageRanges();
        ASSERT_EQ(static_cast<int>(ranges.size()), n);
        for (int c = 0; c < n; ++c) {
            const Range& r = ranges[static_cast<size_t>(c)];
            EXPECT_LT(r.digitalMinimum, r.digitalMaximum) << c;
            EXPECT_LT(r.physicalMinimum, r.physicalMaximum) << c;
            EXPECT_LT(r.digitalMaximum, 0x7FFF80) << c;
            EXPECT_GT(r.digitalMinimum, -0x800000) << c;
            EXPECT_FALSE(CPhysicalUnits::ToLangNeutralString(r.units).empty()) << c;
            if (c < hb->GetACChannelCount()) {
                EXPECT_EQ(r.units, CPhysicalUnits::Microvolts) << c;
            }
        }
    }
}

struct QuirkCase {
    int type;
    double version;
    // what the reported ranges must contain
    bool ac8711;
    bool wrappedAuxMinimum;
    bool oximeterProtocolRange;
};

// Keeps gtest from dumping the struct's bytes into the log.
void PrintTo(const QuirkCase& q, std::ostream* os) {
    *os << "headbox " << q.type << ", firmware " << q.version;
}

// "Type14_Firmware3_9"; a negative version is an unknown one.
std::string QuirkName(const ::testing::TestParamInfo<QuirkCase>& info) {
    const QuirkCase& q = info.param;
    std::string name = "Type" + std::to_string(q.type) + "_Firmware";
    if (q.version < 0)
        return name + "Unknown";
    const long tenths = std::lround(q.version * 10);
    return name + std::to_string(tenths / 10) + "_" + std::to_string(tenths % 10);
}

class HeadboxQuirks : public ::testing::TestWithParam<QuirkCase> {};

TEST_P(HeadboxQuirks, OlderFirmwareReportsTheRangesExportersCorrect) {
    const QuirkCase q = GetParam();
    std::unique_ptr<CKadeHeadbox> hb = CKadeHeadboxConfig::CreateHeadbox(q.type);
    std::vector<Range> r = hb->GetChannelRanges(q.version, -1);
    bool sawAc8711 = false, sawWrapped = false, sawProtocol = false, sawOffsetBinaryAC = false,
         sawOffsetBinaryBipolarDC = false;
    for (int c = 0; c < hb->GetChannelCount(); ++c) {
        const Range& x = r[static_cast<size_t>(c)];
        bool ac = c < hb->GetACChannelCount();
        if (ac && x.physicalMinimum == -8711.0 && x.physicalMaximum == 8711.0) sawAc8711 = true;
        if (x.physicalMinimum == 4294934528.0) sawWrapped = true;
        if (x.physicalMinimum == 0.0 && x.physicalMaximum == 127.0 && x.digitalMaximum == 127) sawProtocol = true;
        if (x.digitalMinimum == 0 && ac) sawOffsetBinaryAC = true;
        if (x.digitalMinimum == 0 && !ac && x.physicalMinimum < 0) sawOffsetBinaryBipolarDC = true;
    }
    EXPECT_EQ(sawAc8711, q.ac8711);
    EXPECT_EQ(sawWrapped, q.wrappedAuxMinimum);
    EXPECT_EQ(sawProtocol, q.oximeterProtocolRange);
    bool offsetBinary = q.type == 24 || q.type == 25;
    EXPECT_EQ(sawOffsetBinaryAC, offsetBinary);
    EXPECT_EQ(sawOffsetBinaryBipolarDC, offsetBinary);
}

INSTANTIATE_TEST_SUITE_P(
    Types, HeadboxQuirks,
    ::testing::Values(QuirkCase{14, -1.0, true, false, false}, QuirkCase{14, 3.9, true, false, false},
                      QuirkCase{14, 4.0, false, false, false}, QuirkCase{24, -1.0, false, true, false},
                      QuirkCase{24, 3.0, false, true, false}, QuirkCase{25, 2.5, false, true, false},
                      QuirkCase{25, 7.0, false, true, false}, QuirkCase{26, -1.0, false, false, true},
                      QuirkCase{26, 2.0, false, false, false}, QuirkCase{27, 1.9, false, false, true},
                      QuirkCase{27, 2.1, false, false, false}, QuirkCase{5, -1.0, false, false, false},
                      QuirkCase{20, -1.0, false, false, false}),
    QuirkName);

} // namespace

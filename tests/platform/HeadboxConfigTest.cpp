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

TEST(HeadboxConfig, NameListsDifferWhereTheHeadboxRecordsSleep) {
    std::unique_ptr<CKadeHeadbox> psg = CKadeHeadboxConfig::CreateHeadbox(5);
    auto def = psg->GetDefaultChannelNames();
    auto sleep = psg->GetDefaultSleepChannelNames();
    ASSERT_EQ(def.size(), sleep.size());
    // Same converter inputs, named for their use: X1 records the left EOG.
    EXPECT_EQ(def[0], L"F3");
    EXPECT_EQ(sleep[0], L"F3");
    EXPECT_EQ(def[8], L"X1");
    EXPECT_EQ(sleep[8], L"LOC");
    EXPECT_EQ(psg->GetDefaultDisplayTypes(true)[8], sk::display::EOG);
    EXPECT_EQ(psg->GetDefaultDisplayTypes(false)[8], sk::display::Polygraphic);

    int withoutSleepList = 0;
    for (int type : AllTypes())
        if (CKadeHeadboxConfig::CreateHeadbox(type)->GetDefaultSleepChannelNames().empty()) ++withoutSleepList;
    EXPECT_GT(withoutSleepList, 0);
    // The list key exists (empty) even then, so a reader sees an empty list.
    std::unique_ptr<CKadeHeadbox> routine = CKadeHeadboxConfig::CreateHeadbox(1);
    const CItemList* empty = AsItemList(routine->GetConfiguration().GetAt(L"DefaultSleepChanNameList"));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->GetCount(), 0);

    std::unique_ptr<CKadeHeadbox> eeg = CKadeHeadboxConfig::CreateHeadbox(1);
    auto names = eeg->GetDefaultChannelNames();
    EXPECT_EQ(std::vector<std::wstring>(names.begin(), names.begin() + 3),
              (std::vector<std::wstring>{L"Fp1", L"Fp2", L"F7"}));
}

TEST(HeadboxConfig, MultiBreakoutHeadboxHasFourBreakoutsAndBaseDCInputs) {
    std::unique_ptr<CKadeHeadbox> hb = CKadeHeadboxConfig::CreateHeadbox(20);
    ASSERT_NE(hb, nullptr);
    EXPECT_EQ(hb->GetChannelCount(), 544);
    EXPECT_EQ(hb->GetACChannelCount(), 512);
    auto names = hb->GetDefaultChannelNames();
    EXPECT_EQ(names[0], L"B1-001");
    EXPECT_EQ(names[128], L"B2-001");
    EXPECT_EQ(names[511], L"B4-128");
    EXPECT_EQ(names[512], L"SpO2");
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

TEST(HeadboxConfig, CorrectedRangesOfCurrentFirmware) {
    // What the quirks are corrected to is what newer firmware reports.
    auto h14 = CKadeHeadboxConfig::CreateHeadbox(14)->GetChannelRanges(5.0, 0);
    EXPECT_EQ(h14[0].physicalMinimum, -10800.0);
    EXPECT_EQ(h14[0].physicalMaximum, 10800.0);
    auto hb26 = CKadeHeadboxConfig::CreateHeadbox(26);
    auto r26 = hb26->GetChannelRanges(2.0, 0);
    auto names = hb26->GetDefaultChannelNames();
    for (size_t c = 0; c < names.size(); ++c)
        if (names[c] == L"SpO2") {
            EXPECT_EQ(r26[c].digitalMaximum, 81280);
            EXPECT_EQ(r26[c].units, CPhysicalUnits::Percent);
        }
    // NaN is an unknown version: old firmware.
    auto nan14 = CKadeHeadboxConfig::CreateHeadbox(14)->GetChannelRanges(std::nan(""), 0);
    EXPECT_EQ(nan14[0].physicalMaximum, 8711.0);
}

// The corrections an exporter applies to reported ranges, by headbox type.
void Correct(int type, bool ac, Range& r) {
    if (type == 24 || type == 25) {
        if (r.digitalMinimum == 0 && (ac || r.physicalMinimum < 0)) {
            r.digitalMaximum /= 2;
            r.digitalMinimum = -r.digitalMaximum;
        }
        if (r.physicalMinimum == 4294934528.0) r.physicalMinimum = -32768.0;
    } else if (type == 26 || type == 27) {
        if (r.physicalMinimum == 0.0 && r.physicalMaximum == 127.0) {
            r.digitalMinimum = 0;
            r.digitalMaximum = 81280;
        }
    } else if (type == 14 && ac && r.physicalMinimum == -8711.0 && r.physicalMaximum == 8711.0) {
        r.physicalMinimum = -10800.0;
        r.physicalMaximum = 10800.0;
    }
}

TEST(HeadboxConfig, CorrectedReportsOfAnyFirmwareGiveTheStorageRanges) {
    for (int type : AllTypes()) {
        auto hb = CKadeHeadboxConfig::CreateHeadbox(type);
        const std::vector<Range> stored = hb->GetStorageRanges();
        ASSERT_EQ(static_cast<int>(stored.size()), hb->GetChannelCount());
        for (double version : {-1.0, 1.0, 2.5, 3.5, 99.0}) {
            std::vector<Range> r = hb->GetChannelRanges(version, -1);
            for (int c = 0; c < hb->GetChannelCount(); ++c) {
                Range x = r[static_cast<size_t>(c)];
                Correct(type, c < hb->GetACChannelCount(), x);
                const Range& want = stored[static_cast<size_t>(c)];
                EXPECT_EQ(x.digitalMinimum, want.digitalMinimum) << type << " " << version << " " << c;
                EXPECT_EQ(x.digitalMaximum, want.digitalMaximum) << type << " " << version << " " << c;
                EXPECT_EQ(x.physicalMinimum, want.physicalMinimum) << type << " " << version << " " << c;
                EXPECT_EQ(x.physicalMaximum, want.physicalMaximum) << type << " " << version << " " << c;
                EXPECT_EQ(x.units, want.units);
            }
        }
    }
    // Headbox 24 stores its AC samples signed: -32767 .. 32767.
    auto s24 = CKadeHeadboxConfig::CreateHeadbox(24)->GetStorageRanges();
    EXPECT_EQ(s24[0].digitalMinimum, -32767);
    EXPECT_EQ(s24[0].digitalMaximum, 32767);
}

} // namespace

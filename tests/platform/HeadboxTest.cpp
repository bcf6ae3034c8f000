// Headbox descriptions, multi-breakout channel mapping and wave type
// calibrations.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <set>
#include <string>

#include "platform/KeyTree.h"
#include "platform/appcommon/HeadboxConfig.h"
#include "platform/recording/MultipleBOSupport.h"
#include "platform/recording/WaveType.h"

namespace {

using Range = CKadeHeadbox::ChannelRange;
namespace dt = sk::display;

TEST(HeadboxConfig, EveryTypeDescribesAConsistentHeadboxAndOthersNone) {
    for (int type : {0, 28, -1, INT_MIN, INT_MAX}) {
        EXPECT_EQ(CKadeHeadboxConfig::GetHeadboxClass(type), nullptr) << type;
        EXPECT_EQ(CKadeHeadboxConfig::CreateHeadbox(type), nullptr) << type;
    }
    std::set<std::wstring> models;
    for (int type = CKadeHeadboxConfig::kFirstType; type <= CKadeHeadboxConfig::kLastType; ++type) {
        SCOPED_TRACE(type);
        std::unique_ptr<CKadeHeadbox> hb = CKadeHeadboxConfig::CreateHeadbox(type);
        ASSERT_NE(hb, nullptr);
        EXPECT_TRUE(models.insert(hb->GetName()).second) << "model names must be distinct";
        const int n = hb->GetChannelCount(), ac = hb->GetACChannelCount();
        EXPECT_TRUE(ac > 0 && ac <= n && n <= 544) << "a sample frame holds 544 channels";

        const std::vector<std::wstring> names = hb->GetDefaultChannelNames(), sleep = hb->GetDefaultSleepChannelNames();
        ASSERT_EQ(static_cast<int>(names.size()), n);
        EXPECT_EQ(std::set<std::wstring>(names.begin(), names.end()).size(), names.size()) << "duplicate input name";
        for (const auto& name : names) EXPECT_TRUE(!name.empty() && name.size() <= 16) << "a label holds 16 characters";
        EXPECT_TRUE(sleep.empty() || static_cast<int>(sleep.size()) == n);
        EXPECT_EQ(std::set<std::wstring>(sleep.begin(), sleep.end()).size(), sleep.size());

        // AC inputs come first, in both naming modes.
        for (bool sleepMode : {false, true}) {
            const std::vector<int>& dts = hb->GetDefaultDisplayTypes(sleepMode);
            ASSERT_EQ(static_cast<int>(dts.size()), n);
            for (int c = 0; c < n; ++c) {
                const CWaveType* wt = WaveTypePtrLookup(dts[static_cast<size_t>(c)]);
                ASSERT_NE(wt, nullptr) << c;
                EXPECT_EQ(wt->GetKind() == CWaveType::KindAC, c < ac) << c;
            }
        }
        // Stored samples have usable ranges on every channel, and the
        // 24-bit ones leave the out-of-range marker codes free.
        ASSERT_EQ(static_cast<int>(hb->GetChannelRanges(99.0, 1).size()), n);
        const std::vector<Range> ranges = hb->GetStorageRanges();
        ASSERT_EQ(static_cast<int>(ranges.size()), n);
        for (int c = 0; c < n; ++c) {
            const Range& r = ranges[static_cast<size_t>(c)];
            EXPECT_LT(r.digitalMinimum, r.digitalMaximum) << c;
            EXPECT_LT(r.physicalMinimum, r.physicalMaximum) << c;
            EXPECT_LT(r.digitalMaximum, 0x7FFF80) << c;
            EXPECT_GT(r.digitalMinimum, -0x800000) << c;
            EXPECT_FALSE(CPhysicalUnits::ToLangNeutralString(r.units).empty()) << c;
            EXPECT_TRUE(c >= ac || r.units == CPhysicalUnits::Microvolts) << "AC inputs in µV, " << c;
        }
    }
}

// What older firmware reports, which the exporters correct.
TEST(HeadboxConfig, OlderFirmwareReportsKnownWrongRanges) {
    const struct {
        int type;
        double version; // negative: unknown
        bool ac8711, wrappedAuxMinimum, oximeterProtocolRange;
    } cases[] = {
        {14, -1.0, true, false, false},  {14, 3.9, true, false, false},   {14, 4.0, false, false, false},
        {24, -1.0, false, true, false},  {24, 3.0, false, true, false},   {25, 7.0, false, true, false},
        {26, -1.0, false, false, true},  {26, 1.9, false, false, true},   {26, 2.0, false, false, false},
        {27, 1.9, false, false, true},   {27, 2.1, false, false, false},  {5, -1.0, false, false, false},
        {20, -1.0, false, false, false},
    };
    for (const auto& q : cases) {
        SCOPED_TRACE(testing::Message() << "headbox " << q.type << ", firmware " << q.version);
        std::unique_ptr<CKadeHeadbox> hb = CKadeHeadboxConfig::CreateHeadbox(q.type);
        const std::vector<Range> r = hb->GetChannelRanges(q.version, -1), stored = hb->GetStorageRanges();
        bool ac8711 = false, wrapped = false, protocol = false, offsetBinaryAC = false, offsetBinaryBipolarDC = false;
        for (int c = 0; c < hb->GetChannelCount(); ++c) {
            const Range& x = r[static_cast<size_t>(c)];
            const bool ac = c < hb->GetACChannelCount();
            ac8711 |= ac && x.physicalMinimum == -8711.0 && x.physicalMaximum == 8711.0;
            protocol |= x.physicalMinimum == 0.0 && x.physicalMaximum == 127.0 && x.digitalMaximum == 127;
            offsetBinaryAC |= x.digitalMinimum == 0 && ac;
            offsetBinaryBipolarDC |= x.digitalMinimum == 0 && !ac && x.physicalMinimum < 0;
            if (x.physicalMinimum == 4294934528.0) {
                wrapped = true;
                EXPECT_EQ(stored[static_cast<size_t>(c)].digitalMinimum, 0) << "offset-binary aux is stored so";
            }
        }
        EXPECT_EQ(ac8711, q.ac8711);
        EXPECT_EQ(wrapped, q.wrappedAuxMinimum);
        EXPECT_EQ(protocol, q.oximeterProtocolRange);
        EXPECT_EQ(offsetBinaryAC, q.type == 24 || q.type == 25);
        EXPECT_EQ(offsetBinaryBipolarDC, q.type == 24 || q.type == 25);
    }
}

TEST(BreakoutMapping, BothDirectionsAgreeForEveryChannelAndBreakoutCount) {
    for (int breakouts = 1; breakouts <= 4; ++breakouts) {
        SCOPED_TRACE(breakouts);
        CKeyTree study;
        CDataReaderMultipleBOSupport bo;
        EXPECT_TRUE(bo.setHeadboxType(20, breakouts, &study));
        const int stored = 32 + 128 * breakouts;
        EXPECT_EQ(bo.GetStorageChannelCount(), stored);
        EXPECT_EQ(bo.GetCoveredChannelCount(), 128 * breakouts);
        std::set<int> configs;
        for (int s = 0; s < stored; ++s) {
            const int c = bo.ChannelNumber_StorageToConfiguration(s);
            ASSERT_TRUE(c >= 0 && c < 544) << s;
            EXPECT_TRUE(configs.insert(c).second) << "two storage slots for configuration " << c;
            EXPECT_EQ(bo.ChannelNumber_ConfigurationToStorage(c), s);
        }
        for (int c = 0; c < 544; ++c) // inputs of unused breakouts are not stored
            EXPECT_EQ(bo.ChannelNumber_ConfigurationToStorage(c) < 0, c < 512 && c >= 128 * breakouts) << c;
        // The base unit's DC inputs are stored first, so the orders differ.
        EXPECT_EQ(bo.ChannelNumber_StorageToConfiguration(0), 512);
        EXPECT_EQ(bo.ChannelNumber_StorageToConfiguration(32), 0);
        for (int bad : {-1, stored, INT_MIN, INT_MAX}) EXPECT_EQ(bo.ChannelNumber_StorageToConfiguration(bad), -1);
        for (int bad : {-1, 544, INT_MIN}) EXPECT_EQ(bo.ChannelNumber_ConfigurationToStorage(bad), -1);
    }
}

TEST(BreakoutMapping, AbsurdCountsAreClampedAndOtherHeadboxesMapOneToOne) {
    const std::pair<int, int> counts[] = {{0, 1}, {-5, 1}, {5, 4}, {INT_MAX, 4}, {INT_MIN, 1}};
    for (const auto& [given, used] : counts) {
        CDataReaderMultipleBOSupport bo;
        EXPECT_FALSE(bo.setHeadboxType(20, given, nullptr)) << given;
        EXPECT_EQ(bo.GetStorageChannelCount(), 32 + 128 * used) << given;
    }
    CDataReaderMultipleBOSupport bo;
    ASSERT_TRUE(bo.setHeadboxType(5, 2, nullptr));
    EXPECT_EQ(bo.GetStorageChannelCount(), 32);
    for (int c = 0; c < 32; ++c) {
        EXPECT_EQ(bo.ChannelNumber_ConfigurationToStorage(c), c);
        EXPECT_EQ(bo.ChannelNumber_StorageToConfiguration(c), c);
    }
    EXPECT_EQ(bo.ChannelNumber_ConfigurationToStorage(32), -1);
    for (int type : {0, 28}) { // unknown headboxes map nothing, also after a valid setup
        EXPECT_FALSE(bo.setHeadboxType(type, 2, nullptr));
        EXPECT_EQ(bo.GetStorageChannelCount(), 0);
        EXPECT_EQ(bo.ChannelNumber_ConfigurationToStorage(0), -1);
        EXPECT_EQ(bo.ChannelNumber_StorageToConfiguration(0), -1);
    }
}

TEST(WaveType, StudyCalibrationIsPiecewiseLinearAndExtrapolates) {
    for (int d : {-1, static_cast<int>(dt::Count)}) EXPECT_EQ(WaveTypePtrLookup(d), nullptr) << d;
    for (int d = 0; d < dt::Count; ++d)
        EXPECT_EQ(WaveTypePtrLookup(d)->GetName().find(L'.'), std::wstring::npos) << "names are calibration keys";
    CKeyTree cal;
    const CWaveType* spo2 = WaveTypePtrLookup(dt::SpO2);
    EXPECT_DOUBLE_EQ(spo2->ToCalibrated(1000000.0, &cal), 100.0) << "the default without an entry";
    EXPECT_DOUBLE_EQ(spo2->ToCalibrated(-1000000.0, &cal), 0.0);
    EXPECT_FALSE(spo2->LoadCalibration(CCalFileArchivist(&cal)).IsFromStudy());
    ASSERT_TRUE(CCalFileArchivist::WritePoints(cal, spo2->GetName(), dt::SpO2,
                                               {{-500000.0, 50.0}, {0.0, 80.0}, {500000.0, 100.0}}));
    CWaveCalibration c = spo2->LoadCalibration(CCalFileArchivist(&cal));
    EXPECT_TRUE(c.IsFromStudy());
    const std::pair<double, double> cases[] = {{-500000.0, 50.0}, {-250000.0, 65.0}, {0.0, 80.0}, {250000.0, 90.0},
                                               {500000.0, 100.0}, {1000000.0, 120.0}, {-1000000.0, 20.0}};
    for (const auto& [in, out] : cases) {
        EXPECT_DOUBLE_EQ(spo2->ToCalibrated(in, c), out) << in;
        EXPECT_DOUBLE_EQ(spo2->ToCalibrated(in, &cal), out) << in;
    }
    // Another wave type is not affected by the SpO2 entry.
    EXPECT_DOUBLE_EQ(WaveTypePtrLookup(dt::PulseRate)->ToCalibrated(1000000.0, &cal), 250.0);
    // Uncalibrated kinds convert nothing, even with an entry of their name.
    const CWaveType* eeg = WaveTypePtrLookup(dt::EEG);
    ASSERT_TRUE(CCalFileArchivist::WritePoints(cal, eeg->GetName(), dt::EEG, {{0.0, 5.0}, {1.0, 9.0}}));
    EXPECT_DOUBLE_EQ(eeg->ToCalibrated(42.0, &cal), 42.0);
    // Writing again replaces the entry.
    ASSERT_TRUE(CCalFileArchivist::WritePoints(cal, spo2->GetName(), dt::SpO2, {{0.0, 0.0}, {1.0, 2.0}}));
    EXPECT_DOUBLE_EQ(spo2->ToCalibrated(3.0, &cal), 6.0);
    EXPECT_EQ(cal.GetCount(), 2);
}

TEST(WaveType, MalformedCalibrationsAreNeitherReadNorWritten) {
    const auto list = [](std::initializer_list<double> v, bool text = false) {
        auto* l = new CItemList;
        for (double d : v) l->Append(text ? static_cast<CItem*>(new CLstring(std::to_wstring(d))) : new CLreal(d));
        return l;
    };
    // A calibration entry made by hand, bypassing the writer's checks.
    const auto entry = [](CItemList* in, CItemList* val) {
        CKeyTree cal;
        auto* e = new CKeyTree;
        if (in) e->AddKey(L"Input", in);
        e->AddKey(L"Value", val);
        cal.AddKey(L"SpO2", e);
        return cal;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto *manyInputs = new CItemList, *manyValues = new CItemList;
    for (int i = 0; i < 65; ++i) {
        manyInputs->Append(new CLreal(i));
        manyValues->Append(new CLreal(i));
    }
    std::vector<CKeyTree> bad;
    bad.push_back(entry(list({0.0}), list({1.0})));                      // one point
    bad.push_back(entry(list({0.0, 0.0}), list({1.0, 2.0})));            // inputs not increasing
    bad.push_back(entry(list({1.0, 0.0}), list({1.0, 2.0})));            // decreasing
    bad.push_back(entry(list({0.0, nan}), list({1.0, 2.0})));            // NaN input
    bad.push_back(entry(list({0.0, 1.0}), list({1.0, INFINITY})));       // infinite value
    bad.push_back(entry(list({0.0, 1.0, 2.0}), list({1.0, 2.0})));       // sizes differ
    bad.push_back(entry(list({0.0, 1.0}, true), list({1.0, 2.0})));      // texts
    bad.push_back(entry(manyInputs, manyValues));                        // too many points
    bad.push_back(entry(nullptr, list({1.0, 2.0})));                     // no inputs
    bad.emplace_back().AddKey(L"SpO2", 5);                               // not a tree
    const CWaveType* spo2 = WaveTypePtrLookup(dt::SpO2);
    for (size_t i = 0; i < bad.size(); ++i) {
        std::vector<CCalFileArchivist::Point> p;
        EXPECT_FALSE(CCalFileArchivist(&bad[i]).GetPoints(L"SpO2", p)) << i;
        EXPECT_TRUE(p.empty());
        EXPECT_DOUBLE_EQ(spo2->ToCalibrated(1000000.0, &bad[i]), 100.0) << "the default instead, " << i;
    }
    auto* ints = new CItemList; // integer points are accepted
    ints->Append(new CLinteger(0));
    ints->Append(new CLinteger(10));
    CKeyTree ok = entry(ints, list({0.0, 100.0}));
    EXPECT_DOUBLE_EQ(spo2->ToCalibrated(5.0, &ok), 50.0);

    CKeyTree cal;
    EXPECT_FALSE(CCalFileArchivist::WritePoints(cal, L"SpO2", dt::SpO2, {{0.0, 1.0}}));
    EXPECT_FALSE(CCalFileArchivist::WritePoints(cal, L"Sp.O2", dt::SpO2, {{0.0, 1.0}, {1.0, 2.0}}));
    EXPECT_FALSE(CCalFileArchivist::WritePoints(cal, L"", dt::SpO2, {{0.0, 1.0}, {1.0, 2.0}}));
    EXPECT_FALSE(CCalFileArchivist::WritePoints(cal, L"SpO2", dt::SpO2, {{1.0, 1.0}, {1.0, 2.0}}));
    EXPECT_EQ(cal.GetCount(), 0);
}

} // namespace

// Headbox descriptions, multi-breakout channel mapping, wave type calibrations
// and montages.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <set>
#include <string>

#include "platform/KeyTree.h"
#include "platform/appcommon/HeadboxConfig.h"
#include "platform/recording/Montage.h"
#include "platform/recording/MultipleBOSupport.h"
#include "platform/recording/WaveType.h"
#include "support/TempDir.h"

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

TEST(BreakoutMapping, BothDirectionsAgreeAndOtherHeadboxesMapOneToOne) {
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
    // Absurd counts are clamped; other headboxes map one to one.
    const std::pair<int, int> counts[] = {{0, 1}, {-5, 1}, {5, 4}, {INT_MAX, 4}, {INT_MIN, 1}};
    for (const auto& [given, used] : counts) {
        CDataReaderMultipleBOSupport bo;
        EXPECT_FALSE(bo.setHeadboxType(20, given, nullptr)) << given;
        EXPECT_EQ(bo.GetStorageChannelCount(), 32 + 128 * used) << given;
    }
    CDataReaderMultipleBOSupport bo;
    ASSERT_TRUE(bo.setHeadboxType(5, 2, nullptr));
    EXPECT_EQ(bo.GetStorageChannelCount(), 32);
    for (int c = 0; c < 32; ++c)
        EXPECT_TRUE(bo.ChannelNumber_ConfigurationToStorage(c) == c && bo.ChannelNumber_StorageToConfiguration(c) == c);
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

CHalfMontageChannel Half(std::initializer_list<std::pair<int, float>> inputs, const wchar_t* name = nullptr) {
    CHalfMontageChannel h;
    for (auto [c, k] : inputs) h.AddInput(c, k);
    if (name) h.SetName(name);
    return h;
}

// Fp1 against the average of F3, C3 and P3, plus an ECG pair and a DC channel.
CMontage Sample() {
    CMontage m(1);
    m.SetMontageName(L"Average \u00E9tude");
    m.SetInputNames({L"Fp1", L"Fp2", L"F7", L"F3", L"Fz", L"F4", L"F8", L"T3", L"C3", L"Cz", L"C4", L"T4", L"T5",
                     L"P3"});
    CMontageChannel a(L"Fp1-Avg", sk::display::EEG);
    a.SetFirstHalf(Half({{0, 1.0f}}, L"Fp1"));
    a.SetSecondHalf(Half({{3, 1.0f / 3}, {8, 1.0f / 3}, {13, 1.0f / 3}}, L"Avg"));
    CMontageChannel b(L"ECG", sk::display::ECG);
    b.SetFirstHalf(Half({{1, 1.0f}}, L"Fp2"));
    b.SetSecondHalf(Half({{2, -0.5f}}, L"F7"));
    CMontageChannel c(L"Ref only", sk::display::SpO2);
    c.SetSecondHalf(Half({{4, 1.0f}}, L"Fz"));
    m.AddChannel(a);
    m.AddChannel(b);
    m.AddChannel(c);
    return m;
}

// Two montages are the same when they save to the same tree (names,
// headbox, inputs, every half with its inputs and exact coefficients).
void ExpectSameMontage(const CMontage& x, const CMontage& y) {
    CKeyTree a, b;
    ASSERT_EQ(x.Save(a), 0);
    ASSERT_EQ(y.Save(b), 0);
    EXPECT_TRUE(a.IsEqual(b)) << a.ToString() << "\n" << b.ToString();
    EXPECT_TRUE(x.IsMontagingEqual(y));
}

TEST(Montage, NullTreeGivesTheHeadboxDefaultMontage) {
    for (int type = 1; type <= 27; ++type) {
        CMontage m(type);
        ASSERT_EQ(m.Load(static_cast<const CKeyTree*>(nullptr)), 0) << type;
        const auto names = CKadeHeadboxConfig::CreateHeadbox(type)->GetDefaultChannelNames();
        ASSERT_EQ(static_cast<size_t>(m.GetSize()), names.size()) << type;
        EXPECT_EQ(m.GetInputNames(), names);
        for (int c = 0; c < m.GetSize(); ++c) { // each input alone, against nothing
            const CMontageChannel* ch = m.GetChannel(c);
            EXPECT_EQ(ch->GetName(), names[static_cast<size_t>(c)]);
            ASSERT_TRUE(ch->GetFirstHalf() && !ch->GetSecondHalf()) << type << " " << c;
            EXPECT_EQ(ch->GetFirstHalf()->GetChannel(0), c);
            EXPECT_EQ(ch->GetFirstHalf()->GetCoefficient(0), 1.0f);
        }
    }
    for (int type : {0, 28, -1}) {
        CMontage m(type);
        EXPECT_NE(m.Load(static_cast<const CKeyTree*>(nullptr)), 0) << type;
        EXPECT_EQ(m.GetSize(), 0);
    }
}

TEST(Montage, MalformedTreesFailAndLeaveTheMontageEmpty) {
    using Edit = std::function<void(CKeyTree&)>;
    auto firstHalfInput = [](CKeyTree& t) {
        return AsKeyTree(AsItemList(AsKeyTree(AsItemList(t.GetAt(L"Channels"))->GetChild(0))->GetAt(L"First.Inputs"))
                             ->GetChild(0));
    };
    std::vector<std::pair<const char*, Edit>> edits = {
        {"no channels", [](CKeyTree& t) { t.DeleteKey(L"Channels"); }},
        {"channels not a list", [](CKeyTree& t) { t.SetAt(L"Channels", L"x"); }},
        {"channel not a tree", [](CKeyTree& t) { AsItemList(t.GetAt(L"Channels"))->Append(new CLinteger(3)); }},
        {"negative input", [&](CKeyTree& t) { firstHalfInput(t)->SetAt(L"Channel", -1); }},
        {"input beyond limit", [&](CKeyTree& t) { firstHalfInput(t)->SetAt(L"Channel", CMontage::kMaxInputs); }},
        {"input as text", [&](CKeyTree& t) { firstHalfInput(t)->SetAt(L"Channel", L"3"); }},
        {"coefficient NaN", [&](CKeyTree& t) { firstHalfInput(t)->SetAt(L"Coefficient", std::nan("")); }},
        {"coefficient text", [&](CKeyTree& t) { firstHalfInput(t)->SetAt(L"Coefficient", L"1"); }},
        {"coefficient missing", [&](CKeyTree& t) { firstHalfInput(t)->DeleteKey(L"Coefficient"); }},
        {"headbox type 28", [](CKeyTree& t) { t.SetAt(L"HBType", 28); }},
        {"headbox type text", [](CKeyTree& t) { t.SetAt(L"HBType", L"5"); }},
        {"input name not text", [](CKeyTree& t) { AsItemList(t.GetAt(L"Inputs"))->Append(new CLreal(1.0)); }},
        {"half not a tree", [](CKeyTree& t) {
             AsKeyTree(AsItemList(t.GetAt(L"Channels"))->GetChild(0))->SetAt(L"Second", 7);
         }},
        {"name not text", [](CKeyTree& t) { t.SetAt(L"Name", 7); }},
    };
    for (auto& [what, edit] : edits) {
        CKeyTree tree;
        ASSERT_EQ(Sample().Save(tree), 0);
        edit(tree);
        CMontage m = Sample();
        EXPECT_NE(m.Load(&tree), 0) << what;
        EXPECT_EQ(m.GetSize(), 0) << what;
        EXPECT_TRUE(m.GetInputNames().empty()) << what;
    }
}

TEST(Montage, SaveAndLoadRoundTripAndUnreadableFilesFail) {
    sk::test::TempDir dir("montage");
    const std::wstring path = dir.wpath() + L"/Average.mtg";
    ASSERT_EQ(Sample().Save(path), 0);
    CMontage fromFile(0);
    ASSERT_EQ(fromFile.Load(path), 0);
    ExpectSameMontage(Sample(), fromFile);
    // Saving into a used tree replaces its content.
    CKeyTree tree;
    tree.AddKey(L"Stale", 1);
    ASSERT_EQ(fromFile.Save(tree), 0);
    EXPECT_EQ(tree.GetAt(L"Stale"), nullptr);
    // Halves without a name are named after their inputs.
    auto* ch0 = AsKeyTree(AsItemList(tree.GetAt(L"Channels"))->GetChild(0));
    ch0->DeleteKey(L"First.Name");
    ch0->DeleteKey(L"Second.Name");
    CMontage m(0);
    ASSERT_EQ(m.Load(&tree), 0);
    EXPECT_EQ(m.GetChannel(0)->GetFirstHalf()->GetName(), L"Fp1");
    EXPECT_EQ(m.GetChannel(0)->GetSecondHalf()->GetName(), L"F3+C3+P3");

    EXPECT_NE(m.Load(dir.wpath() + L"/missing.mtg"), 0);
    std::ofstream(dir / "junk.mtg") << "not a key tree";
    EXPECT_NE(m.Load(dir.wpath() + L"/junk.mtg"), 0);
    CKeyTree other;
    other.AddKey(L"Something", 1);
    ASSERT_NE(other.BinSave(dir.wpath() + L"/other.mtg"), 0);
    EXPECT_NE(m.Load(dir.wpath() + L"/other.mtg"), 0) << "a key tree that is no montage";
    EXPECT_NE(Sample().Save(dir.wpath() + L"/no/such/folder/x.mtg"), 0);
}

TEST(Montage, ApplicabilityFollowsHeadboxTypeAndInputs) {
    CMontage rec;
    ASSERT_TRUE(sk::BuildRecordingMontage(5, true, rec));
    EXPECT_TRUE(rec.IsApplicable(5));
    EXPECT_FALSE(rec.IsApplicable(6));

    // A montage for any headbox fits those that have all of its inputs:
    // type 6 has 16 inputs, type 5 has 32.
    CMontage any(0);
    CMontageChannel ch(L"X", 0);
    ch.SetFirstHalf(Half({{15, 1.0f}}));
    any.AddChannel(ch);
    EXPECT_TRUE(any.IsApplicable(6));
    CMontageChannel far(L"Y", 0);
    far.SetSecondHalf(Half({{16, 1.0f}}));
    any.AddChannel(far);
    EXPECT_FALSE(any.IsApplicable(6));
    EXPECT_TRUE(any.IsApplicable(5));
    for (int type : {0, 28, -1}) EXPECT_FALSE(any.IsApplicable(type)) << type;
    EXPECT_FALSE(CMontage(5).IsApplicable(5)) << "an empty montage fits nothing";
    CMontage damaged = rec;
    damaged.GetChannel(0)->SetSecondHalf(Half({{32, 1.0f}}));
    EXPECT_FALSE(damaged.IsApplicable(5)) << "headbox 5 has no input 32";
    EXPECT_TRUE(Half({{31, 1.0f}, {0, 1.0f}}).IsValid(32));
    EXPECT_FALSE(Half({{0, 1.0f}, {32, 1.0f}}).IsValid(32)) << "a limit of 32 ends at input 31";
}

TEST(Montage, MontagingEqualityComparesDerivationsOnly) {
    const CMontage base = Sample();
    using Edit = std::function<void(CMontage&)>;
    struct Case { const char* what; Edit edit; bool equal; };
    std::vector<Case> cases = {
        {"unchanged", [](CMontage&) {}, true},
        {"renamed", [](CMontage& m) { m.SetMontageName(L"x"); m.GetChannel(0)->SetName(L"y"); }, true},
        {"display type", [](CMontage& m) { m.GetChannel(1)->SetDisplayType(7); }, true},
        {"input names", [](CMontage& m) { m.SetInputNames({}); }, true},
        {"coefficient", [](CMontage& m) { m.GetChannel(1)->SetSecondHalf(Half({{2, -0.25f}})); }, false},
        {"input", [](CMontage& m) { m.GetChannel(1)->SetSecondHalf(Half({{3, -0.5f}})); }, false},
        {"half removed", [](CMontage& m) { m.GetChannel(0)->ClearSecondHalf(); }, false},
        {"half added", [](CMontage& m) { m.GetChannel(2)->SetFirstHalf(Half({{4, 1.0f}})); }, false},
        {"extra channel", [](CMontage& m) { m.AddChannel(*m.GetChannel(0)); }, false},
        {"order", [](CMontage& m) { std::swap(*m.GetChannel(0), *m.GetChannel(1)); }, false},
    };
    for (auto& c : cases) {
        CMontage m = base;
        c.edit(m);
        EXPECT_EQ(base.IsMontagingEqual(m), c.equal) << c.what;
        EXPECT_EQ(m.IsMontagingEqual(base), c.equal) << c.what;
    }
}

} // namespace

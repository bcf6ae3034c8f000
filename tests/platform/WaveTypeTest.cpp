#include "platform/recording/WaveType.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/KeyTree.h"

namespace {

namespace dt = sk::display;
using Points = std::vector<CCalFileArchivist::Point>;

TEST(WaveType, EveryDisplayTypeHasOneAndOthersNone) {
    for (int d = 0; d < dt::Count; ++d) {
        const CWaveType* w = WaveTypePtrLookup(d);
        ASSERT_NE(w, nullptr) << d;
        EXPECT_EQ(w->GetDisplayType(), d);
        EXPECT_LT(w->GetCalibratedMinimum(), w->GetCalibratedMaximum()) << d;
        EXPECT_EQ(w->GetName().find(L'.'), std::wstring::npos) << "names are calibration keys";
    }
    for (int d : {-1, static_cast<int>(dt::Count), 1000}) EXPECT_EQ(WaveTypePtrLookup(d), nullptr) << d;
}

TEST(WaveType, DefaultCalibrationMapsTheInputLimitsOntoTheCalibratedRange) {
    for (int d = 0; d < dt::Count; ++d) {
        const CWaveType* w = WaveTypePtrLookup(d);
        if (w->GetKind() != CWaveType::KindCalibratedDC) continue;
        SCOPED_TRACE(d);
        // Negative-up limits: -1e6 times the limits gives the µV range.
        double x = w->GetInputLimitX() * -1000000.0, y = w->GetInputLimitY() * -1000000.0;
        double lo = std::min(x, y), hi = std::max(x, y);
        EXPECT_LT(lo, hi);
        EXPECT_DOUBLE_EQ(w->ToCalibrated(lo, nullptr), w->GetCalibratedMinimum());
        EXPECT_DOUBLE_EQ(w->ToCalibrated(hi, nullptr), w->GetCalibratedMaximum());
        EXPECT_DOUBLE_EQ(w->ToCalibrated((lo + hi) / 2, nullptr),
                         (w->GetCalibratedMinimum() + w->GetCalibratedMaximum()) / 2);
    }
    const CWaveType* spo2 = WaveTypePtrLookup(dt::SpO2);
    EXPECT_DOUBLE_EQ(spo2->ToCalibrated(1000000.0, nullptr), 100.0);
    EXPECT_DOUBLE_EQ(spo2->ToCalibrated(-1000000.0, nullptr), 0.0);
    EXPECT_FALSE(spo2->LoadCalibration(CCalFileArchivist(nullptr)).IsFromStudy());
}

TEST(WaveType, StudyCalibrationIsPiecewiseLinearAndExtrapolates) {
    CKeyTree cal;
    const CWaveType* spo2 = WaveTypePtrLookup(dt::SpO2);
    ASSERT_TRUE(CCalFileArchivist::WritePoints(cal, spo2->GetName(), dt::SpO2,
                                               {{-500000.0, 50.0}, {0.0, 80.0}, {500000.0, 100.0}}));
    CWaveCalibration c = spo2->LoadCalibration(CCalFileArchivist(&cal));
    EXPECT_TRUE(c.IsFromStudy());
    struct Case {
        double in, out;
    } cases[] = {{-500000.0, 50.0}, {-250000.0, 65.0}, {0.0, 80.0}, {250000.0, 90.0},
                 {500000.0, 100.0}, {1000000.0, 120.0}, {-1000000.0, 20.0}};
    for (const auto& k : cases) {
        EXPECT_DOUBLE_EQ(spo2->ToCalibrated(k.in, c), k.out) << k.in;
        EXPECT_DOUBLE_EQ(spo2->ToCalibrated(k.in, &cal), k.out) << k.in;
    }
    // Another wave type is not affected by the SpO2 entry.
    const CWaveType* pulse = WaveTypePtrLookup(dt::PulseRate);
    EXPECT_DOUBLE_EQ(pulse->ToCalibrated(1000000.0, &cal), 250.0);
    // Uncalibrated kinds convert nothing, even with an entry of their name.
    const CWaveType* eeg = WaveTypePtrLookup(dt::EEG);
    ASSERT_TRUE(CCalFileArchivist::WritePoints(cal, eeg->GetName(), dt::EEG, {{0.0, 5.0}, {1.0, 9.0}}));
    EXPECT_DOUBLE_EQ(eeg->ToCalibrated(42.0, &cal), 42.0);
    // Writing again replaces the entry.
    ASSERT_TRUE(CCalFileArchivist::WritePoints(cal, spo2->GetName(), dt::SpO2, {{0.0, 0.0}, {1.0, 2.0}}));
    EXPECT_DOUBLE_EQ(spo2->ToCalibrated(3.0, &cal), 6.0);
    EXPECT_EQ(cal.GetCount(), 2);
}

// Builds a calibration entry by hand, bypassing the writer's checks.
CKeyTree Entry(CItemList* in, CItemList* val) {
    CKeyTree cal;
    auto* e = new CKeyTree;
    if (in) e->AddKey(L"Input", in);
    if (val) e->AddKey(L"Value", val);
    cal.AddKey(L"SpO2", e);
    return cal;
}

CItemList* Reals(std::initializer_list<double> v) {
    auto* l = new CItemList;
    for (double d : v) l->Append(new CLreal(d));
    return l;
}

TEST(WaveType, MalformedCalibrationsFallBackToTheDefault) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto* strings = new CItemList;
    strings->Append(new CLstring(L"0"));
    strings->Append(new CLstring(L"1"));
    auto* many = new CItemList;
    auto* manyValues = new CItemList;
    for (int i = 0; i < 65; ++i) {
        many->Append(new CLreal(i));
        manyValues->Append(new CLreal(i));
    }
    std::vector<CKeyTree> bad;
    bad.push_back(Entry(Reals({0.0}), Reals({1.0})));                       // one point
    bad.push_back(Entry(Reals({0.0, 0.0}), Reals({1.0, 2.0})));             // inputs not increasing
    bad.push_back(Entry(Reals({1.0, 0.0}), Reals({1.0, 2.0})));             // decreasing
    bad.push_back(Entry(Reals({0.0, nan}), Reals({1.0, 2.0})));             // NaN input
    bad.push_back(Entry(Reals({0.0, 1.0}), Reals({1.0, INFINITY})));        // infinite value
    bad.push_back(Entry(Reals({0.0, 1.0, 2.0}), Reals({1.0, 2.0})));        // sizes differ
    bad.push_back(Entry(strings, Reals({1.0, 2.0})));                       // texts
    bad.push_back(Entry(many, manyValues));                                 // too many points
    bad.push_back(Entry(nullptr, Reals({1.0, 2.0})));                       // no inputs
    CKeyTree notTree;
    notTree.AddKey(L"SpO2", 5);
    bad.push_back(notTree);
    const CWaveType* spo2 = WaveTypePtrLookup(dt::SpO2);
    for (size_t i = 0; i < bad.size(); ++i) {
        Points p;
        EXPECT_FALSE(CCalFileArchivist(&bad[i]).GetPoints(L"SpO2", p)) << i;
        EXPECT_TRUE(p.empty());
        EXPECT_DOUBLE_EQ(spo2->ToCalibrated(1000000.0, &bad[i]), 100.0) << i;
    }
    // Integer points are accepted.
    auto* ints = new CItemList;
    ints->Append(new CLinteger(0));
    ints->Append(new CLinteger(10));
    CKeyTree ok = Entry(ints, Reals({0.0, 100.0}));
    EXPECT_DOUBLE_EQ(spo2->ToCalibrated(5.0, &ok), 50.0);
}

TEST(WaveType, WriterRefusesInvalidCalibrations) {
    CKeyTree cal;
    EXPECT_FALSE(CCalFileArchivist::WritePoints(cal, L"SpO2", dt::SpO2, {{0.0, 1.0}}));
    EXPECT_FALSE(CCalFileArchivist::WritePoints(cal, L"Sp.O2", dt::SpO2, {{0.0, 1.0}, {1.0, 2.0}}));
    EXPECT_FALSE(CCalFileArchivist::WritePoints(cal, L"", dt::SpO2, {{0.0, 1.0}, {1.0, 2.0}}));
    EXPECT_FALSE(CCalFileArchivist::WritePoints(cal, L"SpO2", dt::SpO2, {{1.0, 1.0}, {1.0, 2.0}}));
    EXPECT_EQ(cal.GetCount(), 0);
}

} // namespace

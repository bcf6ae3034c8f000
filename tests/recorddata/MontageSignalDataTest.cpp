// Montage derivations: labels, units, reference-first sums, out-of-range
// inputs in either half, breakout mapping and calibrated DC ranges.

#include <gtest/gtest.h>

#include <ostream>

#include <memory>
#include <stdexcept>

#include "FrameBuilder.h"
#include "platform/KeyTree.h"
#include "platform/recording/Montage.h"
#include "platform/recording/MultipleBOSupport.h"
#include "platform/recording/WaveType.h"
#include "recorddata/EDFMontageSignalData.h"

using sk::test::Frames;
using sk::test::LE16;

namespace {

const std::vector<std::wstring> kNames = {L"Fp1", L"F3", L"C3", L"P3", L"O1", L"A2"};

CHalfMontageChannel Half(const std::wstring& name, std::initializer_list<std::pair<int, float>> inputs) {
    CHalfMontageChannel h;
    h.SetName(name);
    for (const auto& [ch, coef] : inputs)
        h.AddInput(ch, coef);
    return h;
}

CMontageChannel Channel(int displayType, const CHalfMontageChannel* first, const CHalfMontageChannel* second) {
    CMontageChannel c(L"x", displayType);
    if (first)
        c.SetFirstHalf(*first);
    if (second)
        c.SetSecondHalf(*second);
    return c;
}

struct LabelCase {
    int displayType;
    std::wstring first;  // empty: no first half
    std::vector<std::pair<int, float>> reference; // empty: no second half
    std::wstring referenceName;
    std::wstring expected;
};

TEST(MontageSignalData, Labels) {
    const float third = 1.0f / 3.0f;
    const LabelCase cases[] = {
        // "EEG Fp1-(F3+C3+P3)/3" has 20 characters.
        {0, L"Fp1", {{1, third}, {2, third}, {3, third}}, L"", L"EEG Fp1-Ref"},
        {-1, L"Fp1", {{1, third}, {2, third}, {3, third}}, L"", L"Fp1-(F3+C3+P3)/3"},
        {3, L"LOC", {{5, 1.0f}}, L"A2", L"EOG LOC-A2"},
        {2, L"EKG1", {}, L"", L"ECG EKG1"},
        {10, L"Thor", {}, L"", L"Resp Thor"},
        {11, L"Flow", {{5, 1.0f}}, L"A2", L"Resp Flow-A2"},
        {-1, L"Fp1", {{1, 0.5f}, {2, 0.25f}}, L"", L"Fp1-Ref"},       // not an average
        {-1, L"Fp1", {{1, 0.5f}, {2, 0.49f}}, L"", L"Fp1-(F3+C3)/2"}, // within 0.01 of one
        {-1, L"Fp1", {{1, 0.5f}, {2, 0.48f}}, L"", L"Fp1-Ref"},
        {-1, L"Abdomen-Belt", {{5, 1.0f}}, L"Thorax", L"Abdomen-Belt-Ref"},
        {-1, L"VeryLongChannelName", {}, L"", L"VeryLongChannelN"},
        {4, L"ChinLeftRight", {{5, 1.0f}}, L"A2", L"EMG ChinLeftRigh"}, // "-Ref" form still too long
        {-1, L"", {{5, 1.0f}}, L"A2", L"-A2"},
        {-1, L"Fp1", {{5, 1.0f}}, L"", L"Fp1"}, // an unnamed single reference adds nothing
        // -1: a display type of unknown kind has no type word; the others
        // follow the kind (calibrated DC quantities, inputs of no known kind).
        {6, L"SpO2", {}, L"", L"SaO2 SpO2"},
        {14, L"CPAP", {}, L"", L"Resp CPAP"},
        {1, L"X1", {}, L"", L"Misc X1"},
        {9, L"Temp", {}, L"", L"Temp Temp"},
        {0, L"eeg Fp1", {{5, 1.0f}}, L"A2", L"eeg Fp1-A2"}, // already typed
        {0, L"EEGFp1", {}, L"", L"EEG EEGFp1"},
    };
    for (const LabelCase& c : cases) {
        const CHalfMontageChannel first = Half(c.first, {{0, 1.0f}});
        CHalfMontageChannel second;
        second.SetName(c.referenceName);
        for (const auto& [ch, coef] : c.reference)
            second.AddInput(ch, coef);
        CMontageChannel mc = Channel(c.displayType, c.first.empty() ? nullptr : &first,
                                     c.reference.empty() ? nullptr : &second);
        CEDFMontageSignalData s(&mc, kNames);
        EXPECT_EQ(s.GetLabel(), c.expected);
    }
}

TEST(MontageSignalData, ReferenceInputOutsideTheNameListFails) {
    const CHalfMontageChannel first = Half(L"Fp1", {{0, 1.0f}});
    const CHalfMontageChannel second = Half(L"", {{1, 0.5f}, {99, 0.5f}});
    CMontageChannel mc = Channel(0, &first, &second);
    EXPECT_THROW({ CEDFMontageSignalData s(&mc, kNames); }, std::invalid_argument);
    EXPECT_EQ(CEDFMontageSignalData::Create(&mc, kNames), nullptr);
    EXPECT_EQ(CEDFMontageSignalData::Create(nullptr, kNames), nullptr);
    CMontage montage;
    montage.SetInputNames(kNames);
    EXPECT_EQ(CEDFMontageSignalData::Create(&mc, &montage), nullptr);
    // With a name for input 99 the label is built.
    std::vector<std::wstring> names(100, L"N");
    names[1] = L"F3";
    names[99] = L"T9";
    std::unique_ptr<CEDFMontageSignalData> ok(CEDFMontageSignalData::Create(&mc, names));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->GetLabel(), L"EEG Fp1-Ref"); // 17 characters with the names
    mc.SetDisplayType(-1);
    ok.reset(CEDFMontageSignalData::Create(&mc, names));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->GetLabel(), L"Fp1-(F3+T9)/2");
}

TEST(MontageSignalData, UnitsFromWaveType) {
    const std::pair<int, const wchar_t*> cases[] = {
        {sk::display::EEG, L"uV"},
        {sk::display::PulseRate, L"bpm"},
        {sk::display::Temperature, L"degC"},
        {sk::display::BodyPosition, L"deg"},
        {sk::display::SpO2, L"%"},
        {-5, L""}, // no wave type: no units
    };
    for (const auto& [type, units] : cases) {
        const CHalfMontageChannel first = Half(L"X", {{0, 1.0f}});
        CMontageChannel mc = Channel(type, &first, nullptr);
        CEDFMontageSignalData s(&mc, kNames);
        EXPECT_EQ(s.GetEDFUnits(), units) << type;
    }
}

// Active input 0 against the mean of inputs 1 and 2, on a unit scale
// (physical == digital), so d = trunc(a - (r1 + r2) / 2 + 0.5).
class Derivation : public ::testing::Test {
protected:
    void SetUp() override {
        first = Half(L"Fp1", {{0, 1.0f}});
        second = Half(L"", {{1, 0.5f}, {2, 0.5f}});
        mc = Channel(1, &first, &second);
        s = std::make_unique<CEDFMontageSignalData>(&mc, kNames);
        s->SetInputRange(-32768, 32767, -32768.0, 32767.0);
        s->ApplyCalibration(nullptr); // not a calibrated type: plain ranges
    }
    int Sample(int32_t a, int32_t r1, int32_t r2, uint8_t flags = 0) {
        Frames f(1);
        f.Set(0, 0, a);
        f.Set(0, 1, r1);
        f.Set(0, 2, r2);
        f.Flags(0, flags);
        return s->GetSample(f.at(0));
    }
    CHalfMontageChannel first, second;
    CMontageChannel mc;
    std::unique_ptr<CEDFMontageSignalData> s;
};

TEST_F(Derivation, SumsAndClamping) {
    EXPECT_EQ(Sample(1000, 200, 301), 750); // 1000 - 250.5 + 0.5
    EXPECT_EQ(Sample(0, 0, 0), 0);
    EXPECT_EQ(Sample(-10, 0, 1), -10);      // -10.5 + 0.5
    EXPECT_EQ(Sample(-10, 0, 2), -10);      // -11 + 0.5 = -10.5 -> -10
    EXPECT_EQ(Sample(30000, -30000, -30000), 32767);
    EXPECT_EQ(Sample(-30000, 30000, 30000), -32768);
    EXPECT_EQ(Sample(1000, 200, 301, 0x80), s->GetZeroCode());
    EXPECT_EQ(s->GetZeroCode(), 0);
}

TEST_F(Derivation, OutOfRangeInEitherHalf) {
    const int32_t above = 0x7FFFC0, above2 = 0x7FFFFF, below = 0x7FFF80;
    struct Case { int32_t a, r1, r2; int expected; } cases[] = {
        {0, below, 0, -32768},      // reference below
        {0, 0, above, 32767},       // reference above (second input)
        {above, below, 0, -32768},  // the reference decides first
        {below, above2, 0, 32767},
        {0, above2, below, 32767},  // the first out-of-range reference input stops the loop
        {below, 0, 0, -32768},      // active below
        {above2, 5, 5, 32767},      // active above
        {above, 0, 0, 32767},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Sample(c.a, c.r1, c.r2), c.expected) << c.a << " " << c.r1 << " " << c.r2;
}

TEST(MontageSignalData, ReferenceOnlyDerivation) {
    const CHalfMontageChannel second = Half(L"A2", {{3, 1.0f}});
    CMontageChannel mc = Channel(-1, nullptr, &second);
    CEDFMontageSignalData s(&mc, kNames);
    EXPECT_EQ(s.GetLabel(), L"-A2");
    s.SetInputRange(-32768, 32767, -32768.0, 32767.0);
    s.Finalize();
    Frames f(3);
    f.Set(0, 3, 100);
    f.Set(1, 3, 0x7FFFC0);
    f.Set(2, 3, 0x7FFF80);
    std::vector<uint8_t> out(6);
    s.GetWriter()->Write(0, 2, f.data(), 3, out.data());
    EXPECT_EQ(out, LE16({-99, 32767, -32768})); // trunc(-100 + 0.5)
}

TEST(MontageSignalData, BreakoutMapperSelectsStorageChannels) {
    // Headbox type 20 with two breakouts stores the 32 DC inputs first, so
    // configuration channel 0 lives in storage slot 32.
    CDataReaderMultipleBOSupport bo;
    ASSERT_TRUE(bo.setHeadboxType(20, 2, nullptr));
    const CHalfMontageChannel first = Half(L"X", {{0, 1.0f}});
    CMontageChannel mc = Channel(1, &first, nullptr);
    CEDFMontageSignalData s(&mc, kNames);
    s.SetInputRange(-32768, 32767, -32768.0, 32767.0);
    s.Finalize();
    Frames f(1);
    f.Set(0, 0, 7);
    f.Set(0, 32, 500);
    EXPECT_EQ(s.GetSample(f.at(0)), 7);
    s.SetBOSupport(&bo);
    EXPECT_EQ(s.GetSample(f.at(0)), 500);
}

struct CalCase {
    const char* name;
    std::vector<CCalFileArchivist::Point> points; // empty: the wave type's default
    int32_t inDigMin, inDigMax;
    double inPhysMin, inPhysMax;
    int32_t edfDigMin, edfDigMax;
    double physMin, physMax;
    std::vector<std::pair<int32_t, int>> samples;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const CalCase& c, std::ostream* os) { *os << c.name; }

// SpO2 (0 .. 100 %) on a +-1 V input: lo = -1e6 uV, hi = 1e6 uV.
//  Points (-1e6,-62500),(1e6,62500): k = 1/16, c = 0, so 0 % and 100 % are
//  0 and 1600 uV; with 1 uV per count the digital range is 0 .. 1600.
//  The same with 0.5 uV per count gives 0 .. 3200.
//  Falling points give -1600 .. 0, stored with the physical range reversed.
const CalCase kCalCases[] = {
    {"Rising", {{-1e6, -62500.0}, {1e6, 62500.0}}, -1000000, 1000000, -1e6, 1e6, 0, 1600, 0.0, 100.0,
     {{800, 800}, {2000, 1600}, {-5, 0}, {0x7FFF80, 0}}},
    {"HalfMicrovoltCounts", {{-1e6, -62500.0}, {1e6, 62500.0}}, -2000000, 2000000, -1e6, 1e6, 0, 3200, 0.0, 100.0,
     {{1600, 1600}}},
    {"Falling", {{-1e6, 62500.0}, {1e6, -62500.0}}, -1000000, 1000000, -1e6, 1e6, -1600, 0, 100.0, 0.0,
     {{-800, -799}, {-1600, -1599}, {-1700, -1600}, {100, 0}}},
    // Default calibration maps +-1e6 uV onto 0 .. 100: the whole input range.
    {"Default", {}, -1000000, 1000000, -1e6, 1e6, -32768, 32767, 0.0, 100.0, {{500000, 16383}}},
};

class CalibrationTest : public ::testing::TestWithParam<CalCase> {};

TEST_P(CalibrationTest, RangesAndSamples) {
    const CalCase& c = GetParam();
    CKeyTree calibration;
    if (!c.points.empty()) {
        ASSERT_TRUE(CCalFileArchivist::WritePoints(calibration, L"SpO2", sk::display::SpO2, c.points));
    }
    const CHalfMontageChannel first = Half(L"SpO2", {{4, 1.0f}});
    CMontageChannel mc = Channel(sk::display::SpO2, &first, nullptr);
    CEDFMontageSignalData s(&mc, kNames);
    s.SetInputRange(c.inDigMin, c.inDigMax, c.inPhysMin, c.inPhysMax);
    s.ApplyCalibration(&calibration);
    int32_t dmin, dmax;
    double pmin, pmax;
    s.GetRange(dmin, dmax, pmin, pmax);
    EXPECT_EQ(dmin, c.edfDigMin);
    EXPECT_EQ(dmax, c.edfDigMax);
    EXPECT_EQ(pmin, c.physMin);
    EXPECT_EQ(pmax, c.physMax);
    for (const auto& [raw, expected] : c.samples) {
        Frames f(1);
        f.Set(0, 4, raw);
        EXPECT_EQ(s.GetSample(f.at(0)), expected) << raw;
    }
}

INSTANTIATE_TEST_SUITE_P(Calibrated, CalibrationTest, ::testing::ValuesIn(kCalCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MontageSignalData, UncalibratedTypeIgnoresCalibration) {
    CKeyTree calibration;
    ASSERT_TRUE(CCalFileArchivist::WritePoints(calibration, L"SpO2", sk::display::SpO2,
                                               {{-1e6, -62500.0}, {1e6, 62500.0}}));
    const CHalfMontageChannel first = Half(L"Fp1", {{0, 1.0f}});
    CMontageChannel mc = Channel(sk::display::EEG, &first, nullptr);
    CEDFMontageSignalData s(&mc, kNames);
    s.SetInputRange(-32768, 32767, -3200.0, 3200.0);
    s.ApplyCalibration(&calibration);
    EXPECT_EQ(s.GetEDFDigitalMin(), -32768);
    EXPECT_EQ(s.GetEDFPhysicalMax(), 3200.0);
    EXPECT_EQ(s.GetZeroCode(), 0);
}

} // namespace

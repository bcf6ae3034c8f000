// The record writers of the data signals: raw channels (EDF ranges, zero
// codes, clamping, out-of-range markers), montage derivations (labels,
// reference-first sums, breakout mapping, calibrated DC ranges), and the
// trigger and patient event streams, down to the bytes they emit.

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <random>
#include <stdexcept>
#include <vector>

#include "platform/KeyTree.h"
#include "platform/recording/Montage.h"
#include "platform/recording/MultipleBOSupport.h"
#include "platform/recording/SampleFrame.h"
#include "platform/recording/WaveType.h"
#include "recorddata/EDFMontageSignalData.h"
#include "recorddata/EDFPatientEventData.h"
#include "recorddata/EDFSimpleSignalData.h"
#include "recorddata/EDFTriggerEventData.h"
#include "recorddata/SkrivoAnnotationManager.h"

namespace {

// Sample frames with consecutive stamps.
struct Frames {
    explicit Frames(size_t count) : bytes(count * frame::kFrameSize, 0) {
        for (size_t i = 0; i < count; ++i)
            frame::SetStamp(at(i), static_cast<int64_t>(i));
    }
    uint8_t* at(size_t i) { return bytes.data() + i * frame::kFrameSize; }
    const uint8_t* data() const { return bytes.data(); }
    void Set(size_t i, int ch, int32_t v) { frame::SetValue(at(i), ch, v); }
    void Flags(size_t i, uint8_t f) { frame::SetFlags(at(i), f); }
    std::vector<uint8_t> bytes;
};

// Little-endian 16-bit values as the bytes a record holds, then `guard`
// bytes of 0xEE (what a writer must leave alone).
std::vector<uint8_t> LE16(const std::vector<int>& values, size_t guard = 0) {
    std::vector<uint8_t> out;
    for (int v : values) {
        const uint16_t u = static_cast<uint16_t>(static_cast<int16_t>(v));
        out.push_back(static_cast<uint8_t>(u & 0xFF));
        out.push_back(static_cast<uint8_t>(u >> 8));
    }
    out.insert(out.end(), guard, 0xEE);
    return out;
}

// Writes n samples of one signal into a buffer with a guard after them.
std::vector<uint8_t> Written(IEDFRecordWriter* w, int64_t start, int64_t end, const uint8_t* frames, uint32_t n,
                             size_t guard = 2) {
    std::vector<uint8_t> out(2 * n + guard, 0xEE);
    EXPECT_EQ(w->Write(start, end, frames, n, out.data()), 2 * n);
    return out;
}

// ---------------------------------------------------------------- raw channels

struct RangeCase {
    const char* name;
    int32_t digMin, digMax;
    double physMin, physMax;
    int32_t edfDigMin, edfDigMax; // expected EDF digital range
    int zeroCode;
    std::vector<int32_t> raw;     // raw values, one frame each
    std::vector<int> expected;    // EDF samples, worked out by hand
    bool invert = false;          // inversion swaps the physical limits, never the samples
};

// Expected samples follow d = trunc(v * gain + offset + 0.5), clamped:
//  symmetric 3200 uV:  gain 1, offset 0 -> trunc(v + 0.5)
//  0..65535 -> full:   gain 1, offset -32768 -> trunc(v - 32767.5)
//  -65535..0 -> full:  gain 1, offset 32767 -> trunc(v + 32767.5)
//  0..65534 -> 0..32767: gain 0.5, offset 0 -> trunc(v / 2 + 0.5); the
//    out-of-range markers give the limits, 0x7FFF81 is an ordinary value
//  -256..768 over 0..4096: gain 1, offset 0, zero at 1024
//  wide input (+-100000 counts over +-1000): gain 65535/200000, offset -0.5
const RangeCase kRangeCases[] = {
    {"Symmetric", -32768, 32767, -3200.0, 3200.0, -32768, 32767, 0,
     {0, 100, -100, 32767, -32768, 40000, -40000},
     {0, 100, -99, 32767, -32767, 32767, -32768}},
    {"Span65535", 0, 65535, 0.0, 65535.0, -32768, 32767, -32768,
     {0, 32768, 65535, 1, 70000},
     {-32767, 0, 32767, -32766, 32767}},
    {"SpanBelowZero", -65535, 0, -65535.0, 0.0, -32768, 32767, 32767,
     {0, -65535, -32768, 2000000000},
     {32767, -32767, 0, 32767}},
    {"Span65534", 0, 65534, 0.0, 65534.0, 0, 32767, 0,
     {0, 1, 2, 3, 65534, -10, 65600, 0x7FFFC0, 0x7FFFFF, 0x7FFF80, 0x7FFF81},
     {0, 1, 1, 2, 32767, 0, 32767, 32767, 32767, 0, 32767}},
    {"AsymmetricZeroInside", 0, 4096, -256.0, 768.0, 0, 4096, 1024,
     {0, 1024, 4096, 5000, -3},
     {0, 1024, 4096, 4096, 0}},
    {"WideInput", -100000, 100000, -1000.0, 1000.0, -32768, 32767, 0,
     {1000, -1000, 0, 200000},
     {327, -327, 0, 32767}},
    {"Inverted", -32768, 32767, -3200.0, 3200.0, -32768, 32767, 0,
     {5, -5, 30000, -32768, 0x7FFF80, 17},
     {5, -4, 30000, -32767, -32768, 17}, true},
};

// The EDF range a signal reports against the row's expected one.
template <typename Signal, typename Row>
void ExpectRange(Signal& s, const Row& c, bool inverted = false) {
    int32_t dmin, dmax;
    double pmin, pmax;
    s.GetRange(dmin, dmax, pmin, pmax);
    EXPECT_EQ(dmin, c.edfDigMin);
    EXPECT_EQ(dmax, c.edfDigMax);
    EXPECT_EQ(pmin, inverted ? c.physMax : c.physMin);
    EXPECT_EQ(pmax, inverted ? c.physMin : c.physMax);
}

TEST(SimpleSignalData, RangesZeroCodeAndSamples) {
    for (const RangeCase& c : kRangeCases) {
        SCOPED_TRACE(c.name);
        CEDFSimpleSignalData s(5);
        s.SetInputRange(c.digMin, c.digMax, c.physMin, c.physMax);
        s.Finalize();
        s.SetInvert(c.invert ? 1 : 0);
        ExpectRange(s, c, c.invert);
        EXPECT_EQ(s.GetZeroCode(), c.zeroCode);

        // One extra gap frame at the end must give the zero code.
        Frames f(c.raw.size() + 1);
        for (size_t i = 0; i < c.raw.size(); ++i)
            f.Set(i, 5, c.raw[i]);
        f.Set(c.raw.size(), 5, 1234);
        f.Flags(c.raw.size(), 0x80);
        std::vector<int> expected = c.expected;
        expected.push_back(c.zeroCode);
        const uint32_t n = static_cast<uint32_t>(expected.size());
        EXPECT_EQ(Written(s.GetWriter(), 0, n - 1, f.data(), n, 4), LE16(expected, 4));
        for (uint32_t i = 0; i < n; ++i) // sample by sample, as derivations and odd signals take them
            EXPECT_EQ(s.GetSample(f.at(i)), expected[i]) << i;

        // Contiguous values as the exporter converts them (vector steps,
        // their tails, any int32, the largest scaled beyond int32) give the
        // codes sample by sample gives.
        std::mt19937 rng(11);
        std::vector<int32_t> values(6000);
        for (size_t i = 0; i < values.size(); ++i)
            values[i] = i % 7    ? c.raw[rng() % c.raw.size()] + static_cast<int32_t>(rng() % 4001) - 2000
                        : i % 14 ? static_cast<int32_t>(rng())
                                 : INT32_MAX - static_cast<int32_t>(rng() % 32768);
        std::vector<int> codes;
        for (int32_t v : values)
            codes.push_back((f.Set(0, 5, v), s.GetSample(f.at(0))));
        for (uint32_t len : {1u, 15u, 16u, 17u, 31u, 40u, 6000u})
            for (uint32_t at = 0; at + len <= values.size(); at += 997) {
                std::vector<uint8_t> out(2 * len + 2, 0xEE);
                s.WriteValues(values.data() + at, len, out.data());
                ASSERT_EQ(out, LE16(std::vector<int>(codes.begin() + at, codes.begin() + at + len), 2)) << len << " " << at;
            }
    }
}

TEST(SimpleSignalData, OddInputRanges) {
    // Limits given high to low are ordered by the digital value.
    CEDFSimpleSignalData reversed(0);
    reversed.SetInputRange(100, -100, 5.0, -5.0);
    EXPECT_EQ(reversed.GetInputDigitalMin(), -100);
    EXPECT_EQ(reversed.GetInputPhysicalMin(), -5.0);
    EXPECT_EQ(reversed.GetInputPhysicalMax(), 5.0);
    // Equal digital limits cannot be scaled; the result must still be a
    // value inside the EDF range rather than undefined behaviour.
    CEDFSimpleSignalData flat(0);
    flat.SetInputRange(7, 7, 1.0, 1.0);
    flat.Finalize();
    Frames f(1);
    f.Set(0, 0, 7);
    const int16_t v = flat.GetSample(f.at(0));
    EXPECT_GE(v, flat.GetEDFDigitalMin());
    EXPECT_LE(v, flat.GetEDFDigitalMax());
    // A storage index outside the frame gives the zero code.
    for (int32_t index : {-1, 544, 100000}) {
        CEDFSimpleSignalData s(index);
        s.SetInputRange(0, 4096, -256.0, 768.0);
        s.Finalize();
        EXPECT_EQ(s.GetSample(f.at(0)), 1024) << index;
    }
}

TEST(RecordData, UnitsAndTypedLabels) {
    const std::pair<const wchar_t*, const wchar_t*> units[] = {
        {L"\u00B5V", L"uV"},     {L"\u00B0C", L"degC"},   {L"breaths/min", L"bpm"},
        {L"Beats/min", L"Beats/min"}, {L"\u00B5V/\u00B0", L"uV/deg"}, {L"", L""},
    };
    for (const auto& [given, edf] : units) {
        CEDFSimpleSignalData s(0);
        s.SetUnits(given);
        EXPECT_EQ(s.GetUnits(), given);
        EXPECT_EQ(s.GetEDFUnits(), edf) << std::wstring(given).size();
    }
    const struct { int displayType; const wchar_t *name, *label; } labels[] = {
        // (Cut and already typed labels: see the montage labels below.)
        {5, L"VeryLongInputName", L"Misc VeryLongInp"}, // the type stays, the name is cut
        {3, L"eogLOC", L"EOG eogLOC"},                  // a type needs its space
        {sk::display::Count, L"X", L"X"},
    };
    for (const auto& c : labels)
        EXPECT_EQ(CEDFRecordData::TypedLabel(CEDFRecordData::SignalTypeOf(c.displayType), c.name), c.label);
}

// ---------------------------------------------------------------- montage

const std::vector<std::wstring> kNames = {L"Fp1", L"F3", L"C3", L"P3", L"O1", L"A2"};

CHalfMontageChannel Half(const std::wstring& name, std::vector<std::pair<int, float>> inputs) {
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

TEST(MontageSignalData, LabelsAndInputsOutsideTheNameList) {
    const float third = 1.0f / 3.0f;
    const struct {
        int displayType;
        std::wstring first;                           // empty: no first half
        std::vector<std::pair<int, float>> reference; // empty: no second half
        std::wstring referenceName;
        std::wstring expected;
    } cases[] = {
        // "EEG Fp1-(F3+C3+P3)/3" has 20 characters.
        {0, L"Fp1", {{1, third}, {2, third}, {3, third}}, L"", L"EEG Fp1-Ref"},
        {-1, L"Fp1", {{1, third}, {2, third}, {3, third}}, L"", L"Fp1-(F3+C3+P3)/3"},
        {3, L"LOC", {{5, 1.0f}}, L"A2", L"EOG LOC-A2"},
        {2, L"EKG1", {}, L"", L"ECG EKG1"},
        {-1, L"Fp1", {{1, 0.5f}, {2, 0.25f}}, L"", L"Fp1-Ref"},       // not an average
        {-1, L"Fp1", {{1, 0.5f}, {2, 0.49f}}, L"", L"Fp1-(F3+C3)/2"}, // within 0.01 of one
        {-1, L"Fp1", {{1, 0.5f}, {2, 0.48f}}, L"", L"Fp1-Ref"},
        {-1, L"Fp1", {{1, 1.0f}, {2, 1.0f}}, L"", L"Fp1-Ref"},         // a sum, not an average
        {-1, L"Abdomen-Belt", {{5, 1.0f}}, L"Thorax", L"Abdomen-Belt-Ref"},
        {-1, L"VeryLongChannelName", {}, L"", L"VeryLongChannelN"},
        {4, L"ChinLeftRight", {{5, 1.0f}}, L"A2", L"EMG ChinLeftRigh"}, // "-Ref" form still too long
        {-1, L"", {{5, 1.0f}}, L"A2", L"-A2"},
        {-1, L"Fp1", {{5, 1.0f}}, L"", L"Fp1"}, // an unnamed single reference adds nothing
        {6, L"SpO2", {}, L"", L"SaO2 SpO2"},
        {0, L"eeg Fp1", {{5, 1.0f}}, L"A2", L"eeg Fp1-A2"}, // already typed
    };
    for (const auto& c : cases) {
        const CHalfMontageChannel first = Half(c.first, {{0, 1.0f}});
        CHalfMontageChannel second = Half(c.referenceName, c.reference);
        CMontageChannel mc = Channel(c.displayType, c.first.empty() ? nullptr : &first,
                                     c.reference.empty() ? nullptr : &second);
        CEDFMontageSignalData s(&mc, kNames);
        EXPECT_EQ(s.GetLabel(), c.expected);
    }
    // A reference input outside the name list fails; with a name it is labelled.
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
    mc.SetDisplayType(-1);
    std::unique_ptr<CEDFMontageSignalData> ok(CEDFMontageSignalData::Create(&mc, names));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->GetLabel(), L"Fp1-(F3+T9)/2");
}

// Active input 0 against the mean of inputs 1 and 2, on a unit scale
// (physical == digital), so d = trunc(a - (r1 + r2) / 2 + 0.5); the
// reference decides first when an input is out of range.
TEST(MontageSignalData, DerivationSumsAndOutOfRangeInputs) {
    const CHalfMontageChannel first = Half(L"Fp1", {{0, 1.0f}}), second = Half(L"", {{1, 0.5f}, {2, 0.5f}});
    CMontageChannel mc = Channel(1, &first, &second);
    CEDFMontageSignalData s(&mc, kNames);
    s.SetInputRange(-32768, 32767, -32768.0, 32767.0);
    s.ApplyCalibration(nullptr); // not a calibrated type: plain ranges
    EXPECT_EQ(s.GetZeroCode(), 0);
    const int32_t above = 0x7FFFC0, above2 = 0x7FFFFF, below = 0x7FFF80;
    struct Case { int32_t a, r1, r2; int expected; uint8_t flags = 0; } cases[] = {
        {1000, 200, 301, 750},       // 1000 - 250.5 + 0.5
        {-10, 0, 1, -10},            // -10.5 + 0.5
        {-10, 0, 2, -10},            // -11 + 0.5 = -10.5 -> -10
        {30000, -30000, -30000, 32767},
        {-30000, 30000, 30000, -32768},
        {1000, 200, 301, 0, 0x80},   // a gap frame: the zero code
        {0, below, 0, -32768},       // reference below
        {0, 0, above, 32767},        // reference above (second input)
        {above, below, 0, -32768},   // the reference decides first
        {below, above2, 0, 32767},
        {0, above2, below, 32767},   // the first out-of-range reference input stops the loop
        {below, 0, 0, -32768},       // active below
        {above2, 5, 5, 32767},       // active above
    };
    for (const Case& c : cases) {
        Frames f(1);
        f.Set(0, 0, c.a);
        f.Set(0, 1, c.r1);
        f.Set(0, 2, c.r2);
        f.Flags(0, c.flags);
        EXPECT_EQ(s.GetSample(f.at(0)), c.expected) << c.a << " " << c.r1 << " " << c.r2;
    }

    // A derivation of the reference only.
    const CHalfMontageChannel ref = Half(L"A2", {{3, 1.0f}});
    CMontageChannel only = Channel(-1, nullptr, &ref);
    CEDFMontageSignalData r(&only, kNames);
    EXPECT_EQ(r.GetLabel(), L"-A2");
    r.SetInputRange(-32768, 32767, -32768.0, 32767.0);
    r.Finalize();
    Frames g(3);
    g.Set(0, 3, 100);
    g.Set(1, 3, above);
    g.Set(2, 3, below);
    EXPECT_EQ(Written(r.GetWriter(), 0, 2, g.data(), 3), LE16({-99, 32767, -32768}, 2)); // trunc(-100 + 0.5)
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
    // The inputs of the third breakout, not in use, have no storage slot.
    EXPECT_EQ(bo.ChannelNumber_ConfigurationToStorage(255), 32 + 255);
    EXPECT_EQ(bo.ChannelNumber_ConfigurationToStorage(256), -1);
}

struct CalCase {
    const char* name;
    int displayType;
    std::vector<CCalFileArchivist::Point> points; // empty: the wave type's default
    int32_t inDigMin, inDigMax;
    double inPhysMin, inPhysMax;
    int32_t edfDigMin, edfDigMax;
    double physMin, physMax;
    std::vector<std::pair<int32_t, int>> samples;
};

// SpO2 (0 .. 100 %) on a +-1 V input: lo = -1e6 uV, hi = 1e6 uV.
//  Points (-1e6,-62500),(1e6,62500): k = 1/16, c = 0, so 0 % and 100 % are
//  0 and 1600 uV; with 1 uV per count the digital range is 0 .. 1600.
//  The same with 0.5 uV per count gives 0 .. 3200.
//  Falling points give -1600 .. 0, stored with the physical range reversed.
//  An EEG channel ignores the SpO2 calibration.
const CalCase kCalCases[] = {
    {"Rising", sk::display::SpO2, {{-1e6, -62500.0}, {1e6, 62500.0}}, -1000000, 1000000, -1e6, 1e6, 0, 1600, 0.0,
     100.0, {{800, 800}, {2000, 1600}, {-5, 0}, {0x7FFF80, 0}}},
    {"HalfMicrovoltCounts", sk::display::SpO2, {{-1e6, -62500.0}, {1e6, 62500.0}}, -2000000, 2000000, -1e6, 1e6, 0,
     3200, 0.0, 100.0, {{1600, 1600}}},
    {"Falling", sk::display::SpO2, {{-1e6, 62500.0}, {1e6, -62500.0}}, -1000000, 1000000, -1e6, 1e6, -1600, 0, 100.0,
     0.0, {{-800, -799}, {-1600, -1599}, {-1700, -1600}, {100, 0}}},
    // Default calibration maps +-1e6 uV onto 0 .. 100: the whole input range.
    {"Default", sk::display::SpO2, {}, -1000000, 1000000, -1e6, 1e6, -32768, 32767, 0.0, 100.0, {{500000, 16383}}},
    {"NotCalibrated", sk::display::EEG, {{-1e6, -62500.0}, {1e6, 62500.0}}, -32768, 32767, -3200.0, 3200.0, -32768,
     32767, -3200.0, 3200.0, {{0, 0}}},
};

TEST(MontageSignalData, CalibratedRangesAndSamples) {
    for (const CalCase& c : kCalCases) {
        SCOPED_TRACE(c.name);
        CKeyTree calibration;
        if (!c.points.empty()) {
            ASSERT_TRUE(CCalFileArchivist::WritePoints(calibration, L"SpO2", sk::display::SpO2, c.points));
        }
        const CHalfMontageChannel first = Half(L"SpO2", {{4, 1.0f}});
        CMontageChannel mc = Channel(c.displayType, &first, nullptr);
        CEDFMontageSignalData s(&mc, kNames);
        s.SetInputRange(c.inDigMin, c.inDigMax, c.inPhysMin, c.inPhysMax);
        s.ApplyCalibration(&calibration);
        ExpectRange(s, c);
        for (const auto& [raw, expected] : c.samples) {
            Frames f(1);
            f.Set(0, 4, raw);
            EXPECT_EQ(s.GetSample(f.at(0)), expected) << raw;
        }
    }
}

// ---------------------------------------------------------------- events

TEST(TriggerEventData, TriggerBitOfDataFramesOnly) {
    CEDFTriggerEventData t;
    Frames f(8);
    f.Flags(3, 0x01);
    f.Flags(4, 0x03); // other bits do not matter
    f.Flags(5, 0x02);
    f.Flags(6, 0x80); // gap frame
    f.Flags(7, 0x81); // gap frame with a stale trigger bit
    EXPECT_EQ(Written(t.GetWriter(), 0, 7, f.data(), 8), LE16({0, 0, 0, 1, 1, 0, 0, 0}, 2));
}

struct PatientCase {
    const char* name;
    std::vector<int64_t> events; // stamps of "Patient Event" notes
    int32_t decimation;
    // Records: start stamp, end stamp, sample count, expected samples.
    struct Rec { int64_t start, end; uint32_t count; std::vector<int> expected; };
    std::vector<Rec> records;
};

const PatientCase kPatientCases[] = {
    {"BeforeFirstRecordNotShown", {10, 105, 106}, 1, {{100, 107, 8, {0, 0, 0, 0, 0, 1, 1, 0}}}},
    {"TwoEventsInOneSampleShowOnce", {1000, 1000, 1003}, 1, {{1000, 1003, 4, {1, 0, 0, 1}}}},
    {"DecimatedStep", {1000, 1001, 1006}, 2, // 1000 and 1001 share the step 1000..1001
     {{1000, 1007, 4, {1, 0, 0, 1}}}},
    {"EventInSkippedGap", {15, 19, 22}, 1,
     {{0, 7, 8, {0, 0, 0, 0, 0, 0, 0, 0}}, {20, 27, 8, {0, 0, 1, 0, 0, 0, 0, 0}}}},
    {"EventsAcrossRecords", {7, 8}, 1,
     {{0, 7, 8, {0, 0, 0, 0, 0, 0, 0, 1}}, {8, 15, 8, {1, 0, 0, 0, 0, 0, 0, 0}}}},
    {"EndBeforeStartWritesZeros", {5, 12}, 1, {{10, 9, 4, {0, 0, 0, 0}}, {10, 13, 4, {0, 0, 1, 0}}}},
    {"StampsBeyondTheSampleCount", {2, 6}, 1, // only 4 samples fit; stamp 6 waits
     {{0, 100, 4, {0, 0, 1, 0}}, {6, 9, 4, {1, 0, 0, 0}}}},
    {"NoEventsAndDecimationZero", {}, 0, {{0, 3, 4, {0, 0, 0, 0}}}},
};

TEST(PatientEventData, Stream) {
    for (const PatientCase& c : kPatientCases) {
        SCOPED_TRACE(c.name);
        CSkrivoAnnotationManager m;
        std::vector<CSkrivoAnnotationManager::NoteInput> notes = {{L"Spindle", L"", 3, 0}, {L"Patient", L"", 104, 0}};
        for (int64_t s : c.events)
            notes.push_back({L"Patient Event", L"", s, 0});
        m.AddNotes(notes, 256.0);
        CEDFPatientEventData p(c.events.empty() ? nullptr : m.CreatePatientEventIterator(), c.decimation);
        EXPECT_EQ(p.GetDecimation(), std::max(c.decimation, 1));
        for (const auto& r : c.records)
            EXPECT_EQ(Written(p.GetWriter(), r.start, r.end, nullptr, r.count), LE16(r.expected, 2)) << r.start;
    }
}

} // namespace

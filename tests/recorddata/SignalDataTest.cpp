// Raw channel conversion: EDF ranges, zero codes, clamping, out-of-range
// markers and the exact bytes the writer emits.

#include <gtest/gtest.h>

#include <ostream>

#include "FrameBuilder.h"
#include "platform/recording/WaveType.h"
#include "recorddata/EDFSimpleSignalData.h"

using sk::test::Frames;
using sk::test::LE16;

namespace {

struct RangeCase {
    const char* name;
    int32_t digMin, digMax;
    double physMin, physMax;
    int32_t edfDigMin, edfDigMax; // expected EDF digital range
    int zeroCode;
    std::vector<int32_t> raw;     // raw values, one frame each
    std::vector<int> expected;    // EDF samples, worked out by hand
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const RangeCase& c, std::ostream* os) { *os << c.name; }

// Expected samples follow d = trunc(v * gain + offset + 0.5), clamped:
//  symmetric 3200 uV:  gain 1, offset 0 -> trunc(v + 0.5)
//  0..65535 -> full:   gain 1, offset -32768 -> trunc(v - 32767.5)
//  0..65534 -> 0..32767: gain 0.5, offset 0 -> trunc(v / 2 + 0.5)
//  -256..768 over 0..4096: gain 1, offset 0, zero at 1024
//  wide input (+-100000 counts over +-1000): gain 65535/200000, offset -0.5
const RangeCase kRangeCases[] = {
    {"Symmetric", -32768, 32767, -3200.0, 3200.0, -32768, 32767, 0,
     {0, 100, -100, 32767, -32768, 40000, -40000},
     {0, 100, -99, 32767, -32767, 32767, -32768}},
    {"Span65535", 0, 65535, 0.0, 65535.0, -32768, 32767, -32768,
     {0, 32768, 65535, 1, 70000},
     {-32767, 0, 32767, -32766, 32767}},
    {"Span65534", 0, 65534, 0.0, 65534.0, 0, 32767, 0,
     {0, 1, 2, 3, 65534, -10, 65600},
     {0, 1, 1, 2, 32767, 0, 32767}},
    {"AsymmetricZeroInside", 0, 4096, -256.0, 768.0, 0, 4096, 1024,
     {0, 1024, 4096, 5000, -3},
     {0, 1024, 4096, 4096, 0}},
    {"WideInput", -100000, 100000, -1000.0, 1000.0, -32768, 32767, 0,
     {1000, -1000, 0, 200000},
     {327, -327, 0, 32767}},
};

class SimpleRangeTest : public ::testing::TestWithParam<RangeCase> {};

TEST_P(SimpleRangeTest, RangesZeroCodeAndSamples) {
    const RangeCase& c = GetParam();
    CEDFSimpleSignalData s(5);
    s.SetInputRange(c.digMin, c.digMax, c.physMin, c.physMax);
    s.Finalize();
    int32_t dmin, dmax;
    double pmin, pmax;
    s.GetRange(dmin, dmax, pmin, pmax);
    EXPECT_EQ(dmin, c.edfDigMin);
    EXPECT_EQ(dmax, c.edfDigMax);
    EXPECT_EQ(pmin, c.physMin);
    EXPECT_EQ(pmax, c.physMax);
    EXPECT_EQ(s.GetZeroCode(), c.zeroCode);

    // One extra gap frame at the end must give the zero code.
    Frames f(c.raw.size() + 1);
    for (size_t i = 0; i < c.raw.size(); ++i)
        f.Set(i, 5, c.raw[i]);
    f.Set(c.raw.size(), 5, 1234);
    f.Flags(c.raw.size(), 0x80);
    std::vector<int> expected = c.expected;
    expected.push_back(c.zeroCode);
    std::vector<uint8_t> out(2 * expected.size() + 4, 0xEE);
    const uint32_t n = static_cast<uint32_t>(expected.size());
    EXPECT_EQ(s.GetWriter()->Write(0, n - 1, f.data(), n, out.data()), 2 * n);
    std::vector<uint8_t> want = LE16(expected);
    want.insert(want.end(), 4, 0xEE); // nothing written past the signal's part
    EXPECT_EQ(out, want);
}

INSTANTIATE_TEST_SUITE_P(Ranges, SimpleRangeTest, ::testing::ValuesIn(kRangeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimpleSignalData, OutOfRangeMarkersGiveTheDigitalLimits) {
    CEDFSimpleSignalData s(0);
    s.SetInputRange(0, 65534, 0.0, 65534.0); // EDF 0 .. 32767
    s.Finalize();
    Frames f(4);
    f.Set(0, 0, 0x7FFFC0);
    f.Set(1, 0, 0x7FFFFF);
    f.Set(2, 0, 0x7FFF80);
    f.Set(3, 0, 0x7FFF81); // not a marker: an ordinary (large) value
    EXPECT_EQ(s.GetSample(f.at(0)), 32767);
    EXPECT_EQ(s.GetSample(f.at(1)), 32767);
    EXPECT_EQ(s.GetSample(f.at(2)), 0);
    EXPECT_EQ(s.GetSample(f.at(3)), 32767);
}

TEST(SimpleSignalData, SetInputRangeOrdersByDigitalValue) {
    CEDFSimpleSignalData s(0);
    s.SetInputRange(100, -100, 5.0, -5.0);
    EXPECT_EQ(s.GetInputDigitalMin(), -100);
    EXPECT_EQ(s.GetInputDigitalMax(), 100);
    EXPECT_EQ(s.GetInputPhysicalMin(), -5.0);
    EXPECT_EQ(s.GetInputPhysicalMax(), 5.0);
}

TEST(SimpleSignalData, InversionChangesOnlyTheHeader) {
    CEDFSimpleSignalData plain(2), inverted(2);
    for (CEDFSimpleSignalData* s : {&plain, &inverted}) {
        s->SetInputRange(-32768, 32767, -3200.0, 3200.0);
        s->Finalize();
    }
    inverted.SetInvert(1);
    int32_t dmin, dmax;
    double pmin, pmax;
    inverted.GetRange(dmin, dmax, pmin, pmax);
    EXPECT_EQ(dmin, -32768);
    EXPECT_EQ(dmax, 32767);
    EXPECT_EQ(pmin, 3200.0);
    EXPECT_EQ(pmax, -3200.0);

    Frames f(6);
    const int32_t raw[] = {5, -5, 30000, -32768, 0x7FFF80, 17};
    for (size_t i = 0; i < 6; ++i)
        f.Set(i, 2, raw[i]);
    std::vector<uint8_t> a(12), b(12);
    plain.GetWriter()->Write(0, 5, f.data(), 6, a.data());
    inverted.GetWriter()->Write(0, 5, f.data(), 6, b.data());
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, LE16({5, -4, 30000, -32767, -32768, 17}));
}

TEST(SimpleSignalData, StorageIndexOutsideTheFrameGivesTheZeroCode) {
    for (int32_t index : {-1, 544, 100000}) {
        CEDFSimpleSignalData s(index);
        s.SetInputRange(0, 4096, -256.0, 768.0);
        s.Finalize();
        Frames f(1);
        EXPECT_EQ(s.GetSample(f.at(0)), 1024) << index;
    }
}

TEST(SimpleSignalData, DegenerateRangeStaysDefined) {
    // Equal digital limits cannot be scaled; the result must still be a
    // value inside the EDF range rather than undefined behaviour.
    CEDFSimpleSignalData s(0);
    s.SetInputRange(7, 7, 1.0, 1.0);
    s.Finalize();
    Frames f(1);
    f.Set(0, 0, 7);
    const int16_t v = s.GetSample(f.at(0));
    EXPECT_GE(v, s.GetEDFDigitalMin());
    EXPECT_LE(v, s.GetEDFDigitalMax());
}

TEST(SignalData, RecordSizeTruncatesTwiceDurationTimesFrequency) {
    CEDFSimpleSignalData s(0);
    EXPECT_EQ(s.GetRecordSize(6.0, 256.0), 3072);
    EXPECT_EQ(s.GetRecordSize(0.1, 500.0), 100);
    EXPECT_EQ(s.GetRecordSize(1382.0 / 256.0, 256.0), 2764);
    EXPECT_EQ(s.GetRecordSize(0.3, 333.3), 199); // 199.98
    EXPECT_EQ(s.GetRecordSize(0.0, 256.0), 0);
}

TEST(RecordData, UnitsRule) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"\u00B5V", L"uV"},         {L"\u00B0C", L"degC"},      {L"\u00B0", L"deg"},
        {L"beats/min", L"bpm"},      {L"breaths/min", L"bpm"},   {L"litres/min", L"l/min"},
        {L"Beats/min", L"Beats/min"}, {L"\u00B5V/\u00B0", L"uV/deg"}, {L"mmHg", L"mmHg"},
        {L"", L""},
    };
    for (const auto& [given, edf] : cases) {
        CEDFSimpleSignalData s(0);
        s.SetUnits(given);
        EXPECT_EQ(s.GetUnits(), given);
        EXPECT_EQ(s.GetEDFUnits(), edf) << std::wstring(given).size();
    }
}

TEST(RecordData, TypedLabelsFitTheLabelField) {
    const struct {
        int displayType;
        const wchar_t *name, *label;
    } cases[] = {
        {0, L"F3", L"EEG F3"},
        {5, L"VeryLongInputName", L"Misc VeryLongInp"}, // the type stays, the name is cut
        {-1, L"NoKindButLongName", L"NoKindButLongNam"},
        {3, L"eog LOC", L"eog LOC"},                    // already typed (any letter case)
        {3, L"eogLOC", L"EOG eogLOC"},
        {sk::display::Count, L"X", L"X"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CEDFRecordData::TypedLabel(CEDFRecordData::SignalTypeOf(c.displayType), c.name), c.label);
}

} // namespace

// Trigger and patient event streams.

#include <gtest/gtest.h>

#include <ostream>

#include <memory>

#include "FrameBuilder.h"
#include "module/SkrivoApp.h"
#include "recorddata/EDFPatientEventData.h"
#include "recorddata/EDFTriggerEventData.h"
#include "recorddata/SkrivoAnnotationManager.h"

using Manager = CSkrivoAnnotationManager;
using sk::test::Frames;
using sk::test::LE16;

namespace {

TEST(TriggerEventData, TriggerBitOfDataFramesOnly) {
    CEDFTriggerEventData t;
    Frames f(8);
    f.Flags(3, 0x01);
    f.Flags(4, 0x03);  // other bits do not matter
    f.Flags(5, 0x02);
    f.Flags(6, 0x80);  // gap frame
    f.Flags(7, 0x81);  // gap frame with a stale trigger bit
    std::vector<uint8_t> out(16 + 2, 0xEE);
    EXPECT_EQ(t.GetWriter()->Write(0, 7, f.data(), 8, out.data()), 16u);
    std::vector<uint8_t> want = LE16({0, 0, 0, 1, 1, 0, 0, 0});
    want.push_back(0xEE);
    want.push_back(0xEE);
    EXPECT_EQ(out, want);
}

Manager::NoteInput Note(const std::wstring& text, int64_t start) {
    Manager::NoteInput n;
    n.text = text;
    n.start = start;
    return n;
}

struct PatientCase {
    const char* name;
    std::vector<int64_t> events;  // stamps of "Patient Event" notes
    int32_t decimation;
    // Records: start stamp, end stamp, sample count, expected samples.
    struct Rec { int64_t start, end; uint32_t count; std::vector<int> expected; };
    std::vector<Rec> records;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const PatientCase& c, std::ostream* os) { *os << c.name; }

const PatientCase kPatientCases[] = {
    {"BeforeFirstRecordNotShown", {10, 105, 106}, 1,
     {{100, 107, 8, {0, 0, 0, 0, 0, 1, 1, 0}}}},
    {"TwoEventsInOneSampleShowOnce", {1000, 1000, 1003}, 1,
     {{1000, 1003, 4, {1, 0, 0, 1}}}},
    {"DecimatedStep", {1000, 1001, 1006}, 2,  // 1000 and 1001 share the step 1000..1001
     {{1000, 1007, 4, {1, 0, 0, 1}}}},
    {"EventInSkippedGap", {15, 22}, 1,
     {{0, 7, 8, {0, 0, 0, 0, 0, 0, 0, 0}}, {20, 27, 8, {0, 0, 1, 0, 0, 0, 0, 0}}}},
    {"EventsAcrossRecords", {7, 8}, 1,
     {{0, 7, 8, {0, 0, 0, 0, 0, 0, 0, 1}}, {8, 15, 8, {1, 0, 0, 0, 0, 0, 0, 0}}}},
    {"EndBeforeStartWritesZeros", {5, 12}, 1,
     {{10, 9, 4, {0, 0, 0, 0}}, {10, 13, 4, {0, 0, 1, 0}}}},
    {"StampsBeyondTheSampleCount", {2, 6}, 1,  // only 4 samples fit; stamp 6 waits
     {{0, 100, 4, {0, 0, 1, 0}}, {6, 9, 4, {1, 0, 0, 0}}}},
};

class PatientEventTest : public ::testing::TestWithParam<PatientCase> {};

TEST_P(PatientEventTest, Stream) {
    const PatientCase& c = GetParam();
    Manager m;
    std::vector<Manager::NoteInput> notes = {Note(L"Spindle", 3), Note(L"Patient", 104)};
    for (int64_t s : c.events)
        notes.push_back(Note(L"Patient Event", s));
    m.AddNotes(notes, 256.0);
    CEDFPatientEventData p(m.CreatePatientEventIterator(), c.decimation);
    for (const auto& r : c.records) {
        std::vector<uint8_t> out(2 * r.count + 2, 0xEE);
        EXPECT_EQ(p.GetWriter()->Write(r.start, r.end, nullptr, r.count, out.data()), 2 * r.count);
        std::vector<uint8_t> want = LE16(r.expected);
        want.push_back(0xEE);
        want.push_back(0xEE);
        EXPECT_EQ(out, want) << r.start;
    }
}

INSTANTIATE_TEST_SUITE_P(Events, PatientEventTest, ::testing::ValuesIn(kPatientCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PatientEventData, NoIteratorGivesZeros) {
    CEDFPatientEventData p(nullptr, 0);
    EXPECT_EQ(p.GetDecimation(), 1);
    std::vector<uint8_t> out(8, 0xEE);
    p.GetWriter()->Write(0, 3, nullptr, 4, out.data());
    EXPECT_EQ(out, LE16({0, 0, 0, 0}));
}

} // namespace

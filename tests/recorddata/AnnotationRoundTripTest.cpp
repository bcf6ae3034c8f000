// Whole-export property: with the record size planned from Prepare and the
// window count, every annotation of a dense random study is written exactly
// once, into the first record that ends at or after it, with an onset that
// reads back to its stamp.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>

#include "platform/Log.h"
#include "recorddata/EDFAnnotationData.h"
#include "recorddata/SkrivoAnnotationManager.h"
#include "TalReader.h"

using Manager = CSkrivoAnnotationManager;
using namespace sk::test;

namespace {

struct ParsedAnnotation {
    double onset;
    std::string duration;
    std::string text;
};

// The annotations of one record, one per text; the record's own onset (from
// its leading time-keeping TAL) goes to recordOnset.
std::vector<ParsedAnnotation> ParseRecord(const std::string& rec, double& recordOnset) {
    std::vector<ParsedAnnotation> out;
    const std::vector<Tal> tals = SplitRecord(rec);
    for (size_t i = 0; i < tals.size(); ++i) {
        const double onset = OnsetSeconds(tals[i].onset);
        if (i == 0) {
            EXPECT_TRUE(tals[0].texts.size() == 1 && tals[0].texts[0].empty()) << "time-keeping TAL first";
            recordOnset = onset;
            continue;
        }
        for (const std::string& text : tals[i].texts)
            out.push_back({onset, tals[i].duration, text});
    }
    return out;
}

struct Scenario {
    double frequency;
    double startFraction;
    int64_t startStamp;
    uint32_t recordFrames;
};

// Keeps gtest from dumping the struct's bytes into the log.
void PrintTo(const Scenario& s, std::ostream* os)
{
    *os << s.frequency << " Hz, start fraction " << s.startFraction << ", first stamp " << s.startStamp << ", "
        << s.recordFrames << " frames per record";
}

class AnnotationRoundTrip : public ::testing::TestWithParam<Scenario> {};

TEST_P(AnnotationRoundTrip, EveryAnnotationOnceWithItsOnset) {
    const Scenario sc = GetParam();
    std::mt19937 rng(1234);
    const int64_t length = static_cast<int64_t>(sc.frequency * 600); // ten minutes
    std::uniform_int_distribution<int64_t> stamp(sc.startStamp, sc.startStamp + length - 1);
    std::uniform_int_distribution<int> textLen(0, 70), letter(0, 3), burst(1, 6);
    const wchar_t alphabet[] = {L'a', L'\u00E4', L'\u7761', L'Z'};
    std::vector<Manager::NoteInput> notes;
    while (notes.size() < 400) {
        const int64_t s = stamp(rng);
        for (int b = burst(rng); b > 0; --b) { // clusters sharing a stamp
            Manager::NoteInput n;
            n.start = s;
            n.end = (b % 3 == 0) ? s + static_cast<int64_t>(sc.frequency * 7.5) : 0;
            for (int i = textLen(rng); i > 0; --i)
                n.text += alphabet[letter(rng)];
            notes.push_back(n);
        }
    }
    Manager m;
    m.AddNotes(notes, sc.frequency);

    CEDFAnnotationData data(m.CreateAnnotationIterator());
    {
        std::unique_ptr<IAnnotationIterator> scan(m.CreateAnnotationIterator());
        data.Prepare(sc.startStamp, static_cast<double>(length) / sc.frequency, sc.frequency, scan.get());
    }
    data.SetAnnotationsPerRecord(m.GetMaxAnnotationsInWindow(sc.recordFrames));
    const int32_t size = data.GetRecordSize(sc.recordFrames / sc.frequency, sc.frequency);
    ASSERT_EQ(size % 16, 0);
    IEDFRecordWriter* w = data.GetWriter();
    w->Initialize(sc.startFraction, sc.startStamp, sc.frequency, 1, sc.recordFrames / sc.frequency);

    sk::LogCapture log;
    size_t next = 0; // index into the sorted entries
    const auto& entries = m.GetEntries();
    for (int64_t rs = sc.startStamp; rs < sc.startStamp + length; rs += sc.recordFrames) {
        const int64_t re = rs + sc.recordFrames - 1;
        std::string rec(static_cast<size_t>(size), '\xEE');
        w->Write(rs, re, nullptr, static_cast<uint32_t>(size / 2), reinterpret_cast<uint8_t*>(rec.data()));
        double recordOnset = 0;
        const auto parsed = ParseRecord(rec, recordOnset);
        for (const ParsedAnnotation& a : parsed) {
            ASSERT_LT(next, entries.size());
            const ANNOTATION_ENTRY& e = entries[next++];
            EXPECT_GE(e.start, rs);
            EXPECT_LE(e.start, re);
            // Onsets differ from the record's by the stamps between them.
            EXPECT_NEAR(a.onset - recordOnset, (e.start - rs) / sc.frequency, 1e-9);
            EXPECT_EQ(a.text, Utf8(e.text));
            EXPECT_EQ(a.duration, e.duration > 0 ? CEDFAnnotationData::DurationText(e.duration) : "");
        }
    }
    EXPECT_EQ(next, entries.size());
    EXPECT_EQ(log.EventCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, AnnotationRoundTrip,
                         ::testing::Values(Scenario{256.0, 0.0, 0, 256}, Scenario{256.0, 0.3, 5000, 1536},
                                           Scenario{200.0, 0.75, 123, 200}, Scenario{500.0, 0.1, 0, 50},
                                           Scenario{512.0, 0.999, 77, 256}));

} // namespace

// The annotation signal is sized before the writer knows the stamp of onset 0
// (the whole second of the recording start, up to a second before the first
// stamp). Built exactly as an export builds it, every record must still hold
// every annotation that starts in it: each annotation comes back once, with
// its onset, duration and text, and nothing is reported as overflowing.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "recorddata/EDFAnnotationData.h"
#include "recorddata/SkrivoAnnotationManager.h"
#include "TalReader.h"

using Manager = CSkrivoAnnotationManager;
using namespace sk::test;

namespace {

enum Pattern { kSharedOnset, kWideTexts, kEpochs };

std::wstring Repeat(wchar_t c, size_t n) { return std::wstring(n, c); }

Manager::NoteInput Note(std::wstring text, int64_t start, int64_t lengthStamps = 0) {
    Manager::NoteInput n;
    n.text = std::move(text);
    n.start = start;
    n.end = lengthStamps > 0 ? start + lengthStamps : 0;
    return n;
}

// Fills the manager with one note pattern of a 160-second recording from
// start at rate stamps per second (rate is whole in every case).
void AddPattern(Manager& m, Pattern p, int64_t start, int64_t rate) {
    const double f = static_cast<double>(rate);
    std::vector<Manager::NoteInput> notes;
    switch (p) {
    case kSharedOnset:
        // Several durations at one onset: whole seconds after the start (no
        // fraction when measured from the start), and a half second that the
        // base stamp can carry past 100 s.
        for (int64_t at : {start + 10 * rate, start + 99 * rate + rate / 2, start + 150 * rate}) {
            const size_t n = at == start + 99 * rate + rate / 2 ? 50 : 63;
            notes.push_back(Note(Repeat(L'a', n), at));
            notes.push_back(Note(Repeat(L'b', n), at, rate / 2));
            notes.push_back(Note(Repeat(L'c', n), at, rate));
            notes.push_back(Note(Repeat(L'd', n), at, 2 * rate));
            notes.push_back(Note(Repeat(L'e', n), at, 30 * rate));
        }
        break;
    case kWideTexts:
        // 63 characters of three UTF-8 bytes each; the later, shorter group
        // lets the one at 10 s set the planned length.
        for (int64_t at : {start + 10 * rate, start + 99 * rate + rate / 2}) {
            const size_t n = at == start + 10 * rate ? 63 : 40;
            notes.push_back(Note(Repeat(L'\u7761', n), at, rate / 2));
            notes.push_back(Note(Repeat(L'\u20AC', n), at, 3 * rate));
            notes.push_back(Note(L"\u00B5V" + Repeat(L'\u7720', n - 2), at));
        }
        break;
    case kEpochs: {
        Manager::StagingInput staging;
        staging.epochSeconds = 30;
        staging.firstEpochStamp = start;
        staging.codes = {0, 1, 2, 3, 5, 7};
        m.AddStages(staging, f, 3);
        // Events scored at epoch starts; one with the epoch's own duration
        // shares the stage's TAL.
        notes.push_back(Note(L"Arousal", start + 30 * rate));
        notes.push_back(Note(Repeat(L'\u00F6', 63), start + 90 * rate, 30 * rate));
        notes.push_back(Note(Repeat(L'x', 63), start + 120 * rate, 15 * rate));
        notes.push_back(Note(Repeat(L'\u7761', 63), start + 120 * rate));
        break;
    }
    }
    m.AddNotes(notes, f);
}

struct Outcome {
    size_t written = 0;
    int32_t recordSize = 0;
};

// One export's worth of the annotation signal, set up in the exporter's
// order: prepare, count per record, size, initialise, write every record.
Outcome Export(Pattern p, double startFraction, int64_t start, int64_t rate, int64_t recordFrames) {
    const double f = static_cast<double>(rate);
    Manager m;
    AddPattern(m, p, start, rate);
    const int64_t end = start + 160 * rate - 1;

    CEDFAnnotationData data(m.CreateAnnotationIterator());
    {
        std::unique_ptr<IAnnotationIterator> scan(m.CreateAnnotationIterator());
        data.Prepare(start, static_cast<double>(end - start + 1) / f, f, scan.get());
    }
    const double duration = static_cast<double>(recordFrames) / f;
    data.SetAnnotationsPerRecord(m.GetMaxAnnotationsInWindow(static_cast<int64_t>(f * duration + 0.5)));
    Outcome out;
    out.recordSize = data.GetRecordSize(duration, f);
    EXPECT_EQ(out.recordSize % 16, 0);
    IEDFRecordWriter* w = data.GetWriter();
    w->Initialize(startFraction, start, f, 1, duration);

    // Onset 0 lies on the whole second of the start: computed here from the
    // start fraction, independently of the writer.
    const int64_t fractionStamps = static_cast<int64_t>(startFraction * f + 0.5);
    const int64_t base = start - (start + fractionStamps) % rate;

    sk::LogCapture log;
    const auto& entries = m.GetEntries();
    size_t next = 0;
    for (int64_t rs = start; rs <= end; rs += recordFrames) {
        const int64_t re = rs + recordFrames - 1;
        std::string rec(static_cast<size_t>(out.recordSize), '\xEE');
        w->Write(rs, re, nullptr, static_cast<uint32_t>(out.recordSize / 2), reinterpret_cast<uint8_t*>(rec.data()));
        const std::vector<Tal> tals = SplitRecord(rec);
        if (tals.empty()) {
            ADD_FAILURE() << "record at " << rs << " without a time-keeping TAL";
            continue;
        }
        EXPECT_NEAR(OnsetSeconds(tals[0].onset), static_cast<double>(rs - base) / f, 1e-9);
        EXPECT_EQ(tals[0].duration, "");
        EXPECT_EQ(tals[0].texts, std::vector<std::string>{""});
        for (size_t t = 1; t < tals.size(); ++t) {
            for (const std::string& text : tals[t].texts) {
                if (next >= entries.size()) {
                    ADD_FAILURE() << "more annotations written than there are";
                    return out;
                }
                const ANNOTATION_ENTRY& e = entries[next++];
                SCOPED_TRACE(testing::Message() << "annotation " << next - 1 << " at stamp " << e.start);
                EXPECT_GE(e.start, rs);
                EXPECT_LE(e.start, re);
                EXPECT_NEAR(OnsetSeconds(tals[t].onset), static_cast<double>(e.start - base) / f, 1e-9);
                if (e.duration > 0)
                    EXPECT_NEAR(std::strtod(tals[t].duration.c_str(), nullptr), e.duration, 1e-12);
                else
                    EXPECT_EQ(tals[t].duration, "");
                EXPECT_EQ(text, Utf8(e.text));
            }
        }
    }
    EXPECT_EQ(next, entries.size()) << "annotations lost";
    EXPECT_EQ(log.EventCount(), 0u);
    for (const std::wstring& line : log.Texts(8))
        ADD_FAILURE() << std::string(line.begin(), line.end());
    out.written = next;
    return out;
}

TEST(AnnotationSizing, EveryAnnotationFitsWhateverTheStartSecond) {
    const Pattern patterns[] = {kSharedOnset, kWideTexts, kEpochs};
    const double fractions[] = {0.0, 0.5, 0.999};
    const int64_t starts[] = {0, 1000, 12345};
    const int64_t rates[] = {200, 256, 500, 1000};
    for (Pattern p : patterns)
        for (int64_t rate : rates)
            for (int64_t start : starts)
                for (double fraction : fractions)
                    for (int64_t seconds : {1, 30}) {
                        SCOPED_TRACE(testing::Message() << "pattern " << p << ", " << rate << " Hz, start " << start
                                                        << ", fraction " << fraction << ", " << seconds << " s records");
                        const Outcome o = Export(p, fraction, start, rate, seconds * rate);
                        EXPECT_GT(o.written, 0u);
                        if (HasFailure())
                            return; // one case's failures say enough
                    }
}

// Two 63-character notes at start + 10 s with durations 1 s and 2 s, start
// stamp 1000 at 256 Hz: onset 0 lies 232 stamps before the start, so both
// are written at +10.90625, 6 characters longer than measured from the start.
TEST(AnnotationSizing, NotesAtWholeSecondsAfterAnUnalignedStart) {
    Manager m;
    m.AddNotes({Note(Repeat(L'a', 63), 1000 + 2560, 256), Note(Repeat(L'b', 63), 1000 + 2560, 512)}, 256.0);
    CEDFAnnotationData data(m.CreateAnnotationIterator());
    std::unique_ptr<IAnnotationIterator> scan(m.CreateAnnotationIterator());
    data.Prepare(1000, 60.0, 256.0, scan.get());
    data.SetAnnotationsPerRecord(m.GetMaxAnnotationsInWindow(256));
    // "+10.90625" 0x15 "2" 0x14, 63 bytes of text, 0x14 0x00 is 77 bytes.
    EXPECT_GE(data.GetMaxAnnotationLength(), 77);
    const int32_t size = data.GetRecordSize(1.0, 256.0);
    data.GetWriter()->Initialize(0.0, 1000, 256.0, 1, 1.0);
    sk::LogCapture log;
    std::string rec(static_cast<size_t>(size), '\0');
    data.GetWriter()->Write(3464, 3719, nullptr, static_cast<uint32_t>(size / 2), reinterpret_cast<uint8_t*>(rec.data()));
    const std::vector<Tal> tals = SplitRecord(rec);
    ASSERT_EQ(tals.size(), 3u);
    EXPECT_EQ(tals[0].onset, "+10.53125");
    EXPECT_EQ(tals[1].onset, "+10.90625");
    EXPECT_EQ(tals[2].duration, "2");
    EXPECT_EQ(tals[2].texts, std::vector<std::string>{std::string(63, 'b')});
    EXPECT_EQ(log.EventCount(), 0u);
}

// The planned length is the longest TAL the writer can actually produce for a
// one-letter note: each case places onset 0 so that the note is written with
// every fraction digit the rate allows (at most 15 places) or with one more
// integer digit than measured from the start, and the TAL comes out exactly
// as long as planned.
TEST(AnnotationSizing, PlanEqualsTheLongestOnsetTheRateCanPrint) {
    struct Case {
        double rate;
        int64_t start;
        int64_t offset; // stamps from the start to the note
        const char* onset;
    } cases[] = {
        {1.0, 1, 10, "+10"},
        {200.0, 1, 2000, "+10.005"},
        {256.0, 1, 2560, "+10.00390625"},
        {384.0, 1, 3840, "+10.002604166666667"},
        {500.0, 1, 5000, "+10.002"},
        {1000.0, 1, 10000, "+10.001"},
        {1048576.0, 1, 10485760, "+10.000000953674316"},
        {256.0, 255, 99 * 256 + 128, "+100.49609375"},
        {200.0, 199, 99 * 200 + 100, "+100.495"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.onset);
        Manager m;
        m.AddNotes({Note(L"x", c.start + c.offset)}, c.rate);
        CEDFAnnotationData data(m.CreateAnnotationIterator());
        std::unique_ptr<IAnnotationIterator> scan(m.CreateAnnotationIterator());
        data.Prepare(c.start, 200.0, c.rate, scan.get());
        data.SetAnnotationsPerRecord(1);
        const int32_t size = data.GetRecordSize(1.0, c.rate);
        data.GetWriter()->Initialize(0.0, c.start, c.rate, 1, 1.0);
        std::string rec(static_cast<size_t>(size), '\0');
        const int64_t at = c.start + c.offset;
        data.GetWriter()->Write(at, at, nullptr, static_cast<uint32_t>(size / 2), reinterpret_cast<uint8_t*>(rec.data()));
        const std::vector<Tal> tals = SplitRecord(rec);
        ASSERT_EQ(tals.size(), 2u);
        EXPECT_EQ(tals[1].onset, c.onset);
        EXPECT_EQ(data.GetMaxAnnotationLength(), static_cast<int32_t>(std::string(c.onset).size()) + 4);
    }
}

} // namespace

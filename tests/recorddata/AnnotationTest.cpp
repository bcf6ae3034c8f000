// The annotation sources (note rules, stages, order, window counts) and the
// EDF Annotations signal: exact TAL bytes per record, onset and duration
// texts, overflow, and a plan that holds every annotation wherever onset 0
// falls.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "recorddata/EDFAnnotationData.h"
#include "recorddata/SkrivoAnnotationManager.h"

using Manager = CSkrivoAnnotationManager;

namespace {

const std::string T14(1, '\x14'), T15(1, '\x15'), NUL(1, '\0');

Manager::NoteInput Note(const std::wstring& text, int64_t start, int64_t end = 0, const std::wstring& label = L"") {
    Manager::NoteInput n;
    n.text = text;
    n.start = start;
    n.end = end;
    n.label = label;
    return n;
}

std::vector<std::wstring> Texts(const Manager& m) {
    std::vector<std::wstring> out;
    for (const ANNOTATION_ENTRY& e : m.GetEntries())
        out.emplace_back(e.text);
    return out;
}

// The record as a string of capacity bytes: the TALs, then zeros.
std::string Record(const std::string& tals, size_t capacity) {
    std::string r = tals;
    r.resize(capacity, '\0');
    return r;
}

// The empty time-keeping TAL of a record starting at onset.
std::string Keep(const std::string& onset) { return onset + T14 + T14 + NUL; }

// The overflow message for a record short by n bytes.
std::wstring OffBy(int n) {
    return L"CEDFAnnotationData::CEDFAnnotationWriter::Write - insufficient space to write all annotations - off by " +
           std::to_wstring(n) + L" bytes";
}

// ---------------------------------------------------------------- sources

TEST(AnnotationManager, NoteRules) {
    // Known note texts map case-insensitively, only when the whole text matches.
    const std::pair<const wchar_t*, const wchar_t*> mapped[] = {
        {L"AROUSAL", L"EEG arousal"}, {L"Arousal 2", L"Arousal 2"}, {L" Arousal", L" Arousal"},
        {L"narrow complex tachycardia", L"NC tachycardia"}, {L"Narrow Complex", L"Narrow Complex"}};
    for (const auto& [text, want] : mapped)
        EXPECT_EQ(Manager::MapNoteText(text), want);

    // (Skipped and hidden notes, and texts cut to 63 characters, are checked
    // in the exported files.)
    Manager m;
    m.AddNotes({Note(L"a", 1000, 3560), // 2560 samples = 10 s at 256/s
                Note(L"b", 2000, 0),    // end 0: no duration
                Note(L"c", 3000, -1),   // negative end: no duration
                Note(L"", 4500)},       // an empty text is not written as one
               256.0);
    ASSERT_EQ(m.GetCount(), 4u);
    const auto& e = m.GetEntries();
    EXPECT_EQ(e[0].start, 1000);
    EXPECT_EQ(e[0].duration, 10.0);
    EXPECT_EQ(e[1].duration, 0.0);
    EXPECT_EQ(e[2].duration, 0.0);
    EXPECT_EQ(std::wstring(e[3].text), L"(no text)");

    // A staging label keeps only that scorer's notes and unlabelled ones.
    const std::vector<Manager::NoteInput> scored = {Note(L"A", 1, 0, L"Scorer A"), Note(L"B", 2, 0, L"Scorer B"),
                                                    Note(L"none", 3), Note(L"caseA", 4, 0, L"scorer a")};
    Manager without, with;
    without.AddNotes(scored, 256.0);
    EXPECT_EQ(without.GetCount(), 4u);
    Manager::StagingInput staging;
    staging.label = L"Scorer A";
    with.AddStages(staging, 256.0, 3); // no epochs, only the label
    EXPECT_EQ(with.GetStagingLabel(), L"Scorer A");
    with.AddNotes(scored, 256.0);
    EXPECT_EQ(Texts(with), (std::vector<std::wstring>{L"A", L"none"}));
}

TEST(AnnotationManager, StagesBecomeEpochAnnotations) {
    struct Case { int code, type; const wchar_t* text; } cases[] = {
        {4, 3, L"Sleep stage N3"}, {4, 5, L"Sleep stage N"}, {6, 0, L"Movement time"}, {6, 1, L"Sleep stage W"},
        {2, 2, L"Sleep stage 2"},  {7, 3, L"Sleep stage ?"}, {-1, 3, L"Sleep stage ?"}, {255, 0, L"Sleep stage ?"},
        {2, -1, L"Sleep stage ?"}, {2, 6, L"Sleep stage ?"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(Manager::StageText(c.code, c.type), c.text) << c.code << "/" << c.type;

    Manager m;
    Manager::StagingInput s;
    s.label = L"L";
    s.epochSeconds = 30;
    s.firstEpochStamp = 1000;
    s.codes = {0, 2, -1};
    m.AddStages(s, 200.3, 3); // 30 x 200.3 + 0.5 = 6009.5 -> 6009 samples per epoch
    ASSERT_EQ(m.GetCount(), 3u);
    const auto& e = m.GetEntries();
    EXPECT_EQ(e[1].start, 7009);
    EXPECT_EQ(e[2].start, 13018);
    EXPECT_EQ(e[2].duration, 30.0);
    EXPECT_EQ(Texts(m), (std::vector<std::wstring>{L"Sleep stage W", L"Sleep stage N2", L"Sleep stage ?"}));
}

TEST(AnnotationManager, SortsByStartThenShorterFirst) {
    Manager m;
    m.AddNotes({Note(L"late", 9000), Note(L"long", 7680, 7680 + 2560)}, 256.0);
    Manager::StagingInput s;
    s.firstEpochStamp = 7680;
    s.epochSeconds = 30;
    s.codes = {5};
    m.AddStages(s, 256.0, 0);
    m.AddNotes({Note(L"point", 7680), Note(L"early", 100)}, 256.0);
    EXPECT_EQ(Texts(m), (std::vector<std::wstring>{L"early", L"point", L"long", L"Sleep stage R", L"late"}));
}

TEST(AnnotationManager, MaxAnnotationsInWindow) {
    struct Case { std::vector<int64_t> stamps; int64_t window; int expected; } cases[] = {
        {{0, 100, 199, 200}, 200, 3},
        {{0, 100, 199, 200}, 201, 4},
        {{}, 200, 0},
        {{5, 5, 5, 5, 5}, 1, 5},
        {{0, 10, 20}, 0, 1},
        {{0, 1000, 1001, 1002, 5000}, 3, 3},
        {{0x7FFFFFFFFFF0, 0x7FFFFFFFFFFF}, 0x7FFFFFFFFFFFFFFF, 2}, // no overflow
    };
    for (const Case& c : cases) {
        Manager m;
        std::vector<Manager::NoteInput> notes;
        for (int64_t s : c.stamps)
            notes.push_back(Note(L"n", s));
        m.AddNotes(notes, 256.0);
        EXPECT_EQ(m.GetMaxAnnotationsInWindow(c.window), c.expected) << c.window;
    }
}

// ---------------------------------------------------------------- TAL bytes

class AnnotationWriterTest : public ::testing::Test {
protected:
    // 256 stamps per second, onset 0 at stamp 0.
    void Make(const std::vector<Manager::NoteInput>& notes, int perRecord = 8) {
        manager.AddNotes(notes, 256.0);
        data = std::make_unique<CEDFAnnotationData>(manager.CreateAnnotationIterator());
        data->SetAnnotationsPerRecord(perRecord);
        data->GetWriter()->Initialize(0.0, 0, 256.0, 1, 1.0);
    }
    std::string Write(int64_t start, int64_t end, uint32_t sampleCount) {
        std::string out(2 * sampleCount + 8, '\xEE');
        const uint32_t n = data->GetWriter()->Write(start, end, nullptr, sampleCount,
                                                    reinterpret_cast<uint8_t*>(out.data()));
        EXPECT_EQ(n, 2 * sampleCount);
        EXPECT_EQ(out.substr(2 * sampleCount), std::string(8, '\xEE')); // nothing past the capacity
        return out.substr(0, 2 * sampleCount);
    }
    Manager manager;
    std::unique_ptr<CEDFAnnotationData> data;
};

// Every record opens with its time-keeping TAL, then holds the annotations
// up to its last stamp, those that waited in a skipped gap with their own
// onsets: texts of one onset and duration share a TAL, different durations
// get TALs of their own, the shorter first; texts are UTF-8.
TEST_F(AnnotationWriterTest, RecordsHoldTheirAnnotationsInTals) {
    const std::pair<std::wstring, std::string> utf8[] = {
        {L"\u00B5V \u00E4 \u7761 \U0001F600", "\xC2\xB5V \xC3\xA4 \xE7\x9D\xA1 \xF0\x9F\x98\x80"},
        {{wchar_t(0xD83D), wchar_t(0xDE00)}, "\xF0\x9F\x98\x80"}, // a UTF-16 pair
        {{L'a', wchar_t(0xDC00), L'b'}, "a\xEF\xBF\xBD" "b"},     // a damaged unit becomes U+FFFD
        {{L'a', wchar_t(0x14), wchar_t(0x15), L'b'}, "a  b"},      // no separators inside a text
    };
    std::vector<Manager::NoteInput> notes = {Note(L"early", 700), Note(L"late", 900), Note(L"A", 3200),
                                             Note(L"B", 3200), Note(L"Spindle", 15360, 15360 + 7680),
                                             Note(L"X", 20480, 20480 + 7680), Note(L"Y", 20480)};
    for (size_t i = 0; i < std::size(utf8); ++i)
        notes.push_back(Note(utf8[i].first, 256 * (3700 + static_cast<int64_t>(i))));
    Make(notes);
    const struct { int64_t start, end; uint32_t samples; std::string tals; } records[] = {
        {0, 255, 8, Keep("+0")},
        {384, 639, 8, Keep("+1.5")},
        {768, 1023, 32, Keep("+3") + "+2.734375" + T14 + "early" + T14 + NUL + "+3.515625" + T14 + "late" + T14 + NUL},
        {3072, 3327, 16, Keep("+12") + "+12.5" + T14 + "A" + T14 + "B" + T14 + NUL},
        {3328, 15615, 32, Keep("+13") + "+60" + T15 + "30" + T14 + "Spindle" + T14 + NUL},
        {20480, 20735, 32, Keep("+80") + "+80" + T14 + "Y" + T14 + NUL + "+80" + T15 + "30" + T14 + "X" + T14 + NUL},
        {256 * 3600 + 1, 256 * 3601, 16, Keep("+3600.00390625")},
    };
    for (const auto& r : records)
        EXPECT_EQ(Write(r.start, r.end, r.samples), Record(r.tals, 2 * r.samples)) << r.start;
    for (size_t i = 0; i < std::size(utf8); ++i) {
        const std::string onset = "+" + std::to_string(3700 + i);
        EXPECT_EQ(Write(256 * (3700 + i), 256 * (3700 + i) + 255, 32),
                  Record(Keep(onset) + onset + T14 + utf8[i].second + T14 + NUL, 64));
    }
}

TEST_F(AnnotationWriterTest, OverflowMovesWhatDoesNotFitToTheNextRecord) {
    manager.AddStages({.label = L"", .epochSeconds = 30, .firstEpochStamp = 7000, .codes = {0}}, 256.0, 3);
    Make({Note(L"First", 10), Note(L"Second", 20), Note(L"Third", 30), Note(L"Late", 5000), Note(L"Later", 6000)}, 1);
    sk::LogCapture log;
    // 32 bytes: the time-keeping TAL (5) and "+0.0390625" 0x14 "First" 0x14
    // 0x00 (18) fit; "Second" needs 18 more with 9 left.
    EXPECT_EQ(Write(0, 255, 16), Record(Keep("+0") + "+0.0390625" + T14 + "First" + T14 + NUL, 32));
    EXPECT_TRUE(log.Contains(OffBy(9), 8));
    // Nothing is lost: the rest follows in the next records, onsets kept.
    EXPECT_EQ(Write(256, 511, 16), Record(Keep("+1") + "+0.078125" + T14 + "Second" + T14 + NUL, 32));
    EXPECT_EQ(Write(512, 767, 16), Record(Keep("+2") + "+0.1171875" + T14 + "Third" + T14 + NUL, 32));
    // A file's last record takes what follows it up to the next file's start
    // (5500, then none), as far as it fits; the rest is counted by kind.
    auto* w = static_cast<CEDFAnnotationData::CEDFAnnotationWriter*>(data->GetWriter());
    const std::string last = Record(Keep("+2") + "+0.1171875" + T14 + "Third" + T14 + NUL + "+19.53125" + T14 +
                                        "Late" + T14 + NUL, 48);
    const struct { int64_t upTo, notes, stages; } calls[] = {{5500, 0, 0}, {INT64_MAX, 1, 1}};
    for (const auto& c : calls) {
        std::string out(48, '\xEE');
        const auto rest = w->CompleteLastRecord(c.upTo, reinterpret_cast<uint8_t*>(out.data()), 24);
        EXPECT_TRUE(rest.rewritten);
        EXPECT_EQ(out, last);
        EXPECT_EQ(rest.notes, c.notes);
        EXPECT_EQ(rest.stages, c.stages);
    }
}

TEST(AnnotationWriter, SharedTalFillsTheRecordToTheLastByte) {
    // Keep("+0"), then "+0" 0x14 "ABC" 0x14 "DE" 0x14 0x00: 16 bytes.
    struct Case {
        uint32_t sampleCount;
        std::string tals;
        int offBy; // 0: nothing dropped
    } cases[] = {
        {8, Keep("+0") + "+0" + T14 + "ABC" + T14 + "DE" + T14 + NUL, 0},
        // "DE" does not fit; the zero fill closes the TAL that "ABC" left open.
        {7, Keep("+0") + "+0" + T14 + "ABC" + T14, 2},
        // "ABC" would take the last byte with its TAL still open: no
        // well-formed TAL holds it.
        {6, Keep("+0"), 1},
    };
    for (const Case& c : cases) {
        Manager m;
        m.AddNotes({Note(L"ABC", 0), Note(L"DE", 0)}, 256.0);
        CEDFAnnotationData data(m.CreateAnnotationIterator());
        data.SetAnnotationsPerRecord(2);
        data.GetWriter()->Initialize(0.0, 0, 256.0, 1, 1.0);
        sk::LogCapture log;
        std::string out(2 * c.sampleCount, '\xEE');
        data.GetWriter()->Write(0, 255, nullptr, c.sampleCount, reinterpret_cast<uint8_t*>(out.data()));
        EXPECT_EQ(out, Record(c.tals, 2 * c.sampleCount)) << c.sampleCount;
        EXPECT_EQ(log.Texts(8), c.offBy ? std::vector<std::wstring>{OffBy(c.offBy)} : std::vector<std::wstring>{});
    }
}

// A decimated record's time runs to where its next frame would start: a note
// after its last frame's stamp is its own (at a split, not the next file's).
TEST(AnnotationWriter, DecimatedRecordsHoldTheirLastFramesTime) {
    Manager m;
    m.AddNotes({Note(L"A", 255)}, 256.0);
    CEDFAnnotationData data(m.CreateAnnotationIterator());
    data.SetAnnotationsPerRecord(1);
    data.GetWriter()->Initialize(0.0, 0, 64.0, 4, 1.0);
    std::string out(32, '\xEE');
    data.GetWriter()->Write(0, 252, nullptr, 16, reinterpret_cast<uint8_t*>(out.data()));
    EXPECT_EQ(out, Record(Keep("+0") + "+0.99609375" + T14 + "A" + T14 + NUL, 32));
}

TEST_F(AnnotationWriterTest, TinyRecordsNeverOverrun) {
    Make({Note(L"A", 0), Note(L"B", 300), Note(L"C", 600)}, 1);
    sk::LogCapture log;
    EXPECT_EQ(Write(0, 255, 0), "");
    EXPECT_EQ(Write(256, 511, 2), std::string(4, '\0')); // "+1" and its separators need 5 bytes
    // A and B wait until a record can take them, then give way as late
    // arrivals; C does not fit the one byte left.
    EXPECT_EQ(Write(512, 767, 3), Record(Keep("+2"), 6));
    EXPECT_EQ(log.EventCount(), 3u);
    // A time-keeping TAL that fills the record to its last byte is written.
    EXPECT_EQ(Write(2560, 2815, 3), Keep("+10"));
}

TEST(AnnotationWriter, OnsetAndDurationTexts) {
    struct Case {
        double fraction;
        int64_t startStamp;
        double frequency;
        int32_t decimation;
        int64_t stamp;
        const char* onset;
    } cases[] = {
        // 0.25 s start fraction: stamp 1000 lies 0.15625 s into its second.
        {0.25, 1000, 256.0, 1, 1000, "+0.15625"},
        {0.25, 1000, 256.0, 1, 768, "-0.75"},
        {0.0, 0, 256.0, 1, -256, "-1"},
        {0.0, 0, 128.0, 2, 3, "+0.01171875"}, // stamps at 2 x 128 per second
        {0.0, 0, 200.0, 1, 201, "+1.005"},
        {0.0, 0, 200.0, 1, 200 * 86400, "+86400"},
        {0.5, 0, 200.0, 1, 0, "+0.5"}, // base stamp -100
    };
    for (const Case& c : cases) {
        CEDFAnnotationData data(nullptr);
        auto* w = static_cast<CEDFAnnotationData::CEDFAnnotationWriter*>(data.GetWriter());
        w->Initialize(c.fraction, c.startStamp, c.frequency, c.decimation, 1.0);
        EXPECT_EQ(w->OnsetText(c.stamp), c.onset) << c.stamp;
    }
    const std::pair<double, const char*> durations[] = {
        {30.0, "30"},   {0.5, "0.5"},     {1.0 / 3.0, "0.333333333333333"}, {86400.0, "86400"},
        {0.1, "0.1"},   {100.25, "100.25"}, {0.0, ""},                      {-3.0, ""},
    };
    for (const auto& [d, text] : durations)
        EXPECT_EQ(CEDFAnnotationData::DurationText(d), text) << d;
}

// ---------------------------------------------------------------- the plan

TEST(AnnotationData, PlanCountsTheLongestTexts) {
    Manager m;
    m.AddNotes({Note(L"Hello", 3200), Note(L"\u00B5V", 15360, 15360 + 7680)}, 256.0);
    CEDFAnnotationData data(m.CreateAnnotationIterator());
    std::unique_ptr<IAnnotationIterator> scan(m.CreateAnnotationIterator());
    data.Prepare(0, 3600.0, 256.0, scan.get());
    // "+3600.00390625" and three separators.
    EXPECT_EQ(data.GetTimeKeepingLength(), 17);
    // Onset 0 may lie up to 255 stamps before stamp 0, so the notes can be
    // written at up to +13.49609375 and +60.99609375: "+13.49609375" 0x14
    // "Hello" 0x14 0x00 is 20 bytes, "+60.99609375" 0x15 "30" 0x14 "µV" 0x14
    // 0x00 is 21.
    EXPECT_EQ(data.GetMaxAnnotationLength(), 21);
    const std::pair<int, int> sizes[] = {{0, 32}, {1, 48}, {3, 96}};
    for (const auto& [perRecord, bytes] : sizes) {
        data.SetAnnotationsPerRecord(perRecord);
        EXPECT_EQ(data.GetRecordSize(1.0, 256.0), bytes) << perRecord;
    }
    // Short recordings count as one second.
    data.Prepare(0, 0.2, 256.0, nullptr);
    EXPECT_EQ(data.GetTimeKeepingLength(), 1 + 8 + 5);
    // 99.5 s from the start stamp can be up to 100.5 s from onset 0: a
    // time-keeping onset such as "+100.99609375" and three separators.
    data.Prepare(0, 99.5, 256.0, nullptr);
    EXPECT_EQ(data.GetTimeKeepingLength(), 16);
}

// The planned length is the longest TAL the writer can actually produce: each
// case places onset 0 so that the note is written with every fraction digit
// the rate allows (at most 15 places) or with one more integer digit than
// measured from the start, and the TAL comes out exactly as long as planned.
// The last case: two 63-character notes 10 s after stamp 1000 at 256 Hz,
// written at +10.90625 (onset 0 lies 232 stamps before the start), 6
// characters longer than measured from the start.
TEST(AnnotationSizing, PlanEqualsTheLongestOnsetTheRateCanPrint) {
    struct Case {
        double rate;
        int64_t start;
        int64_t offset; // stamps from the start to the note
        const char* onset;
        size_t textLength = 1;
        int64_t writeFrom = -1; // first stamp of the record written (-1: the note's)
        bool exact = true;      // false: the plan may allow for a longer onset
    } cases[] = {
        {1.0, 1, 10, "+10"},
        {200.0, 1, 2000, "+10.005"},
        {256.0, 1, 2560, "+10.00390625"},
        {384.0, 1, 3840, "+10.002604166666667"},
        {1048576.0, 1, 10485760, "+10.000000953674316"},
        {256.0, 255, 99 * 256 + 128, "+100.49609375"},
        {200.0, 199, 99 * 200 + 100, "+100.495"},
        {256.0, 1000, 2560, "+10.90625", 63, 3464, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.onset);
        Manager m;
        const int64_t at = c.start + c.offset;
        const std::wstring text(c.textLength, L'x');
        const auto second = static_cast<int64_t>(c.rate);
        m.AddNotes({Note(text, at, at + second), Note(text, at, at + 2 * second)}, c.rate);
        CEDFAnnotationData data(m.CreateAnnotationIterator());
        std::unique_ptr<IAnnotationIterator> scan(m.CreateAnnotationIterator());
        data.Prepare(c.start, 200.0, c.rate, scan.get());
        data.SetAnnotationsPerRecord(2);
        const int32_t size = data.GetRecordSize(1.0, c.rate);
        data.GetWriter()->Initialize(0.0, c.start, c.rate, 1, 1.0);
        sk::LogCapture log;
        std::string rec(static_cast<size_t>(size), '\0');
        const int64_t from = c.writeFrom >= 0 ? c.writeFrom : at;
        data.GetWriter()->Write(from, from + static_cast<int64_t>(c.rate) - 1, nullptr, static_cast<uint32_t>(size / 2),
                                reinterpret_cast<uint8_t*>(rec.data()));
        const std::string longest = std::string(c.onset) + T15 + "2" + T14 + std::string(c.textLength, 'x') + T14 + NUL;
        EXPECT_NE(rec.find(longest), std::string::npos);
        const auto planned = static_cast<size_t>(data.GetMaxAnnotationLength());
        EXPECT_TRUE(c.exact ? planned == longest.size() : planned >= longest.size()) << planned;
        EXPECT_EQ(log.EventCount(), 0u);
    }
}

} // namespace

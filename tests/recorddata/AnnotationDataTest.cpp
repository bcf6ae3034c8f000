// EDF Annotations signal: exact TAL bytes per record, onset and duration
// texts, sizing, overflow, and UTF-8 texts.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/Log.h"
#include "recorddata/EDFAnnotationData.h"
#include "recorddata/SkrivoAnnotationManager.h"

using Manager = CSkrivoAnnotationManager;

namespace {

const std::string T14(1, '\x14'), T15(1, '\x15'), NUL(1, '\0');

Manager::NoteInput Note(const std::wstring& text, int64_t start, int64_t end = 0) {
    Manager::NoteInput n;
    n.text = text;
    n.start = start;
    n.end = end;
    return n;
}

// The record as a string of capacity bytes: the TALs, then zeros.
std::string Record(const std::string& tals, size_t capacity) {
    std::string r = tals;
    r.resize(capacity, '\0');
    return r;
}

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

TEST_F(AnnotationWriterTest, RecordsWithoutAnnotationsHoldOnlyTheTimeKeepingTal) {
    Make({});
    EXPECT_EQ(Write(0, 255, 8), Record("+0" + T14 + T14 + NUL, 16));
    EXPECT_EQ(Write(256, 511, 8), Record("+1" + T14 + T14 + NUL, 16));
    EXPECT_EQ(Write(384, 639, 8), Record("+1.5" + T14 + T14 + NUL, 16));
    EXPECT_EQ(Write(256 * 3600 + 1, 256 * 3601, 16), Record("+3600.00390625" + T14 + T14 + NUL, 32));
}

TEST_F(AnnotationWriterTest, SharedOnsetDurationsAndSeparateTals) {
    Make({Note(L"A", 3200), Note(L"B", 3200), Note(L"Spindle", 15360, 15360 + 7680), Note(L"X", 20480, 20480 + 7680),
          Note(L"Y", 20480)});
    EXPECT_EQ(Write(3072, 3327, 16), Record("+12" + T14 + T14 + NUL + "+12.5" + T14 + "A" + T14 + "B" + T14 + NUL, 32));
    EXPECT_EQ(Write(3328, 15615, 32),
              Record("+13" + T14 + T14 + NUL + "+60" + T15 + "30" + T14 + "Spindle" + T14 + NUL, 64));
    // Same onset, different durations: two TALs, the shorter first.
    EXPECT_EQ(Write(20480, 20735, 32), Record("+80" + T14 + T14 + NUL + "+80" + T14 + "Y" + T14 + NUL + "+80" + T15 +
                                                  "30" + T14 + "X" + T14 + NUL,
                                              64));
}

TEST_F(AnnotationWriterTest, TextsAreUtf8) {
    Make({Note(L"\u00B5V \u00E4 \u7761 \U0001F600", 0), Note(L"\u00B5", 256)});
    const std::string text = "\xC2\xB5V \xC3\xA4 \xE7\x9D\xA1 \xF0\x9F\x98\x80";
    EXPECT_EQ(Write(0, 255, 32), Record("+0" + T14 + T14 + NUL + "+0" + T14 + text + T14 + NUL, 64));
    EXPECT_EQ(Write(256, 511, 16), Record("+1" + T14 + T14 + NUL + "+1" + T14 + "\xC2\xB5" + T14 + NUL, 32));
}

TEST_F(AnnotationWriterTest, UnusualCodeUnits) {
    const std::wstring pair = {wchar_t(0xD83D), wchar_t(0xDE00)};   // UTF-16 pair of U+1F600
    const std::wstring lone = {L'a', wchar_t(0xDC00), L'b'};        // the damaged unit becomes U+FFFD
    const std::wstring separators = {L'a', wchar_t(0x14), wchar_t(0x15), L'b'};
    Make({Note(pair, 0), Note(lone, 256), Note(separators, 512)});
    EXPECT_EQ(Write(0, 255, 16), Record("+0" + T14 + T14 + NUL + "+0" + T14 + "\xF0\x9F\x98\x80" + T14 + NUL, 32));
    EXPECT_EQ(Write(256, 511, 16), Record("+1" + T14 + T14 + NUL + "+1" + T14 + "a\xEF\xBF\xBD" "b" + T14 + NUL, 32));
    EXPECT_EQ(Write(512, 767, 16), Record("+2" + T14 + T14 + NUL + "+2" + T14 + "a  b" + T14 + NUL, 32));
}

TEST_F(AnnotationWriterTest, OverflowMovesWhatDoesNotFitToTheNextRecord) {
    Make({Note(L"First", 10), Note(L"Second", 20), Note(L"Third", 30)}, 1);
    sk::LogCapture log;
    // 32 bytes: the time-keeping TAL (5) and "+0.0390625" 0x14 "First" 0x14
    // 0x00 (18) fit; "Second" needs 18 more with 9 left.
    EXPECT_EQ(Write(0, 255, 16), Record("+0" + T14 + T14 + NUL + "+0.0390625" + T14 + "First" + T14 + NUL, 32));
    EXPECT_TRUE(log.Contains(L"CEDFAnnotationData::CEDFAnnotationWriter::Write - insufficient space to write all "
                             L"annotations - off by 9 bytes",
                             8));
    // Nothing is lost: the rest follows in the next records, onsets kept.
    EXPECT_EQ(Write(256, 511, 16), Record("+1" + T14 + T14 + NUL + "+0.078125" + T14 + "Second" + T14 + NUL, 32));
    EXPECT_EQ(Write(512, 767, 16), Record("+2" + T14 + T14 + NUL + "+0.1171875" + T14 + "Third" + T14 + NUL, 32));
}

TEST(AnnotationWriter, SharedTalFillsTheRecordToTheLastByte) {
    // "+0" 0x14 0x14 0x00, then "+0" 0x14 "ABC" 0x14 "DE" 0x14 0x00: 16 bytes.
    struct Case {
        uint32_t sampleCount;
        std::string tals;
        int offBy; // 0: nothing dropped
    } cases[] = {
        {8, "+0" + T14 + T14 + NUL + "+0" + T14 + "ABC" + T14 + "DE" + T14 + NUL, 0},
        // "DE" does not fit; the zero fill closes the TAL that "ABC" left open.
        {7, "+0" + T14 + T14 + NUL + "+0" + T14 + "ABC" + T14, 2},
        // "ABC" would take the last byte with its TAL still open: no
        // well-formed TAL holds it.
        {6, "+0" + T14 + T14 + NUL, 1},
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
        const std::vector<std::wstring> errors = log.Texts(8);
        if (c.offBy == 0) {
            EXPECT_TRUE(errors.empty()) << c.sampleCount;
        } else {
            ASSERT_EQ(errors.size(), 1u) << c.sampleCount;
            EXPECT_EQ(errors[0], L"CEDFAnnotationData::CEDFAnnotationWriter::Write - insufficient space to write all "
                                 L"annotations - off by " + std::to_wstring(c.offBy) + L" bytes");
        }
    }
}

TEST_F(AnnotationWriterTest, TinyRecordsNeverOverrun) {
    Make({Note(L"A", 0), Note(L"B", 300), Note(L"C", 600)}, 1);
    sk::LogCapture log;
    EXPECT_EQ(Write(0, 255, 0), "");
    EXPECT_EQ(Write(256, 511, 2), std::string(4, '\0')); // "+1" and its separators need 5 bytes
    // A and B wait until a record can take them, then give way as late
    // arrivals; C does not fit the one byte left.
    EXPECT_EQ(Write(512, 767, 3), Record("+2" + T14 + T14 + NUL, 6));
    EXPECT_EQ(log.EventCount(), 3u);
    // A time-keeping TAL that fills the record to its last byte is written.
    EXPECT_EQ(Write(2560, 2815, 3), "+10" + T14 + T14 + NUL);
}

TEST_F(AnnotationWriterTest, AnnotationsFromASkippedGapKeepTheirOnset) {
    Make({Note(L"early", 100), Note(L"late", 300)}, 2);
    EXPECT_EQ(Write(256, 511, 32), Record("+1" + T14 + T14 + NUL + "+0.390625" + T14 + "early" + T14 + NUL +
                                              "+1.171875" + T14 + "late" + T14 + NUL,
                                          64));
}

TEST(AnnotationWriter, BaseStampAndOnsetTexts) {
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
        {0.0, 0, 256.0, 1, 3200, "+12.5"},
        {0.0, 0, 256.0, 1, -256, "-1"},
        {0.0, 0, 128.0, 2, 3, "+0.01171875"},    // stamps at 2 x 128 per second
        {0.0, 0, 200.0, 1, 201, "+1.005"},
        {0.0, 0, 200.0, 1, 200 * 86400, "+86400"},
        {0.5, 0, 200.0, 1, 0, "+0.5"},            // base stamp -100
    };
    for (const Case& c : cases) {
        CEDFAnnotationData data(nullptr);
        auto* w = static_cast<CEDFAnnotationData::CEDFAnnotationWriter*>(data.GetWriter());
        w->Initialize(c.fraction, c.startStamp, c.frequency, c.decimation, 1.0);
        EXPECT_EQ(w->OnsetText(c.stamp), c.onset) << c.stamp;
    }
}

TEST(AnnotationData, DurationTexts) {
    const std::pair<double, const char*> cases[] = {
        {30.0, "30"},     {0.5, "0.5"},         {1.0 / 3.0, "0.333333333333333"}, {1234.5, "1234.5"},
        {0.1, "0.1"},     {86400.0, "86400"},   {2.0 / 3.0, "0.666666666666667"}, {100.25, "100.25"},
        {0.0, ""},        {-3.0, ""},
    };
    for (const auto& [d, text] : cases)
        EXPECT_EQ(CEDFAnnotationData::DurationText(d), text) << d;
}

TEST(AnnotationData, NumberLengths) {
    struct Case { double x; bool sign; int length; } cases[] = {
        {0.0, false, 1}, {0.0, true, 2},     {12.5, true, 5},        {-0.75, true, 5},
        {1234.0, false, 4}, {1.0 / 256.0, false, 10}, {1e6, false, 7}, {9.5, false, 3},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CEDFAnnotationData::NumberLength(c.x, c.sign), c.length) << c.x;
}

TEST(AnnotationData, PrepareAndRecordSize) {
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
    const std::pair<int, int> sizes[] = {{0, 32}, {1, 48}, {2, 64}, {3, 96}, {10, 240}};
    for (const auto& [perRecord, bytes] : sizes) {
        data.SetAnnotationsPerRecord(perRecord);
        EXPECT_EQ(data.GetRecordSize(1.0, 256.0), bytes) << perRecord;
    }
    // Short recordings count as one second; 200 stamps per second has
    // fraction digits that do not end in binary, but sizes stay multiples of 16.
    data.Prepare(0, 0.2, 256.0, nullptr);
    EXPECT_EQ(data.GetTimeKeepingLength(), 1 + 8 + 5);
    for (double rate : {200.0, 500.0, 1000.0 / 3.0, 256.0}) {
        std::unique_ptr<IAnnotationIterator> s(m.CreateAnnotationIterator());
        data.Prepare(0, 86400.0, rate, s.get());
        data.SetAnnotationsPerRecord(3);
        EXPECT_EQ(data.GetRecordSize(1.0, rate) % 16, 0) << rate;
        EXPECT_GT(data.GetRecordSize(1.0, rate), 0);
    }
}

TEST(AnnotationData, PreparedSizeHoldsTheDensestRecord) {
    // Sized by the manager's window count, the densest record is written
    // without loss.
    Manager m;
    m.AddNotes({Note(L"Obstructive apnea", 1000, 1000 + 2560), Note(L"EEG arousal", 1001), Note(L"\u00E4\u00F6\u00FC", 1200),
                Note(L"x", 9000)},
               256.0);
    CEDFAnnotationData data(m.CreateAnnotationIterator());
    std::unique_ptr<IAnnotationIterator> scan(m.CreateAnnotationIterator());
    data.Prepare(0, 60.0, 256.0, scan.get());
    data.SetAnnotationsPerRecord(m.GetMaxAnnotationsInWindow(256));
    const int32_t size = data.GetRecordSize(1.0, 256.0);
    // The longest TAL is "+4.90234375" 0x15 "10" 0x14 "Obstructive apnea"
    // 0x14 0x00 (34 bytes) when onset 0 lies 255 stamps before stamp 0:
    // 3 x 34 + 15 + 1, rounded up to 16.
    EXPECT_EQ(size, 128);
    data.GetWriter()->Initialize(0.0, 0, 256.0, 1, 1.0);
    sk::LogCapture log;
    std::string out(static_cast<size_t>(size), '\xEE');
    data.GetWriter()->Write(1024, 1279, nullptr, static_cast<uint32_t>(size / 2), reinterpret_cast<uint8_t*>(out.data()));
    EXPECT_EQ(log.EventCount(), 0u);
    EXPECT_EQ(out, Record("+4" + T14 + T14 + NUL + "+3.90625" + T15 + "10" + T14 + "Obstructive apnea" + T14 + NUL +
                              "+3.91015625" + T14 + "EEG arousal" + T14 + NUL + "+4.6875" + T14 +
                              "\xC3\xA4\xC3\xB6\xC3\xBC" + T14 + NUL,
                          static_cast<size_t>(size)));
}

} // namespace

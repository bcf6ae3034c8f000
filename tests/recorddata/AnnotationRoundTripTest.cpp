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

using Manager = CSkrivoAnnotationManager;

namespace {

struct ParsedAnnotation {
    double onset;
    std::string duration;
    std::string text;
};

// Splits one record into its TALs; fails the test on a malformed record.
std::vector<ParsedAnnotation> ParseRecord(const std::string& rec, double& recordOnset) {
    std::vector<ParsedAnnotation> out;
    size_t pos = 0;
    bool first = true;
    while (pos < rec.size() && rec[pos] != '\0') {
        const size_t end = rec.find('\0', pos);
        EXPECT_NE(end, std::string::npos);
        if (end == std::string::npos)
            break;
        const std::string tal = rec.substr(pos, end - pos);
        pos = end + 1;
        const size_t sep = tal.find('\x14');
        EXPECT_NE(sep, std::string::npos) << tal;
        if (sep == std::string::npos)
            break;
        std::string head = tal.substr(0, sep);
        std::string duration;
        if (const size_t d = head.find('\x15'); d != std::string::npos) {
            duration = head.substr(d + 1);
            head = head.substr(0, d);
        }
        EXPECT_TRUE(head[0] == '+' || head[0] == '-') << head;
        const double onset = std::stod(head);
        std::vector<std::string> texts;
        size_t t = sep + 1;
        while (t < tal.size()) {
            const size_t e = tal.find('\x14', t);
            EXPECT_NE(e, std::string::npos);
            if (e == std::string::npos)
                break;
            texts.push_back(tal.substr(t, e - t));
            t = e + 1;
        }
        if (first) {
            EXPECT_TRUE(texts.size() == 1 && texts[0].empty()) << "time-keeping TAL first";
            recordOnset = onset;
            first = false;
            continue;
        }
        for (const std::string& text : texts)
            out.push_back({onset, duration, text});
    }
    for (; pos < rec.size(); ++pos)
        EXPECT_EQ(rec[pos], '\0') << "zero fill";
    return out;
}

// UTF-8 of the BMP texts these tests generate (encoded here independently of
// the writer's own conversion).
std::string Utf8(const wchar_t* w) {
    std::string out;
    for (; *w; ++w) {
        const uint32_t c = static_cast<uint32_t>(*w);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

struct Scenario {
    double frequency;
    double startFraction;
    int64_t startStamp;
    uint32_t recordFrames;
};

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

// Number writer, record layout, header fields and start times, and the
// export list entry, each on its own.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <locale>

#include "platform/Log.h"
#include "platform/Sync.h"
#include "recorddata/EDFAnnotationData.h"
#include "recorddata/EDFRecordData.h"
#include "recorddata/SkrivoAnnotationManager.h"
#include "support/TempDir.h"
#include "writer/ExportDetails.h"
#include "writer/Skrivoer.h"
#include "writer/WriterTestUtil.h"

using sk::test::MakeTemplate;

namespace {

// A signal whose record size is 2 x D x f (truncated), or a fixed size.
class FakeProcessor : public CEDFRecordData {
public:
    explicit FakeProcessor(std::wstring label = L"Fp1", int32_t fixedSize = -1)
        : m_label(std::move(label)), m_fixed(fixedSize) {
        SetUnits(L"uV");
    }
    std::wstring GetLabel() const override { return m_label; }
    void GetRange(int32_t& dmin, int32_t& dmax, double& pmin, double& pmax) const override {
        dmin = -32768;
        dmax = 32767;
        pmin = -3276.8;
        pmax = 3276.7;
    }
    int32_t GetRecordSize(double d, double f) const override {
        return m_fixed >= 0 ? m_fixed : static_cast<int32_t>(2.0 * d * f);
    }
    IEDFRecordWriter* GetWriter() override { return &m_writer; }

private:
    class Writer : public IEDFRecordWriter {
    public:
        uint32_t Write(int64_t, int64_t, const uint8_t*, uint32_t n, uint8_t* out) override {
            std::memset(out, 0, 2 * n);
            return 2 * n;
        }
    } m_writer;
    std::wstring m_label;
    int32_t m_fixed;
};

// A global locale with a decimal comma must not reach the header.
struct CommaPunct : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
};

TEST(NumberWriter, FixedWidthFormsWhateverTheLocale) {
    const struct {
        double value;
        int width;
        const char* text; // nullptr: cannot be written
    } cases[] = {
        {-3276.8, 8, "-3276.8"},      {1.5, 8, "1.5"},            {-100, 8, "-100"},
        {0.001234567, 8, "0.001235"}, {123456789, 8, "1.23e+08"}, {0.1, 8, "0.1"},
        {6, 8, "6"},                  {1382.0 / 256.0, 8, "5.398438"}, {-12345.678901, 8, "-12345.7"},
        {12345678.9, 8, "1.23e+07"},  {-123456789, 8, "-1.2e+08"}, {0, 8, "0"},
        {99999999, 8, "99999999"},    {1e300, 4, nullptr},        {-3200, 4, nullptr},
        {std::nan(""), 8, nullptr},
    };
    const std::locale old = std::locale::global(std::locale(std::locale::classic(), new CommaPunct));
    for (const auto& c : cases) {
        bool ok = !c.text;
        const std::string text = CSkrivoer::FormatDouble(c.value, c.width, &ok);
        EXPECT_EQ(ok, c.text != nullptr) << c.value;
        if (c.text) {
            EXPECT_EQ(text, c.text) << c.value;
        }
    }
    std::locale::global(old);
}

TEST(RecordLayout, DurationsFramesAndSizes) {
    const struct {
        int signals;
        double frequency;
        int fixedExtra;  // size of one extra fixed-size signal, -1 none
        double duration; // 0: not checked
        int frames;      // -1: at least one
    } cases[] = {
        {20, 256, -1, 6.0, 1536},
        {3, 200, -1, 51.0, 10200},
        {70, 500, -1, 0.1, 50},
        {70, 512, -1, 0.5, 256},
        {120, 256, -1, 1.0, 256},
        // 19 signals plus a 3173-byte signal (kept as 3172: records hold
        // whole 16-bit samples) overshoot the limit by 100 bytes: one tenth
        // shorter (1382 frames), then down to the largest frame count whose
        // duration the 8-character field holds exactly (1382/256 s is
        // "5.3984375").
        {19, 256, 3173, 5.390625, 1380},
        // 61776 bytes at one second: shortened below one second.
        {119, 256, 848, 0.890625, 228},
        // A rate that is not whole: the longest whole-second duration that
        // holds whole samples.
        {11, 256.0 / 3.0, -1, 30.0, 2560},
        // 30 s at 100.7833 Hz is 3023.5 samples: a truncating size would be
        // odd. Every signal holds twice its samples.
        {10, 100.7833, -1, 0, -1}, {10, 255.9, -1, 0, -1}, {10, 85.3, -1, 0, -1}, {10, 1000.0 / 7.0, -1, 0, -1},
        // A signal larger than the limit still gets a record; no frequency
        // gives no layout.
        {1, 256, 200000, 0, -1},
        {1, 0, -1, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.signals << " signals at " << c.frequency << " Hz");
        CSkrivoer w(CKeyTree(), MakeTemplate(L"EDF"), L"");
        for (int i = 0; i < c.signals; ++i)
            w.AddProcessor(new FakeProcessor());
        if (c.fixedExtra >= 0)
            w.AddProcessor(new FakeProcessor(L"Extra", c.fixedExtra));
        if (c.frequency > 0)
            w.SetSampleFrequency(c.frequency);
        w.ComputeRecordLayout();
        if (c.duration > 0) {
            EXPECT_DOUBLE_EQ(w.GetRecordDuration(), c.duration);
        }
        EXPECT_TRUE(c.frames < 0 ? w.GetFramesPerRecord() >= 1 : w.GetFramesPerRecord() == c.frames)
            << w.GetFramesPerRecord();
        int64_t sum = 0;
        for (int i = 0; i < c.signals; ++i)
            EXPECT_EQ(w.GetRecordSizes()[static_cast<size_t>(i)], 2 * w.GetFramesPerRecord());
        for (int32_t s : w.GetRecordSizes())
            sum += s;
        EXPECT_EQ(w.GetBytesPerRecord(), sum);
        EXPECT_EQ(w.GetRecordSizes().back() % 2, 0);
        if (c.duration > 0) {
            EXPECT_LE(w.GetBytesPerRecord(), 61440);
        }
    }
}

// Notes clustered at one instant make the annotation signal alone larger
// than the record limit. Shortening stops at one second (or at a first
// duration already below it) and reports that the template cannot fit.
TEST(RecordLayout, DenseAnnotationsStopAtOneSecond) {
    struct Case {
        int signals;
        double frequency;
        double duration;
    } cases[] = {{20, 256, 1.0}, {70, 500, 0.1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signals);
        CKeyTree study;
        study.AddKey(L"Samples.Start", static_cast<int64_t>(0));
        study.AddKey(L"Samples.End", static_cast<int64_t>(c.frequency * 3600));
        CSkrivoer w(study, MakeTemplate(L"EDF+"), L"");
        std::vector<CSkrivoAnnotationManager::NoteInput> notes(1000);
        for (auto& n : notes) {
            n.text = L"Burst of spikes over the left temporal chain of electrodes";
            n.start = 1000;
        }
        w.GetAnnotationManager().AddNotes(notes, c.frequency);
        for (int i = 0; i < c.signals; ++i)
            w.AddProcessor(new FakeProcessor());
        w.AddProcessor(new CEDFAnnotationData(w.GetAnnotationManager().CreateAnnotationIterator()));
        w.SetSampleFrequency(c.frequency);
        sk::LogCapture log;
        w.ComputeRecordLayout();
        EXPECT_DOUBLE_EQ(w.GetRecordDuration(), c.duration);
        EXPECT_EQ(w.GetFramesPerRecord(), static_cast<int32_t>(c.duration * c.frequency));
        EXPECT_GT(w.GetBytesPerRecord(), 61440);
        EXPECT_EQ(log.EventCount(), 1u);
    }
}

// --- header -----------------------------------------------------------------

class HeaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    // Writes a header with two fake signals and returns its bytes.
    std::string Header(const CKeyTree& study, const CKeyTree& tmpl, int64_t stamp = 0,
                       const std::wstring& secondLabel = L"C3") {
        CSkrivoer w(study, tmpl, dir.wpath());
        w.AddProcessor(new FakeProcessor(L"Fp1"));
        w.AddProcessor(new FakeProcessor(secondLabel));
        w.SetSampleFrequency(256);
        w.ComputeRecordLayout();
        std::wstring path = dir.wpath() + L"/h.edf";
        EXPECT_TRUE(w.OpenOutputFile(path));
        EXPECT_TRUE(w.WriteHeader(stamp));
        EXPECT_TRUE(w.CloseOutputFile());
        return sk::test::ReadAll(dir.path().string() + "/h.edf");
    }
    static double OleDate(int y, unsigned m, unsigned d, int hh, int mm, int ss) {
        using namespace std::chrono;
        auto days = (sys_days{year{y} / month{m} / day{d}} - sys_days{year{1899} / December / 30}).count();
        return static_cast<double>(days) + (hh * 3600 + mm * 60 + ss) / 86400.0;
    }
    static CLuser* FileTime(int y, unsigned m, unsigned d, int hh, int mm, int ss, int ms) {
        using namespace std::chrono;
        int64_t unix = duration_cast<seconds>(sys_days{year{y} / month{m} / day{d}}.time_since_epoch()).count() +
                       hh * 3600 + mm * 60 + ss;
        uint64_t ft = static_cast<uint64_t>(unix + 11644473600LL) * 10000000ull + static_cast<uint64_t>(ms) * 10000ull;
        std::vector<uint8_t> bytes(8);
        for (int i = 0; i < 8; ++i)
            bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(ft >> (8 * i));
        return new CLuser(bytes);
    }
    sk::test::TempDir dir{"hdr"};
};

TEST_F(HeaderTest, ReservedFieldFollowsFormatContiguityAndPadding) {
    struct Case {
        const wchar_t* format;
        int contiguous;
        int pad;
        const char* reserved;
    } cases[] = {
        {L"EDF", 0, 0, ""}, {L"EDF+", 1, 0, "EDF+C"}, {L"edf+", 0, 0, "EDF+D"}, {L"EDF+", 0, 1, "EDF+C"},
    };
    for (const auto& c : cases) {
        CKeyTree study;
        study.AddKey(L"Samples.Contiguous", c.contiguous);
        CKeyTree t = MakeTemplate(c.format);
        t.AddKey(L"PadGaps", c.pad);
        std::string h = Header(study, t);
        ASSERT_EQ(h.size(), 256u * 3);
        std::string expected = std::string(c.reserved) + std::string(44 - strlen(c.reserved), ' ');
        EXPECT_EQ(h.substr(192, 44), expected);
        EXPECT_EQ(h.substr(236, 8), "-1      ");
        EXPECT_EQ(h.substr(244, 8), "60      ");
        EXPECT_EQ(h.substr(252, 4), "2   ");
        EXPECT_EQ(h.substr(184, 8), "768     ");
    }
}

// The patient and recording lines follow the EDF+ subfield rules: sex "F",
// "M" or "X", spaces inside a subfield made underscores, names rendered in
// ASCII (or "X" when they cannot be), control characters treated like
// non-ASCII ones; de-identification keeps only the start. Every field keeps
// its width, so an overlong text never moves a later field, and every
// header byte is printable ASCII.
TEST_F(HeaderTest, IdentificationFieldsAndLabels) {
    const std::wstring longId(85, L'7');
    const struct {
        const wchar_t *gender, *id, *label; // the second signal's label
        std::string patient, label2;
        int deidentify = 0;
        bool named = false; // van Dyke, José, born 3 Feb 1971, recorded 5 Mar 2024 10:20:30
        const char* recording = "Startdate X X "; // no creation time: date X, then the study name
    } cases[] = {
        {L"female", L"MRN 42", L"C3", "MRN_42 F 03-FEB-1971 van_Dyke,Jose", "C3", 0, true,
         "Startdate 05-MAR-2024 X X X  "},
        {L"female", L"MRN 42", L"C3", "X X X X_X", "C3", 1, true, "Startdate X X X X  "},
        {L"", L"", L"C3", "X X X X,X", "C3"},
        {L"Male", L"MRN 42", L"C3", "MRN_42 M X X,X", "C3"},
        {L"Unknown", L"MRN\t42", L"C\t3", "X X X X,X", "Ch2"},
        {L"u", L"\x7f", L"C3\n", "X X X X,X", "Ch2"},
        {L"x", L"MRN_42", L"\x1b" L"C3", "MRN_42 X X X,X", "Ch2"},
        {L"\u00c9", L"~", L"C~3", "~ X X X,X", "C~3"},
        {L"\tF", L"A", L"C3", "A X X X,X", "C3"},
        {L"M", L"Gr\u00fcn-\u00c5s e\u0301", L"C3", "Gruen-Aas_e M X X,X", "C3"}, // transliterated
        {L"F", L"\u738b 7", L"C\u00b3", "X F X X,X", "Ch2"},                      // no rendering
        {L"F", longId.c_str(), L"C3-Average-Longer", std::string(80, '7'), "C3-Average-Longe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.patient);
        CKeyTree study;
        study.AddKey(L"Info.Personal.Gender", std::wstring(c.gender));
        study.AddKey(L"Info.Admin.ID", std::wstring(c.id));
        study.AddKey(L"Study.StudyName", std::wstring(L"night\tstudy"));
        if (c.named) {
            study.AddKey(L"Info.Name.LastName", std::wstring(L"van Dyke"));
            study.AddKey(L"Info.Name.FirstName", std::wstring(L"Jos\u00e9"));
            study.AddKey(L"Info.Personal.BirthDate", OleDate(1971, 2, 3, 0, 0, 0));
            study.AddKey(L"Samples.CreationTime", OleDate(2024, 3, 5, 10, 20, 30));
            study.AddKey(L"Samples.Frequency", 256.0);
        }
        CKeyTree t = MakeTemplate(L"EDF+");
        t.AddKey(L"Deidentify", c.deidentify);
        const std::string h = Header(study, t, 0, c.label);
        ASSERT_EQ(h.size(), 256u * 3);
        EXPECT_EQ(h.substr(8, 80), c.patient + std::string(80 - c.patient.size(), ' '));
        EXPECT_EQ(h.substr(88, strlen(c.recording)), c.recording);
        if (c.named) {
            EXPECT_EQ(h.substr(168, 16), "05.03.2410.20.30"); // de-identification keeps the start
        }
        EXPECT_EQ(h.substr(256, 32), "Fp1             " + c.label2 + std::string(16 - c.label2.size(), ' '));
        EXPECT_EQ(h.substr(256 + 32, 160), std::string(160, ' ')); // the transducer fields
        EXPECT_EQ(h.substr(256 + 2 * 96, 8), "uV      ");
        EXPECT_EQ(h.substr(256 + 2 * 104, 8), "-3276.8 ");
        EXPECT_EQ(h.substr(256 + 2 * 120, 8), "-32768  ");
        EXPECT_EQ(h.substr(256 + 2 * 216, 8), "15360   ");
        for (char ch : h)
            EXPECT_TRUE(ch >= 0x20 && ch <= 0x7e) << static_cast<int>(ch);
    }
}

// Stamps up to the end sentinel must not overflow the tick arithmetic: a
// start within year 9999 gives its date, a later one fails the header.
TEST_F(HeaderTest, HugeStampsGiveTheirDateOrFail) {
    CKeyTree study;
    study.AddKey(L"Samples.Frequency", 256.0);
    study.AddKey(L"Samples.CreationTime", OleDate(2024, 3, 5, 10, 20, 30));
    using namespace std::chrono;
    const int64_t days = (sys_days{year{9000} / March / 5} - sys_days{year{2024} / March / 5}).count();
    const int64_t stamp = days * 86400 * 256 + 128;
    CSkrivoer w(study, MakeTemplate(L"EDF"), L"");
    sk::CalendarTime t = w.GetStartTime(stamp);
    EXPECT_EQ(t.year, 9000);
    EXPECT_EQ(w.GetStartDateText(stamp), "05.03.yy"); // after 2084 the year is "yy"
    EXPECT_EQ(w.GetStartTimeText(stamp), "10.20.30");
    EXPECT_EQ(t.millisecond, 500);

    for (double f : {256.0, 1.0, 0.001}) {
        CKeyTree slow;
        slow.AddKey(L"Samples.Frequency", f);
        slow.AddKey(L"Samples.CreationTime", OleDate(2024, 3, 5, 10, 20, 30));
        CSkrivoer h(slow, MakeTemplate(L"EDF+"), dir.wpath());
        h.AddProcessor(new FakeProcessor());
        h.SetSampleFrequency(f);
        h.ComputeRecordLayout();
        ASSERT_TRUE(h.OpenOutputFile(dir.wpath() + L"/huge.edf"));
        EXPECT_FALSE(h.WriteHeader(0x7FFFFFFFFFFFLL)) << f;
        EXPECT_EQ(static_cast<uint32_t>(h.GetLastErrorCode()), 0x80070057u);
        EXPECT_FALSE(h.GetLastErrorText().empty());
        h.CloseOutputFile();
    }
}

// The two-digit year follows the EDF clipping rule ("yy" after 2084, the
// date in the EDF+ Startdate subfield); a start before 1985 (a reset clock,
// no creation time) is the clipping date with the EDF+ date unknown. A birth
// date of 0 is no date.
TEST_F(HeaderTest, StartDatesFollowTheClippingRule) {
    struct Case {
        int year;
        const char* field;
        const char* startdate;
    } cases[] = {
        {1985, "05.03.85", "05-MAR-1985"}, {2084, "05.03.84", "05-MAR-2084"}, {2085, "05.03.yy", "05-MAR-2085"},
        {2150, "05.03.yy", "05-MAR-2150"}, {1984, "01.01.85", "X"},           {1970, "01.01.85", "X"},
        {0, "01.01.85", "X"}, // no creation time
    };
    for (const Case& c : cases) {
        CKeyTree study;
        study.AddKey(L"Samples.Frequency", 256.0);
        study.AddKey(L"Info.Personal.BirthDate", 0.0);
        if (c.year > 0)
            study.AddKey(L"Samples.CreationTime", OleDate(c.year, 3, 5, 10, 20, 30));
        const std::string h = Header(study, MakeTemplate(L"EDF+"));
        EXPECT_EQ(h.substr(168, 8), c.field) << c.year;
        EXPECT_EQ(h.substr(88, 11 + strlen(c.startdate)), "Startdate " + std::string(c.startdate) + " ") << c.year;
        EXPECT_EQ(h.substr(8, 6), "X X X ") << c.year;
    }
}

TEST_F(HeaderTest, StartTimeFromCreationAndPreciseTime) {
    const double creation = OleDate(2024, 3, 5, 10, 20, 30);
    struct Case {
        bool precise;
        double creationShiftSeconds; // creation date relative to the precise time
        bool haveCreation;
        int64_t stamp;
        const char* date;
        const char* time;
        int ms;
    } cases[] = {
        {false, 0, true, 0, "05.03.24", "10.20.30", 0},
        {false, 0, true, 256 * 90 + 128, "05.03.24", "10.22.00", 500},
        {true, 0, false, 0, "05.03.24", "10.20.30", 250},
        {true, 59 * 60 + 40, true, 0, "05.03.24", "11.20.30", 250},
        {true, 20, true, 0, "05.03.24", "10.20.30", 250},
        {true, -(59 * 60 + 40), true, 256 * 3600, "05.03.24", "10.20.30", 250},
    };
    for (const auto& c : cases) {
        CKeyTree study;
        study.AddKey(L"Samples.Frequency", 256.0);
        if (c.haveCreation)
            study.AddKey(L"Samples.CreationTime", creation + c.creationShiftSeconds / 86400.0);
        if (c.precise)
            study.AddKey(L"Samples.TaviCreationTime", FileTime(2024, 3, 5, 10, 20, 30, 250));
        CSkrivoer w(study, MakeTemplate(L"EDF"), L"");
        sk::CalendarTime t = w.GetStartTime(c.stamp);
        EXPECT_EQ(w.GetStartDateText(c.stamp), c.date);
        EXPECT_EQ(w.GetStartTimeText(c.stamp), c.time) << c.creationShiftSeconds;
        EXPECT_EQ(t.millisecond, c.ms);
    }
}

// --- export list entry --------------------------------------------------------

TEST(ExportDetails, CancellationIsLatched) {
    CExportDetails d(L"id", L"/f/", L"study", nullptr);
    bool cancelled = true;
    EXPECT_FALSE(d.ReportProgress(10.0f, &cancelled)); // no event yet
    EXPECT_FALSE(cancelled);
    sk::Event ev(sk::Event::AutoReset);
    d.SetCancelEvent(&ev);
    EXPECT_FALSE(d.ReportProgress(20.0f, &cancelled));
    ev.Set();
    EXPECT_TRUE(d.ReportProgress(30.0f, &cancelled));
    EXPECT_TRUE(cancelled);
    EXPECT_FALSE(ev.IsSet()); // the wait consumed the signal
    cancelled = false;
    EXPECT_TRUE(d.ReportProgress(40.0f, &cancelled));
    EXPECT_TRUE(cancelled);
    EXPECT_FLOAT_EQ(d.GetPercent(), 40.0f);
    EXPECT_TRUE(d.IsCancelled());
}

// A study's last 100 % is never lost: a reader that sees done sees 100,
// wherever between SetDone's stores it reads and wherever SetDone lands
// between its reads.
TEST(ExportDetails, DoneIsNeverSeenWithoutTheFinalHundred) {
    for (const bool readInsideSetDone : {true, false}) {
        CExportDetails d(L"id", L"/f/", L"study", nullptr);
        d.ReportProgress(40.0f, nullptr);
        bool done = false;
        float percent = 0.0f;
        if (readInsideSetDone) {
            d.SetInterleaveForTesting([&] { percent = d.GetProgress(&done); });
            d.SetDone();
        } else {
            d.SetInterleaveForTesting([&] { d.SetDone(); });
            percent = d.GetProgress(&done);
        }
        EXPECT_TRUE(!done || percent == 100.0f) << readInsideSetDone << " " << percent;
        EXPECT_TRUE(d.IsDone() && d.GetPercent() == 100.0f);
    }
}

} // namespace

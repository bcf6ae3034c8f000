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

// Records stay within the limit (61440 bytes) at durations the header holds
// exactly. Notes clustered at one instant make the annotation signal alone
// larger than the limit: shortening stops at one second (or at a first
// duration already below it) and reports that the template cannot fit.
TEST(RecordLayout, DurationsFramesAndSizes) {
    const struct {
        int signals;
        double frequency;
        int fixedExtra;  // size of one extra fixed-size signal, -1 none
        double duration; // 0: not checked
        int frames;      // -1: at least one
        int notes = 0;   // long notes at one instant, in an annotation signal
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
        {20, 256, -1, 1.0, 256, 1000},
        {70, 500, -1, 0.1, 50, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.signals << " signals at " << c.frequency << " Hz, " << c.notes << " notes");
        CKeyTree study;
        if (c.notes) {
            study.AddKey(L"Samples.Start", int64_t{0});
            study.AddKey(L"Samples.End", static_cast<int64_t>(c.frequency * 3600));
        }
        CSkrivoer w(study, MakeTemplate(c.notes ? L"EDF+" : L"EDF"), L"");
        for (int i = 0; i < c.signals; ++i)
            w.AddProcessor(new FakeProcessor());
        if (c.fixedExtra >= 0)
            w.AddProcessor(new FakeProcessor(L"Extra", c.fixedExtra));
        if (c.notes) {
            const CSkrivoAnnotationManager::NoteInput note{
                L"Burst of spikes over the left temporal chain of electrodes", L"", 1000, 0};
            w.GetAnnotationManager().AddNotes(std::vector(static_cast<size_t>(c.notes), note), c.frequency);
            w.AddProcessor(new CEDFAnnotationData(w.GetAnnotationManager().CreateAnnotationIterator()));
        }
        if (c.frequency > 0)
            w.SetSampleFrequency(c.frequency);
        sk::LogCapture log;
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
        EXPECT_TRUE(c.duration == 0 || (w.GetBytesPerRecord() <= 61440) == !c.notes) << w.GetBytesPerRecord();
        EXPECT_TRUE(!c.notes || log.EventCount() == 1u);
    }
}

// --- header -----------------------------------------------------------------

class HeaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    // Writes a header with two fake signals and returns its bytes (none when
    // it fails).
    std::string Header(const CKeyTree& study, const CKeyTree& tmpl, int64_t stamp = 0,
                       const std::wstring& secondLabel = L"C3") {
        CSkrivoer w(study, tmpl, dir.wpath());
        w.AddProcessor(new FakeProcessor(L"Fp1"));
        w.AddProcessor(new FakeProcessor(secondLabel));
        w.SetSampleFrequency(256);
        w.ComputeRecordLayout();
        std::wstring path = dir.wpath() + L"/h.edf";
        EXPECT_TRUE(w.OpenOutputFile(path));
        const bool written = w.WriteHeader(stamp);
        lastError = static_cast<uint32_t>(w.GetLastErrorCode());
        EXPECT_TRUE(w.CloseOutputFile() || !written);
        return written ? sk::test::ReadAll(dir.path().string() + "/h.edf") : "";
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
    uint32_t lastError = 0;
};

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
        EXPECT_EQ(h.substr(256 + 32, 160), std::string(160, ' ')); // the transducer fields stay in place
        EXPECT_EQ(h.substr(256 + 2 * 96, 8), "uV      ");
        for (char ch : h)
            EXPECT_TRUE(ch >= 0x20 && ch <= 0x7e) << static_cast<int>(ch);
    }
}

// The start date and time come from the creation time (whole seconds) or
// the precise creation time (milliseconds), whose hour follows the creation
// time's where the two disagree by whole minutes (a time zone), plus the
// stamp. The two-digit year follows the EDF clipping rule ("yy" after 2084,
// the date in the EDF+ Startdate subfield); a start before 1985 (a reset
// clock, no creation time) is the clipping date with the EDF+ date unknown.
// Stamps up to the end sentinel must not overflow the tick arithmetic: a
// start within year 9999 gives its date, a later one fails the header.
TEST_F(HeaderTest, StartDateAndTime) {
    using namespace std::chrono;
    const int64_t in9000 = (sys_days{year{9000} / March / 5} - sys_days{year{2024} / March / 5}).count() * 86400 * 256;
    const int64_t end = 0x7FFFFFFFFFFFLL;
    struct Case {
        int year;      // of the creation time 5 March, 10:20:30 (0: none)
        double shift;  // seconds added to the creation time
        bool precise;  // a precise creation time 5 March 2024, 10:20:30.250
        int64_t stamp;
        const char* dateTime; // header fields; nullptr: the header fails
        int ms;
        const char* startdate;
        double rate = 256.0;
    } cases[] = {
        {2024, 0, false, 0, "05.03.2410.20.30", 0, "05-MAR-2024"},
        {2024, 0, false, 256 * 90 + 128, "05.03.2410.22.00", 500, "05-MAR-2024"},
        {0, 0, true, 0, "05.03.2410.20.30", 250, "05-MAR-2024"},
        {2024, 59 * 60 + 40, true, 0, "05.03.2411.20.30", 250, "05-MAR-2024"},
        {2024, 20, true, 0, "05.03.2410.20.30", 250, "05-MAR-2024"},
        {2024, -(59 * 60 + 40), true, 256 * 3600, "05.03.2410.20.30", 250, "05-MAR-2024"},
        {1985, 0, false, 0, "05.03.8510.20.30", 0, "05-MAR-1985"},
        {2084, 0, false, 0, "05.03.8410.20.30", 0, "05-MAR-2084"},
        {2085, 0, false, 0, "05.03.yy10.20.30", 0, "05-MAR-2085"},
        {2150, 0, false, 0, "05.03.yy10.20.30", 0, "05-MAR-2150"},
        {1984, 0, false, 0, "01.01.8510.20.30", 0, "X"},
        {1970, 0, false, 0, "01.01.8510.20.30", 0, "X"},
        {0, 0, false, 0, "01.01.8500.00.00", 0, "X"},
        {2024, 0, false, in9000 + 128, "05.03.yy10.20.30", 500, "05-MAR-9000"},
        {2024, 0, false, end, nullptr, 0, ""},
        {2024, 0, false, end, nullptr, 0, "", 1.0},
        {2024, 0, false, end, nullptr, 0, "", 0.001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.year << " + " << c.shift << " s, stamp " << c.stamp << " at " << c.rate);
        CKeyTree study;
        study.AddKey(L"Samples.Frequency", c.rate);
        study.AddKey(L"Info.Personal.BirthDate", 0.0);
        if (c.year > 0)
            study.AddKey(L"Samples.CreationTime", OleDate(c.year, 3, 5, 10, 20, 30) + c.shift / 86400.0);
        if (c.precise)
            study.AddKey(L"Samples.TaviCreationTime", FileTime(2024, 3, 5, 10, 20, 30, 250));
        const std::string h = Header(study, MakeTemplate(L"EDF+"), c.stamp);
        if (!c.dateTime) {
            EXPECT_EQ(h, "");
            EXPECT_EQ(lastError, 0x80070057u);
            continue;
        }
        EXPECT_EQ(h.substr(168, 16), c.dateTime);
        EXPECT_EQ(h.substr(88, 11 + strlen(c.startdate)), "Startdate " + std::string(c.startdate) + " ");
        EXPECT_EQ(h.substr(8, 6), "X X X "); // a birth date of 0 is no date
        EXPECT_EQ(CSkrivoer(study, MakeTemplate(L"EDF"), L"").GetStartTime(c.stamp).millisecond, c.ms);
    }
}

// --- export list entry --------------------------------------------------------

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

// Whole exports of simulated studies, read back with EDFlib (and, for EDF+D,
// with BioSig and the strict checker) and compared against the simulator's
// source values.

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Sync.h"
#include "platform/appcommon/HeadboxConfig.h"
#include "platform/recording/Montage.h"
#include "platform/recording/WaveType.h"
#include "recorddata/SkrivoAnnotationManager.h"
#include "support/EdfCheck.h"
#include "support/SimStudy.h"
#include "writer/WriterTestUtil.h"

using namespace sk::test;
using sk::sim::SimOptions;

namespace {

std::string Trim(std::string t) {
    while (!t.empty() && t.back() == ' ')
        t.pop_back();
    return t;
}

SimOptions SmallStudy(int headbox = 2, double seconds = 20.0, double rate = 128.0) {
    SimOptions o;
    o.headboxType = headbox;
    o.sampleRate = rate;
    o.durationSeconds = seconds;
    o.maxEntrySamples = 700; // several TOC entries per file
    return o;
}

// Compares every data signal of a raw-channel export (or of the recording
// montage, one referential derivation per input) with the source; calibrated
// DC signals follow their calibration within the wave type's range. stampOf(j)
// gives the stamp of sample j of the file (or -1 for a padded sample outside
// the recording). Returns the number of calibrated signals.
template <class StampOf>
int ExpectRawSignals(const SimStudy& s, const EdfLibFile& f, int firstSignal, int channels, StampOf stampOf,
                     int64_t samples, bool montage = false) {
    int calibrated = 0;
    const sk::sim::SimSignal sig(s.opt);
    for (int i = 0; i < channels; ++i) {
        const CKeyTree* raw = RawEntry(s.desc, i);
        if (!raw) {
            ADD_FAILURE() << "no raw entry " << i;
            return calibrated;
        }
        const int storage = IntOf(raw->GetAt(L"StorageIndex"), -1);
        const int32_t dmin = IntOf(raw->GetAt(L"DigitalMinimum"), 0), dmax = IntOf(raw->GetAt(L"DigitalMaximum"), 0);
        const double pmin = RealOf(raw->GetAt(L"PhysicalMinimum"), 0), pmax = RealOf(raw->GetAt(L"PhysicalMaximum"), 0);
        const bool ac = AsCStr(raw->GetAt(L"SignalType"), L"") == L"AC";
        const edf_param_struct& p = f.hdr->signalparam[firstSignal + i];
        const auto& v = f.phys[static_cast<size_t>(firstSignal + i)];
        EXPECT_EQ(static_cast<int64_t>(v.size()), samples);
        if (static_cast<int64_t>(v.size()) < samples)
            return calibrated;
        double k = 1.0, c = 0.0;
        if (const CWaveType* wt = CalibrationLine(s.desc, *raw, montage, k, c)) {
            ++calibrated;
            EXPECT_DOUBLE_EQ(p.phys_min, wt->GetCalibratedMinimum()) << i;
            EXPECT_DOUBLE_EQ(p.phys_max, wt->GetCalibratedMaximum()) << i;
        }
        const double tol = Step(p) * 1.51 + 1e-9;
        int bad = 0;
        for (int64_t j = 0; j < samples && bad < 5; ++j) {
            const int64_t stamp = stampOf(j);
            double expected;
            if (stamp < 0 || !Recorded(s.res.runs, stamp)) {
                if (!ac)
                    continue; // the zero code of a DC range may lie outside it
                expected = 0.0;
            } else {
                expected = ExpectedPhysical(sig.Value(storage, stamp), dmin, dmax, pmin, pmax,
                                            p.phys_min, p.phys_max, k, c);
            }
            if (std::fabs(v[static_cast<size_t>(j)] - expected) > tol) {
                ADD_FAILURE() << "signal " << i << " sample " << j << " stamp " << stamp << ": " << v[static_cast<size_t>(j)]
                              << " expected " << expected;
                ++bad;
            }
        }
    }
    return calibrated;
}

TEST(Export, PlainEdfMatchesSourceAndPadsTheLastRecord) {
    // 20.3 s at 128 Hz: the last record is only partly filled.
    SimStudy s = Simulate(SmallStudy(2, 20.3), "plain");
    ASSERT_TRUE(s.res.ok);
    ASSERT_TRUE(s.probed);
    ExportResult r = RunExport(s, MakeTemplate(L"EDF"));
    ASSERT_TRUE(r.ok) << std::string(r.text.begin(), r.text.end());
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(std::filesystem::path(r.files[0]).filename().string(), "Doe~ John_0001.EDF");

    EdfFile strict(r.files[0]);
    ASSERT_TRUE(strict.Ok()) << strict.Error();
    EXPECT_EQ(strict.Header().reserved, std::string(44, ' '));

    EdfLibFile f = ReadEdfLib(r.files[0]);
    ASSERT_EQ(f.rc, 0) << f.hdr->filetype;
    EXPECT_EQ(f.hdr->filetype, EDFLIB_FILETYPE_EDF);
    const int channels = s.res.channelCount;
    ASSERT_EQ(f.hdr->edfsignals, channels);
    const int spr = f.hdr->signalparam[0].smp_in_datarecord;
    const int64_t total = s.res.totalSamples;
    EXPECT_EQ(f.hdr->datarecords_in_file, (total + spr - 1) / spr);
    const int64_t start = s.res.startStamp;
    ExpectRawSignals(s, f, 0, channels, [&](int64_t j) { return start + j; }, f.hdr->datarecords_in_file * spr);
}


std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

const edf_annotation_struct* FindAnnotation(const EdfLibFile& f, const std::string& text) {
    for (const auto& a : f.annots)
        if (text == a.annotation)
            return &a;
    return nullptr;
}

// Onset in EDFlib units (100 ns from the file start) of a stamp.
long long OnsetOf(int64_t stamp, int64_t fileStart, double rate) {
    return static_cast<long long>(std::llround(static_cast<double>(stamp - fileStart) / rate * 1e7));
}

TEST(Export, EdfPlusContinuousCarriesPatientAndAnnotations) {
    SimStudy s = Simulate(SmallStudy(2, 40.0), "edfc");
    ASSERT_TRUE(s.res.ok && s.probed);
    ExportResult r = RunExport(s, MakeTemplate(L"EDF+"));
    ASSERT_TRUE(r.ok) << Narrow(r.text);
    ASSERT_EQ(r.files.size(), 1u);
    EdfFile strict(r.files[0]);
    ASSERT_TRUE(strict.Ok()) << strict.Error();
    EXPECT_EQ(strict.Header().reserved.substr(0, 5), "EDF+C");

    EdfLibFile f = ReadEdfLib(r.files[0]);
    ASSERT_EQ(f.rc, 0) << f.hdr->filetype;
    EXPECT_EQ(f.hdr->filetype, EDFLIB_FILETYPE_EDFPLUS);
    EXPECT_STREQ(f.hdr->patient_name, "Doe,John");
    EXPECT_EQ(f.hdr->startdate_year, 2025);
    const int channels = s.res.channelCount;
    ASSERT_EQ(f.hdr->edfsignals, channels);
    const int64_t start = s.res.startStamp;
    const int spr = f.hdr->signalparam[0].smp_in_datarecord;
    ExpectRawSignals(s, f, 0, channels, [&](int64_t j) { return start + j; }, f.hdr->datarecords_in_file * spr);

    // Notes: mapped texts, durations, skipped notes left out, UTF-8 kept,
    // long texts cut to 63 characters.
    const double rate = s.opt.sampleRate;
    for (const CNote& n : sk::sim::SimulatedNotes(s.opt)) {
        if (n.GetText() == L"Eyes closed" || n.GetText() == L"Hyperventilation") {
            const auto* a = FindAnnotation(f, Narrow(n.GetText()));
            ASSERT_NE(a, nullptr) << Narrow(n.GetText());
            EXPECT_NEAR(a->onset, OnsetOf(n.GetStartStamp(), start, rate), 1);
            if (n.GetEndStamp() > 0) {
                EXPECT_NEAR(a->duration_l, (n.GetEndStamp() - n.GetStartStamp()) / rate * 1e7, 1);
            }
        }
    }
    EXPECT_NE(FindAnnotation(f, "EEG arousal"), nullptr);
    EXPECT_NE(FindAnnotation(f, "CS breathing"), nullptr);
    EXPECT_NE(FindAnnotation(f, "NC tachycardia"), nullptr);
    EXPECT_NE(FindAnnotation(f, "Arousal (spontaneous)"), nullptr);
    EXPECT_EQ(FindAnnotation(f, "Deleted spike"), nullptr);
    EXPECT_EQ(FindAnnotation(f, "Impedance check"), nullptr);
    EXPECT_NE(FindAnnotation(f, "Technician comment"), nullptr);
    EXPECT_NE(FindAnnotation(f, "Spike \xc3\xbc" "ber Fp1 \xe2\x80\x94 \xe6\xa3\x98\xe6\xb3\xa2 \xf0\x9f\xa7\xa0"), nullptr);
    EXPECT_NE(FindAnnotation(f, std::string("A very long technician note that goes on well beyond sixty-three characters of text").substr(0, 63)),
              nullptr);
}

TEST(Export, SleepStudyCarriesItsStagingSignalTypesAndUnits) {
    SimOptions o = SmallStudy(5, 95.0);
    o.studyGroup = 2;
    SimStudy s = Simulate(o, "sleep");
    ASSERT_TRUE(s.res.ok && s.probed);
    ExportResult r = RunExport(s, MakeTemplate(L"EDF+"));
    ASSERT_TRUE(r.ok) << Narrow(r.text);
    EdfLibFile f = ReadEdfLib(r.files[0]);
    ASSERT_EQ(f.rc, 0);
    // Labels carry the signal type; calibrated DC inputs their quantity.
    struct Expect {
        const char *label, *dimension, *transducer;
    };
    const Expect expected[] = {
        {"EEG F3", "uV", "PSG 32 AC input"},
        {"EEG M2", "uV", "PSG 32 AC input"},
        {"EOG LOC", "uV", "PSG 32 AC input"},
        {"EMG Chin1", "uV", "PSG 32 AC input"},
        {"EMG LLeg", "uV", "PSG 32 AC input"},
        {"ECG ECG1", "uV", "PSG 32 AC input"},
        {"Resp Snore", "uV", "PSG 32 AC input"},
        {"Resp Thorax", "uV", "PSG 32 AC input"},
        {"Resp Airflow", "uV", "PSG 32 AC input"},
        {"Resp NasalP", "cmH2O", "PSG 32 DC input, calibrated"},
        {"SaO2 SpO2", "%", "PSG 32 DC input, calibrated"},
        {"Misc Pulse", "bpm", "PSG 32 DC input, calibrated"},
        {"Misc Position", "deg", "PSG 32 DC input, calibrated"},
        {"Misc Light", "lx", "PSG 32 DC input, calibrated"},
        {"Resp CPAP", "cmH2O", "PSG 32 DC input, calibrated"},
        {"Resp Flow", "l/min", "PSG 32 DC input, calibrated"},
        {"Misc DC1", "uV", "PSG 32 DC input"},
    };
    std::map<std::string, const edf_param_struct*> byLabel;
    for (int i = 0; i < f.hdr->edfsignals; ++i)
        byLabel[Trim(f.hdr->signalparam[i].label)] = &f.hdr->signalparam[i];
    for (const Expect& e : expected) {
        const auto it = byLabel.find(e.label);
        ASSERT_NE(it, byLabel.end()) << e.label;
        EXPECT_EQ(Trim(it->second->physdimension), e.dimension) << e.label;
        EXPECT_EQ(Trim(it->second->transducer), e.transducer) << e.label;
        EXPECT_EQ(Trim(it->second->prefilter), "") << e.label;
    }
    const int64_t start = s.res.startStamp;
    EXPECT_EQ(ExpectRawSignals(s, f, 0, s.res.channelCount, [&](int64_t j) { return start + j; },
                               static_cast<int64_t>(f.phys[0].size())),
              7);
    // Three 30-second epochs; the reviewer left the last one unscored.
    std::vector<const edf_annotation_struct*> stages;
    for (const auto& a : f.annots)
        if (std::string(a.annotation).rfind("Sleep stage", 0) == 0)
            stages.push_back(&a);
    ASSERT_EQ(stages.size(), 3u);
    for (size_t e = 0; e < stages.size(); ++e) {
        EXPECT_EQ(stages[e]->onset, static_cast<long long>(e) * 300000000LL);
        EXPECT_EQ(stages[e]->duration_l, 300000000LL);
    }
    EXPECT_STREQ(stages[2]->annotation, "Sleep stage ?");
    // The note scored by another scorer is left out; this staging's notes stay.
    EXPECT_EQ(FindAnnotation(f, "Scored by the other scorer"), nullptr);
    EXPECT_NE(FindAnnotation(f, "EEG arousal"), nullptr);
}

TEST(Export, EdfPlusDiscontinuousSkipsGapsAtRecordBoundaries) {
    SimOptions o = SmallStudy(2, 30.0);
    // A gap longer than a record inside one file, a short one between files.
    o.gaps = {{7.3, 15.0, false}, {18.1, 2.5, true}};
    SimStudy s = Simulate(o, "edfd");
    ASSERT_TRUE(s.res.ok && s.probed);
    EXPECT_EQ(IntOf(s.desc.GetAt(L"Samples.Contiguous"), -1), 0);
    ExportResult r = RunExport(s, MakeTemplate(L"EDF+"));
    ASSERT_TRUE(r.ok) << Narrow(r.text);
    ASSERT_EQ(r.files.size(), 1u);

    EdfFile strict(r.files[0]);
    ASSERT_TRUE(strict.Ok()) << strict.Error();
    const EdfHeader& h = strict.Header();
    EXPECT_EQ(h.reserved.substr(0, 5), "EDF+D");
    EdfLibFile f = ReadEdfLib(r.files[0]);
    EXPECT_EQ(f.rc, -1);
    EXPECT_EQ(f.hdr->filetype, EDFLIB_FILE_IS_DISCONTINUOUS);

    // Every record starts at a recorded sample; samples after its start are
    // consecutive stamps, gap frames inside a record show the zero code.
    const double rate = s.opt.sampleRate;
    const int spr = h.signals[0].samples;
    const double onset0 = strict.RecordOnset(0);
    ASSERT_GE(onset0, 0.0);
    ASSERT_LT(onset0, 1.0);
    const int64_t base = s.res.startStamp - std::llround(onset0 * rate);
    const sk::sim::SimSignal sig(s.opt);
    int64_t covered = 0;
    for (int64_t rec = 0; rec < h.records; ++rec) {
        const int64_t recStart = base + std::llround(strict.RecordOnset(rec) * rate);
        ASSERT_TRUE(Recorded(s.res.runs, recStart)) << "record " << rec << " starts in a gap";
        for (int ch = 0; ch < 2; ++ch) {
            const CKeyTree* raw = RawEntry(s.desc, ch);
            const int storage = IntOf(raw->GetAt(L"StorageIndex"), -1);
            const int32_t dmin = IntOf(raw->GetAt(L"DigitalMinimum"), 0), dmax = IntOf(raw->GetAt(L"DigitalMaximum"), 0);
            const double pmin = RealOf(raw->GetAt(L"PhysicalMinimum"), 0), pmax = RealOf(raw->GetAt(L"PhysicalMaximum"), 0);
            const EdfSignal& es = h.signals[static_cast<size_t>(ch)];
            const double step = (es.physMax - es.physMin) / (es.digMax - es.digMin);
            for (int i = 0; i < spr; ++i) {
                const int64_t stamp = recStart + i;
                const double got = es.physMin + (strict.Sample(rec, ch, i) - es.digMin) * step;
                double expected = 0.0;
                if (Recorded(s.res.runs, stamp)) {
                    expected = ExpectedPhysical(sig.Value(storage, stamp), dmin, dmax, pmin, pmax, es.physMin, es.physMax);
                    if (ch == 0)
                        ++covered;
                }
                ASSERT_NEAR(got, expected, step * 1.51) << "record " << rec << " sample " << i;
            }
        }
    }
    EXPECT_EQ(covered, s.res.totalSamples); // nothing recorded is lost
    int jumps = 0;
    for (int64_t rec = 1; rec < h.records; ++rec)
        jumps += strict.RecordOnset(rec) - strict.RecordOnset(rec - 1) > h.duration + 1e-6;
    EXPECT_GE(jumps, 1); // records leave the long gap out

    // BioSig reads the discontinuous file too.
    BiosigRead b = ReadWithBiosig(r.files[0]);
    ASSERT_TRUE(b.ok) << b.error;
    EXPECT_EQ(b.channels, s.res.channelCount);
    EXPECT_EQ(static_cast<int64_t>(b.records), h.records);
    // BioSig shows each record's time-keeping annotation as an event with an
    // empty text and the record's wall-clock time: the record starts across
    // the gaps agree with the file's.
    std::vector<double> starts;
    for (const auto& e : b.events)
        if (e.text.empty())
            starts.push_back(e.timeStampSeconds);
    ASSERT_EQ(static_cast<int64_t>(starts.size()), h.records);
    for (int64_t rec = 0; rec < h.records; ++rec)
        EXPECT_NEAR(starts[static_cast<size_t>(rec)] - starts[0], strict.RecordOnset(rec) - onset0, 1e-3) << rec;
    ASSERT_FALSE(b.data.empty());
    ASSERT_GE(b.data[0].size(), static_cast<size_t>(spr));
    const double step0 = (h.signals[0].physMax - h.signals[0].physMin) / (h.signals[0].digMax - h.signals[0].digMin);
    for (int i = 0; i < spr; ++i)
        EXPECT_NEAR(b.data[0][static_cast<size_t>(i)],
                    h.signals[0].physMin + (strict.Sample(0, 0, i) - h.signals[0].digMin) * step0, step0 * 0.51);
}

// The "Recording gap" annotations of a padded file, against the gaps between
// the simulator's runs: onset and duration exact to the 100 ns of EDFlib.
void ExpectGapAnnotations(const SimStudy& s, const EdfLibFile& f) {
    std::vector<std::pair<long long, long long>> got, want;
    for (const auto& a : f.annots)
        if (std::string(a.annotation) == "Recording gap")
            got.emplace_back(a.onset, a.duration_l);
    const double rate = s.opt.sampleRate;
    for (size_t i = 0; i + 1 < s.res.runs.size(); ++i) {
        const int64_t end = s.res.runs[i].firstStamp + s.res.runs[i].samples; // first missing stamp
        want.emplace_back(OnsetOf(end, s.res.startStamp, rate),
                          std::llround((s.res.runs[i + 1].firstStamp - end) / rate * 1e7));
    }
    EXPECT_EQ(got, want);
}

TEST(Export, PaddedEdfPlusFillsGapsWithZero) {
    SimOptions o = SmallStudy(2, 24.0);
    o.gaps = {{6.0, 3.0, false}, {15.0, 1.5, true}};
    SimStudy s = Simulate(o, "padded");
    ASSERT_TRUE(s.res.ok && s.probed);
    CKeyTree t = MakeTemplate(L"EDF+");
    t.AddKey(L"PadGaps", 1);
    ExportResult r = RunExport(s, t);
    ASSERT_TRUE(r.ok) << Narrow(r.text);
    EdfFile strict(r.files[0]);
    ASSERT_TRUE(strict.Ok()) << strict.Error();
    EXPECT_EQ(strict.Header().reserved.substr(0, 5), "EDF+C");
    EdfLibFile f = ReadEdfLib(r.files[0]);
    ASSERT_EQ(f.rc, 0);
    const int64_t start = s.res.startStamp;
    const int spr = f.hdr->signalparam[0].smp_in_datarecord;
    const int64_t span = s.res.endStamp - s.res.startStamp + 1;
    EXPECT_EQ(f.hdr->datarecords_in_file, (span + spr - 1) / spr); // no missing time
    ExpectGapAnnotations(s, f);
    ExpectRawSignals(s, f, 0, s.res.channelCount, [&](int64_t j) { return start + j; }, f.hdr->datarecords_in_file * spr);
}

TEST(Export, DecimatedDataRunsAtTheReducedRate) {
    SimOptions o = SmallStudy(2, 20.0, 256.0);
    o.decimation = 4;
    o.gaps = {{8.0, 2.0, false}};
    SimStudy s = Simulate(o, "decim");
    ASSERT_TRUE(s.res.ok && s.probed);
    ASSERT_NE(AsKeyTree(s.desc.GetAt(L"Decimated")), nullptr);
    CKeyTree t = MakeTemplate(L"EDF");
    t.AddKey(L"UseDecimatedData", 1);
    ExportResult r = RunExport(s, t);
    ASSERT_TRUE(r.ok) << Narrow(r.text);
    EdfLibFile f = ReadEdfLib(r.files[0]);
    ASSERT_EQ(f.rc, 0);
    const int spr = f.hdr->signalparam[0].smp_in_datarecord;
    EXPECT_DOUBLE_EQ(static_cast<double>(spr) * 1e7 / f.hdr->datarecord_duration, 64.0);
    const int64_t start = s.res.startStamp;
    ExpectRawSignals(s, f, 0, s.res.channelCount, [&](int64_t j) { return start + 4 * j; },
                     f.hdr->datarecords_in_file * spr);

    // A decimation factor recorded as 0 counts as 1 instead of dividing the
    // rate by zero.
    {
        CKeyTree zero = s.desc;
        zero.SetAt(L"Study.RawDataDecimation", int32_t{0});
        CSkrivoer w(zero, t, (s.dir->path() / "zero").wstring());
        std::filesystem::create_directories(s.dir->path() / "zero");
        EXPECT_TRUE(w.Export(nullptr)) << Narrow(w.GetLastErrorText());
        EXPECT_DOUBLE_EQ(w.GetRecordDuration() * 256.0, w.GetFramesPerRecord());
    }

    // EDF+ of the decimated data: stamps still count at the raw rate, so
    // annotation onsets are those of the recording.
    std::filesystem::remove_all(s.out);
    std::filesystem::create_directories(s.out);
    CKeyTree plus = MakeTemplate(L"EDF+");
    plus.AddKey(L"UseDecimatedData", 1);
    plus.AddKey(L"PadGaps", 1);
    ExportResult rp = RunExport(s, plus);
    ASSERT_TRUE(rp.ok) << Narrow(rp.text);
    EdfLibFile fp = ReadEdfLib(rp.files[0]);
    ASSERT_EQ(fp.rc, 0);
    ExpectGapAnnotations(s, fp);
    bool found = false;
    for (const CNote& n : sk::sim::SimulatedNotes(s.opt)) {
        if (n.GetText() != L"Eyes closed")
            continue;
        const auto* a = FindAnnotation(fp, "Eyes closed");
        ASSERT_NE(a, nullptr);
        EXPECT_NEAR(a->onset, OnsetOf(n.GetStartStamp(), start, 256.0), 1);
        found = true;
    }
    EXPECT_TRUE(found);
}

// Wall clock of a file's first sample by EDFlib (header time plus first
// onset), in 100 ns since midnight.
long long FirstSampleTime(const EdfLibFile& f) {
    return ((f.hdr->starttime_hour * 60LL + f.hdr->starttime_minute) * 60 + f.hdr->starttime_second) * 10000000LL +
           f.hdr->starttime_subsecond;
}

// The creation time's milliseconds are put on the stamp grid: the header
// second carries when the fraction reaches a whole second, and raw and
// decimated exports of one study place the first sample and every
// annotation at the same wall clock (within one decimated sample).
TEST(Export, StartTimesFollowTheStampGridRawAndDecimated) {
    struct Case {
        double rate;
        int decimation, millis;
        int64_t startStamp;
    } cases[] = {
        {256, 4, 300, 1000}, {256, 1, 906, 23}, {256, 1, 906, 24}, {256, 1, 906, 25},
        {500, 1, 996, 1},    {500, 1, 996, 2},  {500, 5, 996, 3},  {200, 2, 995, 1},
    };
    for (const Case& c : cases) {
        SimOptions o = SmallStudy(1, 12.0, c.rate);
        o.creationMillis = c.millis;
        o.startStamp = c.startStamp;
        o.decimation = c.decimation;
        SimStudy s = Simulate(o, "grid");
        ASSERT_TRUE(s.res.ok && s.probed);
        const std::string tag = std::to_string(c.rate) + " Hz /" + std::to_string(c.decimation) + ", ." +
                                std::to_string(c.millis) + " s, stamp " + std::to_string(c.startStamp);
        // 12:00:00 plus the milliseconds plus the first stamp.
        const long long truth = 12LL * 3600 * 10000000 + c.millis * 10000LL +
                                std::llround(c.startStamp * 1e7 / c.rate);
        std::vector<EdfLibFile> files;
        for (int decimated = 0; decimated <= (c.decimation > 1); ++decimated) {
            std::filesystem::remove_all(s.out);
            std::filesystem::create_directories(s.out);
            CKeyTree t = MakeTemplate(L"EDF+");
            t.AddKey(L"UseDecimatedData", decimated);
            ExportResult r = RunExport(s, t);
            ASSERT_TRUE(r.ok) << tag << Narrow(r.text);
            files.push_back(ReadEdfLib(r.files[0]));
            ASSERT_EQ(files.back().rc, 0) << tag;
            EXPECT_NEAR(FirstSampleTime(files.back()), truth, 1e7 / c.rate) << tag << " decimated " << decimated;
        }
        if (files.size() < 2)
            continue;
        ASSERT_EQ(files[0].annots.size(), files[1].annots.size()) << tag;
        ASSERT_FALSE(files[0].annots.empty());
        for (size_t i = 0; i < files[0].annots.size(); ++i)
            EXPECT_NEAR(FirstSampleTime(files[0]) + files[0].annots[i].onset,
                        FirstSampleTime(files[1]) + files[1].annots[i].onset, 1e7 * c.decimation / c.rate)
                << tag << " " << files[0].annots[i].annotation;
    }
}

// Notes clustered at one instant shorten the records to durations the
// header holds exactly; notes inside a skipped gap go into the first record
// after it. Every note reaches the file: EDF+C read by EDFlib, EDF+D by the
// strict checker.
TEST(Export, EveryNoteIsWrittenAtEveryRate) {
    struct Case {
        double rate;
        int decimation, headbox, burst; // burst: notes at one instant
        bool gap, pad;
    } cases[] = {
        {200, 1, 1, 200, false, false},  {250, 1, 1, 200, false, false}, {256, 1, 1, 200, false, false},
        {500, 1, 1, 200, false, false},  {512, 1, 1, 200, false, false}, {1000, 1, 1, 200, false, false},
        {1024, 1, 1, 200, false, false}, {256, 3, 1, 200, false, false},
        {256, 4, 1, 200, false, false},  {256, 1, 8, 200, false, false},  {256, 1, 1, 2, true, false},
        {256, 1, 1, 2, true, true},      {256, 4, 1, 40, true, false},
    };
    for (const Case& c : cases) {
        SimOptions o = SmallStudy(c.headbox, 6.0, c.rate);
        o.decimation = c.decimation;
        if (c.gap)
            o.gaps = {{3.0, 2.0, false}};
        SimStudy s = Simulate(o, "dense");
        ASSERT_TRUE(s.res.ok && s.probed);
        const std::string tag = std::to_string(c.rate) + " Hz /" + std::to_string(c.decimation) + " headbox " +
                                std::to_string(c.headbox) + (c.gap ? " gap" : "") + (c.pad ? " padded" : "");
        const auto& run = s.res.runs[0];
        const int64_t sec = std::llround(c.rate);
        std::vector<CSkrivoAnnotationManager::NoteInput> notes;
        for (int i = 0; i < c.burst; ++i)
            notes.push_back({L"Burst " + std::to_wstring(i), L"", run.firstStamp + 2 * sec + 1, 0});
        if (c.gap) { // three inside the gap, two just after it
            for (int i = 1; i <= 3; ++i)
                notes.push_back({L"In gap", L"", run.firstStamp + run.samples + i * sec / 2, 0});
            for (int i = 0; i < 2; ++i)
                notes.push_back({L"After gap", L"", s.res.runs[1].firstStamp + i, 0});
        }
        CKeyTree t = MakeTemplate(L"EDF+");
        t.AddKey(L"UseDecimatedData", c.decimation > 1 ? 1 : 0);
        t.AddKey(L"PadGaps", c.pad ? 1 : 0);
        CSkrivoer w(s.desc, t, s.out.wstring());
        w.GetAnnotationManager().AddNotes(notes, c.rate);
        CExportDetails details(L"study", s.folder, s.opt.studyName, nullptr);
        ASSERT_TRUE(w.Export(&details)) << tag << Narrow(w.GetLastErrorText());
        const std::string path = (s.out / "Doe~ John_0001.EDF").string();
        EdfFile strict(path);
        ASSERT_TRUE(strict.Ok()) << tag << strict.Error();
        const EdfHeader& h = strict.Header();
        // The header's duration is the one the samples use.
        EXPECT_NEAR(h.signals[0].samples / h.duration, c.rate / c.decimation, 1e-9) << tag << " " << h.durationText;
        size_t written = 0;
        if (c.gap && !c.pad) {
            EXPECT_EQ(h.reserved.substr(0, 5), "EDF+D");
            for (int64_t r = 0; r < h.records; ++r)
                for (const Tal& tal : strict.Tals(r))
                    written += static_cast<size_t>(std::count_if(tal.texts.begin(), tal.texts.end(),
                                                                 [](const std::string& t) { return !t.empty(); }));
        } else {
            EdfLibFile f = ReadEdfLib(path);
            ASSERT_EQ(f.rc, 0) << tag << " EDFlib error " << f.hdr->filetype << ", duration " << h.durationText;
            written = f.annots.size();
        }
        EXPECT_EQ(written, w.GetAnnotationManager().GetCount()) << tag;
        EXPECT_GE(w.GetAnnotationManager().GetCount(), notes.size());
    }
}

TEST(Export, TriggerAndPatientEventChannels) {
    SimStudy s = Simulate(SmallStudy(1, 30.0), "events");
    ASSERT_TRUE(s.res.ok && s.probed);
    CKeyTree t = MakeTemplate(L"EDF+");
    t.AddKey(L"IncludeTriggerEvent", 1);
    t.AddKey(L"IncludePatientEvent", 1);
    ExportResult r = RunExport(s, t);
    ASSERT_TRUE(r.ok) << Narrow(r.text);
    EdfLibFile f = ReadEdfLib(r.files[0]);
    ASSERT_EQ(f.rc, 0);
    ASSERT_EQ(f.hdr->edfsignals, s.res.channelCount + 2);
    EXPECT_STREQ(f.hdr->signalparam[0].label, "Misc Trigger    ");
    EXPECT_STREQ(f.hdr->signalparam[1].label, "Misc Patient Evt");
    const int64_t start = s.res.startStamp;
    const auto& trig = f.phys[0];
    const sk::sim::SimSignal sig(s.opt);
    int triggers = 0;
    for (size_t j = 0; j < trig.size(); ++j) {
        const int64_t stamp = start + static_cast<int64_t>(j);
        const double expected = Recorded(s.res.runs, stamp) && (sig.Flags(stamp) & 1) ? 1.0 : 0.0;
        triggers += expected > 0;
        ASSERT_NEAR(trig[j], expected, 1e-9) << j;
    }
    EXPECT_GT(triggers, 0);
    std::vector<int64_t> expectedEvents;
    for (const CNote& n : sk::sim::SimulatedNotes(s.opt))
        if (n.GetText().size() >= 13 && (n.GetText().substr(0, 13) == L"Patient Event" || n.GetText().substr(0, 13) == L"patient event"))
            expectedEvents.push_back(n.GetStartStamp());
    std::vector<int64_t> got;
    for (size_t j = 0; j < f.phys[1].size(); ++j)
        if (f.phys[1][j] > 0.5)
            got.push_back(start + static_cast<int64_t>(j));
    EXPECT_EQ(got, expectedEvents);
    ExpectRawSignals(s, f, 2, s.res.channelCount, [&](int64_t j) { return start + j; },
                     static_cast<int64_t>(trig.size()));
}

TEST(Export, HeadboxTwentyStoresBreakoutChannels) {
    SimOptions o = SmallStudy(20, 6.0, 64.0);
    o.breakouts = 1;
    SimStudy s = Simulate(o, "hb20");
    ASSERT_TRUE(s.res.ok && s.probed);
    ASSERT_EQ(s.res.channelCount, 32 + 128);
    ExportResult r = RunExport(s, MakeTemplate(L"EDF+"));
    ASSERT_TRUE(r.ok) << Narrow(r.text);
    EdfLibFile f = ReadEdfLib(r.files[0]);
    ASSERT_EQ(f.rc, 0);
    ASSERT_EQ(f.hdr->edfsignals, s.res.channelCount);
    const int64_t start = s.res.startStamp;
    const int spr = f.hdr->signalparam[0].smp_in_datarecord;
    ExpectRawSignals(s, f, 0, s.res.channelCount, [&](int64_t j) { return start + j; }, f.hdr->datarecords_in_file * spr);
}

TEST(Export, MontageWithCalibratedDcChannels) {
    SimStudy s = Simulate(SmallStudy(3, 12.0), "montage");
    ASSERT_TRUE(s.res.ok && s.probed);
    ASSERT_NE(AsKeyTree(s.desc.GetAt(L"Montage")), nullptr);
    ExportResult r = RunExport(s, MakeTemplate(L"EDF+", L"AcquisitionMontage"));
    ASSERT_TRUE(r.ok) << Narrow(r.text);
    EdfFile strict(r.files[0]);
    ASSERT_TRUE(strict.Ok()) << strict.Error();
    EdfLibFile f = ReadEdfLib(r.files[0]);
    ASSERT_EQ(f.rc, 0);
    ASSERT_EQ(f.hdr->edfsignals, s.res.channelCount);
    // The recording montage is one referential derivation per input; its
    // calibrated DC signals (SpO2, pulse and position) follow the study's
    // calibration in the wave type's physical range.
    const int64_t start = s.res.startStamp;
    EXPECT_GE(ExpectRawSignals(s, f, 0, f.hdr->edfsignals, [&](int64_t j) { return start + j; },
                               static_cast<int64_t>(f.phys[0].size()), true),
              3);

    // Without the study's calibration a raw channel stays the input voltage
    // and a derivation takes the nominal calibration; both say so.
    s.desc.DeleteKey(L"Study.Calibration");
    const struct {
        const wchar_t* source;
        const char *dimension, *transducer;
    } uncalibrated[] = {{L"RawData", "uV", "Ambulatory EEG 32 DC input, not calibrated"},
                        {L"AcquisitionMontage", "%", "Ambulatory EEG 32 DC input, nominal calibration (none in the study)"}};
    for (const auto& c : uncalibrated) {
        std::filesystem::remove_all(s.out);
        std::filesystem::create_directories(s.out);
        ExportResult u = RunExport(s, MakeTemplate(L"EDF+", c.source));
        ASSERT_TRUE(u.ok) << Narrow(u.text);
        EdfLibFile g = ReadEdfLib(u.files[0]);
        ASSERT_EQ(g.rc, 0);
        bool found = false;
        for (int i = 0; i < g.hdr->edfsignals; ++i) {
            if (Trim(g.hdr->signalparam[i].label) != "SaO2 SpO2")
                continue;
            found = true;
            EXPECT_EQ(Trim(g.hdr->signalparam[i].physdimension), c.dimension);
            EXPECT_EQ(Trim(g.hdr->signalparam[i].transducer), c.transducer);
        }
        EXPECT_TRUE(found) << Narrow(c.source);
    }
}

// Firmware that misreports its input ranges: the file's physical values are
// those of the ranges the samples were stored in, and InvertAC flips the
// sign of AC signals only.
TEST(Export, MisreportedRangesAreCorrectedAndOnlyAcSignalsInverted) {
    const std::pair<int, const wchar_t*> cases[] = {{14, L"3.2"}, {24, L"3.2"}, {25, L"5.0"},
                                                    {26, L"1.5"}, {27, L"1.9"}, {7, L"3.2"}};
    for (const auto& [type, firmware] : cases) {
        SCOPED_TRACE(type);
        SimOptions o = SmallStudy(type, 2.0);
        o.hbSwVersion = firmware;
        o.outOfRangeValues = false;
        SimStudy s = Simulate(o, "quirk");
        ASSERT_TRUE(s.res.ok && s.probed);
        CKeyTree t = MakeTemplate(L"EDF");
        t.AddKey(L"InvertAC", 1);
        ExportResult r = RunExport(s, t);
        ASSERT_TRUE(r.ok) << Narrow(r.text);
        EdfLibFile f = ReadEdfLib(r.files[0]);
        ASSERT_EQ(f.rc, 0);
        const auto stored = CKadeHeadboxConfig::CreateHeadbox(type)->GetStorageRanges();
        const sk::sim::SimSignal sig(s.opt);
        int ac = 0, dc = 0;
        for (int i = 0; i < f.hdr->edfsignals; ++i) {
            const CKeyTree* raw = RawEntry(s.desc, i);
            const auto& want = stored.at(static_cast<size_t>(IntOf(raw->GetAt(L"ConfigurationIndex"), -1)));
            const double sign = AsCStr(raw->GetAt(L"SignalType"), L"") == L"AC" ? (++ac, -1.0) : (++dc, 1.0);
            const edf_param_struct& p = f.hdr->signalparam[i];
            double k = 1.0, c = 0.0;
            CalibrationLine(s.desc, *raw, false, k, c);
            for (int64_t j = 0; j < s.res.totalSamples; j += 5) {
                const int32_t v = sig.Value(IntOf(raw->GetAt(L"StorageIndex"), -1), s.res.startStamp + j);
                const double expected = sign * ExpectedPhysical(v, want.digitalMinimum, want.digitalMaximum,
                                                                want.physicalMinimum, want.physicalMaximum,
                                                                sign * p.phys_min, sign * p.phys_max, k, c);
                ASSERT_NEAR(f.phys[static_cast<size_t>(i)][static_cast<size_t>(j)], expected, Step(p) * 1.51 + 1e-9)
                    << "signal " << i << " sample " << j;
            }
        }
        EXPECT_GT(ac, 0);
        EXPECT_GT(dc, 0);
    }
}

TEST(Export, SizeLimitSplitsIntoNumberedFiles) {
    SimStudy s = Simulate(SmallStudy(1, 95.0), "split"); // ten 10-second records
    ASSERT_TRUE(s.res.ok && s.probed);
    // Learn the layout, then allow three records per file.
    CSkrivoer probe(s.desc, MakeTemplate(L"EDF"), L"");
    ASSERT_TRUE(probe.ProcessRecordData());
    probe.ComputeRecordLayout();
    const int64_t bpr = probe.GetBytesPerRecord();
    const int64_t ns = static_cast<int64_t>(probe.GetProcessorCount());
    CKeyTree t = MakeTemplate(L"EDF");
    // The header counts against the limit: just short of four records.
    t.AddKey(L"SpatialMaximum", static_cast<int64_t>(256 * (ns + 1) + 4 * bpr - 1));
    t.AddKey(L"TemporalMaximum", 1); // ignored when a size limit is set
    ExportResult r = RunExport(s, t);
    ASSERT_TRUE(r.ok) << Narrow(r.text);
    const int spr = probe.GetFramesPerRecord();
    const int64_t records = (s.res.totalSamples + spr - 1) / spr;
    ASSERT_EQ(static_cast<int64_t>(r.files.size()), (records + 2) / 3);
    ASSERT_GE(r.files.size(), 3u);
    EXPECT_EQ(std::filesystem::path(r.files[0]).filename().string(), "Doe~ John_0001.EDF");
    EXPECT_EQ(std::filesystem::path(r.files[1]).filename().string(), "Doe~ John_0001_001.EDF");
    EXPECT_EQ(std::filesystem::path(r.files[2]).filename().string(), "Doe~ John_0001_002.EDF");
    int64_t offset = 0;
    for (const auto& file : r.files) {
        EdfLibFile f = ReadEdfLib(file);
        ASSERT_EQ(f.rc, 0) << file;
        EXPECT_LE(f.hdr->datarecords_in_file, 3);
        EXPECT_LE(static_cast<int64_t>(std::filesystem::file_size(file)), 256 * (ns + 1) + 4 * bpr - 1);
        const int64_t first = s.res.startStamp + offset;
        ExpectRawSignals(s, f, 0, 2, [&](int64_t j) { return first + j; }, f.hdr->datarecords_in_file * spr);
        offset += f.hdr->datarecords_in_file * spr;
    }
    EXPECT_EQ(offset, records * spr);
}

TEST(Export, DurationLimitSplitsEdfPlusFiles) {
    SimStudy s = Simulate(SmallStudy(1, 25.0), "tsplit");
    ASSERT_TRUE(s.res.ok && s.probed);
    CKeyTree t = MakeTemplate(L"EDF+");
    t.AddKey(L"TemporalMaximum", 10);
    ExportResult r = RunExport(s, t);
    ASSERT_TRUE(r.ok) << Narrow(r.text);
    ASSERT_EQ(r.files.size(), 3u);
    int64_t offset = 0;
    for (size_t k = 0; k < r.files.size(); ++k) {
        EdfFile strict(r.files[k]);
        ASSERT_TRUE(strict.Ok()) << strict.Error();
        EdfLibFile f = ReadEdfLib(r.files[k]);
        ASSERT_EQ(f.rc, 0);
        // 25 signals at 128 Hz make 9-second records: one record fits the
        // 10-second limit.
        EXPECT_EQ(f.hdr->datarecord_duration, 90000000);
        if (k + 1 < r.files.size()) {
            EXPECT_EQ(f.hdr->datarecords_in_file, 1);
        }
        // Each file starts at its own time (the study starts at 12:00:00 at
        // stamp 0), with the sub-second part as its first onset.
        const int64_t first100ns = (s.res.startStamp + offset) * 10000000 / 128;
        EXPECT_EQ(f.hdr->starttime_second, static_cast<int>(first100ns / 10000000 % 60));
        EXPECT_EQ(f.hdr->starttime_subsecond, first100ns % 10000000);
        const int64_t first = s.res.startStamp + offset;
        ExpectRawSignals(s, f, 0, 2, [&](int64_t j) { return first + j; },
                         f.hdr->datarecords_in_file * f.hdr->signalparam[0].smp_in_datarecord);
        offset += f.hdr->datarecords_in_file * f.hdr->signalparam[0].smp_in_datarecord;
    }
}

// No file runs past its time limit, decimated or not: whole records of at
// most the limit (the 18-second first record of the decimated data is cut).
TEST(Export, DurationLimitHoldsWithDecimation) {
    for (int decimation : {1, 4}) {
        SimOptions o = SmallStudy(1, 25.0, 256.0);
        o.decimation = decimation;
        SimStudy s = Simulate(o, "tsplitdec");
        ASSERT_TRUE(s.res.ok && s.probed);
        CKeyTree t = MakeTemplate(L"EDF+");
        t.AddKey(L"TemporalMaximum", 10);
        t.AddKey(L"UseDecimatedData", decimation > 1 ? 1 : 0);
        ExportResult r = RunExport(s, t);
        ASSERT_TRUE(r.ok) << Narrow(r.text);
        EXPECT_GE(r.files.size(), 3u) << decimation;
        for (const std::string& file : r.files) {
            EdfLibFile f = ReadEdfLib(file);
            ASSERT_EQ(f.rc, 0) << file;
            EXPECT_LE(f.hdr->datarecords_in_file * f.hdr->datarecord_duration, 100000000LL) << file;
        }
    }
}

TEST(Export, DeidentificationRenamesAndBlanksThePatient) {
    SimStudy s = Simulate(SmallStudy(1, 6.0), "deid");
    ASSERT_TRUE(s.res.ok && s.probed);
    CKeyTree t = MakeTemplate(L"EDF+");
    t.AddKey(L"Deidentify", 1);
    ExportResult r = RunExport(s, t);
    ASSERT_TRUE(r.ok) << Narrow(r.text);
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(std::filesystem::path(r.files[0]).filename().string(), "X~ X_0001.EDF");
    EdfFile strict(r.files[0]);
    ASSERT_TRUE(strict.Ok()) << strict.Error();
    EXPECT_EQ(strict.Header().patient, "X X X X_X" + std::string(71, ' '));
    EXPECT_EQ(strict.Header().recording, "Startdate X X X X" + std::string(63, ' '));

    // A study file whose name does not hold the patient takes the study GUID.
    SimOptions o = SmallStudy(1, 4.0);
    o.studyName = L"study";
    SimStudy g = Simulate(o, "deid2");
    ASSERT_TRUE(g.probed);
    ExportResult r2 = RunExport(g, t);
    ASSERT_TRUE(r2.ok);
    ASSERT_EQ(r2.files.size(), 1u);
    EXPECT_EQ(std::filesystem::path(r2.files[0]).filename().string(), "X~ X_6b29fc40-ca47-1067-b31d-00dd010662da.EDF");
}

TEST(Export, OutputNamesFollowTheTemplateExtension) {
    SimStudy s = Simulate(SmallStudy(1, 4.0), "names");
    ASSERT_TRUE(s.probed);
    struct {
        const wchar_t* extension;
        const char* name;
    } cases[] = {{L".rec", "Doe~ John_0001.rec"}, {L"edf", "Doe~ John_0001.edf"}, {L"/../x.edf", "Doe~ John_0001.EDF"}};
    for (const auto& c : cases) {
        std::filesystem::remove_all(s.out);
        std::filesystem::create_directories(s.out);
        CKeyTree t = MakeTemplate(L"EDF");
        t.SetAt(L"Extension", std::wstring(c.extension));
        ExportResult r = RunExport(s, t);
        ASSERT_TRUE(r.ok);
        ASSERT_EQ(r.files.size(), 1u);
        EXPECT_EQ(std::filesystem::path(r.files[0]).filename().string(), c.name);
    }
}

TEST(Export, CancelClosesAPatchedFile) {
    SimStudy s = Simulate(SmallStudy(1, 60.0), "cancel");
    ASSERT_TRUE(s.res.ok && s.probed);
    CExportDetails details(L"study", s.folder, s.opt.studyName, nullptr);
    sk::Event ev(sk::Event::AutoReset);
    details.SetCancelEvent(&ev);
    ev.Set();
    ExportResult r = RunExport(s, MakeTemplate(L"EDF+"), &details);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(static_cast<uint32_t>(r.code), 0x800704C7u);
    EXPECT_EQ(r.text, L"Export was cancelled");
    EXPECT_TRUE(details.IsCancelled());
    ASSERT_EQ(r.files.size(), 1u);
    EdfLibFile f = ReadEdfLib(r.files[0]);
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.hdr->datarecords_in_file, 1);
}

TEST(Export, FailuresEndWithCodeAndText) {
    SimStudy s = Simulate(SmallStudy(1, 10.0), "fail");
    ASSERT_TRUE(s.res.ok && s.probed);
    // Output folder that does not exist.
    ExportResult r = RunExport(s, MakeTemplate(L"EDF"), nullptr, (s.out / "missing").wstring());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(static_cast<uint32_t>(r.code), 0x80070002u); // no such file or folder
    EXPECT_FALSE(r.text.empty());

    // Unknown channel source.
    r = RunExport(s, MakeTemplate(L"EDF", L"Derivations"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(static_cast<uint32_t>(r.code), 0x80070057u);
    EXPECT_EQ(r.text, L"Failure to create record data processors. Value of ExportChannels not recognized");

    // No segment table: no start stamp.
    CKeyTree noStart = s.desc;
    noStart.DeleteKey(L"Samples.Start");
    CSkrivoer w(noStart, MakeTemplate(L"EDF"), s.out.wstring());
    EXPECT_FALSE(w.Export(nullptr));
    EXPECT_EQ(w.GetLastErrorText(), s.res.stcFile.wstring() + L": starting timestamp not defined");
}

TEST(Export, DriverStopsWhenNothingIsLeft) {
    SimStudy s = Simulate(SmallStudy(1, 10.0), "stops");
    ASSERT_TRUE(s.res.ok && s.probed);
    // Without an end stamp one file is written and the export ends.
    CKeyTree noEnd = s.desc;
    noEnd.DeleteKey(L"Samples.End");
    CSkrivoer a(noEnd, MakeTemplate(L"EDF+"), s.out.wstring());
    EXPECT_TRUE(a.Export(nullptr));
    ASSERT_EQ(std::distance(std::filesystem::directory_iterator(s.out), std::filesystem::directory_iterator()), 1);
    EdfFile one((s.out / "Doe~ John_0001.EDF").string());
    EXPECT_TRUE(one.Ok()) << one.Error();
    std::filesystem::remove_all(s.out);
    std::filesystem::create_directories(s.out);

    // A start stamp past the recorded data, or no table of contents: no
    // records, no retry of the same file, no empty file left behind, and
    // an error that names the cause.
    CKeyTree late = s.desc;
    late.SetAt(L"Samples.Start", static_cast<int64_t>(s.res.endStamp + 1000));
    late.SetAt(L"Samples.End", static_cast<int64_t>(s.res.endStamp + 5000));
    CKeyTree t = MakeTemplate(L"EDF");
    t.AddKey(L"TemporalMaximum", 1);
    CSkrivoer b(late, t, s.out.wstring());
    EXPECT_FALSE(b.Export(nullptr));
    EXPECT_EQ(b.GetLastErrorText(), L"No data written: the study holds no recorded data from its start stamp on.");
    EXPECT_TRUE(std::filesystem::is_empty(s.out));
    std::filesystem::remove(s.res.etcFiles[0]);
    CSkrivoer c(s.desc, MakeTemplate(L"EDF+"), s.out.wstring());
    EXPECT_FALSE(c.Export(nullptr));
    EXPECT_EQ(static_cast<uint32_t>(c.GetLastErrorCode()), 0x80070002u);
    EXPECT_EQ(c.GetLastErrorText(), L"No data written: the study has no table-of-contents (.ETC) file.");
    EXPECT_TRUE(std::filesystem::is_empty(s.out));
}

// Progress stays a percentage when the study reports no samples, and a note
// in the padding after the last sample still lands in the last record.
TEST(Export, ZeroSampleTotalAndANoteAfterTheLastSample) {
    SimStudy s = Simulate(SmallStudy(1, 20.3), "tail");
    ASSERT_TRUE(s.res.ok && s.probed);
    CKeyTree desc = s.desc;
    desc.SetAt(L"Samples.Total", int64_t{0});
    CSkrivoer w(desc, MakeTemplate(L"EDF+"), s.out.wstring());
    CSkrivoAnnotationManager::NoteInput note;
    note.text = L"After the end";
    note.start = s.res.endStamp + 3;
    w.GetAnnotationManager().AddNotes({note}, s.opt.sampleRate);
    CExportDetails details(L"study", s.folder, s.opt.studyName, nullptr);
    ASSERT_TRUE(w.Export(&details)) << Narrow(w.GetLastErrorText());
    EXPECT_GE(details.GetPercent(), 0.0f);
    EXPECT_LE(details.GetPercent(), 100.0f);
    EdfLibFile f = ReadEdfLib((s.out / "Doe~ John_0001.EDF").string());
    ASSERT_EQ(f.rc, 0);
    const auto* a = FindAnnotation(f, "After the end");
    ASSERT_NE(a, nullptr);
    EXPECT_NEAR(a->onset, OnsetOf(note.start, s.res.startStamp, s.opt.sampleRate), 1);
}

TEST(Export, StartInsideALaterTocEntryReadsFromThatStamp) {
    SimOptions o = SmallStudy(1, 20.0);
    o.gaps = {{12.0, 2.0, false}};
    SimStudy s = Simulate(o, "midstart");
    ASSERT_TRUE(s.res.ok && s.probed);
    struct Case {
        int64_t start;   // stamp given as the study's first
        int64_t expect;  // stamp of the file's first sample
        const wchar_t* format;
    } cases[] = {
        // Inside the second table-of-contents entry (700 samples each).
        {s.res.startStamp + 1000, s.res.startStamp + 1000, L"EDF"},
        // Inside the gap: an EDF+D file starts at the first sample after it.
        {s.res.runs[0].firstStamp + s.res.runs[0].samples + 10, s.res.runs[1].firstStamp, L"EDF+"},
    };
    const sk::sim::SimSignal sig(s.opt);
    for (const auto& c : cases) {
        std::filesystem::remove_all(s.out);
        std::filesystem::create_directories(s.out);
        CKeyTree desc = s.desc;
        desc.SetAt(L"Samples.Start", c.start);
        CSkrivoer w(desc, MakeTemplate(c.format), s.out.wstring());
        ASSERT_TRUE(w.Export(nullptr));
        EdfFile strict((s.out / "Doe~ John_0001.EDF").string());
        ASSERT_TRUE(strict.Ok()) << strict.Error();
        const CKeyTree* raw = RawEntry(s.desc, 0);
        const EdfSignal& es = strict.Header().signals[0];
        const double step = (es.physMax - es.physMin) / (es.digMax - es.digMin);
        for (int i = 0; i < 50; ++i) {
            const double got = es.physMin + (strict.Sample(0, 0, i) - es.digMin) * step;
            const double expected = ExpectedPhysical(sig.Value(IntOf(raw->GetAt(L"StorageIndex"), 0), c.expect + i),
                                                     IntOf(raw->GetAt(L"DigitalMinimum"), 0),
                                                     IntOf(raw->GetAt(L"DigitalMaximum"), 0),
                                                     RealOf(raw->GetAt(L"PhysicalMinimum"), 0),
                                                     RealOf(raw->GetAt(L"PhysicalMaximum"), 0), es.physMin, es.physMax);
            ASSERT_NEAR(got, expected, step * 1.51) << i;
        }
    }
}

TEST(Export, MissingSegmentFileIsSkipped) {
    SimOptions o = SmallStudy(1, 20.0);
    o.gaps = {{8.0, 2.0, true}};
    SimStudy s = Simulate(o, "noseg");
    ASSERT_TRUE(s.res.ok && s.probed);
    ASSERT_EQ(s.res.etcFiles.size(), 2u);
    std::filesystem::remove(s.res.etcFiles[1]);
    ExportResult r = RunExport(s, MakeTemplate(L"EDF+"));
    ASSERT_TRUE(r.ok) << Narrow(r.text);
    EdfFile strict(r.files[0]);
    ASSERT_TRUE(strict.Ok()) << strict.Error();
    const int spr = strict.Header().signals[0].samples;
    EXPECT_EQ(strict.Header().records, (s.res.runs[0].samples + spr - 1) / spr);
}

TEST(Export, MissingAndTruncatedRawData) {
    SimStudy s = Simulate(SmallStudy(1, 10.0), "erd");
    ASSERT_TRUE(s.res.ok && s.probed);
    ASSERT_EQ(s.res.erdFiles.size(), 1u);
    const auto erd = s.res.erdFiles[0];
    const auto size = std::filesystem::file_size(erd);

    // Cut inside the samples: the records read so far are kept in a file
    // that opens, and the problem names the raw data file.
    std::filesystem::resize_file(erd, size * 2 / 3);
    CExportDetails details(L"study", s.folder, s.opt.studyName, nullptr);
    ExportResult r = RunExport(s, MakeTemplate(L"EDF"), &details);
    EXPECT_TRUE(r.ok);
    ASSERT_EQ(details.GetProblems().size(), 1u);
    EXPECT_EQ(details.GetProblems()[0].file, erd.wstring());
    EXPECT_GT(details.GetProblems()[0].skippedSeconds, 1.0);
    ASSERT_EQ(r.files.size(), 1u);
    EdfFile checked(r.files[0]);
    EXPECT_TRUE(checked.Ok()) << checked.Error();
    EdfLibFile f = ReadEdfLib(r.files[0]);
    ASSERT_EQ(f.rc, 0) << f.hdr->filetype;
    EXPECT_GE(f.hdr->datarecords_in_file, 1);

    // Missing raw data file: nothing to export, and the text names it.
    std::filesystem::remove(erd);
    std::filesystem::remove(r.files[0]);
    r = RunExport(s, MakeTemplate(L"EDF"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text.rfind(erd.wstring() + L": ", 0), 0u) << Narrow(r.text);
    EXPECT_TRUE(r.files.empty());
}

TEST(Export, FullDiskLeavesAReadableFileOrNone) {
    SimStudy s = Simulate(SmallStudy(2, 60.0), "full");
    ASSERT_TRUE(s.res.ok && s.probed);
    const std::string out = (s.out / "Doe~ John_0001.EDF").string();
    // A file-size limit inside the data keeps the whole records; one inside
    // the header (over 5 kB for this headbox) leaves no file at all.
    for (rlim_t limit : {rlim_t{300000}, rlim_t{3000}}) {
        SCOPED_TRACE(limit);
        std::filesystem::remove_all(s.out);
        std::filesystem::create_directories(s.out);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit lim{limit, limit};
            setrlimit(RLIMIT_FSIZE, &lim);
            CSkrivoer w(s.desc, MakeTemplate(L"EDF"), s.out.wstring());
            bool ok = w.Export(nullptr);
            int32_t code = ok ? 0 : w.GetLastErrorCode();
            if (write(fds[1], &code, sizeof code) != sizeof code)
                _exit(2);
            _exit(0);
        }
        close(fds[1]);
        int32_t code = 0;
        ASSERT_EQ(read(fds[0], &code, sizeof code), static_cast<ssize_t>(sizeof code));
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(static_cast<uint32_t>(code), 0x800700DFu); // the file is too large
        if (limit < 5000) {
            EXPECT_TRUE(std::filesystem::is_empty(s.out)) << "neither a final nor a temporary file";
            continue;
        }
        EXPECT_LE(std::filesystem::file_size(out), limit);
        EdfFile checked(out);
        EXPECT_TRUE(checked.Ok()) << checked.Error();
        EdfLibFile f = ReadEdfLib(out);
        ASSERT_EQ(f.rc, 0) << f.hdr->filetype;
        EXPECT_GE(f.hdr->datarecords_in_file, 1);
        const int64_t start = s.res.startStamp;
        ExpectRawSignals(s, f, 0, 2, [&](int64_t j) { return start + j; },
                         f.hdr->datarecords_in_file * f.hdr->signalparam[0].smp_in_datarecord);
    }
}

} // namespace

// Whole exports of simulated studies, read back with EDFlib (and, for EDF+D,
// with the strict checker and BioSig) and compared against the simulator's
// source values; the probe that describes a study; and damaged, hostile or
// unusual studies, which end in an honest outcome.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <csignal>
#include <functional>
#include <map>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Sync.h"
#include "platform/appcommon/HeadboxConfig.h"
#include "platform/recording/EegStudyFile.h"
#include "platform/recording/StudyFormat.h"
#include "platform/recording/WaveType.h"
#include "recorddata/SkrivoAnnotationManager.h"
#include "support/SimStudy.h"
#include "writer/WriterTestUtil.h"

using namespace sk::test;
using sk::sim::SimOptions;
namespace fs = std::filesystem;

namespace {

std::string Trim(std::string t) { return t.erase(t.find_last_not_of(' ') + 1); }

void ClearOutput(const SimStudy& s) {
    fs::remove_all(s.out);
    fs::create_directories(s.out);
}

std::string FileName(const std::string& path) { return fs::path(path).filename().string(); }

// The source's physical value of raw channel ch at a stamp, in an EDF signal
// of physical range lo..hi.
double SourceValue(const SimStudy& s, const sk::sim::SimSignal& sig, int ch, int64_t stamp, double lo, double hi) {
    const CKeyTree* raw = RawEntry(s.desc, ch);
    return ExpectedPhysical(sig.Value(IntOf(raw->GetAt(L"StorageIndex"), -1), stamp),
                            IntOf(raw->GetAt(L"DigitalMinimum"), 0), IntOf(raw->GetAt(L"DigitalMaximum"), 0),
                            RealOf(raw->GetAt(L"PhysicalMinimum"), 0), RealOf(raw->GetAt(L"PhysicalMaximum"), 0), lo,
                            hi);
}

double StepOf(const EdfSignal& es) { return (es.physMax - es.physMin) / (es.digMax - es.digMin); }

// Sample i of signal ch in record rec as the strict reader reads it.
double Physical(const EdfFile& f, int64_t rec, int ch, int i) {
    const EdfSignal& es = f.Header().signals[static_cast<size_t>(ch)];
    return es.physMin + (f.Sample(rec, ch, i) - es.digMin) * StepOf(es);
}

// Compares every data signal of a raw-channel export (or of the recording
// montage, one referential derivation per input) with the source; calibrated
// DC signals follow their calibration within the wave type's range. stampOf(j)
// gives the stamp of sample j of the file. Returns the number of calibrated
// signals.
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
            if (!Recorded(s.res.runs, stamp)) {
                if (!ac)
                    continue; // the zero code of a DC range may lie outside it
                expected = 0.0;
            } else {
                expected = ExpectedPhysical(sig.Value(storage, stamp), dmin, dmax, pmin, pmax, p.phys_min, p.phys_max,
                                            k, c);
            }
            if (std::fabs(v[static_cast<size_t>(j)] - expected) > tol) {
                ADD_FAILURE() << "signal " << i << " sample " << j << " stamp " << stamp << ": "
                              << v[static_cast<size_t>(j)] << " expected " << expected;
                ++bad;
            }
        }
    }
    return calibrated;
}

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

// The "Recording gap" annotations of a padded file: one for each stretch of
// samples without data in the runs recorded (a gap, a lost segment, the
// padding after the last sample), exact to the 100 ns of EDFlib.
void ExpectGapAnnotations(const SimStudy& s, const EdfLibFile& f, int64_t step, const std::vector<sk::sim::SimRun>& runs) {
    std::vector<std::pair<long long, long long>> got, want;
    for (const auto& a : f.annots)
        if (std::string(a.annotation) == "Recording gap")
            got.emplace_back(a.onset, a.duration_l);
    const int64_t n = f.hdr->signalparam[0].smp_in_file, start = s.res.startStamp;
    for (int64_t j = 0, k = 0; j < n; j = k + 1) {
        for (k = j; k < n && !Recorded(runs, start + k * step);)
            ++k;
        if (k > j)
            want.emplace_back(OnsetOf(start + j * step, start, s.opt.sampleRate),
                              std::llround(static_cast<double>((k - j) * step) / s.opt.sampleRate * 1e7));
    }
    EXPECT_EQ(got, want);
}

// The note at the onset the study gives it.
void ExpectNoteAt(const SimStudy& s, const EdfLibFile& f, const std::wstring& text) {
    for (const CNote& n : sk::sim::SimulatedNotes(s.opt)) {
        if (n.GetText() != text)
            continue;
        const auto* a = FindAnnotation(f, Narrow(text));
        ASSERT_NE(a, nullptr) << Narrow(text);
        EXPECT_NEAR(a->onset, OnsetOf(n.GetStartStamp(), s.res.startStamp, s.opt.sampleRate), 1);
        if (n.GetEndStamp() > 0) {
            EXPECT_NEAR(a->duration_l, (n.GetEndStamp() - n.GetStartStamp()) / s.opt.sampleRate * 1e7, 1);
        }
        return;
    }
    ADD_FAILURE() << "the study has no note " << Narrow(text);
}

// One export of a study, and what it must show beyond signals that match
// the source sample for sample.
struct Scenario {
    const char* name;
    SimOptions sim;
    const wchar_t* format;
    std::vector<std::pair<const wchar_t*, int>> keys; // template keys
    std::function<void(SimStudy&, const CKeyTree&, const EdfLibFile&, int calibrated)> more;
    const wchar_t* channels = L"RawData";
};

// Keeps gtest from dumping the struct's bytes into the log.
void PrintTo(const Scenario& c, std::ostream* os) { *os << c.name; }

const Scenario kScenarios[] = {
    // 20.3 s at 128 Hz: the last record is partly filled. With no samples reported progress
    // ends at 100 %.
    {"PlainEdf", {.headboxType = 2, .sampleRate = 128, .durationSeconds = 20.3, .maxEntrySamples = 700}, L"EDF",
     {},
     [](SimStudy& s, const CKeyTree&, const EdfLibFile& f, int) {
         EXPECT_EQ(f.hdr->filetype, EDFLIB_FILETYPE_EDF);
         ClearOutput(s);
         s.desc.SetAt(L"Samples.Total", int64_t{0});
         CExportDetails details(L"study", s.folder, s.opt.studyName, nullptr);
         ASSERT_TRUE(RunExport(s, MakeTemplate(L"EDF+"), &details).ok);
         EXPECT_EQ(details.GetPercent(), 100.0f);
     }},
    // Notes: mapped texts, durations, skipped notes left out, UTF-8 kept,
    // long texts cut to 63 characters.
    {"EdfPlusWithNotes", {.headboxType = 2, .sampleRate = 128, .durationSeconds = 40, .maxEntrySamples = 700},
     L"EDF+", {},
     [](const SimStudy& s, const CKeyTree&, const EdfLibFile& f, int) {
         EXPECT_EQ(f.hdr->filetype, EDFLIB_FILETYPE_EDFPLUS);
         EXPECT_EQ(f.hdr->startdate_year, 2025);
         ExpectNoteAt(s, f, L"Eyes closed");
         ExpectNoteAt(s, f, L"Hyperventilation");
         for (const char* text : {"EEG arousal", "CS breathing", "NC tachycardia", "Arousal (spontaneous)",
                                  "Technician comment",
                                  "Spike \xc3\xbc" "ber Fp1 \xe2\x80\x94 \xe6\xa3\x98\xe6\xb3\xa2 \xf0\x9f\xa7\xa0",
                                  "A very long technician note that goes on well beyond sixty-thre"})
             EXPECT_NE(FindAnnotation(f, text), nullptr) << text;
         EXPECT_EQ(FindAnnotation(f, "Deleted spike"), nullptr);
         EXPECT_EQ(FindAnnotation(f, "Impedance check"), nullptr);
     }},
    // Labels carry the signal type, calibrated DC inputs their quantity;
    // three 30-second epochs, the last one left unscored; the note of
    // another scorer is left out.
    {"SleepStudy",
     {.headboxType = 5, .sampleRate = 128, .durationSeconds = 95, .studyGroup = 2, .maxEntrySamples = 700},
     L"EDF+", {},
     [](const SimStudy&, const CKeyTree&, const EdfLibFile& f, int calibrated) {
         EXPECT_EQ(calibrated, 7);
         const std::map<std::string, std::pair<std::string, std::string>> expected = {
             {"EEG F3", {"uV", "PSG 32 AC input"}},
             {"EOG LOC", {"uV", "PSG 32 AC input"}},
             {"Resp NasalP", {"cmH2O", "PSG 32 DC input, calibrated"}},
             {"SaO2 SpO2", {"%", "PSG 32 DC input, calibrated"}},
             {"Misc Light", {"lx", "PSG 32 DC input, calibrated"}},
             {"Resp Flow", {"l/min", "PSG 32 DC input, calibrated"}},
             {"Misc DC1", {"uV", "PSG 32 DC input"}},
         };
         size_t found = 0;
         for (int i = 0; i < f.hdr->edfsignals; ++i) {
             const edf_param_struct& p = f.hdr->signalparam[i];
             EXPECT_EQ(Trim(p.prefilter), "");
             const auto it = expected.find(Trim(p.label));
             if (it == expected.end())
                 continue;
             ++found;
             EXPECT_EQ(Trim(p.physdimension), it->second.first) << it->first;
             EXPECT_EQ(Trim(p.transducer), it->second.second) << it->first;
         }
         EXPECT_EQ(found, expected.size());
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
         EXPECT_EQ(FindAnnotation(f, "Scored by the other scorer"), nullptr);
         EXPECT_NE(FindAnnotation(f, "EEG arousal"), nullptr);
     }},
    // Padded gaps: a continuous file with no missing time.
    {"PaddedEdfPlus",
     {.headboxType = 2, .sampleRate = 128, .durationSeconds = 24, .gaps = {{6, 3, false}, {15, 1.5, true}},
      .maxEntrySamples = 700},
     L"EDF+", {{L"PadGaps", 1}},
     [](const SimStudy& s, const CKeyTree&, const EdfLibFile& f, int) {
         EXPECT_EQ(f.hdr->filetype, EDFLIB_FILETYPE_EDFPLUS);
         ExpectGapAnnotations(s, f, 1, s.res.runs);
     }},
    // A decimation factor recorded as 0 divides nothing by zero: the
    // decimated files (factor 4) do not fit it, so the full-rate data is
    // exported, with a word why.
    {"DecimatedEdf",
     {.headboxType = 2, .durationSeconds = 20, .gaps = {{8.0, 2.0, false}}, .decimation = 4,
      .maxEntrySamples = 700},
     L"EDF", {{L"UseDecimatedData", 1}},
     [](const SimStudy& s, const CKeyTree& t, const EdfLibFile& f, int) {
         EXPECT_DOUBLE_EQ(f.hdr->signalparam[0].smp_in_datarecord * 1e7 / f.hdr->datarecord_duration, 64.0);
         CKeyTree zero = s.desc;
         zero.SetAt(L"Study.RawDataDecimation", int32_t{0});
         fs::create_directories(s.dir->path() / "zero");
         CSkrivoer w(zero, t, (s.dir->path() / "zero").wstring());
         EXPECT_TRUE(w.Export(nullptr)) << Narrow(w.GetLastErrorText());
         EXPECT_DOUBLE_EQ(w.GetRecordDuration() * 256.0, w.GetFramesPerRecord());
         EXPECT_EQ(w.GetNotices().size(), 1u);
     }},
    // Stamps still count at the raw rate: onsets are the recording's; trigger bits (one on the
    // grid) and patient events show on the sample whose step holds them.
    {"DecimatedPaddedEdfPlus",
     {.headboxType = 2, .durationSeconds = 20, .startStamp = 1001, .gaps = {{8.0, 2.0, false}}, .decimation = 4,
      .maxEntrySamples = 700},
     L"EDF+", {{L"UseDecimatedData", 1}, {L"PadGaps", 1}, {L"IncludeTriggerEvent", 1}, {L"IncludePatientEvent", 1}},
     [](const SimStudy& s, const CKeyTree& t, const EdfLibFile& f, int) {
         ExpectGapAnnotations(s, f, s.opt.decimation, s.res.runs);
         ExpectNoteAt(s, f, L"Eyes closed");
         // An event on the last of two or more padding frames shows there.
         const int64_t last = s.res.startStamp + s.opt.decimation * (std::ssize(f.phys[1]) - 1);
         ASSERT_FALSE(Recorded(s.res.runs, last - s.opt.decimation));
         ClearOutput(s);
         CSkrivoer w(s.desc, t, s.out.wstring());
         w.GetAnnotationManager().AddNotes({{L"Patient Event", L"", last, 0}}, s.opt.sampleRate);
         ASSERT_TRUE(w.Export(nullptr));
         EXPECT_EQ(ReadChecked(fs::directory_iterator(s.out)->path().string()).phys.at(1).back(), 1.0);
         EXPECT_STREQ(f.hdr->signalparam[0].label, "Misc Trigger    ");
         EXPECT_STREQ(f.hdr->signalparam[1].label, "Misc Patient Evt");
         const sk::sim::SimSignal sig(s.opt);
         int triggers = 0;
         std::vector<int64_t> events, want;
         for (size_t j = 0; j < f.phys[0].size(); ++j) {
             const int64_t stamp = s.res.startStamp + s.opt.decimation * static_cast<int64_t>(j);
             const double expected = Recorded(s.res.runs, stamp) && (sig.Flags(stamp) & 1) ? 1.0 : 0.0;
             triggers += expected > 0;
             ASSERT_NEAR(f.phys[0][j], expected, 1e-9) << j;
             if (f.phys[1][j] > 0.5)
                 events.push_back(stamp);
         }
         EXPECT_GT(triggers, 0);
         for (const CNote& n : sk::sim::SimulatedNotes(s.opt))
             if (n.GetText().substr(0, 13) == L"Patient Event" || n.GetText().substr(0, 13) == L"patient event")
                 want.push_back(n.GetStartStamp() - (n.GetStartStamp() - s.res.startStamp) % s.opt.decimation);
         EXPECT_EQ(events, want);
     }},
    // Headbox 20 stores the base unit's DC inputs first, then the breakout; a
    // channel selection names configuration numbers (512 and 513: stored first).
    {"Headbox20WithABreakout",
     {.headboxType = 20, .breakouts = 1, .sampleRate = 64, .durationSeconds = 6, .maxEntrySamples = 700}, L"EDF+",
     {},
     [](SimStudy& s, const CKeyTree&, const EdfLibFile&, int) {
         EXPECT_EQ(IntOf(s.desc.GetAt(L"Headbox.HB0.Breakouts"), 0), 1);
         const std::pair<int, int> storageToConfiguration[] = {{0, 512}, {31, 543}, {32, 0}, {32 + 127, 127}};
         for (const auto& [storage, configuration] : storageToConfiguration)
             EXPECT_EQ(IntOf(RawEntry(s.desc, storage)->GetAt(L"ConfigurationIndex"), -1), configuration) << storage;
         EXPECT_EQ(AsCStr(RawEntry(s.desc, 0)->GetAt(L"SignalType"), L""), L"DC");
         EXPECT_EQ(AsCStr(RawEntry(s.desc, 32)->GetAt(L"SignalType"), L""), L"AC");
         ClearOutput(s);
         CKeyTree t = MakeTemplate(L"EDF");
         auto* list = new CItemList;
         ASSERT_TRUE(list->FromString(L"[{\"Index\": i513, \"Selected\": i1}, {\"Index\": i512, \"Selected\": i1}]"));
         t.AddKey(L"Channels.Selected", list);
         ExportResult r = RunExport(s, t);
         ASSERT_TRUE(r.ok) << Narrow(r.text);
         const EdfLibFile g = ReadChecked(r.files[0]);
         ASSERT_EQ(g.hdr->edfsignals, 2);
         ExpectRawSignals(s, g, 0, 2, [&](int64_t j) { return s.res.startStamp + j; }, std::ssize(g.phys[0]));
     }},
    // The recording montage is one referential derivation per input; its
    // calibrated DC signals (SpO2, pulse and position) follow the study's
    // calibration in the wave type's physical range. Without the study's
    // calibration a raw channel stays the input voltage and a derivation
    // takes the nominal calibration; both say so.
    {"RecordingMontage", {.headboxType = 3, .sampleRate = 128, .durationSeconds = 12, .maxEntrySamples = 700},
     L"EDF+", {},
     [](SimStudy& s, const CKeyTree&, const EdfLibFile&, int calibrated) {
         EXPECT_GE(calibrated, 3);
         s.desc.DeleteKey(L"Study.Calibration");
         const std::pair<const wchar_t*, std::pair<std::string, std::string>> uncalibrated[] = {
             {L"RawData", {"uV", "Ambulatory EEG 32 DC input, not calibrated"}},
             {L"AcquisitionMontage", {"%", "Ambulatory EEG 32 DC input, nominal calibration (none in the study)"}}};
         for (const auto& [source, want] : uncalibrated) {
             ClearOutput(s);
             ExportResult u = RunExport(s, MakeTemplate(L"EDF+", source));
             ASSERT_TRUE(u.ok) << Narrow(u.text);
             EdfLibFile g = ReadChecked(u.files[0]);
             int found = 0;
             for (int i = 0; i < g.hdr->edfsignals; ++i) {
                 if (Trim(g.hdr->signalparam[i].label) != "SaO2 SpO2")
                     continue;
                 ++found;
                 EXPECT_EQ(Trim(g.hdr->signalparam[i].physdimension), want.first);
                 EXPECT_EQ(Trim(g.hdr->signalparam[i].transducer), want.second);
             }
             EXPECT_EQ(found, 1) << Narrow(source);
         }
     },
     L"AcquisitionMontage"},
};

class ExportScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(ExportScenario, SignalsMatchTheSource) {
    const Scenario& c = GetParam();
    SimStudy s = Simulate(c.sim, "export");
    ASSERT_TRUE(s.res.ok && s.probed);
    CKeyTree t = MakeTemplate(c.format, c.channels);
    for (const auto& [key, value] : c.keys)
        t.AddKey(key, value);
    CExportDetails details(L"study", s.folder, s.opt.studyName, nullptr);
    ExportResult r = RunExport(s, t, &details);
    ASSERT_TRUE(r.ok) << Narrow(r.text);
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(details.GetPercent(), 100.0f); // the last record's report: every sample counted once
    EdfLibFile f = ReadChecked(r.files[0]);
    ASSERT_EQ(f.rc, 0);
    const int events = IntOf(t.GetAt(L"IncludeTriggerEvent"), 0) + IntOf(t.GetAt(L"IncludePatientEvent"), 0);
    ASSERT_EQ(f.hdr->edfsignals, s.res.channelCount + events);
    const int64_t step = IntOf(t.GetAt(L"UseDecimatedData"), 0) ? c.sim.decimation : 1;
    const int spr = f.hdr->signalparam[0].smp_in_datarecord;
    const int64_t span = c.sim.gaps.empty() ? s.res.totalSamples : s.res.endStamp - s.res.startStamp + 1;
    EXPECT_TRUE(step > 1 || f.hdr->datarecords_in_file == (span + spr - 1) / spr) << "missing time, or no padding";
    const int calibrated = ExpectRawSignals(s, f, events, s.res.channelCount,
                                            [&](int64_t j) { return s.res.startStamp + step * j; },
                                            f.hdr->datarecords_in_file * spr,
                                            std::wstring(c.channels) == L"AcquisitionMontage");
    c.more(s, t, f, calibrated);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ExportScenario, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Export, EdfPlusDiscontinuousSkipsGapsAtRecordBoundaries) {
    // A gap longer than a record inside one file, a short one between files.
    SimStudy s = Simulate({.headboxType = 2, .sampleRate = 128, .durationSeconds = 30,
                           .gaps = {{7.3, 15.0, false}, {18.1, 2.5, true}}, .maxEntrySamples = 700},
                          "edfd");
    ASSERT_TRUE(s.res.ok && s.probed);
    EXPECT_EQ(IntOf(s.desc.GetAt(L"Samples.Contiguous"), -1), 0);
    ExportResult r = RunExport(s, MakeTemplate(L"edf+")); // the format in any letter case
    ASSERT_TRUE(r.ok) << Narrow(r.text);
    ASSERT_EQ(r.files.size(), 1u);
    EdfFile strict(r.files[0]);
    ASSERT_TRUE(strict.Ok()) << strict.Error();
    const EdfHeader& h = strict.Header();
    EXPECT_EQ(h.reserved.substr(0, 5), "EDF+D");
    EXPECT_EQ(ReadEdfLib(r.files[0]).hdr->filetype, EDFLIB_FILE_IS_DISCONTINUOUS);

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
    int jumps = 0;
    for (int64_t rec = 0; rec < h.records; ++rec) {
        const int64_t recStart = base + std::llround(strict.RecordOnset(rec) * rate);
        ASSERT_TRUE(Recorded(s.res.runs, recStart)) << "record " << rec << " starts in a gap";
        jumps += rec > 0 && strict.RecordOnset(rec) - strict.RecordOnset(rec - 1) > h.duration + 1e-6;
        for (int ch = 0; ch < 2; ++ch) {
            const EdfSignal& es = h.signals[static_cast<size_t>(ch)];
            for (int i = 0; i < spr; ++i) {
                const bool recorded = Recorded(s.res.runs, recStart + i);
                covered += recorded && ch == 0;
                const double expected = recorded ? SourceValue(s, sig, ch, recStart + i, es.physMin, es.physMax) : 0.0;
                ASSERT_NEAR(Physical(strict, rec, ch, i), expected, StepOf(es) * 1.51) << "record " << rec << " " << i;
            }
        }
    }
    EXPECT_EQ(covered, s.res.totalSamples); // nothing recorded is lost
    EXPECT_GE(jumps, 1);                    // records leave the long gap out

    // BioSig reads the discontinuous file too. It shows each record's
    // time-keeping annotation as an event with an empty text and the
    // record's wall-clock time: the record starts across the gaps agree
    // with the file's.
    BiosigRead b = ReadWithBiosig(r.files[0]);
    ASSERT_TRUE(b.ok) << b.error;
    EXPECT_EQ(b.channels, s.res.channelCount);
    EXPECT_EQ(static_cast<int64_t>(b.records), h.records);
    std::vector<double> starts;
    for (const auto& e : b.events)
        if (e.text.empty())
            starts.push_back(e.timeStampSeconds);
    ASSERT_EQ(static_cast<int64_t>(starts.size()), h.records);
    for (int64_t rec = 0; rec < h.records; ++rec)
        EXPECT_NEAR(starts[static_cast<size_t>(rec)] - starts[0], strict.RecordOnset(rec) - onset0, 1e-3) << rec;
    ASSERT_GE(b.data.at(0).size(), static_cast<size_t>(spr));
    for (int i = 0; i < spr; ++i)
        EXPECT_NEAR(b.data[0][static_cast<size_t>(i)], Physical(strict, 0, 0, i), StepOf(h.signals[0]) * 0.51);
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
    struct Case { double rate; int decimation, millis; int64_t startStamp; } cases[] = {
        {256, 4, 300, 1000}, {256, 1, 906, 23}, {256, 1, 906, 24}, {256, 1, 906, 25},
        {500, 1, 996, 1},    {500, 1, 996, 2},  {500, 5, 996, 3},  {200, 2, 995, 1}, {512, 1, 2, 511},
    };
    for (const Case& c : cases) {
        SimStudy s = Simulate({.sampleRate = c.rate, .durationSeconds = 12, .startStamp = c.startStamp,
                               .decimation = c.decimation, .maxEntrySamples = 700, .creationMillis = c.millis},
                              "grid");
        ASSERT_TRUE(s.res.ok && s.probed);
        const std::string tag = std::to_string(c.rate) + " Hz /" + std::to_string(c.decimation) + ", ." +
                                std::to_string(c.millis) + " s, stamp " + std::to_string(c.startStamp);
        // 12:00:00 plus the milliseconds plus the first stamp.
        const long long truth = 12LL * 3600 * 10000000 + c.millis * 10000LL + std::llround(c.startStamp * 1e7 / c.rate);
        std::vector<EdfLibFile> files;
        for (int decimated = 0; decimated <= (c.decimation > 1); ++decimated) {
            ClearOutput(s);
            CKeyTree t = MakeTemplate(L"EDF+");
            t.AddKey(L"UseDecimatedData", decimated);
            ExportResult r = RunExport(s, t);
            ASSERT_TRUE(r.ok) << tag << Narrow(r.text);
            files.push_back(ReadChecked(r.files[0]));
            ASSERT_EQ(files.back().rc, 0) << tag;
            EXPECT_NEAR(FirstSampleTime(files.back()), truth, 1e7 / c.rate) << tag << " decimated " << decimated;
        }
        if (files.size() < 2)
            continue;
        for (EdfLibFile& g : files) // each rate's last record has padding of its own
            std::erase_if(g.annots, [](const auto& a) { return std::string(a.annotation) == "Recording gap"; });
        ASSERT_EQ(files[0].annots.size(), files[1].annots.size()) << tag;
        ASSERT_FALSE(files[0].annots.empty());
        for (size_t i = 0; i < files[0].annots.size(); ++i)
            EXPECT_NEAR(FirstSampleTime(files[0]) + files[0].annots[i].onset,
                        FirstSampleTime(files[1]) + files[1].annots[i].onset, 1e7 * c.decimation / c.rate)
                << tag << " " << files[0].annots[i].annotation;
    }
}

// Notes clustered at one instant shorten the records to durations the
// header holds exactly (a thousand long ones make the annotation signal alone
// outgrow the record limit); notes inside a skipped gap go into the first
// record after it. Every note and scored epoch lands once, in the file whose
// time holds it (from its first sample to the next file's; the last file
// holds everything after the recording), at its own time (stamp 0 is
// 12:00:00) and with its own duration, to the tick: after the last record
// (also hours later), in a decimated file's last partial frame, across a
// split, in a gap that a split leaves out.
TEST(Export, EveryNoteIsWrittenAtEveryRateInTheFileWhoseTimeHoldsIt) {
    struct Case {
        double rate;
        int decimation, headbox, burst; // burst: notes at one instant
        bool gap, pad;
        std::vector<std::pair<const wchar_t*, int>> keys = {};
    } cases[] = {
        {200, 1, 1, 200, false, false},  {250, 1, 1, 200, false, false}, {256, 1, 1, 200, false, false},
        {500, 1, 1, 200, false, false},  {512, 1, 1, 200, false, false}, {1000, 1, 1, 200, false, false},
        {1024, 1, 1, 200, false, false}, {256, 3, 1, 200, false, false}, {256, 4, 1, 200, false, false},
        {256, 1, 8, 200, false, false},  {256, 1, 2, 1000, false, false}, {256, 1, 1, 2, true, false},
        {256, 1, 1, 2, true, true},      {256, 4, 1, 40, true, false},
        {256, 4, 1, 2, false, false, {{L"TemporalMaximum", 2}}}, {256, 1, 1, 2, true, false, {{L"SplitAtGaps", 1}}},
    };
    for (const Case& c : cases) {
        SimOptions o{.headboxType = c.headbox, .sampleRate = c.rate, .durationSeconds = 6, .decimation = c.decimation,
                     .maxEntrySamples = 700};
        if (c.gap)
            o.gaps = {{3.0, 2.0, false}};
        SimStudy s = Simulate(o, "dense");
        ASSERT_TRUE(s.res.ok && s.probed);
        SCOPED_TRACE(testing::Message() << c.rate << " Hz /" << c.decimation << " headbox " << c.headbox << " burst "
                                        << c.burst << (c.gap ? " gap" : "") << (c.pad ? " padded" : "")
                                        << (c.keys.empty() ? "" : " split"));
        const auto& run = s.res.runs[0];
        const int64_t sec = std::llround(c.rate), end = s.res.endStamp;
        std::vector<CSkrivoAnnotationManager::NoteInput> notes = {
            {L"after 1", L"", end + 1, end + 1 + sec}, {L"after 2 h", L"", end + 7200 * sec, 0}};
        for (int i = 0; i < c.burst; ++i)
            notes.push_back({L"Burst of spikes over the left temporal chain, note " + std::to_wstring(i), L"",
                             run.firstStamp + 2 * sec + 1, 0});
        for (int i = 0; i < 30; ++i)
            // Spread out and as long as any text, so that only the room
            // planned for the notes after the end holds them.
            notes.push_back({L"after the recording, a note longer than a burst's, number " + std::to_wstring(i), L"",
                             end + 9 + i * 10 * sec, 0});
        // Either side of where a split starts a file, or of a gap's ends.
        for (int64_t at : c.gap ? std::vector{run.firstStamp + run.samples, s.res.runs[1].firstStamp}
                                : std::vector{run.firstStamp + 2 * sec, run.firstStamp + 4 * sec})
            for (int64_t d : {-1, 0})
                notes.push_back({L"at " + std::to_wstring(at + d), L"", at + d, at + d + 3 * sec});
        CKeyTree t = MakeTemplate(L"EDF+");
        t.AddKey(L"UseDecimatedData", c.decimation > 1 ? 1 : 0);
        t.AddKey(L"PadGaps", c.pad ? 1 : 0);
        for (const auto& [key, value] : c.keys)
            t.AddKey(key, value);
        CSkrivoer w(s.desc, t, s.out.wstring());
        CSkrivoAnnotationManager& m = w.GetAnnotationManager();
        m.AddStages({.label = L"", .epochSeconds = 2, .firstEpochStamp = run.firstStamp, .codes = {0, 1, 2, 3, 5}},
                    c.rate, 3);
        m.AddNotes(notes, c.rate);
        CExportDetails details(L"study", s.folder, s.opt.studyName, nullptr);
        ASSERT_TRUE(w.Export(&details)) << Narrow(w.GetLastErrorText());
        EXPECT_TRUE(details.GetProblems().empty()) << Narrow(details.GetProblems()[0].reason);
        std::vector<EdfLibFile> files;
        size_t written = 0;
        for (const auto& e : std::set<fs::path>(fs::directory_iterator(s.out), {})) {
            EdfFile strict(e.string());
            const EdfHeader& h = strict.Header();
            // The header's duration is the one the samples use.
            EXPECT_NEAR(h.signals[0].samples / h.duration, c.rate / c.decimation, 1e-9) << h.durationText;
            files.push_back(ReadChecked(e.string()));
            written += files.back().annots.size();
            if (files.back().rc != 0) { // EDF+D
                EXPECT_EQ(h.reserved.substr(0, 5), "EDF+D");
                for (int64_t r = 0; r < h.records; ++r)
                    for (const Tal& tal : strict.Tals(r))
                        written += static_cast<size_t>(std::count_if(tal.texts.begin(), tal.texts.end(),
                                                                     [](const std::string& t) { return !t.empty(); }));
            }
        }
        EXPECT_EQ(written, m.GetCount()); // nothing lost, nothing twice
        for (const ANNOTATION_ENTRY& e : m.GetEntries()) {
            const std::string text = Narrow(e.text);
            const long long time = 12LL * 3600 * 10000000 + std::llround(static_cast<double>(e.start) * 1e7 / c.rate);
            size_t k = 0; // the file whose time holds it
            while (k + 1 < files.size() && FirstSampleTime(files[k + 1]) <= time)
                ++k;
            if (files[k].rc != 0 || (text.rfind("at ", 0) && text.rfind("after", 0) && text.rfind("Sleep", 0)))
                continue; // EDF+D, or a text of the study's own (checked elsewhere)
            const auto* a = FindAnnotation(files[k], text);
            ASSERT_NE(a, nullptr) << text << " in file " << k;
            EXPECT_NEAR(FirstSampleTime(files[k]) + a->onset, time, 1) << text;
            EXPECT_NEAR(a->duration_l, e.duration > 0 ? e.duration * 1e7 : -1e7, 1) << text;
        }
    }
}

// Firmware that misreports its input ranges: the file's physical values are
// those of the ranges the samples were stored in, and InvertAC flips the
// sign of AC signals only, raw or derived.
TEST(Export, MisreportedRangesAreCorrectedAndOnlyAcSignalsInverted) {
    const std::tuple<int, const wchar_t*, const wchar_t*> cases[] = {
        {14, L"3.2", L"RawData"}, {24, L"3.2", L"RawData"}, {25, L"5.0", L"RawData"}, {26, L"1.5", L"RawData"},
        {27, L"1.9", L"RawData"}, {7, L"3.2", L"RawData"},  {7, L"3.2", L"AcquisitionMontage"}};
    for (const auto& [type, firmware, channels] : cases) {
        SCOPED_TRACE(type);
        SimStudy s = Simulate({.headboxType = type, .sampleRate = 128, .durationSeconds = 2, .outOfRangeValues = false,
                               .maxEntrySamples = 700, .hbSwVersion = firmware},
                              "quirk");
        ASSERT_TRUE(s.res.ok && s.probed);
        CKeyTree t = MakeTemplate(L"EDF", channels);
        t.AddKey(L"InvertAC", 1);
        ExportResult r = RunExport(s, t);
        ASSERT_TRUE(r.ok) << Narrow(r.text);
        EdfLibFile f = ReadChecked(r.files[0]);
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
            CalibrationLine(s.desc, *raw, std::wstring(channels) != L"RawData", k, c);
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

// A size or a time limit splits an export into numbered files of whole
// records, each holding the source's samples from where the last one ended.
// The header counts against a size limit (here just short of four records),
// which overrides a time limit. No file runs past a time limit, decimated or
// not (25 signals at 128 Hz make 9-second records; the 18-second first record
// of the decimated data is cut), and each file starts at its own time (the
// study starts at 12:00:00 at stamp 0), with the sub-second part as its first
// onset.
TEST(Export, LimitsSplitIntoNumberedFiles) {
    const struct { double rate; int decimation; bool bySize; } cases[] = {
        {128, 1, true}, {128, 1, false}, {256, 1, false}, {256, 4, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz /" << c.decimation << (c.bySize ? " by size" : ""));
        SimStudy s = Simulate({.sampleRate = c.rate, .durationSeconds = c.bySize ? 95.0 : 25.0,
                               .decimation = c.decimation, .maxEntrySamples = 700}, "split");
        ASSERT_TRUE(s.res.ok && s.probed);
        CKeyTree t = MakeTemplate(c.bySize ? L"EDF" : L"EDF+");
        t.AddKey(L"UseDecimatedData", c.decimation > 1 ? 1 : 0);
        CSkrivoer layout(s.desc, t, L""); // without limits
        ASSERT_TRUE(layout.ProcessRecordData());
        layout.ComputeRecordLayout();
        const int64_t limit = 256 * (static_cast<int64_t>(layout.GetProcessorCount()) + 1) +
                              4 * layout.GetBytesPerRecord() - 1;
        t.AddKey(L"TemporalMaximum", c.bySize ? 1 : 10);
        if (c.bySize)
            t.AddKey(L"SpatialMaximum", limit);
        ExportResult r = RunExport(s, t);
        ASSERT_TRUE(r.ok) << Narrow(r.text);
        const int spr = layout.GetFramesPerRecord();
        const int64_t records = (s.res.totalSamples / c.decimation + spr - 1) / spr;
        if (c.bySize) {
            ASSERT_EQ(static_cast<int64_t>(r.files.size()), (records + 2) / 3);
            EXPECT_EQ(FileName(r.files[1]), "Doe~ John_0001_001.EDF");
            EXPECT_EQ(FileName(r.files[2]), "Doe~ John_0001_002.EDF");
        }
        ASSERT_GE(r.files.size(), 3u);
        EXPECT_EQ(FileName(r.files[0]), "Doe~ John_0001.EDF");
        int64_t offset = 0; // stamps
        for (const auto& file : r.files) {
            EdfLibFile f = ReadChecked(file);
            ASSERT_EQ(f.rc, 0) << file;
            const int64_t first = s.res.startStamp + offset;
            const int64_t samples = f.hdr->datarecords_in_file * f.hdr->signalparam[0].smp_in_datarecord;
            if (c.bySize) {
                EXPECT_LE(f.hdr->datarecords_in_file, 3);
                EXPECT_LE(static_cast<int64_t>(fs::file_size(file)), limit);
            } else {
                EXPECT_LE(f.hdr->datarecords_in_file * f.hdr->datarecord_duration, 100000000LL);
                EXPECT_TRUE(c.rate != 128 || f.hdr->datarecord_duration == 90000000);
                const auto first100ns = static_cast<int64_t>(std::llround(first * 1e7 / c.rate));
                EXPECT_EQ(f.hdr->starttime_second, static_cast<int>(first100ns / 10000000 % 60));
                EXPECT_EQ(f.hdr->starttime_subsecond, first100ns % 10000000);
            }
            ExpectRawSignals(s, f, 0, 2, [&](int64_t j) { return first + c.decimation * j; }, samples);
            offset += samples * c.decimation;
        }
        EXPECT_TRUE(!c.bySize || offset == records * spr);
    }
}

// Output names follow the template's extension; de-identification puts
// "X~ X" for the patient's name, or the study GUID when the name is blank or
// not part of the study file's name.
TEST(Export, OutputNamesAndDeidentification) {
    SimStudy s = Simulate({.durationSeconds = 2, .maxEntrySamples = 700}, "names");
    ASSERT_TRUE(s.probed);
    const std::string guidName = "X~ X_6b29fc40-ca47-1067-b31d-00dd010662da.EDF";
    const std::wstring studyFile = AsCStr(s.desc.GetAt(L"Files.EEG"), L"");
    struct Case {
        const wchar_t *extension, *last, *first;
        int deidentify;
        std::string file;
        const wchar_t* eegFile = nullptr;
    } cases[] = {
        {L".rec", L"Doe", L"John", 0, "Doe~ John_0001.rec"},
        {L"edf", L"Doe", L"John", 0, "Doe~ John_0001.edf"},
        {L"/../x.edf", L"Doe", L"John", 0, "Doe~ John_0001.EDF"},
        {L".EDF", L"Doe", L"John", 1, "X~ X_0001.EDF"},
        {L".EDF", L" ", L"  ", 1, guidName},
        {L".EDF", L"Doe", L"", 1, guidName},
        {L".EDF", L"", L"John", 1, guidName},
        {L".EDF", L"Doe", L"\t", 1, guidName},
        {L".EDF", L"Doe", L"John", 1, guidName, L"study.EEG"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        ClearOutput(s);
        s.desc.SetAt(L"Info.Name.LastName", c.last);
        s.desc.SetAt(L"Info.Name.FirstName", c.first);
        s.desc.SetAt(L"Files.EEG", c.eegFile ? s.folder + c.eegFile : studyFile);
        CKeyTree t = MakeTemplate(L"EDF+");
        t.SetAt(L"Extension", std::wstring(c.extension));
        t.AddKey(L"Deidentify", c.deidentify);
        ExportResult r = RunExport(s, t);
        ASSERT_TRUE(r.ok) << Narrow(r.text);
        ASSERT_EQ(r.files.size(), 1u);
        EXPECT_EQ(FileName(r.files[0]), c.file);
        EXPECT_EQ(ReadChecked(r.files[0]).rc, 0);
    }
}

// A study the export cannot make sense of ends with a code and a text that
// names the cause, and leaves no file behind; one without an end stamp
// writes its one file and stops; a cancelled export closes a patched file.
TEST(Export, StudiesWithoutUsableDataEndWithCodeAndText) {
    SimStudy s = Simulate({.sampleRate = 128, .durationSeconds = 10, .maxEntrySamples = 700}, "fail");
    ASSERT_TRUE(s.res.ok && s.probed);
    const std::wstring missing = (s.out / "missing").wstring();
    struct Case {
        const char* what;
        std::function<void(CKeyTree& desc, CKeyTree& tmpl)> edit;
        uint32_t code; // 0: the export succeeds, 1: any failure code
        std::wstring text;  // empty: any
        const std::wstring* outFolder = nullptr;
        bool cancel = false; // cancelled from the start: one file of one record stays
    } cases[] = {
        {"output folder missing", [](CKeyTree&, CKeyTree&) {}, 0x80070002u, L"", &missing},
        {"unknown channel source",
         [](CKeyTree&, CKeyTree& t) { t.SetAt(L"ExportChannels", std::wstring(L"Derivations")); },
         0x80070057u, L"Failure to create record data processors. Value of ExportChannels not recognized"},
        {"no start stamp", [](CKeyTree& d, CKeyTree&) { d.DeleteKey(L"Samples.Start"); }, 1,
         s.res.stcFile.wstring() + L": starting timestamp not defined"},
        {"start past the data",
         [&](CKeyTree& d, CKeyTree& t) {
             d.SetAt(L"Samples.Start", static_cast<int64_t>(s.res.endStamp + 1000));
             d.SetAt(L"Samples.End", static_cast<int64_t>(s.res.endStamp + 5000));
             t.AddKey(L"TemporalMaximum", 1);
         },
         0x8007000Du, L"No data written: the study holds no recorded data from its start stamp on."},
        {"no end stamp", [](CKeyTree& d, CKeyTree&) { d.DeleteKey(L"Samples.End"); }, 0, L""},
        {"cancelled", [](CKeyTree&, CKeyTree&) {}, 0x800704C7u, L"Export was cancelled", nullptr, true},
        {"no table of contents", [&](CKeyTree&, CKeyTree&) { fs::remove(s.res.etcFiles[0]); }, 0x80070002u,
         L"No data written: the study has no table-of-contents (.ETC) file."}, // the last: it deletes the file
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearOutput(s);
        CKeyTree desc = s.desc, t = MakeTemplate(L"EDF+");
        c.edit(desc, t);
        CExportDetails details(L"study", s.folder, s.opt.studyName, nullptr);
        sk::Event ev(sk::Event::AutoReset);
        if (c.cancel) {
            details.SetCancelEvent(&ev);
            ev.Set();
        }
        CSkrivoer w(desc, t, c.outFolder ? *c.outFolder : s.out.wstring());
        EXPECT_EQ(w.Export(&details), c.code == 0) << Narrow(w.GetLastErrorText());
        if (c.code == 0 || c.cancel) {
            ASSERT_EQ(std::distance(fs::directory_iterator(s.out), fs::directory_iterator()), 1);
            const EdfLibFile f = ReadChecked((s.out / "Doe~ John_0001.EDF").string());
            EXPECT_EQ(f.rc, 0);
            EXPECT_TRUE(!c.cancel || (f.hdr->datarecords_in_file == 1 && details.IsCancelled()));
            if (c.code == 0)
                continue;
        }
        EXPECT_TRUE(c.code == 1 ? w.GetLastErrorCode() != 0 : static_cast<uint32_t>(w.GetLastErrorCode()) == c.code);
        EXPECT_TRUE(c.text.empty() ? !w.GetLastErrorText().empty() : w.GetLastErrorText() == c.text)
            << Narrow(w.GetLastErrorText());
        EXPECT_TRUE(c.cancel || fs::is_empty(s.out));
    }
}

TEST(Export, StartInsideALaterTocEntryReadsFromThatStamp) {
    SimStudy s = Simulate({.sampleRate = 128, .durationSeconds = 20, .gaps = {{12.0, 2.0, false}}, .decimation = 4,
                           .maxEntrySamples = 700}, "midstart");
    ASSERT_TRUE(s.res.ok && s.probed);
    struct Case {
        int64_t start;  // stamp given as the study's first
        int64_t expect; // stamp of the file's first sample
        const wchar_t* format;
        int decimation = 1; // of the data exported
    } cases[] = {
        // Inside the second table-of-contents entry (700 samples each).
        {s.res.startStamp + 1000, s.res.startStamp + 1000, L"EDF"},
        // Inside the gap: an EDF+D file starts at the first sample after it.
        {s.res.runs[0].firstStamp + s.res.runs[0].samples + 10, s.res.runs[1].firstStamp, L"EDF+"},
        // Between two decimated samples: the later one, never a sample before the start.
        {s.res.startStamp + 401, s.res.startStamp + 404, L"EDF", 4},
    };
    const sk::sim::SimSignal sig(s.opt);
    for (const auto& c : cases) {
        ClearOutput(s);
        CKeyTree desc = s.desc, t = MakeTemplate(c.format);
        desc.SetAt(c.decimation > 1 ? L"Decimated.Samples.Start" : L"Samples.Start", c.start);
        t.AddKey(L"UseDecimatedData", c.decimation > 1 ? 1 : 0);
        CSkrivoer w(desc, t, s.out.wstring());
        ASSERT_TRUE(w.Export(nullptr));
        const std::string path = (s.out / "Doe~ John_0001.EDF").string();
        ReadChecked(path);
        EdfFile strict(path);
        const EdfSignal& es = strict.Header().signals[0];
        for (int i = 0; i < 50; ++i)
            ASSERT_NEAR(Physical(strict, 0, 0, i),
                        SourceValue(s, sig, 0, c.expect + c.decimation * i, es.physMin, es.physMax), StepOf(es) * 1.51)
                << i;
    }
}

TEST(Export, FullDiskLeavesAReadableFileOrNone) {
    SimStudy s = Simulate({.headboxType = 2, .sampleRate = 128, .durationSeconds = 60, .maxEntrySamples = 700}, "full");
    ASSERT_TRUE(s.res.ok && s.probed);
    const std::string out = (s.out / "Doe~ John_0001.EDF").string();
    // A file-size limit inside the data keeps the whole records; one inside
    // the header (over 5 kB for this headbox) leaves no file at all.
    for (rlim_t limit : {rlim_t{300000}, rlim_t{3000}}) {
        SCOPED_TRACE(limit);
        ClearOutput(s);
        const pid_t pid = fork(); // the limit binds only the child, which exports
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit lim{limit, limit};
            setrlimit(RLIMIT_FSIZE, &lim);
            CSkrivoer w(s.desc, MakeTemplate(L"EDF"), s.out.wstring());
            _exit(!w.Export(nullptr) && static_cast<uint32_t>(w.GetLastErrorCode()) == 0x800700DFu ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "no 'file too large' failure";
        if (limit < 5000) {
            EXPECT_TRUE(fs::is_empty(s.out)) << "neither a final nor a temporary file";
            continue;
        }
        EXPECT_LE(fs::file_size(out), limit);
        EdfLibFile f = ReadChecked(out);
        ASSERT_EQ(f.rc, 0);
        EXPECT_GE(f.hdr->datarecords_in_file, 1);
        ExpectRawSignals(s, f, 0, 2, [&](int64_t j) { return s.res.startStamp + j; },
                         f.hdr->datarecords_in_file * f.hdr->signalparam[0].smp_in_datarecord);
    }
}

// ---------------------------------------------------------------- unusual studies

enum class Damage { None, Delete, Empty, FlipMiddle, FlipBeforeEnd, Fifo, CutTwoThirds, CutTail, LowerCase, Rate, Channels };

void Apply(const fs::path& file, Damage d) {
    const auto size = fs::is_regular_file(file) ? fs::file_size(file) : 0;
    switch (d) {
    case Damage::None: break;
    case Damage::LowerCase: { // every extension of the folder, as other systems write them
        int renamed = 0;
        for (const auto& e : fs::directory_iterator(file)) {
            std::string ext = e.path().extension().string(), lower = ext;
            std::transform(ext.begin(), ext.end(), lower.begin(), [](unsigned char ch) { return std::tolower(ch); });
            renamed += lower != ext;
            fs::rename(e.path(), fs::path(e.path()).replace_extension(lower));
        }
        ASSERT_GE(renamed, 7); // EEG, STC, ENT, EPO and per segment ETC and ERD
        break;
    }
    case Damage::Rate: // a raw data header whose checksum agrees
    case Damage::Channels: {
        std::string b = ReadAll(file.string());
        auto* h = reinterpret_cast<uint8_t*>(b.data());
        d == Damage::Rate ? sk::rec::PutF64(h + 16, sk::rec::GetF64(h + 16) * 2)
                          : sk::rec::PutU32(h + 24, sk::rec::GetU32(h + 24) + 1);
        sk::rec::PutU32(h + 60, sk::Crc32(h, 60));
        std::ofstream(file, std::ios::binary) << b;
        break;
    }
    case Damage::Delete: fs::remove(file); break;
    case Damage::Empty: fs::resize_file(file, 0); break;
    case Damage::CutTwoThirds: fs::resize_file(file, size * 2 / 3); break;
    case Damage::CutTail: fs::resize_file(file, size - 6); break; // a staging's checksum and last two epochs
    case Damage::Fifo:
        fs::remove(file);
        ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
        break;
    case Damage::FlipMiddle:
    case Damage::FlipBeforeEnd: {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        const auto at = static_cast<std::streamoff>(d == Damage::FlipMiddle ? size / 2 : size - 5);
        f.seekg(at);
        const char c = static_cast<char>(f.get() ^ 0x10);
        f.seekp(at);
        f.put(c);
        break;
    }
    }
}

// The runs without `count` samples from stamp `from` on.
std::vector<sk::sim::SimRun> Without(const std::vector<sk::sim::SimRun>& runs, int64_t from, int64_t count) {
    std::vector<sk::sim::SimRun> kept;
    for (const auto& r : runs)
        for (auto [a, b] : {std::pair{r.firstStamp, std::min(r.firstStamp + r.samples, from)},
                            std::pair{std::max(r.firstStamp, from + count), r.firstStamp + r.samples}})
            if (a < b)
                kept.push_back({a, b - a, r.segment});
    return kept;
}

// Damaged study files end in an honest outcome: what could be read is
// exported (the signals always, whatever became of notes and staging, each
// sample at its own time), what could not is named with the seconds, notes
// or stages it cost, and no file gets its final name before it is whole.
TEST(ExportOutcome, DamagedStudyFilesAreNamedAndNeverCostTheSignals) {
    // A sleep study of 8 s in two segments of 3 and 5 s (a 2 s gap between),
    // each in entries of 700 samples, notes, four 2 s epochs of staging and
    // a decimated copy.
    const SimOptions o{.durationSeconds = 8, .studyGroup = 2, .epochSeconds = 2, .gaps = {{3.0, 2.0, true}},
                       .decimation = 4, .maxEntrySamples = 700};
    enum Which { ENT, EPO, ETC0, ERD0, ERD1, FOLDER, DEC_ETC0, ALL_ETC, ALL_ERD };
    const double kNotTold = NAN;
    struct Case {
        const char* name;
        Which which;
        Damage damage;
        sk::ExportOutcome outcome;
        const char* ext;    // of the file the first problem (or a failure's text) names
        double seconds;     // skipped: exactly, at least -seconds when negative
        int64_t notes;      // skipped notes told (-1: not told)
        int64_t stages;     // skipped stages told (-1: not told)
        double kept = 10;   // seconds of the file at least
        int64_t lostFrom = -1, lost = 0; // samples lost from this one on (counted from the first; -1: not checked)
        const char* reason = "";         // in the first problem's reason
    } cases[] = {
        {"intact", ENT, Damage::None, sk::ExportOutcome::Complete, "", kNotTold, -1, -1},
        {"lower-case extensions", FOLDER, Damage::LowerCase, sk::ExportOutcome::Complete, "", kNotTold, -1, -1},
        {"notes missing", ENT, Damage::Delete, sk::ExportOutcome::Incomplete, ".ENT", kNotTold, -1, -1},
        {"notes empty", ENT, Damage::Empty, sk::ExportOutcome::Incomplete, ".ENT", kNotTold, -1, -1},
        // One damaged note, or epoch, costs that one alone.
        {"notes corrupt", ENT, Damage::FlipMiddle, sk::ExportOutcome::Incomplete, ".ENT", kNotTold, 1, -1},
        {"staging missing", EPO, Damage::Delete, sk::ExportOutcome::Incomplete, ".EPO", kNotTold, -1, -1},
        {"staging corrupt", EPO, Damage::FlipBeforeEnd, sk::ExportOutcome::Incomplete, ".EPO", kNotTold, -1, 1},
        {"staging cut", EPO, Damage::CutTail, sk::ExportOutcome::Incomplete, ".EPO", kNotTold, -1, 2},
        {"first TOC missing", ETC0, Damage::Delete, sk::ExportOutcome::Incomplete, ".ETC", 3.0, -1, -1},
        {"first TOC a FIFO", ETC0, Damage::Fifo, sk::ExportOutcome::Incomplete, ".ETC", 3.0, -1, -1},
        {"first TOC corrupt", ETC0, Damage::FlipMiddle, sk::ExportOutcome::Incomplete, ".ETC", 3.0, -1, -1, 10, 0,
         768},
        {"first raw data cut", ERD0, Damage::CutTwoThirds, sk::ExportOutcome::Incomplete, ".ERD", -0.5, -1, -1},
        // The rate and channels come from the second segment.
        {"first raw data empty", ERD0, Damage::Empty, sk::ExportOutcome::Incomplete, ".ERD", 3.0, -1, -1, 10, 0, 768},
        // A damaged block costs its entry alone; reading resumes at the next.
        {"first raw data block corrupt", ERD0, Damage::FlipMiddle, sk::ExportOutcome::Incomplete, ".ERD", 700 / 256.0,
         -1, -1, 10, 0, 700, "; the samples from 0.000 s to 2.734 s of the recording are lost"},
        {"second segment at another rate", ERD1, Damage::Rate, sk::ExportOutcome::Incomplete, ".ERD", 5.0, -1, -1,
         3, 768, 1280, "sampling rate 512 Hz differs from the study's 256 Hz"},
        {"second segment with a channel more", ERD1, Damage::Channels, sk::ExportOutcome::Incomplete, ".ERD", 5.0, -1,
         -1, 3, -1, 0, "25 channels stored where the study stores 24"},
        // The full-rate data, and a word why.
        {"decimated TOC corrupt", DEC_ETC0, Damage::FlipMiddle, sk::ExportOutcome::Complete, "", kNotTold, -1, -1,
         10, 0, 0},
        // The notes and epochs of the lost time follow the last record.
        {"second raw data cut", ERD1, Damage::Empty, sk::ExportOutcome::Incomplete, ".ERD", 5.0, -1, -1, 3},
        {"no readable TOC", ALL_ETC, Damage::Delete, sk::ExportOutcome::Failed, ".ETC", kNotTold, -1, -1},
        {"no raw data", ALL_ERD, Damage::Delete, sk::ExportOutcome::Failed, ".ERD", kNotTold, -1, -1},
    };
    CKeyTree tmpl = MakeTemplate(L"EDF+");
    tmpl.AddKey(L"PadGaps", 1);
    int intactSignals = 0;
    size_t intactAnnotations = 0;
    std::string intactBytes;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimStudy s = Simulate(o, "outcome");
        ASSERT_TRUE(s.res.ok) << Narrow(s.res.error);
        ASSERT_EQ(s.res.etcFiles.size(), 2u);
        const fs::path targets[] = {s.res.entFile,     s.res.epoFile,     s.res.etcFiles[0],
                                    s.res.erdFiles[0], s.res.erdFiles[1], s.opt.folder,
                                    s.res.decimatedFolder / s.res.etcFiles[0].filename()};
        if (c.which == ALL_ETC || c.which == ALL_ERD)
            for (const auto& f : c.which == ALL_ETC ? s.res.etcFiles : s.res.erdFiles)
                Apply(f, c.damage);
        else
            Apply(targets[c.which], c.damage);
        s.desc.Empty(); // probed as a user would: after the damage
        ASSERT_TRUE(CSkrivoer::ProbeStudy(s.folder, o.studyName, &s.desc));
        CKeyTree decimated, t = tmpl;
        CSkrivoer::ProbeStudy(s.folder + L"Decimated/", o.studyName, &decimated);
        s.desc.AddKey(L"Decimated", new CKeyTree(decimated));
        t.AddKey(L"UseDecimatedData", c.which == DEC_ETC0 ? 1 : 0);

        CExportDetails details(L"study", s.folder, o.studyName, nullptr);
        ExportResult r = RunExport(s, t, &details);
        EXPECT_EQ(r.ok, c.outcome != sk::ExportOutcome::Failed) << Narrow(r.text);
        if (r.ok)
            details.SetDone();
        else
            details.SetError(r.code, r.text);
        EXPECT_EQ(details.GetOutcome(), c.outcome);
        if (c.outcome == sk::ExportOutcome::Failed) {
            EXPECT_TRUE(r.files.empty()) << "nothing was written";
            EXPECT_NE(Narrow(r.text).find(c.ext), std::string::npos) << "the text names the file";
            continue;
        }
        const auto problems = details.GetProblems();
        ASSERT_EQ(problems.empty(), !*c.ext);
        if (*c.ext) {
            EXPECT_EQ(fs::path(problems[0].file).extension(), c.ext);
            EXPECT_FALSE(problems[0].reason.empty());
            const double skipped = problems[0].skippedSeconds;
            EXPECT_TRUE(std::isnan(c.seconds) ||
                        (c.seconds < 0 ? skipped >= -c.seconds : std::fabs(skipped - c.seconds) < 0.01))
                << skipped;
            EXPECT_EQ(problems[0].skippedNotes, c.notes);
            EXPECT_EQ(problems[0].skippedStages, c.stages);
            EXPECT_NE(Narrow(problems[0].reason).find(c.reason), std::string::npos) << Narrow(problems[0].reason);
        }
        const auto notices = details.GetNotices();
        EXPECT_EQ(notices.size() == 1 && notices[0].find(targets[DEC_ETC0].wstring()) != std::wstring::npos,
                  c.which == DEC_ETC0);
        // One file, read whole by EDFlib, with every signal of the study
        // and 10 s of time (padded where a segment was lost), or the 3 s
        // before the lost last segment.
        ASSERT_EQ(r.files.size(), 1u);
        EdfLibFile f = ReadChecked(r.files[0]);
        ASSERT_EQ(f.rc, 0);
        // A segment lost whole is marked like a gap, with the time padded
        // (not yet what reading finds lost, the ERD0 rows).
        std::vector<sk::sim::SimRun> runs;
        for (const auto& run : s.res.runs)
            if (!(c.which == ETC0 && run.segment == 0) && !(c.which == ERD1 && run.segment == 1))
                runs.push_back(run);
        if (c.which != ERD0)
            ExpectGapAnnotations(s, f, 1, runs);
        // Every note and epoch that could be read is in the file or counted.
        auto counted = static_cast<size_t>(std::count_if(f.annots.begin(), f.annots.end(), [](const auto& a) {
            return std::string(a.annotation) != "Recording gap";
        }));
        if (c.damage == Damage::None) {
            intactSignals = f.hdr->edfsignals;
            intactAnnotations = counted;
            intactBytes = ReadAll(r.files[0]);
        }
        for (const auto& p : problems)
            counted += static_cast<size_t>(std::max<int64_t>(p.skippedNotes, 0) + std::max<int64_t>(p.skippedStages, 0));
        EXPECT_TRUE((c.which <= EPO && c.notes < 0 && c.stages < 0) || counted >= intactAnnotations) << counted;
        EXPECT_EQ(f.hdr->edfsignals, intactSignals);
        EXPECT_TRUE((c.damage != Damage::LowerCase && c.which != DEC_ETC0) || ReadAll(r.files[0]) == intactBytes)
            << "exports differ";
        if (c.lostFrom >= 0) {
            s.res.runs = Without(s.res.runs, s.res.startStamp + c.lostFrom, c.lost);
            ExpectRawSignals(s, f, 0, s.res.channelCount, [&](int64_t j) { return s.res.startStamp + j; },
                             f.hdr->datarecords_in_file * f.hdr->signalparam[0].smp_in_datarecord);
        }
        EXPECT_GE(f.hdr->datarecords_in_file * f.hdr->datarecord_duration,
                  std::llround(c.kept * EDFLIB_TIME_DIMENSION));
        if (c.which == ERD0 && c.damage == Damage::FlipMiddle) {
            // Split every 2 s: the second file starts inside the lost samples, told once.
            ClearOutput(s);
            t.AddKey(L"TemporalMaximum", 2);
            CExportDetails split(L"study", s.folder, o.studyName, nullptr);
            const ExportResult p = RunExport(s, t, &split);
            ASSERT_TRUE(p.ok && p.files.size() > 2) << Narrow(p.text);
            for (const std::string& file : p.files)
                EXPECT_EQ(ReadChecked(file).rc, 0);
            EXPECT_EQ(split.GetProblems().size(), 1u);
        }
    }
}

// ---------------------------------------------------------------- probe

bool Has(const CKeyTree& t, const wchar_t* key) { return t.GetAt(key) != nullptr; }

TEST(Probe, MissingFilesLeaveTheirKeysOutAndHostileOnesFail) {
    auto reprobe = [](SimStudy& p) {
        p.desc.Empty();
        return p.probed = CSkrivoer::ProbeStudy(p.folder, p.opt.studyName, &p.desc);
    };
    SimStudy p = Simulate({.sampleRate = 64, .durationSeconds = 2, .montageNote = false}, "probe-missing");
    ASSERT_TRUE(p.probed);
    // Without a montage note the headbox's own montage names the channels.
    EXPECT_FALSE(Has(p.desc, L"Montage"));
    EXPECT_EQ(AsCStr(RawEntry(p.desc, 0)->GetAt(L"Label"), L""), L"Fp1");
    // A headbox type outside the table, or one with fewer inputs than the
    // stored channels (9: 18 inputs, 24 stored), fails the probe.
    CKeyTree eeg;
    ASSERT_TRUE(CEegStudyFile::Load(p.res.eegFile.wstring(), eeg));
    for (int type : {0, 28, 9}) {
        CKeyTree changed = eeg;
        CEegStudyFile::GetStudyRecord(changed)->SetAt(L"Headbox.HB0.HBType", static_cast<int32_t>(type));
        ASSERT_TRUE(CEegStudyFile::Save(p.res.eegFile.wstring(), changed));
        EXPECT_FALSE(reprobe(p)) << type;
    }
    ASSERT_TRUE(CEegStudyFile::Save(p.res.eegFile.wstring(), eeg));
    fs::remove(p.res.stcFile);
    ASSERT_TRUE(reprobe(p));
    for (const wchar_t* k : {L"Samples.Start", L"Samples.End", L"Samples.Total", L"Samples.Contiguous", L"Files.STC"})
        EXPECT_FALSE(Has(p.desc, k)) << k;
    EXPECT_TRUE(Has(p.desc, L"Channels.Raw"));
    fs::remove(p.res.entFile);
    fs::remove(p.res.eegFile);
    ASSERT_TRUE(reprobe(p));
    EXPECT_FALSE(Has(p.desc, L"Headbox.HB0.HBType"));
    EXPECT_FALSE(Has(p.desc, L"Info"));
    // An empty folder still probes: only the folder is described.
    sk::test::TempDir empty("probe-empty");
    CKeyTree t;
    EXPECT_TRUE(CSkrivoer::ProbeStudy(empty.wpath() + L"/", L"none", &t));
    EXPECT_EQ(t.GetCount(), 1);
    EXPECT_TRUE(Has(t, L"Files.Path"));
}

} // namespace

#include "tools/simulator/StudySimulator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "platform/KeyTree.h"
#include "platform/Path.h"
#include "platform/appcommon/HeadboxConfig.h"
#include "platform/recording/EegStudyFile.h"
#include "platform/recording/Montage.h"
#include "platform/recording/MultipleBOSupport.h"
#include "platform/recording/NoteWriter.h"
#include "platform/recording/SampleFrame.h"
#include "platform/recording/SegmentWriter.h"
#include "platform/recording/StagingFile.h"
#include "platform/recording/StcWriter.h"
#include "platform/recording/StudyFormat.h"
#include "platform/recording/WaveType.h"

namespace sk::sim {

namespace {

constexpr int kSineSize = 4096;

const int16_t* SineTable()
{
    static const auto table = [] {
        std::vector<int16_t> t(kSineSize);
        for (int i = 0; i < kSineSize; ++i)
            t[i] = static_cast<int16_t>(std::lround(32767.0 * std::sin(2.0 * 3.14159265358979323846 * i / kSineSize)));
        return t;
    }();
    return table.data();
}

uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint64_t Hash3(uint64_t seed, uint64_t a, uint64_t b)
{
    return Mix(seed ^ Mix(a * 0x100000001B3ull ^ Mix(b)));
}

// Phase increment of a sine of `hz` at `rate` samples per second (2^32 = one turn).
uint64_t Increment(double hz, double rate)
{
    return static_cast<uint64_t>(std::llround(hz / rate * 4294967296.0));
}

// Stamp of recorded sample index k (gaps skipped).
int64_t RecordedStamp(const std::vector<SimRun>& runs, int64_t k)
{
    for (const SimRun& r : runs) {
        if (k < r.samples) return r.firstStamp + k;
        k -= r.samples;
    }
    return runs.empty() ? -1 : runs.back().firstStamp + runs.back().samples - 1;
}

// std::filesystem turns wide names into bytes with the "C" locale's
// converter, which refuses every non-ASCII character in any process locale;
// names and paths cross over as UTF-8 bytes instead.
std::filesystem::path Join(const std::filesystem::path& folder, const std::wstring& name)
{
    return folder / sk::path::ToNative(name);
}

std::wstring Wide(const std::filesystem::path& p) { return sk::path::FromNative(p.string()); }

std::wstring SegmentName(const std::wstring& study, int segment)
{
    if (segment == 0) return study;
    wchar_t buf[16];
    std::swprintf(buf, 16, L"_%03d", segment + 1);
    return study + buf;
}

bool Fail(SimResult& r, const std::wstring& why)
{
    r.ok = false;
    r.error = why;
    return false;
}

} // namespace

// ---------------------------------------------------------------- signals

SimSignal::SimSignal(const SimOptions& o)
{
    m_seed = Mix(o.seed);
    m_outOfRange = o.outOfRangeValues;
    m_triggers = o.triggers;
    m_triggerPeriod = std::max<int64_t>(1, std::llround(o.sampleRate * 4.5));
    if (!(o.sampleRate > 0 && o.sampleRate <= 100000)) {
        m_error = L"sampling rate out of range";
        return;
    }
    auto hb = CKadeHeadboxConfig::CreateHeadbox(o.headboxType);
    if (!hb) {
        m_error = L"unknown headbox type " + std::to_wstring(o.headboxType);
        return;
    }
    // Samples are generated in the ranges the recorder really stores, not in
    // the ranges the firmware reports: some firmware describes its inputs
    // wrongly (offset-binary counts for signed samples, the oximeter's
    // protocol range for its stored resolution), and an exporter corrects
    // those descriptions. Generating in the reported ranges would put the
    // signals at the edge of the corrected ranges.
    const auto ranges = hb->GetStorageRanges();
    int stored = hb->GetChannelCount();
    CDataReaderMultipleBOSupport mapper;
    const bool multi = o.headboxType == CDataReaderMultipleBOSupport::kMultiBreakoutHeadboxType;
    if (multi) {
        mapper.setHeadboxType(o.headboxType, o.breakouts, nullptr);
        stored = mapper.GetStorageChannelCount();
    }
    if (stored < 1 || stored > frame::kMaxChannels) {
        m_error = L"headbox stores an unsupported number of channels";
        return;
    }
    m_channels.resize(stored);
    for (int s = 0; s < stored; ++s) {
        Channel& ch = m_channels[s];
        ch.config = multi ? mapper.ChannelNumber_StorageToConfiguration(s) : s;
        if (ch.config < 0 || ch.config >= static_cast<int>(ranges.size())) {
            m_error = L"storage channel without configuration range";
            return;
        }
        ch.dc = ch.config >= hb->GetACChannelCount();
        const auto& rg = ranges[ch.config];
        ch.lo = std::min(rg.digitalMinimum, rg.digitalMaximum);
        ch.hi = std::max(rg.digitalMinimum, rg.digitalMaximum);
        ch.mid = (static_cast<int64_t>(ch.lo) + ch.hi) / 2;
        const double half = static_cast<double>(static_cast<int64_t>(ch.hi) - ch.lo) / 2.0;
        // Physical units per count; amplitudes are chosen in physical units
        // so that every headbox gives the same microvolts, percent or beats.
        double gain = (rg.physicalMaximum - rg.physicalMinimum) /
                      (static_cast<double>(rg.digitalMaximum) - static_cast<double>(rg.digitalMinimum));
        if (!std::isfinite(gain) || gain == 0.0) gain = 1.0;
        gain = std::fabs(gain);
        auto counts = [&](double physical) {
            return static_cast<int32_t>(std::llround(std::clamp(physical / gain, 0.0, std::floor(half))));
        };
        auto noise = [&](double physical) { return std::max<int32_t>(1, counts(physical)); };
        // Digital code of a physical value (for inputs centred on a level).
        auto code = [&](double physical) {
            const double d = rg.digitalMinimum + (physical - rg.physicalMinimum) *
                                                     (static_cast<double>(rg.digitalMaximum) - rg.digitalMinimum) /
                                                     (rg.physicalMaximum - rg.physicalMinimum);
            return std::isfinite(d) ? std::llround(std::clamp(d, static_cast<double>(ch.lo), static_cast<double>(ch.hi))) : ch.mid;
        };
        const uint64_t h = Hash3(m_seed, 17, static_cast<uint64_t>(s));
        const int display = sk::DefaultDisplayType(o.headboxType, ch.config);
        ch.incA = ch.incB = 0;
        ch.ampA = ch.ampB = 0;
        if (ch.dc && rg.units == CPhysicalUnits::Percent) {
            // Oximeter saturation: 94-98 % with slow shallow dips.
            ch.mid = code(96.0);
            ch.incA = Increment(0.01 + (h % 100) / 5000.0, o.sampleRate);
            ch.ampA = counts(1.5);
            ch.incB = Increment(0.2, o.sampleRate);
            ch.ampB = counts(0.3);
            ch.noise = noise(0.1);
        } else if (ch.dc && rg.units == CPhysicalUnits::BeatsPerMinute) {
            // Oximeter pulse rate: 60-80 beats per minute.
            ch.mid = code(70.0);
            ch.incA = Increment(0.01 + (h % 100) / 5000.0, o.sampleRate);
            ch.ampA = counts(7.0);
            ch.noise = noise(1.0);
        } else if (ch.dc) {
            // DC inputs drift slowly around the middle of their range.
            ch.incA = Increment(0.01 + (h % 100) / 2000.0, o.sampleRate);
            ch.incB = Increment(0.2, o.sampleRate);
            ch.ampA = static_cast<int32_t>(half * 0.3);
            ch.ampB = static_cast<int32_t>(half * 0.02);
            ch.noise = std::max<int32_t>(1, static_cast<int32_t>(half * 0.002));
        } else if (display == sk::display::ECG) {
            // About 72 beats per minute: a narrow R wave of about 1 mV and a
            // broad T wave.
            ch.beat = std::max<int64_t>(4, std::llround(o.sampleRate * (60.0 / (68 + h % 9))));
            ch.qrs = std::max<int64_t>(2, std::llround(o.sampleRate * 0.04));
            ch.beatOffset = static_cast<int64_t>(h % static_cast<uint64_t>(ch.beat));
            ch.spike = counts(800.0 + (h >> 16) % 400);
            ch.incB = Increment(60.0 / (68 + h % 9), o.sampleRate);
            ch.ampB = counts(120.0);
            ch.noise = noise(8.0);
        } else if (display == sk::display::RespEffort || display == sk::display::Airflow) {
            // Breathing at 12-18 breaths per minute.
            ch.incA = Increment(0.2 + (h % 10) / 100.0, o.sampleRate);
            ch.ampA = counts(150.0);
            ch.noise = noise(3.0);
        } else if (display == sk::display::EMG || display == sk::display::Snore) {
            // Broadband muscle activity.
            ch.incA = Increment(0.1, o.sampleRate);
            ch.ampA = counts(5.0);
            ch.noise = noise(25.0);
        } else if (display == sk::display::EOG) {
            // Slow eye movements over a little EEG.
            ch.incA = Increment(0.3 + (h % 20) / 100.0, o.sampleRate);
            ch.ampA = counts(70.0);
            ch.incB = Increment(9.0, o.sampleRate);
            ch.ampB = counts(10.0);
            ch.noise = noise(5.0);
        } else {
            // EEG: alpha-ish rhythm plus a slower theta/delta component and
            // noise, tens of microvolts (intracranial contacts twice that).
            const double scale = display == sk::display::Intracranial ? 2.0 : 1.0;
            const double alphaHz = 8.0 + (h % 500) / 100.0;
            const double slowHz = 1.0 + ((h >> 16) % 600) / 100.0;
            ch.incA = Increment(alphaHz, o.sampleRate);
            ch.incB = Increment(slowHz, o.sampleRate);
            ch.ampA = counts(scale * (15.0 + ((h >> 32) % 100) / 4.0));
            ch.ampB = counts(scale * 15.0);
            ch.noise = noise(scale * 4.0);
        }
        ch.phaseA = Mix(h);
        ch.phaseB = Mix(h + 1);
    }
    m_ok = true;
}

int32_t SimSignal::Value(int channel, int64_t stamp) const
{
    const Channel& ch = m_channels[channel];
    const uint64_t hs = Hash3(m_seed, static_cast<uint64_t>(channel), static_cast<uint64_t>(stamp));
    if (m_outOfRange && hs % 20011 == 7) {
        static constexpr int32_t kCodes[3] = {frame::kAboveRangeA, frame::kAboveRangeB, frame::kBelowRange};
        return kCodes[(hs >> 40) % 3];
    }
    const int16_t* sine = SineTable();
    const uint64_t s = static_cast<uint64_t>(stamp);
    const int a = static_cast<int>(((ch.phaseA + s * ch.incA) >> 20) & (kSineSize - 1));
    const int b = static_cast<int>(((ch.phaseB + s * ch.incB) >> 20) & (kSineSize - 1));
    const int64_t noise = static_cast<int64_t>((hs >> 8) % (2 * static_cast<uint64_t>(ch.noise) + 1)) - ch.noise;
    int64_t v = ch.mid + (static_cast<int64_t>(ch.ampA) * sine[a] + static_cast<int64_t>(ch.ampB) * sine[b]) / 32767 + noise;
    if (ch.beat > 0) {
        const int64_t t = (stamp + ch.beatOffset) % ch.beat;
        if (t >= 0 && t < ch.qrs) v += static_cast<int64_t>(ch.spike) * (ch.qrs - std::abs(2 * t - ch.qrs)) / ch.qrs;
    }
    return static_cast<int32_t>(std::clamp<int64_t>(v, ch.lo, ch.hi));
}

uint8_t SimSignal::Flags(int64_t stamp) const
{
    if (!m_triggers) return 0;
    return (stamp + static_cast<int64_t>(m_seed % 97)) % m_triggerPeriod == 0 ? frame::kFlagTrigger : 0;
}

int StoredChannelCount(const SimOptions& options)
{
    SimSignal s(options);
    return s.ok() ? s.channelCount() : 0;
}

int32_t SourceValue(const SimOptions& options, int channel, int64_t stamp)
{
    SimSignal s(options);
    return s.ok() && channel >= 0 && channel < s.channelCount() ? s.Value(channel, stamp) : 0;
}

uint8_t SourceFlags(const SimOptions& options, int64_t stamp)
{
    SimSignal s(options);
    return s.Flags(stamp);
}

// ---------------------------------------------------------------- layout

std::vector<SimRun> RecordedRuns(const SimOptions& o)
{
    std::vector<SimRun> runs;
    const int64_t total = std::max<int64_t>(0, std::llround(o.durationSeconds * o.sampleRate));
    if (total == 0) return runs;
    std::vector<SimGap> gaps = o.gaps;
    std::sort(gaps.begin(), gaps.end(), [](const SimGap& a, const SimGap& b) { return a.atSeconds < b.atSeconds; });
    int64_t stamp = o.startStamp, done = 0;
    int segment = 0;
    for (const SimGap& g : gaps) {
        const int64_t at = std::clamp<int64_t>(std::llround(g.atSeconds * o.sampleRate), 0, total);
        const int64_t len = std::max<int64_t>(1, std::llround(g.seconds * o.sampleRate));
        if (at <= done || at >= total) continue; // a gap needs samples on both sides
        runs.push_back({stamp, at - done, segment});
        stamp += (at - done) + len;
        done = at;
        if (g.newSegment) ++segment;
    }
    runs.push_back({stamp, total - done, segment});
    return runs;
}

int SourceStage(const SimOptions& o, int epoch)
{
    const auto staging = SimulatedStaging(o);
    if (epoch < 1 || epoch > static_cast<int>(staging.codes.size())) return -1;
    const uint8_t c = staging.codes[epoch - 1];
    return c <= 8 ? c : -1;
}

sk::rec::StagingData SimulatedStaging(const SimOptions& o)
{
    static constexpr uint8_t kPattern[] = {0, 0, 1, 2, 2, 3, 4, 3, 2, 5, 5, 2, 6, 1, 2, 3, 4, 5, 7, 8, 2, 1, 0};
    sk::rec::StagingData d;
    d.epochSeconds = o.epochSeconds;
    d.stagingType = o.stagingType;
    d.label = o.stagingLabel;
    d.present = true;
    const auto runs = RecordedRuns(o);
    if (runs.empty()) return d;
    d.firstEpochStamp = runs.front().firstStamp;
    const int64_t end = runs.back().firstStamp + runs.back().samples - 1;
    const int64_t epochSamples = std::max<int64_t>(1, std::llround(o.epochSeconds * o.sampleRate));
    const int64_t count = (end - d.firstEpochStamp + 1) / epochSamples;
    const size_t n = sizeof kPattern;
    for (int64_t i = 0; i < count; ++i) d.codes.push_back(kPattern[(i + o.seed) % n]);
    // The reviewer left the last epoch unscored.
    if (d.codes.size() >= 3) d.codes.back() = CStagingFile::kUnscored;
    return d;
}

std::vector<CNote> SimulatedNotes(const SimOptions& o)
{
    std::vector<CNote> notes;
    const auto runs = RecordedRuns(o);
    if (runs.empty()) return notes;
    const double dur = o.durationSeconds;
    const double rate = o.sampleRate;
    auto at = [&](double fraction) { return RecordedStamp(runs, static_cast<int64_t>(fraction * dur * rate)); };
    auto len = [&](double seconds) { return static_cast<int64_t>(std::llround(seconds * rate)); };
    if (o.montageNote) {
        CMontage montage(o.headboxType);
        if (sk::BuildRecordingMontage(o.headboxType, o.studyGroup == 2, montage)) {
            auto tree = std::make_unique<CKeyTree>();
            if (montage.Save(*tree) == 0) {
                tree->SetAt(L"Type", L"Montage");
                notes.emplace_back(L"Recording montage", L"", runs.front().firstStamp, -1, CNote::kFlagSystem,
                                   std::move(tree));
            }
        }
    }
    if (!o.notes) return notes;
    const std::wstring label = o.studyGroup == 2 ? o.stagingLabel : L"";
    notes.emplace_back(L"Eyes closed", L"", at(0.05), -1, 0u);
    notes.emplace_back(L"Hyperventilation", L"", at(0.10), at(0.10) + len(std::min(10.0, dur / 10)), 0u);
    notes.emplace_back(L"Patient Event", L"", at(0.15), -1, CNote::kFlagPatientEvent);
    notes.emplace_back(L"patient event: headache", L"", at(0.16), at(0.16) + len(1.0), CNote::kFlagPatientEvent);
    notes.emplace_back(L"Arousal", label, at(0.20), at(0.20) + len(3.0), 0u);
    notes.emplace_back(L"AROUSAL", label, at(0.20), at(0.20) + len(1.5), 0u); // same start, shorter
    notes.emplace_back(L"Arousal (spontaneous)", label, at(0.22), -1, 0u);
    notes.emplace_back(L"Cheyne-Stokes", label, at(0.25), at(0.25) + len(std::min(30.0, dur / 8)), 0u);
    notes.emplace_back(L"Wide Complex Tachycardia", L"", at(0.30), at(0.30) + len(2.0), 0u);
    notes.emplace_back(L"narrow complex tachycardia", L"", at(0.32), 0, 0u);
    notes.emplace_back(L"Scored by the other scorer", L"Scorer B", at(0.35), -1, 0u);
    notes.emplace_back(L"Deleted spike", L"", at(0.40), -1, CNote::kFlagDeleted);
    {
        auto data = std::make_unique<CKeyTree>();
        data->AddKey(L"NeverDisplayed", int32_t{1});
        notes.emplace_back(L"Impedance check", L"", at(0.45), -1, 0u, std::move(data));
    }
    {
        auto data = std::make_unique<CKeyTree>();
        data->AddKey(L"NeverDisplayed", int32_t{0});
        data->AddKey(L"Type", L"Comment");
        notes.emplace_back(L"Technician comment", L"", at(0.47), -1, 0u, std::move(data));
    }
    notes.emplace_back(L"Spike \u00fcber Fp1 \u2014 \u68d8\u6ce2 \U0001F9E0", L"", at(0.50), -1, 0u);
    notes.emplace_back(std::wstring(L"A very long technician note that goes on well beyond sixty-three characters of text"),
                       L"", at(0.55), -1, 0u);
    notes.emplace_back(L"Photic stimulation 10 Hz", L"", at(0.60), at(0.60) + len(std::min(20.0, dur / 10)), 0u);
    notes.emplace_back(L"Eyes open", L"", at(0.90), -1, 0u);
    if (o.nameNote) notes.emplace_back(o.firstName + L" " + o.lastName + L" asleep", L"", at(0.92), -1, 0u);
    return notes;
}

// ---------------------------------------------------------------- writing

namespace {

std::vector<uint8_t> FileTimeBytes(double oleDate, int millis)
{
    // FILETIME counts 100 ns since 1601-01-01; OLE dates count days since
    // 1899-12-30. Acquisition stores the precise time with its milliseconds,
    // the OLE date with whole seconds.
    const uint64_t ticks = static_cast<uint64_t>(std::llround((oleDate + 109205.0) * 864000000000.0)) +
                           static_cast<uint64_t>(millis) * 10000u;
    std::vector<uint8_t> b(8);
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(ticks >> (8 * i));
    return b;
}

CKeyTree* BuildCalibration(const SimOptions& o, const SimSignal& sig)
{
    auto* cal = new CKeyTree;
    std::vector<int> done;
    for (int c = 0; c < sig.channelCount(); ++c) {
        if (!sig.isDC(c)) continue;
        const int dt = sk::DefaultDisplayType(o.headboxType, sig.configurationIndex(c));
        const CWaveType* wt = WaveTypePtrLookup(dt);
        if (!wt || wt->GetKind() != CWaveType::KindCalibratedDC) continue;
        if (std::find(done.begin(), done.end(), dt) != done.end()) continue;
        done.push_back(dt);
        // Three-point calibration slightly off the default line, as a
        // technician's calibration against a reference would be.
        const double x = wt->GetInputLimitX() * -1000000.0, y = wt->GetInputLimitY() * -1000000.0;
        const double lo = std::min(x, y), hi = std::max(x, y);
        const double a = wt->GetCalibratedMinimum(), b = wt->GetCalibratedMaximum();
        std::vector<CCalFileArchivist::Point> pts = {
            {lo, a + (b - a) * 0.01}, {(lo + hi) / 2, a + (b - a) * 0.52}, {hi, b - (b - a) * 0.01}};
        CCalFileArchivist::WritePoints(*cal, wt->GetName(), dt, pts);
    }
    return cal;
}

CKeyTree BuildStudyTree(const SimOptions& o, const SimSignal& sig)
{
    CKeyTree t;
    t.AddKey(L"Info.Name.LastName", o.lastName);
    t.AddKey(L"Info.Name.FirstName", o.firstName);
    t.AddKey(L"Info.Personal.BirthDate", 25000.0 + (o.seed % 5000)); // OLE date
    t.AddKey(L"Info.Personal.Gender", (o.seed & 1) ? L"female" : L"male");
    t.AddKey(L"Info.Admin.ID", L"MRN " + std::to_wstring(100000 + o.seed % 900000));
    auto* rec = new CKeyTree;
    rec->AddKey(L"TaviCreationTime", new CLuser(FileTimeBytes(o.creationTime, o.creationMillis)));
    rec->AddKey(L"CreationTime", o.creationTime);
    rec->AddKey(L"Headbox.HB0.HBType", int32_t{o.headboxType});
    if (o.headboxType == CDataReaderMultipleBOSupport::kMultiBreakoutHeadboxType) {
        rec->AddKey(L"Headbox.HB0.Breakouts", int32_t{o.breakouts});
        std::vector<uint8_t> usage(64), diff(64);
        for (size_t i = 0; i < usage.size(); ++i) {
            usage[i] = static_cast<uint8_t>(i < static_cast<size_t>(o.breakouts) * 16 ? 0xFF : 0);
            diff[i] = static_cast<uint8_t>(Mix(o.seed + i) & 0x0F);
        }
        rec->AddKey(L"Headbox.HB0.Pinboard.Usage", new CLuser(usage));
        rec->AddKey(L"Headbox.HB0.Pinboard.Diff", new CLuser(diff));
    }
    rec->AddKey(L"Headbox.HB0.HBSWVersion", o.hbSwVersion);
    rec->AddKey(L"StudyGUID", o.studyGuid);
    rec->AddKey(L"StudyGroup", int32_t{o.studyGroup});
    if (o.studyGroup == 2) rec->AddKey(L"StagingType", int32_t{o.stagingType});
    if (o.decimation > 1) rec->AddKey(L"RawDataDecimation", int32_t{o.decimation});
    rec->AddKey(L"StudyName", L"Simulated study " + std::to_wstring(o.seed));
    rec->AddKey(L"Reviewer", L"Dr. Sim");
    rec->AddKey(L"AcquisitionInstrument", L"Simulator");
    rec->AddKey(L"Calibration", BuildCalibration(o, sig));
    auto* list = new CItemList;
    list->Append(rec);
    t.AddKey(L"Study", list);
    return t;
}

// Writes one set of segment files (raw or decimated) into folder.
bool WriteSegments(const SimOptions& o, const SimSignal& sig, const std::vector<SimRun>& runs,
                   const std::filesystem::path& folder, int decimation, SimResult& r, bool record)
{
    const int channels = sig.channelCount();
    std::vector<int32_t> values(channels);
    std::vector<CStcFile::Segment> segs;
    int current = -1;
    sk::rec::SegmentWriter writer;
    sk::rec::RawFileInfo info;
    info.type = o.headboxType;
    info.schema = o.schema;
    info.frameWord = static_cast<uint16_t>(0x5A00 | (o.headboxType & 0xFF));
    info.sampleFreq = o.sampleRate;
    info.channelCount = channels;
    info.decimation = decimation;
    std::wstring err;
    auto finish = [&]() {
        if (current < 0) return true;
        if (!writer.Finish(&err)) return Fail(r, err);
        if (writer.SampleCount() > 0) {
            segs.push_back({SegmentName(o.studyName, current), writer.FirstStamp(), writer.LastStamp(),
                            writer.SampleCount()});
        }
        return true;
    };
    for (const SimRun& run : runs) {
        if (run.segment != current) {
            if (!finish()) return false;
            current = run.segment;
            const std::filesystem::path base = Join(folder, SegmentName(o.studyName, current));
            if (!writer.Create(Wide(base), info, &err)) return Fail(r, err);
            writer.SetLimits(o.maxEntrySamples, o.maxBlockSamples);
            if (record) {
                r.etcFiles.push_back(base.string() + ".ETC");
                r.erdFiles.push_back(base.string() + ".ERD");
            }
        }
        const int64_t n = run.samples / decimation;
        for (int64_t j = 0; j < n; ++j) {
            const int64_t stamp = run.firstStamp + j * decimation;
            for (int c = 0; c < channels; ++c) values[c] = sig.Value(c, stamp);
            if (!writer.Append(stamp, sig.Flags(stamp), values.data()))
                return Fail(r, L"cannot append sample at stamp " + std::to_wstring(stamp));
        }
    }
    if (!finish()) return false;
    const std::filesystem::path stc = Join(folder, o.studyName + L".STC");
    if (!sk::rec::StcWriter::Save(Wide(stc), decimation, segs, &err)) return Fail(r, err);
    return true;
}

} // namespace

void SetPatientName(SimOptions& o, const std::wstring& name)
{
    auto trim = [](std::wstring t) {
        while (!t.empty() && t.front() == L' ') t.erase(0, 1);
        while (!t.empty() && t.back() == L' ') t.pop_back();
        return t;
    };
    const size_t comma = name.find(L',');
    o.lastName = trim(name.substr(0, comma));
    o.firstName = comma == std::wstring::npos ? L"" : trim(name.substr(comma + 1));
    wchar_t seed[16];
    std::swprintf(seed, 16, L"_%04u", o.seed % 10000);
    std::wstring study = o.lastName + L"~ " + o.firstName + seed;
    for (wchar_t& c : study)
        if (c == L'.' || c == L'/' || c == L'\\' || c == L':' || c < 0x20) c = L'_';
    o.studyName = study;
}

SimResult SimulateStudy(const SimOptions& o)
{
    SimResult r;
    if (o.folder.empty()) {
        Fail(r, L"no study folder given");
        return r;
    }
    if (o.studyName.empty() || o.studyName == L"." || o.studyName == L".." ||
        o.studyName.find_first_of(L"/\\:") != std::wstring::npos) {
        Fail(r, L"study name must be a plain file name");
        return r;
    }
    if (o.schema < sk::rec::kSchemaPlain || o.schema > sk::rec::kSchemaChannelBlocks) {
        Fail(r, L"unknown storage schema");
        return r;
    }
    if (!(o.durationSeconds > 0) || o.durationSeconds > 7 * 86400.0 || o.startStamp < 0) {
        Fail(r, L"duration or start stamp out of range");
        return r;
    }
    SimSignal sig(o);
    if (!sig.ok()) {
        Fail(r, sig.error());
        return r;
    }
    std::error_code ec;
    std::filesystem::create_directories(o.folder, ec);
    if (ec) {
        Fail(r, L"cannot create folder " + Wide(o.folder));
        return r;
    }
    r.folder = o.folder;
    r.channelCount = sig.channelCount();
    for (int c = 0; c < sig.channelCount(); ++c) {
        r.configurationIndex.push_back(sig.configurationIndex(c));
        r.channelIsDC.push_back(sig.isDC(c) ? 1 : 0);
    }
    {
        auto hb = CKadeHeadboxConfig::CreateHeadbox(o.headboxType);
        r.acChannelCount = hb ? hb->GetACChannelCount() : 0;
    }
    r.runs = RecordedRuns(o);
    if (r.runs.empty()) {
        Fail(r, L"duration gives no samples");
        return r;
    }
    r.startStamp = r.runs.front().firstStamp;
    r.endStamp = r.runs.back().firstStamp + r.runs.back().samples - 1;
    for (const auto& run : r.runs) r.totalSamples += run.samples;

    const CKeyTree study = BuildStudyTree(o, sig);
    const auto notes = SimulatedNotes(o);
    const auto staging = SimulatedStaging(o);
    auto writeSet = [&](const std::filesystem::path& folder, int decimation, bool record) -> bool {
        CEegFileException ex;
        const auto eeg = Join(folder, o.studyName + L".EEG");
        if (!CEegStudyFile::Save(Wide(eeg), study, &ex)) return Fail(r, ex.GetErrorText());
        if (!WriteSegments(o, sig, r.runs, folder, decimation, r, record)) return false;
        std::wstring err;
        const auto ent = Join(folder, o.studyName + L".ENT");
        if (!notes.empty() && !sk::rec::NoteWriter::Save(Wide(ent), notes, &err)) return Fail(r, err);
        const auto epo = Join(folder, o.studyName + L".EPO");
        if (o.studyGroup == 2 && !sk::rec::StagingWriter::Save(Wide(epo), staging, &err)) return Fail(r, err);
        if (record) {
            r.eegFile = eeg;
            r.stcFile = Join(folder, o.studyName + L".STC");
            if (!notes.empty()) r.entFile = ent;
            if (o.studyGroup == 2) r.epoFile = epo;
        }
        return true;
    };
    if (!writeSet(o.folder, 1, true)) return r;
    if (o.decimation > 1) {
        r.decimatedFolder = o.folder / "Decimated";
        std::filesystem::create_directories(r.decimatedFolder, ec);
        if (ec) {
            Fail(r, L"cannot create the decimated folder");
            return r;
        }
        if (!writeSet(r.decimatedFolder, o.decimation, false)) return r;
    }
    r.epochCount = o.studyGroup == 2 ? static_cast<int>(staging.codes.size()) : 0;
    r.ok = true;
    return r;
}

} // namespace sk::sim

#pragma once
// Study simulator: writes a complete, deterministic study folder (study file,
// segment table, TOC and raw data files, notes, staging, optional decimated
// copy) from a seed. Signals are pure functions of (seed, channel, stamp), so
// tests can ask for the exact source value of any stored sample and compare
// exported data against the source rather than against our own writer.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/recording/NoteManager.h"
#include "platform/recording/StagingWriter.h"

namespace sk::sim {

// A recording gap: no samples for `seconds` after `atSeconds` of recorded
// time (counted from the recording start, gaps excluded).
struct SimGap {
    double atSeconds = 0;
    double seconds = 3;
    bool newSegment = false; // false: gap inside one TOC file; true: next segment file
};

struct SimOptions {
    std::filesystem::path folder = {};      // created if missing; files go directly in it
    std::wstring studyName = L"Doe~ John_0001"; // file name of the study files (no separators)
    std::wstring lastName = L"Doe";
    std::wstring firstName = L"John";
    uint32_t seed = 1;
    int headboxType = 1;                    // 1..27
    int breakouts = 2;                      // headbox 20 only
    double sampleRate = 256.0;              // Hz, may be fractional (e.g. 255.9)
    double durationSeconds = 60.0;          // recorded time (gaps excluded)
    int64_t startStamp = 1000;              // stamp of the first sample
    uint16_t schema = 2;                    // 1 plain, 2 delta/varint, 3 channel-major blocks
    int studyGroup = 1;                     // 1 EEG, 2 sleep (adds staging)
    int stagingType = 3;                    // sleep studies
    int epochSeconds = 30;
    std::wstring stagingLabel = L"Scorer A";
    std::vector<SimGap> gaps = {};          // in any order
    bool notes = true;                      // typical note set (see docs)
    bool montageNote = true;                // recording montage note in the notes
    bool nameNote = false;                  // a note naming the patient, as technicians write them
    bool outOfRangeValues = true;           // a few values at the out-of-range codes
    bool triggers = true;                   // trigger bits every few seconds
    int decimation = 0;                     // >1 writes a "Decimated" copy with this factor
    int maxEntrySamples = 32767;            // TOC entry limit (tests use small values)
    int maxBlockSamples = 1024;             // compressed block limit
    std::wstring hbSwVersion = L"3.2";
    std::wstring studyGuid = L"{6B29FC40-CA47-1067-B31D-00DD010662DA}";
    double creationTime = 46000.5;          // OLE automation date (local time)
    int creationMillis = 0;                 // sub-second part of the precise creation time (0..999)
};

struct SimRun {
    int64_t firstStamp = 0; // stamp of the first sample
    int64_t samples = 0;    // raw samples in the run
    int segment = 0;        // segment file index
};

struct SimResult {
    bool ok = false;
    std::wstring error;
    std::filesystem::path folder;
    std::filesystem::path eegFile, stcFile, entFile, epoFile;
    std::vector<std::filesystem::path> etcFiles, erdFiles; // per segment
    std::filesystem::path decimatedFolder;                 // empty without decimation
    int channelCount = 0;                                  // stored channels
    int acChannelCount = 0;                                // stored channels below this are AC (config order)
    std::vector<SimRun> runs;                              // recorded runs, in order
    int64_t startStamp = -1, endStamp = -1, totalSamples = 0;
    int epochCount = 0;
    std::vector<int> configurationIndex; // per storage channel
    std::vector<uint8_t> channelIsDC;    // per storage channel
};

// The signal source of a simulated study: build once, query often (tests
// compare every exported sample against it).
class SimSignal {
public:
    explicit SimSignal(const SimOptions& options);
    bool ok() const { return m_ok; }
    const std::wstring& error() const { return m_error; }
    int channelCount() const { return static_cast<int>(m_channels.size()); }
    int configurationIndex(int channel) const { return m_channels[channel].config; }
    bool isDC(int channel) const { return m_channels[channel].dc; }
    // Raw value of storage channel c at stamp s (defined for every stamp).
    int32_t Value(int channel, int64_t stamp) const;
    // Frame flags at stamp s (bit 0 trigger).
    uint8_t Flags(int64_t stamp) const;

private:
    struct Channel {
        int config = 0;
        bool dc = false;
        int64_t mid = 0;
        int32_t lo = 0, hi = 0; // digital range the samples stay in
        int32_t ampA = 0, ampB = 0, noise = 0;
        uint64_t incA = 0, incB = 0, phaseA = 0, phaseB = 0;
        int64_t beat = 0, beatOffset = 0, qrs = 0; // ECG: samples per beat, phase, QRS width
        int32_t spike = 0;                         // ECG: R wave amplitude
    };
    bool m_ok = false;
    std::wstring m_error;
    uint64_t m_seed = 0;
    bool m_outOfRange = true, m_triggers = true;
    int64_t m_triggerPeriod = 1;
    std::vector<Channel> m_channels;
};

// The notes the simulator writes for the options, in file order.
std::vector<CNote> SimulatedNotes(const SimOptions& options);
// The staging the simulator writes (sleep studies).
sk::rec::StagingData SimulatedStaging(const SimOptions& options);

SimResult SimulateStudy(const SimOptions& options);

// Sets the patient from "Last, First" (the part after the comma, trimmed, is
// the first name) and names the study files "<Last>~ <First>_<seed>" the way
// the acquisition system does. Characters that cannot be in a file name
// (path separators, dots, colons) become '_' in the study name only.
void SetPatientName(SimOptions& options, const std::wstring& lastCommaFirst);

// Number of channels stored for the options' headbox (and breakouts).
int StoredChannelCount(const SimOptions& options);
// Exact raw value of storage channel c at stamp s as the simulator stores it
// (also for stamps in gaps, which are simply not stored).
int32_t SourceValue(const SimOptions& options, int channel, int64_t stamp);
// Frame flags stored at stamp s (bit 0 trigger).
uint8_t SourceFlags(const SimOptions& options, int64_t stamp);
// The recorded runs the options produce (same as SimResult::runs).
std::vector<SimRun> RecordedRuns(const SimOptions& options);
// Stage code of epoch n (1-based) in the simulated staging.
int SourceStage(const SimOptions& options, int epoch);

} // namespace sk::sim

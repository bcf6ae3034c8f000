#include "recorddata/SkrivoAnnotationManager.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <cwchar>
#include <iterator>

#include "platform/KeyTree.h"
#include "platform/Path.h"
#include "platform/recording/NoteManager.h"
#include "platform/recording/StagingFile.h"

namespace {

// Case folding of the ASCII letters only: the phrases compared against are
// ASCII, and folding must not follow the process locale (a Turkish locale
// lowers "I" to a dotless i).
wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

bool EqualsNoCase(const std::wstring& a, const wchar_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    return i == a.size() && b[i] == 0;
}

struct TextMapping {
    const wchar_t* from;
    const wchar_t* to;
};

constexpr TextMapping kNoteTextMap[] = {
    {L"Cheyne-Stokes", L"CS breathing"},
    {L"Arousal", L"EEG arousal"},
    {L"Wide Complex Tachycardia", L"WC tachycardia"},
    {L"Narrow Complex Tachycardia", L"NC tachycardia"},
};

constexpr const wchar_t* kUnknownStage = L"Sleep stage ?";

// Rows: staging type 0..5; columns: stage code 0..8.
constexpr const wchar_t* kStageTable[6][9] = {
    {L"Sleep stage W", L"Sleep stage 1", L"Sleep stage 2", L"Sleep stage 3", L"Sleep stage 4",
     L"Sleep stage R", L"Movement time", kUnknownStage, kUnknownStage},
    {L"Sleep stage W", L"Sleep stage 1", L"Sleep stage N", L"Sleep stage N", L"Sleep stage N",
     L"Sleep stage R", L"Sleep stage W", kUnknownStage, kUnknownStage},
    {L"Sleep stage W", L"Sleep stage 1", L"Sleep stage 2", L"Sleep stage 3", L"Sleep stage 4",
     L"Sleep stage R", L"Movement time", kUnknownStage, kUnknownStage},
    {L"Sleep stage W", L"Sleep stage N1", L"Sleep stage N2", L"Sleep stage N3", L"Sleep stage N3",
     L"Sleep stage R", L"Sleep stage W", kUnknownStage, kUnknownStage},
    {L"Sleep stage W", L"Sleep stage 1", L"Sleep stage N", L"Sleep stage N", L"Sleep stage N",
     L"Sleep stage R", L"Sleep stage W", kUnknownStage, kUnknownStage},
    {L"Sleep stage W", L"Sleep stage N1", L"Sleep stage N2", L"Sleep stage N3", L"Sleep stage N",
     L"Sleep stage R", L"Sleep stage W", kUnknownStage, kUnknownStage},
};

constexpr wchar_t kPatientEvent[] = L"Patient Event";
constexpr size_t kPatientEventLength = sizeof(kPatientEvent) / sizeof(wchar_t) - 1;

} // namespace

// ---------------------------------------------------------------- iterators

const ANNOTATION_ENTRY* CSkrivoAnnotationManager::CAnnoIter::GetCurrent() {
    const auto& entries = m_manager->m_entries;
    return m_index < entries.size() ? &entries[m_index] : nullptr;
}

bool CSkrivoAnnotationManager::CAnnoIter::MoveNext() {
    const size_t count = m_manager->m_entries.size();
    if (m_index >= count)
        return false;
    ++m_index;
    return m_index < count;
}

bool CSkrivoAnnotationManager::CPatientEventIter::IsPatientEvent(const ANNOTATION_ENTRY& entry) {
    for (size_t i = 0; i < kPatientEventLength; ++i) {
        const wchar_t c = entry.text[i];
        if (c == 0 || FoldAscii(c) != FoldAscii(kPatientEvent[i]))
            return false;
    }
    return true;
}

// Placed at the first look, not when made: an annotation added after the
// iterator was made (the mark of the last record's padding) may come first.
CSkrivoAnnotationManager::CPatientEventIter::CPatientEventIter(const CSkrivoAnnotationManager* manager)
    : CAnnoIter(manager) {}

const ANNOTATION_ENTRY* CSkrivoAnnotationManager::CPatientEventIter::GetCurrent() {
    if (!m_started) {
        m_started = true;
        SkipOthers();
    }
    return CAnnoIter::GetCurrent();
}

void CSkrivoAnnotationManager::CPatientEventIter::SkipOthers() {
    const auto& entries = m_manager->m_entries;
    while (m_index < entries.size() && !IsPatientEvent(entries[m_index]))
        ++m_index;
}

bool CSkrivoAnnotationManager::CPatientEventIter::MoveNext() {
    if (!m_started)
        GetCurrent();
    const size_t count = m_manager->m_entries.size();
    if (m_index >= count)
        return false;
    ++m_index;
    SkipOthers();
    return m_index < count;
}

// ------------------------------------------------------------------ manager

CSkrivoAnnotationManager::CSkrivoAnnotationManager() = default;
CSkrivoAnnotationManager::~CSkrivoAnnotationManager() = default;

void CSkrivoAnnotationManager::Append(int64_t start, double duration, const std::wstring& source, bool stage) {
    ANNOTATION_ENTRY e{};
    e.start = start;
    e.duration = duration;
    e.stage = stage;
    // An empty text would give an annotation TAL of the same shape as a
    // time-keeping one ("+4.8125\x14\x14\x00"), which readers count
    // differently; such a note gets a text of its own.
    const std::wstring& text = source.empty() ? std::wstring(kEmptyNoteText) : source;
    const size_t n = std::min<size_t>(text.size(), 63);
    std::copy_n(text.data(), n, e.text);
    e.text[n] = 0;
    m_entries.push_back(e);
}

void CSkrivoAnnotationManager::Sort() {
    // Stable, so that entries equal in start and duration keep their load order
    // and exports of the same study are byte-identical.
    std::stable_sort(m_entries.begin(), m_entries.end(),
                     [](const ANNOTATION_ENTRY& a, const ANNOTATION_ENTRY& b) {
                         if (a.start != b.start)
                             return a.start < b.start;
                         return a.duration < b.duration;
                     });
}

std::wstring CSkrivoAnnotationManager::MapNoteText(const std::wstring& text) {
    for (const TextMapping& m : kNoteTextMap)
        if (EqualsNoCase(text, m.from))
            return m.to;
    return text;
}

const wchar_t* CSkrivoAnnotationManager::StageText(int code, int stagingType) {
    if (code < 0 || code > 8 || stagingType < 0 || stagingType > 5)
        return kUnknownStage;
    return kStageTable[stagingType][code];
}

void CSkrivoAnnotationManager::AddNotes(const std::vector<NoteInput>& notes, double samplesPerSecond) {
    m_entries.reserve(m_entries.size() + notes.size());
    for (const NoteInput& note : notes) {
        if (note.skip || note.neverDisplayed)
            continue;
        if (!note.label.empty() && !m_stagingLabel.empty() && note.label != m_stagingLabel)
            continue;
        // Stamps near the ends of the 64-bit range cannot form a difference.
        int64_t samples = 0;
        if (note.end > 0 && __builtin_sub_overflow(note.end, note.start, &samples))
            samples = 0;
        double duration = static_cast<double>(samples) / samplesPerSecond;
        // A rate of 0 (or a corrupt one) must not put NaN into the sort key.
        if (!std::isfinite(duration))
            duration = 0.0;
        Append(note.start, duration, MapNoteText(note.text));
    }
    Sort();
}

void CSkrivoAnnotationManager::AddStages(const StagingInput& staging, double samplesPerSecond,
                                         int stagingType) {
    m_stagingLabel = staging.label;
    const double epochSamplesD = staging.epochSeconds * samplesPerSecond + 0.5;
    int64_t epochSamples = 0;
    if (epochSamplesD >= 9.2e18)
        epochSamples = std::numeric_limits<int64_t>::max();
    else if (epochSamplesD > -9.2e18) // NaN and absurd negatives stay 0
        epochSamples = static_cast<int64_t>(epochSamplesD);
    m_entries.reserve(m_entries.size() + staging.codes.size());
    int64_t start = staging.firstEpochStamp;
    for (size_t n = 0; n < staging.codes.size(); ++n) {
        if (staging.codes[n] != kDamagedStage)
            Append(start, static_cast<double>(staging.epochSeconds), StageText(staging.codes[n], stagingType), true);
        if (__builtin_add_overflow(start, epochSamples, &start))
            break; // later epochs would lie beyond any stamp
    }
    Sort();
}

void CSkrivoAnnotationManager::AddRecordingGaps(const std::vector<std::pair<int64_t, int64_t>>& gaps,
                                                double samplesPerSecond) {
    if (gaps.empty() || !(samplesPerSecond > 0.0))
        return;
    m_entries.reserve(m_entries.size() + gaps.size());
    for (const auto& [start, stamps] : gaps)
        Append(start, static_cast<double>(stamps) / samplesPerSecond, kRecordingGapText);
    Sort();
}

void CSkrivoAnnotationManager::RemoveRecordingGap(int64_t start) {
    const auto it = std::find_if(m_entries.begin(), m_entries.end(), [&](const ANNOTATION_ENTRY& e) {
        return e.start == start && !e.stage && std::wcscmp(e.text, kRecordingGapText) == 0;
    });
    if (it != m_entries.end())
        m_entries.erase(it);
}

void CSkrivoAnnotationManager::RedactWords(const std::vector<std::wstring>& words) {
    // Letters, digits and every non-ASCII character belong to a word.
    auto inWord = [](wchar_t c) {
        return (c >= L'0' && c <= L'9') || (FoldAscii(c) >= L'a' && FoldAscii(c) <= L'z') || c > 127;
    };
    for (const std::wstring& w : words) {
        if (w.empty())
            continue;
        for (ANNOTATION_ENTRY& e : m_entries) {
            std::wstring text = e.text;
            bool changed = false;
            for (size_t at = 0; at + w.size() <= text.size();) {
                bool match = (at == 0 || !inWord(text[at - 1])) &&
                             (at + w.size() == text.size() || !inWord(text[at + w.size()]));
                for (size_t i = 0; match && i < w.size(); ++i)
                    match = FoldAscii(text[at + i]) == FoldAscii(w[i]);
                if (!match) {
                    ++at;
                    continue;
                }
                text.replace(at, w.size(), L"X");
                changed = true;
                ++at;
            }
            if (changed) // never longer than before, so it fits where it was
                std::wcsncpy(e.text, text.c_str(), std::size(e.text) - 1);
        }
    }
}

bool CSkrivoAnnotationManager::LoadNotes(const wchar_t* path, double samplesPerSecond, LoadFailure* why) {
    if (!path || !sk::path::Exists(path)) {
        if (why)
            *why = {L"notes file is missing", -1};
        return false;
    }
    CNoteManager notes;
    notes.setPath(path);
    CEegFileException err;
    const bool whole = notes.Load(&err) != 0;
    if (!whole && why)
        *why = {err.GetErrorText(), notes.GetAnnouncedCount() < 0 ? -1
                                    : notes.GetSkippedCount() > 0 ? notes.GetSkippedCount()
                                                                  : -1};
    std::vector<NoteInput> inputs;
    inputs.reserve(static_cast<size_t>(notes.GetSize()));
    // Every stamp: a note is never left out for where it lies.
    CNoteMapIterator it(notes, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), nullptr);
    for (it.MoveFirst(); !it.IsEOF(); it.MoveNext()) {
        const CNote* note = it.GetCurrent();
        if (!note)
            break;
        NoteInput in;
        in.skip = note->IsSkipped();
        const CItem* never = note->GetKeyTree()->GetAt(L"Data.NeverDisplayed");
        in.neverDisplayed = never && IntOf(never, 0) != 0;
        if (in.skip || in.neverDisplayed)
            continue;
        in.text = note->GetText();
        in.label = note->GetLabel();
        in.start = note->GetStartStamp();
        in.end = note->GetEndStamp();
        inputs.push_back(std::move(in));
    }
    AddNotes(inputs, samplesPerSecond);
    return whole;
}

bool CSkrivoAnnotationManager::LoadStages(const wchar_t* path, double samplesPerSecond, int stagingType,
                                          LoadFailure* why) {
    if (!path || !sk::path::Exists(path)) {
        if (why)
            *why = {L"staging file is missing", -1};
        return false;
    }
    CStagingFile file;
    CEegFileException err;
    const bool whole = file.Open(path, &err) != 0;
    if (!whole && why)
        *why = {err.GetErrorText(), !file.IsStagingPresent() ? file.GetAnnouncedEpochs()
                                    : file.GetSkippedCount() > 0 ? file.GetSkippedCount()
                                                                 : -1};
    if (!file.IsStagingPresent())
        return false;
    StagingInput staging;
    staging.label = file.GetLabel();
    staging.epochSeconds = file.GetEpochLength();
    staging.firstEpochStamp = file.GetFirstEpochStamp();
    const uint32_t count = file.GetEpochCount();
    staging.codes.reserve(count);
    for (uint32_t n = 1; n <= count; ++n)
        staging.codes.push_back(file.IsEpochDamaged(n) ? kDamagedStage : file.GetStageCode(n));
    AddStages(staging, samplesPerSecond, stagingType);
    return whole;
}

CSkrivoAnnotationManager::CAnnoIter* CSkrivoAnnotationManager::CreateAnnotationIterator() const {
    return new (std::nothrow) CAnnoIter(this);
}

CSkrivoAnnotationManager::CPatientEventIter* CSkrivoAnnotationManager::CreatePatientEventIterator() const {
    return new (std::nothrow) CPatientEventIter(this);
}

int CSkrivoAnnotationManager::GetMaxAnnotationsInWindow(int64_t window) const {
    const size_t n = m_entries.size();
    size_t best = 0;
    size_t j = 0; // first entry at or after i that is not inside i's window
    for (size_t i = 0; i < n; ++i) {
        int64_t limit;
        if (__builtin_add_overflow(m_entries[i].start, window, &limit))
            limit = window > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
        if (j < i + 1)
            j = i + 1;
        while (j < n && m_entries[j].start < limit)
            ++j;
        best = std::max(best, j - i);
    }
    return static_cast<int>(std::min<size_t>(best, static_cast<size_t>(std::numeric_limits<int>::max())));
}

int CSkrivoAnnotationManager::CountInRange(int64_t from, int64_t to) const {
    if (to <= from)
        return 0;
    auto byStart = [](const ANNOTATION_ENTRY& e, int64_t s) { return e.start < s; };
    const auto lo = std::lower_bound(m_entries.begin(), m_entries.end(), from, byStart);
    const auto hi = std::lower_bound(lo, m_entries.end(), to, byStart);
    return static_cast<int>(std::min<std::ptrdiff_t>(hi - lo, std::numeric_limits<int>::max()));
}

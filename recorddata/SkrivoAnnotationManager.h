#pragma once
// The annotations of one study (its notes and, for sleep studies, one
// annotation per scored epoch) in a single list sorted by start stamp, with
// iterators for the EDF Annotations channel (every entry) and the patient
// event channel (patient events only).

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/SkrivoExport.h"

// Fixed-size annotation record, copied by value.
struct ANNOTATION_ENTRY {
    int64_t start;     // sample stamp at which the annotation starts
    double duration;   // seconds; 0 when the annotation has no length
    wchar_t text[64];  // zero-terminated, at most 63 characters
    bool stage;        // a scored epoch (else a note or a recording gap)
};

class SKRIVO_API IAnnotationIterator {
public:
    // Iterators are owned by the processors that consume them and deleted
    // through this interface.
    virtual ~IAnnotationIterator() = default;
    // Null when the iterator stands past the last entry.
    virtual const ANNOTATION_ENTRY* GetCurrent() = 0;
    // Advances; true when it now stands on an entry.
    virtual bool MoveNext() = 0;
};

class SKRIVO_API CSkrivoAnnotationManager {
public:
    // Export text of a note whose text is empty.
    static constexpr const wchar_t* kEmptyNoteText = L"(no text)";
    // Text of the annotation that marks samples without data (a gap, or the
    // padding that completes the last record).
    static constexpr const wchar_t* kRecordingGapText = L"Recording gap";

    // Visits every entry in list order.
    class SKRIVO_API CAnnoIter : public IAnnotationIterator {
    public:
        explicit CAnnoIter(const CSkrivoAnnotationManager* manager) : m_manager(manager) {}
        const ANNOTATION_ENTRY* GetCurrent() override;
        bool MoveNext() override;
    protected:
        const CSkrivoAnnotationManager* m_manager;
        uint32_t m_index = 0;
    };

    // Visits only entries whose text begins with "Patient Event" (any letter
    // case, anything may follow).
    class SKRIVO_API CPatientEventIter : public CAnnoIter {
    public:
        explicit CPatientEventIter(const CSkrivoAnnotationManager* manager);
        bool MoveNext() override;
        static bool IsPatientEvent(const ANNOTATION_ENTRY& entry);
        const ANNOTATION_ENTRY* GetCurrent() override;
    private:
        void SkipOthers();
        bool m_started = false; // placed on the first patient event at the first look
    };

    // One note as the loader sees it, after it has been read from the notes
    // file. Exposed so that note sources other than the notes file can feed
    // the same rules.
    struct NoteInput {
        std::wstring text;
        std::wstring label;        // the note's staging label; empty for none
        int64_t start = 0;
        int64_t end = 0;           // duration counts only when end > 0
        bool skip = false;         // the note interface's skip query
        bool neverDisplayed = false; // "Data.NeverDisplayed" non-zero
    };

    // A staging as the staging component reports it.
    struct StagingInput {
        std::wstring label;
        int32_t epochSeconds = 30;
        int64_t firstEpochStamp = 0;
        std::vector<int> codes; // stage code of epoch 1, 2, ...; -1 unreadable, kDamagedStage lost
    };
    // Code of an epoch lost to damage: it gets no annotation, the epochs
    // after it keep their times.
    static constexpr int kDamagedStage = -2;

    CSkrivoAnnotationManager();
    ~CSkrivoAnnotationManager();
    CSkrivoAnnotationManager(const CSkrivoAnnotationManager&) = delete;
    CSkrivoAnnotationManager& operator=(const CSkrivoAnnotationManager&) = delete;

    // Why a file could not be loaded in full, and how many notes or epochs
    // were lost (-1 when unknown).
    struct LoadFailure {
        std::wstring reason;
        int64_t skipped = -1;
    };
    // Appends the study's notes and re-sorts. False (*why filled when given)
    // when the file is missing or not every note could be read; the notes
    // that could be read are appended all the same.
    bool LoadNotes(const wchar_t* path, double samplesPerSecond, LoadFailure* why = nullptr);
    // Appends one annotation per scored epoch and re-sorts; sets the staging
    // label, which from then on filters notes of other stagings. False when
    // the file is missing, cannot be opened, holds no staging (list
    // unchanged) or lost epochs to damage (the others are appended); *why is
    // filled but for a file without staging.
    bool LoadStages(const wchar_t* path, double samplesPerSecond, int stagingType, LoadFailure* why = nullptr);

    // The rules of LoadNotes / LoadStages applied to notes and a staging
    // already read. Both always succeed.
    void AddNotes(const std::vector<NoteInput>& notes, double samplesPerSecond);
    void AddStages(const StagingInput& staging, double samplesPerSecond, int stagingType);
    // One "Recording gap" annotation per gap (first stamp without samples,
    // number of stamps without samples), lasting stamps / samplesPerSecond
    // seconds; re-sorts.
    void AddRecordingGaps(const std::vector<std::pair<int64_t, int64_t>>& gaps, double samplesPerSecond);
    // Removes the "Recording gap" annotation that starts at start, if any.
    void RemoveRecordingGap(int64_t start);

    // Replaces every whole-word occurrence of each word (ASCII letter case
    // ignored) in the entries' texts with "X": a de-identified export keeps
    // no patient name a note was written with. Empty words are ignored.
    void RedactWords(const std::vector<std::wstring>& words);

    // New iterators over this manager, owned by the caller; null when
    // allocation fails. The manager must outlive them.
    CAnnoIter* CreateAnnotationIterator() const;
    CPatientEventIter* CreatePatientEventIterator() const;

    // Largest number of entries whose start lies in [start(i), start(i) + window)
    // for some entry i; 0 for an empty list.
    int GetMaxAnnotationsInWindow(int64_t window) const;
    // Number of entries whose start lies in [from, to).
    int CountInRange(int64_t from, int64_t to) const;

    // Export text of a scored epoch. Codes outside 0..8 (an unreadable code is
    // -1) and staging types outside 0..5 give "Sleep stage ?", the text the
    // table uses for unscored epochs.
    static const wchar_t* StageText(int code, int stagingType);
    // Whole-text, case-insensitive mapping of note texts to export texts.
    static std::wstring MapNoteText(const std::wstring& text);

    const std::vector<ANNOTATION_ENTRY>& GetEntries() const { return m_entries; }
    const std::wstring& GetStagingLabel() const { return m_stagingLabel; }
    size_t GetCount() const { return m_entries.size(); }

private:
    void Append(int64_t start, double duration, const std::wstring& text, bool stage = false);
    void Sort();

    std::vector<ANNOTATION_ENTRY> m_entries;
    std::wstring m_stagingLabel;
};

#pragma once
// Notes of a study (".ENT"): reviewer and system annotations with a text, an
// optional label (for example the staging they belong to), start and end
// stamps, flags and an optional "Data" key-tree subtree (montage notes carry
// the recording montage there with "Data.Type" = "Montage").
//
// CNoteManager loads the whole file (validated, bounded by the file size);
// CNoteMapIterator walks the notes of a stamp range in start-stamp order
// (notes with equal start keep their file order).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/KeyTree.h"
#include "platform/SkrivoExport.h"
#include "platform/recording/EegFile.h"

class SKRIVO_API CNote {
public:
    // Flag bits stored with a note.
    static constexpr uint32_t kFlagDeleted = 0x0001; // removed by a reviewer, kept for audit
    static constexpr uint32_t kFlagSystem = 0x0002;  // internal bookkeeping note, never shown
    static constexpr uint32_t kFlagPatientEvent = 0x0004; // pressed by the patient

    CNote() = default;
    CNote(std::wstring text, std::wstring label, int64_t start, int64_t end, uint32_t flags,
          std::unique_ptr<CKeyTree> data = nullptr);
    CNote(const CNote& other);
    CNote& operator=(const CNote& other);

    const std::wstring& GetText() const { return m_text; }
    const std::wstring& GetLabel() const { return m_label; }
    int64_t GetStartStamp() const { return m_start; }
    // Last stamp of the note; 0 or -1 when the note has no duration.
    int64_t GetEndStamp() const { return m_end; }
    uint32_t GetFlags() const { return m_flags; }
    // The skip query: true for notes that are not meant to be shown or
    // exported (deleted or system notes).
    bool IsSkipped() const { return (m_flags & (kFlagDeleted | kFlagSystem)) != 0; }
    // The note as a key tree: holds the "Data" subtree when the note has data
    // (never null; empty when there is no data).
    const CKeyTree* GetKeyTree() const { return &m_tree; }
    // The "Data" subtree, or null.
    const CKeyTree* GetData() const;

private:
    std::wstring m_text, m_label;
    int64_t m_start = -1, m_end = -1;
    uint32_t m_flags = 0;
    CKeyTree m_tree;
};

// Optional filter of a note walk.
class SKRIVO_API CNoteFilter {
public:
    virtual ~CNoteFilter() = default;
    virtual bool Accept(const CNote& note) const = 0;
};

class SKRIVO_API CNoteManager {
public:
    CNoteManager();
    ~CNoteManager();
    CNoteManager(const CNoteManager&) = delete;
    CNoteManager& operator=(const CNoteManager&) = delete;

    void setPath(const std::wstring& path);
    const std::wstring& getPath() const { return m_path; }
    // Reads and validates the notes file. Non-zero when every note was read;
    // on failure pError (if given) holds the code and text of the first
    // problem. A damaged note record costs only itself (or, when its length
    // cannot be trusted, itself and the notes after it): the notes that read
    // stay loaded. A file whose header cannot be read gives no notes.
    int Load(CEegFileException* pError = nullptr);
    // Parses a notes file image (used by Load and by the fuzzer).
    int LoadFromMemory(const uint8_t* data, size_t size, CEegFileException* pError = nullptr);
    int GetSize() const { return static_cast<int>(m_notes.size()); }
    // Note by file order; null out of range.
    const CNote* GetAt(int index) const;
    // Indices of the notes in start-stamp order (stable).
    const std::vector<int>& SortedOrder() const { return m_order; }
    // Notes the file's header announced (a header that passed its checks);
    // -1 when no header could be read. Kept after a failed load, so that a
    // caller can say how many notes were lost.
    int64_t GetAnnouncedCount() const { return m_announced; }
    // Announced notes that the last load could not read.
    int64_t GetSkippedCount() const { return m_skipped; }

private:
    std::wstring m_path;
    int64_t m_announced = -1;
    int64_t m_skipped = 0;
    std::vector<CNote> m_notes;
    std::vector<int> m_order;
};

class SKRIVO_API CNoteMapIterator {
public:
    // Walks the notes whose start stamp lies in [from, to], in start order,
    // that the filter (if any) accepts. Starts on the first such note.
    CNoteMapIterator(const CNoteManager& manager, int64_t from, int64_t to,
                     const CNoteFilter* filter = nullptr);
    void MoveFirst();
    void MoveNext();
    bool IsEOF() const;
    // The current note, or null at the end.
    const CNote* GetCurrent() const;

private:
    void SkipRejected();
    const CNoteManager& m_manager;
    int64_t m_from, m_to;
    const CNoteFilter* m_filter;
    size_t m_pos = 0;
};

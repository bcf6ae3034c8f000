#pragma once
// The export engine: the one object a host creates to export studies to
// EDF/EDF+. The host fills an export list (one entry per study), binds or
// lets the engine choose a template for each entry, may ask for size
// estimates, then starts the export with a progress callback and may cancel
// it. An engine exports at most once; a second batch needs a new engine.
//
// All public calls come from one host thread. The callback is invoked only
// from the engine's monitor thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/SkrivoExport.h"

class CItem;
class CKeyTree;
class CSkrivoTemplate;
class CSkrivoTemplateManager;
class CExportDetails;
class CWnd; // host window handle type; opaque to the core

// Implemented by the host; the library only calls it.
class ISkrivoProgress {
public:
    // Per-study progress (study id, current output file name, 0..100) and the
    // overall progress, which comes with two empty strings.
    virtual void OnProgress(const wchar_t* study, const wchar_t* file, float percent) = 0;
    // A study failed with the exporter's code and text; sent once per study.
    virtual void OnError(const wchar_t* study, long code, const wchar_t* text) = 0;

protected:
    ~ISkrivoProgress() = default;
};

namespace sk {
// Exports one entry of the export list. Returns true on success; on failure
// stores an HRESULT-style code and a text. A cancelled export must answer
// 0x800704C7. The default job runs the EDF writer; tests and special hosts
// may replace it before Export.
using ExportJob = std::function<bool(CExportDetails& entry, int32_t& code, std::wstring& text)>;
} // namespace sk

class SKRIVO_API CSkrivoEngine {
public:
    CSkrivoEngine();
    // Blocks until a running export has finished; it does not cancel it.
    ~CSkrivoEngine();
    CSkrivoEngine(const CSkrivoEngine&) = delete;
    CSkrivoEngine& operator=(const CSkrivoEngine&) = delete;

    // path: a study folder or a file inside it (usually the ".EEG" file).
    // tmpl may be null: the engine then chooses a template for the study.
    bool AddExport(const wchar_t* studyId, const wchar_t* path, CSkrivoTemplate* tmpl);
    bool SetTemplate(const wchar_t* studyId, CSkrivoTemplate* tmpl, bool reset);
    CSkrivoTemplate* GetTemplate(const wchar_t* studyId);
    // Item at a dotted key of the study description; null when absent.
    const CItem* GetStudyInfo(const wchar_t* studyId, const wchar_t* key);
    // Bytes the export of the entry will write, all files of a split series
    // together: exact while the study's sample data reads (see
    // docs/engine.md). -1 when the export would write nothing; *why (when
    // given) then says why. *notices (when given) receives what the export
    // will say it does otherwise than the template asks (the same texts).
    int64_t EstimateSize(const wchar_t* studyId);
    int64_t EstimateSize(const wchar_t* studyId, std::wstring* why, std::vector<std::wstring>* notices = nullptr);
    // Appends (does not clear) the stored templates that fit the entry.
    void GetTemplatesForStudy(const wchar_t* studyId, std::vector<CSkrivoTemplate*>& list);
    // Opens the template editor on a clone of the entry's template; true when
    // the user accepted and the clone was bound. False when no editor is
    // registered with the template manager.
    bool EditTemplate(const wchar_t* studyId, CWnd* parent);

    // Starts the export and returns at once. progress may be null.
    void Export(const wchar_t* outputFolder, ISkrivoProgress* progress, bool rememberTemplates);
    // Stops a running export; returns after every export thread has ended.
    void Cancel();
    // True once every entry exported successfully and the threads are gone.
    bool IsDone();
    // Waits up to timeoutMs (0xFFFFFFFF: no limit) for the export threads to
    // end on their own (every study done or failed) and answers whether they
    // have. True when no export was started or it was cancelled.
    bool WaitForExport(uint32_t timeoutMs);

    // Whether the export may replace output files that exist already
    // (default: yes). When not, such a study fails and the file is kept.
    // Ignored while exporting.
    void SetOverwrite(bool overwrite);

    // Clamped to 1..processor count; -1 while exporting.
    int SetNumParallelExports(int n);
    int GetNumParallelExports() const;

    CSkrivoTemplateManager* GetTemplateManager();

    void Fire_OnProgress(const wchar_t* study, const wchar_t* file, float percent);
    void Fire_OnError(const wchar_t* study, long code, const wchar_t* text);

    // --- additions beyond the host interface ---------------------------------
    // Settings read from the registry at construction (never used for output).
    const CKeyTree& GetSettings() const;
    // Replaces the per-entry export job (see sk::ExportJob); ignored while
    // exporting. An empty job restores the EDF writer.
    void SetExportJob(sk::ExportJob job);
    // The default job (the EDF writer), for hosts that wrap it.
    static sk::ExportJob WriterJob();
    // Read-only view of the export list, in AddExport order; for hosts that
    // want to show per-study state after the export (null past the end).
    size_t GetExportCount() const;
    const CExportDetails* GetExportAt(size_t index) const;
    // Appends an entry the host prepared itself (study description filled,
    // template bound or null); the engine takes it over in every case. The
    // same refusals as AddExport apply (exporting, duplicate id or folder).
    bool AddExportEntry(CExportDetails* entry);

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

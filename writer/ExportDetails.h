#pragma once
// One entry of the engine's export list: a study to export, the template bound
// to it, its study description and the state of its export. The engine owns
// the entry; a worker hands it to the exporter as the sink for the current
// output file name and for progress, which is also where the worker's
// cancellation is seen; the monitor thread reads its state.
//
// Threading: CurrentFile and the problems are written by one thread while
// another reads them, so they go through the entry lock. Flags, Percent and the error
// pair are single writes by the worker read by the monitor without a lock;
// the error pair is stored before the failed flag is raised, so a monitor
// that sees the flag finds the pair.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/KeyTree.h"
#include "platform/SkrivoExport.h"

class CSkrivoTemplate;
namespace sk {
class Event;
class OutputObserver;

// How an entry's export ended. Complete: every output file holds all the
// study had to give. Incomplete: files were written, but something in the
// study could not be read (or the export was cancelled part-way); the
// problems say what. Failed: the export did not succeed (files it salvaged
// are named in the problems). Pending: not finished (never started, still
// running, or cancelled before it began).
enum class ExportOutcome { Pending, Complete, Incomplete, Failed };

// One thing an export could not do in full. The counts are -1 when they do
// not apply or are not known.
struct ExportProblem {
    std::wstring file;   // the study or output file concerned (full path)
    std::wstring reason; // what is wrong with it
    double skippedSeconds = -1.0;
    int64_t skippedNotes = -1;
    int64_t skippedStages = -1;
};
} // namespace sk

class SKRIVO_API CExportDetails {
public:
    CExportDetails(const std::wstring& studyId, const std::wstring& studyFolder,
                   const std::wstring& studyName, CSkrivoTemplate* tmpl);
    virtual ~CExportDetails();
    CExportDetails(const CExportDetails&) = delete;
    CExportDetails& operator=(const CExportDetails&) = delete;

    const std::wstring& GetStudyId() const { return m_studyId; }
    const std::wstring& GetStudyFolder() const { return m_studyFolder; }
    const std::wstring& GetStudyName() const { return m_studyName; }
    const std::wstring& GetOutputFolder() const { return m_outputFolder; }
    void SetOutputFolder(const std::wstring& folder) { m_outputFolder = folder; }

    // Set by the engine before the export starts (no lock needed then).
    // Whether existing output files may be replaced.
    void SetOverwrite(bool overwrite) { m_overwrite = overwrite; }
    bool GetOverwrite() const { return m_overwrite; }
    // Whether a processor is spare beside the export's own (fewer exports
    // run at once than there are processors), so that work beside the
    // export, such as hashing its output, may run on a thread of its own.
    void SetSpareProcessor(bool spare) { m_spareProcessor = spare; }
    bool GetSpareProcessor() const { return m_spareProcessor; }
    // Why the entry must not be written (its output would be another
    // entry's); empty when it may.
    void SetRefusal(const std::wstring& text) { m_refusal = text; }
    const std::wstring& GetRefusal() const { return m_refusal; }
    // Shown the bytes of every output file as it is written (not owned;
    // null for none). Set by the worker's job before the export; the
    // exporter then writes each header with the record count it plans, so
    // that a correct plan leaves every byte as first written.
    void SetOutputObserver(sk::OutputObserver* observer) { m_observer = observer; }
    sk::OutputObserver* GetOutputObserver() const { return m_observer; }

    // Locked access to the name (no folder) of the output file being written.
    std::wstring GetCurrentFile() const;
    void SetCurrentFile(const std::wstring& name);

    CKeyTree& GetStudyInfo() { return m_study; }
    const CKeyTree& GetStudyInfo() const { return m_study; }

    CSkrivoTemplate* GetTemplate() const { return m_template; }
    void SetTemplate(CSkrivoTemplate* tmpl) { m_template = tmpl; }

    float GetPercent() const { return m_percent.load(std::memory_order_acquire); }
    bool IsCancelled() const { return m_cancelled.load(std::memory_order_acquire); }
    bool IsDone() const { return m_done.load(std::memory_order_acquire); }
    bool IsFailed() const { return m_failed.load(std::memory_order_acquire); }
    bool IsTaken() const { return m_taken.load(std::memory_order_acquire); }

    void SetTaken() { m_taken.store(true, std::memory_order_release); }
    // The worker's auto-reset cancel event; not owned. Null until taken.
    void SetCancelEvent(sk::Event* ev) { m_cancelEvent.store(ev, std::memory_order_release); }
    sk::Event* GetCancelEvent() const { return m_cancelEvent.load(std::memory_order_acquire); }

    // Percent = 100, then done = true.
    void SetDone();
    // Percent, with *done read before it: a reader that sees done also sees
    // SetDone's 100, so a study's last report is never lost. The monitor
    // reads an entry through this.
    float GetProgress(bool* done) const;
    // Test seam: called once (then dropped) between the two stores of
    // SetDone and between the two reads of GetProgress, the places where
    // the other thread can act; a test puts the other side's call there.
    void SetInterleaveForTesting(std::function<void()> between) { m_between = std::move(between); }
    // Code and text first, then failed = true and Percent = 100.
    void SetError(int32_t code, const std::wstring& text);
    // False (outputs untouched) unless the entry has failed.
    bool GetError(int32_t& code, std::wstring& text) const;

    // Problems the export met; they turn a done entry into an incomplete one.
    void AddProblem(const sk::ExportProblem& problem);
    std::vector<sk::ExportProblem> GetProblems() const;
    // What the export did otherwise than its template asked, with nothing
    // of the study left out (full-rate data for a study without a
    // decimated copy). Said, but the outcome stays what it is.
    void AddNotice(const std::wstring& text);
    std::vector<std::wstring> GetNotices() const;
    // Failed before problems: a failed export may name the files it salvaged.
    sk::ExportOutcome GetOutcome() const;

    // Called by the record writer as the export proceeds. Sees the worker's
    // cancel event with a zero-timeout wait; the wait consumes the auto-reset
    // signal, so the result is latched and every later call keeps answering
    // true. Stores percent, writes the cancelled flag through *cancelled (when
    // not null) and returns it.
    virtual bool ReportProgress(float percent, bool* cancelled);

private:
    // f's result, with f run under the entry lock.
    template <class F>
    auto Locked(F f) const {
        std::lock_guard<std::mutex> lock(m_lock);
        return f();
    }

    std::wstring m_studyId;
    std::wstring m_studyFolder;
    std::wstring m_studyName;
    std::wstring m_outputFolder;
    std::wstring m_currentFile;
    std::wstring m_refusal;
    bool m_overwrite = true;
    bool m_spareProcessor = true;
    CKeyTree m_study;
    mutable std::mutex m_lock; // guards m_currentFile, m_problems and m_notices
    std::vector<sk::ExportProblem> m_problems;
    std::vector<std::wstring> m_notices;
    CSkrivoTemplate* m_template;
    std::atomic<float> m_percent{0.0f};
    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_taken{false};
    std::atomic<sk::Event*> m_cancelEvent{nullptr};
    sk::OutputObserver* m_observer = nullptr;
    mutable std::function<void()> m_between; // empty outside tests
    void Interleave() const;
    int32_t m_errorCode = 0;
    std::wstring m_errorText;
};

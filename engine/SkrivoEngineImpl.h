#pragma once
// Private state of CSkrivoEngine, shared by the files that implement it
// (list operations, template choice, export threads). Not installed.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "engine/SkrivoEngine.h"
#include "platform/KeyTree.h"
#include "platform/Sync.h"
#include "templates/SkrivoTemplateManager.h"
#include "writer/ExportDetails.h"

// One allowed parallel export. The slot owns its worker thread and the
// worker's cancel event. hasThread mirrors "the slot still holds a thread
// handle" so that the host thread can ask for it while the monitor clears it.
struct EngineWorkerSlot {
    std::unique_ptr<sk::Thread> thread;
    std::unique_ptr<sk::Event> cancel;
    uint64_t threadId = 0;
    std::atomic<bool> hasThread{false};
};

struct CSkrivoEngine::Impl {
    CSkrivoTemplateManager manager;
    ISkrivoProgress* progress = nullptr; // set by Export before any thread starts
    mutable sk::CriticalSection listLock;
    int numParallel = 0;
    bool overwrite = true;
    std::vector<std::unique_ptr<CExportDetails>> list;
    std::vector<std::unique_ptr<EngineWorkerSlot>> slots;
    CKeyTree settings;
    std::atomic<bool> exporting{false};
    std::unique_ptr<sk::Thread> monitor;
    sk::Event cancelEvent{sk::Event::AutoReset, false};
    // Wakes the monitor before its next periodic pass: a worker ended an
    // entry (done or failed) or a cancellation was asked for, so the end of
    // an export is noticed at once, not up to one poll period later.
    sk::Event wake{sk::Event::AutoReset, false};
    sk::ExportJob job;
    // Set once every worker has been resumed. The monitor may finish its
    // passes before the host thread resumed the last worker (a fast worker
    // can export everything); it must not wait for and close a thread that
    // the host is still resuming.
    sk::Event workersResumed{sk::Event::ManualReset, false};

    // Entry with exactly this study id, or null (logged for the calling
    // method when named). Caller holds the list lock where the list can
    // still change.
    CExportDetails* Find(const wchar_t* studyId, const wchar_t* caller = nullptr) const;
    // True, logged for the calling method, while an export runs: the list
    // and its entries are the workers' then.
    bool Busy(const wchar_t* caller) const;
    // True, logged, when an entry has this study id or folder already.
    // Caller holds the list lock.
    bool Listed(const std::wstring& id, const std::wstring& folder) const;

    // Export threads.
    bool GetExport(CExportDetails** out);
    sk::Event* GetThreadCancelEvent(uint64_t threadId) const;
    void StartThreads(size_t workers, CSkrivoEngine* engine);
    uint32_t ExportThreadProc();
    uint32_t ExportMonitorThreadProc(CSkrivoEngine* engine);
};

namespace sk::engine {
// The job every worker runs unless the host replaced it: the EDF writer.
bool RunWriterJob(CExportDetails& entry, int32_t& code, std::wstring& text);
// Text of the failure given to an entry that reaches a worker without a
// template (template choice can yield none).
inline constexpr const wchar_t* kNoTemplateText = L"No export template is bound to this study.";
} // namespace sk::engine

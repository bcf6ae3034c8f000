// The threads of a running export: one monitor and up to the allowed number
// of workers. Workers take entries under the list lock and run the export
// job for each; the monitor passes over the entries periodically and whenever
// a worker ends an entry, reports progress and errors to the host, passes a
// cancellation on to the workers, and closes their handles once they have all
// ended. All host callbacks come from the monitor.

#include <exception>

#include "engine/SkrivoEngineImpl.h"
#include "platform/HResult.h"
#include "platform/TextConv.h"
#include "templates/SkrivoTemplate.h"
#include "writer/Skrivoer.h"

namespace {
constexpr uint32_t kPollMs = 250;
constexpr int32_t kCancelled = static_cast<int32_t>(0x800704C7u);
} // namespace

namespace sk::engine {

bool RunWriterJob(CExportDetails& entry, int32_t& code, std::wstring& text) {
    const CSkrivoTemplate* t = entry.GetTemplate();
    if (!t) {
        code = sk::E_INVALIDARG;
        text = kNoTemplateText;
        return false;
    }
    if (!entry.GetRefusal().empty()) {
        code = sk::HResultFromWin32(sk::ERROR_FILE_EXISTS);
        text = entry.GetRefusal();
        return false;
    }
    CSkrivoer exporter(entry.GetStudyInfo(), t->GetKeyTree(), entry.GetOutputFolder());
    exporter.SetOverwrite(entry.GetOverwrite());
    if (exporter.Export(&entry)) return true;
    code = exporter.GetLastErrorCode();
    text = exporter.GetLastErrorText();
    return false;
}

} // namespace sk::engine

bool CSkrivoEngine::Impl::GetExport(CExportDetails** out) {
    sk::CriticalSectionLock lock(listLock);
    for (auto& e : list) {
        if (!e->IsTaken()) {
            e->SetTaken();
            *out = e.get();
            return true;
        }
    }
    *out = nullptr;
    return false;
}

sk::Event* CSkrivoEngine::Impl::GetThreadCancelEvent(uint64_t threadId) const {
    for (const auto& s : slots)
        if (s->threadId == threadId && s->cancel) return s->cancel.get();
    return nullptr;
}

void CSkrivoEngine::Impl::StartThreads(size_t workers, CSkrivoEngine* engine) {
    for (size_t i = 0; i < workers; ++i) {
        EngineWorkerSlot& s = *slots[i];
        s.cancel = std::make_unique<sk::Event>(sk::Event::AutoReset, false);
        s.thread = std::make_unique<sk::Thread>();
        s.thread->Create([this] { return ExportThreadProc(); });
        s.threadId = s.thread->Id();
        s.thread->SetPriority(sk::Thread::PriorityNormal);
        s.hasThread.store(true);
    }
    monitor = std::make_unique<sk::Thread>();
    monitor->Create([this, engine] { return ExportMonitorThreadProc(engine); });
    monitor->SetPriority(sk::Thread::PriorityNormal);
    monitor->Resume();
    for (size_t i = 0; i < workers; ++i) {
        if (!slots[i]->thread->Resume()) {
            // No thread from the OS: the slot holds nothing that could end.
            slots[i]->thread.reset();
            slots[i]->hasThread.store(false);
        }
    }
    workersResumed.Set();
}

uint32_t CSkrivoEngine::Impl::ExportThreadProc() {
    sk::Event* cancel = GetThreadCancelEvent(sk::CurrentThreadId());
    CExportDetails* entry = nullptr;
    while (GetExport(&entry)) {
        entry->SetCancelEvent(cancel);
        int32_t code = 0;
        std::wstring text;
        bool ok = false;
        try {
            ok = job ? job(*entry, code, text) : sk::engine::RunWriterJob(*entry, code, text);
        } catch (const std::exception& ex) {
            code = sk::E_UNEXPECTED;
            text = L"Unexpected failure: " + sk::FromUtf8Lossy(ex.what());
        } catch (...) {
            code = sk::E_UNEXPECTED;
            text = L"Unexpected failure.";
        }
        if (ok) {
            entry->SetDone();
        } else if (code == kCancelled) {
            // Left taken and neither done nor failed; this worker stops.
            wake.Set();
            return 0;
        } else {
            if (text.empty()) text = L"Export failed.";
            entry->SetError(code, text);
        }
        wake.Set();
    }
    return 0;
}

uint32_t CSkrivoEngine::Impl::ExportMonitorThreadProc(CSkrivoEngine* engine) {
    const size_t n = list.size();
    std::vector<bool> finished(n, false);
    std::vector<float> lastReported(n, -1.0f);
    const float count = static_cast<float>(n);

    for (;;) {
        float total = 0.0f;
        bool allFinished = true;
        for (size_t i = 0; i < n; ++i) {
            CExportDetails& e = *list[i];
            float p = 0.0f;
            if (!e.GetCancelEvent() && e.GetCurrentFile().empty()) {
                allFinished = false;
            } else if (finished[i]) {
                p = 100.0f;
            } else {
                const std::wstring study = e.GetStudyId();
                const std::wstring file = e.GetCurrentFile();
                // Done before the percent, so a finished entry shows 100.
                bool done = false;
                p = e.GetProgress(&done);
                if (p > 100.0f) p = 100.0f;
                if (e.IsFailed()) {
                    int32_t code = 0;
                    std::wstring text;
                    e.GetError(code, text);
                    engine->Fire_OnError(study.c_str(), code, text.c_str());
                    p = 100.0f;
                    finished[i] = true;
                } else {
                    // A worker that has just taken the entry has not named
                    // its file yet: the host hears of the study once it has.
                    if (p > lastReported[i] && (!file.empty() || done)) {
                        engine->Fire_OnProgress(study.c_str(), file.c_str(), p);
                        lastReported[i] = p;
                    }
                    if (!done) allFinished = false;
                    finished[i] = done;
                }
            }
            total += p;
        }
        // Nothing to export is complete.
        engine->Fire_OnProgress(L"", L"", n ? total / count : 100.0f);
        if (allFinished) break;
        // A Set of the wake event while the pass ran leaves it set, so no
        // ending is missed between the pass and the wait. A cancel asked for
        // during the pass (a throwing callback) needs no wait at all.
        if (!cancelEvent.IsSet()) wake.Wait(kPollMs);
        if (cancelEvent.Wait(0) == sk::WaitResult::Signalled) {
            for (auto& s : slots)
                if (s->cancel) s->cancel->Set();
            break;
        }
    }

    workersResumed.Wait(sk::kInfinite);
    std::vector<sk::Thread*> threads;
    for (auto& s : slots)
        if (s->hasThread.load()) threads.push_back(s->thread.get());
    sk::WaitForAll(threads, sk::kInfinite);
    for (auto& s : slots) {
        if (s->hasThread.load()) {
            s->thread.reset();
            s->hasThread.store(false);
        }
    }
    return 0;
}

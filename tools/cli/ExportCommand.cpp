// `skrivo export`: adds the studies to one engine, binds the chosen template
// (or lets the engine choose), applies the command-line overrides, lets the
// user edit each study's template when asked, runs the export with a progress
// display, and cancels it on Ctrl-C.

#include <algorithm>
#include <charconv>
#include <csignal>
#include <map>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "Cli.h"
#include "EditorGlue.h"
#include "ProgressView.h"
#include "engine/SkrivoEngine.h"
#include "platform/Path.h"
#include "templates/SkrivoTemplateManager.h"
#include "writer/ExportDetails.h"
#include "writer/Skrivoer.h"

namespace sk::cli {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

// Installs the Ctrl-C handler for the life of the object and restores the
// previous one afterwards.
class InterruptGuard {
public:
    InterruptGuard() {
        g_interrupted = 0;
        struct sigaction sa = {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &m_oldInt);
        sigaction(SIGTERM, &sa, &m_oldTerm);
    }
    ~InterruptGuard() {
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGTERM, &m_oldTerm, nullptr);
    }

private:
    struct sigaction m_oldInt = {};
    struct sigaction m_oldTerm = {};
};

struct StudyResult {
    std::string study;
    std::string status; // exported, failed, cancelled
    std::string error;
    long code = 0;
    std::vector<std::string> files;
    std::string kind, why, hint; // kind of file written, the reason, a hint for EDF+D
};

// Which kind of file the template writes for the study, and why.
void DescribeKind(const CExportDetails& e, StudyResult& r) {
    const CSkrivoTemplate* t = e.GetTemplate();
    if (!t) return;
    const CKeyTree& study = e.GetStudyInfo();
    r.kind = CSkrivoer::FileKind(study, t->GetKeyTree());
    const bool gaps = IntOf(study.GetAt(L"Samples.Contiguous"), 1) == 0;
    std::string length;
    if (gaps) {
        char buf[32];
        auto res = std::to_chars(buf, buf + sizeof buf, RealOf(study.GetAt(L"Samples.TotalBreaks"), 0.0));
        if (res.ec == std::errc()) length = " (" + std::string(buf, res.ptr) + " s in all)";
    }
    if (r.kind == "EDF")
        r.why = gaps ? "the template asks for plain EDF; the recording's gaps" + length + " are padded with zeros"
                     : "the template asks for plain EDF";
    else if (r.kind == "EDF+C")
        r.why = gaps ? "the recording's gaps" + length + " are padded with zeros and marked \"Recording gap\""
                     : "the recording has no gaps";
    else {
        r.why = "the recording has gaps" + length + " and the template does not pad them";
        r.hint = "EDFlib refuses EDF+D and some readers join its records end to end; --pad-gaps writes EDF+C with "
                 "every gap marked";
    }
}

} // namespace

int RunExport(const ExportOptions& o) {
    const bool json = o.mode == OutputMode::Json;
    const bool quiet = o.mode == OutputMode::Quiet;
    std::vector<StudyResult> results;
    auto fail = [&](const std::string& study, const std::string& text) {
        results.push_back({study, "failed", text, 0, {}, {}, {}, {}});
        if (!json) std::fprintf(stderr, "skrivo: %s: %s\n", study.c_str(), text.c_str());
    };

    if (o.edit) {
        // Before anything is read: an export that cannot offer the editor it
        // was asked for does not start.
        std::string why;
        if (!EditorReady(&why)) {
            std::fprintf(stderr, "skrivo: %s\n", why.c_str());
            if (json)
                std::printf("%s\n", nlohmann::json{{"event", "result"},
                                                   {"ok", false},
                                                   {"exit", kExitFailed},
                                                   {"studies", nlohmann::json::array()}}
                                        .dump()
                                        .c_str());
            return kExitFailed;
        }
    }

    CSkrivoEngine engine;
    LoadTemplateFolders(engine, false);
    if (o.jobs > 0) engine.SetNumParallelExports(o.jobs);

    CSkrivoTemplate* base = nullptr;
    if (!o.templateRef.empty()) {
        std::string err;
        base = ResolveTemplate(engine, o.templateRef, &err);
        if (!base) {
            std::fprintf(stderr, "skrivo: %s\n", err.c_str());
            return kExitUsage;
        }
    }

    std::vector<std::wstring> added;
    std::map<std::wstring, std::wstring> rejected;
    for (const auto& study : o.studies) {
        std::string err;
        if (!AddStudy(engine, study, base, &err)) {
            fail(study, err);
            continue;
        }
        const std::wstring id = Widen(study);
        CSkrivoTemplate* t = engine.GetTemplate(id.c_str());
        if (!t) {
            fail(study, "no export template fits this study");
            continue;
        }
        const CExportDetails* entry = engine.GetExportAt(engine.GetExportCount() - 1);
        added.push_back(id);
        // The entry is in the list now and cannot leave it; a study whose
        // template cannot take the overrides fails when its turn comes.
        if (!ApplyOverrides(*t, o.overrides, entry ? &entry->GetStudyInfo() : nullptr, engine, &err))
            rejected[id] = Widen(err);
    }
    if (!rejected.empty()) {
        engine.SetExportJob([rejected, writer = CSkrivoEngine::WriterJob()](CExportDetails& e, int32_t& code,
                                                                             std::wstring& text) {
            auto it = rejected.find(e.GetStudyId());
            if (it == rejected.end()) return writer(e, code, text);
            code = static_cast<int32_t>(0x80070057u);
            text = it->second;
            return false;
        });
    }

    if (o.edit) {
        // The user has the last word on each template, overrides included.
        // Closing an editor without OK keeps the study's template as it was.
        for (const std::wstring& id : added) {
            if (rejected.count(id)) continue;
            const bool changed = engine.EditTemplate(id.c_str(), nullptr);
            if (json)
                std::printf("%s\n",
                            nlohmann::json{{"event", "edit"}, {"study", Narrow(id)}, {"changed", changed}}.dump().c_str());
            else if (!quiet && !changed)
                std::fprintf(stderr, "skrivo: %s: editor closed without OK, template unchanged\n", Narrow(id).c_str());
        }
    }

    const std::wstring out = Widen(o.output);
    int status = results.empty() ? kExitOk : kExitFailed;
    if (!added.empty()) {
        if (!sk::path::CreateDirectories(out)) {
            std::fprintf(stderr, "skrivo: cannot create output folder %s\n", o.output.c_str());
            return kExitFailed;
        }
        ProgressView::Style style = json    ? ProgressView::Style::Json
                                    : quiet ? ProgressView::Style::Quiet
                                            : ProgressView::StyleFor(stderr);
        ProgressView view(style, added, json ? stdout : stderr);
        {
            InterruptGuard guard;
            engine.Export(out.c_str(), &view, o.remember);
            bool cancelled = false;
            while (!engine.WaitForExport(100)) {
                if (g_interrupted && !cancelled) {
                    cancelled = true;
                    if (!json) view.Print("skrivo: cancelling...");
                    engine.Cancel(); // returns once every export thread has stopped
                }
            }
            if (g_interrupted) status = kExitCancelled;
        }
        view.Finish();

        for (size_t i = 0; i < engine.GetExportCount(); ++i) {
            const CExportDetails* e = engine.GetExportAt(i);
            const std::wstring& id = e->GetStudyId();
            if (std::find(added.begin(), added.end(), id) == added.end()) continue;
            StudyResult r;
            r.study = Narrow(id);
            r.files = WrittenFiles(out, e->GetCurrentFile());
            int32_t code = 0;
            std::wstring text;
            if (e->IsDone()) {
                r.status = "exported";
                DescribeKind(*e, r);
            } else if (e->GetError(code, text)) {
                r.status = "failed";
                r.code = code;
                r.error = Narrow(text);
                if (status == kExitOk) status = kExitFailed;
            } else {
                r.status = "cancelled";
                r.error = "Export was cancelled";
                if (status == kExitOk) status = kExitFailed;
            }
            results.push_back(std::move(r));
        }
    }

    if (json) {
        nlohmann::json arr = nlohmann::json::array();
        for (const auto& r : results) {
            nlohmann::json j = {{"study", r.study}, {"status", r.status}, {"files", r.files}};
            if (!r.kind.empty()) j["kind"] = r.kind;
            if (!r.error.empty()) {
                j["error"] = r.error;
                j["code"] = static_cast<uint32_t>(r.code);
            }
            arr.push_back(j);
        }
        nlohmann::json done = {{"event", "result"}, {"ok", status == kExitOk}, {"exit", status}, {"studies", arr}};
        std::printf("%s\n", done.dump().c_str());
        return status;
    }
    for (const auto& r : results) {
        if (r.status == "exported") {
            if (!quiet) {
                std::printf("exported %s\n", r.study.c_str());
                for (const auto& f : r.files) std::printf("  %s\n", f.c_str());
                if (!r.kind.empty()) std::printf("  %s: %s\n", r.kind.c_str(), r.why.c_str());
                if (!r.hint.empty()) std::printf("  hint: %s\n", r.hint.c_str());
            }
        } else if (r.code != 0 || r.status == "cancelled") {
            // Studies refused before the export were reported already.
            char code[16];
            std::snprintf(code, sizeof code, "0x%08X", static_cast<uint32_t>(r.code));
            std::fprintf(stderr, "skrivo: %s: %s%s%s\n", r.study.c_str(), r.error.c_str(),
                         r.code ? " (" : "", r.code ? (std::string(code) + ")").c_str() : "");
        }
    }
    if (!quiet && results.size() > 1) {
        size_t ok = 0;
        for (const auto& r : results) ok += r.status == "exported";
        std::printf("%zu of %zu studies exported\n", ok, results.size());
    }
    return status;
}

} // namespace sk::cli

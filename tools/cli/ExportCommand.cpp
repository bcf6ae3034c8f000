// `skrivo export`: gathers the studies (arguments and lists, one shard of
// them when asked), skips those an earlier run completed, adds the rest to
// one engine, binds the chosen template (or lets the engine choose), applies
// the command-line overrides, lets the user edit each study's template when
// asked, runs the export with a progress display, records every study in the
// output folder's manifest, and cancels the export on Ctrl-C.

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <locale>
#include <sstream>
#include <map>
#include <mutex>
#include <optional>
#include <nlohmann/json.hpp>

#include "BidsExport.h"
#include "Cli.h"
#include "EditorGlue.h"
#include "FileDigests.h"
#include "Manifest.h"
#include "ProgressView.h"
#include "StudyList.h"
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
    std::string status; // exported, skipped, failed, cancelled
    std::string error;
    long code = 0;
    std::vector<std::string> files;
    std::string kind, why, hint; // kind of file written, the reason, a hint for EDF+D
    std::string templateName, format; // what the study was written with
    std::string outcome = "failed"; // complete, incomplete, failed
    std::vector<sk::ExportProblem> problems;
    std::vector<std::string> notices; // done otherwise than asked, nothing lost
};

const char* OutcomeName(sk::ExportOutcome o) {
    switch (o) {
    case sk::ExportOutcome::Complete: return "complete";
    case sk::ExportOutcome::Incomplete: return "incomplete";
    default: return "failed";
    }
}

nlohmann::json ProblemJson(const sk::ExportProblem& p) {
    nlohmann::json j = {{"file", Narrow(p.file)}, {"reason", Narrow(p.reason)}};
    if (p.skippedSeconds >= 0) j["skipped_seconds"] = std::round(p.skippedSeconds * 1000.0) / 1000.0;
    if (p.skippedNotes >= 0) j["skipped_notes"] = p.skippedNotes;
    if (p.skippedStages >= 0) j["skipped_stages"] = p.skippedStages;
    return j;
}

nlohmann::json ProblemsJson(const std::vector<sk::ExportProblem>& problems) {
    nlohmann::json a = nlohmann::json::array();
    for (const auto& p : problems) a.push_back(ProblemJson(p));
    return a;
}

// "FILE: REASON (skipped 12.5 s, 19 notes)".
std::string ProblemText(const sk::ExportProblem& p) {
    std::string text = Narrow(p.file) + ": " + Narrow(p.reason);
    std::vector<std::string> what;
    char buf[64];
    if (p.skippedSeconds >= 0) {
        std::snprintf(buf, sizeof buf, "%.1f s", p.skippedSeconds);
        what.push_back(buf);
    }
    if (p.skippedNotes >= 0) what.push_back(std::to_string(p.skippedNotes) + " notes");
    if (p.skippedStages >= 0) what.push_back(std::to_string(p.skippedStages) + " stages");
    for (size_t i = 0; i < what.size(); ++i) text += (i ? ", " : " (skipped ") + what[i];
    if (!what.empty()) text += ")";
    return text;
}

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
    else if (r.kind == "EDF+C" && gaps && IntOf(t->GetAt(L"SplitAtGaps"), 0) != 0 && !t->GetFillGaps())
        r.why = "the recording has gaps" + length + "; each part between them is a file of its own";
    else if (r.kind == "EDF+C")
        r.why = gaps ? "the recording's gaps" + length + " are padded with zeros and marked \"Recording gap\""
                     : "the recording has no gaps";
    else {
        r.why = "the recording has gaps" + length + " and the template does not pad them";
        r.hint = "EDFlib refuses EDF+D and some readers join its records end to end; --pad-gaps writes EDF+C with "
                 "every gap marked";
    }
}

// Data records and their total duration, from the EDF header of each file.
void CountRecords(const std::vector<std::string>& files, int64_t* records, double* seconds) {
    *records = 0;
    *seconds = 0;
    for (const auto& f : files) {
        char h[256] = {};
        std::ifstream in(f, std::ios::binary);
        if (!in.read(h, sizeof h)) continue;
        const int64_t n = std::strtoll(std::string(h + 236, 8).c_str(), nullptr, 10);
        double d = 0;
        std::istringstream ds(std::string(h + 244, 8));
        ds.imbue(std::locale::classic());
        ds >> d;
        if (n > 0) {
            *records += n;
            *seconds += static_cast<double>(n) * d;
        }
    }
}

std::string HostName() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return "";
    return host;
}

// What every manifest line of this run shares.
nlohmann::json LineFor(const std::string& study, const char* outcome, const std::string& reason) {
    nlohmann::json j = {{"study", study}, {"outcome", outcome}};
    if (!reason.empty()) j["reason"] = reason;
    j["skrivo"] = Version();
    j["host"] = HostName();
    return j;
}

// The studies this run exports: arguments and lists, sorted, then one shard.
// Subfolder names (when asked) come from the whole list so tasks agree.
bool GatherStudies(const ExportOptions& o, std::vector<std::string>* studies, std::vector<std::string>* subfolders,
                   std::string* error) {
    *studies = o.studies;
    for (const auto& list : o.lists)
        if (!ReadStudyListFile(list, studies, error)) return false;
    SortStudies(*studies);
    if (o.folderPerStudy) *subfolders = StudySubfolders(*studies);
    if (!o.shard.empty()) {
        const auto shard = ParseShard(o.shard, [](const char* n) { return std::getenv(n); }, error);
        if (!shard) return false;
        std::vector<std::string> s, f;
        for (size_t i : ShardPositions(studies->size(), *shard)) {
            s.push_back((*studies)[i]);
            if (o.folderPerStudy) f.push_back((*subfolders)[i]);
        }
        *studies = std::move(s);
        *subfolders = std::move(f);
    }
    return true;
}

} // namespace

int RunExport(const ExportOptions& o) {
    const bool json = o.mode == OutputMode::Json;
    const bool quiet = o.mode == OutputMode::Quiet;
    std::vector<StudyResult> results;

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

    // A BIDS export writes into a staging folder inside the dataset (the
    // output folder); the files take their dataset names once every study
    // is done.
    std::optional<sk::bids::CBidsWriter> bids;
    if (!o.bids.dir.empty()) {
        bids.emplace(BidsWriterOptions(o.bids, SKRIVO_VERSION));
        std::string err;
        if (!bids->Open(&err)) {
            std::fprintf(stderr, "skrivo: %s\n", err.c_str());
            return kExitUsage;
        }
    }

    auto usage = [&](const std::string& text) {
        std::fprintf(stderr, "skrivo: %s\n", text.c_str());
        if (json)
            std::printf("%s\n", nlohmann::json{{"event", "result"}, {"ok", false}, {"exit", kExitUsage},
                                               {"studies", nlohmann::json::array()}}.dump().c_str());
        return kExitUsage;
    };
    std::vector<std::string> studies, subfolders;
    {
        std::string err;
        if (!GatherStudies(o, &studies, &subfolders, &err)) return usage(err);
        if (studies.empty() && o.shard.empty()) return usage("no studies given (name them or use --from FILE)");
    }
    const std::wstring out = Widen(o.output);
    if (!sk::path::CreateDirectories(out)) {
        std::fprintf(stderr, "skrivo: cannot create output folder %s\n", o.output.c_str());
        return kExitFailed;
    }

    // Every study gets a manifest line; a line that cannot be written makes
    // the run fail, since a resume could not trust it.
    std::atomic<bool> manifestFailed{false};
    auto record = [&](const nlohmann::json& line) {
        std::string err;
        if (!AppendManifest(o.output, line, &err)) {
            std::fprintf(stderr, "skrivo: %s\n", err.c_str());
            manifestFailed = true;
        }
    };
    auto fail = [&](const std::string& study, const std::string& text) {
        StudyResult r;
        r.study = study;
        r.status = "failed";
        r.error = text;
        results.push_back(std::move(r));
        if (!json) std::fprintf(stderr, "skrivo: %s: %s\n", study.c_str(), text.c_str());
        nlohmann::json line = LineFor(StudyKey(study), "failed", text);
        line["start"] = line["end"] = UtcStamp(std::time(nullptr));
        record(line);
    };

    // Resume: a study whose latest line says complete and whose files still
    // match their hashes is not exported again. A study whose files are
    // replaced loses the parts of its earlier series this run does not
    // write again, as far as the manifest knows them.
    const bool replacing = o.overwrite || o.skipExisting;
    std::map<std::string, nlohmann::json> earlier;
    std::map<std::string, std::vector<nlohmann::json>> earlierFiles;
    if (replacing && !bids) {
        size_t unreadable = 0;
        std::string err;
        const auto lines = ReadManifest(o.output, &unreadable, &err);
        if (!err.empty()) return usage(err);
        if (unreadable && !quiet && !json)
            std::fprintf(stderr, "skrivo: %s: %zu unreadable lines ignored\n",
                         (std::filesystem::path(o.output) / kManifestName).c_str(), unreadable);
        if (o.skipExisting) earlier = LatestByStudy(lines);
        for (const auto& l : lines)
            for (const auto& f : l.value("files", nlohmann::json::array()))
                earlierFiles[l["study"].get<std::string>()].push_back(f);
    }

    CSkrivoEngine engine;
    LoadTemplateFolders(engine, false);
    if (o.jobs > 0) engine.SetNumParallelExports(o.jobs);
    // A resumed study was not complete: its earlier files are replaced.
    engine.SetOverwrite(replacing);

    CSkrivoTemplate* base = nullptr;
    if (!o.templateRef.empty()) {
        std::string err;
        base = ResolveTemplate(engine, o.templateRef, &err);
        if (!base) {
            std::fprintf(stderr, "skrivo: %s\n", err.c_str());
            return json ? PrintJsonResult(kExitUsage, {{"error", err}, {"studies", nlohmann::json::array()}}) : kExitUsage;
        }
    }
    if (!o.overrides.montage.empty() && !MontageExists(engine, o.overrides.montage)) {
        // A damaged file of that name is a file error, an unknown name a
        // usage error.
        std::string err = DamagedMontageFile(o.overrides.montage);
        const int exit = err.empty() ? kExitUsage : kExitFailed;
        if (err.empty()) err = "no montage named \"" + o.overrides.montage + "\"";
        std::fprintf(stderr, "skrivo: %s\n", err.c_str());
        return json ? PrintJsonResult(exit, {{"error", err}, {"studies", nlohmann::json::array()}}) : exit;
    }

    std::vector<std::wstring> added;
    std::map<std::wstring, std::wstring> rejected;
    std::map<std::wstring, std::string> subfolderOf;
    std::mutex publishedLock;
    std::map<std::wstring, std::vector<std::string>> published; // by the workers, read once they are done
    for (size_t i = 0; i < studies.size(); ++i) {
        const std::string& study = studies[i];
        if (auto it = earlier.find(StudyKey(study)); it != earlier.end() && it->second.value("outcome", "") == "complete") {
            std::vector<std::string> changed;
            if (FilesUnchanged(o.output, it->second, &changed)) {
                StudyResult r;
                r.study = study;
                r.status = "skipped";
                r.outcome = "complete";
                for (const auto& f : it->second["files"])
                    r.files.push_back((std::filesystem::path(o.output) / f.value("path", "")).string());
                results.push_back(std::move(r));
                record(LineFor(StudyKey(study), "skipped", "complete in an earlier run, files unchanged"));
                continue;
            }
            if (!quiet && !json)
                for (const auto& c : changed)
                    std::fprintf(stderr, "skrivo: %s: exporting again, %s\n", study.c_str(), c.c_str());
        }
        std::string err;
        if (!AddStudy(engine, study, base, &err)) {
            // The same study under another spelling is exported once.
            if (err.find("already in the export list") != std::string::npos) {
                if (!json) std::fprintf(stderr, "skrivo: %s: %s\n", study.c_str(), err.c_str());
                continue;
            }
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
        if (o.folderPerStudy) subfolderOf[id] = subfolders[i];
        // The entry is in the list now and cannot leave it; a study whose
        // template cannot take the overrides fails when its turn comes.
        if (!ApplyOverrides(*t, o.overrides, entry ? &entry->GetStudyInfo() : nullptr, engine, &err))
            rejected[id] = Widen(err);
    }
    sk::ExportJob inner = CSkrivoEngine::WriterJob();
    if (!rejected.empty()) {
        inner = [rejected, writer = std::move(inner)](CExportDetails& e, int32_t& code, std::wstring& text) {
            auto it = rejected.find(e.GetStudyId());
            if (it == rejected.end()) return writer(e, code, text);
            code = static_cast<int32_t>(0x80070057u);
            text = it->second;
            return false;
        };
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

    int status = results.empty() || std::all_of(results.begin(), results.end(), [](const StudyResult& r) {
        return r.status == "skipped";
    }) ? kExitOk : kExitFailed;
    if (!added.empty()) {
        ProgressView::Style style = json    ? ProgressView::Style::Json
                                    : quiet ? ProgressView::Style::Quiet
                                            : ProgressView::StyleFor(stderr);
        std::vector<ProgressView::Study> shown;
        for (const auto& id : added) shown.push_back({id, engine.EstimateSize(id.c_str())});
        ProgressView view(style, std::move(shown), json ? stdout : stderr);
        // Runs on the worker that exported the study: its own subfolder, then
        // its manifest line, with the files' hashes taken as they were
        // written (read back only where that was not possible).
        engine.SetExportJob([&, inner](CExportDetails& e, int32_t& code, std::wstring& text) {
            const int64_t start = std::time(nullptr);
            bool ok = false;
            FileDigests digests(e.GetSpareProcessor());
            e.SetOutputObserver(&digests);
            if (auto sub = subfolderOf.find(e.GetStudyId()); sub != subfolderOf.end()) {
                const std::wstring folder = sk::path::Combine(out, Widen(sub->second));
                e.SetOutputFolder(folder);
                // Subfolders are unique per study: a file name shared in the
                // output folder itself is no collision here.
                e.SetRefusal(L"");
                if (!sk::path::CreateDirectories(folder)) {
                    code = static_cast<int32_t>(0x80070003u);
                    text = L"cannot create output folder " + folder;
                }
            }
            if (!code) ok = inner(e, code, text);
            e.SetOutputObserver(nullptr);
            // Every file this export gave its final name, whatever its end:
            // a cancelled export keeps the records it wrote (incomplete, as
            // its result says), a failed one may have salvaged a file (still
            // failed, but the file is there and is accounted for).
            const std::vector<std::string> files = digests.Published();
            const std::string key = StudyKey(Narrow(e.GetStudyId()));
            // Known earlier parts go only when files are being replaced, and
            // only after an export that reached the recording's end: a failed
            // or cancelled one wrote fewer parts because it stopped.
            const auto known = earlierFiles.find(key);
            const StaleParts stale = bids ? StaleParts{} : RemoveStaleParts(
                o.output, files, known == earlierFiles.end() ? std::vector<nlohmann::json>{} : known->second,
                ok ? nullptr : "this export did not finish");
            for (const auto& f : stale.removed)
                e.AddNotice(Widen("removed " + f + ", a part of this study's earlier export that this export did "
                                  "not write again"));
            for (const auto& f : stale.left)
                e.AddNotice(Widen("left in place, named like a part of this export but not written by it: " + f));
            {
                std::lock_guard<std::mutex> lock(publishedLock);
                published[e.GetStudyId()] = files;
            }
            const std::vector<sk::ExportProblem> problems = e.GetProblems();
            const bool kept = ok || (e.IsCancelled() && !files.empty());
            nlohmann::json line = LineFor(key, !kept ? "failed" : ok && problems.empty() ? "complete" : "incomplete",
                                          ok ? "" : Narrow(text));
            if (!problems.empty()) line["problems"] = ProblemsJson(problems);
            for (const auto& n : e.GetNotices()) line["notices"].push_back(Narrow(n));
            nlohmann::json described = nlohmann::json::array();
            std::string err;
            if (!DescribeFiles(o.output, files, &digests, &described, &err)) {
                line["outcome"] = "failed";
                line["reason"] = ok ? err : Narrow(text) + "; " + err;
                ok = false;
            }
            int64_t records = 0, bytes = 0;
            double seconds = 0;
            CountRecords(files, &records, &seconds);
            for (const auto& f : described) bytes += f["bytes"].get<int64_t>();
            line["files"] = described;
            line["records"] = records;
            line["duration_s"] = seconds;
            const CSkrivoTemplate* t = e.GetTemplate();
            line["template"] = t ? Narrow(t->GetName()) : "";
            line["start"] = UtcStamp(start);
            line["end"] = UtcStamp(std::time(nullptr));
            record(line);
            view.StudyEnded(e.GetStudyId(), ok, bytes);
            return ok;
        });
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
            if (auto f = published.find(id); f != published.end()) r.files = f->second;
            r.problems = e->GetProblems();
            for (const auto& n : e->GetNotices()) r.notices.push_back(Narrow(n));
            r.outcome = OutcomeName(e->GetOutcome());
            int32_t code = 0;
            std::wstring text;
            if (r.outcome == "failed" && status == kExitOk) status = kExitFailed;
            if (e->IsDone()) {
                r.status = "exported";
                DescribeKind(*e, r);
                if (const CSkrivoTemplate* t = e->GetTemplate()) {
                    r.templateName = Narrow(t->GetName());
                    r.format = t->GetExportType() == CSkrivoTemplate::FormatEDFPlus ? "EDF+" : "EDF";
                }
                if (bids) bids->Add(BidsStudyOf(*e, r.files));
            } else if (e->GetError(code, text)) {
                r.status = "failed";
                r.code = code;
                r.error = Narrow(text);
                // A file another study of this run writes is never replaced.
                if (code == static_cast<int32_t>(0x80070050u) && e->GetRefusal().empty())
                    r.error += " (--overwrite replaces it)";
            } else {
                r.status = "cancelled";
                r.error = "Export was cancelled";
                // Never started, so its job wrote no line; the manifest
                // still accounts for it.
                if (!e->IsTaken()) {
                    nlohmann::json line = LineFor(StudyKey(r.study), "failed", "not started: the export was cancelled");
                    line["start"] = line["end"] = UtcStamp(std::time(nullptr));
                    record(line);
                }
            }
            results.push_back(std::move(r));
        }
    }
    if (bids) {
        std::vector<std::pair<std::string, std::string>> failed;
        std::string err;
        if (!bids->Finish(failed, &err)) {
            std::fprintf(stderr, "skrivo: %s\n", err.c_str());
            status = kExitFailed;
        }
        if (!quiet)
            for (const std::string& line : bids->UnusedMapLines()) std::fprintf(stderr, "skrivo: %s\n", line.c_str());
        for (auto& r : results) {
            if (r.status != "exported") continue;
            r.files = bids->PlacedFiles(r.study);
            for (const auto& [study, why] : failed)
                if (study == r.study) {
                    r.status = "failed";
                    r.error = why;
                    r.code = static_cast<int32_t>(0x80004005u);
                    status = kExitFailed;
                }
        }
        if (!json && !quiet)
            std::printf("BIDS dataset %s%s%s\n", o.bids.dir.c_str(), bids->KeyFile().empty() ? "" : ", key file ",
                        bids->KeyFile().c_str());
    }

    if (manifestFailed && status == kExitOk) status = kExitFailed;
    if (status == kExitOk)
        for (const auto& r : results)
            if (r.outcome == "incomplete") status = kExitIncomplete;
    if (json) {
        nlohmann::json arr = nlohmann::json::array();
        for (const auto& r : results) {
            nlohmann::json j = {{"study", r.study}, {"status", r.status}, {"outcome", r.outcome}, {"files", r.files}};
            if (!r.kind.empty()) j["kind"] = r.kind;
            if (!r.format.empty()) {
                j["template"] = r.templateName;
                j["format"] = r.format;
            }
            j["problems"] = ProblemsJson(r.problems);
            if (!r.notices.empty()) j["notices"] = r.notices;
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
        // What could not be read, or what a failed study left behind.
        for (const auto& p : r.problems)
            std::fprintf(stderr, "skrivo: %s: %s\n", r.study.c_str(), ProblemText(p).c_str());
        if (r.status == "exported" || r.status == "skipped") {
            if (!quiet) {
                std::printf("%s %s%s\n", r.status == "skipped" ? "skipped (complete before)" : "exported",
                            r.study.c_str(), r.outcome == "incomplete" ? " (incomplete)" : "");
                for (const auto& f : r.files) std::printf("  %s\n", f.c_str());
                if (!r.format.empty())
                    std::printf("  template %s, %s\n",
                                r.templateName.empty() ? "(default)" : ("\"" + r.templateName + "\"").c_str(),
                                r.format.c_str());
                if (!r.kind.empty()) std::printf("  %s: %s\n", r.kind.c_str(), r.why.c_str());
                if (!r.hint.empty()) std::printf("  hint: %s\n", r.hint.c_str());
                for (const auto& n : r.notices) std::printf("  note: %s\n", n.c_str());
            }
        } else if (r.code != 0 || r.status == "cancelled") {
            // Studies refused before the export were reported already.
            char code[16];
            std::snprintf(code, sizeof code, "0x%08X", static_cast<uint32_t>(r.code));
            std::fprintf(stderr, "skrivo: %s: %s%s%s\n", r.study.c_str(), r.error.c_str(),
                         r.code ? " (" : "", r.code ? (std::string(code) + ")").c_str() : "");
            for (const auto& n : r.notices) std::fprintf(stderr, "skrivo: %s: note: %s\n", r.study.c_str(), n.c_str());
        }
    }
    if (!quiet && results.size() > 1) {
        size_t ok = 0, skipped = 0, incomplete = 0;
        for (const auto& r : results) {
            ok += r.status == "exported";
            skipped += r.status == "skipped";
            incomplete += r.outcome == "incomplete";
        }
        std::printf("%zu of %zu studies exported", ok, results.size());
        if (incomplete) std::printf(", %zu incomplete", incomplete);
        if (skipped) std::printf(", %zu complete before", skipped);
        std::printf("\n");
    }
    if (!quiet && !json && results.empty() && !o.shard.empty())
        std::printf("shard %s has no studies\n", o.shard.c_str());
    return status;
}

} // namespace sk::cli

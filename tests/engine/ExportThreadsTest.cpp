// The export threads driven through the replaceable export job, so that the
// scheduling, reporting and cancellation of the engine are tested without
// real studies. Run under ThreadSanitizer by the test script.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "EngineTestUtil.h"
#include "engine/SkrivoEngine.h"
#include "platform/Log.h"
#include "platform/Sync.h"
#include "writer/ExportDetails.h"

namespace {

constexpr int32_t kCancelled = static_cast<int32_t>(0x800704C7u);

struct Report {
    std::wstring study, file;
    float percent;
};
struct ErrorReport {
    std::wstring study;
    long code;
    std::wstring text;
};

class Recorder : public ISkrivoProgress {
public:
    void OnProgress(const wchar_t* study, const wchar_t* file, float percent) override {
        std::lock_guard<std::mutex> g(mu);
        progress.push_back({study, file, percent});
        threads.insert(std::this_thread::get_id());
    }
    void OnError(const wchar_t* study, long code, const wchar_t* text) override {
        std::lock_guard<std::mutex> g(mu);
        errors.push_back({study, code, text});
        threads.insert(std::this_thread::get_id());
    }
    std::vector<Report> Progress() {
        std::lock_guard<std::mutex> g(mu);
        return progress;
    }
    std::vector<ErrorReport> Errors() {
        std::lock_guard<std::mutex> g(mu);
        return errors;
    }
    size_t ThreadCount() {
        std::lock_guard<std::mutex> g(mu);
        return threads.size();
    }
    std::mutex mu;
    std::vector<Report> progress;
    std::vector<ErrorReport> errors;
    std::set<std::thread::id> threads;
};

// A job that "writes" ticks steps, sleeping between them, and fails studies
// whose id starts with "bad". It reports progress like the record writer.
struct FakeJob {
    int ticks = 4;
    int sleepMs = 5;
    std::shared_ptr<std::mutex> mu = std::make_shared<std::mutex>();
    std::shared_ptr<std::set<std::thread::id>> workerThreads = std::make_shared<std::set<std::thread::id>>();
    std::shared_ptr<std::atomic<int>> running = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::atomic<int>> maxRunning = std::make_shared<std::atomic<int>>(0);

    bool operator()(CExportDetails& e, int32_t& code, std::wstring& text) const {
        {
            std::lock_guard<std::mutex> g(*mu);
            workerThreads->insert(std::this_thread::get_id());
        }
        const int now = ++*running;
        int seen = maxRunning->load();
        while (now > seen && !maxRunning->compare_exchange_weak(seen, now)) {
        }
        e.SetCurrentFile(e.GetStudyId() + L".EDF");
        bool ok = true;
        for (int i = 0; i < ticks; ++i) {
            bool cancelled = false;
            if (e.ReportProgress(100.0f * i / ticks, &cancelled)) {
                code = kCancelled;
                text = L"Export was cancelled";
                ok = false;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
        }
        --*running;
        if (ok && e.GetStudyId().rfind(L"bad", 0) == 0) {
            code = static_cast<int32_t>(0x80070005u);
            text = L"Access is denied.";
            return false;
        }
        return ok;
    }
};

void AddEntries(CSkrivoEngine& engine, const std::vector<std::wstring>& ids) {
    for (const auto& id : ids)
        ASSERT_TRUE(engine.AddExportEntry(new CExportDetails(id, L"/studies/" + id + L"/", id, nullptr)));
}

bool WaitDone(CSkrivoEngine& engine, int ms = 20000) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (engine.IsDone()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Waits until every entry has left the list (done, failed or cancelled) and
// the monitor has closed the worker handles: Cancel afterwards returns at once.
void FinishByCancel(CSkrivoEngine& engine) { engine.Cancel(); }

// Every engine reads its settings from the registry: keep that private.
class ExportThreads : public ::testing::Test {
protected:
    sk::enginetest::ScopedRegistry reg;
};

} // namespace

TEST_F(ExportThreads, MoreEntriesThanWorkersAllExportOnceAndReportRisingProgress) {
    CSkrivoEngine engine;
    const int workers = engine.SetNumParallelExports(2);
    FakeJob job;
    engine.SetExportJob(job);
    AddEntries(engine, {L"s1", L"s2", L"s3", L"s4", L"s5"});
    Recorder rec;
    engine.Export(L"/out", &rec, false);
    ASSERT_TRUE(WaitDone(engine));
    engine.Cancel(); // after a normal end: returns at once

    EXPECT_LE(job.maxRunning->load(), workers);
    EXPECT_LE(job.workerThreads->size(), static_cast<size_t>(workers));
    EXPECT_TRUE(rec.Errors().empty());
    EXPECT_EQ(rec.ThreadCount(), 1u) << "callbacks come from the monitor thread only";

    std::map<std::wstring, std::vector<float>> perStudy;
    std::vector<float> overall;
    for (const auto& r : rec.Progress()) {
        if (r.study.empty()) {
            EXPECT_TRUE(r.file.empty());
            overall.push_back(r.percent);
        } else {
            EXPECT_EQ(r.file, r.study + L".EDF");
            perStudy[r.study].push_back(r.percent);
        }
    }
    ASSERT_EQ(perStudy.size(), 5u);
    for (const auto& [study, values] : perStudy) {
        for (size_t i = 1; i < values.size(); ++i) EXPECT_GT(values[i], values[i - 1]) << "study reported without rise";
        EXPECT_EQ(values.back(), 100.0f);
    }
    ASSERT_FALSE(overall.empty());
    EXPECT_EQ(overall.back(), 100.0f);
    for (size_t i = 0; i < engine.GetExportCount(); ++i) EXPECT_TRUE(engine.GetExportAt(i)->IsDone());
}

TEST_F(ExportThreads, FailingEntriesAreReportedOnceAndCountAsFinished) {
    CSkrivoEngine engine;
    FakeJob job;
    engine.SetExportJob(job);
    AddEntries(engine, {L"good1", L"bad1", L"good2", L"bad2", L"good3"});
    Recorder rec;
    engine.Export(L"/out", &rec, false);
    // The monitor leaves when every entry is done or failed; Cancel waits for it.
    for (int i = 0; i < 2000; ++i) {
        bool all = true;
        for (size_t k = 0; k < engine.GetExportCount(); ++k) {
            const CExportDetails* e = engine.GetExportAt(k);
            all = all && (e->IsDone() || e->IsFailed());
        }
        if (all) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(600)); // two monitor passes
    FinishByCancel(engine);

    const auto errors = rec.Errors();
    ASSERT_EQ(errors.size(), 2u);
    std::set<std::wstring> failed;
    for (const auto& e : errors) {
        failed.insert(e.study);
        EXPECT_EQ(e.code, static_cast<long>(static_cast<int32_t>(0x80070005u)));
        EXPECT_EQ(e.text, L"Access is denied.");
    }
    EXPECT_EQ(failed, (std::set<std::wstring>{L"bad1", L"bad2"}));
    const auto progress = rec.Progress();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().study, L"");
    EXPECT_EQ(progress.back().percent, 100.0f) << "failed studies count as 100 in the overall mean";
    EXPECT_FALSE(engine.IsDone()) << "a failed entry keeps the export from being done";
}

TEST_F(ExportThreads, CancelDuringExportStopsEveryThreadAndLeavesEntriesUnmarked) {
    CSkrivoEngine engine;
    FakeJob job;
    job.ticks = 100000; // would run for minutes
    job.sleepMs = 1;
    engine.SetExportJob(job);
    AddEntries(engine, {L"a", L"b", L"c", L"d"});
    Recorder rec;
    engine.Export(L"/out", &rec, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    engine.Cancel();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    const size_t reportsAtCancel = rec.Progress().size() + rec.Errors().size();

    int taken = 0;
    for (size_t i = 0; i < engine.GetExportCount(); ++i) {
        const CExportDetails* e = engine.GetExportAt(i);
        EXPECT_FALSE(e->IsDone());
        EXPECT_FALSE(e->IsFailed());
        if (e->IsTaken()) {
            ++taken;
            EXPECT_TRUE(e->IsCancelled());
        }
    }
    EXPECT_EQ(taken, engine.GetNumParallelExports()) << "entries never taken stay untaken";
    EXPECT_FALSE(engine.IsDone());
    EXPECT_TRUE(rec.Errors().empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(rec.Progress().size() + rec.Errors().size(), reportsAtCancel) << "no report after Cancel";
    engine.Cancel(); // second cancel only signals again
}

TEST_F(ExportThreads, EmptyListRunsOnlyTheMonitorAndIsDone) {
    CSkrivoEngine engine;
    Recorder rec;
    engine.Export(L"/out", &rec, false);
    ASSERT_TRUE(WaitDone(engine, 5000));
    engine.Cancel();
    const auto progress = rec.Progress();
    ASSERT_EQ(progress.size(), 1u);
    EXPECT_EQ(progress[0].study, L"");
}

TEST_F(ExportThreads, DestroyingTheEngineDuringAnExportWaitsForIt) {
    FakeJob job;
    job.ticks = 20;
    Recorder rec;
    std::vector<const CExportDetails*> seen;
    {
        CSkrivoEngine engine;
        engine.SetExportJob(job);
        AddEntries(engine, {L"x", L"y", L"z"});
        engine.Export(L"/out", &rec, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } // destructor blocks until the export has finished
    EXPECT_EQ(job.running->load(), 0);
    std::set<std::wstring> completed;
    for (const auto& r : rec.Progress())
        if (!r.study.empty() && r.percent == 100.0f) completed.insert(r.study);
    EXPECT_EQ(completed, (std::set<std::wstring>{L"x", L"y", L"z"}));
}

TEST_F(ExportThreads, EntryWithoutTemplateFailsWithAClearError) {
    CSkrivoEngine engine; // default job: the EDF writer
    AddEntries(engine, {L"orphan"});
    Recorder rec;
    engine.Export(L"/out", &rec, false);
    for (int i = 0; i < 500 && rec.Errors().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    engine.Cancel();
    const auto errors = rec.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].study, L"orphan");
    EXPECT_EQ(errors[0].code, static_cast<long>(static_cast<int32_t>(0x80070057u)));
    EXPECT_EQ(errors[0].text, L"No export template is bound to this study.");
}

TEST_F(ExportThreads, ThrowingJobFailsOnlyItsEntry) {
    CSkrivoEngine engine;
    engine.SetExportJob([](CExportDetails& e, int32_t&, std::wstring&) -> bool {
        if (e.GetStudyId() == L"boom") throw std::runtime_error("disk on fire");
        return true;
    });
    AddEntries(engine, {L"ok1", L"boom", L"ok2"});
    Recorder rec;
    engine.Export(L"/out", &rec, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    engine.Cancel();
    ASSERT_EQ(rec.Errors().size(), 1u);
    EXPECT_EQ(rec.Errors()[0].text, L"Unexpected failure: disk on fire");
    EXPECT_TRUE(engine.GetExportAt(0)->IsDone());
    EXPECT_TRUE(engine.GetExportAt(2)->IsDone());
}

TEST_F(ExportThreads, NullCallbackExportsSilently) {
    CSkrivoEngine engine;
    engine.SetExportJob(FakeJob{});
    AddEntries(engine, {L"q1", L"q2", L"q3"});
    engine.Export(L"/out", nullptr, false);
    EXPECT_TRUE(WaitDone(engine));
}

TEST_F(ExportThreads, ParallelismIsClampedAndFrozenWhileExporting) {
    CSkrivoEngine engine;
    const int cpus = static_cast<int>(sk::ProcessorCount());
    EXPECT_EQ(engine.GetNumParallelExports(), std::min(4, cpus));
    EXPECT_EQ(engine.SetNumParallelExports(0), 1);
    EXPECT_EQ(engine.SetNumParallelExports(-7), 1);
    EXPECT_EQ(engine.SetNumParallelExports(cpus + 5), cpus);
    engine.Export(L"/out", nullptr, false);
    sk::LogCapture log;
    EXPECT_EQ(engine.SetNumParallelExports(1), -1);
    EXPECT_TRUE(log.Contains(L"CSkrivoEngine::SetNumParallelExports - export in progress.", 8));
    EXPECT_EQ(engine.GetNumParallelExports(), cpus);
}

// A host whose callbacks throw: the export is cancelled and the engine still
// waits for every worker before the monitor ends, so nothing runs on into a
// destroyed engine.
TEST_F(ExportThreads, ThrowingCallbacksCancelAndWaitForTheWorkers) {
    struct Thrower : Recorder {
        bool inProgress;
        explicit Thrower(bool p) : inProgress(p) {}
        void OnProgress(const wchar_t* s, const wchar_t* f, float p) override {
            if (inProgress && *s) throw std::runtime_error("host progress view broke");
            Recorder::OnProgress(s, f, p);
        }
        void OnError(const wchar_t*, long, const wchar_t*) override { throw 42; }
    };
    for (bool inProgress : {true, false}) {
        FakeJob job;
        job.ticks = 100000; // would run for minutes unless cancelled
        job.sleepMs = 1;
        Thrower rec(inProgress);
        {
            CSkrivoEngine engine;
            engine.SetExportJob([job](CExportDetails& e, int32_t& code, std::wstring& text) {
                if (e.GetStudyId() == L"bad") {
                    code = static_cast<int32_t>(0x80070005u);
                    text = L"Access is denied.";
                    return false;
                }
                return job(e, code, text);
            });
            engine.SetNumParallelExports(2);
            AddEntries(engine, {L"bad", L"long1", L"long2"});
            engine.Export(L"/out", &rec, false);
            ASSERT_TRUE(engine.WaitForExport(20000)) << inProgress;
            EXPECT_EQ(job.running->load(), 0) << "a worker outlived the monitor";
            engine.Cancel();
        }
        EXPECT_EQ(job.running->load(), 0);
    }
}

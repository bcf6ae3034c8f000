// Drives the built `skrivo` program on simulated studies and checks its exit
// status, its messages and, with EDFlib's reader, the files it wrote.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include <edflib.h>

#include "platform/KeyTree.h"
#include "platform/recording/Montage.h"
#include "support/EdfCheck.h"
#include "support/TempDir.h"
#include "tools/simulator/StudySimulator.h"

#ifndef SKRIVO_CLI_PATH
#error "SKRIVO_CLI_PATH must name the skrivo program"
#endif

extern char** environ;
namespace fs = std::filesystem;

namespace {

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

std::string Slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class Cli : public ::testing::Test {
protected:
    sk::test::TempDir dir{"skrivo-cli"};

    // Starts skrivo with the arguments (and a private configuration folder);
    // onStart may act on the running process before it is waited for.
    RunResult Skrivo(std::vector<std::string> args, const std::function<void(pid_t)>& onStart = {}) {
        args.insert(args.begin(), {SKRIVO_CLI_PATH, "--config", (dir / "config").string()});
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        RunResult r;
        if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) return r;
        posix_spawn_file_actions_destroy(&fa);
        if (onStart) onStart(pid);
        int ws = 0;
        waitpid(pid, &ws, 0);
        r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        r.out = Slurp(out);
        r.err = Slurp(err);
        return r;
    }

    fs::path Simulate(const std::string& name, double seconds, int group = 1, uint32_t seed = 1,
                      std::vector<sk::sim::SimGap> gaps = {}) {
        sk::sim::SimOptions o;
        o.gaps = std::move(gaps);
        o.folder = dir / name;
        o.sampleRate = 128;
        o.durationSeconds = seconds;
        o.studyGroup = group;
        o.seed = seed;
        o.studyName = std::wstring(name.begin(), name.end());
        const auto r = sk::sim::SimulateStudy(o);
        EXPECT_TRUE(r.ok);
        return o.folder;
    }
};

struct EdfFacts {
    bool ok = false;
    int filetype = -1, signals = 0;
    long long records = 0, recordDuration = 0;
};

EdfFacts ReadEdf(const fs::path& path) {
    EdfFacts f;
    edf_hdr_struct hdr{};
    if (edfopen_file_readonly(path.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS) != 0) {
        f.filetype = hdr.filetype;
        return f;
    }
    f.ok = true;
    f.filetype = hdr.filetype;
    f.signals = hdr.edfsignals;
    f.records = hdr.datarecords_in_file;
    f.recordDuration = hdr.datarecord_duration;
    // Every sample of every signal must be readable to the end.
    std::vector<int> buf(1 << 16);
    for (int s = 0; s < hdr.edfsignals && f.ok; ++s) {
        long long left = hdr.signalparam[s].smp_in_file;
        while (left > 0) {
            const int n = static_cast<int>(std::min<long long>(left, static_cast<long long>(buf.size())));
            if (edfread_digital_samples(hdr.handle, s, n, buf.data()) != n) {
                f.ok = false;
                break;
            }
            left -= n;
        }
    }
    edfclose_file(hdr.handle);
    return f;
}

std::vector<fs::path> EdfFiles(const fs::path& folder) {
    std::vector<fs::path> v;
    if (fs::exists(folder))
        for (const auto& e : fs::directory_iterator(folder))
            if (e.path().extension() == ".edf" || e.path().extension() == ".EDF") v.push_back(e.path());
    std::sort(v.begin(), v.end());
    return v;
}

} // namespace

TEST_F(Cli, ExportsSeveralStudiesAndReportsTheBrokenOne) {
    const fs::path a = Simulate("alpha", 20);
    const fs::path b = Simulate("beta", 30, 2, 5);
    fs::create_directories(dir / "broken");
    std::ofstream(dir / "broken" / "broken.EEG") << "this is not a study file";
    const fs::path out = dir / "out";

    RunResult r = Skrivo({"export", a.string(), (dir / "broken").string(), b.string(), "-o", out.string(), "-j", "2",
                    "--format", "edf+", "--pad-gaps"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("exported " + a.string()), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("exported " + b.string()), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 of 3 studies exported"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("skrivo: " + (dir / "broken").string() + ": "), std::string::npos) << r.err;

    const auto files = EdfFiles(out);
    ASSERT_EQ(files.size(), 2u);
    for (const auto& f : files) {
        const EdfFacts facts = ReadEdf(f);
        ASSERT_TRUE(facts.ok) << f << " filetype " << facts.filetype;
        EXPECT_EQ(facts.filetype, EDFLIB_FILETYPE_EDFPLUS);
        const sk::test::EdfFile strict(f.string());
        EXPECT_TRUE(strict.Ok()) << strict.Error();
        EXPECT_EQ(strict.Header().reserved.rfind("EDF+C", 0), 0u);
        EXPECT_GT(facts.signals, 0);
        // The records cover the recording (20 or 30 seconds), the last one
        // padded to a whole record.
        const double expected = f.stem() == "alpha" ? 20.0 : 30.0;
        const double record = facts.recordDuration / 1e7;
        const double seconds = facts.records * record;
        EXPECT_GE(seconds, expected) << f;
        EXPECT_LT(seconds, expected + record) << f;
    }
}

TEST_F(Cli, JsonResultsAndSplitFiles) {
    const fs::path a = Simulate("gamma", 30);
    const fs::path out = dir / "json";
    RunResult r = Skrivo({"export", a.string(), "-o", out.string(), "--json", "--format", "edf", "--max-duration", "10"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    std::istringstream lines(r.out);
    std::string line, last;
    int progress = 0;
    while (std::getline(lines, line)) {
        const auto j = nlohmann::json::parse(line); // every line is JSON
        if (j["event"] == "progress") ++progress;
        last = line;
    }
    EXPECT_GT(progress, 0);
    const auto result = nlohmann::json::parse(last);
    EXPECT_EQ(result["event"], "result");
    EXPECT_EQ(result["ok"], true);
    ASSERT_EQ(result["studies"].size(), 1u);
    const auto& filesJson = result["studies"][0]["files"];
    ASSERT_EQ(filesJson.size(), 3u) << "30 s split into files of 10 s";
    long long records = 0;
    for (const auto& f : filesJson) {
        const EdfFacts facts = ReadEdf(f.get<std::string>());
        ASSERT_TRUE(facts.ok) << f;
        EXPECT_EQ(facts.filetype, 0);
        records += facts.records;
    }
    EXPECT_GT(records, 0);
}

TEST_F(Cli, HelpVersionUsageAndProbe) {
    RunResult v = Skrivo({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("skrivo ", 0), 0u) << v.out;
    for (const char* cmd : {"export", "probe", "estimate", "templates", "simulate", "demo"}) {
        RunResult h = Skrivo({cmd, "--help"});
        EXPECT_EQ(h.status, 0) << cmd;
        EXPECT_NE(h.out.find("Usage"), std::string::npos) << cmd << h.out;
    }
    EXPECT_EQ(Skrivo({"export", "-o", "x"}).status, 2) << "a study is required";
    EXPECT_EQ(Skrivo({"export", "s", "-o", "x", "--format", "bdf"}).status, 2);
    EXPECT_EQ(Skrivo({"frobnicate"}).status, 2);

    const fs::path a = Simulate("delta", 10);
    RunResult p = Skrivo({"probe", a.string(), "--json"});
    ASSERT_EQ(p.status, 0) << p.err;
    const auto j = nlohmann::json::parse(p.out);
    EXPECT_EQ(j["headbox_type"], 1);
    EXPECT_EQ(j["sample_rate_hz"], 128.0);
    EXPECT_EQ(j["samples"]["total"], 1280);
    EXPECT_GT(j["estimated_bytes"].get<long long>(), 0);

    RunResult e = Skrivo({"estimate", a.string(), (dir / "missing").string()});
    EXPECT_EQ(e.status, 1);
    EXPECT_NE(e.out.find(" bytes"), std::string::npos);
    EXPECT_NE(e.err.find("could not find study at"), std::string::npos) << e.err;
}

TEST_F(Cli, StoredTemplatesRoundTrip) {
    RunResult n = Skrivo({"templates", "new", "Short/Run", "--headbox", "1", "--format", "edf+", "--events"});
    ASSERT_EQ(n.status, 0) << n.err;
    EXPECT_TRUE(fs::exists(dir / "config" / "Short_Run.exp"));
    EXPECT_EQ(Skrivo({"templates", "new", "Short/Run"}).status, 1) << "exists already";
    RunResult l = Skrivo({"templates", "list", "--json"});
    ASSERT_EQ(l.status, 0);
    const auto list = nlohmann::json::parse(l.out);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["name"], "Short/Run");
    EXPECT_EQ(list[0]["trigger_events"], true);

    const fs::path a = Simulate("eps", 10);
    RunResult x = Skrivo({"export", a.string(), "-o", (dir / "t").string(), "--template", "Short/Run", "-q"});
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_TRUE(x.out.empty()) << x.out;
    ASSERT_EQ(EdfFiles(dir / "t").size(), 1u);
    EXPECT_EQ(ReadEdf(EdfFiles(dir / "t")[0]).filetype, EDFLIB_FILETYPE_EDFPLUS);
    EXPECT_EQ(Skrivo({"export", a.string(), "-o", (dir / "u").string(), "--template", "Nope"}).status, 2);

    EXPECT_EQ(Skrivo({"templates", "delete", "Short/Run"}).status, 0);
    EXPECT_FALSE(fs::exists(dir / "config" / "Short_Run.exp"));
}

TEST_F(Cli, InterruptCancelsAndLeavesValidFiles) {
    const fs::path a = Simulate("long", 30 * 60);
    const fs::path out = dir / "cut";
    RunResult r = Skrivo({"export", a.string(), "-o", out.string(), "--format", "edf"}, [&](pid_t pid) {
        // Interrupt once the output file has data records in it.
        for (int i = 0; i < 15000; ++i) {
            const auto files = EdfFiles(out);
            if (!files.empty() && fs::file_size(files[0]) > 1000000) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        kill(pid, SIGINT);
    });
    ASSERT_EQ(r.status, 130) << r.out << r.err;
    EXPECT_NE(r.err.find("Export was cancelled"), std::string::npos) << r.err;
    const auto files = EdfFiles(out);
    ASSERT_EQ(files.size(), 1u);
    const EdfFacts facts = ReadEdf(files[0]);
    EXPECT_TRUE(facts.ok) << "the cancelled file is closed with its record count";
    EXPECT_GT(facts.records, 0);
    EXPECT_LT(facts.records * facts.recordDuration / 1e7, 30 * 60 - 1);
}

TEST_F(Cli, UnpaddedGapsGiveADiscontinuousFileThatBiosigReads) {
    const fs::path a = Simulate("gappy", 40, 1, 3, {{10.0, 4.0, false}, {25.0, 6.0, true}});
    const fs::path out = dir / "d";
    RunResult r = Skrivo({"export", a.string(), "-o", out.string(), "--format", "edf+", "--no-pad-gaps"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto files = EdfFiles(out);
    ASSERT_EQ(files.size(), 1u);
    const sk::test::EdfFile strict(files[0].string());
    ASSERT_TRUE(strict.Ok()) << strict.Error();
    EXPECT_EQ(strict.Header().reserved.rfind("EDF+D", 0), 0u);
    const sk::test::BiosigRead read = sk::test::ReadWithBiosig(files[0].string());
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_GT(read.channels, 0);
    EXPECT_EQ(static_cast<int64_t>(read.records), strict.Header().records);
    // The records hold at least the recorded 40 s.
    EXPECT_GE(strict.Header().records * strict.Header().duration, 40.0 - 1e-9);
}

TEST_F(Cli, MontageOverrideUsesTheUsersMontagesAndRejectsUnknownOnes) {
    fs::create_directories(dir / "config");
    CMontage referential(1);
    ASSERT_EQ(referential.Load(static_cast<const CKeyTree*>(nullptr)), 0);
    referential.SetMontageName(L"Referential");
    ASSERT_EQ(referential.Save((dir / "config" / "Referential.mtg").wstring()), 0);
    const fs::path a = Simulate("zeta", 10);
    const fs::path b = Simulate("eta", 10, 1, 2);

    RunResult ok = Skrivo({"export", a.string(), "-o", (dir / "m").string(), "--montage", "referential"});
    ASSERT_EQ(ok.status, 0) << ok.err;
    const sk::test::EdfFile f(EdfFiles(dir / "m").at(0).string());
    ASSERT_TRUE(f.Ok()) << f.Error();
    EXPECT_EQ(f.Header().ns, referential.GetChannelCount());

    // The studies are in the export list before the montage is looked for:
    // each fails with the reason, and nothing is written for them.
    RunResult bad = Skrivo({"export", a.string(), b.string(), "-o", (dir / "n").string(), "--montage", "Nope"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("no montage named \"Nope\" for headbox type 1"), std::string::npos) << bad.err;
    EXPECT_TRUE(EdfFiles(dir / "n").empty());
}

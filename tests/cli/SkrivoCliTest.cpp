// Drives the built `skrivo` program on simulated studies and checks its exit
// status, its messages and the files it wrote: after every test, each EDF file
// left under the test's folder must pass the strict checker and, unless it is
// EDF+D (which EDFlib refuses), be read whole by EDFlib with every
// annotation. Then the BIDS export judged by the official validator, and
// study lists, shards and the manifest below the program.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/recording/Montage.h"
#include "support/EdfCheck.h"
#include "support/EdfLibRead.h"
#include "support/TempDir.h"
#include "tools/cli/FileDigests.h"
#include "tools/cli/Manifest.h"
#include "tools/cli/StudyList.h"
#include "tools/simulator/StudySimulator.h"

#ifndef SKRIVO_CLI_PATH
#error "SKRIVO_CLI_PATH must name the skrivo program"
#endif

extern char** environ;
namespace fs = std::filesystem;

namespace {

constexpr auto npos = std::string::npos;

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

std::string Slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Every line of --json output, parsed.
std::vector<nlohmann::json> JsonLines(const std::string& out) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

std::vector<fs::path> EdfFiles(const fs::path& folder) {
    std::vector<fs::path> v;
    if (fs::exists(folder))
        for (const auto& e : fs::directory_iterator(folder))
            if (e.path().extension() == ".edf" || e.path().extension() == ".EDF") v.push_back(e.path());
    std::sort(v.begin(), v.end());
    return v;
}

// Overwrites one byte of a file (at < 0: from its end), keeping its size.
void Poke(const fs::path& p, std::streamoff at, char byte) {
    std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(at, at < 0 ? std::ios::end : std::ios::beg);
    f.put(byte);
}
auto flipData = [](const fs::path& edf) { Poke(edf, sk::test::EdfFile(edf.string()).Header().headerBytes + 1, 'Z'); };

std::string Reserved(const fs::path& edf) { return sk::test::EdfFile(edf.string()).Header().reserved.substr(0, 5); }

class Cli : public ::testing::Test {
protected:
    sk::test::TempDir dir{"skrivo-cli"};
    // Environment of the next runs: variables removed, then "NAME=value"
    // added (ahead of the inherited ones); a program that starts skrivo
    // (xvfb-run); a terminal for its standard error instead of a file.
    std::vector<std::string> unsetEnv, addEnv, launcher;
    int errFd = -1;

    void TearDown() override {
        for (const auto& e : fs::recursive_directory_iterator(dir.path()))
            if (e.path().extension() == ".edf" || e.path().extension() == ".EDF") sk::test::ReadChecked(e.path().string());
    }

    // Starts skrivo with the arguments (and a private configuration folder);
    // onStart may act on the running process before it is waited for.
    RunResult Skrivo(std::vector<std::string> args, const std::function<void(pid_t)>& onStart = {}) {
        args.insert(args.begin(), {SKRIVO_CLI_PATH, "--config", (dir / "config").string()});
        args.insert(args.begin(), launcher.begin(), launcher.end());
        std::vector<std::string> env = addEnv;
        for (char** e = environ; *e; ++e) {
            const std::string var(*e);
            if (std::find(unsetEnv.begin(), unsetEnv.end(), var.substr(0, var.find('='))) == unsetEnv.end())
                env.push_back(var);
        }
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        for (auto& e : env) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (errFd < 0) posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        else posix_spawn_file_actions_adddup2(&fa, errFd, 2);
        pid_t pid = 0;
        RunResult r;
        const int spawned = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        if (spawned != 0) return r;
        if (onStart) onStart(pid);
        int ws = 0;
        waitpid(pid, &ws, 0);
        r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        r.out = Slurp(out);
        r.err = errFd < 0 ? Slurp(err) : "";
        return r;
    }

    fs::path Simulate(const std::string& name, double seconds, int group = 1, uint32_t seed = 1,
                      std::vector<sk::sim::SimGap> gaps = {}, int decimation = 0) {
        sk::sim::SimOptions o;
        o.decimation = decimation;
        o.gaps = std::move(gaps);
        o.folder = dir / name;
        o.sampleRate = 128;
        o.durationSeconds = seconds;
        o.studyGroup = group;
        o.seed = seed;
        o.studyName = std::wstring(name.begin(), name.end());
        EXPECT_TRUE(sk::sim::SimulateStudy(o).ok);
        return o.folder;
    }
};

} // namespace

// Several studies at once, one of them broken, split into files of 10 s:
// the text report, then the JSON lines of the same run.
TEST_F(Cli, ExportsSeveralStudiesSplitsThemAndReportsTheBrokenOne) {
    const fs::path a = Simulate("alpha", 20), b = Simulate("beta", 30, 2, 5), broken = dir / "broken";
    fs::create_directories(broken);
    std::ofstream(broken / "broken.EEG") << "this is not a study file";
    std::vector<std::string> args = {"export",  a.string(), broken.string(), b.string(), "-j", "2",  "--format",
                                     "edf+", "--pad-gaps", "--max-duration", "10", "-o", (dir / "text").string()};
    RunResult r = Skrivo(args);
    EXPECT_EQ(r.status, 1) << r.err;
    for (const std::string& says : std::vector<std::string>{"exported " + a.string(), "exported " + b.string(),
                                                            "2 of 3 studies exported", "  EDF+C: the recording has no gaps\n"})
        EXPECT_NE(r.out.find(says), npos) << says << "\n" << r.out;
    EXPECT_NE(r.err.find("skrivo: " + broken.string() + ": "), npos) << r.err;
    // Progress lines from the first started study to the final figures.
    EXPECT_EQ(r.err.find(" 0 running"), npos) << r.err;
    EXPECT_NE(r.err.find("100% 2/2 done | "), npos) << r.err;
    EXPECT_GE(EdfFiles(dir / "text").size(), 5u) << "20 s and 30 s in files of 10 s at most";

    args.back() = (dir / "json").string();
    args.push_back("--json");
    r = Skrivo(args);
    EXPECT_EQ(r.status, 1) << r.err;
    const auto lines = JsonLines(r.out); // every line is JSON
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& j) { return j["event"] == "progress"; }));
    const auto& result = lines.back();
    EXPECT_EQ(result["event"], "result");
    EXPECT_EQ(result["ok"], false);
    ASSERT_EQ(result["studies"].size(), 3u);
    for (const auto& study : result["studies"]) {
        const bool failed = study["study"] == broken.string();
        EXPECT_EQ(study["outcome"], failed ? "failed" : "complete");
        if (failed) continue;
        EXPECT_EQ(study["template"], "") << "the engine's default";
        EXPECT_EQ(study["format"], "EDF+");
        // Split by --max-duration (what the files hold is the writer tests' business).
        EXPECT_GE(study["files"].size(), study["study"] == a.string() ? 2u : 3u) << study.dump();
        for (const std::string f : study["files"]) EXPECT_EQ(Reserved(f), "EDF+C") << f;
    }
}

TEST_F(Cli, HelpVersionUsageAndProbe) {
    const RunResult v = Skrivo({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("skrivo ", 0), 0u) << v.out;
    // Each help names its command's usage; the editor is offered.
    const std::pair<std::string, const char*> helps[] = {
        {"export", "--edit"}, {"probe", ""},    {"estimate", ""},       {"templates", "  edit "},
        {"simulate", ""},     {"demo", ""},     {"templates edit", ""},
    };
    for (const auto& [command, says] : helps) {
        std::vector<std::string> args;
        std::istringstream words(command + " --help");
        for (std::string w; words >> w;) args.push_back(w);
        const RunResult h = Skrivo(args);
        EXPECT_EQ(h.status, 0) << command;
        EXPECT_TRUE(h.out.find("Usage") != npos && h.out.find(says) != npos) << command << h.out;
    }

    // Each usage error names what is wrong, exits 2 and, with --json, ends in
    // a result line.
    const std::pair<std::vector<std::string>, const char*> usage[] = {
        {{"export", "-o", "x"}, "no studies given"},
        {{"export", "s", "-o", "x", "--format", "bdf"}, "--format: bdf not in {edf,edf+}"},
        {{"frobnicate"}, "unknown command \"frobnicate\" (skrivo --help"},
        {{"exprot", "s"}, "unknown command \"exprot\"; did you mean \"export\"?"},
        {{"templates", "lsit"}, "did you mean \"templates list\"?"},
        {{"export", "s", "-o", "x", "-j", "0"}, "--jobs: \"0\" is not a whole number of 1 or more"},
        {{"export", "s", "-o", "x", "--extension", "../evil"}, "\"../evil\" is not a file extension"},
        {{"export", "s", "-o", "x", "--template", "Nope"}, "no stored template"},
        {{"estimate", "s", "--montage", "Nope"}, "no montage named \"Nope\""},
        {{"templates", "edit"}, "NAME is required"},
        {{"templates", "edit", "X", "--modality", "ECG"}, "--modality: ECG not in {EEG,Sleep}"},
    };
    for (const auto& [args, says] : usage) {
        const RunResult r = Skrivo(args);
        EXPECT_EQ(r.status, 2) << says;
        EXPECT_NE(r.err.find(says), npos) << r.err;
        std::vector<std::string> json = args;
        json.push_back("--json");
        const RunResult j = Skrivo(json);
        ASSERT_FALSE(j.out.empty()) << says;
        const auto last = JsonLines(j.out).back();
        EXPECT_TRUE(j.status == 2 && last["event"] == "result" && last["exit"] == 2) << says << j.out;
    }

    const fs::path a = Simulate("delta", 10);
    const RunResult p = Skrivo({"probe", a.string(), "--json"});
    ASSERT_EQ(p.status, 0) << p.err;
    const auto probe = JsonLines(p.out);
    ASSERT_EQ(probe.size(), 2u) << p.out;
    EXPECT_TRUE(probe[0]["event"] == "study" && probe[0]["headbox_type"] == 1 && probe[0]["sample_rate_hz"] == 128.0 &&
                probe[0]["samples"]["total"] == 1280 && probe[0]["estimated_bytes"] > 0 && probe[1]["ok"] == true) << p.out;

    // Decimated data asked of a study without a copy: noted as the export notes it.
    const RunResult e = Skrivo({"estimate", a.string(), (dir / "missing").string(), "--decimated"});
    EXPECT_EQ(e.status, 1);
    EXPECT_NE(e.out.find("iB\n  note: the study has no decimated copy"), npos) << e.out;
    EXPECT_NE(e.err.find("could not find study at"), npos) << e.err;
    const auto est = JsonLines(Skrivo({"estimate", a.string(), (dir / "missing").string(), "--json", "--decimated"}).out);
    ASSERT_EQ(est.size(), 3u);
    EXPECT_EQ(est[0]["event"], "estimate");
    EXPECT_EQ(est[0]["notices"].at(0).get<std::string>().rfind("the study has no decimated copy", 0), 0u) << est[0];
    EXPECT_EQ(est[2]["exit"], 1);
    EXPECT_EQ(est[2]["total_bytes"], est[0]["bytes"]);

    // A size limit that cannot hold the header and one record is refused,
    // not written as hundreds of files.
    const RunResult tiny = Skrivo({"export", a.string(), "-o", (dir / "tiny").string(), "--max-size", "1000"});
    EXPECT_EQ(tiny.status, 1);
    EXPECT_NE(tiny.err.find("below the header and one data record"), npos) << tiny.err;
    EXPECT_TRUE(EdfFiles(dir / "tiny").empty());
    // One beyond any file (the largest the option takes) splits nothing.
    EXPECT_EQ(Skrivo({"export", a.string(), "-o", (dir / "huge").string(), "--max-size", "9223372036854775807"}).status, 0);
    EXPECT_EQ(EdfFiles(dir / "huge").size(), 1u);
}

// Stored templates and montages are used by name.
TEST_F(Cli, StoredTemplatesAndMontagesRoundTrip) {
    const RunResult none = Skrivo({"templates", "list"});
    EXPECT_NE(none.out.find("no stored templates in " + (dir / "config").string() + ", "), npos) << none.out;
    const RunResult n = Skrivo({"templates", "new", "Short/Run", "--headbox", "1", "--format", "edf+", "--events"});
    ASSERT_EQ(n.status, 0) << n.err;
    EXPECT_TRUE(fs::exists(dir / "config" / "Short_Run.exp"));
    EXPECT_EQ(Skrivo({"templates", "new", "Short/Run"}).status, 1) << "exists already";
    const RunResult l = Skrivo({"templates", "list", "--json"});
    ASSERT_EQ(l.status, 0);
    const auto list = JsonLines(l.out);
    ASSERT_EQ(list.size(), 2u) << "one template and the result";
    EXPECT_EQ(list[0]["name"], "Short/Run");
    EXPECT_EQ(list[0]["trigger_events"], true);
    EXPECT_EQ(list[1]["templates"], 1);

    const fs::path a = Simulate("eps", 10);
    const RunResult x = Skrivo({"export", a.string(), "-o", (dir / "t").string(), "--template", "Short/Run", "-q"});
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_TRUE(x.out.empty()) << x.out;
    ASSERT_EQ(EdfFiles(dir / "t").size(), 1u);
    EXPECT_EQ(Reserved(EdfFiles(dir / "t")[0]), "EDF+C");
    EXPECT_EQ(Skrivo({"templates", "delete", "Short/Run"}).status, 0);
    EXPECT_FALSE(fs::exists(dir / "config" / "Short_Run.exp"));

    CMontage referential(1);
    ASSERT_EQ(referential.Load(static_cast<const CKeyTree*>(nullptr)), 0);
    referential.SetMontageName(L"Referential");
    ASSERT_EQ(referential.Save((dir / "config" / "Referential.mtg").wstring()), 0);
    const RunResult m = Skrivo({"export", a.string(), "-o", (dir / "m").string(), "--montage", "referential"});
    ASSERT_EQ(m.status, 0) << m.err;
    EXPECT_EQ(sk::test::EdfFile(EdfFiles(dir / "m").at(0).string()).Header().ns, referential.GetChannelCount());
}

// Accents, other scripts and emoji in the patient and in the folders, under
// locales whose character sets cannot (C) or can hold them: files keep the
// name's UTF-8 bytes, the header its ASCII rendering.
TEST_F(Cli, NamesInAnyScriptWorkInEveryLocale) {
    struct Name {
        std::string patient, last, first, header;
    };
    const Name names[] = {
        {"van der Berg, Zoë", "van der Berg", "Zoë", "van_der_Berg,Zoe"},
        {"Straße-Müller, Søren Éric", "Straße-Müller", "Søren Éric", "Strasse-Mueller,Soeren_Eric"},
        {"王 🙂, Ana", "王 🙂", "Ana", "X,Ana"},
    };
    for (const std::string locale : {"C", "C.UTF-8", "de_DE.UTF-8"}) {
        SCOPED_TRACE(locale);
        addEnv = {"LC_ALL=" + locale};
        const fs::path root = dir / ("Ordner ø 王 🙂 " + locale);
        std::vector<std::string> exportAll = {"export", "-o", (root / "named").string(), "--format", "edf+"};
        for (const Name& name : names) {
            const fs::path study = root / name.patient;
            RunResult r = Skrivo({"simulate", study.string(), "--patient", name.patient, "--minutes", "0.1"});
            ASSERT_EQ(r.status, 0) << name.patient << r.err;
            r = Skrivo({"probe", study.string(), "--json"});
            ASSERT_EQ(r.status, 0) << r.err;
            const auto patient = JsonLines(r.out).at(0)["patient"];
            EXPECT_TRUE(patient["last_name"] == name.last && patient["first_name"] == name.first) << r.out;
            exportAll.push_back(study.string());
        }
        ASSERT_EQ(Skrivo(exportAll).status, 0);
        const auto files = EdfFiles(root / "named");
        ASSERT_EQ(files.size(), std::size(names));
        for (const Name& name : names) {
            const auto f = std::find_if(files.begin(), files.end(), [&](const fs::path& p) {
                return p.filename().string().rfind(name.last + "~ " + name.first + "_", 0) == 0;
            });
            ASSERT_NE(f, files.end()) << name.patient;
            const std::string patient = sk::test::EdfFile(f->string()).Header().patient;
            EXPECT_NE(patient.find(" " + name.header + " "), npos) << patient;
        }
    }
}

TEST_F(Cli, OutcomesExitStatusesCollisionsAndExistingOutputs) {
    const fs::path a = Simulate("kappa", 10), copy = dir / "site2" / "kappa", out = dir / "o";
    fs::create_directories(copy.parent_path());
    fs::copy(a, copy); // another study of the same name
    // What, arguments, exit status, outcomes per result in order, a text of the last result.
    const std::tuple<std::string, std::vector<std::string>, int, std::vector<std::string>, std::string> steps[] = {
        // One study under three spellings is one entry; the copy would write
        // the same file and fails naming the first.
        {"collision", {a.string(), a.string() + "/", (a / "kappa.EEG").string(), copy.string()}, 1,
         {"complete", "failed"}, "output file is also the output of study " + a.string() + "\""}, // no --overwrite hint
        {"skip", {a.string(), "--skip-existing"}, 0, {"complete"}, "skipped"},
        {"exists", {a.string()}, 1, {"failed"}, "output file already exists"},
        {"damaged notes", {a.string(), "--overwrite"}, 3, {"incomplete"}, "kappa.ENT"},
        // A rerun in fewer parts removes the earlier parts the manifest knows
        // unchanged, and only names a changed one and one it does not know.
        {"split", {a.string(), "--overwrite", "--max-duration", "4"}, 3, {"incomplete"}, "kappa_002.edf"},
        // A failed export's salvaged file (a file size limit) is in the
        // manifest, which verify checks and a resume does not take as done;
        // having stopped early, it leaves the earlier parts.
        {"salvaged", {a.string(), "--overwrite"}, 1, {"failed"}, "the file holds the data records that could be written"},
        {"fewer parts", {a.string(), "--overwrite"}, 3, {"incomplete"}, "removed " + (out / "kappa_001.edf").string()},
        // An incomplete study is exported again on resume, replacing its file.
        {"resume", {a.string(), "--skip-existing"}, 3, {"incomplete"}, "kappa.ENT"},
    };
    for (const auto& [what, studyArgs, status, outcomes, message] : steps) {
        SCOPED_TRACE(what);
        if (what == "fewer parts") {
            flipData(out / "kappa_002.edf");
            fs::copy(out / "kappa_001.edf", out / "kappa_003.edf");
        }
        if (what == "salvaged") launcher = {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 150; exec \"$0\" \"$@\""};
        if (what == "skip") // a line of other types (a hand edit) is passed over, not thrown on
            std::ofstream(out / "manifest.jsonl", std::ios::app) << R"({"study": "x", "outcome": 5})" << "\n";
        if (what == "damaged notes") { // once
            Poke(a / "kappa.ENT", 200, '\x7f');
            std::ofstream(out / "kappa.edf.skrivo-1.tmp") << "left by an export that was killed";
        }
        std::vector<std::string> args = {"export", "-o", out.string(), "--json", "--format", "edf+"};
        args.insert(args.end(), studyArgs.begin(), studyArgs.end());
        const RunResult r = Skrivo(args);
        EXPECT_EQ(r.status, status) << r.err;
        const auto result = nlohmann::json::parse(r.out.substr(r.out.rfind("{\"event\":\"result\"")));
        EXPECT_EQ(result["exit"], status);
        ASSERT_EQ(result["studies"].size(), outcomes.size()) << result.dump();
        for (size_t i = 0; i < outcomes.size(); ++i) EXPECT_EQ(result["studies"][i]["outcome"], outcomes[i]);
        const auto& last = result["studies"].back();
        EXPECT_NE(last.dump().find(message), npos) << last.dump();
        EXPECT_TRUE(status != 3 || last["problems"][0]["skipped_notes"].get<int>() > 0) << last.dump();
        EXPECT_EQ(last["files"].empty(), what == "exists" || what == "collision") << "only what this run wrote";
        launcher.clear();
        for (const auto& [row, says] : std::vector<std::pair<std::string, std::string>>{
                 {"fewer parts", "kappa_002.edf: it changed since"}, {"fewer parts", "kappa_003.edf: the manifest does not"},
                 {"salvaged", "kappa_001.edf: this export did not finish"}}) // after the split, kept, not removed
            EXPECT_TRUE(what != row || last.value("notices", nlohmann::json()).dump().find(says) != npos) << last.dump();
        if (what != "salvaged") continue;
        // What the file lacks is told from its last whole record on, not
        // from where reading stopped.
        const auto held = sk::test::EdfFile((out / "kappa.edf").string()).Header();
        for (const auto& p : last["problems"])
            if (p.dump().find("could be written") != npos) {
                EXPECT_NEAR(held.records * held.duration + p["skipped_seconds"].get<double>(), 10.0, 0.01) << p.dump();
                EXPECT_LT(held.records * held.duration, 10.0) << "the limit cuts the file";
            }
        flipData(out / "kappa.edf"); // recorded, so verify sees the change
        EXPECT_NE(Skrivo({"manifest", "verify", out.string()}).out.find("changed: " + (out / "kappa.edf").string()), npos);
    }
    // Only the finished file and the parts left in place, never a temporary
    // one (a killed export's too), and the damaged notes cost no signal.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(out))
        if (e.path().extension() != ".jsonl") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"kappa.edf", "kappa_002.edf", "kappa_003.edf"}));
    EXPECT_GT(sk::test::EdfFile((out / "kappa.edf").string()).Header().ns, 3);
}

TEST_F(Cli, FailuresNameTheFileAndWhatIsWrong) {
    const fs::path s = Simulate("lambda", 4);
    auto flip = [](const fs::path& p) { Poke(p, static_cast<std::streamoff>(fs::file_size(p) / 2), '\x55'); };
    // Each case damages a copy of the study and exports what it returns, with
    // more options; the message names what is wrong.
    const std::tuple<std::function<std::string(const fs::path&)>, std::vector<std::string>, std::string> cases[] = {
        {[&](const fs::path& d) { flip(d / "lambda.EEG"); return d.string(); }, {}, "lambda.EEG: "},
        {[&](const fs::path& d) { flip(d / "lambda.STC"); return d.string(); }, {}, "lambda.STC: "},
        {[](const fs::path& d) { fs::remove(d / "lambda.ERD"); return d.string(); }, {}, "lambda.ERD: "},
        {[](const fs::path&) { return "/dev/null"; }, {}, "/dev/null is neither a study folder"},
        // A damaged montage file is a file error, not an unknown name.
        {[&](const fs::path& d) {
             std::ofstream(dir / "config" / "Broken.mtg") << "not a montage";
             return d.string();
         },
         {"--montage", "broken"}, "Broken.mtg: montage file is damaged: its data cannot be read"},
    };
    fs::create_directories(dir / "config");
    int n = 0;
    for (const auto& [damage, extra, message] : cases) {
        const fs::path d = dir / ("case" + std::to_string(n++));
        fs::copy(s, d);
        std::vector<std::string> args = {"export", damage(d), "-o", (dir / "out").string()};
        args.insert(args.end(), extra.begin(), extra.end());
        const RunResult r = Skrivo(args);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_NE(r.err.find(message), npos) << r.err;
    }
    // A dot in a study's name is part of the name, not an extension.
    const fs::path dotted = Simulate("mu.nu", 2);
    EXPECT_EQ(Skrivo({"export", dotted.string(), "-o", (dir / "dots").string()}).status, 0);
    EXPECT_TRUE(fs::exists(dir / "dots" / "mu.nu.edf"));
}

TEST_F(Cli, UnpaddedGapsGiveADiscontinuousFile) {
    const fs::path a = Simulate("gappy", 40, 1, 3, {{10.0, 4.0, false}, {25.0, 6.0, true}}), out = dir / "d";
    const RunResult r = Skrivo({"export", a.string(), "-o", out.string(), "--format", "edf+", "--no-pad-gaps"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  EDF+D: the recording has gaps (10 s in all) and the template does not pad them\n  hint: "),
              npos) << r.out;
    ASSERT_EQ(EdfFiles(out).size(), 1u);
    EXPECT_EQ(Reserved(EdfFiles(out)[0]), "EDF+D");
    const RunResult probe = Skrivo({"probe", a.string()});
    EXPECT_NE(probe.out.find("Gaps             10 s\n"), npos) << probe.out;
}

// --- the template editor -----------------------------------------------------

namespace {

const std::string kNeedsDisplay = "the template editor needs a display (set DISPLAY or run under xvfb-run)";
const std::string kNoEditor = "the template editor is not installed";

bool BuiltWithoutEditor(const RunResult& r) { return r.err.find(kNoEditor) != npos; }

ino_t Inode(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

TEST_F(Cli, EditorCommandsFailCleanlyWithoutADisplay) {
    ASSERT_EQ(Skrivo({"templates", "new", "Night", "--modality", "Sleep", "--headbox", "3"}).status, 0);
    const fs::path file = dir / "config" / "Sleep" / "Night.exp";
    const std::string stored = Slurp(file);
    ASSERT_FALSE(stored.empty());
    const std::string out = (dir / "out").string(), display = kNeedsDisplay;
    const std::vector<std::string> edit = {"templates", "edit", "Night"},
                                   exportEdit = {"export", Simulate("nodisplay", 5).string(), "-o", out, "--edit", "--json"};

    // Qt ends a process whose display does not answer, so each of these must
    // be caught before Qt is started.
    const std::tuple<const char*, std::vector<std::string>, std::vector<std::string>, std::string> cases[] = {
        {"no display at all", {}, edit, display},
        {"X server that is not running", {"DISPLAY=:4711"}, edit, display},
        {"X server by socket name", {"DISPLAY=unix:4711.0", "QT_QPA_PLATFORM=xcb"}, edit, display},
        {"X server over TCP that refuses", {"DISPLAY=127.0.0.1:4711"}, edit, display},
        {"no X server number", {"DISPLAY=nonsense"}, edit, display},
        {"xcb asked for without DISPLAY", {"QT_QPA_PLATFORM=xcb"}, edit, display},
        {"Wayland socket that does not exist", {"WAYLAND_DISPLAY=wayland-4711", "XDG_RUNTIME_DIR=/nonexistent"}, edit, display},
        {"export --edit", {}, exportEdit, "\"event\":\"result\",\"exit\":1,\"ok\":false"},
        {"no such template", {}, {"templates", "edit", "Nope"}, "no stored template named \"Nope\""},
        {"a sleep template as EEG", {}, {"templates", "edit", "Night", "--modality", "EEG"}, ""},
    };
    unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "SKRIVO_EDITOR_AUTOCLOSE"};
    for (const auto& [what, env, args, says] : cases) {
        addEnv = env;
        const RunResult r = Skrivo(args);
        EXPECT_EQ(r.status, 1) << what << r.err;
        EXPECT_TRUE((r.err + r.out).find(says) != npos || BuiltWithoutEditor(r)) << what << r.err << r.out;
        EXPECT_EQ(Slurp(file), stored) << what;
        EXPECT_TRUE(EdfFiles(out).empty()) << what << ": nothing is exported when the editor cannot open";
    }
}

// SKRIVO_EDITOR_AUTOCLOSE presses Cancel or OK as soon as the editor shows,
// on the offscreen platform or under a virtual X server.
TEST_F(Cli, EditorOkSavesTheTemplateAsItWasAndCancelLeavesTheFile) {
    const char* xvfb = "/usr/bin/xvfb-run";
    // Name, modality, headbox, more options, under the virtual X server.
    const std::tuple<std::string, std::string, const char*, std::vector<std::string>, bool> cases[] = {
        {"Routine", "EEG", "1", {"--format", "edf+", "--events"}, false},
        {"Night", "Sleep", "3", {"--no-pad-gaps", "--max-duration", "600"}, false},
        {"Breakouts", "EEG", "20", {"--deidentify"}, false},
        {"Virtual", "EEG", "2", {}, true},
    };
    unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    for (const auto& [name, modality, headbox, options, x] : cases) {
        SCOPED_TRACE(name);
        if (x && !fs::exists(xvfb)) continue; // xvfb-run is not installed
        std::vector<std::string> args = {"templates", "new", name, "--modality", modality, "--headbox", headbox};
        args.insert(args.end(), options.begin(), options.end());
        addEnv.clear();
        ASSERT_EQ(Skrivo(args).status, 0);
        const std::string before = Skrivo({"templates", "show", name}).out;
        const fs::path file = dir / "config" / (modality == "Sleep" ? "Sleep" : "") / (name + ".exp");
        const ino_t inode = Inode(file);
        ASSERT_NE(inode, 0u) << file;
        if (x) launcher = {xvfb, "-a"};
        for (const std::string press : {"cancel", "ok"}) {
            addEnv = {"SKRIVO_EDITOR_AUTOCLOSE=" + press};
            if (!x) addEnv.push_back("QT_QPA_PLATFORM=offscreen");
            const RunResult r = Skrivo({"templates", "edit", name});
            if (BuiltWithoutEditor(r)) GTEST_SKIP() << kNoEditor;
            const bool ok = press == "ok";
            EXPECT_EQ(r.status, ok ? 0 : 1) << r.err;
            EXPECT_NE(ok ? r.out.find("saved template \"" + name + "\"") : r.err.find("closed without OK"), npos)
                << r.out << r.err;
            EXPECT_EQ(Inode(file) == inode, !ok) << "Cancel writes nothing, OK saves the file again";
        }
        launcher.clear();
        addEnv.clear();
        // OK without a change keeps every key: modality, headbox, channel
        // names and ticks, options.
        EXPECT_EQ(Skrivo({"templates", "show", name}).out, before);
    }
}

TEST_F(Cli, ExportEditOpensTheEditorOnEachStudyBeforeExporting) {
    const fs::path a = Simulate("edit1", 5), b = Simulate("edit2", 5, 1, 2);
    unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY"};
    // Without a stored template the engine's default has no name: OK is
    // refused, the message box closed and the editor cancelled.
    for (const bool named : {false, true}) {
        addEnv.clear();
        ASSERT_TRUE(!named || Skrivo({"templates", "new", "Plus", "--format", "edf+"}).status == 0);
        addEnv = {"QT_QPA_PLATFORM=offscreen", "SKRIVO_EDITOR_AUTOCLOSE=ok"};
        const fs::path out = dir / (named ? "named" : "default");
        std::vector<std::string> args = {"export", a.string(), b.string(), "-o", out.string(), "--edit", "--json"};
        if (named) args.insert(args.end(), {"-t", "Plus"});
        const RunResult r = Skrivo(args);
        if (BuiltWithoutEditor(r)) GTEST_SKIP() << kNoEditor;
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> edited;
        bool exporting = false;
        for (const auto& j : JsonLines(r.out)) {
            if (j["event"] == "edit") {
                edited.push_back(j["study"]);
                EXPECT_EQ(j["changed"], named) << j;
                EXPECT_FALSE(exporting) << "every editor closes before the export starts";
            }
            exporting = exporting || j["event"] == "progress";
        }
        EXPECT_EQ(edited, (std::vector<std::string>{a.string(), b.string()}));
        ASSERT_EQ(EdfFiles(out).size(), 2u);
        for (const auto& f : EdfFiles(out)) EXPECT_TRUE(!named || Reserved(f) == "EDF+C") << f;
    }
}

// --- batches ---------------------------------------------------------------

// Study lists, shards, subfolder names and the manifest, below the program.
TEST(Batch, StudyListsNameEveryMissingPathAndSubfoldersAreNeverShared) {
    sk::test::TempDir dir("skrivo-list");
    const std::string a = (dir / "a").string(), b = (dir / "b.EEG").string(), gone = (dir / "gone").string();
    fs::create_directory(a);
    std::ofstream(b) << "";
    std::string many;
    for (int i = 0; i < 12; ++i) many += gone + std::to_string(i) + "\n";
    // A list, the studies it names, a part of the error message (empty: none).
    const std::tuple<std::string, std::vector<std::string>, std::string> cases[] = {
        {"# cohort A\n\n  " + a + "  \n\t\n" + b + "\r\n#" + gone + "\n", {a, b}, ""},
        {a + "\n\n" + gone + "\n", {}, "list:3: no such study folder or file: " + gone},
        {many, {}, "list: and 2 more missing"},
        {"", {}, ""},
    };
    for (const auto& [text, studies, error] : cases) {
        std::istringstream in(text);
        std::vector<std::string> got;
        std::string err;
        EXPECT_EQ(sk::cli::ReadStudyList(in, "list", &got, &err), error.empty()) << text << err;
        EXPECT_NE(err.find(error), npos) << err;
        EXPECT_TRUE(!error.empty() || got == studies) << text;
    }
    std::vector<std::string> none;
    std::string err;
    EXPECT_FALSE(sk::cli::ReadStudyListFile((dir / "no-list").string(), &none, &err));
    EXPECT_NE(err.find("cannot read the study list"), npos);
    // Subfolders are named after the study folders, never shared.
    std::vector<std::string> list = {"/d/x/night/", "/d/y/night", "/d/night-2/N.EEG", "/d/z/night/N.eeg", "/d/z/night"};
    sk::cli::SortStudies(list);
    EXPECT_EQ(list, (std::vector<std::string>{"/d/night-2/N.EEG", "/d/x/night", "/d/y/night", "/d/z/night",
                                              "/d/z/night/N.eeg"}));
    EXPECT_EQ(sk::cli::StudySubfolders(list), (std::vector<std::string>{"night-2", "night", "night-3", "night-4", "night-5"}));
}

TEST(Batch, EveryStudyLandsInExactlyOneShard) {
    for (size_t size : {0u, 1u, 7u, 10u}) {
        for (int n = 1; n <= static_cast<int>(size) + 2; ++n) {
            std::vector<int> seen(size, 0);
            size_t smallest = size, largest = 0;
            for (int k = 1; k <= n; ++k) {
                const auto part = sk::cli::ShardPositions(size, {k, n});
                smallest = std::min(smallest, part.size());
                largest = std::max(largest, part.size());
                for (size_t i : part) ++seen.at(i);
            }
            EXPECT_EQ(seen, std::vector<int>(size, 1)) << size << " studies, N=" << n;
            EXPECT_LE(largest - std::min(smallest, largest), 1u) << size << "/" << n;
        }
    }
    std::map<std::string, const char*> env = {{"SLURM_ARRAY_TASK_ID", "5"}, {"SLURM_ARRAY_TASK_MIN", "4"},
                                              {"SLURM_ARRAY_TASK_COUNT", "3"}};
    auto fromEnv = [&](const char* n) { return env.count(n) ? env[n] : nullptr; };
    // --shard's text, the shard it names (0, 0: refused).
    const std::tuple<const char*, int, int> cases[] = {{"2/5", 2, 5}, {"1/1", 1, 1}, {"slurm", 2, 3},
                                                       {"0/3", 0, 0}, {"4/3", 0, 0}, {"3", 0, 0},
                                                       {"a/b", 0, 0}, {"1/0", 0, 0}, {"1/2x", 0, 0}};
    for (const auto& [text, index, count] : cases) {
        std::string err;
        const auto s = sk::cli::ParseShard(text, fromEnv, &err);
        EXPECT_EQ(s ? std::make_pair(s->index, s->count) : std::make_pair(0, 0), std::make_pair(index, count)) << text;
        EXPECT_EQ(err.empty(), s.has_value()) << text;
    }
    env.clear();
    std::string err;
    EXPECT_FALSE(sk::cli::ParseShard("slurm", fromEnv, &err));
    EXPECT_NE(err.find("SLURM_ARRAY_TASK_ID"), npos);
}

TEST(Batch, ManifestLinesOfTwoProcessesNeverMix) {
    sk::test::TempDir dir("skrivo-manifest");
    // Lines well above the pipe buffer size, where unlocked appends tear.
    const std::string payload(20000, 'x');
    constexpr int kLines = 40;
    pid_t kids[2];
    for (int k = 0; k < 2; ++k) {
        kids[k] = fork();
        if (kids[k] == 0) {
            std::string err;
            for (int i = 0; i < kLines; ++i)
                if (!sk::cli::AppendManifest(dir.path().string(), {{"study", std::to_string(k)}, {"outcome", "complete"}, {"i", i}, {"p", payload}}, &err))
                    _exit(1);
            _exit(0);
        }
    }
    for (pid_t p : kids) {
        int ws = 0;
        waitpid(p, &ws, 0);
        EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
    }
    size_t bad = 0;
    std::string err;
    std::map<std::string, int> next;
    for (const auto& l : sk::cli::ReadManifest(dir.path().string(), &bad, &err))
        EXPECT_EQ(l["i"], next[l["study"]]++) << "each process's lines in its order";
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(next, (std::map<std::string, int>{{"0", kLines}, {"1", kLines}}));
}

// A file's digest taken on its way to the file, on the exporting thread and
// on one of its own: kept only when it is the digest of the published bytes.
TEST(Batch, DigestsOnTheWayAreOfThePublishedBytesOrNone) {
    struct Write {
        int64_t at, size; // size < 0: the file is cut to `at`
        char byte;
    };
    const struct {
        const char* what;
        std::vector<Write> writes;
        bool published, kept;
    } cases[] = {
        {"nothing written", {}, true, true},
        {"a header patched with its own bytes", {{0, 300, 'h'}, {300, 3 << 20, 'r'}, {236, 8, 'h'}}, true, true},
        {"a header patched with other bytes", {{0, 300, 'h'}, {300, 5000, 'r'}, {236, 8, 'n'}}, true, false},
        {"cut to whole records", {{0, 300, 'h'}, {300, 5000, 'r'}, {4300, -1, 0}}, true, false},
        {"a write past the end", {{0, 300, 'h'}, {400, 10, 'r'}}, true, false},
        {"not published", {{0, 300, 'h'}}, false, false},
    };
    sk::test::TempDir dir("skrivo-digests");
    const std::string path = (dir.path() / "x.edf").string();
    for (const bool onThread : {false, true})
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (onThread ? ", on a thread" : ""));
            sk::cli::FileDigests digests(onThread);
            digests.Started(std::wstring(path.begin(), path.end()));
            std::string bytes;
            for (const Write& w : c.writes) {
                const std::string run(static_cast<size_t>(std::max<int64_t>(w.size, 0)), w.byte);
                if (w.size < 0) digests.Resized(w.at);
                else digests.Wrote(w.at, run.data(), run.size());
                bytes.resize(w.size < 0 ? w.at : std::max<size_t>(bytes.size(), w.at + w.size));
                bytes.replace(w.at, run.size(), run);
            }
            digests.Ended(c.published);
            std::ofstream(path, std::ios::binary) << bytes;
            std::string err;
            const auto* d = digests.Find(path);
            ASSERT_EQ(d != nullptr, c.kept);
            if (!d) continue;
            EXPECT_EQ(d->sha256, c.writes.empty() ? "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
                                                  : sk::cli::Sha256File(path, &err));
            // Used for a file of its size only: one that grew since is read.
            std::ofstream(path, std::ios::app) << 'x';
            nlohmann::json files;
            ASSERT_TRUE(sk::cli::DescribeFiles(dir.path().string(), {path}, &digests, &files, &err)) << err;
            EXPECT_EQ(files[0]["sha256"], sk::cli::Sha256File(path, &err));
        }
}

// Six studies exported by a batch that is killed, then resumed; verify
// names a changed and a missing file, and the next run exports both again.
TEST_F(Cli, KilledBatchResumesWithoutRepeatsAndVerifyCatchesChanges) {
    std::vector<std::string> studies;
    for (int i = 0; i < 6; ++i) {
        const std::string name = "night" + std::to_string(i);
        Simulate(name, 120, 1, static_cast<uint32_t>(i + 1), {}, i == 0 ? 4 : 0);
        studies.push_back((dir / name / (name + ".EEG")).string());
    }
    const RunResult listed = Skrivo({"list", dir.path().string()});
    ASSERT_EQ(listed.status, 0) << listed.err;
    std::string expected;
    for (const auto& s : studies) expected += s + "\n";
    EXPECT_EQ(listed.out, expected) << "sorted, without the decimated copy";
    std::ofstream(dir / "list.txt") << "# six nights\n\n" << listed.out;

    const fs::path out = dir / "batch";
    const auto ManifestLines = [](const fs::path& folder) { return JsonLines(Slurp(folder / "manifest.jsonl")); };
    const std::vector<std::string> cmd = {"export", "--from", (dir / "list.txt").string(), "-o", out.string(),
                                          "-j", "1", "--folder-per-study", "--skip-existing", "-q"};
    const RunResult killed = Skrivo(cmd, [&](pid_t pid) {
        for (int i = 0; i < 30000 && ManifestLines(out).size() < 2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        kill(pid, SIGKILL);
    });
    ASSERT_EQ(killed.status, 128 + SIGKILL);
    const size_t before = ManifestLines(out).size();
    ASSERT_LT(before, studies.size()) << "killed in the middle of the batch";

    ASSERT_EQ(Skrivo(cmd).status, 0);
    std::map<std::string, int> complete, skipped;
    for (const auto& l : ManifestLines(out)) {
        ++(l["outcome"] == "complete" ? complete : skipped)[l["study"]];
        EXPECT_EQ(l["outcome"] == "complete", l["outcome"] != "skipped") << l;
    }
    for (const auto& s : studies) EXPECT_EQ(complete[s], 1) << s << ": exported once, not twice, not missed";
    EXPECT_EQ(skipped.size(), before);
    for (const auto& s : studies) EXPECT_EQ(EdfFiles(out / fs::path(s).parent_path().filename()).size(), 1u) << s;

    EXPECT_EQ(Skrivo({"manifest", "verify", out.string()}).status, 0);
    const auto summary = nlohmann::json::parse(Skrivo({"manifest", "summary", out.string(), "--json"}).out);
    EXPECT_EQ(summary["complete"], 6);
    EXPECT_EQ(summary["studies"], 6);
    const fs::path changed = EdfFiles(out / "night3").at(0), missing = EdfFiles(out / "night4").at(0);
    Poke(changed, -1, '\x7f'); // same size, other bytes
    fs::remove(missing);
    const RunResult verify = Skrivo({"manifest", "verify", out.string()});
    EXPECT_EQ(verify.status, 1);
    EXPECT_NE(verify.out.find("changed: " + changed.string()), npos) << verify.out;
    EXPECT_NE(verify.out.find("missing: " + missing.string()), npos) << verify.out;
    EXPECT_EQ(Skrivo(cmd).status, 0);
    EXPECT_EQ(Skrivo({"manifest", "verify", out.string()}).status, 0) << "the changed studies were exported again";
}

// The progress view on a pseudo-terminal of 24 x 80: forty studies run to
// the end; then, with each export held by the test hook after its first
// record until it is cancelled (so the resize lands mid-run on any machine),
// the terminal shrinks to 3 x 30. Every drawing must fit the size it was
// drawn for and move the cursor back exactly over itself.
TEST_F(Cli, ProgressOfFortyStudiesFitsTheTerminalAndFollowsItsSize) {
    std::ofstream list(dir / "forty.txt");
    for (int i = 0; i < 40; ++i) list << Simulate("s" + std::to_string(100 + i), 10, 1, static_cast<uint32_t>(i)).string() << "\n";
    list.close();
    // Runs the export on a fresh terminal; onOutput may act on the screen so far.
    auto run = [&](const std::string& out, bool hold, const std::function<void(pid_t, int, const std::string&)>& onOutput) {
        int master = -1;
        winsize ws{24, 80, 0, 0};
        EXPECT_EQ(openpty(&master, &errFd, nullptr, nullptr, &ws), 0);
        fcntl(master, F_SETFD, FD_CLOEXEC);
        unsetEnv = {"TERM", "SKRIVO_TEST_HOLD_EXPORT"};
        addEnv = {"TERM=xterm"};
        if (hold) addEnv.push_back("SKRIVO_TEST_HOLD_EXPORT=1");
        std::string screen;
        auto watch = [&](pid_t pid) {
            close(errFd);
            for (char buf[4096];;) {
                pollfd p{master, POLLIN, 0};
                if (poll(&p, 1, 60000) <= 0) break;
                const ssize_t n = read(master, buf, sizeof buf);
                if (n <= 0) break; // EIO once the program has ended
                screen.append(buf, static_cast<size_t>(n));
                onOutput(pid, master, screen);
            }
            kill(pid, SIGKILL); // held exports never end by themselves
        };
        const int status = Skrivo({"export", "--from", (dir / "forty.txt").string(), "-o", (dir / out).string(), "-j", "2"}, watch).status;
        close(master);
        errFd = -1;
        return std::make_pair(screen, status);
    };
    // Drawings start with "clear to the end of the screen"; the first one
    // after a resize may have been composed before it.
    size_t studyRows = 0;
    auto check = [&](const std::string& screen, size_t resizedAt) {
        const std::regex back("\x1b\\[(\\d+)F$");
        size_t at = screen.find("\x1b[J"), drawnSmall = 0;
        EXPECT_NE(at, npos);
        while (at != npos) {
            const size_t next = screen.find("\x1b[J", at + 3);
            std::string block = screen.substr(at + 3, next == npos ? npos : next - at - 3);
            std::smatch m;
            int movedBack = -1;
            if (std::regex_search(block, m, back)) {
                movedBack = std::stoi(m[1]);
                block.erase(static_cast<size_t>(m.position(0)));
            }
            // After the last drawing the outcomes follow as plain lines.
            if (next == npos) block.erase(std::min(block.size(), block.find('\n', block.find("/40 done")) + 1));
            const bool small = at > resizedAt && drawnSmall++ > 0;
            const size_t rows = small ? 3 : 24, columns = small ? 30 : 80;
            std::istringstream lines(block);
            size_t count = 0;
            for (std::string line; std::getline(lines, line); ++count) {
                if (!line.empty() && line.back() == '\r') line.pop_back(); // the terminal's newline mapping
                EXPECT_LT(line.size(), columns) << "wider than the terminal: " << line;
                studyRows += line.find('%') != npos;
            }
            EXPECT_LT(count, rows) << "more rows than fit: " << block;
            EXPECT_TRUE(movedBack < 0 || static_cast<size_t>(movedBack) == count) << block;
            at = next;
        }
        return drawnSmall;
    };

    const auto [all, allStatus] = run("all", false, [](pid_t, int, const std::string&) {});
    EXPECT_EQ(allStatus, 0) << all;
    check(all, npos);
    // No frame before a study has started, and the final figures once.
    EXPECT_EQ(all.find("\x1b[J0/40 done, 0 running"), npos) << all;
    EXPECT_TRUE(all.find("40/40 done | ") != npos && all.find("40/40 done | ") == all.rfind("40/40 done | ")) << all;

    size_t resizedAt = npos;
    bool interrupted = false;
    const auto [held, heldStatus] = run("held", true, [&](pid_t pid, int master, const std::string& screen) {
        const size_t lastDrawing = screen.rfind("\x1b[J");
        if (resizedAt == npos && lastDrawing != npos &&
            std::count(screen.begin() + static_cast<long>(lastDrawing), screen.end(), '%') >= 2) {
            const winsize small{3, 30, 0, 0};
            ioctl(master, TIOCSWINSZ, &small);
            resizedAt = screen.size();
        }
        size_t since = 0;
        for (size_t at = screen.find("\x1b[J", resizedAt); resizedAt != npos && at != npos;
             at = screen.find("\x1b[J", at + 3))
            ++since;
        if (since >= 3 && !interrupted) {
            kill(pid, SIGINT);
            interrupted = true;
        }
    });
    ASSERT_TRUE(interrupted) << held;
    EXPECT_EQ(heldStatus, 130) << held;
    // The cancelled files are closed with their record counts (read after the test).
    EXPECT_NE(held.find("Export was cancelled"), npos);
    size_t kept = 0; // their manifest lines say so too: incomplete, with the files they kept
    for (const auto& l : JsonLines(Slurp(dir / "held" / "manifest.jsonl")))
        EXPECT_TRUE(l.dump().find("export was cancelled;") == npos ||
                    (++kept && l["outcome"] == "incomplete" && !l["files"].empty())) << l.dump();
    EXPECT_GT(kept, 0u);
    EXPECT_GE(check(held, resizedAt), 3u);
    EXPECT_GT(studyRows, 0u) << "running studies are shown";
}

// --- BIDS -------------------------------------------------------------------

namespace {

std::vector<std::vector<std::string>> Tsv(const fs::path& p) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(Slurp(p));
    for (std::string line; std::getline(in, line);) {
        rows.emplace_back();
        std::istringstream cols(line);
        for (std::string c; std::getline(cols, c, '\t');) rows.back().push_back(c);
    }
    return rows;
}

} // namespace

// `skrivo export --bids` on simulated studies (EEG, sleep with gaps, a split
// study, two sessions of one subject, 6 studies through --from and -j 2),
// judged by the official BIDS validator and read back against the probe and
// the EDF+ annotations; then the mapping file's errors, re-exports into the
// dataset and the options around them. Every simulated study has a note
// naming its patient.
TEST_F(Cli, BidsDatasetPassesTheValidatorAndHoldsWhatTheFilesHold) {
    const std::string skrivo = std::string(SKRIVO_CLI_PATH) + " --config " + (dir / "config").string();
    auto run = [&](const std::string& args, const std::string& out = "/dev/null") {
        return std::system((skrivo + " " + args + " >" + out + " 2>&1").c_str());
    };
    const fs::path st = dir / "st", ds = dir / "ds";
    for (const char* study : {"a --minutes 0.3 --patient 'Roe, Jane' --seed 2",
                              "b --minutes 0.6 --patient 'Roe, Jane' --seed 3 --sleep --gaps",
                              "c --minutes 1 --patient 'Poe, Edgar' --seed 4"})
        ASSERT_EQ(run("simulate -q " + st.string() + "/" + study), 0) << study;
    auto probeOf = [&](const std::string& study) {
        run("probe --json " + study, (dir / "probe.json").string());
        const std::string text = Slurp(dir / "probe.json");
        return nlohmann::json::parse(text.substr(0, text.find('\n')));
    };
    // One study by its path, one by its GUID (each simulated study has its own).
    std::ofstream(dir / "map.tsv") << "study\tsubject\tsession\n" << (st / "a").string() << "\tp01\tday1\n"
                                   << probeOf((st / "b").string()).at("study_guid").get<std::string>()
                                   << "\tp01\tnight1\n";
    std::ofstream list(dir / "list.txt");
    for (int i = 1; i <= 6; ++i) {
        const fs::path m = st / ("m" + std::to_string(i));
        ASSERT_EQ(run("simulate -q " + m.string() + " --minutes 0.1 --rate 128 --patient 'Many, Patricia" + std::to_string(i) +
                      "' --seed " + std::to_string(100 + i) + (i % 3 ? "" : " --sleep")), 0);
        list << m.string() << "\n";
    }
    list.close();
    const std::string bids = "export --json --bids " + ds.string() + " ";
    const std::string mapped = "--bids-map " + (dir / "map.tsv").string() + " " + (st / "a").string() + " " + (st / "b").string();
    ASSERT_EQ(run(bids + mapped, (dir / "r1.json").string()), 0);
    ASSERT_EQ(run(bids + "--max-duration 20 " + (st / "c").string(), (dir / "r2.json").string()), 0);
    ASSERT_EQ(run(bids + "-j 2 --from " + (dir / "list.txt").string(), (dir / "r3.json").string()), 0);

    const int verdict = run("bids check " + ds.string(), (dir / "validator.txt").string());
    std::cout << Slurp(dir / "validator.txt");
    EXPECT_EQ(verdict, 0) << "the validator is needed: scripts/test installs it (docs/bids.md)";

    // Every study's files, from the last JSON line of each run.
    size_t studies = 0, stages = 0, runs = 0;
    std::map<std::string, std::vector<double>> starts; // of each study's files, seconds of the day
    for (const char* r : {"r1.json", "r2.json", "r3.json"}) {
        std::istringstream in(Slurp(dir / r));
        std::string line, last;
        while (std::getline(in, line))
            if (line.find("\"event\":\"result\"") != npos) last = line;
        const auto result = nlohmann::json::parse(last);
        for (const auto& s : result.at("studies")) {
            ++studies;
            ASSERT_EQ(s.at("status"), "exported") << s.dump();
            const auto probe = probeOf(s.at("study"));
            runs += s.at("files").size() > 1;
            for (const std::string edf : s.at("files")) {
                const std::string stem = edf.substr(0, edf.size() - 8); // "_eeg.edf"
                const sk::test::EdfLibFile f = sk::test::ReadEdfLib(edf);
                ASSERT_EQ(f.rc, 0) << edf;
                const edf_hdr_struct& h = *f.hdr;
                const auto ch = Tsv(stem + "_channels.tsv");
                ASSERT_EQ(ch.size(), 1u + h.edfsignals) << edf;
                ASSERT_EQ(probe.at("channel_labels").size(), static_cast<size_t>(h.edfsignals));
                for (int i = 0; i < h.edfsignals; ++i) {
                    std::string label = h.signalparam[i].label;
                    label.erase(label.find_last_not_of(' ') + 1);
                    const std::string word = label.substr(0, label.find(' '));
                    EXPECT_EQ(ch[i + 1][0], label);
                    EXPECT_EQ(label.substr(word.size() + 1), probe["channel_labels"][i].get<std::string>());
                    EXPECT_EQ(ch[i + 1][1], word == "Misc" || word == "SaO2" ? "MISC"
                                            : word == "Resp"                 ? "RESP"
                                                                             : word);
                    EXPECT_EQ(ch[i + 1][2], std::string(h.signalparam[i].physdimension).substr(0, ch[i + 1][2].size()));
                }
                // Every annotation, at its sample, with its text.
                const double rate = static_cast<double>(h.signalparam[0].smp_in_datarecord) * EDFLIB_TIME_DIMENSION /
                                    static_cast<double>(h.datarecord_duration);
                const auto ev = Tsv(stem + "_events.tsv");
                ASSERT_EQ(ev.size(), 1u + f.annots.size()) << edf;
                for (size_t n = 0; n < f.annots.size(); ++n) {
                    const edf_annotation_struct& a = f.annots[n];
                    const double onset = std::stod(ev[n + 1][0]) * rate;
                    EXPECT_EQ(onset, std::round(onset)) << ev[n + 1][0] << " is not on a sample";
                    EXPECT_EQ(std::llround(onset), std::llround(a.onset * rate / EDFLIB_TIME_DIMENSION));
                    EXPECT_EQ(ev[n + 1][3], a.annotation);
                    stages += ev[n + 1][2] == "sleep_stage";
                }
                starts[s.at("study")].push_back(h.starttime_hour * 3600 + h.starttime_minute * 60 +
                                                h.starttime_second +
                                                static_cast<double>(h.starttime_subsecond) / EDFLIB_TIME_DIMENSION);
            }
        }
    }
    // Runs start where the samples resume after a gap (after 12 s and 3 s,
    // 12 s and 5 s) and where a split puts them (every 20 s).
    const std::map<std::string, std::vector<double>> runStarts = {{"b", {0, 15, 32}}, {"c", {0, 20, 40}}};
    for (const auto& [study, want] : runStarts) {
        const auto& got = starts[(st / study).string()];
        ASSERT_EQ(got.size(), want.size()) << study;
        for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i] - got[0], want[i], 1e-6) << study << i;
    }
    EXPECT_EQ(studies, 9u);
    EXPECT_EQ(runs, 2u); // the study with gaps, the study split by --max-duration
    EXPECT_GT(stages, 0u);
    EXPECT_TRUE(fs::exists(ds / "sub-p01" / "ses-day1") && fs::exists(ds / "sub-p01" / "ses-night1"));

    // No name, no record number, in any byte or file name; the key stays outside.
    for (const auto& e : fs::recursive_directory_iterator(ds)) {
        const std::string text = e.path().string() + (e.is_regular_file() ? Slurp(e.path()) : "");
        for (const char* secret : {"Roe", "Jane", "Poe", "Edgar", "Many", "Patricia", "MRN"})
            EXPECT_EQ(text.find(secret), npos) << secret << " in " << e.path();
    }
    EXPECT_TRUE(fs::exists(dir / "ds.key.json"));

    // In order on a second dataset: what a run prints and its exit status.
    const std::string a = (st / "a").string(), b = (st / "b").string(), c = (st / "c").string(),
                      one = " --bids " + (dir / "ds2").string(), three = " --bids-no-key --bids " + (dir / "ds3").string();
    auto map = [&](const char* name, const std::string& lines) {
        std::ofstream(dir / name) << "study\tsubject\tsession\n" << lines;
        return " --bids-map " + (dir / name).string();
    };
    std::ofstream(dir / "ds4.key.json") << R"({"subjects": {"..": {"identities": ["id:MRN 100001"]}}, "studies": {}})";
    // Arguments, exit status, a part of what the run prints.
    const std::tuple<std::string, int, std::string> rows[] = {
        {map("bad.tsv", a + "\tp 1\n") + one + " " + a, 2, "bad.tsv:2: expected study<TAB>subject"},
        {map("dup.tsv", a + "\tp1\n" + a + "\tp2\n") + one + " " + a, 2, "dup.tsv:3: " + a + " is mapped on line 2"},
        {map("unknown.tsv", "/nowhere\tp1\n") + one + " " + a, 0, "unknown.tsv:2: /nowhere is no study of this export"},
        {"--skip-existing" + one + " " + a, 2, "--skip-existing does not work with --bids"},
        {" --bids " + (dir / "ds4").string() + " " + a, 2, "ds4.key.json: \"..\" is no label"},
        {one + " " + a, 1, "is in the dataset already and is not replaced (--overwrite replaces it)"},
        {"--overwrite" + one + " " + a + " " + b, 0, "(8 s in all); each part between them is a file of its own"},
        {map("same.tsv", a + "\tp1\tx\n" + c + "\tp1\tx\n") + one + " " + a + " " + c, 1, "would take the names"},
        {"--no-deidentify" + three + " " + a, 0, ""},
        {"--pad-gaps" + three + " " + b, 0, "(8 s in all) are padded with zeros and marked \"Recording gap\""},
    };
    for (const auto& [args, status, says] : rows) {
        EXPECT_EQ(run("export " + args, (dir / "out.txt").string()) >> 8, status) << args;
        EXPECT_NE(Slurp(dir / "out.txt").find(says), npos) << args << "\n" << Slurp(dir / "out.txt");
    }
    // Subjects once each in participants.tsv, however often they came back.
    const auto participants = Tsv(dir / "ds2" / "participants.tsv");
    std::set<std::string> ids;
    for (const auto& r : participants) ids.insert(r.at(0));
    EXPECT_EQ(ids.size(), participants.size());
    EXPECT_EQ(participants.size(), 4u) << Slurp(dir / "ds2" / "participants.tsv"); // header, 001, 002, p1
    // Without de-identification the name stays in the header and the note.
    const fs::path plain = dir / "ds3" / "sub-001" / "eeg" / "sub-001_task-clinical";
    EXPECT_NE(Slurp(plain.string() + "_eeg.edf").substr(0, 256).find("Roe,Jane"), npos);
    EXPECT_NE(Slurp(plain.string() + "_events.tsv").find("Jane Roe asleep"), npos);
}

// Drives the built `skrivo` program on simulated studies and checks its exit
// status, its messages and, with EDFlib's reader, the files it wrote.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <map>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <regex>

#include "platform/KeyTree.h"
#include "platform/recording/Montage.h"
#include "support/EdfCheck.h"
#include "support/EdfLibRead.h"
#include "support/TempDir.h"
#include "tools/cli/Manifest.h"
#include "tools/cli/StudyList.h"
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
    // Environment of the next runs: variables removed, then "NAME=value"
    // added; and a program that starts skrivo (xvfb-run).
    std::vector<std::string> unsetEnv, addEnv, launcher;

    // Starts skrivo with the arguments (and a private configuration folder);
    // onStart may act on the running process before it is waited for.
    RunResult Skrivo(std::vector<std::string> args, const std::function<void(pid_t)>& onStart = {}) {
        args.insert(args.begin(), {SKRIVO_CLI_PATH, "--config", (dir / "config").string()});
        args.insert(args.begin(), launcher.begin(), launcher.end());
        std::vector<std::string> envText;
        for (char** e = environ; *e; ++e) {
            const std::string var(*e);
            const std::string name = var.substr(0, var.find('='));
            if (std::find(unsetEnv.begin(), unsetEnv.end(), name) == unsetEnv.end()) envText.push_back(var);
        }
        envText.insert(envText.end(), addEnv.begin(), addEnv.end());
        std::vector<char*> envp;
        for (auto& e : envText) envp.push_back(e.data());
        envp.push_back(nullptr);
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
        if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) return r;
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
        const auto r = sk::sim::SimulateStudy(o);
        EXPECT_TRUE(r.ok);
        return o.folder;
    }
};

// What the tests read of a written file; ok only when EDFlib reads every
// sample of every signal.
struct EdfFacts {
    bool ok = false;
    int filetype = -1, signals = 0;
    long long records = 0, recordDuration = 0;
};

EdfFacts ReadEdf(const fs::path& path) {
    const sk::test::EdfLibFile f = sk::test::ReadEdfLib(path.string());
    return {f.rc == 0, f.hdr->filetype, f.hdr->edfsignals, f.hdr->datarecords_in_file, f.hdr->datarecord_duration};
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

} // namespace

// Several studies at once, one of them broken, split into files of 10 s:
// the text report, then the JSON lines of the same run.
TEST_F(Cli, ExportsSeveralStudiesSplitsThemAndReportsTheBrokenOne) {
    const fs::path a = Simulate("alpha", 20);
    const fs::path b = Simulate("beta", 30, 2, 5);
    fs::create_directories(dir / "broken");
    std::ofstream(dir / "broken" / "broken.EEG") << "this is not a study file";
    std::vector<std::string> args = {"export", a.string(), (dir / "broken").string(), b.string(), "-j", "2",
                                     "--format", "edf+", "--pad-gaps", "--max-duration", "10", "-o"};

    args.push_back((dir / "text").string());
    RunResult r = Skrivo(args);
    EXPECT_EQ(r.status, 1) << r.err;
    for (const std::string& says : std::vector<std::string>{"exported " + a.string(), "exported " + b.string(),
                                                            "2 of 3 studies exported", "  EDF+C: the recording has no gaps\n"})
        EXPECT_NE(r.out.find(says), std::string::npos) << says << "\n" << r.out;
    EXPECT_NE(r.err.find("skrivo: " + (dir / "broken").string() + ": "), std::string::npos) << r.err;
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
        const double seconds = study["study"] == a.string() ? 20 : 30;
        if (study["study"] == (dir / "broken").string()) {
            EXPECT_EQ(study["outcome"], "failed");
            continue;
        }
        EXPECT_EQ(study["template"], "") << "the engine's default";
        EXPECT_EQ(study["format"], "EDF+");
        ASSERT_GE(study["files"].size(), static_cast<size_t>(seconds / 10)) << study.dump();
        double covered = 0, record = 0;
        for (const std::string f : study["files"]) {
            const EdfFacts facts = ReadEdf(f);
            ASSERT_TRUE(facts.ok) << f;
            EXPECT_EQ(facts.filetype, EDFLIB_FILETYPE_EDFPLUS) << "EDF+C: EDFlib refuses EDF+D";
            record = facts.recordDuration / 1e7;
            EXPECT_LE(facts.records * record, 10.0) << f;
            covered += facts.records * record;
        }
        // The records cover the recording, the last one padded to a whole record.
        EXPECT_GE(covered, seconds);
        EXPECT_LT(covered, seconds + record);
    }
}

TEST_F(Cli, HelpVersionUsageAndProbe) {
    RunResult v = Skrivo({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("skrivo ", 0), 0u) << v.out;
    // Each help names its command's usage; the editor is listed.
    for (const char* cmd : {"export", "probe", "estimate", "templates", "simulate", "demo", "templates edit"}) {
        std::istringstream words(cmd);
        std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
        args.push_back("--help");
        const RunResult h = Skrivo(args);
        EXPECT_EQ(h.status, 0) << cmd;
        EXPECT_NE(h.out.find("Usage"), std::string::npos) << cmd << h.out;
    }
    EXPECT_NE(Skrivo({"templates", "--help"}).out.find("  edit "), std::string::npos);
    EXPECT_NE(Skrivo({"export", "--help"}).out.find("--edit"), std::string::npos);

    // Each usage error names what is wrong, exits 2 and, with --json, ends in
    // a result line.
    struct Usage {
        std::vector<std::string> args;
        const char* says;
    };
    const Usage usage[] = {
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
    for (const Usage& u : usage) {
        const RunResult r = Skrivo(u.args);
        EXPECT_EQ(r.status, 2) << u.says;
        EXPECT_NE(r.err.find(u.says), std::string::npos) << r.err;
        std::vector<std::string> args = u.args;
        args.push_back("--json");
        const RunResult j = Skrivo(args);
        EXPECT_EQ(j.status, 2) << u.says;
        ASSERT_FALSE(j.out.empty()) << u.says;
        const auto last = JsonLines(j.out).back();
        EXPECT_EQ(last["event"], "result") << j.out;
        EXPECT_EQ(last["exit"], 2) << j.out;
    }

    const fs::path a = Simulate("delta", 10);
    RunResult p = Skrivo({"probe", a.string(), "--json"});
    ASSERT_EQ(p.status, 0) << p.err;
    const auto probe = JsonLines(p.out);
    ASSERT_EQ(probe.size(), 2u) << p.out;
    const auto& j = probe[0];
    EXPECT_EQ(j["event"], "study");
    EXPECT_EQ(j["headbox_type"], 1);
    EXPECT_EQ(j["sample_rate_hz"], 128.0);
    EXPECT_EQ(j["samples"]["total"], 1280);
    EXPECT_GT(j["estimated_bytes"].get<long long>(), 0);
    EXPECT_EQ(probe[1]["ok"], true);

    RunResult e = Skrivo({"estimate", a.string(), (dir / "missing").string()});
    EXPECT_EQ(e.status, 1);
    EXPECT_NE(e.out.find(" bytes"), std::string::npos);
    EXPECT_NE(e.err.find("could not find study at"), std::string::npos) << e.err;
    RunResult ej = Skrivo({"estimate", a.string(), (dir / "missing").string(), "--json"});
    const auto est = JsonLines(ej.out);
    ASSERT_EQ(est.size(), 3u) << ej.out;
    EXPECT_EQ(est[0]["event"], "estimate");
    EXPECT_EQ(est[2]["exit"], 1);
    EXPECT_EQ(est[2]["total_bytes"], est[0]["bytes"]);

    // A size limit that cannot hold the header and one record is refused,
    // not written as hundreds of files.
    RunResult tiny = Skrivo({"export", a.string(), "-o", (dir / "tiny").string(), "--max-size", "1000"});
    EXPECT_EQ(tiny.status, 1);
    EXPECT_NE(tiny.err.find("below the header and one data record"), std::string::npos) << tiny.err;
    EXPECT_TRUE(EdfFiles(dir / "tiny").empty());
}

TEST_F(Cli, StoredTemplatesRoundTrip) {
    const RunResult none = Skrivo({"templates", "list"});
    EXPECT_NE(none.out.find("no stored templates in " + (dir / "config").string() + ", "), std::string::npos)
        << none.out;
    RunResult n = Skrivo({"templates", "new", "Short/Run", "--headbox", "1", "--format", "edf+", "--events"});
    ASSERT_EQ(n.status, 0) << n.err;
    EXPECT_TRUE(fs::exists(dir / "config" / "Short_Run.exp"));
    EXPECT_EQ(Skrivo({"templates", "new", "Short/Run"}).status, 1) << "exists already";
    RunResult l = Skrivo({"templates", "list", "--json"});
    ASSERT_EQ(l.status, 0);
    const auto list = JsonLines(l.out);
    ASSERT_EQ(list.size(), 2u) << "one template and the result";
    EXPECT_EQ(list[0]["name"], "Short/Run");
    EXPECT_EQ(list[1]["templates"], 1);
    EXPECT_EQ(list[0]["trigger_events"], true);

    const fs::path a = Simulate("eps", 10);
    RunResult x = Skrivo({"export", a.string(), "-o", (dir / "t").string(), "--template", "Short/Run", "-q"});
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_TRUE(x.out.empty()) << x.out;
    ASSERT_EQ(EdfFiles(dir / "t").size(), 1u);
    EXPECT_EQ(ReadEdf(EdfFiles(dir / "t")[0]).filetype, EDFLIB_FILETYPE_EDFPLUS);

    EXPECT_EQ(Skrivo({"templates", "delete", "Short/Run"}).status, 0);
    EXPECT_FALSE(fs::exists(dir / "config" / "Short_Run.exp"));
}

TEST_F(Cli, InterruptCancelsAndLeavesValidFiles) {
    const fs::path a = Simulate("long", 5 * 60);
    const fs::path out = dir / "cut";
    // The hook holds the export after its first record until it is
    // cancelled: the signal finds it running on any machine.
    addEnv = {"SKRIVO_TEST_HOLD_EXPORT=1"};
    auto recordWritten = [&] {
        std::istringstream lines(Slurp(dir / "stdout.txt"));
        for (std::string line; std::getline(lines, line);) {
            const auto j = nlohmann::json::parse(line, nullptr, false);
            if (j.is_object() && j["event"] == "progress" && j["percent"].get<double>() > 0) return true;
        }
        return false;
    };
    RunResult r = Skrivo({"export", a.string(), "-o", out.string(), "--format", "edf", "--json"}, [&](pid_t pid) {
        for (int i = 0; i < 30000 && !recordWritten(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        kill(pid, SIGINT);
    });
    ASSERT_EQ(r.status, 130) << r.out << r.err;
    EXPECT_NE(r.out.find("Export was cancelled"), std::string::npos) << r.out;
    const auto files = EdfFiles(out);
    ASSERT_EQ(files.size(), 1u);
    const EdfFacts facts = ReadEdf(files[0]);
    EXPECT_TRUE(facts.ok) << "the cancelled file is closed with its record count";
    EXPECT_GT(facts.records, 0);
    EXPECT_LT(facts.records * facts.recordDuration / 1e7, 5 * 60 - 1);
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
            const auto probe = JsonLines(r.out).at(0);
            EXPECT_EQ(probe["patient"]["last_name"], name.last);
            EXPECT_EQ(probe["patient"]["first_name"], name.first);
            // De-identified names all derive from the simulator's one study
            // GUID: one study per output folder.
            const fs::path x = root / ("x " + name.patient);
            r = Skrivo({"export", study.string(), "-o", x.string(), "--format", "edf+", "--deidentify"});
            ASSERT_EQ(r.status, 0) << r.err;
            const auto hidden = EdfFiles(x);
            ASSERT_EQ(hidden.size(), 1u);
            EXPECT_EQ(hidden[0].filename().string().find(name.last), std::string::npos);
            EXPECT_EQ(sk::test::EdfFile(hidden[0].string()).Header().patient.rfind("X X X X_X ", 0), 0u);
            exportAll.push_back(study.string());
        }
        RunResult r = Skrivo(exportAll);
        ASSERT_EQ(r.status, 0) << r.err;
        const auto files = EdfFiles(root / "named");
        ASSERT_EQ(files.size(), std::size(names));
        for (const Name& name : names) {
            const auto f = std::find_if(files.begin(), files.end(), [&](const fs::path& p) {
                return p.filename().string().rfind(name.last + "~ " + name.first + "_", 0) == 0;
            });
            ASSERT_NE(f, files.end()) << name.patient;
            EXPECT_TRUE(ReadEdf(*f).ok) << *f;
            const sk::test::EdfFile edf(f->string());
            ASSERT_TRUE(edf.Ok()) << edf.Error();
            EXPECT_NE(edf.Header().patient.find(" " + name.header + " "), std::string::npos) << edf.Header().patient;
        }
    }
}

TEST_F(Cli, OutcomesExitStatusesCollisionsAndExistingOutputs) {
    const fs::path a = Simulate("kappa", 10);
    const fs::path copy = dir / "site2" / "kappa"; // another study of the same name
    fs::create_directories(copy.parent_path());
    fs::copy(a, copy);
    const fs::path out = dir / "o";
    struct Step {
        const char* what;
        std::vector<std::string> args;
        int status;
        std::vector<std::string> outcomes; // per result, in order
        std::string message;               // in the text of the last result
    } steps[] = {
        // One study under three spellings is one entry; the copy would write
        // the same file and fails naming the first.
        {"collision", {a.string(), a.string() + "/", (a / "kappa.EEG").string(), copy.string()}, 1,
         {"complete", "failed"}, "output file is also the output of study " + a.string()},
        {"skip", {a.string(), "--skip-existing"}, 0, {"complete"}, "skipped"},
        {"exists", {a.string()}, 1, {"failed"}, "output file already exists"},
        {"damaged notes", {a.string(), "--overwrite"}, 3, {"incomplete"}, "kappa.ENT"},
        // An incomplete study is exported again on resume, replacing its file.
        {"resume", {a.string(), "--skip-existing"}, 3, {"incomplete"}, "kappa.ENT"},
    };
    for (const Step& st : steps) {
        SCOPED_TRACE(st.what);
        if (std::string(st.what) == "damaged notes") { // once
            std::fstream f(a / "kappa.ENT", std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(200);
            f.put('\x7f');
        }
        std::vector<std::string> args = {"export", "-o", out.string(), "--json", "--format", "edf+"};
        args.insert(args.end(), st.args.begin(), st.args.end());
        const RunResult r = Skrivo(args);
        EXPECT_EQ(r.status, st.status) << r.err;
        const auto result = nlohmann::json::parse(r.out.substr(r.out.rfind("{\"event\":\"result\"")));
        EXPECT_EQ(result["exit"], st.status);
        ASSERT_EQ(result["studies"].size(), st.outcomes.size()) << result.dump();
        for (size_t i = 0; i < st.outcomes.size(); ++i) EXPECT_EQ(result["studies"][i]["outcome"], st.outcomes[i]);
        const auto& last = result["studies"].back();
        EXPECT_NE(last.dump().find(st.message), std::string::npos) << last.dump();
        if (st.status == 3) {
            EXPECT_GT(last["problems"][0]["skipped_notes"].get<int>(), 0) << last.dump();
        }
    }
    // Only the finished file is left, never a temporary one, and the
    // damaged notes cost no signal.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(out))
        if (e.path().extension() != ".jsonl") names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"kappa.edf"});
    const EdfFacts facts = ReadEdf(out / "kappa.edf");
    ASSERT_TRUE(facts.ok);
    EXPECT_GT(facts.signals, 2);
}

TEST_F(Cli, FailuresNameTheFileAndWhatIsWrong) {
    const fs::path s = Simulate("lambda", 4);
    auto flip = [](const fs::path& p) {
        std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(fs::file_size(p) / 2));
        f.put('\x55');
    };
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> damage;
        std::string study; // "" the damaged copy of the study
        std::vector<std::string> extra;
        std::string message;
    } cases[] = {
        {"corrupt .EEG", [&](const fs::path& d) { flip(d / "lambda.EEG"); }, "", {}, "lambda.EEG: "},
        {"corrupt .STC", [&](const fs::path& d) { flip(d / "lambda.STC"); }, "", {}, "lambda.STC: "},
        {"missing .ERD", [](const fs::path& d) { fs::remove(d / "lambda.ERD"); }, "", {}, "lambda.ERD: "},
        {"not a study", [](const fs::path&) {}, "/dev/null", {}, "/dev/null is neither a study folder"},
        // A damaged montage file is a file error, not an unknown name.
        {"damaged montage file",
         [&](const fs::path&) {
             fs::create_directories(dir / "config");
             std::ofstream(dir / "config" / "Broken.mtg") << "not a montage";
         },
         "", {"--montage", "broken"}, "Broken.mtg: montage file is damaged: its data cannot be read"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path d = dir / ("case" + std::to_string(n++));
        fs::copy(s, d);
        c.damage(d);
        std::vector<std::string> args = {"export", c.study.empty() ? d.string() : c.study, "-o",
                                         (dir / "out").string()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const RunResult r = Skrivo(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    // A dot in a study's name is part of the name, not an extension.
    const fs::path dotted = Simulate("mu.nu", 2);
    const RunResult r = Skrivo({"export", dotted.string(), "-o", (dir / "dots").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir / "dots" / "mu.nu.edf"));
}

TEST_F(Cli, UnpaddedGapsGiveADiscontinuousFile) {
    const fs::path a = Simulate("gappy", 40, 1, 3, {{10.0, 4.0, false}, {25.0, 6.0, true}});
    const fs::path out = dir / "d";
    RunResult r = Skrivo({"export", a.string(), "-o", out.string(), "--format", "edf+", "--no-pad-gaps"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  EDF+D: the recording has gaps (10 s in all) and the template does not pad them\n  hint: "),
              std::string::npos)
        << r.out;
    const auto files = EdfFiles(out);
    ASSERT_EQ(files.size(), 1u);
    const sk::test::EdfFile strict(files[0].string());
    ASSERT_TRUE(strict.Ok()) << strict.Error();
    EXPECT_EQ(strict.Header().reserved.rfind("EDF+D", 0), 0u);
    // The records hold at least the recorded 40 s.
    EXPECT_GE(strict.Header().records * strict.Header().duration, 40.0 - 1e-9);
    const RunResult probe = Skrivo({"probe", a.string()});
    EXPECT_NE(probe.out.find("Gaps             10 s\n"), std::string::npos) << probe.out;
}

TEST_F(Cli, MontageOverrideUsesTheUsersMontages) {
    fs::create_directories(dir / "config");
    CMontage referential(1);
    ASSERT_EQ(referential.Load(static_cast<const CKeyTree*>(nullptr)), 0);
    referential.SetMontageName(L"Referential");
    ASSERT_EQ(referential.Save((dir / "config" / "Referential.mtg").wstring()), 0);
    const fs::path a = Simulate("zeta", 10);

    RunResult ok = Skrivo({"export", a.string(), "-o", (dir / "m").string(), "--montage", "referential"});
    ASSERT_EQ(ok.status, 0) << ok.err;
    const sk::test::EdfFile f(EdfFiles(dir / "m").at(0).string());
    ASSERT_TRUE(f.Ok()) << f.Error();
    EXPECT_EQ(f.Header().ns, referential.GetChannelCount());
}

// --- the template editor -----------------------------------------------------

namespace {

const std::string kNeedsDisplay = "the template editor needs a display (set DISPLAY or run under xvfb-run)";
const std::string kNoEditor = "the template editor is not installed";

bool BuiltWithoutEditor(const RunResult& r) { return r.err.find(kNoEditor) != std::string::npos; }

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
    const std::string study = Simulate("nodisplay", 5).string();
    const std::string out = (dir / "out").string();

    // Qt ends a process whose display does not answer, so each of these must
    // be caught before Qt is started.
    struct Case {
        const char* what;
        std::vector<std::string> env;
        std::vector<std::string> args;
    };
    const std::vector<std::string> edit = {"templates", "edit", "Night"};
    const std::vector<std::string> exportEdit = {"export", study, "-o", out, "--edit"};
    const Case cases[] = {
        {"no display at all", {}, edit},
        {"X server that is not running", {"DISPLAY=:4711"}, edit},
        {"X server by socket name", {"DISPLAY=unix:4711.0", "QT_QPA_PLATFORM=xcb"}, edit},
        {"X server over TCP that refuses", {"DISPLAY=127.0.0.1:4711"}, edit},
        {"no X server number", {"DISPLAY=nonsense"}, edit},
        {"xcb asked for without DISPLAY", {"QT_QPA_PLATFORM=xcb"}, edit},
        {"Wayland socket that does not exist", {"WAYLAND_DISPLAY=wayland-4711", "XDG_RUNTIME_DIR=/nonexistent"}, edit},
        {"export --edit", {}, exportEdit},
    };
    unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "SKRIVO_EDITOR_AUTOCLOSE"};
    for (const Case& c : cases) {
        addEnv = c.env;
        const RunResult r = Skrivo(c.args);
        EXPECT_EQ(r.status, 1) << c.what << r.err;
        EXPECT_TRUE(r.err.find(kNeedsDisplay) != std::string::npos || BuiltWithoutEditor(r)) << c.what << r.err;
        EXPECT_EQ(Slurp(file), stored) << c.what;
        EXPECT_TRUE(EdfFiles(out).empty()) << c.what << ": nothing is exported when the editor cannot open";
    }

    addEnv.clear();
    std::vector<std::string> json = exportEdit;
    json.push_back("--json");
    const RunResult j = Skrivo(json);
    EXPECT_EQ(j.status, 1);
    const auto result = nlohmann::json::parse(j.out);
    EXPECT_EQ(result["event"], "result");
    EXPECT_EQ(result["ok"], false);

    const RunResult missing = Skrivo({"templates", "edit", "Nope"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("no stored template named \"Nope\""), std::string::npos) << missing.err;
    EXPECT_EQ(Skrivo({"templates", "edit", "Night", "--modality", "EEG"}).status, 1) << "Night is a sleep template";
}

// SKRIVO_EDITOR_AUTOCLOSE presses OK or Cancel as soon as the editor shows;
// the offscreen platform needs no display server.
TEST_F(Cli, EditorOkSavesTheTemplateAsItWasAndCancelLeavesTheFile) {
    struct Case {
        const char* name;
        const char* modality;
        const char* headbox;
        std::vector<std::string> options;
        fs::path file;
    };
    const Case cases[] = {
        {"Routine", "EEG", "1", {"--format", "edf+", "--events"}, dir / "config" / "Routine.exp"},
        {"Night", "Sleep", "3", {"--no-pad-gaps", "--max-duration", "600"}, dir / "config" / "Sleep" / "Night.exp"},
        {"Breakouts", "EEG", "20", {"--deidentify"}, dir / "config" / "Breakouts.exp"},
    };
    unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY"};
    for (const Case& c : cases) {
        std::vector<std::string> args = {"templates", "new", c.name, "--modality", c.modality, "--headbox", c.headbox};
        args.insert(args.end(), c.options.begin(), c.options.end());
        addEnv.clear();
        ASSERT_EQ(Skrivo(args).status, 0) << c.name;
        const std::string before = Skrivo({"templates", "show", c.name}).out;
        const ino_t inode = Inode(c.file);
        ASSERT_NE(inode, 0u) << c.file;

        addEnv = {"QT_QPA_PLATFORM=offscreen", "SKRIVO_EDITOR_AUTOCLOSE=cancel"};
        const RunResult cancel = Skrivo({"templates", "edit", c.name});
        if (BuiltWithoutEditor(cancel)) GTEST_SKIP() << kNoEditor;
        EXPECT_EQ(cancel.status, 1) << c.name << cancel.err;
        EXPECT_NE(cancel.err.find("closed without OK"), std::string::npos) << cancel.err;
        EXPECT_EQ(Inode(c.file), inode) << c.name << ": Cancel writes nothing";

        addEnv = {"QT_QPA_PLATFORM=offscreen", "SKRIVO_EDITOR_AUTOCLOSE=ok"};
        const RunResult ok = Skrivo({"templates", "edit", c.name});
        EXPECT_EQ(ok.status, 0) << c.name << ok.err;
        EXPECT_NE(ok.out.find("saved template \"" + std::string(c.name) + "\""), std::string::npos) << ok.out;
        EXPECT_NE(Inode(c.file), inode) << c.name << ": OK saves the file again";
        addEnv.clear();
        // OK without a change keeps every key: modality, headbox, channel
        // names and ticks, options.
        EXPECT_EQ(Skrivo({"templates", "show", c.name}).out, before) << c.name;
    }
}

TEST_F(Cli, ExportEditOpensTheEditorOnEachStudyBeforeExporting) {
    const fs::path a = Simulate("edit1", 5);
    const fs::path b = Simulate("edit2", 5, 1, 2);
    unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY"};
    // Without a stored template the engine's default has no name: OK is
    // refused, the message box closed and the editor cancelled.
    for (const bool named : {false, true}) {
        addEnv.clear();
        if (named) {
            ASSERT_EQ(Skrivo({"templates", "new", "Plus", "--format", "edf+"}).status, 0);
        }
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
        for (const auto& f : EdfFiles(out)) EXPECT_TRUE(!named || ReadEdf(f).filetype == EDFLIB_FILETYPE_EDFPLUS) << f;
    }
}

TEST_F(Cli, EditorUnderAVirtualXServer) {
    const fs::path xvfb = "/usr/bin/xvfb-run";
    if (!fs::exists(xvfb)) GTEST_SKIP() << "xvfb-run is not installed";
    ASSERT_EQ(Skrivo({"templates", "new", "Virtual", "--headbox", "2"}).status, 0);
    const std::string before = Skrivo({"templates", "show", "Virtual"}).out;
    launcher = {xvfb.string(), "-a"};
    unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    addEnv = {"SKRIVO_EDITOR_AUTOCLOSE=ok"};
    const RunResult r = Skrivo({"templates", "edit", "Virtual"});
    if (BuiltWithoutEditor(r)) GTEST_SKIP() << kNoEditor;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("saved template \"Virtual\""), std::string::npos) << r.out;
    launcher.clear();
    addEnv.clear();
    EXPECT_EQ(Skrivo({"templates", "show", "Virtual"}).out, before);
}

// --- batches ---------------------------------------------------------------

// Study lists, shards, subfolder names and the manifest, below the program.
TEST(Batch, StudyListsSkipCommentsAndNameEveryMissingPath) {
    sk::test::TempDir dir("skrivo-list");
    const std::string a = (dir / "a").string(), b = (dir / "b.EEG").string();
    fs::create_directory(a);
    std::ofstream(b) << "";
    const std::string gone = (dir / "gone").string();
    std::string many;
    for (int i = 0; i < 12; ++i) many += gone + std::to_string(i) + "\n";
    struct Case {
        std::string text;
        std::vector<std::string> studies;
        std::string error; // expected part of the message; empty: success
    } cases[] = {
        {"# cohort A\n\n  " + a + "  \n\t\n" + b + "\r\n#" + gone + "\n", {a, b}, ""},
        {a + "\n\n" + gone + "\n", {}, "list:3: no such study folder or file: " + gone},
        {many, {}, "list: and 2 more missing"},
        {"", {}, ""},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.text);
        std::vector<std::string> got;
        std::string err;
        const bool ok = sk::cli::ReadStudyList(in, "list", &got, &err);
        EXPECT_EQ(ok, c.error.empty()) << c.text << err;
        EXPECT_NE(err.find(c.error), std::string::npos) << err;
        if (ok) {
            EXPECT_EQ(got, c.studies);
        }
    }
    std::vector<std::string> none;
    std::string err;
    EXPECT_FALSE(sk::cli::ReadStudyListFile((dir / "no-list").string(), &none, &err));
    EXPECT_NE(err.find("cannot read the study list"), std::string::npos);
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
            for (size_t i = 0; i < size; ++i) EXPECT_EQ(seen[i], 1) << "study " << i << " of " << size << ", N=" << n;
            EXPECT_LE(largest - std::min(smallest, largest), 1u) << size << "/" << n;
        }
    }
    std::map<std::string, const char*> env = {{"SLURM_ARRAY_TASK_ID", "5"}, {"SLURM_ARRAY_TASK_MIN", "4"},
                                              {"SLURM_ARRAY_TASK_COUNT", "3"}};
    auto fromEnv = [&](const char* n) { return env.count(n) ? env[n] : nullptr; };
    struct Case {
        const char* text;
        int index, count; // 0: refused
    } cases[] = {{"2/5", 2, 5}, {"1/1", 1, 1}, {"slurm", 2, 3}, {"0/3", 0, 0}, {"4/3", 0, 0},
                 {"3", 0, 0},   {"a/b", 0, 0}, {"1/0", 0, 0},   {"1/2x", 0, 0}};
    for (const auto& c : cases) {
        std::string err;
        const auto s = sk::cli::ParseShard(c.text, fromEnv, &err);
        ASSERT_EQ(s.has_value(), c.index != 0) << c.text;
        EXPECT_EQ(s ? std::make_pair(s->index, s->count) : std::make_pair(0, 0), std::make_pair(c.index, c.count)) << c.text;
        EXPECT_EQ(err.empty(), s.has_value()) << c.text;
    }
    env.clear();
    std::string err;
    EXPECT_FALSE(sk::cli::ParseShard("slurm", fromEnv, &err));
    EXPECT_NE(err.find("SLURM_ARRAY_TASK_ID"), std::string::npos);
}

TEST(Batch, SubfoldersAreNamedAfterStudyFoldersAndNeverShared) {
    std::vector<std::string> list = {"/d/x/night/", "/d/y/night", "/d/night-2/N.EEG", "/d/z/night/N.eeg", "/d/z/night"};
    sk::cli::SortStudies(list);
    EXPECT_EQ(list, (std::vector<std::string>{"/d/night-2/N.EEG", "/d/x/night", "/d/y/night", "/d/z/night",
                                              "/d/z/night/N.eeg"}));
    EXPECT_EQ(sk::cli::StudySubfolders(list), (std::vector<std::string>{"night-2", "night", "night-3", "night-4", "night-5"}));
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
    const auto lines = sk::cli::ReadManifest(dir.path().string(), &bad, &err);
    EXPECT_EQ(bad, 0u);
    std::map<std::string, int> next;
    for (const auto& l : lines) EXPECT_EQ(l["i"], next[l["study"]]++) << "each process's lines in its order";
    EXPECT_EQ(next["0"], kLines);
    EXPECT_EQ(next["1"], kLines);
}

TEST(Batch, VerifyNamesChangedAndMissingFiles) {
    sk::test::TempDir dir("skrivo-verify");
    const std::string folder = dir.path().string();
    for (const char* n : {"a.edf", "b.edf", "c.edf"}) std::ofstream(dir / n) << "abc";
    std::string err;
    EXPECT_EQ(sk::cli::Sha256File((dir / "a.edf").string(), &err),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    nlohmann::json files;
    ASSERT_TRUE(sk::cli::DescribeFiles(folder, {(dir / "a.edf").string(), (dir / "b.edf").string(), (dir / "c.edf").string()},
                              &files, &err));
    EXPECT_EQ(files[0]["path"], "a.edf");
    const nlohmann::json line = {{"study", "/s"}, {"outcome", "complete"}, {"files", files}};
    std::vector<std::string> problems;
    EXPECT_TRUE(sk::cli::FilesUnchanged(folder, line, &problems));
    std::ofstream(dir / "b.edf") << "abd"; // same size, other bytes
    fs::remove(dir / "c.edf");
    EXPECT_FALSE(sk::cli::FilesUnchanged(folder, line, &problems));
    EXPECT_EQ(problems, (std::vector<std::string>{"changed: " + (dir / "b.edf").string(),
                                                  "missing: " + (dir / "c.edf").string()}));
}

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

    const RunResult resumed = Skrivo(cmd);
    ASSERT_EQ(resumed.status, 0) << resumed.err;
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
    const fs::path victim = EdfFiles(out / "night3").at(0);
    {
        std::fstream f(victim, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(-1, std::ios::end);
        f.put('\x7f');
    }
    const RunResult verify = Skrivo({"manifest", "verify", out.string()});
    EXPECT_EQ(verify.status, 1);
    EXPECT_NE(verify.out.find("changed: " + victim.string()), std::string::npos) << verify.out;
    const RunResult again = Skrivo(cmd);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(Skrivo({"manifest", "verify", out.string()}).status, 0) << "the changed study was exported again";
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
        int master = -1, slave = -1;
        winsize ws{24, 80, 0, 0};
        EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, &ws), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (dir / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, slave, 2);
        posix_spawn_file_actions_addclose(&fa, master);
        std::vector<std::string> args = {SKRIVO_CLI_PATH, "--config", (dir / "config").string(), "export", "--from",
                                         (dir / "forty.txt").string(), "-o", (dir / out).string(), "-j", "2"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        setenv("TERM", "xterm", 1);
        if (hold) setenv("SKRIVO_TEST_HOLD_EXPORT", "1", 1);
        pid_t pid = 0;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
        unsetenv("SKRIVO_TEST_HOLD_EXPORT");
        posix_spawn_file_actions_destroy(&fa);
        close(slave);
        std::string screen;
        for (char buf[4096];;) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 60000) <= 0) break;
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break; // EIO once the program has ended
            screen.append(buf, static_cast<size_t>(n));
            onOutput(pid, master, screen);
        }
        close(master);
        kill(pid, SIGKILL); // held exports never end by themselves
        int status = 0;
        waitpid(pid, &status, 0);
        return std::make_pair(screen, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    };
    // Drawings start with "clear to the end of the screen"; the first one
    // after a resize may have been composed before it.
    size_t studyRows = 0;
    auto check = [&](const std::string& screen, size_t resizedAt) {
        const std::regex back("\x1b\\[(\\d+)F$");
        size_t at = screen.find("\x1b[J"), drawnSmall = 0;
        EXPECT_NE(at, std::string::npos);
        while (at != std::string::npos) {
            const size_t next = screen.find("\x1b[J", at + 3);
            std::string block = screen.substr(at + 3, next == std::string::npos ? std::string::npos : next - at - 3);
            std::smatch m;
            int movedBack = -1;
            if (std::regex_search(block, m, back)) {
                movedBack = std::stoi(m[1]);
                block.erase(static_cast<size_t>(m.position(0)));
            }
            // After the last drawing the outcomes follow as plain lines.
            if (next == std::string::npos) block.erase(std::min(block.size(), block.find('\n', block.find("/40 done")) + 1));
            const bool small = at > resizedAt && drawnSmall++ > 0;
            const size_t rows = small ? 3 : 24, columns = small ? 30 : 80;
            std::istringstream lines(block);
            size_t count = 0;
            for (std::string line; std::getline(lines, line); ++count) {
                if (!line.empty() && line.back() == '\r') line.pop_back(); // the terminal's newline mapping
                EXPECT_LT(line.size(), columns) << "wider than the terminal: " << line;
                studyRows += line.find('%') != std::string::npos;
            }
            EXPECT_LT(count, rows) << "more rows than fit: " << block;
            EXPECT_TRUE(movedBack < 0 || static_cast<size_t>(movedBack) == count) << block;
            at = next;
        }
        return drawnSmall;
    };

    const auto [all, allStatus] = run("all", false, [](pid_t, int, const std::string&) {});
    EXPECT_EQ(allStatus, 0) << all;
    check(all, std::string::npos);
    EXPECT_NE(all.rfind("40/40 done"), std::string::npos);

    size_t resizedAt = std::string::npos;
    bool interrupted = false;
    const auto [held, heldStatus] = run("held", true, [&](pid_t pid, int master, const std::string& screen) {
        const size_t lastDrawing = screen.rfind("\x1b[J");
        if (resizedAt == std::string::npos && lastDrawing != std::string::npos &&
            std::count(screen.begin() + static_cast<long>(lastDrawing), screen.end(), '%') >= 2) {
            const winsize small{3, 30, 0, 0};
            ioctl(master, TIOCSWINSZ, &small);
            resizedAt = screen.size();
        }
        size_t since = 0;
        for (size_t at = screen.find("\x1b[J", resizedAt); resizedAt != std::string::npos && at != std::string::npos;
             at = screen.find("\x1b[J", at + 3))
            ++since;
        if (since >= 3 && !interrupted) {
            kill(pid, SIGINT);
            interrupted = true;
        }
    });
    ASSERT_TRUE(interrupted) << held;
    EXPECT_EQ(heldStatus, 130) << held;
    EXPECT_GE(check(held, resizedAt), 3u);
    EXPECT_GT(studyRows, 0u) << "running studies are shown";
}

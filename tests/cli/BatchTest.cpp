// Study lists, shards, subfolder names and the manifest, below the program.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "support/TempDir.h"
#include "tools/cli/Manifest.h"
#include "tools/cli/StudyList.h"

namespace fs = std::filesystem;
using namespace sk::cli;

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
        const bool ok = ReadStudyList(in, "list", &got, &err);
        EXPECT_EQ(ok, c.error.empty()) << c.text << err;
        EXPECT_NE(err.find(c.error), std::string::npos) << err;
        if (ok) {
            EXPECT_EQ(got, c.studies);
        }
    }
    std::vector<std::string> none;
    std::string err;
    EXPECT_FALSE(ReadStudyListFile((dir / "no-list").string(), &none, &err));
    EXPECT_NE(err.find("cannot read the study list"), std::string::npos);
}

TEST(Batch, EveryStudyLandsInExactlyOneShard) {
    for (size_t size : {0u, 1u, 7u, 10u}) {
        for (int n = 1; n <= static_cast<int>(size) + 2; ++n) {
            std::vector<int> seen(size, 0);
            size_t smallest = size, largest = 0;
            for (int k = 1; k <= n; ++k) {
                const auto part = ShardPositions(size, {k, n});
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
        const auto s = ParseShard(c.text, fromEnv, &err);
        ASSERT_EQ(s.has_value(), c.index != 0) << c.text;
        EXPECT_EQ(s ? std::make_pair(s->index, s->count) : std::make_pair(0, 0), std::make_pair(c.index, c.count)) << c.text;
        EXPECT_EQ(err.empty(), s.has_value()) << c.text;
    }
    env.clear();
    std::string err;
    EXPECT_FALSE(ParseShard("slurm", fromEnv, &err));
    EXPECT_NE(err.find("SLURM_ARRAY_TASK_ID"), std::string::npos);
}

TEST(Batch, SubfoldersAreNamedAfterStudyFoldersAndNeverShared) {
    std::vector<std::string> list = {"/d/x/night/", "/d/y/night", "/d/night-2/N.EEG", "/d/z/night/N.eeg", "/d/z/night"};
    SortStudies(list);
    EXPECT_EQ(list, (std::vector<std::string>{"/d/night-2/N.EEG", "/d/x/night", "/d/y/night", "/d/z/night",
                                              "/d/z/night/N.eeg"}));
    EXPECT_EQ(StudySubfolders(list), (std::vector<std::string>{"night-2", "night", "night-3", "night-4", "night-5"}));
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
                if (!AppendManifest(dir.path().string(), {{"study", std::to_string(k)}, {"outcome", "complete"}, {"i", i}, {"p", payload}}, &err))
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
    const auto lines = ReadManifest(dir.path().string(), &bad, &err);
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
    EXPECT_EQ(Sha256File((dir / "a.edf").string(), &err),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    nlohmann::json files;
    ASSERT_TRUE(DescribeFiles(folder, {(dir / "a.edf").string(), (dir / "b.edf").string(), (dir / "c.edf").string()},
                              &files, &err));
    EXPECT_EQ(files[0]["path"], "a.edf");
    const nlohmann::json line = {{"study", "/s"}, {"outcome", "complete"}, {"files", files}};
    std::vector<std::string> problems;
    EXPECT_TRUE(FilesUnchanged(folder, line, &problems));
    std::ofstream(dir / "b.edf") << "abd"; // same size, other bytes
    fs::remove(dir / "c.edf");
    EXPECT_FALSE(FilesUnchanged(folder, line, &problems));
    EXPECT_EQ(problems, (std::vector<std::string>{"changed: " + (dir / "b.edf").string(),
                                                  "missing: " + (dir / "c.edf").string()}));
}

// `skrivo export --bids` on simulated studies (EEG, sleep with gaps, a split
// study, two sessions of one subject, 20 studies through --from and -j 2),
// judged by the official BIDS validator and read back against the probe and
// the EDF+ annotations; then the mapping file's errors, re-exports into the
// dataset and the options around them. Every simulated study has a note
// naming its patient.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <map>
#include <set>
#include <sstream>

#include <edflib.h>

#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

std::string Slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

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

TEST(Bids, ValidatorAcceptsTheDatasetAndItHoldsWhatTheFilesHold) {
    sk::test::TempDir dir("skrivo-bids");
    const std::string skrivo = std::string(SKRIVO_CLI_PATH) + " --config " + (dir / "config").string();
    auto run = [&](const std::string& args, const std::string& out = "/dev/null") {
        return std::system((skrivo + " " + args + " >" + out + " 2>&1").c_str());
    };
    const fs::path st = dir / "st", ds = dir / "ds";
    ASSERT_EQ(run("simulate -q " + (st / "a").string() + " --minutes 0.3 --patient 'Roe, Jane' --seed 2"), 0);
    ASSERT_EQ(run("simulate -q " + (st / "b").string() + " --minutes 0.6 --patient 'Roe, Jane' --seed 3 --sleep --gaps"),
              0);
    ASSERT_EQ(run("simulate -q " + (st / "c").string() + " --minutes 1 --patient 'Poe, Edgar' --seed 4"), 0);
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
    for (int i = 1; i <= 20; ++i) {
        const fs::path m = st / ("m" + std::to_string(i));
        ASSERT_EQ(run("simulate -q " + m.string() + " --minutes 0.1 --rate 128 --patient 'Many, Patricia" +
                      std::to_string(i) + "' --seed " + std::to_string(100 + i) + (i % 3 ? "" : " --sleep")),
                  0);
        list << m.string() << "\n";
    }
    list.close();
    const std::string bids = "export --json --bids " + ds.string() + " ";
    ASSERT_EQ(run(bids + "--bids-map " + (dir / "map.tsv").string() + " " + (st / "a").string() + " " +
                      (st / "b").string(),
                  (dir / "r1.json").string()),
              0);
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
            if (line.find("\"event\":\"result\"") != std::string::npos) last = line;
        const auto result = nlohmann::json::parse(last);
        for (const auto& s : result.at("studies")) {
            ++studies;
            ASSERT_EQ(s.at("status"), "exported") << s.dump();
            const auto probe = probeOf(s.at("study"));
            runs += s.at("files").size() > 1;
            for (const std::string edf : s.at("files")) {
                const std::string stem = edf.substr(0, edf.size() - 8); // "_eeg.edf"
                edf_hdr_struct h{};
                ASSERT_EQ(edfopen_file_readonly(edf.c_str(), &h, EDFLIB_READ_ALL_ANNOTATIONS), 0) << edf;
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
                ASSERT_EQ(ev.size(), 1u + h.annotations_in_file) << edf;
                for (int n = 0; n < h.annotations_in_file; ++n) {
                    edf_annotation_struct a{};
                    ASSERT_EQ(edf_get_annotation(h.handle, n, &a), 0);
                    const double onset = std::stod(ev[n + 1][0]) * rate;
                    EXPECT_EQ(onset, std::round(onset)) << ev[n + 1][0] << " is not on a sample";
                    EXPECT_EQ(std::llround(onset), std::llround(a.onset * rate / EDFLIB_TIME_DIMENSION));
                    EXPECT_EQ(ev[n + 1][3], a.annotation);
                    stages += ev[n + 1][2] == "sleep_stage";
                }
                starts[s.at("study")].push_back(h.starttime_hour * 3600 + h.starttime_minute * 60 +
                                                h.starttime_second +
                                                static_cast<double>(h.starttime_subsecond) / EDFLIB_TIME_DIMENSION);
                edfclose_file(h.handle);
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
    EXPECT_EQ(studies, 23u);
    EXPECT_EQ(runs, 2u); // the study with gaps, the study split by --max-duration
    EXPECT_GT(stages, 0u);
    EXPECT_TRUE(fs::exists(ds / "sub-p01" / "ses-day1") && fs::exists(ds / "sub-p01" / "ses-night1"));

    // No name, no record number, in any byte or file name; the key stays outside.
    for (const auto& e : fs::recursive_directory_iterator(ds)) {
        const std::string text = e.path().string() + (e.is_regular_file() ? Slurp(e.path()) : "");
        for (const char* secret : {"Roe", "Jane", "Poe", "Edgar", "Many", "Patricia", "MRN"})
            EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in " << e.path();
    }
    EXPECT_TRUE(fs::exists(dir / "ds.key.json"));

    // In order on a second dataset: what a run prints and its exit status.
    const std::string a = (st / "a").string(), b = (st / "b").string(), c = (st / "c").string(),
                      one = " --bids " + (dir / "ds2").string(), three = " --bids-no-key --bids " + (dir / "ds3").string();
    auto map = [&](const char* name, const std::string& lines) {
        std::ofstream(dir / name) << "study\tsubject\tsession\n" << lines;
        return " --bids-map " + (dir / name).string();
    };
    const struct {
        std::string args;
        int exit;
        std::string says;
    } rows[] = {
        {map("bad.tsv", a + "\tp 1\n") + one + " " + a, 2, "bad.tsv:2: expected study<TAB>subject"},
        {map("dup.tsv", a + "\tp1\n" + a + "\tp2\n") + one + " " + a, 2, "dup.tsv:3: " + a + " is mapped on line 2"},
        {map("unknown.tsv", "/nowhere\tp1\n") + one + " " + a, 0, "unknown.tsv:2: /nowhere is no study of this export"},
        {"--skip-existing" + one + " " + a, 2, "--skip-existing does not work with --bids"},
        {one + " " + a, 1, "is in the dataset already and is not replaced (--overwrite replaces it)"},
        {"--overwrite" + one + " " + a + " " + b, 0, "(8 s in all); each part between them is a file of its own"},
        {map("same.tsv", a + "\tp1\tx\n" + c + "\tp1\tx\n") + one + " " + a + " " + c, 1, "would take the names"},
        {"--no-deidentify" + three + " " + a, 0, ""},
        {"--pad-gaps" + three + " " + b, 0, "(8 s in all) are padded with zeros and marked \"Recording gap\""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(run("export " + row.args, (dir / "out.txt").string()) >> 8, row.exit) << row.args;
        EXPECT_NE(Slurp(dir / "out.txt").find(row.says), std::string::npos) << row.args << "\n" << Slurp(dir / "out.txt");
    }
    // Subjects once each in participants.tsv, however often they came back.
    const auto participants = Tsv(dir / "ds2" / "participants.tsv");
    std::set<std::string> ids;
    for (const auto& r : participants) ids.insert(r.at(0));
    EXPECT_EQ(ids.size(), participants.size());
    EXPECT_EQ(participants.size(), 4u) << Slurp(dir / "ds2" / "participants.tsv"); // header, 001, 002, p1
    // Without de-identification the name stays in the header and the note.
    const fs::path plain = dir / "ds3" / "sub-001" / "eeg" / "sub-001_task-clinical";
    EXPECT_NE(Slurp(plain.string() + "_eeg.edf").substr(0, 256).find("Roe,Jane"), std::string::npos);
    EXPECT_NE(Slurp(plain.string() + "_events.tsv").find("Jane Roe asleep"), std::string::npos);
}

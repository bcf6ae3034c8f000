// Damaged study files end in an honest outcome: what could be read is
// exported (the signals always, whatever became of notes and staging), what
// could not is named with the seconds, notes or stages it cost, and no file
// gets its final name before it is whole.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <sys/stat.h>

#include "support/EdfLibRead.h"
#include "support/SimStudy.h"
#include "writer/WriterTestUtil.h"

using namespace sk::test;
namespace fs = std::filesystem;

namespace {

enum class Damage { None, Delete, Empty, FlipMiddle, FlipBeforeEnd, Fifo };

void Apply(const fs::path& file, Damage d) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    switch (d) {
    case Damage::None: break;
    case Damage::Delete: fs::remove(file); break;
    case Damage::Empty: fs::resize_file(file, 0); break;
    case Damage::Fifo:
        fs::remove(file);
        ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
        break;
    case Damage::FlipMiddle:
    case Damage::FlipBeforeEnd: {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(static_cast<std::streamoff>(d == Damage::FlipMiddle ? size / 2 : size - 5));
        const char c = static_cast<char>(f.get() ^ 0x10);
        f.seekp(static_cast<std::streamoff>(d == Damage::FlipMiddle ? size / 2 : size - 5));
        f.put(c);
        break;
    }
    }
}

} // namespace

TEST(ExportOutcome, DamagedStudyFilesAreNamedAndNeverCostTheSignals) {
    // A sleep study of 8 s in two segments of 3 and 5 s (a 2 s gap between),
    // notes and four 2 s epochs of staging.
    sk::sim::SimOptions o;
    o.sampleRate = 256.0;
    o.durationSeconds = 8.0;
    o.maxEntrySamples = 700;
    o.studyGroup = 2;
    o.epochSeconds = 2;
    o.gaps.push_back({3.0, 2.0, true});
    enum Which { ENT, EPO, ETC0, ERD1, ALL_ETC };
    struct Case {
        const char* name;
        Which which;
        Damage damage;
        sk::ExportOutcome outcome;
        const char* ext;      // of the file the first problem names
        double seconds;       // skipped, -1: not told
        bool notesCounted;    // skipped notes told
        bool stagesCounted;   // skipped stages told
    } cases[] = {
        {"intact", ENT, Damage::None, sk::ExportOutcome::Complete, "", -1, false, false},
        {"notes missing", ENT, Damage::Delete, sk::ExportOutcome::Incomplete, ".ENT", -1, false, false},
        {"notes empty", ENT, Damage::Empty, sk::ExportOutcome::Incomplete, ".ENT", -1, false, false},
        {"notes corrupt", ENT, Damage::FlipMiddle, sk::ExportOutcome::Incomplete, ".ENT", -1, true, false},
        {"staging missing", EPO, Damage::Delete, sk::ExportOutcome::Incomplete, ".EPO", -1, false, false},
        {"staging corrupt", EPO, Damage::FlipBeforeEnd, sk::ExportOutcome::Incomplete, ".EPO", -1, false, true},
        {"first TOC missing", ETC0, Damage::Delete, sk::ExportOutcome::Incomplete, ".ETC", 3.0, false, false},
        {"first TOC a FIFO", ETC0, Damage::Fifo, sk::ExportOutcome::Incomplete, ".ETC", 3.0, false, false},
        {"first TOC corrupt", ETC0, Damage::FlipMiddle, sk::ExportOutcome::Incomplete, ".ETC", 3.0, false, false},
        {"second raw data cut", ERD1, Damage::Empty, sk::ExportOutcome::Incomplete, ".ERD", 5.0, false, false},
        {"no readable TOC", ALL_ETC, Damage::Delete, sk::ExportOutcome::Failed, "", -1, false, false},
    };
    CKeyTree tmpl = MakeTemplate(L"EDF+");
    tmpl.AddKey(L"PadGaps", 1);
    int intactSignals = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimStudy s = Simulate(o, "outcome");
        ASSERT_TRUE(s.res.ok) << std::string(s.res.error.begin(), s.res.error.end());
        ASSERT_EQ(s.res.etcFiles.size(), 2u);
        const fs::path targets[] = {s.res.entFile, s.res.epoFile, s.res.etcFiles[0], s.res.erdFiles[1]};
        if (c.which == ALL_ETC)
            for (const auto& f : s.res.etcFiles) Apply(f, c.damage);
        else
            Apply(targets[c.which], c.damage);
        CKeyTree desc; // probed as a user would: after the damage
        ASSERT_TRUE(CSkrivoer::ProbeStudy(s.folder, o.studyName, &desc));
        s.desc = std::move(desc);

        CExportDetails details(L"study", s.folder, o.studyName, nullptr);
        ExportResult r = RunExport(s, tmpl, &details);
        EXPECT_EQ(r.ok, c.outcome != sk::ExportOutcome::Failed) << std::string(r.text.begin(), r.text.end());
        if (r.ok) details.SetDone();
        else details.SetError(r.code, r.text);
        EXPECT_EQ(details.GetOutcome(), c.outcome);
        const auto problems = details.GetProblems();
        if (*c.ext) {
            ASSERT_FALSE(problems.empty());
            EXPECT_EQ(fs::path(problems[0].file).extension(), c.ext);
            EXPECT_FALSE(problems[0].reason.empty());
            if (c.seconds >= 0) {
                EXPECT_NEAR(problems[0].skippedSeconds, c.seconds, 0.01);
            }
            EXPECT_EQ(problems[0].skippedNotes > 0, c.notesCounted);
            EXPECT_EQ(problems[0].skippedStages == s.res.epochCount, c.stagesCounted);
        } else if (c.outcome == sk::ExportOutcome::Complete) {
            EXPECT_TRUE(problems.empty());
        }
        if (c.outcome == sk::ExportOutcome::Failed) {
            EXPECT_TRUE(r.files.empty()) << "nothing was written";
            EXPECT_NE(r.text.find(L".ETC"), std::wstring::npos) << "the text names the file";
            continue;
        }
        // One file, read whole by EDFlib, with every signal of the study
        // and 10 s of time (padded where a segment was lost), or the 3 s
        // before the lost last segment.
        ASSERT_EQ(r.files.size(), 1u);
        EdfLibFile f = ReadEdfLib(r.files[0]);
        ASSERT_EQ(f.rc, 0);
        if (c.damage == Damage::None) intactSignals = f.hdr->edfsignals;
        EXPECT_EQ(f.hdr->edfsignals, intactSignals);
        EXPECT_GE(f.hdr->datarecords_in_file * f.hdr->datarecord_duration,
                  (c.which == ERD1 ? 3LL : 10LL) * EDFLIB_TIME_DIMENSION);
    }
}

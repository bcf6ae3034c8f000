// Exports of studies whose contents or file names are unusual but legal:
// header texts with control characters, unknown sex, thousands of notes at
// one instant, blank patient names, lower-case file extensions. Every output
// must still open in EDFlib.

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>

#include "platform/Log.h"
#include "recorddata/SkrivoAnnotationManager.h"
#include "support/EdfCheck.h"
#include "support/SimStudy.h"
#include "writer/WriterTestUtil.h"

using namespace sk::test;
using sk::sim::SimOptions;

namespace {

SimOptions Short(double seconds, int headbox = 1) {
    SimOptions o;
    o.headboxType = headbox;
    o.sampleRate = 256.0;
    o.durationSeconds = seconds;
    o.maxEntrySamples = 700;
    return o;
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

void ClearOutput(const SimStudy& s) {
    std::filesystem::remove_all(s.out);
    std::filesystem::create_directories(s.out);
}

} // namespace

TEST(HostileStudy, ControlCharactersAndUnknownSexStillOpen) {
    SimStudy s = Simulate(Short(3.0), "ctl");
    ASSERT_TRUE(s.res.ok && s.probed);
    s.desc.SetAt(L"Info.Personal.Gender", L"Unknown");
    s.desc.SetAt(L"Info.Admin.ID", L"MRN\t42");
    s.desc.SetAt(L"Study.StudyName", L"night\x01study");
    s.desc.SetAt(L"Info.Name.LastName", L"Do\x7f" L"e");
    ExportResult r = RunExport(s, MakeTemplate(L"EDF+"));
    ASSERT_TRUE(r.ok) << Narrow(r.text);
    ASSERT_EQ(r.files.size(), 1u);
    EdfFile strict(r.files[0]);
    ASSERT_TRUE(strict.Ok()) << strict.Error();
    // Code, sex, birth date, name: control characters and unknown sex give "X".
    const std::string patient = strict.Header().patient;
    EXPECT_EQ(patient.substr(0, 4), "X X ");
    EXPECT_NE(patient.find(" X,John "), std::string::npos) << patient;
    EdfLibFile f = ReadEdfLib(r.files[0]);
    ASSERT_EQ(f.rc, 0) << f.hdr->filetype;
    // "Startdate dd-MMM-yyyy <study name> ...": the study name is "X".
    const std::string rec = strict.Header().recording;
    EXPECT_EQ(rec.substr(21, 3), " X ") << rec;
}

TEST(HostileStudy, DenseAnnotationsKeepRecordsOfOneSecond) {
    SimStudy s = Simulate(Short(6.0, 2), "dense");
    ASSERT_TRUE(s.res.ok && s.probed);
    ASSERT_GE(s.res.channelCount, 20);
    CKeyTree tmpl = MakeTemplate(L"EDF+");
    CExportDetails details(L"study", s.folder, s.opt.studyName, nullptr);
    CSkrivoer w(s.desc, tmpl, s.out.wstring());
    std::vector<CSkrivoAnnotationManager::NoteInput> notes(1000);
    for (size_t i = 0; i < notes.size(); ++i) {
        // Long texts: the annotation signal alone outgrows the record limit.
        notes[i].text = L"Burst of spikes over the left temporal chain, note " + std::to_wstring(i);
        notes[i].start = s.res.startStamp + 512;
    }
    w.GetAnnotationManager().AddNotes(notes, s.opt.sampleRate);
    sk::LogCapture log;
    ASSERT_TRUE(w.Export(&details)) << Narrow(w.GetLastErrorText());
    EXPECT_EQ(w.GetRecordDuration(), 1.0);
    EXPECT_GT(w.GetBytesPerRecord(), 61440);
    EXPECT_GE(log.EventCount(), 1u); // the template cannot be made to fit
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(s.out))
        files.push_back(e.path());
    ASSERT_EQ(files.size(), 1u);
    // Seven one-second records (the last padded), not one record per sample.
    const auto size = std::filesystem::file_size(files[0]);
    EXPECT_LT(size, 8u * 256u * 1024u) << size;

    EdfLibFile f = ReadEdfLib(files[0].string());
    ASSERT_EQ(f.rc, 0) << f.hdr->filetype;
    EXPECT_EQ(f.hdr->datarecord_duration, EDFLIB_TIME_DIMENSION);
    int bursts = 0;
    for (const auto& a : f.annots) {
        if (std::string(a.annotation).rfind("Burst of spikes", 0) == 0) {
            ++bursts;
            EXPECT_EQ(a.onset, 2 * EDFLIB_TIME_DIMENSION) << a.annotation;
        }
    }
    EXPECT_EQ(bursts, 1000);
}

TEST(HostileStudy, BlankPatientNamesAreNeverSearched) {
    SimStudy s = Simulate(Short(2.0), "blank");
    ASSERT_TRUE(s.res.ok && s.probed);
    CKeyTree t = MakeTemplate(L"EDF");
    t.AddKey(L"Deidentify", 1);
    const std::string guidName = "X~ X_6b29fc40-ca47-1067-b31d-00dd010662da.EDF";
    struct Case {
        const wchar_t* last;
        const wchar_t* first;
        std::string file;
    } cases[] = {
        {L"Doe", L"John", "X~ X_0001.EDF"},
        {L"", L"", guidName},
        {L" ", L"  ", guidName},
        {L"Doe", L"", guidName},
        {L"", L"John", guidName},
        {L"Doe", L"\t", guidName},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(std::wstring(c.last) + L"|" + c.first));
        ClearOutput(s);
        s.desc.SetAt(L"Info.Name.LastName", c.last);
        s.desc.SetAt(L"Info.Name.FirstName", c.first);
        ExportResult r = RunExport(s, t);
        ASSERT_TRUE(r.ok) << Narrow(r.text);
        ASSERT_EQ(r.files.size(), 1u);
        EXPECT_EQ(std::filesystem::path(r.files[0]).filename().string(), c.file);
    }
}

TEST(HostileStudy, LowerCaseExtensionsExportTheSame) {
    SimOptions o = Short(8.0, 2);
    o.studyGroup = 2; // staging too
    o.epochSeconds = 2;
    o.gaps.push_back({3.0, 2.0, true}); // two segment files
    SimStudy s = Simulate(o, "lower");
    ASSERT_TRUE(s.res.ok && s.probed);
    CKeyTree tmpl = MakeTemplate(L"EDF+");
    tmpl.AddKey(L"PadGaps", 1); // continuous, so EDFlib reads it
    ExportResult upper = RunExport(s, tmpl);
    ASSERT_TRUE(upper.ok) << Narrow(upper.text);
    ASSERT_EQ(upper.files.size(), 1u);
    const std::string expected = ReadAll(upper.files[0]);

    int renamed = 0;
    for (const auto& e : std::filesystem::directory_iterator(s.opt.folder)) {
        if (!e.is_regular_file())
            continue;
        std::string ext = e.path().extension().string();
        std::string lower = ext;
        for (auto& ch : lower)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (lower != ext) {
            std::filesystem::path to = e.path();
            to.replace_extension(lower);
            std::filesystem::rename(e.path(), to);
            ++renamed;
        }
    }
    ASSERT_GE(renamed, 7); // EEG, STC, ENT, EPO and per segment ETC and ERD

    CKeyTree desc;
    ASSERT_TRUE(CSkrivoer::ProbeStudy(s.folder, s.opt.studyName, &desc));
    const std::filesystem::path out = s.dir->path() / "out-lower";
    std::filesystem::create_directories(out);
    CExportDetails details(L"study", s.folder, s.opt.studyName, nullptr);
    CSkrivoer w(desc, tmpl, out.wstring());
    ASSERT_TRUE(w.Export(&details)) << Narrow(w.GetLastErrorText());
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(out))
        files.push_back(e.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename(), std::filesystem::path(upper.files[0]).filename());
    EXPECT_TRUE(ReadAll(files[0].string()) == expected) << "exports differ";
    EdfLibFile f = ReadEdfLib(files[0].string());
    ASSERT_EQ(f.rc, 0) << f.hdr->filetype;
    // Eight seconds recorded and a padded gap of two: both segments are in.
    EXPECT_GE(f.hdr->datarecords_in_file * f.hdr->datarecord_duration, 10LL * EDFLIB_TIME_DIMENSION);
    EXPECT_GE(f.annots.size(), 4u);            // notes and stages
}

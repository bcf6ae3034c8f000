// The export list: adding studies (folders, ".EEG" paths, duplicates), the
// refusals once exporting, lookups, and the settings read at construction.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "EngineTestUtil.h"
#include "engine/SkrivoEngine.h"
#include "platform/Log.h"
#include "platform/Registry.h"
#include "support/TempDir.h"
#include "templates/SkrivoTemplateManager.h"
#include "tools/simulator/StudySimulator.h"
#include "writer/ExportDetails.h"

using sk::enginetest::ScopedRegistry;

namespace {

sk::sim::SimResult Simulate(const std::filesystem::path& folder, int decimation = 0) {
    sk::sim::SimOptions o;
    o.folder = folder;
    o.sampleRate = 64;
    o.durationSeconds = 4;
    o.decimation = decimation;
    return sk::sim::SimulateStudy(o);
}

} // namespace

TEST(EngineList, DuplicatesAreRefusedIgnoringCase) {
    ScopedRegistry reg;
    CSkrivoEngine engine;
    ASSERT_TRUE(engine.AddExportEntry(new CExportDetails(L"Study1", L"/data/Alpha/", L"a", nullptr)));
    struct Case {
        const wchar_t* id;
        const wchar_t* path;
    } cases[] = {
        {L"STUDY1", L"/nowhere"},     // same id, other letter case
        {L"other", L"/DATA/alpha/"}, // same folder, other id
    };
    for (const auto& c : cases) {
        sk::LogCapture log;
        EXPECT_FALSE(engine.AddExport(c.id, c.path, nullptr));
        EXPECT_TRUE(log.Contains(std::wstring(L"CSkrivoEngine::AddExport - ") + c.id +
                                     L" not added because it is already in the export list.",
                                 8))
            << log.Texts().size();
    }
    EXPECT_EQ(engine.GetExportCount(), 1u);
}

TEST(EngineList, MissingStudiesAreRefusedWithTheirPathOrPattern) {
    ScopedRegistry reg;
    sk::test::TempDir dir;
    std::filesystem::create_directories(dir / "empty");
    std::ofstream(dir / "empty" / "notes.txt") << "x";
    CSkrivoEngine engine;
    const std::wstring missing = (dir / "gone").wstring();
    const std::wstring empty = (dir / "empty").wstring();
    struct Case {
        std::wstring path, message;
    } cases[] = {
        {missing, L"CSkrivoEngine::AddExport - could not find study at " + missing},
        {L"", L"CSkrivoEngine::AddExport - could not find study at "},
        {empty, L"CSkrivoEngine::AddExport - could not find .EEG file in study in " + empty + L"/*.eeg"},
    };
    for (const auto& c : cases) {
        sk::LogCapture log;
        EXPECT_FALSE(engine.AddExport(L"s", c.path.c_str(), nullptr));
        EXPECT_TRUE(log.Contains(c.message, 8)) << std::string(c.message.begin(), c.message.end());
    }
    EXPECT_EQ(engine.GetExportCount(), 0u);
}

TEST(EngineList, FolderKeepsItsFormAndEegPathGetsATrailingSeparator) {
    ScopedRegistry reg;
    sk::test::TempDir dir;
    auto a = Simulate(dir / "a");
    auto b = Simulate(dir / "b", 4);
    ASSERT_TRUE(a.ok && b.ok);
    CSkrivoEngine engine;
    ASSERT_TRUE(engine.AddExport(L"A", (dir / "a").wstring().c_str(), nullptr));
    ASSERT_TRUE(engine.AddExport(L"B", b.eegFile.wstring().c_str(), nullptr));
    EXPECT_EQ(engine.GetExportAt(0)->GetStudyFolder(), (dir / "a").wstring());
    EXPECT_EQ(engine.GetExportAt(1)->GetStudyFolder(), (dir / "b").wstring() + L"/");
    EXPECT_EQ(engine.GetExportAt(1)->GetStudyName(), b.eegFile.stem().wstring());

    // Lookups are exact; a missing key is not an error.
    EXPECT_EQ(IntOf(engine.GetStudyInfo(L"A", L"Headbox.HB0.HBType"), 0), 1);
    EXPECT_EQ(engine.GetStudyInfo(L"A", L"No.Such.Key"), nullptr);
    EXPECT_EQ(engine.GetStudyInfo(L"A", L"Decimated"), nullptr);
    EXPECT_NE(engine.GetStudyInfo(L"B", L"Decimated.Samples.End"), nullptr) << "decimated probe kept";
    sk::LogCapture log;
    EXPECT_EQ(engine.GetStudyInfo(L"a", L"Samples.End"), nullptr);
    EXPECT_TRUE(log.Contains(L"CSkrivoEngine::GetStudyInfo - export study not found.", 8));
    // The engine chose a template, an instance owned by the manager.
    ASSERT_NE(engine.GetTemplate(L"A"), nullptr);
    EXPECT_TRUE(engine.GetTemplate(L"A")->IsInstance());
    EXPECT_GT(engine.EstimateSize(L"A"), 256);
}

TEST(EngineList, EveryListOperationIsRefusedOnceExporting) {
    ScopedRegistry reg;
    CSkrivoEngine engine;
    sk::LogCapture early;
    engine.Cancel();
    EXPECT_TRUE(early.Contains(L"CSkrivoEngine::Cancel - export not in progress.", 8));
    EXPECT_FALSE(engine.IsDone());

    engine.Export(L"/out", nullptr, false);
    sk::LogCapture log;
    std::vector<CSkrivoTemplate*> offered;
    CSkrivoTemplate* t = engine.GetTemplateManager()->Create(L"EEG", L"x");
    EXPECT_FALSE(engine.AddExport(L"s", L"/x", nullptr));
    EXPECT_FALSE(engine.SetTemplate(L"s", t, false));
    EXPECT_EQ(engine.GetTemplate(L"s"), nullptr);
    EXPECT_EQ(engine.GetStudyInfo(L"s", L"Info"), nullptr);
    EXPECT_EQ(engine.EstimateSize(L"s"), -1);
    engine.GetTemplatesForStudy(L"s", offered);
    EXPECT_FALSE(engine.EditTemplate(L"s", nullptr));
    engine.Export(L"/out", nullptr, false);
    EXPECT_TRUE(offered.empty());
    for (const wchar_t* text : {
             L"CSkrivoEngine::AddExport - export in progress.",
             L"CSkrivoEngine::SetTemplate - export in progress.",
             L"CSkrivoEngine::GetTemplate - export in progress.",
             L"CSkrivoEngine::GetStudyInfo - export in progress.",
             L"CSkrivoEngine::EstimateSize - export in progress.",
             L"CSkrivoEngine::GetTemplatesForStudy - export in progress.",
             L"CSkrivoEngine::EditTemplate - export in progress.",
             L"CSkrivoEngine::Export - export already in progress.",
         })
        EXPECT_TRUE(log.Contains(text, 8)) << std::string(text, text + wcslen(text));
    EXPECT_NE(engine.GetTemplateManager(), nullptr);
    engine.Cancel();
    EXPECT_TRUE(engine.IsDone()) << "an empty list is done once its monitor ended";
}

TEST(EngineSettings, MissingOrMistypedValuesAreSeededWithDefaults) {
    ScopedRegistry reg;
    {
        std::unique_ptr<sk::RegistryKey> key;
        ASSERT_EQ(sk::RegistryKey::Create(sk::HKEY_LOCAL_MACHINE, L"Software\\Corvane\\Ostra\\EDF", sk::KEY_READ | sk::KEY_WRITE, &key), 0);
        key->SetString(L"BreakQueryLimit", L"lots"); // wrong type
        key->SetDword(L"AllowEFormat", 7);            // valid, non-zero flag
        key->SetString(L"Extension", L"rec");
    }
    CSkrivoEngine engine;
    const CKeyTree& s = engine.GetSettings();
    EXPECT_EQ(AsCStr(s.GetAt(L"Extension"), L""), L"rec");
    EXPECT_EQ(IntOf(s.GetAt(L"BreakQueryLimit"), -1), 100);
    EXPECT_EQ(IntOf(s.GetAt(L"AllowEFormat"), -1), 1);
    EXPECT_EQ(IntOf(s.GetAt(L"InvertACChannels"), -1), 1);
    EXPECT_EQ(IntOf(s.GetAt(L"UseEDFDurationLimit"), -1), 0);

    std::unique_ptr<sk::RegistryKey> key;
    ASSERT_EQ(sk::RegistryKey::Open(sk::HKEY_LOCAL_MACHINE, L"Software\\Corvane\\Ostra\\EDF", sk::KEY_READ, &key), 0);
    uint32_t type = 0;
    std::vector<uint8_t> data;
    ASSERT_EQ(key->QueryValue(L"BreakQueryLimit", &type, &data), 0);
    EXPECT_EQ(type, sk::REG_DWORD);
    ASSERT_EQ(key->QueryValue(L"MaximizeEDFRecordSize", &type, &data), 0);
    EXPECT_EQ(type, sk::REG_DWORD);
}

TEST(EngineSettings, ReadOnlyRegistryGivesDefaultsAndWritesNothing) {
    ScopedRegistry reg;
    setenv("SKRIVO_REGISTRY_READONLY", "1", 1);
    CSkrivoEngine engine;
    EXPECT_EQ(AsCStr(engine.GetSettings().GetAt(L"Extension"), L""), L"edf");
    EXPECT_EQ(IntOf(engine.GetSettings().GetAt(L"MaximizeEDFRecordSize"), -1), 1);
    std::unique_ptr<sk::RegistryKey> key;
    if (sk::RegistryKey::Open(sk::HKEY_LOCAL_MACHINE, L"Software\\Corvane\\Ostra\\EDF", sk::KEY_READ, &key) == 0) {
        EXPECT_TRUE(key->ValueNames().empty());
    }
}

TEST(EngineList, ExportRemembersTemplatesOnlyWhenAsked) {
    ScopedRegistry reg;
    for (bool remember : {false, true}) {
        {
            CSkrivoEngine engine;
            engine.SetExportJob([](CExportDetails&, int32_t&, std::wstring&) { return true; });
            CSkrivoTemplate* t = engine.GetTemplateManager()->CreateDefault(1, 4);
            t->SetName(remember ? L"Kept" : L"Forgotten");
            auto* e = new CExportDetails(L"s", L"/s/", L"s", t);
            e->GetStudyInfo().AddKey(L"Headbox.HB0.HBType", 4);
            e->GetStudyInfo().AddKey(L"Study.StudyGroup", 1);
            ASSERT_TRUE(engine.AddExportEntry(e));
            engine.Export(L"/out", nullptr, remember);
            ASSERT_TRUE(engine.WaitForExport(10000));
            EXPECT_EQ(engine.GetExportAt(0)->GetOutputFolder(), L"/out");
        }
        CSkrivoTemplateManager manager;
        CSkrivoTemplate* last = manager.GetLastUsed(4, 1);
        if (remember) {
            ASSERT_NE(last, nullptr);
            EXPECT_EQ(last->GetName(), L"Kept");
        } else {
            EXPECT_EQ(last, nullptr);
        }
    }
}

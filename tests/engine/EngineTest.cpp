// The engine: its export list and settings, size estimates, the choice of a
// template for a study, and the export threads driven through the
// replaceable export job (scheduling, reporting and cancellation without real
// studies; run under ThreadSanitizer by the test script).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "engine/SkrivoEngine.h"
#include "engine/TemplateSelection.h"
#include "platform/Log.h"
#include "platform/Registry.h"
#include "platform/Sync.h"
#include "platform/recording/Montage.h"
#include "support/EdfLibRead.h"
#include "support/IsolatedSettings.h"
#include "support/TempDir.h"
#include "templates/SkrivoTemplateManager.h"
#include "tools/simulator/StudySimulator.h"
#include "writer/ExportDetails.h"
#include "writer/Skrivoer.h"

using ScopedRegistry = sk::test::IsolatedSettings;

namespace {

// The keys of a study description that template choice and estimates read.
CKeyTree MakeStudy(int hbType, int group, int rawCount) {
    CKeyTree t;
    t.AddKey(L"Headbox.HB0.HBType", hbType);
    t.AddKey(L"Study.StudyGroup", group);
    t.AddKey(L"Channels.RawCount", rawCount);
    return t;
}

void AddEntries(CSkrivoEngine& engine, const std::vector<std::wstring>& ids) {
    for (const auto& id : ids)
        ASSERT_TRUE(engine.AddExportEntry(new CExportDetails(id, L"/studies/" + id + L"/", id, nullptr)));
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

} // namespace

// --- the export list and the settings ---------------------------------------

// A study is added by its folder (kept as given) or its .EEG file (its
// folder, with a trailing separator); one already listed under another
// spelling, or one that cannot be found, is refused with the reason.
TEST(EngineList, StudiesAreAddedByFolderOrEegFileOnceAndMissingOnesRefused) {
    ScopedRegistry reg;
    sk::test::TempDir dir;
    std::filesystem::create_directories(dir / "empty");
    std::ofstream(dir / "empty" / "notes.txt") << "x";
    sk::sim::SimOptions o{.sampleRate = 64, .durationSeconds = 4};
    o.folder = dir / "a";
    ASSERT_TRUE(sk::sim::SimulateStudy(o).ok);
    o.folder = dir / "b";
    o.decimation = 4;
    const sk::sim::SimResult b = sk::sim::SimulateStudy(o);
    ASSERT_TRUE(b.ok);
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
    EXPECT_EQ(engine.GetStudyInfo(L"a", L"Samples.End"), nullptr);

    const std::wstring missing = (dir / "gone").wstring(), empty = (dir / "empty").wstring();
    const std::wstring in = L"CSkrivoEngine::AddExport - ", listed = L" not added because it is already in the export list.";
    struct Case {
        std::wstring id, path, message;
    } cases[] = {
        {L"a", L"/nowhere", in + L"a" + listed}, // same id, other letter case
        {L"other", (dir / "A").wstring(), in + L"other" + listed}, // same folder, other id and case
        {L"s", missing, in + L"could not find study at " + missing},
        {L"s", L"", in + L"could not find study at "},
        {L"s", empty, in + L"could not find .EEG file in study in " + empty + L"/*.eeg"},
    };
    for (const auto& c : cases) {
        sk::LogCapture log;
        EXPECT_FALSE(engine.AddExport(c.id.c_str(), c.path.c_str(), nullptr));
        EXPECT_TRUE(log.Contains(c.message, 8)) << Narrow(c.message);
    }
    EXPECT_EQ(engine.GetExportCount(), 2u);
}

// (The list operations refused while exporting are refused for a study not
// in the list as well: an empty list cannot tell the two apart.)
TEST(EngineList, ASecondExportIsRefusedAndAnEmptyListIsDone) {
    ScopedRegistry reg;
    CSkrivoEngine engine;
    engine.Cancel(); // not exporting: nothing to do
    EXPECT_FALSE(engine.IsDone());

    engine.Export(L"/out", nullptr, false);
    sk::LogCapture log;
    engine.Export(L"/out", nullptr, false);
    EXPECT_TRUE(log.Contains(L"CSkrivoEngine::Export - export already in progress.", 8));
    engine.Cancel();
    EXPECT_TRUE(engine.IsDone()) << "an empty list is done once its monitor ended";
}

// The engine reads its settings through the registry reader (whose own
// tests cover types, seeding and a read-only registry): a stored value wins,
// a mistyped one gives the default.
TEST(EngineSettings, StoredValuesWinAndMistypedOnesGiveTheDefault) {
    ScopedRegistry reg;
    const wchar_t* path = L"Software\\Corvane\\Ostra\\EDF";
    std::unique_ptr<sk::RegistryKey> key;
    ASSERT_EQ(sk::RegistryKey::Create(sk::HKEY_LOCAL_MACHINE, path, sk::KEY_READ | sk::KEY_WRITE, &key), 0);
    key->SetString(L"BreakQueryLimit", L"lots"); // wrong type
    key->SetString(L"Extension", L"rec");
    key.reset();
    CSkrivoEngine engine;
    EXPECT_EQ(AsCStr(engine.GetSettings().GetAt(L"Extension"), L""), L"rec");
    EXPECT_EQ(IntOf(engine.GetSettings().GetAt(L"BreakQueryLimit"), -1), 100);
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
            e->GetStudyInfo() = MakeStudy(4, 1, 0);
            ASSERT_TRUE(engine.AddExportEntry(e));
            engine.Export(L"/out", nullptr, remember);
            ASSERT_TRUE(engine.WaitForExport(10000));
            EXPECT_EQ(engine.GetExportAt(0)->GetOutputFolder(), L"/out");
        }
        CSkrivoTemplateManager manager;
        CSkrivoTemplate* last = manager.GetLastUsed(4, 1);
        EXPECT_EQ(last ? last->GetName() : L"<none>", remember ? L"Kept" : L"<none>");
    }
}

// --- size estimates ---------------------------------------------------------

namespace {

// What a study of the table is made of.
enum class Kind { Eeg, Decimated, Sleep };

sk::sim::SimOptions StudyOf(Kind kind, const std::filesystem::path& folder) {
    sk::sim::SimOptions o;
    o.folder = folder;
    o.headboxType = kind == Kind::Sleep ? 5 : 3; // 3: calibrated DC inputs
    o.studyGroup = kind == Kind::Sleep ? 2 : 1;
    o.durationSeconds = 20.0;
    o.maxEntrySamples = 700; // several entries per table of contents
    o.creationMillis = 300;
    if (kind != Kind::Sleep) o.gaps = {{6.0, 2.5, false}, {13.0, 1.5, true}};
    if (kind == Kind::Decimated) o.decimation = 4;
    return o;
}

void SetSelection(CSkrivoTemplate& t, bool everyOther) {
    if (auto* list = AsItemList(t.GetAt(CSkrivoTemplate::kChannelsSelected)))
        for (int i = 0; i < list->GetCount(); ++i)
            if (auto* ch = AsKeyTree(list->GetChild(i))) ch->SetAt(CSkrivoTemplate::kEntrySelected, everyOther ? i % 2 : 1);
}

} // namespace

// Every kind of template: the estimate is, to the byte, what the export
// writes, and every file written opens in a strict reader.
TEST(EstimateSize, IsWhatTheExportWritesForEveryKindOfTemplate) {
    ScopedRegistry reg;
    using T = CSkrivoTemplate;
    const auto montage = [](T& t, const CKeyTree& study, T::ChannelDefinition def) {
        t.SetChannelDefinition(def, &study);
        t.SetMontage(new CKeyTree(*AsKeyTree(study.GetAt(L"Montage"))), &study);
    };
    // Cases whose name begins with "split" write several files.
    const struct {
        const char* name;
        Kind study;
        const wchar_t* format;
        int padGaps;
        std::function<void(T&, const CKeyTree&)> shape;
    } cases[] = {
        {"raw channels", Kind::Eeg, L"EDF", 0, [](T&, const CKeyTree&) {}},
        {"raw channel list", Kind::Eeg, L"EDF", 0, [](T& t, const CKeyTree&) { SetSelection(t, true); }},
        // Bound without a montage or channel list: the recording montage.
        {"no montage key", Kind::Eeg, L"EDF", 0,
         [](T& t, const CKeyTree& study) {
             t.SetChannelDefinition(T::ChannelsAcquisitionMontage, &study);
             t.SetMontage(nullptr, &study);
             t.DeleteKey(T::kChannelsSelected);
         }},
        // Derivations without their montage: the recording montage's, said.
        {"derivations, montage lost", Kind::Eeg, L"EDF", 0,
         [](T& t, const CKeyTree& study) { t.SetChannelDefinition(T::ChannelsMontage, &study); }},
        {"recording montage, calibrated DC", Kind::Eeg, L"EDF+", 1,
         [&](T& t, const CKeyTree& study) { montage(t, study, T::ChannelsAcquisitionMontage); }},
        {"derivations, some selected", Kind::Eeg, L"EDF+", 0,
         [&](T& t, const CKeyTree& study) { montage(t, study, T::ChannelsMontage); SetSelection(t, true); }},
        {"EDF+C", Kind::Eeg, L"EDF+", 1, [](T&, const CKeyTree&) {}},
        {"EDF+D with event channels", Kind::Eeg, L"EDF+", 0,
         [](T& t, const CKeyTree&) { t.SetExportTrigger(true); t.SetExportPatientEvent(true); }},
        {"EDF+ sleep stages, de-identified", Kind::Sleep, L"EDF+", 0, [](T& t, const CKeyTree&) { t.SetDeidentify(true); }},
        {"decimated", Kind::Decimated, L"EDF+", 1, [](T& t, const CKeyTree&) { t.SetExportDecimatedData(true); }},
        // Full-rate data, as the export writes it.
        {"decimated asked, none recorded", Kind::Eeg, L"EDF", 0, [](T& t, const CKeyTree&) { t.SetExportDecimatedData(true); }},
        {"split by size, EDF+D", Kind::Eeg, L"EDF+", 0, [](T& t, const CKeyTree&) { t.SetSpatialMaximum(150000); }},
        {"split at gaps", Kind::Eeg, L"EDF+", 0, [](T& t, const CKeyTree&) { t.SetAt(L"SplitAtGaps", 1); }},
        {"split by duration, EDF", Kind::Eeg, L"EDF", 0, [](T& t, const CKeyTree&) { t.SetTemporalMaximum(7); }},
        {"split by duration, decimated EDF+D", Kind::Decimated, L"EDF+", 0,
         [](T& t, const CKeyTree&) { t.SetExportDecimatedData(true); t.SetTemporalMaximum(9); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sk::test::TempDir dir("estimate");
        ASSERT_TRUE(sk::sim::SimulateStudy(StudyOf(c.study, dir / "study")).ok);
        CSkrivoEngine engine;
        ASSERT_TRUE(engine.AddExport(L"s", (dir / "study").wstring().c_str(), nullptr));
        CSkrivoTemplate* t = engine.GetTemplate(L"s");
        ASSERT_NE(t, nullptr);
        t->SetAt(CSkrivoTemplate::kExportFormat, c.format);
        t->SetAt(CSkrivoTemplate::kPadGaps, c.padGaps);
        c.shape(*t, engine.GetExportAt(0)->GetStudyInfo());
        std::vector<std::wstring> notices;
        const int64_t estimate = engine.EstimateSize(L"s", nullptr, &notices);

        std::filesystem::create_directories(dir / "out");
        engine.Export((dir / "out").wstring().c_str(), nullptr, false);
        ASSERT_TRUE(engine.WaitForExport(60000));
        ASSERT_EQ(engine.GetExportAt(0)->GetOutcome(), sk::ExportOutcome::Complete);
        // Full-rate data where decimated was asked for is said, not hidden;
        // so is a montage template without its montage.
        EXPECT_EQ(engine.GetExportAt(0)->GetNotices().size(),
                  (c.study != Kind::Decimated && t->GetExportDecimatedData()) +
                      (t->GetChannelDefinition() == T::ChannelsMontage && !t->GetAt(T::kMontage)));
        EXPECT_EQ(notices, engine.GetExportAt(0)->GetNotices()) << "the estimate says it, too";
        int64_t written = 0;
        size_t files = 0;
        for (const auto& f : std::filesystem::directory_iterator(dir / "out")) {
            if (f.path().filename() == "manifest.jsonl") continue;
            written += static_cast<int64_t>(f.file_size());
            ++files;
            sk::test::ReadChecked(f.path().string());
        }
        EXPECT_EQ(files > 1, std::string(c.name).rfind("split", 0) == 0) << files << " files";
        EXPECT_EQ(estimate, written);
    }
    // Absent studies and entries without a template have no estimate.
    CSkrivoEngine engine;
    ASSERT_TRUE(engine.AddExportEntry(new CExportDetails(L"bare", L"/b/", L"b", nullptr)));
    for (const wchar_t* id : {L"nobody", L"BARE", L"bare"}) EXPECT_EQ(engine.EstimateSize(id), -1) << Narrow(id);
}

// --- the template a study gets ----------------------------------------------

// A stored template (in the manager's list) with raw channels of a headbox,
// or the derivations of its recording montage, or a montage template without one.
enum class Source { Raw, Montage, NoMontage };
CSkrivoTemplate* Store(CSkrivoTemplateManager& manager, const std::wstring& modality, const std::wstring& name, int hb,
                       Source source = Source::Raw) {
    CSkrivoTemplate* t = manager.Create(modality, name);
    t->SetHeadboxType(hb);
    t->SetChannelDefinition(source == Source::Raw ? CSkrivoTemplate::ChannelsRawData : CSkrivoTemplate::ChannelsMontage,
                            nullptr);
    if (source == Source::Montage) {
        CMontage m(hb);
        auto tree = std::make_unique<CKeyTree>();
        EXPECT_TRUE(m.Load(static_cast<const CKeyTree*>(nullptr)) == 0 && m.Save(*tree) == 0);
        t->SetMontage(tree.release(), nullptr);
    }
    EXPECT_EQ(manager.Save(t, true), 0);
    return manager.GetItem(modality, name);
}

// A private registry, EEG and sleep template folders, and their manager.
struct Templates {
    ScopedRegistry reg;
    sk::test::TempDir eegDir{"skrivo-eeg"}, sleepDir{"skrivo-sleep"};
    CSkrivoTemplateManager manager;
    Templates() {
        EXPECT_EQ(manager.Load(L"EEG", eegDir.wpath()), 0);
        EXPECT_EQ(manager.Load(L"Sleep", sleepDir.wpath()), 0);
    }
};

// A stored template that fits (headbox, modality by the study group, raw
// channel count, a montage of its own for montage derivations) is cloned for
// the study, the last used one first; without one the study gets an unnamed
// default of its headbox. Headboxes 1 to 27 only.
TEST(Selection, FittingStoredOrLastUsedTemplateIsClonedElseTheDefault) {
    struct Case {
        const char* what;
        struct Stored {
            const wchar_t *modality, *name;
            int hb;
            Source source = Source::Raw;
        };
        std::vector<Stored> stored;
        const wchar_t* lastUsed;
        int group, moreChannels;
        const wchar_t *name, *modality;
    } const cases[] = {
        {"fitting stored", {{L"EEG", L"Routine", 1}}, nullptr, 1, 0, L"Routine", L"EEG"},
        {"last used wins", {{L"EEG", L"First", 1}, {L"EEG", L"Favourite", 1}}, L"Favourite", 1, 0, L"Favourite", L"EEG"},
        // Raw data listing one channel fewer than the study has does not fit.
        {"none fits", {{L"EEG", L"OtherHeadbox", 2}, {L"EEG", L"Fewer", 1}}, nullptr, 1, 1, L"", L"EEG"},
        // Montage derivations without a montage would be the headbox's
        // recording montage under the template's name: no fit, even last used.
        {"montage missing",
         {{L"EEG", L"Emptied", 1, Source::NoMontage}, {L"EEG", L"Banana", 1, Source::Montage}},
         L"Emptied", 1, 0, L"Banana", L"EEG"},
        // Group 3 chooses among sleep templates but matches only EEG ones.
        {"group three", {{L"Sleep", L"Night", 1}}, nullptr, 3, 0, L"", L"Sleep"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Templates tt;
        CSkrivoTemplateManager& manager = tt.manager;
        int channels = 0; // of the raw channels of a headbox-1 template
        for (const auto& [modality, name, hb, source] : c.stored) {
            const CSkrivoTemplate* t = Store(manager, modality, name, hb, source);
            if (hb == 1 && source == Source::Raw) channels = t->GetTotalChannelCount();
        }
        if (c.lastUsed) manager.SetLastUsed(1, 1, manager.GetItem(L"EEG", std::wstring(c.lastUsed)));
        CKeyTree study = MakeStudy(1, c.group, channels + c.moreChannels);
        CSkrivoTemplate* chosen = sk::engine::FindTemplateForStudy(manager, &study);
        ASSERT_NE(chosen, nullptr);
        EXPECT_TRUE(chosen->IsInstance());
        EXPECT_EQ(Narrow(chosen->GetName()), Narrow(c.name));
        EXPECT_EQ(Narrow(chosen->GetModality()), Narrow(c.modality));
        EXPECT_EQ(chosen->GetHeadboxType(), 1);
        if (*c.name) {
            const CSkrivoTemplate* source = manager.GetItem(c.modality, std::wstring(c.name));
            EXPECT_NE(chosen, source) << "a stored template is cloned, never bound";
            EXPECT_TRUE(manager.IsCloneOf(chosen, source));
        }
    }
    Templates tt;
    for (int hb : {0, 1, 27, 28, -1}) {
        CKeyTree study = MakeStudy(hb, 1, 32);
        EXPECT_EQ(sk::engine::FindTemplateForStudy(tt.manager, &study) != nullptr, hb >= 1 && hb <= 27) << hb;
    }
}

TEST(Selection, UpdateRebuildsRawChannelsAndKeepsUnfittingMontages) {
    Templates tt;
    CSkrivoTemplateManager& manager = tt.manager;
    // Raw data for another headbox: rebuilt from the study.
    CSkrivoTemplate* raw = manager.CreateDefault(1, 2);
    raw->SetHeadboxType(1);
    CKeyTree study = MakeStudy(1, 1, manager.CreateDefault(1, 1)->GetTotalChannelCount());
    ASSERT_FALSE(sk::engine::IsMatchForStudy(raw, &study));
    {
        sk::LogCapture log;
        CSkrivoTemplate* updated = sk::engine::UpdateTemplate(manager, raw, &study);
        EXPECT_EQ(updated, raw) << "instances are adapted in place";
        EXPECT_TRUE(sk::engine::IsMatchForStudy(updated, &study));
        EXPECT_EQ(log.EventCount(), 0u);
    }

    // Acquisition montage of the study's name but other montaging (both are
    // headbox defaults under one name; the template's has lost its last
    // derivation): left as it is, bound anyway, with an event-log record.
    CMontage studyMontage(1);
    ASSERT_EQ(studyMontage.Load(static_cast<const CKeyTree*>(nullptr)), 0);
    studyMontage.SetMontageName(L"Bipolar");
    auto* studyTree = new CKeyTree;
    ASSERT_EQ(studyMontage.Save(*studyTree), 0);
    study.AddKey(L"Montage", studyTree);
    CKeyTree shorter(*studyTree);
    CItemList* derivations = AsItemList(shorter.GetAt(L"Channels"));
    ASSERT_NE(derivations, nullptr);
    derivations->RemoveAt(derivations->GetCount() - 1);
    CSkrivoTemplate* acq = manager.CreateDefault(1, 1);
    acq->SetChannelDefinition(CSkrivoTemplate::ChannelsAcquisitionMontage, &study);
    acq->SetMontage(new CKeyTree(shorter), &study);
    ASSERT_EQ(AsCStr(acq->GetAt(L"Montage.Name"), L""), L"Bipolar");
    sk::LogCapture log;
    CSkrivoTemplate* bound = sk::engine::UpdateTemplate(manager, acq, &study);
    EXPECT_EQ(bound, acq);
    EXPECT_FALSE(sk::engine::IsMatchForStudy(bound, &study));
    EXPECT_EQ(log.EventCount(), 1u);

    // A stored template given by the host is cloned first.
    CSkrivoTemplate* stored = Store(manager, L"EEG", L"Host", 1);
    CSkrivoTemplate* clone = sk::engine::UpdateTemplate(manager, stored, &study);
    ASSERT_NE(clone, nullptr);
    EXPECT_NE(clone, stored);
    EXPECT_TRUE(clone->IsInstance());
    EXPECT_EQ(sk::engine::UpdateTemplate(manager, nullptr, &study), nullptr);
}

TEST(OfferedTemplates, LeaveOutTheSourceOfTheBoundCloneAndAppend) {
    ScopedRegistry reg;
    sk::test::TempDir eegDir;
    CSkrivoEngine engine;
    CSkrivoTemplateManager& manager = *engine.GetTemplateManager();
    ASSERT_EQ(manager.Load(L"EEG", eegDir.wpath()), 0);
    for (const auto& [name, hb] : {std::pair{L"One", 1}, {L"Two", 1}, {L"Three", 1}, {L"OtherBox", 3}})
        Store(manager, L"EEG", name, hb);
    CSkrivoTemplate* two = manager.GetItem(L"EEG", std::wstring(L"Two"));
    ASSERT_NE(two, nullptr);
    auto* e = new CExportDetails(L"s", L"/s/", L"s", manager.Clone(two));
    e->GetStudyInfo() = MakeStudy(1, 1, two->GetTotalChannelCount());
    ASSERT_TRUE(engine.AddExportEntry(e));

    std::vector<CSkrivoTemplate*> offered{nullptr};
    engine.GetTemplatesForStudy(L"s", offered);
    ASSERT_EQ(offered.size(), 3u);
    EXPECT_EQ(offered[0], nullptr);
    EXPECT_EQ(offered[1]->GetName(), L"One");
    EXPECT_EQ(offered[2]->GetName(), L"Three");

    // Headbox type 0 offers nothing.
    auto* unknown = new CExportDetails(L"u", L"/u/", L"u", nullptr);
    unknown->GetStudyInfo() = MakeStudy(0, 1, 0);
    ASSERT_TRUE(engine.AddExportEntry(unknown));
    std::vector<CSkrivoTemplate*> none;
    engine.GetTemplatesForStudy(L"u", none);
    EXPECT_TRUE(none.empty());

    // SetTemplate with reset forces the study's headbox, modality and channels.
    ASSERT_TRUE(engine.SetTemplate(L"s", manager.CreateDefault(2, 3), true));
    CSkrivoTemplate* now = engine.GetTemplate(L"s");
    EXPECT_EQ(now->GetHeadboxType(), 1);
    EXPECT_EQ(now->GetModality(), L"EEG");
    EXPECT_TRUE(sk::engine::IsMatchForStudy(now, &e->GetStudyInfo()));
}

// --- the export threads -----------------------------------------------------

namespace {

constexpr int32_t kCancelled = static_cast<int32_t>(0x800704C7u);
constexpr int32_t kDenied = static_cast<int32_t>(0x80070005u);

class Recorder : public ISkrivoProgress {
public:
    struct Report { std::wstring study, file; float percent; };
    struct Error { std::wstring study; long code; std::wstring text; };
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
    std::vector<Report> Progress() { return Copy(progress); }
    std::vector<Error> Errors() { return Copy(errors); }
    template <class T> T Copy(const T& list) {
        std::lock_guard<std::mutex> g(mu);
        return list;
    }
    std::mutex mu;
    std::vector<Report> progress;
    std::vector<Error> errors;
    std::set<std::thread::id> threads;
};

// A job that "writes" ticks steps, sleeping between them, and fails studies
// whose id starts with "bad". It reports progress like the record writer.
struct FakeJob {
    int ticks = 4;
    int sleepMs = 5;
    std::shared_ptr<std::atomic<int>> running = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::atomic<int>> maxRunning = std::make_shared<std::atomic<int>>(0);

    bool operator()(CExportDetails& e, int32_t& code, std::wstring& text) const {
        const int now = ++*running;
        for (int seen = maxRunning->load(); now > seen && !maxRunning->compare_exchange_weak(seen, now);) {
        }
        e.SetCurrentFile(e.GetStudyId() + L".EDF");
        bool cancelled = false;
        for (int i = 0; i < ticks && !cancelled; ++i) {
            if (e.ReportProgress(100.0f * i / ticks, &cancelled)) cancelled = true;
            else std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
        }
        --*running;
        const bool bad = e.GetStudyId().rfind(L"bad", 0) == 0;
        if (cancelled || bad) {
            code = cancelled ? kCancelled : kDenied;
            text = cancelled ? L"Export was cancelled" : L"Access is denied.";
        }
        return !cancelled && !bad;
    }
};

// Every engine reads its settings from the registry: keep that private.
class ExportThreads : public ::testing::Test {
protected:
    ScopedRegistry reg;
};

} // namespace

// More entries than workers, two of them failing: each runs once, reports
// rising progress, failures once; failed entries count as finished. The
// number of workers is clamped to 1 .. processors and frozen while exporting.
TEST_F(ExportThreads, EntriesExportOnceWithRisingProgressAndFailuresReportedOnce) {
    CSkrivoEngine engine;
    const int cpus = static_cast<int>(sk::ProcessorCount());
    EXPECT_EQ(engine.GetNumParallelExports(), std::min(4, cpus));
    EXPECT_EQ(engine.SetNumParallelExports(-7), 1);
    EXPECT_EQ(engine.SetNumParallelExports(cpus + 5), cpus);
    const int workers = engine.SetNumParallelExports(2);
    FakeJob job;
    engine.SetExportJob(job);
    AddEntries(engine, {L"s1", L"bad1", L"s2", L"bad2", L"s3"});
    Recorder rec;
    engine.Export(L"/out", &rec, false);
    EXPECT_EQ(engine.SetNumParallelExports(1), -1);
    // The monitor leaves when every entry is done or failed.
    ASSERT_TRUE(engine.WaitForExport(20000));
    engine.Cancel(); // after the end: returns at once

    EXPECT_LE(job.maxRunning->load(), workers);
    EXPECT_EQ(rec.Copy(rec.threads).size(), 1u) << "callbacks come from the monitor thread only";
    std::set<std::wstring> failed;
    for (const auto& e : rec.Errors()) {
        EXPECT_TRUE(failed.insert(e.study).second) << "reported twice";
        EXPECT_EQ(e.code, kDenied);
        EXPECT_EQ(e.text, L"Access is denied.");
    }
    EXPECT_EQ(failed, (std::set<std::wstring>{L"bad1", L"bad2"}));
    std::map<std::wstring, std::vector<float>> perStudy;
    for (const auto& r : rec.Progress()) {
        EXPECT_EQ(r.file, r.study.empty() ? L"" : r.study + L".EDF");
        perStudy[r.study].push_back(r.percent);
    }
    for (const auto& [study, values] : perStudy)
        for (size_t i = 1; i < values.size() && !study.empty(); ++i)
            EXPECT_GT(values[i], values[i - 1]) << "study reported without rise";
    // Failed studies count as 100 in the overall progress.
    for (const wchar_t* study : {L"", L"s1", L"s2", L"s3"})
        EXPECT_EQ(perStudy[study].empty() ? -1.0f : perStudy[study].back(), 100.0f) << Narrow(study);
    EXPECT_EQ(rec.Progress().back().study, L"");
    EXPECT_FALSE(engine.IsDone()) << "a failed entry keeps the export from being done";
}

// An export that stays at one percentage is reported once, however many
// times the monitor passes over it (each pass ends with the overall report).
TEST_F(ExportThreads, AnExportHeldAtOnePercentageIsReportedOnce) {
    CSkrivoEngine engine;
    Recorder rec;
    auto passes = [&rec] {
        size_t n = 0;
        for (const auto& r : rec.Progress()) n += r.study.empty();
        return n;
    };
    engine.SetExportJob([&](CExportDetails& e, int32_t&, std::wstring&) {
        e.SetCurrentFile(L"held.EDF");
        bool cancelled = false;
        e.ReportProgress(50.0f, &cancelled);
        for (const size_t seen = passes(); passes() < seen + 3;) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return true;
    });
    AddEntries(engine, {L"held"});
    engine.Export(L"/out", &rec, false);
    ASSERT_TRUE(engine.WaitForExport(20000));
    int atHalf = 0;
    for (const auto& r : rec.Progress()) atHalf += r.study == L"held" && r.percent == 50.0f;
    EXPECT_EQ(atHalf, 1);
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
    // Every worker has taken an entry once that many studies report progress.
    for (std::set<std::wstring> started; started.size() < static_cast<size_t>(engine.GetNumParallelExports());) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        for (const auto& r : rec.Progress())
            if (!r.study.empty()) started.insert(r.study);
    }
    engine.Cancel();
    const size_t reportsAtCancel = rec.Progress().size() + rec.Errors().size();

    int taken = 0;
    for (size_t i = 0; i < engine.GetExportCount(); ++i) {
        const CExportDetails* e = engine.GetExportAt(i);
        EXPECT_FALSE(e->IsDone() || e->IsFailed());
        taken += e->IsTaken();
        EXPECT_TRUE(e->IsCancelled() || !e->IsTaken());
    }
    EXPECT_EQ(taken, engine.GetNumParallelExports()) << "entries never taken stay untaken";
    EXPECT_FALSE(engine.IsDone());
    EXPECT_TRUE(rec.Errors().empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(rec.Progress().size() + rec.Errors().size(), reportsAtCancel) << "no report after Cancel";
    engine.Cancel(); // second cancel only signals again
}

TEST_F(ExportThreads, DestroyingTheEngineDuringAnExportWaitsForIt) {
    FakeJob job;
    job.ticks = 20;
    Recorder rec;
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

// An entry without a template, and a job that throws, fail only their entry.
TEST_F(ExportThreads, EntryWithoutTemplateOrWithAThrowingJobFailsAlone) {
    for (bool throwing : {false, true}) {
        CSkrivoEngine engine; // default job: the EDF writer
        if (throwing)
            engine.SetExportJob([](CExportDetails& e, int32_t&, std::wstring&) -> bool {
                if (e.GetStudyId() == L"orphan") throw std::runtime_error("disk on fire");
                return true;
            });
        AddEntries(engine, {L"ok1", L"orphan", L"ok2"});
        Recorder rec;
        engine.Export(L"/out", &rec, false);
        ASSERT_TRUE(engine.WaitForExport(20000));
        engine.Cancel();
        std::map<std::wstring, Recorder::Error> errors;
        for (const auto& e : rec.Errors()) errors.emplace(e.study, e);
        ASSERT_EQ(errors.size(), throwing ? 1u : 3u);
        const auto& orphan = errors.at(L"orphan");
        EXPECT_EQ(orphan.text, throwing ? L"Unexpected failure: disk on fire" : L"No export template is bound to this study.");
        if (!throwing) {
            EXPECT_EQ(orphan.code, static_cast<long>(static_cast<int32_t>(0x80070057u)));
        } else {
            EXPECT_TRUE(engine.GetExportAt(0)->IsDone() && engine.GetExportAt(2)->IsDone());
        }
    }
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
                if (e.GetStudyId() != L"bad") return job(e, code, text);
                code = kDenied;
                return false;
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

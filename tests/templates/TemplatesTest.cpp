// The template layer: montage library, template manager, export templates.
// Every test gets its own registry root and settings folders under a fresh
// temporary folder (set before any librarian thread runs, so nothing reads the
// environment while it changes), and the console-owner test answers "no" so
// montages do load.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "platform/Registry.h"
#include "platform/appcommon/HeadboxConfig.h"
#include "platform/recording/Montage.h"
#include "support/IsolatedSettings.h"
#include "templates/MontageLibrarian.h"
#include "templates/SkrivoTemplate.h"
#include "templates/SkrivoTemplateManager.h"

namespace fs = std::filesystem;

namespace {

class TemplatesTest : public ::testing::Test {
protected:
    void SetUp() override { CMontageLibrarian::SetConsoleOwnerOverride(0); }
    void TearDown() override {
        m_manager.reset(); // joins the librarian before the folders go
        CMontageLibrarian::SetConsoleOwnerOverride(-1);
    }
    CSkrivoTemplateManager& Manager() {
        if (!m_manager) m_manager = std::make_unique<CSkrivoTemplateManager>();
        return *m_manager;
    }
    // A second manager sees the registry and the folders but none of the
    // first one's caches.
    void RestartManager() {
        m_manager.reset();
        Manager();
    }
    const std::filesystem::path& Root() const { return m_root.Root(); }
    std::filesystem::path MakeFolder(const std::string& name) const {
        std::filesystem::create_directories(Root() / name);
        return Root() / name;
    }

private:
    sk::test::IsolatedSettings m_root;
    std::unique_ptr<CSkrivoTemplateManager> m_manager;
};

// ---- the montage librarian: background loading, stopping, waiting readers, teardown

constexpr int kHeadbox = 3, kOtherHeadbox = 4;

void WriteMontage(const fs::path& file, const std::wstring& name, int headboxType = kHeadbox) {
    fs::create_directories(file.parent_path());
    CMontage m(headboxType);
    m.SetMontageName(name);
    CMontageChannel c(L"C3", 0);
    CHalfMontageChannel first;
    first.AddInput(0, 1.0f);
    c.SetFirstHalf(first);
    m.AddChannel(c);
    ASSERT_EQ(0, m.Save(file.wstring())) << file;
}

std::vector<std::wstring> Montages(CMontageLibrarian& lib, bool sleep, int headbox = kHeadbox) {
    std::vector<CMontage*> list;
    lib.GetMontages(sleep, headbox, list);
    std::vector<std::wstring> out;
    for (const CMontage* m : list) out.push_back(m->GetMontageName());
    return out;
}

class MontageLibrarianTest : public TemplatesTest {
protected:
    fs::path App() const { return Root() / "app"; }
    fs::path User() const { return Root() / "user"; }
};

TEST_F(MontageLibrarianTest, LoadsTheFourFoldersInOrder) {
    WriteMontage(App() / "EEG" / "b.mtg", L"App B");
    WriteMontage(App() / "EEG" / "a.MTG", L"App A");
    WriteMontage(User() / "same.mtg", L"App A"); // same name: kept twice
    WriteMontage(User() / "other.mtg", L"Other box", kOtherHeadbox);
    WriteMontage(App() / "Sleep" / "s.mtg", L"App Sleep");
    WriteMontage(User() / "Sleep" / "t.mtg", L"User Sleep");
    std::ofstream(User() / "broken.mtg") << "not a montage";
    WriteMontage(User() / "ignored.txt", L"Not a montage file");

    CMontageLibrarian lib;
    EXPECT_EQ((std::vector<std::wstring>{L"App A", L"App B", L"App A"}), Montages(lib, false));
    EXPECT_EQ((std::vector<std::wstring>{L"App Sleep", L"User Sleep"}), Montages(lib, true));
    std::vector<CMontage*> other{nullptr};
    lib.GetMontages(false, kOtherHeadbox, other);
    ASSERT_EQ(2u, other.size()) << "appends to what the list holds";
    EXPECT_EQ(L"Other box", other[1]->GetMontageName());
    EXPECT_TRUE(Montages(lib, true, 28).empty());
}

TEST_F(MontageLibrarianTest, MissingFoldersAndConsoleOwnersLoadNothingElse) {
    WriteMontage(User() / "Sleep" / "t.mtg", L"User Sleep");
    EXPECT_EQ(std::vector<std::wstring>{L"User Sleep"}, Montages(*std::make_unique<CMontageLibrarian>(), true))
        << "no app folders, no user EEG montages";
    CMontageLibrarian::SetConsoleOwnerOverride(1);
    EXPECT_TRUE(CMontageLibrarian::ProcessOwnsConsole());
    CMontageLibrarian lib;
    EXPECT_TRUE(Montages(lib, true).empty());
    CMontageLibrarian::SetConsoleOwnerOverride(-1);
    ::setenv("SKRIVO_CONSOLE_OWNER", "1", 1);
    EXPECT_TRUE(CMontageLibrarian::ProcessOwnsConsole());
    ::unsetenv("SKRIVO_CONSOLE_OWNER");
    // A test runner started from a shell never leads its terminal's session.
    EXPECT_FALSE(CMontageLibrarian::ProcessOwnsConsole());
}

class LibrarianLoadTest : public MontageLibrarianTest {
protected:
    static constexpr size_t kFiles = 60;
    void SetUp() override {
        MontageLibrarianTest::SetUp();
        for (size_t i = 0; i < kFiles; ++i)
            WriteMontage(App() / "EEG" / ("m" + std::to_string(1000 + i) + ".mtg"), L"M" + std::to_wstring(i));
    }
};

TEST_F(LibrarianLoadTest, ReadersDuringTheLoadSeeEveryMontageAndTeardownWaits) {
    {
        CMontageLibrarian lib;
        std::vector<size_t> seen(3, 0);
        std::vector<std::thread> readers;
        for (size_t r = 0; r < seen.size(); ++r)
            readers.emplace_back([&lib, &seen, r] { seen[r] = Montages(lib, false).size(); });
        EXPECT_EQ(kFiles, Montages(lib, false).size());
        for (std::thread& t : readers) t.join();
        for (size_t n : seen) EXPECT_EQ(kFiles, n);
    }
    for (int i = 0; i < 10; ++i) {
        CMontageLibrarian waits; // destroyed without a stop request: waits for the load
        CMontageLibrarian stopped;
        stopped.RequestStop();
        CSkrivoTemplateManager manager; // stops its librarian first
    }
}

// ---- the manager: template files, lists and last-used records

using M = CSkrivoTemplateManager;

const wchar_t* const kEegKey = L"Software\\Corvane\\Ostra\\EDF\\Export\\EEG";
const wchar_t* const kSleepKey = L"Software\\Corvane\\Ostra\\EDF\\Export\\Sleep";

size_t FilesIn(const fs::path& p) { return static_cast<size_t>(std::distance(fs::directory_iterator(p), {})); }

// A template file as another installation would have written it.
void WriteTemplateFile(const fs::path& p, const std::wstring& name, const std::wstring& modality, int hb) {
    CKeyTree t;
    t.AddKey(L"Name", name);
    t.AddKey(L"Modality", modality);
    t.AddKey(L"HBType", hb);
    t.AddKey(L"ExportFormat", L"EDF+");
    ASSERT_TRUE(t.BinSave(p.wstring(), 0));
}

std::vector<std::wstring> ValueNames(const wchar_t* key) {
    std::unique_ptr<sk::RegistryKey> k;
    if (sk::RegistryKey::Open(sk::HKEY_LOCAL_MACHINE, key, sk::KEY_READ, &k) != 0) return {};
    return k->ValueNames();
}

class TemplateManagerTest : public TemplatesTest {
protected:
    CSkrivoTemplate* SaveNew(const std::wstring& modality, const std::wstring& name, int hb = 5) {
        CSkrivoTemplate* t = Manager().Create(modality, name);
        t->SetHeadboxType(hb);
        EXPECT_EQ(0, Manager().Save(t, false)) << name;
        return Manager().GetItem(modality, name);
    }
    void LoadBoth() {
        ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
        ASSERT_EQ(0, Manager().Load(L"Sleep", m_sleep.wstring()));
    }
    fs::path m_eeg = MakeFolder("eeg"), m_sleep = MakeFolder("sleep");
};

TEST_F(TemplateManagerTest, LoadTakesTheFolderModalityAndSkipsBadFiles) {
    WriteTemplateFile(m_eeg / "A.exp", L"A", L"EEG", 1);
    for (const fs::path& p : {Root() / "missing", m_eeg / "A.exp", fs::path()})
        EXPECT_EQ(M::kNotADirectory, Manager().Load(L"EEG", p.wstring())) << p;
    EXPECT_EQ(0u, Manager().GetCount(L"EEG"));
    EXPECT_EQ(M::kNotADirectory, Manager().Save(Manager().Create(L"EEG", L"X"), true)) << "no folder loaded";

    WriteTemplateFile(m_sleep / "B.exp", L"B", L"EEG", 3);
    WriteTemplateFile(m_sleep / "A.EXP", L"A", L"Sleep", 4);
    fs::copy_file(m_sleep / "B.exp", m_sleep / "C.exp");
    fs::resize_file(m_sleep / "C.exp", fs::file_size(m_sleep / "C.exp") / 2);
    std::ofstream(m_sleep / "D.exp", std::ios::binary) << std::string(4096, '\xff');
    fs::create_directory(m_sleep / "F.exp");
    WriteTemplateFile(m_sleep / "G.txt", L"G", L"Sleep", 4);
    sk::LogCapture log;
    ASSERT_EQ(0, Manager().Load(L"Sleep", m_sleep.wstring()));
    ASSERT_EQ(2u, Manager().GetCount(L"Sleep"));
    for (const char* bad : {"C.exp", "D.exp"})
        EXPECT_TRUE(log.Contains(L"CSkrivoTemplateManager::Load - unable to load export template at " +
                                     (m_sleep / bad).wstring(), 8)) << bad;
    for (int i = 0; i < 2; ++i) {
        CSkrivoTemplate* t = Manager().GetItem(L"Sleep", i);
        EXPECT_TRUE(t->IsTemplate());
        EXPECT_EQ(L"Sleep", t->GetModality()) << "the folder's modality wins";
        EXPECT_EQ(CSkrivoTemplate::FormatEDFPlus, t->GetExportType());
        EXPECT_EQ(L".EDF", t->GetExtension()) << "the file replaces the defaults: a key it lacks falls back";
    }
    EXPECT_EQ(nullptr, Manager().GetItem(L"Sleep", 2));
    EXPECT_EQ(nullptr, Manager().GetItem(L"Sleep", L"a")) << "names compare exactly";
    EXPECT_EQ(4, Manager().GetItem(L"Sleep", L"A")->GetHeadboxType());

    // Lower-case "sleep" fills the EEG list.
    RestartManager();
    ASSERT_EQ(0, Manager().Load(L"sleep", m_sleep.wstring()));
    EXPECT_EQ(0u, Manager().GetCount(L"Sleep"));
    ASSERT_EQ(2u, Manager().GetCount(L"EEG"));
    EXPECT_EQ(L"Sleep", Manager().GetItem(L"EEG", 0)->GetModality());
    EXPECT_EQ(m_sleep.wstring(), Manager().GetFolder(L"EEG"));
}

TEST_F(TemplateManagerTest, SaveSanitisesTheNameAndReplacesTheExtension) {
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    const std::pair<std::wstring, std::string> cases[] = {
        {L"A/B:C", "A_B_C.exp"},        {L"Run.2", "Run.exp"}, {L"x<>\"|?*\\y", "x_______y.exp"},
        {L"Run.2 b", "Run.2 b.exp"},    {L"..", "..exp"},      {L"Tab\there", "Tab_here.exp"},
        {L"\u00c9tude \u0434\u0430", "\xc3\x89tude \xd0\xb4\xd0\xb0.exp"},
    };
    for (const auto& [name, file] : cases) {
        CSkrivoTemplate* t = Manager().Create(L"EEG", name);
        EXPECT_EQ(0, Manager().Save(t, false)) << file;
        EXPECT_TRUE(fs::is_regular_file(m_eeg / file)) << file;
        EXPECT_TRUE(t->IsInstance()) << "the template passed in keeps its flag";
    }
    EXPECT_EQ(std::size(cases), FilesIn(m_eeg));
    RestartManager();
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    EXPECT_EQ(std::size(cases), Manager().GetCount(L"EEG"));
    EXPECT_NE(nullptr, Manager().GetItem(L"EEG", L"A/B:C")) << "the name itself is kept";
}

TEST_F(TemplateManagerTest, SaveOverwritesOnlyWhenAskedAndKeepsTheDisplacedTemplate) {
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    CSkrivoTemplate* first = SaveNew(L"EEG", L"Routine", 5);
    SaveNew(L"EEG", L"Other", 6);
    ASSERT_TRUE(first && first->IsTemplate());
    // Names ignore letter case: "ROUTINE" is the template in "Routine.exp".
    CSkrivoTemplate* again = Manager().Create(L"EEG", L"ROUTINE");
    again->SetHeadboxType(7);
    EXPECT_EQ(M::kFileExists, Manager().Save(again, false));
    ASSERT_EQ(0, Manager().Save(again, true));
    ASSERT_EQ(2u, Manager().GetCount(L"EEG"));
    EXPECT_EQ(L"Other", Manager().GetItem(L"EEG", 0)->GetName());
    CSkrivoTemplate* replaced = Manager().GetItem(L"EEG", 1);
    EXPECT_EQ(7, replaced->GetHeadboxType());
    EXPECT_EQ(5, first->GetHeadboxType()) << "the displaced template stays valid";
    // A path finds the template in any letter case, of the file or the folder.
    EXPECT_EQ(replaced, Manager().GetItem((m_eeg / "ROUTINE.eXp").wstring()));
    std::wstring upperFolder = m_eeg.wstring();
    std::transform(upperFolder.end() - 3, upperFolder.end(), upperFolder.end() - 3, ::towupper);
    EXPECT_EQ(replaced, Manager().GetItem(upperFolder + L"/routine.exp"));
    EXPECT_EQ(nullptr, Manager().GetItem((m_eeg / "Routines.exp").wstring()));
    EXPECT_EQ(2u, FilesIn(m_eeg));
    RestartManager();
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    EXPECT_EQ(7, Manager().GetItem(L"EEG", L"ROUTINE")->GetHeadboxType());
}

// The file is written aside and renamed (the key tree's tests cover a write
// that fails half-way); a folder in its way fails the rename.
TEST_F(TemplateManagerTest, FailedWriteLeavesTheEarlierFileAndTheList) {
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    SaveNew(L"EEG", L"Big", 5);
    fs::create_directory(m_eeg / "Blocked.exp");
    EXPECT_EQ(M::kWriteFailed, Manager().Save(Manager().Create(L"EEG", L"Blocked"), true));
    fs::remove(m_eeg / "Blocked.exp");
    fs::rename(m_eeg / "Big.exp", m_eeg / "Blocked.exp");
    fs::create_directory(m_eeg / "Big.exp");
    EXPECT_EQ(M::kWriteFailed, Manager().Save(Manager().Create(L"EEG", L"Big"), true));
    ASSERT_EQ(1u, Manager().GetCount(L"EEG"));
    EXPECT_EQ(5, Manager().GetItem(L"EEG", 0)->GetHeadboxType());
    EXPECT_EQ(2u, FilesIn(m_eeg)) << "no leftovers";
}

TEST_F(TemplateManagerTest, DeleteRemovesTheFileButNotTheTemplate) {
    WriteTemplateFile(m_eeg / "Gone.exp", L"Gone", L"EEG", 2);
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    CSkrivoTemplate* t = Manager().GetItem(L"EEG", L"Gone");
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(M::kFileNotFound, Manager().Delete(Manager().Create(L"EEG", L"Gone"))) << "an unsaved namesake";
    EXPECT_EQ(M::kFileNotFound, Manager().Delete(nullptr));
    EXPECT_EQ(0, Manager().Delete(t));
    EXPECT_FALSE(fs::exists(m_eeg / "Gone.exp"));
    EXPECT_EQ(t, Manager().GetItem(L"EEG", 0));
    EXPECT_EQ(M::kFileNotFound, Manager().Delete(t));
    EXPECT_EQ(nullptr, Manager().GetItem((m_eeg / "Gone.exp").wstring()));
    // A folder under the template's file name is an OS error, and survives.
    fs::create_directory(m_eeg / "Dir.exp");
    CSkrivoTemplate* odd = Manager().CreateDefault();
    odd->SetAt(L"FileName", (m_eeg / "Dir.exp").wstring());
    const auto hr = static_cast<uint32_t>(Manager().Delete(odd));
    EXPECT_TRUE((hr & 0xFFFF0000u) == 0x80070000u && hr != 0x80070000u) << hr;
    EXPECT_TRUE(fs::is_directory(m_eeg / "Dir.exp"));
}

TEST_F(TemplateManagerTest, LastUsedRoundTripsThroughTheRegistry) {
    LoadBoth();
    CSkrivoTemplate* eeg = SaveNew(L"EEG", L"Routine", 5);
    CSkrivoTemplate* sleep = SaveNew(L"Sleep", L"Psg", 27); // the last type of the table
    Manager().SetLastUsed(5, 1, eeg);
    Manager().SetLastUsed(27, 2, sleep);
    EXPECT_EQ(std::vector<std::wstring>{L"Headbox05"}, ValueNames(kEegKey));
    EXPECT_EQ(std::vector<std::wstring>{L"Headbox27"}, ValueNames(kSleepKey));

    RestartManager();
    LoadBoth();
    // A record whose file is loaded yields that stored template.
    CSkrivoTemplate* lastEeg = Manager().GetLastUsed(5, 1);
    EXPECT_EQ(Manager().GetItem(L"EEG", L"Routine"), lastEeg);
    // Group 3 reads the Sleep record, as do all groups but 1.
    EXPECT_EQ(Manager().GetItem(L"Sleep", L"Psg"), Manager().GetLastUsed(27, 3));
    EXPECT_EQ(nullptr, Manager().GetLastUsed(6, 1)) << "no record";
    EXPECT_EQ(nullptr, Manager().GetLastUsed(5, 2)) << "EEG record is not a sleep record";
    // Setting another template does not disturb the cache.
    Manager().SetLastUsed(5, 1, Manager().CreateDefault(1, 5));
    EXPECT_EQ(lastEeg, Manager().GetLastUsed(5, 1));

    // The record of a deleted file rebuilds the template.
    CSkrivoTemplate* temp = SaveNew(L"EEG", L"Temp", 8);
    temp->SetTemporalMaximum(600);
    Manager().SetLastUsed(8, 1, temp);
    ASSERT_EQ(0, Manager().Delete(temp));
    RestartManager();
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    CSkrivoTemplate* last = Manager().GetLastUsed(8, 1);
    ASSERT_NE(nullptr, last);
    EXPECT_TRUE(last->IsTemplate());
    EXPECT_EQ(L"Temp", last->GetName());
    EXPECT_EQ(600, last->GetTemporalMaximum());
    EXPECT_EQ(1u, Manager().GetCount(L"EEG"));
}

TEST_F(TemplateManagerTest, LastUsedRefusesForeignAndBrokenRecords) {
    CSkrivoTemplate* hb5 = Manager().CreateDefault(1, 5);
    Manager().SetLastUsed(6, 1, hb5); // under another headbox's value name, as if rewritten by hand
    Manager().SetLastUsed(5, 2, hb5); // an EEG template filed as a sleep record
    std::unique_ptr<sk::RegistryKey> key;
    ASSERT_EQ(0, sk::RegistryKey::Create(sk::HKEY_LOCAL_MACHINE, kEegKey, sk::KEY_READ | sk::KEY_WRITE, &key));
    const std::string junk = "\x01\x02garbage";
    key->SetValue(L"Headbox07", sk::REG_BINARY, junk.data(), static_cast<uint32_t>(junk.size()));
    std::vector<uint8_t> image(hb5->GetBinarizeSize());
    ASSERT_EQ(image.size(), hb5->Binarize(image.data(), image.size()));
    key->SetValue(L"Headbox09", sk::REG_BINARY, image.data(), static_cast<uint32_t>(image.size() - 1));
    const uint32_t dword = 5;
    key->SetValue(L"Headbox05", sk::REG_DWORD, &dword, sizeof dword);
    RestartManager();
    for (int hb : {6, 7, 9, 5, 0, 28, -1}) EXPECT_EQ(nullptr, Manager().GetLastUsed(hb, 1)) << hb;
    EXPECT_EQ(nullptr, Manager().GetLastUsed(5, 2));
    const auto before = ValueNames(kEegKey);
    Manager().SetLastUsed(28, 1, hb5);
    EXPECT_EQ(before, ValueNames(kEegKey));
}

// ---- templates: keys, and channel lists from a headbox's names or a montage

using T = CSkrivoTemplate;

TEST_F(TemplatesTest, ChannelCountsFollowTheChannelSource) {
    CSkrivoTemplate* t = Manager().CreateDefault();
    auto* list = new CItemList;
    for (int s : {1, 0, 7, -1}) {
        auto* e = new CKeyTree;
        e->AddKey(L"Selected", s);
        list->Append(e);
    }
    list->Append(new CKeyTree);     // no "Selected": not exported
    list->Append(new CLinteger(1)); // not a tree: not exported
    t->AddKey(L"Channels.Selected", list);
    auto* montage = new CKeyTree;
    auto* mchannels = new CItemList;
    mchannels->Append(new CKeyTree);
    mchannels->Append(new CKeyTree);
    montage->AddKey(L"Channels", mchannels);
    montage->AddKey(L"Name", L"Bipolar");
    t->AddKey(L"Montage", montage);

    EXPECT_EQ(3, t->GetExportedChannelCount());
    EXPECT_EQ(6, t->GetTotalChannelCount());
    CKeyTree out;
    t->GetMontage(out);
    EXPECT_EQ(0, out.GetCount()) << "raw data never hands out a montage";
    t->SetChannelDefinition(T::ChannelsMontage, nullptr);
    EXPECT_EQ(2, t->GetTotalChannelCount());
    EXPECT_EQ(3, t->GetExportedChannelCount());
    t->GetMontage(out);
    EXPECT_EQ(L"Bipolar", AsCStr(out.GetAt(L"Name"), L""));
    t->GetMontage(*t); // aliasing: the template becomes its own montage
    EXPECT_EQ(L"Bipolar", AsCStr(t->GetAt(L"Name"), L""));
}

struct Entry { std::wstring channel; int selected, index; };

std::vector<Entry> EntriesOf(const CSkrivoTemplate* t) {
    std::vector<Entry> out;
    const CItemList* list = AsItemList(t->GetAt(L"Channels.Selected"));
    for (int i = 0; list && i < list->GetCount(); ++i) {
        const CKeyTree* e = AsKeyTree(list->GetChild(i));
        out.push_back({AsCStr(e ? e->GetAt(L"Channel") : nullptr, L"?"), IntOf(e ? e->GetAt(L"Selected") : nullptr, -9),
                       IntOf(e ? e->GetAt(L"Index") : nullptr, -9)});
    }
    return out;
}

std::vector<std::wstring> Names(int headboxType, bool sleep) {
    auto hb = CKadeHeadboxConfig::CreateHeadbox(headboxType);
    return sleep ? hb->GetDefaultSleepChannelNames() : hb->GetDefaultChannelNames();
}

// Every entry selected, "Index" its position, names in list order.
void ExpectWholeList(const CSkrivoTemplate* t, const std::vector<std::wstring>& names) {
    const std::vector<Entry> entries = EntriesOf(t);
    ASSERT_EQ(names.size(), entries.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(names[i], entries[i].channel) << i;
        EXPECT_EQ(1, entries[i].selected) << i;
        EXPECT_EQ(static_cast<int>(i), entries[i].index) << i;
    }
}

CKeyTree Study(int headboxType, int group, int breakouts = -1) {
    CKeyTree s;
    s.AddKey(L"Headbox.HB0.HBType", headboxType);
    if (breakouts >= 0) s.AddKey(L"Headbox.HB0.Breakouts", breakouts);
    s.AddKey(L"Study.StudyGroup", group);
    return s;
}

class ChannelDefinitionTest : public TemplatesTest {
protected:
    void SetUp() override {
        TemplatesTest::SetUp();
        for (int h = 1; h <= 27; ++h) {
            if (h == 20) continue;
            const bool hasSleep = !Names(h, true).empty();
            if (hasSleep && m_sleepType == 0) m_sleepType = h;
            if (!hasSleep && m_plainType == 0) m_plainType = h;
        }
        ASSERT_TRUE(m_sleepType && m_plainType) << "a headbox with and one without a sleep name list";
        ASSERT_NE(Names(m_sleepType, true), Names(m_sleepType, false));
    }
    int m_sleepType = 0, m_plainType = 0;
};

TEST_F(ChannelDefinitionTest, DefaultTemplateListsTheHeadboxNamesOfItsModality) {
    ExpectWholeList(Manager().CreateDefault(1, m_sleepType), Names(m_sleepType, false));
    ExpectWholeList(Manager().CreateDefault(2, m_sleepType), Names(m_sleepType, true));
    // An empty sleep list falls back to the default list.
    ExpectWholeList(Manager().CreateDefault(2, m_plainType), Names(m_plainType, false));
    // Group 3 is a sleep template by the default's rule.
    CSkrivoTemplate* t = Manager().CreateDefault(3, m_sleepType);
    EXPECT_EQ(L"Sleep", t->GetModality());
    ExpectWholeList(t, Names(m_sleepType, true));
    // Unknown headboxes leave the list alone.
    EXPECT_EQ(nullptr, Manager().CreateDefault(1, 0)->GetAt(L"Channels"));
    for (int h : {28, -1, 1000}) {
        EXPECT_EQ(nullptr, Manager().CreateDefault(1, h)->GetAt(L"Channels")) << h;
        CSkrivoTemplate* known = Manager().CreateDefault(1, m_plainType);
        known->SetHeadboxType(h);
        known->SetChannelDefinition(T::ChannelsRawData, nullptr);
        ExpectWholeList(known, Names(m_plainType, false));
    }
}

TEST_F(ChannelDefinitionTest, StudyCompletesATemplateWithoutHeadbox) {
    const struct {
        int templateType;
        const wchar_t* templateModality;
        int group, expectType;
        const wchar_t* expectModality;
        bool expectSleepNames;
    } cases[] = {
        {0, L"EEG", 2, m_sleepType, L"Sleep", true},
        // Group 3 stores "EEG" but passes 3 on, which selects the default list.
        {0, L"Sleep", 3, m_sleepType, L"EEG", false},
        {0, L"Sleep", 1, m_sleepType, L"EEG", false},
        // A template that knows its headbox keeps it and its own modality.
        {m_plainType, L"EEG", 2, m_plainType, L"EEG", false},
        {m_sleepType, L"Sleep", 1, m_sleepType, L"Sleep", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "template type " << c.templateType << " group " << c.group);
        CSkrivoTemplate* t = Manager().CreateDefault();
        t->SetHeadboxType(c.templateType);
        t->SetModality(c.templateModality);
        t->SetChannelDefinition(T::ChannelsMontage, nullptr);
        const CKeyTree study = Study(m_sleepType, c.group);
        t->SetChannelDefinition(T::ChannelsRawData, &study);
        EXPECT_EQ(c.expectType, t->GetHeadboxType());
        EXPECT_EQ(c.expectModality, t->GetModality());
        EXPECT_EQ(T::ChannelsRawData, t->GetChannelDefinition());
        ExpectWholeList(t, Names(c.expectType, c.expectSleepNames));
    }
    // Montage definitions (or a value naming none, stored as "RawData") keep the list.
    for (auto d : {T::ChannelsMontage, T::ChannelsAcquisitionMontage, static_cast<T::ChannelDefinition>(3)}) {
        CSkrivoTemplate* t = Manager().CreateDefault(1, m_plainType);
        const CKeyTree study = Study(m_sleepType, 2);
        t->SetChannelDefinition(d, &study);
        EXPECT_EQ(d == 3 ? T::ChannelsRawData : d, t->GetChannelDefinition());
        EXPECT_EQ(m_plainType, t->GetHeadboxType());
        ExpectWholeList(t, Names(m_plainType, false));
    }
}

TEST_F(ChannelDefinitionTest, MultiBreakoutHeadboxListsOnlyStoredChannelsKeepingTheirIndex) {
    ASSERT_EQ(544u, Names(20, false).size());
    // -1: key absent, the study's fallback is 2
    for (const auto& [breakouts, expectCount] : {std::pair{2, 256 + 32}, {-1, 256 + 32}, {1, 128 + 32}, {4, 544}}) {
        SCOPED_TRACE(breakouts);
        CSkrivoTemplate* t = Manager().CreateDefault();
        const CKeyTree study = Study(20, 1, breakouts);
        t->SetChannelDefinition(T::ChannelsRawData, &study);
        const std::vector<Entry> entries = EntriesOf(t);
        ASSERT_EQ(static_cast<size_t>(expectCount), entries.size());
        const int covered = expectCount - 32;
        EXPECT_EQ(covered - 1, entries[covered - 1].index);
        EXPECT_EQ(512, entries[covered].index) << "the base unit's inputs keep their positions";
        EXPECT_EQ(Names(20, false)[512], entries[covered].channel);
        EXPECT_EQ(543, entries.back().index);
    }
    // Without a study nothing is known about breakouts: every channel.
    ExpectWholeList(Manager().CreateDefault(1, 20), Names(20, false));
}

CMontageChannel Derivation(const std::wstring& name, int first, int second) {
    CMontageChannel c(name, 0);
    CHalfMontageChannel h1, h2;
    h1.AddInput(first, 1.0f);
    h2.AddInput(second, 1.0f);
    if (first >= 0) c.SetFirstHalf(h1);
    if (second >= 0) c.SetSecondHalf(h2);
    return c;
}

TEST_F(ChannelDefinitionTest, MontageListSkipsChannelsWithoutHalvesOrStorage) {
    CMontage m(0);
    m.SetMontageName(L"Mixed");
    m.AddChannel(Derivation(L"Fp1-F3", 0, 2));
    m.AddChannel(Derivation(L"Nothing", -1, -1));
    m.AddChannel(Derivation(L"RefOnly", -1, 5));
    m.AddChannel(Derivation(L"Far", 300, 513)); // 300 lies on breakout 3 of type 20
    m.AddChannel(Derivation(L"Dc", 520, -1));
    CKeyTree tree;
    ASSERT_EQ(0, m.Save(tree));
    const struct {
        int breakouts; // 0: no study
        std::vector<std::wstring> names;
        std::vector<int> indexes;
    } cases[] = {
        {0, {L"Fp1-F3", L"RefOnly", L"Far", L"Dc"}, {0, 2, 3, 4}},
        {2, {L"Fp1-F3", L"RefOnly", L"Dc"}, {0, 2, 4}},
        {3, {L"Fp1-F3", L"RefOnly", L"Far", L"Dc"}, {0, 2, 3, 4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.breakouts);
        CSkrivoTemplate* t = Manager().CreateDefault();
        const CKeyTree study = Study(20, 1, c.breakouts);
        t->SetMontage(new CKeyTree(tree), c.breakouts ? &study : nullptr);
        EXPECT_EQ(T::ChannelsRawData, t->GetChannelDefinition()) << "source untouched";
        EXPECT_EQ(L"Mixed", AsCStr(t->GetAt(L"Montage.Name"), L""));
        const std::vector<Entry> entries = EntriesOf(t);
        ASSERT_EQ(c.names.size(), entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(c.names[i], entries[i].channel);
            EXPECT_EQ(c.indexes[i], entries[i].index);
            EXPECT_EQ(1, entries[i].selected);
        }
        t->SetChannelDefinition(T::ChannelsMontage, nullptr);
        EXPECT_EQ(5, t->GetTotalChannelCount());
        EXPECT_EQ(static_cast<int>(c.names.size()), t->GetExportedChannelCount());
    }
}

TEST_F(ChannelDefinitionTest, MontageThatDoesNotLoadKeepsTheList) {
    CSkrivoTemplate* t = Manager().CreateDefault(1, m_plainType);
    auto* broken = new CKeyTree;
    broken->AddKey(L"Name", L"Broken");
    broken->AddKey(L"Channels", int32_t{7}); // not a list
    t->SetMontage(broken, nullptr);
    ExpectWholeList(t, Names(m_plainType, false));
    EXPECT_EQ(L"Broken", AsCStr(t->GetAt(L"Montage.Name"), L""));
    // Handing the template its own montage again rebuilds from it in place.
    CMontage m(0);
    m.AddChannel(Derivation(L"A", 1, -1));
    auto* good = new CKeyTree;
    ASSERT_EQ(0, m.Save(*good));
    t->SetMontage(good, nullptr);
    t->SetMontage(AsKeyTree(t->GetAt(L"Montage")), nullptr);
    ASSERT_EQ(1u, EntriesOf(t).size());
    EXPECT_EQ(L"A", EntriesOf(t)[0].channel);
    t->SetMontage(nullptr, nullptr);
    EXPECT_EQ(nullptr, t->GetAt(L"Montage"));
}

} // namespace

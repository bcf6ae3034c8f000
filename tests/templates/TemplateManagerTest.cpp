// Template files, lists, clones and last-used records of the manager.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "TemplatesTestEnv.h"
#include "platform/Log.h"
#include "platform/Registry.h"
#include "templates/ITemplateEditorHost.h"
#include "templates/SkrivoTemplateManager.h"

namespace fs = std::filesystem;

namespace {

using M = CSkrivoTemplateManager;

const wchar_t* const kEegKey = L"Software\\Corvane\\Ostra\\EDF\\Export\\EEG";
const wchar_t* const kSleepKey = L"Software\\Corvane\\Ostra\\EDF\\Export\\Sleep";

void WriteBytes(const fs::path& p, const std::string& bytes)
{
    std::ofstream(p, std::ios::binary) << bytes;
}

std::string ReadBytes(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A template file as another installation would have written it.
void WriteTemplateFile(const fs::path& p, const std::wstring& name, const std::wstring& modality, int hb)
{
    CKeyTree t;
    t.AddKey(L"Name", name);
    t.AddKey(L"Modality", modality);
    t.AddKey(L"HBType", hb);
    t.AddKey(L"ExportFormat", L"EDF+");
    ASSERT_TRUE(t.BinSave(p.wstring(), 0));
}

class TemplateManagerTest : public sk::test::TemplatesTest {
protected:
    void SetUp() override
    {
        TemplatesTest::SetUp();
        m_eeg = MakeFolder("eeg");
        m_sleep = MakeFolder("sleep");
    }
    CSkrivoTemplate* SaveNew(const std::wstring& modality, const std::wstring& name, int hb = 5)
    {
        CSkrivoTemplate* t = Manager().Create(modality, name);
        t->SetHeadboxType(hb);
        EXPECT_EQ(0, Manager().Save(t, false)) << name;
        return Manager().GetItem(modality, name);
    }
    fs::path m_eeg;
    fs::path m_sleep;
};

TEST_F(TemplateManagerTest, LoadRefusesWhatIsNotAFolder)
{
    WriteTemplateFile(m_eeg / "A.exp", L"A", L"EEG", 1);
    for (const fs::path& p : {Root() / "missing", m_eeg / "A.exp", fs::path()}) {
        EXPECT_EQ(M::kNotADirectory, Manager().Load(L"EEG", p.wstring())) << p;
        EXPECT_EQ(0u, Manager().GetCount(L"EEG"));
        EXPECT_EQ(L"", Manager().GetFolder(L"EEG"));
    }
    EXPECT_EQ(M::kNotADirectory, Manager().Save(Manager().Create(L"EEG", L"X"), true));
    EXPECT_FALSE(fs::exists(m_eeg / "X.exp"));
}

TEST_F(TemplateManagerTest, LoadTakesTheModalityArgumentAndSkipsBadFiles)
{
    WriteTemplateFile(m_sleep / "B.exp", L"B", L"EEG", 3);
    WriteTemplateFile(m_sleep / "A.EXP", L"A", L"Sleep", 4);
    const std::string good = ReadBytes(m_sleep / "B.exp");
    WriteBytes(m_sleep / "C.exp", good.substr(0, good.size() / 2));
    WriteBytes(m_sleep / "D.exp", "");
    WriteBytes(m_sleep / "E.exp", std::string(4096, '\xff'));
    fs::create_directory(m_sleep / "F.exp");
    WriteTemplateFile(m_sleep / "G.txt", L"G", L"Sleep", 4);

    sk::LogCapture log;
    ASSERT_EQ(0, Manager().Load(L"Sleep", m_sleep.wstring()));
    ASSERT_EQ(2u, Manager().GetCount(L"Sleep"));
    EXPECT_EQ(0u, Manager().GetCount(L"EEG"));
    for (const char* bad : {"C.exp", "D.exp", "E.exp"}) {
        const std::wstring line =
            L"CSkrivoTemplateManager::Load - unable to load export template at " + (m_sleep / bad).wstring();
        EXPECT_TRUE(log.Contains(line, 8)) << bad;
    }
    for (unsigned i = 0; i < 2; ++i) {
        CSkrivoTemplate* t = Manager().GetItem(L"Sleep", static_cast<int>(i));
        EXPECT_TRUE(t->IsTemplate());
        EXPECT_EQ(L"Sleep", t->GetModality()) << "the folder's modality wins";
        EXPECT_EQ(CSkrivoTemplate::FormatEDFPlus, t->GetExportType());
        EXPECT_EQ(L".EDF", t->GetExtension()) << "the file replaces the defaults: a key it lacks falls back";
    }
    EXPECT_EQ(nullptr, Manager().GetItem(L"Sleep", -1));
    EXPECT_EQ(nullptr, Manager().GetItem(L"Sleep", 2));
    EXPECT_EQ(nullptr, Manager().GetItem(L"Sleep", L"a")) << "names compare exactly";
    EXPECT_EQ(4, Manager().GetItem(L"Sleep", L"A")->GetHeadboxType());

    // A second load of the same folder adds the files again.
    ASSERT_EQ(0, Manager().Load(L"Sleep", m_sleep.wstring()));
    EXPECT_EQ(4u, Manager().GetCount(L"Sleep"));
}

TEST_F(TemplateManagerTest, LowerCaseSleepFillsTheEegList)
{
    WriteTemplateFile(m_sleep / "A.exp", L"A", L"EEG", 3);
    ASSERT_EQ(0, Manager().Load(L"sleep", m_sleep.wstring()));
    EXPECT_EQ(0u, Manager().GetCount(L"Sleep"));
    ASSERT_EQ(1u, Manager().GetCount(L"EEG"));
    EXPECT_EQ(L"Sleep", Manager().GetItem(L"EEG", 0)->GetModality());
    EXPECT_EQ(m_sleep.wstring(), Manager().GetFolder(L"EEG"));
    EXPECT_EQ(L"", Manager().GetFolder(L"Sleep"));
}

TEST_F(TemplateManagerTest, SaveSanitisesTheNameAndReplacesTheExtension)
{
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    const std::pair<std::wstring, std::string> cases[] = {
        {L"A/B:C", "A_B_C.exp"},
        {L"Run.2", "Run.exp"},
        {L"x<>\"|?*\\y", "x_______y.exp"},
        {L"Run.2 b", "Run.2 b.exp"},
        {L"..", "..exp"},
        {L"Tab\there", "Tab_here.exp"},
        {L"\u00c9tude \u0434\u0430", "\xc3\x89tude \xd0\xb4\xd0\xb0.exp"},
    };
    for (const auto& [name, file] : cases) {
        CSkrivoTemplate* t = Manager().Create(L"EEG", name);
        EXPECT_EQ(0, Manager().Save(t, false)) << file;
        EXPECT_TRUE(fs::is_regular_file(m_eeg / file)) << file;
        EXPECT_TRUE(t->IsInstance()) << "the template passed in keeps its flag";
    }
    EXPECT_EQ(std::size(cases), static_cast<size_t>(std::distance(fs::directory_iterator(m_eeg), {})));

    RestartManager();
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    EXPECT_EQ(std::size(cases), Manager().GetCount(L"EEG"));
    EXPECT_NE(nullptr, Manager().GetItem(L"EEG", L"A/B:C")) << "the name itself is kept";
}

TEST_F(TemplateManagerTest, SaveOverwritesOnlyWhenAskedAndKeepsTheDisplacedTemplate)
{
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    CSkrivoTemplate* first = SaveNew(L"EEG", L"Routine", 5);
    SaveNew(L"EEG", L"Other", 6);
    ASSERT_NE(nullptr, first);
    EXPECT_TRUE(first->IsTemplate());

    // Names ignore letter case: "ROUTINE" is the template in "Routine.exp".
    CSkrivoTemplate* again = Manager().Create(L"EEG", L"ROUTINE");
    again->SetHeadboxType(7);
    EXPECT_EQ(M::kFileExists, Manager().Save(again, false));
    EXPECT_EQ(2u, Manager().GetCount(L"EEG"));

    ASSERT_EQ(0, Manager().Save(again, true));
    ASSERT_EQ(2u, Manager().GetCount(L"EEG"));
    EXPECT_EQ(L"Other", Manager().GetItem(L"EEG", 0)->GetName());
    CSkrivoTemplate* replaced = Manager().GetItem(L"EEG", 1);
    EXPECT_NE(first, replaced);
    EXPECT_EQ(7, replaced->GetHeadboxType());
    EXPECT_EQ(5, first->GetHeadboxType()) << "the displaced template stays valid";
    EXPECT_EQ(replaced, Manager().GetItem((m_eeg / "Routine.exp").wstring()));
    EXPECT_EQ(2, std::distance(fs::directory_iterator(m_eeg), fs::directory_iterator()));

    RestartManager();
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    EXPECT_EQ(7, Manager().GetItem(L"EEG", L"ROUTINE")->GetHeadboxType());
}

TEST_F(TemplateManagerTest, FailedWriteLeavesTheEarlierFileWhole)
{
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    SaveNew(L"EEG", L"Big", 5);
    const std::string before = ReadBytes(m_eeg / "Big.exp");

    CSkrivoTemplate* bigger = Manager().Create(L"EEG", L"Big");
    bigger->SetHeadboxType(9);
    bigger->AddKey(L"Padding", std::wstring(100000, L'x'));
    // A file size limit stands in for a full disk.
    struct rlimit old {};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    auto* oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 8192;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    const sk::HResult hr = Manager().Save(bigger, true);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(M::kWriteFailed, hr);
    EXPECT_EQ(before, ReadBytes(m_eeg / "Big.exp"));
    EXPECT_EQ(1, static_cast<int>(std::distance(fs::directory_iterator(m_eeg), {}))) << "no leftovers";
    ASSERT_EQ(1u, Manager().GetCount(L"EEG"));
    EXPECT_EQ(5, Manager().GetItem(L"EEG", 0)->GetHeadboxType());

    // A folder in the way of the file fails the same way.
    fs::create_directory(m_eeg / "Blocked.exp");
    EXPECT_EQ(M::kWriteFailed, Manager().Save(Manager().Create(L"EEG", L"Blocked"), true));
    EXPECT_EQ(1u, Manager().GetCount(L"EEG"));
}

TEST_F(TemplateManagerTest, DeleteRemovesTheFileButNotTheTemplate)
{
    WriteTemplateFile(m_eeg / "Gone.exp", L"Gone", L"EEG", 2);
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    CSkrivoTemplate* t = Manager().GetItem(L"EEG", L"Gone");
    ASSERT_NE(nullptr, t);

    EXPECT_EQ(M::kFileNotFound, Manager().Delete(Manager().Create(L"EEG", L"Gone")));
    EXPECT_EQ(M::kFileNotFound, Manager().Delete(nullptr));
    EXPECT_EQ(0, Manager().Delete(t));
    EXPECT_FALSE(fs::exists(m_eeg / "Gone.exp"));
    EXPECT_EQ(t, Manager().GetItem(L"EEG", 0));
    EXPECT_EQ(L"Gone", t->GetName());
    EXPECT_EQ(M::kFileNotFound, Manager().Delete(t));
    EXPECT_EQ(nullptr, Manager().GetItem((m_eeg / "Gone.exp").wstring()));

    // A folder under the template's file name is an OS error, and survives.
    fs::create_directory(m_eeg / "Dir.exp");
    CSkrivoTemplate* odd = Manager().CreateDefault();
    odd->SetAt(L"FileName", (m_eeg / "Dir.exp").wstring());
    const sk::HResult hr = Manager().Delete(odd);
    EXPECT_EQ(0x80070000u, static_cast<uint32_t>(hr) & 0xFFFF0000u);
    EXPECT_NE(0x80070000u, static_cast<uint32_t>(hr));
    EXPECT_TRUE(fs::is_directory(m_eeg / "Dir.exp"));
}

TEST_F(TemplateManagerTest, GetItemByPathIgnoresLetterCaseAndClonesKnowTheirSource)
{
    WriteTemplateFile(m_eeg / "Night.exp", L"Night", L"EEG", 2);
    WriteTemplateFile(m_sleep / "Day.exp", L"Day", L"Sleep", 2);
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    ASSERT_EQ(0, Manager().Load(L"Sleep", m_sleep.wstring()));
    CSkrivoTemplate* night = Manager().GetItem(L"EEG", L"Night");
    CSkrivoTemplate* day = Manager().GetItem(L"Sleep", L"Day");

    EXPECT_EQ(night, Manager().GetItem((m_eeg / "NIGHT.eXp").wstring()));
    EXPECT_EQ(day, Manager().GetItem((m_sleep / "day.EXP").wstring()));
    std::wstring upperFolder = m_eeg.wstring();
    std::transform(upperFolder.end() - 3, upperFolder.end(), upperFolder.end() - 3, ::towupper);
    EXPECT_EQ(night, Manager().GetItem(upperFolder + L"/night.exp"));
    EXPECT_EQ(nullptr, Manager().GetItem((m_eeg / "Nights.exp").wstring()));
    EXPECT_EQ(nullptr, Manager().GetItem(L""));

    CSkrivoTemplate* clone = Manager().Clone(night);
    EXPECT_TRUE(clone->IsInstance());
    EXPECT_TRUE(night->IsTemplate());
    EXPECT_TRUE(Manager().IsCloneOf(clone, night));
    EXPECT_TRUE(Manager().IsCloneOf(night, clone));
    EXPECT_FALSE(Manager().IsCloneOf(clone, day));
    clone->SetName(L"Changed");
    EXPECT_EQ(L"Night", night->GetName());
    CSkrivoTemplate* a = Manager().Create(L"EEG", L"A");
    CSkrivoTemplate* b = Manager().Create(L"EEG", L"A");
    EXPECT_FALSE(Manager().IsCloneOf(a, b));
    EXPECT_FALSE(Manager().IsCloneOf(Manager().Clone(a), a));
}

class FakeEditor : public ITemplateEditorHost {
public:
    int EditTemplate(CSkrivoTemplate* t, const CKeyTree* study, CSkrivoTemplateManager&,
                     CMontageLibrarian& librarian, CWnd*) override
    {
        seenLibrarian = &librarian;
        seenStudy = study;
        t->SetName(L"Edited");
        return answer;
    }
    int answer = 0;
    CMontageLibrarian* seenLibrarian = nullptr;
    const CKeyTree* seenStudy = nullptr;
};

TEST_F(TemplateManagerTest, EditGoesThroughTheRegisteredEditor)
{
    CSkrivoTemplate* t = Manager().CreateDefault();
    EXPECT_EQ(1, Manager().Edit(t, nullptr, nullptr)) << "no editor registered";
    FakeEditor editor;
    ITemplateEditorHost* previous = ITemplateEditorHost::Register(&editor);
    CKeyTree study;
    EXPECT_EQ(0, Manager().Edit(t, &study, nullptr));
    EXPECT_EQ(&Manager().GetMontageLibrarian(), editor.seenLibrarian);
    EXPECT_EQ(&study, editor.seenStudy);
    EXPECT_EQ(L"Edited", t->GetName());
    editor.answer = 2;
    EXPECT_EQ(1, Manager().Edit(t, nullptr, nullptr));
    ITemplateEditorHost::Register(previous);
}

// ---- last-used records ----

std::vector<std::wstring> ValueNames(const wchar_t* key)
{
    std::unique_ptr<sk::RegistryKey> k;
    if (sk::RegistryKey::Open(sk::HKEY_LOCAL_MACHINE, key, sk::KEY_READ, &k) != 0)
        return {};
    return k->ValueNames();
}

TEST_F(TemplateManagerTest, LastUsedRoundTripsThroughTheRegistry)
{
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    ASSERT_EQ(0, Manager().Load(L"Sleep", m_sleep.wstring()));
    CSkrivoTemplate* eeg = SaveNew(L"EEG", L"Routine", 5);
    CSkrivoTemplate* sleep = SaveNew(L"Sleep", L"Psg", 27); // the last type of the table
    Manager().SetLastUsed(5, 1, eeg);
    Manager().SetLastUsed(27, 2, sleep);
    EXPECT_EQ(std::vector<std::wstring>{L"Headbox05"}, ValueNames(kEegKey));
    EXPECT_EQ(std::vector<std::wstring>{L"Headbox27"}, ValueNames(kSleepKey));

    RestartManager();
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    ASSERT_EQ(0, Manager().Load(L"Sleep", m_sleep.wstring()));
    // A record whose file is loaded yields that stored template.
    CSkrivoTemplate* lastEeg = Manager().GetLastUsed(5, 1);
    EXPECT_EQ(Manager().GetItem(L"EEG", L"Routine"), lastEeg);
    EXPECT_EQ(lastEeg, Manager().GetLastUsed(5, 1)) << "cached";
    // Group 3 reads the Sleep record, as do all groups but 1.
    EXPECT_EQ(Manager().GetItem(L"Sleep", L"Psg"), Manager().GetLastUsed(27, 3));
    EXPECT_EQ(nullptr, Manager().GetLastUsed(6, 1)) << "no record";
    EXPECT_EQ(nullptr, Manager().GetLastUsed(5, 2)) << "EEG record is not a sleep record";

    // Setting another template does not disturb the cache.
    Manager().SetLastUsed(5, 1, Manager().CreateDefault(1, 5));
    EXPECT_EQ(lastEeg, Manager().GetLastUsed(5, 1));
}

TEST_F(TemplateManagerTest, LastUsedOfADeletedFileIsRebuiltFromTheRecord)
{
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    CSkrivoTemplate* t = SaveNew(L"EEG", L"Temp", 8);
    t->SetTemporalMaximum(600);
    Manager().SetLastUsed(8, 1, t);
    ASSERT_EQ(0, Manager().Delete(t));

    RestartManager();
    ASSERT_EQ(0, Manager().Load(L"EEG", m_eeg.wstring()));
    CSkrivoTemplate* last = Manager().GetLastUsed(8, 1);
    ASSERT_NE(nullptr, last);
    EXPECT_TRUE(last->IsTemplate());
    EXPECT_EQ(L"Temp", last->GetName());
    EXPECT_EQ(600, last->GetTemporalMaximum());
    EXPECT_EQ(0u, Manager().GetCount(L"EEG"));
}

TEST_F(TemplateManagerTest, LastUsedRefusesForeignAndBrokenRecords)
{
    CSkrivoTemplate* hb5 = Manager().CreateDefault(1, 5);
    // Stored under another headbox's value name, as if rewritten by hand.
    Manager().SetLastUsed(6, 1, hb5);
    // An EEG template filed as a sleep record.
    Manager().SetLastUsed(5, 2, hb5);
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
    for (int hb : {6, 7, 9, 5})
        EXPECT_EQ(nullptr, Manager().GetLastUsed(hb, 1)) << hb;
    EXPECT_EQ(nullptr, Manager().GetLastUsed(5, 2));

    sk::LogCapture log;
    for (int hb : {0, 28, -1}) {
        EXPECT_EQ(nullptr, Manager().GetLastUsed(hb, 1));
        EXPECT_TRUE(log.Contains(L"CSkrivoTemplateManager::GetLastUsed - unknown headbox type: " +
                                 std::to_wstring(hb), 8));
    }
    const auto before = ValueNames(kEegKey);
    Manager().SetLastUsed(28, 1, hb5);
    EXPECT_TRUE(log.Contains(L"CSkrivoTemplateManager::SetLastUsed - unknown headbox type: 28", 8));
    EXPECT_EQ(before, ValueNames(kEegKey));
}

TEST_F(TemplateManagerTest, ReadOnlyRegistryWritesNothing)
{
    ::setenv("SKRIVO_REGISTRY_READONLY", "1", 1);
    Manager().SetLastUsed(5, 1, Manager().CreateDefault(1, 5));
    ::unsetenv("SKRIVO_REGISTRY_READONLY");
    EXPECT_TRUE(ValueNames(kEegKey).empty());
    EXPECT_EQ(nullptr, Manager().GetLastUsed(5, 1));
}

} // namespace

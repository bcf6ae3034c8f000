// Template files, lists, clones and last-used records of the manager.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>


#include "TemplatesTestEnv.h"
#include "platform/Log.h"
#include "platform/Registry.h"

namespace fs = std::filesystem;

namespace {

using M = CSkrivoTemplateManager;

const wchar_t* const kEegKey = L"Software\\Corvane\\Ostra\\EDF\\Export\\EEG";
const wchar_t* const kSleepKey = L"Software\\Corvane\\Ostra\\EDF\\Export\\Sleep";

std::string ReadBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

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
    if (sk::RegistryKey::Open(sk::HKEY_LOCAL_MACHINE, key, sk::KEY_READ, &k) != 0)
        return {};
    return k->ValueNames();
}

class TemplateManagerTest : public sk::test::TemplatesTest {
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
    const std::string good = ReadBytes(m_sleep / "B.exp");
    std::ofstream(m_sleep / "C.exp", std::ios::binary) << good.substr(0, good.size() / 2);
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
    EXPECT_EQ(replaced, Manager().GetItem((m_eeg / "Routine.exp").wstring()));
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

TEST_F(TemplateManagerTest, GetItemByPathIgnoresLetterCase) {
    WriteTemplateFile(m_eeg / "Night.exp", L"Night", L"EEG", 2);
    WriteTemplateFile(m_sleep / "Day.exp", L"Day", L"Sleep", 2);
    LoadBoth();
    CSkrivoTemplate* night = Manager().GetItem(L"EEG", L"Night");
    CSkrivoTemplate* day = Manager().GetItem(L"Sleep", L"Day");
    EXPECT_EQ(night, Manager().GetItem((m_eeg / "NIGHT.eXp").wstring()));
    EXPECT_EQ(day, Manager().GetItem((m_sleep / "day.EXP").wstring()));
    std::wstring upperFolder = m_eeg.wstring();
    std::transform(upperFolder.end() - 3, upperFolder.end(), upperFolder.end() - 3, ::towupper);
    EXPECT_EQ(night, Manager().GetItem(upperFolder + L"/night.exp"));
    EXPECT_EQ(nullptr, Manager().GetItem((m_eeg / "Nights.exp").wstring()));
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
    EXPECT_EQ(before, ValueNames(kEegKey));
    // A read-only registry writes nothing.
    ::setenv("SKRIVO_REGISTRY_READONLY", "1", 1);
    Manager().SetLastUsed(10, 1, Manager().CreateDefault(1, 10));
    ::unsetenv("SKRIVO_REGISTRY_READONLY");
    EXPECT_EQ(before, ValueNames(kEegKey));
}

} // namespace

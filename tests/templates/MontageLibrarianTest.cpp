// Background loading of montage files, stopping, waiting readers, teardown.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "TemplatesTestEnv.h"
#include "platform/Log.h"
#include "platform/appcommon/HeadboxConfig.h"
#include "platform/recording/Montage.h"
#include "templates/MontageLibrarian.h"

namespace fs = std::filesystem;

namespace {

constexpr int kHeadbox = 3;

void WriteMontage(const fs::path& file, const std::wstring& name, int headboxType)
{
    fs::create_directories(file.parent_path());
    CMontage m(headboxType);
    m.SetMontageName(name);
    m.SetHeadboxType(headboxType);
    CMontageChannel c(L"C3-P3", 0);
    CHalfMontageChannel first, second;
    first.AddInput(0, 1.0f);
    second.AddInput(1, 1.0f);
    c.SetFirstHalf(first);
    c.SetSecondHalf(second);
    m.AddChannel(c);
    ASSERT_EQ(0, m.Save(file.wstring())) << file;
}

std::vector<std::wstring> NamesOf(const std::vector<CMontage*>& list)
{
    std::vector<std::wstring> out;
    for (const CMontage* m : list)
        out.push_back(m->GetMontageName());
    return out;
}

class MontageLibrarianTest : public sk::test::TemplatesTest {
protected:
    fs::path AppEeg() const { return Root() / "app" / "EEG"; }
    fs::path AppSleep() const { return Root() / "app" / "Sleep"; }
    fs::path User() const { return Root() / "user"; }
    fs::path UserSleep() const { return Root() / "user" / "Sleep"; }
    int OtherHeadbox() const { return kHeadbox == 4 ? 5 : 4; }
};

TEST_F(MontageLibrarianTest, LoadsTheFourFoldersInOrderAndLogsEveryFile)
{
    WriteMontage(AppEeg() / "b.mtg", L"App B", kHeadbox);
    WriteMontage(AppEeg() / "a.MTG", L"App A", kHeadbox);
    WriteMontage(User() / "same.mtg", L"App A", kHeadbox); // same name: kept twice
    WriteMontage(User() / "other.mtg", L"Other box", OtherHeadbox());
    WriteMontage(AppSleep() / "s.mtg", L"App Sleep", kHeadbox);
    WriteMontage(UserSleep() / "t.mtg", L"User Sleep", kHeadbox);
    std::ofstream(User() / "broken.mtg") << "not a montage";
    WriteMontage(User() / "ignored.txt", L"Not a montage file", kHeadbox);

    sk::LogCapture log;
    CMontageLibrarian lib;
    std::vector<CMontage*> eeg;
    lib.GetMontages(false, kHeadbox, eeg);
    EXPECT_EQ((std::vector<std::wstring>{L"App A", L"App B", L"App A"}), NamesOf(eeg));
    std::vector<CMontage*> sleep;
    lib.GetMontages(true, kHeadbox, sleep);
    EXPECT_EQ((std::vector<std::wstring>{L"App Sleep", L"User Sleep"}), NamesOf(sleep));
    std::vector<CMontage*> other{nullptr};
    lib.GetMontages(false, OtherHeadbox(), other);
    ASSERT_EQ(2u, other.size()) << "appends to what the list holds";
    EXPECT_EQ(L"Other box", other[1]->GetMontageName());
    std::vector<CMontage*> none;
    lib.GetMontages(true, 28, none);
    EXPECT_TRUE(none.empty());

    const std::wregex line(L"CMontageLibrarian::Load - Montage '(.*)' load time: \\d+ ms");
    std::vector<std::wstring> logged;
    for (const std::wstring& text : log.Texts(1)) {
        std::wsmatch m;
        if (std::regex_match(text, m, line))
            logged.push_back(m[1]);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"App A", L"App B", L"broken.mtg", L"Other box", L"App A",
                                         L"App Sleep", L"User Sleep"}),
              logged);
}

TEST_F(MontageLibrarianTest, MissingFoldersAndConsoleOwnersLoadNothingElse)
{
    WriteMontage(UserSleep() / "t.mtg", L"User Sleep", kHeadbox);
    {
        CMontageLibrarian lib; // no app folders, no user EEG montages
        std::vector<CMontage*> sleep;
        lib.GetMontages(true, kHeadbox, sleep);
        EXPECT_EQ(std::vector<std::wstring>{L"User Sleep"}, NamesOf(sleep));
    }
    CMontageLibrarian::SetConsoleOwnerOverride(1);
    EXPECT_TRUE(CMontageLibrarian::ProcessOwnsConsole());
    CMontageLibrarian lib;
    std::vector<CMontage*> sleep;
    lib.GetMontages(true, kHeadbox, sleep);
    EXPECT_TRUE(sleep.empty());
    CMontageLibrarian::SetConsoleOwnerOverride(-1);
    ::setenv("SKRIVO_CONSOLE_OWNER", "1", 1);
    EXPECT_TRUE(CMontageLibrarian::ProcessOwnsConsole());
    ::setenv("SKRIVO_CONSOLE_OWNER", "0", 1);
    EXPECT_FALSE(CMontageLibrarian::ProcessOwnsConsole());
    ::unsetenv("SKRIVO_CONSOLE_OWNER");
    // A test runner started from a shell never leads its terminal's session.
    EXPECT_FALSE(CMontageLibrarian::ProcessOwnsConsole());
}

class LibrarianLoadTest : public MontageLibrarianTest {
protected:
    static constexpr int kFiles = 60;
    void SetUp() override
    {
        MontageLibrarianTest::SetUp();
        for (int i = 0; i < kFiles; ++i)
            WriteMontage(AppEeg() / std::string("m").append(std::to_string(1000 + i)).append(".mtg"), L"M" + std::to_wstring(i),
                         kHeadbox);
    }
};

TEST_F(LibrarianLoadTest, StopDuringTheLoadKeepsWhatWasLoaded)
{
    // The stop races the loader, which may (rarely, on a loaded machine) get
    // through every file first; a few attempts make sure one stop is seen.
    bool stoppedEarly = false;
    for (int attempt = 0; attempt < 5 && !stoppedEarly; ++attempt) {
        sk::LogCapture log;
        CMontageLibrarian lib;
        lib.RequestStop();
        std::vector<CMontage*> first;
        lib.GetMontages(false, kHeadbox, first);
        stoppedEarly = first.size() < static_cast<size_t>(kFiles);
        size_t tried = 0;
        for (const std::wstring& text : log.Texts(1))
            tried += text.rfind(L"CMontageLibrarian::Load - ", 0) == 0;
        EXPECT_EQ(first.size(), tried) << "one log line per file tried, none after the stop";
        for (size_t i = 0; i < first.size(); ++i)
            EXPECT_EQ(L"M" + std::to_wstring(i), first[i]->GetMontageName());
        std::vector<CMontage*> second;
        lib.GetMontages(false, kHeadbox, second);
        EXPECT_EQ(first, second);
    }
    EXPECT_TRUE(stoppedEarly);
}

TEST_F(LibrarianLoadTest, ReadersDuringTheLoadSeeEveryMontage)
{
    CMontageLibrarian lib;
    std::vector<size_t> seen(3, 0);
    std::vector<std::thread> readers;
    for (size_t r = 0; r < seen.size(); ++r) {
        readers.emplace_back([&lib, &seen, r] {
            std::vector<CMontage*> list;
            lib.GetMontages(false, kHeadbox, list);
            seen[r] = list.size();
        });
    }
    std::vector<CMontage*> mine;
    lib.GetMontages(false, kHeadbox, mine);
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(static_cast<size_t>(kFiles), mine.size());
    for (size_t n : seen)
        EXPECT_EQ(static_cast<size_t>(kFiles), n);
}

TEST_F(LibrarianLoadTest, DestructionRightAfterConstruction)
{
    for (int i = 0; i < 20; ++i) {
        CMontageLibrarian lib; // destroyed without a stop request: waits for the load
    }
    for (int i = 0; i < 20; ++i) {
        CMontageLibrarian lib;
        lib.RequestStop();
    }
    for (int i = 0; i < 20; ++i) {
        CSkrivoTemplateManager manager; // stops its librarian first
    }
}

} // namespace

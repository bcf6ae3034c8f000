// Background loading of montage files, stopping, waiting readers, teardown.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TemplatesTestEnv.h"
#include "platform/Log.h"
#include "platform/recording/Montage.h"

namespace fs = std::filesystem;

namespace {

constexpr int kHeadbox = 3, kOtherHeadbox = 4;

void WriteMontage(const fs::path& file, const std::wstring& name, int headboxType = kHeadbox) {
    fs::create_directories(file.parent_path());
    CMontage m(headboxType);
    m.SetMontageName(name);
    CMontageChannel c(L"C3-P3", 0);
    CHalfMontageChannel first, second;
    first.AddInput(0, 1.0f);
    second.AddInput(1, 1.0f);
    c.SetFirstHalf(first);
    c.SetSecondHalf(second);
    m.AddChannel(c);
    ASSERT_EQ(0, m.Save(file.wstring())) << file;
}

std::vector<std::wstring> Montages(CMontageLibrarian& lib, bool sleep, int headbox = kHeadbox) {
    std::vector<CMontage*> list;
    lib.GetMontages(sleep, headbox, list);
    std::vector<std::wstring> out;
    for (const CMontage* m : list)
        out.push_back(m->GetMontageName());
    return out;
}

class MontageLibrarianTest : public sk::test::TemplatesTest {
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
    {
        CMontageLibrarian lib; // no app folders, no user EEG montages
        EXPECT_EQ(std::vector<std::wstring>{L"User Sleep"}, Montages(lib, true));
    }
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

TEST_F(LibrarianLoadTest, StopDuringTheLoadKeepsWhatWasLoaded) {
    // The stop races the loader, which may (rarely, on a loaded machine) get
    // through every file first; a few attempts make sure one stop is seen.
    bool stoppedEarly = false;
    for (int attempt = 0; attempt < 5 && !stoppedEarly; ++attempt) {
        sk::LogCapture log;
        CMontageLibrarian lib;
        lib.RequestStop();
        const std::vector<std::wstring> first = Montages(lib, false);
        stoppedEarly = first.size() < kFiles;
        size_t tried = 0;
        for (const std::wstring& text : log.Texts(1))
            tried += text.rfind(L"CMontageLibrarian::Load - ", 0) == 0;
        EXPECT_EQ(first.size(), tried) << "one log line per file tried, none after the stop";
        for (size_t i = 0; i < first.size(); ++i)
            EXPECT_EQ(L"M" + std::to_wstring(i), first[i]);
        EXPECT_EQ(first, Montages(lib, false));
    }
    EXPECT_TRUE(stoppedEarly);
}

TEST_F(LibrarianLoadTest, ReadersDuringTheLoadSeeEveryMontageAndTeardownWaits) {
    {
        CMontageLibrarian lib;
        std::vector<size_t> seen(3, 0);
        std::vector<std::thread> readers;
        for (size_t r = 0; r < seen.size(); ++r)
            readers.emplace_back([&lib, &seen, r] { seen[r] = Montages(lib, false).size(); });
        EXPECT_EQ(kFiles, Montages(lib, false).size());
        for (std::thread& t : readers)
            t.join();
        for (size_t n : seen)
            EXPECT_EQ(kFiles, n);
    }
    for (int i = 0; i < 10; ++i) {
        CMontageLibrarian waits; // destroyed without a stop request: waits for the load
        CMontageLibrarian stopped;
        stopped.RequestStop();
        CSkrivoTemplateManager manager; // stops its librarian first
    }
}

} // namespace

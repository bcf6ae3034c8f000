// Files, error codes, paths, settings folders, text conversions, message
// formatting and the log.
#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/File.h"
#include "platform/Format.h"
#include "platform/HResult.h"
#include "platform/Log.h"
#include "platform/Path.h"
#include "platform/TextConv.h"
#include "platform/appcommon/SettingsDirs.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

using sk::File;
namespace path = sk::path;

std::wstring W(const std::filesystem::path& p) { return p.wstring(); }

TEST(File, FailuresCarryTheOsCodeAndItsWindowsNumber) {
    sk::test::TempDir dir("file");
    {
        File f;
        ASSERT_TRUE(f.Open(W(dir / "exists.bin"), File::Mode::CreateAlways));
    }
    std::filesystem::create_directory(dir / "folder");
    const struct {
        const char* name;
        std::string relPath; // under the temp folder
        File::Mode mode;
        int err;
        uint32_t win32;
    } cases[] = {
        {"missing folder", "no-such-folder/x.edf", File::Mode::CreateAlways, ENOENT, 3},
        {"missing file", "missing.edf", File::Mode::ReadOnly, ENOENT, 2},
        {"missing file, read-write", "missing.edf", File::Mode::OpenExisting, ENOENT, 2},
        {"create new over existing", "exists.bin", File::Mode::CreateNew, EEXIST, 80},
        {"a folder is not a file", "folder", File::Mode::ReadOnly, EISDIR, 5},
        {"a file used as folder", "exists.bin/x", File::Mode::CreateAlways, ENOTDIR, 3},
        {"name too long", std::string(300, 'n'), File::Mode::CreateAlways, ENAMETOOLONG, 206},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        File f;
        EXPECT_FALSE(f.Open(W(dir / c.relPath), c.mode));
        EXPECT_FALSE(f.IsOpen());
        EXPECT_EQ(f.LastErrno(), c.err);
        EXPECT_EQ(f.LastError(), c.win32);
        EXPECT_EQ(static_cast<uint32_t>(f.LastHResult()), 0x80070000u | c.win32);
    }
    File full;
    ASSERT_TRUE(full.Open(L"/dev/full", File::Mode::OpenExisting));
    EXPECT_FALSE(full.Write("x", 1));
    EXPECT_EQ(full.LastErrno(), ENOSPC);
    EXPECT_EQ(static_cast<uint32_t>(full.LastHResult()), 0x80070070u);
    // What a user reads for the failures an export meets (a quota reads as a full disk).
    const std::wstring diskFull = L"There is not enough space on the disk.";
    EXPECT_EQ(sk::SystemErrorText(full.LastError()), diskFull);
    EXPECT_EQ(sk::SystemErrorText(static_cast<uint32_t>(sk::HResultFromErrno(EDQUOT))), diskFull);
    EXPECT_EQ(sk::SystemErrorText(sk::Win32FromErrno(EFBIG)),
              L"The file size exceeds the limit allowed and cannot be saved.");
    EXPECT_EQ(sk::Win32FromErrno(EPROTO), 31u) << "unmapped";
    EXPECT_EQ(sk::SystemErrorText(0x8007FFFEu), L"") << "no text: the caller writes its own";
}

TEST(File, WriteSeekReadSetLengthBeyond4GiB) {
    sk::test::TempDir dir("file");
    File f;
    ASSERT_TRUE(f.Open(W(dir / "data.bin"), File::Mode::CreateAlways, File::WriteThrough));
    ASSERT_TRUE(f.Write("0123456789", 10));
    EXPECT_EQ(f.Position(), 10);
    int64_t pos = 0;
    ASSERT_TRUE(f.Seek(-4, File::Origin::End, &pos));
    EXPECT_EQ(pos, 6);
    char buf[8] = {};
    ASSERT_TRUE(f.ReadExact(buf, 4));
    EXPECT_EQ(std::string(buf, 4), "6789");
    EXPECT_FALSE(f.ReadExact(buf, 1)) << "at the end";
    EXPECT_EQ(f.LastError(), 38u);
    EXPECT_FALSE(f.Seek(-11, File::Origin::End)) << "before the start";
    EXPECT_EQ(f.LastError(), 87u);

    // The record-count patch of a large export seeks back past 4 GiB offsets.
    const int64_t big = (int64_t{5} << 30) + 3;
    ASSERT_TRUE(f.Seek(big, File::Origin::Begin));
    ASSERT_TRUE(f.Write("Z", 1));
    EXPECT_EQ(f.Size(), big + 1);
    ASSERT_TRUE(f.SetLength(4));
    ASSERT_TRUE(f.SetLength(8)); // grows with zeros
    ASSERT_TRUE(f.Seek(2, File::Origin::Begin));
    size_t got = 0;
    ASSERT_TRUE(f.Read(buf, 8, &got));
    EXPECT_EQ(std::string(buf, got), std::string("23\0\0\0\0", 6));
    EXPECT_FALSE(f.SetLength(-1));
    EXPECT_TRUE(f.DataSync());
    EXPECT_TRUE(f.Close());
    EXPECT_FALSE(f.IsOpen());

    // Opening again keeps the contents, read-only refuses writes, CreateAlways empties.
    const std::wstring p = W(dir / "data.bin");
    ASSERT_TRUE(f.Open(p, File::Mode::OpenAlways) && f.Size() == 8 && f.Close());
    ASSERT_TRUE(f.Open(p, File::Mode::ReadOnly));
    EXPECT_FALSE(f.Write("x", 1));
    EXPECT_EQ(f.LastErrno(), EBADF);
    ASSERT_TRUE(f.Close() && f.Open(p, File::Mode::CreateAlways));
    EXPECT_EQ(f.Size(), 0);
}

TEST(File, AtomicReplaceLeavesNoTemporaryAndReadsRefusePipesAndOversizeFiles) {
    sk::test::TempDir dir("file");
    const std::wstring p = W(dir / "settings.bin");
    ASSERT_TRUE(sk::WriteFileAtomically(p, "first", 5));
    ASSERT_TRUE(sk::WriteFileAtomically(p, "second!", 7));
    std::string back;
    ASSERT_TRUE(sk::ReadWholeFile(p, &back, 100));
    EXPECT_EQ(back, "second!");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

    int err = 0;
    EXPECT_FALSE(sk::WriteFileAtomically(W(dir / "missing/x.bin"), "x", 1, &err));
    EXPECT_EQ(err, ENOENT);
    EXPECT_FALSE(sk::ReadWholeFile(p, &back, 6, &err)) << "over the size limit";
    EXPECT_EQ(err, EFBIG);
    EXPECT_TRUE(back.empty());
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(sk::ReadWholeFile(W(dir / "fifo"), &back, 100, &err)) << "a pipe would block";
    EXPECT_EQ(err, EINVAL);
}

TEST(Path, SplittingAndJoining) {
    const struct { std::wstring in, folder, name, ext, stem; } cases[] = {
        {L"/data/study/ABC.EEG", L"/data/study", L"ABC.EEG", L".EEG", L"ABC"},
        {L"C:\\Studies\\ABC.eeg", L"C:\\Studies", L"ABC.eeg", L".eeg", L"ABC"},
        {L"/data/Decimated\\x.erd", L"/data/Decimated", L"x.erd", L".erd", L"x"},
        {L"/x", L"/", L"x", L"", L"x"},
        {L"name", L"", L"name", L"", L"name"},
        {L"/a.b/name", L"/a.b", L"name", L"", L"name"},      // a dot in the folder is no extension
        {L"/a/.hidden", L"/a", L".hidden", L"", L".hidden"}, // a leading dot alone is not one either
        {L"/a/t.tar.gz", L"/a", L"t.tar.gz", L".gz", L"t.tar"},
        {L"/a/trailing.", L"/a", L"trailing.", L".", L"trailing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.in.begin(), c.in.end()));
        EXPECT_EQ(path::FolderPart(c.in), c.folder);
        EXPECT_EQ(path::FileNamePart(c.in), c.name);
        EXPECT_EQ(path::ExtensionPart(c.in), c.ext);
        EXPECT_EQ(path::StemPart(c.in), c.stem);
    }
    const struct { std::wstring a, b, out; } joins[] = {
        {L"/out", L"x.edf", L"/out/x.edf"}, {L"/out/", L"x.edf", L"/out/x.edf"},
        {L"/out", L"\\Decimated\\", L"/out/Decimated\\"}, {L"", L"x.edf", L"x.edf"},
        {L"/out", L"", L"/out"}, {L"/out", L"/abs/x", L"/abs/x"},
    };
    for (const auto& j : joins) EXPECT_EQ(path::Combine(j.a, j.b), j.out);
    EXPECT_EQ(path::ReplaceExtension(L"/a/s.EEG", L"edf"), L"/a/s.edf");
    EXPECT_EQ(path::ReplaceExtension(L"/a/s", L".edf"), L"/a/s.edf");
    EXPECT_EQ(path::ReplaceExtension(L"/a.d/s", L""), L"/a.d/s");
    EXPECT_EQ(path::ReplaceExtension(L"/a/s.tar.gz", L""), L"/a/s.tar");
    EXPECT_EQ(path::RemoveTrailingSeparator(L"/a/"), L"/a");
    EXPECT_EQ(path::RemoveTrailingSeparator(L"/"), L"/");
}

// Every caller asks for one extension ("*.eeg", "*.mtg", "*.exp").
TEST(Path, FindsFilesOfAnExtensionInAnyLetterCaseAndNonUtf8Names) {
    sk::test::TempDir dir("path");
    for (const char* n : {"b.eeg", "A.EEG", "c.Eeg", "d.etc", "e.eeg.bak"}) std::ofstream(dir / n) << "x";
    std::filesystem::create_directory(dir / "f.eeg");
    const std::wstring folder = dir.wpath();
    std::vector<std::wstring> names;
    for (const std::wstring& f : path::FindFiles(folder, L"*.EEG")) names.push_back(path::FileNamePart(f));
    EXPECT_EQ(names, (std::vector<std::wstring>{L"A.EEG", L"b.eeg", L"c.Eeg"})) << "sorted, no folder";
    EXPECT_EQ(path::FindFiles(folder, L"*.eeg", true).size(), 4u) << "with the folder";
    EXPECT_TRUE(path::FindFiles(folder + L"/missing", L"*").empty());

    EXPECT_EQ(path::FindIgnoringCase(folder, L"D.ETC"), path::Combine(folder, L"d.etc"));
    EXPECT_EQ(path::FindIgnoringCase(folder, L"F.EEG"), path::Combine(folder, L"f.eeg"));
    EXPECT_EQ(path::FindIgnoringCase(folder, L"nothing.eeg"), L"");
    std::ofstream(dir / "B.EEG") << "y"; // two spellings: the exact one wins
    EXPECT_EQ(path::FindIgnoringCase(folder, L"b.eeg"), path::Combine(folder, L"b.eeg"));
    EXPECT_EQ(path::FindIgnoringCase(folder, L"B.EEG"), path::Combine(folder, L"B.EEG"));
    EXPECT_TRUE(path::IsRegularFile(path::Combine(folder, L"d.etc")) && !path::Exists(L""));

    // A name that is not UTF-8 on disk still round-trips: found, then opened.
    sk::test::TempDir raw("path");
    const std::string name = std::string("bad\xff\xfe") + "name.eeg";
    std::ofstream(raw.path() / name) << "data";
    const auto found = path::FindFiles(raw.wpath(), L"*.eeg");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(path::ToNative(found[0]), (raw.path() / name).string());
    File f;
    ASSERT_TRUE(f.Open(found[0], File::Mode::ReadOnly));
    EXPECT_EQ(f.Size(), 4);
    EXPECT_EQ(path::FromNative("Gr\xc3\xbc\xc3\x9f" "e"), L"Grüße");
    EXPECT_EQ(path::ToNative(L"a\\b/Grüße"), "a/b/Gr\xc3\xbc\xc3\x9f" "e");
    EXPECT_TRUE(path::CreateDirectories(raw.wpath() + L"/x/y/z"));
    EXPECT_TRUE(path::IsDirectory(raw.wpath() + L"/x/y/z"));
}

TEST(SettingsDirs, EnvironmentOverridesThenXdgFolders) {
    using Env = sk::test::ScopedEnv;
    {
        Env app("SKRIVO_APP_SETTINGS_DIR", "/srv/app//"), user("SKRIVO_USER_SETTINGS_DIR", "/home/u/sk");
        EXPECT_EQ(GetAppSettingsDirByStudyMode(true, STUDY_MODE_EEG), L"/srv/app/EEG/");
        EXPECT_EQ(GetAppSettingsDirByStudyMode(false, STUDY_MODE_SLEEP), L"/srv/app/Sleep");
        EXPECT_EQ(GetAppSettingsDirByStudyMode(true, 7), L"/srv/app/EEG/") << "an unknown mode is EEG";
        EXPECT_EQ(GetUserSettingsDir(false), L"/home/u/sk");
        EXPECT_EQ(GetUserSettingsSleepDir(), L"/home/u/sk/Sleep/");
        Env root("SKRIVO_USER_SETTINGS_DIR", "/"); // changes take effect at once
        EXPECT_EQ(GetUserSettingsSleepDir(false), L"/Sleep");
    }
    Env app("SKRIVO_APP_SETTINGS_DIR", ""), user("SKRIVO_USER_SETTINGS_DIR", nullptr);
    {
        Env data("XDG_DATA_DIRS", "/opt/share:/usr/share"), config("XDG_CONFIG_HOME", "/cfg");
        EXPECT_EQ(GetAppSettingsDirByStudyMode(true, STUDY_MODE_EEG), L"/opt/share/skrivo/settings/EEG/");
        EXPECT_EQ(GetUserSettingsSleepDir(), L"/cfg/skrivo/Sleep/");
    }
    Env data("XDG_DATA_DIRS", nullptr), config("XDG_CONFIG_HOME", "relative/ignored"), home("HOME", "/home/\xC3\xA9");
    EXPECT_EQ(GetAppSettingsDirByStudyMode(false, STUDY_MODE_EEG), L"/usr/share/skrivo/settings/EEG");
    EXPECT_EQ(GetUserSettingsDir(false), L"/home/\u00E9/.config/skrivo");
}

TEST(TextConv, Utf8AndUtf16AreStrictAndFoldingIgnoresTheLocale) {
    const struct { const char* name; std::string in; std::wstring out; /* empty: refused */ } utf8[] = {
        {"two-byte", "Gr\xc3\xbc\xc3\x9f" "e", L"Grüße"},
        {"four-byte", "\xf0\x9f\x98\x80", std::wstring(1, wchar_t(0x1F600))},
        {"truncated", "ab\xc3", L""}, {"stray continuation", "\x80" "a", L""},
        {"overlong slash", "\xc0\xaf", L""}, {"overlong three-byte", "\xe0\x80\xaf", L""},
        {"surrogate", "\xed\xa0\x80", L""}, {"above U+10FFFF", "\xf4\x90\x80\x80", L""},
        {"invalid lead byte", "\xff", L""}, {"bad continuation", "\xe2\x28\xa1", L""},
    };
    for (const auto& c : utf8) {
        std::wstring out = L"stale";
        EXPECT_EQ(sk::Utf8ToWide(c.in, &out), !c.out.empty()) << c.name;
        EXPECT_EQ(out, c.out) << c.name;
    }
    std::string u;
    EXPECT_TRUE(sk::WideToUtf8(L"Grüße \U0001F600", &u));
    EXPECT_EQ(u, "Gr\xc3\xbc\xc3\x9f" "e \xf0\x9f\x98\x80");
    EXPECT_FALSE(sk::WideToUtf8(std::wstring(1, wchar_t(0xD800)), &u));
    EXPECT_FALSE(sk::WideToUtf8(std::wstring(1, wchar_t(0x110000)), &u));
    EXPECT_EQ(sk::ToUtf8Lossy(std::wstring(L"a") + wchar_t(0xDC00)), "a\xef\xbf\xbd");
    EXPECT_EQ(sk::FromUtf8Lossy("a\xff" "b"), L"a\xFFFD" L"b");
    // UTF-16LE: strict for registry values, U+FFFD in the study files.
    using namespace std::string_literals;
    for (const auto& [text, bytes] : {std::pair<std::wstring, std::string>{L"A\u00e9\U0001F600", "A\0\xE9\0\x3D\xD8\0\xDE"s},
                                      {std::wstring(1, wchar_t(0xDC00)), "\xFD\xFF"}, {std::wstring(1, wchar_t(0x110000)), "\xFD\xFF"}}) {
        std::vector<uint8_t> strict{1};
        EXPECT_EQ(sk::WideToUtf16LE(text, &strict), bytes.size() == 8);
        EXPECT_EQ(std::string(strict.begin(), strict.end()), bytes.size() == 8 ? bytes : "");
        std::string lossy = "x";
        sk::AppendUtf16LELossy(text, lossy);
        EXPECT_EQ(lossy, "x" + bytes);
    }
    // A pair, a lone low and a high before no low, a zero unit, a high at the end.
    const uint8_t units[] = {0x3D, 0xD8, 0x00, 0xDE, 0x00, 0xDC, 0x00, 0xD8, 0x41, 0, 0, 0, 0x42, 0, 0x00, 0xD8};
    EXPECT_EQ(sk::Utf16LEToWideLossy(units, 8, false), std::wstring(L"\U0001F600\uFFFD\uFFFDA\0B\uFFFD", 7));
    EXPECT_EQ(sk::Utf16LEToWideLossy(units, 8, true), L"\U0001F600\uFFFD\uFFFDA");
    EXPECT_TRUE(sk::EqualsIgnoreCase(L"ÄÖÜ.EEG", L"äöü.eeg"));
    EXPECT_FALSE(sk::EqualsIgnoreCase(L"a", L"ab"));
    EXPECT_FALSE(sk::EqualsIgnoreCase(L"[", L"{")); // 0x5B and 0x7B differ by 32 but are no letters
    EXPECT_EQ(sk::ToUpperAscii(L"05-dec-2026 ä"), L"05-DEC-2026 ä");
    EXPECT_EQ(sk::ToLowerAscii(L"EDF Ä"), L"edf Ä");
}

TEST(Format, WindowsWideConversionsAreRewritten) {
    const struct { const wchar_t* in; const wchar_t* out; } cases[] = {
        {L"%s", L"%ls"},           {L"%S", L"%s"},          {L"%ws", L"%ls"},        {L"%hs", L"%s"},
        {L"%ls", L"%ls"},          {L"%-12s|", L"%-12ls|"}, {L"%.*s", L"%.*ls"},     {L"%c%C", L"%lc%c"},
        {L"%I64d %I64X", L"%lld %llX"}, {L"%I32d", L"%d"},  {L"%%s", L"%%s"},        {L"100%%", L"100%%"},
        {L"%02d.%03u", L"%02d.%03u"},   {L"%.*f %e", L"%.*f %e"}, {L"%lld %zu", L"%lld %zu"},
        {L"%n", L"%%n"},           {L"%-5n", L"%%n"},       {L"trailing %", L"trailing %"},
    };
    for (const auto& c : cases) EXPECT_EQ(sk::TranslateWideFormat(c.in), c.out) << std::wstring(c.in).size();
    EXPECT_EQ(sk::FormatW(L"annotation %S at %s", "Gr\xc3\xbc\xc3\x9f" "e", L"+12.5"), L"annotation Grüße at +12.5");
    EXPECT_EQ(sk::FormatW(L"%I64d|%I64u", INT64_MIN, UINT64_MAX), L"-9223372036854775808|18446744073709551615");
    const std::wstring longText(5000, L'x');
    EXPECT_EQ(sk::FormatW(L"<%s>", longText.c_str()), L"<" + longText + L">");
    EXPECT_EQ(sk::FormatW(L"bad %S", "\xff"), L"bad %S [format error]") << "narrow text that is not UTF-8";
    EXPECT_EQ(sk::FormatA("%.2f|%8.1e", 3.14159, 0.000123), "3.14| 1.2e-04");
}

// A process locale with a decimal comma must not leak into formatted numbers.
TEST(Format, NumbersIgnoreTheProcessLocale) {
    const char* got = nullptr;
    for (const char* l : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE"})
        if ((got = std::setlocale(LC_ALL, l))) break;
    if (!got) GTEST_SKIP() << "no locale with a decimal comma installed";
    EXPECT_EQ(sk::FormatW(L"%.1f", 2.5), L"2.5");
    EXPECT_EQ(sk::FormatA("%.1f", 2.5), "2.5");
    std::setlocale(LC_ALL, "C");
}

// A capture (what the other tests' log checks rest on) records the text,
// level and source line of each message and every event record.
TEST(Log, CaptureRecordsExactTextLevelLineAndEventRecords) {
    sk::LogCapture outer;
    sk::LogCapture cap;
    const int line = __LINE__ + 1;
    SKLOG(8, L"CSkrivoer::WriteString - Error writing to file: %d", 112);
    SKLOG(32, L"%s - %I64d", L"CSkrivoer::WriteRecords", int64_t{1} << 40);
    const auto msgs = cap.Messages();
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_TRUE(msgs[0].level == 8u && msgs[0].file == "SystemTest.cpp" && msgs[0].line == line);
    EXPECT_EQ(msgs[1].text, L"CSkrivoer::WriteRecords - 1099511627776");
    EXPECT_FALSE(cap.Contains(L"CSkrivoer::WriteString - Error writing to file: 112", 1)) << "another level";
    SK_EVENTLOG_EXCEPTION(L"header does not end at byte 256");
    COrlException(0x1234u, "dir\\Other.cpp", 9).Report();
    const auto recs = cap.EventRecords();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].code, 0xC1010001u);
    EXPECT_EQ(recs[1].file, "Other.cpp") << "Windows separators are cut too";
    EXPECT_EQ(cap.EventCount(0x1234u), 1u);
    EXPECT_EQ(outer.EventRecords().size(), 2u) << "nested captures both see everything";
}

TEST(Log, CaptureIsThreadSafe) {
    sk::LogCapture cap;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                SKLOG(8, L"worker %d message %d", t, i);
                if (i % 50 == 0) SK_EVENTLOG_EXCEPTION(L"w");
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(cap.Messages().size(), 800u);
    EXPECT_EQ(cap.EventCount(), 16u);
    EXPECT_TRUE(cap.Contains(L"worker 3 message 199"));
}

// Without a capture, the level mask decides what is written, and where.
TEST(Log, LevelMaskAndOutputFilesFromTheEnvironment) {
    sk::test::TempDir dir("log");
    const auto read = [&](const char* name) {
        std::stringstream s;
        s << std::ifstream(dir / name).rdbuf();
        return s.str();
    };
    {
        sk::test::ScopedEnv file("SKRIVO_LOG_FILE", (dir / "skrivo.log").string());
        sk::test::ScopedEnv events("SKRIVO_EVENTLOG_FILE", (dir / "events.log").string());
        sk::test::ScopedEnv levels("SKRIVO_LOG_LEVELS", "0x9");
        CTaviLogManager::Reconfigure();
        SKLOG(8, L"level eight");
        SKLOG(32, L"level thirty-two");
        SKLOG(1, L"level one ü");
        SK_EVENTLOG_EXCEPTION(L"consistency");
        CTaviLogManager::GetComponent(L"OTHER")->Write(8, __FILE__, 7, L"%s", L"other component");
        const std::string log = read("skrivo.log");
        EXPECT_NE(log.find("[SKRIVO] L8 SystemTest.cpp("), std::string::npos) << log;
        EXPECT_NE(log.find("): level eight\n"), std::string::npos);
        EXPECT_NE(log.find("level one \xc3\xbc"), std::string::npos) << "UTF-8 in the file";
        EXPECT_EQ(log.find("thirty-two"), std::string::npos);
        EXPECT_NE(log.find("[OTHER] L8 SystemTest.cpp(7): other component"), std::string::npos);
        EXPECT_NE(read("events.log").find("EVENT 0xC1010001 SystemTest.cpp("), std::string::npos);
    }
    {
        sk::test::ScopedEnv levels("SKRIVO_LOG_LEVELS", "0");
        CTaviLogManager::Reconfigure();
        EXPECT_FALSE(CTaviLogManager::IsLoggingOn());
        sk::LogCapture cap;
        EXPECT_TRUE(CTaviLogManager::IsLoggingOn()) << "a capture turns everything on";
    }
    CTaviLogManager::Reconfigure();
    EXPECT_EQ(sk::SkrivoLogger(), CTaviLogManager::GetComponent(L"SKRIVO")) << "one component, kept";
}

} // namespace

#include <gtest/gtest.h>

#include <fstream>

#include "platform/File.h"
#include "platform/Path.h"
#include "support/TempDir.h"

namespace {

namespace path = sk::path;

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
        {L"/out", L"x.edf", L"/out/x.edf"},
        {L"/out/", L"x.edf", L"/out/x.edf"},
        {L"/out", L"\\Decimated\\", L"/out/Decimated\\"},
        {L"", L"x.edf", L"x.edf"},
        {L"/out", L"", L"/out"},
        {L"/out", L"/abs/x", L"/abs/x"},
    };
    for (const auto& j : joins)
        EXPECT_EQ(path::Combine(j.a, j.b), j.out);
    EXPECT_EQ(path::ReplaceExtension(L"/a/s.EEG", L"edf"), L"/a/s.edf");
    EXPECT_EQ(path::ReplaceExtension(L"/a/s", L".edf"), L"/a/s.edf");
    EXPECT_EQ(path::ReplaceExtension(L"/a.d/s", L""), L"/a.d/s");
    EXPECT_EQ(path::ReplaceExtension(L"/a/s.tar.gz", L""), L"/a/s.tar");
    EXPECT_EQ(path::RemoveTrailingSeparator(L"/a/"), L"/a");
    EXPECT_EQ(path::RemoveTrailingSeparator(L"/"), L"/");
}

TEST(Path, PatternsIgnoreCase) {
    const struct { const wchar_t* name; const wchar_t* pattern; bool match; } cases[] = {
        {L"STUDY.EEG", L"*.eeg", true},  {L"study.Eeg", L"*.EEG", true}, {L"study.eeg.bak", L"*.eeg", false},
        {L"study.ee", L"*.eeg", false},  {L"ÄBC.eeg", L"äbc.*", true},   {L"noext", L"*.*", true},
        {L"a1.erd", L"a?.ERD", true},    {L"a12.erd", L"a?.erd", false}, {L"x", L"", false},
        {L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaab", L"*a*a*a*a*a*a*a*a*a*c", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(path::MatchesPattern(c.name, c.pattern), c.match)
            << std::string(c.pattern, c.pattern + wcslen(c.pattern));
}

TEST(Path, FindsFilesOfAnExtensionInAnyLetterCase) {
    sk::test::TempDir dir("path");
    for (const char* n : {"b.eeg", "A.EEG", "c.Eeg", "d.etc", "e.eeg.bak"})
        std::ofstream(dir / n) << "x";
    std::filesystem::create_directory(dir / "f.eeg");
    const std::wstring folder = dir.wpath();
    const auto files = path::FindFiles(folder, L"*.EEG");
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(path::FileNamePart(files[0]), L"A.EEG");
    EXPECT_EQ(path::FileNamePart(files[1]), L"b.eeg");
    EXPECT_EQ(path::FileNamePart(files[2]), L"c.Eeg");
    EXPECT_EQ(path::FindFiles(folder, L"*.eeg", true).size(), 4u) << "with the folder";
    EXPECT_TRUE(path::FindFiles(folder + L"/missing", L"*").empty());

    EXPECT_EQ(path::FindIgnoringCase(folder, L"D.ETC"), path::Combine(folder, L"d.etc"));
    EXPECT_EQ(path::FindIgnoringCase(folder, L"F.EEG"), path::Combine(folder, L"f.eeg"));
    EXPECT_EQ(path::FindIgnoringCase(folder, L"nothing.eeg"), L"");
    std::ofstream(dir / "B.EEG") << "y"; // two spellings: the exact one wins
    EXPECT_EQ(path::FindIgnoringCase(folder, L"b.eeg"), path::Combine(folder, L"b.eeg"));
    EXPECT_EQ(path::FindIgnoringCase(folder, L"B.EEG"), path::Combine(folder, L"B.EEG"));
    EXPECT_TRUE(path::IsDirectory(folder));
    EXPECT_FALSE(path::IsDirectory(path::Combine(folder, L"d.etc")));
    EXPECT_TRUE(path::IsRegularFile(path::Combine(folder, L"d.etc")));
    EXPECT_TRUE(path::Exists(path::Combine(folder, L"f.eeg")));
    EXPECT_FALSE(path::Exists(L""));
}

// A name that is not UTF-8 on disk still round-trips: found, then opened.
TEST(Path, NonUtf8NamesRoundTrip) {
    sk::test::TempDir dir("path");
    const std::string raw = std::string("bad\xff\xfe") + "name.eeg";
    std::ofstream(dir.path() / raw) << "data";
    const auto files = path::FindFiles(dir.wpath(), L"*.eeg");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(path::ToNative(files[0]), (dir.path() / raw).string());
    sk::File f;
    ASSERT_TRUE(f.Open(files[0], sk::File::Mode::ReadOnly));
    EXPECT_EQ(f.Size(), 4);
    EXPECT_EQ(path::FromNative("Gr\xc3\xbc\xc3\x9f" "e"), L"Grüße");
    EXPECT_EQ(path::ToNative(L"a\\b/Grüße"), "a/b/Gr\xc3\xbc\xc3\x9f" "e");
    EXPECT_TRUE(path::CreateDirectories(dir.wpath() + L"/x/y/z"));
    EXPECT_TRUE(path::IsDirectory(dir.wpath() + L"/x/y/z"));
}

} // namespace

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/File.h"
#include "platform/Path.h"
#include "support/TempDir.h"

namespace {

using sk::File;

std::wstring W(const std::filesystem::path& p) { return p.wstring(); }

struct OpenFailure {
    const char* name;
    std::string relPath; // under the temp folder
    File::Mode mode;
    int err;
    uint32_t win32;
};

TEST(File, OpenFailuresCarryTheOsCode) {
    sk::test::TempDir dir("file");
    { File f; ASSERT_TRUE(f.Open(W(dir / "exists.bin"), File::Mode::CreateAlways)); }
    std::filesystem::create_directory(dir / "folder");
    const OpenFailure cases[] = {
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
}

TEST(File, OperationsOnAClosedFileFailWithInvalidHandle) {
    File f;
    char b[4];
    size_t got = 7;
    EXPECT_FALSE(f.Read(b, 4, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(f.Write(b, 4));
    EXPECT_EQ(f.Size(), -1);
    EXPECT_EQ(f.LastError(), 6u);
    EXPECT_TRUE(f.Close());
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
    EXPECT_EQ(f.Size(), 4);
    ASSERT_TRUE(f.SetLength(8)); // grows with zeros
    ASSERT_TRUE(f.Seek(2, File::Origin::Begin));
    size_t got = 0;
    ASSERT_TRUE(f.Read(buf, 8, &got));
    ASSERT_EQ(got, 6u);
    EXPECT_EQ(std::string(buf, 6), std::string("23\0\0\0\0", 6));
    EXPECT_FALSE(f.SetLength(-1));
    EXPECT_TRUE(f.DataSync());
    EXPECT_TRUE(f.Close());
    EXPECT_FALSE(f.IsOpen());
}

TEST(File, ModesKeepOrTruncateContents) {
    sk::test::TempDir dir("file");
    const std::wstring p = W(dir / "m.bin");
    { File f; ASSERT_TRUE(f.Open(p, File::Mode::CreateNew)); ASSERT_TRUE(f.Write("abc", 3)); }
    { File f; ASSERT_TRUE(f.Open(p, File::Mode::OpenAlways)); EXPECT_EQ(f.Size(), 3); }
    {
        File f;
        ASSERT_TRUE(f.Open(p, File::Mode::ReadOnly));
        EXPECT_FALSE(f.Write("x", 1));
        EXPECT_EQ(f.LastErrno(), EBADF);
    }
    { File f; ASSERT_TRUE(f.Open(p, File::Mode::CreateAlways)); EXPECT_EQ(f.Size(), 0); }
}

TEST(File, FullDiskIsErrorDiskFull) {
    File f;
    ASSERT_TRUE(f.Open(L"/dev/full", File::Mode::OpenExisting));
    EXPECT_FALSE(f.Write("x", 1));
    EXPECT_EQ(f.LastErrno(), ENOSPC);
    EXPECT_EQ(f.LastError(), 112u);
    EXPECT_EQ(static_cast<uint32_t>(f.LastHResult()), 0x80070070u);
}

// A file size limit ends a write mid-way with EFBIG, as a quota would.
TEST(File, FileSizeLimitIsErrorFileTooLarge) {
    sk::test::TempDir dir("file");
    const std::wstring p = W(dir / "limited.bin");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit lim{1000, 1000};
        ::setrlimit(RLIMIT_FSIZE, &lim);
        File f;
        if (!f.Open(p, File::Mode::CreateAlways))
            ::_exit(10);
        std::string block(4096, 'x');
        const bool wrote = f.Write(block.data(), block.size());
        ::_exit(!wrote && f.LastErrno() == EFBIG && f.LastError() == 223 ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(File, AtomicReplaceLeavesNoTemporaryAndKeepsTargetOnFailure) {
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
}

TEST(File, PipeIsRefusedInsteadOfBlocking) {
    sk::test::TempDir dir("file");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::string out;
    int err = 0;
    EXPECT_FALSE(sk::ReadWholeFile(W(dir / "fifo"), &out, 100, &err));
    EXPECT_EQ(err, EINVAL);
}

} // namespace

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/HResult.h"

namespace {

TEST(HResult, FromWin32KeepsZeroAndNegativesAndFoldsTheRest) {
    const struct { int64_t in; uint32_t out; } cases[] = {
        {0, 0},
        {2, 0x80070002u},
        {112, 0x80070070u},
        {1223, 0x800704C7u},
        {0x12345, 0x80072345u}, // only the low 16 bits survive
        {-5, static_cast<uint32_t>(-5)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(static_cast<uint32_t>(sk::HResultFromWin32(c.in)), c.out) << c.in;
    EXPECT_EQ(sk::E_INVALIDARG, sk::HResultFromWin32(sk::ERROR_INVALID_PARAMETER));
    EXPECT_EQ(sk::E_CANCELLED, sk::HResultFromWin32(sk::ERROR_CANCELLED));
    EXPECT_EQ(sk::Win32FromHResult(sk::HResultFromBits(0x80070070u)), 112u);
    EXPECT_EQ(sk::Win32FromHResult(sk::E_FAIL), 0u);
    EXPECT_TRUE(sk::Failed(sk::E_CANCELLED));
    EXPECT_TRUE(sk::Succeeded(sk::S_FALSE));
}

TEST(HResult, ErrnoMapsToWindowsNumbersWithTexts) {
    const struct { int err; uint32_t win32; const wchar_t* text; } cases[] = {
        {0, 0, L"The operation completed successfully."},
        {ENOENT, 2, L"The system cannot find the file specified."},
        {ENOTDIR, 3, L"The system cannot find the path specified."},
        {EACCES, 5, L"Access is denied."},
        {EEXIST, 80, L"The file exists."},
        {ENOSPC, 112, L"There is not enough space on the disk."},
        {EDQUOT, 112, L"There is not enough space on the disk."},
        {EFBIG, 223, L"The file size exceeds the limit allowed and cannot be saved."},
        {EPROTO, 31, L"A device attached to the system is not functioning."}, // unmapped
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        EXPECT_EQ(sk::Win32FromErrno(c.err), c.win32);
        EXPECT_EQ(sk::SystemErrorText(c.win32), c.text);
        if (c.win32 != 0) {
            EXPECT_EQ(sk::SystemErrorText(static_cast<uint32_t>(sk::HResultFromErrno(c.err))), c.text);
        }
    }
    EXPECT_EQ(sk::SystemErrorText(0x8007FFFEu), L"") << "no text: the caller writes its own";
    EXPECT_EQ(sk::ErrnoText(ENOENT), L"No such file or directory");
}

} // namespace

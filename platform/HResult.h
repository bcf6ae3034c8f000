#pragma once
// HRESULT-style result codes and Windows-style system error numbers. The
// library reports failures to its host as 32-bit codes of this shape: a plain
// 0 for success, 0x8007xxxx for an operating-system error xxxx ("facility
// Windows"), and a handful of fixed codes. On this platform OS errors are
// errno values; they are translated to the Windows numbering the host knows.

#include <cstdint>
#include <string>

#include "platform/SkrivoExport.h"

namespace sk {

using HResult = int32_t;

// Windows-style system error numbers (what the host calls "Win32 errors").
inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t ERROR_INVALID_DATA = 13;
inline constexpr uint32_t ERROR_OUTOFMEMORY = 14;
inline constexpr uint32_t ERROR_NOT_SAME_DEVICE = 17;
inline constexpr uint32_t ERROR_WRITE_PROTECT = 19;
inline constexpr uint32_t ERROR_NOT_READY = 21;
inline constexpr uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr uint32_t ERROR_LOCK_VIOLATION = 33;
inline constexpr uint32_t ERROR_HANDLE_EOF = 38;
inline constexpr uint32_t ERROR_HANDLE_DISK_FULL = 39;
inline constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr uint32_t ERROR_CANNOT_MAKE = 82;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_BROKEN_PIPE = 109;
inline constexpr uint32_t ERROR_DISK_FULL = 112;
inline constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr uint32_t ERROR_INVALID_NAME = 123;
inline constexpr uint32_t ERROR_NEGATIVE_SEEK = 131;
inline constexpr uint32_t ERROR_SEEK_ON_DEVICE = 132;
inline constexpr uint32_t ERROR_DIR_NOT_EMPTY = 145;
inline constexpr uint32_t ERROR_BUSY = 170;
inline constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr uint32_t ERROR_FILE_TOO_LARGE = 223;
inline constexpr uint32_t ERROR_MORE_DATA = 234;
inline constexpr uint32_t ERROR_NO_MORE_ITEMS = 259;
inline constexpr uint32_t ERROR_DIRECTORY = 267;
inline constexpr uint32_t ERROR_IO_DEVICE = 1117;
inline constexpr uint32_t ERROR_CANCELLED = 1223;
inline constexpr uint32_t ERROR_TIMEOUT = 1460;
inline constexpr uint32_t ERROR_CANT_RESOLVE_FILENAME = 1921;

// HRESULT_FROM_WIN32: codes of 0 or less stay as they are; anything else keeps
// its low 16 bits under facility Windows with the failure bit.
constexpr HResult HResultFromWin32(int64_t code) {
    return code <= 0 ? static_cast<HResult>(code)
                     : static_cast<HResult>(0x80070000u | (static_cast<uint32_t>(code) & 0xFFFFu));
}
constexpr HResult HResultFromBits(uint32_t bits) { return static_cast<HResult>(bits); }

inline constexpr HResult S_OK = 0;
inline constexpr HResult S_FALSE = 1;
inline constexpr HResult E_FAIL = HResultFromBits(0x80004005u);
inline constexpr HResult E_NOTIMPL = HResultFromBits(0x80004001u);
inline constexpr HResult E_POINTER = HResultFromBits(0x80004003u);
inline constexpr HResult E_UNEXPECTED = HResultFromBits(0x8000FFFFu);
inline constexpr HResult E_INVALIDARG = HResultFromBits(0x80070057u);   // = HResultFromWin32(87)
inline constexpr HResult E_OUTOFMEMORY = HResultFromBits(0x8007000Eu);  // = HResultFromWin32(14)
inline constexpr HResult E_ACCESSDENIED = HResultFromBits(0x80070005u); // = HResultFromWin32(5)
inline constexpr HResult E_CANCELLED = HResultFromBits(0x800704C7u);    // = HResultFromWin32(1223)
inline constexpr HResult E_FILE_NOT_FOUND = HResultFromBits(0x80070002u);
inline constexpr HResult E_FILE_EXISTS = HResultFromBits(0x80070050u);
inline constexpr HResult E_CANNOT_MAKE = HResultFromBits(0x80070052u);
inline constexpr HResult E_DIRECTORY = HResultFromBits(0x8007010Bu);

constexpr bool Succeeded(HResult hr) { return hr >= 0; }
constexpr bool Failed(HResult hr) { return hr < 0; }
// The operating-system error inside an HRESULT of facility Windows, else 0.
constexpr uint32_t Win32FromHResult(HResult hr) {
    return (static_cast<uint32_t>(hr) & 0xFFFF0000u) == 0x80070000u ? static_cast<uint32_t>(hr) & 0xFFFFu : 0u;
}

// errno -> Windows-style error number. Common file errors map to their
// Windows twins (ENOENT 2, ENOTDIR 3, EACCES/EPERM 5, EEXIST 80, ENOSPC and
// EDQUOT 112, EFBIG 223, ...); 0 stays 0; anything unmapped becomes
// ERROR_GEN_FAILURE (31). The original errno is kept by the callers that need
// it (sk::File::LastErrno).
SKRIVO_API uint32_t Win32FromErrno(int err);
inline HResult HResultFromErrno(int err) { return HResultFromWin32(Win32FromErrno(err)); }

// The system's message text for a Windows-style error number or an HRESULT,
// without a trailing line break ("The system cannot find the file
// specified."); an empty string when the code has no text. English only.
SKRIVO_API std::wstring SystemErrorText(uint32_t code);
// strerror() for an errno, locale independent, never empty.
SKRIVO_API std::wstring ErrnoText(int err);

} // namespace sk

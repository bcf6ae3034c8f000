#pragma once
// A file handle in the manner of the Windows/MFC file objects: explicit open
// modes, 64-bit seek, set-length, and every failure remembered as the OS errno
// together with its Windows-style number and HRESULT (see HResult.h), so
// callers can report "0x80070070 There is not enough space on the disk."
//
// Write-through: the WriteThrough flag does NOT open with O_SYNC (one disk
// flush per write would make exports crawl). Instead the data is flushed with
// fdatasync() on every DataSync() call and once more in Close(); an error of
// that final flush is reported by Close(). Without the flag Close() does not
// sync.
//
// Public operations never throw. A File is used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/HResult.h"
#include "platform/SkrivoExport.h"

namespace sk {

class SKRIVO_API File {
public:
    enum class Mode {
        ReadOnly,     // open existing, read only
        OpenExisting, // open existing, read and write
        OpenAlways,   // read and write, create when missing, keep contents
        CreateAlways, // read and write, create or truncate to 0
        CreateNew,    // read and write, fail with ERROR_FILE_EXISTS (80) when present
    };
    enum Flags : unsigned { None = 0, WriteThrough = 1 };
    enum class Origin { Begin, Current, End };

    File() = default;
    ~File(); // closes (errors ignored)
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool Open(const std::wstring& path, Mode mode, unsigned flags = None);
    bool IsOpen() const { return m_fd >= 0; }
    // Closes; with WriteThrough syncs first. False when the sync or close
    // failed (the handle is closed all the same).
    bool Close();

    // Reads up to n bytes; *got receives the count (0 at the end of the file).
    bool Read(void* buffer, size_t n, size_t* got);
    // Reads exactly n bytes; a short file fails with ERROR_HANDLE_EOF (38).
    bool ReadExact(void* buffer, size_t n);
    // Writes all n bytes or fails (a full disk: ENOSPC -> 112).
    bool Write(const void* data, size_t n);
    bool Seek(int64_t offset, Origin origin, int64_t* newPosition = nullptr);
    // Current position, -1 on error.
    int64_t Position();
    // Size in bytes, -1 on error.
    int64_t Size();
    bool SetLength(int64_t length);
    bool Flush(); // nothing is buffered in user space: a no-op that checks the handle
    bool DataSync();

    // The last failure of this object (0 after success of the failing kind is
    // not reset: it stays until the next failure).
    int LastErrno() const { return m_errno; }
    // Windows-style number: as Win32FromErrno, except that a missing folder
    // on the way to the file is 3 (ERROR_PATH_NOT_FOUND) rather than 2.
    uint32_t LastError() const { return m_win32; }
    HResult LastHResult() const { return HResultFromWin32(m_win32); }
    const std::wstring& GetPath() const { return m_path; }

private:
    bool Fail(int err);
    int m_fd = -1;
    unsigned m_flags = None;
    int m_errno = 0;
    uint32_t m_win32 = 0;
    std::wstring m_path;
};

// Replaces the file at `path` with `size` bytes atomically: written to a
// temporary file beside it, synced, then renamed over the target. On failure
// the target is untouched and *err (if given) holds the errno.
SKRIVO_API bool WriteFileAtomically(const std::wstring& path, const void* data, size_t size, int* err = nullptr);
// Reads a whole file of at most maxBytes; larger files fail with EFBIG.
SKRIVO_API bool ReadWholeFile(const std::wstring& path, std::string* out, size_t maxBytes, int* err = nullptr);

} // namespace sk

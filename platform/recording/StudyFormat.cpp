#include "platform/recording/StudyFormat.h"

#include "platform/TextConv.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fcntl.h>
#include <unistd.h>

namespace sk::rec {

namespace {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
std::atomic<bool> g_checksums{false};
#else
std::atomic<bool> g_checksums{true};
#endif
} // namespace

bool CheckFileHeader(const uint8_t* h, size_t available, const FileHeaderKind& kind,
                     int32_t& code, std::wstring& why)
{
    code = kErrInvalidData;
    if (!h || available < kind.headerSize) {
        code = kErrHandleEof;
        why = kind.truncated;
    } else if (std::memcmp(h, kind.magic, 4) != 0) {
        why = kind.badMagic;
    } else if (GetU16(h + 4) != kFormatVersion) {
        why = kind.badVersion;
        if (kind.versionShown) why += L" " + std::to_wstring(GetU16(h + 4));
    } else if (GetU16(h + 6) != kind.headerSize) {
        why = kind.badSize;
    } else if (ChecksumsEnforced() && GetU32(h + kind.crcOffset) != Crc32(h, kind.crcOffset)) {
        why = kind.badChecksum;
    } else {
        code = 0;
        why.clear();
        return true;
    }
    return false;
}

bool ChecksumsEnforced()
{
    return g_checksums.load(std::memory_order_relaxed);
}

void SetChecksumsEnforced(bool enforced)
{
    g_checksums.store(enforced, std::memory_order_relaxed);
}

int32_t HResultFromErrno(int err)
{
    uint32_t code;
    switch (err) {
    case ENOENT: code = 2; break;       // file not found
    case ENOTDIR: code = 3; break;      // path not found
    case EMFILE: code = 4; break;       // too many open files
    case EACCES: case EPERM: code = 5; break;
    case ENOMEM: code = 8; break;
    case EROFS: code = 19; break;       // write protect
    case EIO: code = 29; break;         // write fault
    case ENOSPC: code = 112; break;     // disk full
    case EEXIST: code = 80; break;
    case ENAMETOOLONG: code = 206; break;
    case EISDIR: code = 5; break;
    default: code = 31; break;          // general failure
    }
    return static_cast<int32_t>(0x80070000u | code);
}

std::string NarrowPath(const std::wstring& path) { return sk::ToUtf8Lossy(path); }

bool AtomicWriteFile(const std::wstring& path, const void* data, size_t len, std::wstring* error)
{
    static std::atomic<unsigned> counter{0};
    const std::string target = NarrowPath(path);
    const std::string tmp = target + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    auto fail = [&](const wchar_t* what, int err) {
        if (error) {
            std::string reason = std::strerror(err);
            *error = path + L": " + what + L" (" + std::wstring(reason.begin(), reason.end()) + L")";
        }
        ::unlink(tmp.c_str());
        return false;
    };
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return fail(L"cannot create file", errno);
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t left = len;
    while (left > 0) {
        ssize_t w = ::write(fd, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            return fail(L"cannot write file", e);
        }
        p += w;
        left -= static_cast<size_t>(w);
    }
    if (::close(fd) != 0) return fail(L"cannot write file", errno);
    if (::rename(tmp.c_str(), target.c_str()) != 0) return fail(L"cannot replace file", errno);
    return true;
}

} // namespace sk::rec

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

std::wstring Utf16LeToWide(const uint8_t* p, size_t units, bool stopAtZero)
{
    std::wstring out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        uint16_t u = GetU16(p + 2 * i);
        if (u == 0 && stopAtZero) break;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            uint16_t lo = GetU16(p + 2 * (i + 1));
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00)));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        out.push_back(static_cast<wchar_t>(u));
    }
    return out;
}

void WideToUtf16Le(const std::wstring& text, std::string& out)
{
    auto put = [&out](uint32_t u) {
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>((u >> 8) & 0xFF));
    };
    for (wchar_t wc : text) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c >= 0x10000) {
            c -= 0x10000;
            put(0xD800 + (c >> 10));
            put(0xDC00 + (c & 0x3FF));
        } else {
            put(c);
        }
    }
}

size_t Utf16Units(const std::wstring& text)
{
    size_t n = 0;
    for (wchar_t wc : text) {
        uint32_t c = static_cast<uint32_t>(wc);
        n += (c >= 0x10000 && c <= 0x10FFFF) ? 2 : 1;
    }
    return n;
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

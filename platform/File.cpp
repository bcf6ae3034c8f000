#include "platform/File.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Path.h"

namespace sk {
namespace {

// Syncs the folder holding `path` so a rename into it survives a crash.
void SyncFolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool WriteAll(int fd, const void* data, size_t n, int* err) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            *err = errno;
            return false;
        }
        if (w == 0) {
            *err = ENOSPC;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace

File::~File() {
    if (m_fd >= 0)
        ::close(m_fd);
}

File::File(File&& other) noexcept
    : m_fd(other.m_fd), m_flags(other.m_flags), m_errno(other.m_errno), m_win32(other.m_win32),
      m_path(std::move(other.m_path)) {
    other.m_fd = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.m_fd;
        m_flags = other.m_flags;
        m_errno = other.m_errno;
        m_win32 = other.m_win32;
        m_path = std::move(other.m_path);
        other.m_fd = -1;
    }
    return *this;
}

bool File::Fail(int err) {
    m_errno = err != 0 ? err : EIO;
    m_win32 = Win32FromErrno(m_errno);
    return false;
}

bool File::Open(const std::wstring& path, Mode mode, unsigned flags) {
    if (m_fd >= 0)
        Close();
    m_path = path;
    m_flags = flags;
    if (path.empty())
        return Fail(ENOENT);
    int oflags = O_CLOEXEC;
    switch (mode) {
    case Mode::ReadOnly: oflags |= O_RDONLY; break;
    case Mode::OpenExisting: oflags |= O_RDWR; break;
    case Mode::OpenAlways: oflags |= O_RDWR | O_CREAT; break;
    case Mode::CreateAlways: oflags |= O_RDWR | O_CREAT | O_TRUNC; break;
    case Mode::CreateNew: oflags |= O_RDWR | O_CREAT | O_EXCL; break;
    }
    const std::string native = path::ToNative(path);
    int fd;
    do {
        fd = ::open(native.c_str(), oflags | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int e = errno;
        Fail(e);
        const std::wstring folder = path::FolderPart(path);
        if (e == ENOENT && !folder.empty() && !path::IsDirectory(folder))
            m_win32 = ERROR_PATH_NOT_FOUND;
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        return Fail(e);
    }
    // Folders, pipes and sockets are not files (a FIFO would block every
    // read); character devices such as /dev/null are accepted.
    if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
        ::close(fd);
        return Fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    }
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0)
        ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    m_fd = fd;
    return true;
}

bool File::Close() {
    if (m_fd < 0)
        return true;
    bool ok = true;
    if ((m_flags & WriteThrough) && ::fdatasync(m_fd) != 0)
        ok = Fail(errno);
    if (::close(m_fd) != 0 && errno != EINTR && ok)
        ok = Fail(errno);
    m_fd = -1;
    return ok;
}

bool File::Read(void* buffer, size_t n, size_t* got) {
    if (got)
        *got = 0;
    if (m_fd < 0)
        return Fail(EBADF);
    ssize_t r;
    do {
        r = ::read(m_fd, buffer, n);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        return Fail(errno);
    if (got)
        *got = static_cast<size_t>(r);
    return true;
}

bool File::ReadExact(void* buffer, size_t n) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (n > 0) {
        size_t got = 0;
        if (!Read(p, n, &got))
            return false;
        if (got == 0)
            return Fail(ENODATA); // ERROR_HANDLE_EOF
        p += got;
        n -= got;
    }
    return true;
}

bool File::Write(const void* data, size_t n) {
    if (m_fd < 0)
        return Fail(EBADF);
    int err = 0;
    return WriteAll(m_fd, data, n, &err) || Fail(err);
}

bool File::Seek(int64_t offset, Origin origin, int64_t* newPosition) {
    if (m_fd < 0)
        return Fail(EBADF);
    const int whence = origin == Origin::Begin ? SEEK_SET : origin == Origin::Current ? SEEK_CUR : SEEK_END;
    const off_t r = ::lseek(m_fd, static_cast<off_t>(offset), whence);
    if (r < 0)
        return Fail(errno);
    if (newPosition)
        *newPosition = static_cast<int64_t>(r);
    return true;
}

int64_t File::Position() {
    int64_t pos = -1;
    return Seek(0, Origin::Current, &pos) ? pos : -1;
}

int64_t File::Size() {
    if (m_fd < 0) {
        Fail(EBADF);
        return -1;
    }
    struct stat st {};
    if (::fstat(m_fd, &st) != 0) {
        Fail(errno);
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

bool File::SetLength(int64_t length) {
    if (m_fd < 0)
        return Fail(EBADF);
    if (length < 0)
        return Fail(EINVAL);
    int r;
    do {
        r = ::ftruncate(m_fd, static_cast<off_t>(length));
    } while (r != 0 && errno == EINTR);
    return r == 0 || Fail(errno);
}

bool File::Flush() { return m_fd >= 0 || Fail(EBADF); }

bool File::DataSync() {
    if (m_fd < 0)
        return Fail(EBADF);
    return ::fdatasync(m_fd) == 0 || Fail(errno);
}

bool WriteFileAtomically(const std::wstring& path, const void* data, size_t size, int* err) {
    static std::atomic<unsigned> counter{0};
    int dummy = 0;
    int& e = err ? *err : dummy;
    e = 0;
    const std::string target = path::ToNative(path);
    const std::string temp = target + ".tmp-" + std::to_string(::getpid()) + "-" +
                             std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        e = errno;
        return false;
    }
    bool ok = WriteAll(fd, data, size, &e);
    if (ok && ::fsync(fd) != 0) {
        e = errno;
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        e = errno;
        ok = false;
    }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        e = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    SyncFolderOf(target);
    return true;
}

bool ReadWholeFile(const std::wstring& path, std::string* out, size_t maxBytes, int* err) {
    out->clear();
    int dummy = 0;
    int& e = err ? *err : dummy;
    e = 0;
    File f;
    if (!f.Open(path, File::Mode::ReadOnly)) {
        e = f.LastErrno();
        return false;
    }
    const int64_t size = f.Size();
    if (size < 0) {
        e = f.LastErrno();
        return false;
    }
    if (static_cast<uint64_t>(size) > maxBytes) {
        e = EFBIG;
        return false;
    }
    std::string data(static_cast<size_t>(size), '\0');
    size_t total = 0;
    // The file may change while read: stop at its end or at the size seen.
    while (total < data.size()) {
        size_t got = 0;
        if (!f.Read(data.data() + total, data.size() - total, &got)) {
            e = f.LastErrno();
            return false;
        }
        if (got == 0)
            break;
        total += got;
    }
    data.resize(total);
    *out = std::move(data);
    return true;
}

} // namespace sk

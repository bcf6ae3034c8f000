#include "platform/recording/EegFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/recording/StudyFormat.h"

using namespace sk::rec;

CEegFile::CEegFile() = default;

CEegFile::~CEegFile()
{
    if (m_fd >= 0) ::close(m_fd);
}

int CEegFile::Open(const wchar_t* path, uint32_t /*flags*/, CEegFileException* pError, void* /*fileException*/)
{
    Close();
    CEegFileException local;
    CEegFileException& err = pError ? *pError : local;
    err.Clear();
    m_path = path ? path : L"";
    if (m_path.empty()) {
        err.Set(kErrInvalidArg, L"(no file name): cannot open an empty path");
        return 0;
    }
    const std::string narrow = NarrowPath(m_path);
    int fd = ::open(narrow.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        std::string reason = std::strerror(e);
        err.Set(HResultFromErrno(e), Describe(L"cannot open (" + std::wstring(reason.begin(), reason.end()) + L")"));
        return 0;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        err.Set(kErrAccessDenied, Describe(L"not a regular file"));
        return 0;
    }
    m_fd = fd;
    m_length = static_cast<int64_t>(st.st_size);
    m_position = 0;
    ++m_seekGeneration;
    if (!OnOpen(err)) {
        if (!err.IsSet()) err.Set(kErrInvalidData, Describe(L"invalid file"));
        Close();
        return 0;
    }
    // Subclasses may have read their header; start readers at the beginning.
    if (m_position != 0) Seek(0, 0);
    return 1;
}

int CEegFile::Open(const std::wstring& path, uint32_t flags, CEegFileException* pError)
{
    return Open(path.c_str(), flags, pError, nullptr);
}

void CEegFile::Close()
{
    if (m_fd >= 0) {
        OnClose();
        ::close(m_fd);
    }
    m_fd = -1;
    m_length = 0;
    m_position = 0;
    ++m_seekGeneration;
}

int64_t CEegFile::Seek(int64_t offset, int from)
{
    if (m_fd < 0) return -1;
    int64_t base = from == 0 ? 0 : from == 1 ? m_position : from == 2 ? m_length : -1;
    if (base < 0) return -1;
    if ((offset > 0 && base > INT64_MAX - offset)) return -1;
    int64_t target = base + offset;
    if (target < 0) return -1;
    m_position = target;
    ++m_seekGeneration;
    return m_position;
}

uint32_t CEegFile::Read(void* buffer, uint32_t count)
{
    if (m_fd < 0 || count == 0) return 0;
    uint8_t* p = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        ++m_readCalls;
        ssize_t r = ::pread(m_fd, p + done, count - done, static_cast<off_t>(m_position));
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (r == 0) break;
        done += static_cast<uint32_t>(r);
        m_position += r;
    }
    return done;
}

bool CEegFile::ReadExact(void* buffer, uint32_t count)
{
    return Read(buffer, count) == count;
}

bool CEegFile::OnOpen(CEegFileException&)
{
    return true;
}

std::wstring CEegFile::Describe(const std::wstring& reason) const
{
    return m_path + L": " + reason;
}

#include "writer/EdfOutputFile.h"

#include "writer/OutputObserver.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sk {

EdfOutputFile::EdfOutputFile() = default;

EdfOutputFile::~EdfOutputFile() { Abandon(); }

bool EdfOutputFile::Open(const std::string& path) {
    Abandon();
    m_error = 0;
    m_position = 0;
    m_used = 0;
    m_writebackFrom = 0;
    m_fileOffset = 0;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        m_error = errno;
        return false;
    }
    // Held until the file is closed or the process ends, so that a later
    // export tells this file from the leftover of one that was killed.
    ::flock(fd, LOCK_EX | LOCK_NB);
    m_fd = fd;
    if (!m_buffer)
        m_buffer.reset(new (std::nothrow) uint8_t[kBufferSize]);
    return true;
}

bool EdfOutputFile::WriteAll(const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(m_fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_error = errno;
            return false;
        }
        if (n == 0) {
            m_error = ENOSPC;
            return false;
        }
        if (m_observer)
            m_observer->Wrote(m_fileOffset, data, static_cast<size_t>(n));
        m_fileOffset += n;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool EdfOutputFile::Flush() {
    if (m_used == 0)
        return true;
    size_t n = m_used;
    m_used = 0;
    if (!WriteAll(m_buffer.get(), n))
        return false;
    StartWriteback();
    return true;
}

void EdfOutputFile::StartWriteback() {
    // m_position is the file offset once nothing is buffered. Only a hint:
    // a failure here shows in the sync at Close.
    const int64_t end = m_position - static_cast<int64_t>(m_used);
    if (end - m_writebackFrom < kWritebackBytes || end < m_writebackFrom)
        return;
    ::sync_file_range(m_fd, static_cast<off_t>(m_writebackFrom), static_cast<off_t>(end - m_writebackFrom),
                      SYNC_FILE_RANGE_WRITE);
    m_writebackFrom = end;
}

bool EdfOutputFile::Write(const void* data, size_t size) {
    if (m_fd < 0) {
        if (m_error == 0)
            m_error = EBADF;
        return false;
    }
    if (m_error != 0)
        return false; // a failed file takes no more data
    const auto* p = static_cast<const uint8_t*>(data);
    if (!m_buffer || size >= kBufferSize) {
        if (!Flush() || !WriteAll(p, size))
            return false;
        m_position += static_cast<int64_t>(size);
        StartWriteback();
        return true;
    } else {
        if (m_used + size > kBufferSize && !Flush())
            return false;
        std::memcpy(m_buffer.get() + m_used, p, size);
        m_used += size;
    }
    m_position += static_cast<int64_t>(size);
    return true;
}

uint8_t* EdfOutputFile::Reserve(size_t size) {
    if (m_fd < 0 || m_error != 0 || !m_buffer || size >= kBufferSize)
        return nullptr;
    if (m_used + size > kBufferSize && !Flush())
        return nullptr;
    return m_buffer.get() + m_used;
}

bool EdfOutputFile::Seek(int64_t position) {
    if (m_fd < 0 || m_error != 0)
        return false;
    if (!Flush())
        return false;
    if (::lseek(m_fd, static_cast<off_t>(position), SEEK_SET) < 0) {
        m_error = errno;
        return false;
    }
    m_fileOffset = position;
    m_position = position;
    m_writebackFrom = std::min(m_writebackFrom, position);
    return true;
}

bool EdfOutputFile::SetLength(int64_t length) {
    if (m_fd < 0 || m_error != 0)
        return false;
    if (!Flush())
        return false;
    if (::ftruncate(m_fd, static_cast<off_t>(length)) != 0) {
        m_error = errno;
        return false;
    }
    if (m_observer)
        m_observer->Resized(length);
    return true;
}

bool EdfOutputFile::Close() {
    if (m_fd < 0)
        return m_error == 0;
    bool ok = m_error == 0 && Flush();
    // Synced also after a failure: what was salvaged should reach the disk.
    if (::fdatasync(m_fd) != 0 && ok) {
        m_error = errno;
        ok = false;
    }
    if (::close(m_fd) != 0 && ok) {
        m_error = errno;
        ok = false;
    }
    m_fd = -1;
    m_used = 0;
    return ok;
}

int64_t EdfOutputFile::TruncateToWholeRecords(int64_t headerBytes, int64_t recordBytes) {
    if (m_fd < 0 || recordBytes <= 0)
        return -1;
    m_used = 0; // whatever is still buffered cannot be written
    struct stat st {};
    if (::fstat(m_fd, &st) != 0)
        return -1;
    int64_t size = static_cast<int64_t>(st.st_size);
    if (size < headerBytes)
        return -1;
    int64_t records = (size - headerBytes) / recordBytes;
    if (m_observer)
        m_observer->Resized(headerBytes + records * recordBytes); // before the cut, which may fail half-way
    if (::ftruncate(m_fd, static_cast<off_t>(headerBytes + records * recordBytes)) != 0)
        return -1;
    return records;
}

bool EdfOutputFile::PatchAt(int64_t offset, const void* data, size_t size) {
    if (m_fd < 0)
        return false;
    if (m_error == 0 && !Flush())
        return false;
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(m_fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        if (m_observer)
            m_observer->Wrote(offset, p, static_cast<size_t>(n));
        p += n;
        offset += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void EdfOutputFile::Abandon() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_used = 0;
}

} // namespace sk

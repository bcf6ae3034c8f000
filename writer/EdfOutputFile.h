#pragma once
// The exporter's output file. Records are appended through a large write
// buffer, so a file sees few system calls however small its records are.
// Durability: every file ends with a data sync (fdatasync) in Close, before
// the descriptor is closed, so a file the exporter reports as written is on
// the disk without a flush per record. Errors are kept as the operating
// system's error number (ENOSPC, EFBIG for a file-size limit, ...).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace sk {

class OutputObserver;

class EdfOutputFile {
public:
    EdfOutputFile();
    ~EdfOutputFile(); // closes without sync when still open
    EdfOutputFile(const EdfOutputFile&) = delete;
    EdfOutputFile& operator=(const EdfOutputFile&) = delete;

    // Creates the file anew (an existing one is truncated).
    bool Open(const std::string& path);
    bool IsOpen() const { return m_fd >= 0; }
    bool Write(const void* data, size_t size);
    bool Seek(int64_t position);
    bool SetLength(int64_t length);
    int64_t Position() const { return m_position; }
    // Flushes the buffer, syncs the data to disk and closes. False (and the
    // descriptor closed all the same) when any step failed.
    bool Close();
    // Closes without flushing the buffer or syncing (used after a failure).
    void Abandon();
    int LastError() const { return m_error; }

    // After a failed write: cuts the file to the header plus the whole
    // records that reached the disk and returns their number (-1 when even
    // that fails). The error stays set; patching the count is the caller's
    // (PatchAt works on a failed file, since it does not grow it).
    int64_t TruncateToWholeRecords(int64_t headerBytes, int64_t recordBytes);
    // Writes bytes at an absolute offset without moving the position; works
    // after a failed write (the file does not grow). False on failure.
    bool PatchAt(int64_t offset, const void* data, size_t size);

    // Buffer capacity; records are assembled in it (or copied into it) and
    // written in blocks.
    static constexpr size_t kBufferSize = 1u << 20;

    // Room for size bytes after what is buffered, so that a record is
    // assembled where it will be written from; Commit(size) then appends
    // them. Null when the buffer cannot take them (write those through
    // Write) or the file has failed, also when making room failed: Write
    // then reports that failure.
    uint8_t* Reserve(size_t size);
    void Commit(size_t size) {
        m_used += size;
        m_position += static_cast<int64_t>(size);
    }

    // Writes out the buffer; false (error kept) when the write failed.
    bool Flush();

    // Told of every byte run that reaches the file and of every change of
    // its length (not owned; null for none).
    void SetObserver(OutputObserver* observer) { m_observer = observer; }

private:
    bool WriteAll(const uint8_t* data, size_t size);
    // Starts the disk's writing of what was written since the last start,
    // every kWritebackBytes, so the sync at Close finds little left to do.
    void StartWriteback();
    static constexpr int64_t kWritebackBytes = 8 << 20;

    int m_fd = -1;
    int m_error = 0;
    int64_t m_position = 0; // logical position (buffer included)
    std::unique_ptr<uint8_t[]> m_buffer;
    size_t m_used = 0;
    int64_t m_writebackFrom = 0; // file offset from which writing was not started yet
    int64_t m_fileOffset = 0;    // the descriptor's offset
    OutputObserver* m_observer = nullptr;
};

} // namespace sk

#pragma once
// Base of the recording-access file classes. A CEegFile is a read-only file
// over which the table-of-contents, segment and raw data classes lay their
// format. Open never throws: a failure returns 0 and, when an exception
// object is given, fills it with an HRESULT-style code and a readable text
// ("<file>: <reason>").

#include <cstdint>
#include <memory>
#include <string>

#include "platform/SkrivoExport.h"

// Error carrier of the recording-access library.
class SKRIVO_API CEegFileException {
public:
    CEegFileException() = default;
    CEegFileException(int32_t code, std::wstring text) : m_code(code), m_text(std::move(text)) {}

    int32_t GetErrorCode() const { return m_code; }
    const std::wstring& GetErrorText() const { return m_text; }
    bool IsSet() const { return m_code != 0; }
    void Set(int32_t code, const std::wstring& text) { m_code = code; m_text = text; }
    void Clear() { m_code = 0; m_text.clear(); }

private:
    int32_t m_code = 0;
    std::wstring m_text;
};

// Base of the typed file headers (CRawDataHeader, ...). GetHeader of a file
// returns one of these; callers check the concrete type with dynamic_cast.
class SKRIVO_API CEegFileHeader {
public:
    virtual ~CEegFileHeader() = default;
};

class SKRIVO_API CEegFile {
public:
    // Open flags. Only reading is supported; shareDenyNone is accepted for
    // compatibility with callers that pass it.
    static constexpr uint32_t modeRead = 0x0000;
    static constexpr uint32_t shareDenyNone = 0x0040;

    CEegFile();
    virtual ~CEegFile();
    CEegFile(const CEegFile&) = delete;
    CEegFile& operator=(const CEegFile&) = delete;

    // Opens the file and validates its header (subclasses). Non-zero on
    // success. On failure the file is closed and pError (if given) holds the
    // error code and text. fileException is accepted for call compatibility
    // and ignored.
    int Open(const wchar_t* path, uint32_t flags, CEegFileException* pError = nullptr,
             void* fileException = nullptr);
    int Open(const std::wstring& path, uint32_t flags, CEegFileException* pError = nullptr);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }

    // Positions the file: from 0 = start, 1 = current, 2 = end. Returns the
    // new position, or -1 when the file is not open or the target is negative.
    int64_t Seek(int64_t offset, int from);
    // Reads up to count bytes at the current position; returns the bytes read
    // (0 at end of file or on error).
    uint32_t Read(void* buffer, uint32_t count);
    // Reads exactly count bytes; false (position undefined) when fewer exist.
    bool ReadExact(void* buffer, uint32_t count);

    int64_t GetLength() const { return m_length; }
    int64_t GetPosition() const { return m_position; }
    const std::wstring& GetFilePath() const { return m_path; }

    // The file's typed header, or null for files without one (or not open).
    virtual const CEegFileHeader* GetHeader() const { return nullptr; }

    // Grows by one on every Seek; read-ahead buffers of a data producer use it
    // to notice that the caller repositioned the file.
    uint64_t GetSeekGeneration() const { return m_seekGeneration; }
    // Number of Read calls that reached the operating system (for tests of
    // the read-ahead).
    uint64_t GetReadCalls() const { return m_readCalls; }

protected:
    // Called by Open after the file was opened; validates the format.
    // Returning false fails Open with the error set in err.
    virtual bool OnOpen(CEegFileException& err);
    // Called by Close before the descriptor is released.
    virtual void OnClose() {}
    // "<path>: <reason>" for error texts.
    std::wstring Describe(const std::wstring& reason) const;

private:
    int m_fd = -1;
    int64_t m_length = 0;
    int64_t m_position = 0;
    uint64_t m_seekGeneration = 0;
    uint64_t m_readCalls = 0;
    std::wstring m_path;
};

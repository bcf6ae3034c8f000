#pragma once
// Logging and event-log stand-ins.
//
// CTaviLogManager / CTaviLoggerComponent play the maker's logging library:
// callers ask whether logging is on, get their component logger by name once,
// ask whether a level is on, and write a formatted message with its level,
// source file and line. COrlException writes an exception record (code, source
// file, line, text) to the "system event log". Use the macros at the bottom.
//
// Where output goes (read once, at the first use; CTaviLogManager::Reconfigure
// re-reads it):
//   SKRIVO_LOG_LEVELS    bit mask of levels that are on (decimal or 0x hex);
//                        default 8 (errors). 0 turns logging off.
//   SKRIVO_LOG_FILE      append log lines to this file (UTF-8); default: stderr.
//   SKRIVO_EVENTLOG_FILE append event-log records to this file; default stderr.
// Log line (UTC time): "2026-12-05T20:09:27.123Z [SKRIVO] L8 Skrivoer.cpp(123): text".
// Event line: "2026-12-05T20:09:27.123Z EVENT 0xC1010001 Skrivoer.cpp(714) cat 0: text".
//
// While an sk::LogCapture exists every level is on, every message and record
// is captured, and nothing goes to stderr (files still receive their lines).
// All of this is thread-safe.

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/SkrivoExport.h"

class SKRIVO_API CTaviLoggerComponent {
public:
    const std::wstring& GetName() const { return m_name; }
    bool IsLevelOn(unsigned level) const;
    // Formats (sk::FormatW rules: %s is a wide string) and writes.
    void Write(unsigned level, const char* file, int line, const wchar_t* format, ...);
    void WriteV(unsigned level, const char* file, int line, const wchar_t* format, va_list args);
    // Writes an already formatted text.
    void WriteText(unsigned level, const char* file, int line, const std::wstring& text);

    explicit CTaviLoggerComponent(std::wstring name) : m_name(std::move(name)) {}
    CTaviLoggerComponent(const CTaviLoggerComponent&) = delete;
    CTaviLoggerComponent& operator=(const CTaviLoggerComponent&) = delete;

private:
    std::wstring m_name;
};

class SKRIVO_API CTaviLogManager {
public:
    static bool IsLoggingOn();
    // The component logger for a name (never null; lives for the process).
    static CTaviLoggerComponent* GetComponent(const std::wstring& name);
    // The legacy trace (indented key-tree dumps): written at level 1 to the
    // log, component "TRACE".
    static void WriteLegacyTrace(const std::wstring& text);
    // Re-reads the environment variables above (tests).
    static void Reconfigure();
};

// An exception record for the event log. Report() writes it; construction
// alone writes nothing.
class SKRIVO_API COrlException {
public:
    static constexpr uint32_t kConsistencyCode = 0xC1010001u;
    COrlException(uint32_t code, const char* file, int line, const std::wstring& text = std::wstring(),
                  int category = 0);
    void Report() const;

    uint32_t GetCode() const { return m_code; }
    const std::wstring& GetText() const { return m_text; }

private:
    uint32_t m_code;
    const char* m_file;
    int m_line;
    std::wstring m_text;
    int m_category;
};

namespace sk {

struct LogMessage {
    std::wstring component;
    unsigned level = 0;
    std::wstring text;
    std::string file; // base name of the source file
    int line = 0;
};

struct EventLogRecord {
    uint32_t code = 0;
    std::wstring text;
    std::string file; // base name of the source file
    int line = 0;
    int category = 0;
};

// Records every log message and event-log record written while it exists,
// from any thread. Captures may nest; each sees everything in its lifetime.
class SKRIVO_API LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogMessage> Messages() const;
    std::vector<EventLogRecord> EventRecords() const;
    // Texts of the messages at a level (0: all levels), in order.
    std::vector<std::wstring> Texts(unsigned level = 0) const;
    // True when a message with exactly this text (and level, unless 0) was written.
    bool Contains(const std::wstring& text, unsigned level = 0) const;
    size_t EventCount(uint32_t code = COrlException::kConsistencyCode) const;
    void Clear();

    struct Impl;

private:
    Impl* m_impl;
};

// The component logger "SKRIVO", obtained once and kept.
SKRIVO_API CTaviLoggerComponent* SkrivoLogger();

} // namespace sk

// SKLOG(8, L"CSkrivoer::WriteString - Error writing to file: %d", err);
// Formats only when logging and the level are on.
#define SKLOG(level, ...)                                                        \
    do {                                                                         \
        if (CTaviLogManager::IsLoggingOn()) {                                    \
            CTaviLoggerComponent* sklog_c_ = ::sk::SkrivoLogger();               \
            if (sklog_c_->IsLevelOn(level))                                      \
                sklog_c_->Write((level), __FILE__, __LINE__, __VA_ARGS__);       \
        }                                                                        \
    } while (0)

// An exception record with code 0xC1010001 and this file and line.
#define SK_EVENTLOG_EXCEPTION(text) \
    COrlException(COrlException::kConsistencyCode, __FILE__, __LINE__, (text)).Report()
// The same with a category number (the record's last argument).
#define SK_EVENTLOG_EXCEPTION_CAT(text, category) \
    COrlException(COrlException::kConsistencyCode, __FILE__, __LINE__, (text), (category)).Report()

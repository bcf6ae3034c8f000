#include "platform/Log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>

#include "platform/Format.h"
#include "platform/TextConv.h"

namespace {

constexpr unsigned kDefaultLevels = 8;

struct LogState {
    std::mutex mutex; // guards everything below and the output streams
    bool configured = false;
    std::string logPath;
    std::string eventPath;
    FILE* logFile = nullptr;
    FILE* eventFile = nullptr;
    std::map<std::wstring, std::unique_ptr<CTaviLoggerComponent>> components;
    std::vector<sk::LogCapture::Impl*> captures;
};

// Never destroyed: loggers may be used from static destructors and from
// threads still running at exit.
LogState& State() {
    static LogState* s = new LogState;
    return *s;
}

std::atomic<unsigned> g_levels{kDefaultLevels};
std::atomic<int> g_captureCount{0};
std::atomic<bool> g_configured{false};

unsigned ParseLevels(const char* text) {
    if (!text || !*text)
        return kDefaultLevels;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 0);
    if (end == text || *end != '\0')
        return kDefaultLevels;
    return static_cast<unsigned>(v);
}

void ConfigureLocked(LogState& s) {
    if (s.logFile)
        std::fclose(s.logFile);
    if (s.eventFile)
        std::fclose(s.eventFile);
    s.logFile = s.eventFile = nullptr;
    const char* lf = std::getenv("SKRIVO_LOG_FILE");
    const char* ef = std::getenv("SKRIVO_EVENTLOG_FILE");
    s.logPath = lf ? lf : "";
    s.eventPath = ef ? ef : "";
    if (!s.logPath.empty())
        s.logFile = std::fopen(s.logPath.c_str(), "ae");
    if (!s.eventPath.empty())
        s.eventFile = (s.eventPath == s.logPath && s.logFile) ? nullptr : std::fopen(s.eventPath.c_str(), "ae");
    g_levels.store(ParseLevels(std::getenv("SKRIVO_LOG_LEVELS")), std::memory_order_relaxed);
    s.configured = true;
    g_configured.store(true, std::memory_order_release);
}

void EnsureConfigured() {
    if (g_configured.load(std::memory_order_acquire))
        return;
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.configured)
        ConfigureLocked(s);
}

std::string BaseName(const char* file) {
    if (!file)
        return std::string();
    const char* b = file;
    for (const char* p = file; *p; ++p)
        if (*p == '/' || *p == '\\')
            b = p + 1;
    return b;
}

std::string TimeStamp() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    return sk::FormatA("%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                       tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
}

void EmitLine(FILE* f, const std::string& line) {
    std::fputs(line.c_str(), f);
    std::fputc('\n', f);
    std::fflush(f);
}

} // namespace

struct sk::LogCapture::Impl {
    mutable std::mutex mutex;
    std::vector<LogMessage> messages;
    std::vector<EventLogRecord> records;
};

// ---------------------------------------------------------------------------

bool CTaviLoggerComponent::IsLevelOn(unsigned level) const {
    EnsureConfigured();
    return g_captureCount.load(std::memory_order_acquire) > 0 ||
           (g_levels.load(std::memory_order_relaxed) & level) != 0;
}

void CTaviLoggerComponent::Write(unsigned level, const char* file, int line, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    WriteV(level, file, line, format, args);
    va_end(args);
}

void CTaviLoggerComponent::WriteV(unsigned level, const char* file, int line, const wchar_t* format,
                                  va_list args) {
    WriteText(level, file, line, sk::FormatWV(format, args));
}

void CTaviLoggerComponent::WriteText(unsigned level, const char* file, int line, const std::wstring& text) {
    if (!IsLevelOn(level))
        return;
    sk::LogMessage m;
    m.component = m_name;
    m.level = level;
    m.text = text;
    m.file = BaseName(file);
    m.line = line;
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto* c : s.captures) {
        std::lock_guard<std::mutex> cl(c->mutex);
        c->messages.push_back(m);
    }
    const bool levelOn = (g_levels.load(std::memory_order_relaxed) & level) != 0;
    if (!levelOn)
        return;
    FILE* out = s.logFile ? s.logFile : (s.captures.empty() ? stderr : nullptr);
    if (!out)
        return;
    EmitLine(out, sk::FormatA("%s [%s] L%u %s(%d): %s", TimeStamp().c_str(), sk::ToUtf8Lossy(m_name).c_str(),
                              level, m.file.c_str(), line, sk::ToUtf8Lossy(text).c_str()));
}

bool CTaviLogManager::IsLoggingOn() {
    EnsureConfigured();
    return g_captureCount.load(std::memory_order_acquire) > 0 || g_levels.load(std::memory_order_relaxed) != 0;
}

CTaviLoggerComponent* CTaviLogManager::GetComponent(const std::wstring& name) {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto& slot = s.components[name];
    if (!slot)
        slot = std::make_unique<CTaviLoggerComponent>(name);
    return slot.get();
}

void CTaviLogManager::WriteLegacyTrace(const std::wstring& text) {
    static CTaviLoggerComponent* trace = GetComponent(L"TRACE");
    trace->WriteText(1, "", 0, text);
}

void CTaviLogManager::Reconfigure() {
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    ConfigureLocked(s);
}

// ---------------------------------------------------------------------------

COrlException::COrlException(uint32_t code, const char* file, int line, const std::wstring& text, int category)
    : m_code(code), m_file(file), m_line(line), m_text(text), m_category(category) {}

void COrlException::Report() const {
    EnsureConfigured();
    sk::EventLogRecord r;
    r.code = m_code;
    r.text = m_text;
    r.file = BaseName(m_file);
    r.line = m_line;
    r.category = m_category;
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto* c : s.captures) {
        std::lock_guard<std::mutex> cl(c->mutex);
        c->records.push_back(r);
    }
    FILE* out = s.eventFile ? s.eventFile
                            : (s.eventPath == s.logPath && s.logFile) ? s.logFile
                            : (s.captures.empty() ? stderr : nullptr);
    if (!out)
        return;
    EmitLine(out, sk::FormatA("%s EVENT 0x%08X %s(%d) cat %d: %s", TimeStamp().c_str(), m_code, r.file.c_str(),
                              m_line, m_category, sk::ToUtf8Lossy(m_text).c_str()));
}

// ---------------------------------------------------------------------------

namespace sk {

LogCapture::LogCapture() : m_impl(new Impl) {
    EnsureConfigured();
    LogState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.captures.push_back(m_impl);
    g_captureCount.fetch_add(1, std::memory_order_acq_rel);
}

LogCapture::~LogCapture() {
    {
        LogState& s = State();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.captures.erase(std::remove(s.captures.begin(), s.captures.end(), m_impl), s.captures.end());
        g_captureCount.fetch_sub(1, std::memory_order_acq_rel);
    }
    delete m_impl;
}

std::vector<LogMessage> LogCapture::Messages() const {
    std::lock_guard<std::mutex> l(m_impl->mutex);
    return m_impl->messages;
}

std::vector<EventLogRecord> LogCapture::EventRecords() const {
    std::lock_guard<std::mutex> l(m_impl->mutex);
    return m_impl->records;
}

std::vector<std::wstring> LogCapture::Texts(unsigned level) const {
    std::lock_guard<std::mutex> l(m_impl->mutex);
    std::vector<std::wstring> r;
    for (const auto& m : m_impl->messages)
        if (level == 0 || m.level == level)
            r.push_back(m.text);
    return r;
}

bool LogCapture::Contains(const std::wstring& text, unsigned level) const {
    std::lock_guard<std::mutex> l(m_impl->mutex);
    return std::any_of(m_impl->messages.begin(), m_impl->messages.end(), [&](const LogMessage& m) {
        return m.text == text && (level == 0 || m.level == level);
    });
}

size_t LogCapture::EventCount(uint32_t code) const {
    std::lock_guard<std::mutex> l(m_impl->mutex);
    return static_cast<size_t>(std::count_if(m_impl->records.begin(), m_impl->records.end(),
                                             [&](const EventLogRecord& r) { return r.code == code; }));
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> l(m_impl->mutex);
    m_impl->messages.clear();
    m_impl->records.clear();
}

CTaviLoggerComponent* SkrivoLogger() {
    static CTaviLoggerComponent* c = CTaviLogManager::GetComponent(L"SKRIVO");
    return c;
}

} // namespace sk

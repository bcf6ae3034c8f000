#include "writer/ExportDetails.h"

#include <cstdlib>

#include "platform/Sync.h"

CExportDetails::CExportDetails(const std::wstring& studyId, const std::wstring& studyFolder,
                               const std::wstring& studyName, CSkrivoTemplate* tmpl)
    : m_studyId(studyId), m_studyFolder(studyFolder), m_studyName(studyName), m_template(tmpl) {}

CExportDetails::~CExportDetails() = default;

std::wstring CExportDetails::GetCurrentFile() const {
    return Locked([this] { return m_currentFile; });
}

void CExportDetails::SetCurrentFile(const std::wstring& name) {
    Locked([&] { m_currentFile = name; });
}

void CExportDetails::AddProblem(const sk::ExportProblem& problem) {
    Locked([&] { m_problems.push_back(problem); });
}

std::vector<sk::ExportProblem> CExportDetails::GetProblems() const {
    return Locked([this] { return m_problems; });
}

void CExportDetails::AddNotice(const std::wstring& text) {
    Locked([&] { m_notices.push_back(text); });
}

std::vector<std::wstring> CExportDetails::GetNotices() const {
    return Locked([this] { return m_notices; });
}

sk::ExportOutcome CExportDetails::GetOutcome() const {
    if (IsFailed())
        return sk::ExportOutcome::Failed;
    const bool problems = Locked([this] { return !m_problems.empty(); });
    // A cancelled export that salvaged a file reports it as a problem.
    if (problems && (IsDone() || IsCancelled()))
        return sk::ExportOutcome::Incomplete;
    return IsDone() ? sk::ExportOutcome::Complete : sk::ExportOutcome::Pending;
}

void CExportDetails::SetDone() {
    // Percent first: a reader that sees done also sees the final 100.
    m_percent.store(100.0f, std::memory_order_release);
    Interleave();
    m_done.store(true, std::memory_order_release);
}

float CExportDetails::GetProgress(bool* done) const {
    *done = m_done.load(std::memory_order_acquire);
    Interleave();
    return m_percent.load(std::memory_order_acquire);
}

void CExportDetails::Interleave() const {
    if (!m_between)
        return;
    const std::function<void()> call = std::move(m_between);
    m_between = nullptr;
    call();
}

void CExportDetails::SetError(int32_t code, const std::wstring& text) {
    m_errorCode = code;
    m_errorText = text;
    m_failed.store(true, std::memory_order_release);
    m_percent.store(100.0f, std::memory_order_release);
}

bool CExportDetails::GetError(int32_t& code, std::wstring& text) const {
    if (!m_failed.load(std::memory_order_acquire))
        return false;
    code = m_errorCode;
    text = m_errorText;
    return true;
}

namespace {

// Test hook: with SKRIVO_TEST_HOLD_EXPORT set, an export that has written its
// first record waits there until it is cancelled, so tests of cancellation
// (Ctrl-C, kill) find it running however fast the machine is.
bool HoldUntilCancelled() {
    static const bool hold = [] {
        const char* v = std::getenv("SKRIVO_TEST_HOLD_EXPORT");
        return v && *v;
    }();
    return hold;
}

} // namespace

bool CExportDetails::ReportProgress(float percent, bool* cancelled) {
    m_percent.store(percent, std::memory_order_release);
    if (!m_cancelled.load(std::memory_order_acquire)) {
        sk::Event* ev = m_cancelEvent.load(std::memory_order_acquire);
        const uint32_t wait = percent > 0 && HoldUntilCancelled() ? sk::kInfinite : 0;
        if (ev && ev->Wait(wait) == sk::WaitResult::Signalled)
            m_cancelled.store(true, std::memory_order_release);
    }
    bool c = m_cancelled.load(std::memory_order_acquire);
    if (cancelled)
        *cancelled = c;
    return c;
}

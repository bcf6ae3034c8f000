#include "ProgressView.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "Cli.h"
#include "platform/TextConv.h"

namespace sk::cli {

namespace {

// Redraws come with every monitor pass; a faster monitor must not flood the
// terminal.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

std::string Bar(float percent, int width) {
    const int filled = std::clamp(static_cast<int>(std::lround(percent / 100.0f * width)), 0, width);
    // Built in place: "[" + std::string(...) trips g++ 12's false -Wrestrict
    // in an optimised build.
    std::string bar(static_cast<size_t>(width) + 2, '.');
    bar.front() = '[';
    bar.back() = ']';
    std::fill_n(bar.begin() + 1, filled, '#');
    return bar;
}

std::string Percent(float p) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%3d%%", static_cast<int>(std::floor(std::clamp(p, 0.0f, 100.0f))));
    return buf;
}

// Cuts UTF-8 text to at most `columns` characters (one column each).
std::string Fit(const std::string& s, size_t columns) {
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) continue;
        if (chars++ == columns) return s.substr(0, i);
    }
    return s;
}

size_t Columns(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

std::string Duration(double seconds) {
    const long s = static_cast<long>(std::ceil(seconds));
    char buf[32];
    if (s >= 3600) std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

// The terminal's size now (it may have been resized since the last draw).
void TerminalSize(FILE* out, int* width, int* height) {
    winsize ws{};
    if (ioctl(fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        *width = ws.ws_col;
        *height = ws.ws_row;
        return;
    }
    const char* c = std::getenv("COLUMNS");
    const char* l = std::getenv("LINES");
    *width = c && std::atoi(c) > 0 ? std::atoi(c) : 80;
    *height = l && std::atoi(l) > 0 ? std::atoi(l) : 24;
}

} // namespace

ProgressView::ProgressView(Style style, std::vector<Study> studies, FILE* out)
    : m_style(style), m_out(out), m_start(std::chrono::steady_clock::now()) {
    for (const auto& s : studies) {
        m_order.push_back(s.id);
        m_rows[s.id].estimate = std::max<int64_t>(0, s.estimatedBytes);
    }
}

ProgressView::Style ProgressView::StyleFor(FILE* stream) {
    const char* term = std::getenv("TERM");
    const bool dumb = term && std::string(term) == "dumb";
    return isatty(fileno(stream)) && !dumb ? Style::Bars : Style::Lines;
}

std::string ProgressView::Label(const std::wstring& study, size_t width) const {
    // The study folder's name names a study well enough (lists name the
    // .EEG file in it, whose name is usually the patient's).
    std::wstring s = study;
    while (s.size() > 1 && (s.back() == L'/' || s.back() == L'\\')) s.pop_back();
    size_t slash = s.find_last_of(L"/\\");
    const std::wstring last = slash == std::wstring::npos ? s : s.substr(slash + 1);
    if (slash != std::wstring::npos && slash > 0 && last.size() > 4 &&
        sk::EqualsIgnoreCase(last.substr(last.size() - 4), L".EEG")) {
        s.resize(slash);
        slash = s.find_last_of(L"/\\");
    }
    std::string label = Narrow(slash == std::wstring::npos ? s : s.substr(slash + 1));
    if (Columns(label) > width) label = Fit(label, width > 3 ? width - 3 : width) + (width > 3 ? "..." : "");
    return label;
}

ProgressView::Totals ProgressView::Count() const {
    Totals t;
    for (const auto& [id, r] : m_rows) {
        if (r.ended) {
            (r.failed ? t.failed : t.done)++;
            t.bytes += r.written;
        } else if (r.percent >= 0) {
            ++t.running;
            const auto part = static_cast<int64_t>(static_cast<double>(r.estimate) * std::clamp(r.percent, 0.0f, 100.0f) / 100.0);
            t.bytes += part;
            t.remaining += r.estimate - part;
        } else {
            t.remaining += r.estimate;
        }
    }
    return t;
}

std::string ProgressView::Summary(const Totals& t, bool final) const {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    const double rate = seconds > 0.5 ? static_cast<double>(t.bytes) / seconds : 0.0;
    std::string s = std::to_string(t.done) + "/" + std::to_string(m_order.size()) + " done";
    if (t.failed) s += ", " + std::to_string(t.failed) + " failed";
    // Once nothing runs any more, what it took rather than what is left.
    if (!final) s += ", " + std::to_string(t.running) + " running";
    s += " | " + HumanBytes(t.bytes);
    if (final) s += " in " + Duration(seconds);
    if (rate > 0) s += " | " + HumanBytes(static_cast<int64_t>(rate)) + "/s";
    if (rate > 0 && !final) s += " | " + Duration(static_cast<double>(t.remaining) / rate) + " left";
    return s;
}

bool ProgressView::Begun(const Totals& t) const { return t.running + t.done + t.failed > 0; }

bool ProgressView::AllEnded(const Totals& t) const { return t.done + t.failed == m_order.size(); }

void ProgressView::OnProgress(const wchar_t* study, const wchar_t* file, float percent) {
    std::lock_guard<std::mutex> g(m_mu);
    const std::wstring id = study ? study : L"";
    const bool overall = id.empty();
    if (overall) m_overallPercent = percent;
    if (!overall) {
        Row& r = m_rows[id];
        r.percent = percent;
        r.file = file ? file : L"";
    }
    switch (m_style) {
    case Style::Quiet:
        return;
    case Style::Json: {
        nlohmann::json j;
        if (overall) {
            const Totals t = Count();
            j = {{"event", "overall"}, {"percent", percent}, {"done", t.done}, {"failed", t.failed},
                 {"running", t.running}, {"total", m_order.size()}, {"bytes", t.bytes}};
        } else {
            j = {{"event", "progress"}, {"study", Narrow(id)}, {"file", Narrow(file ? file : L"")}, {"percent", percent}};
        }
        std::fprintf(m_out, "%s\n", j.dump().c_str());
        std::fflush(m_out);
        return;
    }
    case Style::Lines:
        if (overall) {
            // Nothing to tell before a study has started; the last line
            // waits until every study has ended (the writing reaches 100 %
            // before the study's files are accounted for).
            const Totals t = Count();
            const int decile = static_cast<int>(std::floor(std::clamp(percent, 0.0f, 100.0f) / 10.0f));
            if (Begun(t) && decile > m_overallDecile && (AllEnded(t) ? decile == 10 : decile < 10)) {
                m_overallDecile = decile;
                std::fprintf(m_out, "%s %s\n", Percent(percent).c_str(), Summary(t, AllEnded(t)).c_str());
                std::fflush(m_out);
            }
        }
        return;
    case Style::Bars:
        if (overall && !m_finished) Draw(false); // the overall figure ends a monitor pass
        return;
    }
}

void ProgressView::OnError(const wchar_t* study, long code, const wchar_t* text) {
    std::lock_guard<std::mutex> g(m_mu);
    const std::wstring id = study ? study : L"";
    const std::string msg = Narrow(text ? text : L"");
    Row& r = m_rows[id];
    if (!r.ended) {
        r.ended = true;
        r.failed = true;
    }
    switch (m_style) {
    case Style::Quiet:
        return;
    case Style::Json: {
        nlohmann::json j = {{"event", "error"}, {"study", Narrow(id)}, {"code", static_cast<uint32_t>(code)}, {"text", msg}};
        std::fprintf(m_out, "%s\n", j.dump().c_str());
        std::fflush(m_out);
        return;
    }
    case Style::Lines:
        std::fprintf(m_out, "%s failed: %s\n", Label(id, 60).c_str(), msg.c_str());
        std::fflush(m_out);
        return;
    case Style::Bars:
        // Failures stay on the screen above the live rows.
        if (m_finished) return;
        Erase();
        std::fprintf(m_out, "%s failed: %s\n", Label(id, 60).c_str(), msg.c_str());
        Draw(true);
        return;
    }
}

void ProgressView::StudyEnded(const std::wstring& study, bool ok, int64_t bytes) {
    std::lock_guard<std::mutex> g(m_mu);
    Row& r = m_rows[study];
    if (r.ended) return;
    r.ended = true;
    r.failed = !ok;
    r.written = bytes;
    r.percent = 100.0f;
    if (m_style == Style::Lines && ok) {
        const Totals t = Count();
        std::fprintf(m_out, "[%zu/%zu] %s done\n", t.done + t.failed, m_order.size(), Label(study, 60).c_str());
        std::fflush(m_out);
    }
}

void ProgressView::Erase() {
    if (m_drawnRows > 0) std::fprintf(m_out, "\x1b[%dF\x1b[J", m_drawnRows);
    m_drawnRows = 0;
    m_drawnFinal = false;
}

void ProgressView::Draw(bool force) {
    const Totals totals = Count();
    // A frame before any study has started would only say nothing happens;
    // one after the final frame would repeat it.
    if (!Begun(totals) || m_drawnFinal) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && m_drawnRows > 0 && now - m_lastDraw < kRedrawInterval) return;
    m_lastDraw = now;
    int width = 80, height = 24;
    TerminalSize(m_out, &width, &height);
    // One column and one row stay free: a full-width line would wrap the
    // cursor, and the cursor's own row is below the block.
    const size_t columns = static_cast<size_t>(std::max(width - 1, 1));
    const int maxRows = std::max(height - 1, 1);

    std::vector<const std::wstring*> running;
    for (const auto& id : m_order) {
        const Row& r = m_rows[id];
        if (!r.ended && r.percent >= 0) running.push_back(&id);
    }
    int studyRows = std::min(static_cast<int>(running.size()), maxRows - 1);
    const bool more = studyRows < static_cast<int>(running.size());
    if (more && studyRows > 0) --studyRows; // room for "... N more running"

    const size_t labelWidth = std::clamp<size_t>(columns / 3, 4, 28);
    // The bar takes at most half of what the label leaves, the file name the rest.
    const int barWidth = std::min(28, (static_cast<int>(columns) - static_cast<int>(labelWidth) - 8) / 2);
    std::vector<std::string> lines;
    for (int i = 0; i < studyRows; ++i) {
        const Row& r = m_rows[*running[static_cast<size_t>(i)]];
        std::string line = Label(*running[static_cast<size_t>(i)], labelWidth);
        line.append(labelWidth - std::min(labelWidth, Columns(line)) + 1, ' ');
        if (barWidth >= 5) line += Bar(r.percent, barWidth) + " ";
        line += Percent(r.percent) + " " + Narrow(r.file);
        lines.push_back(Fit(line, columns));
    }
    if (more && maxRows >= 2)
        lines.push_back(Fit("... " + std::to_string(running.size() - static_cast<size_t>(studyRows)) + " more running", columns));
    m_drawnFinal = AllEnded(totals) || m_finished;
    lines.push_back(Fit(Summary(totals, m_drawnFinal), columns));

    std::string text;
    if (m_drawnRows > 0) text += "\x1b[" + std::to_string(m_drawnRows) + "F"; // back to the block's first row
    text += "\x1b[J";
    for (const auto& l : lines) text += l + "\n";
    m_drawnRows = static_cast<int>(lines.size());
    std::fputs(text.c_str(), m_out);
    std::fflush(m_out);
}

void ProgressView::Finish() {
    std::lock_guard<std::mutex> g(m_mu);
    if (m_finished) return;
    // Nothing runs any more: the final figures stay on the screen, drawn
    // once (a cancelled run has not drawn them yet).
    m_finished = true;
    const Totals t = Count();
    if (m_style == Style::Bars) Draw(true);
    if (m_style == Style::Lines && Begun(t) && m_overallDecile < 10) {
        std::fprintf(m_out, "%s %s\n", Percent(AllEnded(t) ? 100.0f : m_overallPercent).c_str(), Summary(t, true).c_str());
        std::fflush(m_out);
    }
    m_drawnRows = 0;
}

void ProgressView::Print(const std::string& line) {
    std::lock_guard<std::mutex> g(m_mu);
    const bool live = m_style == Style::Bars && !m_finished;
    if (live) Erase();
    std::fprintf(m_out, "%s\n", line.c_str());
    if (live) Draw(true);
    std::fflush(m_out);
}

} // namespace sk::cli

#include "ProgressView.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "Cli.h"

namespace sk::cli {

namespace {
constexpr int kBarWidth = 28;
constexpr size_t kLabelWidth = 28;

std::string Bar(float percent) {
    const int filled = std::clamp(static_cast<int>(std::lround(percent / 100.0f * kBarWidth)), 0, kBarWidth);
    std::string bar;
    bar.reserve(kBarWidth + 2);
    bar.push_back('[');
    bar.append(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '.');
    bar.push_back(']');
    return bar;
}

std::string Percent(float p) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%3d%%", static_cast<int>(std::floor(std::clamp(p, 0.0f, 100.0f))));
    return buf;
}
} // namespace

ProgressView::ProgressView(Style style, std::vector<std::wstring> studies, FILE* out)
    : m_style(style), m_out(out), m_order(std::move(studies)) {
    for (const auto& s : m_order) m_rows[s];
}

ProgressView::Style ProgressView::StyleFor(FILE* stream) {
    const char* term = std::getenv("TERM");
    const bool dumb = term && std::string(term) == "dumb";
    return isatty(fileno(stream)) && !dumb ? Style::Bars : Style::Lines;
}

std::string ProgressView::Label(const std::wstring& study) const {
    // The last path component names a study folder well enough.
    std::wstring s = study;
    while (s.size() > 1 && (s.back() == L'/' || s.back() == L'\\')) s.pop_back();
    const size_t slash = s.find_last_of(L"/\\");
    std::string label = Narrow(slash == std::wstring::npos ? s : s.substr(slash + 1));
    if (label.size() > kLabelWidth) label = label.substr(0, kLabelWidth - 3) + "...";
    return label;
}

void ProgressView::OnProgress(const wchar_t* study, const wchar_t* file, float percent) {
    std::lock_guard<std::mutex> g(m_mu);
    const std::wstring id = study ? study : L"";
    const bool overall = id.empty();
    switch (m_style) {
    case Style::Quiet:
        return;
    case Style::Json: {
        nlohmann::json j;
        if (overall) {
            j = {{"event", "overall"}, {"percent", percent}};
        } else {
            j = {{"event", "progress"}, {"study", Narrow(id)}, {"file", Narrow(file ? file : L"")}, {"percent", percent}};
        }
        std::fprintf(m_out, "%s\n", j.dump().c_str());
        std::fflush(m_out);
        return;
    }
    case Style::Lines: {
        const int decile = static_cast<int>(std::floor(std::clamp(percent, 0.0f, 100.0f) / 10.0f));
        if (overall) {
            if (decile > m_overallDecile) {
                m_overallDecile = decile;
                std::fprintf(m_out, "overall %s\n", Percent(percent).c_str());
            }
        } else {
            Row& r = m_rows[id];
            const std::wstring f = file ? file : L"";
            if (decile > r.lastDecile || f != r.file) {
                r.lastDecile = std::max(decile, r.lastDecile);
                r.file = f;
                std::fprintf(m_out, "%s %s %s\n", Label(id).c_str(), Percent(percent).c_str(), Narrow(f).c_str());
            }
        }
        std::fflush(m_out);
        return;
    }
    case Style::Bars:
        if (overall) {
            m_overall = percent;
            DrawBars(); // once per monitor pass: the overall figure ends a pass
        } else {
            Row& r = m_rows[id];
            r.percent = percent;
            r.file = file ? file : L"";
        }
        return;
    }
}

void ProgressView::OnError(const wchar_t* study, long code, const wchar_t* text) {
    std::lock_guard<std::mutex> g(m_mu);
    const std::wstring id = study ? study : L"";
    const std::string msg = Narrow(text ? text : L"");
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
        std::fprintf(m_out, "%s failed: %s\n", Label(id).c_str(), msg.c_str());
        std::fflush(m_out);
        return;
    case Style::Bars:
        m_rows[id].error = msg;
        m_rows[id].percent = 100.0f;
        return;
    }
}

void ProgressView::DrawBars() {
    std::string text;
    if (m_drawnLines > 0) text += "\x1b[" + std::to_string(m_drawnLines) + "F"; // back to the first line
    int lines = 0;
    for (const auto& id : m_order) {
        const Row& r = m_rows[id];
        char label[64];
        std::snprintf(label, sizeof label, "%-*s ", static_cast<int>(kLabelWidth), Label(id).c_str());
        text += "\x1b[2K";
        text += label;
        if (!r.error.empty()) {
            text += "failed: " + r.error;
        } else if (r.percent < 0) {
            text += Bar(0) + " waiting";
        } else {
            text += Bar(r.percent) + " " + Percent(r.percent) + " " + Narrow(r.file);
        }
        text += "\n";
        ++lines;
    }
    char label[64];
    std::snprintf(label, sizeof label, "%-*s ", static_cast<int>(kLabelWidth), "overall");
    text += std::string("\x1b[2K") + label + Bar(m_overall) + " " + Percent(m_overall) + "\n";
    ++lines;
    m_drawnLines = lines;
    std::fputs(text.c_str(), m_out);
    std::fflush(m_out);
}

void ProgressView::Finish() {
    std::lock_guard<std::mutex> g(m_mu);
    m_drawnLines = 0;
}

void ProgressView::Print(const std::string& line) {
    std::lock_guard<std::mutex> g(m_mu);
    std::fprintf(m_out, "%s\n", line.c_str());
    m_drawnLines = 0;
    std::fflush(m_out);
}

} // namespace sk::cli

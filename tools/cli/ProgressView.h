#pragma once
// Shows the progress of an export: bars per study and overall on a terminal,
// plain lines otherwise, JSON lines for scripts, or nothing. The engine calls
// it from its monitor thread; everything here is guarded by one lock.

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/SkrivoEngine.h"

namespace sk::cli {

class ProgressView final : public ISkrivoProgress {
public:
    enum class Style { Bars, Lines, Json, Quiet };

    ProgressView(Style style, std::vector<std::wstring> studies, FILE* out);

    void OnProgress(const wchar_t* study, const wchar_t* file, float percent) override;
    void OnError(const wchar_t* study, long code, const wchar_t* text) override;

    // Ends the bar display (moves below it). Safe to call more than once.
    void Finish();
    // Writes an already formatted line without tearing the bars.
    void Print(const std::string& line);

    // Style for a stream: bars when it is a terminal, else lines.
    static Style StyleFor(FILE* stream);

private:
    struct Row {
        std::wstring file;
        float percent = -1.0f;
        int lastDecile = -1;
        std::string error;
    };
    void DrawBars();
    std::string Label(const std::wstring& study) const;

    std::mutex m_mu;
    Style m_style;
    FILE* m_out;
    std::vector<std::wstring> m_order;
    std::map<std::wstring, Row> m_rows;
    float m_overall = 0.0f;
    int m_overallDecile = -1;
    int m_drawnLines = 0;
};

} // namespace sk::cli

#pragma once
// Shows the progress of an export. On a terminal: one row per running study
// and a summary line (done / failed / total, bytes, rate, time left), never
// more rows than the terminal has and never wider than it, redrawn in place
// and following a resize. Otherwise plain lines, JSON lines for scripts, or
// nothing. The engine calls it from its monitor thread and the export jobs
// from the workers; everything here is guarded by one lock.

#include <chrono>
#include <cstdint>
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
    struct Study {
        std::wstring id;
        int64_t estimatedBytes = 0; // for the rate and the time left
    };

    ProgressView(Style style, std::vector<Study> studies, FILE* out);

    void OnProgress(const wchar_t* study, const wchar_t* file, float percent) override;
    void OnError(const wchar_t* study, long code, const wchar_t* text) override;
    // A study's export has ended (from the worker that ran it); bytes it wrote.
    void StudyEnded(const std::wstring& study, bool ok, int64_t bytes);

    // Ends the display (the cursor stays below it). Safe to call more than once.
    void Finish();
    // Writes an already formatted line without tearing the display.
    void Print(const std::string& line);

    // Style for a stream: bars when it is a terminal, else lines.
    static Style StyleFor(FILE* stream);

private:
    struct Row {
        std::wstring file;
        float percent = -1.0f; // -1: not started
        bool ended = false;
        bool failed = false;
        int64_t estimate = 0;
        int64_t written = 0; // once ended
    };
    struct Totals {
        size_t done = 0, failed = 0, running = 0;
        int64_t bytes = 0, remaining = 0;
    };
    Totals Count() const;
    // final: nothing runs any more (every study ended, or the run is over).
    std::string Summary(const Totals& t, bool final) const;
    bool Begun(const Totals& t) const;
    bool AllEnded(const Totals& t) const;
    void Draw(bool force);
    void Erase();
    std::string Label(const std::wstring& study, size_t width) const;

    std::mutex m_mu;
    Style m_style;
    FILE* m_out;
    std::vector<std::wstring> m_order;
    std::map<std::wstring, Row> m_rows;
    std::chrono::steady_clock::time_point m_start, m_lastDraw;
    int m_overallDecile = -1;
    float m_overallPercent = 0.0f;
    int m_drawnRows = 0;
    bool m_finished = false;
    bool m_drawnFinal = false; // the final figures are on the screen
};

} // namespace sk::cli

// Exports the study named on the command line into a folder with nothing but
// the installed headers and library, its progress reported through the
// exported callback; prints the number of files written.
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/SkrivoEngine.h"

struct Progress : ISkrivoProgress {
    void OnProgress(const wchar_t* study, const wchar_t*, float percent) override {
        if (study && *study == 0)
            overall = percent;
    }
    void OnError(const wchar_t*, long, const wchar_t*) override { ++errors; }
    std::atomic<float> overall{-1.0f};
    std::atomic<int> errors{0};
};

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    const std::filesystem::path study = argv[1], out = argv[2];
    std::filesystem::create_directories(out);
    CSkrivoEngine engine;
    Progress progress;
    if (!engine.AddExport(L"study", study.wstring().c_str(), nullptr) || engine.EstimateSize(L"study") <= 0)
        return 1;
    engine.Export(out.wstring().c_str(), &progress, false);
    if (!engine.WaitForExport(60000) || !engine.IsDone() || progress.errors > 0 || progress.overall != 100.0f)
        return 1;
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(out))
        files += e.file_size() > 256;
    std::printf("%d\n", files);
    return files == 1 ? 0 : 1;
}

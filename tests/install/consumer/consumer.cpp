// Exports the study named on the command line into a folder with nothing but
// the installed headers and library; prints the number of files written.
#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/SkrivoEngine.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const std::filesystem::path study = argv[1], out = argv[2];
    std::filesystem::create_directories(out);
    CSkrivoEngine engine;
    if (!engine.AddExport(L"study", study.wstring().c_str(), nullptr)) return 1;
    engine.Export(out.wstring().c_str(), nullptr, false);
    if (!engine.WaitForExport(60000) || !engine.IsDone()) return 1;
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(out)) files += e.file_size() > 256;
    std::printf("%d\n", files);
    return files == 1 ? 0 : 1;
}

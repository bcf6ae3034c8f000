// A host of the shared library: only what the library exports is used to add
// a study, export it with a progress callback and find the file.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "engine/SkrivoEngine.h"
#include "support/TempDir.h"
#include "templates/SkrivoTemplate.h"
#include "templates/SkrivoTemplateManager.h"
#include "tools/simulator/StudySimulator.h"

namespace {
class Host : public ISkrivoProgress {
public:
    void OnProgress(const wchar_t* study, const wchar_t*, float percent) override {
        if (study && *study == 0) overall.store(percent);
    }
    void OnError(const wchar_t*, long, const wchar_t*) override { ++errors; }
    std::atomic<float> overall{-1.0f};
    std::atomic<int> errors{0};
};
} // namespace

TEST(SharedLibrary, HostExportsAStudyThroughTheExportedEngine) {
    sk::test::TempDir dir;
    setenv("SKRIVO_REGISTRY_ROOT", (dir / "registry").c_str(), 1);
    sk::sim::SimOptions o;
    o.folder = dir / "study";
    o.sampleRate = 64;
    o.durationSeconds = 8;
    ASSERT_TRUE(sk::sim::SimulateStudy(o).ok);

    CSkrivoEngine engine;
    ASSERT_TRUE(engine.AddExport(L"one", o.folder.wstring().c_str(), nullptr));
    CSkrivoTemplate* t = engine.GetTemplate(L"one");
    ASSERT_NE(t, nullptr);
    t->SetExportType(CSkrivoTemplate::FormatEDFPlus);
    EXPECT_GT(engine.EstimateSize(L"one"), 0);

    Host host;
    const std::filesystem::path out = dir / "out";
    std::filesystem::create_directories(out);
    engine.Export(out.wstring().c_str(), &host, false);
    ASSERT_TRUE(engine.WaitForExport(60000));
    EXPECT_TRUE(engine.IsDone());
    EXPECT_EQ(host.errors.load(), 0);
    EXPECT_EQ(host.overall.load(), 100.0f);
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(out)) files += e.file_size() > 256;
    EXPECT_EQ(files, 1);
    unsetenv("SKRIVO_REGISTRY_ROOT");
}

// `skrivo simulate`, `skrivo demo` and `skrivo bench-parallel`: commands
// built on the study simulator.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>

#include <sys/resource.h>

#include "Cli.h"
#include "Manifest.h"
#include "engine/SkrivoEngine.h"
#include "tools/simulator/StudySimulator.h"
#include "templates/SkrivoTemplate.h"
#include "writer/ExportDetails.h"

namespace sk::cli {

namespace {

sk::sim::SimOptions ToSim(const SimulateOptions& o) {
    sk::sim::SimOptions s;
    s.folder = std::filesystem::path(o.folder);
    s.headboxType = o.headbox;
    s.durationSeconds = o.minutes * 60.0;
    s.sampleRate = o.rate;
    s.seed = o.seed;
    s.studyGroup = o.sleep ? 2 : 1;
    sk::sim::SetPatientName(s, Widen(o.patient));
    if (o.gaps) {
        // One gap inside a segment and one that starts a new segment file.
        s.gaps.push_back({s.durationSeconds / 3.0, 3.0, false});
        s.gaps.push_back({2.0 * s.durationSeconds / 3.0, 5.0, true});
    }
    s.decimation = o.decimated;
    s.schema = static_cast<uint16_t>(o.schema);
    s.nameNote = true;
    // Each study its own GUID, the same for the same seed and patient, so
    // that studies can be told apart (and mapped) by it as by a real one.
    uint64_t h = 1469598103934665603ull ^ o.seed;
    for (const unsigned char c : o.patient + (o.sleep ? "/sleep" : "")) h = (h ^ c) * 1099511628211ull;
    const uint64_t h2 = (h ^ (h >> 29)) * 0xbf58476d1ce4e5b9ull;
    wchar_t guid[40];
    std::swprintf(guid, 40, L"{%08X-%04X-4%03X-%04X-%012llX}", static_cast<unsigned>(h >> 32),
                  static_cast<unsigned>(h >> 16) & 0xFFFFu, static_cast<unsigned>(h) & 0xFFFu,
                  0x8000u | (static_cast<unsigned>(h2 >> 48) & 0x3FFFu),
                  static_cast<unsigned long long>(h2 & 0xFFFFFFFFFFFFull));
    s.studyGuid = guid;
    return s;
}

std::string MakeTempFolder(const char* tag) {
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) base = "/tmp";
    std::string templ = (base / (std::string(tag) + "-XXXXXX")).string();
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return {};
    return buf.data();
}

} // namespace

int RunSimulate(const SimulateOptions& o) {
    if (o.headbox < 1 || o.headbox > 27) {
        std::fprintf(stderr, "skrivo: headbox type must be 1..27\n");
        return kExitUsage;
    }
    if (!(o.minutes > 0) || o.minutes > 24 * 60) {
        std::fprintf(stderr, "skrivo: --minutes must be above 0 and at most 1440\n");
        return kExitUsage;
    }
    if (!(o.rate >= 1) || o.rate > 100000) {
        std::fprintf(stderr, "skrivo: --rate must be 1..100000 Hz\n");
        return kExitUsage;
    }
    if (o.decimated == 1 || o.decimated < 0) {
        std::fprintf(stderr, "skrivo: a decimation factor must be 2 or more\n");
        return kExitUsage;
    }
    const sk::sim::SimResult r = sk::sim::SimulateStudy(ToSim(o));
    if (!r.ok) {
        std::fprintf(stderr, "skrivo: simulation failed: %s\n", Narrow(r.error).c_str());
        return kExitFailed;
    }
    if (!o.quiet) {
        std::printf("simulated study %s\n", r.eegFile.string().c_str());
        std::printf("  %d channels, %g Hz, %.1f s recorded, %zu segment file(s)%s\n", r.channelCount, o.rate,
                    o.minutes * 60.0, r.erdFiles.size(), r.decimatedFolder.empty() ? "" : ", decimated copy");
    }
    return kExitOk;
}

int RunDemo(const DemoOptions& o) {
    const std::string root = o.folder.empty() ? MakeTempFolder("skrivo-demo") : o.folder;
    if (root.empty()) {
        std::fprintf(stderr, "skrivo: cannot create a temporary folder\n");
        return kExitFailed;
    }
    SimulateOptions sim;
    sim.folder = (std::filesystem::path(root) / "study").string();
    sim.minutes = o.minutes;
    sim.gaps = true;
    sim.patient = "Demo, Patient";
    const bool talk = o.mode == OutputMode::Auto;
    sim.quiet = !talk;
    if (talk) std::printf("skrivo demo: simulating a %.0f-minute EEG study\n", o.minutes);
    if (int rc = RunSimulate(sim); rc != kExitOk) return rc;

    ExportOptions ex;
    ex.studies = {sim.folder};
    ex.output = (std::filesystem::path(root) / "edf").string();
    ex.overrides.format = o.format;
    ex.mode = o.mode;
    if (talk) std::printf("skrivo demo: exporting to %s\n", ex.output.c_str());
    const int rc = RunExport(ex);
    if (rc == kExitOk && talk) {
        std::printf("skrivo demo: done. Files written:\n");
        for (const auto& entry : std::filesystem::directory_iterator(ex.output))
            if (entry.is_regular_file() && entry.path().filename() != kManifestName)
                std::printf("  %s  %s\n", entry.path().string().c_str(),
                            HumanBytes(static_cast<int64_t>(entry.file_size())).c_str());
    }
    return rc;
}

int RunBenchParallel(const BenchOptions& o) {
    const std::string root = MakeTempFolder("skrivo-bench");
    if (root.empty()) return kExitFailed;
    std::vector<std::string> studies;
    for (int i = 0; i < 2; ++i) {
        SimulateOptions sim;
        sim.folder = (std::filesystem::path(root) / ("study" + std::to_string(i))).string();
        sim.minutes = o.minutes;
        sim.rate = o.rate;
        sim.seed = 7; // equal studies
        sim.schema = o.schema;
        // Output files are named after the patient: one name each, or the
        // second study's file would be refused as a collision.
        sim.patient = "Bench, Study" + std::to_string(i + 1);
        sim.quiet = true;
        if (RunSimulate(sim) != kExitOk) return kExitFailed;
        studies.push_back(sim.folder);
    }
    // Processor seconds (user and system) the process spent: the two
    // exports' own, since nothing else runs meanwhile.
    auto cpu = [] {
        rusage r{};
        getrusage(RUSAGE_SELF, &r);
        return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
               static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    double cpuSeconds = 0;
    auto run = [&](int jobs, const char* out) -> double {
        CSkrivoEngine engine;
        engine.SetNumParallelExports(jobs);
        for (const auto& s : studies) {
            std::string err;
            if (!AddStudy(engine, s, nullptr, &err)) return -1;
            engine.GetTemplate(Widen(s).c_str())->SetExportType(CSkrivoTemplate::FormatEDFPlus);
        }
        const std::wstring folder = Widen((std::filesystem::path(root) / out).string());
        std::error_code ec;
        std::filesystem::remove_all(std::filesystem::path(root) / out, ec);
        std::filesystem::create_directories(std::filesystem::path(root) / out);
        const double c0 = cpu();
        const auto t0 = std::chrono::steady_clock::now();
        engine.Export(folder.c_str(), nullptr, false);
        engine.WaitForExport(0xFFFFFFFFu);
        const auto t1 = std::chrono::steady_clock::now();
        cpuSeconds = cpu() - c0;
        if (!engine.IsDone()) return -1;
        for (size_t i = 0; const CExportDetails* d = engine.GetExportAt(i); ++i) {
            int32_t code = 0;
            std::wstring text;
            if (d->GetError(code, text)) {
                std::fprintf(stderr, "skrivo: %s\n", Narrow(text).c_str());
                return -1;
            }
        }
        return std::chrono::duration<double>(t1 - t0).count();
    };
    // Other processes share the machine: alternate the two and keep the
    // best of each, which is the figure least disturbed by them. The first
    // pair is not counted: it runs while the kernel still settles the
    // gigabytes the simulator has just written (10-40 % slower here).
    double serial = -1, parallel = -1;
    for (int i = 0; i <= std::max(1, o.repeat); ++i) {
        const double s = run(1, "serial");
        const double sCpu = cpuSeconds;
        const double p = run(2, "parallel");
        if (s <= 0 || p <= 0) {
            serial = parallel = -1;
            break;
        }
        // The processor time says whether a difference is the exports' work
        // or the machine's: two exports at once can take no less than half
        // of it.
        std::printf("%s: serial_s=%.3f parallel_s=%.3f serial_cpu_s=%.3f parallel_cpu_s=%.3f\n",
                    i == 0 ? "warm-up" : ("run " + std::to_string(i)).c_str(), s, p, sCpu, cpuSeconds);
        if (i == 0) continue;
        serial = serial < 0 ? s : std::min(serial, s);
        parallel = parallel < 0 ? p : std::min(parallel, p);
    }
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    if (serial <= 0 || parallel <= 0) {
        std::fprintf(stderr, "skrivo: benchmark export failed\n");
        return kExitFailed;
    }
    std::printf("two equal studies, %.1f min at %g Hz each, storage schema %d, best of %d\n", o.minutes, o.rate,
                o.schema, std::max(1, o.repeat));
    std::printf("bench-parallel: serial_s=%.3f parallel_s=%.3f ratio=%.3f\n", serial, parallel, parallel / serial);
    return kExitOk;
}

} // namespace sk::cli

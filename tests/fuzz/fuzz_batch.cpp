// The command line's own inputs, picked by the first byte: a manifest as a
// resume and a summary read it, --shard with the array job's variables (the
// lines after it), the EEG-BIDS mapping file and key file.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "tools/bids/BidsWriter.h"
#include "tools/cli/Manifest.h"
#include "tools/cli/StudyList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = "/tmp/skrivo_fuzz_batch_" + std::to_string(::getpid());
    static const bool made = (std::filesystem::create_directories(dir), std::atexit([] { std::filesystem::remove_all(dir); }), true);
    const int mode = size ? data[0] % 4 : 4;
    const std::string text(data + !!size, data + size), in = dir + (mode == 0 ? "/manifest.jsonl" : "/in");
    std::ofstream(in, std::ios::binary) << text;
    std::vector<std::string> v(4), problems;
    std::string err;
    size_t unreadable = 0;
    if (mode == 0) {
        for (const auto& [study, l] : sk::cli::LatestByStudy(sk::cli::ReadManifest(dir, &unreadable, &err))) {
            (void)(l.value("outcome", "") + l.value("reason", "")), (void)l.value("records", int64_t{0});
            for (const auto& f : l.value("files", nlohmann::json::array())) (void)f.value("bytes", int64_t{0});
            sk::cli::FilesUnchanged(dir, l, &problems);
        }
    } else if (mode == 1) {
        std::istringstream lines(text);
        for (auto& s : v) std::getline(lines, s);
        const char* names[] = {"SLURM_ARRAY_TASK_ID", "SLURM_ARRAY_TASK_COUNT", "SLURM_ARRAY_TASK_MIN"};
        auto env = [&](const char* n) { return v[1 + (std::find(names, names + 3, std::string(n)) - names)].c_str(); };
        if (auto s = sk::cli::ParseShard(v[0], env, &err); s && (s->index < 1 || s->index > s->count)) __builtin_trap();
    } else if (mode < 4) {
        sk::bids::Options o{.root = dir + "/ds", .mapFile = mode == 2 ? in : "", .keyFile = mode == 3 ? in : ""};
        sk::bids::CBidsWriter(o).Open(&err);
    }
    return (void)made, 0;
}

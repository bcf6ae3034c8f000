// The command line's own inputs: an output folder's manifest as a resume and
// a summary read it, a study list, --shard with the array job's variables,
// and the EEG-BIDS mapping and key files. The first byte picks the reader.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

#include "tools/bids/BidsWriter.h"
#include "tools/cli/Manifest.h"
#include "tools/cli/StudyList.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const fs::path dir = fs::temp_directory_path() / ("skrivo_fuzz_batch_" + std::to_string(::getpid()));
    static const bool made = (fs::create_directories(dir), std::atexit([] { fs::remove_all(dir); }), true);
    (void)made;
    const std::string text(data + 1, data + size);
    std::string err;
    switch (data[0] % 4) {
    case 0: {
        std::ofstream(dir / sk::cli::kManifestName, std::ios::binary) << text;
        size_t unreadable = 0;
        for (const auto& [study, l] : sk::cli::LatestByStudy(sk::cli::ReadManifest(dir.string(), &unreadable, &err))) {
            // Every field as the resume and the summary take it.
            (void)(l.value("outcome", "") + l.value("reason", "")), (void)l.value("records", int64_t{0});
            for (const auto& f : l.value("files", nlohmann::json::array()))
                (void)f.value("bytes", int64_t{0}), (void)f.value("path", "");
            std::vector<std::string> problems;
            sk::cli::FilesUnchanged(dir.string(), l, &problems);
        }
        break;
    }
    case 1: {
        std::istringstream in(text);
        std::vector<std::string> studies;
        sk::cli::ReadStudyList(in, "list", &studies, &err);
        sk::cli::SortStudies(studies);
        if (sk::cli::StudySubfolders(studies).size() != studies.size()) std::abort();
        break;
    }
    case 2: {
        // Lines: the --shard text, then the array job's id, count and first id.
        std::istringstream in(text);
        std::string arg, v[3];
        std::getline(in, arg);
        for (auto& s : v) std::getline(in, s);
        const std::map<std::string, std::string> env = {
            {"SLURM_ARRAY_TASK_ID", v[0]}, {"SLURM_ARRAY_TASK_COUNT", v[1]}, {"SLURM_ARRAY_TASK_MIN", v[2]}};
        const auto shard = sk::cli::ParseShard(arg, [&](const char* n) { return env.at(n).c_str(); }, &err);
        if (shard && (shard->index < 1 || shard->index > shard->count)) std::abort();
        break;
    }
    case 3: {
        const bool key = size > 1 && data[1] & 1;
        std::ofstream(dir / "in", std::ios::binary) << text;
        sk::bids::Options o;
        o.root = (dir / "ds").string();
        (key ? o.keyFile : o.mapFile) = (dir / "in").string();
        sk::bids::CBidsWriter(o).Open(&err);
        break;
    }
    }
    return 0;
}

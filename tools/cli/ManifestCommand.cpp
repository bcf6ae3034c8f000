// `skrivo manifest summary|verify DIR`: what an output folder's manifest says
// about a batch, and whether the files it lists are still the ones written.

#include <cstdio>
#include <nlohmann/json.hpp>

#include "Cli.h"
#include "Manifest.h"

namespace sk::cli {

int RunManifest(const ManifestOptions& o) {
    size_t unreadable = 0;
    std::string err;
    const auto lines = ReadManifest(o.folder, &unreadable, &err);
    if (!err.empty()) {
        std::fprintf(stderr, "skrivo: %s\n", err.c_str());
        return kExitFailed;
    }
    if (lines.empty() && !unreadable) {
        std::fprintf(stderr, "skrivo: no %s in %s\n", kManifestName, o.folder.c_str());
        return kExitFailed;
    }
    const auto latest = LatestByStudy(lines);

    if (o.action == "summary") {
        std::map<std::string, size_t> outcomes;
        size_t files = 0;
        int64_t bytes = 0, records = 0;
        for (const auto& [study, l] : latest) {
            ++outcomes[l.value("outcome", "")];
            // A failed study's salvaged file is on the disk as well.
            for (const auto& f : l.value("files", nlohmann::json::array())) {
                ++files;
                bytes += f.value("bytes", int64_t{0});
            }
            records += l.value("records", int64_t{0});
        }
        const nlohmann::json j = {{"studies", latest.size()},        {"complete", outcomes["complete"]},
                                  {"incomplete", outcomes["incomplete"]}, {"failed", outcomes["failed"]},
                                  {"files", files},                    {"bytes", bytes},
                                  {"records", records},                {"lines", lines.size()},
                                  {"unreadable_lines", unreadable}};
        if (o.json) {
            std::printf("%s\n", j.dump().c_str());
        } else {
            std::printf("%zu studies: %zu complete, %zu incomplete, %zu failed\n", latest.size(), outcomes["complete"],
                        outcomes["incomplete"], outcomes["failed"]);
            std::printf("%zu files, %s, %lld records\n", files, HumanBytes(bytes).c_str(), static_cast<long long>(records));
            std::printf("%zu manifest lines", lines.size());
            if (unreadable) std::printf(", %zu unreadable", unreadable);
            std::printf("\n");
            for (const auto& [study, l] : latest)
                if (l.value("outcome", "") != "complete")
                    std::printf("%s %s: %s\n", l.value("outcome", "").c_str(), study.c_str(), l.value("reason", "").c_str());
        }
        return kExitOk;
    }

    // verify: the files of every study as last recorded, a failed study's
    // salvaged file included.
    std::vector<std::string> problems;
    size_t checked = 0;
    for (const auto& [study, l] : latest) {
        checked += l.value("files", nlohmann::json::array()).size();
        FilesUnchanged(o.folder, l, &problems);
    }
    if (o.json) {
        std::printf("%s\n", nlohmann::json{{"ok", problems.empty()}, {"files", checked}, {"problems", problems}}.dump().c_str());
    } else {
        for (const auto& p : problems) std::printf("%s\n", p.c_str());
        std::printf("%zu files checked, %zu changed or missing\n", checked, problems.size());
    }
    return problems.empty() ? kExitOk : kExitFailed;
}

} // namespace sk::cli

// `skrivo list ROOT`: every study under a folder tree, one path a line, the
// input of `export --from`. With --json each line describes the study; the
// patient stays out unless asked for, so lists can be shared.

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "Cli.h"
#include "StudyList.h"
#include "platform/KeyTree.h"
#include "writer/Skrivoer.h"

namespace sk::cli {

namespace {

std::string Str(const CKeyTree& t, const wchar_t* key) { return Narrow(AsCStr(t.GetAt(key), L"")); }

nlohmann::json Details(const std::string& path, bool patient) {
    namespace fs = std::filesystem;
    const fs::path p(path);
    nlohmann::json j = {{"study", path}, {"folder", p.parent_path().string()}, {"name", p.stem().string()}};
    CKeyTree s;
    if (!CSkrivoer::ProbeStudy(Widen(p.parent_path().string() + "/"), Widen(p.stem().string()), &s)) {
        j["error"] = "not a readable study";
        return j;
    }
    const int group = IntOf(s.GetAt(L"Study.StudyGroup"), 1);
    j["modality"] = group == 2 ? "Sleep" : "EEG";
    j["study_guid"] = Str(s, L"Study.StudyGUID");
    j["headbox_type"] = IntOf(s.GetAt(L"Headbox.HB0.HBType"), 0);
    j["channels"] = IntOf(s.GetAt(L"Channels.RawCount"), 0);
    const double rate = RealOf(s.GetAt(L"Samples.Frequency"), 0.0);
    j["sample_rate_hz"] = rate;
    j["recorded_seconds"] = rate > 0 ? static_cast<double>(LongLongOf(s.GetAt(L"Samples.Total"), 0)) / rate : 0.0;
    std::error_code ec;
    uintmax_t bytes = 0;
    for (const auto& e : fs::directory_iterator(p.parent_path(), ec))
        if (e.is_regular_file(ec)) bytes += e.file_size(ec);
    j["bytes"] = bytes;
    if (patient)
        j["patient"] = {{"last_name", Str(s, L"Info.Name.LastName")},
                        {"first_name", Str(s, L"Info.Name.FirstName")},
                        {"id", Str(s, L"Info.Admin.ID")}};
    return j;
}

} // namespace

int RunList(const ListOptions& o) {
    std::vector<std::string> studies;
    std::string err;
    if (!FindStudies(o.root, &studies, &err)) {
        std::fprintf(stderr, "skrivo: %s\n", err.c_str());
        return kExitUsage;
    }
    for (const auto& s : studies) {
        if (o.json) std::printf("%s\n", Details(s, o.patient).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        else std::printf("%s\n", s.c_str());
    }
    return kExitOk;
}

} // namespace sk::cli

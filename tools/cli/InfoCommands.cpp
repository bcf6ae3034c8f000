// `skrivo probe` and `skrivo estimate`: what a study holds and how large its
// export will be, without writing anything.

#include <cinttypes>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "Cli.h"
#include "engine/SkrivoEngine.h"
#include "platform/KeyTree.h"
#include "templates/SkrivoTemplate.h"
#include "writer/ExportDetails.h"

namespace sk::cli {

namespace {

std::string Str(const CKeyTree& t, const wchar_t* key) { return Narrow(AsCStr(t.GetAt(key), L"")); }

nlohmann::json Describe(CSkrivoEngine& engine, const CExportDetails& e) {
    const CKeyTree& s = e.GetStudyInfo();
    nlohmann::json j;
    j["study"] = Narrow(e.GetStudyId());
    j["folder"] = Narrow(e.GetStudyFolder());
    j["name"] = Narrow(e.GetStudyName());
    j["patient"] = {{"last_name", Str(s, L"Info.Name.LastName")},
                    {"first_name", Str(s, L"Info.Name.FirstName")},
                    {"id", Str(s, L"Info.Admin.ID")}};
    j["study_guid"] = Str(s, L"Study.StudyGUID");
    const int group = IntOf(s.GetAt(L"Study.StudyGroup"), 1);
    j["study_group"] = group;
    j["modality"] = group == 2 ? "Sleep" : "EEG";
    j["headbox_type"] = IntOf(s.GetAt(L"Headbox.HB0.HBType"), 0);
    j["channels"] = IntOf(s.GetAt(L"Channels.RawCount"), 0);
    const double rate = RealOf(s.GetAt(L"Samples.Frequency"), 0.0);
    j["sample_rate_hz"] = rate;
    const int64_t start = LongLongOf(s.GetAt(L"Samples.Start"), -1);
    const int64_t end = LongLongOf(s.GetAt(L"Samples.End"), -1);
    const int64_t total = LongLongOf(s.GetAt(L"Samples.Total"), 0);
    j["samples"] = {{"start", start}, {"end", end}, {"total", total}};
    j["recorded_seconds"] = rate > 0 ? static_cast<double>(total) / rate : 0.0;
    j["contiguous"] = IntOf(s.GetAt(L"Samples.Contiguous"), 1) != 0;
    j["gap_seconds"] = RealOf(s.GetAt(L"Samples.TotalBreaks"), 0.0);
    j["decimation"] = IntOf(s.GetAt(L"Study.RawDataDecimation"), 1);
    j["has_decimated_data"] = s.GetAt(L"Decimated") != nullptr;
    j["montage"] = Str(s, L"Montage.Name");
    nlohmann::json labels = nlohmann::json::array();
    if (const CItemList* raw = AsItemList(s.GetAt(L"Channels.Raw")))
        for (int i = 0; i < raw->GetCount(); ++i)
            labels.push_back(Narrow(AsCStr(AsKeyTree(raw->GetChild(i)) ? AsKeyTree(raw->GetChild(i))->GetAt(L"Label")
                                                                       : nullptr,
                                           L"")));
    j["channel_labels"] = labels;
    const CSkrivoTemplate* t = e.GetTemplate();
    j["template"] = t ? nlohmann::json{{"name", Narrow(t->GetName())},
                                       {"format", t->GetExportType() == CSkrivoTemplate::FormatEDFPlus ? "EDF+" : "EDF"},
                                       {"exported_channels", t->GetExportedChannelCount()}}
                      : nlohmann::json(nullptr);
    j["estimated_bytes"] = engine.EstimateSize(e.GetStudyId().c_str());
    return j;
}

void PrintReadable(const nlohmann::json& j) {
    auto s = [&](const char* k) { return j[k].is_string() ? j[k].get<std::string>() : j[k].dump(); };
    std::printf("Study            %s\n", s("study").c_str());
    std::printf("Patient          %s, %s (id %s)\n", j["patient"]["last_name"].get<std::string>().c_str(),
                j["patient"]["first_name"].get<std::string>().c_str(), j["patient"]["id"].get<std::string>().c_str());
    std::printf("Study GUID       %s\n", s("study_guid").c_str());
    std::printf("Modality         %s (group %d)\n", s("modality").c_str(), j["study_group"].get<int>());
    std::printf("Headbox type     %d\n", j["headbox_type"].get<int>());
    std::printf("Channels         %d\n", j["channels"].get<int>());
    std::printf("Sample rate      %g Hz\n", j["sample_rate_hz"].get<double>());
    std::printf("Samples          %" PRId64 " .. %" PRId64 " (%" PRId64 " recorded, %s)\n",
                j["samples"]["start"].get<int64_t>(), j["samples"]["end"].get<int64_t>(),
                j["samples"]["total"].get<int64_t>(), HumanSeconds(j["recorded_seconds"].get<double>()).c_str());
    std::printf("Gaps             %s\n",
                j["contiguous"].get<bool>() ? "none" : HumanSeconds(j["gap_seconds"].get<double>()).c_str());
    std::printf("Decimated data   %s\n",
                j["has_decimated_data"].get<bool>() ? ("yes, factor " + std::to_string(j["decimation"].get<int>())).c_str()
                                                    : "no");
    std::printf("Montage          %s\n", s("montage").c_str());
    if (j["template"].is_null()) {
        std::printf("Template         none fits\n");
    } else {
        const std::string name = j["template"]["name"].get<std::string>();
        std::printf("Template         %s, %s, %d channels\n", name.empty() ? "(default)" : name.c_str(),
                    j["template"]["format"].get<std::string>().c_str(), j["template"]["exported_channels"].get<int>());
    }
    const int64_t est = j["estimated_bytes"].get<int64_t>();
    std::printf("Estimated size   %s (%" PRId64 " bytes)\n", HumanBytes(est).c_str(), est);
}

} // namespace

int RunProbe(const ProbeOptions& o) {
    CSkrivoEngine engine;
    LoadTemplateFolders(engine, false);
    std::string err;
    if (!AddStudy(engine, o.study, nullptr, &err)) {
        if (o.json) return PrintJsonResult(kExitFailed, {{"study", o.study}, {"error", err}});
        std::fprintf(stderr, "skrivo: %s: %s\n", o.study.c_str(), err.c_str());
        return kExitFailed;
    }
    const CExportDetails* e = engine.GetExportAt(0);
    nlohmann::json j = Describe(engine, *e);
    if (o.json) {
        j["event"] = "study";
        PrintJsonLine(j);
        return PrintJsonResult(kExitOk, {});
    } else {
        PrintReadable(j);
        if (o.tree) std::printf("\n%s\n", Narrow(e->GetStudyInfo().ToIndentString(0, 1)).c_str());
    }
    return kExitOk;
}

int RunEstimate(const EstimateOptions& o) {
    CSkrivoEngine engine;
    LoadTemplateFolders(engine, false);
    CSkrivoTemplate* base = nullptr;
    std::string err;
    if (!o.templateRef.empty() && !(base = ResolveTemplate(engine, o.templateRef, &err))) {
        std::fprintf(stderr, "skrivo: %s\n", err.c_str());
        return o.json ? PrintJsonResult(kExitUsage, {{"error", err}}) : kExitUsage;
    }
    if (!o.overrides.montage.empty() && !MontageExists(engine, o.overrides.montage)) {
        err = DamagedMontageFile(o.overrides.montage);
        const int exit = err.empty() ? kExitUsage : kExitFailed;
        if (err.empty()) err = "no montage named \"" + o.overrides.montage + "\"";
        std::fprintf(stderr, "skrivo: %s\n", err.c_str());
        return o.json ? PrintJsonResult(exit, {{"error", err}}) : exit;
    }
    int status = kExitOk;
    int64_t sum = 0;
    for (const auto& study : o.studies) {
        nlohmann::json j = {{"event", "estimate"}, {"study", study}};
        int64_t bytes = -1;
        std::vector<std::wstring> notices;
        const std::wstring id = Widen(study);
        if (!AddStudy(engine, study, base, &err)) {
            j["error"] = err;
        } else if (CSkrivoTemplate* t = engine.GetTemplate(id.c_str());
                   t && !ApplyOverrides(*t, o.overrides,
                                        &engine.GetExportAt(engine.GetExportCount() - 1)->GetStudyInfo(), engine,
                                        &err)) {
            j["error"] = err;
        } else if (std::wstring why; (bytes = engine.EstimateSize(id.c_str(), &why, &notices)) < 0) {
            j["error"] = "no estimate: " + Narrow(why);
        }
        if (j.contains("error")) {
            status = kExitFailed;
            if (!o.json) std::fprintf(stderr, "skrivo: %s: %s\n", study.c_str(), j["error"].get<std::string>().c_str());
        } else {
            j["bytes"] = bytes;
            sum += bytes;
            // What the export will note, said before it runs (the size
            // depends on it).
            for (const auto& n : notices) j["notices"].push_back(Narrow(n));
            if (!o.json) {
                std::printf("%-40s %12" PRId64 " bytes  %s\n", study.c_str(), bytes, HumanBytes(bytes).c_str());
                for (const auto& n : notices) std::printf("  note: %s\n", Narrow(n).c_str());
            }
        }
        if (o.json) PrintJsonLine(j);
    }
    if (o.json) return PrintJsonResult(status, {{"total_bytes", sum}});
    if (o.studies.size() > 1)
        std::printf("%-40s %12" PRId64 " bytes  %s\n", "total", sum, HumanBytes(sum).c_str());
    return status;
}

} // namespace sk::cli

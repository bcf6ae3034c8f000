// `skrivo templates list|show|new|edit|delete` over the template folders.

#include <cstdio>
#include <nlohmann/json.hpp>

#include "Cli.h"
#include "EditorGlue.h"
#include "engine/SkrivoEngine.h"
#include "platform/Path.h"
#include "platform/TextConv.h"
#include "platform/appcommon/SettingsDirs.h"
#include "templates/SkrivoTemplateManager.h"

namespace sk::cli {

namespace {

const char* ChannelsText(CSkrivoTemplate::ChannelDefinition d) {
    switch (d) {
    case CSkrivoTemplate::ChannelsAcquisitionMontage: return "acquisition montage";
    case CSkrivoTemplate::ChannelsMontage: return "montage";
    default: return "raw data";
    }
}

nlohmann::json Summary(const CSkrivoTemplate& t) {
    return {{"name", Narrow(t.GetName())},
            {"modality", Narrow(t.GetModality())},
            {"headbox_type", t.GetHeadboxType()},
            {"format", t.GetExportType() == CSkrivoTemplate::FormatEDFPlus ? "EDF+" : "EDF"},
            {"extension", Narrow(t.GetExtension())},
            {"channels", ChannelsText(t.GetChannelDefinition())},
            {"exported_channels", t.GetExportedChannelCount()},
            {"pad_gaps", t.GetFillGaps()},
            {"deidentify", t.GetDeidentify()},
            {"trigger_events", t.GetExportTrigger()},
            {"patient_events", t.GetExportPatientEvent()},
            {"decimated", t.GetExportDecimatedData()},
            {"max_size", t.GetSpatialMaximum()},
            {"max_duration", t.GetTemporalMaximum()},
            {"file", Narrow(AsCStr(t.GetAt(L"FileName"), L""))}};
}

CSkrivoTemplate* FindStored(CSkrivoTemplateManager& m, const std::wstring& name) {
    for (const wchar_t* modality : {L"EEG", L"Sleep"})
        if (CSkrivoTemplate* t = m.GetItem(modality, name)) return t;
    return nullptr;
}

} // namespace

int RunTemplates(const TemplatesOptions& o) {
    CSkrivoEngine engine;
    LoadTemplateFolders(engine, o.action == "new" || o.action == "edit");
    CSkrivoTemplateManager& m = *engine.GetTemplateManager();
    const std::wstring name = Widen(o.name);

    if (o.action == "list") {
        nlohmann::json arr = nlohmann::json::array();
        for (const wchar_t* modality : {L"EEG", L"Sleep"})
            for (unsigned i = 0; i < m.GetCount(modality); ++i)
                if (const CSkrivoTemplate* t = m.GetItem(modality, static_cast<int>(i))) arr.push_back(Summary(*t));
        if (o.json) {
            for (auto& j : arr) {
                j["event"] = "template";
                PrintJsonLine(j);
            }
            return PrintJsonResult(kExitOk, {{"templates", arr.size()}});
        } else if (arr.empty()) {
            // The folders that were looked in, whether they exist or not.
            std::printf("no stored templates in %s, %s, %s or %s\n"
                        "(create one with: skrivo templates new NAME)\n",
                        Narrow(GetUserSettingsDir(false)).c_str(), Narrow(GetUserSettingsSleepDir(false)).c_str(),
                        Narrow(GetAppSettingsDirByStudyMode(false, STUDY_MODE_EEG)).c_str(),
                        Narrow(GetAppSettingsDirByStudyMode(false, STUDY_MODE_SLEEP)).c_str());
        } else {
            std::printf("%-24s %-6s %-7s %-5s %-20s %s\n", "NAME", "MODE", "HEADBOX", "FMT", "CHANNELS", "FILE");
            for (const auto& j : arr)
                std::printf("%-24s %-6s %-7d %-5s %-20s %s\n", j["name"].get<std::string>().c_str(),
                            j["modality"].get<std::string>().c_str(), j["headbox_type"].get<int>(),
                            j["format"].get<std::string>().c_str(),
                            (j["channels"].get<std::string>() + " (" + std::to_string(j["exported_channels"].get<int>()) + ")").c_str(),
                            j["file"].get<std::string>().c_str());
        }
        return kExitOk;
    }

    if (o.action == "show") {
        CSkrivoTemplate* t = FindStored(m, name);
        if (!t) {
            const std::string err = "no stored template named \"" + o.name + "\"";
            std::fprintf(stderr, "skrivo: %s\n", err.c_str());
            return o.json ? PrintJsonResult(kExitFailed, {{"error", err}}) : kExitFailed;
        }
        if (o.json) {
            nlohmann::json j = Summary(*t);
            j["event"] = "template";
            PrintJsonLine(j);
            return PrintJsonResult(kExitOk, {});
        }
        std::printf("%s\n", Narrow(t->ToIndentString(0, 1)).c_str());
        return kExitOk;
    }

    if (o.action == "new") {
        if (name.empty()) {
            std::fprintf(stderr, "skrivo: a template needs a name\n");
            return kExitUsage;
        }
        const bool sleep = sk::EqualsIgnoreCase(Widen(o.modality), L"Sleep");
        if (!sleep && !sk::EqualsIgnoreCase(Widen(o.modality), L"EEG")) {
            std::fprintf(stderr, "skrivo: unknown modality \"%s\" (use EEG or Sleep)\n", o.modality.c_str());
            return kExitUsage;
        }
        if (o.headbox < 1 || o.headbox > 27) {
            std::fprintf(stderr, "skrivo: headbox type must be 1..27\n");
            return kExitUsage;
        }
        CSkrivoTemplate* t = m.CreateDefault(sleep ? 2 : 1, o.headbox);
        t->SetName(name);
        std::string err;
        if (!ApplyOverrides(*t, o.overrides, nullptr, engine, &err)) {
            std::fprintf(stderr, "skrivo: %s\n", err.c_str());
            return kExitUsage;
        }
        const uint32_t rc = static_cast<uint32_t>(m.Save(t, o.force));
        if (rc == static_cast<uint32_t>(CSkrivoTemplateManager::kFileExists)) {
            std::fprintf(stderr, "skrivo: a template named \"%s\" exists already (use --force to replace it)\n",
                         o.name.c_str());
            return kExitFailed;
        }
        if (rc != 0) {
            std::fprintf(stderr, "skrivo: cannot save the template (0x%08X) in %s\n", rc,
                         Narrow(m.GetFolder(sleep ? L"Sleep" : L"EEG")).c_str());
            return kExitFailed;
        }
        std::printf("saved template \"%s\" in %s\n", o.name.c_str(), Narrow(m.GetFolder(sleep ? L"Sleep" : L"EEG")).c_str());
        return kExitOk;
    }

    if (o.action == "edit") {
        CSkrivoTemplate* stored = nullptr;
        if (o.editModality.empty()) stored = FindStored(m, name);
        else stored = m.GetItem(sk::EqualsIgnoreCase(Widen(o.editModality), L"Sleep") ? L"Sleep" : L"EEG", name);
        if (!stored) {
            std::fprintf(stderr, "skrivo: no stored template named \"%s\"\n", o.name.c_str());
            return kExitFailed;
        }
        std::string why;
        if (!EditorReady(&why)) {
            std::fprintf(stderr, "skrivo: %s\n", why.c_str());
            return kExitFailed;
        }
        // The editor works on a copy: the stored template changes only when
        // the copy is saved over it.
        CSkrivoTemplate* t = m.Clone(stored);
        const CKeyTree study = StandInStudy(*t);
        if (m.Edit(t, &study, nullptr) != 0) {
            // The sheet's own Save may have written the file already; that
            // stays as it is.
            std::fprintf(stderr, "skrivo: the editor was closed without OK; template \"%s\" is kept as stored\n",
                         o.name.c_str());
            return kExitFailed;
        }
        const uint32_t rc = static_cast<uint32_t>(m.Save(t, true));
        const std::string folder = Narrow(m.GetFolder(t->GetModality()));
        if (rc != 0) {
            std::fprintf(stderr, "skrivo: cannot save the template (0x%08X) in %s\n", rc, folder.c_str());
            return kExitFailed;
        }
        std::printf("saved template \"%s\" in %s\n", Narrow(t->GetName()).c_str(), folder.c_str());
        return kExitOk;
    }

    if (o.action == "delete") {
        CSkrivoTemplate* t = FindStored(m, name);
        if (!t) {
            std::fprintf(stderr, "skrivo: no stored template named \"%s\"\n", o.name.c_str());
            return kExitFailed;
        }
        const uint32_t rc = static_cast<uint32_t>(m.Delete(t));
        if (rc != 0) {
            std::fprintf(stderr, "skrivo: cannot delete template \"%s\" (0x%08X)\n", o.name.c_str(), rc);
            return kExitFailed;
        }
        std::printf("deleted template \"%s\"\n", o.name.c_str());
        return kExitOk;
    }
    std::fprintf(stderr, "skrivo: unknown templates action \"%s\"\n", o.action.c_str());
    return kExitUsage;
}

} // namespace sk::cli

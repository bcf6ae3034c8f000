// Helpers shared by the commands: text conversion, template folders and
// choice, adding studies with the engine's reason for a refusal, and the
// files an export wrote.

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "Cli.h"
#include "engine/SkrivoEngine.h"
#include "platform/Log.h"
#include "platform/Path.h"
#include "platform/TextConv.h"
#include "platform/appcommon/SettingsDirs.h"
#include "platform/recording/Montage.h"
#include "templates/MontageLibrarian.h"
#include "templates/SkrivoTemplateManager.h"

namespace sk::cli {

// Arguments are bytes as the shell passed them, whatever the locale: UTF-8
// text decodes, and bytes that are not UTF-8 survive as the path layer's
// escapes, so a folder with any name can be opened.
std::wstring Widen(const std::string& utf8) { return sk::path::FromNative(utf8); }
std::string Narrow(const std::wstring& wide) { return sk::ToUtf8Lossy(wide); }

void LoadTemplateFolders(CSkrivoEngine& engine, bool createUserFolders) {
    CSkrivoTemplateManager& m = *engine.GetTemplateManager();
    if (createUserFolders) {
        sk::path::CreateDirectories(GetUserSettingsDir(false));
        sk::path::CreateDirectories(GetUserSettingsSleepDir(false));
    }
    // Missing folders are normal (nothing installed yet); Load says so by its
    // result and changes nothing.
    m.Load(L"EEG", GetAppSettingsDirByStudyMode(false, STUDY_MODE_EEG));
    m.Load(L"Sleep", GetAppSettingsDirByStudyMode(false, STUDY_MODE_SLEEP));
    m.Load(L"EEG", GetUserSettingsDir(false));
    m.Load(L"Sleep", GetUserSettingsSleepDir(false));
}

CSkrivoTemplate* ResolveTemplate(CSkrivoEngine& engine, const std::string& ref, std::string* error) {
    CSkrivoTemplateManager& m = *engine.GetTemplateManager();
    const std::wstring wref = Widen(ref);
    const bool looksLikeFile = sk::EqualsIgnoreCase(sk::path::ExtensionPart(wref), L".exp");
    if (looksLikeFile || sk::path::IsRegularFile(wref)) {
        CKeyTree tree;
        if (!sk::path::IsRegularFile(wref)) {
            *error = "template file not found: " + ref;
            return nullptr;
        }
        if (!tree.BinLoad(wref)) {
            *error = "not a readable template file: " + ref;
            return nullptr;
        }
        CSkrivoTemplate* t = m.CreateDefault();
        t->Load(tree);
        return t;
    }
    for (const wchar_t* modality : {L"EEG", L"Sleep"})
        if (CSkrivoTemplate* t = m.GetItem(modality, wref)) return t;
    *error = "no stored template named \"" + ref + "\" (see `skrivo templates list`)";
    return nullptr;
}

bool ApplyOverrides(CSkrivoTemplate& t, const TemplateOverrides& o, const CKeyTree* study, CSkrivoEngine& engine,
                    std::string* error) {
    if (!o.format.empty()) {
        std::string f = o.format;
        std::transform(f.begin(), f.end(), f.begin(), [](unsigned char c) { return std::tolower(c); });
        if (f == "edf") t.SetExportType(CSkrivoTemplate::FormatEDF);
        else if (f == "edf+") t.SetExportType(CSkrivoTemplate::FormatEDFPlus);
        else {
            *error = "unknown format \"" + o.format + "\" (use edf or edf+)";
            return false;
        }
    }
    if (o.padGaps) t.SetFillGaps(o.padGaps > 0);
    if (o.splitAtGaps) t.SetAt(L"SplitAtGaps", int32_t{o.splitAtGaps > 0 ? 1 : 0});
    if (o.deidentify) t.SetDeidentify(o.deidentify > 0);
    if (o.events) {
        t.SetExportTrigger(o.events > 0);
        t.SetExportPatientEvent(o.events > 0);
    }
    if (o.decimated) t.SetExportDecimatedData(o.decimated > 0);
    if (o.maxSize) {
        if (*o.maxSize < 0) {
            *error = "--max-size must not be negative";
            return false;
        }
        t.SetSpatialMaximum(*o.maxSize);
    }
    if (o.maxDuration) {
        if (*o.maxDuration < 0) {
            *error = "--max-duration must not be negative";
            return false;
        }
        t.SetTemporalMaximum(*o.maxDuration);
    }
    if (!o.extension.empty()) t.SetExtension(Widen(o.extension));
    if (!o.montage.empty()) {
        const int hb = study ? IntOf(study->GetAt(L"Headbox.HB0.HBType"), 0) : t.GetHeadboxType();
        const bool sleep = study ? IntOf(study->GetAt(L"Study.StudyGroup"), 1) == 2 : t.GetModality() == L"Sleep";
        std::vector<CMontage*> montages;
        engine.GetTemplateManager()->GetMontageLibrarian().GetMontages(sleep, hb, montages);
        const std::wstring wanted = Widen(o.montage);
        const CMontage* found = nullptr;
        for (const CMontage* mtg : montages)
            if (mtg && sk::EqualsIgnoreCase(mtg->GetMontageName(), wanted)) {
                found = mtg;
                break;
            }
        if (!found) {
            *error = DamagedMontageFile(o.montage);
            if (error->empty())
                *error = "no montage named \"" + o.montage + "\" for headbox type " + std::to_string(hb);
            return false;
        }
        auto* tree = new CKeyTree;
        found->Save(*tree);
        t.SetChannelDefinition(CSkrivoTemplate::ChannelsMontage, study);
        t.SetMontage(tree, study);
    }
    return true;
}

bool AddStudy(CSkrivoEngine& engine, const std::string& path, CSkrivoTemplate* base, std::string* error) {
    const std::wstring wpath = Widen(path);
    CSkrivoTemplate* tmpl = base ? engine.GetTemplateManager()->Clone(base) : nullptr;
    sk::LogCapture log;
    if (engine.AddExport(wpath.c_str(), wpath.c_str(), tmpl)) return true;
    // The engine tells why through its log; its last error line is the reason.
    std::wstring reason;
    for (const auto& msg : log.Messages())
        if (msg.level == 8) reason = msg.text;
    const size_t dash = reason.find(L" - ");
    if (dash != std::wstring::npos) reason = reason.substr(dash + 3);
    *error = reason.empty() ? std::string("not a readable study") : Narrow(reason);
    return false;
}

std::string HumanBytes(int64_t bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024.0 && u < 4) {
        v /= 1024.0;
        ++u;
    }
    char buf[32];
    if (u == 0) std::snprintf(buf, sizeof buf, "%" PRId64 " B", bytes);
    else std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}

std::string HumanSeconds(double seconds) {
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, seconds, std::chars_format::fixed, 3);
    if (ec != std::errc()) return "? s";
    std::string text(buf, end);
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
    return text + " s";
}

bool MontageExists(CSkrivoEngine& engine, const std::string& name) {
    const std::wstring wanted = Widen(name);
    CMontageLibrarian& librarian = engine.GetTemplateManager()->GetMontageLibrarian();
    for (const bool sleep : {false, true})
        for (int headbox = 1; headbox <= 27; ++headbox) {
            std::vector<CMontage*> montages;
            librarian.GetMontages(sleep, headbox, montages);
            for (const CMontage* m : montages)
                if (m && sk::EqualsIgnoreCase(m->GetMontageName(), wanted)) return true;
        }
    return false;
}

std::string DamagedMontageFile(const std::string& name) {
    const std::wstring folders[] = {GetUserSettingsDir(true), GetUserSettingsSleepDir(true),
                                    GetAppSettingsDirByStudyMode(true, STUDY_MODE_EEG),
                                    GetAppSettingsDirByStudyMode(true, STUDY_MODE_SLEEP)};
    for (const std::wstring& folder : folders) {
        const std::wstring file = sk::path::FindIgnoringCase(folder, Widen(name) + L".mtg");
        if (file.empty()) continue;
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(std::filesystem::path(Narrow(file)), ec);
        std::string fault;
        CKeyTree tree;
        if (ec)
            fault = "montage file cannot be read: " + ec.message();
        else if (bytes == 0)
            fault = "montage file is empty";
        else if (!tree.BinLoad(file))
            fault = "montage file is damaged: its data cannot be read (truncated or overwritten)";
        else if (CMontage m(0); m.Load(&tree) != 0)
            fault = "montage file is damaged: what it holds is not a montage (missing or mistyped derivations)";
        if (!fault.empty()) return Narrow(file) + ": " + fault;
    }
    return "";
}

void PrintJsonLine(const nlohmann::json& line) { std::printf("%s\n", line.dump().c_str()); }

int PrintJsonResult(int exit, const nlohmann::json& fields) {
    nlohmann::json line = {{"event", "result"}, {"ok", exit == kExitOk}, {"exit", exit}};
    if (fields.is_object()) line.update(fields);
    PrintJsonLine(line);
    return exit;
}

} // namespace sk::cli

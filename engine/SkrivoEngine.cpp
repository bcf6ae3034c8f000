#include "engine/SkrivoEngine.h"

#include <algorithm>
#include <exception>
#include <map>

#include "engine/SkrivoEngineImpl.h"
#include "engine/TemplateSelection.h"
#include "module/RegSetup.h"
#include "platform/Log.h"
#include "platform/Path.h"
#include "platform/TextConv.h"
#include "platform/recording/ExportToEDF.h"
#include "templates/SkrivoTemplate.h"
#include "writer/Skrivoer.h"

namespace {

constexpr const wchar_t* kSettingsKey = L"Software\\Corvane\\Ostra\\EDF";

const wchar_t* Safe(const wchar_t* s) { return s ? s : L""; }

// What tells two entries' studies apart: the normalised folder and the name.
std::wstring StudyKey(const std::wstring& folder, const std::wstring& name) {
    return sk::path::Normalize(folder.empty() ? L"." : folder) + L"/" + name;
}

// Reads the six engine settings; a missing or mistyped value is written back
// with its default when the key is writable (RegSetup does that).
void ReadSettings(CKeyTree& settings) {
    RegSetup reg(sk::HKEY_LOCAL_MACHINE, kSettingsKey, false);
    settings.AddKey(L"Extension", reg.ReadString(L"Extension", CExportToEDF::szExtensionDefault));
    settings.AddKey(L"BreakQueryLimit",
                    static_cast<int32_t>(reg.ReadDWORD(
                        L"BreakQueryLimit", static_cast<uint32_t>(CExportToEDF::nBreakQueryLimitDefault))));
    const auto flag = [&](const wchar_t* name, bool def) {
        settings.AddKey(name, static_cast<int32_t>(reg.ReadBool(name, def) ? 1 : 0));
    };
    flag(L"MaximizeEDFRecordSize", CExportToEDF::bMaximizeEDFRecordSizeDefault);
    flag(L"UseEDFDurationLimit", CExportToEDF::bUseEDFDurationLimitDefault);
    flag(L"AllowEFormat", CExportToEDF::bAllowEFormatDefault);
    flag(L"InvertACChannels", CExportToEDF::bInvertACChannelsDefault);
}

} // namespace

CExportDetails* CSkrivoEngine::Impl::Find(const wchar_t* studyId, const wchar_t* caller) const {
    const std::wstring id = Safe(studyId);
    for (const auto& e : list)
        if (e->GetStudyId() == id) return e.get();
    if (caller) SKLOG(8, L"CSkrivoEngine::%s - export study not found.", caller);
    return nullptr;
}

bool CSkrivoEngine::Impl::Busy(const wchar_t* caller) const {
    if (!exporting.load()) return false;
    SKLOG(8, L"CSkrivoEngine::%s - export in progress.", caller);
    return true;
}

bool CSkrivoEngine::Impl::Listed(const std::wstring& id, const std::wstring& folder) const {
    for (const auto& e : list) {
        if (sk::EqualsIgnoreCase(id, e->GetStudyId()) || sk::EqualsIgnoreCase(folder, e->GetStudyFolder())) {
            SKLOG(8, L"CSkrivoEngine::AddExport - %s not added because it is already in the export list.", id.c_str());
            return true;
        }
    }
    return false;
}

CSkrivoEngine::CSkrivoEngine() : m(std::make_unique<Impl>()) {
    SetNumParallelExports(4);
    ReadSettings(m->settings);
}

CSkrivoEngine::~CSkrivoEngine() {
    // A running export is not cancelled: the host asked for it and gets it.
    if (m->monitor) {
        m->monitor->Join(sk::kInfinite);
        m->monitor.reset();
    }
}

bool CSkrivoEngine::AddExportEntry(CExportDetails* entry) {
    std::unique_ptr<CExportDetails> owned(entry);
    if (!owned || m->Busy(L"AddExport")) return false;
    sk::CriticalSectionLock lock(m->listLock);
    if (m->Listed(owned->GetStudyId(), owned->GetStudyFolder())) return false;
    m->list.push_back(std::move(owned));
    return true;
}

bool CSkrivoEngine::AddExport(const wchar_t* studyId, const wchar_t* path, CSkrivoTemplate* tmpl) {
    if (m->Busy(L"AddExport")) return false;
    const std::wstring id = Safe(studyId);
    const std::wstring where = Safe(path);
    {
        sk::CriticalSectionLock lock(m->listLock);
        if (m->Listed(id, where)) return false;
    }
    if (where.empty() || !sk::path::Exists(where)) {
        SKLOG(8, L"CSkrivoEngine::AddExport - could not find study at %s", where.c_str());
        return false;
    }

    std::wstring folder;
    std::wstring name;
    if (sk::path::IsDirectory(where)) {
        folder = where;
        const std::vector<std::wstring> found = sk::path::FindFiles(where, L"*.eeg");
        if (found.empty()) {
            SKLOG(8, L"CSkrivoEngine::AddExport - could not find .EEG file in study in %s",
                  sk::path::Combine(where, L"*.eeg").c_str());
            return false;
        }
        name = sk::path::StemPart(found.front());
    } else {
        // The file may have gone since the test above (another process).
        if (!sk::path::Exists(where)) {
            SKLOG(8, L"CSkrivoEngine::AddExport - could not find file %s", where.c_str());
            return false;
        }
        if (!sk::path::IsRegularFile(where)) {
            SKLOG(8, L"CSkrivoEngine::AddExport - %s is neither a study folder nor a study file", where.c_str());
            return false;
        }
        folder = sk::path::FolderPart(where);
        if (folder.empty()) folder = L".";
        if (folder.back() != L'/' && folder.back() != L'\\') folder += L'/';
        name = sk::path::StemPart(where);
    }

    // One study however it was spelled ("s1", "s1/", "s1/S1.EEG", a link).
    const std::wstring key = StudyKey(folder, name);
    {
        sk::CriticalSectionLock lock(m->listLock);
        for (const auto& e : m->list) {
            if (StudyKey(e->GetStudyFolder(), e->GetStudyName()) == key) {
                SKLOG(8, L"CSkrivoEngine::AddExport - %s not added because it is already in the export list as %s.",
                      id.c_str(), e->GetStudyId().c_str());
                return false;
            }
        }
    }

    CKeyTree study;
    if (!CSkrivoer::ProbeStudy(folder, name, &study)) return false;
    if (!study.GetAt(L"Files.EEG")) {
        SKLOG(8, L"CSkrivoEngine::AddExport - %s is not a study: no %s.EEG file", where.c_str(), name.c_str());
        return false;
    }

    // Study folders come from case-insensitive file systems.
    const std::wstring decimated = sk::path::FindIgnoringCase(folder, L"Decimated");
    if (!decimated.empty() && sk::path::IsDirectory(decimated)) {
        CKeyTree dec;
        CSkrivoer::ProbeStudy(decimated + L"/", name, &dec); // whatever it produced is kept
        study.AddKey(L"Decimated", new CKeyTree(std::move(dec)));
    }

    CSkrivoTemplate* bound = tmpl ? sk::engine::UpdateTemplate(m->manager, tmpl, &study)
                                  : sk::engine::FindTemplateForStudy(m->manager, &study);

    auto entry = std::make_unique<CExportDetails>(id, folder, name, bound);
    entry->GetStudyInfo().Swap(study);
    sk::CriticalSectionLock lock(m->listLock);
    m->list.push_back(std::move(entry));
    return true;
}

bool CSkrivoEngine::SetTemplate(const wchar_t* studyId, CSkrivoTemplate* tmpl, bool reset) {
    if (m->Busy(L"SetTemplate")) return false;
    sk::CriticalSectionLock lock(m->listLock);
    CExportDetails* e = m->Find(studyId, L"SetTemplate");
    if (!e) return false;
    if (!tmpl) {
        SKLOG(8, L"CSkrivoEngine::SetTemplate - no template given.");
        return false;
    }
    const CKeyTree* study = &e->GetStudyInfo();
    if (reset) {
        tmpl->SetHeadboxType(sk::engine::StudyHeadboxType(study));
        tmpl->SetModality(sk::engine::MatchModality(sk::engine::StudyGroup(study)));
        tmpl->SetChannelDefinition(CSkrivoTemplate::ChannelsRawData, study);
    }
    e->SetTemplate(sk::engine::UpdateTemplate(m->manager, tmpl, study));
    return true;
}

CSkrivoTemplate* CSkrivoEngine::GetTemplate(const wchar_t* studyId) {
    if (m->Busy(L"GetTemplate")) return nullptr;
    sk::CriticalSectionLock lock(m->listLock);
    CExportDetails* e = m->Find(studyId, L"GetTemplate");
    if (!e) return nullptr;
    return e->GetTemplate();
}

const CItem* CSkrivoEngine::GetStudyInfo(const wchar_t* studyId, const wchar_t* key) {
    if (m->Busy(L"GetStudyInfo")) return nullptr;
    sk::CriticalSectionLock lock(m->listLock);
    CExportDetails* e = m->Find(studyId, L"GetStudyInfo");
    if (!e) return nullptr;
    if (!key) return nullptr;
    return e->GetStudyInfo().GetAt(key);
}

int64_t CSkrivoEngine::EstimateSize(const wchar_t* studyId) { return EstimateSize(studyId, nullptr); }

int64_t CSkrivoEngine::EstimateSize(const wchar_t* studyId, std::wstring* why, std::vector<std::wstring>* notices) {
    auto refuse = [&](const wchar_t* text) {
        if (why) *why = text;
        return int64_t{-1};
    };
    if (m->Busy(L"EstimateSize")) return refuse(L"export in progress");
    CExportDetails* e = nullptr;
    {
        sk::CriticalSectionLock lock(m->listLock);
        e = m->Find(studyId, L"EstimateSize");
    }
    if (!e) return refuse(L"study not in the export list");
    const CSkrivoTemplate* t = e->GetTemplate();
    if (!t) {
        SKLOG(8, L"CSkrivoEngine::EstimateSize - template not found.");
        return refuse(L"no template fits this study");
    }
    // The writer's own layout and record walk: the estimate is the size the
    // export writes, whatever the template's channel source, splits or gaps.
    CSkrivoer writer(e->GetStudyInfo(), t->GetKeyTree(), std::wstring());
    const std::vector<int64_t> sizes = writer.PlanFileSizes();
    if (sizes.empty()) {
        SKLOG(8, L"CSkrivoEngine::EstimateSize - nothing would be written: %s", writer.GetLastErrorText().c_str());
        return refuse(writer.GetLastErrorText().c_str());
    }
    if (notices) *notices = writer.GetNotices();
    int64_t bytes = 0;
    for (int64_t s : sizes) bytes += s;
    return bytes;
}

void CSkrivoEngine::GetTemplatesForStudy(const wchar_t* studyId, std::vector<CSkrivoTemplate*>& out) {
    if (m->Busy(L"GetTemplatesForStudy")) return;
    sk::CriticalSectionLock lock(m->listLock);
    CExportDetails* e = m->Find(studyId, L"GetTemplatesForStudy");
    if (!e) return;
    const CKeyTree* study = &e->GetStudyInfo();
    const int hbType = sk::engine::StudyHeadboxType(study);
    const CSkrivoTemplate* current = e->GetTemplate();
    if (hbType == 0) {
        SKLOG(8, L"CSkrivoEngine::GetTemplatesForStudy - study has unknown headbox type.");
        return;
    }
    const std::wstring modality = sk::engine::MatchModality(sk::engine::StudyGroup(study));
    const unsigned count = m->manager.GetCount(modality);
    for (unsigned i = 0; i < count; ++i) {
        CSkrivoTemplate* t = m->manager.GetItem(modality, static_cast<int>(i));
        if (!t || t->GetHeadboxType() != hbType) continue;
        if (current && current->IsInstance() && m->manager.IsCloneOf(current, t)) continue;
        if (sk::engine::IsMatchForStudy(t, study)) out.push_back(t);
    }
}

bool CSkrivoEngine::EditTemplate(const wchar_t* studyId, CWnd* parent) {
    if (m->Busy(L"EditTemplate")) return false;
    CExportDetails* e = m->Find(studyId, L"EditTemplate");
    if (!e) return false;
    CSkrivoTemplate* source = e->GetTemplate();
    CSkrivoTemplate* clone = source ? m->manager.Clone(source)
                                    : m->manager.CreateDefault(sk::engine::StudyGroup(&e->GetStudyInfo()),
                                                               sk::engine::StudyHeadboxType(&e->GetStudyInfo()));
    if (!clone) return false;
    if (m->manager.Edit(clone, &e->GetStudyInfo(), parent) != 0) return false;
    return SetTemplate(studyId, clone, false);
}

void CSkrivoEngine::Export(const wchar_t* outputFolder, ISkrivoProgress* progress, bool rememberTemplates) {
    if (m->exporting.load()) {
        SKLOG(8, L"CSkrivoEngine::Export - export already in progress.");
        return;
    }
    m->progress = progress;
    size_t workers = 0;
    {
        sk::CriticalSectionLock lock(m->listLock);
        const std::wstring folder = Safe(outputFolder);
        // Two entries that would write one output file: the later one is
        // refused before any file is opened.
        std::map<std::wstring, const CExportDetails*> outputs;
        for (auto& e : m->list) {
            e->SetOutputFolder(folder);
            e->SetOverwrite(m->overwrite);
            if (!e->GetTemplate()) continue;
            CSkrivoer writer(e->GetStudyInfo(), e->GetTemplate()->GetKeyTree(), folder);
            const std::wstring path = sk::path::Normalize(writer.GetOutputPath(e->GetStudyName()));
            auto [it, added] = outputs.emplace(path, e.get());
            if (!added)
                e->SetRefusal(path + L": output file is also the output of study " + it->second->GetStudyId());
            if (rememberTemplates && e->GetTemplate()) {
                const CKeyTree* study = &e->GetStudyInfo();
                m->manager.SetLastUsed(sk::engine::StudyHeadboxType(study), sk::engine::StudyGroup(study),
                                       e->GetTemplate());
            }
        }
        workers = std::min(m->list.size(), static_cast<size_t>(m->numParallel));
        // Exports that fill every processor between them leave none for
        // work beside them.
        for (auto& e : m->list)
            e->SetSpareProcessor(workers < sk::ProcessorCount());
    }
    m->exporting.store(true);
    m->StartThreads(workers, this);
}

void CSkrivoEngine::SetOverwrite(bool overwrite) {
    if (!m->exporting.load()) m->overwrite = overwrite;
}

void CSkrivoEngine::Cancel() {
    if (!m->exporting.load()) {
        SKLOG(8, L"CSkrivoEngine::Cancel - export not in progress.");
        return;
    }
    m->cancelEvent.Set();
    m->wake.Set();
    if (m->monitor) {
        m->monitor->Join(sk::kInfinite);
        m->monitor.reset();
    }
}

bool CSkrivoEngine::WaitForExport(uint32_t timeoutMs) {
    if (!m->exporting.load() || !m->monitor) return true;
    return m->monitor->Join(timeoutMs) == sk::WaitResult::Signalled;
}

bool CSkrivoEngine::IsDone() {
    if (!m->exporting.load()) return false;
    for (const auto& e : m->list)
        if (!e->IsDone()) return false;
    for (const auto& s : m->slots)
        if (s->hasThread.load()) return false;
    return true;
}

int CSkrivoEngine::SetNumParallelExports(int n) {
    if (m->Busy(L"SetNumParallelExports")) return -1;
    const int cpus = static_cast<int>(sk::ProcessorCount());
    int count = std::min(n, cpus);
    if (count < 1) count = 1;
    while (static_cast<int>(m->slots.size()) > count) m->slots.pop_back();
    while (static_cast<int>(m->slots.size()) < count) m->slots.push_back(std::make_unique<EngineWorkerSlot>());
    m->numParallel = count;
    return count;
}

int CSkrivoEngine::GetNumParallelExports() const { return m->numParallel; }

CSkrivoTemplateManager* CSkrivoEngine::GetTemplateManager() { return &m->manager; }

// A host callback that throws must not take the monitor down with it: the
// monitor is what waits for the workers, so its end would leave them running
// into a destroyed engine. The exception is logged and the export cancelled;
// the monitor then stops the workers and waits for them as on any cancel.
template <class Call>
static void GuardCallback(sk::Event& cancel, const wchar_t* name, Call call) {
    try {
        call();
    } catch (const std::exception& ex) {
        SKLOG(8, L"CSkrivoEngine::%s - host callback threw (%s); export cancelled.", name,
              sk::FromUtf8Lossy(ex.what()).c_str());
        cancel.Set();
    } catch (...) {
        SKLOG(8, L"CSkrivoEngine::%s - host callback threw; export cancelled.", name);
        cancel.Set();
    }
}

void CSkrivoEngine::Fire_OnProgress(const wchar_t* study, const wchar_t* file, float percent) {
    if (m->progress)
        GuardCallback(m->cancelEvent, L"OnProgress", [&] { m->progress->OnProgress(study, file, percent); });
}

void CSkrivoEngine::Fire_OnError(const wchar_t* study, long code, const wchar_t* text) {
    if (m->progress)
        GuardCallback(m->cancelEvent, L"OnError", [&] { m->progress->OnError(study, code, text); });
}

const CKeyTree& CSkrivoEngine::GetSettings() const { return m->settings; }

void CSkrivoEngine::SetExportJob(sk::ExportJob job) {
    if (m->exporting.load()) return;
    m->job = std::move(job);
}

sk::ExportJob CSkrivoEngine::WriterJob() { return sk::engine::RunWriterJob; }

size_t CSkrivoEngine::GetExportCount() const {
    sk::CriticalSectionLock lock(m->listLock);
    return m->list.size();
}

const CExportDetails* CSkrivoEngine::GetExportAt(size_t index) const {
    sk::CriticalSectionLock lock(m->listLock);
    return index < m->list.size() ? m->list[index].get() : nullptr;
}

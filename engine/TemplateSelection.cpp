#include "engine/TemplateSelection.h"

#include "platform/KeyTree.h"
#include "platform/Log.h"
#include "platform/recording/Montage.h"
#include "templates/SkrivoTemplate.h"
#include "templates/SkrivoTemplateManager.h"

namespace sk::engine {

namespace {
constexpr int kMinHeadboxType = 1;
constexpr int kMaxHeadboxType = 27;
} // namespace

std::wstring MatchModality(int studyGroup) { return studyGroup == 2 ? L"Sleep" : L"EEG"; }
std::wstring ChoiceModality(int studyGroup) { return studyGroup == 1 ? L"EEG" : L"Sleep"; }

int StudyHeadboxType(const CKeyTree* study) {
    return study ? IntOf(study->GetAt(L"Headbox.HB0.HBType"), 0) : 0;
}
int StudyGroup(const CKeyTree* study) { return study ? IntOf(study->GetAt(L"Study.StudyGroup"), 1) : 1; }

bool IsMatchForStudy(const CSkrivoTemplate* tmpl, const CKeyTree* study) {
    if (!tmpl || !study) return false;
    const int hbType = StudyHeadboxType(study);
    if (tmpl->GetHeadboxType() != hbType) return false;
    if (tmpl->GetModality() != MatchModality(StudyGroup(study))) return false;
    switch (tmpl->GetChannelDefinition()) {
    case CSkrivoTemplate::ChannelsAcquisitionMontage: {
        CMontage fromTemplate(hbType);
        fromTemplate.Load(AsKeyTree(tmpl->GetAt(CSkrivoTemplate::kMontage)));
        CMontage fromStudy(hbType);
        fromStudy.Load(AsKeyTree(study->GetAt(L"Montage")));
        return fromTemplate.IsMontagingEqual(fromStudy);
    }
    case CSkrivoTemplate::ChannelsRawData: {
        const CItemList* selected = AsItemList(tmpl->GetAt(CSkrivoTemplate::kChannelsSelected));
        const int count = selected ? selected->GetCount() : 0;
        return IntOf(study->GetAt(L"Channels.RawCount"), 0) == count;
    }
    case CSkrivoTemplate::ChannelsMontage:
        // Derivations come from the template's own montage. Without one the
        // export would quietly fall back on the headbox's recording montage,
        // which is not what the template was chosen for.
        return AsKeyTree(tmpl->GetAt(CSkrivoTemplate::kMontage)) != nullptr;
    default:
        return true;
    }
}

CSkrivoTemplate* FindTemplateForStudy(CSkrivoTemplateManager& manager, const CKeyTree* study) {
    const int hbType = StudyHeadboxType(study);
    const int group = StudyGroup(study);
    if (hbType < kMinHeadboxType || hbType > kMaxHeadboxType) return nullptr;

    CSkrivoTemplate* found = nullptr;
    CSkrivoTemplate* last = manager.GetLastUsed(hbType, group);
    if (last && IsMatchForStudy(last, study)) found = last;

    if (!found) {
        const std::wstring modality = ChoiceModality(group);
        const unsigned count = manager.GetCount(modality);
        for (unsigned i = 0; i < count && !found; ++i) {
            CSkrivoTemplate* t = manager.GetItem(modality, static_cast<int>(i));
            if (t && t->GetHeadboxType() == hbType && IsMatchForStudy(t, study)) found = t;
        }
    }
    if (!found) found = manager.CreateDefault(group, hbType);
    if (found && found->IsTemplate()) found = manager.Clone(found);
    return found;
}

CSkrivoTemplate* UpdateTemplate(CSkrivoTemplateManager& manager, CSkrivoTemplate* tmpl,
                                const CKeyTree* study) {
    if (!tmpl) return nullptr;
    CSkrivoTemplate* work = tmpl->IsTemplate() ? manager.Clone(tmpl) : tmpl;
    if (!work || !study) return work;
    if (!IsMatchForStudy(work, study)) {
        switch (work->GetChannelDefinition()) {
        case CSkrivoTemplate::ChannelsRawData:
            work->SetChannelDefinition(CSkrivoTemplate::ChannelsRawData, study);
            break;
        case CSkrivoTemplate::ChannelsAcquisitionMontage: {
            const std::wstring mine = AsCStr(work->GetAt(L"Montage.Name"), L"");
            const std::wstring theirs = AsCStr(study->GetAt(L"Montage.Name"), L"");
            if (mine != theirs) {
                const CKeyTree* studyMontage = AsKeyTree(study->GetAt(L"Montage"));
                work->SetMontage(studyMontage ? new CKeyTree(*studyMontage) : nullptr, study);
            }
            break;
        }
        case CSkrivoTemplate::ChannelsMontage:
        default:
            break;
        }
        if (!IsMatchForStudy(work, study)) {
            // Bound all the same: the host chose it; the record lets support
            // see why the export does not look like the study.
            SK_EVENTLOG_EXCEPTION_CAT(std::wstring(), 3);
        }
    }
    return work;
}

} // namespace sk::engine

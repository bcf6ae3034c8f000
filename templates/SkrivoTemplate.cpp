#include "templates/SkrivoTemplate.h"

#include <memory>

#include "platform/appcommon/HeadboxConfig.h"
#include "platform/recording/Montage.h"
#include "platform/recording/MultipleBOSupport.h"
#include "templates/TextFold.h"

namespace {

const wchar_t* const kRawData = L"RawData";

std::wstring TextOf(const CKeyTree& tree, const wchar_t* key, const wchar_t* fallback)
{
    return AsCStr(tree.GetAt(key), fallback);
}

// The mapper is needed only when the study's channels are spread over
// breakout boxes; otherwise every configuration channel is stored.
bool PrepareBreakoutMapper(const CKeyTree* study, CDataReaderMultipleBOSupport& mapper)
{
    if (!study)
        return false;
    if (IntOf(study->GetAt(L"Headbox.HB0.HBType"), 0) != CDataReaderMultipleBOSupport::kMultiBreakoutHeadboxType)
        return false;
    mapper.setHeadboxType(CDataReaderMultipleBOSupport::kMultiBreakoutHeadboxType,
                          IntOf(study->GetAt(L"Headbox.HB0.Breakouts"), 2), study);
    return true;
}

CKeyTree* NewChannelEntry(const std::wstring& name, int index)
{
    auto* entry = new CKeyTree;
    entry->AddKey(CSkrivoTemplate::kEntryChannel, name);
    entry->AddKey(CSkrivoTemplate::kEntrySelected, int32_t{1});
    entry->AddKey(CSkrivoTemplate::kEntryIndex, int32_t{index});
    return entry;
}

} // namespace

CSkrivoTemplate::CSkrivoTemplate()
{
    SetDefaults();
}

CSkrivoTemplate::CSkrivoTemplate(const CSkrivoTemplate& other)
    : CKeyTree(other), m_isTemplate(other.m_isTemplate)
{
}

CSkrivoTemplate& CSkrivoTemplate::operator=(const CSkrivoTemplate& other)
{
    if (this != &other) {
        CKeyTree::operator=(other);
        m_isTemplate = other.m_isTemplate;
    }
    return *this;
}

CSkrivoTemplate::~CSkrivoTemplate() = default;

void CSkrivoTemplate::SetDefaults()
{
    // The order is part of the file layout that other readers see.
    AddKey(kDeidentify, int32_t{0});
    AddKey(kExportChannels, std::wstring(kRawData));
    AddKey(kExportFormat, std::wstring(L"EDF"));
    AddKey(kExtension, std::wstring(L".edf"));
    AddKey(kHBType, int32_t{0});
    AddKey(kIncludePatientEvent, int32_t{0});
    AddKey(kIncludeTriggerEvent, int32_t{0});
    AddKey(kInvertAC, int32_t{1});
    AddKey(kModality, std::wstring(L"EEG"));
    AddKey(kName, std::wstring());
    AddKey(kPadGaps, int32_t{0});
    AddKey(kSpatialMaximum, int64_t{0});
    AddKey(kTemporalMaximum, int32_t{0});
    AddKey(kUseDecimatedData, int32_t{0});
}

bool CSkrivoTemplate::Load(const CKeyTree& source)
{
    if (&source == static_cast<const CKeyTree*>(this))
        return true;
    Empty();
    Merge(source);
    return true;
}

bool CSkrivoTemplate::Save(CKeyTree& target) const
{
    if (&target != static_cast<const CKeyTree*>(this))
        target.CKeyTree::operator=(*this);
    return true;
}

std::wstring CSkrivoTemplate::GetName() const { return TextOf(*this, kName, L""); }
std::wstring CSkrivoTemplate::GetModality() const { return TextOf(*this, kModality, L"EEG"); }
int CSkrivoTemplate::GetHeadboxType() const { return IntOf(GetAt(kHBType), 0); }
std::wstring CSkrivoTemplate::GetExtension() const { return TextOf(*this, kExtension, L".EDF"); }

CSkrivoTemplate::ExportFormat CSkrivoTemplate::ExportFormatOf(const CKeyTree& tree)
{
    return sk::EqualsNoCase(TextOf(tree, kExportFormat, L"EDF"), L"EDF+") ? FormatEDFPlus : FormatEDF;
}

CSkrivoTemplate::ExportFormat CSkrivoTemplate::GetExportType() const { return ExportFormatOf(*this); }

CSkrivoTemplate::ChannelDefinition CSkrivoTemplate::GetChannelDefinition() const
{
    const std::wstring text = TextOf(*this, kExportChannels, kRawData);
    if (text == L"AcquisitionMontage")
        return ChannelsAcquisitionMontage;
    if (text == L"Montage")
        return ChannelsMontage;
    return ChannelsRawData;
}

bool CSkrivoTemplate::GetInvertAC() const { return IntOf(GetAt(kInvertAC), 1) != 0; }
bool CSkrivoTemplate::GetFillGaps() const { return IntOf(GetAt(kPadGaps), 0) != 0; }
bool CSkrivoTemplate::GetExportDecimatedData() const { return IntOf(GetAt(kUseDecimatedData), 0) != 0; }
bool CSkrivoTemplate::GetDeidentify() const { return IntOf(GetAt(kDeidentify), 0) != 0; }
bool CSkrivoTemplate::GetExportTrigger() const { return IntOf(GetAt(kIncludeTriggerEvent), 0) != 0; }
bool CSkrivoTemplate::GetExportPatientEvent() const { return IntOf(GetAt(kIncludePatientEvent), 0) != 0; }
int64_t CSkrivoTemplate::GetSpatialMaximum() const { return LongLongOf(GetAt(kSpatialMaximum), 0); }
int CSkrivoTemplate::GetTemporalMaximum() const { return IntOf(GetAt(kTemporalMaximum), 0); }

void CSkrivoTemplate::GetMontage(CKeyTree& out) const
{
    if (TextOf(*this, kExportChannels, kRawData) == kRawData) {
        out.Empty();
        return;
    }
    const CKeyTree* montage = AsKeyTree(GetAt(kMontage));
    if (!montage) {
        out.Empty();
        return;
    }
    if (&out == static_cast<const CKeyTree*>(this)) {
        // The source lives inside the target: copy it out first.
        const CKeyTree copy(*montage);
        out = copy;
    } else {
        out = *montage;
    }
}

int CSkrivoTemplate::GetTotalChannelCount() const
{
    const wchar_t* path = TextOf(*this, kExportChannels, kRawData) == kRawData
                              ? kChannelsSelected
                              : L"Montage.Channels";
    const CItemList* list = AsItemList(GetAt(path));
    return list ? list->GetCount() : 0;
}

int CSkrivoTemplate::GetExportedChannelCount() const
{
    const CItemList* list = AsItemList(GetAt(kChannelsSelected));
    if (!list)
        return 0;
    int count = 0;
    for (int i = 0; i < list->GetCount(); ++i) {
        const CKeyTree* entry = AsKeyTree(list->GetChild(i));
        if (entry && IntOf(entry->GetAt(kEntrySelected), 0) != 0)
            ++count;
    }
    return count;
}

void CSkrivoTemplate::ReplaceKey(const wchar_t* key, CItem* item)
{
    std::unique_ptr<CItem> owned(item);
    const std::wstring path(key);
    // A hand-edited file may hold the name twice; every copy goes, so the key
    // ends up with exactly one item of the setter's type.
    while (DeleteKey(path)) {
    }
    // A dotted key needs a tree as its parent; anything else in the way goes.
    const auto dot = path.find(L'.');
    if (dot != std::wstring::npos) {
        const std::wstring parent = path.substr(0, dot);
        const CItem* existing = GetAt(parent);
        if (existing && !AsKeyTree(existing)) {
            while (DeleteKey(parent)) {
            }
        }
    }
    AddKey(path, owned.release());
}

void CSkrivoTemplate::SetName(const std::wstring& name) { ReplaceKey(kName, new CLstring(name)); }

void CSkrivoTemplate::SetModality(const std::wstring& modality)
{
    ReplaceKey(kModality, new CLstring(sk::EqualsNoCase(modality, L"Sleep") ? L"Sleep" : L"EEG"));
}

void CSkrivoTemplate::SetHeadboxType(int headboxType) { ReplaceKey(kHBType, new CLinteger(headboxType)); }

void CSkrivoTemplate::SetExportType(ExportFormat format)
{
    ReplaceKey(kExportFormat, new CLstring(format == FormatEDFPlus ? L"EDF+" : L"EDF"));
}

void CSkrivoTemplate::SetExtension(const std::wstring& extension) { ReplaceKey(kExtension, new CLstring(extension)); }
void CSkrivoTemplate::SetInvertAC(bool on) { ReplaceKey(kInvertAC, new CLinteger(on ? 1 : 0)); }
void CSkrivoTemplate::SetFillGaps(bool on) { ReplaceKey(kPadGaps, new CLinteger(on ? 1 : 0)); }
void CSkrivoTemplate::SetExportDecimatedData(bool on) { ReplaceKey(kUseDecimatedData, new CLinteger(on ? 1 : 0)); }
void CSkrivoTemplate::SetDeidentify(bool on) { ReplaceKey(kDeidentify, new CLinteger(on ? 1 : 0)); }
void CSkrivoTemplate::SetExportTrigger(bool on) { ReplaceKey(kIncludeTriggerEvent, new CLinteger(on ? 1 : 0)); }
void CSkrivoTemplate::SetExportPatientEvent(bool on) { ReplaceKey(kIncludePatientEvent, new CLinteger(on ? 1 : 0)); }
void CSkrivoTemplate::SetSpatialMaximum(int64_t bytes) { ReplaceKey(kSpatialMaximum, new CLlonglong(bytes)); }
void CSkrivoTemplate::SetTemporalMaximum(int seconds) { ReplaceKey(kTemporalMaximum, new CLinteger(seconds)); }

void CSkrivoTemplate::SetChannelDefinition(ChannelDefinition definition, const CKeyTree* study)
{
    const wchar_t* text = definition == ChannelsAcquisitionMontage ? L"AcquisitionMontage"
                          : definition == ChannelsMontage          ? L"Montage"
                                                                   : kRawData;
    ReplaceKey(kExportChannels, new CLstring(text));
    // Montage channel lists are built from the montage itself; a value that
    // names no definition stores "RawData" but leaves the list as it was.
    if (definition != ChannelsRawData)
        return;

    int headboxType = GetHeadboxType();
    unsigned modalityCode;
    if (headboxType == 0 && study) {
        // A template that does not know its headbox yet adopts the study's.
        headboxType = IntOf(study->GetAt(L"Headbox.HB0.HBType"), 0);
        SetHeadboxType(headboxType);
        const int group = IntOf(study->GetAt(L"Study.StudyGroup"), 1);
        SetModality(group == 2 ? L"Sleep" : L"EEG");
        modalityCode = static_cast<unsigned>(group);
    } else {
        modalityCode = GetModality() == L"Sleep" ? 2u : 1u;
    }
    LoadChannelsFromHeadbox(headboxType, modalityCode, study);
}

void CSkrivoTemplate::LoadChannelsFromHeadbox(int headboxType, unsigned modalityCode, const CKeyTree* study)
{
    std::unique_ptr<CKadeHeadbox> headbox = CKadeHeadboxConfig::CreateHeadbox(headboxType);
    if (!headbox)
        return; // no such headbox: keep whatever list the template has

    const CKeyTree& config = headbox->GetConfiguration();
    const CItemList* names = nullptr;
    if (modalityCode == 2) {
        names = AsItemList(config.GetAt(L"DefaultSleepChanNameList"));
        if (names && names->GetCount() == 0)
            names = nullptr;
    }
    if (!names)
        names = AsItemList(config.GetAt(L"DefaultChanNameList"));

    CDataReaderMultipleBOSupport mapper;
    const bool mapped = PrepareBreakoutMapper(study, mapper);

    auto list = std::make_unique<CItemList>();
    const int count = names ? names->GetCount() : 0;
    for (int i = 0; i < count; ++i) {
        if (mapped && mapper.ChannelNumber_ConfigurationToStorage(i) < 0)
            continue; // on a breakout box that the study does not use
        list->Append(NewChannelEntry(AsCStr(names->GetChild(i), L""), i));
    }
    ReplaceKey(kChannelsSelected, list.release());
}

void CSkrivoTemplate::SetMontage(CKeyTree* montage, const CKeyTree* study)
{
    if (!montage) {
        while (DeleteKey(kMontage)) {
        }
        return;
    }
    // Handing the template its own montage again must not free it.
    if (static_cast<const CItem*>(montage) != GetAt(kMontage))
        ReplaceKey(kMontage, montage);
    LoadChannelsFromMontage(*montage, study);
}

void CSkrivoTemplate::LoadChannelsFromMontage(const CKeyTree& montageTree, const CKeyTree* study)
{
    CMontage montage(0);
    if (montage.Load(&montageTree) != 0)
        return;

    CDataReaderMultipleBOSupport mapper;
    const bool mapped = PrepareBreakoutMapper(study, mapper);

    auto list = std::make_unique<CItemList>();
    for (int i = 0; i < montage.GetSize(); ++i) {
        const CMontageChannel* channel = montage.GetChannel(i);
        if (!channel || (!channel->GetFirstHalf() && !channel->GetSecondHalf()))
            continue;
        if (mapped) {
            bool stored = true;
            for (int component : channel->FindChannelComponents()) {
                if (mapper.ChannelNumber_ConfigurationToStorage(component) < 0) {
                    stored = false;
                    break;
                }
            }
            if (!stored)
                continue; // uses an input of a breakout box the study lacks
        }
        list->Append(NewChannelEntry(channel->GetName(), i));
    }
    ReplaceKey(kChannelsSelected, list.release());
}

#include "platform/recording/Montage.h"

#include <cmath>

#include "platform/KeyTree.h"
#include "platform/appcommon/HeadboxConfig.h"
#include "platform/recording/WaveType.h"

namespace {

constexpr int kLoadFailed = static_cast<int>(0x80004005u);
constexpr int kFileFailed = static_cast<int>(0x80070002u);
constexpr float kCoefficientTolerance = 1e-6f;

std::wstring DefaultInputName(const std::vector<std::wstring>& inputs, int channel) {
    if (channel >= 0 && channel < static_cast<int>(inputs.size()) && !inputs[channel].empty()) return inputs[channel];
    return L"Ch" + std::to_wstring(channel + 1);
}

// Reads a half; false on any structural fault.
bool ReadHalf(const CKeyTree& t, const std::vector<std::wstring>& inputs, CHalfMontageChannel& half) {
    const CItemList* list = AsItemList(t.GetAt(L"Inputs"));
    if (!list || list->Kind() != ItemKind::List || list->GetCount() > CMontage::kMaxCoefficients) return false;
    for (int i = 0; i < list->GetCount(); ++i) {
        const CKeyTree* in = AsKeyTree(list->GetChild(i));
        if (!in) return false;
        const CItem* ch = in->GetAt(L"Channel");
        const CItem* co = in->GetAt(L"Coefficient");
        if (!ch || (ch->Kind() != ItemKind::Integer && ch->Kind() != ItemKind::LongLong)) return false;
        int64_t channel = LongLongOf(ch, -1);
        double coefficient = RealOf(co, std::nan(""));
        if (channel < 0 || channel >= CMontage::kMaxInputs || !std::isfinite(coefficient) ||
            std::fabs(coefficient) > 1e30)
            return false;
        half.AddInput(static_cast<int>(channel), static_cast<float>(coefficient));
    }
    const CItem* name = t.GetAt(L"Name");
    if (name && name->Kind() != ItemKind::String) return false;
    if (name) {
        half.SetName(AsCStr(name, L""));
    } else {
        std::wstring joined;
        for (int i = 0; i < half.NumberOfCoefficents(); ++i) {
            if (i) joined += L'+';
            joined += DefaultInputName(inputs, half.GetChannel(i));
        }
        half.SetName(joined);
    }
    return true;
}

CKeyTree* WriteHalf(const CHalfMontageChannel& half) {
    auto* t = new CKeyTree;
    t->AddKey(L"Name", half.GetName());
    auto* list = new CItemList;
    for (int i = 0; i < half.NumberOfCoefficents(); ++i) {
        auto* in = new CKeyTree;
        in->AddKey(L"Channel", static_cast<int32_t>(half.GetChannel(i)));
        in->AddKey(L"Coefficient", static_cast<double>(half.GetCoefficient(i)));
        list->Append(in);
    }
    t->AddKey(L"Inputs", list);
    return t;
}

} // namespace

// ---- CHalfMontageChannel ----

void CHalfMontageChannel::AddInput(int channel, float coefficient) {
    m_channels.push_back(channel);
    m_coefficients.push_back(coefficient);
}

int CHalfMontageChannel::GetChannel(int i) const {
    return i >= 0 && i < NumberOfCoefficents() ? m_channels[static_cast<size_t>(i)] : -1;
}

float CHalfMontageChannel::GetCoefficient(int i) const {
    return i >= 0 && i < NumberOfCoefficents() ? m_coefficients[static_cast<size_t>(i)] : 0.0f;
}

bool CHalfMontageChannel::IsValid(int channelLimit) const {
    if (m_channels.empty()) return false;
    for (int c : m_channels)
        if (c < 0 || (channelLimit > 0 && c >= channelLimit)) return false;
    return true;
}

bool CHalfMontageChannel::IsMontagingEqual(const CHalfMontageChannel& other) const {
    if (m_channels != other.m_channels) return false;
    for (size_t i = 0; i < m_coefficients.size(); ++i)
        if (std::fabs(m_coefficients[i] - other.m_coefficients[i]) > kCoefficientTolerance) return false;
    return true;
}

// ---- CMontageChannel ----

CMontageChannel::CMontageChannel(const CMontageChannel& o)
    : m_name(o.m_name), m_displayType(o.m_displayType),
      m_first(o.m_first ? std::make_unique<CHalfMontageChannel>(*o.m_first) : nullptr),
      m_second(o.m_second ? std::make_unique<CHalfMontageChannel>(*o.m_second) : nullptr) {}

CMontageChannel& CMontageChannel::operator=(const CMontageChannel& o) {
    if (this != &o) {
        CMontageChannel copy(o);
        *this = std::move(copy);
    }
    return *this;
}

std::set<int> CMontageChannel::FindChannelComponents() const {
    std::set<int> out;
    for (const CHalfMontageChannel* h : {m_first.get(), m_second.get()})
        if (h)
            for (int i = 0; i < h->NumberOfCoefficents(); ++i) out.insert(h->GetChannel(i));
    return out;
}

// ---- CMontage ----

CMontage::CMontage(int headboxType) : m_headboxType(headboxType) {}

void CMontage::Empty() {
    m_name.clear();
    m_inputs.clear();
    m_channels.clear();
}

const CMontageChannel* CMontage::GetChannel(int i) const {
    return i >= 0 && i < GetSize() ? &m_channels[static_cast<size_t>(i)] : nullptr;
}

CMontageChannel* CMontage::GetChannel(int i) {
    return i >= 0 && i < GetSize() ? &m_channels[static_cast<size_t>(i)] : nullptr;
}

std::wstring CMontage::GetInputName(int channel) const {
    return channel >= 0 && channel < static_cast<int>(m_inputs.size()) ? m_inputs[static_cast<size_t>(channel)]
                                                                       : std::wstring();
}

int CMontage::Load(const CKeyTree* tree) {
    const int constructedType = m_headboxType;
    Empty();
    try {
        if (!tree) {
            CMontage def(constructedType);
            if (!sk::BuildRecordingMontage(constructedType, false, def)) return kLoadFailed;
            def.SetMontageName(L"Default");
            *this = std::move(def);
            return 0;
        }
        CMontage m(constructedType);
        const CItem* name = tree->GetAt(L"Name");
        if (name && name->Kind() != ItemKind::String) return kLoadFailed;
        m.m_name = AsCStr(name, L"");
        if (const CItem* hb = tree->GetAt(L"HBType")) {
            if (hb->Kind() != ItemKind::Integer) return kLoadFailed;
            int type = IntOf(hb, -1);
            if (type < 0 || type > CKadeHeadboxConfig::kLastType) return kLoadFailed;
            m.m_headboxType = type;
        }
        if (const CItem* in = tree->GetAt(L"Inputs")) {
            const CItemList* list = AsItemList(in);
            if (!list || in->Kind() != ItemKind::List || list->GetCount() > kMaxInputs) return kLoadFailed;
            for (int i = 0; i < list->GetCount(); ++i) {
                const CItem* item = list->GetChild(i);
                if (!item || item->Kind() != ItemKind::String) return kLoadFailed;
                m.m_inputs.push_back(AsCStr(item, L""));
            }
        }
        const CItem* chItem = tree->GetAt(L"Channels");
        const CItemList* channels = AsItemList(chItem);
        if (!channels || chItem->Kind() != ItemKind::List || channels->GetCount() > kMaxChannels) return kLoadFailed;
        for (int i = 0; i < channels->GetCount(); ++i) {
            const CKeyTree* ct = AsKeyTree(channels->GetChild(i));
            if (!ct) return kLoadFailed;
            const CItem* cn = ct->GetAt(L"Name");
            const CItem* cd = ct->GetAt(L"DisplayType");
            if ((cn && cn->Kind() != ItemKind::String) || (cd && cd->Kind() != ItemKind::Integer)) return kLoadFailed;
            CMontageChannel ch(AsCStr(cn, L""), IntOf(cd, 0));
            for (int h = 0; h < 2; ++h) {
                const CItem* hi = ct->GetAt(h == 0 ? L"First" : L"Second");
                if (!hi) continue;
                const CKeyTree* ht = AsKeyTree(hi);
                CHalfMontageChannel half;
                if (!ht || !ReadHalf(*ht, m.m_inputs, half)) return kLoadFailed;
                if (h == 0) ch.SetFirstHalf(half);
                else ch.SetSecondHalf(half);
            }
            m.m_channels.push_back(std::move(ch));
        }
        *this = std::move(m);
        return 0;
    } catch (...) {
        Empty();
        m_headboxType = constructedType;
        return kLoadFailed;
    }
}

int CMontage::Load(const std::wstring& path) {
    try {
        CKeyTree tree;
        if (!tree.BinLoad(path)) {
            Empty();
            return kFileFailed;
        }
        return Load(&tree);
    } catch (...) {
        Empty();
        return kFileFailed;
    }
}

int CMontage::Save(CKeyTree& tree) const {
    try {
        tree.Empty();
        tree.AddKey(L"Type", L"Montage");
        tree.AddKey(L"Name", m_name);
        tree.AddKey(L"HBType", static_cast<int32_t>(m_headboxType));
        auto* inputs = new CItemList;
        for (const auto& n : m_inputs) inputs->Append(new CLstring(n));
        tree.AddKey(L"Inputs", inputs);
        auto* channels = new CItemList;
        for (const CMontageChannel& ch : m_channels) {
            auto* t = new CKeyTree;
            t->AddKey(L"Name", ch.GetName());
            t->AddKey(L"DisplayType", static_cast<int32_t>(ch.GetDisplayType()));
            if (ch.GetFirstHalf()) t->AddKey(L"First", WriteHalf(*ch.GetFirstHalf()));
            if (ch.GetSecondHalf()) t->AddKey(L"Second", WriteHalf(*ch.GetSecondHalf()));
            channels->Append(t);
        }
        tree.AddKey(L"Channels", channels);
        return 0;
    } catch (...) {
        return kLoadFailed;
    }
}

int CMontage::Save(const std::wstring& path) const {
    try {
        CKeyTree tree;
        if (Save(tree) != 0) return kLoadFailed;
        return tree.BinSave(path, 0) ? 0 : kFileFailed;
    } catch (...) {
        return kFileFailed;
    }
}

bool CMontage::IsApplicable(int headboxType) const {
    if (m_channels.empty()) return false;
    if (m_headboxType != headboxType && m_headboxType != 0) return false;
    // Also a montage made for this headbox must not use inputs it lacks: a
    // damaged file would otherwise reach the exporter.
    std::unique_ptr<CKadeHeadbox> hb = CKadeHeadboxConfig::CreateHeadbox(headboxType);
    if (!hb) return false;
    for (const CMontageChannel& ch : m_channels)
        for (int c : ch.FindChannelComponents())
            if (c < 0 || c >= hb->GetChannelCount()) return false;
    return true;
}

bool CMontage::IsMontagingEqual(const CMontage& other) const {
    if (m_channels.size() != other.m_channels.size()) return false;
    for (size_t i = 0; i < m_channels.size(); ++i) {
        const CMontageChannel& a = m_channels[i];
        const CMontageChannel& b = other.m_channels[i];
        for (int h = 0; h < 2; ++h) {
            const CHalfMontageChannel* ha = h == 0 ? a.GetFirstHalf() : a.GetSecondHalf();
            const CHalfMontageChannel* hb = h == 0 ? b.GetFirstHalf() : b.GetSecondHalf();
            if (!ha != !hb) return false;
            if (ha && !ha->IsMontagingEqual(*hb)) return false;
        }
    }
    return true;
}

// ---- standard montages ----

namespace sk {

namespace {

struct HeadboxNames {
    std::vector<std::wstring> names;
    std::vector<int> displayTypes;
};

bool NamesFor(int headboxType, bool sleep, HeadboxNames& out) {
    std::unique_ptr<CKadeHeadbox> hb = CKadeHeadboxConfig::CreateHeadbox(headboxType);
    if (!hb) return false;
    std::vector<std::wstring> sleepNames = hb->GetDefaultSleepChannelNames();
    bool useSleep = sleep && !sleepNames.empty();
    out.names = useSleep ? sleepNames : hb->GetDefaultChannelNames();
    out.displayTypes = hb->GetDefaultDisplayTypes(useSleep);
    return out.names.size() == out.displayTypes.size();
}

CHalfMontageChannel Single(int channel, const std::wstring& name) {
    CHalfMontageChannel h;
    h.AddInput(channel, 1.0f);
    h.SetName(name);
    return h;
}

int IndexOf(const std::vector<std::wstring>& names, const wchar_t* name) {
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return static_cast<int>(i);
    return -1;
}

} // namespace

bool BuildRecordingMontage(int headboxType, bool sleep, CMontage& montage) {
    HeadboxNames hn;
    if (!NamesFor(headboxType, sleep, hn)) return false;
    CMontage m(headboxType);
    m.SetMontageName(L"Recording");
    m.SetInputNames(hn.names);
    for (size_t c = 0; c < hn.names.size(); ++c) {
        CMontageChannel ch(hn.names[c], hn.displayTypes[c]);
        ch.SetFirstHalf(Single(static_cast<int>(c), hn.names[c]));
        m.AddChannel(ch);
    }
    montage = std::move(m);
    return true;
}

bool BuildBipolarMontage(int headboxType, CMontage& montage) {
    HeadboxNames hn;
    if (!NamesFor(headboxType, false, hn)) return false;
    static const wchar_t* const kChains[][2] = {
        {L"Fp1", L"F7"}, {L"F7", L"T3"}, {L"T3", L"T5"}, {L"T5", L"O1"}, {L"Fp2", L"F8"}, {L"F8", L"T4"},
        {L"T4", L"T6"},  {L"T6", L"O2"}, {L"Fp1", L"F3"}, {L"F3", L"C3"}, {L"C3", L"P3"}, {L"P3", L"O1"},
        {L"Fp2", L"F4"}, {L"F4", L"C4"}, {L"C4", L"P4"}, {L"P4", L"O2"}, {L"Fz", L"Cz"},  {L"Cz", L"Pz"}};
    CMontage m(headboxType);
    m.SetMontageName(L"Bipolar Longitudinal");
    m.SetInputNames(hn.names);
    for (const auto& pair : kChains) {
        int a = IndexOf(hn.names, pair[0]);
        int b = IndexOf(hn.names, pair[1]);
        if (a < 0 || b < 0) continue;
        CMontageChannel ch(hn.names[a] + L"-" + hn.names[b], sk::display::EEG);
        ch.SetFirstHalf(Single(a, hn.names[a]));
        ch.SetSecondHalf(Single(b, hn.names[b]));
        m.AddChannel(ch);
    }
    if (m.GetSize() == 0) return false;
    int ecg1 = IndexOf(hn.names, L"ECG1");
    int ecg2 = IndexOf(hn.names, L"ECG2");
    for (size_t c = 0; c < hn.names.size(); ++c) {
        int dtype = hn.displayTypes[c];
        if (dtype == sk::display::EEG || dtype == sk::display::Intracranial) continue;
        int ci = static_cast<int>(c);
        if (ci == ecg2 && ecg1 >= 0) continue;
        if (ci == ecg1 && ecg2 >= 0) {
            CMontageChannel ch(L"ECG1-ECG2", sk::display::ECG);
            ch.SetFirstHalf(Single(ecg1, hn.names[ecg1]));
            ch.SetSecondHalf(Single(ecg2, hn.names[ecg2]));
            m.AddChannel(ch);
            continue;
        }
        CMontageChannel ch(hn.names[c], dtype);
        ch.SetFirstHalf(Single(ci, hn.names[c]));
        m.AddChannel(ch);
    }
    montage = std::move(m);
    return true;
}

int DefaultDisplayType(int headboxType, int configurationChannel) {
    std::unique_ptr<CKadeHeadbox> hb = CKadeHeadboxConfig::CreateHeadbox(headboxType);
    if (!hb) return -1;
    const std::vector<int>& types = hb->GetDefaultDisplayTypes(false);
    if (configurationChannel < 0 || configurationChannel >= static_cast<int>(types.size())) return -1;
    return types[static_cast<size_t>(configurationChannel)];
}

} // namespace sk

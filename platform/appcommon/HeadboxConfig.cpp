#include "platform/appcommon/HeadboxConfig.h"

#include "platform/recording/WaveType.h"

namespace {

namespace dt = sk::display;

// How a channel's input range is obtained.
enum class RangeKind {
    AC,       // amplifier AC input, headbox AC profile, µV
    DC,       // analogue DC input, headbox DC profile, µV
    Aux,      // auxiliary offset-binary DC input, mV
    OxSpO2,   // oximeter saturation delivered digitally, %
    OxPulse,  // oximeter pulse rate delivered digitally, beats/min
};

struct Chan {
    std::wstring name;
    std::wstring sleepName;
    int displayType;
    int sleepDisplayType;
    RangeKind kind;
};

struct Profile {
    int32_t acDigMin, acDigMax;
    double acPhysMin, acPhysMax;
    int32_t dcDigMin, dcDigMax;
    double dcPhysMin, dcPhysMax;
};

// 16-bit amplifiers.
constexpr Profile kP16{-32768, 32767, -3200.0, 3200.0, -32768, 32767, -1000000.0, 1000000.0};
// 24-bit amplifiers; the top codes of the 24-bit range are kept free for the
// out-of-range markers of the raw data.
constexpr Profile kP24{-8388479, 8388479, -16000.0, 16000.0, -8388479, 8388479, -1000000.0, 1000000.0};
// Headbox 14: wider AC input than its 16-bit siblings.
constexpr Profile kP14{-32768, 32767, -10800.0, 10800.0, -32768, 32767, -1000000.0, 1000000.0};
// Headboxes 24 and 25 describe their converters in offset-binary counts
// (0 .. 65535) although the recorder stores signed, centred samples.
constexpr Profile kPOffsetBinary{0, 65535, -3276.8, 3276.8, 0, 65535, -1000000.0, 1000000.0};

int DisplayTypeOfName(const std::wstring& n) {
    auto starts = [&](const wchar_t* p) { return n.rfind(p, 0) == 0; };
    if (n == L"LOC" || n == L"ROC" || n == L"E1" || n == L"E2") return dt::EOG;
    if (starts(L"Chin") || n == L"LLeg" || n == L"RLeg") return dt::EMG;
    if (starts(L"ECG")) return dt::ECG;
    if (n == L"Snore") return dt::Snore;
    if (n == L"Thorax" || n == L"Abdomen") return dt::RespEffort;
    if (n == L"Airflow") return dt::Airflow;
    if (n == L"SpO2") return dt::SpO2;
    if (n == L"Pulse") return dt::PulseRate;
    if (n == L"Position") return dt::BodyPosition;
    if (n == L"NasalP" || n == L"CPAP") return dt::Pressure;
    if (n == L"Flow") return dt::Flow;
    if (n == L"Temp") return dt::Temperature;
    if (n == L"RespRate") return dt::RespRate;
    if (n == L"Light") return dt::Light;
    if (starts(L"DC")) return dt::DCVoltage;
    if (n.size() >= 2 && n[0] == L'X' && iswdigit(n[1])) return dt::Polygraphic;
    return dt::EEG;
}

const wchar_t* const kTen20[] = {L"Fp1", L"Fp2", L"F7", L"F3", L"Fz", L"F4", L"F8", L"T3", L"C3", L"Cz",
                                 L"C4",  L"T4",  L"T5", L"P3", L"Pz", L"P4", L"T6", L"O1", L"O2"};
const wchar_t* const kTen10Extra[] = {
    L"Fpz", L"AF7", L"AF3", L"AFz", L"AF4", L"AF8", L"F5",  L"F1",  L"F2",  L"F6",  L"FT7", L"FC5", L"FC3", L"FC1",
    L"FCz", L"FC2", L"FC4", L"FC6", L"FT8", L"C5",  L"C1",  L"C2",  L"C6",  L"TP7", L"CP5", L"CP3", L"CP1", L"CPz",
    L"CP2", L"CP4", L"CP6", L"TP8", L"P5",  L"P1",  L"P2",  L"P6",  L"PO7", L"PO3", L"POz", L"PO4", L"PO8", L"Oz"};
// What the polygraphic inputs X1, X2, ... are called when the headbox
// records a sleep study.
const wchar_t* const kPsgInputs[] = {L"LOC",   L"ROC",   L"Chin1", L"Chin2",  L"Chin3",   L"LLeg",   L"RLeg",
                                     L"ECG1",  L"ECG2",  L"Snore", L"Thorax", L"Abdomen", L"Airflow"};

struct Builder {
    std::vector<Chan> c;

    Builder& add(const std::wstring& name, const std::wstring& sleepName, RangeKind k, int dtype = -1, int sdt = -1) {
        c.push_back({name, sleepName, dtype >= 0 ? dtype : DisplayTypeOfName(name),
                     sdt >= 0 ? sdt : (dtype >= 0 ? dtype : DisplayTypeOfName(sleepName)), k});
        return *this;
    }
    template <size_t N> Builder& ac(const wchar_t* const (&names)[N], size_t count = N) {
        for (size_t i = 0; i < count && i < N; ++i) add(names[i], names[i], RangeKind::AC);
        return *this;
    }
    Builder& ac(std::initializer_list<const wchar_t*> names) {
        for (auto n : names) add(n, n, RangeKind::AC);
        return *this;
    }
    Builder& dc(std::initializer_list<const wchar_t*> names) {
        for (auto n : names) add(n, n, RangeKind::DC);
        return *this;
    }
    static std::wstring Num(const wchar_t* prefix, int i, int width) {
        std::wstring d = std::to_wstring(i);
        while (static_cast<int>(d.size()) < width) d.insert(d.begin(), L'0');
        return prefix + d;
    }
    Builder& acSeq(const wchar_t* prefix, int from, int to, int width, int dtype) {
        for (int i = from; i <= to; ++i) add(Num(prefix, i, width), Num(prefix, i, width), RangeKind::AC, dtype);
        return *this;
    }
    Builder& dcSeq(const wchar_t* prefix, int from, int to, int width) {
        for (int i = from; i <= to; ++i) add(Num(prefix, i, width), Num(prefix, i, width), RangeKind::DC, dt::DCVoltage);
        return *this;
    }
    bool hasSleepName(const std::wstring& n) const {
        for (const Chan& ch : c)
            if (ch.sleepName == n) return true;
        return false;
    }
    // Polygraphic inputs X1 .. Xn, renamed for sleep studies after the
    // polygraphic inputs the headbox does not already have.
    Builder& x(int n) {
        size_t next = 0;
        for (int i = 0; i < n; ++i) {
            std::wstring name = Num(L"X", i + 1, 1);
            while (next < std::size(kPsgInputs) && hasSleepName(kPsgInputs[next])) ++next;
            std::wstring sleep = next < std::size(kPsgInputs) ? kPsgInputs[next++] : name;
            add(name, sleep, RangeKind::AC, dt::Polygraphic, DisplayTypeOfName(sleep));
        }
        return *this;
    }
    // Dedicated polygraphic inputs, named the same in both lists.
    Builder& psg(int n = 13) {
        for (int i = 0; i < n && i < 13; ++i) add(kPsgInputs[i], kPsgInputs[i], RangeKind::AC);
        return *this;
    }
    Builder& aux() { return add(L"Aux", L"Aux", RangeKind::Aux, dt::Auxiliary); }
    Builder& ox() {
        add(L"SpO2", L"SpO2", RangeKind::OxSpO2, dt::OximeterSpO2);
        return add(L"Pulse", L"Pulse", RangeKind::OxPulse, dt::OximeterPulse);
    }
};

struct Def {
    Profile profile;
    bool sleepList;
    std::vector<Chan> chans;
};

constexpr const wchar_t* kModelNames[CKadeHeadboxConfig::kTableSize] = {
    nullptr,
    L"Routine EEG 24",          // 1
    L"Routine EEG 32",          // 2
    L"Ambulatory EEG 32",       // 3
    L"EEG 40",                  // 4
    L"PSG 32",                  // 5
    L"Home Sleep 16",           // 6
    L"EEG 68",                  // 7
    L"High-density EEG 144",    // 8
    L"ICU EEG 18",              // 9
    L"Neonatal EEG 19",         // 10
    L"PSG 44",                  // 11
    L"Epilepsy Monitoring 68",  // 12
    L"Research EEG 264",        // 13
    L"Legacy EEG 32",           // 14
    L"Wireless EEG 24",         // 15
    L"PSG 58",                  // 16
    L"Sleep Latency 16",        // 17
    L"Intracranial 136",        // 18
    L"Intracranial 272",        // 19
    L"Multi-breakout 544",      // 20
    L"Pediatric PSG 40",        // 21
    L"EEG 32 DC",               // 22
    L"Cardiorespiratory 12",    // 23
    L"Offset-binary EEG 32",    // 24
    L"Offset-binary PSG 40",    // 25
    L"PSG 36 Oximetry",         // 26
    L"Home PSG 24 Oximetry",    // 27
};

Def MakeDef(int type) {
    Builder b;
    const wchar_t* psgEeg[] = {L"F3", L"F4", L"C3", L"C4", L"O1", L"O2", L"M1", L"M2"};
    switch (type) {
    case 1: b.ac(kTen20).ac({L"A1", L"A2", L"ECG1", L"ECG2", L"X1"}); return {kP16, false, b.c};
    case 2: b.ac(kTen20).ac({L"A1", L"A2", L"Fpz", L"Oz"}).x(5).dcSeq(L"DC", 1, 4, 1); return {kP16, true, b.c};
    case 3: b.ac(kTen20).ac({L"A1", L"A2", L"Fpz", L"Oz"}).x(5).dc({L"SpO2", L"Pulse", L"Position", L"DC1"});
        return {kP16, true, b.c};
    case 4: b.ac(kTen20).ac({L"A1", L"A2"}).ac(kTen10Extra, 10).ac({L"ECG1", L"ECG2"}).x(4).dcSeq(L"DC", 1, 3, 1);
        return {kP16, true, b.c};
    case 5:
        b.ac({psgEeg[0], psgEeg[1], psgEeg[2], psgEeg[3], psgEeg[4], psgEeg[5], psgEeg[6], psgEeg[7]}).x(13)
            .dc({L"NasalP", L"SpO2", L"Pulse", L"Position", L"Light", L"CPAP", L"Flow"}).dcSeq(L"DC", 1, 4, 1);
        return {kP16, true, b.c};
    case 6: b.ac({L"C3", L"C4", L"M1", L"M2"}).psg(2).ac({L"Chin1", L"Chin2", L"ECG1", L"Snore", L"Thorax", L"Abdomen"})
            .dc({L"NasalP", L"SpO2", L"Pulse", L"Position"});
        return {kP16, true, b.c};
    case 7: b.ac(kTen20).ac(kTen10Extra).ac({L"A1", L"A2", L"ECG1"}).dcSeq(L"DC", 1, 4, 1); return {kP24, false, b.c};
    case 8: b.acSeq(L"E", 1, 128, 3, dt::EEG).ac({L"ECG1", L"ECG2"}).x(6).dcSeq(L"DC", 1, 8, 1); return {kP24, false, b.c};
    case 9: b.ac({L"Fp1", L"Fp2", L"F3", L"F4", L"C3", L"C4", L"P3", L"P4", L"O1", L"O2", L"T3", L"T4", L"Cz", L"ECG1",
                  L"ECG2", L"X1"}).dcSeq(L"DC", 1, 2, 1);
        return {kP16, false, b.c};
    case 10: b.ac({L"Fp1", L"Fp2", L"C3", L"C4", L"T3", L"T4", L"O1", L"O2", L"Cz", L"ECG1", L"ECG2", L"LOC", L"ROC",
                   L"Chin1", L"Thorax", L"Abdomen"}).dc({L"SpO2", L"Pulse", L"Temp"});
        return {kP16, true, b.c};
    case 11: b.ac({L"Fp1", L"Fp2", L"F3", L"F4", L"F7", L"F8", L"C3", L"C4", L"T3", L"T4", L"P3", L"P4", L"O1", L"O2",
                   L"Fz", L"Cz", L"Pz", L"M1", L"M2"}).x(13)
            .dc({L"NasalP", L"SpO2", L"Pulse", L"Position", L"Light", L"CPAP", L"Flow", L"Temp", L"RespRate"})
            .dcSeq(L"DC", 1, 3, 1);
        return {kP16, true, b.c};
    case 12: b.ac(kTen20).ac({L"A1", L"A2"}).ac(kTen10Extra, 33).ac({L"ECG1", L"ECG2"}).x(8).dcSeq(L"DC", 1, 4, 1);
        return {kP24, true, b.c};
    case 13: b.acSeq(L"E", 1, 256, 3, dt::EEG).dcSeq(L"DC", 1, 8, 1); return {kP24, false, b.c};
    case 14: b.ac(kTen20).ac({L"A1", L"A2", L"ECG1", L"ECG2"}).x(5).dcSeq(L"DC", 1, 4, 1); return {kP14, true, b.c};
    case 15: b.ac(kTen20).ac({L"A1", L"A2", L"ECG1", L"X1"}).dc({L"Position"}); return {kP16, false, b.c};
    case 16: b.ac(kTen20).ac({L"M1", L"M2"}).psg().x(8)
            .dc({L"NasalP", L"SpO2", L"Pulse", L"Position", L"Light", L"CPAP", L"Flow", L"Temp", L"RespRate"})
            .dcSeq(L"DC", 1, 7, 1);
        return {kP24, true, b.c};
    case 17: b.ac({L"F3", L"F4", L"C3", L"C4", L"O1", L"O2", L"M1", L"M2", L"LOC", L"ROC", L"Chin1", L"Chin2", L"ECG1",
                   L"ECG2"}).dcSeq(L"DC", 1, 2, 1);
        return {kP16, true, b.c};
    case 18: b.acSeq(L"G", 1, 64, 2, dt::Intracranial).acSeq(L"S", 1, 32, 2, dt::Intracranial)
            .acSeq(L"D", 1, 24, 2, dt::Intracranial).ac({L"ECG1", L"ECG2"}).x(6).dcSeq(L"DC", 1, 8, 1);
        return {kP24, false, b.c};
    case 19: b.acSeq(L"G", 1, 128, 3, dt::Intracranial).acSeq(L"S", 1, 64, 3, dt::Intracranial)
            .acSeq(L"D", 1, 56, 3, dt::Intracranial).ac({L"ECG1", L"ECG2"}).x(6).dcSeq(L"DC", 1, 16, 2);
        return {kP24, false, b.c};
    case 20:
        // Four breakouts of 128 inputs, then the base unit's 32 DC inputs; the
        // breakout mapper relies on this layout.
        for (int bo = 1; bo <= 4; ++bo)
            b.acSeq((L"B" + std::to_wstring(bo) + L"-").c_str(), 1, 128, 3, dt::Intracranial);
        b.dc({L"SpO2", L"Pulse", L"Position", L"NasalP"}).dcSeq(L"DC", 5, 32, 2);
        return {kP24, false, b.c};
    case 21: b.ac({L"F3", L"F4", L"C3", L"C4", L"O1", L"O2", L"M1", L"M2", L"Cz"}).psg().x(2)
            .dc({L"NasalP", L"SpO2", L"Pulse", L"Position", L"Light", L"CPAP", L"Flow", L"Temp", L"RespRate"})
            .dcSeq(L"DC", 1, 7, 1);
        return {kP16, true, b.c};
    case 22: b.ac(kTen20).ac({L"A1", L"A2", L"ECG1", L"ECG2"}).x(3).dcSeq(L"DC", 1, 6, 1); return {kP16, false, b.c};
    case 23: b.ac({L"ECG1", L"ECG2", L"Snore", L"Thorax", L"Abdomen", L"Airflow"})
            .dc({L"NasalP", L"SpO2", L"Pulse", L"Position", L"Light", L"Flow"});
        return {kP16, true, b.c};
    case 24: b.ac(kTen20).ac({L"A1", L"A2", L"ECG1", L"ECG2"}).x(4).dcSeq(L"DC", 1, 3, 1).aux().dc({L"SpO2"});
        return {kPOffsetBinary, true, b.c};
    case 25: b.ac({psgEeg[0], psgEeg[1], psgEeg[2], psgEeg[3], psgEeg[4], psgEeg[5], psgEeg[6], psgEeg[7]}).x(13)
            .dc({L"NasalP", L"SpO2", L"Pulse", L"Position", L"Light", L"CPAP", L"Flow"}).aux().dcSeq(L"DC", 1, 11, 2);
        return {kPOffsetBinary, true, b.c};
    case 26: b.ac({psgEeg[0], psgEeg[1], psgEeg[2], psgEeg[3], psgEeg[4], psgEeg[5], psgEeg[6], psgEeg[7]}).x(13)
            .dc({L"NasalP", L"Position", L"Light", L"CPAP", L"Flow"}).ox().dcSeq(L"DC", 1, 8, 1);
        return {kP16, true, b.c};
    case 27: b.ac({L"C3", L"C4", L"M1", L"M2"}).psg(1).ac({L"ROC", L"Chin1", L"Chin2", L"ECG1", L"ECG2", L"Snore",
                                                          L"Thorax", L"Abdomen"})
            .dc({L"NasalP", L"Position", L"Flow"}).ox().dcSeq(L"DC", 1, 6, 1);
        return {kP16, true, b.c};
    default: return {kP16, false, {}};
    }
}

} // namespace

namespace {

// Quirks of older firmware, reproduced so that exporters can correct them.
// An unknown version (negative or not a number) counts as old firmware.
bool OlderThan(double version, double limit) { return !(version >= limit); }

class CTableHeadbox final : public CKadeHeadbox {
public:
    explicit CTableHeadbox(int type) : CKadeHeadbox(type, kModelNames[type]) {
        Def def = MakeDef(type);
        m_channelCount = static_cast<int>(def.chans.size());
        auto* names = new CItemList;
        auto* sleepNames = new CItemList;
        for (const Chan& ch : def.chans) {
            if (ch.kind == RangeKind::AC) ++m_acCount;
            names->Append(new CLstring(ch.name));
            if (def.sleepList) sleepNames->Append(new CLstring(ch.sleepName));
            m_displayTypes.push_back(ch.displayType);
            if (def.sleepList) m_sleepDisplayTypes.push_back(ch.sleepDisplayType);
            m_ranges.push_back(RangeOf(def.profile, ch.kind));
            m_kinds.push_back(ch.kind);
        }
        m_config.AddKey(L"Type", static_cast<int32_t>(type));
        m_config.AddKey(L"Name", m_name);
        m_config.AddKey(L"ChannelCount", static_cast<int32_t>(m_channelCount));
        m_config.AddKey(L"ACChannelCount", static_cast<int32_t>(m_acCount));
        m_config.AddKey(L"DefaultChanNameList", names);
        m_config.AddKey(L"DefaultSleepChanNameList", sleepNames);
    }

    std::vector<ChannelRange> GetChannelRanges(double swVersion, int /*schema*/) const override {
        // The storage schema does not change what the converters deliver:
        // every schema keeps the full converter word.
        std::vector<ChannelRange> r = m_ranges;
        for (size_t i = 0; i < r.size(); ++i) {
            switch (m_type) {
            case 14:
                // Firmware before 4.0 reports the AC gain of its predecessor.
                if (m_kinds[i] == RangeKind::AC && OlderThan(swVersion, 4.0)) {
                    r[i].physicalMinimum = -8711.0;
                    r[i].physicalMaximum = 8711.0;
                }
                break;
            case 24:
            case 25:
                // Every firmware reports the auxiliary input's lower limit as
                // an unsigned 32-bit number. Reporting -32768 would make the
                // input look like a centred one, which it is not: its samples
                // are offset-binary counts.
                if (m_kinds[i] == RangeKind::Aux) r[i].physicalMinimum = 4294934528.0;
                break;
            case 26:
            case 27:
                // Firmware before 2.0 reports the oximeter's protocol range
                // (0 .. 127) instead of the stored resolution (640 a percent).
                if (m_kinds[i] == RangeKind::OxSpO2 && OlderThan(swVersion, 2.0)) r[i].digitalMaximum = 127;
                break;
            default: break;
            }
        }
        return r;
    }

    std::vector<ChannelRange> GetStorageRanges() const override {
        std::vector<ChannelRange> r = m_ranges;
        if (m_type != 24 && m_type != 25) return r;
        // Offset-binary descriptions of inputs whose samples are stored
        // signed and centred on zero.
        for (size_t i = 0; i < r.size(); ++i) {
            bool centred = m_kinds[i] == RangeKind::AC || (m_kinds[i] == RangeKind::DC && r[i].physicalMinimum < 0);
            if (centred && r[i].digitalMinimum == 0) {
                r[i].digitalMaximum /= 2;
                r[i].digitalMinimum = -r[i].digitalMaximum;
            }
        }
        return r;
    }

private:
    static ChannelRange RangeOf(const Profile& p, RangeKind k) {
        ChannelRange r;
        switch (k) {
        case RangeKind::AC:
            r = {p.acDigMax, p.acDigMin, p.acPhysMax, p.acPhysMin, CPhysicalUnits::Microvolts};
            break;
        case RangeKind::DC:
            r = {p.dcDigMax, p.dcDigMin, p.dcPhysMax, p.dcPhysMin, CPhysicalUnits::Microvolts};
            break;
        case RangeKind::Aux: r = {65535, 0, 32767.0, -32768.0, CPhysicalUnits::Millivolts}; break;
        case RangeKind::OxSpO2: r = {81280, 0, 127.0, 0.0, CPhysicalUnits::Percent}; break;
        case RangeKind::OxPulse: r = {255, 0, 255.0, 0.0, CPhysicalUnits::BeatsPerMinute}; break;
        }
        return r;
    }

    std::vector<RangeKind> m_kinds;
};

template <int N> CKadeHeadbox* CreateHeadbox() { return new CTableHeadbox(N); }

template <int N> constexpr CHeadboxClass kClass{N, kModelNames[N], &CreateHeadbox<N>};

} // namespace

CKadeHeadbox::CKadeHeadbox(int type, const std::wstring& name) : m_type(type), m_name(name) {}

CKadeHeadbox::~CKadeHeadbox() = default;

static std::vector<std::wstring> NamesOf(const CKeyTree& config, const wchar_t* key) {
    std::vector<std::wstring> out;
    const CItemList* list = AsItemList(config.GetAt(key));
    if (!list) return out;
    for (int i = 0; i < list->GetCount(); ++i) out.push_back(AsCStr(list->GetChild(i), L""));
    return out;
}

std::vector<std::wstring> CKadeHeadbox::GetDefaultChannelNames() const {
    return NamesOf(m_config, L"DefaultChanNameList");
}

std::vector<std::wstring> CKadeHeadbox::GetDefaultSleepChannelNames() const {
    return NamesOf(m_config, L"DefaultSleepChanNameList");
}

std::vector<CKadeHeadbox::ChannelRange> CKadeHeadbox::GetChannelRanges(double, int) const { return m_ranges; }

std::vector<CKadeHeadbox::ChannelRange> CKadeHeadbox::GetStorageRanges() const { return m_ranges; }

const std::array<const CHeadboxClass*, CKadeHeadboxConfig::kTableSize> CKadeHeadboxConfig::m_HeadboxClass = {
    nullptr,    &kClass<1>,  &kClass<2>,  &kClass<3>,  &kClass<4>,  &kClass<5>,  &kClass<6>,
    &kClass<7>,  &kClass<8>,  &kClass<9>,  &kClass<10>, &kClass<11>, &kClass<12>, &kClass<13>,
    &kClass<14>, &kClass<15>, &kClass<16>, &kClass<17>, &kClass<18>, &kClass<19>, &kClass<20>,
    &kClass<21>, &kClass<22>, &kClass<23>, &kClass<24>, &kClass<25>, &kClass<26>, &kClass<27>,
};

const CHeadboxClass* CKadeHeadboxConfig::GetHeadboxClass(int type) {
    if (type < kFirstType || type > kLastType) return nullptr;
    return m_HeadboxClass[static_cast<size_t>(type)];
}

std::unique_ptr<CKadeHeadbox> CKadeHeadboxConfig::CreateHeadbox(int type) {
    const CHeadboxClass* cls = GetHeadboxClass(type);
    if (!cls) return nullptr;
    try {
        return std::unique_ptr<CKadeHeadbox>(cls->CreateObject());
    } catch (...) {
        return nullptr;
    }
}

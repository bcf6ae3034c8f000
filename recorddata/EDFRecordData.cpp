#include "recorddata/EDFRecordData.h"

#include <cwchar>
#include <iterator>
#include <limits>

#include "module/SkrivoApp.h"
#include "platform/recording/WaveType.h"

CEDFRecordData::~CEDFRecordData() = default;

std::wstring CEDFRecordData::GetTransducerType() const { return std::wstring(); }

std::wstring CEDFRecordData::GetPrefiltering() const { return std::wstring(); }

std::wstring CEDFRecordData::ToEDFUnits(const std::wstring& units) {
    std::wstring edf;
    edf.reserve(units.size() + 4);
    for (wchar_t c : units) {
        if (c == L'\u00B5')
            edf += L'u';
        else if (c == L'\u00B0')
            edf += L"deg";
        else
            edf += c;
    }
    if (edf == L"breaths/min" || edf == L"beats/min")
        edf = L"bpm";
    else if (edf == L"litres/min")
        edf = L"l/min";
    return edf;
}

namespace {

// Signal types that readers map to a channel kind. Kinds the EDF+ table
// names but common readers do not know (light, sound, body position, pulse
// rate, generic inputs) are "Misc", so that no reader takes them for EEG.
constexpr const wchar_t* kSignalTypes[] = {
    L"EEG",  // EEG
    L"Misc", // Polygraphic: an AC input of unknown kind
    L"ECG",  // ECG
    L"EOG",  // EOG
    L"EMG",  // EMG
    L"Misc", // DCVoltage
    L"SaO2", // SpO2
    L"Misc", // PulseRate
    L"Misc", // BodyPosition
    L"Temp", // Temperature
    L"Resp", // RespEffort
    L"Resp", // Airflow
    L"Resp", // RespRate
    L"Resp", // Flow
    L"Resp", // Pressure (nasal or CPAP pressure)
    L"Resp", // Snore
    L"Misc", // Light
    L"EEG",  // Intracranial
    L"SaO2", // OximeterSpO2
    L"Misc", // OximeterPulse
    L"Misc", // Auxiliary
};
static_assert(std::size(kSignalTypes) == sk::display::Count);

// Every type word a label may already start with (compared ignoring case).
constexpr const wchar_t* kKnownTypes[] = {L"EEG", L"ECG", L"EOG", L"ERG", L"EMG", L"MEG", L"MCG", L"EP",
                                          L"Temp", L"Resp", L"SaO2", L"Light", L"Sound", L"Event", L"Misc",
                                          L"Stim", L"Bio", L"SEEG", L"ECoG"};

} // namespace

bool CEDFRecordData::HasSignalType(const std::wstring& name) {
    const size_t space = name.find(L' ');
    if (space == std::wstring::npos || space == 0)
        return false;
    for (const wchar_t* type : kKnownTypes) {
        const size_t n = std::wcslen(type);
        if (n != space)
            continue;
        size_t i = 0;
        // ASCII folding: the process locale must not decide a label.
        auto upper = [](wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; };
        while (i < n && upper(name[i]) == upper(type[i]))
            ++i;
        if (i == n)
            return true;
    }
    return false;
}

const wchar_t* CEDFRecordData::SignalTypeOf(int displayType) {
    if (displayType < 0 || static_cast<size_t>(displayType) >= std::size(kSignalTypes))
        return nullptr;
    return kSignalTypes[displayType];
}

std::wstring CEDFRecordData::TypedLabel(const wchar_t* type, const std::wstring& name) {
    std::wstring label = (!type || HasSignalType(name)) ? name : std::wstring(type) + L" " + name;
    if (label.size() > kLabelWidth)
        label.resize(kLabelWidth);
    return label;
}

void CEDFRecordData::SetUnits(const std::wstring& units) {
    m_units.first = units;
    m_units.second = ToEDFUnits(units);
}

void CEDFRecordData::SetUnitsFromResource(int resourceId) { SetUnits(sk::LoadString(resourceId)); }

bool CEDFRecordData::SetUnitsFromWaveType(int displayType) {
    const CWaveType* waveType = WaveTypePtrLookup(displayType);
    if (!waveType)
        return false;
    SetUnits(waveType->GetUnits());
    return true;
}

int32_t CEDFRecordData::SixteenBitRecordSize(double recordDuration, double sampleFrequency) {
    const double bytes = 2.0 * recordDuration * sampleFrequency;
    if (!(bytes > 0.0))
        return 0;
    if (bytes >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max() & ~1;
    return static_cast<int32_t>(bytes);
}

void CEDFRecordData::OnOffRange(int32_t& digitalMin, int32_t& digitalMax, double& physicalMin,
                                double& physicalMax) {
    digitalMin = 0;
    digitalMax = 1;
    physicalMin = 0.0;
    physicalMax = 1.0;
}

#include "recorddata/EDFRecordData.h"

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

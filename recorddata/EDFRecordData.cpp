#include "recorddata/EDFRecordData.h"

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

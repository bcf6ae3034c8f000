#include "platform/appcommon/PhysicalUnits.h"

namespace {

struct UnitName {
    CPhysicalUnits::Units units;
    const wchar_t* name;
};

// The names are stored in study descriptions; never change an existing one.
constexpr UnitName kNames[] = {
    {CPhysicalUnits::Microvolts, L"\u00B5V"},
    {CPhysicalUnits::Millivolts, L"mV"},
    {CPhysicalUnits::Volts, L"V"},
    {CPhysicalUnits::DegreesCelsius, L"\u00B0C"},
    {CPhysicalUnits::BeatsPerMinute, L"beats/min"},
    {CPhysicalUnits::BreathsPerMinute, L"breaths/min"},
    {CPhysicalUnits::LitresPerMinute, L"litres/min"},
    {CPhysicalUnits::Percent, L"%"},
    {CPhysicalUnits::CmH2O, L"cmH2O"},
    {CPhysicalUnits::MmHg, L"mmHg"},
    {CPhysicalUnits::Degrees, L"\u00B0"},
    {CPhysicalUnits::Lux, L"lx"},
    {CPhysicalUnits::Decibels, L"dB"},
    {CPhysicalUnits::Kiloohms, L"kOhm"},
    {CPhysicalUnits::Counts, L"counts"},
};

} // namespace

std::wstring CPhysicalUnits::ToLangNeutralString(Units units) {
    for (const auto& n : kNames)
        if (n.units == units) return n.name;
    return std::wstring();
}

CPhysicalUnits::Units CPhysicalUnits::FromLangNeutralString(const std::wstring& text) {
    for (const auto& n : kNames)
        if (text == n.name) return n.units;
    return Unknown;
}

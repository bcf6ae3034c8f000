#pragma once
// Physical units of headbox inputs and their language-neutral names. The
// names are what the study description stores and what the EDF writer turns
// into its header's physical dimension, so they must never be translated.

#include <cstdint>
#include <string>

#include "platform/SkrivoExport.h"

class SKRIVO_API CPhysicalUnits {
public:
    enum Units : int32_t {
        Unknown = 0,        // ""
        Microvolts = 1,     // "µV"
        Millivolts = 2,     // "mV"
        Volts = 3,          // "V"
        DegreesCelsius = 4, // "°C"
        BeatsPerMinute = 5, // "beats/min"
        BreathsPerMinute = 6, // "breaths/min"
        LitresPerMinute = 7,  // "litres/min"
        Percent = 8,        // "%"
        CmH2O = 9,          // "cmH2O"
        MmHg = 10,          // "mmHg"
        Degrees = 11,       // "°" (angles: body position)
        Lux = 12,           // "lx"
        Decibels = 13,      // "dB"
        Kiloohms = 14,      // "kOhm"
        Counts = 15,        // "counts" (dimensionless instrument counts)
        LastUnits = Counts,
    };

    // Language-neutral name of the units; "" for Unknown and for any value
    // outside the enumeration.
    static std::wstring ToLangNeutralString(Units units);
    static std::wstring ToLangNeutralString(int32_t units) { return ToLangNeutralString(static_cast<Units>(units)); }
    // Inverse of ToLangNeutralString (exact, case-sensitive); Unknown when the
    // text names no units.
    static Units FromLangNeutralString(const std::wstring& text);
};

#pragma once
// Default values of the EDF export settings of the recording system. Engines
// that read these settings from configuration fall back to these constants.

#include <cstdint>

#include "platform/SkrivoExport.h"

class SKRIVO_API CExportToEDF {
public:
    // Number of recording gaps after which an interactive export asks the
    // user whether to go on.
    static constexpr int32_t nBreakQueryLimitDefault = 100;
    // Fill data records up to the EDF record size limit rather than using
    // one-second records.
    static constexpr bool bMaximizeEDFRecordSizeDefault = true;
    // Limit one output file to a duration instead of a size.
    static constexpr bool bUseEDFDurationLimitDefault = false;
    // Allow exponent notation in header number fields that do not fit.
    static constexpr bool bAllowEFormatDefault = false;
    // EEG convention: negative up, so AC channels are exported inverted.
    static constexpr bool bInvertACChannelsDefault = true;
    // Default extension of exported files (without dot).
    static constexpr const wchar_t* szExtensionDefault = L"edf";
};

#pragma once
// Writer of the sleep staging file (".EPO"), atomically.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/SkrivoExport.h"

namespace sk::rec {

struct StagingData {
    bool present = true;         // scoring started
    int32_t epochSeconds = 30;   // 1..3600
    int64_t firstEpochStamp = 0;
    int32_t stagingType = 3;     // 0..5
    std::wstring label;          // at most 63 UTF-16 units
    std::vector<uint8_t> codes;  // per epoch 0..8, or 0xFF not scored
};

class SKRIVO_API StagingWriter {
public:
    static bool Save(const std::wstring& path, const StagingData& data, std::wstring* error = nullptr);
    static bool Serialize(const StagingData& data, std::string& out, std::wstring* error = nullptr);
};

} // namespace sk::rec

// Staging file: header and epoch codes on arbitrary bytes.
#include "FuzzFile.h"
#include "platform/recording/StagingFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CStagingFile staging;
    CEegFileException ex;
    if (!staging.OpenFromMemory(data, size, &ex)) return 0;
    for (uint32_t n = 0; n <= staging.GetEpochCount() + 1; ++n) {
        const int code = staging.GetStageCode(n);
        if (code < -1 || code > 8) __builtin_trap();
    }
    return 0;
}

#pragma once
// Fuzz helpers. Study file checksums would stop almost every mutation at the
// first check, so they are off in every target that includes this. The
// file-based readers need a real file: each input is written to one
// per-process scratch file that is reused across runs.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "platform/recording/StudyFormat.h"

namespace sk::fuzz {

[[maybe_unused]] static const bool kChecksumsOff = (sk::rec::SetChecksumsEnforced(false), true);

inline std::wstring ScratchFile(const char* ext, const uint8_t* data, size_t size) {
    static std::string path;
    // A memory-backed folder keeps the per-input write from dominating the run.
    if (path.empty()) {
        path = std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/skrivo_fuzz_" +
               std::to_string(::getpid()) + ext;
        std::atexit([] { ::unlink(path.c_str()); });
    }
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        if (size)
            std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    return std::wstring(path.begin(), path.end());
}

} // namespace sk::fuzz

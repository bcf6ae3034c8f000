#pragma once
// Sample frames for record writer tests.

#include <cstdint>
#include <vector>

#include "platform/recording/SampleFrame.h"

namespace sk::test {

struct Frames {
    explicit Frames(size_t count, int64_t firstStamp = 0, int64_t step = 1)
        : bytes(count * frame::kFrameSize, 0) {
        for (size_t i = 0; i < count; ++i)
            frame::SetStamp(at(i), firstStamp + static_cast<int64_t>(i) * step);
    }
    uint8_t* at(size_t i) { return bytes.data() + i * frame::kFrameSize; }
    const uint8_t* data() const { return bytes.data(); }
    void Set(size_t i, int ch, int32_t v) { frame::SetValue(at(i), ch, v); }
    void Flags(size_t i, uint8_t f) { frame::SetFlags(at(i), f); }
    std::vector<uint8_t> bytes;
};

// Little-endian 16-bit values as the bytes a record holds.
inline std::vector<uint8_t> LE16(const std::vector<int>& values) {
    std::vector<uint8_t> out;
    for (int v : values) {
        const uint16_t u = static_cast<uint16_t>(static_cast<int16_t>(v));
        out.push_back(static_cast<uint8_t>(u & 0xFF));
        out.push_back(static_cast<uint8_t>(u >> 8));
    }
    return out;
}

} // namespace sk::test

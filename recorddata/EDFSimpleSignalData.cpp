#include "recorddata/EDFSimpleSignalData.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "platform/recording/SampleFrame.h"

static_assert(std::endian::native == std::endian::little, "EDF samples are stored as the host holds them");

CEDFSimpleSignalData::CEDFSimpleSignalData(int32_t storageIndex) : m_storageIndex(storageIndex) {}

CEDFSimpleSignalData::~CEDFSimpleSignalData() = default;

inline int16_t CEDFSimpleSignalData::SampleOf(const uint8_t* f) const {
    if (frame::Flags(f) & frame::kFlagNoData)
        return m_zeroCode;
    if (static_cast<uint32_t>(m_storageIndex) >= static_cast<uint32_t>(frame::kMaxChannels))
        return m_zeroCode;
    return ValueOf(frame::Value(f, m_storageIndex));
}

inline int16_t CEDFSimpleSignalData::ValueOf(int32_t v) const {
    if (v == frame::kAboveRangeA || v == frame::kAboveRangeB)
        return static_cast<int16_t>(m_edfDigMax);
    if (v == frame::kBelowRange)
        return static_cast<int16_t>(m_edfDigMin);
    return ClampToEDF(v * m_gain + m_offset + 0.5);
}

int16_t CEDFSimpleSignalData::GetSample(const uint8_t* frame) const { return SampleOf(frame); }

bool CEDFSimpleSignalData::Branchless() const {
    // With a finite gain and offset the scaled value is never NaN, so a
    // clamp into [min, max] followed by truncation equals ClampToEDF without
    // a branch.
    return static_cast<uint32_t>(m_storageIndex) < static_cast<uint32_t>(frame::kMaxChannels) &&
           std::isfinite(m_gain) && std::isfinite(m_offset) && m_edfDigMin <= m_edfDigMax;
}

// Converts n contiguous values in one loop the compiler vectorises, then
// patches the rare out-of-range codes (all three lie in 0x7FFF80..0x7FFFFF),
// looked for with one test per value.
inline void CEDFSimpleSignalData::Convert(const int32_t* v, uint32_t n, int16_t* code) const {
    const double gain = m_gain, offset = m_offset, lo = m_edfDigMin, hi = m_edfDigMax;
    uint32_t rare = 0;
    for (uint32_t i = 0; i < n; ++i)
        rare |= static_cast<uint32_t>(v[i]) - static_cast<uint32_t>(frame::kBelowRange) < 0x80u;
    for (uint32_t i = 0; i < n; ++i) {
        double d = v[i] * gain + offset + 0.5;
        d = d < lo ? lo : d;
        d = d > hi ? hi : d;
        code[i] = static_cast<int16_t>(static_cast<int32_t>(d));
    }
    if (rare)
        for (uint32_t i = 0; i < n; ++i)
            if (static_cast<uint32_t>(v[i]) - static_cast<uint32_t>(frame::kBelowRange) < 0x80u)
                code[i] = ValueOf(v[i]);
}

void CEDFSimpleSignalData::WriteValues(const int32_t* values, uint32_t count, uint8_t* out) const {
    if (!Branchless()) {
        const bool stored = static_cast<uint32_t>(m_storageIndex) < static_cast<uint32_t>(frame::kMaxChannels);
        for (uint32_t i = 0; i < count; ++i) {
            const uint16_t v = static_cast<uint16_t>(stored ? ValueOf(values[i]) : m_zeroCode);
            out[2 * static_cast<size_t>(i)] = static_cast<uint8_t>(v);
            out[2 * static_cast<size_t>(i) + 1] = static_cast<uint8_t>(v >> 8);
        }
        return;
    }
    constexpr uint32_t kChunk = 256;
    int16_t code[kChunk];
    for (uint32_t first = 0; first < count; first += kChunk) {
        const uint32_t n = std::min(kChunk, count - first);
        Convert(values + first, n, code);
        std::memcpy(out + 2 * static_cast<size_t>(first), code, 2 * static_cast<size_t>(n)); // little-endian host
    }
}

void CEDFSimpleSignalData::WriteSamples(const uint8_t* frames, uint32_t sampleCount, uint8_t* out) const {
    if (!Branchless()) {
        for (uint32_t i = 0; i < sampleCount; ++i) {
            const uint16_t v = static_cast<uint16_t>(SampleOf(frames + static_cast<size_t>(i) * frame::kFrameSize));
            out[2 * static_cast<size_t>(i)] = static_cast<uint8_t>(v);
            out[2 * static_cast<size_t>(i) + 1] = static_cast<uint8_t>(v >> 8);
        }
        return;
    }
    // The values are gathered out of the frames into a small contiguous
    // chunk; gap frames are noted there and patched after.
    const uint8_t* value = frames + frame::kValuesOffset + 4 * static_cast<size_t>(m_storageIndex);
    const uint8_t* flags = frames + frame::kFlagsOffset;
    constexpr uint32_t kChunk = 64;
    int32_t v[kChunk];
    int16_t code[kChunk];
    for (uint32_t first = 0; first < sampleCount; first += kChunk) {
        const uint32_t n = std::min(kChunk, sampleCount - first);
        const size_t base = static_cast<size_t>(first) * frame::kFrameSize;
        uint8_t gap = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const size_t at = base + static_cast<size_t>(i) * frame::kFrameSize;
            std::memcpy(&v[i], value + at, 4);
            gap |= flags[at] & frame::kFlagNoData;
        }
        Convert(v, n, code);
        if (gap)
            for (uint32_t i = 0; i < n; ++i)
                if (frame::Flags(frames + base + static_cast<size_t>(i) * frame::kFrameSize) & frame::kFlagNoData)
                    code[i] = m_zeroCode;
        std::memcpy(out + 2 * static_cast<size_t>(first), code, 2 * static_cast<size_t>(n)); // little-endian host
    }
}

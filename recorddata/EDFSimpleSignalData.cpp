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

inline bool CEDFSimpleSignalData::Branchless() const {
    // With a finite gain and offset the scaled value is never NaN, so a
    // clamp into [min, max] followed by truncation equals ClampToEDF without
    // a branch.
    return static_cast<uint32_t>(m_storageIndex) < static_cast<uint32_t>(frame::kMaxChannels) &&
           std::isfinite(m_gain) && std::isfinite(m_offset) && m_edfDigMin <= m_edfDigMax;
}

namespace {

// Scales, rounds and clamps n contiguous values into little-endian EDF codes
// in one loop the compiler vectorises; nonzero when one of them is an
// out-of-range code (all three lie in 0x7FFF80..0x7FFFFF), which the caller
// patches.
inline __attribute__((always_inline)) uint32_t ScaleLoop(const int32_t* v, uint32_t n, uint8_t* out, double gain,
                                                         double offset, double lo, double hi) {
    uint32_t rare = 0;
    for (uint32_t i = 0; i < n; ++i) {
        rare |= static_cast<uint32_t>(v[i]) - static_cast<uint32_t>(frame::kBelowRange) < 0x80u;
        double d = v[i] * gain + offset + 0.5;
        d = d < lo ? lo : d;
        d = d > hi ? hi : d;
        const int16_t code = static_cast<int16_t>(static_cast<int32_t>(d));
        std::memcpy(out + 2 * static_cast<size_t>(i), &code, 2); // little-endian host
    }
    return rare;
}

uint32_t ScaleBase(const int32_t* v, uint32_t n, uint8_t* out, double gain, double offset, double lo, double hi) {
    return ScaleLoop(v, n, out, gain, offset, lo, hi);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The same operations four values at a time where the processor has them;
// without fused multiply-add, so every code is the same as the base loop's.
__attribute__((target("avx2"))) uint32_t ScaleAvx2(const int32_t* v, uint32_t n, uint8_t* out, double gain,
                                                   double offset, double lo, double hi) {
    return ScaleLoop(v, n, out, gain, offset, lo, hi);
}

using ScaleFn = uint32_t (*)(const int32_t*, uint32_t, uint8_t*, double, double, double, double);
ScaleFn PickScale() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? ScaleAvx2 : ScaleBase;
}
const ScaleFn kScale = PickScale();
#else
constexpr auto kScale = ScaleBase;
#endif

} // namespace

inline void CEDFSimpleSignalData::Convert(const int32_t* v, uint32_t n, uint8_t* out) const {
    if (kScale(v, n, out, m_gain, m_offset, m_edfDigMin, m_edfDigMax))
        for (uint32_t i = 0; i < n; ++i)
            if (static_cast<uint32_t>(v[i]) - static_cast<uint32_t>(frame::kBelowRange) < 0x80u) {
                const int16_t code = ValueOf(v[i]);
                std::memcpy(out + 2 * static_cast<size_t>(i), &code, 2);
            }
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
    Convert(values, count, out);
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
    for (uint32_t first = 0; first < sampleCount; first += kChunk) {
        const uint32_t n = std::min(kChunk, sampleCount - first);
        const size_t base = static_cast<size_t>(first) * frame::kFrameSize;
        uint8_t gap = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const size_t at = base + static_cast<size_t>(i) * frame::kFrameSize;
            std::memcpy(&v[i], value + at, 4);
            gap |= flags[at] & frame::kFlagNoData;
        }
        uint8_t* o = out + 2 * static_cast<size_t>(first);
        Convert(v, n, o);
        if (gap)
            for (uint32_t i = 0; i < n; ++i)
                if (frame::Flags(frames + base + static_cast<size_t>(i) * frame::kFrameSize) & frame::kFlagNoData)
                    std::memcpy(o + 2 * static_cast<size_t>(i), &m_zeroCode, 2);
    }
}

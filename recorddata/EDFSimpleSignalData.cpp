#include "recorddata/EDFSimpleSignalData.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

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
// Eight values' codes, truncated but not clamped, in int32 lanes. The same
// operations in the same order as the base loop, without fused
// multiply-add; the out-of-range test keeps the least of v - kBelowRange.
__attribute__((target("avx2"), always_inline)) inline __m256i Codes8(const int32_t* v, __m256d gain, __m256d offset,
                                                                      __m256i& least) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v));
    least = _mm256_min_epu32(least, _mm256_sub_epi32(x, _mm256_set1_epi32(frame::kBelowRange)));
    const __m256d half = _mm256_set1_pd(0.5);
    __m256d a = _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v)));
    __m256d b = _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 4)));
    a = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(a, gain), offset), half);
    b = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(b, gain), offset), half);
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm256_cvttpd_epi32(a)), _mm256_cvttpd_epi32(b), 1);
}

// n >= 16 values, sixteen at a time, the last sixteen overlapping the ones
// before where n is no multiple of sixteen (the same codes written again).
// Clamping the truncated codes equals truncating clamped values (the bounds
// are whole numbers) as long as no code left the int32 range, and the pack
// saturates to the int16 range, so for that range it is the clamp. A code
// outside the int32 range truncates to INT32_MIN. Returns bit 0 where a
// value is an out-of-range code (patched by the caller), bit 1 where a code
// came out as INT32_MIN (the values are then converted again by the base
// loop).
template <bool WholeRange>
__attribute__((target("avx2"), always_inline)) inline void Step16(const int32_t* v, uint8_t* out, __m256d g,
                                                                   __m256d o, __m256i ilo, __m256i ihi,
                                                                   __m256i& least, __m256i& lowest) {
    __m256i r1 = Codes8(v, g, o, least), r2 = Codes8(v + 8, g, o, least);
    lowest = _mm256_min_epi32(lowest, _mm256_min_epi32(r1, r2));
    if constexpr (!WholeRange) {
        r1 = _mm256_min_epi32(_mm256_max_epi32(r1, ilo), ihi);
        r2 = _mm256_min_epi32(_mm256_max_epi32(r2, ilo), ihi);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute4x64_epi64(_mm256_packs_epi32(r1, r2), 0xD8));
}

template <bool WholeRange>
__attribute__((target("avx2"))) uint32_t Scale16Avx2(const int32_t* v, uint32_t n, uint8_t* out, double gain,
                                                     double offset, int32_t lo, int32_t hi) {
    const __m256d g = _mm256_set1_pd(gain), o = _mm256_set1_pd(offset);
    const __m256i ilo = _mm256_set1_epi32(lo), ihi = _mm256_set1_epi32(hi);
    __m256i least = _mm256_set1_epi32(-1), lowest = _mm256_set1_epi32(INT32_MAX);
    const int32_t* end = v + (n & ~15u);
    uint8_t* o16 = out;
    for (const int32_t* p = v; p != end; p += 16, o16 += 32)
        Step16<WholeRange>(p, o16, g, o, ilo, ihi, least, lowest);
    if (n & 15u)
        Step16<WholeRange>(v + n - 16, out + 2 * static_cast<size_t>(n - 16), g, o, ilo, ihi, least, lowest);
    __m128i m = _mm_min_epu32(_mm256_castsi256_si128(least), _mm256_extracti128_si256(least, 1));
    m = _mm_min_epu32(m, _mm_shuffle_epi32(m, 0x4E));
    m = _mm_min_epu32(m, _mm_shuffle_epi32(m, 0xB1));
    const bool beyond = _mm256_movemask_epi8(_mm256_cmpeq_epi32(lowest, _mm256_set1_epi32(INT32_MIN))) != 0;
    return (static_cast<uint32_t>(_mm_cvtsi128_si32(m)) < 0x80u ? 1u : 0u) | (beyond ? 2u : 0u);
}

// The same codes as the base loop where the processor has AVX2.
__attribute__((target("avx2"))) uint32_t ScaleAvx2(const int32_t* v, uint32_t n, uint8_t* out, double gain,
                                                   double offset, double lo, double hi) {
    if (n >= 16 && lo >= -32768.0 && hi <= 32767.0) {
        const uint32_t rare = lo == -32768.0 && hi == 32767.0
                                  ? Scale16Avx2<true>(v, n, out, gain, offset, -32768, 32767)
                                  : Scale16Avx2<false>(v, n, out, gain, offset, static_cast<int32_t>(lo),
                                                       static_cast<int32_t>(hi));
        if (rare < 2)
            return rare;
    }
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

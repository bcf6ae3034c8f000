#include "platform/recording/DataProducer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <utility>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "platform/recording/SampleFrame.h"
#include "platform/recording/StudyFormat.h"

using namespace sk::rec;

// Plain samples are copied into frames as they are stored (little-endian).
static_assert(std::endian::native == std::endian::little, "plain sample copy assumes a little-endian host");

namespace {
constexpr size_t kReadAhead = 256 * 1024;
// Bytes one compressed sample can take at most: flag byte + 5 bytes per channel.
size_t MaxCompressedSample(int channels) { return 1 + 5 * static_cast<size_t>(channels); }

// Channel-major blocks (schema 3): miniblocks in a block of n samples, and
// the longest payload such a block can have (a flag list of every sample,
// every miniblock 32 bits wide).
int Miniblocks(int n) { return (n - 1 + kMiniblockValues - 1) / kMiniblockValues; }
size_t MaxChannelBlockPayload(int n, int channels)
{
    const size_t m = static_cast<size_t>(Miniblocks(n));
    return std::max<size_t>(1 + n, 3 + 3 * static_cast<size_t>(n)) +
           static_cast<size_t>(channels) * (4 + m + 16 * 32 * m);
}
// Samples of every channel the row cache holds: the first value of a block
// and its first miniblock.
constexpr int kCacheSamples = kMiniblockValues + 1;
} // namespace

CDataProducer* CDataProducer::CreateDataProducer(uint16_t schema, uint16_t frameWord, CRawDataFile* file)
{
    if (schema != kSchemaPlain && schema != kSchemaDeltaVarint && schema != kSchemaChannelBlocks) return nullptr;
    return new CDataProducer(schema, frameWord, file);
}

CDataProducer::CDataProducer(uint16_t schema, uint16_t frameWord, CRawDataFile* file)
    : m_schema(schema), m_frameWord(frameWord), m_file(file)
{
}

CDataProducer::~CDataProducer() = default;

void CDataProducer::Release()
{
    delete this;
}

void CDataProducer::Attach(CRawDataFile* file)
{
    m_file = file;
    m_seenGeneration = ~0ull;
}

int CDataProducer::Init(int32_t channelCount, uint16_t schema, int32_t decimation, double /*sampleFreq*/)
{
    m_ready = false;
    if (channelCount < 1 || channelCount > kMaxChannels || schema != m_schema || decimation < 1) return 0;
    m_channels = channelCount;
    size_t cap = kReadAhead;
    if (m_schema == kSchemaDeltaVarint)
        cap = std::max(cap, kBlockHeaderSize + kMaxBlockSamples * MaxCompressedSample(channelCount));
    else if (m_schema == kSchemaChannelBlocks)
        cap = std::max(cap, kBlockHeaderSize + MaxChannelBlockPayload(kMaxBlockSamples, channelCount));
    else
        cap = std::max(cap, 1 + 4 * static_cast<size_t>(channelCount));
    if (cap > m_bufCap) {
        m_buf.reset(new uint8_t[cap]);
        m_bufCap = cap;
    }
    m_prev.assign(channelCount, 0);
    m_channelPos.assign(m_schema == kSchemaChannelBlocks ? channelCount : 0, 0);
    m_cache.clear(); // sized when rows are first read
    m_cachePos = m_cacheCount = 0;
    m_bufPos = m_bufLen = 0;
    m_blockLeft = 0;
    m_seenGeneration = ~0ull;
    m_error.clear();
    m_ready = true;
    return 1;
}

bool CDataProducer::Sync(CRawDataFile* file)
{
    const uint64_t gen = file->GetSeekGeneration();
    if (gen != m_seenGeneration) {
        // The caller repositioned the file: drop what was read ahead.
        m_seenGeneration = gen;
        m_bufPos = m_bufLen = 0;
        m_blockLeft = 0;
        m_cachePos = m_cacheCount = 0;
        m_error.clear();
    }
    return m_error.empty();
}

bool CDataProducer::Fill(CRawDataFile* file, size_t need)
{
    if (m_bufLen - m_bufPos >= need) return true;
    if (need > m_bufCap) return false;
    if (m_bufPos > 0) {
        std::memmove(m_buf.get(), m_buf.get() + m_bufPos, m_bufLen - m_bufPos);
        m_bufLen -= m_bufPos;
        m_bufPos = 0;
    }
    while (m_bufLen < need) {
        // What the block needs, at least the read-ahead: reading the whole
        // buffer at once would stall the decoder for as long as the copy
        // takes, while the writing thread runs out of decoded samples.
        const size_t want = std::min(m_bufCap - m_bufLen, std::max(need - m_bufLen, kReadAhead));
        const uint32_t got = file->Read(m_buf.get() + m_bufLen, static_cast<uint32_t>(want));
        if (got == 0) break;
        m_bufLen += got;
    }
    return m_bufLen >= need;
}

int CDataProducer::Fail(const wchar_t* why, uint8_t* frame)
{
    m_error = why;
    m_blockLeft = 0;
    frame::SetFlags(frame, frame::kFlagNoData);
    return 0;
}

int CDataProducer::ReadSample(CRawDataFile* file, uint8_t* frame, const uint8_t* /*prevFrame*/)
{
    if (!file) file = m_file;
    if (!m_ready || !file || !frame || !file->IsOpen()) return 0;
    if (!Sync(file)) {
        frame::SetFlags(frame, frame::kFlagNoData);
        return 0;
    }
    if (m_schema == kSchemaChannelBlocks) {
        uint8_t flags = 0;
        if (ReadChannelRows(file, &flags, 0, frame + frame::kValuesOffset, 0, 1) != 1) {
            frame::SetFlags(frame, frame::kFlagNoData);
            return 0;
        }
        frame::SetFlags(frame, flags);
        return 1;
    }
    return m_schema == kSchemaPlain ? ReadPlain(file, frame) : ReadCompressed(file, frame);
}

int CDataProducer::ReadPlain(CRawDataFile* file, uint8_t* frame)
{
    const size_t size = 1 + 4 * static_cast<size_t>(m_channels);
    if (!Fill(file, size)) {
        if (m_bufLen > m_bufPos) return Fail(L"raw data ends inside a sample", frame);
        frame::SetFlags(frame, frame::kFlagNoData);
        return 0; // clean end of data
    }
    const uint8_t* p = m_buf.get() + m_bufPos;
    frame::SetFlags(frame, static_cast<uint8_t>(p[0] & 0x7F));
    // Stored values are little-endian int32 in channel order, exactly the
    // frame's layout on little-endian hosts.
    std::memcpy(frame + frame::kValuesOffset, p + 1, 4 * static_cast<size_t>(m_channels));
    m_bufPos += size;
    return 1;
}

bool CDataProducer::LoadBlock(CRawDataFile* file)
{
    if (m_schema == kSchemaChannelBlocks) return LoadChannelBlock(file);
    const uint8_t* h = m_buf.get() + m_bufPos;
    const int n = GetU16(h + 4);
    const int channels = GetU16(h + 6);
    const uint32_t len = GetU32(h + 8);
    if (std::memcmp(h, kBlockMagic, 4) != 0) {
        m_error = L"raw data block marker missing (corrupt data or wrong offset)";
        return false;
    }
    if (n < 1 || n > kMaxBlockSamples || channels != m_channels) {
        m_error = L"raw data block header out of range";
        return false;
    }
    if (len < static_cast<uint32_t>(n) * (1 + m_channels) || len > n * MaxCompressedSample(m_channels)) {
        m_error = L"raw data block length does not fit its sample count";
        return false;
    }
    if (!Fill(file, kBlockHeaderSize + len)) {
        m_error = L"raw data ends inside a block";
        return false;
    }
    h = m_buf.get() + m_bufPos; // Fill may have moved the data
    if (ChecksumsEnforced() && GetU32(h + 12) != Crc32(h + kBlockHeaderSize, len)) {
        m_error = L"raw data block checksum mismatch";
        return false;
    }
    m_bufPos += kBlockHeaderSize;
    m_blockPos = m_bufPos;
    m_blockLen = len;
    m_blockLeft = n;
    std::fill(m_prev.begin(), m_prev.end(), 0);
    return true;
}

bool CDataProducer::NextBlock(CRawDataFile* file)
{
    if (m_blockLeft > 0) return true;
    if (!Fill(file, kBlockHeaderSize)) {
        if (m_bufLen > m_bufPos) m_error = L"raw data ends inside a block header";
        return false; // clean end of data unless an error was set
    }
    if (!LoadBlock(file)) {
        m_blockLeft = 0;
        return false;
    }
    return true;
}

namespace {

// Decodes one sample's flags byte and channel codes (zigzag varints of the
// difference to the previous sample) from p. Unchecked: the caller made sure
// that the block holds the longest possible sample from p on, so the common
// one- and two-byte codes go without a bounds test per byte.
template <bool Checked>
const uint8_t* DecodeSample(const uint8_t* p, const uint8_t* end, int channels, int32_t* prev, uint8_t* flags,
                            uint8_t* values, size_t channelStride, const wchar_t*& why)
{
    if (Checked && p >= end) {
        why = L"raw data block shorter than its sample count";
        return nullptr;
    }
    *flags = static_cast<uint8_t>(*p++ & 0x7F);
    for (int c = 0; c < channels; ++c) {
        // Differences of recorded signals mostly take two bytes: four such
        // codes in a row are recognised with one test and decoded together
        // as four 16-bit lanes of one word.
        // When one of the four is not, the two-byte codes before it are
        // still decoded so.
        while (!Checked && c + 4 <= channels) {
            uint64_t w;
            std::memcpy(&w, p, 8); // little-endian host
            const uint64_t bad = (w & 0x8080808080808080ull) ^ 0x0080008000800080ull;
            const int good = bad ? __builtin_ctzll(bad) >> 4 : 4;
            if (good == 0) break;
            const uint64_t z4 = (w & 0x007F007F007F007Full) | ((w >> 1) & 0x3F803F803F803F80ull);
            const uint64_t d4 = ((z4 >> 1) & 0x1FFF1FFF1FFF1FFFull) ^ ((z4 & 0x0001000100010001ull) * 0xFFFF);
            auto lane = [&](int k) {
                int32_t value;
                if (__builtin_add_overflow(prev[c], static_cast<int16_t>(d4 >> (16 * k)), &value)) {
                    why = L"raw data value out of range";
                    return false;
                }
                prev[c] = value;
                std::memcpy(values + channelStride * static_cast<size_t>(c), &value, 4);
                ++c;
                return true;
            };
            if (good == 4) {
                if (!lane(0) || !lane(1) || !lane(2) || !lane(3)) return nullptr;
                p += 8;
                continue;
            }
            for (int k = 0; k < good; ++k)
                if (!lane(k)) return nullptr;
            p += 2 * good;
            break;
        }
        if (!Checked && c == channels) break;
        uint64_t z;
        if (!Checked && p[0] < 0x80) {
            z = p[0];
            p += 1;
        } else if (!Checked && p[1] < 0x80) {
            z = (p[0] & 0x7Fu) | (static_cast<uint64_t>(p[1]) << 7);
            p += 2;
        } else {
            z = 0;
            int shift = 0;
            for (;;) {
                if (Checked && p >= end) {
                    why = L"raw data block shorter than its sample count";
                    return nullptr;
                }
                const uint8_t b = *p++;
                z |= static_cast<uint64_t>(b & 0x7F) << shift;
                if (!(b & 0x80)) break;
                shift += 7;
                if (shift > 28) {
                    why = L"raw data value code too long";
                    return nullptr;
                }
            }
        }
        const int64_t delta = static_cast<int64_t>(z >> 1) ^ -static_cast<int64_t>(z & 1);
        const int64_t v = static_cast<int64_t>(prev[c]) + delta;
        if (static_cast<uint64_t>(v - INT32_MIN) > UINT32_MAX) {
            why = L"raw data value out of range";
            return nullptr;
        }
        const int32_t value = static_cast<int32_t>(v);
        prev[c] = value;
        std::memcpy(values + channelStride * static_cast<size_t>(c), &value, 4); // little-endian host
    }
    return p;
}

} // namespace

int CDataProducer::DecodeRun(uint8_t* flags, size_t flagStride, uint8_t* values, size_t sampleStride,
                             size_t channelStride, int n)
{
    const uint8_t* p = m_buf.get() + m_bufPos;
    const uint8_t* end = m_buf.get() + m_blockPos + m_blockLen;
    const size_t longest = MaxCompressedSample(m_channels);
    int32_t* prev = m_prev.data();
    const wchar_t* why = nullptr;
    int done = 0;
    for (; done < n; ++done) {
        uint8_t* f = flags + done * flagStride;
        uint8_t* v = values + done * sampleStride;
        const uint8_t* next = static_cast<size_t>(end - p) >= longest
                                  ? DecodeSample<false>(p, end, m_channels, prev, f, v, channelStride, why)
                                  : DecodeSample<true>(p, end, m_channels, prev, f, v, channelStride, why);
        if (!next) break;
        p = next;
        if (--m_blockLeft == 0 && p != end) {
            why = L"raw data block longer than its samples";
            break;
        }
    }
    m_bufPos = static_cast<size_t>(p - m_buf.get());
    if (why) {
        m_error = why;
        m_blockLeft = 0;
    }
    return done;
}

int CDataProducer::ReadCompressed(CRawDataFile* file, uint8_t* frame)
{
    if (!NextBlock(file)) {
        frame::SetFlags(frame, frame::kFlagNoData);
        return 0;
    }
    uint8_t flags = 0;
    if (DecodeRun(&flags, 0, frame + frame::kValuesOffset, 0, 4, 1) != 1) {
        frame::SetFlags(frame, frame::kFlagNoData);
        return 0;
    }
    frame::SetFlags(frame, flags);
    return 1;
}

int CDataProducer::ReadSamples(CRawDataFile* file, uint8_t* rows, int count)
{
    if (!file) file = m_file;
    if (!m_ready || !file || !rows || !file->IsOpen() || count <= 0 || !Sync(file)) return 0;
    const size_t stride = 1 + 4 * static_cast<size_t>(m_channels);
    if (m_schema == kSchemaChannelBlocks) return ReadChannelRows(file, rows, stride, rows + 1, stride, count);
    int done = 0;
    while (done < count) {
        uint8_t* row = rows + static_cast<size_t>(done) * stride;
        if (m_schema == kSchemaPlain) {
            // Stored samples are already rows: copy what the read-ahead holds.
            if (!Fill(file, stride)) {
                if (m_bufLen > m_bufPos) m_error = L"raw data ends inside a sample";
                break;
            }
            const int n = static_cast<int>(std::min<size_t>((m_bufLen - m_bufPos) / stride, count - done));
            std::memcpy(row, m_buf.get() + m_bufPos, static_cast<size_t>(n) * stride);
            for (int i = 0; i < n; ++i) row[static_cast<size_t>(i) * stride] &= 0x7F;
            m_bufPos += static_cast<size_t>(n) * stride;
            done += n;
            continue;
        }
        if (!NextBlock(file)) break;
        const int n = std::min(m_blockLeft, count - done);
        const int got = DecodeRun(row, stride, row + 1, stride, 4, n);
        done += got;
        if (got < n) break;
    }
    return done;
}

int CDataProducer::ReadColumns(CRawDataFile* file, uint8_t* flags, int32_t* values, size_t channelStride, int count,
                               bool wholeMiniblocks)
{
    if (!file) file = m_file;
    if (!m_ready || !file || !flags || !values || !file->IsOpen() || count <= 0 || !Sync(file)) return 0;
    const size_t stride = 1 + 4 * static_cast<size_t>(m_channels);
    int done = 0;
    while (done < count) {
        if (m_schema == kSchemaPlain) {
            if (!Fill(file, stride)) {
                if (m_bufLen > m_bufPos) m_error = L"raw data ends inside a sample";
                break;
            }
            const int n = static_cast<int>(std::min<size_t>((m_bufLen - m_bufPos) / stride, count - done));
            for (int i = 0; i < n; ++i, ++done) {
                const uint8_t* row = m_buf.get() + m_bufPos + static_cast<size_t>(i) * stride;
                flags[done] = row[0] & 0x7F;
                for (int c = 0; c < m_channels; ++c)
                    std::memcpy(values + channelStride * static_cast<size_t>(c) + done, row + 1 + 4 * c, 4);
            }
            m_bufPos += static_cast<size_t>(n) * stride;
            continue;
        }
        if (m_cachePos < m_cacheCount) {
            // Samples a row read left in the cache come first.
            const int n = std::min(m_cacheCount - m_cachePos, count - done);
            std::memcpy(flags + done, m_cacheFlags + m_cachePos, static_cast<size_t>(n));
            for (int c = 0; c < m_channels; ++c)
                std::memcpy(values + channelStride * static_cast<size_t>(c) + done,
                            m_cache.data() + static_cast<size_t>(c) * kCacheSamples + m_cachePos, 4 * static_cast<size_t>(n));
            m_cachePos += n;
            done += n;
            continue;
        }
        if (!NextBlock(file)) break;
        int n = std::min(m_blockLeft, count - done);
        if (m_schema == kSchemaChannelBlocks) {
            if (wholeMiniblocks && n < m_blockLeft) {
                // Miniblocks start at samples 1 + 128k of a block.
                const int a = m_blockSamples - m_blockLeft;
                const int cut = 1 + (a + n - 1) / kMiniblockValues * kMiniblockValues;
                if (cut <= a) break;
                n = cut - a;
            }
            DecodeColumns(flags + done, values + done, channelStride, n);
            done += n;
            continue;
        }
        const int got = DecodeRun(flags + done, 1, reinterpret_cast<uint8_t*>(values + done), 4, 4 * channelStride, n);
        done += got;
        if (got < n) break;
    }
    return done;
}

// ---- channel-major blocks (schema 3) ----

namespace {

// Four 32-bit lanes; the unpacking below is written on them so that every
// compiler emits vector instructions for it.
typedef uint32_t Lanes __attribute__((vector_size(16)));

[[gnu::always_inline]] inline Lanes LoadLanes(const uint8_t* p)
{
    Lanes v;
    std::memcpy(&v, p, 16); // little-endian host
    return v;
}

// Value k of each lane of a miniblock packed W bits wide.
template <int W, int K>
inline void UnpackStep(const uint8_t* in, uint32_t* out)
{
    constexpr int bit = K * W, word = bit / 32, shift = bit % 32;
    Lanes x = LoadLanes(in + 16 * word) >> shift;
    if constexpr (shift + W > 32) x |= LoadLanes(in + 16 * (word + 1)) << (32 - shift);
    if constexpr (W < 32) x &= (1u << W) - 1;
    std::memcpy(out + 4 * K, &x, 16);
}

// The kMiniblockValues zigzag codes of a miniblock packed W bits wide
// (16 W bytes at in) into out, in value order.
template <int W>
void Unpack(const uint8_t* in, uint32_t* out)
{
    if constexpr (W == 0) {
        std::memset(out, 0, 4 * kMiniblockValues);
    } else {
        [&]<int... K>(std::integer_sequence<int, K...>) {
            (UnpackStep<W, K>(in, out), ...);
        }(std::make_integer_sequence<int, kMiniblockValues / 4>{});
    }
}

using UnpackFn = void (*)(const uint8_t*, uint32_t*);
constexpr auto kUnpack = []<int... W>(std::integer_sequence<int, W...>) {
    return std::array<UnpackFn, sizeof...(W)>{&Unpack<W>...};
}(std::make_integer_sequence<int, 33>{});

#if defined(__SSE2__)
// Four codes to differences, added up from carry: stores the four values and
// moves carry on to the last. The running total waits on one addition per
// step only.
[[gnu::always_inline]] inline void AddUp(__m128i x, __m128i& carry, int32_t* out)
{
    __m128i d = _mm_xor_si128(_mm_srli_epi32(x, 1), _mm_sub_epi32(_mm_setzero_si128(), _mm_and_si128(x, _mm_set1_epi32(1))));
    d = _mm_add_epi32(d, _mm_slli_si128(d, 4));
    d = _mm_add_epi32(d, _mm_slli_si128(d, 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_add_epi32(d, carry));
    carry = _mm_add_epi32(carry, _mm_shuffle_epi32(d, 0xFF));
}

template <int W, int K>
[[gnu::always_inline]] inline void DecodeStep(const uint8_t* in, __m128i& carry, int32_t* out)
{
    Lanes x = {0, 0, 0, 0};
    if constexpr (W > 0) {
        constexpr int bit = K * W, word = bit / 32, shift = bit % 32;
        x = LoadLanes(in + 16 * word) >> shift;
        if constexpr (shift + W > 32) x |= LoadLanes(in + 16 * (word + 1)) << (32 - shift);
        if constexpr (W < 32) x &= (1u << W) - 1;
    }
    AddUp(reinterpret_cast<__m128i>(x), carry, out + 4 * K);
}
#endif

// A whole miniblock packed W bits wide decoded into its kMiniblockValues
// values (the first 4 Steps of them), added up from acc; returns the last
// value.
template <int W, int Steps = kMiniblockValues / 4>
[[gnu::always_inline]] inline uint32_t DecodeMiniblock(const uint8_t* in, uint32_t acc, int32_t* out)
{
#if defined(__SSE2__)
    __m128i carry = _mm_set1_epi32(static_cast<int32_t>(acc));
    [&]<int... K>(std::integer_sequence<int, K...>) __attribute__((always_inline)) {
        (DecodeStep<W, K>(in, carry, out), ...);
    }(std::make_integer_sequence<int, Steps>{});
    return static_cast<uint32_t>(_mm_cvtsi128_si32(carry));
#else
    alignas(16) uint32_t z[kMiniblockValues];
    Unpack<W>(in, z);
    return Accumulate(z, 0, kMiniblockValues, acc, out);
#endif
}

// Code i of a miniblock packed w bits wide, read from the words that hold it.
inline uint32_t CodeAt(const uint8_t* in, int w, int i)
{
    if (w == 0) return 0;
    const int bit = (i >> 2) * w, word = bit >> 5, shift = bit & 31;
    const uint8_t* lane = in + 4 * (i & 3);
    uint32_t z = GetU32(lane + 16 * word) >> shift;
    if (shift + w > 32) z |= GetU32(lane + 16 * (word + 1)) << (32 - shift);
    return w < 32 ? z & ((1u << w) - 1) : z;
}

// The first codes (< kMiniblockValues) values of a miniblock packed W bits
// wide, straight into out: whole steps of four as DecodeMiniblock takes
// them, the last one to three code by code. Only the words those codes
// take are read, so a block's short last miniblock needs no copy either.
template <int W>
[[gnu::always_inline]] inline uint32_t DecodeMiniblockHead(const uint8_t* in, uint32_t acc, int32_t* out, int codes)
{
    int i = 0;
#if defined(__SSE2__)
    if (codes >= kMiniblockValues - 4) {
        // The last miniblock of a block of 128k samples: 127 codes.
        acc = DecodeMiniblock<W, kMiniblockValues / 4 - 1>(in, acc, out);
        i = kMiniblockValues - 4;
    } else {
        const int steps = codes / 4;
        __m128i carry = _mm_set1_epi32(static_cast<int32_t>(acc));
        [&]<int... K>(std::integer_sequence<int, K...>) __attribute__((always_inline)) {
            (void)((K < steps && (DecodeStep<W, K>(in, carry, out), true)) && ...);
        }(std::make_integer_sequence<int, kMiniblockValues / 4>{});
        acc = static_cast<uint32_t>(_mm_cvtsi128_si32(carry));
        i = 4 * steps;
    }
#endif
    for (; i < codes; ++i) {
        const uint32_t z = CodeAt(in, W, i);
        acc += (z >> 1) ^ (0u - (z & 1));
        out[i] = static_cast<int32_t>(acc);
    }
    return acc;
}

using DecodeFn = uint32_t (*)(const uint8_t*, uint32_t, int32_t*);
using DecodeHeadFn = uint32_t (*)(const uint8_t*, uint32_t, int32_t*, int);
struct DecodeTable {
    std::array<DecodeFn, 33> whole;
    std::array<DecodeHeadFn, 33> head;
};

template <int W>
uint32_t DecodeMiniblockHeadBase(const uint8_t* in, uint32_t acc, int32_t* out, int codes)
{
    return DecodeMiniblockHead<W>(in, acc, out, codes);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Where the processor has AVX2, two steps at once: step K in the low half
// of a 256-bit register, step K + 1 in the high half (each half shifted by
// its own count), the high half's differences added to the low half's last,
// then both to the running total. The same sums, so the same values.
// Words lo and hi of a miniblock's four lanes, in the low and high half.
__attribute__((target("avx2"), always_inline)) inline __m256i LoadWords(const uint8_t* in, int lo, int hi)
{
    return _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(in + 16 * hi),
                               reinterpret_cast<const __m128i*>(in + 16 * lo));
}

template <int W, int K>
__attribute__((target("avx2"), always_inline)) inline void DecodePairAvx2(const uint8_t* in, __m256i& carry,
                                                                           int32_t* out)
{
    __m256i x = _mm256_setzero_si256();
    if constexpr (W > 0) {
        constexpr int b0 = K * W, w0 = b0 / 32, s0 = b0 % 32, b1 = b0 + W, w1 = b1 / 32, s1 = b1 % 32;
        x = _mm256_srlv_epi32(LoadWords(in, w0, w1), _mm256_setr_epi32(s0, s0, s0, s0, s1, s1, s1, s1));
        constexpr bool over0 = s0 + W > 32, over1 = s1 + W > 32;
        if constexpr (over0 || over1) {
            // A half whose values lie within one word shifts its own word
            // out (by 32: zero) instead of reading past the miniblock.
            constexpr int c0 = over0 ? 32 - s0 : 32, c1 = over1 ? 32 - s1 : 32;
            x = _mm256_or_si256(x, _mm256_sllv_epi32(LoadWords(in, over0 ? w0 + 1 : w0, over1 ? w1 + 1 : w1),
                                                     _mm256_setr_epi32(c0, c0, c0, c0, c1, c1, c1, c1)));
        }
        if constexpr (W < 32) x = _mm256_and_si256(x, _mm256_set1_epi32(static_cast<int32_t>((1u << W) - 1)));
    }
    __m256i d = _mm256_xor_si256(_mm256_srli_epi32(x, 1),
                                 _mm256_sub_epi32(_mm256_setzero_si256(), _mm256_and_si256(x, _mm256_set1_epi32(1))));
    d = _mm256_add_epi32(d, _mm256_slli_si256(d, 4));
    d = _mm256_add_epi32(d, _mm256_slli_si256(d, 8));
    d = _mm256_add_epi32(d, _mm256_shuffle_epi32(_mm256_permute2x128_si256(d, d, 0x08), 0xFF));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * K), _mm256_add_epi32(d, carry));
    carry = _mm256_add_epi32(carry, _mm256_permutevar8x32_epi32(d, _mm256_set1_epi32(7)));
}

template <int W, int... P>
__attribute__((target("avx2"), always_inline)) inline void DecodePairsAvx2(const uint8_t* in, __m256i& carry,
                                                                            int32_t* out,
                                                                            std::integer_sequence<int, P...>)
{
    (DecodePairAvx2<W, 2 * P>(in, carry, out), ...);
}

// The first 4 Steps values of a miniblock, as DecodeMiniblock.
template <int W, int Steps>
__attribute__((target("avx2"), always_inline)) inline uint32_t DecodeStepsAvx2(const uint8_t* in, uint32_t acc,
                                                                                int32_t* out)
{
    __m256i carry = _mm256_set1_epi32(static_cast<int32_t>(acc));
    DecodePairsAvx2<W>(in, carry, out, std::make_integer_sequence<int, Steps / 2>{});
    __m128i last = _mm256_castsi256_si128(carry);
    if constexpr (Steps % 2 != 0) DecodeStep<W, Steps - 1>(in, last, out);
    return static_cast<uint32_t>(_mm_cvtsi128_si32(last));
}

template <int W>
__attribute__((target("avx2"))) uint32_t DecodeMiniblockAvx2(const uint8_t* in, uint32_t acc, int32_t* out)
{
    return DecodeStepsAvx2<W, kMiniblockValues / 4>(in, acc, out);
}
template <int W>
__attribute__((target("avx2"))) uint32_t DecodeMiniblockHeadAvx2(const uint8_t* in, uint32_t acc, int32_t* out,
                                                                 int codes)
{
    if (codes < kMiniblockValues - 4) return DecodeMiniblockHead<W>(in, acc, out, codes);
    // The last miniblock of a block of 128k samples: 127 codes.
    acc = DecodeStepsAvx2<W, kMiniblockValues / 4 - 1>(in, acc, out);
    for (int i = kMiniblockValues - 4; i < codes; ++i) {
        const uint32_t z = CodeAt(in, W, i);
        acc += (z >> 1) ^ (0u - (z & 1));
        out[i] = static_cast<int32_t>(acc);
    }
    return acc;
}

DecodeTable PickDecode()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? []<int... W>(std::integer_sequence<int, W...>) {
        return DecodeTable{{&DecodeMiniblockAvx2<W>...}, {&DecodeMiniblockHeadAvx2<W>...}};
    }(std::make_integer_sequence<int, 33>{})
                                          : []<int... W>(std::integer_sequence<int, W...>) {
        return DecodeTable{{&DecodeMiniblock<W>...}, {&DecodeMiniblockHeadBase<W>...}};
    }(std::make_integer_sequence<int, 33>{});
}
const DecodeTable kDecode = PickDecode();
#else
constexpr auto kDecode = []<int... W>(std::integer_sequence<int, W...>) {
    return DecodeTable{{&DecodeMiniblock<W>...}, {&DecodeMiniblockHeadBase<W>...}};
}(std::make_integer_sequence<int, 33>{});
#endif

// Turns zigzag codes z[from..to) into differences and adds them up from acc
// into out; returns the last value. Arithmetic is modulo 2^32, so every code
// gives an int32.
uint32_t Accumulate(const uint32_t* z, int from, int to, uint32_t acc, int32_t* out)
{
    int i = from;
#if defined(__SSE2__)
    if (i + 4 <= to) {
        __m128i carry = _mm_set1_epi32(static_cast<int32_t>(acc));
        for (; i + 4 <= to; i += 4, out += 4)
            AddUp(_mm_loadu_si128(reinterpret_cast<const __m128i*>(z + i)), carry, out);
        acc = static_cast<uint32_t>(_mm_cvtsi128_si32(carry));
    }
#endif
    for (; i < to; ++i) {
        acc += (z[i] >> 1) ^ (0u - (z[i] & 1));
        *out++ = static_cast<int32_t>(acc);
    }
    return acc;
}

} // namespace

bool CDataProducer::LoadChannelBlock(CRawDataFile* file)
{
    const uint8_t* h = m_buf.get() + m_bufPos;
    const int n = GetU16(h + 4);
    const int channels = GetU16(h + 6);
    const uint32_t len = GetU32(h + 8);
    auto fail = [&](const wchar_t* why) {
        m_error = why;
        return false;
    };
    if (std::memcmp(h, kChannelBlockMagic, 4) != 0)
        return fail(L"raw data block marker missing (corrupt data or wrong offset)");
    if (n < 1 || n > kMaxBlockSamples || channels != m_channels) return fail(L"raw data block header out of range");
    // The shortest flag section is a byte per sample of a one-sample block,
    // or an empty list.
    if (len < std::min(1 + n, 3) + 4 * static_cast<size_t>(m_channels) || len > MaxChannelBlockPayload(n, m_channels))
        return fail(L"raw data block length does not fit its sample count");
    if (!Fill(file, kBlockHeaderSize + len)) return fail(L"raw data ends inside a block");
    h = m_buf.get() + m_bufPos; // Fill may have moved the data
    if (ChecksumsEnforced() && GetU32(h + 12) != Crc32(h + kBlockHeaderSize, len))
        return fail(L"raw data block checksum mismatch");
    const size_t start = m_bufPos + kBlockHeaderSize;
    const uint8_t* p = h + kBlockHeaderSize;
    size_t pos;
    m_flagCoding = p[0];
    m_flagList = m_flagNext = 0;
    if (m_flagCoding == 1) {
        pos = 1 + static_cast<size_t>(n);
        if (pos > len) return fail(L"raw data block shorter than its flags");
        m_flagPos = start + 1;
    } else if (m_flagCoding == 0) {
        m_flagList = GetU16(p + 1);
        pos = 3 + 3 * static_cast<size_t>(m_flagList);
        if (m_flagList > n || pos > len) return fail(L"raw data block flag list longer than its samples");
        for (int i = 0, last = -1; i < m_flagList; ++i) {
            const int at = GetU16(p + 3 + 3 * i);
            if (at <= last || at >= n) return fail(L"raw data block flag list out of order");
            last = at;
        }
        m_flagPos = start + 3;
    } else {
        return fail(L"raw data block flag coding unknown");
    }
    const int m = Miniblocks(n);
    for (int c = 0; c < m_channels; ++c) {
        if (pos + 4 + m > len) return fail(L"raw data block shorter than its channels");
        m_channelPos[c] = start + pos;
        size_t bytes = 0;
        for (int k = 0; k < m; ++k) {
            const uint8_t w = p[pos + 4 + k];
            if (w > 32) return fail(L"raw data miniblock wider than 32 bits");
            bytes += MiniblockBytes(w, std::min(kMiniblockValues, n - 1 - k * kMiniblockValues));
        }
        pos += 4 + m + bytes;
        if (pos > len) return fail(L"raw data block shorter than its channels");
    }
    if (pos != len) return fail(L"raw data block longer than its samples");
    m_bufPos = start + len; // the block stays where it is until the next Fill
    m_blockSamples = n;
    m_miniblocks = m;
    m_blockLeft = n;
    return true;
}

void CDataProducer::DecodeColumns(uint8_t* flags, int32_t* values, size_t channelStride, int n)
{
    const uint8_t* base = m_buf.get();
    const int a = m_blockSamples - m_blockLeft, b = a + n;
    if (m_flagCoding == 1) {
        const uint8_t* f = base + m_flagPos + a;
        for (int s = 0; s < n; ++s) flags[s] = f[s] & 0x7F;
    } else {
        std::memset(flags, 0, static_cast<size_t>(n));
        for (; m_flagNext < m_flagList; ++m_flagNext) {
            const uint8_t* e = base + m_flagPos + 3 * static_cast<size_t>(m_flagNext);
            const int at = GetU16(e);
            if (at >= b) break;
            flags[at - a] = e[2] & 0x7F;
        }
    }
    alignas(16) uint32_t z[kMiniblockValues];
    alignas(16) uint8_t tail[16 * 32];
    const int lastCodes = m_blockSamples - 1 - (m_miniblocks - 1) * kMiniblockValues;
    for (int c = 0; c < m_channels; ++c) {
        const uint8_t* ch = base + m_channelPos[c];
        int32_t* out = values + channelStride * static_cast<size_t>(c);
        uint32_t acc;
        int s = a;
        if (s == 0) {
            acc = GetU32(ch);
            out[0] = static_cast<int32_t>(acc);
            s = 1;
        } else {
            acc = static_cast<uint32_t>(m_prev[c]);
        }
        if (s < b) {
            const uint8_t* widths = ch + 4;
            const uint8_t* data = widths + m_miniblocks;
            int k = (s - 1) / kMiniblockValues;
            for (int i = 0; i < k; ++i) data += 16 * widths[i]; // whole miniblocks: only the last is shorter
            for (; s < b; ++k) {
                const int w = widths[k];
                const int first = 1 + k * kMiniblockValues;
                const int end = std::min(b, first + kMiniblockValues);
                const size_t bytes = k == m_miniblocks - 1 ? MiniblockBytes(w, lastCodes) : 16 * static_cast<size_t>(w);
                if (s == first && end - first == kMiniblockValues) {
                    acc = kDecode.whole[w](data, acc, out + (s - a));
                } else if (s == first) {
                    // The start of a miniblock: the last of a block, or up
                    // to where the caller stops.
                    acc = kDecode.head[w](data, acc, out + (s - a), end - first);
                } else {
                    // From inside a miniblock: through a copy of its codes
                    // (a block's last miniblock holds only the words its
                    // codes need: copied as long as a whole one).
                    const uint8_t* src = data;
                    if (bytes < 16 * static_cast<size_t>(w)) {
                        std::memcpy(tail, data, bytes);
                        std::memset(tail + bytes, 0, 16 * static_cast<size_t>(w) - bytes);
                        src = tail;
                    }
                    kUnpack[w](src, z);
                    acc = Accumulate(z, s - first, end - first, acc, out + (s - a));
                }
                data += bytes;
                s = end;
            }
        }
        m_prev[c] = static_cast<int32_t>(acc);
    }
    m_blockLeft -= n;
}

int CDataProducer::ReadChannelRows(CRawDataFile* file, uint8_t* flags, size_t flagStride, uint8_t* values,
                                   size_t sampleStride, int count)
{
    int done = 0;
    while (done < count) {
        if (m_cachePos == m_cacheCount) {
            if (!NextBlock(file)) break;
            // Up to the end of the miniblock the next sample lies in.
            const int a = m_blockSamples - m_blockLeft;
            const int end = std::min(m_blockSamples, kCacheSamples + kMiniblockValues * ((a - 1) / kMiniblockValues));
            if (m_cache.empty()) m_cache.resize(static_cast<size_t>(m_channels) * kCacheSamples);
            DecodeColumns(m_cacheFlags, m_cache.data(), kCacheSamples, end - a);
            m_cachePos = 0;
            m_cacheCount = end - a;
        }
        const int n = std::min(count - done, m_cacheCount - m_cachePos);
        for (int i = 0; i < n; ++i, ++done) {
            const int s = m_cachePos + i;
            flags[static_cast<size_t>(done) * flagStride] = m_cacheFlags[s];
            uint8_t* row = values + static_cast<size_t>(done) * sampleStride;
            for (int c = 0; c < m_channels; ++c)
                std::memcpy(row + 4 * static_cast<size_t>(c), &m_cache[static_cast<size_t>(c) * kCacheSamples + s], 4);
        }
        m_cachePos += n;
    }
    return done;
}

#include "platform/recording/DataProducer.h"

#include <algorithm>
#include <bit>

#include "platform/recording/SampleFrame.h"
#include "platform/recording/StudyFormat.h"

using namespace sk::rec;

// Plain samples are copied into frames as they are stored (little-endian).
static_assert(std::endian::native == std::endian::little, "plain sample copy assumes a little-endian host");

namespace {
constexpr size_t kReadAhead = 256 * 1024;
// Bytes one compressed sample can take at most: flag byte + 5 bytes per channel.
size_t MaxCompressedSample(int channels) { return 1 + 5 * static_cast<size_t>(channels); }
} // namespace

CDataProducer* CDataProducer::CreateDataProducer(uint16_t schema, uint16_t frameWord, CRawDataFile* file)
{
    if (schema != kSchemaPlain && schema != kSchemaDeltaVarint) return nullptr;
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
    else
        cap = std::max(cap, 1 + 4 * static_cast<size_t>(channelCount));
    if (cap > m_bufCap) {
        m_buf.reset(new uint8_t[cap]);
        m_bufCap = cap;
    }
    m_prev.assign(channelCount, 0);
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
        const uint32_t got = file->Read(m_buf.get() + m_bufLen, static_cast<uint32_t>(m_bufCap - m_bufLen));
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

int CDataProducer::ReadColumns(CRawDataFile* file, uint8_t* flags, int32_t* values, size_t channelStride, int count)
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
        if (!NextBlock(file)) break;
        const int n = std::min(m_blockLeft, count - done);
        const int got = DecodeRun(flags + done, 1, reinterpret_cast<uint8_t*>(values + done), 4, 4 * channelStride, n);
        done += got;
        if (got < n) break;
    }
    return done;
}

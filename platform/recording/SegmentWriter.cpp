#include "platform/recording/SegmentWriter.h"

#include <cerrno>
#include <cmath>
#include <unistd.h>

#include "platform/recording/StudyFormat.h"

namespace sk::rec {

namespace {

void BuildErdHeader(uint8_t* h, const RawFileInfo& info, int64_t firstStamp)
{
    std::memset(h, 0, kErdHeaderSize);
    std::memcpy(h, kErdMagic, 4);
    PutU16(h + 4, kFormatVersion);
    PutU16(h + 6, kErdHeaderSize);
    PutI32(h + 8, info.type);
    PutU16(h + 12, info.schema);
    PutU16(h + 14, info.frameWord);
    PutF64(h + 16, info.sampleFreq);
    PutI32(h + 24, info.channelCount);
    PutI32(h + 28, info.decimation);
    PutI64(h + 32, firstStamp);
    PutU32(h + 60, Crc32(h, 60));
}

void EncodeTocEntry(uint8_t* p, const TOC_ENTRY& e)
{
    PutU32(p, e.m_dataOffset);
    PutU32(p + 4, e.m_dataOffsetHigh);
    PutI64(p + 8, e.m_stamp);
    PutU32(p + 16, e.m_dataBytes);
    PutU32(p + 20, 0);
    PutI16(p + 24, e.m_sampleCount);
    PutU16(p + 26, e.m_flags);
    PutU32(p + 28, Crc32(p, 28));
}

// Appends one miniblock of `codes` zigzag codes (unused slots 0) packed w
// bits each, value i in lane i % 4 (see docs/formats/study.md).
void PackMiniblock(const uint32_t* z, int w, int codes, std::vector<uint8_t>& out)
{
    uint32_t words[4 * 32] = {};
    for (int i = 0; i < kMiniblockValues; ++i) {
        const int lane = i % 4, bit = (i / 4) * w, j = bit / 32, s = bit % 32;
        words[4 * j + lane] |= z[i] << s;
        if (s + w > 32) words[4 * (j + 1) + lane] |= z[i] >> (32 - s);
    }
    const size_t old = out.size(), bytes = MiniblockBytes(w, codes);
    out.resize(old + bytes);
    for (size_t k = 0; k < bytes / 4; ++k) PutU32(out.data() + old + 4 * k, words[k]);
}

} // namespace

SegmentWriter::SegmentWriter() = default;

SegmentWriter::~SegmentWriter()
{
    Abandon();
}

void SegmentWriter::Abandon()
{
    if (m_erd) {
        std::fclose(m_erd);
        m_erd = nullptr;
        ::unlink(m_erdTmp.c_str());
    }
}

bool SegmentWriter::Create(const std::wstring& basePath, const RawFileInfo& info, std::wstring* error)
{
    Abandon();
    m_failed = false;
    m_error.clear();
    m_offset = 0;
    m_firstStamp = m_lastStamp = m_nextStamp = -1;
    m_samples = 0;
    m_entries.clear();
    m_pending.clear();
    m_blockSamples = 0;
    auto fail = [&](const std::wstring& why) {
        if (error) *error = why;
        m_failed = true;
        return false;
    };
    if (info.schema != kSchemaPlain && info.schema != kSchemaDeltaVarint && info.schema != kSchemaChannelBlocks)
        return fail(L"unknown storage schema");
    if (info.channelCount < 1 || info.channelCount > kMaxChannels) return fail(L"channel count out of range");
    if (info.decimation < 1 || info.decimation > 65535) return fail(L"decimation out of range");
    if (!(std::isfinite(info.sampleFreq) && info.sampleFreq > 0 && info.sampleFreq <= 1.0e6))
        return fail(L"sampling frequency out of range");
    m_info = info;
    m_base = basePath;
    m_erdPath = NarrowPath(basePath + L".ERD");
    m_etcPath = NarrowPath(basePath + L".ETC");
    m_erdTmp = m_erdPath + ".tmp" + std::to_string(::getpid());
    m_erd = std::fopen(m_erdTmp.c_str(), "wb");
    if (!m_erd) return fail(basePath + L".ERD: cannot create file");
    std::setvbuf(m_erd, nullptr, _IOFBF, 1 << 20);
    uint8_t h[kErdHeaderSize];
    BuildErdHeader(h, m_info, -1);
    if (!WriteBytes(h, sizeof h)) return fail(m_error);
    m_prev.assign(info.channelCount, 0);
    m_pending.reserve(1 << 16);
    return true;
}

void SegmentWriter::SetLimits(int maxEntrySamples, int maxBlockSamples)
{
    if (maxEntrySamples >= 1 && maxEntrySamples <= kMaxTocSamples) m_maxEntry = maxEntrySamples;
    if (maxBlockSamples >= 1 && maxBlockSamples <= kMaxBlockSamples) m_maxBlock = maxBlockSamples;
}

bool SegmentWriter::WriteBytes(const void* data, size_t len)
{
    if (len && std::fwrite(data, 1, len, m_erd) != len) {
        m_failed = true;
        m_error = m_base + L".ERD: write failed";
        return false;
    }
    m_offset += len;
    return true;
}

void SegmentWriter::EncodeChannelBlock()
{
    const int n = m_blockSamples;
    const int miniblocks = (n - 1 + kMiniblockValues - 1) / kMiniblockValues;
    // Flags: a list of the samples with flags set when that is shorter
    // (trigger pulses are rare), else a byte per sample.
    int set = 0;
    for (int s = 0; s < n; ++s) set += (m_flags[s] & 0x7F) != 0;
    if (3 + 3 * set < 1 + n) {
        const size_t at = m_pending.size();
        m_pending.resize(at + 3);
        m_pending[at] = 0;
        PutU16(m_pending.data() + at + 1, static_cast<uint16_t>(set));
        for (int s = 0; s < n; ++s) {
            if (!(m_flags[s] & 0x7F)) continue;
            const size_t old = m_pending.size();
            m_pending.resize(old + 3);
            PutU16(m_pending.data() + old, static_cast<uint16_t>(s));
            m_pending[old + 2] = m_flags[s] & 0x7F;
        }
    } else {
        m_pending.push_back(1);
        for (int s = 0; s < n; ++s) m_pending.push_back(m_flags[s] & 0x7F);
    }
    for (int c = 0; c < m_info.channelCount; ++c) {
        const int32_t* v = m_columns.data() + static_cast<size_t>(c) * m_maxBlock;
        size_t at = m_pending.size();
        m_pending.resize(at + 4 + miniblocks);
        PutI32(m_pending.data() + at, v[0]);
        at += 4;
        for (int k = 0; k < miniblocks; ++k) {
            uint32_t z[kMiniblockValues] = {};
            uint32_t any = 0;
            for (int i = 0; i < kMiniblockValues; ++i) {
                const int s = 1 + k * kMiniblockValues + i;
                if (s >= n) break;
                // The difference modulo 2^32 as an int32, zigzag coded.
                const uint32_t d = static_cast<uint32_t>(v[s]) - static_cast<uint32_t>(v[s - 1]);
                z[i] = (d << 1) ^ (0u - (d >> 31));
                any |= z[i];
            }
            const int w = any ? 32 - __builtin_clz(any) : 0;
            m_pending[at + k] = static_cast<uint8_t>(w);
            PackMiniblock(z, w, std::min(kMiniblockValues, n - 1 - k * kMiniblockValues), m_pending);
        }
    }
}

bool SegmentWriter::FlushBlock()
{
    if (m_info.schema == kSchemaChannelBlocks && m_blockSamples > 0) EncodeChannelBlock();
    if (m_pending.empty()) return true;
    if (m_info.schema != kSchemaPlain) {
        uint8_t h[kBlockHeaderSize];
        std::memcpy(h, m_info.schema == kSchemaDeltaVarint ? kBlockMagic : kChannelBlockMagic, 4);
        PutU16(h + 4, static_cast<uint16_t>(m_blockSamples));
        PutU16(h + 6, static_cast<uint16_t>(m_info.channelCount));
        PutU32(h + 8, static_cast<uint32_t>(m_pending.size()));
        PutU32(h + 12, Crc32(m_pending.data(), m_pending.size()));
        if (!WriteBytes(h, sizeof h)) return false;
        m_entries.back().m_dataBytes += kBlockHeaderSize;
        std::fill(m_prev.begin(), m_prev.end(), 0);
        m_blockSamples = 0;
    }
    if (!WriteBytes(m_pending.data(), m_pending.size())) return false;
    m_entries.back().m_dataBytes += static_cast<uint32_t>(m_pending.size());
    m_pending.clear();
    return true;
}

bool SegmentWriter::Append(int64_t stamp, uint8_t flags, const int32_t* values)
{
    if (m_failed || !m_erd) return false;
    const int dec = m_info.decimation;
    bool newEntry = false;
    uint16_t entryFlags = 0;
    if (m_firstStamp < 0) {
        if (stamp < 0 || stamp >= kTocEndSentinel) return false;
        m_firstStamp = stamp;
        newEntry = true;
    } else if (stamp < m_nextStamp || stamp >= kTocEndSentinel - dec) {
        return false;
    } else if (stamp != m_nextStamp) {
        newEntry = true;
        entryFlags = kTocFlagAfterGap;
    } else if (m_entries.back().m_sampleCount >= m_maxEntry) {
        newEntry = true;
    }
    if (newEntry) {
        if (!m_entries.empty() && !FlushBlock()) return false;
        TOC_ENTRY e;
        e.m_dataOffset = static_cast<uint32_t>(m_offset);
        e.m_dataOffsetHigh = static_cast<uint32_t>(m_offset >> 32);
        e.m_stamp = stamp;
        e.m_sampleCount = 0;
        e.m_flags = entryFlags;
        m_entries.push_back(e);
    } else if (m_info.schema != kSchemaPlain && m_blockSamples >= m_maxBlock) {
        if (!FlushBlock()) return false;
    }
    const int n = m_info.channelCount;
    if (m_info.schema == kSchemaPlain) {
        const size_t old = m_pending.size();
        m_pending.resize(old + 1 + 4 * static_cast<size_t>(n));
        uint8_t* p = m_pending.data() + old;
        *p++ = static_cast<uint8_t>(flags & 0x7F);
        for (int c = 0; c < n; ++c, p += 4) PutI32(p, values[c]);
        if (m_pending.size() >= (1u << 20) && !FlushBlock()) return false;
    } else if (m_info.schema == kSchemaChannelBlocks) {
        if (m_blockSamples == 0 && m_columns.size() != static_cast<size_t>(n) * m_maxBlock) {
            m_columns.assign(static_cast<size_t>(n) * m_maxBlock, 0);
            m_flags.assign(static_cast<size_t>(m_maxBlock), 0);
        }
        for (int c = 0; c < n; ++c) m_columns[static_cast<size_t>(c) * m_maxBlock + m_blockSamples] = values[c];
        m_flags[m_blockSamples] = flags;
        ++m_blockSamples;
    } else {
        const size_t old = m_pending.size();
        m_pending.resize(old + 1 + 5 * static_cast<size_t>(n));
        uint8_t* p = m_pending.data() + old;
        *p++ = static_cast<uint8_t>(flags & 0x7F);
        for (int c = 0; c < n; ++c) {
            const int64_t d = static_cast<int64_t>(values[c]) - m_prev[c];
            m_prev[c] = values[c];
            uint64_t z = (static_cast<uint64_t>(d) << 1) ^ static_cast<uint64_t>(d >> 63);
            while (z >= 0x80) {
                *p++ = static_cast<uint8_t>(z | 0x80);
                z >>= 7;
            }
            *p++ = static_cast<uint8_t>(z);
        }
        m_pending.resize(static_cast<size_t>(p - m_pending.data()));
        ++m_blockSamples;
    }
    ++m_entries.back().m_sampleCount;
    ++m_samples;
    m_lastStamp = stamp + dec - 1;
    m_nextStamp = stamp + dec;
    return true;
}

bool SegmentWriter::Finish(std::wstring* error)
{
    auto fail = [&](const std::wstring& why) {
        if (error) *error = why;
        Abandon();
        m_failed = true;
        return false;
    };
    if (!m_erd) return fail(L"segment was not created");
    if (m_failed) return fail(m_error);
    if (!m_entries.empty() && !FlushBlock()) return fail(m_error);
    uint8_t h[kErdHeaderSize];
    BuildErdHeader(h, m_info, m_firstStamp);
    if (std::fflush(m_erd) != 0 || std::fseek(m_erd, 0, SEEK_SET) != 0 || std::fwrite(h, 1, sizeof h, m_erd) != sizeof h)
        return fail(m_base + L".ERD: write failed");
    if (std::fclose(m_erd) != 0) {
        m_erd = nullptr;
        ::unlink(m_erdTmp.c_str());
        return fail(m_base + L".ERD: write failed");
    }
    m_erd = nullptr;
    std::vector<uint8_t> toc(kEtcHeaderSize + kTocEntrySize * m_entries.size());
    std::memcpy(toc.data(), kEtcMagic, 4);
    PutU16(toc.data() + 4, kFormatVersion);
    PutU16(toc.data() + 6, kEtcHeaderSize);
    PutU32(toc.data() + 8, static_cast<uint32_t>(m_entries.size()));
    PutU16(toc.data() + 12, static_cast<uint16_t>(m_info.decimation));
    PutU32(toc.data() + 28, Crc32(toc.data(), 28));
    for (size_t i = 0; i < m_entries.size(); ++i) {
        uint8_t* p = toc.data() + kEtcHeaderSize + i * kTocEntrySize;
        EncodeTocEntry(p, m_entries[i]);
        m_entries[i].m_crc = GetU32(p + 28);
    }
    if (std::rename(m_erdTmp.c_str(), m_erdPath.c_str()) != 0) {
        ::unlink(m_erdTmp.c_str());
        return fail(m_base + L".ERD: cannot move file into place");
    }
    std::wstring why;
    if (!AtomicWriteFile(m_base + L".ETC", toc.data(), toc.size(), &why)) return fail(why);
    return true;
}

} // namespace sk::rec

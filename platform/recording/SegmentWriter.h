#pragma once
// Writer of one recording segment: the ".ERD" raw data file and its ".ETC"
// table of contents. Samples are appended in stamp order; a stamp that does
// not continue the current run (previous stamp + decimation) starts a new
// TOC entry after a gap, and an entry is also closed when it reaches its
// sample limit. Both files are written beside their target names and moved
// into place by Finish, so readers never see a half-written segment.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/SkrivoExport.h"
#include "platform/recording/TocFile.h"

namespace sk::rec {

struct RawFileInfo {
    int32_t type = 0;          // headbox type
    uint16_t schema = 2;       // kSchemaPlain, kSchemaDeltaVarint or kSchemaChannelBlocks
    uint16_t frameWord = 0;    // copied into frame word 0 by readers
    double sampleFreq = 256.0; // acquisition rate (stamps count at this rate)
    int32_t channelCount = 1;  // 1..544
    int32_t decimation = 1;    // stamps per stored sample
};

class SKRIVO_API SegmentWriter {
public:
    SegmentWriter();
    ~SegmentWriter(); // abandons an unfinished segment (temporary files removed)
    SegmentWriter(const SegmentWriter&) = delete;
    SegmentWriter& operator=(const SegmentWriter&) = delete;

    // basePath is the segment path without extension; ".ERD" and ".ETC" are
    // appended. False (with error) for bad parameters or an unwritable folder.
    bool Create(const std::wstring& basePath, const RawFileInfo& info, std::wstring* error = nullptr);
    // Samples per TOC entry (1..32767) and per compressed block (1..4096);
    // defaults 32767 and 1024. Tests use small values to get many entries.
    void SetLimits(int maxEntrySamples, int maxBlockSamples);
    // Appends one sample. Its stamp must be at least the previous stamp plus
    // the decimation; anything beyond that starts a new TOC entry (a gap).
    bool Append(int64_t stamp, uint8_t flags, const int32_t* values);
    // Flushes, writes the TOC and the final header, and moves both files into
    // place. False (with error) on any write failure.
    bool Finish(std::wstring* error = nullptr);

    int64_t FirstStamp() const { return m_firstStamp; }
    int64_t LastStamp() const { return m_lastStamp; } // last covered stamp
    int64_t SampleCount() const { return m_samples; }
    const std::vector<TOC_ENTRY>& Entries() const { return m_entries; }

private:
    bool FlushBlock();
    // Encodes the held samples of a channel-major block into m_pending.
    void EncodeChannelBlock();
    bool WriteBytes(const void* data, size_t len);
    void Abandon();

    RawFileInfo m_info;
    std::wstring m_base;
    std::string m_erdTmp, m_etcTmp, m_erdPath, m_etcPath;
    std::FILE* m_erd = nullptr;
    bool m_failed = false;
    std::wstring m_error;
    int m_maxEntry = 32767, m_maxBlock = 1024;
    uint64_t m_offset = 0;
    int64_t m_firstStamp = -1, m_lastStamp = -1, m_nextStamp = -1, m_samples = 0;
    std::vector<TOC_ENTRY> m_entries;
    // current block (compressed) or pending plain bytes
    std::vector<uint8_t> m_pending;
    std::vector<int32_t> m_prev;
    int m_blockSamples = 0;
    // channel-major blocks: the block's samples held until it is encoded
    std::vector<int32_t> m_columns; // channel c's value of sample s at c * m_maxBlock + s
    std::vector<uint8_t> m_flags;
};

} // namespace sk::rec

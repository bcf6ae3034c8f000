#pragma once
// Reader of raw samples. A producer is created for a raw data file's storage
// schema, attached to the open file, initialised from the header, and then
// reads one sample per call into a 2187-byte sample frame (flags and channel
// values; the caller sets word 0 and the stamp). It reads sequentially from
// the file's current position, so the caller seeks the file to a TOC entry's
// data offset first; a later Seek of the file is noticed and reading restarts
// at the new position. Reading goes through a read-ahead buffer (never one
// system call per sample) and allocates nothing per sample.
//
// Typical use:
//   CDataProducer* p = CDataProducer::CreateDataProducer(h->m_schema, h->m_frameWord, &raw);
//   p->Attach(&raw);
//   p->GetDataInterface()->Init(h->m_channelCount, h->m_schema, h->m_decimation, h->m_sampleFreq);
//   raw.Seek(entry.DataOffset(), 0);
//   while (p->ReadSample(&raw, frame, prev) == 1) ...
//   p->Release();

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/SkrivoExport.h"
#include "platform/recording/RawDataFile.h"

class SKRIVO_API ADataInterface {
public:
    virtual ~ADataInterface() = default;
    // Prepares decoding for the channel count, schema, decimation and rate
    // of the raw data header. Non-zero on success (0 for a channel count
    // outside 1..544 or a schema the producer does not decode).
    virtual int Init(int32_t channelCount, uint16_t schema, int32_t decimation, double sampleFreq) = 0;
};

class SKRIVO_API CDataProducer : public ADataInterface {
public:
    // A producer for the schema (null for an unknown schema). frameWord is the
    // header value the caller copies into frame word 0; file may be null and
    // attached later.
    static CDataProducer* CreateDataProducer(uint16_t schema, uint16_t frameWord, CRawDataFile* file);
    ~CDataProducer() override;
    // Destroys a producer made by CreateDataProducer.
    void Release();

    void Attach(CRawDataFile* file);
    ADataInterface* GetDataInterface() { return this; }
    int Init(int32_t channelCount, uint16_t schema, int32_t decimation, double sampleFreq) override;

    // Reads the next stored sample into frame: flags (bit 0 trigger; bit 7
    // cleared) and channelCount values; the remaining values of the frame are
    // left as they are. prevFrame is accepted for call compatibility and not
    // needed. Returns 1 when a sample was read, 0 at the end of the data or on
    // corrupt data (the frame's flags then get bit 7; see GetErrorText).
    int ReadSample(CRawDataFile* file, uint8_t* frame, const uint8_t* prevFrame);

    // Reads up to count stored samples into rows of 1 + 4 x channelCount
    // bytes: the flags (bit 7 cleared), then the values as little-endian
    // int32 in channel order. Whole runs of a block are decoded in one loop.
    // Returns the samples read: fewer than count at the end of the data, or
    // on corrupt data (GetErrorText then says why; the rows before the
    // faulty sample are valid).
    int ReadSamples(CRawDataFile* file, uint8_t* rows, int count);

    // The same samples channel by channel: the flags of sample s at
    // flags[s], the value of channel c at values[c * channelStride + s], so
    // that each channel's values lie contiguous for conversion. With
    // wholeMiniblocks, a read that would end inside a bit-packed miniblock
    // (schema 3) stops before it instead, returning fewer than count without
    // an error, so that the next read decodes that miniblock once, whole.
    int ReadColumns(CRawDataFile* file, uint8_t* flags, int32_t* values, size_t channelStride, int count,
                    bool wholeMiniblocks = false);

    // Empty unless the last read met corrupt or truncated data.
    const std::wstring& GetErrorText() const { return m_error; }
    uint16_t GetFrameWord() const { return m_frameWord; }

private:
    CDataProducer(uint16_t schema, uint16_t frameWord, CRawDataFile* file);
    bool Sync(CRawDataFile* file);
    bool Fill(CRawDataFile* file, size_t need);
    int ReadPlain(CRawDataFile* file, uint8_t* frame);
    int ReadCompressed(CRawDataFile* file, uint8_t* frame);
    bool LoadBlock(CRawDataFile* file);
    // Makes a block current when none is (false at the end or on an error,
    // which m_error then names).
    bool NextBlock(CRawDataFile* file);
    // Decodes n samples of the current block (n <= m_blockLeft): sample s's
    // flags at flags + s * flagStride, its value of channel c at
    // values + s * sampleStride + c * channelStride (bytes). Returns the
    // samples decoded before an error.
    int DecodeRun(uint8_t* flags, size_t flagStride, uint8_t* values, size_t sampleStride, size_t channelStride,
                  int n);
    int Fail(const wchar_t* why, uint8_t* frame);
    // Channel-major blocks: checks a block's layout and notes where its
    // flags and each channel's data start.
    bool LoadChannelBlock(CRawDataFile* file);
    // Decodes the next n samples of the current channel-major block (n <=
    // m_blockLeft) into columns: flags[s], values[c * channelStride + s].
    void DecodeColumns(uint8_t* flags, int32_t* values, size_t channelStride, int n);
    // Sample rows out of channel-major blocks go through a cache of one
    // miniblock's samples of every channel.
    int ReadChannelRows(CRawDataFile* file, uint8_t* flags, size_t flagStride, uint8_t* values, size_t sampleStride,
                        int count);

    uint16_t m_schema;
    uint16_t m_frameWord;
    CRawDataFile* m_file;
    int32_t m_channels = 0;
    bool m_ready = false;
    uint64_t m_seenGeneration = ~0ull;
    // read-ahead (not zero-filled: only bytes read from the file are used)
    std::unique_ptr<uint8_t[]> m_buf;
    size_t m_bufCap = 0;
    size_t m_bufPos = 0, m_bufLen = 0;
    // compressed block state
    std::vector<uint8_t> m_block;
    size_t m_blockPos = 0, m_blockLen = 0;
    int m_blockLeft = 0;
    std::vector<int32_t> m_prev;
    // channel-major block state: samples in the block, miniblocks per
    // channel, the flag section and the start of every channel's data
    int m_blockSamples = 0, m_miniblocks = 0;
    uint8_t m_flagCoding = 0;
    size_t m_flagPos = 0;
    int m_flagList = 0, m_flagNext = 0;
    std::vector<size_t> m_channelPos;
    std::vector<int32_t> m_cache; // channel c's sample s at c * kCacheSamples + s
    uint8_t m_cacheFlags[129] = {};
    int m_cachePos = 0, m_cacheCount = 0;
    std::wstring m_error;
};

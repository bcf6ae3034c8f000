#pragma once
// Decodes the samples of one raw data file block by block, as the record
// writing loop asks for them. The samples of the given table-of-contents
// entries are delivered in order, each entry from its own data offset.
//
// Decoding runs on the caller's thread, into one block small enough to stay
// in the processor's cache until it is converted. A decoding thread of its
// own made one export no faster here (the writing side, with the kernel's
// copy of the output, is as long as the decoding side) while it cost 60 %
// more processor time in hand-overs and in moving each block's values from
// one processor's cache to the other's.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/recording/TocFile.h"
#include "recorddata/EDFSignalData.h"

class CDataProducer;
class CRawDataFile;

namespace sk {

class SampleReader {
public:
    // Starts with the entries in order. channels: the producer's channel
    // count (values per sample). The file and the producer must not be
    // used by anything else until the next Start.
    void Start(CRawDataFile* raw, CDataProducer* producer, std::vector<TOC_ENTRY> entries, int channels);
    // Reads on from the entry that starts at stamp (the entries' stamps
    // increase), or delivers nothing when none does; what the last block
    // held and the last error are dropped.
    void MoveTo(int64_t stamp);
    // Consecutive samples of one decoded block, channel by channel (zeros
    // for a channel the file does not store): valid until the next ReadRun
    // or Skip.
    struct Run : CEDFSignalData::Columns {
        const uint8_t* flags = nullptr; // one per sample (bit 7 clear)
        int count = 0;
    };
    // Up to max (>= 1) next samples as a run. The count delivered (at least
    // 1), or 0 at the end of the entries or when the data could not be
    // decoded (Error() then says why).
    int ReadRun(int max, Run* run);
    // Passes over n samples; false when the data ends first.
    bool Skip(int64_t n);
    const std::wstring& Error() const { return m_error; }

private:
    // A block's bytes: it stays in the cache between decoding and
    // conversion.
    static constexpr size_t kBlockBytes = 128 * 1024;
    static constexpr size_t kMinBlockSamples = 256;
    static constexpr size_t kMaxBlockSamples = 2048;

    // Decodes into the block until it is full or the data ends (then sets
    // m_last).
    void Fill();

    CRawDataFile* m_raw = nullptr;
    CDataProducer* m_producer = nullptr;
    std::vector<TOC_ENTRY> m_entries;
    size_t m_entry = 0;   // the entry being decoded
    int m_entryLeft = -1; // its samples still to decode; -1: not entered yet
    int m_channels = 0;
    int m_blockSamples = 0;
    size_t m_channelStride = 0; // values from one channel's to the next's in the block
    std::vector<int32_t> m_zeros;
    std::vector<uint8_t> m_flags;
    std::vector<int32_t> m_values; // channel c from c * m_channelStride on
    int m_count = 0;               // samples in the block
    int m_readPos = 0;             // of them delivered
    bool m_last = false;           // no block follows this one
    std::wstring m_error;
};

} // namespace sk

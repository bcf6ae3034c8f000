#pragma once
// Decodes the samples of one raw data file on a thread of its own, ahead of
// the record writing loop, so that decoding and record conversion overlap.
// The samples of the given table-of-contents entries are delivered in order
// through a ring of blocks; handing over takes a lock once per block, never
// per sample. One reader serves one raw data file; the writing loop must not
// touch the file or the producer between Start and Stop.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/recording/TocFile.h"
#include "recorddata/EDFSignalData.h"

class CDataProducer;
class CRawDataFile;

namespace sk {

class SampleReader {
public:
    SampleReader() = default;
    ~SampleReader(); // stops and joins
    SampleReader(const SampleReader&) = delete;
    SampleReader& operator=(const SampleReader&) = delete;

    // Starts decoding the entries in order (each from its own data offset).
    // channels: the producer's channel count (values per sample). ahead:
    // decode on a thread of its own; otherwise each block is decoded by
    // ReadRun when it is needed, on the caller's thread (where other
    // exports keep every core busy, a second thread only adds hand-overs).
    void Start(CRawDataFile* raw, CDataProducer* producer, std::vector<TOC_ENTRY> entries, int channels,
               bool ahead = true);
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
    // Ends the thread (also in the middle of the data) and waits for it.
    void Stop();
    const std::wstring& Error() const { return m_error; }

private:
    struct Block {
        std::vector<uint8_t> flags;
        std::vector<int32_t> values; // channel c from c * m_channelStride on
        int count = 0;
        bool last = false; // no block follows
        bool full = false; // filled, waiting for the reader
    };
    // Larger blocks mean fewer hand-overs (each can cost two context
    // switches); the ring's size stays bounded whatever the channel count.
    static constexpr int kBlocks = 4;
    // Decoding in turn, one block a quarter of that size stays in the cache
    // between decoding and conversion.
    static constexpr size_t kBlockBytes = 512 * 1024;
    static constexpr size_t kMinBlockSamples = 256;
    static constexpr size_t kMaxBlockSamples = 2048;

    void Produce();
    // Decodes into the block from where the last one ended until it is full
    // or the data ends (then sets last); no lock is held.
    void Fill(Block& block);

    CRawDataFile* m_raw = nullptr;
    CDataProducer* m_producer = nullptr;
    std::vector<TOC_ENTRY> m_entries;
    size_t m_entry = 0;     // the entry being decoded
    int m_entryLeft = -1;   // its samples still to decode; -1: not entered yet
    bool m_ahead = true;
    int m_channels = 0;
    int m_blockSamples = 0;
    size_t m_channelStride = 0; // values from one channel's to the next's in a block
    std::vector<int32_t> m_zeros;
    Block m_blocks[kBlocks];
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stop = false;
    std::thread m_thread;
    std::wstring m_error;      // written by the thread before its last block
    std::wstring m_threadError;
    // consumer side
    int m_readBlock = 0;
    int m_readPos = 0;
    bool m_holding = false;
    bool m_ended = false;
};

} // namespace sk

#include "writer/SampleReader.h"

#include <algorithm>
#include <cstring>

#include "platform/recording/DataProducer.h"
#include "platform/recording/RawDataFile.h"
#include "platform/recording/SampleFrame.h"

namespace sk {

SampleReader::~SampleReader() { Stop(); }

void SampleReader::Start(CRawDataFile* raw, CDataProducer* producer, std::vector<TOC_ENTRY> entries, int channels,
                         bool ahead) {
    Stop();
    m_entry = 0;
    m_entryLeft = -1;
    m_ahead = ahead;
    m_raw = raw;
    m_producer = producer;
    m_entries = std::move(entries);
    m_channels = channels < 0 ? 0 : (channels > frame::kMaxChannels ? frame::kMaxChannels : channels);
    const size_t sampleBytes = 1 + 4 * static_cast<size_t>(m_channels);
    m_blockSamples = static_cast<int>(
        std::clamp<size_t>((m_ahead ? kBlockBytes : kBlockBytes / 4) / sampleBytes, kMinBlockSamples, kMaxBlockSamples));
    // Channels lie an odd number of cache lines apart: at a power-of-two
    // distance the decoder's stores into every channel would compete for
    // the same few cache sets.
    m_channelStride = (static_cast<size_t>(m_blockSamples) + 15) / 16 * 16;
    if (m_channelStride / 16 % 2 == 0)
        m_channelStride += 16;
    m_zeros.assign(static_cast<size_t>(m_blockSamples), 0);
    for (Block& b : m_blocks) {
        const bool used = m_ahead || &b == m_blocks;
        b.flags.resize(used ? static_cast<size_t>(m_blockSamples) : 0);
        b.values.resize(used ? static_cast<size_t>(m_channels) * m_channelStride : 0);
        b.count = 0;
        b.last = false;
        b.full = false;
    }
    m_stop = false;
    m_error.clear();
    m_threadError.clear();
    m_readBlock = 0;
    m_readPos = 0;
    m_holding = false;
    m_ended = false;
    if (m_ahead)
        m_thread = std::thread([this] { Produce(); });
}

void SampleReader::Fill(Block& block) {
    block.count = 0;
    block.last = false;
    while (block.count < m_blockSamples) {
        if (m_entryLeft == 0) {
            ++m_entry;
            m_entryLeft = -1;
        }
        if (m_entry >= m_entries.size()) {
            block.last = true;
            return;
        }
        const TOC_ENTRY& e = m_entries[m_entry];
        if (m_entryLeft < 0) {
            m_raw->Seek(static_cast<int64_t>(e.DataOffset()), 0);
            m_entryLeft = std::max<int>(0, e.m_sampleCount);
            continue;
        }
        // Where the block's room ends the run, it ends before the miniblock
        // the room would cut (that miniblock goes whole into the next block,
        // decoded once).
        const bool roomEnds = m_blockSamples - block.count < m_entryLeft;
        const int want = std::min(m_entryLeft, m_blockSamples - block.count);
        const int got = m_producer->ReadColumns(m_raw, block.flags.data() + block.count,
                                                block.values.data() + block.count, m_channelStride, want, roomEnds);
        block.count += got;
        m_entryLeft -= got;
        if (got < want && roomEnds && block.count > 0 && m_producer->GetErrorText().empty())
            break;
        if (got < want) {
            m_threadError = m_producer->GetErrorText();
            if (m_threadError.empty())
                m_threadError = L"sample data ends before its table of contents";
            m_entry = m_entries.size();
            m_entryLeft = -1;
            block.last = true;
            return;
        }
    }
    // A block that ends with the data says so at once, so the reader does
    // not wait for an empty one.
    if (m_entryLeft == 0 && m_entry + 1 >= m_entries.size())
        block.last = true;
}

void SampleReader::Produce() {
    for (int index = 0;; index = (index + 1) % kBlocks) {
        Block& block = m_blocks[index];
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait(lock, [&] { return m_stop || !block.full; });
            if (m_stop)
                return;
        }
        Fill(block);
        std::lock_guard<std::mutex> lock(m_mutex);
        block.full = true;
        if (block.last)
            m_error = m_threadError;
        m_cv.notify_all();
        if (block.last)
            return;
    }
}

int SampleReader::ReadRun(int max, Run* run) {
    for (;;) {
        if (m_ended)
            return 0;
        if (!m_holding && !m_ahead) {
            Block& b = m_blocks[m_readBlock];
            Fill(b);
            if (b.last)
                m_error = m_threadError;
            b.full = true;
            m_holding = true;
            m_readPos = 0;
        } else if (!m_holding) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait(lock, [&] { return m_blocks[m_readBlock].full; });
            m_holding = true;
            m_readPos = 0;
        }
        Block& b = m_blocks[m_readBlock];
        if (m_readPos < b.count) {
            const int n = std::min(max, b.count - m_readPos);
            run->flags = b.flags.data() + m_readPos;
            run->count = n;
            run->values = b.values.data() + m_readPos;
            run->channelStride = m_channelStride;
            run->channels = m_channels;
            run->zeros = m_zeros.data();
            m_readPos += n;
            return n;
        }
        // Block used up: hand it back and move on.
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool last = b.last;
        b.full = false;
        m_holding = false;
        m_readBlock = m_ahead ? (m_readBlock + 1) % kBlocks : 0; // decoding in turn needs one block
        m_cv.notify_all();
        if (last) {
            m_ended = true;
            return 0;
        }
    }
}

bool SampleReader::Skip(int64_t n) {
    Run run;
    while (n > 0) {
        const int got = ReadRun(static_cast<int>(std::min<int64_t>(n, m_blockSamples)), &run);
        if (got == 0)
            return false;
        n -= got;
    }
    return true;
}

void SampleReader::Stop() {
    if (m_thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
            m_cv.notify_all();
        }
        m_thread.join();
    }
}

} // namespace sk

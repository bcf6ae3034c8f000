#include "writer/SampleReader.h"

#include <algorithm>

#include "platform/recording/DataProducer.h"
#include "platform/recording/RawDataFile.h"
#include "platform/recording/SampleFrame.h"

namespace sk {

void SampleReader::Start(CRawDataFile* raw, CDataProducer* producer, std::vector<TOC_ENTRY> entries, int channels) {
    m_raw = raw;
    m_producer = producer;
    m_entries = std::move(entries);
    m_channels = channels < 0 ? 0 : (channels > frame::kMaxChannels ? frame::kMaxChannels : channels);
    const size_t sampleBytes = 1 + 4 * static_cast<size_t>(m_channels);
    m_blockSamples =
        static_cast<int>(std::clamp<size_t>(kBlockBytes / sampleBytes, kMinBlockSamples, kMaxBlockSamples));
    // Channels lie an odd number of cache lines apart: at a power-of-two
    // distance the decoder's stores into every channel would compete for
    // the same few cache sets.
    m_channelStride = (static_cast<size_t>(m_blockSamples) + 15) / 16 * 16;
    if (m_channelStride / 16 % 2 == 0)
        m_channelStride += 16;
    m_zeros.assign(static_cast<size_t>(m_blockSamples), 0);
    m_flags.resize(static_cast<size_t>(m_blockSamples));
    m_values.resize(static_cast<size_t>(m_channels) * m_channelStride);
    MoveTo(m_entries.empty() ? 0 : m_entries.front().m_stamp);
}

void SampleReader::MoveTo(int64_t stamp) {
    const auto at = std::lower_bound(m_entries.begin(), m_entries.end(), stamp,
                                     [](const TOC_ENTRY& e, int64_t s) { return e.m_stamp < s; });
    m_entry = at != m_entries.end() && at->m_stamp == stamp ? static_cast<size_t>(at - m_entries.begin())
                                                            : m_entries.size();
    m_entryLeft = -1;
    m_count = m_readPos = 0;
    m_last = false;
    m_error.clear();
}

void SampleReader::Fill() {
    m_count = 0;
    m_readPos = 0;
    m_last = false;
    while (m_count < m_blockSamples) {
        if (m_entryLeft == 0) {
            ++m_entry;
            m_entryLeft = -1;
        }
        if (m_entry >= m_entries.size()) {
            m_last = true;
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
        const bool roomEnds = m_blockSamples - m_count < m_entryLeft;
        const int want = std::min(m_entryLeft, m_blockSamples - m_count);
        const int got = m_producer->ReadColumns(m_raw, m_flags.data() + m_count,
                                                m_values.data() + m_count, m_channelStride, want, roomEnds);
        m_count += got;
        m_entryLeft -= got;
        if (got < want && roomEnds && m_count > 0 && m_producer->GetErrorText().empty())
            break;
        if (got < want) {
            m_error = m_producer->GetErrorText();
            if (m_error.empty())
                m_error = L"sample data ends before its table of contents";
            m_entry = m_entries.size();
            m_entryLeft = -1;
            m_last = true;
            return;
        }
    }
    // A block that ends with the data says so at once, so the reader does
    // not wait for an empty one.
    if (m_entryLeft == 0 && m_entry + 1 >= m_entries.size())
        m_last = true;
}

int SampleReader::ReadRun(int max, Run* run) {
    if (m_readPos == m_count) {
        if (m_last)
            return 0;
        Fill();
        if (m_count == 0)
            return 0;
    }
    const int n = std::min(max, m_count - m_readPos);
    run->flags = m_flags.data() + m_readPos;
    run->count = n;
    run->values = m_values.data() + m_readPos;
    run->channelStride = m_channelStride;
    run->channels = m_channels;
    run->zeros = m_zeros.data();
    m_readPos += n;
    return n;
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

} // namespace sk

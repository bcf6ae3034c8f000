#include "writer/SampleReader.h"

#include <algorithm>
#include <cstring>

#include "platform/recording/DataProducer.h"
#include "platform/recording/RawDataFile.h"
#include "platform/recording/SampleFrame.h"

namespace sk {

SampleReader::~SampleReader() { Stop(); }

void SampleReader::Start(CRawDataFile* raw, CDataProducer* producer, std::vector<TOC_ENTRY> entries, int channels) {
    Stop();
    m_raw = raw;
    m_producer = producer;
    m_entries = std::move(entries);
    m_channels = channels < 0 ? 0 : (channels > frame::kMaxChannels ? frame::kMaxChannels : channels);
    m_stride = 1 + 4 * static_cast<size_t>(m_channels);
    m_blockSamples = static_cast<int>(
        std::clamp<size_t>(kBlockBytes / m_stride, kMinBlockSamples, kMaxBlockSamples));
    for (Block& b : m_blocks) {
        b.data.resize(m_stride * static_cast<size_t>(m_blockSamples));
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
    m_thread = std::thread([this] { Run(); });
}

void SampleReader::Run() {
    int index = 0;
    Block* block = &m_blocks[0];
    auto acquire = [&](int i) -> Block* {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [&] { return m_stop || !m_blocks[i].full; });
        if (m_stop)
            return nullptr;
        m_blocks[i].count = 0;
        m_blocks[i].last = false;
        return &m_blocks[i];
    };
    auto publish = [&](bool last) {
        std::lock_guard<std::mutex> lock(m_mutex);
        block->last = last;
        block->full = true;
        if (last)
            m_error = m_threadError;
        m_cv.notify_all();
    };
    if (!(block = acquire(index)))
        return;
    for (const TOC_ENTRY& e : m_entries) {
        m_raw->Seek(static_cast<int64_t>(e.DataOffset()), 0);
        for (int left = e.m_sampleCount; left > 0;) {
            const int want = std::min(left, m_blockSamples - block->count);
            uint8_t* out = block->data.data() + static_cast<size_t>(block->count) * m_stride;
            const int got = m_producer->ReadSamples(m_raw, out, want);
            block->count += got;
            left -= got;
            if (got < want) {
                m_threadError = m_producer->GetErrorText();
                if (m_threadError.empty())
                    m_threadError = L"sample data ends before its table of contents";
                publish(true);
                return;
            }
            if (block->count == m_blockSamples) {
                publish(false);
                index = (index + 1) % kBlocks;
                if (!(block = acquire(index)))
                    return;
            }
        }
    }
    publish(true);
}

int SampleReader::Read(uint8_t* frame) {
    for (;;) {
        if (m_ended)
            return 0;
        if (!m_holding) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait(lock, [&] { return m_blocks[m_readBlock].full; });
            m_holding = true;
            m_readPos = 0;
        }
        Block& b = m_blocks[m_readBlock];
        if (m_readPos < b.count) {
            const uint8_t* in = b.data.data() + static_cast<size_t>(m_readPos) * m_stride;
            frame::SetFlags(frame, in[0]);
            std::memcpy(frame + frame::kValuesOffset, in + 1, m_stride - 1);
            ++m_readPos;
            return 1;
        }
        // Block used up: hand it back and move on.
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool last = b.last;
        b.full = false;
        m_holding = false;
        m_readBlock = (m_readBlock + 1) % kBlocks;
        m_cv.notify_all();
        if (last) {
            m_ended = true;
            return 0;
        }
    }
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

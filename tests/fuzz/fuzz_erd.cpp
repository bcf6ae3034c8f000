// Raw data file: header validation and the sample decoder of every storage
// schema, sample by sample and in runs of rows or of channels, on arbitrary
// bytes.
#include <vector>

#include "FuzzFile.h"
#include "platform/recording/DataProducer.h"
#include "platform/recording/SampleFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring path = sk::fuzz::ScratchFile(".ERD", data, size);
    CRawDataFile raw;
    CEegFileException ex;
    if (!raw.Open(path, CEegFile::modeRead | CEegFile::shareDenyNone, &ex)) return 0;
    const CRawDataHeader* h = raw.GetRawHeader();
    CDataProducer* p = CDataProducer::CreateDataProducer(h->m_schema, h->m_frameWord, &raw);
    if (!p) return 0;
    p->Attach(&raw);
    if (p->GetDataInterface()->Init(h->m_channelCount, h->m_schema, h->m_decimation, h->m_sampleFreq)) {
        static std::vector<uint8_t> frame(frame::kFrameSize), prev(frame::kFrameSize);
        raw.Seek(sk::rec::kErdHeaderSize, 0);
        // Every read consumes at least one byte, so this ends.
        for (size_t n = 0; n <= size && p->ReadSample(&raw, frame.data(), prev.data()) == 1; ++n) {
        }
        // A restart in the middle of the data must be just as safe.
        raw.Seek(static_cast<int64_t>(size / 2), 0);
        for (size_t n = 0; n <= size && p->ReadSample(&raw, frame.data(), prev.data()) == 1; ++n) {
        }
        // Runs of an odd length end inside blocks and cross their borders.
        static std::vector<uint8_t> rows(7 * (1 + 4 * static_cast<size_t>(frame::kMaxChannels)));
        raw.Seek(sk::rec::kErdHeaderSize, 0);
        for (size_t n = 0; n <= size && p->ReadSamples(&raw, rows.data(), 7) == 7; ++n) {
        }
        // The same channel by channel, as the exporter reads, after a sample
        // read on its own (which may leave decoded samples to hand on).
        static std::vector<int32_t> columns(7 * static_cast<size_t>(frame::kMaxChannels));
        raw.Seek(sk::rec::kErdHeaderSize, 0);
        p->ReadSample(&raw, frame.data(), prev.data());
        for (size_t n = 0; n <= size && p->ReadColumns(&raw, rows.data(), columns.data(), 7, 7) == 7; ++n) {
        }
    }
    p->Release();
    return 0;
}

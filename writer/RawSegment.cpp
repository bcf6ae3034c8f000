#include "writer/RawSegment.h"

#include "platform/Format.h"
#include "platform/recording/StudyFormat.h"
#include "writer/WriterUtil.h"

namespace sk {

namespace {

// Why the header's layout is not the study's; empty when it is.
std::wstring LayoutMismatch(const CRawDataHeader& h, const SegmentLayout& layout) {
    // The study takes its rate in whole Hz (see the probe); so is a segment's.
    const double rate = static_cast<double>(static_cast<int64_t>(h.m_sampleFreq + 0.5));
    if (layout.rate > 0.0 && rate != layout.rate)
        return FormatW(L"sampling rate %g Hz differs from the study's %g Hz", h.m_sampleFreq, layout.rate);
    if (layout.channels > 0 && h.m_channelCount != layout.channels)
        return FormatW(L"%d channels stored where the study stores %d", static_cast<int>(h.m_channelCount),
                       static_cast<int>(layout.channels));
    if (layout.decimation > 0 && h.m_decimation != layout.decimation)
        return FormatW(L"decimation factor %d differs from the study's %d", static_cast<int>(h.m_decimation),
                       static_cast<int>(layout.decimation));
    return std::wstring();
}

} // namespace

bool RawSegment::Open(const std::wstring& tocPath, const SegmentLayout& layout, CEegFileException* why) {
    m_path = writer::FindStudyFile(writer::ReplaceExtension(tocPath, L".ERD"));
    if (!m_raw.Open(m_path, CEegFile::modeRead | CEegFile::shareDenyNone, why))
        return false;
    m_header = m_raw.GetRawHeader();
    if (!m_header) {
        *why = CEegFileException(rec::kErrInvalidData, m_path + L": not a raw data file");
        return false;
    }
    const CRawDataHeader& h = *m_header;
    const std::wstring mismatch = LayoutMismatch(h, layout);
    if (!mismatch.empty()) {
        *why = CEegFileException(rec::kErrInvalidData, m_path + L": " + mismatch);
        return false;
    }
    m_producer.reset(CDataProducer::CreateDataProducer(h.m_schema, h.m_frameWord, &m_raw));
    if (m_producer) {
        m_producer->Attach(&m_raw);
        if (!m_producer->GetDataInterface()->Init(h.m_channelCount, h.m_schema, h.m_decimation, h.m_sampleFreq))
            m_producer.reset();
    }
    if (!m_producer) {
        *why = CEegFileException(rec::kErrInvalidData, m_path + L": storage schema cannot be read");
        return false;
    }
    return true;
}

} // namespace sk

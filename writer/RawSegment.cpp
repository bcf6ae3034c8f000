#include "writer/RawSegment.h"

#include "writer/WriterUtil.h"

namespace sk {

bool RawSegment::Open(const std::wstring& tocPath, CEegFileException* why) {
    m_path = writer::FindStudyFile(writer::ReplaceExtension(tocPath, L".ERD"));
    if (!m_raw.Open(m_path, CEegFile::modeRead | CEegFile::shareDenyNone, why))
        return false;
    m_header = m_raw.GetRawHeader();
    if (!m_header) {
        *why = CEegFileException(0, L"not a raw data file");
        return false;
    }
    const CRawDataHeader& h = *m_header;
    m_producer.reset(CDataProducer::CreateDataProducer(h.m_schema, h.m_frameWord, &m_raw));
    if (m_producer) {
        m_producer->Attach(&m_raw);
        if (!m_producer->GetDataInterface()->Init(h.m_channelCount, h.m_schema, h.m_decimation, h.m_sampleFreq))
            m_producer.reset();
    }
    if (!m_producer) {
        *why = CEegFileException(0, L"storage schema cannot be read");
        return false;
    }
    return true;
}

} // namespace sk

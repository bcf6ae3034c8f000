#include "recorddata/EDFPatientEventData.h"

#include <cstring>

#include "recorddata/SkrivoAnnotationManager.h"

uint32_t CEDFPatientEventData::CEDFPatientEventDataWriter::Write(int64_t recordStart, int64_t recordEnd,
                                                                 const uint8_t*, uint32_t sampleCount,
                                                                 uint8_t* out) {
    const uint32_t capacity = 2u * sampleCount;
    // Samples the stamps do not reach (a record end before its start, or a
    // stamp span shorter than the record) stay 0.
    std::memset(out, 0, capacity);

    IAnnotationIterator* it = m_owner->m_iterator.get();
    if (!it)
        return capacity;
    const int64_t step = m_owner->m_decimation;

    const ANNOTATION_ENTRY* cur = it->GetCurrent();
    while (cur && cur->start < recordStart) {
        it->MoveNext();
        cur = it->GetCurrent();
    }
    if (recordStart > recordEnd)
        return capacity;

    int64_t s = recordStart;
    for (uint32_t i = 0; i < sampleCount && s <= recordEnd; ++i, s += step) {
        cur = it->GetCurrent();
        while (cur && cur->start < s) {
            it->MoveNext();
            cur = it->GetCurrent();
        }
        if (cur && cur->start - s < step) {
            out[2 * static_cast<size_t>(i)] = 1;
            it->MoveNext();
        }
        if (s > INT64_MAX - step)
            break;
    }
    return capacity;
}

CEDFPatientEventData::CEDFPatientEventData(IAnnotationIterator* iterator, int32_t decimation)
    : m_iterator(iterator), m_decimation(decimation >= 1 ? decimation : 1), m_writer(this) {}

CEDFPatientEventData::~CEDFPatientEventData() = default;

std::wstring CEDFPatientEventData::GetLabel() const { return L"Misc Patient Evt"; }

void CEDFPatientEventData::GetRange(int32_t& digitalMin, int32_t& digitalMax, double& physicalMin,
                                    double& physicalMax) const {
    OnOffRange(digitalMin, digitalMax, physicalMin, physicalMax);
}

int32_t CEDFPatientEventData::GetRecordSize(double recordDuration, double sampleFrequency) const {
    return SixteenBitRecordSize(recordDuration, sampleFrequency);
}

IEDFRecordWriter* CEDFPatientEventData::GetWriter() { return &m_writer; }

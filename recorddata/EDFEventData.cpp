#include "recorddata/EDFEventData.h"

#include "module/SkrivoApp.h"
#include "platform/recording/SampleFrame.h"

uint32_t CEDFEventData::CEDFEventWriter::Write(int64_t, int64_t, const uint8_t* frames,
                                               uint32_t sampleCount, uint8_t* out) {
    const uint8_t mask = m_owner->m_mask;
    for (uint32_t i = 0; i < sampleCount; ++i) {
        const uint8_t flags = frame::Flags(frames + static_cast<size_t>(i) * frame::kFrameSize);
        // A frame without data never carries an event, whatever else its
        // flags byte holds.
        const bool on = (flags & frame::kFlagNoData) == 0 && (flags & mask) != 0;
        out[2 * static_cast<size_t>(i)] = on ? 1 : 0;
        out[2 * static_cast<size_t>(i) + 1] = 0;
    }
    return 2u * sampleCount;
}

CEDFEventData::CEDFEventData() : m_writer(this) { SetUnitsFromResource(sk::IDS_ON_OFF); }

CEDFEventData::~CEDFEventData() = default;

std::wstring CEDFEventData::GetLabel() const { return std::wstring(); }

void CEDFEventData::GetRange(int32_t& digitalMin, int32_t& digitalMax, double& physicalMin,
                             double& physicalMax) const {
    OnOffRange(digitalMin, digitalMax, physicalMin, physicalMax);
}

int32_t CEDFEventData::GetRecordSize(double recordDuration, double sampleFrequency) const {
    return SixteenBitRecordSize(recordDuration, sampleFrequency);
}

IEDFRecordWriter* CEDFEventData::GetWriter() { return &m_writer; }

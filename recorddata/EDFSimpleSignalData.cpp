#include "recorddata/EDFSimpleSignalData.h"

#include "platform/recording/SampleFrame.h"

CEDFSimpleSignalData::CEDFSimpleSignalData(int32_t storageIndex) : m_storageIndex(storageIndex) {}

CEDFSimpleSignalData::~CEDFSimpleSignalData() = default;

inline int16_t CEDFSimpleSignalData::SampleOf(const uint8_t* f) const {
    if (frame::Flags(f) & frame::kFlagNoData)
        return m_zeroCode;
    if (static_cast<uint32_t>(m_storageIndex) >= static_cast<uint32_t>(frame::kMaxChannels))
        return m_zeroCode;
    const int32_t v = frame::Value(f, m_storageIndex);
    if (v == frame::kAboveRangeA || v == frame::kAboveRangeB)
        return static_cast<int16_t>(m_edfDigMax);
    if (v == frame::kBelowRange)
        return static_cast<int16_t>(m_edfDigMin);
    return ClampToEDF(v * m_gain + m_offset + 0.5);
}

int16_t CEDFSimpleSignalData::GetSample(const uint8_t* frame) const { return SampleOf(frame); }

void CEDFSimpleSignalData::WriteSamples(const uint8_t* frames, uint32_t sampleCount, uint8_t* out) const {
    for (uint32_t i = 0; i < sampleCount; ++i) {
        const uint16_t v = static_cast<uint16_t>(SampleOf(frames + static_cast<size_t>(i) * frame::kFrameSize));
        out[2 * static_cast<size_t>(i)] = static_cast<uint8_t>(v);
        out[2 * static_cast<size_t>(i) + 1] = static_cast<uint8_t>(v >> 8);
    }
}

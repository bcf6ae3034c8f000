#pragma once
// A raw headbox channel: one storage channel of the sample frame, converted
// linearly into the EDF digital range.

#include "recorddata/EDFSignalData.h"

class SKRIVO_API CEDFSimpleSignalData final : public CEDFSignalData {
public:
    // storageIndex: the channel's position in the frame's value array. An
    // index outside the frame yields the zero code for every sample.
    explicit CEDFSimpleSignalData(int32_t storageIndex);
    ~CEDFSimpleSignalData() override;

    int16_t GetSample(const uint8_t* frame) const override;
    int32_t GetStorageIndex() const { return m_storageIndex; }

protected:
    void WriteSamples(const uint8_t* frames, uint32_t sampleCount, uint8_t* out) const override;

private:
    int16_t SampleOf(const uint8_t* frame) const;

    int32_t m_storageIndex;
};

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
    // Fills out with the EDF samples of count consecutive recorded values of
    // this channel (none a gap), contiguous as the decoder delivers them:
    // the same bytes as WriteSamples of frames holding those values.
    void WriteValues(const int32_t* values, uint32_t count, uint8_t* out) const;
    void WriteColumns(const Columns& columns, uint32_t count, uint8_t* out) const override {
        WriteValues(columns.Column(m_storageIndex), count, out);
    }

protected:
    void WriteSamples(const uint8_t* frames, uint32_t sampleCount, uint8_t* out) const override;

private:
    int16_t SampleOf(const uint8_t* frame) const;
    int16_t ValueOf(int32_t value) const;
    bool Branchless() const;
    void Convert(const int32_t* values, uint32_t n, uint8_t* out) const;

    int32_t m_storageIndex;
};

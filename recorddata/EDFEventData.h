#pragma once
// On/off sample streams derived from the flags of each sample frame.

#include "recorddata/EDFRecordData.h"

class SKRIVO_API CEDFEventData : public CEDFRecordData {
public:
    class SKRIVO_API CEDFEventWriter final : public IEDFRecordWriter {
    public:
        explicit CEDFEventWriter(CEDFEventData* owner) : m_owner(owner) {}
        // 1 where the frame's flags share a bit with the mask, else 0.
        uint32_t Write(int64_t recordStart, int64_t recordEnd, const uint8_t* frames,
                       uint32_t sampleCount, uint8_t* out) override;
    private:
        CEDFEventData* m_owner;
    };

    CEDFEventData();
    ~CEDFEventData() override;

    std::wstring GetLabel() const override;
    void GetRange(int32_t& digitalMin, int32_t& digitalMax, double& physicalMin,
                  double& physicalMax) const override;
    int32_t GetRecordSize(double recordDuration, double sampleFrequency) const override;
    IEDFRecordWriter* GetWriter() override;

    uint8_t GetMask() const { return m_mask; }

protected:
    uint8_t m_mask = 0;
    CEDFEventWriter m_writer;
};

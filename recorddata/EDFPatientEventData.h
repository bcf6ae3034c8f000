#pragma once
// "Misc Patient Evt": the study's patient-event notes as a 0/1 stream at the
// export's sample rate; a sample shows at most one event.

#include <memory>

#include "recorddata/EDFRecordData.h"

class IAnnotationIterator;

class SKRIVO_API CEDFPatientEventData final : public CEDFRecordData {
public:
    class SKRIVO_API CEDFPatientEventDataWriter final : public IEDFRecordWriter {
    public:
        explicit CEDFPatientEventDataWriter(CEDFPatientEventData* owner) : m_owner(owner) {}
        uint32_t Write(int64_t recordStart, int64_t recordEnd, const uint8_t* frames,
                       uint32_t sampleCount, uint8_t* out) override;
    private:
        CEDFPatientEventData* m_owner;
    };

    // Takes ownership of the iterator (normally a patient event iterator; null
    // means no events). decimation is the stamp step of one sample (>= 1).
    CEDFPatientEventData(IAnnotationIterator* iterator, int32_t decimation);
    ~CEDFPatientEventData() override;

    std::wstring GetLabel() const override;
    void GetRange(int32_t& digitalMin, int32_t& digitalMax, double& physicalMin,
                  double& physicalMax) const override;
    int32_t GetRecordSize(double recordDuration, double sampleFrequency) const override;
    IEDFRecordWriter* GetWriter() override;

    int32_t GetDecimation() const { return m_decimation; }

private:
    std::unique_ptr<IAnnotationIterator> m_iterator;
    int32_t m_decimation;
    CEDFPatientEventDataWriter m_writer;
};

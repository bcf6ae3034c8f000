#pragma once
// Common part of the signal channels: input and EDF ranges, the linear
// conversion between them, and the writer that emits one 16-bit sample per
// frame. The conversion coefficients are fixed by Finalize (or, for montage
// channels, ApplyCalibration) before the first Write.

#include "recorddata/EDFRecordData.h"

class CWaveType;
class CWaveCalibration;

class SKRIVO_API CEDFSignalData : public CEDFRecordData {
public:
    class SKRIVO_API CEDFSignalWriter final : public IEDFRecordWriter {
    public:
        explicit CEDFSignalWriter(CEDFSignalData* owner) : m_owner(owner) {}
        uint32_t Write(int64_t recordStart, int64_t recordEnd, const uint8_t* frames,
                       uint32_t sampleCount, uint8_t* out) override;
    private:
        CEDFSignalData* m_owner;
    };

    CEDFSignalData();
    ~CEDFSignalData() override;

    std::wstring GetLabel() const override;
    // EDF digital range as is; the physical range negated (min and max each
    // negated) when the invert flag is set, so polarity inversion lives only
    // in the header.
    void GetRange(int32_t& digitalMin, int32_t& digitalMax, double& physicalMin,
                  double& physicalMax) const override;
    // Truncation of 2 x duration x frequency.
    int32_t GetRecordSize(double recordDuration, double sampleFrequency) const override;
    IEDFRecordWriter* GetWriter() override;

    // One EDF digital value for one sample frame.
    virtual int16_t GetSample(const uint8_t* frame) const = 0;

    // Consecutive recorded samples (none a gap) channel by channel, as the
    // decoder delivers them: storage channel c's values contiguous from
    // Column(c) on; zeros for a channel the data does not hold.
    struct Columns {
        const int32_t* values = nullptr;
        size_t channelStride = 0;
        int channels = 0;
        const int32_t* zeros = nullptr;
        const int32_t* Column(int c) const {
            return c >= 0 && c < channels ? values + static_cast<size_t>(c) * channelStride : zeros;
        }
    };
    // Fills out with the EDF samples of count such samples: the same bytes
    // as the writer makes of frames holding them.
    virtual void WriteColumns(const Columns& columns, uint32_t count, uint8_t* out) const = 0;

    void SetLabel(const std::wstring& label);
    // Stores the pairs ordered by digital value: a minimum above the maximum
    // swaps both the digital and the physical values.
    void SetInputRange(int32_t digitalMin, int32_t digitalMax, double physicalMin, double physicalMax);
    void SetInvert(uint8_t invert) { m_invert = invert; }
    uint8_t GetInvert() const { return m_invert; }
    // Computes the EDF ranges, the coefficients and the zero code from the
    // input range.
    void Finalize();
    // For a calibrated DC wave type: the physical range becomes the wave
    // type's calibrated range and the input digital range the codes the
    // calibration maps onto it, then Finalize. True when that was done;
    // false (Finalize alone) for other kinds and for a calibration that
    // cannot be inverted.
    bool Calibrate(const CWaveType* waveType, const CWaveCalibration& calibration);

    // What the header's transducer field says about the signal's source;
    // empty unless set.
    std::wstring GetTransducerType() const override;
    void SetTransducer(const std::wstring& text) { m_transducer = text; }

    int32_t GetInputDigitalMin() const { return m_inDigMin; }
    int32_t GetInputDigitalMax() const { return m_inDigMax; }
    double GetInputPhysicalMin() const { return m_inPhysMin; }
    double GetInputPhysicalMax() const { return m_inPhysMax; }
    int32_t GetEDFDigitalMin() const { return m_edfDigMin; }
    int32_t GetEDFDigitalMax() const { return m_edfDigMax; }
    double GetEDFPhysicalMin() const { return m_edfPhysMin; }
    double GetEDFPhysicalMax() const { return m_edfPhysMax; }
    double GetGain() const { return m_gain; }
    double GetOffset() const { return m_offset; }
    double GetInputScale() const { return m_inputScale; }
    double GetInputOffset() const { return m_inputOffset; }
    double GetOutputScale() const { return m_outputScale; }
    double GetOutputOffset() const { return m_outputOffset; }
    int16_t GetZeroCode() const { return m_zeroCode; }

protected:
    // Fills out with sampleCount samples of consecutive frames. The default
    // calls GetSample per frame; final subclasses override it with a loop the
    // compiler can inline.
    virtual void WriteSamples(const uint8_t* frames, uint32_t sampleCount, uint8_t* out) const;

    // Clamps a converted value into the EDF digital range. Inline: it runs
    // once per sample.
    int16_t ClampToEDF(double value) const {
        // Comparing before truncating gives the same result as truncating and
        // then clamping, and never converts an out-of-range double to an integer.
        if (value >= m_edfDigMax)
            return static_cast<int16_t>(m_edfDigMax);
        if (value <= m_edfDigMin)
            return static_cast<int16_t>(m_edfDigMin);
        if (value != value) // NaN from a degenerate range
            return m_zeroCode;
        return static_cast<int16_t>(static_cast<int32_t>(value));
    }

    std::wstring m_label;
    std::wstring m_transducer;
    int32_t m_inDigMax = 0;
    int32_t m_inDigMin = 0;
    double m_inPhysMax = 0.0;
    double m_inPhysMin = 0.0;
    int32_t m_edfDigMax = 0;
    int32_t m_edfDigMin = 0;
    double m_edfPhysMax = 0.0;
    double m_edfPhysMin = 0.0;
    double m_gain = 0.0;
    double m_offset = 0.0;
    double m_inputScale = 0.0;
    double m_inputOffset = 0.0;
    double m_outputScale = 0.0;
    double m_outputOffset = 0.0;
    int16_t m_zeroCode = 0;
    uint8_t m_invert = 0;
    CEDFSignalWriter m_writer;
};

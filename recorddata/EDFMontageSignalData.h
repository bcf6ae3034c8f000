#pragma once
// A montage derivation: the weighted sum of the active inputs minus the
// weighted sum of the reference inputs, in physical units, mapped into the EDF
// digital range. Label and units come from the montage channel.

#include <memory>
#include <vector>

#include "recorddata/EDFSignalData.h"

class CMontage;
class CMontageChannel;
class CKeyTree;
class CDataReaderMultipleBOSupport;

class SKRIVO_API CEDFMontageSignalData final : public CEDFSignalData {
public:
    // Builds the label (at most 16 characters) and takes the units from the
    // wave type of the channel's display type. inputNames is the montage's
    // list of input channel names (indexed by channel number). Throws
    // std::invalid_argument when a reference input number lies outside that
    // list while the label needs its name; use Create to get null instead.
    CEDFMontageSignalData(CMontageChannel* channel, const std::vector<std::wstring>& inputNames);
    // Same, with the input names taken from the montage.
    CEDFMontageSignalData(CMontageChannel* channel, const CMontage* montage);
    ~CEDFMontageSignalData() override;

    // Non-throwing construction: null when the label cannot be built.
    static CEDFMontageSignalData* Create(CMontageChannel* channel, const CMontage* montage);
    static CEDFMontageSignalData* Create(CMontageChannel* channel,
                                         const std::vector<std::wstring>& inputNames);

    // The label rule on its own (at most 16 characters); throws
    // std::invalid_argument like the constructor.
    static std::wstring BuildLabel(const CMontageChannel& channel,
                                   const std::vector<std::wstring>& inputNames);

    // For calibrated DC wave types derives the input range from the
    // calibration (the study's, else the wave type's nominal one); otherwise
    // the same as Finalize. calibration may be null. True when a calibration
    // was applied.
    bool ApplyCalibration(CKeyTree* calibration);
    // Multi-breakout headboxes: input channel numbers go through the mapper
    // before they index the frame. The mapper is not owned.
    void SetBOSupport(CDataReaderMultipleBOSupport* mapper);

    int16_t GetSample(const uint8_t* frame) const override;
    void WriteColumns(const Columns& columns, uint32_t count, uint8_t* out) const override;
    CMontageChannel* GetMontageChannel() const { return m_channel; }

protected:
    void WriteSamples(const uint8_t* frames, uint32_t sampleCount, uint8_t* out) const override;

private:
    // One input of a half: frame storage index and its coefficient, resolved
    // once so that the per-sample path reads only the frame.
    struct Input {
        int32_t storage;
        float coefficient;
    };

    void Init(const std::vector<std::wstring>& inputNames);
    void ResolveInputs();
    int16_t SampleOf(const uint8_t* frame) const;
    // The sample from its inputs' values, however they are laid out.
    template <class ValueAt>
    int16_t Derive(ValueAt valueAt) const;

    CMontageChannel* m_channel;
    CDataReaderMultipleBOSupport* m_boSupport = nullptr;
    std::vector<Input> m_active;    // first half
    std::vector<Input> m_reference; // second half
};

#pragma once
// The "EDF Annotations" signal of EDF+ files: in every data record a
// time-keeping TAL with the record's onset, then the TALs of the annotations
// that start up to the end of the record, UTF-8, zero filled.

#include <memory>
#include <string>
#include <vector>

#include "recorddata/EDFRecordData.h"
#include "recorddata/SkrivoAnnotationManager.h"

class SKRIVO_API CEDFAnnotationData final : public CEDFRecordData {
public:
    class SKRIVO_API CEDFAnnotationWriter final : public IEDFRecordWriter {
    public:
        explicit CEDFAnnotationWriter(CEDFAnnotationData* owner) : m_owner(owner) {}
        // Sets the stamp of onset 0 so that the file's first record has the
        // sub-second part of its wall-clock start as onset.
        void Initialize(double startFraction, int64_t startStamp, double sampleFrequency,
                        int32_t decimation, double recordDuration) override;
        uint32_t Write(int64_t recordStart, int64_t recordEnd, const uint8_t* frames,
                       uint32_t sampleCount, uint8_t* out) override;

        // Onset text of a stamp relative to the base stamp ("+0", "+12.5", "-0.75").
        std::string OnsetText(int64_t stamp) const;
        int64_t GetBaseStamp() const { return m_baseStamp; }
        double GetStampsPerSecond() const { return m_stampsPerSecond; }

    private:
        CEDFAnnotationData* m_owner;
        int64_t m_baseStamp = 0;
        double m_stampsPerSecond = 1.0;
        int64_t m_roundedStampsPerSecond = 1; // round(stamps per second), at least 1
        std::vector<ANNOTATION_ENTRY> m_pending; // reused from record to record
    };

    // Takes ownership of the iterator (may be null: no annotations).
    explicit CEDFAnnotationData(IAnnotationIterator* iterator);
    ~CEDFAnnotationData() override;

    std::wstring GetLabel() const override;
    void GetRange(int32_t& digitalMin, int32_t& digitalMax, double& physicalMin,
                  double& physicalMax) const override;
    // 16 x ceiling((perRecord x largest TAL + time-keeping TAL + 1) / 16);
    // the arguments are ignored.
    int32_t GetRecordSize(double recordDuration, double sampleFrequency) const override;
    IEDFRecordWriter* GetWriter() override;

    // Sizes the TALs: the time-keeping TAL for a recording of durationSeconds
    // at stampsPerSecond, the largest annotation TAL over every annotation of
    // scan (not owned; the caller deletes it). Onset 0 is not known yet (it is
    // the whole second of the start, set by Initialize), so every onset is
    // sized for the longest text the writer can print for it.
    void Prepare(int64_t startStamp, double durationSeconds, double stampsPerSecond,
                 IAnnotationIterator* scan);
    void SetAnnotationsPerRecord(int32_t count) { m_annotationsPerRecord = count; }

    int32_t GetTimeKeepingLength() const { return m_timeKeepingLength; }
    int32_t GetMaxAnnotationLength() const { return m_maxAnnotationLength; }
    int32_t GetAnnotationsPerRecord() const { return m_annotationsPerRecord; }

    // Duration text: "%.*f" with 15 minus the integer digits as precision,
    // trailing zeros and point removed ("30", "0.5").
    static std::string DurationText(double seconds);
    // Characters needed to print x in decimal (see Prepare).
    static int NumberLength(double x, bool withSign);

private:
    int32_t m_timeKeepingLength = 0;
    int32_t m_maxAnnotationLength = 0;
    std::unique_ptr<IAnnotationIterator> m_iterator;
    int32_t m_annotationsPerRecord = 1;
    CEDFAnnotationWriter m_writer;
};

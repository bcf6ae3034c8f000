#pragma once
// The "EDF Annotations" signal of EDF+ files: in every data record a
// time-keeping TAL with the record's onset, then the TALs of the annotations
// that start before the end of the record's time (its last frame's stamp
// plus the stamps one frame spans), UTF-8, zero filled. The last record of
// a file is completed afterwards with the annotations that start after it
// and before the next file (or at any later time, in the last file).

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

        // What a file's last record could not take.
        struct Rest {
            bool rewritten = false; // out holds the last record's block anew
            int64_t notes = 0, stages = 0;
        };
        // Writes the last record's block again (sampleCount as in Write),
        // now with every annotation that starts up to stamp `last` after
        // the ones it held. What does not fit is counted and dropped: it
        // belongs to this file and no other. A null out writes nothing and
        // drops and counts every such annotation (a file without records).
        Rest CompleteLastRecord(int64_t last, uint8_t* out, uint32_t sampleCount);

        // Onset text of a stamp relative to the base stamp ("+0", "+12.5", "-0.75").
        std::string OnsetText(int64_t stamp) const;
        int64_t GetBaseStamp() const { return m_baseStamp; }
        double GetStampsPerSecond() const { return m_stampsPerSecond; }

    private:
        // Moves the annotations starting up to `last` from the iterator to
        // the pending ones.
        void Take(int64_t last);
        // The time-keeping TAL and as many pending annotations as fit;
        // returns how many were written.
        size_t Render(int64_t recordStart, uint8_t* out, size_t capacity);

        CEDFAnnotationData* m_owner;
        int64_t m_baseStamp = 0;
        double m_stampsPerSecond = 1.0;
        int64_t m_roundedStampsPerSecond = 1; // round(stamps per second), at least 1
        int64_t m_frameStamps = 1;            // stamps one frame spans (the decimation)
        std::vector<ANNOTATION_ENTRY> m_pending; // reused from record to record
        // The annotations of the last record written, and its start.
        std::vector<ANNOTATION_ENTRY> m_last;
        int64_t m_lastStart = 0;
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

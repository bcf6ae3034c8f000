#pragma once
// The one place that decides which data records an output file holds: walks
// the recording's table-of-contents files in time order, entry by entry,
// through the gaps between them, to the split points, and hands whole runs
// of frames to its steps. The export's steps read and write the samples; the
// size plan's only count, so both see the same records.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/recording/TocFile.h"
#include "writer/Skrivoer.h"

namespace sk {

class RecordWalk {
public:
    // What is done with the frames the walk finds. Calls come once per run
    // of frames or per record, never per sample. index: frames of the
    // current record already filled; stamp: the stamp of frame index.
    class Steps {
    public:
        virtual ~Steps() = default;
        // A table-of-contents file (by its index) that cannot be opened: its
        // segment is left out.
        virtual void TocUnreadable(size_t file, const CEegFileException& why) = 0;
        // Opens the sample data of the file for reading from the entry on;
        // false leaves the file out.
        virtual bool OpenData(size_t file, const CTocFile& toc, const TOC_ENTRY& entry) = 0;
        // Passes over samples of the open data; false when it ends first.
        virtual bool Skip(int64_t samples) = 0;
        // Reads up to max (>= 1) recorded samples into the record: the count
        // read, 0 when none could be.
        virtual int32_t Read(int64_t stamp, int32_t index, int32_t max) = 0;
        // count frames of a gap inside the record.
        virtual void Gap(int64_t stamp, int32_t index, int32_t count) = 0;
        // Completes the record with gap frames.
        virtual void Pad(int64_t stamp, int32_t index) = 0;
        // The record is complete; false when it could not be written.
        virtual bool Record() = 0;
        // After a record of the walk through a file; false stops (cancel).
        virtual bool Proceed() = 0;
        // After the open data ended or failed: reads it again from the
        // entry on; false when the entry's data cannot be read.
        virtual bool Resume(const CTocFile& toc, const TOC_ENTRY& entry) = 0;
        // samples recorded from stamp `from` to stamp `to` (the last one
        // they cover) could not be read: the first failure's entry from
        // where it failed, and the whole entries after it up to the one
        // reading resumed at.
        virtual void Lost(int64_t from, int64_t to, int64_t samples) = 0;
        // Done with the open data.
        virtual void CloseData() = 0;
    };

    // splitLimit may be null (no size or duration limit).
    RecordWalk(int32_t decimation, int32_t framesPerRecord, bool padGaps, bool splitAtGaps,
               const CSkrivoer::CSplitLimit* splitLimit)
        : m_dec(decimation), m_fpr(framesPerRecord), m_pad(padGaps), m_splitAtGaps(splitAtGaps),
          m_splitLimit(splitLimit) {}

    // False, with *why, for a table whose stamps step otherwise than the
    // exported data's samples.
    static bool DecimationMatches(const CTocFile& toc, const std::wstring& path, int32_t decimation,
                                  CEegFileException* why);

    // Walks one output file from startStamp; returns the stamp where the next
    // file starts (past the end when the recording is done).
    int64_t Run(const std::vector<std::wstring>& tocFiles, int64_t startStamp, Steps& steps);
    // Records completed by the last Run.
    int64_t Records() const { return m_records; }
    // True when the last Run ended at a split point, at a gap of a series
    // split at gaps, or on a failure or cancellation.
    bool Stopped() const { return m_stop; }

private:
    // Moves to an entry: a stamp inside it starts at its next stored sample.
    bool Enter(const TOC_ENTRY& entry, Steps& steps);
    void CompleteRecord(Steps& steps);
    // A gap ends a file of a series split at gaps once it holds data (its
    // last record completed with gap frames); the next starts at resume.
    void EndAtGap(int64_t resume, Steps& steps);
    // The open data failed at the current stamp inside entry: its samples
    // from there on are lost, and so is every following entry until one
    // whose data can be read again, which becomes the entry. False when
    // none is left in the file.
    bool ResumeAfterFailure(CTocFile& toc, TOC_ENTRY& entry, Steps& steps);
    // Tells the steps what the failures since the last sample read cost.
    void ReportLoss(Steps& steps);
    int64_t EntryEnd(const TOC_ENTRY& e) const { return e.m_stamp + static_cast<int64_t>(e.m_sampleCount) * m_dec - 1; }

    const int64_t m_dec;
    const int32_t m_fpr;
    const bool m_pad;
    const bool m_splitAtGaps;
    const CSkrivoer::CSplitLimit* const m_splitLimit;
    int64_t m_current = 0;
    int32_t m_index = 0;
    int64_t m_records = 0;
    bool m_stop = false;
    struct Loss {
        int64_t from = 0, to = 0, samples = 0;
    } m_loss; // not yet reported
};

} // namespace sk

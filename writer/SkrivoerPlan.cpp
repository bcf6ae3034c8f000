// The sizes an export will write, worked out from the tables of contents
// alone. The walk follows WriteRecords step for step (record boundaries,
// gaps with and without padding, the padded last record, splits), but moves
// over whole runs of frames at a time and reads no sample: an estimate of a
// day-long study costs a few table reads. Sample data that turns out to be
// unreadable during the export is what an estimate cannot know.

#include "writer/Skrivoer.h"

#include <algorithm>

#include "platform/recording/TocFile.h"
#include "writer/WriterUtil.h"

using namespace sk::writer;

namespace {
constexpr uint32_t kOpenFlags = CEegFile::modeRead | CEegFile::shareDenyNone;
} // namespace

int64_t CSkrivoer::PlanRecords(int64_t startStamp, int64_t* next) const {
    const bool pad = PadGaps();
    const bool splitAtGaps = SplitAtGaps();
    const int64_t dec = m_decimation;
    const int64_t fpr = m_framesPerRecord;
    int64_t current = startStamp;
    int64_t index = 0;
    int64_t records = 0;
    bool stop = false;
    *next = sk::kEndStamp;
    if (fpr <= 0 || m_bytesPerRecord <= 0)
        return 0;
    // A gap ends a file of a series split at gaps once it holds data.
    auto endAtGap = [&](int64_t resume) {
        if (index > 0) {
            ++records;
            index = 0;
        }
        current = resume;
        stop = true;
    };

    const std::vector<std::wstring> tocFiles = TocFiles();
    for (size_t k = 0; k < tocFiles.size() && !stop; ++k) {
        const bool lastFile = k + 1 == tocFiles.size();
        CTocFile toc;
        if (!toc.Open(tocFiles[k], kOpenFlags))
            continue;
        if (toc.FindTocEntry(-1).m_stamp == -1)
            continue;
        auto entryEnd = [&](const TOC_ENTRY& e) { return e.m_stamp + static_cast<int64_t>(e.m_sampleCount) * dec - 1; };
        const int64_t fileEnd = entryEnd(toc.FindTocEntry(sk::kEndStamp));
        TOC_ENTRY segment = toc.FindTocEntry(-1);
        if (current == startStamp) {
            if (current > fileEnd)
                continue;
            if (current > entryEnd(segment)) {
                segment = toc.FindTocEntryUpperBound(current);
                if (segment.m_stamp == -1) {
                    stop = true;
                    break;
                }
            }
        }
        if (splitAtGaps && current < segment.m_stamp && (records > 0 || index > 0)) {
            endAtGap(segment.m_stamp);
            break;
        }
        if (index == 0 && !pad && current < segment.m_stamp)
            current = segment.m_stamp;
        // A raw data file that cannot be opened is skipped by the export.
        if (!FileExists(FindStudyFile(ReplaceExtension(tocFiles[k], L".ERD"))))
            continue;
        auto enterSegment = [&](const TOC_ENTRY& e) {
            if (current > e.m_stamp)
                current = e.m_stamp + (current - e.m_stamp + dec - 1) / dec * dec;
        };
        enterSegment(segment);
        int64_t segStart = segment.m_stamp;
        int64_t segEnd = entryEnd(segment);
        bool readFailed = false;

        for (;;) {
            // Frames up to the next place where something can change (a run's
            // end or a record's last frame) go in one step; that frame itself
            // takes the full step below.
            int64_t run = 0;
            if (current < segStart && !(index == 0 && !pad) && !splitAtGaps)
                run = (segStart - current + dec - 1) / dec;
            else if (current >= segStart && current <= std::min(segEnd, fileEnd))
                run = (std::min(segEnd, fileEnd) - current) / dec + 1;
            else if (current <= fileEnd && current > segEnd) {
                // Past the entries the table lists, before its stated end: the
                // export finds no sample there.
                readFailed = true;
                break;
            }
            if (run > 1) {
                const int64_t bulk = std::min(run, fpr - index) - 1;
                index += bulk;
                current += bulk * dec;
            }
            if (current < segStart) {
                if (splitAtGaps && (records > 0 || index > 0)) {
                    endAtGap(segStart);
                    break;
                }
                if (index == 0 && !pad) {
                    current = segStart;
                    continue;
                }
                ++index;
            } else if (current > fileEnd && lastFile) {
                index = fpr;
            } else {
                ++index;
            }
            if (index == fpr) {
                ++records;
                index = 0;
            }
            current += dec;
            if (index == 0 && m_splitLimit && m_splitLimit->IsReached(current - startStamp, records)) {
                stop = true;
                break;
            }
            if (current > fileEnd && !(lastFile && index > 0))
                break;
            if (current > segEnd) {
                TOC_ENTRY e;
                if (toc.NextTocEntry(&e) && e.m_stamp != -1) {
                    segment = e;
                    segStart = segment.m_stamp;
                    segEnd = entryEnd(segment);
                    enterSegment(segment);
                }
            }
        }
        if (readFailed && index > 0) {
            current += (fpr - index) * dec;
            index = 0;
            ++records;
        }
    }
    if (!stop && index > 0)
        ++records;
    *next = current;
    return records;
}

std::vector<int64_t> CSkrivoer::PlanFileSizes() {
    std::vector<int64_t> sizes;
    if (!PrepareExport())
        return sizes;
    int64_t start = LongLongOf(m_study.GetAt(StudyKey(L"Samples.Start")), -1);
    const int64_t end = LongLongOf(m_study.GetAt(StudyKey(L"Samples.End")), -1);
    const int64_t header = 256 * static_cast<int64_t>(m_processors.size() + 1);
    for (int n = 0;; ++n) {
        int64_t next = 0;
        const int64_t records = PlanRecords(start, &next);
        if (records > 0) {
            sizes.push_back(header + records * m_bytesPerRecord);
        } else if (n == 0) {
            SetNothingWritten();
            return sizes;
        }
        if (next > end || next <= start || (!m_splitLimit && !SplitAtGaps()))
            return sizes;
        start = next;
    }
}

#include "writer/RecordWalk.h"

#include <algorithm>
#include <string>

#include "platform/recording/StudyFormat.h"
#include "writer/WriterLog.h"

namespace sk {

namespace {
constexpr uint32_t kOpenFlags = CEegFile::modeRead | CEegFile::shareDenyNone;
} // namespace

bool RecordWalk::DecimationMatches(const CTocFile& toc, const std::wstring& path, int32_t decimation,
                                   CEegFileException* why) {
    if (toc.GetDecimation() == decimation)
        return true;
    *why = CEegFileException(sk::rec::kErrInvalidData, path + L": decimation factor " +
                                                           std::to_wstring(toc.GetDecimation()) +
                                                           L" differs from the study's " + std::to_wstring(decimation));
    return false;
}

bool RecordWalk::Enter(const TOC_ENTRY& entry, Steps& steps) {
    if (m_current > entry.m_stamp) {
        const int64_t skip = (m_current - entry.m_stamp + m_dec - 1) / m_dec;
        if (!steps.Skip(skip))
            return false;
        m_current = entry.m_stamp + skip * m_dec;
    }
    return true;
}

bool RecordWalk::ResumeAfterFailure(CTocFile& toc, TOC_ENTRY& entry, Steps& steps) {
    // The first sample wanted from the entry: where the walk stands, or the
    // entry's first one on or after it (a skip to the file's start failed).
    int64_t from = entry.m_stamp;
    if (m_current > entry.m_stamp)
        from += (m_current - entry.m_stamp + m_dec - 1) / m_dec * m_dec;
    if (from <= EntryEnd(entry)) {
        if (m_loss.samples == 0)
            m_loss.from = from;
        m_loss.to = EntryEnd(entry);
        m_loss.samples += (EntryEnd(entry) - from) / m_dec + 1;
    }
    // A damaged block costs its entry only: every entry's data starts with
    // a block of its own at its own offset.
    TOC_ENTRY next;
    while (toc.NextTocEntry(&next) && next.m_stamp != -1) {
        if (steps.Resume(toc, next)) {
            entry = next;
            return true;
        }
        if (m_loss.samples == 0)
            m_loss.from = next.m_stamp;
        m_loss.to = EntryEnd(next);
        m_loss.samples += next.m_sampleCount;
    }
    return false;
}

void RecordWalk::ReportLoss(Steps& steps) {
    if (m_loss.samples > 0)
        steps.Lost(m_loss.from, m_loss.to, m_loss.samples);
    m_loss = Loss();
}

void RecordWalk::CompleteRecord(Steps& steps) {
    if (steps.Record())
        ++m_records;
    else
        m_stop = true;
}

void RecordWalk::EndAtGap(int64_t resume, Steps& steps) {
    if (m_index > 0) {
        steps.Pad(m_current, m_index);
        CompleteRecord(steps);
        m_index = 0;
    }
    m_current = resume;
    m_stop = true;
}

int64_t RecordWalk::Run(const std::vector<std::wstring>& tocFiles, int64_t startStamp, Steps& steps) {
    m_current = startStamp;
    m_index = 0;
    m_records = 0;
    m_stop = false;
    m_loss = Loss();

    for (size_t k = 0; k < tocFiles.size() && !m_stop; ++k) {
        const bool lastFile = k + 1 == tocFiles.size();
        CTocFile toc;
        CEegFileException err;
        if (!toc.Open(tocFiles[k], kOpenFlags, &err)) {
            steps.TocUnreadable(k, err);
            continue;
        }
        if (!DecimationMatches(toc, tocFiles[k], static_cast<int32_t>(m_dec), &err)) {
            steps.TocUnreadable(k, err);
            continue;
        }
        TOC_ENTRY segment = toc.FindTocEntry(-1);
        if (segment.m_stamp == -1)
            continue; // a table without entries holds no samples
        const int64_t fileEnd = EntryEnd(toc.FindTocEntry(sk::kEndStamp));
        segment = toc.FindTocEntry(-1);

        if (m_current == startStamp) {
            if (m_current > fileEnd)
                continue;
            if (m_current > EntryEnd(segment)) {
                segment = toc.FindTocEntryUpperBound(m_current);
                if (segment.m_stamp == -1) {
                    SKW_LOG(8, L"RecordWalk::Run - Unable to determine correct TOC entry for timestamp %lld",
                            static_cast<long long>(startStamp));
                    m_stop = true;
                    break;
                }
            }
        }
        // Between two table-of-contents files: without padding a record
        // boundary jumps over the gap; otherwise the frame loop fills it.
        if (m_splitAtGaps && m_current < segment.m_stamp && (m_records > 0 || m_index > 0)) {
            EndAtGap(segment.m_stamp, steps);
            break;
        }
        if (m_index == 0 && !m_pad && m_current < segment.m_stamp)
            m_current = segment.m_stamp;
        if (!steps.OpenData(k, toc, segment))
            continue;

        int64_t segStart = 0, segEnd = 0;
        // Enters the entry (or, when that fails, the next one whose data
        // reads); false when none is left.
        auto enter = [&](TOC_ENTRY& entry) {
            if (!Enter(entry, steps) && !ResumeAfterFailure(toc, entry, steps))
                return false;
            segStart = entry.m_stamp;
            segEnd = EntryEnd(entry);
            return true;
        };
        bool readFailed = !enter(segment);
        while (!readFailed) {
            if (m_current < segStart) {
                if (m_splitAtGaps && (m_records > 0 || m_index > 0)) {
                    EndAtGap(segStart, steps);
                    break;
                }
                // A gap. Without padding a record never starts inside one.
                if (m_index == 0 && !m_pad) {
                    m_current = segStart;
                    continue;
                }
                const int64_t gap = (segStart - m_current + m_dec - 1) / m_dec;
                const int32_t n = static_cast<int32_t>(std::min<int64_t>(gap, m_fpr - m_index));
                steps.Gap(m_current, m_index, n);
                m_index += n;
                m_current += (n - 1) * m_dec;
            } else if (m_current > fileEnd && lastFile) {
                // The recording ends inside this record: complete it with gap
                // frames.
                steps.Pad(m_current, m_index);
                m_index = m_fpr;
            } else {
                // Past the entry's end no sample can be read.
                const int64_t left = (segEnd - m_current) / m_dec + 1;
                const int32_t want = static_cast<int32_t>(std::min<int64_t>(left, m_fpr - m_index));
                const int32_t n = left > 0 ? steps.Read(m_current, m_index, want) : 0;
                if (n == 0) {
                    // The walk goes on at the next entry that reads; what
                    // lies between is a gap.
                    if (!ResumeAfterFailure(toc, segment, steps)) {
                        readFailed = true;
                        break;
                    }
                    segStart = segment.m_stamp;
                    segEnd = EntryEnd(segment);
                    continue;
                }
                if (m_loss.samples > 0)
                    ReportLoss(steps);
                m_index += n;
                m_current += (n - 1) * m_dec;
            }

            if (m_index == m_fpr) {
                CompleteRecord(steps);
                if (m_stop)
                    break;
                m_index = 0;
                if (!steps.Proceed()) {
                    m_stop = true;
                    break;
                }
            }

            m_current += m_dec;
            // Splits happen at record boundaries only, so no frame of a
            // started record is ever lost.
            if (m_index == 0 && m_splitLimit && m_splitLimit->IsReached(m_current - startStamp, m_records)) {
                m_stop = true;
                break;
            }
            if (m_current > fileEnd && !(lastFile && m_index > 0))
                break;
            if (m_current > segEnd) {
                TOC_ENTRY next;
                if (toc.NextTocEntry(&next) && next.m_stamp != -1) {
                    segment = next;
                    readFailed = !enter(segment);
                }
            }
        }
        if (readFailed) {
            // The rest of this file is lost; the samples already read are
            // kept (a partly filled record is completed with gap frames) and
            // the next file carries on after them.
            if (m_index > 0) {
                const int32_t filled = m_index;
                steps.Pad(m_current, m_index);
                m_current += static_cast<int64_t>(m_fpr - filled) * m_dec;
                m_index = 0;
                CompleteRecord(steps);
            }
        }
        ReportLoss(steps);
        steps.CloseData();
    }

    // The data ended in a file that could not be read: the record begun
    // before it is completed with gap frames.
    if (!m_stop && m_index > 0) {
        steps.Pad(m_current, m_index);
        CompleteRecord(steps);
        m_index = 0;
    }
    return m_current;
}

} // namespace sk

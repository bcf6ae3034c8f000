#include "writer/RecordWalk.h"

#include <algorithm>

#include "writer/WriterLog.h"

namespace sk {

namespace {
constexpr uint32_t kOpenFlags = CEegFile::modeRead | CEegFile::shareDenyNone;
} // namespace

bool RecordWalk::Enter(const TOC_ENTRY& entry, Steps& steps) {
    if (m_current > entry.m_stamp) {
        const int64_t skip = (m_current - entry.m_stamp + m_dec - 1) / m_dec;
        if (!steps.Skip(skip))
            return false;
        m_current = entry.m_stamp + skip * m_dec;
    }
    return true;
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
    auto entryEnd = [&](const TOC_ENTRY& e) { return e.m_stamp + static_cast<int64_t>(e.m_sampleCount) * m_dec - 1; };

    for (size_t k = 0; k < tocFiles.size() && !m_stop; ++k) {
        const bool lastFile = k + 1 == tocFiles.size();
        CTocFile toc;
        CEegFileException err;
        if (!toc.Open(tocFiles[k], kOpenFlags, &err)) {
            steps.TocUnreadable(k, err);
            continue;
        }
        TOC_ENTRY segment = toc.FindTocEntry(-1);
        if (segment.m_stamp == -1)
            continue; // a table without entries holds no samples
        const int64_t fileEnd = entryEnd(toc.FindTocEntry(sk::kEndStamp));
        segment = toc.FindTocEntry(-1);

        if (m_current == startStamp) {
            if (m_current > fileEnd)
                continue;
            if (m_current > entryEnd(segment)) {
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

        bool readFailed = !Enter(segment, steps);
        int64_t segStart = segment.m_stamp;
        int64_t segEnd = entryEnd(segment);
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
                    readFailed = true;
                    break;
                }
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
                    segStart = segment.m_stamp;
                    segEnd = entryEnd(segment);
                    readFailed = !Enter(segment, steps);
                }
            }
        }
        if (readFailed) {
            // The rest of this file is lost; the samples already read are
            // kept (a partly filled record is completed with gap frames) and
            // the next file carries on after them.
            steps.ReadFailed(m_current, fileEnd);
            if (m_index > 0) {
                const int32_t filled = m_index;
                steps.Pad(m_current, m_index);
                m_current += static_cast<int64_t>(m_fpr - filled) * m_dec;
                m_index = 0;
                CompleteRecord(steps);
            }
        }
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

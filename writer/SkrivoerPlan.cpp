// The sizes an export will write, worked out from the tables of contents
// alone: the record walk the export takes, with steps that count records
// and read no sample (runs go in whole, up to a record's end), so an
// estimate of a day-long study costs a few table reads. Sample data that
// turns out to be unreadable during the export is what an estimate cannot
// know.

#include "writer/Skrivoer.h"

#include <algorithm>

#include "platform/Format.h"
#include "recorddata/SkrivoAnnotationManager.h"
#include "writer/RawSegment.h"
#include "writer/RecordWalk.h"
#include "writer/WriterUtil.h"

using namespace sk::writer;

namespace {

class CountSteps final : public sk::RecordWalk::Steps {
public:
    CountSteps(const std::vector<std::wstring>& tocFiles, const sk::SegmentLayout& layout, int32_t framesPerRecord)
        : m_tocFiles(tocFiles), m_layout(layout), m_fpr(framesPerRecord) {}
    void TocUnreadable(size_t, const CEegFileException&) override {}
    // A raw data file that cannot be opened is skipped by the export.
    bool OpenData(size_t file, const CTocFile&, const TOC_ENTRY&) override {
        sk::RawSegment data;
        CEegFileException why;
        return data.Open(m_tocFiles[file], m_layout, &why);
    }
    bool Skip(int64_t) override { return true; }
    int32_t Read(int64_t, int32_t, int32_t max) override { return max; }
    void Gap(int64_t, int32_t, int32_t) override {}
    void Pad(int64_t stamp, int32_t index) override { m_pad = {stamp, m_fpr - index}; }
    bool Record() override {
        m_lastPad = m_pad;
        m_pad = {-1, 0};
        return true;
    }
    bool Proceed() override { return true; }
    bool Resume(const CTocFile&, const TOC_ENTRY&) override { return true; }
    void Lost(int64_t, int64_t, int64_t) override {}
    void CloseData() override {}
    // The padding frames of the last record: the first one's stamp and their
    // count ({-1, 0} when it is full).
    std::pair<int64_t, int64_t> LastPadding() const { return m_lastPad; }

private:
    const std::vector<std::wstring>& m_tocFiles;
    const sk::SegmentLayout m_layout;
    const int32_t m_fpr;
    std::pair<int64_t, int64_t> m_pad{-1, 0}, m_lastPad{-1, 0};
};

} // namespace

int64_t CSkrivoer::PlanRecords(int64_t startStamp, int64_t* next, std::pair<int64_t, int64_t>* padding) const {
    *next = sk::kEndStamp;
    if (m_framesPerRecord <= 0 || m_bytesPerRecord <= 0)
        return 0;
    const std::vector<std::wstring> tocFiles = TocFiles();
    CountSteps steps(tocFiles, ExpectedLayout(), m_framesPerRecord);
    sk::RecordWalk walk(m_decimation, m_framesPerRecord, PadGaps(), SplitAtGaps(), m_splitLimit.get());
    *next = walk.Run(tocFiles, startStamp, steps);
    if (padding)
        *padding = steps.LastPadding();
    return walk.Records();
}

std::pair<int64_t, int64_t> CSkrivoer::EndPadding() const {
    std::pair<int64_t, int64_t> padding{-1, 0};
    int64_t start = LongLongOf(m_study.GetAt(StudyKey(L"Samples.Start")), -1);
    const int64_t end = LongLongOf(m_study.GetAt(StudyKey(L"Samples.End")), -1);
    for (;;) {
        int64_t next = 0;
        PlanRecords(start, &next, &padding);
        if (LastFile(start, next, end))
            return {padding.first, padding.second * m_decimation};
        start = next;
    }
}

void CSkrivoer::MarkEndPadding() {
    // The frames that complete the recording's last record hold no data,
    // like those of a padded gap, and are marked the same way. The mark can
    // change the layout (it is one more annotation for the last record), so
    // the padding is worked out again under the layout that makes room.
    // A layout made with a mark that is then taken out has room for one
    // annotation more than is written, which is harmless; it is kept only
    // when it leaves no padding. When the padding keeps moving, the layout
    // is made again without the mark, so it is sized for what is written,
    // and the export says the padding is unmarked.
    const double stampRate = m_sampleFrequency * m_decimation;
    std::pair<int64_t, int64_t> pad = EndPadding();
    if (pad.second <= 0)
        return;
    for (int round = 0; round < 3; ++round) {
        m_annotations->AddRecordingGaps({pad}, stampRate);
        ComputeRecordLayout();
        CreateSplitLimit();
        const std::pair<int64_t, int64_t> now = EndPadding();
        if (now == pad)
            return;
        m_annotations->RemoveRecordingGap(pad.first);
        if (now.second <= 0)
            return;
        pad = now;
    }
    ComputeRecordLayout();
    CreateSplitLimit();
    pad = EndPadding();
    if (pad.second <= 0)
        return;
    const std::wstring notice =
        sk::FormatW(L"the %lld padding samples that complete the last data record are not marked with a "
                    L"\"Recording gap\" annotation: the record layout found no stable room for it",
                    static_cast<long long>(pad.second / m_decimation));
    if (std::find(m_notices.begin(), m_notices.end(), notice) == m_notices.end())
        m_notices.push_back(notice);
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
        if (LastFile(start, next, end))
            return sizes;
        start = next;
    }
}

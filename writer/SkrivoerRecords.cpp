// The record writing of an export: the record walk decides which records a
// file holds; its export steps assemble the sample frames of each record and
// let every processor write its part of the record where the output file
// will write it from.

#include "writer/Skrivoer.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "platform/Format.h"
#include "platform/HResult.h"
#include "platform/recording/SampleFrame.h"
#include "platform/recording/TocFile.h"
#include "recorddata/EDFAnnotationData.h"
#include "recorddata/EDFEventData.h"
#include "recorddata/EDFPatientEventData.h"
#include "recorddata/EDFRecordData.h"
#include "recorddata/EDFSignalData.h"
#include "recorddata/SkrivoAnnotationManager.h"
#include "writer/EdfOutputFile.h"
#include "writer/ExportDetails.h"
#include "writer/RawSegment.h"
#include "writer/RecordWalk.h"
#include "writer/SampleReader.h"
#include "writer/WriterLog.h"
#include "writer/WriterUtil.h"

using namespace sk::writer;

namespace {

int64_t SaturatedAdd(int64_t a, int64_t b) {
    int64_t r;
    return __builtin_add_overflow(a, b, &r) ? (b > 0 ? INT64_MAX : INT64_MIN) : r;
}

} // namespace

bool CSkrivoer::CSplitLimit::IsReached(int64_t stampsUsed, int64_t records) const {
    if (timeLimit && stampsUsed >= maxStampSpan)
        return true;
    if (sizeLimit && records >= maxRecords)
        return true;
    return false;
}

int CSkrivoer::PlannedAnnotations(int64_t window, int64_t start, const std::vector<Gap>& gaps) const {
    const CSkrivoAnnotationManager& a = *m_annotations;
    int count = a.GetMaxAnnotationsInWindow(window);
    // The first record starts at the first recorded stamp from the start on.
    int64_t first = start;
    for (const Gap& g : gaps)
        if (start >= g.start && start < SaturatedAdd(g.start, g.stamps))
            first = g.start + g.stamps;
    count = std::max(count, a.CountInRange(INT64_MIN, SaturatedAdd(first, window)));
    if (!PadGaps()) {
        // A record after a gap takes what lies between the previous
        // record's end (at or after the last recorded stamp before the gap)
        // and its own end.
        for (const Gap& g : gaps)
            count = std::max(count, a.CountInRange(g.start - m_decimation + 1,
                                                   SaturatedAdd(SaturatedAdd(g.start, g.stamps), window)));
        // Split at gaps, the last record before a gap (which starts at most
        // a record before it) takes what lies in the gap: the next file
        // starts where the samples resume.
        if (SplitAtGaps())
            for (const Gap& g : gaps)
                count = std::max(count, a.CountInRange(SaturatedAdd(g.start, -window),
                                                       SaturatedAdd(g.start, g.stamps)));
    }
    // The recording's last record also takes every annotation after the
    // recording's end: no later record exists for them.
    const int64_t end = LongLongOf(m_study.GetAt(StudyKey(L"Samples.End")), -1);
    const int64_t after = static_cast<int64_t>(a.GetCount()) - a.CountInRange(INT64_MIN, SaturatedAdd(end, 1));
    return static_cast<int>(std::min<int64_t>(count + after, INT32_MAX));
}

void CSkrivoer::FinishRecords(int64_t records) {
    m_fileRecords = records;
    if (!m_failed && !m_file->Flush()) {
        m_failed = true;
        SKW_LOG(8, L"CSkrivoer::WriteString - Error writing to file: %d", m_file->LastError());
        SetFileError(m_file->LastError());
    }
    if (m_failed && m_file->LastError() != 0) {
        // A write failed (disk full, file-size limit): keep the whole records
        // that reached the disk and count those, so the file still opens.
        const int64_t header = 256LL * (static_cast<int64_t>(m_processors.size()) + 1);
        records = m_file->TruncateToWholeRecords(header, m_bytesPerRecord);
        m_fileRecords = records;
        if (records < 0)
            return; // not even the header is whole: the file is not kept
    }
    // A count that cannot be patched leaves -1, and a file no reader opens.
    std::string text = std::to_string(records);
    if (text.size() > 8) {
        m_fileRecords = -1;
        return;
    }
    text.resize(8, ' ');
    if (!m_file->PatchAt(236, text.data(), text.size())) {
        m_fileRecords = -1;
        if (!m_failed) {
            m_failed = true;
            SetFileError(m_file->LastError() ? m_file->LastError() : EIO);
        }
    }
}

// The export's steps of the record walk: reads the samples of each run into
// the record being assembled and lets every processor write its part of the
// record where the output file will write it from.
class CSkrivoer::ExportSteps final : public sk::RecordWalk::Steps {
public:
    ExportSteps(CSkrivoer& w, CExportDetails* details, const std::vector<std::wstring>& tocFiles,
                const std::vector<double>& tocSeconds)
        : m_w(w), m_details(details), m_tocFiles(tocFiles), m_tocSeconds(tocSeconds), m_fpr(w.m_framesPerRecord),
          m_dec(w.m_decimation), m_pad(w.PadGaps()),
          m_frames(static_cast<size_t>(m_fpr) * frame::kFrameSize, 0),
          m_starts(sk::EdfOutputFile::kBufferSize / static_cast<size_t>(std::max<int64_t>(1, w.m_bytesPerRecord)) +
                   2) {
        for (size_t i = 0, pos = 0; i < w.m_writers.size(); ++i) {
            const size_t offset = pos;
            pos += static_cast<size_t>(w.m_recordSizes[i]);
            CEDFRecordData* p = w.m_processors[i];
            IEDFRecordWriter* writer = w.m_writers[i];
            const bool wholeRecord = w.m_recordSizes[i] == 2 * m_fpr;
            const auto* signal = wholeRecord ? dynamic_cast<const CEDFSignalData*>(p) : nullptr;
            const bool events = dynamic_cast<CEDFEventData*>(p) != nullptr;
            if (signal)
                m_signals.push_back({writer, signal, offset});
            else if (events && wholeRecord)
                m_perFrame.push_back({writer, offset, 0});
            else
                m_perRecord.push_back({writer, offset, static_cast<uint32_t>(w.m_recordSizes[i]) / 2});
            if (!signal && !events && !dynamic_cast<CEDFAnnotationData*>(p) && !dynamic_cast<CEDFPatientEventData*>(p))
                m_framesNeedValues = true;
        }
        m_runLimit = m_framesNeedValues ? kBlockFrames : m_fpr;
        // Without a writer that reads frame by frame only the stamps of a
        // record's first and last frames are read (by the writers that work
        // once per record), so a run fills only its first and last frames.
        m_framesRead = m_framesNeedValues || !m_perFrame.empty();
    }

    // The first stamp of the file's record n (from 0): the first of the
    // records it lost when a failed write cut it to n records. Beyond what
    // is remembered, the oldest remembered (the loss is then told as
    // larger than it is, never smaller).
    int64_t RecordStart(int64_t n) const {
        const int64_t kept = static_cast<int64_t>(m_starts.size());
        const int64_t first = std::max<int64_t>(0, m_recordsSeen - kept);
        const int64_t at = std::clamp<int64_t>(n, first, m_recordsSeen - 1);
        return m_starts[static_cast<size_t>(at % kept)];
    }
    bool Cancelled() const { return m_cancelled; }

    // A segment that cannot be read is left out and named; the other
    // segments are still exported.
    void TocUnreadable(size_t file, const CEegFileException& why) override {
        SKW_LOG(4, L"CSkrivoer::WriteRecords - Unable to open ETC file %s", m_tocFiles[file].c_str());
        SkipSegment(file, m_tocFiles[file], why);
    }

    bool OpenData(size_t file, const CTocFile& toc, const TOC_ENTRY& entry) override {
        auto data = std::make_unique<Data>();
        CEegFileException err;
        if (!data->segment.Open(m_tocFiles[file], m_w.ExpectedLayout(), &err)) {
            SKW_LOG(4, L"CSkrivoer::WriteRecords - Unable to open ERD file %s", data->segment.Path().c_str());
            SkipSegment(file, data->segment.Path(), err);
            return false;
        }
        m_frameWord = data->segment.Header().m_frameWord;
        m_data = std::move(data);
        StartReader(toc, entry, true);
        return true;
    }

    bool Resume(const CTocFile& toc, const TOC_ENTRY& entry) override {
        // Data the file does not hold (it was cut short) is not read at all.
        const uint64_t end = entry.DataOffset() + entry.m_dataBytes;
        if (end > static_cast<uint64_t>(m_data->segment.File().GetLength()))
            return false;
        StartReader(toc, entry, false);
        return true;
    }

    bool Skip(int64_t samples) override {
        const bool done = m_data->reader.Skip(samples);
        if (!done)
            NoteFailure();
        return done;
    }

    // Reads the recorded samples from the current stamp on into the frames;
    // the signal channels convert them on the spot.
    int32_t Read(int64_t current, int32_t index, int32_t max) override {
        const int32_t n = m_data->reader.ReadRun(std::min(max, m_runLimit), &m_run);
        if (n == 0) {
            NoteFailure();
            return 0;
        }
        ConvertRawFrames(index);
        // Locals, not members: the frame stores below could alias a member
        // and force a reload per sample.
        uint8_t* const frames = Frame(index);
        const int64_t dec = m_dec;
        const bool framesRead = m_framesRead;
        const uint16_t word = m_frameWord;
        const uint8_t* const flags = m_run.flags;
        for (int32_t i = 0; i < n; i = framesRead || i + 1 == n ? i + 1 : n - 1) {
            uint8_t* f = frames + static_cast<size_t>(i) * frame::kFrameSize;
            frame::SetHeader(f, word);
            frame::SetFlags(f, flags[i]);
            frame::SetStamp(f, current + i * dec);
        }
        if (m_framesNeedValues)
            for (int c = 0; c < m_run.channels; ++c) {
                const int32_t* v = m_run.Column(c);
                for (int32_t i = 0; i < n; ++i)
                    frame::SetValue(frames + static_cast<size_t>(i) * frame::kFrameSize, c, v[i]);
            }
        uint8_t* out = RecordBytes() + 2 * static_cast<size_t>(index);
        for (const SignalPart& r : m_signals)
            r.signal->WriteColumns(m_run, static_cast<uint32_t>(n), out + r.offset);
        m_rawDone = index + n;
        m_w.m_processedSamples += n;
        ConvertBlocks(index + n);
        return n;
    }

    void Gap(int64_t current, int32_t index, int32_t count) override {
        uint8_t* const frames = Frame(index);
        const int64_t dec = m_dec;
        const uint16_t word = m_frameWord;
        for (int32_t j = 0; j < count; ++j) {
            uint8_t* g = frames + static_cast<size_t>(j) * frame::kFrameSize;
            frame::SetHeader(g, word);
            frame::SetFlags(g, frame::kFlagNoData);
            frame::SetStamp(g, current + j * dec);
        }
        if (m_pad)
            m_w.m_processedSamples += count;
        ConvertBlocks(index + count);
    }

    // Completes a partly filled record with gap frames from the current stamp.
    void Pad(int64_t current, int32_t index) override {
        const int64_t dec = m_dec;
        for (int32_t j = index; j < m_fpr; ++j) {
            uint8_t* g = Frame(j);
            frame::SetHeader(g, m_frameWord);
            frame::SetFlags(g, frame::kFlagNoData);
            frame::SetStamp(g, current + (j - index) * dec);
        }
    }

    // Every writer has filled its part of the record: it joins the file.
    bool Record() override {
        Convert(m_fpr);
        ConvertRawFrames(m_fpr);
        m_converted = 0;
        m_rawDone = 0;
        const int64_t recStart = frame::Stamp(m_frames.data());
        const int64_t recEnd = frame::Stamp(Frame(m_fpr - 1));
        m_starts[static_cast<size_t>(m_recordsSeen++ % static_cast<int64_t>(m_starts.size()))] = recStart;
        uint8_t* out = RecordBytes();
        for (const Part& p : m_perRecord)
            p.writer->Write(recStart, recEnd, m_frames.data(), p.samples, out + p.offset);
        const bool inPlace = out != m_record.data();
        m_rec = nullptr;
        sk::EdfOutputFile& file = *m_w.m_file;
        if (inPlace)
            file.Commit(static_cast<size_t>(m_w.m_bytesPerRecord));
        else if (!file.Write(m_record.data(), m_record.size())) {
            SKW_LOG(8, L"CSkrivoer::WriteString - Error writing to file: %d", file.LastError());
            m_w.SetFileError(file.LastError());
            m_w.m_failed = true;
            return false;
        }
        if (m_w.m_processedSamples > m_w.m_totalSamples && !m_w.m_overrunReported) {
            m_w.m_overrunReported = true;
            SKW_EVENT();
        }
        return true;
    }

    bool Proceed() override {
        bool cancel = false;
        if (m_details)
            m_details->ReportProgress(static_cast<float>(Percent()), &cancel);
        if (cancel) {
            m_cancelled = true;
            return false;
        }
        return true;
    }

    // Truncated or corrupt sample data: what it cost is named with its time
    // from the recording's start, so that it can be found in the files.
    void Lost(int64_t from, int64_t to, int64_t samples) override {
        std::wstring why = m_failure.empty() ? L"sample data ends before its table of contents" : m_failure;
        m_failure.clear();
        const std::wstring& path = m_data->segment.Path();
        // Only the file's last span can hold this one: its spans are told
        // in time order, and a later file of a split series starts at or
        // after the last of them.
        for (auto told = m_w.m_lostSpans.rbegin(); told != m_w.m_lostSpans.rend(); ++told)
            if (told->file == path) {
                if (told->from <= from && to <= told->to)
                    return;
                break;
            }
        m_w.m_lostSpans.push_back({path, from, to});
        SKW_LOG(4, L"CSkrivoer::WriteRecords - Unable to read ERD file %s", path.c_str());
        const double stampRate = RealOf(m_w.m_study.GetAt(L"Samples.Frequency"), 0.0);
        if (stampRate > 0.0) {
            const int64_t start = LongLongOf(m_w.m_study.GetAt(m_w.StudyKey(L"Samples.Start")), 0);
            why += sk::FormatW(L"; the samples from %.3f s to %.3f s of the recording are lost",
                               static_cast<double>(from - start) / stampRate,
                               static_cast<double>(to + 1 - start) / stampRate);
        }
        const double lost =
            m_w.m_sampleFrequency > 0.0 ? static_cast<double>(samples) / m_w.m_sampleFrequency : -1.0;
        m_w.AddProblem({path, why, lost, -1, -1});
    }

    void CloseData() override { m_data.reset(); }

private:
    // Signal channels (raw and montage) take their values straight from the
    // decoder's channel-contiguous runs, so the frames carry the decoded
    // values only when another writer reads them. Writers whose every sample
    // depends on its own frame's flags alone (the trigger channel) convert
    // the frames in small blocks while those are still in the cache; the
    // others write once per record.
    struct Part {
        IEDFRecordWriter* writer;
        size_t offset; // in the record
        uint32_t samples;
    };
    struct SignalPart {
        IEDFRecordWriter* writer; // for gap frames
        const CEDFSignalData* signal;
        size_t offset;
    };
    // The open raw data file of a segment and its reader.
    struct Data {
        sk::RawSegment segment;
        sk::SampleReader reader;
    };
    static constexpr int32_t kBlockFrames = 64;

    // Reads the open data from the entry on, each entry from its own data
    // offset. The reader takes the file's entries once; resuming after a
    // damaged entry only moves it, so that a file of many damaged entries
    // costs no more than one pass over them.
    void StartReader(const CTocFile& toc, const TOC_ENTRY& entry, bool opened) {
        if (opened) {
            std::vector<TOC_ENTRY> entries;
            entries.reserve(static_cast<size_t>(std::max(0, toc.GetEntryCount())));
            for (int i = 0; i < toc.GetEntryCount(); ++i)
                entries.push_back(toc.GetEntry(i));
            m_data->reader.Start(&m_data->segment.File(), m_data->segment.Producer(), std::move(entries),
                                 m_data->segment.Header().m_channelCount);
        }
        m_data->reader.MoveTo(entry.m_stamp);
    }
    // The first failure of a loss names it.
    void NoteFailure() {
        if (m_failure.empty())
            m_failure = m_data->reader.Error();
    }
    void SkipSegment(size_t file, const std::wstring& path, const CEegFileException& why) {
        m_w.AddProblem({path, ReasonOf(why.GetErrorText(), path), m_tocSeconds[file], -1, -1});
    }
    uint8_t* Frame(int32_t i) { return m_frames.data() + static_cast<size_t>(i) * frame::kFrameSize; }
    double Percent() const {
        return m_w.m_totalSamples > 0
                   ? static_cast<double>(m_w.m_processedSamples) * 100.0 / static_cast<double>(m_w.m_totalSamples)
                   : 100.0;
    }
    // A record is assembled straight in the output file's buffer, or, when
    // that cannot take it whole, in a record buffer of its own that is then
    // written.
    uint8_t* RecordBytes() {
        if (!m_rec && !(m_rec = m_w.m_file->Reserve(static_cast<size_t>(m_w.m_bytesPerRecord)))) {
            m_record.resize(static_cast<size_t>(m_w.m_bytesPerRecord));
            m_rec = m_record.data();
        }
        return m_rec;
    }
    void ConvertBlocks(int32_t index) {
        if (index - m_converted >= kBlockFrames)
            Convert(index);
    }
    void Convert(int32_t upTo) {
        if (upTo <= m_converted || m_perFrame.empty())
            return;
        WriteFrames(m_perFrame, m_converted, upTo);
        m_converted = upTo;
    }
    // Gap frames reach the signal channels through the frames.
    void ConvertRawFrames(int32_t upTo) {
        if (upTo <= m_rawDone)
            return;
        WriteFrames(m_signals, m_rawDone, upTo);
        m_rawDone = upTo;
    }
    template <class P>
    void WriteFrames(const std::vector<P>& parts, int32_t from, int32_t upTo) {
        const uint8_t* first = Frame(from);
        const int64_t s0 = frame::Stamp(first);
        const int64_t s1 = frame::Stamp(Frame(upTo - 1));
        uint8_t* out = RecordBytes() + 2 * static_cast<size_t>(from);
        for (const P& p : parts)
            p.writer->Write(s0, s1, first, static_cast<uint32_t>(upTo - from), out + p.offset);
    }

    CSkrivoer& m_w;
    CExportDetails* const m_details;
    const std::vector<std::wstring>& m_tocFiles;
    const std::vector<double>& m_tocSeconds;
    const int32_t m_fpr;
    const int64_t m_dec;
    const bool m_pad;
    std::vector<Part> m_perFrame, m_perRecord;
    std::vector<SignalPart> m_signals;
    bool m_framesNeedValues = false;
    bool m_framesRead = false;
    int32_t m_runLimit = 0;
    // One frame buffer, reused for every record.
    std::vector<uint8_t> m_frames;
    std::vector<uint8_t> m_record;
    // The first stamps of the last records handed to the file, as many as
    // its buffer can hold and one more: a failed write loses no more.
    std::vector<int64_t> m_starts;
    int64_t m_recordsSeen = 0;
    uint8_t* m_rec = nullptr; // the current record's bytes, once begun
    int32_t m_converted = 0;  // frames of the current record already converted
    int32_t m_rawDone = 0;    // the same for the signal channels
    uint16_t m_frameWord = 0; // of the last raw data file, for closing gap frames
    std::unique_ptr<Data> m_data;
    sk::SampleReader::Run m_run;
    bool m_cancelled = false;
    std::wstring m_failure; // why the data failed, until the loss is told
};

int64_t CSkrivoer::WriteRecords(int64_t startStamp, CExportDetails* details) {
    m_fileRecords = -1;
    if (m_framesPerRecord <= 0 || m_bytesPerRecord <= 0 || !m_file->IsOpen())
        return sk::kEndStamp;

    // Table-of-contents files in time order, with the seconds each segment
    // holds, which are what is lost when one cannot be read.
    std::vector<double> tocSeconds;
    std::vector<sk::ExportProblem> missing;
    const std::vector<std::wstring> tocFiles = TocFiles(&tocSeconds, &missing);
    for (const sk::ExportProblem& p : missing)
        AddProblem(p);

    ExportSteps steps(*this, details, tocFiles, tocSeconds);
    sk::RecordWalk walk(m_decimation, m_framesPerRecord, PadGaps(), SplitAtGaps(), m_splitLimit.get());
    const int64_t next = walk.Run(tocFiles, startStamp, steps);
    m_stopStamp = next;
    FinishRecords(walk.Records());
    // A failed write cut the file to its whole records on the disk: what it
    // lacks starts at the first record it lost, not where reading stopped.
    if (m_fileRecords >= 0 && m_fileRecords < walk.Records())
        m_stopStamp = steps.RecordStart(m_fileRecords);
    if (steps.Cancelled())
        return -1;
    return m_failed ? sk::kEndStamp : next;
}

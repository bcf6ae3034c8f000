// The record writing loop: walks the recording's table-of-contents and raw
// data files in time order, assembles the sample frames of each data record,
// lets every processor write its part of the record where the output file
// will write it from.

#include "writer/Skrivoer.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "platform/HResult.h"
#include "platform/recording/DataProducer.h"
#include "platform/recording/RawDataFile.h"
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
#include "writer/SampleReader.h"
#include "writer/WriterLog.h"
#include "writer/WriterUtil.h"

using namespace sk::writer;

namespace {

int64_t SaturatedAdd(int64_t a, int64_t b) {
    int64_t r;
    return __builtin_add_overflow(a, b, &r) ? (b > 0 ? INT64_MAX : INT64_MIN) : r;
}

constexpr uint32_t kOpenFlags = CEegFile::modeRead | CEegFile::shareDenyNone;

struct ProducerDeleter {
    void operator()(CDataProducer* p) const {
        if (p)
            p->Release();
    }
};
using ProducerPtr = std::unique_ptr<CDataProducer, ProducerDeleter>;

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
    }
    return count;
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

int64_t CSkrivoer::WriteRecords(int64_t startStamp, CExportDetails* details) {
    m_fileRecords = -1;
    const bool pad = PadGaps();
    const int64_t dec = m_decimation;
    const int32_t fpr = m_framesPerRecord;
    if (fpr <= 0 || m_bytesPerRecord <= 0 || !m_file->IsOpen())
        return sk::kEndStamp;

    // Table-of-contents files in time order, with the seconds each segment
    // holds, which are what is lost when one cannot be read.
    std::vector<double> tocSeconds;
    std::vector<sk::ExportProblem> missing;
    const std::vector<std::wstring> tocFiles = TocFiles(&tocSeconds, &missing);
    for (const sk::ExportProblem& p : missing)
        AddProblem(p);

    // One frame buffer, reused for every record. A record is assembled
    // straight in the output file's buffer, or, when that cannot take it
    // whole, in a record buffer of its own that is then written.
    std::vector<uint8_t> frames(static_cast<size_t>(fpr) * frame::kFrameSize, 0);
    std::vector<uint8_t> record;
    uint8_t* rec = nullptr; // the current record's bytes, once begun
    auto recordBytes = [&]() -> uint8_t* {
        if (!rec && !(rec = m_file->Reserve(static_cast<size_t>(m_bytesPerRecord)))) {
            record.resize(static_cast<size_t>(m_bytesPerRecord));
            rec = record.data();
        }
        return rec;
    };

    int64_t current = startStamp;
    int32_t index = 0;
    uint16_t frameWord = 0; // of the last raw data file, for closing gap frames
    int64_t records = 0;
    bool cancelled = false;
    bool stop = false; // split, cancellation or an unrecoverable error

    auto percent = [&]() {
        return m_totalSamples > 0
                   ? static_cast<double>(m_processedSamples) * 100.0 / static_cast<double>(m_totalSamples)
                   : 100.0;
    };
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
    std::vector<Part> perFrame, perRecord;
    std::vector<SignalPart> signals;
    bool framesNeedValues = false;
    for (size_t w = 0, pos = 0; w < m_writers.size(); ++w) {
        const size_t offset = pos;
        pos += static_cast<size_t>(m_recordSizes[w]);
        CEDFRecordData* p = m_processors[w];
        const bool wholeRecord = m_recordSizes[w] == 2 * fpr;
        const auto* signal = wholeRecord ? dynamic_cast<const CEDFSignalData*>(p) : nullptr;
        const bool events = dynamic_cast<CEDFEventData*>(p) != nullptr;
        if (signal)
            signals.push_back({m_writers[w], signal, offset});
        else if (events && wholeRecord)
            perFrame.push_back({m_writers[w], offset, 0});
        else
            perRecord.push_back({m_writers[w], offset, static_cast<uint32_t>(m_recordSizes[w]) / 2});
        if (!signal && !events && !dynamic_cast<CEDFAnnotationData*>(p) && !dynamic_cast<CEDFPatientEventData*>(p))
            framesNeedValues = true;
    }
    int32_t converted = 0; // frames of the current record already converted
    int32_t rawDone = 0;   // the same for the signal channels
    constexpr int32_t kBlockFrames = 64;
    auto convert = [&](int32_t upTo) {
        if (upTo <= converted || perFrame.empty())
            return;
        const uint8_t* first = frames.data() + static_cast<size_t>(converted) * frame::kFrameSize;
        const int64_t s0 = frame::Stamp(first);
        const int64_t s1 = frame::Stamp(frames.data() + static_cast<size_t>(upTo - 1) * frame::kFrameSize);
        uint8_t* out = recordBytes() + 2 * static_cast<size_t>(converted);
        for (const Part& p : perFrame)
            p.writer->Write(s0, s1, first, static_cast<uint32_t>(upTo - converted), out + p.offset);
        converted = upTo;
    };
    // Gap frames reach the signal channels through the frames.
    auto convertRawFrames = [&](int32_t upTo) {
        if (upTo <= rawDone)
            return;
        const uint8_t* first = frames.data() + static_cast<size_t>(rawDone) * frame::kFrameSize;
        const int64_t s0 = frame::Stamp(first);
        const int64_t s1 = frame::Stamp(frames.data() + static_cast<size_t>(upTo - 1) * frame::kFrameSize);
        uint8_t* out = recordBytes() + 2 * static_cast<size_t>(rawDone);
        for (const SignalPart& r : signals)
            r.writer->Write(s0, s1, first, static_cast<uint32_t>(upTo - rawDone), out + r.offset);
        rawDone = upTo;
    };
    // Every writer has filled its part of the record: it joins the file.
    auto writeRecord = [&]() -> bool {
        convert(fpr);
        convertRawFrames(fpr);
        converted = 0;
        rawDone = 0;
        const int64_t recStart = frame::Stamp(frames.data());
        const int64_t recEnd = frame::Stamp(frames.data() + static_cast<size_t>(fpr - 1) * frame::kFrameSize);
        uint8_t* out = recordBytes();
        for (const Part& p : perRecord)
            p.writer->Write(recStart, recEnd, frames.data(), p.samples, out + p.offset);
        const bool inPlace = out != record.data();
        rec = nullptr;
        if (inPlace)
            m_file->Commit(static_cast<size_t>(m_bytesPerRecord));
        else if (!m_file->Write(record.data(), record.size())) {
            SKW_LOG(8, L"CSkrivoer::WriteString - Error writing to file: %d", m_file->LastError());
            SetFileError(m_file->LastError());
            m_failed = true;
            return false;
        }
        ++records;
        if (m_processedSamples > m_totalSamples && !m_overrunReported) {
            m_overrunReported = true;
            SKW_EVENT();
        }
        return true;
    };
    // Completes a partly filled record with gap frames from the current stamp.
    auto padRecord = [&](uint16_t word) {
        for (int32_t j = index; j < fpr; ++j) {
            uint8_t* g = frames.data() + static_cast<size_t>(j) * frame::kFrameSize;
            frame::SetHeader(g, word);
            frame::SetFlags(g, frame::kFlagNoData);
            frame::SetStamp(g, current + (j - index) * dec);
        }
        index = fpr;
    };
    // Split at gaps: a gap ends the file once it holds data (its last record
    // completed with gap frames, as an EDF+D record before a gap is); the
    // next file starts where the samples resume.
    const bool splitAtGaps = SplitAtGaps();
    auto endAtGap = [&](uint16_t word, int64_t resume) {
        if (index > 0) {
            padRecord(word);
            writeRecord();
            index = 0;
        }
        current = resume;
        stop = true;
    };

    for (size_t k = 0; k < tocFiles.size() && !stop; ++k) {
        const bool lastFile = k + 1 == tocFiles.size();
        CTocFile toc;
        CEegFileException err;
        // A segment that cannot be read is left out and named; the other
        // segments are still exported.
        auto skipSegment = [&](const std::wstring& path, const CEegFileException& why) {
            AddProblem({path, ReasonOf(why.GetErrorText(), path), tocSeconds[k], -1, -1});
        };
        if (!toc.Open(tocFiles[k], kOpenFlags, &err)) {
            SKW_LOG(4, L"CSkrivoer::WriteRecords - Unable to open ETC file %s", tocFiles[k].c_str());
            skipSegment(tocFiles[k], err);
            continue;
        }
        const TOC_ENTRY firstEntry = toc.FindTocEntry(-1);
        if (firstEntry.m_stamp == -1)
            continue; // a table without entries holds no samples
        const TOC_ENTRY lastEntry = toc.FindTocEntry(sk::kEndStamp);
        auto entryEnd = [&](const TOC_ENTRY& e) { return e.m_stamp + static_cast<int64_t>(e.m_sampleCount) * dec - 1; };
        const int64_t fileEnd = entryEnd(lastEntry);
        TOC_ENTRY segment = toc.FindTocEntry(-1);

        if (current == startStamp) {
            if (current > fileEnd)
                continue;
            if (current > entryEnd(segment)) {
                segment = toc.FindTocEntryUpperBound(current);
                if (segment.m_stamp == -1) {
                    SKW_LOG(8, L"CSkrivoer::WriteRecords - Unable to determine correct TOC entry for timestamp %lld",
                            static_cast<long long>(startStamp));
                    stop = true;
                    break;
                }
            }
        }
        // Between two table-of-contents files: without padding a record
        // boundary jumps over the gap; otherwise the frame loop fills it.
        if (splitAtGaps && current < segment.m_stamp && (records > 0 || index > 0)) {
            endAtGap(frameWord, segment.m_stamp);
            break;
        }
        if (index == 0 && !pad && current < segment.m_stamp)
            current = segment.m_stamp;

        const std::wstring erdPath = FindStudyFile(ReplaceExtension(tocFiles[k], L".ERD"));
        CRawDataFile raw;
        if (!raw.Open(erdPath, kOpenFlags, &err)) {
            SKW_LOG(4, L"CSkrivoer::WriteRecords - Unable to open ERD file %s", erdPath.c_str());
            skipSegment(erdPath, err);
            continue;
        }
        const CRawDataHeader* h = raw.GetRawHeader();
        if (!h) {
            skipSegment(erdPath, CEegFileException(0, L"not a raw data file"));
            continue;
        }
        frameWord = h->m_frameWord;
        ProducerPtr producer(CDataProducer::CreateDataProducer(h->m_schema, h->m_frameWord, &raw));
        if (producer) {
            producer->Attach(&raw);
            if (!producer->GetDataInterface()->Init(h->m_channelCount, h->m_schema, h->m_decimation, h->m_sampleFreq))
                producer.reset();
        }
        if (!producer) {
            skipSegment(erdPath, CEegFileException(0, L"storage schema cannot be read"));
            continue;
        }

        // Positions the raw data at the segment's data and, when the file
        // starts inside the segment, skips the samples before the stamp.
        // The samples of this segment's entry and every later one are decoded
        // ahead on the reader's thread, each entry from its own data offset.
        std::vector<TOC_ENTRY> entries;
        for (int i = 0; i < toc.GetEntryCount(); ++i)
            if (!entries.empty() || toc.GetEntry(i).m_stamp == segment.m_stamp)
                entries.push_back(toc.GetEntry(i));
        sk::SampleReader reader;
        reader.Start(&raw, producer.get(), std::move(entries), h->m_channelCount,
                     !details || details->GetDecodeAhead());
        // A file that starts inside an entry skips the samples before its
        // start stamp.
        auto enterSegment = [&](const TOC_ENTRY& e) -> bool {
            if (current > e.m_stamp) {
                int64_t skip = (current - e.m_stamp + dec - 1) / dec;
                if (!reader.Skip(skip))
                    return false;
                current = e.m_stamp + skip * dec;
            }
            return true;
        };
        // Reads the recorded samples from the current stamp on, at most to
        // the end of the record and of the entry, into the frames; the signal
        // channels convert them on the spot. The samples read, 0 when none
        // could be.
        const int32_t runLimit = framesNeedValues ? kBlockFrames : fpr;
        // Without a writer that reads frame by frame only the stamps of a
        // record's first and last frames are read (by the writers that work
        // once per record), so a run fills only its first and last frames.
        const bool framesRead = framesNeedValues || !perFrame.empty();
        sk::SampleReader::Run run;
        auto readRun = [&](int64_t entryEnd) -> int32_t {
            const int64_t left = (entryEnd - current) / dec + 1;
            const int32_t want = static_cast<int32_t>(std::min<int64_t>({left, fpr - index, runLimit}));
            const int32_t n = reader.ReadRun(want, &run);
            if (n == 0)
                return 0;
            convertRawFrames(index);
            for (int32_t i = 0; i < n; i = framesRead || i + 1 == n ? i + 1 : n - 1) {
                uint8_t* f = frames.data() + static_cast<size_t>(index + i) * frame::kFrameSize;
                frame::SetHeader(f, h->m_frameWord);
                frame::SetFlags(f, run.flags[i]);
                frame::SetStamp(f, current + i * dec);
            }
            if (framesNeedValues)
                for (int c = 0; c < run.channels; ++c) {
                    const int32_t* v = run.Column(c);
                    for (int32_t i = 0; i < n; ++i)
                        frame::SetValue(frames.data() + static_cast<size_t>(index + i) * frame::kFrameSize, c, v[i]);
                }
            uint8_t* out = recordBytes() + 2 * static_cast<size_t>(index);
            for (const SignalPart& r : signals)
                r.signal->WriteColumns(run, static_cast<uint32_t>(n), out + r.offset);
            rawDone = index + n;
            return n;
        };
        bool readFailed = !enterSegment(segment);
        int64_t segStart = segment.m_stamp;
        int64_t segEnd = entryEnd(segment);

        while (!readFailed) {
            uint8_t* fr = frames.data() + static_cast<size_t>(index) * frame::kFrameSize;
            frame::SetHeader(fr, h->m_frameWord);
            frame::SetStamp(fr, current);
            if (current < segStart) {
                if (splitAtGaps && (records > 0 || index > 0)) {
                    endAtGap(h->m_frameWord, segStart);
                    break;
                }
                // A gap. Without padding a record never starts inside one.
                if (index == 0 && !pad) {
                    current = segStart;
                    continue;
                }
                frame::SetFlags(fr, frame::kFlagNoData);
                ++index;
                if (pad)
                    ++m_processedSamples;
            } else if (current > fileEnd && lastFile) {
                // The recording ends inside this record: complete it with
                // gap frames.
                padRecord(h->m_frameWord);
            } else if (const int32_t n = readRun(segEnd)) {
                index += n;
                m_processedSamples += n;
                current += static_cast<int64_t>(n - 1) * dec;
            } else {
                readFailed = true;
                break;
            }

            if (index - converted >= kBlockFrames)
                convert(index);
            if (index == fpr) {
                if (!writeRecord()) {
                    stop = true;
                    break;
                }
                bool cancel = false;
                if (details)
                    details->ReportProgress(static_cast<float>(percent()), &cancel);
                index = 0;
                if (cancel) {
                    cancelled = true;
                    stop = true;
                    break;
                }
            }

            current += dec;
            // Splits happen at record boundaries only, so no frame of a
            // started record is ever lost.
            if (index == 0 && m_splitLimit && m_splitLimit->IsReached(current - startStamp, records)) {
                stop = true;
                break;
            }
            if (current > fileEnd && !(lastFile && index > 0))
                break;
            if (current > segEnd) {
                TOC_ENTRY next;
                if (toc.NextTocEntry(&next) && next.m_stamp != -1) {
                    segment = next;
                    segStart = segment.m_stamp;
                    segEnd = entryEnd(segment);
                    if (!enterSegment(segment))
                        readFailed = true;
                }
            }
        }
        if (readFailed) {
            // Truncated or corrupt sample data: the rest of this segment is
            // lost and named; the samples already read are kept (a partly
            // filled record is completed with gap frames) and the next
            // segment carries on after them.
            std::wstring why = reader.Error();
            if (why.empty())
                why = L"sample data ends before its table of contents";
            SKW_LOG(4, L"CSkrivoer::WriteRecords - Unable to read ERD file %s", erdPath.c_str());
            const double lost = m_sampleFrequency > 0.0
                                    ? static_cast<double>((fileEnd - current) / dec + 1) / m_sampleFrequency
                                    : -1.0;
            AddProblem({erdPath, why, lost, -1, -1});
            if (index > 0) {
                const int32_t filled = index;
                padRecord(h->m_frameWord);
                current += static_cast<int64_t>(fpr - filled) * dec;
                index = 0;
                if (!writeRecord())
                    stop = true;
            }
        }
    }

    // The data ended in a segment that could not be read: the record begun
    // before it is completed with gap frames.
    if (!stop && index > 0) {
        padRecord(frameWord);
        writeRecord();
        index = 0;
    }
    m_stopStamp = current;
    FinishRecords(records);
    if (cancelled)
        return -1;
    return m_failed ? sk::kEndStamp : current;
}

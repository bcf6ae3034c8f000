// The export driver: processors, layout, output names and split limit, then
// one output file after another until the recording's end, a cancellation
// or an error.

#include "writer/Skrivoer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cerrno>
#include <unistd.h>

#include "platform/Format.h"
#include "platform/HResult.h"

#include "platform/recording/RawDataFile.h"
#include "platform/recording/StcFile.h"
#include "recorddata/EDFAnnotationData.h"
#include "recorddata/EDFRecordData.h"
#include "writer/EdfOutputFile.h"
#include "writer/OutputObserver.h"
#include "writer/ExportDetails.h"
#include "writer/WriterLog.h"
#include "writer/WriterUtil.h"

using namespace sk::writer;

namespace {

// Why a study file the export needs gave nothing: missing, or the reason the
// file cannot be read, or (a file that reads) the fallback.
std::wstring UnreadableText(CEegFile& file, const std::wstring& path, const wchar_t* kind, const wchar_t* fallback) {
    if (path.empty() || !FileExists(path))
        return path + L": " + kind + L" is missing";
    CEegFileException err;
    if (!file.Open(path, CEegFile::modeRead | CEegFile::shareDenyNone, &err))
        return err.GetErrorText();
    file.Close();
    return path + L": " + fallback;
}

} // namespace

bool CSkrivoer::CreateSplitLimit() {
    m_splitLimit.reset();
    const int64_t spatial = LongLongOf(m_template.GetAt(L"SpatialMaximum"), 0);
    const int32_t temporal = IntOf(m_template.GetAt(L"TemporalMaximum"), 0);
    if (spatial > 0) {
        auto limit = std::make_unique<CSplitLimit>();
        limit->sizeLimit = true;
        limit->sizeBytes = spatial;
        const uint64_t header = 256ull * (m_processors.size() + 1);
        const uint64_t perRecord = m_bytesPerRecord > 0 ? static_cast<uint64_t>(m_bytesPerRecord) : 1;
        // A limit beyond any file (up to INT64_MAX) is no reason to split.
        auto count = static_cast<int32_t>(
            std::min<uint64_t>((static_cast<uint64_t>(spatial) - header) / perRecord, INT32_MAX));
        limit->maxRecords = count < 2 ? 1 : count;
        m_splitLimit = std::move(limit);
    } else if (temporal >= 1) {
        auto limit = std::make_unique<CSplitLimit>();
        limit->timeLimit = true;
        limit->timeSeconds = temporal;
        // Whole records of at most the limit, counted in frames (samples of
        // the data in use) and turned into stamps, which decimated data
        // advances by its factor per frame.
        int64_t records = 1;
        if (m_framesPerRecord > 0)
            records = std::max<int64_t>(
                1, static_cast<int64_t>(std::floor(m_sampleFrequency * temporal + 1e-6)) / m_framesPerRecord);
        limit->maxStampSpan = records * m_framesPerRecord * m_decimation;
        m_splitLimit = std::move(limit);
    }
    return m_splitLimit != nullptr;
}

bool CSkrivoer::Export(CExportDetails* details) {
    m_problems.clear();
    m_lostSpans.clear();
    const bool ok = ExportFiles(details);
    if (details) {
        for (const sk::ExportProblem& p : m_problems)
            details->AddProblem(p);
        for (const std::wstring& n : m_notices)
            details->AddNotice(n);
    }
    return ok;
}

void CSkrivoer::AddProblem(const sk::ExportProblem& problem) {
    // A table of contents is visited once per output file of a series; its
    // problem is one problem.
    for (const sk::ExportProblem& p : m_problems)
        if (p.file == problem.file && p.reason == problem.reason)
            return;
    m_problems.push_back(problem);
}

std::wstring CSkrivoer::StudyFilePath(const wchar_t* extension, bool dataCopy) const {
    auto key = [&](const std::wstring& k) { return dataCopy ? StudyKey(k) : k; };
    std::wstring path = AsCStr(m_study.GetAt(key(std::wstring(L"Files") + extension)), L"");
    if (!path.empty())
        return path;
    // Missing: the name the study's files share, with this extension.
    const std::wstring eeg = FileNameOf(AsCStr(m_study.GetAt(L"Files.EEG"), L""));
    const std::wstring stem = eeg.size() > 4 ? eeg.substr(0, eeg.size() - 4) : eeg;
    return PathCombine(AsCStr(m_study.GetAt(key(L"Files.Path")), L""), stem + extension);
}

std::wstring CSkrivoer::GetOutputPath(const std::wstring& studyName) const {
    // 7. Output path.
    std::wstring extension = AsCStr(m_template.GetAt(L"Extension"), L".EDF");
    // An extension names no folder: one with a separator is not used.
    if (extension.find_first_of(L"/\\") != std::wstring::npos)
        extension = L".EDF";
    if (!extension.empty() && extension.front() != L'.')
        extension.insert(extension.begin(), L'.');
    std::wstring studyFile = FileNameOf(AsCStr(m_study.GetAt(L"Files.EEG"), L""));
    if (studyFile.empty())
        studyFile = studyName + L".EEG";
    std::wstring fileName = ReplaceExtension(studyFile, extension);

    // 8. De-identification. Only the file name is searched: the output
    // folder is the user's and stays as it is.
    if (IntOf(m_template.GetAt(L"Deidentify"), 0) != 0) {
        const std::wstring last = AsCStr(m_study.GetAt(L"Info.Name.LastName"), L"");
        const std::wstring first = AsCStr(m_study.GetAt(L"Info.Name.FirstName"), L"");
        // A blank name part would make the search text a bare "~ " (or half
        // a name), which matches inside the real names and leaves them in
        // the file name; such a study takes the GUID name instead.
        auto blank = [](const std::wstring& t) {
            return t.find_first_not_of(L" \t\r\n\v\f") == std::wstring::npos;
        };
        const std::wstring patient = last + L"~ " + first;
        if (!blank(last) && !blank(first) && fileName.find(patient) != std::wstring::npos) {
            fileName = ReplaceAll(fileName, patient, L"X~ X");
        } else {
            std::wstring guid = ToLowerAscii(AsCStr(m_study.GetAt(L"Study.StudyGUID"), L""));
            size_t a = guid.find_first_not_of(L"{}");
            size_t b = guid.find_last_not_of(L"{}");
            guid = a == std::wstring::npos ? std::wstring() : guid.substr(a, b - a + 1);
            fileName = L"X~ X_" + guid + extension;
        }
    }
    return PathCombine(m_outputFolder, fileName);
}

std::wstring CSkrivoer::TemporaryPath(const std::wstring& path) {
    return path + L".skrivo-" + std::to_wstring(static_cast<long>(::getpid())) + L".tmp";
}

bool CSkrivoer::PrepareExport() {
    // 1-2. Processors and record layout.
    if (!ProcessRecordData()) {
        // Why, naming the file where one is to blame: without a readable raw
        // data file the study has no channels.
        std::wstring why = m_errorText;
        if (!m_study.GetAt(L"Samples.Frequency")) {
            CRawDataFile raw;
            why = UnreadableText(raw, StudyFilePath(L".ERD", false), L"raw data file", L"no channels");
        }
        SetError(sk::kErrInvalidArg, L"Failure to create record data processors." + (why.empty() ? L"" : L" " + why));
        return false;
    }
    ComputeRecordLayout();
    if (!(m_recordDuration > 0.0))
        SKW_EVENT();
    if (m_framesPerRecord <= 0 || m_bytesPerRecord <= 0) {
        // Without a sampling rate no data record can be laid out; the rate
        // comes from the raw data file.
        SKW_LOG(8, L"CSkrivoer::Export - Unable to lay out data records.");
        CRawDataFile raw;
        SetError(sk::kErrInvalidArg, UnreadableText(raw, StudyFilePath(L".ERD"), L"raw data file",
                                                    L"sampling frequency not defined"));
        return false;
    }

    // 3. Split limit. One that cannot hold the header and a data record
    // would give a file per record (or none): refused instead.
    CreateSplitLimit();
    if (IsEdfPlus() && LongLongOf(m_study.GetAt(StudyKey(L"Samples.Start")), -1) != -1)
        MarkEndPadding();
    if (m_splitLimit && m_splitLimit->sizeLimit) {
        const int64_t smallest = 256 * static_cast<int64_t>(m_processors.size() + 1) + m_bytesPerRecord;
        if (m_splitLimit->sizeBytes < smallest) {
            SetError(sk::kErrInvalidArg,
                     sk::FormatW(L"The size limit of %lld bytes is below the header and one data record (%lld bytes).",
                                 static_cast<long long>(m_splitLimit->sizeBytes), static_cast<long long>(smallest)));
            return false;
        }
    }

    // 4. Stamps.
    if (LongLongOf(m_study.GetAt(StudyKey(L"Samples.Start")), -1) == -1) {
        SKW_LOG(8, L"CSkrivoer::Export - Unable to get starting timestamp.");
        CStcFile stc;
        SetError(sk::kErrInvalidArg, UnreadableText(stc, StudyFilePath(L".STC"), L"segment table",
                                                    L"starting timestamp not defined"));
        return false;
    }
    return true;
}

void CSkrivoer::SetNothingWritten() {
    if (TocFiles().empty())
        SetError(sk::HResultFromWin32(sk::ERROR_FILE_NOT_FOUND),
                 L"No data written: the study has no table-of-contents (.ETC) file.");
    else if (!m_problems.empty())
        SetError(sk::HResultFromWin32(sk::ERROR_INVALID_DATA),
                 m_problems.front().file + L": " + m_problems.front().reason);
    else
        SetError(sk::HResultFromWin32(sk::ERROR_INVALID_DATA),
                 L"No data written: the study holds no recorded data from its start stamp on.");
}

bool CSkrivoer::ExportFiles(CExportDetails* details) {
    m_failed = false;
    m_observer = details ? details->GetOutputObserver() : nullptr;
    m_file->SetObserver(m_observer);
    if (!PrepareExport())
        return false;
    int64_t start = LongLongOf(m_study.GetAt(StudyKey(L"Samples.Start")), -1);
    const int64_t end = LongLongOf(m_study.GetAt(StudyKey(L"Samples.End")), -1);
    const int64_t total = LongLongOf(m_study.GetAt(StudyKey(L"Samples.Total")), 0);

    // 5-6. Progress total and writers.
    m_totalSamples = PadGaps() ? end - start + 1 : total;
    if (m_useDecimated && PadGaps() && m_decimation > 1)
        m_totalSamples = (end - start) / m_decimation + 1;
    m_processedSamples = 0;
    m_writers.clear();
    for (CEDFRecordData* p : m_processors)
        m_writers.push_back(p->GetWriter());

    // 7-8. Output path.
    const std::wstring basePath = GetOutputPath(details ? details->GetStudyName() : std::wstring());
    const double rate = m_sampleFrequency * (m_useDecimated ? m_decimation : 1);
    auto secondsFrom = [&](int64_t stamp) {
        return rate > 0.0 && end >= stamp ? static_cast<double>(end - stamp + 1) / rate : 0.0;
    };

    // 9. One file after another. Each is written under a temporary name and
    // gets its final name only once its record count is patched and its
    // data synced, so a file with a final name is never a torn one.
    // Seconds from the creation time's whole second to stamp 0, exact on
    // the stamp grid: the writers turn it back into stamps at the stamp
    // rate, whatever the decimation.
    const double stampRate = RealOf(m_study.GetAt(L"Samples.Frequency"), 0.0);
    const double startFraction =
        stampRate > 0.0 ? static_cast<double>(StartFractionStamps()) / stampRate : 0.0;
    std::wstring lastKept; // the last file given its final name
    for (int n = 0;; ++n) {
        std::wstring path = basePath;
        if ((m_splitLimit || SplitAtGaps()) && n > 0) {
            wchar_t number[16];
            std::swprintf(number, 16, L"_%03d", n);
            path = ReplaceExtension(basePath, L"") + number + ExtensionOf(basePath);
        }
        if (details)
            details->SetCurrentFile(FileNameOf(path));
        for (const std::wstring& name : RemoveLeftoverTemporaries(path))
            m_notices.push_back(L"removed " + name + L", the unfinished file of an earlier export that was stopped");
        if (!m_overwrite && AnyFileAt(path)) {
            SetError(sk::HResultFromWin32(sk::ERROR_FILE_EXISTS), path + L": output file already exists and is not replaced");
            return false;
        }
        const std::wstring temp = TemporaryPath(path);
        if (!OpenOutputFile(temp)) {
            m_errorText = path + L": " + m_errorText;
            return false;
        }
        if (m_observer) {
            // The header takes the planned count at once: an export that
            // writes what was planned patches the same bytes at the end, and
            // the observer has seen the whole file in one pass.
            int64_t next = 0;
            m_headerRecords = PlanRecords(start, &next);
            m_observer->Started(path);
        }
        if (!WriteHeader(start)) {
            // A header that did not reach the disk leaves nothing worth keeping.
            m_file->Abandon();
            ::unlink(ToUtf8(temp).c_str());
            if (m_observer)
                m_observer->Ended(false);
            m_errorText = path + L": " + m_errorText;
            return false;
        }
        for (size_t w = 0; w < m_writers.size(); ++w) {
            if (n == 0 || (IsEdfPlus() && w + 1 == m_writers.size()))
                m_writers[w]->Initialize(startFraction, start, m_sampleFrequency, m_decimation, m_recordDuration);
        }
        const int64_t next = WriteRecords(start, details);
        // The annotations up to the next file's start belong to this file;
        // in the last one, every annotation left.
        const bool last = LastFile(start, next, end);
        if (next != -1 && !m_failed && (m_fileRecords > 0 || !lastKept.empty()))
            CompleteAnnotations(last ? INT64_MAX : next - 1, m_fileRecords > 0 ? path : lastKept);
        const bool closed = CloseOutputFile();
        if (!closed)
            m_failed = true;
        // A file without a single data record (an export that failed at once,
        // or a start stamp past the recorded data) is of no use to anyone and
        // no reader accepts it; neither does one whose count could not be
        // patched. Everything else is kept, salvaged files included.
        bool kept = false;
        if (m_fileRecords > 0)
            kept = PublishFile(temp, path);
        else
            ::unlink(ToUtf8(temp).c_str());
        if (m_observer)
            m_observer->Ended(kept);
        if (m_fileRecords > 0 && !kept)
            return false;
        if (kept)
            lastKept = path;
        if (next == -1) {
            if (kept)
                AddProblem({path, L"export was cancelled; the file holds the data records written until then",
                            secondsFrom(m_stopStamp), -1, -1});
            SetError(sk::kErrCancelled, L"Export was cancelled");
            return false;
        }
        if (m_failed) {
            if (m_errorText.find(path) == std::wstring::npos)
                m_errorText = path + L": " + m_errorText;
            if (kept)
                AddProblem({path, L"the file holds the data records that could be written", secondsFrom(m_stopStamp),
                            -1, -1});
            return false;
        }
        if (n == 0 && !kept) {
            // Nothing of the study could be read: that is no export at all.
            // Say why rather than report success with nothing written.
            SetNothingWritten();
            return false;
        }
        if (next > end)
            return true;
        // A call that made no progress (no table-of-contents entry for the
        // start stamp) or ended without a split has nothing more to give.
        if (next <= start || (!m_splitLimit && !SplitAtGaps()))
            return true;
        start = next;
    }
}

void CSkrivoer::CompleteAnnotations(int64_t last, const std::wstring& path) {
    auto* anno = IsEdfPlus() && !m_processors.empty() ? dynamic_cast<CEDFAnnotationData*>(m_processors.back()) : nullptr;
    if (!anno)
        return;
    auto* writer = static_cast<CEDFAnnotationData::CEDFAnnotationWriter*>(anno->GetWriter());
    const auto size = static_cast<size_t>(m_recordSizes.back());
    std::vector<uint8_t> block(size);
    const auto rest = writer->CompleteLastRecord(last, m_fileRecords > 0 ? block.data() : nullptr,
                                                 static_cast<uint32_t>(size / 2));
    if (rest.rewritten) {
        const int64_t at = 256LL * (static_cast<int64_t>(m_processors.size()) + 1) +
                           (m_fileRecords - 1) * m_bytesPerRecord + (m_bytesPerRecord - static_cast<int64_t>(size));
        if (!m_file->PatchAt(at, block.data(), block.size())) {
            m_failed = true;
            SetFileError(m_file->LastError() ? m_file->LastError() : EIO);
            return;
        }
    }
    if (rest.notes > 0 || rest.stages > 0)
        AddProblem({path, L"annotations after the file's last data record could not be written into it", -1.0,
                    rest.notes > 0 ? rest.notes : -1, rest.stages > 0 ? rest.stages : -1});
}

bool CSkrivoer::PublishFile(const std::wstring& temp, const std::wstring& path) {
    const std::string from = ToUtf8(temp);
    const std::string to = ToUtf8(path);
    if (!sk::writer::RenameFile(from, to, m_overwrite)) {
        const int e = errno;
        ::unlink(from.c_str());
        SetFileError(e);
        m_errorText = path + L": " + m_errorText;
        m_failed = true;
        return false;
    }
    // The new name must survive a power cut as well as the data did.
    sk::writer::SyncFolder(ToUtf8(FolderOf(path)));
    return true;
}

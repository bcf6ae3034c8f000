#pragma once
// The EDF/EDF+ exporter of one study. ProbeStudy reads a study folder into a
// study description; an exporter made from that description, a template's key
// tree and an output folder turns it into one EDF/EDF+ file, or a numbered
// series when the template limits size or duration.
//
// Sequence of one export (Export runs all of it):
//   ProcessRecordData   one processor per output signal, in header order
//   ComputeRecordLayout record duration, frames and bytes per data record
//   per output file:    WriteHeader, writer initialisation, WriteRecords
//
// No operation throws; failures come back as results, with the last error
// code (HRESULT-style) and text available afterwards. One exporter belongs to
// one thread.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/KeyTree.h"
#include "platform/SkrivoExport.h"
#include "writer/ExportDetails.h"

class CEDFRecordData;
class IEDFRecordWriter;
class CMontage;
class CDataReaderMultipleBOSupport;
class CSkrivoAnnotationManager;
class CExportDetails;

namespace sk {
class EdfOutputFile;
class OutputObserver;
struct SegmentLayout;

// Local wall-clock time of a sample, to the millisecond.
struct CalendarTime {
    int year = 1601, month = 1, day = 1;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// HRESULT-style codes the exporter reports.
constexpr int32_t kErrInvalidArg = static_cast<int32_t>(0x80070057u);
constexpr int32_t kErrCancelled = static_cast<int32_t>(0x800704C7u);
constexpr int64_t kEndStamp = 0x7FFFFFFFFFFFLL;
// Largest data record the layout aims for.
constexpr int32_t kRecordLimit = 61440;
} // namespace sk

class SKRIVO_API CSkrivoer {
public:
    // Largest records or stamp span of one output file (absent when the
    // template sets neither limit).
    struct CSplitLimit {
        bool sizeLimit = false;
        int64_t sizeBytes = 0;
        int32_t maxRecords = 0;
        bool timeLimit = false;
        int32_t timeSeconds = 0;
        int64_t maxStampSpan = 0;
        // True when a file that has consumed stampsUsed stamps and written
        // records data records must end.
        bool IsReached(int64_t stampsUsed, int64_t records) const;
    };

    CSkrivoer(const CKeyTree& study, const CKeyTree& templ, const std::wstring& outputFolder);
    ~CSkrivoer();
    CSkrivoer(const CSkrivoer&) = delete;
    CSkrivoer& operator=(const CSkrivoer&) = delete;

    // Reads the study folder (with trailing separator) and the study name (the
    // ".EEG" file name without extension) into *study. True when the probe ran
    // to its end; false for a headbox type outside 1..27 or an internal error.
    static bool ProbeStudy(const std::wstring& folder, const std::wstring& studyName,
                           CKeyTree* study);

    // Writes every output file of the study. True when every file was written;
    // on false GetLastErrorCode/GetLastErrorText say why.
    bool Export(CExportDetails* details);

    // Sizes in bytes of the files Export would write, in order (one unless
    // the template splits), from the study's tables of contents without
    // reading a sample; empty when the export would fail before writing.
    // Exact unless sample data proves unreadable while it is exported.
    std::vector<int64_t> PlanFileSizes();

    // What the last Export could not do in full (also handed to the entry).
    const std::vector<sk::ExportProblem>& GetProblems() const { return m_problems; }
    // What the export did otherwise than the template asked, nothing lost
    // (also handed to the entry).
    const std::vector<std::wstring>& GetNotices() const { return m_notices; }
    // Path of the first output file (numbered files of a split series add
    // "_001", ...): the output folder, the study file's name with the
    // template's extension, de-identified when the template asks for it.
    // studyName stands in for a study description without "Files.EEG".
    std::wstring GetOutputPath(const std::wstring& studyName) const;
    // Whether an existing output file may be replaced (default: yes). When
    // not, an export whose output file exists fails before writing it, and
    // one that appears meanwhile is not replaced either.
    void SetOverwrite(bool overwrite) { m_overwrite = overwrite; }
    // Name an output file has while it is written: beside the final one,
    // "<final name>.skrivo-<process id>.tmp".
    static std::wstring TemporaryPath(const std::wstring& path);

    int32_t GetLastErrorCode() const { return m_errorCode; }
    const std::wstring& GetLastErrorText() const { return m_errorText; }

    // --- steps of an export, public so that each can be driven on its own --
    // Builds the processor list; false (with error set) when it is empty or
    // the channel source cannot be used.
    bool ProcessRecordData();
    // Fixes duration, frames and bytes per data record for the processors.
    void ComputeRecordLayout();
    // Writes the whole header of the open output file for the file's first
    // stamp; false on a file error (error set through SetFileError).
    bool WriteHeader(int64_t startStamp);
    // Fixed-width ASCII field writers on the output file (left-aligned,
    // space-padded). WriteInteger/WriteDouble write nothing and return false
    // when the number cannot fit; WriteText refuses non-ASCII text.
    bool WriteString(std::string_view text, int width);
    bool WriteInteger(int64_t value, int width);
    bool WriteDouble(double value, int width);
    bool WriteText(const std::wstring& text, int width);
    // Fills the open output file with data records from startStamp. Returns
    // the stamp where the next file starts, -1 when cancelled, or the end
    // sentinel when a table-of-contents or raw data file could not be opened.
    int64_t WriteRecords(int64_t startStamp, CExportDetails* details);

    std::wstring GetPatientIdentification() const;
    std::wstring GetRecordingIdentification(int64_t startStamp) const;
    sk::CalendarTime GetStartTime(int64_t stamp) const;
    std::string GetStartDateText(int64_t stamp) const; // "dd.MM.yy", see StartDateKnown
    // False for a start before 1985, which the date field cannot hold.
    bool StartDateKnown(int64_t stamp) const;
    std::string GetStartTimeText(int64_t stamp) const; // "HH.mm.ss"
    // Error code and text for an operating-system error number.
    void SetFileError(int osError);

    // Text the number writer produces for value in a field of width (empty
    // when it cannot be written). Locale independent; used by WriteDouble.
    static std::string FormatDouble(double value, int width, bool* ok = nullptr);

    // Output file handling (the driver opens one file per output file).
    bool OpenOutputFile(const std::wstring& path);
    // Flushes, syncs the data to disk and closes; false on a write error.
    bool CloseOutputFile();

    // --- layout and setup results --------------------------------------------
    double GetRecordDuration() const { return m_recordDuration; }
    double GetSampleFrequency() const { return m_sampleFrequency; }
    bool GetUseDecimated() const { return m_useDecimated; }
    int32_t GetDecimation() const { return m_decimation; }
    int32_t GetFramesPerRecord() const { return m_framesPerRecord; }
    int32_t GetBytesPerRecord() const { return m_bytesPerRecord; }
    const std::vector<int32_t>& GetRecordSizes() const { return m_recordSizes; }
    size_t GetProcessorCount() const { return m_processors.size(); }
    CEDFRecordData* GetProcessor(size_t i) const;
    const CSplitLimit* GetSplitLimit() const { return m_splitLimit.get(); }
    CSkrivoAnnotationManager& GetAnnotationManager();
    const CKeyTree& GetStudy() const { return m_study; }

    // A recording gap: the first stamp without samples and the number of
    // stamps (at the raw rate) until samples resume.
    struct Gap {
        int64_t start;
        int64_t stamps;
    };
    // The gaps of the exported data (raw or decimated), in time order.
    std::vector<Gap> RecordingGaps() const;
    // "EDF", "EDF+C" or "EDF+D": the kind of file a template writes for a
    // study.
    static const char* FileKind(const CKeyTree& study, const CKeyTree& templ);
    const CKeyTree& GetTemplateTree() const { return m_template; }

    // Test and tool hooks: set the sampling frequency, take over a processor
    // (appended in header order), replace the progress total.
    void SetSampleFrequency(double f) { m_sampleFrequency = f; }
    void AddProcessor(CEDFRecordData* processor);
    void SetTotalSamples(int64_t total) { m_totalSamples = total; }

private:
    class ExportSteps; // the export's steps of the record walk

    bool IsEdfPlus() const;
    bool PadGaps() const;
    // EDF+ without padding that ends a file at every gap: each continuous
    // part of the recording becomes an EDF+C file of its own.
    bool SplitAtGaps() const;
    // Whether the file from stamp `start`, whose successor would start at
    // `next`, is the last of the series: the data ends, the walk made no
    // progress, or nothing splits the recording at all.
    bool LastFile(int64_t start, int64_t next, int64_t end) const;
    std::wstring StudyKey(const std::wstring& key) const; // "Decimated." prefix when decimated
    // Table-of-contents files of the exported data, in time order; with the
    // seconds each segment holds (-1: unknown) and the listed files that are
    // missing, when asked.
    std::vector<std::wstring> TocFiles(std::vector<double>* seconds = nullptr,
                                       std::vector<sk::ExportProblem>* missing = nullptr) const;
    // The rate, channels and decimation every segment of the exported data
    // must have.
    sk::SegmentLayout ExpectedLayout() const;
    // Why the decimated copy cannot be exported ("file: reason"); empty when
    // each of its segments opens with the study's layout.
    std::wstring DecimatedCopyProblem() const;
    void SetError(int32_t code, const std::wstring& text);
    bool ExportFiles(CExportDetails* details);
    // Processors, record layout and split limit, and the checks that the
    // study can be exported at all (error set when not).
    bool PrepareExport();
    // The error of an export that found no data to write, and why.
    void SetNothingWritten();
    // Puts the annotations from the last record's end up to stamp `last`
    // into the last record of the open file `path` (the file `path` names
    // when the open one has no records: they are then counted as lost),
    // and names what could not be put there.
    void CompleteAnnotations(int64_t last, const std::wstring& path);
    void AddProblem(const sk::ExportProblem& problem);
    // A study file by its extension (".STC", ...), or where it would be; of
    // the decimated copy when that is exported and dataCopy is set.
    std::wstring StudyFilePath(const wchar_t* extension, bool dataCopy = true) const;
    // Gives the finished temporary file its final name and syncs the folder.
    bool PublishFile(const std::wstring& temp, const std::wstring& path);
    bool CreateSplitLimit();
    int64_t StartTicks(int64_t stamp) const; // local 100-ns ticks since 1601
    // Stamps from the whole second of the creation time to stamp 0, on the
    // stamp grid (may equal the rate: the start then lies on the next second).
    int64_t StartFractionStamps() const;
    // As StartTicks; false (ticks clamped) when the time lies outside the
    // years 100..9999.
    bool StartTicksChecked(int64_t stamp, int64_t& ticks) const;
    // Header fields are composed in memory and written in one piece; the
    // field writers put into that image while it is being built, else into
    // the file at its current position.
    bool Put(const char* data, size_t size);
    bool SeekOut(int64_t position);
    // Ends the current file's data: patches the record count; after a write
    // failure keeps only the whole records that reached the disk.
    void FinishRecords(int64_t records);
    void FitRecordSizes();
    // Annotations the densest record can take for records of `window`
    // stamps starting at `start`: the densest window, the first record
    // (which takes every note before it) and, without gap padding, the first
    // record after each gap (which takes the notes inside the gap).
    int PlannedAnnotations(int64_t window, int64_t start, const std::vector<Gap>& gaps) const;
    // The data records WriteRecords writes into a file from startStamp, and
    // (through next) the stamp where the next file starts.
    // padding (when given): the padding frames of the file's last record,
    // as the first one's stamp and their count.
    int64_t PlanRecords(int64_t startStamp, int64_t* next, std::pair<int64_t, int64_t>* padding = nullptr) const;
    // The padding that completes the recording's last data record: the stamp
    // it starts at and its length in stamps (0: the last record is full).
    std::pair<int64_t, int64_t> EndPadding() const;
    // Marks that padding in an EDF+ file with a "Recording gap" annotation.
    void MarkEndPadding();

    CKeyTree m_study;
    CKeyTree m_template;
    std::wstring m_outputFolder;
    std::unique_ptr<sk::EdfOutputFile> m_file;
    sk::OutputObserver* m_observer = nullptr; // of the current export, not owned
    int64_t m_headerRecords = -1;             // the record count a header is first written with
    std::vector<CEDFRecordData*> m_processors; // owned
    std::vector<IEDFRecordWriter*> m_writers;  // live inside the processors
    std::vector<int32_t> m_recordSizes;
    double m_recordDuration = 0.0;
    double m_sampleFrequency = 0.0;
    bool m_useDecimated = false;
    int32_t m_decimation = 1;
    int32_t m_framesPerRecord = 0;
    int32_t m_bytesPerRecord = 0;
    std::unique_ptr<CMontage> m_montage;
    std::unique_ptr<CDataReaderMultipleBOSupport> m_boSupport;
    std::unique_ptr<CSplitLimit> m_splitLimit;
    int64_t m_totalSamples = 0;
    int64_t m_processedSamples = 0;
    std::unique_ptr<CSkrivoAnnotationManager> m_annotations;
    int32_t m_errorCode = 0;
    std::wstring m_errorText;
    // Set when a write to the output file or a read of the raw data failed:
    // the export then ends with the error instead of going on.
    bool m_failed = false;
    bool m_overrunReported = false;
    bool m_overwrite = true;
    std::vector<sk::ExportProblem> m_problems;
    // Sample data told lost (raw data file, first and last stamp): a file
    // of a split series that starts inside such a span tells it no second
    // time.
    struct LostSpan {
        std::wstring file;
        int64_t from, to;
    };
    std::vector<LostSpan> m_lostSpans;
    std::vector<std::wstring> m_notices;
    int64_t m_stopStamp = -1; // where the last WriteRecords stopped reading
    int64_t m_fileRecords = 0; // data records in the file last finished
    std::string m_headerImage;
    size_t m_imagePos = 0;
    bool m_buildingHeader = false;
};

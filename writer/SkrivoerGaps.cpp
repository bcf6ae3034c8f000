// The recording's segment files, what each must share with the study, and
// the gaps between its recorded runs, as the segment table and the tables of
// contents give them.

#include "writer/Skrivoer.h"

#include "platform/recording/StcFile.h"
#include "platform/recording/TocFile.h"
#include "writer/RawSegment.h"
#include "writer/RecordWalk.h"
#include "writer/WriterUtil.h"

using namespace sk::writer;

namespace {
constexpr uint32_t kOpenFlags = CEegFile::modeRead | CEegFile::shareDenyNone;
} // namespace

std::vector<std::wstring> CSkrivoer::TocFiles(std::vector<double>* seconds,
                                              std::vector<sk::ExportProblem>* missing) const {
    std::vector<std::wstring> tocFiles;
    const std::wstring stcPath = AsCStr(m_study.GetAt(StudyKey(L"Files.STC")), L"");
    const std::wstring folder = AsCStr(m_study.GetAt(StudyKey(L"Files.Path")), L"");
    CStcFile stc;
    if (FileExists(stcPath) && stc.Open(stcPath, kOpenFlags)) {
        const auto& segments = stc.GetSegments();
        STC_ENTRY e = stc.FindStcEntry(-1);
        for (size_t i = 0; e.m_number >= 0; ++i) {
            std::wstring path =
                FindStudyFile(PathCombine(folder, std::wstring(e.m_name, wcsnlen(e.m_name, 256))) + L".ETC");
            // What the segment holds is what is lost when it cannot be read.
            const double held = i < segments.size() && m_sampleFrequency > 0.0
                                    ? static_cast<double>(segments[i].sampleCount) / m_sampleFrequency
                                    : -1.0;
            if (FileExists(path)) {
                tocFiles.push_back(path);
                if (seconds)
                    seconds->push_back(held);
            } else if (missing) {
                missing->push_back({path,
                                    AnyFileAt(path) ? L"table of contents is not a regular file"
                                                    : L"table of contents is missing",
                                    held, -1, -1});
            }
            if (!stc.NextStcEntry(&e))
                break;
        }
        stc.Close();
    }
    if (tocFiles.empty()) {
        std::wstring etc = AsCStr(m_study.GetAt(StudyKey(L"Files.ETC")), L"");
        if (FileExists(etc)) {
            tocFiles.push_back(etc);
            if (seconds)
                seconds->push_back(-1.0);
        }
    }
    return tocFiles;
}

std::vector<CSkrivoer::Gap> CSkrivoer::RecordingGaps() const {
    std::vector<Gap> gaps;
    // A segment whose table of contents or raw data cannot be opened holds
    // no samples for the export, which pads its time like any gap: it is a
    // gap, also before the first segment that can be read.
    const int64_t start = LongLongOf(m_study.GetAt(StudyKey(L"Samples.Start")), -1);
    int64_t previousEnd = start >= 0 ? start - 1 : -1; // last stamp covered so far, -1 before the first
    for (const std::wstring& path : TocFiles()) {
        CTocFile toc;
        sk::RawSegment data;
        CEegFileException why;
        if (!toc.Open(path, kOpenFlags) || !sk::RecordWalk::DecimationMatches(toc, path, m_decimation, &why) ||
            !data.Open(path, ExpectedLayout(), &why))
            continue; // the writing loop reports it
        for (int i = 0; i < toc.GetEntryCount(); ++i) {
            const TOC_ENTRY& e = toc.GetEntry(i);
            if (previousEnd >= 0 && e.m_stamp > previousEnd + 1)
                gaps.push_back({previousEnd + 1, e.m_stamp - previousEnd - 1});
            if (toc.EntryEnd(e) > previousEnd)
                previousEnd = toc.EntryEnd(e);
        }
    }
    return gaps;
}

sk::SegmentLayout CSkrivoer::ExpectedLayout() const {
    sk::SegmentLayout layout;
    layout.rate = RealOf(m_study.GetAt(L"Samples.Frequency"), 0.0);
    layout.channels = IntOf(m_study.GetAt(L"Channels.RawCount"), 0);
    layout.decimation = m_decimation;
    return layout;
}

std::wstring CSkrivoer::DecimatedCopyProblem() const {
    if (LongLongOf(m_study.GetAt(StudyKey(L"Samples.Start")), -1) == -1) {
        const std::wstring path = StudyFilePath(L".STC");
        CStcFile stc;
        CEegFileException err;
        if (!FileExists(path))
            return path + L": segment table is missing";
        if (!stc.Open(path, kOpenFlags, &err))
            return err.GetErrorText();
        return path + L": no recorded samples";
    }
    std::vector<sk::ExportProblem> missing;
    const std::vector<std::wstring> tocFiles = TocFiles(nullptr, &missing);
    if (!missing.empty())
        return missing.front().file + L": " + missing.front().reason;
    if (tocFiles.empty())
        return StudyFilePath(L".ETC") + L": table of contents is missing";
    for (const std::wstring& path : tocFiles) {
        CTocFile toc;
        sk::RawSegment raw;
        CEegFileException err;
        if (!toc.Open(path, kOpenFlags, &err) ||
            !sk::RecordWalk::DecimationMatches(toc, path, m_decimation, &err) ||
            !raw.Open(path, ExpectedLayout(), &err))
            return err.GetErrorText();
    }
    return std::wstring();
}

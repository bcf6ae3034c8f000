// The recording's segment files and the gaps between its recorded runs, as
// the segment table and the tables of contents give them.

#include "writer/Skrivoer.h"

#include "platform/recording/StcFile.h"
#include "platform/recording/TocFile.h"
#include "writer/WriterUtil.h"

using namespace sk::writer;

namespace {
constexpr uint32_t kOpenFlags = CEegFile::modeRead | CEegFile::shareDenyNone;
} // namespace

std::vector<std::wstring> CSkrivoer::TocFiles() const {
    std::vector<std::wstring> tocFiles;
    const std::wstring stcPath = AsCStr(m_study.GetAt(StudyKey(L"Files.STC")), L"");
    const std::wstring folder = AsCStr(m_study.GetAt(StudyKey(L"Files.Path")), L"");
    CStcFile stc;
    if (FileExists(stcPath) && stc.Open(stcPath, kOpenFlags)) {
        STC_ENTRY e = stc.FindStcEntry(-1);
        while (e.m_number >= 0) {
            std::wstring path =
                FindStudyFile(PathCombine(folder, std::wstring(e.m_name, wcsnlen(e.m_name, 256))) + L".ETC");
            if (FileExists(path))
                tocFiles.push_back(path);
            if (!stc.NextStcEntry(&e))
                break;
        }
        stc.Close();
    }
    if (tocFiles.empty()) {
        std::wstring etc = AsCStr(m_study.GetAt(StudyKey(L"Files.ETC")), L"");
        if (FileExists(etc))
            tocFiles.push_back(etc);
    }
    return tocFiles;
}

std::vector<CSkrivoer::Gap> CSkrivoer::RecordingGaps() const {
    std::vector<Gap> gaps;
    int64_t previousEnd = -1; // last stamp covered by the run before, -1 before the first
    for (const std::wstring& path : TocFiles()) {
        CTocFile toc;
        if (!toc.Open(path, kOpenFlags))
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

// The study probe: reads one study folder into the study description that
// every later step of an export reads instead of the study files.

#include "writer/Skrivoer.h"

#include <climits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/appcommon/HeadboxConfig.h"
#include "platform/appcommon/PhysicalUnits.h"
#include "platform/recording/EegStudyFile.h"
#include "platform/recording/Montage.h"
#include "platform/recording/MultipleBOSupport.h"
#include "platform/recording/NoteManager.h"
#include "platform/recording/RawDataFile.h"
#include "platform/recording/StcFile.h"
#include "writer/WriterLog.h"
#include "writer/WriterUtil.h"

using namespace sk::writer;

namespace {

void CopyUserItem(const CKeyTree& from, const wchar_t* key, CKeyTree& to, const wchar_t* target) {
    if (const CLuser* u = AsUser(from.GetAt(key)))
        to.AddKey(target, u->Duplicate());
}

// Step 2: the patient and study record of the ".EEG" key tree. Returns false
// (and logs why, naming the file) for a file that cannot be read and for a
// headbox type outside 1..27.
bool ReadStudyFile(const std::wstring& path, CKeyTree& study) {
    CKeyTree eeg;
    CEegFileException err;
    if (!CEegStudyFile::Load(path, eeg, &err)) {
        SKW_LOG(8, L"CSkrivoer::ProbeStudy - %s", err.GetErrorText().c_str());
        return false;
    }
    if (const CItem* info = eeg.GetAt(L"Info"))
        study.AddKey(L"Info", info->Duplicate());
    const CKeyTree* rec = CEegStudyFile::GetStudyRecord(eeg);
    if (!rec)
        return true;

    const CLuser* tavi = AsUser(rec->GetAt(L"TaviCreationTime"));
    if (tavi && tavi->Bytes().size() == 8)
        study.AddKey(L"Samples.TaviCreationTime", tavi->Duplicate());
    double creation = RealOf(rec->GetAt(L"CreationTime"), 0.0);
    if (creation != 0.0)
        study.AddKey(L"Samples.CreationTime", creation);

    int32_t hbType = IntOf(rec->GetAt(L"Headbox.HB0.HBType"), 0);
    if (hbType < 1 || hbType > 27) {
        SKW_LOG(8, L"CSkrivoer::ProbeStudy - %s: headbox type %d is not supported", path.c_str(),
                static_cast<int>(hbType));
        return false;
    }
    study.AddKey(L"Headbox.HB0.HBType", hbType);
    if (hbType == 20) {
        study.AddKey(L"Headbox.HB0.Breakouts", IntOf(rec->GetAt(L"Headbox.HB0.Breakouts"), 2));
        CopyUserItem(*rec, L"Headbox.HB0.Pinboard.Usage", study, L"Headbox.HB0.Pinboard.Usage");
        CopyUserItem(*rec, L"Headbox.HB0.Pinboard.Diff", study, L"Headbox.HB0.Pinboard.Diff");
    }
    for (const wchar_t* key : {L"Headbox.HB0.FastPagingFrequency", L"Headbox.HB0.BackfillFrequency"}) {
        double v = RealOf(rec->GetAt(key), -1.0);
        if (v > 0)
            study.AddKey(key, v);
    }
    study.AddKey(L"Headbox.HB0.HBSWVersion", AsCStr(rec->GetAt(L"Headbox.HB0.HBSWVersion"), L""));
    study.AddKey(L"Study.StudyGUID", AsCStr(rec->GetAt(L"StudyGUID"), L""));
    int32_t group = IntOf(rec->GetAt(L"StudyGroup"), 1);
    study.AddKey(L"Study.StudyGroup", group);
    if (group == 2)
        study.AddKey(L"Study.StagingType", IntOf(rec->GetAt(L"StagingType"), 3));
    int32_t decimation = IntOf(rec->GetAt(L"RawDataDecimation"), 1);
    if (decimation > 1)
        study.AddKey(L"Study.RawDataDecimation", decimation);
    if (const CKeyTree* cal = AsKeyTree(rec->GetAt(L"Calibration")))
        study.AddKey(L"Study.Calibration", cal->Duplicate());
    return true;
}

// Step 6: the first note holding a montage, as a copy of its "Data" subtree.
std::unique_ptr<CKeyTree> FindRecordingMontage(const std::wstring& notesPath, bool& loaded) {
    loaded = false;
    CNoteManager notes;
    notes.setPath(notesPath);
    CEegFileException err;
    if (!notes.Load(&err)) {
        SKW_LOG(8, L"CSkrivoer::ProbeStudy - Unable to access %s - Exception %s", notesPath.c_str(),
                err.GetErrorText().c_str());
        if (notes.GetSize() == 0)
            return nullptr; // else the montage may be among the notes that read
    }
    loaded = true;
    for (CNoteMapIterator it(notes, INT32_MIN, sk::kEndStamp); !it.IsEOF(); it.MoveNext()) {
        const CNote* note = it.GetCurrent();
        if (!note)
            break;
        const CKeyTree* tree = note->GetKeyTree();
        std::wstring type = AsCStr(tree ? tree->GetAt(L"Data.Type") : nullptr, L"");
        if (type == L"Montage" || type == L"Review Montage") {
            const CKeyTree* data = AsKeyTree(tree->GetAt(L"Data"));
            if (data)
                return std::make_unique<CKeyTree>(*data);
        }
    }
    return nullptr;
}

} // namespace

bool CSkrivoer::ProbeStudy(const std::wstring& folder, const std::wstring& studyName, CKeyTree* study) {
    if (!study)
        return false;
    try {
        // 1. File paths.
        for (const wchar_t* ext : {L".EEG", L".STC", L".ETC", L".ERD", L".ENT", L".EPO"}) {
            std::wstring path = FindStudyFile(PathCombine(folder, studyName) + ext);
            if (FileExists(path))
                study->AddKey(std::wstring(L"Files") + ext, path);
        }
        study->AddKey(L"Files.Path", folder);

        // 2. Study file.
        std::wstring eegPath = AsCStr(study->GetAt(L"Files.EEG"), L"");
        if (!eegPath.empty() && FileExists(eegPath) && !ReadStudyFile(eegPath, *study))
            return false;

        // 3. Segment table.
        std::wstring stcPath = AsCStr(study->GetAt(L"Files.STC"), L"");
        int64_t start = -1, end = -1, total = -1;
        std::vector<std::wstring> segmentData; // raw data files, in segment order
        if (!stcPath.empty() && FileExists(stcPath)) {
            CStcFile stc;
            CEegFileException err;
            if (stc.Open(stcPath, CEegFile::modeRead | CEegFile::shareDenyNone, &err)) {
                start = stc.GetStartStamp();
                end = stc.GetEndStamp();
                total = stc.GetRecordingSampleNum();
                for (STC_ENTRY e = stc.FindStcEntry(-1); e.m_number >= 0;) {
                    segmentData.push_back(
                        FindStudyFile(PathCombine(folder, std::wstring(e.m_name, wcsnlen(e.m_name, 256))) + L".ERD"));
                    if (!stc.NextStcEntry(&e))
                        break;
                }
                if (!segmentData.empty())
                    study->SetAt(L"Files.ERD", segmentData.front());
                stc.Close();
            }
            study->AddKey(L"Samples.Start", start);
            study->AddKey(L"Samples.End", end);
            study->AddKey(L"Samples.Total", total);
            study->AddKey(L"Samples.Contiguous", static_cast<int32_t>(total == end - start + 1 ? 1 : 0));
        }

        // 4. Raw data header: the first segment's that reads gives the
        // study its rate and channels, so that a damaged one costs its own
        // segment only.
        double frequency = 0.0;
        int32_t channelCount = 0;
        if (segmentData.empty())
            segmentData.push_back(AsCStr(study->GetAt(L"Files.ERD"), L""));
        for (const std::wstring& erdPath : segmentData) {
            if (erdPath.empty() || !FileExists(erdPath))
                continue;
            CRawDataFile raw;
            CEegFileException err;
            if (!raw.Open(erdPath, CEegFile::modeRead | CEegFile::shareDenyNone, &err))
                continue;
            const CRawDataHeader* h = raw.GetRawHeader();
            if (h && h->GetType() >= 0 && h->GetType() <= 27) {
                frequency = static_cast<double>(static_cast<int64_t>(h->GetSampleFrequency() + 0.5));
                study->AddKey(L"Samples.Frequency", frequency);
                channelCount = h->GetChannelCount();
                study->AddKey(L"Channels.RawCount", channelCount);
                study->AddKey(L"Files.Schema.ERD", static_cast<int32_t>(h->GetSchema()));
                break;
            }
        }

        // 5. Length of the gaps. Without a sampling rate the length has no
        // finite value and the key is left out.
        const CItem* contiguous = study->GetAt(L"Samples.Contiguous");
        if (contiguous && IntOf(contiguous, 1) == 0 && frequency > 0.0)
            study->AddKey(L"Samples.TotalBreaks", static_cast<double>(end - start + 1 - total) / frequency);

        // 6. Notes: the recording montage. Without readable notes the
        // headbox's default montage names the channels: the signals do not
        // depend on the notes.
        std::wstring entPath = AsCStr(study->GetAt(L"Files.ENT"), L"");
        bool loaded = false;
        std::unique_ptr<CKeyTree> montageTree;
        if (!entPath.empty() && FileExists(entPath))
            montageTree = FindRecordingMontage(entPath, loaded);

        // 7. Channels.
        const int32_t hbType = IntOf(study->GetAt(L"Headbox.HB0.HBType"), 0);
        CMontage montage(hbType);
        montage.Load(montageTree.get());
        if (montageTree)
            study->AddKey(L"Montage", montageTree.release()); // the tree itself, not a copy
        if (montage.GetSize() < channelCount)
            SK_EVENTLOG_EXCEPTION(L"Skrivoer");
        const CHeadboxClass* cls = (hbType >= 0 && hbType < CKadeHeadboxConfig::kTableSize)
                                       ? CKadeHeadboxConfig::m_HeadboxClass[static_cast<size_t>(hbType)]
                                       : nullptr;
        if (!cls && !loaded)
            return true; // nothing describes the channels (no study file either)
        if (!cls)
            throw std::invalid_argument("no headbox description");
        std::unique_ptr<CKadeHeadbox> headbox(cls->CreateObject());
        if (!headbox)
            throw std::invalid_argument("no headbox description");
        const double swVersion = RealOf(study->GetAt(L"Headbox.HB0.HBSWVersion"), -1.0);
        const int schema = IntOf(study->GetAt(L"Files.Schema.ERD"), -1);
        const std::vector<CKadeHeadbox::ChannelRange> ranges = headbox->GetChannelRanges(swVersion, schema);
        std::unique_ptr<CDataReaderMultipleBOSupport> mapper;
        if (hbType == 20) {
            mapper = std::make_unique<CDataReaderMultipleBOSupport>();
            mapper->setHeadboxType(20, IntOf(study->GetAt(L"Headbox.HB0.Breakouts"), 2), nullptr);
        }
        auto* list = new CItemList();
        std::unique_ptr<CItemList> guard(list);
        for (int32_t s = 0; s < channelCount; ++s) {
            int c = mapper ? mapper->ChannelNumber_StorageToConfiguration(s) : s;
            if (c < 0 || c >= montage.GetSize())
                throw std::invalid_argument("raw data file holds " + std::to_string(channelCount) +
                                            " channels, the recording montage " + std::to_string(montage.GetSize()));
            // A configuration channel without a range would give the channel
            // an empty range; such a study is refused like one whose channel
            // lies outside the montage.
            if (static_cast<size_t>(c) >= ranges.size())
                throw std::invalid_argument("configuration channel without range");
            const CKadeHeadbox::ChannelRange& r = ranges[static_cast<size_t>(c)];
            auto* entry = new CKeyTree();
            entry->AddKey(L"ConfigurationIndex", static_cast<int32_t>(c));
            entry->AddKey(L"StorageIndex", s);
            entry->AddKey(L"Label", montage.GetChannel(c)->GetName());
            entry->AddKey(L"Units", CPhysicalUnits::ToLangNeutralString(r.units));
            entry->AddKey(L"PhysicalMinimum", r.physicalMinimum);
            entry->AddKey(L"PhysicalMaximum", r.physicalMaximum);
            entry->AddKey(L"DigitalMinimum", r.digitalMinimum);
            entry->AddKey(L"DigitalMaximum", r.digitalMaximum);
            entry->AddKey(L"SignalType", std::wstring(c < headbox->GetACChannelCount() ? L"AC" : L"DC"));
            // What the channel records (EEG, EOG, SpO2, ...), as the
            // recording montage displays it; it decides the label's signal
            // type and whether a calibration applies.
            entry->AddKey(L"DisplayType", static_cast<int32_t>(montage.GetChannel(c)->GetDisplayType()));
            list->Append(entry);
        }
        study->AddKey(L"Channels.Raw", guard.release());
        return true;
    } catch (const std::exception& e) {
        const std::string what = e.what();
        SKW_LOG(8, L"CSkrivoer::ProbeStudy - %s: %s", PathCombine(folder, studyName).c_str(),
                std::wstring(what.begin(), what.end()).c_str());
        return false;
    } catch (...) {
        SKW_LOG(8, L"CSkrivoer::ProbeStudy - thrown exception, returning false.");
        return false;
    }
}

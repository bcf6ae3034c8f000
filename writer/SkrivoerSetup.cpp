// Record processor setup: from the study description and the template, the
// ordered list of processors (one per output signal), which is also the
// order of the signals in the header and in every data record.

#include "writer/Skrivoer.h"

#include <algorithm>
#include <cstdint>
#include <set>

#include "platform/Format.h"
#include "platform/appcommon/HeadboxConfig.h"
#include "platform/recording/Montage.h"
#include "platform/recording/MultipleBOSupport.h"
#include "platform/recording/WaveType.h"
#include "recorddata/EDFAnnotationData.h"
#include "recorddata/EDFMontageSignalData.h"
#include "recorddata/EDFPatientEventData.h"
#include "recorddata/EDFSimpleSignalData.h"
#include "recorddata/EDFTriggerEventData.h"
#include "recorddata/SkrivoAnnotationManager.h"
#include "writer/WriterLog.h"
#include "writer/WriterUtil.h"

using namespace sk::writer;

namespace {

struct InputRange {
    int32_t digMin = -1, digMax = -1;
    double physMin = -1.0, physMax = -1.0;
};

InputRange ReadRange(const CKeyTree& raw) {
    InputRange r;
    r.physMax = RealOf(raw.GetAt(L"PhysicalMaximum"), -1.0);
    r.physMin = RealOf(raw.GetAt(L"PhysicalMinimum"), -1.0);
    r.digMax = IntOf(raw.GetAt(L"DigitalMaximum"), -1);
    r.digMin = IntOf(raw.GetAt(L"DigitalMinimum"), -1);
    return r;
}

// Amplifier families whose stored ranges need adjusting before export.
void CorrectRange(int headboxType, bool ac, InputRange& r) {
    switch (headboxType) {
    case 24:
    case 25:
        // Unsigned storage of a signed (AC, or bipolar DC) input.
        if (r.digMin == 0 && (ac || r.physMin < 0)) {
            r.digMax = r.digMax / 2;
            r.digMin = -r.digMax;
        }
        if (r.physMin == 4294934528.0)
            r.physMin = -32768.0;
        break;
    case 26:
    case 27:
        if (r.physMin == 0.0 && r.physMax == 127.0) {
            r.digMin = 0;
            r.digMax = 81280;
        }
        break;
    case 14:
        if (ac && r.physMin == -8711.0 && r.physMax == 8711.0) {
            r.physMin = -10800.0;
            r.physMax = 10800.0;
        }
        break;
    default:
        break;
    }
}

// How a signal's values relate to its input, for the transducer field.
enum class Calibration { None, Study, Nominal, Missing };

// The transducer field holds what the study knows of a signal's source: the
// headbox model and the kind of input, and for calibrated DC inputs where
// the calibration came from. Nothing is said that the study does not hold
// (no electrode or sensor type).
std::wstring Transducer(const wchar_t* headbox, bool ac, int displayType, Calibration cal) {
    std::wstring text = headbox ? std::wstring(headbox) + L" " : std::wstring();
    if (ac)
        return text + L"AC input";
    if (displayType == sk::display::OximeterSpO2 || displayType == sk::display::OximeterPulse)
        return text + L"oximeter input";
    switch (cal) {
    case Calibration::Study: return text + L"DC input, calibrated";
    case Calibration::Nominal: return text + L"DC input, nominal calibration (none in the study)";
    case Calibration::Missing: return text + L"DC input, not calibrated";
    case Calibration::None: break;
    }
    return text + L"DC input";
}

} // namespace

bool CSkrivoer::ProcessRecordData() {
    // 1-2. Decimation and sampling rate.
    m_useDecimated = IntOf(m_template.GetAt(L"UseDecimatedData"), 0) != 0 &&
                     AsKeyTree(m_study.GetAt(L"Decimated")) != nullptr;
    m_sampleFrequency = RealOf(m_study.GetAt(L"Samples.Frequency"), 0.0);
    // A template made for decimated studies still exports one without a
    // decimated copy (nothing of the study is lost), but says so: the files
    // are larger than asked for.
    m_notices.clear();
    if (!m_useDecimated && IntOf(m_template.GetAt(L"UseDecimatedData"), 0) != 0)
        m_notices.push_back(L"the study has no decimated copy (no Decimated folder): its full-rate data (" +
                            sk::FormatW(L"%g", m_sampleFrequency) + L" Hz) is exported");

    // 3-4. Annotation sources.
    // Notes and staging add to the signals: when they cannot be read the
    // signals are exported all the same and the problem says what is missing.
    const bool edfPlus = IsEdfPlus();
    if (edfPlus && IntOf(m_study.GetAt(L"Study.StudyGroup"), 1) == 2) {
        int stagingType = IntOf(m_study.GetAt(L"Study.StagingType"), -1);
        const std::wstring epo = StudyFilePath(L".EPO", false);
        CSkrivoAnnotationManager::LoadFailure why;
        if (stagingType != -1 && !m_annotations->LoadStages(epo.c_str(), m_sampleFrequency, stagingType, &why) &&
            !why.reason.empty())
            AddProblem({epo, ReasonOf(why.reason, epo), -1.0, -1, why.skipped});
    }
    const bool patientEvents = IntOf(m_template.GetAt(L"IncludePatientEvent"), 0) != 0;
    if (edfPlus || patientEvents) {
        const std::wstring ent = StudyFilePath(L".ENT", false);
        CSkrivoAnnotationManager::LoadFailure why;
        if (!m_annotations->LoadNotes(ent.c_str(), m_sampleFrequency, &why))
            AddProblem({ent, ReasonOf(why.reason, ent), -1.0, why.skipped, -1});
    }

    // A de-identified file keeps no name or record number, not even one a
    // note was written with.
    if (IntOf(m_template.GetAt(L"Deidentify"), 0) != 0) {
        std::vector<std::wstring> words;
        for (const wchar_t* key : {L"Info.Name.LastName", L"Info.Name.FirstName", L"Info.Admin.ID"}) {
            const std::wstring value = AsCStr(m_study.GetAt(key), L"");
            for (size_t at = 0; at < value.size();) {
                const size_t end = std::min(value.find_first_of(L" ,", at), value.size());
                if (end > at)
                    words.push_back(value.substr(at, end - at));
                at = end + 1;
            }
        }
        m_annotations->RedactWords(words);
    }

    // 5. Decimated data runs at the raw rate divided by the factor. A
    // decimated copy that cannot be read in full gives way to the full-rate
    // data, which loses nothing of the recording, and says so: one damaged
    // copy never costs a study whose data is fine.
    if (m_useDecimated) {
        m_decimation = IntOf(m_study.GetAt(L"Study.RawDataDecimation"), 1);
        if (m_decimation < 1)
            m_decimation = 1;
        const std::wstring problem = DecimatedCopyProblem();
        if (problem.empty()) {
            m_sampleFrequency /= m_decimation;
        } else {
            m_useDecimated = false;
            m_decimation = 1;
            m_notices.push_back(L"the decimated copy cannot be read (" + problem + L"): its full-rate data (" +
                                sk::FormatW(L"%g", m_sampleFrequency) + L" Hz) is exported");
        }
    }

    // Padded gaps leave no trace in the samples but their zeros: an EDF+
    // file marks each one where it lies, with its exact length, also the
    // time of a segment that cannot be read.
    if (edfPlus && PadGaps()) {
        std::vector<std::pair<int64_t, int64_t>> gaps;
        for (const Gap& g : RecordingGaps())
            gaps.emplace_back(g.start, g.stamps);
        m_annotations->AddRecordingGaps(gaps, m_sampleFrequency * m_decimation);
    }

    // 6-7. Event channels.
    if (IntOf(m_template.GetAt(L"IncludeTriggerEvent"), 0) != 0)
        m_processors.push_back(new CEDFTriggerEventData());
    if (patientEvents)
        m_processors.push_back(new CEDFPatientEventData(m_annotations->CreatePatientEventIterator(), m_decimation));

    // 8-9. Headbox and selection.
    const int hbType = IntOf(m_study.GetAt(L"Headbox.HB0.HBType"), 0);
    const CHeadboxClass* hbClass = CKadeHeadboxConfig::GetHeadboxClass(hbType);
    const wchar_t* hbName = hbClass ? hbClass->m_lpszName : nullptr;
    CKeyTree* calibration = AsKeyTree(m_study.GetAt(L"Study.Calibration"));
    std::set<int32_t> selected;
    if (const CItemList* sel = AsItemList(m_template.GetAt(L"Channels.Selected"))) {
        for (int i = 0; i < sel->GetCount(); ++i) {
            const CKeyTree* child = AsKeyTree(sel->GetChild(i));
            if (!child)
                continue;
            int32_t index = IntOf(child->GetAt(L"Index"), -1);
            if (IntOf(child->GetAt(L"Selected"), 0) != 0)
                selected.insert(index);
        }
    }

    // 10. Channel source.
    const bool invertAC = IntOf(m_template.GetAt(L"InvertAC"), 0) != 0;
    const std::wstring source = AsCStr(m_template.GetAt(L"ExportChannels"), L"");
    const CItemList* rawList = AsItemList(m_study.GetAt(L"Channels.Raw"));

    if (IEquals(source, L"RawData")) {
        // 11. Raw headbox channels.
        for (int i = 0; rawList && i < rawList->GetCount(); ++i) {
            const CKeyTree* raw = AsKeyTree(rawList->GetChild(i));
            if (!raw)
                continue;
            if (!selected.empty() && selected.count(IntOf(raw->GetAt(L"ConfigurationIndex"), -1)) == 0)
                continue;
            auto* p = new CEDFSimpleSignalData(IntOf(raw->GetAt(L"StorageIndex"), -1));
            // The headbox default only for an entry without a display type:
            // working it out builds the headbox's whole channel table, which
            // per channel made this setup quadratic in the channel count.
            int displayType = IntOf(raw->GetAt(L"DisplayType"), INT32_MIN);
            if (displayType == INT32_MIN)
                displayType = sk::DefaultDisplayType(hbType, IntOf(raw->GetAt(L"ConfigurationIndex"), -1));
            p->SetLabel(CEDFRecordData::TypedLabel(CEDFRecordData::SignalTypeOf(displayType),
                                                   AsCStr(raw->GetAt(L"Label"), L"")));
            const bool ac = AsCStr(raw->GetAt(L"SignalType"), L"") == L"AC";
            InputRange r = ReadRange(*raw);
            CorrectRange(hbType, ac, r);
            p->SetInputRange(r.digMin, r.digMax, r.physMin, r.physMax);
            p->SetUnits(AsCStr(raw->GetAt(L"Units"), L""));
            if (invertAC && ac)
                p->SetInvert(1);
            // A DC input the study calibrated is exported in the calibrated
            // quantity; without the study's calibration it stays the input
            // voltage, and the transducer field says it is not calibrated.
            Calibration cal = Calibration::None;
            const CWaveType* waveType = WaveTypePtrLookup(displayType);
            if (!ac && waveType && waveType->GetKind() == CWaveType::KindCalibratedDC) {
                const CWaveCalibration points = waveType->LoadCalibration(CCalFileArchivist(calibration));
                cal = Calibration::Missing;
                if (points.IsFromStudy() && p->Calibrate(waveType, points)) {
                    p->SetUnits(waveType->GetUnits());
                    cal = Calibration::Study;
                }
            }
            if (cal != Calibration::Study)
                p->Finalize();
            p->SetTransducer(Transducer(hbName, ac, displayType, cal));
            m_processors.push_back(p);
        }
    } else if (IEquals(source, L"AcquisitionMontage") || IEquals(source, L"Montage")) {
        // 12. Montage derivations.
        const CKeyTree* tree = IEquals(source, L"Montage") ? AsKeyTree(m_template.GetAt(L"Montage"))
                                                           : AsKeyTree(m_study.GetAt(L"Montage"));
        m_montage = std::make_unique<CMontage>(hbType);
        if (hbType == 20) {
            m_boSupport = std::make_unique<CDataReaderMultipleBOSupport>();
            m_boSupport->setHeadboxType(20, IntOf(m_study.GetAt(L"Headbox.HB0.Breakouts"), 2), &m_study);
        }
        // A montage template that lost its montage still exports (nothing
        // of the study is lost), but not the derivations it was made for.
        if (!tree && IEquals(source, L"Montage"))
            m_notices.push_back(L"the template holds no montage: the derivations of the headbox's recording montage "
                                L"are exported");
        if (m_montage->Load(tree) != 0) {
            SKW_LOG(8, L"CSkrivoer::ProcessRecordData - Failed to load montage");
            SetError(sk::kErrInvalidArg, L"Failed to load montage.");
            return false;
        }
        for (int i = 0; i < m_montage->GetSize(); ++i) {
            CMontageChannel* channel = m_montage->GetChannel(i);
            if (!channel)
                continue;
            const CHalfMontageChannel* half = nullptr;
            if (channel->GetFirstHalf() && channel->GetFirstHalf()->IsValid(0))
                half = channel->GetFirstHalf();
            else if (channel->GetSecondHalf() && channel->GetSecondHalf()->IsValid(0))
                half = channel->GetSecondHalf();
            if (!half)
                continue;
            const int ch = half->GetChannel(0);
            if (!selected.empty() && selected.count(i) == 0)
                continue;
            const int storage = m_boSupport ? m_boSupport->ChannelNumber_ConfigurationToStorage(ch) : ch;
            const CKeyTree* raw = (rawList && storage >= 0) ? AsKeyTree(rawList->GetChild(storage)) : nullptr;
            if (!raw)
                continue;
            if (IntOf(raw->GetAt(L"ConfigurationIndex"), -1) != ch)
                SKW_EVENT();
            CEDFMontageSignalData* p = CEDFMontageSignalData::Create(channel, m_montage.get());
            if (!p)
                continue;
            const bool ac = AsCStr(raw->GetAt(L"SignalType"), L"") == L"AC";
            InputRange r = ReadRange(*raw);
            CorrectRange(hbType, ac, r);
            p->SetInputRange(r.digMin, r.digMax, r.physMin, r.physMax);
            if (invertAC && ac)
                p->SetInvert(1);
            Calibration cal = Calibration::None;
            if (p->ApplyCalibration(calibration)) {
                const CWaveType* waveType = WaveTypePtrLookup(channel->GetDisplayType());
                cal = waveType && waveType->LoadCalibration(CCalFileArchivist(calibration)).IsFromStudy()
                          ? Calibration::Study
                          : Calibration::Nominal;
            }
            p->SetTransducer(Transducer(hbName, ac, channel->GetDisplayType(), cal));
            if (m_boSupport)
                p->SetBOSupport(m_boSupport.get());
            m_processors.push_back(p);
        }
    } else {
        SKW_LOG(8, L"CSkrivoer::ProcessRecordData - Unrecognized channel definition - '%s'", source.c_str());
        SetError(sk::kErrInvalidArg, L"Value of ExportChannels not recognized");
        return false;
    }

    // 13. The annotation signal is always the last one.
    if (edfPlus)
        m_processors.push_back(new CEDFAnnotationData(m_annotations->CreateAnnotationIterator()));

    if (m_processors.empty()) {
        SKW_LOG(8, L"CSkrivoer::ProcessRecordData - no channels selected to export");
        SetError(sk::kErrInvalidArg, L"No channels selected to export.");
        return false;
    }
    return true;
}

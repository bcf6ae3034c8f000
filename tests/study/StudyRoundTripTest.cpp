// What the simulator writes, the readers must give back exactly: every sample
// against the simulator's signal source, every note and every epoch.

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "platform/recording/DataProducer.h"
#include "platform/recording/EegStudyFile.h"
#include "platform/recording/NoteManager.h"
#include "platform/recording/SampleFrame.h"
#include "platform/recording/StagingFile.h"
#include "platform/recording/StcFile.h"
#include "platform/recording/TocFile.h"
#include "support/TempDir.h"
#include "tools/simulator/StudySimulator.h"

using namespace sk::sim;

namespace {

struct Case {
    const char* name;
    int headbox;
    uint16_t schema;
    double rate;
    double seconds;
    std::vector<SimGap> gaps;
    int decimation;
    int maxEntry;
    int breakouts = 2;
};

// Keeps gtest from dumping the struct's bytes into the log.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// Reads a folder's segments the way an exporter walks them: per segment one
// seek to the first entry, then sequential reads across all entries. Returns
// the number of samples checked; records failures through gtest.
int64_t VerifySegments(const std::filesystem::path& folder, const SimOptions& o, const SimSignal& sig,
                       int decimation, std::vector<SimRun> runs)
{
    CStcFile stc;
    CEegFileException ex;
    const auto stcPath = folder / (o.studyName + L".STC");
    if (!stc.Open(stcPath.wstring(), CEegFile::modeRead | CEegFile::shareDenyNone, &ex)) {
        ADD_FAILURE() << "STC open failed";
        return 0;
    }
    // Expected stamps from the runs: every decimation-th stamp that fits.
    std::vector<int64_t> expected;
    for (const auto& r : runs)
        for (int64_t j = 0; j < r.samples / decimation; ++j) expected.push_back(r.firstStamp + j * decimation);
    EXPECT_EQ(stc.GetRecordingSampleNum(), static_cast<int64_t>(expected.size()));
    EXPECT_EQ(stc.GetStartStamp(), expected.front());
    EXPECT_EQ(stc.GetEndStamp(), expected.back() + decimation - 1);

    std::vector<uint8_t> frame(frame::kFrameSize), prev(frame::kFrameSize);
    size_t next = 0;
    int64_t checked = 0;
    STC_ENTRY seg = stc.FindStcEntry(-1);
    for (; seg.m_number >= 0; stc.NextStcEntry(&seg)) {
        const std::wstring base = (folder / seg.m_name).wstring();
        CTocFile toc;
        CRawDataFile raw;
        if (!toc.Open(base + L".ETC", 0x40, &ex) || !raw.Open(base + L".ERD", 0x40, &ex)) {
            ADD_FAILURE() << "segment open failed";
            return checked;
        }
        const CRawDataHeader* h = raw.GetRawHeader();
        EXPECT_EQ(h->m_schema, o.schema);
        EXPECT_EQ(h->m_channelCount, sig.channelCount());
        EXPECT_EQ(h->m_decimation, decimation);
        EXPECT_EQ(h->m_type, o.headboxType);
        EXPECT_EQ(toc.GetDecimation(), decimation);
        CDataProducer* p = CDataProducer::CreateDataProducer(h->m_schema, h->m_frameWord, &raw);
        p->Attach(&raw);
        EXPECT_EQ(p->GetDataInterface()->Init(h->m_channelCount, h->m_schema, h->m_decimation, h->m_sampleFreq), 1);
        TOC_ENTRY e = toc.FindTocEntry(-1);
        EXPECT_EQ(e.m_stamp, seg.m_number);
        raw.Seek(e.DataOffset(), 0);
        do {
            EXPECT_LE(e.m_sampleCount, 32767);
            for (int i = 0; i < e.m_sampleCount; ++i) {
                const int64_t stamp = e.m_stamp + int64_t(i) * decimation;
                frame::SetStamp(frame.data(), stamp);
                if (p->ReadSample(&raw, frame.data(), prev.data()) != 1) {
                    ADD_FAILURE() << "read failed at stamp " << stamp;
                    p->Release();
                    return checked;
                }
                if (next >= expected.size() || expected[next] != stamp) {
                    ADD_FAILURE() << "unexpected stamp " << stamp;
                    p->Release();
                    return checked;
                }
                ++next;
                if (frame::Flags(frame.data()) != sig.Flags(stamp)) {
                    ADD_FAILURE() << "flags at stamp " << stamp;
                    p->Release();
                    return checked;
                }
                for (int c = 0; c < sig.channelCount(); ++c) {
                    if (frame::Value(frame.data(), c) != sig.Value(c, stamp)) {
                        ADD_FAILURE() << "channel " << c << " stamp " << stamp;
                        p->Release();
                        return checked;
                    }
                }
                ++checked;
                std::swap(frame, prev);
            }
        } while (toc.NextTocEntry(&e));
        // The data ends exactly where the table of contents says.
        EXPECT_EQ(p->ReadSample(&raw, frame.data(), prev.data()), 0);
        EXPECT_TRUE(p->GetErrorText().empty());
        p->Release();
    }
    EXPECT_EQ(next, expected.size());
    return checked;
}

class RoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(RoundTrip, SamplesNotesAndEpochsComeBackExactly)
{
    const Case& c = GetParam();
    sk::test::TempDir dir("sim");
    SimOptions o;
    o.folder = dir.path() / "study";
    o.headboxType = c.headbox;
    o.schema = c.schema;
    o.sampleRate = c.rate;
    o.durationSeconds = c.seconds;
    o.gaps = c.gaps;
    o.decimation = c.decimation;
    o.maxEntrySamples = c.maxEntry;
    o.maxBlockSamples = 100;
    o.breakouts = c.breakouts;
    o.studyGroup = c.headbox == 6 ? 2 : 1;
    o.seed = 7 + c.headbox;
    const SimResult r = SimulateStudy(o);
    ASSERT_TRUE(r.ok) << std::string(r.error.begin(), r.error.end());
    SimSignal sig(o);
    ASSERT_TRUE(sig.ok());
    ASSERT_EQ(r.channelCount, sig.channelCount());

    EXPECT_EQ(VerifySegments(o.folder, o, sig, 1, r.runs), r.totalSamples);
    if (c.decimation > 1) {
        ASSERT_TRUE(std::filesystem::exists(r.decimatedFolder / (o.studyName + L".EEG")));
        EXPECT_GT(VerifySegments(r.decimatedFolder, o, sig, c.decimation, r.runs), 0);
    }

    // Notes: same texts, labels, stamps, flags and data, in file order.
    CNoteManager notes;
    notes.setPath(r.entFile.wstring());
    CEegFileException ex;
    ASSERT_EQ(notes.Load(&ex), 1) << std::string(ex.GetErrorText().begin(), ex.GetErrorText().end());
    const auto want = SimulatedNotes(o);
    ASSERT_EQ(notes.GetSize(), static_cast<int>(want.size()));
    for (int i = 0; i < notes.GetSize(); ++i) {
        const CNote* n = notes.GetAt(i);
        EXPECT_EQ(n->GetText(), want[i].GetText());
        EXPECT_EQ(n->GetLabel(), want[i].GetLabel());
        EXPECT_EQ(n->GetStartStamp(), want[i].GetStartStamp());
        EXPECT_EQ(n->GetEndStamp(), want[i].GetEndStamp());
        EXPECT_EQ(n->GetFlags(), want[i].GetFlags());
        EXPECT_TRUE(n->GetKeyTree()->IsEqual(*want[i].GetKeyTree())) << i;
    }

    if (o.studyGroup == 2) {
        CStagingFile epo;
        ASSERT_EQ(epo.Open(r.epoFile.wstring(), &ex), 1);
        ASSERT_TRUE(epo.IsStagingPresent());
        EXPECT_EQ(epo.GetEpochLength(), o.epochSeconds);
        EXPECT_EQ(epo.GetFirstEpochStamp(), r.startStamp);
        EXPECT_EQ(epo.GetLabel(), o.stagingLabel);
        EXPECT_EQ(static_cast<int>(epo.GetEpochCount()), r.epochCount);
        EXPECT_GT(r.epochCount, 2);
        for (uint32_t e = 1; e <= epo.GetEpochCount() + 1; ++e) EXPECT_EQ(epo.GetStageCode(e), SourceStage(o, e)) << e;
        EXPECT_EQ(epo.GetStageCode(epo.GetEpochCount()), -1); // left unscored
    }

    // Study file: patient data and the study record the probe reads.
    CKeyTree study;
    ASSERT_EQ(CEegStudyFile::Load(r.eegFile.wstring(), study, &ex), 1);
    EXPECT_EQ(AsCStr(study.GetAt(L"Info.Name.LastName"), L""), o.lastName);
    const CKeyTree* rec = CEegStudyFile::GetStudyRecord(study);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(IntOf(rec->GetAt(L"Headbox.HB0.HBType"), 0), o.headboxType);
    EXPECT_EQ(IntOf(rec->GetAt(L"StudyGroup"), 0), o.studyGroup);
    const CLuser* ft = AsUser(rec->GetAt(L"TaviCreationTime"));
    ASSERT_NE(ft, nullptr);
    EXPECT_EQ(ft->Bytes().size(), 8u);
    EXPECT_EQ(IntOf(rec->GetAt(L"RawDataDecimation"), 1), c.decimation > 1 ? c.decimation : 1);
    if (c.headbox == 20) {
        EXPECT_EQ(IntOf(rec->GetAt(L"Headbox.HB0.Breakouts"), 0), c.breakouts);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Studies, RoundTrip,
    ::testing::Values(
        Case{"PlainContiguous", 1, 1, 256.0, 20, {}, 0, 32767},
        Case{"CompressedContiguous", 1, 2, 256.0, 20, {}, 0, 32767},
        Case{"GapInsideToc", 2, 2, 200.0, 30, {{10, 3, false}}, 0, 700},
        Case{"GapBetweenSegments", 3, 1, 500.0, 12, {{4, 2.5, true}, {8, 0.01, false}}, 0, 1000},
        Case{"FractionalRateDecimated", 4, 2, 255.9, 16, {{5, 1.3, true}}, 4, 1024},
        Case{"SleepDecimatedPlain", 6, 1, 128.0, 200, {{50, 5, false}}, 2, 32767},
        Case{"MultiBreakout", 20, 2, 100.0, 3, {}, 3, 64, 3},
        Case{"FullRange24", 24, 2, 256.0, 5, {}, 0, 32767}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Simulator, RejectsBadOptions)
{
    sk::test::TempDir dir("sim");
    SimOptions o;
    o.folder = dir.path();
    for (int hb : {0, 28}) {
        o.headboxType = hb;
        EXPECT_FALSE(SimulateStudy(o).ok) << hb;
    }
    o.headboxType = 1;
    o.studyName = L"a/b";
    EXPECT_FALSE(SimulateStudy(o).ok);
    o.studyName = L"ok";
    o.schema = 9;
    EXPECT_FALSE(SimulateStudy(o).ok);
}

} // namespace

// The study probe over simulated study folders.

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/recording/EegStudyFile.h"
#include "support/SimStudy.h"

using sk::sim::SimOptions;

namespace {

using Probed = sk::test::SimStudy;

Probed Probe(SimOptions o, const std::string& tag) {
    o.durationSeconds = std::min(o.durationSeconds, 8.0);
    o.sampleRate = o.sampleRate == 256.0 ? 64.0 : o.sampleRate;
    return sk::test::Simulate(o, tag);
}

bool Reprobe(Probed& p) {
    p.desc.Empty();
    return p.probed = CSkrivoer::ProbeStudy(p.folder, p.opt.studyName, &p.desc);
}

bool Has(const CKeyTree& t, const wchar_t* key) { return t.GetAt(key) != nullptr; }

TEST(Probe, EegStudyKeys) {
    Probed p = Probe(SimOptions{}, "probe-eeg");
    ASSERT_TRUE(p.res.ok);
    ASSERT_TRUE(p.probed);
    const CKeyTree& t = p.desc;
    EXPECT_EQ(AsCStr(t.GetAt(L"Files.EEG"), L""), p.folder + p.opt.studyName + L".EEG");
    for (const wchar_t* k : {L"Files.STC", L"Files.ENT", L"Files.ERD"})
        EXPECT_TRUE(Has(t, k)) << k;
    EXPECT_FALSE(Has(t, L"Files.EPO"));
    EXPECT_EQ(AsCStr(t.GetAt(L"Files.Path"), L""), p.folder);
    EXPECT_EQ(AsCStr(t.GetAt(L"Info.Name.LastName"), L""), L"Doe");
    const CLuser* precise = AsUser(t.GetAt(L"Samples.TaviCreationTime"));
    ASSERT_NE(precise, nullptr);
    EXPECT_EQ(precise->Bytes().size(), 8u);
    EXPECT_DOUBLE_EQ(RealOf(t.GetAt(L"Samples.CreationTime"), 0), 46000.5);
    EXPECT_EQ(IntOf(t.GetAt(L"Headbox.HB0.HBType"), 0), 1);
    EXPECT_FALSE(Has(t, L"Headbox.HB0.Breakouts"));
    EXPECT_EQ(AsCStr(t.GetAt(L"Headbox.HB0.HBSWVersion"), L"?"), L"3.2");
    EXPECT_EQ(AsCStr(t.GetAt(L"Study.StudyGUID"), L""), p.opt.studyGuid);
    EXPECT_EQ(IntOf(t.GetAt(L"Study.StudyGroup"), 0), 1);
    EXPECT_FALSE(Has(t, L"Study.StagingType"));
    EXPECT_FALSE(Has(t, L"Study.RawDataDecimation"));
    EXPECT_EQ(LongLongOf(t.GetAt(L"Samples.Start"), 0), p.res.startStamp);
    EXPECT_EQ(LongLongOf(t.GetAt(L"Samples.End"), 0), p.res.endStamp);
    EXPECT_EQ(LongLongOf(t.GetAt(L"Samples.Total"), 0), p.res.totalSamples);
    EXPECT_EQ(IntOf(t.GetAt(L"Samples.Contiguous"), -1), 1);
    EXPECT_FALSE(Has(t, L"Samples.TotalBreaks"));
    EXPECT_DOUBLE_EQ(RealOf(t.GetAt(L"Samples.Frequency"), 0), 64.0);
    EXPECT_EQ(IntOf(t.GetAt(L"Channels.RawCount"), 0), p.res.channelCount);
    EXPECT_EQ(IntOf(t.GetAt(L"Files.Schema.ERD"), 0), 2);
    EXPECT_NE(AsKeyTree(t.GetAt(L"Montage")), nullptr);
    const CItemList* raw = AsItemList(t.GetAt(L"Channels.Raw"));
    ASSERT_NE(raw, nullptr);
    ASSERT_EQ(raw->GetCount(), p.res.channelCount);
    const CKeyTree* first = AsKeyTree(raw->GetChild(0));
    EXPECT_EQ(IntOf(first->GetAt(L"ConfigurationIndex"), -1), 0);
    EXPECT_EQ(IntOf(first->GetAt(L"StorageIndex"), -1), 0);
    EXPECT_EQ(AsCStr(first->GetAt(L"Label"), L""), L"Fp1");
    EXPECT_EQ(AsCStr(first->GetAt(L"SignalType"), L""), L"AC");
    EXPECT_DOUBLE_EQ(RealOf(first->GetAt(L"PhysicalMaximum"), 0), 3200.0);
    EXPECT_EQ(IntOf(first->GetAt(L"DigitalMinimum"), 0), -32768);
    EXPECT_FALSE(AsCStr(first->GetAt(L"Units"), L"").empty());
}

TEST(Probe, SleepStudyAndDcChannels) {
    SimOptions o;
    o.headboxType = 5;
    o.studyGroup = 2;
    o.durationSeconds = 8;
    Probed p = Probe(o, "probe-sleep");
    ASSERT_TRUE(p.probed);
    EXPECT_TRUE(Has(p.desc, L"Files.EPO"));
    EXPECT_EQ(IntOf(p.desc.GetAt(L"Study.StudyGroup"), 0), 2);
    EXPECT_EQ(IntOf(p.desc.GetAt(L"Study.StagingType"), 0), 3);
    const CItemList* raw = AsItemList(p.desc.GetAt(L"Channels.Raw"));
    ASSERT_NE(raw, nullptr);
    int dc = 0;
    for (int i = 0; i < raw->GetCount(); ++i)
        dc += AsCStr(AsKeyTree(raw->GetChild(i))->GetAt(L"SignalType"), L"") == L"DC";
    EXPECT_EQ(dc, 11); // the headbox's DC inputs
}

TEST(Probe, HeadboxTwentyMapsStorageToConfiguration) {
    SimOptions o;
    o.headboxType = 20;
    o.breakouts = 2;
    o.durationSeconds = 2;
    Probed p = Probe(o, "probe-hb20");
    ASSERT_TRUE(p.probed);
    EXPECT_EQ(IntOf(p.desc.GetAt(L"Headbox.HB0.Breakouts"), 0), 2);
    const CItemList* raw = AsItemList(p.desc.GetAt(L"Channels.Raw"));
    ASSERT_NE(raw, nullptr);
    ASSERT_EQ(raw->GetCount(), 32 + 2 * 128);
    auto cfg = [&](int s) { return IntOf(AsKeyTree(raw->GetChild(s))->GetAt(L"ConfigurationIndex"), -1); };
    EXPECT_EQ(cfg(0), 512);  // the base unit's DC inputs are stored first
    EXPECT_EQ(cfg(31), 543);
    EXPECT_EQ(cfg(32), 0);   // then the breakout channels
    EXPECT_EQ(cfg(32 + 255), 255);
    EXPECT_EQ(AsCStr(AsKeyTree(raw->GetChild(0))->GetAt(L"SignalType"), L""), L"DC");
    EXPECT_EQ(AsCStr(AsKeyTree(raw->GetChild(32))->GetAt(L"SignalType"), L""), L"AC");
}

TEST(Probe, GapsAndRoundedFrequency) {
    SimOptions o;
    o.sampleRate = 100.0;
    o.gaps = {{2.0, 1.5, false}, {5.0, 0.5, true}};
    Probed p = Probe(o, "probe-gaps");
    ASSERT_TRUE(p.probed);
    EXPECT_EQ(IntOf(p.desc.GetAt(L"Samples.Contiguous"), -1), 0);
    EXPECT_NEAR(RealOf(p.desc.GetAt(L"Samples.TotalBreaks"), 0), 2.0, 1e-9);

    struct { double rate, described; } rates[] = {{255.9, 256.0}, {255.4, 255.0}};
    for (const auto& r : rates) {
        SimOptions f;
        f.sampleRate = r.rate;
        f.durationSeconds = 2;
        Probed q = Probe(f, "probe-rate");
        ASSERT_TRUE(q.probed);
        EXPECT_DOUBLE_EQ(RealOf(q.desc.GetAt(L"Samples.Frequency"), 0), r.described);
    }
}

TEST(Probe, MissingFilesLeaveTheirKeysOut) {
    Probed p = Probe(SimOptions{}, "probe-missing");
    ASSERT_TRUE(p.probed);
    std::filesystem::remove(p.res.stcFile);
    ASSERT_TRUE(Reprobe(p));
    for (const wchar_t* k : {L"Samples.Start", L"Samples.End", L"Samples.Total", L"Samples.Contiguous", L"Files.STC"})
        EXPECT_FALSE(Has(p.desc, k)) << k;
    // Without notes the headbox's own montage names the channels.
    std::filesystem::remove(p.res.entFile);
    ASSERT_TRUE(Reprobe(p));
    EXPECT_FALSE(Has(p.desc, L"Montage"));
    EXPECT_TRUE(Has(p.desc, L"Channels.Raw"));
    std::filesystem::remove(p.res.eegFile);
    ASSERT_TRUE(Reprobe(p));
    EXPECT_FALSE(Has(p.desc, L"Headbox.HB0.HBType"));
    EXPECT_FALSE(Has(p.desc, L"Info"));

    // An empty folder still probes: only the folder is described.
    sk::test::TempDir empty("probe-empty");
    CKeyTree t;
    EXPECT_TRUE(CSkrivoer::ProbeStudy(empty.wpath() + L"/", L"none", &t));
    EXPECT_EQ(t.GetCount(), 1);
    EXPECT_TRUE(Has(t, L"Files.Path"));
}

TEST(Probe, NotesWithoutMontageNoteUseTheHeadboxMontage) {
    SimOptions o;
    o.montageNote = false;
    Probed p = Probe(o, "probe-nomontage");
    ASSERT_TRUE(p.probed);
    EXPECT_FALSE(Has(p.desc, L"Montage"));
    const CItemList* raw = AsItemList(p.desc.GetAt(L"Channels.Raw"));
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->GetCount(), p.res.channelCount);
    EXPECT_EQ(AsCStr(AsKeyTree(raw->GetChild(0))->GetAt(L"Label"), L""), L"Fp1");
}

TEST(Probe, HeadboxTypeOutsideTheTableFails) {
    for (int type : {0, 28}) {
        Probed p = Probe(SimOptions{}, "probe-hbtype");
        ASSERT_TRUE(p.probed);
        CKeyTree eeg;
        ASSERT_TRUE(CEegStudyFile::Load(p.res.eegFile.wstring(), eeg));
        CKeyTree* rec = CEegStudyFile::GetStudyRecord(eeg);
        ASSERT_NE(rec, nullptr);
        rec->SetAt(L"Headbox.HB0.HBType", static_cast<int32_t>(type));
        ASSERT_TRUE(CEegStudyFile::Save(p.res.eegFile.wstring(), eeg));
        EXPECT_FALSE(Reprobe(p)) << type;
    }
}

TEST(Probe, StoredChannelBeyondTheMontageFails) {
    // A montage note with fewer derivations than stored channels: the
    // surplus channel has no label, and the probe refuses the study.
    SimOptions o;
    o.montageNote = false;
    Probed p = Probe(o, "probe-short");
    ASSERT_TRUE(p.probed);
    CKeyTree eeg;
    ASSERT_TRUE(CEegStudyFile::Load(p.res.eegFile.wstring(), eeg));
    CKeyTree* rec = CEegStudyFile::GetStudyRecord(eeg);
    rec->SetAt(L"Headbox.HB0.HBType", static_cast<int32_t>(9)); // 18 inputs, fewer than the 24 stored
    ASSERT_TRUE(CEegStudyFile::Save(p.res.eegFile.wstring(), eeg));
    EXPECT_FALSE(Reprobe(p));
}

} // namespace

// Size estimates from the study description and template alone, and the
// rules by which templates are chosen for, adapted to and offered for a study.

#include <gtest/gtest.h>

#include "EngineTestUtil.h"
#include "engine/SkrivoEngine.h"
#include "engine/TemplateSelection.h"
#include "platform/Log.h"
#include "platform/recording/Montage.h"
#include "support/TempDir.h"
#include "templates/SkrivoTemplateManager.h"
#include "writer/ExportDetails.h"

using sk::enginetest::MakeStudy;
using sk::enginetest::ScopedRegistry;

namespace {

CKeyTree* Channel(int index, int selected, bool withIndex = true) {
    auto* ch = new CKeyTree;
    ch->AddKey(L"Channel", L"C");
    ch->AddKey(L"Selected", selected);
    if (withIndex) ch->AddKey(L"Index", index);
    return ch;
}

struct EstimateCase {
    const char* name;
    const wchar_t* format;
    int padGaps, trigger, patient, useDecimated;
    std::vector<CKeyTree*> (*channels)();
    int hbType;
    int64_t expected;
};

std::vector<CKeyTree*> TwoSelected() { return {Channel(0, 1), Channel(1, 1), Channel(2, 0)}; }
std::vector<CKeyTree*> OneWithoutIndex() { return {Channel(0, 1), Channel(5, 1, false)}; }
// Headbox 20 with two breakouts stores configuration 0..255 and 512..543; 300
// lies on a breakout not in use.
std::vector<CKeyTree*> Breakouts() { return {Channel(0, 1), Channel(300, 1), Channel(512, 1)}; }

} // namespace

TEST(EstimateSize, FollowsTheTemplateAndTheStudySpan) {
    ScopedRegistry reg;
    const EstimateCase cases[] = {
        // 2 x 2 x 1000 + 256 x 3
        {"edf two channels", L"EDF", 0, 0, 0, 0, TwoSelected, 1, 4768},
        // EDF+ without padding: total (900) and one more signal (annotations)
        {"edf+ unpadded", L"EDF+", 0, 0, 0, 0, TwoSelected, 1, 2 * 3 * 900 + 256 * 4},
        {"edf+ padded", L"edf+", 1, 0, 0, 0, TwoSelected, 1, 2 * 3 * 1000 + 256 * 4},
        // EDF pads always, whatever PadGaps says; events add signals
        {"edf events", L"EDF", 0, 1, 1, 0, TwoSelected, 1, 2 * 4 * 1000 + 256 * 5},
        {"missing index not counted", L"EDF", 0, 0, 0, 0, OneWithoutIndex, 1, 2 * 1 * 1000 + 256 * 2},
        // decimated: span 0..3999 at decimation 4 gives 1000 samples
        {"decimated", L"EDF", 0, 0, 0, 1, TwoSelected, 1, 2 * 2 * 1000 + 256 * 3},
        {"breakout mapping", L"EDF", 0, 0, 0, 0, Breakouts, 20, 2 * 2 * 1000 + 256 * 3},
    };
    for (const auto& c : cases) {
        CSkrivoEngine engine;
        CSkrivoTemplate* t = engine.GetTemplateManager()->Create(L"EEG", L"t");
        t->SetAt(L"ExportFormat", c.format);
        t->SetAt(L"PadGaps", c.padGaps);
        t->SetAt(L"IncludeTriggerEvent", c.trigger);
        t->SetAt(L"IncludePatientEvent", c.patient);
        t->SetAt(L"UseDecimatedData", c.useDecimated);
        auto* list = new CItemList;
        for (CKeyTree* ch : c.channels()) list->Append(ch);
        t->SetAt(L"Channels.Selected", list);

        auto* e = new CExportDetails(L"s", L"/s/", L"s", t);
        CKeyTree& study = e->GetStudyInfo();
        study.AddKey(L"Headbox.HB0.HBType", c.hbType);
        study.AddKey(L"Samples.Start", int64_t{0});
        study.AddKey(L"Samples.End", int64_t{999});
        study.AddKey(L"Samples.Total", int64_t{900});
        study.AddKey(L"Study.RawDataDecimation", 4);
        study.AddKey(L"Decimated.Samples.Start", int64_t{0});
        study.AddKey(L"Decimated.Samples.End", int64_t{3999});
        study.AddKey(L"Decimated.Samples.Total", int64_t{3999});
        ASSERT_TRUE(engine.AddExportEntry(e));
        EXPECT_EQ(engine.EstimateSize(L"s"), c.expected) << c.name;
    }
}

TEST(EstimateSize, RefusesAbsentStudiesAndEntriesWithoutTemplate) {
    ScopedRegistry reg;
    CSkrivoEngine engine;
    ASSERT_TRUE(engine.AddExportEntry(new CExportDetails(L"bare", L"/b/", L"b", nullptr)));
    sk::LogCapture log;
    EXPECT_EQ(engine.EstimateSize(L"nobody"), -1);
    EXPECT_EQ(engine.EstimateSize(L"BARE"), -1) << "lookups are case-sensitive";
    EXPECT_EQ(engine.EstimateSize(L"bare"), -1);
    EXPECT_TRUE(log.Contains(L"CSkrivoEngine::EstimateSize - export study not found.", 8));
    EXPECT_TRUE(log.Contains(L"CSkrivoEngine::EstimateSize - template not found.", 8));
}

// ---------------------------------------------------------------------------

class Selection : public ::testing::Test {
protected:
    ScopedRegistry reg;
    sk::test::TempDir eegDir{"skrivo-eeg"};
    sk::test::TempDir sleepDir{"skrivo-sleep"};
    CSkrivoTemplateManager manager;

    void SetUp() override {
        ASSERT_EQ(manager.Load(L"EEG", eegDir.wpath()), 0);
        ASSERT_EQ(manager.Load(L"Sleep", sleepDir.wpath()), 0);
    }
    // A stored template (in the manager's list) with raw channels of a headbox.
    CSkrivoTemplate* Stored(const std::wstring& modality, const std::wstring& name, int hbType) {
        CSkrivoTemplate* t = manager.Create(modality, name);
        t->SetHeadboxType(hbType);
        t->SetChannelDefinition(CSkrivoTemplate::ChannelsRawData, nullptr);
        EXPECT_EQ(manager.Save(t, true), 0);
        return manager.GetItem(modality, name);
    }
};

TEST_F(Selection, EveryHeadboxTypeOfTheTableAndNoOtherGetsATemplate) {
    for (int hb : {0, 1, 27, 28, -1}) {
        CKeyTree study = MakeStudy(hb, 1, 32);
        EXPECT_EQ(sk::engine::FindTemplateForStudy(manager, &study) != nullptr, hb >= 1 && hb <= 27) << hb;
    }
}

TEST_F(Selection, FittingStoredTemplateIsClonedNeverBound) {
    CSkrivoTemplate* stored = Stored(L"EEG", L"Routine", 1);
    ASSERT_NE(stored, nullptr);
    CKeyTree study = MakeStudy(1, 1, stored->GetTotalChannelCount());
    CSkrivoTemplate* chosen = sk::engine::FindTemplateForStudy(manager, &study);
    ASSERT_NE(chosen, nullptr);
    EXPECT_NE(chosen, stored);
    EXPECT_TRUE(chosen->IsInstance());
    EXPECT_EQ(chosen->GetName(), L"Routine");
    EXPECT_TRUE(manager.IsCloneOf(chosen, stored));
}

TEST_F(Selection, LastUsedTemplateWinsOverStoredOnes) {
    CSkrivoTemplate* first = Stored(L"EEG", L"First", 1);
    CSkrivoTemplate* favourite = Stored(L"EEG", L"Favourite", 1);
    ASSERT_TRUE(first && favourite);
    manager.SetLastUsed(1, 1, favourite);
    CKeyTree study = MakeStudy(1, 1, first->GetTotalChannelCount());
    CSkrivoTemplate* chosen = sk::engine::FindTemplateForStudy(manager, &study);
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(chosen->GetName(), L"Favourite");
    EXPECT_TRUE(chosen->IsInstance());
}

TEST_F(Selection, WithoutAFittingTemplateTheDefaultIsUsed) {
    Stored(L"EEG", L"OtherHeadbox", 2);
    // Raw data listing one channel fewer than the study has does not fit.
    CSkrivoTemplate* fewer = Stored(L"EEG", L"FewerChannels", 1);
    CKeyTree study = MakeStudy(1, 1, fewer->GetTotalChannelCount() + 1);
    CSkrivoTemplate* chosen = sk::engine::FindTemplateForStudy(manager, &study);
    ASSERT_NE(chosen, nullptr);
    EXPECT_TRUE(chosen->IsInstance());
    EXPECT_EQ(chosen->GetName(), L"");
    EXPECT_EQ(chosen->GetHeadboxType(), 1);
    EXPECT_EQ(chosen->GetModality(), L"EEG");
}

TEST_F(Selection, GroupThreeSearchesSleepButMatchesOnlyEeg) {
    CSkrivoTemplate* sleep = Stored(L"Sleep", L"Night", 1);
    ASSERT_NE(sleep, nullptr);
    CKeyTree study = MakeStudy(1, 3, sleep->GetTotalChannelCount());
    EXPECT_EQ(sk::engine::MatchModality(3), L"EEG");
    EXPECT_EQ(sk::engine::ChoiceModality(3), L"Sleep");
    EXPECT_FALSE(sk::engine::IsMatchForStudy(sleep, &study));
    CSkrivoTemplate* chosen = sk::engine::FindTemplateForStudy(manager, &study);
    ASSERT_NE(chosen, nullptr);
    EXPECT_FALSE(manager.IsCloneOf(chosen, sleep));
    EXPECT_EQ(chosen->GetModality(), L"Sleep") << "the default follows the choice rule";
}

TEST_F(Selection, UpdateRebuildsRawChannelsAndKeepsUnfittingMontages) {
    // Raw data for another headbox: rebuilt from the study.
    CSkrivoTemplate* raw = manager.CreateDefault(1, 2);
    raw->SetHeadboxType(1);
    CSkrivoTemplate* reference = manager.CreateDefault(1, 1);
    CKeyTree study = MakeStudy(1, 1, reference->GetTotalChannelCount());
    ASSERT_FALSE(sk::engine::IsMatchForStudy(raw, &study));
    {
        sk::LogCapture log;
        CSkrivoTemplate* updated = sk::engine::UpdateTemplate(manager, raw, &study);
        EXPECT_EQ(updated, raw) << "instances are adapted in place";
        EXPECT_TRUE(sk::engine::IsMatchForStudy(updated, &study));
        EXPECT_EQ(log.EventCount(), 0u);
    }

    // Acquisition montage of the study's name but other montaging: left as it
    // is, bound anyway, with an event-log record.
    // Both montages are headbox defaults under one name; the template's has
    // lost its last derivation.
    CMontage studyMontage(1);
    ASSERT_EQ(studyMontage.Load(static_cast<const CKeyTree*>(nullptr)), 0);
    studyMontage.SetMontageName(L"Bipolar");
    auto* studyTree = new CKeyTree;
    ASSERT_EQ(studyMontage.Save(*studyTree), 0);
    study.AddKey(L"Montage", studyTree);
    CKeyTree shorter(*studyTree);
    CItemList* derivations = AsItemList(shorter.GetAt(L"Channels"));
    ASSERT_NE(derivations, nullptr);
    derivations->RemoveAt(derivations->GetCount() - 1);
    CSkrivoTemplate* acq = manager.CreateDefault(1, 1);
    acq->SetChannelDefinition(CSkrivoTemplate::ChannelsAcquisitionMontage, &study);
    acq->SetMontage(new CKeyTree(shorter), &study);
    ASSERT_EQ(AsCStr(acq->GetAt(L"Montage.Name"), L""), L"Bipolar");
    sk::LogCapture log;
    CSkrivoTemplate* bound = sk::engine::UpdateTemplate(manager, acq, &study);
    EXPECT_EQ(bound, acq);
    EXPECT_FALSE(sk::engine::IsMatchForStudy(bound, &study));
    EXPECT_EQ(log.EventCount(), 1u);
}

TEST_F(Selection, StoredTemplateGivenByTheHostIsClonedFirst) {
    CSkrivoTemplate* stored = Stored(L"EEG", L"Host", 1);
    CKeyTree study = MakeStudy(1, 1, stored->GetTotalChannelCount());
    CSkrivoTemplate* bound = sk::engine::UpdateTemplate(manager, stored, &study);
    ASSERT_NE(bound, nullptr);
    EXPECT_NE(bound, stored);
    EXPECT_TRUE(bound->IsInstance());
    EXPECT_EQ(sk::engine::UpdateTemplate(manager, nullptr, &study), nullptr);
}

TEST(OfferedTemplates, LeaveOutTheSourceOfTheBoundCloneAndAppend) {
    ScopedRegistry reg;
    sk::test::TempDir eegDir;
    CSkrivoEngine engine;
    CSkrivoTemplateManager& manager = *engine.GetTemplateManager();
    ASSERT_EQ(manager.Load(L"EEG", eegDir.wpath()), 0);
    for (const wchar_t* name : {L"One", L"Two", L"Three"}) {
        CSkrivoTemplate* t = manager.Create(L"EEG", name);
        t->SetHeadboxType(1);
        t->SetChannelDefinition(CSkrivoTemplate::ChannelsRawData, nullptr);
        ASSERT_EQ(manager.Save(t, true), 0);
    }
    CSkrivoTemplate* other = manager.Create(L"EEG", L"OtherBox");
    other->SetHeadboxType(3);
    other->SetChannelDefinition(CSkrivoTemplate::ChannelsRawData, nullptr);
    ASSERT_EQ(manager.Save(other, true), 0);

    CSkrivoTemplate* two = manager.GetItem(L"EEG", std::wstring(L"Two"));
    ASSERT_NE(two, nullptr);
    auto* e = new CExportDetails(L"s", L"/s/", L"s", manager.Clone(two));
    e->GetStudyInfo() = MakeStudy(1, 1, two->GetTotalChannelCount());
    ASSERT_TRUE(engine.AddExportEntry(e));

    std::vector<CSkrivoTemplate*> offered{nullptr};
    engine.GetTemplatesForStudy(L"s", offered);
    ASSERT_EQ(offered.size(), 3u);
    EXPECT_EQ(offered[0], nullptr);
    EXPECT_EQ(offered[1]->GetName(), L"One");
    EXPECT_EQ(offered[2]->GetName(), L"Three");

    // Headbox type 0 offers nothing.
    auto* unknown = new CExportDetails(L"u", L"/u/", L"u", nullptr);
    unknown->GetStudyInfo() = MakeStudy(0, 1, 0);
    ASSERT_TRUE(engine.AddExportEntry(unknown));
    sk::LogCapture log;
    std::vector<CSkrivoTemplate*> none;
    engine.GetTemplatesForStudy(L"u", none);
    EXPECT_TRUE(none.empty());
    EXPECT_TRUE(log.Contains(L"CSkrivoEngine::GetTemplatesForStudy - study has unknown headbox type.", 8));

    // SetTemplate with reset forces the study's headbox, modality and channels.
    CSkrivoTemplate* foreign = manager.CreateDefault(2, 3);
    ASSERT_TRUE(engine.SetTemplate(L"s", foreign, true));
    CSkrivoTemplate* now = engine.GetTemplate(L"s");
    EXPECT_EQ(now->GetHeadboxType(), 1);
    EXPECT_EQ(now->GetModality(), L"EEG");
    EXPECT_TRUE(sk::engine::IsMatchForStudy(now, &e->GetStudyInfo()));
}

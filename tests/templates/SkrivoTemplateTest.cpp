// Export template keys and copies, and channel lists built from a headbox's
// default names or from a montage.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TemplatesTestEnv.h"
#include "platform/appcommon/HeadboxConfig.h"
#include "platform/recording/Montage.h"
#include "templates/SkrivoTemplate.h"

namespace {

using T = CSkrivoTemplate;

class SkrivoTemplateTest : public sk::test::TemplatesTest {};

TEST_F(SkrivoTemplateTest, EnumerationTextsAreCaseSensitiveAndSettersNormalise) {
    const struct {
        const wchar_t* format;
        T::ExportFormat expectFormat;
        const wchar_t* channels;
        T::ChannelDefinition expectChannels;
    } cases[] = {
        {L"EDF+", T::FormatEDFPlus, L"AcquisitionMontage", T::ChannelsAcquisitionMontage},
        {L"edf+", T::FormatEDF, L"acquisitionmontage", T::ChannelsRawData},
        {L"EDF", T::FormatEDF, L"Montage", T::ChannelsMontage},
        {L"EDF+ ", T::FormatEDF, L"montage", T::ChannelsRawData},
    };
    CSkrivoTemplate* t = Manager().CreateDefault();
    for (const auto& c : cases) {
        t->SetAt(L"ExportFormat", c.format);
        t->SetAt(L"ExportChannels", c.channels);
        EXPECT_EQ(c.expectFormat, t->GetExportType()) << c.format;
        EXPECT_EQ(c.expectChannels, t->GetChannelDefinition()) << c.channels;
    }
    const std::pair<const wchar_t*, const wchar_t*> modalities[] = {
        {L"sleep", L"Sleep"}, {L"SLEEP", L"Sleep"}, {L"eeg", L"EEG"}, {L"Sleeper", L"EEG"}, {L"", L"EEG"}};
    for (const auto& [in, stored] : modalities) {
        t->SetModality(in);
        EXPECT_EQ(stored, AsCStr(t->GetAt(L"Modality"), L"?")) << in;
    }
}

TEST_F(SkrivoTemplateTest, ChannelCountsFollowTheChannelSource) {
    CSkrivoTemplate* t = Manager().CreateDefault();
    auto* list = new CItemList;
    for (int s : {1, 0, 7, -1}) {
        auto* e = new CKeyTree;
        e->AddKey(L"Selected", s);
        list->Append(e);
    }
    list->Append(new CKeyTree);     // no "Selected": not exported
    list->Append(new CLinteger(1)); // not a tree: not exported
    t->AddKey(L"Channels.Selected", list);
    auto* montage = new CKeyTree;
    auto* mchannels = new CItemList;
    mchannels->Append(new CKeyTree);
    mchannels->Append(new CKeyTree);
    montage->AddKey(L"Channels", mchannels);
    montage->AddKey(L"Name", L"Bipolar");
    t->AddKey(L"Montage", montage);

    EXPECT_EQ(3, t->GetExportedChannelCount());
    EXPECT_EQ(6, t->GetTotalChannelCount());
    CKeyTree out;
    t->GetMontage(out);
    EXPECT_EQ(0, out.GetCount()) << "raw data never hands out a montage";
    t->SetChannelDefinition(T::ChannelsMontage, nullptr);
    EXPECT_EQ(2, t->GetTotalChannelCount());
    EXPECT_EQ(3, t->GetExportedChannelCount());
    t->GetMontage(out);
    EXPECT_EQ(L"Bipolar", AsCStr(out.GetAt(L"Name"), L""));
    t->GetMontage(*t); // aliasing: the template becomes its own montage
    EXPECT_EQ(L"Bipolar", AsCStr(t->GetAt(L"Name"), L""));
}

struct Entry { std::wstring channel; int selected, index; };

std::vector<Entry> EntriesOf(const CSkrivoTemplate* t) {
    std::vector<Entry> out;
    const CItemList* list = AsItemList(t->GetAt(L"Channels.Selected"));
    for (int i = 0; list && i < list->GetCount(); ++i) {
        const CKeyTree* e = AsKeyTree(list->GetChild(i));
        out.push_back({AsCStr(e ? e->GetAt(L"Channel") : nullptr, L"?"), IntOf(e ? e->GetAt(L"Selected") : nullptr, -9),
                       IntOf(e ? e->GetAt(L"Index") : nullptr, -9)});
    }
    return out;
}

std::vector<std::wstring> Names(int headboxType, bool sleep) {
    auto hb = CKadeHeadboxConfig::CreateHeadbox(headboxType);
    return sleep ? hb->GetDefaultSleepChannelNames() : hb->GetDefaultChannelNames();
}

// Every entry selected, "Index" its position, names in list order.
void ExpectWholeList(const CSkrivoTemplate* t, const std::vector<std::wstring>& names) {
    const std::vector<Entry> entries = EntriesOf(t);
    ASSERT_EQ(names.size(), entries.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(names[i], entries[i].channel) << i;
        EXPECT_EQ(1, entries[i].selected) << i;
        EXPECT_EQ(static_cast<int>(i), entries[i].index) << i;
    }
}

CKeyTree Study(int headboxType, int group, int breakouts = -1) {
    CKeyTree s;
    s.AddKey(L"Headbox.HB0.HBType", headboxType);
    if (breakouts >= 0)
        s.AddKey(L"Headbox.HB0.Breakouts", breakouts);
    s.AddKey(L"Study.StudyGroup", group);
    return s;
}

class ChannelDefinitionTest : public sk::test::TemplatesTest {
protected:
    void SetUp() override {
        TemplatesTest::SetUp();
        for (int h = 1; h <= 27; ++h) {
            if (h == 20)
                continue;
            const bool hasSleep = !Names(h, true).empty();
            if (hasSleep && m_sleepType == 0)
                m_sleepType = h;
            if (!hasSleep && m_plainType == 0)
                m_plainType = h;
        }
        ASSERT_TRUE(m_sleepType && m_plainType) << "a headbox with and one without a sleep name list";
        ASSERT_NE(Names(m_sleepType, true), Names(m_sleepType, false));
    }
    int m_sleepType = 0, m_plainType = 0;
};

TEST_F(ChannelDefinitionTest, DefaultTemplateListsTheHeadboxNamesOfItsModality) {
    ExpectWholeList(Manager().CreateDefault(1, m_sleepType), Names(m_sleepType, false));
    ExpectWholeList(Manager().CreateDefault(2, m_sleepType), Names(m_sleepType, true));
    // An empty sleep list falls back to the default list.
    ExpectWholeList(Manager().CreateDefault(2, m_plainType), Names(m_plainType, false));
    // Group 3 is a sleep template by the default's rule.
    CSkrivoTemplate* t = Manager().CreateDefault(3, m_sleepType);
    EXPECT_EQ(L"Sleep", t->GetModality());
    ExpectWholeList(t, Names(m_sleepType, true));
    // Unknown headboxes leave the list alone.
    EXPECT_EQ(nullptr, Manager().CreateDefault(1, 0)->GetAt(L"Channels"));
    for (int h : {28, -1, 1000}) {
        EXPECT_EQ(nullptr, Manager().CreateDefault(1, h)->GetAt(L"Channels")) << h;
        CSkrivoTemplate* known = Manager().CreateDefault(1, m_plainType);
        known->SetHeadboxType(h);
        known->SetChannelDefinition(T::ChannelsRawData, nullptr);
        ExpectWholeList(known, Names(m_plainType, false));
    }
}

TEST_F(ChannelDefinitionTest, StudyCompletesATemplateWithoutHeadbox) {
    const struct {
        int templateType;
        const wchar_t* templateModality;
        int group, expectType;
        const wchar_t* expectModality;
        bool expectSleepNames;
    } cases[] = {
        {0, L"EEG", 2, m_sleepType, L"Sleep", true},
        // Group 3 stores "EEG" but passes 3 on, which selects the default list.
        {0, L"Sleep", 3, m_sleepType, L"EEG", false},
        {0, L"Sleep", 1, m_sleepType, L"EEG", false},
        // A template that knows its headbox keeps it and its own modality.
        {m_plainType, L"EEG", 2, m_plainType, L"EEG", false},
        {m_sleepType, L"Sleep", 1, m_sleepType, L"Sleep", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "template type " << c.templateType << " group " << c.group);
        CSkrivoTemplate* t = Manager().CreateDefault();
        t->SetHeadboxType(c.templateType);
        t->SetModality(c.templateModality);
        t->SetChannelDefinition(T::ChannelsMontage, nullptr);
        const CKeyTree study = Study(m_sleepType, c.group);
        t->SetChannelDefinition(T::ChannelsRawData, &study);
        EXPECT_EQ(c.expectType, t->GetHeadboxType());
        EXPECT_EQ(c.expectModality, t->GetModality());
        EXPECT_EQ(T::ChannelsRawData, t->GetChannelDefinition());
        ExpectWholeList(t, Names(c.expectType, c.expectSleepNames));
    }
    // Montage definitions (or a value naming none, stored as "RawData") keep the list.
    for (auto d : {T::ChannelsMontage, T::ChannelsAcquisitionMontage, static_cast<T::ChannelDefinition>(3)}) {
        CSkrivoTemplate* t = Manager().CreateDefault(1, m_plainType);
        const CKeyTree study = Study(m_sleepType, 2);
        t->SetChannelDefinition(d, &study);
        EXPECT_EQ(d == 3 ? T::ChannelsRawData : d, t->GetChannelDefinition());
        EXPECT_EQ(m_plainType, t->GetHeadboxType());
        ExpectWholeList(t, Names(m_plainType, false));
    }
}

TEST_F(ChannelDefinitionTest, MultiBreakoutHeadboxListsOnlyStoredChannelsKeepingTheirIndex) {
    ASSERT_EQ(544u, Names(20, false).size());
    // -1: key absent, the study's fallback is 2
    for (const auto& [breakouts, expectCount] : {std::pair{2, 256 + 32}, {-1, 256 + 32}, {1, 128 + 32}, {4, 544}}) {
        SCOPED_TRACE(breakouts);
        CSkrivoTemplate* t = Manager().CreateDefault();
        const CKeyTree study = Study(20, 1, breakouts);
        t->SetChannelDefinition(T::ChannelsRawData, &study);
        const std::vector<Entry> entries = EntriesOf(t);
        ASSERT_EQ(static_cast<size_t>(expectCount), entries.size());
        const int covered = expectCount - 32;
        EXPECT_EQ(covered - 1, entries[covered - 1].index);
        EXPECT_EQ(512, entries[covered].index) << "the base unit's inputs keep their positions";
        EXPECT_EQ(Names(20, false)[512], entries[covered].channel);
        EXPECT_EQ(543, entries.back().index);
    }
    // Without a study nothing is known about breakouts: every channel.
    ExpectWholeList(Manager().CreateDefault(1, 20), Names(20, false));
}

CMontageChannel Derivation(const std::wstring& name, int first, int second) {
    CMontageChannel c(name, 0);
    CHalfMontageChannel h1, h2;
    h1.AddInput(first, 1.0f);
    h2.AddInput(second, 1.0f);
    if (first >= 0)
        c.SetFirstHalf(h1);
    if (second >= 0)
        c.SetSecondHalf(h2);
    return c;
}

TEST_F(ChannelDefinitionTest, MontageListSkipsChannelsWithoutHalvesOrStorage) {
    CMontage m(0);
    m.SetMontageName(L"Mixed");
    m.AddChannel(Derivation(L"Fp1-F3", 0, 2));
    m.AddChannel(Derivation(L"Nothing", -1, -1));
    m.AddChannel(Derivation(L"RefOnly", -1, 5));
    m.AddChannel(Derivation(L"Far", 300, 513)); // 300 lies on breakout 3 of type 20
    m.AddChannel(Derivation(L"Dc", 520, -1));
    CKeyTree tree;
    ASSERT_EQ(0, m.Save(tree));
    const struct {
        int breakouts; // 0: no study
        std::vector<std::wstring> names;
        std::vector<int> indexes;
    } cases[] = {
        {0, {L"Fp1-F3", L"RefOnly", L"Far", L"Dc"}, {0, 2, 3, 4}},
        {2, {L"Fp1-F3", L"RefOnly", L"Dc"}, {0, 2, 4}},
        {3, {L"Fp1-F3", L"RefOnly", L"Far", L"Dc"}, {0, 2, 3, 4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.breakouts);
        CSkrivoTemplate* t = Manager().CreateDefault();
        const CKeyTree study = Study(20, 1, c.breakouts);
        t->SetMontage(new CKeyTree(tree), c.breakouts ? &study : nullptr);
        EXPECT_EQ(T::ChannelsRawData, t->GetChannelDefinition()) << "source untouched";
        EXPECT_EQ(L"Mixed", AsCStr(t->GetAt(L"Montage.Name"), L""));
        const std::vector<Entry> entries = EntriesOf(t);
        ASSERT_EQ(c.names.size(), entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(c.names[i], entries[i].channel);
            EXPECT_EQ(c.indexes[i], entries[i].index);
            EXPECT_EQ(1, entries[i].selected);
        }
        t->SetChannelDefinition(T::ChannelsMontage, nullptr);
        EXPECT_EQ(5, t->GetTotalChannelCount());
        EXPECT_EQ(static_cast<int>(c.names.size()), t->GetExportedChannelCount());
    }
}

TEST_F(ChannelDefinitionTest, MontageThatDoesNotLoadKeepsTheList) {
    CSkrivoTemplate* t = Manager().CreateDefault(1, m_plainType);
    auto* broken = new CKeyTree;
    broken->AddKey(L"Name", L"Broken");
    broken->AddKey(L"Channels", int32_t{7}); // not a list
    t->SetMontage(broken, nullptr);
    ExpectWholeList(t, Names(m_plainType, false));
    EXPECT_EQ(L"Broken", AsCStr(t->GetAt(L"Montage.Name"), L""));
    // Handing the template its own montage again rebuilds from it in place.
    CMontage m(0);
    m.AddChannel(Derivation(L"A", 1, -1));
    auto* good = new CKeyTree;
    ASSERT_EQ(0, m.Save(*good));
    t->SetMontage(good, nullptr);
    t->SetMontage(AsKeyTree(t->GetAt(L"Montage")), nullptr);
    ASSERT_EQ(1u, EntriesOf(t).size());
    EXPECT_EQ(L"A", EntriesOf(t)[0].channel);
    t->SetMontage(nullptr, nullptr);
    EXPECT_EQ(nullptr, t->GetAt(L"Montage"));
}

} // namespace

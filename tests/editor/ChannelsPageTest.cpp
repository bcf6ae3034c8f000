// The Channels page driven through the real dialog: restoring ticks by
// index, switching sources, the montage list, the range buttons of the
// multi-breakout headbox, and what OK stores.
// Built only where Qt's test library is available (see editor/CMakeLists.txt).
#ifdef SKRIVO_HAVE_QTEST

#include "EditorTestEnv.h"

using namespace sk::editor;

namespace sk::test {
namespace {

CItemList* SelectedList(const std::vector<std::pair<std::wstring, int>>& ticked,
                        const std::vector<std::pair<std::wstring, int>>& unticked = {})
{
    auto* list = new CItemList();
    auto add = [list](const std::wstring& name, int index, int on) {
        auto* e = new CKeyTree();
        e->AddKey(L"Channel", name);
        e->AddKey(L"Selected", int32_t{on});
        e->AddKey(L"Index", int32_t{index});
        list->Append(e);
    };
    for (auto& [n, i] : ticked)
        add(n, i, 1);
    for (auto& [n, i] : unticked)
        add(n, i, 0);
    return list;
}

void SetSelected(CSkrivoTemplate* t, CItemList* list)
{
    t->DeleteKey(L"Channels.Selected");
    t->AddKey(L"Channels.Selected", list);
}

// (Selected, Index) of each stored entry.
std::vector<std::pair<int, int>> Stored(const CKeyTree& t)
{
    std::vector<std::pair<int, int>> out;
    const CItemList* list = AsItemList(t.GetAt(L"Channels.Selected"));
    for (int i = 0; list && i < list->GetCount(); ++i) {
        const CKeyTree* e = AsKeyTree(list->GetChild(i));
        out.emplace_back(IntOf(e->GetAt(L"Selected"), -1), IntOf(e->GetAt(L"Index"), -1));
    }
    return out;
}

TEST_F(EditorTest, RawTicksAreRestoredByIndexNotByName)
{
    CKeyTree study = MakeStudy({.rawCount = 6});
    CSkrivoTemplate* t = NewTemplate(L"T");
    t->SetAt(L"ExportChannels", L"RawData");
    // Names no longer match the study's labels, and an index the study does
    // not have is ignored.
    SetSelected(t, SelectedList({{L"Old1", 1}, {L"Old4", 4}, {L"Gone", 40}}, {{L"In2", 2}}));
    Open(t, study);
    EXPECT_TRUE(Ctl<QRadioButton>(IDC_RAW_DATA)->isChecked());
    EXPECT_FALSE(Ctl<QComboBox>(IDC_MONTAGE_LIST)->isEnabled());
    EXPECT_EQ(Ticks(), (std::vector<bool>{false, true, false, false, true, false}));
    EXPECT_EQ(Ctl<QListWidget>(IDC_CHANNEL_LIST)->item(4)->text(), "In4");

    SetTick(0, true);
    Click(IDOK);
    EXPECT_EQ(Str(*t, L"ExportChannels"), L"RawData");
    EXPECT_EQ(Stored(*t), (std::vector<std::pair<int, int>>{{1, 0}, {1, 1}, {0, 2}, {0, 3}, {1, 4}, {0, 5}}));
    const CKeyTree* first = AsKeyTree(AsItemList(t->GetAt(L"Channels.Selected"))->GetChild(0));
    EXPECT_EQ(Str(*first, L"Channel"), L"In0");
}

TEST_F(EditorTest, SwitchingSourcesTicksEveryChannel)
{
    CMontage bipolar;
    ASSERT_TRUE(BuildBipolarMontage(1, bipolar));
    AddLibraryMontage(bipolar);
    CKeyTree study = MakeStudy({});
    CSkrivoTemplate* t = NewTemplate(L"T");
    SetSelected(t, SelectedList({{L"x", 3}}));
    Open(t, study);
    const std::vector<bool> restored = Ticks();
    ASSERT_EQ(restored.size(), 24u);
    EXPECT_EQ(std::count(restored.begin(), restored.end(), true), 1);

    Click(IDC_MONTAGE);
    EXPECT_TRUE(Ctl<QComboBox>(IDC_MONTAGE_LIST)->isEnabled());
    EXPECT_EQ(Ticks(), std::vector<bool>(bipolar.GetSize(), true));
    Click(IDC_RAW_DATA);
    EXPECT_FALSE(Ctl<QComboBox>(IDC_MONTAGE_LIST)->isEnabled());
    EXPECT_EQ(Ticks(), std::vector<bool>(24, true));
    Click(IDC_ACQ_MONTAGE);
    EXPECT_EQ(Ticks(), std::vector<bool>(24, true));
}

TEST_F(EditorTest, MontageTicksRestoreByDerivationAndOkStoresTheListedMontage)
{
    // The library offers a montage, but the template uses another one that
    // the library no longer has: the list must show the stored one, and OK
    // must keep it with its ticks.
    AddLibraryMontage(SingleInputMontage(1, L"Alpha", {0, 1, 2}));
    CKeyTree study = MakeStudy({});
    CSkrivoTemplate* t = NewTemplate(L"T");
    t->SetAt(L"ExportChannels", L"Montage");
    CKeyTree stored;
    SingleInputMontage(1, L"Zeta", {5, 6, 7, 8}).Save(stored);
    t->SetAt(L"Montage", stored.Duplicate());
    SetSelected(t, SelectedList({{L"renamed", 2}}, {{L"D5", 0}}));
    Open(t, study);

    EXPECT_TRUE(Ctl<QRadioButton>(IDC_MONTAGE)->isChecked());
    QComboBox* list = Ctl<QComboBox>(IDC_MONTAGE_LIST);
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->itemText(0), "Alpha"); // sorted
    EXPECT_EQ(list->currentText(), "Zeta");
    EXPECT_EQ(Ticks(), (std::vector<bool>{false, false, true, false}));
    EXPECT_EQ(Ctl<QListWidget>(IDC_CHANNEL_LIST)->item(2)->data(Qt::UserRole).toUInt(), (7u << 16) | 2u);

    Click(IDOK);
    EXPECT_EQ(Str(*t, L"ExportChannels"), L"Montage");
    CMontage kept;
    ASSERT_EQ(kept.Load(AsKeyTree(t->GetAt(L"Montage"))), 0);
    EXPECT_EQ(kept.GetMontageName(), L"Zeta");
    EXPECT_EQ(Stored(*t), (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}, {1, 2}, {0, 3}}));

    // Choosing the library's montage lists and stores that one instead.
    CSkrivoTemplate* t2 = NewTemplate(L"T2");
    t2->SetAt(L"ExportChannels", L"Montage");
    t2->SetAt(L"Montage", stored.Duplicate());
    Open(t2, study);
    Ctl<QComboBox>(IDC_MONTAGE_LIST)->setCurrentIndex(0);
    emit Ctl<QComboBox>(IDC_MONTAGE_LIST)->activated(0);
    EXPECT_EQ(Ticks(), std::vector<bool>(3, true));
    Click(IDOK);
    CMontage chosen;
    ASSERT_EQ(chosen.Load(AsKeyTree(t2->GetAt(L"Montage"))), 0);
    EXPECT_EQ(chosen.GetMontageName(), L"Alpha");
    EXPECT_EQ(Stored(*t2).size(), 3u);
}

TEST_F(EditorTest, AcquisitionMontageIsCopiedIntoTheTemplate)
{
    CKeyTree study = MakeStudy({.rawCount = 24});
    CSkrivoTemplate* t = NewTemplate(L"T");
    t->DeleteKey(L"Montage");
    Open(t, study);
    Click(IDC_ACQ_MONTAGE);
    SetTick(0, false);
    Click(IDC_TRIGGER);
    Click(IDC_PATIENT_EVENT);
    Click(IDOK);
    EXPECT_EQ(Str(*t, L"ExportChannels"), L"AcquisitionMontage");
    const CKeyTree* copied = AsKeyTree(t->GetAt(L"Montage"));
    ASSERT_NE(copied, nullptr);
    EXPECT_TRUE(copied->IsEqual(*AsKeyTree(study.GetAt(L"Montage"))));
    const auto stored = Stored(*t);
    ASSERT_EQ(stored.size(), 24u);
    EXPECT_EQ(stored[0], std::make_pair(0, 0));
    EXPECT_EQ(stored[23], std::make_pair(1, 23));
    EXPECT_EQ(Int(*t, L"IncludeTriggerEvent"), 1);
    EXPECT_EQ(Int(*t, L"IncludePatientEvent"), 1);
}

class MultiBreakout : public EditorTest {
protected:
    // Headbox 20 with two breakout boxes: configuration 0..255 stored,
    // 256..511 not, 512..543 the base unit's DC inputs.
    CKeyTree Study()
    {
        CKeyTree study = MakeStudy({.headbox = 20, .breakouts = 2, .rawCount = 0, .recordingMontage = false});
        // Derivations over channels 0..63, 130..131 and 200, none in 64..127,
        // one on an unused breakout (300) and one whose reference is there.
        std::vector<int> channels;
        for (int c = 0; c < 64; ++c)
            channels.push_back(c);
        for (int c : {130, 131, 200, 300, 520})
            channels.push_back(c);
        CMontage m = SingleInputMontage(20, L"Acq", channels);
        CMontageChannel bipolar(L"D5-D400", 0);
        CHalfMontageChannel a, b;
        a.AddInput(5, 1.0f);
        b.AddInput(400, 1.0f);
        bipolar.SetFirstHalf(a);
        bipolar.SetSecondHalf(b);
        m.AddChannel(bipolar);
        auto* tree = new CKeyTree();
        m.Save(*tree);
        study.AddKey(L"Montage", tree);
        return study;
    }
};

TEST_F(MultiBreakout, FourRangeButtonsEnabledWhereDerivationsAre)
{
    CKeyTree study = Study();
    CSkrivoTemplate* t = NewTemplate(L"T");
    t->SetHeadboxType(20);
    t->SetAt(L"ExportChannels", L"AcquisitionMontage");
    Open(t, study);

    std::vector<QPushButton*> buttons;
    for (int id = IDC_RANGE_FIRST; id <= IDC_RANGE_LAST; ++id)
        buttons.push_back(Ctl<QPushButton>(id));
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(buttons[k]->isVisible(), k < 4) << k;
    const QListWidget* list = Ctl<QListWidget>(IDC_CHANNEL_LIST);
    EXPECT_TRUE(buttons[0]->isEnabled());  // 1 - 64
    EXPECT_FALSE(buttons[1]->isEnabled()); // 65 - 128: nothing listed
    EXPECT_TRUE(buttons[2]->isEnabled());  // 129 - 192
    EXPECT_TRUE(buttons[3]->isEnabled());  // 193 - 256

    // Not listed: the derivation on the unused breakout and the one whose
    // reference lies there; the DC input is.
    ASSERT_EQ(list->count(), 64 + 3 + 1);
    EXPECT_EQ(list->item(66)->text(), "D200");
    EXPECT_EQ(list->item(67)->text(), "D520");
    EXPECT_EQ(list->item(67)->data(Qt::UserRole).toUInt(), (520u << 16) | 68u);
}

TEST_F(MultiBreakout, RangeButtonsUntickFullBlocksAndTickPartialOnes)
{
    CKeyTree study = Study();
    CSkrivoTemplate* t = NewTemplate(L"T");
    t->SetHeadboxType(20);
    t->SetAt(L"ExportChannels", L"AcquisitionMontage");
    Open(t, study);
    Click(IDC_ACQ_MONTAGE); // choosing the source again ticks everything
    std::vector<bool> ticks = Ticks();
    ASSERT_EQ(std::count(ticks.begin(), ticks.end(), true), 68);

    Click(IDC_RANGE_FIRST); // all of 1 - 64 ticked: unticks them
    ticks = Ticks();
    EXPECT_EQ(std::count(ticks.begin(), ticks.begin() + 64, true), 0);
    EXPECT_TRUE(ticks[64] && ticks[67]);

    SetTick(10, true);
    Click(IDC_RANGE_FIRST); // partly ticked: ticks them all
    ticks = Ticks();
    EXPECT_EQ(std::count(ticks.begin(), ticks.begin() + 64, true), 64);

    Click(IDC_RANGE_FIRST + 2); // 129 - 192 holds 130 and 131
    ticks = Ticks();
    EXPECT_FALSE(ticks[64] || ticks[65]);
    EXPECT_TRUE(ticks[66]);

    Click(IDOK);
    const auto stored = Stored(*t);
    ASSERT_EQ(stored.size(), 68u);
    EXPECT_EQ(stored[64], std::make_pair(0, 64));
    EXPECT_EQ(stored[67], std::make_pair(1, 68)); // derivation position, not the channel
}

TEST_F(MultiBreakout, RawChannelsUseTheirConfigurationNumberForRanges)
{
    CKeyTree study = MakeStudy({.headbox = 20, .breakouts = 1, .rawCount = 70, .recordingMontage = false});
    CSkrivoTemplate* t = NewTemplate(L"T");
    t->SetHeadboxType(20);
    Open(t, study);
    EXPECT_TRUE(Ctl<QPushButton>(IDC_RANGE_FIRST + 1)->isVisible());
    EXPECT_FALSE(Ctl<QPushButton>(IDC_RANGE_FIRST + 2)->isVisible());
    Click(IDC_RAW_DATA);
    Click(IDC_RANGE_FIRST + 1); // 65 - 128: raw channels 64..69
    const std::vector<bool> ticks = Ticks();
    EXPECT_EQ(std::count(ticks.begin(), ticks.end(), false), 6);
    EXPECT_FALSE(ticks[64]);
    EXPECT_TRUE(ticks[63]);
}

} // namespace
} // namespace sk::test

#endif // SKRIVO_HAVE_QTEST

// Export template keys, fallbacks, setters and copies.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TemplatesTestEnv.h"
#include "templates/SkrivoTemplate.h"
#include "templates/SkrivoTemplateManager.h"

namespace {

using T = CSkrivoTemplate;

class SkrivoTemplateTest : public sk::test::TemplatesTest {};

TEST_F(SkrivoTemplateTest, EnumerationTextsAreCaseSensitive)
{
    struct Case {
        const wchar_t* format;
        T::ExportFormat expectFormat;
        const wchar_t* channels;
        T::ChannelDefinition expectChannels;
    };
    const Case cases[] = {
        {L"EDF+", T::FormatEDFPlus, L"AcquisitionMontage", T::ChannelsAcquisitionMontage},
        {L"edf+", T::FormatEDF, L"acquisitionmontage", T::ChannelsRawData},
        {L"EDF", T::FormatEDF, L"Montage", T::ChannelsMontage},
        {L"EDF+ ", T::FormatEDF, L"montage", T::ChannelsRawData},
        {L"", T::FormatEDF, L"RawData", T::ChannelsRawData},
    };
    CSkrivoTemplate* t = Manager().CreateDefault();
    for (const Case& c : cases) {
        t->SetAt(L"ExportFormat", c.format);
        t->SetAt(L"ExportChannels", c.channels);
        EXPECT_EQ(c.expectFormat, t->GetExportType()) << c.format;
        EXPECT_EQ(c.expectChannels, t->GetChannelDefinition()) << c.channels;
    }
}

TEST_F(SkrivoTemplateTest, SettersNormaliseModalityAndFormat)
{
    struct Case {
        const wchar_t* in;
        const wchar_t* stored;
    };
    const Case modalities[] = {{L"sleep", L"Sleep"}, {L"SLEEP", L"Sleep"}, {L"Sleep", L"Sleep"},
                               {L"eeg", L"EEG"},     {L"Sleeper", L"EEG"}, {L"", L"EEG"},
                               {L"Psg", L"EEG"}};
    CSkrivoTemplate* t = Manager().CreateDefault();
    for (const Case& c : modalities) {
        t->SetModality(c.in);
        EXPECT_EQ(c.stored, AsCStr(t->GetAt(L"Modality"), L"?")) << c.in;
    }
    const std::pair<int, const wchar_t*> formats[] = {{1, L"EDF+"}, {0, L"EDF"}, {2, L"EDF"}, {-1, L"EDF"}};
    for (const auto& [value, stored] : formats) {
        t->SetExportType(static_cast<T::ExportFormat>(value));
        EXPECT_EQ(stored, AsCStr(t->GetAt(L"ExportFormat"), L"?")) << value;
    }
}

TEST_F(SkrivoTemplateTest, ChannelCountsFollowTheChannelSource)
{
    CSkrivoTemplate* t = Manager().CreateDefault();
    auto* list = new CItemList;
    const int selected[] = {1, 0, 7, -1};
    for (int s : selected) {
        auto* e = new CKeyTree;
        e->AddKey(L"Selected", s);
        list->Append(e);
    }
    auto* bare = new CKeyTree; // no "Selected": not exported
    bare->AddKey(L"Index", 4);
    list->Append(bare);
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
    EXPECT_EQ(6, AsItemList(t->GetAt(L"Channels.Selected"))->GetCount()) << "list kept";
    t->GetMontage(out);
    EXPECT_EQ(L"Bipolar", AsCStr(out.GetAt(L"Name"), L""));
    t->GetMontage(*t); // aliasing: the template becomes its own montage
    EXPECT_EQ(L"Bipolar", AsCStr(t->GetAt(L"Name"), L""));
}

TEST_F(SkrivoTemplateTest, CopiesAreIndependentAndKeepTheFlag)
{
    CSkrivoTemplate* src = Manager().Create(L"EEG", L"Source");
    src->SetHeadboxType(3);
    ASSERT_EQ(0, Manager().Load(L"EEG", MakeFolder("eeg").wstring()));
    ASSERT_EQ(0, Manager().Save(src, false));
    CSkrivoTemplate* stored = Manager().GetItem(L"EEG", L"Source");
    ASSERT_NE(nullptr, stored);
    ASSERT_TRUE(stored->IsTemplate());

    std::unique_ptr<CKeyTree> copy(new CSkrivoTemplate(*stored));
    auto* c = static_cast<CSkrivoTemplate*>(copy.get());
    EXPECT_TRUE(c->IsTemplate());
    c->SetName(L"Changed");
    c->SetHeadboxType(4);
    EXPECT_EQ(L"Source", stored->GetName());
    EXPECT_EQ(3, stored->GetHeadboxType());

    CSkrivoTemplate* inst = Manager().CreateDefault();
    *inst = *stored;
    EXPECT_TRUE(inst->IsTemplate());
    EXPECT_EQ(L"Source", inst->GetName());
    inst->SetName(L"Other");
    EXPECT_EQ(L"Source", stored->GetName());

    CKeyTree saved;
    stored->Save(saved);
    EXPECT_TRUE(saved.IsEqual(*stored));
}

} // namespace

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

TEST_F(SkrivoTemplateTest, NewTemplateHoldsTheFourteenDefaultsInOrder)
{
    CSkrivoTemplate* t = Manager().CreateDefault();
    const std::vector<std::wstring> expected = {
        L"Deidentify", L"ExportChannels", L"ExportFormat", L"Extension", L"HBType",
        L"IncludePatientEvent", L"IncludeTriggerEvent", L"InvertAC", L"Modality", L"Name",
        L"PadGaps", L"SpatialMaximum", L"TemporalMaximum", L"UseDecimatedData"};
    ASSERT_EQ(static_cast<int>(expected.size()), t->GetCount());
    for (int i = 0; i < t->GetCount(); ++i)
        EXPECT_EQ(expected[i], t->GetKeyName(i)) << i;
    EXPECT_EQ(ItemKind::LongLong, t->GetAt(L"SpatialMaximum")->Kind());
    EXPECT_EQ(ItemKind::Integer, t->GetAt(L"TemporalMaximum")->Kind());
    EXPECT_EQ(nullptr, t->GetAt(L"Channels"));
    EXPECT_EQ(nullptr, t->GetAt(L"Montage"));
    EXPECT_EQ(nullptr, t->GetAt(L"FileName"));
    EXPECT_EQ(L".edf", t->GetExtension());
    EXPECT_TRUE(t->GetInvertAC());
    EXPECT_TRUE(t->IsInstance());
}

TEST_F(SkrivoTemplateTest, BareTreeReadsTheFallbacks)
{
    CSkrivoTemplate* t = Manager().CreateDefault();
    t->Load(CKeyTree());
    EXPECT_EQ(0, t->GetCount());
    EXPECT_EQ(L"", t->GetName());
    EXPECT_EQ(L"EEG", t->GetModality());
    EXPECT_EQ(0, t->GetHeadboxType());
    EXPECT_EQ(L".EDF", t->GetExtension());
    EXPECT_EQ(T::FormatEDF, t->GetExportType());
    EXPECT_EQ(T::ChannelsRawData, t->GetChannelDefinition());
    EXPECT_TRUE(t->GetInvertAC());
    EXPECT_FALSE(t->GetFillGaps());
    EXPECT_FALSE(t->GetExportDecimatedData());
    EXPECT_FALSE(t->GetDeidentify());
    EXPECT_FALSE(t->GetExportTrigger());
    EXPECT_FALSE(t->GetExportPatientEvent());
    EXPECT_EQ(0, t->GetSpatialMaximum());
    EXPECT_EQ(0, t->GetTemporalMaximum());
    EXPECT_EQ(0, t->GetTotalChannelCount());
    EXPECT_EQ(0, t->GetExportedChannelCount());
    CKeyTree out;
    out.AddKey(L"Stale", 1);
    t->GetMontage(out);
    EXPECT_EQ(0, out.GetCount());
}

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

TEST_F(SkrivoTemplateTest, SettersReplaceKeysOfAnotherType)
{
    CSkrivoTemplate* t = Manager().CreateDefault();
    t->Load(CKeyTree());
    // Every key first holds an item of the wrong kind, twice.
    const wchar_t* keys[] = {L"Name", L"Modality", L"HBType", L"ExportFormat", L"Extension",
                             L"InvertAC", L"PadGaps", L"UseDecimatedData", L"Deidentify",
                             L"IncludeTriggerEvent", L"IncludePatientEvent", L"SpatialMaximum",
                             L"TemporalMaximum", L"ExportChannels"};
    for (const wchar_t* k : keys) {
        t->AddKey(k, 3.5);
        t->AddKey(k, 3.5);
    }
    t->SetName(L"N");
    t->SetModality(L"sleep");
    t->SetHeadboxType(9);
    t->SetExportType(T::FormatEDFPlus);
    t->SetExtension(L".rec");
    t->SetInvertAC(false);
    t->SetFillGaps(true);
    t->SetExportDecimatedData(true);
    t->SetDeidentify(true);
    t->SetExportTrigger(true);
    t->SetExportPatientEvent(true);
    t->SetSpatialMaximum(int64_t{5} << 32);
    t->SetTemporalMaximum(3600);
    t->SetChannelDefinition(T::ChannelsMontage, nullptr);
    ASSERT_EQ(14, t->GetCount());
    for (const wchar_t* k : keys)
        EXPECT_NE(ItemKind::Real, t->GetAt(k)->Kind()) << k;
    EXPECT_EQ(ItemKind::LongLong, t->GetAt(L"SpatialMaximum")->Kind());
    EXPECT_EQ(ItemKind::Integer, t->GetAt(L"TemporalMaximum")->Kind());
    EXPECT_EQ(ItemKind::String, t->GetAt(L"Name")->Kind());
    EXPECT_EQ(L"Sleep", t->GetModality());
    EXPECT_EQ(9, t->GetHeadboxType());
    EXPECT_EQ(T::FormatEDFPlus, t->GetExportType());
    EXPECT_EQ(L".rec", t->GetExtension());
    EXPECT_FALSE(t->GetInvertAC());
    EXPECT_TRUE(t->GetFillGaps() && t->GetExportDecimatedData() && t->GetDeidentify());
    EXPECT_TRUE(t->GetExportTrigger() && t->GetExportPatientEvent());
    EXPECT_EQ(int64_t{5} << 32, t->GetSpatialMaximum());
    EXPECT_EQ(3600, t->GetTemporalMaximum());
    EXPECT_EQ(T::ChannelsMontage, t->GetChannelDefinition());
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

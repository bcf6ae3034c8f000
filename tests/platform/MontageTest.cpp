#include "platform/recording/Montage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>

#include "platform/KeyTree.h"
#include "platform/appcommon/HeadboxConfig.h"
#include "platform/recording/WaveType.h"
#include "support/TempDir.h"

namespace {

CHalfMontageChannel Half(std::initializer_list<std::pair<int, float>> inputs, const wchar_t* name = nullptr) {
    CHalfMontageChannel h;
    for (auto [c, k] : inputs) h.AddInput(c, k);
    if (name) h.SetName(name);
    return h;
}

// Fp1 against the average of F3, C3 and P3, plus an ECG pair and a DC channel.
CMontage Sample() {
    CMontage m(1);
    m.SetMontageName(L"Average \u00E9tude");
    m.SetInputNames({L"Fp1", L"Fp2", L"F7", L"F3", L"Fz", L"F4", L"F8", L"T3", L"C3", L"Cz", L"C4", L"T4", L"T5",
                     L"P3"});
    CMontageChannel a(L"Fp1-Avg", sk::display::EEG);
    a.SetFirstHalf(Half({{0, 1.0f}}, L"Fp1"));
    a.SetSecondHalf(Half({{3, 1.0f / 3}, {8, 1.0f / 3}, {13, 1.0f / 3}}, L"Avg"));
    CMontageChannel b(L"ECG", sk::display::ECG);
    b.SetFirstHalf(Half({{1, 1.0f}}, L"Fp2"));
    b.SetSecondHalf(Half({{2, -0.5f}}, L"F7"));
    CMontageChannel c(L"Ref only", sk::display::SpO2);
    c.SetSecondHalf(Half({{4, 1.0f}}, L"Fz"));
    m.AddChannel(a);
    m.AddChannel(b);
    m.AddChannel(c);
    return m;
}

// Two montages are the same when they save to the same tree (names,
// headbox, inputs, every half with its inputs and exact coefficients).
void ExpectSameMontage(const CMontage& x, const CMontage& y) {
    CKeyTree a, b;
    ASSERT_EQ(x.Save(a), 0);
    ASSERT_EQ(y.Save(b), 0);
    EXPECT_TRUE(a.IsEqual(b)) << a.ToString() << "\n" << b.ToString();
    EXPECT_TRUE(x.IsMontagingEqual(y));
}

TEST(Montage, NullTreeGivesTheHeadboxDefaultMontage) {
    for (int type = 1; type <= 27; ++type) {
        CMontage m(type);
        ASSERT_EQ(m.Load(static_cast<const CKeyTree*>(nullptr)), 0) << type;
        const auto names = CKadeHeadboxConfig::CreateHeadbox(type)->GetDefaultChannelNames();
        ASSERT_EQ(static_cast<size_t>(m.GetSize()), names.size()) << type;
        EXPECT_EQ(m.GetInputNames(), names);
        for (int c = 0; c < m.GetSize(); ++c) { // each input alone, against nothing
            const CMontageChannel* ch = m.GetChannel(c);
            EXPECT_EQ(ch->GetName(), names[static_cast<size_t>(c)]);
            ASSERT_TRUE(ch->GetFirstHalf() && !ch->GetSecondHalf()) << type << " " << c;
            EXPECT_EQ(ch->GetFirstHalf()->GetChannel(0), c);
            EXPECT_EQ(ch->GetFirstHalf()->GetCoefficient(0), 1.0f);
        }
    }
    for (int type : {0, 28, -1}) {
        CMontage m(type);
        EXPECT_NE(m.Load(static_cast<const CKeyTree*>(nullptr)), 0) << type;
        EXPECT_EQ(m.GetSize(), 0);
    }
}

TEST(Montage, MalformedTreesFailAndLeaveTheMontageEmpty) {
    using Edit = std::function<void(CKeyTree&)>;
    auto firstHalfInput = [](CKeyTree& t) {
        return AsKeyTree(AsItemList(AsKeyTree(AsItemList(t.GetAt(L"Channels"))->GetChild(0))->GetAt(L"First.Inputs"))
                             ->GetChild(0));
    };
    std::vector<std::pair<const char*, Edit>> edits = {
        {"no channels", [](CKeyTree& t) { t.DeleteKey(L"Channels"); }},
        {"channels not a list", [](CKeyTree& t) { t.SetAt(L"Channels", L"x"); }},
        {"channel not a tree", [](CKeyTree& t) { AsItemList(t.GetAt(L"Channels"))->Append(new CLinteger(3)); }},
        {"negative input", [&](CKeyTree& t) { firstHalfInput(t)->SetAt(L"Channel", -1); }},
        {"input beyond limit", [&](CKeyTree& t) { firstHalfInput(t)->SetAt(L"Channel", CMontage::kMaxInputs); }},
        {"input as text", [&](CKeyTree& t) { firstHalfInput(t)->SetAt(L"Channel", L"3"); }},
        {"coefficient NaN", [&](CKeyTree& t) { firstHalfInput(t)->SetAt(L"Coefficient", std::nan("")); }},
        {"coefficient text", [&](CKeyTree& t) { firstHalfInput(t)->SetAt(L"Coefficient", L"1"); }},
        {"coefficient missing", [&](CKeyTree& t) { firstHalfInput(t)->DeleteKey(L"Coefficient"); }},
        {"headbox type 28", [](CKeyTree& t) { t.SetAt(L"HBType", 28); }},
        {"headbox type text", [](CKeyTree& t) { t.SetAt(L"HBType", L"5"); }},
        {"input name not text", [](CKeyTree& t) { AsItemList(t.GetAt(L"Inputs"))->Append(new CLreal(1.0)); }},
        {"half not a tree", [](CKeyTree& t) {
             AsKeyTree(AsItemList(t.GetAt(L"Channels"))->GetChild(0))->SetAt(L"Second", 7);
         }},
        {"name not text", [](CKeyTree& t) { t.SetAt(L"Name", 7); }},
    };
    for (auto& [what, edit] : edits) {
        CKeyTree tree;
        ASSERT_EQ(Sample().Save(tree), 0);
        edit(tree);
        CMontage m = Sample();
        EXPECT_NE(m.Load(&tree), 0) << what;
        EXPECT_EQ(m.GetSize(), 0) << what;
        EXPECT_TRUE(m.GetInputNames().empty()) << what;
    }
}

TEST(Montage, SaveAndLoadRoundTripAndUnreadableFilesFail) {
    sk::test::TempDir dir("montage");
    const std::wstring path = dir.wpath() + L"/Average.mtg";
    ASSERT_EQ(Sample().Save(path), 0);
    CMontage fromFile(0);
    ASSERT_EQ(fromFile.Load(path), 0);
    ExpectSameMontage(Sample(), fromFile);
    // Saving into a used tree replaces its content.
    CKeyTree tree;
    tree.AddKey(L"Stale", 1);
    ASSERT_EQ(fromFile.Save(tree), 0);
    EXPECT_EQ(tree.GetAt(L"Stale"), nullptr);
    // Halves without a name are named after their inputs.
    auto* ch0 = AsKeyTree(AsItemList(tree.GetAt(L"Channels"))->GetChild(0));
    ch0->DeleteKey(L"First.Name");
    ch0->DeleteKey(L"Second.Name");
    CMontage m(0);
    ASSERT_EQ(m.Load(&tree), 0);
    EXPECT_EQ(m.GetChannel(0)->GetFirstHalf()->GetName(), L"Fp1");
    EXPECT_EQ(m.GetChannel(0)->GetSecondHalf()->GetName(), L"F3+C3+P3");

    EXPECT_NE(m.Load(dir.wpath() + L"/missing.mtg"), 0);
    std::ofstream(dir / "junk.mtg") << "not a key tree";
    EXPECT_NE(m.Load(dir.wpath() + L"/junk.mtg"), 0);
    CKeyTree other;
    other.AddKey(L"Something", 1);
    ASSERT_NE(other.BinSave(dir.wpath() + L"/other.mtg"), 0);
    EXPECT_NE(m.Load(dir.wpath() + L"/other.mtg"), 0) << "a key tree that is no montage";
    EXPECT_NE(Sample().Save(dir.wpath() + L"/no/such/folder/x.mtg"), 0);
}

TEST(Montage, ApplicabilityFollowsHeadboxTypeAndInputs) {
    CMontage rec;
    ASSERT_TRUE(sk::BuildRecordingMontage(5, true, rec));
    EXPECT_TRUE(rec.IsApplicable(5));
    EXPECT_FALSE(rec.IsApplicable(6));

    // A montage for any headbox fits those that have all of its inputs:
    // type 6 has 16 inputs, type 5 has 32.
    CMontage any(0);
    CMontageChannel ch(L"X", 0);
    ch.SetFirstHalf(Half({{15, 1.0f}}));
    any.AddChannel(ch);
    EXPECT_TRUE(any.IsApplicable(6));
    CMontageChannel far(L"Y", 0);
    far.SetSecondHalf(Half({{16, 1.0f}}));
    any.AddChannel(far);
    EXPECT_FALSE(any.IsApplicable(6));
    EXPECT_TRUE(any.IsApplicable(5));
    for (int type : {0, 28, -1}) EXPECT_FALSE(any.IsApplicable(type)) << type;
    EXPECT_FALSE(CMontage(5).IsApplicable(5)) << "an empty montage fits nothing";
    CMontage damaged = rec;
    damaged.GetChannel(0)->SetSecondHalf(Half({{32, 1.0f}}));
    EXPECT_FALSE(damaged.IsApplicable(5)) << "headbox 5 has no input 32";
    EXPECT_TRUE(Half({{31, 1.0f}, {0, 1.0f}}).IsValid(32));
    EXPECT_FALSE(Half({{0, 1.0f}, {32, 1.0f}}).IsValid(32)) << "a limit of 32 ends at input 31";
}

TEST(Montage, MontagingEqualityComparesDerivationsOnly) {
    const CMontage base = Sample();
    using Edit = std::function<void(CMontage&)>;
    struct Case { const char* what; Edit edit; bool equal; };
    std::vector<Case> cases = {
        {"unchanged", [](CMontage&) {}, true},
        {"renamed", [](CMontage& m) { m.SetMontageName(L"x"); m.GetChannel(0)->SetName(L"y"); }, true},
        {"display type", [](CMontage& m) { m.GetChannel(1)->SetDisplayType(7); }, true},
        {"input names", [](CMontage& m) { m.SetInputNames({}); }, true},
        {"coefficient", [](CMontage& m) { m.GetChannel(1)->SetSecondHalf(Half({{2, -0.25f}})); }, false},
        {"input", [](CMontage& m) { m.GetChannel(1)->SetSecondHalf(Half({{3, -0.5f}})); }, false},
        {"half removed", [](CMontage& m) { m.GetChannel(0)->ClearSecondHalf(); }, false},
        {"half added", [](CMontage& m) { m.GetChannel(2)->SetFirstHalf(Half({{4, 1.0f}})); }, false},
        {"extra channel", [](CMontage& m) { m.AddChannel(*m.GetChannel(0)); }, false},
        {"order", [](CMontage& m) { std::swap(*m.GetChannel(0), *m.GetChannel(1)); }, false},
    };
    for (auto& c : cases) {
        CMontage m = base;
        c.edit(m);
        EXPECT_EQ(base.IsMontagingEqual(m), c.equal) << c.what;
        EXPECT_EQ(m.IsMontagingEqual(base), c.equal) << c.what;
    }
}

} // namespace

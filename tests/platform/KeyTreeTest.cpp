#include "platform/KeyTree.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

#include <sys/stat.h>

#include "platform/Crc32.h"
#include "support/TempDir.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Image(const CItem& item) {
    Bytes b(item.GetBinarizeSize());
    if (b.empty() || item.Binarize(b.data(), b.size()) != b.size()) return {};
    return b;
}

void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

// File image around a hand-made body, with a correct checksum.
Bytes FileImage(const Bytes& body, uint16_t version = 1) {
    Bytes b = {0x89, 'S', 'K', 'T', 'R', 0x0D, 0x0A, 0x1A, uint8_t(version), uint8_t(version >> 8), 0, 0};
    Put32(b, sk::Crc32(body.data(), body.size()));
    Put32(b, uint32_t(body.size()));
    Put32(b, 0);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

// A tree holding every item kind, hostile texts included.
CKeyTree SampleTree() {
    CKeyTree t;
    t.AddKey(L"Text", L"plain");
    t.AddKey(L"Empty", L"");
    t.AddKey(L"Umlaut", L"Müller Ω ж 名前");
    t.AddKey(L"Astral", std::wstring(L"a\U0001F600b\U0010FFFF"));
    t.AddKey(L"Nul", std::wstring(L"x\0y", 3));
    t.AddKey(L"Int", int32_t(std::numeric_limits<int32_t>::min()));
    t.AddKey(L"Long", int64_t(std::numeric_limits<int64_t>::min()));
    t.AddKey(L"Real", 0.1);
    t.AddKey(L"NegZero", -0.0);
    t.AddKey(L"Denormal", std::numeric_limits<double>::denorm_min());
    t.AddKey(L"Inf", -std::numeric_limits<double>::infinity());
    t.AddKey(L"NaN", std::numeric_limits<double>::quiet_NaN());
    t.AddKey(L"User", new CLuser(Bytes{0x00, 0xFF, 0x10}));
    t.AddKey(L"NoBytes", new CLuser());
    auto* list = new CItemList;
    list->Append(new CLinteger(7));
    list->Append(new CLstring(L"\"quoted\"\n\\"));
    list->Append(new CItemList);
    t.AddKey(L"List", list);
    t.AddKey(L"Montage.Channels.Count", int32_t(19));
    t.AddKey(L"Montage.Name", L"Bipolar");
    t.AddKey(L"Montage.EmptyTree", new CKeyTree);
    t.AddKey(L"Dup", int32_t(1));
    t.AddKey(L"Dup", int32_t(2));
    return t;
}

TEST(KeyTree, EveryKindSurvivesBinaryAndTextRoundTrips) {
    const CKeyTree t = SampleTree();
    const Bytes img = Image(t);
    ASSERT_FALSE(img.empty());

    CKeyTree back;
    ASSERT_NE(back.Unbinarize(img.data(), img.size()), 0);
    EXPECT_TRUE(back.IsEqual(t));
    EXPECT_EQ(Image(back), img);
    EXPECT_TRUE(std::signbit(RealOf(back.GetAt(L"NegZero"), 1)));
    EXPECT_EQ(back.GetAt(L"Long")->Kind(), ItemKind::LongLong);
    EXPECT_EQ(IntOf(back.GetAt(L"Dup"), 0), 1);

    const auto generic = CItem::FromBinary(img.data(), img.size());
    EXPECT_TRUE(generic && generic->IsEqual(t));
    CKeyTree fromText;
    EXPECT_TRUE(fromText.FromString(t.ToString()) && fromText.IsEqual(t)) << t.ToString();

    // Every child also round-trips alone as an item image, which an item of
    // another kind refuses.
    for (int i = 0; i < t.GetCount(); ++i) {
        const CItem& child = *t.GetChild(i);
        const Bytes ci = Image(child);
        auto item = CItem::FromBinary(ci.data(), ci.size());
        ASSERT_TRUE(item && item->IsEqual(child)) << i;
        std::unique_ptr<CItem> same(child.Duplicate());
        EXPECT_TRUE(same->FromString(child.ToString()) && same->IsEqual(child)) << i;
        CLinteger target(99);
        EXPECT_EQ(target.Unbinarize(ci.data(), ci.size()) != 0, child.Kind() == ItemKind::Integer) << i;
        EXPECT_TRUE(child.Kind() == ItemKind::Integer || target.Value() == 99) << i;
    }
}

TEST(KeyTree, ImageMatchesTheDocumentedLayout) {
    CKeyTree t;
    t.AddKey(L"A", int32_t(-2));
    t.AddKey(L"\u00E9", std::wstring(L"\U0001F600"));
    const Bytes body = {7,    2, 0, 0, 0,                            // tree, 2 entries
                        1,    0, 0, 0, 'A', 0,                       // name "A"
                        2,    0xFE, 0xFF, 0xFF, 0xFF,                // int32 -2
                        1,    0, 0, 0, 0xE9, 0,                      // name "é"
                        1,    2, 0, 0, 0, 0x3D, 0xD8, 0x00, 0xDE};  // string, surrogate pair
    const Bytes img = Image(t);
    EXPECT_EQ(img, FileImage(body));
    // The worked example of the format description, checksum included.
    ASSERT_EQ(img.size(), 24u + body.size());
    EXPECT_EQ(Bytes(img.begin() + 12, img.begin() + 16), (Bytes{0x90, 0x3F, 0xB2, 0x6B}));
}

TEST(KeyTree, DottedPathsCreateWalkAndReplace) {
    CKeyTree t;
    EXPECT_TRUE(t.AddKey(L"Samples.Frequency", int32_t(256)));
    EXPECT_TRUE(t.AddKey(L"Samples.Count", int64_t(1) << 40));
    EXPECT_EQ(t.GetCount(), 1);
    EXPECT_EQ(IntOf(t.GetAt(L"Samples.Frequency"), 0), 256);
    EXPECT_EQ(t.GetAt(L"Samples.Frequency.X"), nullptr); // through a non-tree
    EXPECT_EQ(t.GetAt(L"Samples.Missing"), nullptr);
    EXPECT_EQ(t.GetAt(L"Samples."), nullptr);

    // Paths with empty steps or through a value fail, and the item is freed.
    for (const wchar_t* bad : {L"", L".", L"a..b", L".a", L"a."}) EXPECT_FALSE(t.AddKey(bad, new CLinteger(1))) << bad;
    EXPECT_FALSE(t.AddKey(L"Samples.Frequency.Sub", int32_t(1)));
    EXPECT_EQ(t.GetCount(), 1);

    // SetAt replaces whatever kind stood there, in place.
    EXPECT_TRUE(t.SetAt(L"Samples.Frequency", L"fast"));
    EXPECT_EQ(AsCStr(t.GetAt(L"Samples.Frequency"), L""), L"fast");
    EXPECT_EQ(t.GetKeyName(0), L"Samples");
    EXPECT_EQ(AsKeyTree(t.GetAt(L"Samples"))->GetKeyName(0), L"Frequency");
    // A value in the way of SetAt becomes a tree at the same position.
    EXPECT_TRUE(t.SetAt(L"Samples.Frequency.Hz", 512.0));
    EXPECT_EQ(RealOf(t.GetAt(L"Samples.Frequency.Hz"), 0), 512.0);
    EXPECT_EQ(AsKeyTree(t.GetAt(L"Samples"))->GetKeyName(0), L"Frequency");
    // Setting an item to itself keeps it.
    EXPECT_TRUE(t.SetAt(L"Samples.Count", t.GetAt(L"Samples.Count")));
    EXPECT_EQ(LongLongOf(t.GetAt(L"Samples.Count"), 0), int64_t(1) << 40);

    EXPECT_TRUE(t.DeleteKey(L"Samples.Frequency.Hz"));
    EXPECT_FALSE(t.DeleteKey(L"Samples.Frequency.Hz"));
    EXPECT_FALSE(t.DeleteKey(L"Nope.X"));
    EXPECT_EQ(AsKeyTree(t.GetAt(L"Samples.Frequency"))->GetCount(), 0);
}

TEST(KeyTree, TypedReadsConvertOnlyExactValues) {
    struct Case { CItem* item; int32_t asInt; int64_t asLong; double asReal; } cases[] = {
        {new CLinteger(-5), -5, -5, -5.0},
        {new CLlonglong(int64_t(INT32_MAX)), INT32_MAX, INT32_MAX, 2147483647.0},
        {new CLlonglong(int64_t(INT32_MAX) + 1), -1, int64_t(INT32_MAX) + 1, 2147483648.0},
        {new CLlonglong(INT64_MIN), -1, INT64_MIN, -9223372036854775808.0},
        {new CLreal(3.0), 3, 3, 3.0},
        {new CLreal(3.5), -1, -1, 3.5},
        {new CLreal(-2147483648.0), INT32_MIN, INT32_MIN, -2147483648.0},
        {new CLreal(2147483648.0), -1, 2147483648LL, 2147483648.0},
        {new CLreal(9223372036854775808.0), -1, -1, 9223372036854775808.0},
        {new CLreal(std::nan("")), -1, -1, std::nan("")},
        {new CLstring(L"12"), -1, -1, -1.0},
        {new CLuser(Bytes{1}), -1, -1, -1.0},
        {new CKeyTree, -1, -1, -1.0},
        {nullptr, -1, -1, -1.0},
    };
    for (const auto& c : cases) {
        std::unique_ptr<CItem> owned(c.item);
        const std::wstring what = c.item ? c.item->ToString() : L"null";
        EXPECT_EQ(IntOf(c.item, -1), c.asInt) << what;
        EXPECT_EQ(LongLongOf(c.item, -1), c.asLong) << what;
        const double r = RealOf(c.item, -1.0);
        EXPECT_TRUE(r == c.asReal || (std::isnan(r) && std::isnan(c.asReal))) << what;
    }
}

TEST(KeyTree, EveryTruncationAndHeaderCorruptionFailsCleanly) {
    const CKeyTree sample = SampleTree();
    const Bytes img = Image(sample);
    CKeyTree t;
    t.AddKey(L"Keep", int32_t(42));
    const CKeyTree before(t);
    for (size_t len = 0; len < img.size(); ++len) {
        EXPECT_EQ(t.Unbinarize(img.data(), len), 0) << len;
        EXPECT_EQ(CItem::FromBinary(img.data(), len), nullptr) << len;
        // The body alone (an item image) truncated.
        EXPECT_TRUE(len <= 24 || CItem::FromBinary(img.data() + 24, len - 24) == nullptr) << len;
    }
    for (size_t i = 0; i < img.size(); ++i) {
        Bytes bad = img;
        bad[i] ^= 0x40;
        EXPECT_EQ(t.Unbinarize(bad.data(), bad.size()), 0) << "flip at " << i;
    }
    Bytes longer = img;
    longer.push_back(0);
    EXPECT_EQ(t.Unbinarize(longer.data(), longer.size()), 0);
    EXPECT_EQ(t.Unbinarize(nullptr, 10), 0);
    EXPECT_TRUE(t.IsEqual(before));
}

// A tree holding lists (or trees) nested `depth` deep, each with one entry.
Bytes Nested(int depth, bool trees = false) {
    Bytes body;
    for (int i = 0; i < depth; ++i) {
        body.push_back(i == 0 || trees ? 7 : 6);
        Put32(body, i + 1 < depth ? 1 : 0);
        if (i + 1 < depth && (i == 0 || trees))
            Put32(body, 0); // the tree entry's empty name
    }
    return body;
}

TEST(KeyTree, HostileBodiesWithValidChecksumsFail) {
    struct Case { const char* what; Bytes body; bool ok; } cases[] = {
        {"empty tree", {7, 0, 0, 0, 0}, true},
        {"root not a tree", {2, 1, 0, 0, 0}, false},
        {"unknown kind", {7, 1, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 0}, false},
        {"kind zero", {7, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"absurd entry count", {7, 0xFF, 0xFF, 0xFF, 0xFF}, false},
        {"absurd list count", {7, 1, 0, 0, 0, 0, 0, 0, 0, 6, 0xFF, 0xFF, 0xFF, 0x7F}, false},
        {"absurd text length", {7, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 0}, false},
        {"absurd user length", {7, 1, 0, 0, 0, 0, 0, 0, 0, 5, 0xF0, 0xFF, 0xFF, 0xFF}, false},
        {"lone high surrogate", {7, 1, 0, 0, 0, 1, 0, 0, 0, 0x00, 0xD8, 1, 0, 0, 0, 0}, false},
        {"lone low surrogate", {7, 0, 0, 0, 0} /* replaced below */, false},
        {"high then non-low", {7, 1, 0, 0, 0, 2, 0, 0, 0, 0x00, 0xD8, 'a', 0, 1, 0, 0, 0, 0}, false},
        {"reversed pair", {7, 1, 0, 0, 0, 2, 0, 0, 0, 0x00, 0xDC, 0x00, 0xD8, 1, 0, 0, 0, 0}, false},
        {"nesting 64 deep", Nested(64), true},
        {"nesting 65 deep", Nested(65), false},
        {"nesting 100000 deep", Nested(100000), false},
        {"trees nested 64 deep", Nested(64, true), true},
        {"trees nested 65 deep", Nested(65, true), false},
    };
    cases[9].body = {7, 1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0x00, 0xDC};
    for (const auto& c : cases) {
        const Bytes img = FileImage(c.body);
        CKeyTree t;
        EXPECT_EQ(t.Unbinarize(img.data(), img.size()) != 0, c.ok) << c.what;
        EXPECT_EQ(CItem::FromBinary(img.data(), img.size()) != nullptr, c.ok) << c.what;
        CKeyTree plain; // the body alone, as an item image
        EXPECT_EQ(plain.Unbinarize(c.body.data(), c.body.size()) != 0, c.ok) << c.what;
    }
    const Bytes v2 = FileImage({7, 0, 0, 0, 0}, 2);
    CKeyTree t;
    EXPECT_EQ(t.Unbinarize(v2.data(), v2.size()), 0);
}

TEST(KeyTree, BinLoadReadsWhatBinSaveWroteAndRefusesBadFiles) {
    sk::test::TempDir dir("keytree");
    const CKeyTree t = SampleTree();
    const std::wstring path = dir.wpath() + L"/St\u00FCdy \u0436.EEG";
    ASSERT_NE(t.BinSave(path), 0);
    CKeyTree loaded;
    loaded.AddKey(L"Stale", int32_t(1));
    ASSERT_NE(loaded.BinLoad(path), 0);
    EXPECT_EQ(AsCStr(loaded.GetAt(L"FileName"), L""), path);
    loaded.DeleteKey(L"FileName");
    EXPECT_TRUE(loaded.IsEqual(t)) << "nothing stale kept";

    const Bytes img = Image(t);
    const auto write = [&](const char* name, const Bytes& b) {
        std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
        return (dir / name).wstring();
    };
    const std::wstring huge = (dir / "huge").wstring();
    { std::ofstream(dir / "huge").put('x'); }
    std::filesystem::resize_file(dir / "huge", sk::keytree::kMaxFileBytes + 1); // sparse
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);

    struct Case { std::wstring path; int err; } cases[] = {
        {(dir / "missing").wstring(), ENOENT},
        {dir.wpath(), EISDIR},
        {write("empty", {}), EINVAL},
        {write("truncated", Bytes(img.begin(), img.end() - 1)), EINVAL},
        {huge, EFBIG},
        {(dir / "fifo").wstring(), EINVAL},
    };
    CKeyTree target;
    target.AddKey(L"Keep", int32_t(1));
    const CKeyTree before(target);
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_EQ(target.BinLoad(c.path), 0) << c.path;
        EXPECT_EQ(errno, c.err) << c.path;
        EXPECT_TRUE(target.IsEqual(before));
    }
}

TEST(KeyTree, FailedSaveLeavesTheOldFile) {
    sk::test::TempDir dir("keytree");
    const std::wstring path = (dir / "t.exp").wstring();
    CKeyTree old, unwritable, back;
    old.AddKey(L"Version", int32_t(1));
    ASSERT_NE(old.BinSave(path), 0);
    old.SetAt(L"Version", int32_t(2));
    unwritable.AddKey(L"Bad", std::wstring(1, wchar_t(0xDC00)));
    EXPECT_EQ(unwritable.BinSave(path), 0);
    CKeyTree deep; // 65 levels: more than a reader accepts
    CKeyTree* node = &deep;
    for (int i = 0; i < sk::keytree::kMaxDepth; ++i) {
        auto* sub = new CKeyTree;
        node->AddKey(L"d", sub);
        node = sub;
    }
    EXPECT_EQ(deep.BinSave(path), 0);
    uint8_t buf[10];
    EXPECT_EQ(SampleTree().Binarize(buf, sizeof buf), 0u) << "a buffer too small";
    EXPECT_EQ(old.BinSave((dir / "no" / "such" / "t.exp").wstring()), 0);
    std::filesystem::create_directory(dir / "folder.exp");
    EXPECT_EQ(old.BinSave((dir / "folder.exp").wstring()), 0); // rename over a folder fails late
    ASSERT_NE(back.BinLoad(path), 0);
    EXPECT_EQ(IntOf(back.GetAt(L"Version"), 0), 1);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2); // no temp files
}

} // namespace

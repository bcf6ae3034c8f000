// Table-of-contents and segment lookups at their edges, and untrusted files:
// truncated or corrupted study files must fail cleanly with a readable error.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

#include "platform/recording/DataProducer.h"
#include "platform/recording/EegStudyFile.h"
#include "platform/recording/NoteManager.h"
#include "platform/recording/NoteWriter.h"
#include "platform/recording/SampleFrame.h"
#include "platform/recording/SegmentWriter.h"
#include "platform/recording/StagingFile.h"
#include "platform/recording/StcFile.h"
#include "platform/recording/StudyFormat.h"
#include "platform/recording/TocFile.h"
#include "support/TempDir.h"
#include "tools/simulator/StudySimulator.h"

using namespace sk::sim;

namespace {

std::vector<char> ReadAll(const std::filesystem::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(f), {});
}

void WriteAll(const std::filesystem::path& p, const std::vector<char>& d)
{
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(d.data(), static_cast<std::streamsize>(d.size()));
}

// A segment of three entries: stamps 100..149, gap, 300..349, 350..359 (entry
// limit 50) at decimation 1.
class TocLookup : public ::testing::Test {
protected:
    void SetUp() override
    {
        sk::rec::RawFileInfo info;
        info.channelCount = 2;
        sk::rec::SegmentWriter w;
        ASSERT_TRUE(w.Create((dir.path() / "seg").wstring(), info));
        w.SetLimits(50, 16);
        int32_t v[2] = {1, -1};
        for (int64_t s = 100; s < 150; ++s) ASSERT_TRUE(w.Append(s, 0, v));
        for (int64_t s = 300; s < 360; ++s) ASSERT_TRUE(w.Append(s, 0, v));
        EXPECT_FALSE(w.Append(359, 0, v)); // stamps must increase
        ASSERT_TRUE(w.Finish());
        CEegFileException ex;
        ASSERT_EQ(toc.Open((dir.path() / "seg.ETC").wstring(), 0x40, &ex), 1);
    }
    sk::test::TempDir dir{"toc"};
    CTocFile toc;
};

TEST_F(TocLookup, FindAndUpperBoundAtTheEdges)
{
    ASSERT_EQ(toc.GetEntryCount(), 3);
    EXPECT_EQ(toc.GetStartStamp(), 100);
    EXPECT_EQ(toc.GetEndStamp(), 359);
    EXPECT_EQ(toc.GetRecordingSampleNum(), 110);
    EXPECT_EQ(toc.GetEntry(1).m_flags & kTocFlagAfterGap, kTocFlagAfterGap);
    EXPECT_EQ(toc.GetEntry(2).m_flags & kTocFlagAfterGap, 0);

    struct Row { int64_t stamp; int64_t find; int64_t upper; };
    const Row rows[] = {
        {-1, 100, 100},          // first entry for both
        {0, -1, 100},            // before the recording
        {100, 100, 100},         // first stamp of an entry
        {149, 100, 100},         // last stamp of an entry
        {150, -1, 300},          // first stamp of the gap
        {299, -1, 300},          // last stamp of the gap
        {349, 300, 300},
        {350, 350, 350},         // entry boundary without a gap
        {359, 350, 350},         // last stamp
        {360, -1, -1},           // past the end
        {kTocEndSentinel, 350, -1},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(toc.FindTocEntry(r.stamp).m_stamp, r.find) << r.stamp;
        EXPECT_EQ(toc.FindTocEntryUpperBound(r.stamp).m_stamp, r.upper) << r.stamp;
    }
}

TEST_F(TocLookup, NextEntryFollowsTheLastFoundEntry)
{
    TOC_ENTRY e = toc.FindTocEntry(kTocEndSentinel);
    EXPECT_EQ(toc.NextTocEntry(&e), 0);
    EXPECT_EQ(e.m_stamp, 350); // untouched at the end
    e = toc.FindTocEntryUpperBound(200);
    ASSERT_EQ(toc.NextTocEntry(&e), 1);
    EXPECT_EQ(e.m_stamp, 350);
    e = toc.FindTocEntry(-1);
    ASSERT_EQ(toc.NextTocEntry(&e), 1);
    EXPECT_EQ(e.m_stamp, 300);
    // A lookup that finds nothing leaves the cursor where it was.
    EXPECT_EQ(toc.FindTocEntry(200).m_stamp, -1);
    ASSERT_EQ(toc.NextTocEntry(&e), 1);
    EXPECT_EQ(e.m_stamp, 350);
}

TEST_F(TocLookup, ProducerRestartsAtAnyEntryAfterASeek)
{
    CRawDataFile raw;
    ASSERT_EQ(raw.Open((dir.path() / "seg.ERD").wstring(), 0x40), 1);
    const CRawDataHeader* h = raw.GetRawHeader();
    CDataProducer* p = CDataProducer::CreateDataProducer(h->m_schema, h->m_frameWord, &raw);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(p->Init(h->m_channelCount, h->m_schema, h->m_decimation, h->m_sampleFreq), 1);
    std::vector<uint8_t> f(frame::kFrameSize), prev(frame::kFrameSize);
    for (int entry : {2, 0, 1}) {
        raw.Seek(toc.GetEntry(entry).DataOffset(), 0);
        for (int i = 0; i < toc.GetEntry(entry).m_sampleCount; ++i) {
            ASSERT_EQ(p->ReadSample(&raw, f.data(), prev.data()), 1);
            EXPECT_EQ(frame::Value(f.data(), 0), 1);
            EXPECT_EQ(frame::Value(f.data(), 1), -1);
        }
    }
    EXPECT_EQ(p->ReadSample(&raw, f.data(), prev.data()), 1); // entry 2 follows entry 1
    p->Release();
    EXPECT_EQ(CDataProducer::CreateDataProducer(7, 0, &raw), nullptr);
}

TEST(Producer, ReadsAheadInsteadOfOneSystemCallPerSample)
{
    for (uint16_t schema : {uint16_t(1), uint16_t(2)}) {
        sk::test::TempDir dir("ahead");
        SimOptions o;
        o.folder = dir.path();
        o.durationSeconds = 40;
        o.schema = schema;
        o.notes = false;
        const SimResult r = SimulateStudy(o);
        ASSERT_TRUE(r.ok);
        CRawDataFile raw;
        ASSERT_EQ(raw.Open(r.erdFiles[0].wstring(), 0x40), 1);
        const CRawDataHeader* h = raw.GetRawHeader();
        CDataProducer* p = CDataProducer::CreateDataProducer(h->m_schema, h->m_frameWord, &raw);
        ASSERT_EQ(p->Init(h->m_channelCount, h->m_schema, 1, h->m_sampleFreq), 1);
        raw.Seek(sk::rec::kErdHeaderSize, 0);
        const uint64_t before = raw.GetReadCalls();
        std::vector<uint8_t> f(frame::kFrameSize), prev(frame::kFrameSize);
        int64_t n = 0;
        while (p->ReadSample(&raw, f.data(), prev.data()) == 1) ++n;
        p->Release();
        EXPECT_EQ(n, r.totalSamples);
        EXPECT_LT(raw.GetReadCalls() - before, static_cast<uint64_t>(n / 200)) << "schema " << schema;
    }
}

TEST(SegmentTable, WalksSegmentsUntilANegativeNumber)
{
    sk::test::TempDir dir("stc");
    SimOptions o;
    o.folder = dir.path();
    o.durationSeconds = 9;
    o.sampleRate = 100;
    o.gaps = {{3, 1, true}, {6, 2, true}};
    o.notes = false;
    const SimResult r = SimulateStudy(o);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.etcFiles.size(), 3u);
    CStcFile stc;
    ASSERT_EQ(stc.Open(r.stcFile.wstring(), 0x40), 1);
    std::vector<std::wstring> names;
    STC_ENTRY e = stc.FindStcEntry(-1);
    for (; e.m_number >= 0; stc.NextStcEntry(&e)) names.push_back(e.m_name);
    EXPECT_EQ(names, (std::vector<std::wstring>{o.studyName, o.studyName + L"_002", o.studyName + L"_003"}));
    EXPECT_EQ(stc.NextStcEntry(&e), 0);
    EXPECT_LT(e.m_number, 0);
    EXPECT_EQ(stc.GetStartStamp(), o.startStamp);
    EXPECT_EQ(stc.GetEndStamp(), o.startStamp + 900 + 100 + 200 - 1);
    EXPECT_EQ(stc.GetRecordingSampleNum(), 900);
    // Inside the gap before segment 3 the next segment is found.
    EXPECT_EQ(stc.FindStcEntry(o.startStamp + 700).m_number, o.startStamp + 900);
    EXPECT_EQ(stc.FindStcEntry(o.startStamp + 5000).m_number, -1);
}

// ---------------------------------------------------------------- bad files

struct Study {
    sk::test::TempDir dir{"bad"};
    SimResult r;
    Study()
    {
        SimOptions o;
        o.folder = dir.path();
        o.durationSeconds = 4;
        o.sampleRate = 64;
        o.studyGroup = 2;
        o.epochSeconds = 1;
        o.maxEntrySamples = 100;
        o.gaps = {{2, 1, false}};
        r = SimulateStudy(o);
    }
};

enum class Kind { Etc, Stc, Erd, Ent, Epo, Eeg };

// Opens a file of the kind; returns the error text (empty on success).
std::wstring OpenKind(Kind k, const std::filesystem::path& p)
{
    CEegFileException ex;
    int ok = 0;
    switch (k) {
    case Kind::Etc: { CTocFile f; ok = f.Open(p.wstring(), 0x40, &ex); break; }
    case Kind::Stc: { CStcFile f; ok = f.Open(p.wstring(), 0x40, &ex); break; }
    case Kind::Erd: { CRawDataFile f; ok = f.Open(p.wstring(), 0x40, &ex); break; }
    case Kind::Ent: { CNoteManager m; m.setPath(p.wstring()); ok = m.Load(&ex); break; }
    case Kind::Epo: { CStagingFile s; ok = s.Open(p.wstring(), &ex); break; }
    case Kind::Eeg: { CKeyTree t; ok = CEegStudyFile::Load(p.wstring(), t, &ex); break; }
    }
    if (ok) return L"";
    EXPECT_NE(ex.GetErrorCode(), 0);
    return ex.GetErrorText().empty() ? L"(no text)" : ex.GetErrorText();
}

std::filesystem::path PathOf(const Study& s, Kind k)
{
    switch (k) {
    case Kind::Etc: return s.r.etcFiles[0];
    case Kind::Stc: return s.r.stcFile;
    case Kind::Erd: return s.r.erdFiles[0];
    case Kind::Ent: return s.r.entFile;
    case Kind::Epo: return s.r.epoFile;
    case Kind::Eeg: return s.r.eegFile;
    }
    return {};
}

TEST(BadFiles, TruncatedFilesFailWithAReadableError)
{
    Study s;
    ASSERT_TRUE(s.r.ok);
    const Kind kinds[] = {Kind::Etc, Kind::Stc, Kind::Erd, Kind::Ent, Kind::Epo, Kind::Eeg};
    for (Kind k : kinds) {
        const auto path = PathOf(s, k);
        const auto good = ReadAll(path);
        ASSERT_EQ(OpenKind(k, path), L"") << static_cast<int>(k);
        // Every cut inside the header region and a spread of cuts across the body.
        std::vector<size_t> cuts;
        for (size_t n = 0; n < std::min<size_t>(good.size(), 80); ++n) cuts.push_back(n);
        for (size_t n = 80; n < good.size(); n += good.size() / 29 + 1) cuts.push_back(n);
        cuts.push_back(good.size() - 1);
        for (size_t n : cuts) {
            if (k == Kind::Erd && n >= sk::rec::kErdHeaderSize) continue; // body checked by the producer
            WriteAll(path, std::vector<char>(good.begin(), good.begin() + static_cast<long>(n)));
            const std::wstring err = OpenKind(k, path);
            EXPECT_FALSE(err.empty()) << "kind " << static_cast<int>(k) << " cut at " << n;
            if (n > 0 && k != Kind::Eeg) {
                EXPECT_NE(err.find(path.filename().wstring()), std::wstring::npos);
            }
        }
        // Trailing garbage is rejected as well (except by the raw data header).
        auto longer = good;
        longer.push_back('x');
        WriteAll(path, longer);
        if (k != Kind::Erd) {
            EXPECT_FALSE(OpenKind(k, path).empty()) << static_cast<int>(k);
        }
        WriteAll(path, good);
    }
    EXPECT_FALSE(OpenKind(Kind::Etc, s.dir.path() / "missing.ETC").empty());
}

TEST(BadFiles, FlippedBytesAreCaughtByChecksumsOrStructure)
{
    Study s;
    ASSERT_TRUE(s.r.ok);
    const Kind kinds[] = {Kind::Etc, Kind::Stc, Kind::Erd, Kind::Ent, Kind::Epo};
    for (Kind k : kinds) {
        const auto path = PathOf(s, k);
        const auto good = ReadAll(path);
        const size_t limit = k == Kind::Erd ? sk::rec::kErdHeaderSize : good.size();
        for (size_t i = 0; i < limit; i += std::max<size_t>(1, limit / 120)) {
            auto bad = good;
            bad[i] = static_cast<char>(bad[i] ^ 0x10);
            WriteAll(path, bad);
            EXPECT_FALSE(OpenKind(k, path).empty()) << "kind " << static_cast<int>(k) << " byte " << i;
        }
        WriteAll(path, good);
    }
}

TEST(BadFiles, CorruptOrTruncatedSampleDataStopsTheProducer)
{
    for (uint16_t schema : {uint16_t(1), uint16_t(2)}) {
        sk::test::TempDir dir("erd");
        SimOptions o;
        o.folder = dir.path();
        o.durationSeconds = 3;
        o.sampleRate = 100;
        o.schema = schema;
        o.notes = false;
        const SimResult r = SimulateStudy(o);
        ASSERT_TRUE(r.ok);
        const auto good = ReadAll(r.erdFiles[0]);
        struct Damage { const char* what; size_t at; bool truncate; };
        const Damage damages[] = {{"cut mid-data", good.size() / 2 + 3, true},
                                  {"cut one byte short", good.size() - 1, true},
                                  {"flipped byte", good.size() / 2, false}};
        for (const Damage& d : damages) {
            auto bad = good;
            if (d.truncate) bad.resize(d.at);
            else bad[d.at] = static_cast<char>(bad[d.at] ^ 0x40);
            WriteAll(r.erdFiles[0], bad);
            CRawDataFile raw;
            ASSERT_EQ(raw.Open(r.erdFiles[0].wstring(), 0x40), 1);
            const CRawDataHeader* h = raw.GetRawHeader();
            CDataProducer* p = CDataProducer::CreateDataProducer(h->m_schema, h->m_frameWord, &raw);
            ASSERT_EQ(p->Init(h->m_channelCount, h->m_schema, 1, h->m_sampleFreq), 1);
            raw.Seek(sk::rec::kErdHeaderSize, 0);
            std::vector<uint8_t> f(frame::kFrameSize), prev(frame::kFrameSize);
            int64_t n = 0;
            while (p->ReadSample(&raw, f.data(), prev.data()) == 1) ++n;
            // Plain data cannot see a flipped value byte; every other damage stops reading early.
            if (!(schema == 1 && !d.truncate)) {
                EXPECT_LT(n, r.totalSamples) << d.what << " schema " << schema;
                EXPECT_FALSE(p->GetErrorText().empty()) << d.what << " schema " << schema;
                EXPECT_EQ(frame::Flags(f.data()) & frame::kFlagNoData, frame::kFlagNoData);
            }
            p->Release();
        }
    }
}

TEST(BadFiles, AbsurdCountsAreRejectedBeforeAllocating)
{
    sk::test::TempDir dir("absurd");
    // A header-only notes file that announces four billion notes.
    std::vector<char> ent(sk::rec::kEntHeaderSize, 0);
    auto* h = reinterpret_cast<uint8_t*>(ent.data());
    std::memcpy(h, sk::rec::kEntMagic, 4);
    sk::rec::PutU16(h + 4, 1);
    sk::rec::PutU16(h + 6, sk::rec::kEntHeaderSize);
    sk::rec::PutU32(h + 8, 0xFFFFFFFFu);
    sk::rec::PutU32(h + 12, sk::rec::Crc32(h, 12));
    WriteAll(dir / "x.ENT", ent);
    EXPECT_NE(OpenKind(Kind::Ent, dir / "x.ENT").find(L"truncated"), std::wstring::npos);
    // Same for a table of contents.
    std::vector<char> etc(sk::rec::kEtcHeaderSize, 0);
    h = reinterpret_cast<uint8_t*>(etc.data());
    std::memcpy(h, sk::rec::kEtcMagic, 4);
    sk::rec::PutU16(h + 4, 1);
    sk::rec::PutU16(h + 6, sk::rec::kEtcHeaderSize);
    sk::rec::PutU32(h + 8, 0x7FFFFFFFu);
    sk::rec::PutU16(h + 12, 1);
    sk::rec::PutU32(h + 28, sk::rec::Crc32(h, 28));
    WriteAll(dir / "x.ETC", etc);
    EXPECT_NE(OpenKind(Kind::Etc, dir / "x.ETC").find(L"truncated"), std::wstring::npos);
}

// Files whose checksums are right but whose layout is not: the readers check
// the layout itself, not only the bytes.
TEST(BadFiles, ConsistentChecksumsDoNotHideABrokenLayout)
{
    sk::test::TempDir dir("layout");
    SimOptions o;
    o.folder = dir.path();
    o.durationSeconds = 6;
    o.sampleRate = 64;
    o.maxEntrySamples = 100; // several entries per table of contents
    o.gaps = {{2, 1, true}};  // two segments
    o.notes = false;
    const SimResult r = SimulateStudy(o);
    ASSERT_TRUE(r.ok);
    using namespace sk::rec;
    auto u8 = [](std::vector<char>& b, size_t at) { return reinterpret_cast<uint8_t*>(b.data() + at); };
    struct Edit {
        const char* what;
        std::filesystem::path file;
        std::function<void(std::vector<char>&)> apply;
    };
    const Edit edits[] = {
        {"second entry starts on the first one's last stamp", r.etcFiles[0],
         [&](std::vector<char>& b) {
             uint8_t* e0 = u8(b, kEtcHeaderSize);
             uint8_t* e1 = e0 + kTocEntrySize;
             PutI64(e1 + 8, GetI64(e0 + 8) + GetI16(e0 + 24) - 1);
             PutU32(e1 + 28, Crc32(e1, 28));
         }},
        {"last entry's data leaves a hole after the previous entry's", r.etcFiles[0],
         [&](std::vector<char>& b) {
             uint8_t* last = u8(b, b.size() - kTocEntrySize);
             PutU32(last, GetU32(last) + 2);
             PutU32(last + 28, Crc32(last, 28));
         }},
        {"second segment starts on the first one's last stamp", r.stcFile,
         [&](std::vector<char>& b) {
             uint8_t* s0 = u8(b, kStcHeaderSize);
             uint8_t* s1 = s0 + kStcRecordSize;
             PutI64(s1 + 512, GetI64(s0 + 520));
             PutU32(s1 + 540, Crc32(s1, 540));
         }},
        {"last compressed block carries a byte after its samples", r.erdFiles[0],
         [&](std::vector<char>& b) {
             size_t at = kErdHeaderSize, last = at;
             for (; at < b.size(); at += kBlockHeaderSize + GetU32(u8(b, at + 8))) last = at;
             b.push_back(0);
             uint8_t* h = u8(b, last);
             PutU32(h + 8, GetU32(h + 8) + 1);
             PutU32(h + 12, Crc32(h + kBlockHeaderSize, GetU32(h + 8)));
         }},
    };
    for (const Edit& e : edits) {
        SCOPED_TRACE(e.what);
        const auto good = ReadAll(e.file);
        auto bad = good;
        e.apply(bad);
        WriteAll(e.file, bad);
        if (e.file.extension() == ".ERD") {
            CRawDataFile raw;
            ASSERT_EQ(raw.Open(e.file.wstring(), 0x40), 1);
            const CRawDataHeader* h = raw.GetRawHeader();
            CDataProducer* p = CDataProducer::CreateDataProducer(h->m_schema, h->m_frameWord, &raw);
            ASSERT_EQ(p->Init(h->m_channelCount, h->m_schema, 1, h->m_sampleFreq), 1);
            raw.Seek(kErdHeaderSize, 0);
            std::vector<uint8_t> f(frame::kFrameSize), prev(frame::kFrameSize);
            while (p->ReadSample(&raw, f.data(), prev.data()) == 1) {
            }
            EXPECT_FALSE(p->GetErrorText().empty());
            p->Release();
        } else {
            EXPECT_FALSE(OpenKind(e.file.extension() == ".STC" ? Kind::Stc : Kind::Etc, e.file).empty());
        }
        WriteAll(e.file, good);
    }
}

TEST(NoteIterator, WalksARangeInStartOrderWithAFilter)
{
    std::vector<CNote> notes;
    notes.emplace_back(L"c", L"", 30, -1, 0u);
    notes.emplace_back(L"a", L"", 10, -1, 0u);
    notes.emplace_back(L"b1", L"", 20, -1, CNote::kFlagDeleted);
    notes.emplace_back(L"b2", L"", 20, 25, 0u);
    std::string image;
    ASSERT_TRUE(sk::rec::NoteWriter::Serialize(notes, image));
    CNoteManager m;
    ASSERT_EQ(m.LoadFromMemory(reinterpret_cast<const uint8_t*>(image.data()), image.size()), 1);
    auto walk = [&](int64_t from, int64_t to, const CNoteFilter* f) {
        std::wstring s;
        for (CNoteMapIterator it(m, from, to, f); !it.IsEOF(); it.MoveNext()) s += it.GetCurrent()->GetText() + L" ";
        return s;
    };
    EXPECT_EQ(walk(-2147483648LL, kTocEndSentinel, nullptr), L"a b1 b2 c ");
    EXPECT_EQ(walk(20, 29, nullptr), L"b1 b2 ");
    struct NotSkipped : CNoteFilter {
        bool Accept(const CNote& n) const override { return !n.IsSkipped(); }
    } filter;
    EXPECT_EQ(walk(0, 100, &filter), L"a b2 c ");
    EXPECT_EQ(walk(31, 100, nullptr), L"");
}

// The fixed header check every reader shares reports the first fault in file
// order, so that a file of another kind is named as such and not as corrupt.
TEST(FileHeader, FirstFaultInFileOrder)
{
    using namespace sk::rec;
    const FileHeaderKind kind{kEtcMagic, 32, 28, L"short", L"magic", L"version", true, L"size", L"crc"};
    std::vector<uint8_t> good(32, 0);
    std::memcpy(good.data(), kEtcMagic, 4);
    PutU16(good.data() + 4, kFormatVersion);
    PutU16(good.data() + 6, 32);
    PutU32(good.data() + 28, Crc32(good.data(), 28));
    struct Case {
        const char* what;
        size_t offset; // byte changed (set to 0x77); 32 = none
        size_t available;
        int32_t code;
        std::wstring why;
    } cases[] = {
        {"intact", 32, 32, 0, L""},
        {"longer buffer", 32, 40, 0, L""},
        {"one byte short", 32, 31, kErrHandleEof, L"short"},
        {"magic", 1, 32, kErrInvalidData, L"magic"},
        {"version, found one shown", 4, 32, kErrInvalidData, L"version 119"},
        {"header size", 6, 32, kErrInvalidData, L"size"},
        {"checksummed byte", 20, 32, kErrInvalidData, L"crc"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> h = good;
        h.resize(std::max<size_t>(h.size(), c.available), 0);
        if (c.offset < 32) h[c.offset] = 0x77;
        int32_t code = -1;
        std::wstring why = L"stale";
        EXPECT_EQ(CheckFileHeader(h.data(), c.available, kind, code, why), c.code == 0) << c.what;
        EXPECT_EQ(code, c.code) << c.what;
        EXPECT_EQ(why, c.why) << c.what;
    }
    int32_t code = 0;
    std::wstring why;
    EXPECT_FALSE(CheckFileHeader(nullptr, 0, kind, code, why));
    EXPECT_EQ(code, kErrHandleEof);
    // A bad magic is named before a bad version.
    std::vector<uint8_t> both = good;
    both[0] = 'X';
    both[4] = 9;
    EXPECT_FALSE(CheckFileHeader(both.data(), both.size(), kind, code, why));
    EXPECT_EQ(why, L"magic");
}

} // namespace

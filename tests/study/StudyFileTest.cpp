// The study file readers: every sample the simulator writes comes back
// exactly, against the simulator's signal source; table-of-contents and
// segment lookups at their edges; and damaged or hostile files fail cleanly
// with a readable error.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <vector>

#include "platform/recording/DataProducer.h"
#include "platform/recording/EegStudyFile.h"
#include "platform/recording/NoteManager.h"
#include "platform/recording/SampleFrame.h"
#include "platform/recording/SegmentWriter.h"
#include "platform/recording/StagingFile.h"
#include "platform/recording/StcFile.h"
#include "platform/recording/StudyFormat.h"
#include "platform/recording/TocFile.h"
#include "support/TempDir.h"
#include "tools/simulator/StudySimulator.h"

using namespace sk::sim;
using namespace sk::rec;
namespace fs = std::filesystem;

namespace {

using Producer = std::unique_ptr<CDataProducer, decltype([](CDataProducer* p) { p->Release(); })>;

SimResult Sim(const sk::test::TempDir& dir, SimOptions o) {
    o.folder = dir.path();
    return SimulateStudy(o);
}

std::vector<char> ReadAll(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(f), {});
}

void WriteAll(const fs::path& p, const std::vector<char>& d) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(d.data(), static_cast<std::streamsize>(d.size()));
}

uint8_t* U8(std::vector<char>& b, size_t at) { return reinterpret_cast<uint8_t*>(b.data() + at); }

// A raw data file read from its first block to the end, as a reader that
// trusts no table of contents does.
struct ErdRead {
    int64_t samples = 0;
    std::wstring error;  // the producer's, empty at a clean end
    uint64_t calls = 0;  // read system calls
    uint8_t lastFlags = 0;
};

ErdRead ReadErd(const fs::path& path) {
    ErdRead r;
    CRawDataFile raw;
    if (raw.Open(path.wstring(), 0x40) != 1) {
        r.error = L"(does not open)";
        return r;
    }
    const CRawDataHeader* h = raw.GetRawHeader();
    Producer p(CDataProducer::CreateDataProducer(h->m_schema, h->m_frameWord, &raw));
    EXPECT_EQ(p->Init(h->m_channelCount, h->m_schema, 1, h->m_sampleFreq), 1);
    raw.Seek(kErdHeaderSize, 0);
    const uint64_t before = raw.GetReadCalls();
    std::vector<uint8_t> f(frame::kFrameSize), prev(frame::kFrameSize);
    while (p->ReadSample(&raw, f.data(), prev.data()) == 1)
        ++r.samples;
    r.calls = raw.GetReadCalls() - before;
    r.error = p->GetErrorText();
    r.lastFlags = frame::Flags(f.data());
    return r;
}

// ---------------------------------------------------------------- round trip

// (The study files' UTF-16 text: the platform's text conversion tests.)
TEST(StudyFormat, RunningCrc32) {
    EXPECT_EQ(Crc32("6789", 4, Crc32("12345", 5)), 0xCBF43926u); // continues a running CRC
}

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
int64_t VerifySegments(const fs::path& folder, const SimOptions& o, const SimSignal& sig, int decimation,
                       const std::vector<SimRun>& runs) {
    CStcFile stc;
    CEegFileException ex;
    if (!stc.Open((folder / (o.studyName + L".STC")).wstring(), CEegFile::modeRead | CEegFile::shareDenyNone, &ex)) {
        ADD_FAILURE() << "STC open failed";
        return 0;
    }
    // Expected stamps from the runs: every decimation-th stamp that fits.
    std::vector<int64_t> expected;
    for (const auto& r : runs)
        for (int64_t j = 0; j < r.samples / decimation; ++j)
            expected.push_back(r.firstStamp + j * decimation);
    EXPECT_EQ(stc.GetRecordingSampleNum(), static_cast<int64_t>(expected.size()));
    EXPECT_EQ(stc.GetStartStamp(), expected.front());
    EXPECT_EQ(stc.GetEndStamp(), expected.back() + decimation - 1);

    std::vector<uint8_t> frame(frame::kFrameSize), prev(frame::kFrameSize);
    size_t next = 0;
    for (STC_ENTRY seg = stc.FindStcEntry(-1); seg.m_number >= 0; stc.NextStcEntry(&seg)) {
        const std::wstring base = (folder / seg.m_name).wstring();
        CTocFile toc;
        CRawDataFile raw;
        if (!toc.Open(base + L".ETC", 0x40, &ex) || !raw.Open(base + L".ERD", 0x40, &ex)) {
            ADD_FAILURE() << "segment open failed";
            return static_cast<int64_t>(next);
        }
        const CRawDataHeader* h = raw.GetRawHeader();
        EXPECT_EQ(h->m_schema, o.schema);
        EXPECT_EQ(toc.GetDecimation(), decimation);
        Producer p(CDataProducer::CreateDataProducer(h->m_schema, h->m_frameWord, &raw));
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
                bool same = p->ReadSample(&raw, frame.data(), prev.data()) == 1 && next < expected.size() &&
                            expected[next] == stamp && frame::Flags(frame.data()) == sig.Flags(stamp);
                for (int c = 0; same && c < sig.channelCount(); ++c)
                    same = frame::Value(frame.data(), c) == sig.Value(c, stamp);
                if (!same) {
                    ADD_FAILURE() << "sample at stamp " << stamp << " differs";
                    return static_cast<int64_t>(next);
                }
                ++next;
                std::swap(frame, prev);
            }
        } while (toc.NextTocEntry(&e));
        // The data ends exactly where the table of contents says.
        EXPECT_EQ(p->ReadSample(&raw, frame.data(), prev.data()), 0);
        EXPECT_TRUE(p->GetErrorText().empty());
    }
    EXPECT_EQ(next, expected.size());
    return static_cast<int64_t>(next);
}

class RoundTrip : public ::testing::TestWithParam<Case> {};

// Every sample of every segment, raw and decimated, in every schema. (What
// the notes, staging, montage and study files hold comes back through the
// export tests, which compare it with the simulator's source.)
TEST_P(RoundTrip, EverySampleComesBack) {
    const Case& c = GetParam();
    sk::test::TempDir dir("sim");
    SimOptions o{.seed = static_cast<uint32_t>(7 + c.headbox), .headboxType = c.headbox, .breakouts = c.breakouts,
                 .sampleRate = c.rate, .durationSeconds = c.seconds, .schema = c.schema,
                 .studyGroup = c.headbox == 6 || c.headbox == 27 ? 2 : 1, .gaps = c.gaps, .decimation = c.decimation,
                 .maxEntrySamples = c.maxEntry, .maxBlockSamples = c.schema == 3 ? 300 : 100};
    o.folder = dir.path() / "study";
    const SimResult r = SimulateStudy(o);
    ASSERT_TRUE(r.ok) << std::string(r.error.begin(), r.error.end());
    SimSignal sig(o);
    ASSERT_TRUE(sig.ok());
    ASSERT_EQ(r.channelCount, sig.channelCount());

    EXPECT_EQ(VerifySegments(o.folder, o, sig, 1, r.runs), r.totalSamples);
    if (c.decimation > 1) {
        ASSERT_TRUE(fs::exists(r.decimatedFolder / (o.studyName + L".EEG")));
        EXPECT_GT(VerifySegments(r.decimatedFolder, o, sig, c.decimation, r.runs), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Studies, RoundTrip,
    ::testing::Values(Case{"PlainContiguous", 1, 1, 256.0, 20, {}, 0, 32767},
                      Case{"CompressedContiguousCalibrated", 3, 2, 256.0, 6, {}, 0, 32767},
                      Case{"GapInsideToc", 2, 3, 200.0, 30, {{10, 3, false}}, 0, 601},
                      Case{"GapBetweenSegments", 3, 1, 500.0, 12, {{4, 2.5, true}, {8, 0.01, false}}, 0, 1000},
                      Case{"FractionalRateDecimated", 4, 2, 255.9, 16, {{5, 1.3, true}}, 4, 1024},
                      Case{"SleepDecimatedPlain", 6, 1, 128.0, 200, {{50, 5, false}}, 2, 32767},
                      Case{"MultiBreakout", 20, 3, 100.0, 3, {}, 3, 64, 3},
                      Case{"OneBreakout", 20, 2, 50.0, 2, {}, 0, 32767, 1},
                      Case{"FullRange24", 24, 3, 256.0, 5, {}, 0, 32767},
                      Case{"Sleep27", 27, 2, 50.0, 4, {}, 0, 32767}),
    [](const auto& info) { return std::string(info.param.name); });

// The simulator refuses what it cannot write. (`skrivo simulate` names
// studies through SetPatientName; the command-line tests cover it.)
TEST(Simulator, RefusesImpossibleOptions) {
    sk::test::TempDir dir("sim");
    for (int hb : {0, 28})
        EXPECT_FALSE(Sim(dir, {.headboxType = hb}).ok) << hb;
    EXPECT_FALSE(Sim(dir, {.studyName = L"a/b"}).ok);
    EXPECT_FALSE(Sim(dir, {.studyName = L"ok", .schema = 9}).ok);
}

// ---------------------------------------------------------------- lookups

// A segment of three entries: stamps 100..149, gap, 300..349, 350..359 (entry
// limit 50) at decimation 1.
class TocLookup : public ::testing::Test {
protected:
    void SetUp() override {
        RawFileInfo info;
        info.channelCount = 2;
        SegmentWriter w;
        ASSERT_TRUE(w.Create((dir.path() / "seg").wstring(), info));
        w.SetLimits(50, 16);
        int32_t v[2] = {1, -1};
        for (int64_t s = 100; s < 150; ++s)
            ASSERT_TRUE(w.Append(s, 0, v));
        for (int64_t s = 300; s < 360; ++s)
            ASSERT_TRUE(w.Append(s, 0, v));
        EXPECT_FALSE(w.Append(359, 0, v)); // stamps must increase
        ASSERT_TRUE(w.Finish());
        CEegFileException ex;
        ASSERT_EQ(toc.Open((dir.path() / "seg.ETC").wstring(), 0x40, &ex), 1);
    }
    sk::test::TempDir dir{"toc"};
    CTocFile toc;
};

TEST_F(TocLookup, FindUpperBoundAndNext) {
    ASSERT_EQ(toc.GetEntryCount(), 3);
    EXPECT_EQ(toc.GetStartStamp(), 100);
    EXPECT_EQ(toc.GetEndStamp(), 359);
    EXPECT_EQ(toc.GetRecordingSampleNum(), 110);
    EXPECT_EQ(toc.GetEntry(1).m_flags & kTocFlagAfterGap, kTocFlagAfterGap);
    EXPECT_EQ(toc.GetEntry(2).m_flags & kTocFlagAfterGap, 0);
    struct Row { int64_t stamp, find, upper; } rows[] = {
        {-1, 100, 100},  // first entry for both
        {0, -1, 100},    // before the recording
        {100, 100, 100}, // first stamp of an entry
        {149, 100, 100}, // last stamp of an entry
        {150, -1, 300},  // first stamp of the gap
        {299, -1, 300},  // last stamp of the gap
        {349, 300, 300},
        {350, 350, 350}, // entry boundary without a gap
        {359, 350, 350}, // last stamp
        {360, -1, -1},   // past the end
        {kTocEndSentinel, 350, -1},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(toc.FindTocEntry(r.stamp).m_stamp, r.find) << r.stamp;
        EXPECT_EQ(toc.FindTocEntryUpperBound(r.stamp).m_stamp, r.upper) << r.stamp;
    }
    // Next follows the last entry found; a lookup that finds nothing leaves
    // the cursor where it was.
    TOC_ENTRY e = toc.FindTocEntry(kTocEndSentinel);
    EXPECT_EQ(toc.NextTocEntry(&e), 0);
    EXPECT_EQ(e.m_stamp, 350); // untouched at the end
    e = toc.FindTocEntryUpperBound(200);
    ASSERT_EQ(toc.NextTocEntry(&e), 1);
    EXPECT_EQ(e.m_stamp, 350);
    e = toc.FindTocEntry(-1);
    EXPECT_EQ(toc.FindTocEntry(200).m_stamp, -1);
    ASSERT_EQ(toc.NextTocEntry(&e), 1);
    EXPECT_EQ(e.m_stamp, 300);
}

TEST_F(TocLookup, ProducerRestartsAtAnyEntryAfterASeek) {
    CRawDataFile raw;
    ASSERT_EQ(raw.Open((dir.path() / "seg.ERD").wstring(), 0x40), 1);
    const CRawDataHeader* h = raw.GetRawHeader();
    Producer p(CDataProducer::CreateDataProducer(h->m_schema, h->m_frameWord, &raw));
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
    EXPECT_EQ(CDataProducer::CreateDataProducer(7, 0, &raw), nullptr);
}

TEST(Producer, ReadsAheadInsteadOfOneSystemCallPerSample) {
    for (uint16_t schema : {uint16_t(1), uint16_t(2), uint16_t(3)}) {
        sk::test::TempDir dir("ahead");
        const SimResult r = Sim(dir, {.durationSeconds = 40, .schema = schema, .notes = false});
        ASSERT_TRUE(r.ok);
        const ErdRead read = ReadErd(r.erdFiles[0]);
        EXPECT_EQ(read.samples, r.totalSamples);
        EXPECT_LT(read.calls, static_cast<uint64_t>(read.samples / 200)) << "schema " << schema;
    }
}

TEST(SegmentTable, WalksSegmentsUntilANegativeNumber) {
    sk::test::TempDir dir("stc");
    const SimOptions o{.sampleRate = 100, .durationSeconds = 9, .gaps = {{3, 1, true}, {6, 2, true}}, .notes = false};
    const SimResult r = Sim(dir, o);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.etcFiles.size(), 3u);
    CStcFile stc;
    ASSERT_EQ(stc.Open(r.stcFile.wstring(), 0x40), 1);
    std::vector<std::wstring> names;
    STC_ENTRY e = stc.FindStcEntry(-1);
    do
        names.push_back(e.m_name);
    while (stc.NextStcEntry(&e) == 1);
    EXPECT_EQ(names, (std::vector<std::wstring>{o.studyName, o.studyName + L"_002", o.studyName + L"_003"}));
    EXPECT_LT(e.m_number, 0);
    EXPECT_EQ(stc.NextStcEntry(&e), 0);
    EXPECT_EQ(stc.GetStartStamp(), o.startStamp);
    EXPECT_EQ(stc.GetEndStamp(), o.startStamp + 900 + 100 + 200 - 1);
    EXPECT_EQ(stc.GetRecordingSampleNum(), 900);
    // Inside the gap before segment 3 the next segment is found.
    EXPECT_EQ(stc.FindStcEntry(o.startStamp + 700).m_number, o.startStamp + 900);
    EXPECT_EQ(stc.FindStcEntry(o.startStamp + 5000).m_number, -1);
}

// ---------------------------------------------------------------- bad files

enum class Kind { Etc, Stc, Erd, Ent, Epo, Eeg };

// Opens a file of the kind; returns the error text (empty on success).
std::wstring OpenKind(Kind k, const fs::path& p) {
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
    if (ok)
        return L"";
    EXPECT_NE(ex.GetErrorCode(), 0);
    return ex.GetErrorText().empty() ? L"(no text)" : ex.GetErrorText();
}

// Every cut inside the header region and a spread of cuts across the body,
// a byte of trailing garbage, and flipped bytes (caught by checksums or
// structure) fail with an error that names the file. The raw data file's
// body is left to the producer.
TEST(BadFiles, DamagedFilesFailWithAReadableError) {
    sk::test::TempDir dir("bad");
    const SimResult r = Sim(dir, {.sampleRate = 64, .durationSeconds = 4, .studyGroup = 2, .epochSeconds = 1,
                                  .gaps = {{2, 1, false}}, .maxEntrySamples = 100});
    ASSERT_TRUE(r.ok);
    const std::pair<Kind, fs::path> files[] = {{Kind::Etc, r.etcFiles[0]}, {Kind::Stc, r.stcFile},
                                               {Kind::Erd, r.erdFiles[0]}, {Kind::Ent, r.entFile},
                                               {Kind::Epo, r.epoFile},     {Kind::Eeg, r.eegFile}};
    for (const auto& [k, path] : files) {
        SCOPED_TRACE(path.filename().string());
        const auto good = ReadAll(path);
        ASSERT_EQ(OpenKind(k, path), L"");
        const size_t body = k == Kind::Erd ? kErdHeaderSize : good.size();
        std::vector<size_t> cuts;
        for (size_t n = 0; n < std::min<size_t>(body, 80); ++n)
            cuts.push_back(n);
        for (size_t n = 80; n < body; n += good.size() / 29 + 1)
            cuts.push_back(n);
        if (k != Kind::Erd)
            cuts.push_back(good.size() - 1);
        for (size_t n : cuts) {
            WriteAll(path, std::vector<char>(good.begin(), good.begin() + static_cast<long>(n)));
            const std::wstring err = OpenKind(k, path);
            EXPECT_FALSE(err.empty()) << "cut at " << n;
            if (n > 0 && k != Kind::Eeg) {
                EXPECT_NE(err.find(path.filename().wstring()), std::wstring::npos);
            }
        }
        auto longer = good;
        longer.push_back('x');
        WriteAll(path, longer);
        EXPECT_TRUE(k == Kind::Erd || !OpenKind(k, path).empty()) << "trailing byte";
        for (size_t i = 0; k != Kind::Eeg && i < body; i += std::max<size_t>(1, body / 120)) {
            auto bad = good;
            bad[i] = static_cast<char>(bad[i] ^ 0x10);
            WriteAll(path, bad);
            EXPECT_FALSE(OpenKind(k, path).empty()) << "byte " << i;
        }
        WriteAll(path, good);
    }
    EXPECT_FALSE(OpenKind(Kind::Etc, dir.path() / "missing.ETC").empty());
    // Epochs of no length behind a consistent checksum.
    auto epo = ReadAll(r.epoFile);
    PutU32(U8(epo, 12), 0);
    PutU32(U8(epo, 172), Crc32(U8(epo, 0), 172));
    WriteAll(r.epoFile, epo);
    EXPECT_FALSE(OpenKind(Kind::Epo, r.epoFile).empty());
}

TEST(BadFiles, AbsurdCountsAreRejectedBeforeAllocating) {
    sk::test::TempDir dir("absurd");
    // Header-only files, checksums right, that announce four billion notes or
    // two billion table-of-contents entries.
    const auto headerOnly = [&](const char* name, const void* magic, size_t size, uint32_t count, size_t crcAt) {
        std::vector<char> b(size, 0);
        std::memcpy(U8(b, 0), magic, 4);
        PutU16(U8(b, 4), 1);
        PutU16(U8(b, 6), static_cast<uint16_t>(size));
        PutU32(U8(b, 8), count);
        PutU16(U8(b, 12), 1); // the entries' decimation (the notes' checksum goes here)
        PutU32(U8(b, crcAt), Crc32(U8(b, 0), crcAt));
        WriteAll(dir / name, b);
        return dir / name;
    };
    const fs::path ent = headerOnly("x.ENT", kEntMagic, kEntHeaderSize, 0xFFFFFFFFu, 12);
    EXPECT_NE(OpenKind(Kind::Ent, ent).find(L"truncated"), std::wstring::npos);
    const fs::path etc = headerOnly("x.ETC", kEtcMagic, kEtcHeaderSize, 0x7FFFFFFFu, 28);
    EXPECT_NE(OpenKind(Kind::Etc, etc).find(L"truncated"), std::wstring::npos);
}

void Overflow(std::vector<char>& b, bool long0) {
    const size_t at = kErdHeaderSize;
    const int channels = GetU16(U8(b, at + 6));
    std::vector<char> data = {0, char(0xFE), char(0xFF), char(0xFF), char(0xFF), 0x0F};
    data.insert(data.end(), static_cast<size_t>(channels) - 1, 0);
    for (int s = 1; s < 5; ++s) {
        data.push_back(0);
        for (int c = 0; c < channels; ++c) {
            data.insert(data.end(), {char(s == 1 && c == 0 ? 0x82 : 0x80), 0});
            if (long0 && s == 1 && c == 0)
                data.back() = char(0x80), data.push_back(0);
        }
    }
    b.erase(b.begin() + at + kBlockHeaderSize, b.begin() + at + kBlockHeaderSize + GetU32(U8(b, at + 8)));
    b.insert(b.begin() + at + kBlockHeaderSize, data.begin(), data.end());
    PutU16(U8(b, at + 4), 5);
    PutU32(U8(b, at + 8), static_cast<uint32_t>(data.size()));
    PutU32(U8(b, at + 12), Crc32(data.data(), data.size()));
}

// Sets a byte of the first channel-major block's payload (-1: the first
// channel's first miniblock width; a value of 0 there names a width eight
// bits more than it had) and its checksum again.
void EditBlock(std::vector<char>& b, int at, int value) {
    uint8_t* p = U8(b, kErdHeaderSize + kBlockHeaderSize);
    const size_t flags = p[0] == 1 ? 1 + GetU16(p - 12) : 3 + 3 * GetU16(p + 1);
    uint8_t& byte = p[at >= 0 ? static_cast<size_t>(at) : flags + 4];
    byte = static_cast<uint8_t>(value ? value : byte + 8);
    PutU32(p - 4, Crc32(p, GetU32(p - 8)));
}

// Sample data cut short or altered, and files whose checksums are right but
// whose layout is not: the readers check the layout itself, not only the
// bytes. Plain sample data cannot see a flipped value byte.
TEST(BadFiles, DamageBehindConsistentChecksumsIsFound) {
    for (uint16_t schema : {uint16_t(1), uint16_t(2), uint16_t(3)}) {
        sk::test::TempDir dir("layout");
        const SimResult r = Sim(dir, {.sampleRate = 64, .durationSeconds = 6, .schema = schema,
                                      .gaps = {{2, 1, true}}, .notes = false, .maxEntrySamples = 100});
        ASSERT_TRUE(r.ok);
        const size_t half = ReadAll(r.erdFiles[0]).size() / 2;
        const int64_t intact = ReadErd(r.erdFiles[0]).samples;
        struct Edit {
            const char* what;
            fs::path file;
            std::function<void(std::vector<char>&)> apply;
            int schemas = 0b1100; // bit s: applies to schema s
        } edits[] = {
            {"cut mid-data", r.erdFiles[0], [&](std::vector<char>& b) { b.resize(half + 3); }, 0b1110},
            {"cut one byte short", r.erdFiles[0], [&](std::vector<char>& b) { b.pop_back(); }, 0b1110},
            {"flipped byte", r.erdFiles[0], [&](std::vector<char>& b) { b[half] ^= 0x40; }},
            {"last block carries a whole block after its samples", r.erdFiles[0],
             [&](std::vector<char>& b) {
                 size_t at = kErdHeaderSize, last = at;
                 for (; at < b.size(); at += kBlockHeaderSize + GetU32(U8(b, at + 8)))
                     last = at;
                 const std::vector<char> copy(b.begin() + static_cast<long>(last), b.end());
                 b.insert(b.end(), copy.begin(), copy.end());
                 PutU32(U8(b, last + 8), GetU32(U8(b, last + 8)) + static_cast<uint32_t>(copy.size()));
                 PutU32(U8(b, last + 12), Crc32(U8(b, last + kBlockHeaderSize), GetU32(U8(b, last + 8))));
             }},
            // The first block replaced by five samples: channel 0 reaches
            // INT32_MAX, then one more, in a row of two-byte codes (decoded
            // four at a time) or as a three-byte code (one at a time).
            {"value beyond 32 bits, two-byte codes", r.erdFiles[0], [&](std::vector<char>& b) { Overflow(b, false); }, 4},
            {"value beyond 32 bits, three-byte code", r.erdFiles[0], [&](std::vector<char>& b) { Overflow(b, true); }, 4},
            // Channel-major blocks: the first block's flag list and its
            // first channel's first miniblock width.
            {"unknown flag coding", r.erdFiles[0], [&](std::vector<char>& b) { EditBlock(b, 0, 2); }, 8},
            {"flag list longer than the block", r.erdFiles[0], [&](std::vector<char>& b) { EditBlock(b, 1, 0xFF); }, 8},
            {"miniblock 33 bits wide", r.erdFiles[0], [&](std::vector<char>& b) { EditBlock(b, -1, 33); }, 8},
            {"miniblock wider than its bytes", r.erdFiles[0], [&](std::vector<char>& b) { EditBlock(b, -1, 0); }, 8},
            {"second entry starts on the first one's last stamp", r.etcFiles[0],
             [&](std::vector<char>& b) {
                 uint8_t* e0 = U8(b, kEtcHeaderSize);
                 uint8_t* e1 = e0 + kTocEntrySize;
                 PutI64(e1 + 8, GetI64(e0 + 8) + GetI16(e0 + 24) - 1);
                 PutU32(e1 + 28, Crc32(e1, 28));
             }},
            {"last entry's data leaves a hole after the previous entry's", r.etcFiles[0],
             [&](std::vector<char>& b) {
                 uint8_t* last = U8(b, b.size() - kTocEntrySize);
                 PutU32(last, GetU32(last) + 2);
                 PutU32(last + 28, Crc32(last, 28));
             }},
            {"first segment announces a sample more than its stamps hold", r.stcFile,
             [&](std::vector<char>& b) {
                 uint8_t* s0 = U8(b, kStcHeaderSize);
                 PutI64(s0 + 528, (GetI64(s0 + 520) - GetI64(s0 + 512)) + 2);
                 PutU32(s0 + 540, Crc32(s0, 540));
                 int64_t total = 0; // the header's total still agrees
                 for (size_t at = kStcHeaderSize; at < b.size(); at += kStcRecordSize)
                     total += GetI64(U8(b, at + 528));
                 PutI64(U8(b, 32), total);
                 PutU32(U8(b, 44), Crc32(U8(b, 0), 44));
             }},
            {"a note record two bytes longer than its fields", r.entFile, [&](std::vector<char>& b) {
                 const size_t at = kEntHeaderSize, len = GetU32(U8(b, at));
                 b.insert(b.begin() + static_cast<long>(at + len), 2, 0); // before the checksum
                 PutU32(U8(b, at), static_cast<uint32_t>(len + 2));
                 PutU32(U8(b, at + len + 2), Crc32(U8(b, at + 4), len - 2));
             }},
            {"second segment starts on the first one's last stamp", r.stcFile,
             [&](std::vector<char>& b) {
                 uint8_t* s1 = U8(b, kStcHeaderSize + kStcRecordSize);
                 PutI64(s1 + 512, GetI64(s1 - kStcRecordSize + 520));
                 PutU32(s1 + 540, Crc32(s1, 540));
             }},
        };
        for (const Edit& e : edits) {
            if (!(e.schemas >> schema & 1))
                continue;
            SCOPED_TRACE(testing::Message() << e.what << ", schema " << schema);
            const auto good = ReadAll(e.file);
            auto bad = good;
            e.apply(bad);
            WriteAll(e.file, bad);
            if (e.file.extension() == ".ERD") {
                const ErdRead read = ReadErd(e.file);
                EXPECT_FALSE(read.error.empty());
                EXPECT_LT(read.samples, intact);
                EXPECT_EQ(read.lastFlags & frame::kFlagNoData, frame::kFlagNoData);
            } else {
                const std::string ext = e.file.extension().string();
                EXPECT_FALSE(OpenKind(ext == ".STC" ? Kind::Stc : ext == ".ENT" ? Kind::Ent : Kind::Etc, e.file).empty());
            }
            WriteAll(e.file, good);
        }
    }
}

// The fixed header check every reader shares reports the first fault in file
// order, so that a file of another kind is named as such and not as corrupt.
TEST(FileHeader, FirstFaultInFileOrder) {
    const FileHeaderKind kind{kEtcMagic, 32, 28, L"short", L"magic", L"version", true, L"size", L"crc"};
    std::vector<uint8_t> good(32, 0);
    std::memcpy(good.data(), kEtcMagic, 4);
    PutU16(good.data() + 4, kFormatVersion);
    PutU16(good.data() + 6, 32);
    PutU32(good.data() + 28, Crc32(good.data(), 28));
    struct Case {
        const char* what;
        std::vector<size_t> changed; // bytes set to 0x77
        size_t available;
        int32_t code;
        std::wstring why;
    } cases[] = {
        {"intact", {}, 32, 0, L""},
        {"longer buffer", {}, 40, 0, L""},
        {"one byte short", {}, 31, kErrHandleEof, L"short"},
        {"nothing", {}, 0, kErrHandleEof, L"short"},
        {"magic and version: magic first", {1, 4}, 32, kErrInvalidData, L"magic"},
        {"version, found one shown", {4}, 32, kErrInvalidData, L"version 119"},
        {"header size", {6}, 32, kErrInvalidData, L"size"},
        {"checksummed byte", {20}, 32, kErrInvalidData, L"crc"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> h = good;
        h.resize(std::max<size_t>(h.size(), c.available), 0);
        for (size_t at : c.changed)
            h[at] = 0x77;
        int32_t code = -1;
        std::wstring why = L"stale";
        EXPECT_EQ(CheckFileHeader(c.available ? h.data() : nullptr, c.available, kind, code, why), c.code == 0)
            << c.what;
        EXPECT_EQ(code, c.code) << c.what;
        EXPECT_TRUE(why == c.why || (c.available == 0 && c.code == kErrHandleEof)) << c.what;
    }
}

} // namespace

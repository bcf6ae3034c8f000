// Byte-for-byte guard of the exporter's output: fixed-seed simulated studies
// exported with several headboxes, storage schemas, formats, decimation and a
// montage, each hashed over every file it wrote. Speed work on decoding,
// checksums or conversion must leave every hash as it is. A correctness fix
// that changes output bytes updates its row in a commit of its own that says
// why.

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>

#include "support/SimStudy.h"
#include "writer/OutputObserver.h"
#include "writer/WriterTestUtil.h"

using namespace sk::test;

namespace {

struct GoldenCase {
    const char* name;
    int headbox;
    double rate, seconds;
    uint16_t schema;
    int decimation;       // >1: export the decimated copy
    bool gapSegment;      // a gap that starts a new segment file (else one inside a file)
    const wchar_t* format;
    const wchar_t* channels;
    bool events;          // trigger and patient event channels
    bool sleep;
    const char* hash;     // FNV-1a 64 over "name\0size\0bytes" of every file, sorted by name
};

// To regenerate after a deliberate output change: run with
// SKRIVO_PRINT_GOLDEN=1 and copy the printed hashes.
const GoldenCase kCases[] = {
    {"hb2_delta_edf", 2, 256.0, 21.3, 2, 0, false, L"EDF", L"RawData", false, false, "3a40230f15f40459"},
    {"hb13_delta_edfplus_wide", 13, 1024.0, 1.5, 2, 0, false, L"EDF+", L"RawData", false, false, "fc3546559a22a875"},
    {"hb1_plain_events", 1, 200.0, 30.0, 1, 0, false, L"EDF+", L"RawData", true, false, "5c07da7625fed1fb"},
    {"hb3_montage", 3, 256.0, 12.0, 2, 0, false, L"EDF+", L"AcquisitionMontage", false, false, "7ea12c0048e94707"},
    {"hb2_decimated_padded", 2, 256.0, 20.0, 2, 4, false, L"EDF+", L"RawData", false, false, "5a069898190fcc05"},
    {"hb20_sleep_segments", 20, 255.9, 12.0, 2, 0, true, L"EDF+", L"RawData", true, true, "ad33e4b5811db98e"},
};

uint64_t Fnv1a(uint64_t h, const void* data, size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 0x100000001B3ull;
    return h;
}

void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

// What an output observer is shown: each published file's bytes as written,
// and whether any byte was written over with another (which would leave a
// digest taken on the way wrong).
struct Mirror final : sk::OutputObserver {
    std::vector<std::string> files;
    std::string now;
    bool rewritten = false;
    void Started(const std::wstring&) override { now.clear(); }
    void Wrote(int64_t at, const void* data, size_t n) override {
        const std::string bytes(static_cast<const char*>(data), n);
        const size_t from = static_cast<size_t>(at);
        rewritten |= from < now.size() && now.compare(from, n, bytes) != 0;
        now.resize(std::max(now.size(), from + n));
        now.replace(from, n, bytes);
    }
    void Resized(int64_t length) override { now.resize(static_cast<size_t>(length)); }
    void Ended(bool published) override {
        if (published) files.push_back(now);
    }
};

class ExportChecksum : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(ExportChecksum, OutputBytesAreUnchanged) {
    const GoldenCase& c = GetParam();
    SimStudy s = Simulate({.seed = 7, .headboxType = c.headbox, .sampleRate = c.rate, .durationSeconds = c.seconds,
                           .schema = c.schema, .studyGroup = c.sleep ? 2 : 1,
                           .gaps = {{c.seconds / 3, 1.5, c.gapSegment}}, .decimation = c.decimation,
                           .maxEntrySamples = 3000, .maxBlockSamples = 700},
                          "golden");
    ASSERT_TRUE(s.res.ok && s.probed);
    CKeyTree t = MakeTemplate(c.format, c.channels);
    if (c.decimation > 1) {
        t.AddKey(L"UseDecimatedData", 1);
        t.AddKey(L"PadGaps", 1);
    }
    if (c.events) {
        t.AddKey(L"IncludeTriggerEvent", 1);
        t.AddKey(L"IncludePatientEvent", 1);
    }
    // The schema 3 runs are watched: the observer sees each file written
    // once, in the order of the names, and sees its final bytes.
    Mirror mirror;
    CExportDetails watched(L"study", s.folder, s.opt.studyName, nullptr);
    watched.SetOutputObserver(&mirror);
    ExportResult r = RunExport(s, t, c.schema == 3 ? &watched : nullptr);
    ASSERT_TRUE(r.ok) << std::string(r.text.begin(), r.text.end());
    ASSERT_FALSE(r.files.empty());
    EXPECT_FALSE(mirror.rewritten);
    EXPECT_EQ(mirror.files.size(), c.schema == 3 ? r.files.size() : 0u);
    uint64_t h = 0xCBF29CE484222325ull;
    for (const std::string& path : r.files) {
        const std::string name = std::filesystem::path(path).filename().string();
        ReadChecked(path); // the files are ones readers take, too
        const std::string bytes = ReadAll(path);
        if (c.schema == 3) {
            EXPECT_TRUE(mirror.files.at(static_cast<size_t>(&path - r.files.data())) == bytes) << name;
        }
        const std::string size = std::to_string(bytes.size());
        h = Fnv1a(h, name.c_str(), name.size() + 1);
        h = Fnv1a(h, size.c_str(), size.size() + 1);
        h = Fnv1a(h, bytes.data(), bytes.size());
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    if (std::getenv("SKRIVO_PRINT_GOLDEN"))
        std::printf("golden %s %s (%zu files)\n", c.name, hex, r.files.size());
    EXPECT_STREQ(hex, c.hash) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Golden, ExportChecksum, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });
// The same studies stored channel-major (schema 3) export to the same bytes.
INSTANTIATE_TEST_SUITE_P(GoldenSchema3, ExportChecksum, ::testing::ValuesIn([] {
                             std::vector<GoldenCase> v;
                             for (GoldenCase c : kCases)
                                 if (c.schema == 2)
                                     v.push_back((c.schema = 3, c));
                             return v;
                         }()),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

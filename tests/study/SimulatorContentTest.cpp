// What the probe and the annotation sources rely on in a simulated study:
// the montage note, the calibration of DC inputs, the patient naming and the
// checksum every format uses.

#include <gtest/gtest.h>

#include "platform/appcommon/HeadboxConfig.h"
#include "platform/recording/EegStudyFile.h"
#include "platform/recording/Montage.h"
#include "platform/recording/NoteManager.h"
#include "platform/recording/StudyFormat.h"
#include "platform/recording/WaveType.h"
#include "support/TempDir.h"
#include "tools/simulator/StudySimulator.h"

using namespace sk::sim;

namespace {

TEST(StudyFormat, Crc32MatchesTheStandardCheckValue)
{
    EXPECT_EQ(sk::rec::Crc32("123456789", 9), 0xCBF43926u);
    // Chunked computation continues a running CRC.
    EXPECT_EQ(sk::rec::Crc32("6789", 4, sk::rec::Crc32("12345", 5)), 0xCBF43926u);
    EXPECT_EQ(sk::rec::Crc32("", 0), 0u);
}

TEST(StudyFormat, Utf16RoundTripKeepsCharactersOutsideTheBmp)
{
    const std::wstring text = L"a\u00e9\u68d8\U0001F9E0z";
    std::string bytes;
    sk::rec::WideToUtf16Le(text, bytes);
    EXPECT_EQ(bytes.size(), 2 * sk::rec::Utf16Units(text));
    EXPECT_EQ(bytes.size(), 12u);
    EXPECT_EQ(sk::rec::Utf16LeToWide(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size() / 2, false), text);
    const uint8_t lone[] = {0x00, 0xD8, 0x41, 0x00};
    EXPECT_EQ(sk::rec::Utf16LeToWide(lone, 2, false), L"\uFFFDA");
}

struct HeadboxCase {
    int type;
    int breakouts;
    int studyGroup;
};

// Keeps gtest from dumping the struct's bytes into the log.
void PrintTo(const HeadboxCase& c, std::ostream* os)
{
    *os << "headbox " << c.type << ", " << c.breakouts << " breakouts, study group " << c.studyGroup;
}

class SimulatedContent : public ::testing::TestWithParam<HeadboxCase> {};

TEST_P(SimulatedContent, MontageNoteCoversEveryStoredChannelAndDcInputsAreCalibrated)
{
    const HeadboxCase c = GetParam();
    sk::test::TempDir dir("content");
    SimOptions o;
    o.folder = dir.path();
    o.headboxType = c.type;
    o.breakouts = c.breakouts;
    o.studyGroup = c.studyGroup;
    o.durationSeconds = 2;
    o.sampleRate = 50;
    o.epochSeconds = 1;
    const SimResult r = SimulateStudy(o);
    ASSERT_TRUE(r.ok) << std::string(r.error.begin(), r.error.end());

    CNoteManager notes;
    notes.setPath(r.entFile.wstring());
    ASSERT_EQ(notes.Load(), 1);
    const CKeyTree* montageTree = nullptr;
    for (CNoteMapIterator it(notes, -2147483648LL, 0x7FFFFFFFFFFFLL); !it.IsEOF(); it.MoveNext()) {
        if (AsCStr(it.GetCurrent()->GetKeyTree()->GetAt(L"Data.Type"), L"") == L"Montage") {
            montageTree = AsKeyTree(it.GetCurrent()->GetKeyTree()->GetAt(L"Data"));
            EXPECT_TRUE(it.GetCurrent()->IsSkipped()); // never exported as an annotation
            break;
        }
    }
    ASSERT_NE(montageTree, nullptr);
    CMontage montage(c.type);
    ASSERT_EQ(montage.Load(montageTree), 0);
    // Every stored channel maps to a derivation of the recording montage.
    for (int s = 0; s < r.channelCount; ++s) {
        EXPECT_GE(r.configurationIndex[s], 0);
        EXPECT_LT(r.configurationIndex[s], montage.GetSize()) << s;
    }

    CKeyTree study;
    ASSERT_EQ(CEegStudyFile::Load(r.eegFile.wstring(), study), 1);
    const CKeyTree* cal = AsKeyTree(CEegStudyFile::GetStudyRecord(study)->GetAt(L"Calibration"));
    ASSERT_NE(cal, nullptr);
    CCalFileArchivist archivist(cal);
    int calibrated = 0;
    for (int s = 0; s < r.channelCount; ++s) {
        if (!r.channelIsDC[s]) continue;
        const CWaveType* wt = WaveTypePtrLookup(sk::DefaultDisplayType(c.type, r.configurationIndex[s]));
        if (!wt || wt->GetKind() != CWaveType::KindCalibratedDC) continue;
        std::vector<CCalFileArchivist::Point> pts;
        EXPECT_TRUE(archivist.GetPoints(wt->GetName(), pts)) << s;
        EXPECT_TRUE(wt->LoadCalibration(archivist).IsFromStudy());
        ++calibrated;
    }
    if (c.type == 3) {
        EXPECT_GT(calibrated, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Headboxes, SimulatedContent,
                         ::testing::Values(HeadboxCase{1, 2, 1}, HeadboxCase{3, 2, 1}, HeadboxCase{6, 2, 2},
                                           HeadboxCase{20, 1, 1}, HeadboxCase{20, 4, 1}, HeadboxCase{27, 2, 2}));

TEST(SimulatedContent, PatientNameGivesTheStudyFileName)
{
    SimOptions o;
    o.seed = 42;
    SetPatientName(o, L"M\u00fcller-L\u00fcdenscheidt,  Anna Maria ");
    EXPECT_EQ(o.lastName, L"M\u00fcller-L\u00fcdenscheidt");
    EXPECT_EQ(o.firstName, L"Anna Maria");
    EXPECT_EQ(o.studyName, L"M\u00fcller-L\u00fcdenscheidt~ Anna Maria_0042");
    SetPatientName(o, L"St. John");
    EXPECT_EQ(o.firstName, L"");
    EXPECT_EQ(o.studyName, L"St_ John~ _0042");
}


TEST(SimulatorCommand, ParsesOptionsAndRejectsBadOnes)
{
    sk::test::TempDir dir("cmd");
    const std::string out = (dir.path() / "s").string();
    struct Row {
        std::vector<std::string> args;
        int code;
    };
    const Row rows[] = {
        {{"--out", out, "--seconds", "2", "--rate", "127.5", "--gap", "1:0.5:seg", "--name", "Roe, Jane"}, 0},
        {{"--out", out, "--seconds", "2,5"}, 2},          // decimal comma is not a number
        {{"--out", out, "--gap", "1:x"}, 2},
        {{"--out", out, "--gap", "1:1:other"}, 2},
        {{"--out", out, "--headbox"}, 2},                 // missing value
        {{"--seconds", "2"}, 2},                          // no output folder
        {{"--out", out, "--headbox", "28"}, 1},           // valid syntax, no such headbox
        {{"--out", out, "--bogus", "1"}, 2},
    };
    for (const Row& r : rows) {
        std::vector<char*> argv{const_cast<char*>("simulate")};
        for (const auto& a : r.args) argv.push_back(const_cast<char*>(a.c_str()));
        EXPECT_EQ(RunSimulatorCommand(static_cast<int>(argv.size()), argv.data()), r.code) << r.args.back();
    }
    // The first row wrote two segments under the patient's name.
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "s" / "Roe~ Jane_0001_002.ETC"));
}

} // namespace


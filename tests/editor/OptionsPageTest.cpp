// The Options page driven through the real dialog: what it shows for stored
// values, what its buttons propose, its range checks, and what OK stores.
// Built only where Qt's test library is available (see editor/CMakeLists.txt).
#ifdef SKRIVO_HAVE_QTEST

#include "EditorTestEnv.h"

#include <QLabel>

using namespace sk::editor;

namespace sk::test {
namespace {

struct StoredOptions {
    const char* what;
    std::wstring format;
    int padGaps;
    std::wstring extension;
    int64_t spatial;
    int temporal;
    // What the page shows.
    int formatButton;
    bool padChecked, padEnabled;
    QString extensionShown;
    int limitButton;
    QString sizeText, durationText;
    bool sizeEnabled, durationEnabled;
    // What OK stores.
    int storedPad;
    std::wstring storedExtension;
    int64_t storedSpatial;
    int storedTemporal;
};

void PrintTo(const StoredOptions& p, std::ostream* os) { *os << p.what; }

class OptionsShown : public EditorTest, public ::testing::WithParamInterface<StoredOptions> {};

TEST_P(OptionsShown, ShowsStoredValuesAndOkStoresThem)
{
    const StoredOptions& p = GetParam();
    CKeyTree study = MakeStudy({});
    CSkrivoTemplate* t = NewTemplate(L"T");
    t->SetAt(L"ExportFormat", p.format);
    t->SetAt(L"PadGaps", int32_t{p.padGaps});
    t->SetAt(L"Extension", p.extension);
    t->SetAt(L"SpatialMaximum", int64_t{p.spatial});
    t->SetAt(L"TemporalMaximum", int32_t{p.temporal});
    Open(t, study);
    ShowOptions();

    EXPECT_TRUE(Ctl<QRadioButton>(p.formatButton)->isChecked());
    EXPECT_EQ(Ctl<QCheckBox>(IDC_PAD_GAPS)->isChecked(), p.padChecked);
    EXPECT_EQ(Ctl<QCheckBox>(IDC_PAD_GAPS)->isEnabled(), p.padEnabled);
    EXPECT_EQ(Ctl<QComboBox>(IDC_EXTENSION)->currentText(), p.extensionShown);
    EXPECT_TRUE(Ctl<QRadioButton>(p.limitButton)->isChecked());
    EXPECT_EQ(Ctl<QLineEdit>(IDC_SIZE_EDIT)->text(), p.sizeText);
    EXPECT_EQ(Ctl<QLineEdit>(IDC_DURATION_EDIT)->text(), p.durationText);
    EXPECT_EQ(Ctl<QLineEdit>(IDC_SIZE_EDIT)->isEnabled(), p.sizeEnabled);
    EXPECT_EQ(Ctl<QLineEdit>(IDC_DURATION_EDIT)->isEnabled(), p.durationEnabled);

    Click(IDOK);
    EXPECT_TRUE(m_messages.empty());
    EXPECT_EQ(Dialog().result(), QDialog::Accepted);
    EXPECT_EQ(Str(*t, L"ExportFormat"), p.format == L"EDF+" ? L"EDF+" : L"EDF");
    EXPECT_EQ(Int(*t, L"PadGaps"), p.storedPad);
    EXPECT_EQ(Str(*t, L"Extension"), p.storedExtension);
    EXPECT_EQ(Long(*t, L"SpatialMaximum"), p.storedSpatial);
    EXPECT_EQ(Int(*t, L"TemporalMaximum"), p.storedTemporal);
}

INSTANTIATE_TEST_SUITE_P(
    Editor, OptionsShown,
    ::testing::Values(
        StoredOptions{"EdfWithPadGapsShowsCheckedButDisabledAndStoresZero", L"EDF", 1, L".EDF", 0, 0, IDC_FORMAT_EDF,
                      true, false, ".EDF", IDC_LIMIT_NONE, "0", "0", false, false, 0, L".EDF", 0, 0},
        StoredOptions{"EdfPlusKeepsPadGaps", L"EDF+", 1, L".edf", 0, 0, IDC_FORMAT_EDFPLUS, true, true, ".EDF",
                      IDC_LIMIT_NONE, "0", "0", false, false, 1, L".EDF", 0, 0},
        StoredOptions{"FormatIsCaseSensitive", L"edf+", 1, L".rec", 0, 0, IDC_FORMAT_EDF, true, false, ".REC",
                      IDC_LIMIT_NONE, "0", "0", false, false, 0, L".REC", 0, 0},
        StoredOptions{"UnknownExtensionBecomesRec", L"EDF", 0, L".bdf", 0, 0, IDC_FORMAT_EDF, false, false, ".REC",
                      IDC_LIMIT_NONE, "0", "0", false, false, 0, L".REC", 0, 0},
        StoredOptions{"OneGigabyteShowsAsKilobytes", L"EDF", 0, L".EDF", 1048576, 0, IDC_FORMAT_EDF, false, false,
                      ".EDF", IDC_LIMIT_SIZE, "1024", "0", true, false, 0, L".EDF", 1048576, 0},
        StoredOptions{"SizeWinsOverDuration", L"EDF", 0, L".EDF", 204800, 600, IDC_FORMAT_EDF, false, false, ".EDF",
                      IDC_LIMIT_SIZE, "200", "0", true, false, 0, L".EDF", 204800, 0},
        StoredOptions{"NinetySecondsShowOneMinute", L"EDF", 0, L".EDF", 0, 90, IDC_FORMAT_EDF, false, false, ".EDF",
                      IDC_LIMIT_DURATION, "0", "1", false, true, 0, L".EDF", 0, 60},
        StoredOptions{"NegativeSizeMeansDuration", L"EDF", 0, L".EDF", -5, 7200, IDC_FORMAT_EDF, false, false, ".EDF",
                      IDC_LIMIT_DURATION, "0", "120", false, true, 0, L".EDF", 0, 7200}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(EditorTest, SizeBelowRangeIsRefusedUntilCorrected)
{
    CKeyTree study = MakeStudy({});
    CSkrivoTemplate* t = NewTemplate(L"T");
    t->SetAt(L"SpatialMaximum", int64_t{1500});
    Open(t, study);
    ShowOptions();
    EXPECT_EQ(Ctl<QLineEdit>(IDC_SIZE_EDIT)->text(), "1");

    Click(IDOK);
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(m_messages[0], "Please enter an integer between 100 and 4194304.");
    EXPECT_TRUE(Dialog().isVisible());
    EXPECT_EQ(Long(*t, L"SpatialMaximum"), 1500);

    Type(IDC_SIZE_EDIT, "4194305");
    Click(IDOK);
    EXPECT_EQ(m_messages.size(), 2u);
    Type(IDC_SIZE_EDIT, "12x");
    Click(IDOK);
    ASSERT_EQ(m_messages.size(), 3u);
    EXPECT_EQ(m_messages[2], "Please enter an unsigned integer.");
    EXPECT_TRUE(Dialog().isVisible());

    Type(IDC_SIZE_EDIT, "100");
    Click(IDOK);
    EXPECT_EQ(m_messages.size(), 3u);
    EXPECT_EQ(Dialog().result(), QDialog::Accepted);
    EXPECT_EQ(Long(*t, L"SpatialMaximum"), 102400);
    EXPECT_EQ(Int(*t, L"TemporalMaximum"), 0);
}

TEST_F(EditorTest, DurationRangeIsCheckedOnlyWhileItsEditIsEnabled)
{
    CKeyTree study = MakeStudy({});
    CSkrivoTemplate* t = NewTemplate(L"T");
    t->SetAt(L"TemporalMaximum", int32_t{86400 + 60}); // 1441 minutes
    Open(t, study);
    ShowOptions();
    Click(IDOK);
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(m_messages[0], "Please enter an integer between 1 and 1440.");
    // Choosing a size limit disables the duration edit, whose value no
    // longer matters.
    Click(IDC_LIMIT_SIZE);
    Click(IDOK);
    EXPECT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(Long(*t, L"SpatialMaximum"), int64_t{1048576} * 1024);
    EXPECT_EQ(Int(*t, L"TemporalMaximum"), 0);
}

TEST_F(EditorTest, LimitChoicesProposeValuesAndNoneStoresZeros)
{
    CKeyTree study = MakeStudy({});
    CSkrivoTemplate* t = NewTemplate(L"T");
    Open(t, study);
    ShowOptions();
    ASSERT_TRUE(Ctl<QRadioButton>(IDC_LIMIT_NONE)->isChecked());

    Click(IDC_LIMIT_SIZE);
    EXPECT_EQ(Ctl<QLineEdit>(IDC_SIZE_EDIT)->text(), "1048576");
    EXPECT_TRUE(Ctl<QLineEdit>(IDC_SIZE_EDIT)->isEnabled());
    EXPECT_FALSE(Ctl<QLineEdit>(IDC_DURATION_EDIT)->isEnabled());
    Click(IDC_LIMIT_DURATION);
    EXPECT_EQ(Ctl<QLineEdit>(IDC_DURATION_EDIT)->text(), "60");
    EXPECT_FALSE(Ctl<QLineEdit>(IDC_SIZE_EDIT)->isEnabled());
    // A value already there is kept, not proposed again.
    Type(IDC_DURATION_EDIT, "15");
    Click(IDC_LIMIT_SIZE);
    Click(IDC_LIMIT_DURATION);
    EXPECT_EQ(Ctl<QLineEdit>(IDC_SIZE_EDIT)->text(), "1048576");

    Click(IDC_LIMIT_SIZE);
    Click(IDC_LIMIT_NONE);
    EXPECT_FALSE(Ctl<QLineEdit>(IDC_SIZE_EDIT)->isEnabled());
    EXPECT_FALSE(Ctl<QLineEdit>(IDC_DURATION_EDIT)->isEnabled());
    Click(IDOK);
    EXPECT_TRUE(m_messages.empty());
    EXPECT_EQ(Long(*t, L"SpatialMaximum"), 0);
    EXPECT_EQ(Int(*t, L"TemporalMaximum"), 0);
    // Stored as the 64-bit kind the exporter reads.
    ASSERT_NE(t->GetAt(L"SpatialMaximum"), nullptr);
    EXPECT_EQ(t->GetAt(L"SpatialMaximum")->Kind(), ItemKind::LongLong);
}

TEST_F(EditorTest, FormatButtonsGatePadGapsAndCheckBoxesReachTheTemplate)
{
    CKeyTree study = MakeStudy({});
    CSkrivoTemplate* t = NewTemplate(L"T");
    t->SetAt(L"InvertAC", int32_t{1});
    Open(t, study);
    ShowOptions();
    EXPECT_TRUE(Ctl<QCheckBox>(IDC_INVERT_AC)->isChecked());
    Click(IDC_FORMAT_EDFPLUS);
    EXPECT_TRUE(Ctl<QCheckBox>(IDC_PAD_GAPS)->isEnabled());
    Click(IDC_PAD_GAPS);
    Click(IDC_DEIDENTIFY);
    Click(IDC_INVERT_AC);
    Ctl<QComboBox>(IDC_EXTENSION)->setCurrentIndex(1);
    Click(IDOK);
    EXPECT_EQ(Str(*t, L"ExportFormat"), L"EDF+");
    EXPECT_EQ(Int(*t, L"PadGaps"), 1);
    EXPECT_EQ(Int(*t, L"Deidentify"), 1);
    EXPECT_EQ(Int(*t, L"InvertAC"), 0);
    EXPECT_EQ(Str(*t, L"Extension"), L".REC");
}

TEST_F(EditorTest, OkWithoutOpeningOptionsLeavesThemAsTheyWere)
{
    CKeyTree study = MakeStudy({.group = 2});
    CSkrivoTemplate* t = NewTemplate(L"T");
    // Values the page would rewrite (or refuse) had it been opened.
    t->SetAt(L"Extension", L".bdf");
    t->SetAt(L"PadGaps", int32_t{1});
    t->SetAt(L"SpatialMaximum", int64_t{1500});
    t->SetAt(L"UseDecimatedData", int32_t{1});
    t->SetAt(L"InvertAC", int32_t{7});
    Open(t, study);
    Click(IDOK);
    EXPECT_TRUE(m_messages.empty());
    EXPECT_EQ(Dialog().result(), QDialog::Accepted);
    EXPECT_EQ(Str(*t, L"Extension"), L".bdf");
    EXPECT_EQ(Int(*t, L"PadGaps"), 1);
    EXPECT_EQ(Long(*t, L"SpatialMaximum"), 1500);
    EXPECT_EQ(Int(*t, L"UseDecimatedData"), 1);
    EXPECT_EQ(Int(*t, L"InvertAC"), 7);
    // What the sheet itself completes still happens.
    EXPECT_EQ(Str(*t, L"Modality"), L"Sleep");
}

} // namespace
} // namespace sk::test

#endif // SKRIVO_HAVE_QTEST

// Not a check: writes pictures of both pages for the documentation when
// SKRIVO_EDITOR_SCREENSHOTS names a folder. Run it under a virtual X server
// so real fonts and styles are used:
//   SKRIVO_EDITOR_SCREENSHOTS=docs/editor QT_QPA_PLATFORM=xcb xvfb-run -a
//     build/tests/skrivo_test_editor --gtest_filter='*Screenshot*'
// (one command line).
// Built only where Qt's test library is available (see editor/CMakeLists.txt).
#ifdef SKRIVO_HAVE_QTEST

#include "EditorTestEnv.h"

#include <QPixmap>

namespace sk::test {
namespace {

TEST_F(EditorTest, ScreenshotsOfBothPages)
{
    const QByteArray dir = qgetenv("SKRIVO_EDITOR_SCREENSHOTS");
    if (dir.isEmpty())
        GTEST_SKIP() << "SKRIVO_EDITOR_SCREENSHOTS not set";
    CMontage bipolar;
    ASSERT_TRUE(BuildBipolarMontage(2, bipolar));
    AddLibraryMontage(bipolar);
    CKeyTree study = MakeStudy({.headbox = 2, .rawCount = 32, .decimated = true});
    struct Shot {
        sk::Language lang;
        const char* code;
    };
    for (Shot s : {Shot{sk::Language::English, "en"}, Shot{sk::Language::German, "de"}}) {
        sk::SetLanguage(s.lang);
        CSkrivoTemplate* t = Manager().Create(L"EEG", L"Routine EEG");
        t->SetHeadboxType(2);
        t->SetAt(L"ExportFormat", L"EDF+");
        t->SetAt(L"PadGaps", int32_t{1});
        t->SetAt(L"SpatialMaximum", int64_t{1048576} * 1024);
        t->SetAt(L"IncludeTriggerEvent", int32_t{1});
        Open(t, study);
        Click(sk::editor::IDC_ACQ_MONTAGE);
        for (int row : {3, 7, 8})
            SetTick(row, false);
        for (int page = 0; page < 2; ++page) {
            ShowTab(page);
            QApplication::processEvents();
            const QString path = QStringLiteral("%1/editor-%2-%3.png")
                                     .arg(QString::fromLocal8Bit(dir), QString::fromLatin1(s.code),
                                          page == 0 ? QStringLiteral("channels") : QStringLiteral("options"));
            EXPECT_TRUE(Dialog().grab().save(path)) << path.toStdString();
        }
    }

    // The multi-breakout headbox with two breakout boxes: four range buttons.
    sk::SetLanguage(sk::Language::English);
    CKeyTree hb20 = MakeStudy({.headbox = 20, .breakouts = 2, .rawCount = 0});
    CSkrivoTemplate* t = Manager().Create(L"EEG", L"Grid 256");
    t->SetHeadboxType(20);
    t->SetAt(L"ExportChannels", L"AcquisitionMontage");
    Open(t, hb20);
    Click(sk::editor::IDC_ACQ_MONTAGE);
    Click(sk::editor::IDC_RANGE_FIRST + 1);
    QApplication::processEvents();
    const QString path = QStringLiteral("%1/editor-en-channels-headbox20.png").arg(QString::fromLocal8Bit(dir));
    EXPECT_TRUE(Dialog().grab().save(path)) << path.toStdString();
}

} // namespace
} // namespace sk::test

#endif // SKRIVO_HAVE_QTEST

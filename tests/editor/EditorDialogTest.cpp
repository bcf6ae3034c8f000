// The sheet itself: the name field, OK, Cancel and Save, what it completes
// from the study, the manager's and the engine's entries to the editor, and
// the language of its texts.
// Built only where Qt's test library is available (see editor/CMakeLists.txt).
#ifdef SKRIVO_HAVE_QTEST

#include "EditorTestEnv.h"

#include <QLabel>
#include <QElapsedTimer>
#include <QTimer>

#include "editor/EditorTexts.h"
#include "editor/TemplateEditorHost.h"
#include "engine/SkrivoEngine.h"
#include "tools/simulator/StudySimulator.h"

using namespace sk::editor;

namespace sk::test {
namespace {

TEST_F(EditorTest, NewTemplateNeedsANameBeforeOkOrSave)
{
    CKeyTree study = MakeStudy({});
    CSkrivoTemplate* t = NewTemplate(L"");
    const CKeyTree before(*t);
    Open(t, study);
    QLineEdit* name = Ctl<QLineEdit>(IDC_NAME_EDIT);
    EXPECT_TRUE(name->isEnabled());
    EXPECT_TRUE(name->text().isEmpty());
    EXPECT_EQ(Ctl<QLabel>(IDC_NAME_LABEL)->text(), "Name:");
    EXPECT_FALSE(Ctl<QPushButton>(ID_APPLY_NOW)->isVisible());

    for (int id : {int(IDOK), int(IDC_SAVE)}) {
        Click(id);
        ASSERT_EQ(m_messages.size(), 1u) << id;
        EXPECT_EQ(m_messages[0], "You must specify a name for the template.");
        EXPECT_TRUE(Dialog().isVisible());
        EXPECT_TRUE(t->IsEqual(before));
        m_messages.clear();
    }

    Type(IDC_NAME_EDIT, "Routine");
    Click(IDOK);
    EXPECT_TRUE(m_messages.empty());
    EXPECT_FALSE(Dialog().isVisible());
    EXPECT_EQ(Dialog().result(), QDialog::Accepted);
    EXPECT_EQ(Str(*t, L"Name"), L"Routine");
}

TEST_F(EditorTest, CancelLeavesTheTemplateUntouched)
{
    CKeyTree study = MakeStudy({.group = 2, .decimated = true});
    CSkrivoTemplate* t = NewTemplate(L"T");
    const CKeyTree before(*t);
    Open(t, study);
    ShowOptions();
    Click(IDC_FORMAT_EDFPLUS);
    Click(IDC_LIMIT_SIZE);
    ShowTab(0);
    Click(IDC_TRIGGER);
    Click(IDCANCEL);
    EXPECT_EQ(Dialog().result(), QDialog::Rejected);
    EXPECT_TRUE(t->IsEqual(before));
}

struct ModalityCase {
    const char* what;
    int group; // 0: key absent
    std::wstring templateModality;
    int templateHeadbox;
    std::wstring expectedModality;
    int expectedHeadbox;
};

void PrintTo(const ModalityCase& c, std::ostream* os) { *os << c.what; }

class ModalityFollowsStudy : public EditorTest, public ::testing::WithParamInterface<ModalityCase> {};

TEST_P(ModalityFollowsStudy, OnOk)
{
    const ModalityCase& c = GetParam();
    CKeyTree study = MakeStudy({.headbox = 5, .group = c.group, .rawCount = 4});
    CSkrivoTemplate* t = NewTemplate(L"T");
    t->SetAt(L"Modality", c.templateModality);
    t->SetAt(L"HBType", int32_t{c.templateHeadbox});
    Open(t, study);
    Click(IDOK);
    EXPECT_EQ(Str(*t, L"Modality"), c.expectedModality);
    EXPECT_EQ(Int(*t, L"HBType"), c.expectedHeadbox);
}

INSTANTIATE_TEST_SUITE_P(Editor, ModalityFollowsStudy,
                         ::testing::Values(ModalityCase{"EegStudyMakesEeg", 1, L"Sleep", 0, L"EEG", 5},
                                           ModalityCase{"SleepStudyMakesSleep", 2, L"EEG", 0, L"Sleep", 5},
                                           ModalityCase{"OtherGroupMakesSleep", 7, L"EEG", 11, L"Sleep", 11},
                                           ModalityCase{"MissingGroupMeansEeg", 0, L"Sleep", 3, L"EEG", 3}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST_F(EditorTest, SaveWritesTheTemplateAndLocksItsName)
{
    const std::filesystem::path folder = Root() / "templates" / "EEG";
    std::filesystem::create_directories(folder);
    ASSERT_EQ(Manager().Load(L"EEG", folder.wstring()), CSkrivoTemplateManager::kOk);
    CKeyTree study = MakeStudy({});
    CSkrivoTemplate* t = NewTemplate(L"");
    Open(t, study);
    Type(IDC_NAME_EDIT, "Saved One");
    ShowOptions();
    Click(IDC_FORMAT_EDFPLUS);
    Click(IDC_SAVE);
    EXPECT_TRUE(m_messages.empty());
    EXPECT_TRUE(Dialog().isVisible());
    EXPECT_FALSE(Ctl<QLineEdit>(IDC_NAME_EDIT)->isEnabled());
    EXPECT_TRUE(std::filesystem::exists(folder / "Saved One.exp"));
    ASSERT_NE(Manager().GetItem(L"EEG", L"Saved One"), nullptr);
    EXPECT_EQ(Manager().GetItem(L"EEG", L"Saved One")->GetExportType(), CSkrivoTemplate::FormatEDFPlus);
    // The working copy now is the saved template.
    EXPECT_TRUE(Dialog().WorkingCopy().IsEqual(*t));

    // Leaving with Cancel keeps what Save put into the template and the file.
    Click(IDCANCEL);
    EXPECT_EQ(Str(*t, L"Name"), L"Saved One");
    EXPECT_EQ(Str(*t, L"ExportFormat"), L"EDF+");
}

CTemplateEditorDialog* ShownEditor()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<CTemplateEditorDialog*>(w); d && d->isVisible())
            return d;
    return nullptr;
}

// Runs action on the editor once it is shown. A dialog that does not close
// within half a minute is cancelled and the test fails rather than hangs.
void WhenModal(std::function<void(CTemplateEditorDialog&)> action)
{
    auto* poll = new QTimer();
    auto started = std::make_shared<QElapsedTimer>();
    auto done = std::make_shared<bool>(false);
    started->start();
    QObject::connect(poll, &QTimer::timeout, [poll, action, started, done] {
        CTemplateEditorDialog* dialog = ShownEditor();
        if (!*done && dialog) {
            *done = true;
            action(*dialog);
            dialog = ShownEditor();
        }
        if (!dialog && *done) {
            poll->stop();
            poll->deleteLater();
        } else if (started->elapsed() > 30000) {
            ADD_FAILURE() << "editor still open";
            if (dialog)
                dialog->reject();
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start(10);
}

class EditorHostTest : public EditorTest {
protected:
    void SetUp() override
    {
        EditorTest::SetUp();
        m_previous = RegisterTemplateEditor();
    }
    void TearDown() override
    {
        UnregisterTemplateEditor();
        ITemplateEditorHost::Register(m_previous);
        EditorTest::TearDown();
    }
    ITemplateEditorHost* m_previous = nullptr;
};

TEST_F(EditorHostTest, ManagerEditAnswersZeroOnlyForOk)
{
    CKeyTree study = MakeStudy({.group = 2});
    QWidget parent;
    parent.resize(800, 600);
    parent.show();
    struct Case {
        int button;
        int result;
    };
    for (Case c : {Case{IDOK, 0}, Case{IDCANCEL, 1}}) {
        CSkrivoTemplate* t = NewTemplate(L"Edited");
        t->SetAt(L"Modality", L"EEG");
        QWidget* seenParent = nullptr;
        QString seenTitle;
        WhenModal([&](CTemplateEditorDialog& d) {
            seenParent = d.parentWidget();
            seenTitle = d.windowTitle();
            Click(d.findChild<QPushButton*>(ControlName(c.button)));
        });
        EXPECT_EQ(Manager().Edit(t, &study, ToWnd(&parent)), c.result);
        EXPECT_EQ(seenParent, &parent);
        EXPECT_EQ(seenTitle, "EDF Template Editor");
        EXPECT_EQ(Str(*t, L"Modality"), c.result == 0 ? L"Sleep" : L"EEG");
    }
}

TEST_F(EditorTest, TextsFollowTheProductLanguage)
{
    // Every text exists in every language, and the captions really change.
    for (int lang = 0; lang < kLanguageCount; ++lang)
        for (int id = 0; id < static_cast<int>(Text::Count_); ++id)
            EXPECT_FALSE(Tr(static_cast<Text>(id), static_cast<Language>(lang)).isEmpty()) << lang << " " << id;

    sk::SetLanguage(Language::German);
    CKeyTree study = MakeStudy({});
    Open(NewTemplate(L""), study);
    EXPECT_EQ(Dialog().windowTitle(), QString::fromStdWString(sk::LoadString(sk::IDS_EDITOR_TITLE, Language::German)));
    EXPECT_EQ(Ctl<QPushButton>(IDC_SAVE)->text(), QString::fromStdWString(sk::LoadString(sk::IDS_SAVE, Language::German)));
    QTabWidget* tabs = Dialog().findChild<QTabWidget*>(QStringLiteral("tabs"));
    EXPECT_EQ(tabs->tabText(0), QString::fromUtf8("Kanäle"));
    EXPECT_EQ(tabs->tabText(1), "Optionen");
    EXPECT_EQ(Ctl<QPushButton>(IDCANCEL)->text(), "Abbrechen");
    EXPECT_EQ(Ctl<QPushButton>(IDC_RANGE_LAST)->text(), QString::fromUtf8("Kanäle 449 - 512"));
    Click(IDOK);
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(m_messages[0], QString::fromStdWString(sk::LoadString(sk::IDS_NAME_REQUIRED, Language::German)));
    EXPECT_NE(m_messages[0], "You must specify a name for the template.");
}

} // namespace
} // namespace sk::test

namespace sk::test {
namespace {

TEST_F(EditorHostTest, EngineBindsTheEditedCloneOnlyAfterOk)
{
    sim::SimOptions o;
    o.folder = Root() / "study";
    o.sampleRate = 64;
    o.durationSeconds = 4;
    ASSERT_TRUE(sim::SimulateStudy(o).ok);
    CSkrivoEngine engine;
    ASSERT_TRUE(engine.AddExport(L"A", o.folder.wstring().c_str(), nullptr));
    CSkrivoTemplate* original = engine.GetTemplate(L"A");
    ASSERT_NE(original, nullptr);
    const CKeyTree before(*original);
    QWidget parent;

    // Cancel: the entry keeps its template.
    WhenModal([&](CTemplateEditorDialog& d) {
        EXPECT_EQ(d.parentWidget(), &parent);
        Click(d.findChild<QPushButton*>(ControlName(IDCANCEL)));
    });
    EXPECT_FALSE(engine.EditTemplate(L"A", ToWnd(&parent)));
    EXPECT_EQ(engine.GetTemplate(L"A"), original);

    // OK: the edited clone is bound, the original is untouched. The engine's
    // own choice for a study is an unnamed default, so a name is needed.
    WhenModal([&](CTemplateEditorDialog& d) {
        QLineEdit* name = d.findChild<QLineEdit*>(ControlName(IDC_NAME_EDIT));
        if (name->isEnabled() && name->text().isEmpty())
            QTest::keyClicks(name, QStringLiteral("Edited"));
        QTabBar* bar = d.findChild<QTabWidget*>(QStringLiteral("tabs"))->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center());
        Click(d.findChild<QCheckBox*>(ControlName(IDC_DEIDENTIFY)));
        Click(d.findChild<QPushButton*>(ControlName(IDOK)));
    });
    ASSERT_TRUE(engine.EditTemplate(L"A", ToWnd(&parent)));
    CSkrivoTemplate* edited = engine.GetTemplate(L"A");
    ASSERT_NE(edited, original);
    EXPECT_NE(IntOf(edited->GetAt(L"Deidentify"), 0), IntOf(before.GetAt(L"Deidentify"), 0));
    EXPECT_TRUE(original->IsEqual(before));
    EXPECT_TRUE(m_messages.empty());

    EXPECT_FALSE(engine.EditTemplate(L"a", nullptr)); // ids are exact
}

} // namespace
} // namespace sk::test

#include "editor/StandaloneEditor.h"

namespace sk::test {
namespace {

TEST_F(EditorHostTest, StandaloneEditRunsTheManagersEditor)
{
    UnregisterTemplateEditor(); // it registers the editor itself
    CKeyTree study = MakeStudy({.group = 2});
    CSkrivoTemplate* t = NewTemplate(L"Cli");
    for (int button : {int(IDCANCEL), int(IDOK)}) {
        WhenModal([&](CTemplateEditorDialog& d) { Click(d.findChild<QPushButton*>(ControlName(button))); });
        EXPECT_EQ(sk::editor::EditStandalone(Manager(), t, &study), button == IDOK ? 0 : 1);
    }
    EXPECT_EQ(Str(*t, L"Modality"), L"Sleep");
}

} // namespace
} // namespace sk::test

#endif // SKRIVO_HAVE_QTEST

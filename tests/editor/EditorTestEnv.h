#pragma once
// Fixture of the editor tests: a QApplication on the offscreen platform (or
// whatever QT_QPA_PLATFORM names), fresh settings folders and registry per
// test, montage files written before the template manager (and so its
// librarian) starts, study descriptions built in memory, and every message
// box captured instead of shown.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "editor/EditorControlIds.h"
#include "editor/EditorMessages.h"
#include "editor/TemplateEditorDialog.h"
#include "module/SkrivoApp.h"
#include "platform/KeyTree.h"
#include "platform/appcommon/SettingsDirs.h"
#include "platform/recording/Montage.h"
#include "support/IsolatedSettings.h"
#include "templates/MontageLibrarian.h"
#include "templates/SkrivoTemplate.h"
#include "templates/SkrivoTemplateManager.h"

namespace sk::test {

inline QApplication& EditorApp()
{
    static int argc = 1;
    static char name[] = "skrivo_test_editor";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication* app = new QApplication(argc, argv); // lives for the process
    return *app;
}

struct StudyShape {
    int headbox = 1;
    int group = 1;          // Study.StudyGroup; 0 = key absent
    int breakouts = 0;      // 0 = key absent
    int rawCount = 24;      // raw channels listed, configuration 0 .. rawCount-1
    bool decimated = false;
    bool recordingMontage = true;
};

// Montage whose derivation i is the single input channels[i] (names "D<ch>").
inline CMontage SingleInputMontage(int headbox, const std::wstring& name, const std::vector<int>& channels)
{
    CMontage m(headbox);
    m.SetMontageName(name);
    for (int c : channels) {
        CMontageChannel ch(L"D" + std::to_wstring(c), 0);
        CHalfMontageChannel half;
        half.AddInput(c, 1.0f);
        ch.SetFirstHalf(half);
        m.AddChannel(ch);
    }
    return m;
}

class EditorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        EditorApp();
        m_root = std::make_unique<IsolatedSettings>();
        CMontageLibrarian::SetConsoleOwnerOverride(0);
        sk::SetLanguage(sk::Language::English);
        sk::editor::SetMessageHook([this](const QString& text) { m_messages.push_back(text); });
    }
    void TearDown() override
    {
        m_dialog.reset();
        sk::editor::SetMessageHook({});
        m_manager.reset();
        CMontageLibrarian::SetConsoleOwnerOverride(-1);
        sk::UseLocaleLanguage();
        m_root.reset();
    }

    // Before the first Manager() call: a montage file the library offers.
    void AddLibraryMontage(const CMontage& m, bool sleep = false)
    {
        const std::filesystem::path dir =
            std::filesystem::path(GetAppSettingsDirByStudyMode(false, sleep ? STUDY_MODE_SLEEP : STUDY_MODE_EEG));
        std::filesystem::create_directories(dir);
        ASSERT_EQ(m.Save((dir / (m.GetMontageName() + L".mtg")).wstring()), 0);
    }

    CSkrivoTemplateManager& Manager()
    {
        if (!m_manager)
            m_manager = std::make_unique<CSkrivoTemplateManager>();
        return *m_manager;
    }
    const std::filesystem::path& Root() const { return m_root->Root(); }

    static CKeyTree MakeStudy(const StudyShape& s)
    {
        CKeyTree study;
        study.AddKey(L"Headbox.HB0.HBType", int32_t{s.headbox});
        if (s.breakouts)
            study.AddKey(L"Headbox.HB0.Breakouts", int32_t{s.breakouts});
        if (s.group)
            study.AddKey(L"Study.StudyGroup", int32_t{s.group});
        auto* raw = new CItemList();
        for (int c = 0; c < s.rawCount; ++c) {
            auto* entry = new CKeyTree();
            entry->AddKey(L"Label", L"In" + std::to_wstring(c));
            entry->AddKey(L"ConfigurationIndex", int32_t{c});
            raw->Append(entry);
        }
        study.AddKey(L"Channels.Raw", raw);
        if (s.recordingMontage) {
            CMontage m;
            if (BuildRecordingMontage(s.headbox, s.group != 1 && s.group != 0, m)) {
                auto* tree = new CKeyTree();
                m.Save(*tree);
                study.AddKey(L"Montage", tree);
            }
        }
        if (s.decimated)
            study.AddKey(L"Decimated.Samples.Frequency", 64.0);
        return study;
    }

    CSkrivoTemplate* NewTemplate(const std::wstring& name)
    {
        CSkrivoTemplate* t = Manager().Create(L"EEG", name);
        t->SetHeadboxType(1);
        return t;
    }

    // Opens the dialog (not modal: the test keeps driving it).
    CTemplateEditorDialog& Open(CSkrivoTemplate* tmpl, const CKeyTree& study)
    {
        m_dialog = std::make_unique<CTemplateEditorDialog>();
        m_dialog->Initialize(tmpl, &study, &Manager(), &Manager().GetMontageLibrarian());
        m_dialog->show();
        return *m_dialog;
    }
    CTemplateEditorDialog& Dialog() { return *m_dialog; }

    template <class T> T* Ctl(int id)
    {
        T* w = m_dialog->findChild<T*>(sk::editor::ControlName(id));
        EXPECT_NE(w, nullptr) << "control " << id;
        return w;
    }
    // Check boxes and radio buttons answer only on their indicator and text,
    // which sit at the left of a control that may be much wider.
    static void Click(QAbstractButton* b)
    {
        const bool pushButton = qobject_cast<QPushButton*>(b) != nullptr;
        const QPoint at = pushButton ? b->rect().center() : QPoint(std::min(8, b->width() / 2), b->height() / 2);
        QTest::mouseClick(b, Qt::LeftButton, {}, at);
    }
    void Click(int id) { Click(Ctl<QAbstractButton>(id)); }
    void Type(int id, const QString& text)
    {
        QLineEdit* e = Ctl<QLineEdit>(id);
        e->setFocus();
        QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(e, Qt::Key_Delete);
        QTest::keyClicks(e, text);
    }
    void ShowTab(int index)
    {
        QTabBar* bar = m_dialog->findChild<QTabWidget*>(QStringLiteral("tabs"))->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
        ASSERT_EQ(bar->currentIndex(), index);
    }
    void ShowOptions() { ShowTab(1); }

    // Ticks of the channel list, in order.
    std::vector<bool> Ticks()
    {
        std::vector<bool> out;
        QListWidget* list = Ctl<QListWidget>(sk::editor::IDC_CHANNEL_LIST);
        for (int i = 0; i < list->count(); ++i)
            out.push_back(list->item(i)->checkState() == Qt::Checked);
        return out;
    }
    void SetTick(int row, bool on)
    {
        Ctl<QListWidget>(sk::editor::IDC_CHANNEL_LIST)->item(row)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    }

    static std::wstring Str(const CKeyTree& t, const wchar_t* key) { return AsCStr(t.GetAt(key), L"<none>"); }
    static int Int(const CKeyTree& t, const wchar_t* key) { return IntOf(t.GetAt(key), -999); }
    static int64_t Long(const CKeyTree& t, const wchar_t* key) { return LongLongOf(t.GetAt(key), -999); }

    std::vector<QString> m_messages;

private:
    std::unique_ptr<IsolatedSettings> m_root;
    std::unique_ptr<CSkrivoTemplateManager> m_manager;
    std::unique_ptr<CTemplateEditorDialog> m_dialog;
};

} // namespace sk::test

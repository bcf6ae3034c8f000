// The template editor driven through the real dialog with QTest clicks and
// typing: a template reaches the pages and comes back, bad input is refused,
// Save and Cancel keep or drop changes. Message boxes are captured, not shown.
// Built only where Qt's test library is available (see editor/CMakeLists.txt).

// Leak reports of the system's font library, which keeps its caches for the
// life of the process once Qt has asked it for a font, are not ours to fix.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

#ifdef SKRIVO_HAVE_QTEST

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "editor/EditorControlIds.h"
#include "editor/EditorMessages.h"
#include "editor/EditorTexts.h"
#include "editor/TemplateEditorDialog.h"
#include "module/SkrivoApp.h"
#include "platform/KeyTree.h"
#include "platform/appcommon/SettingsDirs.h"
#include "platform/recording/Montage.h"
#include "support/IsolatedSettings.h"
#include "templates/MontageLibrarian.h"
#include "templates/SkrivoTemplate.h"
#include "templates/SkrivoTemplateManager.h"

using namespace sk::editor;

namespace sk::test {
namespace {

QApplication& EditorApp() {
    static int argc = 1;
    static char name[] = "skrivo_test_editor";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication* app = new QApplication(argc, argv); // lives for the process
    return *app;
}

struct StudyShape {
    int headbox = 1;
    int group = 1;     // Study.StudyGroup; 0 = key absent
    int breakouts = 0; // 0 = key absent
    int rawCount = 24; // raw channels listed, configuration 0 .. rawCount-1
    bool decimated = false;
    bool recordingMontage = true;
};

// Montage whose derivation i is the single input channels[i] (names "D<ch>").
CMontage SingleInputMontage(int headbox, const std::wstring& name, const std::vector<int>& channels) {
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
    void SetUp() override {
        EditorApp();
        m_root = std::make_unique<IsolatedSettings>();
        CMontageLibrarian::SetConsoleOwnerOverride(0);
        sk::SetLanguage(sk::Language::English);
        sk::editor::SetMessageHook([this](const QString& text) { m_messages.push_back(text); });
    }
    void TearDown() override {
        m_dialog.reset();
        sk::editor::SetMessageHook({});
        m_manager.reset();
        CMontageLibrarian::SetConsoleOwnerOverride(-1);
        sk::UseLocaleLanguage();
        m_root.reset();
    }

    // Before the first Manager() call: a montage file the library offers.
    void AddLibraryMontage(const CMontage& m) {
        const std::filesystem::path dir = std::filesystem::path(GetAppSettingsDirByStudyMode(false, STUDY_MODE_EEG));
        std::filesystem::create_directories(dir);
        ASSERT_EQ(m.Save((dir / (m.GetMontageName() + L".mtg")).wstring()), 0);
    }

    CSkrivoTemplateManager& Manager() {
        if (!m_manager) m_manager = std::make_unique<CSkrivoTemplateManager>();
        return *m_manager;
    }
    const std::filesystem::path& Root() const { return m_root->Root(); }

    static CKeyTree MakeStudy(const StudyShape& s) {
        CKeyTree study;
        study.AddKey(L"Headbox.HB0.HBType", int32_t{s.headbox});
        if (s.breakouts) study.AddKey(L"Headbox.HB0.Breakouts", int32_t{s.breakouts});
        if (s.group) study.AddKey(L"Study.StudyGroup", int32_t{s.group});
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
        if (s.decimated) study.AddKey(L"Decimated.Samples.Frequency", 64.0);
        return study;
    }

    CSkrivoTemplate* NewTemplate(const std::wstring& name) {
        CSkrivoTemplate* t = Manager().Create(L"EEG", name);
        t->SetHeadboxType(1);
        return t;
    }

    // Opens the dialog (not modal: the test keeps driving it).
    CTemplateEditorDialog& Open(CSkrivoTemplate* tmpl, const CKeyTree& study) {
        m_dialog = std::make_unique<CTemplateEditorDialog>();
        m_dialog->Initialize(tmpl, &study, &Manager(), &Manager().GetMontageLibrarian());
        m_dialog->show();
        return *m_dialog;
    }
    CTemplateEditorDialog& Dialog() { return *m_dialog; }

    template <class T> T* Ctl(int id) {
        T* w = m_dialog->findChild<T*>(sk::editor::ControlName(id));
        EXPECT_NE(w, nullptr) << "control " << id;
        return w;
    }
    // Check boxes and radio buttons answer only on their indicator and text,
    // which sit at the left of a control that may be much wider.
    static void Click(QAbstractButton* b) {
        const bool pushButton = qobject_cast<QPushButton*>(b) != nullptr;
        const QPoint at = pushButton ? b->rect().center() : QPoint(std::min(8, b->width() / 2), b->height() / 2);
        QTest::mouseClick(b, Qt::LeftButton, {}, at);
    }
    void Click(int id) { Click(Ctl<QAbstractButton>(id)); }
    void Type(int id, const QString& text) {
        QLineEdit* e = Ctl<QLineEdit>(id);
        e->setFocus();
        QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(e, Qt::Key_Delete);
        QTest::keyClicks(e, text);
    }
    void ShowTab(int index) {
        QTabBar* bar = m_dialog->findChild<QTabWidget*>(QStringLiteral("tabs"))->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
        ASSERT_EQ(bar->currentIndex(), index);
    }
    void ShowOptions() { ShowTab(1); }

    // Ticks of the channel list, in order.
    std::vector<bool> Ticks() {
        std::vector<bool> out;
        QListWidget* list = Ctl<QListWidget>(sk::editor::IDC_CHANNEL_LIST);
        for (int i = 0; i < list->count(); ++i) out.push_back(list->item(i)->checkState() == Qt::Checked);
        return out;
    }
    void SetTick(int row, bool on) {
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

// --- the Channels page ---------------------------------------------------

CItemList* SelectedList(const std::vector<std::pair<std::wstring, int>>& ticked,
                        const std::vector<std::pair<std::wstring, int>>& unticked = {}) {
    auto* list = new CItemList();
    auto add = [list](const std::wstring& name, int index, int on) {
        auto* e = new CKeyTree();
        e->AddKey(L"Channel", name);
        e->AddKey(L"Selected", int32_t{on});
        e->AddKey(L"Index", int32_t{index});
        list->Append(e);
    };
    for (auto& [n, i] : ticked) add(n, i, 1);
    for (auto& [n, i] : unticked) add(n, i, 0);
    return list;
}

void SetSelected(CSkrivoTemplate* t, CItemList* list) {
    t->DeleteKey(L"Channels.Selected");
    t->AddKey(L"Channels.Selected", list);
}

// (Selected, Index) of each stored entry.
std::vector<std::pair<int, int>> Stored(const CKeyTree& t) {
    std::vector<std::pair<int, int>> out;
    const CItemList* list = AsItemList(t.GetAt(L"Channels.Selected"));
    for (int i = 0; list && i < list->GetCount(); ++i) {
        const CKeyTree* e = AsKeyTree(list->GetChild(i));
        out.emplace_back(IntOf(e->GetAt(L"Selected"), -1), IntOf(e->GetAt(L"Index"), -1));
    }
    return out;
}

TEST_F(EditorTest, RawTicksAreRestoredByIndexNotByName) {
    CKeyTree study = MakeStudy({.rawCount = 6});
    CSkrivoTemplate* t = NewTemplate(L"T");
    t->SetAt(L"ExportChannels", L"RawData");
    // Names no longer match the study's labels, and an index the study does
    // not have is ignored.
    SetSelected(t, SelectedList({{L"Old1", 1}, {L"Old4", 4}, {L"Gone", 40}}, {{L"In2", 2}}));
    Open(t, study);
    EXPECT_EQ(Ticks(), (std::vector<bool>{false, true, false, false, true, false}));

    SetTick(0, true);
    Click(IDOK);
    EXPECT_EQ(Str(*t, L"ExportChannels"), L"RawData");
    EXPECT_EQ(Stored(*t), (std::vector<std::pair<int, int>>{{1, 0}, {1, 1}, {0, 2}, {0, 3}, {1, 4}, {0, 5}}));
    const CKeyTree* first = AsKeyTree(AsItemList(t->GetAt(L"Channels.Selected"))->GetChild(0));
    EXPECT_EQ(Str(*first, L"Channel"), L"In0");
}

TEST_F(EditorTest, MontageTicksRestoreByDerivationAndOkStoresTheListedMontage) {
    // The library offers a montage, but the template uses another one that
    // the library no longer has: the list must show the stored one, and OK
    // must keep it with its ticks.
    AddLibraryMontage(SingleInputMontage(1, L"Alpha", {0, 1, 2}));
    CKeyTree study = MakeStudy({});
    CSkrivoTemplate* t = NewTemplate(L"T");
    t->SetAt(L"ExportChannels", L"Montage");
    CKeyTree stored;
    SingleInputMontage(1, L"Zeta", {5, 6, 7, 8}).Save(stored);
    t->SetAt(L"Montage", stored.Duplicate());
    SetSelected(t, SelectedList({{L"renamed", 2}}, {{L"D5", 0}}));
    Open(t, study);

    EXPECT_EQ(Ctl<QComboBox>(IDC_MONTAGE_LIST)->currentText(), "Zeta");
    EXPECT_EQ(Ticks(), (std::vector<bool>{false, false, true, false}));

    Click(IDOK);
    EXPECT_EQ(Str(*t, L"ExportChannels"), L"Montage");
    CMontage kept;
    ASSERT_EQ(kept.Load(AsKeyTree(t->GetAt(L"Montage"))), 0);
    EXPECT_EQ(kept.GetMontageName(), L"Zeta");
    EXPECT_EQ(Stored(*t), (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}, {1, 2}, {0, 3}}));

    // Choosing the library's montage stores that one instead, all ticked.
    Open(t, study);
    Ctl<QComboBox>(IDC_MONTAGE_LIST)->setCurrentIndex(0);
    emit Ctl<QComboBox>(IDC_MONTAGE_LIST)->activated(0);
    Click(IDOK);
    ASSERT_EQ(kept.Load(AsKeyTree(t->GetAt(L"Montage"))), 0);
    EXPECT_EQ(kept.GetMontageName(), L"Alpha");
    EXPECT_EQ(Stored(*t), (std::vector<std::pair<int, int>>{{1, 0}, {1, 1}, {1, 2}}));
}

TEST_F(EditorTest, AcquisitionMontageIsCopiedIntoTheTemplate) {
    CKeyTree study = MakeStudy({.rawCount = 24});
    CSkrivoTemplate* t = NewTemplate(L"T");
    t->DeleteKey(L"Montage");
    Open(t, study);
    Click(IDC_ACQ_MONTAGE);
    SetTick(0, false);
    Click(IDC_TRIGGER);
    Click(IDC_PATIENT_EVENT);
    Click(IDOK);
    EXPECT_EQ(Str(*t, L"ExportChannels"), L"AcquisitionMontage");
    const CKeyTree* copied = AsKeyTree(t->GetAt(L"Montage"));
    ASSERT_NE(copied, nullptr);
    EXPECT_TRUE(copied->IsEqual(*AsKeyTree(study.GetAt(L"Montage"))));
    const auto stored = Stored(*t);
    ASSERT_EQ(stored.size(), 24u);
    EXPECT_EQ(stored[0], std::make_pair(0, 0));
    EXPECT_EQ(stored[23], std::make_pair(1, 23));
    EXPECT_EQ(Int(*t, L"IncludeTriggerEvent"), 1);
    EXPECT_EQ(Int(*t, L"IncludePatientEvent"), 1);
}

// Headbox 20 with two breakout boxes: configuration 0..255 stored, 256..511
// not, 512..543 the base unit's DC inputs.
TEST_F(EditorTest, MultiBreakoutRangeButtonsTickWholeBlocks) {
    CKeyTree study = MakeStudy({.headbox = 20, .breakouts = 2, .rawCount = 0, .recordingMontage = false});
    // Derivations over channels 0..63, 130..131 and 200, none in 64..127,
    // one on an unused breakout (300) and one whose reference is there.
    std::vector<int> channels;
    for (int c = 0; c < 64; ++c) channels.push_back(c);
    for (int c : {130, 131, 200, 300, 520}) channels.push_back(c);
    CMontage m = SingleInputMontage(20, L"Acq", channels);
    CMontageChannel bipolar(L"D5-D400", 0);
    CHalfMontageChannel a, b;
    a.AddInput(5, 1.0f);
    b.AddInput(400, 1.0f);
    bipolar.SetFirstHalf(a);
    bipolar.SetSecondHalf(b);
    m.AddChannel(bipolar);
    auto* tree = new CKeyTree();
    m.Save(*tree);
    study.AddKey(L"Montage", tree);
    CSkrivoTemplate* t = NewTemplate(L"T");
    t->SetHeadboxType(20);
    t->SetAt(L"ExportChannels", L"AcquisitionMontage");
    Open(t, study);

    // Four ranges shown, the empty one (65 - 128) off.
    EXPECT_TRUE(Ctl<QPushButton>(IDC_RANGE_FIRST + 3)->isVisible());
    EXPECT_FALSE(Ctl<QPushButton>(IDC_RANGE_FIRST + 4)->isVisible());
    EXPECT_FALSE(Ctl<QPushButton>(IDC_RANGE_FIRST + 1)->isEnabled());

    // Not listed: the derivation on the unused breakout and the one whose
    // reference lies there; the DC input is. The buttons untick full blocks
    // and tick partly ticked ones.
    Click(IDC_ACQ_MONTAGE); // choosing the source again ticks everything
    std::vector<bool> ticks = Ticks();
    ASSERT_EQ(ticks, std::vector<bool>(64 + 3 + 1, true));

    Click(IDC_RANGE_FIRST); // all of 1 - 64 ticked: unticks them
    ticks = Ticks();
    EXPECT_EQ(std::count(ticks.begin(), ticks.begin() + 64, true), 0);
    EXPECT_TRUE(ticks[64] && ticks[67]);

    SetTick(10, true);
    Click(IDC_RANGE_FIRST); // partly ticked: ticks them all
    ticks = Ticks();
    EXPECT_EQ(std::count(ticks.begin(), ticks.begin() + 64, true), 64);

    Click(IDC_RANGE_FIRST + 2); // 129 - 192 holds 130 and 131
    ticks = Ticks();
    EXPECT_FALSE(ticks[64] || ticks[65]);
    EXPECT_TRUE(ticks[66]);

    Click(IDOK);
    const auto stored = Stored(*t);
    ASSERT_EQ(stored.size(), 68u);
    EXPECT_EQ(stored[64], std::make_pair(0, 64));
    EXPECT_EQ(stored[67], std::make_pair(1, 68)); // derivation position, not the channel
}

// --- the Options page ----------------------------------------------------

// Stored values through the page and back with OK; OK without opening the
// page leaves even values it would rewrite or refuse as they were.
TEST_F(EditorTest, OptionsShowStoredValuesAndOkStoresThem) {
    struct Values { std::wstring format; int padGaps; std::wstring extension; int64_t spatial; int temporal; };
    const struct { const char* what; Values in, out; bool shown = true; } cases[] = {
        {"EDF drops PadGaps", {L"EDF", 1, L".EDF", 0, 0}, {L"EDF", 0, L".EDF", 0, 0}},
        {"EDF+ keeps PadGaps", {L"EDF+", 1, L".edf", 0, 0}, {L"EDF+", 1, L".EDF", 0, 0}},
        // The writer reads the format as the page shows it: letter case aside.
        {"edf+ is EDF+", {L"edf+", 1, L".rec", 0, 0}, {L"EDF+", 1, L".REC", 0, 0}},
        {"unknown format is EDF", {L"BDF", 1, L".EDF", 0, 0}, {L"EDF", 0, L".EDF", 0, 0}},
        {"unknown extension becomes .REC", {L"EDF", 0, L".bdf", 0, 0}, {L"EDF", 0, L".REC", 0, 0}},
        {"one gigabyte kept", {L"EDF", 0, L".EDF", 1048576, 0}, {L"EDF", 0, L".EDF", 1048576, 0}},
        {"size wins over duration", {L"EDF", 0, L".EDF", 204800, 600}, {L"EDF", 0, L".EDF", 204800, 0}},
        {"ninety seconds become one minute", {L"EDF", 0, L".EDF", 0, 90}, {L"EDF", 0, L".EDF", 0, 60}},
        {"negative size means duration", {L"EDF", 0, L".EDF", -5, 7200}, {L"EDF", 0, L".EDF", 0, 7200}},
        {"page not opened", {L"EDF", 1, L".bdf", 1500, 0}, {L"EDF", 1, L".bdf", 1500, 0}, false},
    };
    CKeyTree study = MakeStudy({});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CSkrivoTemplate* t = NewTemplate(L"T");
        t->SetAt(L"ExportFormat", c.in.format);
        t->SetAt(L"PadGaps", int32_t{c.in.padGaps});
        t->SetAt(L"Extension", c.in.extension);
        t->SetAt(L"SpatialMaximum", int64_t{c.in.spatial});
        t->SetAt(L"TemporalMaximum", int32_t{c.in.temporal});
        Open(t, study);
        if (c.shown) ShowOptions();
        Click(IDOK);
        EXPECT_TRUE(m_messages.empty());
        EXPECT_EQ(Dialog().result(), QDialog::Accepted);
        EXPECT_EQ(Str(*t, L"ExportFormat"), c.out.format);
        EXPECT_EQ(Int(*t, L"PadGaps"), c.out.padGaps);
        EXPECT_EQ(Str(*t, L"Extension"), c.out.extension);
        EXPECT_EQ(Long(*t, L"SpatialMaximum"), c.out.spatial);
        EXPECT_EQ(Int(*t, L"TemporalMaximum"), c.out.temporal);
        // Stored as the 64-bit kind the exporter reads.
        EXPECT_EQ(t->GetAt(L"SpatialMaximum")->Kind(), ItemKind::LongLong);
    }
}

TEST_F(EditorTest, LimitsOutOfRangeAreRefusedUntilCorrected) {
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
    Type(IDC_SIZE_EDIT, "12x");
    Click(IDOK);
    ASSERT_EQ(m_messages.size(), 3u);
    EXPECT_EQ(m_messages[2], "Please enter an unsigned integer.");

    Type(IDC_SIZE_EDIT, "100");
    Click(IDOK);
    EXPECT_EQ(m_messages.size(), 3u);
    EXPECT_EQ(Dialog().result(), QDialog::Accepted);
    EXPECT_EQ(Long(*t, L"SpatialMaximum"), 102400);
    EXPECT_EQ(Int(*t, L"TemporalMaximum"), 0);

    // The duration is checked only while its edit is enabled.
    m_messages.clear();
    t->SetAt(L"SpatialMaximum", int64_t{0});
    t->SetAt(L"TemporalMaximum", int32_t{86400 + 60}); // 1441 minutes
    Open(t, study);
    ShowOptions();
    Click(IDOK);
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(m_messages[0], "Please enter an integer between 1 and 1440.");
    Click(IDC_LIMIT_SIZE);
    Click(IDOK);
    EXPECT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(Long(*t, L"SpatialMaximum"), int64_t{1048576} * 1024);
    EXPECT_EQ(Int(*t, L"TemporalMaximum"), 0);
}

// The same clicks on both pages: Cancel drops them, OK stores them (plain
// EDF would have disabled Pad Gaps).
TEST_F(EditorTest, ClicksReachTheTemplateOnlyWithOk) {
    CKeyTree study = MakeStudy({.decimated = true});
    CSkrivoTemplate* t = NewTemplate(L"T");
    t->SetAt(L"InvertAC", int32_t{1});
    const CKeyTree before(*t);
    for (int button : {int(IDCANCEL), int(IDOK)}) {
        Open(t, study);
        Click(IDC_TRIGGER);
        ShowOptions();
        Click(IDC_FORMAT_EDFPLUS);
        Click(IDC_PAD_GAPS);
        Click(IDC_DEIDENTIFY);
        Click(IDC_INVERT_AC);
        Ctl<QComboBox>(IDC_EXTENSION)->setCurrentIndex(1);
        Click(button);
        EXPECT_EQ(Dialog().result(), button == IDOK ? QDialog::Accepted : QDialog::Rejected);
        EXPECT_EQ(t->IsEqual(before), button == IDCANCEL);
    }
    EXPECT_EQ(Int(*t, L"IncludeTriggerEvent"), 1);
    EXPECT_EQ(Str(*t, L"ExportFormat"), L"EDF+");
    EXPECT_EQ(Int(*t, L"PadGaps"), 1);
    EXPECT_EQ(Int(*t, L"Deidentify"), 1);
    EXPECT_EQ(Int(*t, L"InvertAC"), 0);
    EXPECT_EQ(Str(*t, L"Extension"), L".REC");
}

// --- the sheet and its hosts ---------------------------------------------

// A new template needs a name before OK or Save; Save writes the file, locks
// the name and keeps the sheet open.
TEST_F(EditorTest, NewTemplateNeedsANameAndSaveWritesItAndLocksTheName) {
    const std::filesystem::path folder = Root() / "templates" / "EEG";
    std::filesystem::create_directories(folder);
    ASSERT_EQ(Manager().Load(L"EEG", folder.wstring()), CSkrivoTemplateManager::kOk);
    CKeyTree study = MakeStudy({});
    CSkrivoTemplate* t = NewTemplate(L"");
    const CKeyTree before(*t);
    Open(t, study);
    QLineEdit* name = Ctl<QLineEdit>(IDC_NAME_EDIT);

    for (int id : {int(IDOK), int(IDC_SAVE)}) {
        Click(id);
        ASSERT_EQ(m_messages.size(), 1u) << id;
        EXPECT_EQ(m_messages[0], "You must specify a name for the template.");
        EXPECT_TRUE(Dialog().isVisible());
        EXPECT_TRUE(t->IsEqual(before));
        m_messages.clear();
    }

    Type(IDC_NAME_EDIT, "Saved One");
    ShowOptions();
    Click(IDC_FORMAT_EDFPLUS);
    Click(IDC_SAVE);
    EXPECT_TRUE(m_messages.empty());
    EXPECT_TRUE(Dialog().isVisible());
    EXPECT_FALSE(name->isEnabled());
    EXPECT_TRUE(std::filesystem::exists(folder / "Saved One.exp"));
    ASSERT_NE(Manager().GetItem(L"EEG", L"Saved One"), nullptr);
    EXPECT_EQ(Manager().GetItem(L"EEG", L"Saved One")->GetExportType(), CSkrivoTemplate::FormatEDFPlus);
    EXPECT_TRUE(Dialog().WorkingCopy().IsEqual(*t)) << "the working copy now is the saved template";

    // Leaving with Cancel keeps what Save put into the template and the file.
    Click(IDCANCEL);
    EXPECT_FALSE(Dialog().isVisible());
    EXPECT_EQ(Str(*t, L"Name"), L"Saved One");
    EXPECT_EQ(Str(*t, L"ExportFormat"), L"EDF+");
}

// OK sets the modality from the study group, the headbox from the study.
TEST_F(EditorTest, ModalityAndHeadboxFollowTheStudyOnOk) {
    // group 0: the key is absent
    const struct { int group; std::wstring templateModality; int templateHeadbox; std::wstring expectedModality;
                   int expectedHeadbox; } cases[] = {
        {1, L"Sleep", 0, L"EEG", 5}, {2, L"EEG", 0, L"Sleep", 5}, {7, L"EEG", 11, L"Sleep", 11}, {0, L"Sleep", 3, L"EEG", 3}};
    for (const auto& c : cases) {
        CKeyTree study = MakeStudy({.headbox = 5, .group = c.group, .rawCount = 4});
        CSkrivoTemplate* t = NewTemplate(L"T");
        t->SetAt(L"Modality", c.templateModality);
        t->SetAt(L"HBType", int32_t{c.templateHeadbox});
        Open(t, study);
        Click(IDOK);
        EXPECT_EQ(Str(*t, L"Modality"), c.expectedModality) << c.group;
        EXPECT_EQ(Int(*t, L"HBType"), c.expectedHeadbox) << c.group;
    }
}

TEST_F(EditorTest, TextsFollowTheProductLanguage) {
    // Every text exists in every language, and messages follow the language.
    for (int lang = 0; lang < kLanguageCount; ++lang)
        for (int id = 0; id < static_cast<int>(Text::Count_); ++id)
            EXPECT_FALSE(Tr(static_cast<Text>(id), static_cast<Language>(lang)).isEmpty()) << lang << " " << id;

    sk::SetLanguage(Language::German);
    CKeyTree study = MakeStudy({});
    Open(NewTemplate(L""), study);
    Click(IDOK);
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(m_messages[0], QString::fromStdWString(sk::LoadString(sk::IDS_NAME_REQUIRED, Language::German)));
    EXPECT_NE(m_messages[0], "You must specify a name for the template.");
}

} // namespace
} // namespace sk::test

#endif // SKRIVO_HAVE_QTEST

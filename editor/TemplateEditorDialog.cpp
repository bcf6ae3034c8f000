#include "editor/TemplateEditorDialog.h"

#include <algorithm>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>

#include "editor/EditorMessages.h"
#include "editor/EditorTexts.h"
#include "editor/TemplateChannelsPage.h"
#include "editor/TemplateOptionsPage.h"
#include "module/SkrivoApp.h"
#include "platform/Log.h"
#include "templates/SkrivoTemplate.h"
#include "templates/SkrivoTemplateManager.h"

using namespace sk::editor;

namespace {
constexpr int kMargin = 7;
constexpr int kButtonWidth = 84;
constexpr int kButtonHeight = 26;
constexpr int kButtonGap = 6;

void Trace(const CKeyTree& tree) { CTaviLogManager::WriteLegacyTrace(tree.ToIndentString(0, 1)); }
} // namespace

CTemplateEditorDialog::CTemplateEditorDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(ModuleString(sk::IDS_EDITOR_TITLE));
    setModal(true);
    setObjectName(QStringLiteral("TemplateEditorDialog"));

    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("tabs"));
    m_channelsPage = new CTemplateChannelsPage();
    m_optionsPage = new CTemplateOptionsPage();
    m_tabs->addTab(m_channelsPage, m_channelsPage->GetCaption());
    m_tabs->addTab(m_optionsPage, m_optionsPage->GetCaption());
    m_tabs->setCurrentIndex(0);

    auto makeButton = [this](const QString& text, int id) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(ControlName(id));
        b->setAutoDefault(false);
        connect(b, &QAbstractButton::clicked, this, [this, id] { OnCommand(id); });
        return b;
    };
    m_okButton = makeButton(Tr(Text::Ok), IDOK);
    m_okButton->setDefault(true);
    m_cancelButton = makeButton(Tr(Text::Cancel), IDCANCEL);
    m_applyButton = makeButton(Tr(Text::Apply), ID_APPLY_NOW);

    // The sheet as the framework lays it out: pages, then the button row
    // (OK, Cancel, Apply) at the right.
    // The pages have a fixed size; the tab widget adds its bar and frame.
    const QSize pageSize = m_channelsPage->minimumSize();
    const QSize tabSize = m_tabs->sizeHint().expandedTo(
        pageSize + QSize(6, m_tabs->tabBar()->sizeHint().height() + 6));
    m_tabs->setGeometry(kMargin, kMargin, tabSize.width(), tabSize.height());
    const int width = tabSize.width() + 2 * kMargin;
    const int rowY = m_tabs->geometry().bottom() + 1 + kMargin;
    int x = width - kMargin - 3 * kButtonWidth - 2 * kButtonGap;
    for (QPushButton* b : {m_okButton, m_cancelButton, m_applyButton}) {
        b->setGeometry(x, rowY, kButtonWidth, kButtonHeight);
        x += kButtonWidth + kButtonGap;
    }
    setFixedSize(width, rowY + kButtonHeight + kMargin);
}

CTemplateEditorDialog::~CTemplateEditorDialog() = default;

void CTemplateEditorDialog::Initialize(CSkrivoTemplate* tmpl, const CKeyTree* study,
                                       CSkrivoTemplateManager* manager, CMontageLibrarian* librarian)
{
    m_template = tmpl;
    m_study = study;
    m_manager = manager;
    m_librarian = librarian;
    if (tmpl)
        Trace(*tmpl);
    m_workingCopy.Empty();
    if (tmpl)
        m_workingCopy.Merge(*tmpl);
    Trace(m_workingCopy);
    m_channelsPage->Initialize(&m_workingCopy, study, librarian);
    m_optionsPage->Initialize(&m_workingCopy, study);
}

void CTemplateEditorDialog::setVisible(bool visible)
{
    if (visible && !m_initDone) {
        m_initDone = true;
        OnInitDialog();
    }
    QDialog::setVisible(visible);
}

void CTemplateEditorDialog::OnInitDialog()
{
    m_nameLabel = new QLabel(ModuleString(sk::IDS_NAME_LABEL), this);
    m_nameLabel->setObjectName(ControlName(IDC_NAME_LABEL));
    m_nameLabel->setFont(font());
    // Positions of the 8-point dialog font; a larger font widens the label
    // and pushes the edit right rather than clipping the text.
    const int labelRight = std::max(40, 8 + m_nameLabel->sizeHint().width());
    m_nameLabel->setGeometry(QRect(QPoint(8, 8), QPoint(labelRight, 20)));
    m_nameLabel->show();

    m_nameEdit = new QLineEdit(this);
    m_nameEdit->setObjectName(ControlName(IDC_NAME_EDIT));
    m_nameEdit->setGeometry(QRect(QPoint(labelRight + 10, 7), QPoint(width() - 8, 24)));
    m_nameEdit->setFont(font());
    m_nameEdit->setFocusPolicy(Qt::StrongFocus);
    m_nameEdit->show();
    setTabOrder(m_nameEdit, m_tabs);

    const int dy = std::max(m_nameLabel->geometry().bottom(), m_nameEdit->geometry().bottom()) + 8;
    setFixedSize(width(), height() + dy);
    for (QWidget* w : {static_cast<QWidget*>(m_tabs), static_cast<QWidget*>(m_okButton),
                       static_cast<QWidget*>(m_cancelButton), static_cast<QWidget*>(m_applyButton)})
        w->move(w->x(), w->y() + dy);

    // Save takes the place of the hidden Apply button.
    m_saveButton = new QPushButton(ModuleString(sk::IDS_SAVE), this);
    m_saveButton->setObjectName(ControlName(IDC_SAVE));
    m_saveButton->setAutoDefault(false);
    m_saveButton->setFont(font());
    m_saveButton->setGeometry(m_applyButton->geometry());
    connect(m_saveButton, &QAbstractButton::clicked, this, [this] { OnCommand(IDC_SAVE); });
    m_saveButton->show();
    m_applyButton->hide();

    if (QWidget* p = parentWidget()) {
        const QPoint centre = p->mapToGlobal(p->rect().center());
        move(centre - QPoint(width() / 2, height() / 2));
    }

    const QString name = QString::fromStdWString(AsCStr(m_workingCopy.GetAt(L"Name"), L""));
    m_nameEdit->setText(name);
    if (!name.isEmpty())
        m_nameEdit->setEnabled(false);
}

bool CTemplateEditorDialog::ApplyPages()
{
    if (!m_channelsPage->OnApply())
        return false;
    return m_optionsPage->OnApply();
}

bool CTemplateEditorDialog::CommitEdits()
{
    if (!m_nameEdit || m_nameEdit->text().isEmpty()) {
        ShowMessage(ModuleString(sk::IDS_NAME_REQUIRED));
        return false;
    }
    if (!ApplyPages())
        return false;
    ApplyToTemplate();
    return true;
}

bool CTemplateEditorDialog::OnCommand(int id)
{
    switch (id) {
    case IDOK:
    case ID_APPLY_NOW:
        if (!CommitEdits())
            return true;
        accept();
        return true;
    case IDCANCEL:
        reject();
        return true;
    case IDC_SAVE:
        if (!CommitEdits())
            return true;
        if (m_template) {
            // A failed save is not reported: the sheet stays as it is and
            // OK still hands the edited template to the caller.
            if (m_manager)
                (void)m_manager->Save(m_template, true);
            Trace(*m_template);
            m_workingCopy.Empty();
            m_workingCopy.Merge(*m_template);
            Trace(m_workingCopy);
        }
        m_nameEdit->setEnabled(false);
        return true;
    default:
        return false;
    }
}

void CTemplateEditorDialog::ApplyToTemplate()
{
    const int studyHeadbox = m_study ? IntOf(m_study->GetAt(L"Headbox.HB0.HBType"), 0) : 0;
    if (IntOf(m_workingCopy.GetAt(L"HBType"), 0) == 0)
        m_workingCopy.SetAt(L"HBType", int32_t{studyHeadbox});
    const int group = m_study ? IntOf(m_study->GetAt(L"Study.StudyGroup"), 1) : 1;
    m_workingCopy.SetAt(L"Modality", group == 1 ? L"EEG" : L"Sleep");
    m_workingCopy.SetAt(L"Name", m_nameEdit ? m_nameEdit->text().toStdWString() : std::wstring());
    if (m_template)
        m_template->Load(m_workingCopy);
}

void CTemplateEditorDialog::ShowMessage(const QString& text) { sk::editor::ShowMessage(this, text); }

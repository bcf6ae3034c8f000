#pragma once
// The modal template editor: a "Channels" and an "Options" page under a name
// field, with OK, Cancel and Save. The pages edit a working copy of the
// template; the template itself changes only on OK or Save, and only Save
// writes it to disk (through the template manager).
//
// Parent windows: the core passes the host's window as an opaque CWnd*. In
// this product a CWnd* is a QWidget* in disguise (sk::editor::ToWnd and
// FromWnd convert); null means no parent.

#include <QDialog>

#include "editor/EditorControlIds.h"
#include "platform/KeyTree.h"

class CMontageLibrarian;
class CSkrivoTemplate;
class CSkrivoTemplateManager;
class CTemplateChannelsPage;
class CTemplateOptionsPage;
class CWnd;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace sk::editor {
inline CWnd* ToWnd(QWidget* widget) { return reinterpret_cast<CWnd*>(widget); }
inline QWidget* FromWnd(CWnd* wnd) { return reinterpret_cast<QWidget*>(wnd); }
} // namespace sk::editor

class CTemplateEditorDialog : public QDialog {
    Q_OBJECT
public:
    explicit CTemplateEditorDialog(QWidget* parent = nullptr);
    ~CTemplateEditorDialog() override;

    // Borrows everything; study and librarian may be null. Makes the
    // working copy from the template.
    void Initialize(CSkrivoTemplate* tmpl, const CKeyTree* study, CSkrivoTemplateManager* manager,
                    CMontageLibrarian* librarian);

    // Creates the name field and the Save button and lays the sheet out;
    // runs once, just before the sheet is first shown.
    void OnInitDialog();
    // A push button of the sheet was clicked (IDOK, IDCANCEL, ID_APPLY_NOW,
    // IDC_SAVE). True when the command was handled.
    bool OnCommand(int id);
    // Writes the working copy, completed from the study and the name field,
    // into the template.
    void ApplyToTemplate();

    CTemplateChannelsPage* ChannelsPage() const { return m_channelsPage; }
    CTemplateOptionsPage* OptionsPage() const { return m_optionsPage; }
    const CKeyTree& WorkingCopy() const { return m_workingCopy; }

    void setVisible(bool visible) override;

protected:
    // Message boxes go through here (see sk::editor::SetMessageHook).
    virtual void ShowMessage(const QString& text);

private:
    // Both pages' OnApply, channels first; false when one refuses.
    bool ApplyPages();
    // What OK, Apply and Save share: a name is required, both pages apply,
    // then the working copy goes into the template. False when the sheet
    // must stay as it is (the user was told why).
    bool CommitEdits();

    CTemplateChannelsPage* m_channelsPage;
    CTemplateOptionsPage* m_optionsPage;
    QLineEdit* m_nameEdit = nullptr;
    QLabel* m_nameLabel = nullptr;
    CKeyTree m_workingCopy;
    const CKeyTree* m_study = nullptr;
    CSkrivoTemplate* m_template = nullptr;
    CSkrivoTemplateManager* m_manager = nullptr;
    CMontageLibrarian* m_librarian = nullptr;
    QPushButton* m_saveButton = nullptr;

    QTabWidget* m_tabs;
    QPushButton* m_okButton;
    QPushButton* m_cancelButton;
    QPushButton* m_applyButton;
    bool m_initDone = false;
};

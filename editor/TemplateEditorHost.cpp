#include "editor/TemplateEditorHost.h"

#include <QApplication>

#include "editor/TemplateEditorDialog.h"

int CTemplateEditorHost::EditTemplate(CSkrivoTemplate* tmpl, const CKeyTree* study,
                                      CSkrivoTemplateManager& manager, CMontageLibrarian& librarian,
                                      CWnd* parent)
{
    if (!tmpl || !qobject_cast<QApplication*>(QCoreApplication::instance()))
        return 1;
    CTemplateEditorDialog dialog(sk::editor::FromWnd(parent));
    dialog.Initialize(tmpl, study, &manager, &librarian);
    return dialog.exec() == QDialog::Accepted ? 0 : 1;
}

namespace sk::editor {
namespace {
CTemplateEditorHost g_host;
}

ITemplateEditorHost* RegisterTemplateEditor() { return ITemplateEditorHost::Register(&g_host); }

void UnregisterTemplateEditor()
{
    if (ITemplateEditorHost::Current() == &g_host)
        ITemplateEditorHost::Register(nullptr);
}
} // namespace sk::editor

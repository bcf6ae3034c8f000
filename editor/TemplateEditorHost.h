#pragma once
// Connects the template manager's Edit (and through it the engine's
// EditTemplate) to the Qt editor. The core knows only ITemplateEditorHost;
// a program that links the editor calls RegisterTemplateEditor once, on its
// user-interface thread, after creating its QApplication.

#include "templates/ITemplateEditorHost.h"

class CTemplateEditorHost final : public ITemplateEditorHost {
public:
    // Runs CTemplateEditorDialog modally on the template; the parent is a
    // QWidget* passed as CWnd* (see sk::editor::ToWnd). 1 without a
    // QApplication (no display to show the dialog on).
    int EditTemplate(CSkrivoTemplate* tmpl, const CKeyTree* study, CSkrivoTemplateManager& manager,
                     CMontageLibrarian& librarian, CWnd* parent) override;
};

namespace sk::editor {
// Registers the process-wide editor host; returns the previous host.
ITemplateEditorHost* RegisterTemplateEditor();
// Unregisters it when it is the current host.
void UnregisterTemplateEditor();
} // namespace sk::editor

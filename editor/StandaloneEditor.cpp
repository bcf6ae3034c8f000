#include "editor/StandaloneEditor.h"

#include <QApplication>

#include "editor/TemplateEditorHost.h"
#include "templates/SkrivoTemplateManager.h"

namespace sk::editor {

bool DisplayAvailable()
{
    if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        return true;
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

int EditStandalone(CSkrivoTemplateManager& manager, CSkrivoTemplate* tmpl, const CKeyTree* study)
{
    if (!DisplayAvailable())
        return kNoDisplay;
    if (!QCoreApplication::instance()) {
        // QApplication keeps argc by reference: both must outlive it.
        static int argc = 1;
        static char name[] = "skrivo";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv); // lives until the process ends
    } else if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        return kNoDisplay; // a console-only Qt application cannot show widgets
    }
    RegisterTemplateEditor();
    return manager.Edit(tmpl, study, nullptr);
}

} // namespace sk::editor

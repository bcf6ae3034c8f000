#include "editor/EditorMessages.h"

#include <QMessageBox>

#include "editor/EditorTexts.h"
#include "module/SkrivoApp.h"

namespace sk::editor {
namespace {
MessageHook& Hook()
{
    static MessageHook hook;
    return hook;
}
} // namespace

void ShowMessage(QWidget* parent, const QString& text)
{
    if (Hook()) {
        Hook()(text);
        return;
    }
    QMessageBox::warning(parent, ModuleString(IDS_SKRIVO), text, QMessageBox::Ok);
}

MessageHook SetMessageHook(MessageHook hook)
{
    MessageHook previous = std::move(Hook());
    Hook() = std::move(hook);
    return previous;
}

} // namespace sk::editor

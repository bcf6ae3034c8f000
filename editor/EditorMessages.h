#pragma once
// Message boxes of the template editor. A hook replaces the box (tests and
// unattended runs capture the text instead of blocking on a modal box).

#include <functional>

#include <QString>

class QWidget;

namespace sk::editor {

using MessageHook = std::function<void(const QString& text)>;

// Shows text with an OK button (caption: module string 100), or hands it to
// the hook when one is installed.
void ShowMessage(QWidget* parent, const QString& text);
// Installs the hook (an empty function restores the box); returns the
// previous one. User-interface thread only.
MessageHook SetMessageHook(MessageHook hook);

} // namespace sk::editor

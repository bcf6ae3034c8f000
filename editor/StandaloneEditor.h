#pragma once
// The editor for programs that have no Qt event loop of their own, such as
// the command line: one call that brings up what the dialog needs and opens
// the template manager's editor on a template.

class CKeyTree;
class CSkrivoTemplate;
class CSkrivoTemplateManager;

namespace sk::editor {

inline constexpr int kNoDisplay = -1;

// True when a window can be shown: a QApplication already runs, or
// QT_QPA_PLATFORM, DISPLAY or WAYLAND_DISPLAY is set.
bool DisplayAvailable();

// Creates the QApplication when none exists (kept for the rest of the
// process), registers the editor and runs the manager's Edit on the
// template with the study (may be null). 0 after OK, 1 otherwise, kNoDisplay
// when no window can be shown (nothing is changed then).
int EditStandalone(CSkrivoTemplateManager& manager, CSkrivoTemplate* tmpl, const CKeyTree* study);

} // namespace sk::editor

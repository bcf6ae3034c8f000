#pragma once
// The command line's way to the template editor. `skrivo` links no GUI
// library and hands a command that edits to `skrivo-editor`, the same
// commands built with the Qt editor, installed beside it. Without that
// program, or without a display to show a window on, every function here
// answers with a message instead of opening anything.

#include <string>

class CKeyTree;
class CSkrivoTemplate;

namespace sk::cli {

// In `skrivo`: replaces the process by `skrivo-editor` beside it, given the
// same arguments, and returns only when there is none to run (EditorReady
// then says why). In `skrivo-editor`: returns at once.
void RunInEditorProgram(char** argv);

// Brings up what the editor needs (the application object, the registered
// editor) once per process. False with the reason for the user when no
// window can be shown: no editor program, no display, or a display that
// does not answer.
bool EditorReady(std::string* why);

// A study description that stands in for a study when a stored template is
// edited on its own, shaped after the template so that OK without changes
// keeps it as it is: the study group of its modality, its headbox type with
// that headbox's channels under the names a new template of the modality
// gets (for the multi-breakout headbox, as many breakout boxes as its
// channels need), its montage as the recorded one, and decimated data so
// that the choice of decimated data can be edited.
CKeyTree StandInStudy(const CSkrivoTemplate& tmpl);

} // namespace sk::cli

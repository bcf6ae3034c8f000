#pragma once
// Small text and path helpers of the writer (namespace sk::writer). Paths are
// wide inside and UTF-8 for the operating system; both separators are
// accepted on input.

#include <string>
#include <vector>

#include "platform/TextConv.h"

namespace sk::writer {

// Invalid input becomes U+FFFD: names and paths are shown, never refused here.
inline std::string ToUtf8(const std::wstring& text) { return sk::ToUtf8Lossy(text); }
inline std::wstring FromUtf8(const std::string& text) { return sk::FromUtf8Lossy(text); }
// True when every character is printable US-ASCII (0x20..0x7E), the only
// bytes a header text may hold; control characters count as foreign.
bool IsPrintableAscii(const std::wstring& text);
// The ASCII rendering of a header text (see docs/writer.md): printable ASCII
// stays, Latin letters with diacritics take the transliteration of
// machine-readable passports (ICAO 9303: "ä" -> "ae", "ß" -> "ss", "ø" -> "oe",
// "é" -> "e"), combining accents are dropped. False, *out empty, when a
// character has no rendering (other scripts, symbols, emoji, controls).
bool ToAsciiRendering(const std::wstring& text, std::wstring* out);
// ASCII-only case-insensitive comparison (key values such as "EDF+").
bool IEquals(const std::wstring& a, const std::wstring& b);
std::wstring ToUpperAscii(std::wstring text);
std::wstring ToLowerAscii(std::wstring text);
std::wstring ReplaceAll(std::wstring text, const std::wstring& from, const std::wstring& to);

// Removes the temporary files of an export to `path` that no export holds
// any more (left by one that was killed) and returns their names. A writer
// holds its temporary file locked (EdfOutputFile) until it renames or removes
// it, and the lock goes with the process however it ends.
std::vector<std::wstring> RemoveLeftoverTemporaries(const std::wstring& path);

bool IsSeparator(wchar_t c);
// folder joined with name: no separator added when folder already ends in one.
std::wstring PathCombine(const std::wstring& folder, const std::wstring& name);
// Last component of a path (after the last separator).
std::wstring FileNameOf(const std::wstring& path);
// Everything before the last component (with its trailing separator).
std::wstring FolderOf(const std::wstring& path);
// path with its extension (from the last dot of the last component) replaced
// by ext ("" removes it); a path without extension gets ext appended.
std::wstring ReplaceExtension(const std::wstring& path, const std::wstring& ext);
// Extension of the last component, dot included; empty when none.
std::wstring ExtensionOf(const std::wstring& path);
bool FileExists(const std::wstring& path);   // a regular file
// The study file at path, matched ignoring letter case when the exact name
// does not exist (a study copied from a case-insensitive file system may
// carry ".eeg", ".etc", ... extensions); path itself when none matches.
std::wstring FindStudyFile(const std::wstring& path);
bool FolderExists(const std::wstring& path); // a directory
// The reason in an error text of the recording library ("<path>: <reason>"),
// without the path, which a problem names on its own.
std::wstring ReasonOf(const std::wstring& text, const std::wstring& path);
// Anything at all (file, folder, link, FIFO, ...) under that name.
bool AnyFileAt(const std::wstring& path);
// Renames from to to. Without replace an existing target is kept and the
// call fails with errno EEXIST, also when it appeared a moment ago (another
// process exporting into the same folder).
bool RenameFile(const std::string& from, const std::string& to, bool replace);
// Syncs a folder, so that a rename in it reaches the disk; false on failure.
bool SyncFolder(const std::string& folder);

} // namespace sk::writer

#pragma once
// Path helpers in the manner of the Windows shell path functions. Paths are
// wide strings; both '/' and '\\' count as separators (ported code writes
// "Decimated\\"), and ToNative turns every '\\' into '/'. Study folders come
// from case-insensitive file systems, so name lookups here ignore letter case.

#include <string>
#include <vector>

#include "platform/SkrivoExport.h"

namespace sk::path {

// folder + separator + name; no doubled separator; an empty side gives the
// other; an absolute name ("/x") is returned as it is.
SKRIVO_API std::wstring Combine(const std::wstring& folder, const std::wstring& name);
// Everything before the last separator, without it ("/a/b.eeg" -> "/a",
// "/b" -> "/", "b" -> "").
SKRIVO_API std::wstring FolderPart(const std::wstring& path);
// Everything after the last separator ("/a/b.eeg" -> "b.eeg").
SKRIVO_API std::wstring FileNamePart(const std::wstring& path);
// The extension of the file name part with its dot (".eeg"), "" when none.
// A leading dot alone (".hidden") is not an extension.
SKRIVO_API std::wstring ExtensionPart(const std::wstring& path);
// The file name part without its extension.
SKRIVO_API std::wstring StemPart(const std::wstring& path);
// Replaces (or adds) the extension; ext may come with or without its dot;
// an empty ext removes it.
SKRIVO_API std::wstring ReplaceExtension(const std::wstring& path, const std::wstring& ext);
// Removes one trailing separator (not from the root "/").
SKRIVO_API std::wstring RemoveTrailingSeparator(const std::wstring& path);

// The one spelling of a path that names the same thing: absolute, "." and
// ".." resolved, symbolic links of its existing part followed, no trailing
// separator. Letter case is kept (the file system here tells it apart).
SKRIVO_API std::wstring Normalize(const std::wstring& path);

SKRIVO_API bool Exists(const std::wstring& path);
SKRIVO_API bool IsDirectory(const std::wstring& path);
SKRIVO_API bool IsRegularFile(const std::wstring& path);
// Creates the folder and its missing parents; true when it exists afterwards.
SKRIVO_API bool CreateDirectories(const std::wstring& path);

// Wildcard match of a name against a pattern ('*' any run, '?' one char),
// ignoring letter case.
SKRIVO_API bool MatchesPattern(const std::wstring& name, const std::wstring& pattern);
// Entries of `folder` (not recursive) whose names match `pattern` ("*.eeg"
// finds "X.EEG" too), as full paths sorted by name; regular files only unless
// includeFolders. An unreadable folder yields an empty list.
SKRIVO_API std::vector<std::wstring> FindFiles(const std::wstring& folder, const std::wstring& pattern,
                                               bool includeFolders = false);
// The entry of `folder` whose name equals `name` ignoring case (an exact
// match wins over others); its full path, or "" when none.
SKRIVO_API std::wstring FindIgnoringCase(const std::wstring& folder, const std::wstring& name);

// Wide path <-> bytes for the OS. UTF-8; bytes that are not UTF-8 survive a
// round trip as U+DC80..U+DCFF (so any file on disk can be named).
SKRIVO_API std::string ToNative(const std::wstring& path);
SKRIVO_API std::wstring FromNative(const std::string& path);

} // namespace sk::path

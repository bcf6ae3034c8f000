#pragma once
// manifest.jsonl in an output folder: one JSON line per study and run, the
// record a batch is resumed and checked from. Several processes (the tasks of
// an array job) may append to one manifest at once.

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace sk::cli {

class FileDigests;

inline constexpr const char* kManifestName = "manifest.jsonl";

// Appends the object as one line: the whole line in a single write(2) on a
// descriptor opened with O_APPEND, under an exclusive flock, flushed to disk
// before the lock is released. Lines of processes appending at once never mix.
bool AppendManifest(const std::string& folder, const nlohmann::json& line, std::string* error);

// Every line of the folder's manifest in file order (none when there is no
// manifest). Lines that are not JSON objects of the fields and types this
// program writes (the torn end of a file that was being written when the
// machine stopped, a hand edit) are skipped and counted.
std::vector<nlohmann::json> ReadManifest(const std::string& folder, size_t* unreadable, std::string* error);

// The line that decides each study's state: its last line that is not
// "skipped" (a skip only confirms an earlier line). Keyed by "study".
std::map<std::string, nlohmann::json> LatestByStudy(const std::vector<nlohmann::json>& lines);

// Lowercase hex SHA-256 of a file's bytes; empty with a message when it
// cannot be read.
std::string Sha256File(const std::string& path, std::string* error);

// The "files" entry of a line: each file's path relative to the output
// folder, size and SHA-256. The hash is the digest taken while the file was
// written when there is one of its present size, else the file is read.
// False with a message when one cannot be read.
bool DescribeFiles(const std::string& folder, const std::vector<std::string>& files, const FileDigests* digests,
                   nlohmann::json* out, std::string* error);

// Whether every file of a line still has its size and hash. Each difference
// goes to *problems as "changed: PATH" or "missing: PATH".
bool FilesUnchanged(const std::string& folder, const nlohmann::json& line, std::vector<std::string>* problems);

// What a study's earlier export left of its numbered series (NAME_001.EXT,
// ...) that this export did not write again, after an export that replaces
// files. A part whose size and SHA-256 are those an earlier line records for
// the study is removed; any other (unknown to the manifest, or changed since)
// is left in place and only named.
struct StaleParts {
    std::vector<std::string> removed; // paths as the folder names them
    std::vector<std::string> left;    // "PATH: why it stays"
};
// written: the files this export published, its first file first (it names
// the series); recorded: the "files" entries of every earlier line of the
// study; folder: the manifest's folder. An export that stopped early has not
// shown the series to be shorter now: with keepWhy set nothing is removed,
// and the parts that would have been are named as left, for that reason.
StaleParts RemoveStaleParts(const std::string& folder, const std::vector<std::string>& written,
                            const std::vector<nlohmann::json>& recorded, const char* keepWhy = nullptr);

// The key of a study in the manifest: its absolute path, normalised, so a
// rerun from another folder finds it.
std::string StudyKey(const std::string& path);

// UTC time as 2026-01-31T12:00:00Z, whatever the locale.
std::string UtcStamp(int64_t unixSeconds);

} // namespace sk::cli

#pragma once
// The studies of a batch: lists read from files, studies found under a
// folder tree, the share of one task of an array job, and the subfolder each
// study's files go to. Everything here is deterministic so that tasks that
// never talk to each other agree on who exports what.

#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace sk::cli {

// Reads one study folder or .EEG path a line. Blank lines and lines whose
// first non-blank character is '#' are skipped; surrounding blanks are
// trimmed. Relative paths are taken from the current folder, as on a command
// line. Every path must exist: the missing ones make the result false with
// "SOURCE:LINE: ..." lines in *error.
bool ReadStudyList(std::istream& in, const std::string& source, std::vector<std::string>* studies,
                   std::string* error);
// The same for a file; "-" reads standard input.
bool ReadStudyListFile(const std::string& file, std::vector<std::string>* studies, std::string* error);

// Sorts bytewise (never by locale) and drops repeats, ignoring a trailing '/'.
void SortStudies(std::vector<std::string>& studies);

// Every study under root: the .EEG files (any letter case), not descending
// into the "Decimated" copies, sorted. False with a message when root is not
// a readable folder.
bool FindStudies(const std::string& root, std::vector<std::string>* studies, std::string* error);

// One of N deterministic parts of a sorted list; index counts from 1.
struct Shard {
    int index = 1;
    int count = 1;
};
// "K/N" with 1 <= K <= N, or "slurm": the array task's place among the tasks
// (SLURM_ARRAY_TASK_ID - SLURM_ARRAY_TASK_MIN + 1 of SLURM_ARRAY_TASK_COUNT).
// env reads a variable (null when unset).
std::optional<Shard> ParseShard(const std::string& text, const std::function<const char*(const char*)>& env,
                                std::string* error);
// The positions i (from 0) with i % N == K - 1: every study lands in exactly
// one part and the parts differ in size by one at most.
std::vector<size_t> ShardPositions(size_t listSize, Shard shard);

// One output subfolder name per study of the sorted list: the study folder's
// name (the folder holding a .EEG file), with "-2", "-3", ... for repeats in
// list order. Computed on the whole list so shards agree.
std::vector<std::string> StudySubfolders(const std::vector<std::string>& sorted);

} // namespace sk::cli

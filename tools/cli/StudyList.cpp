#include "StudyList.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace sk::cli {

namespace {

std::string Trim(const std::string& s) {
    const char* blanks = " \t\r\n\v\f";
    const size_t b = s.find_first_not_of(blanks);
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

std::string WithoutTrailingSlash(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

bool IsStudyFile(const fs::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
    return ext == ".EEG";
}

bool IsDecimatedFolder(const fs::path& p) {
    std::string n = p.filename().string();
    std::transform(n.begin(), n.end(), n.begin(), [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return n == "decimated";
}

std::optional<int> ParseInt(const std::string& s) {
    int v = 0;
    const char* end = s.data() + s.size();
    const auto r = std::from_chars(s.data(), end, v);
    if (s.empty() || r.ec != std::errc() || r.ptr != end) return std::nullopt;
    return v;
}

} // namespace

bool ReadStudyList(std::istream& in, const std::string& source, std::vector<std::string>* studies,
                   std::string* error) {
    constexpr size_t kShownMissing = 10;
    std::string line, missing;
    size_t lineNo = 0, missingCount = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        const std::string path = Trim(line);
        if (path.empty() || path[0] == '#') continue;
        std::error_code ec;
        if (!fs::exists(fs::path(path), ec)) {
            if (++missingCount <= kShownMissing)
                missing += source + ":" + std::to_string(lineNo) + ": no such study folder or file: " + path + "\n";
            continue;
        }
        studies->push_back(path);
    }
    if (in.bad()) {
        *error = source + ": read error";
        return false;
    }
    if (missingCount) {
        if (missingCount > kShownMissing)
            missing += source + ": and " + std::to_string(missingCount - kShownMissing) + " more missing\n";
        missing.pop_back();
        *error = missing;
        return false;
    }
    return true;
}

bool ReadStudyListFile(const std::string& file, std::vector<std::string>* studies, std::string* error) {
    if (file == "-") return ReadStudyList(std::cin, "standard input", studies, error);
    std::ifstream in(file);
    if (!in) {
        *error = "cannot read the study list " + file;
        return false;
    }
    return ReadStudyList(in, file, studies, error);
}

void SortStudies(std::vector<std::string>& studies) {
    for (auto& s : studies) s = WithoutTrailingSlash(s);
    std::sort(studies.begin(), studies.end()); // std::string compares bytes
    studies.erase(std::unique(studies.begin(), studies.end()), studies.end());
}

bool FindStudies(const std::string& root, std::vector<std::string>* studies, std::string* error) {
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        *error = "not a folder: " + root;
        return false;
    }
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
    if (ec) {
        *error = "cannot read " + root + ": " + ec.message();
        return false;
    }
    for (; it != end; it.increment(ec)) {
        if (ec) {
            *error = "cannot read under " + root + ": " + ec.message();
            return false;
        }
        std::error_code tec;
        if (it->is_directory(tec)) {
            if (IsDecimatedFolder(it->path())) it.disable_recursion_pending();
        } else if (IsStudyFile(it->path()) && it->is_regular_file(tec)) {
            studies->push_back(it->path().string());
        }
    }
    std::sort(studies->begin(), studies->end());
    return true;
}

std::optional<Shard> ParseShard(const std::string& text, const std::function<const char*(const char*)>& env,
                                std::string* error) {
    Shard s;
    if (text == "slurm") {
        const char* id = env("SLURM_ARRAY_TASK_ID");
        const char* count = env("SLURM_ARRAY_TASK_COUNT");
        const char* min = env("SLURM_ARRAY_TASK_MIN");
        const auto i = ParseInt(id ? id : ""), n = ParseInt(count ? count : "");
        const auto lo = min ? ParseInt(min) : std::optional<int>(0);
        if (!i || !n || !lo) {
            *error = "--shard slurm needs SLURM_ARRAY_TASK_ID and SLURM_ARRAY_TASK_COUNT (run it in an array job: "
                     "sbatch --array=0-N)";
            return std::nullopt;
        }
        // Far-off values must fail the range check below, not overflow.
        const long long index = static_cast<long long>(*i) - *lo + 1;
        s.index = static_cast<int>(std::clamp<long long>(index, 0, INT_MAX));
        s.count = *n;
    } else {
        const size_t slash = text.find('/');
        const auto k = ParseInt(text.substr(0, slash)), n = ParseInt(slash == std::string::npos ? "" : text.substr(slash + 1));
        if (!k || !n) {
            *error = "--shard takes K/N (the K-th of N parts, 1 <= K <= N) or slurm, not \"" + text + "\"";
            return std::nullopt;
        }
        s.index = *k;
        s.count = *n;
    }
    if (s.count < 1 || s.index < 1 || s.index > s.count) {
        *error = "shard " + std::to_string(s.index) + "/" + std::to_string(s.count) +
                 " is not one of the parts 1/N .. N/N";
        return std::nullopt;
    }
    return s;
}

std::vector<size_t> ShardPositions(size_t listSize, Shard shard) {
    std::vector<size_t> v;
    for (size_t i = static_cast<size_t>(shard.index - 1); i < listSize; i += static_cast<size_t>(shard.count))
        v.push_back(i);
    return v;
}

std::vector<std::string> StudySubfolders(const std::vector<std::string>& sorted) {
    std::vector<std::string> names;
    std::set<std::string> used;
    for (const auto& s : sorted) {
        std::error_code ec;
        fs::path p = fs::absolute(fs::path(s), ec).lexically_normal();
        if (p.filename().empty()) p = p.parent_path(); // "folder/" normalises to a trailing empty name
        if (IsStudyFile(p) && !fs::is_directory(p, ec)) p = p.parent_path();
        std::string name = p.filename().string();
        if (name.empty() || name == "/") name = "study";
        std::string unique = name;
        for (int n = 2; used.count(unique); ++n) unique = name + "-" + std::to_string(n);
        used.insert(unique);
        names.push_back(unique);
    }
    return names;
}

} // namespace sk::cli

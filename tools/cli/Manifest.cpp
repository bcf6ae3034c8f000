#include "Manifest.h"

#include "FileDigests.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

namespace fs = std::filesystem;

namespace sk::cli {

namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// Closes a descriptor (which also drops its flock) on every path out.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// Files are named relative to the manifest's folder and never leave it, so
// that a resume or a check reads nothing else.
bool InsideFolder(const std::string& rel) {
    const fs::path p(rel);
    return !p.is_absolute() && std::none_of(p.begin(), p.end(), [](const fs::path& c) { return c == ".."; });
}

// A line as this program writes it, in the types every reader of the
// manifest takes for granted; anything else (a hand edit, a damaged file)
// would throw deep inside a summary or a resume.
bool WellFormed(const nlohmann::json& j) {
    auto is = [&](const nlohmann::json& o, const char* key, bool (nlohmann::json::*type)() const noexcept) {
        return !o.contains(key) || (o[key].*type)();
    };
    if (!j.is_object() || !j.contains("study") || !j.contains("outcome") || !j["study"].is_string() ||
        !j["outcome"].is_string() || !is(j, "reason", &nlohmann::json::is_string) ||
        !is(j, "records", &nlohmann::json::is_number_integer) || !is(j, "files", &nlohmann::json::is_array))
        return false;
    for (const auto& f : j.value("files", nlohmann::json::array()))
        if (!f.is_object() || !is(f, "path", &nlohmann::json::is_string) || !is(f, "bytes", &nlohmann::json::is_number_integer) ||
            !is(f, "sha256", &nlohmann::json::is_string) || !InsideFolder(f.value("path", "")))
            return false;
    return true;
}

} // namespace

bool AppendManifest(const std::string& folder, const nlohmann::json& line, std::string* error) {
    const std::string path = (fs::path(folder) / kManifestName).string();
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    Fd f;
    f.fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (f.fd < 0) {
        *error = Errno("cannot open " + path);
        return false;
    }
    // O_APPEND alone keeps one write whole on a local disk; the lock also
    // covers network file systems and a write the kernel splits.
    while (::flock(f.fd, LOCK_EX) != 0)
        if (errno != EINTR) {
            *error = Errno("cannot lock " + path);
            return false;
        }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(f.fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = Errno("cannot append to " + path);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::fdatasync(f.fd) != 0) {
        *error = Errno("cannot flush " + path);
        return false;
    }
    return true;
}

std::vector<nlohmann::json> ReadManifest(const std::string& folder, size_t* unreadable, std::string* error) {
    std::vector<nlohmann::json> lines;
    *unreadable = 0;
    const fs::path path = fs::path(folder) / kManifestName;
    std::error_code ec;
    if (!fs::exists(path, ec)) return lines;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path.string();
        return lines;
    }
    std::string text;
    while (std::getline(in, text)) {
        if (text.empty()) continue;
        auto j = nlohmann::json::parse(text, nullptr, false);
        if (WellFormed(j))
            lines.push_back(std::move(j));
        else
            ++*unreadable;
    }
    return lines;
}

std::map<std::string, nlohmann::json> LatestByStudy(const std::vector<nlohmann::json>& lines) {
    std::map<std::string, nlohmann::json> latest;
    for (const auto& l : lines)
        if (l.value("outcome", "") != "skipped") latest[l["study"].get<std::string>()] = l;
    return latest;
}

std::string Sha256File(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return {};
    }
    Sha256 sha;
    std::vector<char> buf(1 << 20);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        if (in.gcount() > 0) sha.Update(buf.data(), static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) {
        *error = "read error in " + path;
        return {};
    }
    std::string out = sha.Finish();
    if (out.empty()) *error = "SHA-256 is not available";
    return out;
}

bool DescribeFiles(const std::string& folder, const std::vector<std::string>& files, const FileDigests* digests,
                   nlohmann::json* out, std::string* error) {
    *out = nlohmann::json::array();
    for (const auto& f : files) {
        std::error_code ec;
        const auto size = fs::file_size(f, ec);
        if (ec) {
            *error = "cannot read " + f + ": " + ec.message();
            return false;
        }
        const FileDigests::Digest* seen = digests ? digests->Find(f) : nullptr;
        const std::string sha = seen && seen->bytes == size ? seen->sha256 : Sha256File(f, error);
        if (sha.empty()) return false;
        out->push_back({{"path", fs::path(f).lexically_relative(folder).string()}, {"bytes", size}, {"sha256", sha}});
    }
    return true;
}

bool FilesUnchanged(const std::string& folder, const nlohmann::json& line, std::vector<std::string>* problems) {
    bool same = true;
    if (!line.contains("files") || !line["files"].is_array()) return true;
    for (const auto& f : line["files"]) {
        const std::string rel = f.value("path", "");
        const fs::path p = fs::path(folder) / rel;
        std::error_code ec;
        if (!fs::is_regular_file(p, ec)) {
            problems->push_back("missing: " + p.string());
            same = false;
            continue;
        }
        std::string err;
        if (fs::file_size(p, ec) != f.value("bytes", uint64_t{0}) || Sha256File(p.string(), &err) != f.value("sha256", "")) {
            problems->push_back("changed: " + p.string());
            same = false;
        }
    }
    return same;
}

StaleParts RemoveStaleParts(const std::string& folder, const std::vector<std::string>& written,
                            const std::vector<nlohmann::json>& recorded, const char* keepWhy) {
    StaleParts stale;
    if (written.empty()) return stale;
    const fs::path first(written.front());
    const std::string stem = first.stem().string() + "_", ext = first.extension().string();
    // Numbered as the writer numbers a series ("_%03d"): three digits, more
    // only without a leading zero, so "NAME_0001" is another study's name.
    auto partOfSeries = [&](const std::string& name) {
        if (name.size() < stem.size() + ext.size() + 3 || name.compare(0, stem.size(), stem) != 0 ||
            name.compare(name.size() - ext.size(), ext.size(), ext) != 0)
            return false;
        const std::string n = name.substr(stem.size(), name.size() - stem.size() - ext.size());
        return std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
               (n.size() == 3 || n[0] != '0');
    };
    // The parts after the last one written, as long as they follow each
    // other, and those the manifest knows for the study wherever they are
    // in the series: no folder listing, which a flat batch of thousands of
    // studies would pay for each of them.
    auto writtenNow = [&](const fs::path& p) {
        return std::any_of(written.begin(), written.end(),
                           [&](const std::string& w) { return fs::path(w).filename() == p.filename(); });
    };
    std::vector<fs::path> parts;
    std::error_code ec;
    for (int n = 1;; ++n) {
        char number[16];
        std::snprintf(number, sizeof number, "%03d", n);
        const fs::path p = first.parent_path() / (stem + number + ext);
        if (writtenNow(p)) continue;
        if (!fs::is_regular_file(p, ec)) break;
        parts.push_back(p);
    }
    const fs::path series = first.lexically_relative(folder).parent_path();
    for (const auto& f : recorded) {
        const fs::path rel(f.value("path", ""));
        const fs::path p = first.parent_path() / rel.filename();
        if (rel.parent_path() == series && partOfSeries(rel.filename().string()) && !writtenNow(p) &&
            std::find(parts.begin(), parts.end(), p) == parts.end() && fs::is_regular_file(p, ec))
            parts.push_back(p);
    }
    std::sort(parts.begin(), parts.end());
    for (const fs::path& p : parts) {
        const std::string rel = p.lexically_relative(folder).string();
        std::error_code sizeError, removeError;
        const auto size = fs::file_size(p, sizeError);
        std::string why = "the manifest does not record it for this study", sha, err;
        for (const auto& f : recorded) {
            if (f.value("path", "") != rel) continue;
            why = "it changed since an earlier export of this study wrote it";
            if (!sizeError && f.value("bytes", uint64_t{0}) == size && sha.empty()) sha = Sha256File(p.string(), &err);
            if (!sizeError && f.value("bytes", uint64_t{0}) == size && !sha.empty() && sha == f.value("sha256", "")) {
                why.clear();
                break;
            }
        }
        if (why.empty() && keepWhy) why = keepWhy;
        if (why.empty() && !fs::remove(p, removeError) && removeError)
            why = "cannot remove it: " + removeError.message();
        if (why.empty())
            stale.removed.push_back(p.string());
        else
            stale.left.push_back(p.string() + ": " + why);
    }
    return stale;
}

std::string StudyKey(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::absolute(fs::path(path), ec).lexically_normal();
    std::string s = p.string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

std::string UtcStamp(int64_t unixSeconds) {
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

} // namespace sk::cli

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

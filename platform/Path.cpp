#include "platform/Path.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <filesystem>
#include <system_error>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/TextConv.h"

namespace sk::path {
namespace {

bool IsSep(wchar_t c) { return c == L'/' || c == L'\\'; }

size_t LastSep(const std::wstring& p) {
    for (size_t i = p.size(); i > 0; --i)
        if (IsSep(p[i - 1]))
            return i - 1;
    return std::wstring::npos;
}

// Position of the extension's dot in the file name part, npos when none.
size_t ExtensionDot(const std::wstring& p) {
    const size_t sep = LastSep(p);
    const size_t nameStart = sep == std::wstring::npos ? 0 : sep + 1;
    const size_t dot = p.find_last_of(L'.');
    if (dot == std::wstring::npos || dot < nameStart || dot == nameStart)
        return std::wstring::npos;
    return dot;
}

bool StatNative(const std::wstring& p, struct stat* st) { return !p.empty() && ::stat(ToNative(p).c_str(), st) == 0; }

} // namespace

std::wstring Combine(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty())
        return name;
    if (name.empty())
        return folder;
    if (name[0] == L'/')
        return name;
    size_t skip = 0;
    while (skip < name.size() && IsSep(name[skip]))
        ++skip;
    std::wstring r = folder;
    if (!IsSep(r.back()))
        r += L'/';
    r.append(name, skip, std::wstring::npos);
    return r;
}

std::wstring FolderPart(const std::wstring& p) {
    const size_t sep = LastSep(p);
    if (sep == std::wstring::npos)
        return std::wstring();
    if (sep == 0)
        return p.substr(0, 1);
    return p.substr(0, sep);
}

std::wstring FileNamePart(const std::wstring& p) {
    const size_t sep = LastSep(p);
    return sep == std::wstring::npos ? p : p.substr(sep + 1);
}

std::wstring ExtensionPart(const std::wstring& p) {
    const size_t dot = ExtensionDot(p);
    return dot == std::wstring::npos ? std::wstring() : p.substr(dot);
}

std::wstring StemPart(const std::wstring& p) {
    std::wstring name = FileNamePart(p);
    const size_t dot = ExtensionDot(name);
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

std::wstring ReplaceExtension(const std::wstring& p, const std::wstring& ext) {
    const size_t dot = ExtensionDot(p);
    std::wstring r = dot == std::wstring::npos ? p : p.substr(0, dot);
    if (ext.empty())
        return r;
    if (ext[0] != L'.')
        r += L'.';
    return r + ext;
}

std::wstring RemoveTrailingSeparator(const std::wstring& p) {
    if (p.size() > 1 && IsSep(p.back()))
        return p.substr(0, p.size() - 1);
    return p;
}

std::wstring Normalize(const std::wstring& p) {
    // Narrow (byte) paths: no locale conversion can fail on them.
    std::error_code ec;
    std::filesystem::path native(ToNative(p));
    std::filesystem::path full = std::filesystem::weakly_canonical(std::filesystem::absolute(native, ec), ec);
    if (ec)
        full = std::filesystem::absolute(native, ec).lexically_normal();
    return RemoveTrailingSeparator(FromNative(full.string()));
}

bool Exists(const std::wstring& p) {
    struct stat st {};
    return StatNative(p, &st);
}

bool IsDirectory(const std::wstring& p) {
    struct stat st {};
    return StatNative(p, &st) && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::wstring& p) {
    struct stat st {};
    return StatNative(p, &st) && S_ISREG(st.st_mode);
}

bool CreateDirectories(const std::wstring& p) {
    if (p.empty())
        return false;
    const std::string native = ToNative(p);
    for (size_t i = 1; i <= native.size(); ++i) {
        if (i == native.size() || native[i] == '/') {
            const std::string part = native.substr(0, i);
            if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
                return false;
        }
    }
    return IsDirectory(p);
}

bool MatchesPattern(const std::wstring& name, const std::wstring& pattern) {
    if (pattern == L"*" || pattern == L"*.*")
        return true;
    // Iterative glob with one backtrack point: linear in practice, never
    // exponential for patterns with many stars.
    size_t n = 0, p = 0, starP = std::wstring::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == L'?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::wstring::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}

std::vector<std::wstring> FindFiles(const std::wstring& folder, const std::wstring& pattern, bool includeFolders) {
    std::vector<std::pair<std::wstring, std::wstring>> found; // (name, full path)
    const std::string nativeFolder = ToNative(folder.empty() ? std::wstring(L".") : folder);
    DIR* dir = ::opendir(nativeFolder.c_str());
    if (!dir)
        return {};
    while (dirent* e = ::readdir(dir)) {
        const std::string raw = e->d_name;
        if (raw == "." || raw == "..")
            continue;
        const std::wstring name = FromNative(raw);
        if (!MatchesPattern(name, pattern))
            continue;
        const std::wstring full = Combine(folder, name);
        struct stat st {};
        if (::stat((nativeFolder + "/" + raw).c_str(), &st) != 0)
            continue;
        if (S_ISREG(st.st_mode) || (includeFolders && S_ISDIR(st.st_mode)))
            found.emplace_back(name, full);
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        const std::wstring fa = FoldCase(a.first), fb = FoldCase(b.first);
        return fa != fb ? fa < fb : a.first < b.first;
    });
    std::vector<std::wstring> r;
    r.reserve(found.size());
    for (auto& f : found)
        r.push_back(std::move(f.second));
    return r;
}

std::wstring FindIgnoringCase(const std::wstring& folder, const std::wstring& name) {
    if (name.empty())
        return std::wstring();
    const std::wstring exact = Combine(folder, name);
    struct stat st {};
    if (::lstat(ToNative(exact).c_str(), &st) == 0)
        return exact;
    DIR* dir = ::opendir(ToNative(folder.empty() ? std::wstring(L".") : folder).c_str());
    if (!dir)
        return std::wstring();
    std::wstring best;
    while (dirent* e = ::readdir(dir)) {
        const std::wstring candidate = FromNative(e->d_name);
        // several spellings: take the smallest, so the answer does not depend
        // on directory order
        if (EqualsIgnoreCase(candidate, name) && (best.empty() || candidate < best))
            best = candidate;
    }
    ::closedir(dir);
    return best.empty() ? std::wstring() : Combine(folder, best);
}

std::string ToNative(const std::wstring& p) {
    std::string out;
    out.reserve(p.size());
    for (wchar_t wc : p) {
        const auto c = static_cast<uint32_t>(wc);
        if (c == '\\') {
            out.push_back('/');
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
            out.push_back(static_cast<char>(c - 0xDC00)); // a raw byte carried through
        } else if (c == 0 || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            out.push_back('?');
        } else {
            std::string u;
            WideToUtf8(std::wstring(1, wc), &u);
            out += u;
        }
    }
    return out;
}

std::wstring FromNative(const std::string& p) {
    std::wstring out;
    out.reserve(p.size());
    size_t i = 0;
    while (i < p.size()) {
        const auto b = static_cast<unsigned char>(p[i]);
        if (b < 0x80) {
            out.push_back(static_cast<wchar_t>(b));
            ++i;
            continue;
        }
        // find the longest valid sequence at i (2..4 bytes)
        bool ok = false;
        for (size_t len = 2; len <= 4 && i + len <= p.size() && !ok; ++len) {
            std::wstring w;
            if (Utf8ToWide(std::string_view(p).substr(i, len), &w) && w.size() == 1) {
                out += w;
                i += len;
                ok = true;
            }
        }
        if (!ok) {
            out.push_back(static_cast<wchar_t>(0xDC00 + b));
            ++i;
        }
    }
    return out;
}

} // namespace sk::path

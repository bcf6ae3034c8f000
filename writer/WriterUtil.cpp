#include "writer/WriterUtil.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <vector>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Path.h"

namespace sk::writer {

bool IsPrintableAscii(const std::wstring& text) {
    for (wchar_t c : text) {
        const auto u = static_cast<uint32_t>(c);
        if (u < 0x20 || u > 0x7E)
            return false;
    }
    return true;
}

bool ToAsciiRendering(const std::wstring& text, std::wstring* out) {
    // U+00C0..U+017F in order, "-" for the two signs among them (x and /).
    static const std::vector<std::wstring> kLatin = [] {
        const wchar_t* table =
            L"A A A A Ae Aa Ae C E E E E I I I I D N O O O O Oe - Oe U U U Ue Y Th ss "
            L"a a a a ae aa ae c e e e e i i i i d n o o o o oe - oe u u u ue y th y "
            L"A a A a A a C c C c C c C c D d D d E e E e E e E e E e G g G g G g G g H h H h "
            L"I i I i I i I i I i IJ ij J j K k k L l L l L l L l L l N n N n N n n N n O o O o O o "
            L"Oe oe R r R r R r S s S s S s S s T t T t T t U u U u U u U u U u U u W w Y y Y Z z Z z Z z s";
        std::vector<std::wstring> v;
        for (const wchar_t* p = table; *p;) {
            const wchar_t* e = p;
            while (*e && *e != L' ')
                ++e;
            v.emplace_back(p, e);
            p = *e ? e + 1 : e;
        }
        return v;
    }();
    out->clear();
    std::wstring r;
    r.reserve(text.size());
    for (wchar_t c : text) {
        const auto u = static_cast<uint32_t>(c);
        if (u >= 0x20 && u <= 0x7E) {
            r.push_back(c);
        } else if (u >= 0x300 && u <= 0x36F) {
            continue; // a combining accent of the letter before it
        } else if (u >= 0xC0 && u < 0xC0 + kLatin.size() && kLatin[u - 0xC0] != L"-") {
            r += kLatin[u - 0xC0];
        } else {
            return false;
        }
    }
    *out = std::move(r);
    return true;
}

static wchar_t Lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }
static wchar_t Upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; }

bool IEquals(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

std::wstring ToUpperAscii(std::wstring text) {
    for (auto& c : text) c = Upper(c);
    return text;
}

std::wstring ToLowerAscii(std::wstring text) {
    for (auto& c : text) c = Lower(c);
    return text;
}

std::wstring ReplaceAll(std::wstring text, const std::wstring& from, const std::wstring& to) {
    if (from.empty())
        return text;
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::wstring::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
    return text;
}

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

std::wstring PathCombine(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty())
        return name;
    if (IsSeparator(folder.back()))
        return folder + name;
    return folder + L"/" + name;
}

static size_t LastSeparator(const std::wstring& path) {
    size_t a = path.rfind(L'/');
    size_t b = path.rfind(L'\\');
    if (a == std::wstring::npos) return b;
    if (b == std::wstring::npos) return a;
    return a > b ? a : b;
}

std::wstring FileNameOf(const std::wstring& path) {
    size_t s = LastSeparator(path);
    return s == std::wstring::npos ? path : path.substr(s + 1);
}

std::wstring FolderOf(const std::wstring& path) {
    size_t s = LastSeparator(path);
    return s == std::wstring::npos ? std::wstring() : path.substr(0, s + 1);
}

std::wstring ExtensionOf(const std::wstring& path) {
    size_t s = LastSeparator(path);
    size_t start = s == std::wstring::npos ? 0 : s + 1;
    size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos || dot < start)
        return std::wstring();
    return path.substr(dot);
}

std::wstring ReplaceExtension(const std::wstring& path, const std::wstring& ext) {
    std::wstring cur = ExtensionOf(path);
    return path.substr(0, path.size() - cur.size()) + ext;
}

bool FileExists(const std::wstring& path) {
    if (path.empty())
        return false;
    struct stat st {};
    return ::stat(ToUtf8(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::wstring FindStudyFile(const std::wstring& path) {
    if (FileExists(path))
        return path;
    const std::wstring found = sk::path::FindIgnoringCase(FolderOf(path), FileNameOf(path));
    return FileExists(found) ? found : path;
}

bool FolderExists(const std::wstring& path) {
    if (path.empty())
        return false;
    struct stat st {};
    return ::stat(ToUtf8(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::wstring ReasonOf(const std::wstring& text, const std::wstring& path) {
    const std::wstring prefix = path + L": ";
    return text.compare(0, prefix.size(), prefix) == 0 ? text.substr(prefix.size()) : text;
}

bool AnyFileAt(const std::wstring& path) {
    struct stat st {};
    return !path.empty() && ::lstat(ToUtf8(path).c_str(), &st) == 0;
}

std::vector<std::wstring> RemoveLeftoverTemporaries(const std::wstring& path) {
    std::vector<std::wstring> removed;
    const std::wstring prefix = FileNameOf(path) + L".skrivo-";
    const std::wstring folder = FolderOf(path);
    for (const std::wstring& f : sk::path::FindFiles(folder.empty() ? L"." : folder, L"*.skrivo-*.tmp")) {
        const std::wstring name = FileNameOf(f);
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string native = sk::path::ToNative(f);
        const int fd = ::open(native.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlink(native.c_str()) == 0)
            removed.push_back(name);
        ::close(fd);
    }
    return removed;
}

bool RenameFile(const std::string& from, const std::string& to, bool replace) {
    if (replace)
        return ::rename(from.c_str(), to.c_str()) == 0;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the no-replace rename: a hard link fails just
    // the same on an existing target.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    ::unlink(from.c_str());
    return true;
}

bool SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

} // namespace sk::writer

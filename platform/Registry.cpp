#include "platform/Registry.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/File.h"
#include "platform/HResult.h"
#include "platform/Path.h"
#include "platform/TextConv.h"

// On disk: <root>/hklm (or hkcu), then one folder per key name, folded to
// lower case and percent-encoded outside [a-z0-9_-]. Each key folder holds
// its values in ".values", a UTF-8 text file:
//   skrivo-registry-key 1
//   <type> <data as lower-case hex, "-" when empty> <value name>
// one line per value; the name runs to the end of the line, with bytes below
// 0x20, 0x7F and '%' percent-encoded. Any line that does not parse makes the
// whole file read as empty.

namespace sk {
namespace {

constexpr const char* kHeader = "skrivo-registry-key 1";
constexpr const char* kValuesFile = "/.values";
constexpr size_t kMaxNameChars = 16383;
constexpr size_t kMaxKeyNameChars = 255;

struct Value {
    std::wstring name;
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
};
using ValueMap = std::map<std::wstring, Value>; // by folded name

// Serialises writers of this process; flock() on the key folder covers
// other processes.
std::mutex g_writeMutex;

const char kHex[] = "0123456789abcdef";

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string EncodeComponent(const std::string& utf8) {
    std::string r;
    for (char ch : utf8) {
        const auto b = static_cast<unsigned char>(ch);
        if ((b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '_' || b == '-') {
            r.push_back(ch);
        } else {
            r.push_back('%');
            r.push_back(kHex[b >> 4]);
            r.push_back(kHex[b & 15]);
        }
    }
    return r;
}

std::string EncodeName(const std::string& utf8) {
    std::string r;
    for (char ch : utf8) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x20 || b == 0x7F || b == '%') {
            r.push_back('%');
            r.push_back(kHex[b >> 4]);
            r.push_back(kHex[b & 15]);
        } else {
            r.push_back(ch);
        }
    }
    return r;
}

bool DecodeName(std::string_view s, std::string* out) {
    out->clear();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out->push_back(s[i]);
            continue;
        }
        if (i + 2 >= s.size())
            return false;
        const int hi = HexDigit(s[i + 1]), lo = HexDigit(s[i + 2]);
        if (hi < 0 || lo < 0)
            return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

bool EnvTrue(const char* name) {
    const char* v = std::getenv(name);
    return v && *v && std::string(v) != "0";
}

std::string HomeFolder() {
    if (const char* h = std::getenv("HOME"); h && *h)
        return h;
    struct passwd pw {};
    struct passwd* res = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &res) == 0 && res && res->pw_dir)
        return res->pw_dir;
    return "/tmp";
}

// Key folder for root + subkey; false for invalid names.
bool KeyFolder(RegRoot root, const std::wstring& subKey, std::string* folder, std::vector<std::string>* parts) {
    const char* rootName = root == RegRoot::LocalMachine ? "hklm" : root == RegRoot::CurrentUser ? "hkcu" : nullptr;
    if (!rootName)
        return false;
    std::string f = RegistryRootFolder() + "/" + rootName;
    parts->clear();
    parts->push_back(f);
    std::wstring comp;
    auto flush = [&]() -> bool {
        if (comp.empty())
            return true;
        if (comp.size() > kMaxKeyNameChars)
            return false;
        std::string utf8;
        if (!WideToUtf8(FoldCase(comp), &utf8))
            return false;
        f += '/'; // one append each: GCC 12 warns falsely (-Wrestrict) on "/" + string&& at -O2
        f += EncodeComponent(utf8);
        parts->push_back(f);
        comp.clear();
        return true;
    };
    for (wchar_t c : subKey) {
        if (c == L'\\' || c == L'/') {
            if (!flush())
                return false;
        } else if (c == 0) {
            return false;
        } else {
            comp += c;
        }
    }
    if (!flush())
        return false;
    *folder = f;
    return true;
}

bool IsDir(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ParseValues(const std::string& text, ValueMap* out) {
    out->clear();
    size_t pos = 0;
    auto nextLine = [&](std::string_view* line) -> bool {
        if (pos >= text.size())
            return false;
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        *line = std::string_view(text).substr(pos, end - pos);
        pos = end + 1;
        return true;
    };
    std::string_view line;
    if (!nextLine(&line) || line != kHeader)
        return false;
    while (nextLine(&line)) {
        const size_t s1 = line.find(' ');
        if (s1 == std::string_view::npos || s1 == 0 || s1 > 10)
            return false;
        const size_t s2 = line.find(' ', s1 + 1);
        if (s2 == std::string_view::npos)
            return false;
        uint64_t type = 0;
        for (size_t i = 0; i < s1; ++i) {
            if (line[i] < '0' || line[i] > '9')
                return false;
            type = type * 10 + static_cast<uint64_t>(line[i] - '0');
        }
        if (type > 0xFFFFFFFFu)
            return false;
        const std::string_view hex = line.substr(s1 + 1, s2 - s1 - 1);
        Value v;
        v.type = static_cast<uint32_t>(type);
        if (hex != "-") {
            if (hex.empty() || hex.size() % 2 != 0 || hex.size() / 2 > kRegMaxValueBytes)
                return false;
            v.data.reserve(hex.size() / 2);
            for (size_t i = 0; i < hex.size(); i += 2) {
                const int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
                if (hi < 0 || lo < 0)
                    return false;
                v.data.push_back(static_cast<uint8_t>(hi * 16 + lo));
            }
        }
        std::string nameUtf8;
        if (!DecodeName(line.substr(s2 + 1), &nameUtf8) || !Utf8ToWide(nameUtf8, &v.name) ||
            v.name.size() > kMaxNameChars)
            return false;
        const std::wstring key = FoldCase(v.name);
        if (out->count(key))
            return false;
        (*out)[key] = std::move(v);
    }
    return true;
}

std::string SerializeValues(const ValueMap& values) {
    std::string s = kHeader;
    s += '\n';
    for (const auto& [key, v] : values) {
        s += std::to_string(v.type);
        s += ' ';
        if (v.data.empty()) {
            s += '-';
        } else {
            for (uint8_t b : v.data) {
                s.push_back(kHex[b >> 4]);
                s.push_back(kHex[b & 15]);
            }
        }
        s += ' ';
        std::string utf8;
        WideToUtf8(v.name, &utf8); // checked by the callers
        s += EncodeName(utf8);
        s += '\n';
    }
    return s;
}

// Missing file: no values. Corrupt or unreadable: no values either.
ValueMap LoadValues(const std::string& folder) {
    ValueMap m;
    std::string text;
    if (ReadWholeFile(path::FromNative(folder + kValuesFile), &text, kRegMaxKeyFileBytes) && !ParseValues(text, &m))
        m.clear();
    return m;
}

bool CheckName(const std::wstring& name, std::string* utf8) {
    return name.size() <= kMaxNameChars && name.find(L'\0') == std::wstring::npos && WideToUtf8(name, utf8);
}

// Runs a read-modify-write of a key's values under both locks.
template <class Fn>
int32_t ModifyValues(const std::string& folder, Fn fn) {
    if (RegistryIsReadOnly())
        return static_cast<int32_t>(ERROR_ACCESS_DENIED);
    std::lock_guard<std::mutex> lock(g_writeMutex);
    const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0)
        return static_cast<int32_t>(Win32FromErrno(errno));
    int r;
    do {
        r = ::flock(dfd, LOCK_EX);
    } while (r != 0 && errno == EINTR);
    ValueMap values = LoadValues(folder);
    int32_t result = fn(values);
    if (result == 0) {
        const std::string text = SerializeValues(values);
        int err = 0;
        if (!WriteFileAtomically(path::FromNative(folder + kValuesFile), text.data(), text.size(), &err))
            result = static_cast<int32_t>(Win32FromErrno(err));
    }
    ::close(dfd); // releases the flock
    return result;
}

bool AccessWanted(uint32_t access) { return (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0; }

} // namespace

std::string RegistryRootFolder() {
    if (const char* r = std::getenv("SKRIVO_REGISTRY_ROOT"); r && *r)
        return r;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x)
        return std::string(x) + "/skrivo/registry";
    return HomeFolder() + "/.config/skrivo/registry";
}

namespace {

// Key folder for root + subkey as a registry result: 0, or the code for a
// missing root or an invalid key name.
int32_t ResolveKey(RegRoot root, const std::wstring& subKey, std::string* folder,
                   std::vector<std::string>* parts) {
    if (root == RegRoot::None)
        return static_cast<int32_t>(ERROR_INVALID_HANDLE);
    if (!KeyFolder(root, subKey, folder, parts))
        return static_cast<int32_t>(ERROR_INVALID_PARAMETER);
    return 0;
}

} // namespace

bool RegistryIsReadOnly() {
    if (EnvTrue("SKRIVO_REGISTRY_READONLY"))
        return true;
    struct stat st {};
    return ::stat((RegistryRootFolder() + "/READONLY").c_str(), &st) == 0;
}

int32_t RegistryKey::Create(RegRoot root, const std::wstring& subKey, uint32_t access,
                            std::unique_ptr<RegistryKey>* out) {
    out->reset();
    std::string folder;
    std::vector<std::string> parts;
    if (const int32_t bad = ResolveKey(root, subKey, &folder, &parts))
        return bad;
    const bool readOnly = RegistryIsReadOnly();
    const bool wantWrite = AccessWanted(access);
    if (!IsDir(folder)) {
        if (readOnly)
            return static_cast<int32_t>(ERROR_ACCESS_DENIED);
        // the root folder's parents are created too
        std::string rootFolder = RegistryRootFolder();
        if (!path::CreateDirectories(path::FromNative(rootFolder)))
            return static_cast<int32_t>(Win32FromErrno(errno ? errno : EACCES));
        for (const auto& p : parts) {
            if (::mkdir(p.c_str(), 0777) != 0 && errno != EEXIST)
                return static_cast<int32_t>(Win32FromErrno(errno));
        }
        if (!IsDir(folder))
            return static_cast<int32_t>(ERROR_PATH_NOT_FOUND);
    }
    return OpenExisting(folder, wantWrite, readOnly, out);
}

int32_t RegistryKey::Open(RegRoot root, const std::wstring& subKey, uint32_t access,
                          std::unique_ptr<RegistryKey>* out) {
    out->reset();
    std::string folder;
    std::vector<std::string> parts;
    if (const int32_t bad = ResolveKey(root, subKey, &folder, &parts))
        return bad;
    if (!IsDir(folder))
        return static_cast<int32_t>(ERROR_FILE_NOT_FOUND);
    return OpenExisting(folder, AccessWanted(access), RegistryIsReadOnly(), out);
}

int32_t RegistryKey::OpenExisting(const std::string& folder, bool wantWrite, bool readOnly,
                                  std::unique_ptr<RegistryKey>* out) {
    if (wantWrite && (readOnly || ::access(folder.c_str(), W_OK) != 0))
        return static_cast<int32_t>(ERROR_ACCESS_DENIED);
    out->reset(new RegistryKey(folder, wantWrite));
    return 0;
}

RegistryKey::~RegistryKey() = default;

int32_t RegistryKey::QueryValue(const std::wstring& name, uint32_t* type, std::vector<uint8_t>* data) const {
    if (data)
        data->clear();
    const ValueMap values = LoadValues(m_folder);
    const auto it = values.find(FoldCase(name));
    if (it == values.end())
        return static_cast<int32_t>(ERROR_FILE_NOT_FOUND);
    if (type)
        *type = it->second.type;
    if (data)
        *data = it->second.data;
    return 0;
}

int32_t RegistryKey::QueryValue(const std::wstring& name, uint32_t* type, void* buffer, uint32_t* size) const {
    std::vector<uint8_t> data;
    uint32_t t = REG_NONE;
    const int32_t r = QueryValue(name, &t, &data);
    if (r != 0)
        return r;
    if (type)
        *type = t;
    if (!size)
        return buffer ? static_cast<int32_t>(ERROR_INVALID_PARAMETER) : 0;
    const uint32_t have = *size;
    *size = static_cast<uint32_t>(data.size());
    if (!buffer)
        return 0;
    if (data.size() > have)
        return static_cast<int32_t>(ERROR_MORE_DATA);
    std::copy(data.begin(), data.end(), static_cast<uint8_t*>(buffer));
    return 0;
}

int32_t RegistryKey::SetValue(const std::wstring& name, uint32_t type, const void* data, uint32_t size) {
    if (!m_writable)
        return static_cast<int32_t>(ERROR_ACCESS_DENIED);
    std::string utf8;
    if (!CheckName(name, &utf8) || size > kRegMaxValueBytes || (size > 0 && !data))
        return static_cast<int32_t>(ERROR_INVALID_PARAMETER);
    const auto* bytes = static_cast<const uint8_t*>(data);
    return ModifyValues(m_folder, [&](ValueMap& values) -> int32_t {
        Value& v = values[FoldCase(name)];
        if (v.name.empty())
            v.name = name; // a new value keeps the caller's spelling; an old one keeps its own
        v.type = type;
        v.data.assign(bytes, bytes + size);
        return 0;
    });
}

std::vector<std::wstring> RegistryKey::ValueNames() const {
    std::vector<std::wstring> names;
    for (const auto& [key, v] : LoadValues(m_folder))
        names.push_back(v.name);
    return names;
}

int32_t RegistryKey::SetDword(const std::wstring& name, uint32_t value) {
    const uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return SetValue(name, REG_DWORD, b, 4);
}

int32_t RegistryKey::SetString(const std::wstring& name, const std::wstring& value, uint32_t type) {
    std::vector<uint8_t> bytes;
    if (!WideToUtf16LE(value, &bytes))
        return static_cast<int32_t>(ERROR_INVALID_PARAMETER);
    bytes.push_back(0);
    bytes.push_back(0);
    if (type == REG_MULTI_SZ) {
        bytes.push_back(0);
        bytes.push_back(0);
    }
    return SetValue(name, type, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

} // namespace sk

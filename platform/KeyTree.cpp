#include "platform/KeyTree.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <limits>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Crc32.h"

// The byte layout written and read here is described in docs/formats/keytree.md;
// keep the two in step.

namespace {

using sk::Crc32;
using sk::keytree::kMaxDepth;
using sk::keytree::kMaxFileBytes;
using sk::keytree::kMaxItems;

constexpr uint8_t kMagic[8] = {0x89, 'S', 'K', 'T', 'R', 0x0D, 0x0A, 0x1A};
constexpr uint16_t kVersion = 1;
constexpr size_t kHeaderSize = 24;
// Smallest possible item image (kind byte + 4 bytes) and tree entry (empty
// name count + smallest item); used to refuse counts the bytes cannot hold
// before anything is built for them.
constexpr size_t kMinItemSize = 5;
constexpr size_t kMinEntrySize = 4 + kMinItemSize;

// ---------------------------------------------------------------------------
// Writing: one routine both counts (p == null) and writes, so the size
// reported by GetBinarizeSize is by construction the size Binarize writes.

struct Out {
    uint8_t* p = nullptr;
    size_t n = 0;
    size_t items = 0;

    void Put(const void* src, size_t len) {
        if (p && len) std::memcpy(p + n, src, len);
        n += len;
    }
    void U8(uint8_t v) { Put(&v, 1); }
    void U16(uint16_t v) {
        const uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
        Put(b, 2);
    }
    void U32(uint32_t v) {
        const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        Put(b, 4);
    }
    void U64(uint64_t v) {
        U32(uint32_t(v));
        U32(uint32_t(v >> 32));
    }
};

// UTF-16 code units of a wide string, or false when it holds something that
// is not a Unicode scalar value (lone surrogate, beyond U+10FFFF).
bool Utf16Length(const std::wstring& s, size_t& units) {
    units = 0;
    if constexpr (sizeof(wchar_t) == 2) {
        for (size_t i = 0; i < s.size(); ++i) {
            const uint32_t c = uint16_t(s[i]);
            if (c >= 0xD800 && c <= 0xDBFF) {
                if (i + 1 >= s.size() || uint16_t(s[i + 1]) < 0xDC00 || uint16_t(s[i + 1]) > 0xDFFF)
                    return false;
                ++i;
                units += 2;
            } else if (c >= 0xDC00 && c <= 0xDFFF) {
                return false;
            } else {
                ++units;
            }
        }
    } else {
        for (wchar_t wc : s) {
            const uint32_t c = uint32_t(wc);
            if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
            units += c >= 0x10000 ? 2 : 1;
        }
    }
    return true;
}

bool PutText(Out& out, const std::wstring& s) {
    size_t units = 0;
    if (!Utf16Length(s, units) || units > 0xFFFFFFFFu) return false;
    out.U32(uint32_t(units));
    if (!out.p) {
        out.n += units * 2;
        return true;
    }
    for (wchar_t wc : s) {
        uint32_t c = sizeof(wchar_t) == 2 ? uint16_t(wc) : uint32_t(wc);
        if (sizeof(wchar_t) == 4 && c >= 0x10000) {
            c -= 0x10000;
            out.U16(uint16_t(0xD800 + (c >> 10)));
            out.U16(uint16_t(0xDC00 + (c & 0x3FF)));
        } else {
            out.U16(uint16_t(c));
        }
    }
    return true;
}

bool PutItem(Out& out, const CItem& item, int depth) {
    if (++out.items > kMaxItems) return false;
    const ItemKind kind = item.Kind();
    out.U8(uint8_t(kind));
    switch (kind) {
    case ItemKind::String:
        return PutText(out, static_cast<const CLstring&>(item).Value());
    case ItemKind::Integer:
        out.U32(uint32_t(static_cast<const CLinteger&>(item).Value()));
        return true;
    case ItemKind::LongLong:
        out.U64(uint64_t(static_cast<const CLlonglong&>(item).Value()));
        return true;
    case ItemKind::Real: {
        uint64_t bits;
        const double v = static_cast<const CLreal&>(item).Value();
        std::memcpy(&bits, &v, 8);
        out.U64(bits);
        return true;
    }
    case ItemKind::User: {
        const auto& bytes = static_cast<const CLuser&>(item).Bytes();
        if (bytes.size() > 0xFFFFFFFFu) return false;
        out.U32(uint32_t(bytes.size()));
        out.Put(bytes.data(), bytes.size());
        return true;
    }
    case ItemKind::List: {
        if (depth > kMaxDepth) return false;
        const auto& list = static_cast<const CItemList&>(item);
        out.U32(uint32_t(list.GetCount()));
        for (int i = 0; i < list.GetCount(); ++i)
            if (!PutItem(out, *list.GetChild(i), depth + 1)) return false;
        return true;
    }
    case ItemKind::Tree: {
        if (depth > kMaxDepth) return false;
        const auto& tree = static_cast<const CKeyTree&>(item);
        out.U32(uint32_t(tree.GetCount()));
        for (int i = 0; i < tree.GetCount(); ++i) {
            if (!PutText(out, tree.GetKeyName(i))) return false;
            if (!PutItem(out, *tree.GetChild(i), depth + 1)) return false;
        }
        return true;
    }
    }
    return false;
}

// Size of an item image, 0 when it cannot be written.
size_t ItemImageSize(const CItem& item) {
    Out out;
    return PutItem(out, item, 1) ? out.n : 0;
}

size_t WriteItemImage(const CItem& item, uint8_t* buf, size_t cap) {
    const size_t size = ItemImageSize(item);
    if (size == 0 || !buf || size > cap) return 0;
    Out out;
    out.p = buf;
    return PutItem(out, item, 1) && out.n == size ? size : 0;
}

size_t TreeFileSize(const CKeyTree& tree) {
    const size_t body = ItemImageSize(tree);
    return body ? kHeaderSize + body : 0;
}

size_t WriteTreeFile(const CKeyTree& tree, uint8_t* buf, size_t cap) {
    const size_t size = TreeFileSize(tree);
    if (size == 0 || !buf || size > cap) return 0;
    const size_t body = WriteItemImage(tree, buf + kHeaderSize, cap - kHeaderSize);
    if (body == 0) return 0;
    Out out;
    out.p = buf;
    out.Put(kMagic, sizeof kMagic);
    out.U16(kVersion);
    out.U16(0);
    out.U32(Crc32(buf + kHeaderSize, body));
    out.U64(body);
    return size;
}

// ---------------------------------------------------------------------------
// Reading. Every count is checked against the bytes that remain before
// anything is built for it, containers nest at most kMaxDepth deep, and the
// whole image holds at most kMaxItems items.

class Reader {
public:
    Reader(const uint8_t* p, size_t n) : m_p(p), m_end(p + n) {}

    size_t Remaining() const { return size_t(m_end - m_p); }

    bool Bytes(void* dst, size_t n) {
        if (Remaining() < n) return false;
        std::memcpy(dst, m_p, n);
        m_p += n;
        return true;
    }
    bool U8(uint8_t& v) { return Bytes(&v, 1); }
    bool U16(uint16_t& v) {
        uint8_t b[2];
        if (!Bytes(b, 2)) return false;
        v = uint16_t(b[0] | (b[1] << 8));
        return true;
    }
    bool U32(uint32_t& v) {
        uint8_t b[4];
        if (!Bytes(b, 4)) return false;
        v = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
        return true;
    }
    bool U64(uint64_t& v) {
        uint32_t lo, hi;
        if (!U32(lo) || !U32(hi)) return false;
        v = uint64_t(hi) << 32 | lo;
        return true;
    }

    bool Text(std::wstring& s) {
        uint32_t units;
        if (!U32(units) || Remaining() / 2 < units) return false;
        s.clear();
        s.reserve(units); // bounded by the bytes present
        for (uint32_t i = 0; i < units; ++i) {
            uint16_t u = 0;
            U16(u);
            if (u >= 0xD800 && u <= 0xDBFF) {
                uint16_t lo = 0;
                if (i + 1 >= units) return false;
                U16(lo);
                ++i;
                if (lo < 0xDC00 || lo > 0xDFFF) return false;
                if constexpr (sizeof(wchar_t) == 2) {
                    s.push_back(wchar_t(u));
                    s.push_back(wchar_t(lo));
                } else {
                    s.push_back(wchar_t(0x10000 + ((uint32_t(u) - 0xD800) << 10) + (uint32_t(lo) - 0xDC00)));
                }
            } else if (u >= 0xDC00 && u <= 0xDFFF) {
                return false;
            } else {
                s.push_back(wchar_t(u));
            }
        }
        return true;
    }

    std::unique_ptr<CItem> Item(int depth) {
        if (++m_items > kMaxItems) return nullptr;
        uint8_t kind;
        if (!U8(kind)) return nullptr;
        switch (ItemKind(kind)) {
        case ItemKind::String: {
            std::wstring s;
            if (!Text(s)) return nullptr;
            return std::make_unique<CLstring>(s);
        }
        case ItemKind::Integer: {
            uint32_t v;
            if (!U32(v)) return nullptr;
            return std::make_unique<CLinteger>(int32_t(v));
        }
        case ItemKind::LongLong: {
            uint64_t v;
            if (!U64(v)) return nullptr;
            return std::make_unique<CLlonglong>(int64_t(v));
        }
        case ItemKind::Real: {
            uint64_t bits;
            if (!U64(bits)) return nullptr;
            double v;
            std::memcpy(&v, &bits, 8);
            return std::make_unique<CLreal>(v);
        }
        case ItemKind::User: {
            uint32_t n;
            if (!U32(n) || Remaining() < n) return nullptr;
            std::vector<uint8_t> bytes(m_p, m_p + n);
            m_p += n;
            return std::make_unique<CLuser>(std::move(bytes));
        }
        case ItemKind::List: {
            uint32_t n;
            if (depth > kMaxDepth || !U32(n) || Remaining() / kMinItemSize < n) return nullptr;
            auto list = std::make_unique<CItemList>();
            for (uint32_t i = 0; i < n; ++i) {
                auto child = Item(depth + 1);
                if (!child) return nullptr;
                list->Append(child.release());
            }
            return list;
        }
        case ItemKind::Tree: {
            uint32_t n;
            if (depth > kMaxDepth || !U32(n) || Remaining() / kMinEntrySize < n) return nullptr;
            auto tree = std::make_unique<CKeyTree>();
            std::wstring name;
            for (uint32_t i = 0; i < n; ++i) {
                if (!Text(name)) return nullptr;
                auto child = Item(depth + 1);
                if (!child) return nullptr;
                tree->AppendNamed(name, child.release());
            }
            return tree;
        }
        }
        return nullptr;
    }

private:
    const uint8_t* m_p;
    const uint8_t* m_end;
    size_t m_items = 0;
};

bool HasMagic(const uint8_t* buf, size_t len) {
    return buf && len >= sizeof kMagic && std::memcmp(buf, kMagic, sizeof kMagic) == 0;
}

// A complete item image filling len exactly.
std::unique_ptr<CItem> ParseItemImage(const uint8_t* buf, size_t len) {
    if (!buf || len == 0) return nullptr;
    Reader r(buf, len);
    auto item = r.Item(1);
    if (!item || r.Remaining() != 0) return nullptr;
    return item;
}

// A whole-tree file image: header, checksum, body that is one tree item.
std::unique_ptr<CKeyTree> ParseTreeFile(const uint8_t* buf, size_t len) {
    if (!HasMagic(buf, len) || len < kHeaderSize) return nullptr;
    Reader r(buf + sizeof kMagic, kHeaderSize - sizeof kMagic);
    uint16_t version = 0, flags = 0;
    uint32_t crc = 0;
    uint64_t body = 0;
    r.U16(version);
    r.U16(flags);
    r.U32(crc);
    r.U64(body);
    if (version != kVersion || flags != 0 || body != len - kHeaderSize) return nullptr;
    if (body == 0 || buf[kHeaderSize] != uint8_t(ItemKind::Tree)) return nullptr;
    if (Crc32(buf + kHeaderSize, size_t(body)) != crc) return nullptr;
    auto item = ParseItemImage(buf + kHeaderSize, size_t(body));
    if (!item) return nullptr;
    return std::unique_ptr<CKeyTree>(static_cast<CKeyTree*>(item.release()));
}

// ---------------------------------------------------------------------------
// Text forms

std::string Narrow(const std::wstring& s) {
    std::string out;
    out.reserve(s.size());
    for (wchar_t c : s) {
        if (c <= 0 || c > 0x7E) return std::string(1, '\x01'); // never a valid number
        out.push_back(char(c));
    }
    return out;
}

template <class T> bool ParseInt(const std::wstring& text, T& value) {
    const std::string s = Narrow(text);
    if (s.empty()) return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 10);
    return ec == std::errc() && end == s.data() + s.size();
}

bool ParseReal(std::string_view s, double& value) {
    if (s.empty() || s.front() == '+') return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size();
}

std::wstring RealText(double v) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::wstring(buf, res.ptr);
}

void AppendHex(std::wstring& out, const uint8_t* p, size_t n) {
    static const wchar_t digits[] = L"0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 15]);
    }
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

bool ParseHex(std::wstring_view text, std::vector<uint8_t>& bytes) {
    if (text.size() % 2) return false;
    bytes.clear();
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(uint8_t(hi << 4 | lo));
    }
    return true;
}

void AppendQuoted(std::wstring& out, const std::wstring& s, size_t limit = std::wstring::npos) {
    out.push_back(L'"');
    size_t count = 0;
    for (wchar_t c : s) {
        if (count++ == limit) {
            out += L"...";
            break;
        }
        switch (c) {
        case L'\\': out += L"\\\\"; break;
        case L'"': out += L"\\\""; break;
        case L'\n': out += L"\\n"; break;
        case L'\r': out += L"\\r"; break;
        case L'\t': out += L"\\t"; break;
        default: {
            const uint32_t u = sizeof(wchar_t) == 2 ? uint16_t(c) : uint32_t(c);
            if (u < 0x20 || u == 0x7F || (u >= 0xD800 && u <= 0xDFFF) || u > 0x10FFFF) {
                char buf[16];
                const auto res = std::to_chars(buf, buf + sizeof buf, u, 16);
                out += L"\\u{";
                out.append(buf, res.ptr);
                out.push_back(L'}');
            } else {
                out.push_back(c);
            }
        }
        }
    }
    out.push_back(L'"');
}

void AppendTyped(std::wstring& out, const CItem& item) {
    switch (item.Kind()) {
    case ItemKind::String:
        out.push_back(L's');
        AppendQuoted(out, static_cast<const CLstring&>(item).Value());
        break;
    case ItemKind::Integer: out += L'i' + item.ToString(); break;
    case ItemKind::LongLong: out += L'l' + item.ToString(); break;
    case ItemKind::Real: out += L'r' + item.ToString(); break;
    case ItemKind::User: out += L"u\"" + item.ToString() + L'"'; break;
    case ItemKind::List:
    case ItemKind::Tree: out += item.ToString(); break;
    }
}

class TextParser {
public:
    explicit TextParser(std::wstring_view text) : m_s(text) {}

    std::unique_ptr<CItem> Whole() {
        auto item = Item(1);
        SkipSpace();
        return item && m_i == m_s.size() ? std::move(item) : nullptr;
    }

private:
    void SkipSpace() {
        while (m_i < m_s.size() && (m_s[m_i] == L' ' || m_s[m_i] == L'\t' || m_s[m_i] == L'\n' || m_s[m_i] == L'\r'))
            ++m_i;
    }
    bool Eat(wchar_t c) {
        SkipSpace();
        if (m_i < m_s.size() && m_s[m_i] == c) {
            ++m_i;
            return true;
        }
        return false;
    }
    bool Quoted(std::wstring& out) {
        if (!Eat(L'"')) return false;
        out.clear();
        while (m_i < m_s.size()) {
            const wchar_t c = m_s[m_i++];
            if (c == L'"') return true;
            if (c != L'\\') {
                out.push_back(c);
                continue;
            }
            if (m_i >= m_s.size()) return false;
            switch (m_s[m_i++]) {
            case L'\\': out.push_back(L'\\'); break;
            case L'"': out.push_back(L'"'); break;
            case L'n': out.push_back(L'\n'); break;
            case L'r': out.push_back(L'\r'); break;
            case L't': out.push_back(L'\t'); break;
            case L'u': {
                if (m_i >= m_s.size() || m_s[m_i++] != L'{') return false;
                uint32_t v = 0;
                int digits = 0;
                while (m_i < m_s.size() && m_s[m_i] != L'}') {
                    const int d = HexDigit(m_s[m_i++]);
                    if (d < 0 || ++digits > 8) return false;
                    v = v << 4 | uint32_t(d);
                }
                if (digits == 0 || m_i >= m_s.size()) return false;
                ++m_i; // '}'
                if (sizeof(wchar_t) == 2 && v > 0xFFFF) return false;
                out.push_back(wchar_t(v));
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    // Characters of a number token.
    std::wstring Token() {
        const size_t start = m_i;
        auto numeric = [](wchar_t c) {
            return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || c == L'-' ||
                   c == L'+' || c == L'.';
        };
        while (m_i < m_s.size() && numeric(m_s[m_i])) ++m_i;
        return std::wstring(m_s.substr(start, m_i - start));
    }

    std::unique_ptr<CItem> Item(int depth) {
        SkipSpace();
        if (m_i >= m_s.size()) return nullptr;
        const wchar_t tag = m_s[m_i++];
        switch (tag) {
        case L's': {
            std::wstring s;
            if (!Quoted(s)) return nullptr;
            return std::make_unique<CLstring>(s);
        }
        case L'i': {
            auto item = std::make_unique<CLinteger>();
            return item->FromString(Token()) ? std::move(item) : nullptr;
        }
        case L'l': {
            auto item = std::make_unique<CLlonglong>();
            return item->FromString(Token()) ? std::move(item) : nullptr;
        }
        case L'r': {
            auto item = std::make_unique<CLreal>();
            return item->FromString(Token()) ? std::move(item) : nullptr;
        }
        case L'u': {
            std::wstring hex;
            auto item = std::make_unique<CLuser>();
            return Quoted(hex) && item->FromString(hex) ? std::move(item) : nullptr;
        }
        case L'[': {
            if (depth > kMaxDepth) return nullptr;
            auto list = std::make_unique<CItemList>();
            if (Eat(L']')) return list;
            do {
                auto child = Item(depth + 1);
                if (!child) return nullptr;
                list->Append(child.release());
            } while (Eat(L','));
            return Eat(L']') ? std::move(list) : nullptr;
        }
        case L'{': {
            if (depth > kMaxDepth) return nullptr;
            auto tree = std::make_unique<CKeyTree>();
            if (Eat(L'}')) return tree;
            std::wstring name;
            do {
                if (!Quoted(name) || !Eat(L':')) return nullptr;
                auto child = Item(depth + 1);
                if (!child) return nullptr;
                tree->AppendNamed(name, child.release());
            } while (Eat(L','));
            return Eat(L'}') ? std::move(tree) : nullptr;
        }
        default: return nullptr;
        }
    }

    std::wstring_view m_s;
    size_t m_i = 0;
};

// Short one-line form of a value for ToIndentString.
std::wstring Brief(const CItem& item) {
    std::wstring out;
    switch (item.Kind()) {
    case ItemKind::String: AppendQuoted(out, static_cast<const CLstring&>(item).Value(), 200); break;
    case ItemKind::Integer: out = item.ToString(); break;
    case ItemKind::LongLong: out = item.ToString() + L"L"; break;
    case ItemKind::Real: {
        out = item.ToString();
        if (out.find_first_of(L".eni") == std::wstring::npos) out += L".0";
        break;
    }
    case ItemKind::User: {
        const auto& b = static_cast<const CLuser&>(item).Bytes();
        out = L"<" + std::to_wstring(b.size()) + L" bytes";
        if (!b.empty()) {
            out += L": ";
            AppendHex(out, b.data(), std::min<size_t>(b.size(), 32));
            if (b.size() > 32) out += L"...";
        }
        out += L">";
        break;
    }
    case ItemKind::List:
    case ItemKind::Tree: break;
    }
    return out;
}

void IndentDump(std::wstring& out, const CItemList& list, bool named, int level, bool nested,
                const std::wstring& prefix) {
    for (int i = 0; i < list.GetCount(); ++i) {
        const CItem& child = *list.GetChild(i);
        std::wstring name = named ? static_cast<const CKeyTree&>(list).GetKeyName(i)
                                  : L"[" + std::to_wstring(i) + L"]";
        if (!nested) name = prefix.empty() ? name : (named ? prefix + L"." + name : prefix + name);
        const std::wstring pad = nested ? std::wstring(size_t(std::max(level, 0)) * 2, L' ') : std::wstring();
        const bool isTree = child.Kind() == ItemKind::Tree;
        if (isTree || child.Kind() == ItemKind::List) {
            const auto& sub = static_cast<const CItemList&>(child);
            if (nested) {
                out += pad + name + (isTree ? L" {" : L" [");
                if (sub.GetCount() == 0) {
                    out += isTree ? L"}\n" : L"]\n";
                    continue;
                }
                out += L"\n";
                IndentDump(out, sub, isTree, level + 1, nested, name);
                out += pad + (isTree ? L"}\n" : L"]\n");
            } else if (sub.GetCount() == 0) {
                out += name + (isTree ? L" {}\n" : L" []\n");
            } else {
                IndentDump(out, sub, isTree, level + 1, nested, name);
            }
        } else {
            out += pad + name + L" = " + Brief(child) + L"\n";
        }
    }
}

// ---------------------------------------------------------------------------
// Files

bool WideToUtf8(const std::wstring& w, std::string& out) {
    out.clear();
    for (size_t i = 0; i < w.size(); ++i) {
        uint32_t c = sizeof(wchar_t) == 2 ? uint16_t(w[i]) : uint32_t(w[i]);
        if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && i + 1 < w.size()) {
            const uint32_t lo = uint16_t(w[i + 1]);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                ++i;
            }
        }
        if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        if (c < 0x80) {
            out.push_back(char(c));
        } else if (c < 0x800) {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(char(0xE0 | (c >> 12)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (c >> 18)));
            out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return !out.empty();
}

// Restores errno on scope exit so that cleanup calls do not hide the reason.
struct ErrnoKeeper {
    int saved;
    ErrnoKeeper() : saved(errno) {}
    ~ErrnoKeeper() { errno = saved; }
};

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& data) {
    // Non-blocking so that a FIFO in the way cannot hang the open; it is then
    // refused as not a regular file. Regular files ignore the flag.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    bool ok = false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
    } else if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else if (uint64_t(st.st_size) > kMaxFileBytes) {
        errno = EFBIG;
    } else {
        // The stat size only sizes the first read; a file that grows while
        // it is read is still held to the cap.
        data.resize(size_t(st.st_size));
        size_t got = 0;
        ok = true;
        uint8_t chunk[65536];
        for (;;) {
            uint8_t* dst = got < data.size() ? data.data() + got : chunk;
            const size_t room = got < data.size() ? data.size() - got : sizeof chunk;
            const ssize_t n = ::read(fd, dst, room);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                ok = false;
                break;
            }
            if (n == 0) break;
            if (dst == chunk) {
                if (got + size_t(n) > kMaxFileBytes) {
                    errno = EFBIG;
                    ok = false;
                    break;
                }
                data.insert(data.end(), chunk, chunk + n);
            }
            got += size_t(n);
        }
        data.resize(got);
    }
    ErrnoKeeper keep;
    ::close(fd);
    return ok;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

std::atomic<unsigned> g_tempCounter{0};

} // namespace

// ===========================================================================
// CItem

size_t CItem::GetBinarizeSize() const { return ItemImageSize(*this); }

size_t CItem::Binarize(uint8_t* buf, size_t cap) const { return WriteItemImage(*this, buf, cap); }

int CItem::Unbinarize(const uint8_t* buf, size_t len) {
    auto parsed = ParseItemImage(buf, len);
    if (!parsed || parsed->Kind() != Kind()) return 0;
    switch (Kind()) {
    case ItemKind::String:
        static_cast<CLstring*>(this)->SetValue(static_cast<CLstring&>(*parsed).Value());
        break;
    case ItemKind::Integer:
        static_cast<CLinteger*>(this)->SetValue(static_cast<CLinteger&>(*parsed).Value());
        break;
    case ItemKind::LongLong:
        static_cast<CLlonglong*>(this)->SetValue(static_cast<CLlonglong&>(*parsed).Value());
        break;
    case ItemKind::Real:
        static_cast<CLreal*>(this)->SetValue(static_cast<CLreal&>(*parsed).Value());
        break;
    case ItemKind::User:
        static_cast<CLuser*>(this)->SetBytes(static_cast<CLuser&>(*parsed).Bytes());
        break;
    case ItemKind::List:
        *static_cast<CItemList*>(this) = static_cast<CItemList&>(*parsed);
        break;
    case ItemKind::Tree:
        static_cast<CKeyTree*>(this)->Swap(static_cast<CKeyTree&>(*parsed));
        break;
    }
    return 1;
}

std::unique_ptr<CItem> CItem::FromBinary(const uint8_t* buf, size_t len) {
    if (HasMagic(buf, len)) return ParseTreeFile(buf, len);
    return ParseItemImage(buf, len);
}

// ===========================================================================
// Scalars

CLstring::CLstring(const std::wstring& text) : m_value(text) {}

CLstring::CLstring(const wchar_t* text, int length) {
    if (!text) return;
    if (length < 0) m_value.assign(text);
    else m_value.assign(text, size_t(length));
}

CItem* CLstring::Duplicate() const { return new CLstring(*this); }
std::wstring CLstring::ToString() const { return m_value; }
bool CLstring::FromString(const std::wstring& text) {
    m_value = text;
    return true;
}
bool CLstring::IsEqual(const CItem& other) const {
    return other.Kind() == ItemKind::String && static_cast<const CLstring&>(other).m_value == m_value;
}

CItem* CLinteger::Duplicate() const { return new CLinteger(*this); }
std::wstring CLinteger::ToString() const { return std::to_wstring(m_value); }
bool CLinteger::FromString(const std::wstring& text) { return ParseInt(text, m_value); }
bool CLinteger::IsEqual(const CItem& other) const {
    return other.Kind() == ItemKind::Integer && static_cast<const CLinteger&>(other).m_value == m_value;
}

CItem* CLlonglong::Duplicate() const { return new CLlonglong(*this); }
std::wstring CLlonglong::ToString() const { return std::to_wstring(m_value); }
bool CLlonglong::FromString(const std::wstring& text) { return ParseInt(text, m_value); }
bool CLlonglong::IsEqual(const CItem& other) const {
    return other.Kind() == ItemKind::LongLong && static_cast<const CLlonglong&>(other).m_value == m_value;
}

CItem* CLreal::Duplicate() const { return new CLreal(*this); }
std::wstring CLreal::ToString() const { return RealText(m_value); }
bool CLreal::FromString(const std::wstring& text) {
    double v;
    if (!ParseReal(Narrow(text), v)) return false;
    m_value = v;
    return true;
}
bool CLreal::IsEqual(const CItem& other) const {
    if (other.Kind() != ItemKind::Real) return false;
    const double o = static_cast<const CLreal&>(other).m_value;
    return o == m_value || (std::isnan(o) && std::isnan(m_value));
}

CItem* CLuser::Duplicate() const { return new CLuser(*this); }
std::wstring CLuser::ToString() const {
    std::wstring out;
    out.reserve(m_bytes.size() * 2);
    AppendHex(out, m_bytes.data(), m_bytes.size());
    return out;
}
bool CLuser::FromString(const std::wstring& text) {
    std::vector<uint8_t> bytes;
    if (!ParseHex(text, bytes)) return false;
    m_bytes = std::move(bytes);
    return true;
}
bool CLuser::IsEqual(const CItem& other) const {
    return other.Kind() == ItemKind::User && static_cast<const CLuser&>(other).m_bytes == m_bytes;
}

// ===========================================================================
// CItemList

CItemList::CItemList(const CItemList& other) : CItem(other) {
    m_items.reserve(other.m_items.size());
    for (const auto& item : other.m_items) m_items.emplace_back(item->Duplicate());
}

CItemList& CItemList::operator=(const CItemList& other) {
    if (this == &other) return *this;
    std::vector<std::unique_ptr<CItem>> copy;
    copy.reserve(other.m_items.size());
    for (const auto& item : other.m_items) copy.emplace_back(item->Duplicate());
    m_items.swap(copy);
    return *this;
}

CItemList::~CItemList() = default;

CItem* CItemList::Duplicate() const { return new CItemList(*this); }

std::wstring CItemList::ToString() const {
    std::wstring out = L"[";
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (i) out += L", ";
        AppendTyped(out, *m_items[i]);
    }
    return out + L"]";
}

bool CItemList::FromString(const std::wstring& text) {
    auto item = TextParser(text).Whole();
    if (!item || item->Kind() != ItemKind::List) return false;
    m_items.swap(static_cast<CItemList&>(*item).m_items);
    return true;
}

bool CItemList::IsEqual(const CItem& other) const {
    if (other.Kind() != Kind()) return false;
    const auto& o = static_cast<const CItemList&>(other);
    if (o.m_items.size() != m_items.size()) return false;
    for (size_t i = 0; i < m_items.size(); ++i)
        if (!m_items[i]->IsEqual(*o.m_items[i])) return false;
    return true;
}

int CItemList::GetCount() const { return int(m_items.size()); }

CItem* CItemList::GetChild(int index) {
    return index >= 0 && size_t(index) < m_items.size() ? m_items[size_t(index)].get() : nullptr;
}

const CItem* CItemList::GetChild(int index) const {
    return index >= 0 && size_t(index) < m_items.size() ? m_items[size_t(index)].get() : nullptr;
}

void CItemList::Append(CItem* item) {
    if (item) m_items.emplace_back(item);
}

void CItemList::RemoveAt(int index) {
    if (index >= 0 && size_t(index) < m_items.size()) m_items.erase(m_items.begin() + index);
}

void CItemList::Empty() { m_items.clear(); }

// ===========================================================================
// CKeyTree

namespace {

// Splits a dotted path; false when any step is empty.
bool SplitPath(const std::wstring& path, std::vector<std::wstring_view>& steps) {
    steps.clear();
    std::wstring_view rest(path);
    for (;;) {
        const size_t dot = rest.find(L'.');
        const std::wstring_view step = rest.substr(0, dot);
        if (step.empty()) return false;
        steps.push_back(step);
        if (dot == std::wstring_view::npos) return true;
        rest.remove_prefix(dot + 1);
    }
}

} // namespace

CKeyTree::CKeyTree(const CKeyTree& other) : CItemList(other), m_names(other.m_names) {}

CKeyTree& CKeyTree::operator=(const CKeyTree& other) {
    if (this == &other) return *this;
    CItemList::operator=(other);
    m_names = other.m_names;
    return *this;
}

CKeyTree::CKeyTree(CKeyTree&& other) noexcept { Swap(other); }

CKeyTree& CKeyTree::operator=(CKeyTree&& other) noexcept {
    if (this != &other) {
        Empty();
        Swap(other);
    }
    return *this;
}

CKeyTree::~CKeyTree() = default;

void CKeyTree::Swap(CKeyTree& other) noexcept {
    m_items.swap(other.m_items);
    m_names.swap(other.m_names);
}

CItem* CKeyTree::Duplicate() const { return new CKeyTree(*this); }

std::wstring CKeyTree::ToString() const {
    std::wstring out = L"{";
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (i) out += L", ";
        AppendQuoted(out, m_names[i]);
        out += L": ";
        AppendTyped(out, *m_items[i]);
    }
    return out + L"}";
}

bool CKeyTree::FromString(const std::wstring& text) {
    auto item = TextParser(text).Whole();
    if (!item || item->Kind() != ItemKind::Tree) return false;
    Swap(static_cast<CKeyTree&>(*item));
    return true;
}

bool CKeyTree::IsEqual(const CItem& other) const {
    if (other.Kind() != ItemKind::Tree) return false;
    const auto& o = static_cast<const CKeyTree&>(other);
    return o.m_names == m_names && CItemList::IsEqual(other);
}

int CKeyTree::FindKey(const std::wstring& name) const {
    for (size_t i = 0; i < m_names.size(); ++i)
        if (m_names[i] == name) return int(i);
    return -1;
}

const CItem* CKeyTree::GetAt(const std::wstring& path) const {
    const CKeyTree* node = this;
    std::wstring_view rest(path);
    for (;;) {
        const size_t dot = rest.find(L'.');
        const std::wstring_view step = rest.substr(0, dot);
        if (step.empty()) return nullptr;
        const CItem* found = nullptr;
        for (size_t i = 0; i < node->m_names.size(); ++i) {
            if (node->m_names[i] == step) {
                found = node->m_items[i].get();
                break;
            }
        }
        if (!found || dot == std::wstring_view::npos) return found;
        if (found->Kind() != ItemKind::Tree) return nullptr;
        node = static_cast<const CKeyTree*>(found);
        rest.remove_prefix(dot + 1);
    }
}

CItem* CKeyTree::GetAt(const std::wstring& path) {
    return const_cast<CItem*>(static_cast<const CKeyTree*>(this)->GetAt(path));
}

namespace {

// Walks to the tree that holds the last step of a path, creating missing
// trees; replaceNonTree decides what an existing non-tree step does.
CKeyTree* WalkToParent(CKeyTree* root, const std::vector<std::wstring_view>& steps, bool replaceNonTree) {
    CKeyTree* node = root;
    for (size_t s = 0; s + 1 < steps.size(); ++s) {
        const std::wstring name(steps[s]);
        const int idx = node->FindKey(name);
        CItem* child = idx >= 0 ? node->GetChild(idx) : nullptr;
        if (child && child->Kind() == ItemKind::Tree) {
            node = static_cast<CKeyTree*>(child);
            continue;
        }
        if (child && !replaceNonTree) return nullptr;
        auto* sub = new CKeyTree;
        if (child) node->SetAt(name, sub); // a one-step SetAt replaces in place
        else node->AppendNamed(name, sub);
        node = sub;
    }
    return node;
}

} // namespace

bool CKeyTree::AddKey(const std::wstring& path, CItem* item) {
    std::unique_ptr<CItem> owned(item);
    std::vector<std::wstring_view> steps;
    if (!item || !SplitPath(path, steps)) return false;
    CKeyTree* parent = WalkToParent(this, steps, false);
    if (!parent) return false;
    parent->AppendNamed(std::wstring(steps.back()), owned.release());
    return true;
}

bool CKeyTree::SetAt(const std::wstring& path, CItem* item) {
    std::unique_ptr<CItem> owned(item);
    std::vector<std::wstring_view> steps;
    if (!item || !SplitPath(path, steps)) return false;
    CKeyTree* parent = WalkToParent(this, steps, true);
    if (!parent) return false;
    const std::wstring leaf(steps.back());
    const int idx = parent->FindKey(leaf);
    if (idx < 0) {
        parent->AppendNamed(leaf, owned.release());
    } else if (parent->m_items[size_t(idx)].get() == item) {
        owned.release(); // setting an item to itself
    } else {
        parent->m_items[size_t(idx)] = std::move(owned);
    }
    return true;
}

bool CKeyTree::AddKey(const std::wstring& path, const std::wstring& text) { return AddKey(path, new CLstring(text)); }
bool CKeyTree::AddKey(const std::wstring& path, const wchar_t* text) { return AddKey(path, new CLstring(text, -1)); }
bool CKeyTree::AddKey(const std::wstring& path, int32_t value) { return AddKey(path, new CLinteger(value)); }
bool CKeyTree::AddKey(const std::wstring& path, double value) { return AddKey(path, new CLreal(value)); }
bool CKeyTree::AddKey(const std::wstring& path, int64_t value) { return AddKey(path, new CLlonglong(value)); }
bool CKeyTree::SetAt(const std::wstring& path, const std::wstring& text) { return SetAt(path, new CLstring(text)); }
bool CKeyTree::SetAt(const std::wstring& path, const wchar_t* text) { return SetAt(path, new CLstring(text, -1)); }
bool CKeyTree::SetAt(const std::wstring& path, int32_t value) { return SetAt(path, new CLinteger(value)); }
bool CKeyTree::SetAt(const std::wstring& path, double value) { return SetAt(path, new CLreal(value)); }
bool CKeyTree::SetAt(const std::wstring& path, int64_t value) { return SetAt(path, new CLlonglong(value)); }

bool CKeyTree::DeleteKey(const std::wstring& path) {
    std::vector<std::wstring_view> steps;
    if (!SplitPath(path, steps)) return false;
    CKeyTree* parent = this;
    if (steps.size() > 1) {
        const size_t lastDot = path.rfind(L'.');
        parent = AsKeyTree(GetAt(path.substr(0, lastDot)));
        if (!parent) return false;
    }
    const int idx = parent->FindKey(std::wstring(steps.back()));
    if (idx < 0) return false;
    parent->RemoveAt(idx);
    return true;
}

void CKeyTree::AppendNamed(const std::wstring& name, CItem* item) {
    if (!item) return;
    m_items.emplace_back(item);
    m_names.push_back(name);
}

void CKeyTree::Append(CItem* item) { AppendNamed(std::wstring(), item); }

void CKeyTree::RemoveAt(int index) {
    if (index < 0 || size_t(index) >= m_items.size()) return;
    m_items.erase(m_items.begin() + index);
    m_names.erase(m_names.begin() + index);
}

void CKeyTree::Empty() {
    m_items.clear();
    m_names.clear();
}

void CKeyTree::Merge(const CKeyTree& other) {
    if (&other == this) {
        const CKeyTree copy(other);
        Merge(copy);
        return;
    }
    for (size_t i = 0; i < other.m_items.size(); ++i) AppendNamed(other.m_names[i], other.m_items[i]->Duplicate());
}

const std::wstring& CKeyTree::GetKeyName(int index) const {
    static const std::wstring empty;
    return index >= 0 && size_t(index) < m_names.size() ? m_names[size_t(index)] : empty;
}

size_t CKeyTree::GetBinarizeSize() const { return TreeFileSize(*this); }

size_t CKeyTree::Binarize(uint8_t* buf, size_t cap) const { return WriteTreeFile(*this, buf, cap); }

int CKeyTree::Unbinarize(const uint8_t* buf, size_t len) {
    std::unique_ptr<CItem> parsed = HasMagic(buf, len) ? ParseTreeFile(buf, len) : ParseItemImage(buf, len);
    if (!parsed || parsed->Kind() != ItemKind::Tree) return 0;
    Swap(static_cast<CKeyTree&>(*parsed));
    return 1;
}

int CKeyTree::BinLoad(const std::wstring& path) {
    std::string native;
    if (!WideToUtf8(path, native)) {
        errno = EINVAL;
        return 0;
    }
    std::vector<uint8_t> data;
    if (!ReadWholeFile(native, data)) return 0;
    CKeyTree loaded;
    if (!loaded.Unbinarize(data.data(), data.size())) {
        errno = EINVAL;
        return 0;
    }
    loaded.SetAt(L"FileName", path);
    Swap(loaded);
    return 1;
}

int CKeyTree::BinSave(const std::wstring& path, int /*flags*/) const {
    std::string native;
    if (!WideToUtf8(path, native)) {
        errno = EINVAL;
        return 0;
    }
    const size_t size = GetBinarizeSize();
    if (size == 0) {
        errno = EINVAL;
        return 0;
    }
    std::vector<uint8_t> image(size);
    if (Binarize(image.data(), image.size()) != size) {
        errno = EINVAL;
        return 0;
    }

    const size_t slash = native.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : native.substr(0, slash));
    const std::string base = slash == std::string::npos ? native : native.substr(slash + 1);
    if (base.empty()) {
        errno = EISDIR;
        return 0;
    }

    // Created with 0666 so the final file gets the same permissions (after
    // umask) as a file written directly.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = folder + "/." + base + ".tmp" + std::to_string(::getpid()) + "." +
               std::to_string(g_tempCounter.fetch_add(1, std::memory_order_relaxed));
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return 0;
    }
    if (fd < 0) return 0;

    bool ok = WriteAll(fd, image.data(), image.size()) && ::fsync(fd) == 0;
    {
        ErrnoKeeper keep;
        if (::close(fd) != 0 && ok) {
            keep.saved = errno;
            ok = false;
        }
    }
    if (ok) ok = ::rename(temp.c_str(), native.c_str()) == 0;
    if (!ok) {
        ErrnoKeeper keep;
        ::unlink(temp.c_str());
        return 0;
    }
    // Make the rename itself durable; the data is already safe, so a folder
    // that cannot be synced does not fail the save.
    ErrnoKeeper keep;
    const int dirfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd >= 0) {
        ::fsync(dirfd);
        ::close(dirfd);
    }
    return 1;
}

std::wstring CKeyTree::ToIndentString(int level, int indent) const {
    std::wstring out;
    IndentDump(out, *this, true, level, indent > 0, std::wstring());
    return out;
}

// ===========================================================================
// Typed conversions

int32_t IntOf(const CItem* item, int32_t fallback) {
    if (!item) return fallback;
    switch (item->Kind()) {
    case ItemKind::Integer: return static_cast<const CLinteger*>(item)->Value();
    case ItemKind::LongLong: {
        const int64_t v = static_cast<const CLlonglong*>(item)->Value();
        return v >= INT32_MIN && v <= INT32_MAX ? int32_t(v) : fallback;
    }
    case ItemKind::Real: {
        const double v = static_cast<const CLreal*>(item)->Value();
        return std::isfinite(v) && std::trunc(v) == v && v >= -2147483648.0 && v <= 2147483647.0 ? int32_t(v)
                                                                                                  : fallback;
    }
    default: return fallback;
    }
}

int64_t LongLongOf(const CItem* item, int64_t fallback) {
    if (!item) return fallback;
    switch (item->Kind()) {
    case ItemKind::Integer: return static_cast<const CLinteger*>(item)->Value();
    case ItemKind::LongLong: return static_cast<const CLlonglong*>(item)->Value();
    case ItemKind::Real: {
        const double v = static_cast<const CLreal*>(item)->Value();
        return std::isfinite(v) && std::trunc(v) == v && v >= -9223372036854775808.0 && v < 9223372036854775808.0
                   ? int64_t(v)
                   : fallback;
    }
    default: return fallback;
    }
}

double RealOf(const CItem* item, double fallback) {
    if (!item) return fallback;
    switch (item->Kind()) {
    case ItemKind::Integer: return static_cast<const CLinteger*>(item)->Value();
    case ItemKind::LongLong: return double(static_cast<const CLlonglong*>(item)->Value());
    case ItemKind::Real: return static_cast<const CLreal*>(item)->Value();
    default: return fallback;
    }
}

std::wstring AsCStr(const CItem* item, const std::wstring& fallback) {
    return item && item->Kind() == ItemKind::String ? static_cast<const CLstring*>(item)->Value() : fallback;
}

const CKeyTree* AsKeyTree(const CItem* item, const CKeyTree* fallback) {
    return item && item->Kind() == ItemKind::Tree ? static_cast<const CKeyTree*>(item) : fallback;
}

CKeyTree* AsKeyTree(CItem* item, CKeyTree* fallback) {
    return item && item->Kind() == ItemKind::Tree ? static_cast<CKeyTree*>(item) : fallback;
}

const CItemList* AsItemList(const CItem* item, const CItemList* fallback) {
    return item && (item->Kind() == ItemKind::List || item->Kind() == ItemKind::Tree)
               ? static_cast<const CItemList*>(item)
               : fallback;
}

CItemList* AsItemList(CItem* item, CItemList* fallback) {
    return item && (item->Kind() == ItemKind::List || item->Kind() == ItemKind::Tree) ? static_cast<CItemList*>(item)
                                                                                     : fallback;
}

const CLuser* AsUser(const CItem* item, const CLuser* fallback) {
    return item && item->Kind() == ItemKind::User ? static_cast<const CLuser*>(item) : fallback;
}

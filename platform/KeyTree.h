#pragma once
// Key-tree store: hierarchical named values addressed by dotted paths
// ("Samples.Frequency"). Study descriptions, templates and montages live in
// these trees. A path that is not found yields a null item pointer, and every
// typed conversion below accepts null and answers with its fallback, so
// callers can chain lookups without checking each step.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/SkrivoExport.h"

namespace sk::keytree {
// Limits that keep hostile images and files from exhausting stack or memory.
// Containers (lists and trees) nest at most this deep; the whole tree is
// level 1. Deeper trees neither binarize nor unbinarize.
inline constexpr int kMaxDepth = 64;
// Items in one image (containers included).
inline constexpr size_t kMaxItems = size_t{1} << 22;
// Largest key-tree file BinLoad reads.
inline constexpr uint64_t kMaxFileBytes = uint64_t{256} << 20;
} // namespace sk::keytree

class CKeyTree;
class CItemList;
class CLuser;

enum class ItemKind : uint8_t {
    String = 1,   // CLstring
    Integer = 2,  // CLinteger (32-bit)
    LongLong = 3, // CLlonglong (64-bit)
    Real = 4,     // CLreal (double)
    User = 5,     // CLuser (opaque bytes)
    List = 6,     // CItemList
    Tree = 7,     // CKeyTree
};

class SKRIVO_API CItem {
public:
    virtual ~CItem() = default;
    virtual ItemKind Kind() const = 0;
    // Deep copy owned by the caller.
    virtual CItem* Duplicate() const = 0;
    // Textual forms, independent of the process locale:
    //   string: the text itself; integers: decimal ("-12"); real: shortest
    //   form that reads back to the same double ("0.1", "1e+300", "nan",
    //   "inf"); user: lower-case hex, two digits a byte;
    //   list: [item, item] and tree: {"name": item, ...}, where each item is
    //   typed: s"text" (escapes \\ \" \n \r \t \u{hex}), i12, l12, r0.5,
    //   u"0a0b", [..] or {..}.
    virtual std::wstring ToString() const = 0;
    // Parses the textual form produced by ToString; false leaves the item unchanged.
    virtual bool FromString(const std::wstring& text) = 0;
    // Size in bytes of the self-describing binary image (kind byte included),
    // or 0 when the item cannot be written (text that is not valid Unicode,
    // nesting deeper than sk::keytree::kMaxDepth). docs/formats/keytree.md.
    virtual size_t GetBinarizeSize() const;
    // Writes the binary image into buf (cap bytes); returns bytes written or 0
    // when cap is too small or the item cannot be written.
    virtual size_t Binarize(uint8_t* buf, size_t cap) const;
    // Replaces this item's value from an image of the same kind that fills
    // len exactly. Non-zero on success; on failure the item keeps its
    // previous value.
    virtual int Unbinarize(const uint8_t* buf, size_t len);
    // Same kind and equal values; reals compare by value (NaN equals NaN),
    // lists and trees item by item in order (tree names included).
    virtual bool IsEqual(const CItem& other) const = 0;

    // Builds a new item of whatever kind the image holds (an item image, or a
    // whole-tree image as CKeyTree::Binarize writes); null on bad bytes.
    static std::unique_ptr<CItem> FromBinary(const uint8_t* buf, size_t len);
};

class SKRIVO_API CLstring final : public CItem {
public:
    explicit CLstring(const std::wstring& text = L"");
    CLstring(const wchar_t* text, int length); // length -1: whole string
    ItemKind Kind() const override { return ItemKind::String; }
    CItem* Duplicate() const override;
    std::wstring ToString() const override;
    bool FromString(const std::wstring& text) override;
    bool IsEqual(const CItem& other) const override;
    const std::wstring& Value() const { return m_value; }
    void SetValue(const std::wstring& v) { m_value = v; }
private:
    std::wstring m_value;
};

class SKRIVO_API CLinteger final : public CItem {
public:
    explicit CLinteger(int32_t v = 0) : m_value(v) {}
    ItemKind Kind() const override { return ItemKind::Integer; }
    CItem* Duplicate() const override;
    std::wstring ToString() const override;
    bool FromString(const std::wstring& text) override;
    bool IsEqual(const CItem& other) const override;
    int32_t Value() const { return m_value; }
    void SetValue(int32_t v) { m_value = v; }
private:
    int32_t m_value;
};

class SKRIVO_API CLlonglong final : public CItem {
public:
    explicit CLlonglong(int64_t v = 0) : m_value(v) {}
    ItemKind Kind() const override { return ItemKind::LongLong; }
    CItem* Duplicate() const override;
    std::wstring ToString() const override;
    bool FromString(const std::wstring& text) override;
    bool IsEqual(const CItem& other) const override;
    int64_t Value() const { return m_value; }
    void SetValue(int64_t v) { m_value = v; }
private:
    int64_t m_value;
};

class SKRIVO_API CLreal final : public CItem {
public:
    explicit CLreal(double v = 0) : m_value(v) {}
    ItemKind Kind() const override { return ItemKind::Real; }
    CItem* Duplicate() const override;
    std::wstring ToString() const override;
    bool FromString(const std::wstring& text) override;
    bool IsEqual(const CItem& other) const override;
    double Value() const { return m_value; }
    void SetValue(double v) { m_value = v; }
private:
    double m_value;
};

// Opaque user bytes (for example calibration blobs).
class SKRIVO_API CLuser final : public CItem {
public:
    CLuser() = default;
    explicit CLuser(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    ItemKind Kind() const override { return ItemKind::User; }
    CItem* Duplicate() const override;
    std::wstring ToString() const override; // hex
    bool FromString(const std::wstring& text) override;
    bool IsEqual(const CItem& other) const override;
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }
    void SetBytes(std::vector<uint8_t> b) { m_bytes = std::move(b); }
private:
    std::vector<uint8_t> m_bytes;
};

// Ordered list that owns its items.
class SKRIVO_API CItemList : public CItem {
public:
    CItemList() = default;
    CItemList(const CItemList& other);
    CItemList& operator=(const CItemList& other);
    ~CItemList() override;
    ItemKind Kind() const override { return ItemKind::List; }
    CItem* Duplicate() const override;
    std::wstring ToString() const override;
    bool FromString(const std::wstring& text) override;
    bool IsEqual(const CItem& other) const override;

    int GetCount() const;
    CItem* GetChild(int index);             // null when out of range
    const CItem* GetChild(int index) const; // null when out of range
    virtual void Append(CItem* item);       // takes ownership; null ignored
    virtual void RemoveAt(int index);       // out of range ignored
    virtual void Empty();

protected:
    std::vector<std::unique_ptr<CItem>> m_items;
};

// A list of named items. Names are compared exactly (case-sensitive); a
// dotted path walks nested trees.
class SKRIVO_API CKeyTree : public CItemList {
public:
    CKeyTree() = default;
    CKeyTree(const CKeyTree& other);
    CKeyTree& operator=(const CKeyTree& other);
    CKeyTree(CKeyTree&& other) noexcept;
    CKeyTree& operator=(CKeyTree&& other) noexcept;
    ~CKeyTree() override;
    ItemKind Kind() const override { return ItemKind::Tree; }
    CItem* Duplicate() const override;
    std::wstring ToString() const override;
    bool FromString(const std::wstring& text) override;
    bool IsEqual(const CItem& other) const override;

    // Item at a dotted path, or null when any step is missing or not a tree.
    CItem* GetAt(const std::wstring& path);
    const CItem* GetAt(const std::wstring& path) const;

    // AddKey appends under the name, creating the missing intermediate trees
    // of a dotted path; it fails when an intermediate step exists but is not a
    // tree. SetAt replaces the first item of that name (whatever its kind) or
    // appends; an intermediate step that is not a tree is replaced by one.
    // Items passed by pointer are taken over (deleted on failure). Paths with
    // an empty step ("", "a..b", ".a") fail. Both return false on failure.
    bool AddKey(const std::wstring& path, const std::wstring& text);
    bool AddKey(const std::wstring& path, const wchar_t* text);
    bool AddKey(const std::wstring& path, int32_t value);
    bool AddKey(const std::wstring& path, double value);
    bool AddKey(const std::wstring& path, int64_t value);
    bool AddKey(const std::wstring& path, CItem* item);
    bool SetAt(const std::wstring& path, const std::wstring& text);
    bool SetAt(const std::wstring& path, const wchar_t* text);
    bool SetAt(const std::wstring& path, int32_t value);
    bool SetAt(const std::wstring& path, double value);
    bool SetAt(const std::wstring& path, int64_t value);
    bool SetAt(const std::wstring& path, CItem* item);
    // Other integer types (bool, unsigned, size_t, long long) would be
    // ambiguous between the overloads above: signed values of up to 32 bits
    // and bool become 32-bit items, everything else 64-bit items.
    template <class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, int32_t> && !std::is_same_v<T, int64_t>)
    bool AddKey(const std::wstring& path, T value) {
        if constexpr (Fits32<T>()) return AddKey(path, static_cast<int32_t>(value));
        else return AddKey(path, static_cast<int64_t>(value));
    }
    template <class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, int32_t> && !std::is_same_v<T, int64_t>)
    bool SetAt(const std::wstring& path, T value) {
        if constexpr (Fits32<T>()) return SetAt(path, static_cast<int32_t>(value));
        else return SetAt(path, static_cast<int64_t>(value));
    }
    // Removes the first item of that name (dotted paths allowed); false if absent.
    bool DeleteKey(const std::wstring& path);

    // Index of the first direct child of that name (no dotted walk), or -1.
    int FindKey(const std::wstring& name) const;
    // Appends under the name exactly as given (dots are not interpreted).
    void AppendNamed(const std::wstring& name, CItem* item);
    // Unnamed appends (through CItemList) get an empty name.
    void Append(CItem* item) override;
    void RemoveAt(int index) override;
    void Swap(CKeyTree& other) noexcept;

    void Empty() override;
    // Appends deep copies of every item of the other tree (Empty then Merge
    // makes a copy).
    void Merge(const CKeyTree& other);

    // Name of the child at index (empty when out of range).
    const std::wstring& GetKeyName(int index) const;

    // Whole-tree binary image (file header and checksum included) for files
    // and clipboards; a tree nested in another is written as a plain item.
    size_t GetBinarizeSize() const override;
    size_t Binarize(uint8_t* buf, size_t cap) const override;
    // Non-zero on success; on failure the tree is left unchanged.
    int Unbinarize(const uint8_t* buf, size_t len) override;

    // Loads a key-tree file; non-zero on success, and the tree then also holds
    // "FileName" = path. On failure the tree is unchanged.
    int BinLoad(const std::wstring& path);
    // Writes atomically: a temporary file in the same folder, flushed to disk,
    // then renamed over path, so a failure leaves any old file intact. The
    // tree is written as it is ("FileName" included when present). flags is
    // reserved (0). Non-zero on success.
    int BinSave(const std::wstring& path, int flags = 0) const;

    // Readable dump for tracing, one item a line. indent > 0 nests children
    // under their tree or list, two spaces a level starting at level; indent
    // 0 writes every item flat under its full dotted name. Long texts and
    // user bytes are shortened.
    std::wstring ToIndentString(int level = 0, int indent = 1) const;

private:
    template <class T> static constexpr bool Fits32() {
        return std::is_same_v<T, bool> || (std::is_signed_v<T> && sizeof(T) <= 4) ||
               (std::is_unsigned_v<T> && sizeof(T) < 4);
    }
    std::vector<std::wstring> m_names; // parallel to m_items
};

// Typed conversions that accept the not-found (null) result of GetAt.
// Numbers convert across kinds only when the value survives exactly:
//   IntOf: 32-bit item; 64-bit item within the 32-bit range; real that is a
//     whole number within the 32-bit range.
//   LongLongOf: 32- or 64-bit item; real that is a whole number in range.
//   RealOf: real; 32- or 64-bit item (64-bit values beyond 2^53 round).
// Texts are never parsed as numbers and numbers never read as text: every
// other kind, and null, gives the fallback. AsKeyTree answers for trees
// (and classes derived from CKeyTree), AsItemList for lists and trees.
SKRIVO_API int32_t IntOf(const CItem* item, int32_t fallback);
SKRIVO_API int64_t LongLongOf(const CItem* item, int64_t fallback);
SKRIVO_API double RealOf(const CItem* item, double fallback);
SKRIVO_API std::wstring AsCStr(const CItem* item, const std::wstring& fallback);
SKRIVO_API const CKeyTree* AsKeyTree(const CItem* item, const CKeyTree* fallback = nullptr);
SKRIVO_API CKeyTree* AsKeyTree(CItem* item, CKeyTree* fallback = nullptr);
SKRIVO_API const CItemList* AsItemList(const CItem* item, const CItemList* fallback = nullptr);
SKRIVO_API CItemList* AsItemList(CItem* item, CItemList* fallback = nullptr);
SKRIVO_API const CLuser* AsUser(const CItem* item, const CLuser* fallback = nullptr);

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
#include <vector>

#include "SkrivoExport.h"

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
    virtual std::wstring ToString() const = 0;
    // Parses the textual form produced by ToString; false leaves the item unchanged.
    virtual bool FromString(const std::wstring& text) = 0;
    // Size in bytes of the self-describing binary image (kind byte included).
    virtual size_t GetBinarizeSize() const;
    // Writes the binary image into buf (cap bytes); returns bytes written or 0
    // when cap is too small.
    virtual size_t Binarize(uint8_t* buf, size_t cap) const;
    // Replaces this item's value from an image of the same kind. Non-zero on
    // success; on failure the item keeps its previous value.
    virtual int Unbinarize(const uint8_t* buf, size_t len);
    virtual bool IsEqual(const CItem& other) const = 0;

    // Builds a new item of whatever kind the image holds; null on bad bytes.
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
    void Append(CItem* item);               // takes ownership; null ignored
    void RemoveAt(int index);
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
    ~CKeyTree() override;
    ItemKind Kind() const override { return ItemKind::Tree; }
    CItem* Duplicate() const override;
    std::wstring ToString() const override;
    bool FromString(const std::wstring& text) override;
    bool IsEqual(const CItem& other) const override;

    // Item at a dotted path, or null when any step is missing or not a tree.
    CItem* GetAt(const std::wstring& path);
    const CItem* GetAt(const std::wstring& path) const;

    // AddKey appends under the name (creating intermediate trees of a dotted
    // path); SetAt replaces the first item of that name or appends. Items
    // passed by pointer are taken over (deleted on failure).
    void AddKey(const std::wstring& path, const std::wstring& text);
    void AddKey(const std::wstring& path, const wchar_t* text);
    void AddKey(const std::wstring& path, int32_t value);
    void AddKey(const std::wstring& path, double value);
    void AddKey(const std::wstring& path, int64_t value);
    void AddKey(const std::wstring& path, CItem* item);
    void SetAt(const std::wstring& path, const std::wstring& text);
    void SetAt(const std::wstring& path, const wchar_t* text);
    void SetAt(const std::wstring& path, int32_t value);
    void SetAt(const std::wstring& path, double value);
    void SetAt(const std::wstring& path, int64_t value);
    void SetAt(const std::wstring& path, CItem* item);
    // Removes the first item of that name (dotted paths allowed); false if absent.
    bool DeleteKey(const std::wstring& path);

    void Empty() override;
    // Appends deep copies of every item of the other tree (Empty then Merge
    // makes a copy).
    void Merge(const CKeyTree& other);

    // Name of the child at index (empty when out of range).
    const std::wstring& GetKeyName(int index) const;

    // Whole-tree binary image (file header included) for files and clipboards.
    size_t GetBinarizeSize() const override;
    size_t Binarize(uint8_t* buf, size_t cap) const override;
    // Non-zero on success; on failure the tree is left unchanged.
    int Unbinarize(const uint8_t* buf, size_t len) override;

    // Loads a key-tree file; non-zero on success, and the tree then also holds
    // "FileName" = path. On failure the tree is unchanged.
    int BinLoad(const std::wstring& path);
    // Writes atomically (write aside, then replace). Non-zero on success.
    int BinSave(const std::wstring& path, int flags = 0) const;

    // Readable dump for tracing; indent > 0 nests children.
    std::wstring ToIndentString(int level = 0, int indent = 1) const;

private:
    std::vector<std::wstring> m_names; // parallel to m_items
};

// Typed conversions that accept the not-found (null) result of GetAt.
SKRIVO_API int32_t IntOf(const CItem* item, int32_t fallback);
SKRIVO_API int64_t LongLongOf(const CItem* item, int64_t fallback);
SKRIVO_API double RealOf(const CItem* item, double fallback);
SKRIVO_API std::wstring AsCStr(const CItem* item, const std::wstring& fallback);
SKRIVO_API const CKeyTree* AsKeyTree(const CItem* item, const CKeyTree* fallback = nullptr);
SKRIVO_API CKeyTree* AsKeyTree(CItem* item, CKeyTree* fallback = nullptr);
SKRIVO_API const CItemList* AsItemList(const CItem* item, const CItemList* fallback = nullptr);
SKRIVO_API CItemList* AsItemList(CItem* item, CItemList* fallback = nullptr);
SKRIVO_API const CLuser* AsUser(const CItem* item, const CLuser* fallback = nullptr);

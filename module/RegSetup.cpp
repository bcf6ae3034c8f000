#include "module/RegSetup.h"

#include <vector>

#include "platform/HResult.h"

namespace {

// UTF-16LE as the registry stores strings. Unpaired surrogates in the wide
// text are stored as they are rather than refused: a default is never lost.
std::vector<uint8_t> ToRegistryString(const std::wstring& s) {
    std::vector<uint8_t> v;
    v.reserve(s.size() * 2 + 2);
    auto put = [&v](uint32_t u) {
        v.push_back(static_cast<uint8_t>(u & 0xFF));
        v.push_back(static_cast<uint8_t>((u >> 8) & 0xFF));
    };
    for (wchar_t wc : s) {
        const auto c = static_cast<uint32_t>(wc);
        if (c >= 0x10000 && c <= 0x10FFFF) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c > 0x10FFFF ? 0xFFFD : c);
        }
    }
    put(0);
    return v;
}

// Up to the first zero character; pairs combine, lone surrogates stay.
std::wstring FromRegistryString(const uint8_t* data, size_t units) {
    std::wstring s;
    for (size_t i = 0; i < units; ++i) {
        const uint32_t u = data[2 * i] | (static_cast<uint32_t>(data[2 * i + 1]) << 8);
        if (u == 0)
            break;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const uint32_t lo = data[2 * i + 2] | (static_cast<uint32_t>(data[2 * i + 3]) << 8);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                s.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00)));
                ++i;
                continue;
            }
        }
        s.push_back(static_cast<wchar_t>(u));
    }
    return s;
}

} // namespace

RegSetup::RegSetup(sk::RegRoot root, const std::wstring& subKey, bool want64BitView) : m_want64(want64BitView) {
    if (root == sk::RegRoot::None)
        return;
    // A 64-bit process has one registry view; the 64-bit wish only matters
    // for a 32-bit process on a 64-bit system, which this build never is.
    m_viewFlags = 0;
    if (sk::RegistryKey::Create(root, subKey, sk::KEY_READ | sk::KEY_WRITE | m_viewFlags, &m_key) == 0) {
        m_open = true;
        m_writable = true;
    } else if (sk::RegistryKey::Create(root, subKey, sk::KEY_READ | m_viewFlags, &m_key) == 0) {
        m_open = true;
    }
}

RegSetup::~RegSetup() = default;

uint32_t RegSetup::ReadDWORD(const std::wstring& name, uint32_t defaultValue) {
    if (!m_open)
        return defaultValue;
    uint8_t buf[4] = {};
    uint32_t type = sk::REG_NONE;
    uint32_t size = sizeof buf;
    if (m_key->QueryValue(name, &type, buf, &size) == 0 && type == sk::REG_DWORD && size == 4)
        return buf[0] | (static_cast<uint32_t>(buf[1]) << 8) | (static_cast<uint32_t>(buf[2]) << 16) |
               (static_cast<uint32_t>(buf[3]) << 24);
    if (m_writable)
        m_key->SetDword(name, defaultValue);
    return defaultValue;
}

std::wstring RegSetup::ReadString(const std::wstring& name, const std::wstring& defaultValue) {
    if (!m_open)
        return defaultValue;
    uint8_t buf[kStringBufferBytes];
    uint32_t type = sk::REG_NONE;
    uint32_t size = sizeof buf;
    const int32_t r = m_key->QueryValue(name, &type, buf, &size);
    if (r == static_cast<int32_t>(sk::ERROR_MORE_DATA) &&
        (type == sk::REG_SZ || type == sk::REG_EXPAND_SZ || type == sk::REG_MULTI_SZ))
        return defaultValue; // too long to read; left alone (see the header)
    if (r == 0 && size % 2 == 0) {
        const size_t units = size / 2;
        auto unitAt = [&](size_t i) { return buf[2 * i] | (buf[2 * i + 1] << 8); };
        const bool sz = (type == sk::REG_SZ || type == sk::REG_EXPAND_SZ) && units >= 1 && unitAt(units - 1) == 0;
        const bool multi = type == sk::REG_MULTI_SZ && units >= 2 && unitAt(units - 1) == 0 && unitAt(units - 2) == 0;
        if (sz || multi)
            return FromRegistryString(buf, units);
    }
    if (m_writable) {
        const std::vector<uint8_t> bytes = ToRegistryString(defaultValue);
        m_key->SetValue(name, sk::REG_SZ, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    return defaultValue;
}

bool RegSetup::ReadBool(const std::wstring& name, bool defaultValue) {
    return ReadDWORD(name, defaultValue ? 1u : 0u) != 0;
}

void RegSetup::WriteBinary(const std::wstring& name, const void* bytes, uint32_t count) {
    if (!m_writable)
        return;
    m_key->SetValue(name, sk::REG_BINARY, bytes, count);
}

#pragma once
// The library's small registry helper. Reading a setting that is missing or
// has the wrong type writes the default back when the key is writable, so that
// after the first run every setting the library reads stands in the registry
// with its value. Nothing here reports failure: a key that cannot be opened
// makes every read return its default and every write do nothing.
//
// A string value whose data exceeds the 500-byte read buffer does not read:
// the default is returned and the stored value is left as it is (it is an
// administrator's value we cannot judge, not a broken one).
//
// Objects are short-lived and used by one thread.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Registry.h"
#include "platform/SkrivoExport.h"

class SKRIVO_API RegSetup {
public:
    static constexpr uint32_t kStringBufferBytes = 500;

    RegSetup(sk::RegRoot root, const std::wstring& subKey, bool want64BitView);
    virtual ~RegSetup();
    RegSetup(const RegSetup&) = delete;
    RegSetup& operator=(const RegSetup&) = delete;

    uint32_t ReadDWORD(const std::wstring& name, uint32_t defaultValue);
    std::wstring ReadString(const std::wstring& name, const std::wstring& defaultValue);
    bool ReadBool(const std::wstring& name, bool defaultValue);
    void WriteBinary(const std::wstring& name, const void* bytes, uint32_t count);

    bool IsOpen() const { return m_open; }
    bool IsWritable() const { return m_writable; }
    uint32_t ViewFlags() const { return m_viewFlags; }

private:
    std::unique_ptr<sk::RegistryKey> m_key;
    uint32_t m_viewFlags = 0;
    bool m_writable = false;
    bool m_open = false;
    bool m_want64 = false;
};

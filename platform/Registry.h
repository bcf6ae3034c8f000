#pragma once
// A file-backed stand-in for the system registry's HKEY_LOCAL_MACHINE (and
// HKEY_CURRENT_USER): keys hold typed values; keys and value names ignore
// letter case. Results are Windows-style error numbers (0 = success,
// ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_MORE_DATA, ...).
//
// Data lives under a root folder: env SKRIVO_REGISTRY_ROOT, else
// $XDG_CONFIG_HOME/skrivo/registry, else ~/.config/skrivo/registry. The whole
// registry is read-only when env SKRIVO_REGISTRY_READONLY=1 or a file named
// "READONLY" exists in the root folder; a key folder without write permission
// for the process is read-only too. Opening a read-only key for writing fails
// with ERROR_ACCESS_DENIED; opening it for reading works. See docs/platform.md
// for the layout on disk. Writes are atomic (write aside, sync, rename).
// Corrupt key files read as keys without values and never crash.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/SkrivoExport.h"

namespace sk {

enum class RegRoot : int { None = 0, LocalMachine = 1, CurrentUser = 2 };
inline constexpr RegRoot HKEY_LOCAL_MACHINE = RegRoot::LocalMachine;
inline constexpr RegRoot HKEY_CURRENT_USER = RegRoot::CurrentUser;

// Value types (the Windows numbers).
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_MULTI_SZ = 7;
inline constexpr uint32_t REG_QWORD = 11;

// Access bits (the Windows numbers); the view bits are accepted and have no
// effect: there is one view here.
inline constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
inline constexpr uint32_t KEY_SET_VALUE = 0x0002;
inline constexpr uint32_t KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr uint32_t KEY_READ = 0x20019;
inline constexpr uint32_t KEY_WRITE = 0x20006;
inline constexpr uint32_t KEY_WOW64_64KEY = 0x0100;
inline constexpr uint32_t KEY_WOW64_32KEY = 0x0200;

// Largest value data and key file accepted (hostile files beyond are corrupt).
inline constexpr uint32_t kRegMaxValueBytes = 1u << 20;
inline constexpr uint64_t kRegMaxKeyFileBytes = 16ull << 20;

class SKRIVO_API RegistryKey {
public:
    // Creates the key (and missing parents) or opens it, like RegCreateKeyEx.
    // Access with KEY_WRITE (KEY_SET_VALUE) needs a writable key; with read
    // access alone a missing key is still created when the registry allows
    // it. subKey uses '\\' (or '/') between names.
    static int32_t Create(RegRoot root, const std::wstring& subKey, uint32_t access,
                          std::unique_ptr<RegistryKey>* out);
    // Opens an existing key only, like RegOpenKeyEx.
    static int32_t Open(RegRoot root, const std::wstring& subKey, uint32_t access,
                        std::unique_ptr<RegistryKey>* out);

    ~RegistryKey();
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // ERROR_FILE_NOT_FOUND when the value is absent.
    int32_t QueryValue(const std::wstring& name, uint32_t* type, std::vector<uint8_t>* data) const;
    // RegQueryValueEx shape: *size is the buffer size in, the data size out;
    // a buffer too small gives ERROR_MORE_DATA (type and size still set).
    // buffer may be null to ask for the size.
    int32_t QueryValue(const std::wstring& name, uint32_t* type, void* buffer, uint32_t* size) const;
    int32_t SetValue(const std::wstring& name, uint32_t type, const void* data, uint32_t size);
    // Value names in their stored spelling, sorted ignoring case.
    std::vector<std::wstring> ValueNames() const;

    bool IsWritable() const { return m_writable; }
    // The folder of this key on disk.
    const std::string& Folder() const { return m_folder; }

    // Convenience typed forms.
    int32_t SetDword(const std::wstring& name, uint32_t value);
    int32_t SetString(const std::wstring& name, const std::wstring& value, uint32_t type = REG_SZ);

private:
    RegistryKey(std::string folder, bool writable) : m_folder(std::move(folder)), m_writable(writable) {}
    // Hands out a key on an existing folder, refusing write access where the
    // registry or the folder is read-only; shared by Create and Open.
    static int32_t OpenExisting(const std::string& folder, bool wantWrite, bool readOnly,
                                std::unique_ptr<RegistryKey>* out);
    std::string m_folder;
    bool m_writable;
};

// The root folder in use (from the environment, read at each call).
SKRIVO_API std::string RegistryRootFolder();
// True when the whole registry is switched read-only (env or marker file).
SKRIVO_API bool RegistryIsReadOnly();

} // namespace sk

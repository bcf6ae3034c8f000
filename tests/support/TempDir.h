#pragma once
// A fresh, uniquely named folder under the system temp dir, removed with
// everything inside when the object goes away. Tests use it for study
// folders, template folders, registry roots and output files.

#include <filesystem>
#include <string>

namespace sk::test {

class TempDir {
public:
    explicit TempDir(const std::string& tag = "skrivo");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::wstring wpath() const { return m_path.wstring(); }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

} // namespace sk::test

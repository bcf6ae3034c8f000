#pragma once
// A fresh, uniquely named folder under the system temp dir, removed with
// everything inside when the object goes away (kept when SKRIVO_KEEP_TEMP is
// set). Tests use it for study folders, template folders, registry roots and
// output files.

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

namespace sk::test {

class TempDir {
public:
    explicit TempDir(const std::string& tag = "skrivo") {
        static std::atomic<unsigned> counter{0};
        std::random_device rd;
        std::error_code ec;
        do
            m_path = std::filesystem::temp_directory_path() / (tag + "-" + std::to_string(::getpid()) + "-" +
                                                               std::to_string(counter++) + "-" +
                                                               std::to_string(rd() % 100000));
        while (!std::filesystem::create_directory(m_path, ec));
    }
    ~TempDir() {
        std::error_code ec;
        if (!std::getenv("SKRIVO_KEEP_TEMP")) std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::wstring wpath() const { return m_path.wstring(); }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

} // namespace sk::test

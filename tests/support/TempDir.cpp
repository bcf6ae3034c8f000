#include "support/TempDir.h"

#include <atomic>
#include <cstdlib>
#include <random>
#include <unistd.h>

namespace sk::test {

TempDir::TempDir(const std::string& tag) {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto name = tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
                    std::to_string(rd() % 100000);
        std::error_code ec;
        if (std::filesystem::create_directory(base / name, ec)) {
            m_path = base / name;
            return;
        }
    }
}

TempDir::~TempDir() {
    if (std::getenv("SKRIVO_KEEP_TEMP")) return;
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

} // namespace sk::test

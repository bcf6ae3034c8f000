#pragma once
// Fixture shared by the template tests: every test gets its own registry
// root and settings folders under a fresh temporary folder (set before any
// librarian thread runs, so nothing reads the environment while it changes),
// and the console-owner test answers "no" so montages do load.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/IsolatedSettings.h"
#include "templates/MontageLibrarian.h"
#include "templates/SkrivoTemplateManager.h"

namespace sk::test {

class TemplatesTest : public ::testing::Test {
protected:
    void SetUp() override { CMontageLibrarian::SetConsoleOwnerOverride(0); }
    void TearDown() override {
        m_manager.reset(); // joins the librarian before the folders go
        CMontageLibrarian::SetConsoleOwnerOverride(-1);
    }
    CSkrivoTemplateManager& Manager() {
        if (!m_manager)
            m_manager = std::make_unique<CSkrivoTemplateManager>();
        return *m_manager;
    }
    // A second manager sees the registry and the folders but none of the
    // first one's caches.
    void RestartManager() {
        m_manager.reset();
        Manager();
    }
    const std::filesystem::path& Root() const { return m_root.Root(); }
    std::filesystem::path MakeFolder(const std::string& name) const {
        std::filesystem::create_directories(Root() / name);
        return Root() / name;
    }

private:
    IsolatedSettings m_root;
    std::unique_ptr<CSkrivoTemplateManager> m_manager;
};

} // namespace sk::test

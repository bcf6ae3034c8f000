#pragma once
// A private registry root and private application and user settings folders
// for the life of the object, all under one fresh temporary folder (set
// before any librarian thread runs, so nothing reads the environment while it
// changes). Engine, template, editor and registry tests share it.

#include <filesystem>

#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace sk::test {

class IsolatedSettings {
public:
    const std::filesystem::path& Root() const { return m_dir.path(); }

private:
    TempDir m_dir{"settings"};
    ScopedEnv m_registry{"SKRIVO_REGISTRY_ROOT", (m_dir.path() / "registry").string()};
    ScopedEnv m_app{"SKRIVO_APP_SETTINGS_DIR", (m_dir.path() / "app").string()};
    ScopedEnv m_user{"SKRIVO_USER_SETTINGS_DIR", (m_dir.path() / "user").string()};
    ScopedEnv m_readOnly{"SKRIVO_REGISTRY_READONLY", nullptr};
};

} // namespace sk::test

#pragma once
// Sets (or removes) an environment variable for the life of the object and
// restores the previous state afterwards. Tests use it to point the registry
// stand-in and the log outputs at temporary places.

#include <cstdlib>
#include <optional>
#include <string>

namespace sk::test {

class ScopedEnv {
public:
    // value == nullptr removes the variable.
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
    ~ScopedEnv() {
        if (m_old)
            ::setenv(m_name.c_str(), m_old->c_str(), 1);
        else
            ::unsetenv(m_name.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

} // namespace sk::test

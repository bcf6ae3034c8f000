#pragma once
// Shared pieces of the engine tests: an isolated registry per test, hand-made
// study descriptions, and simulated study folders.

#include <cstdlib>
#include <string>

#include "platform/KeyTree.h"
#include "support/TempDir.h"

namespace sk::enginetest {

// Points the registry stand-in at a fresh folder for the life of the object.
class ScopedRegistry {
public:
    ScopedRegistry() {
        const char* old = std::getenv("SKRIVO_REGISTRY_ROOT");
        m_had = old != nullptr;
        if (old) m_old = old;
        setenv("SKRIVO_REGISTRY_ROOT", m_dir.path().c_str(), 1);
        unsetenv("SKRIVO_REGISTRY_READONLY");
    }
    ~ScopedRegistry() {
        if (m_had) setenv("SKRIVO_REGISTRY_ROOT", m_old.c_str(), 1);
        else unsetenv("SKRIVO_REGISTRY_ROOT");
        unsetenv("SKRIVO_REGISTRY_READONLY");
    }
    const sk::test::TempDir& dir() const { return m_dir; }

private:
    sk::test::TempDir m_dir{"skrivo-reg"};
    bool m_had = false;
    std::string m_old;
};

// The keys of a study description that template choice and estimates read.
inline CKeyTree MakeStudy(int hbType, int group, int rawCount) {
    CKeyTree t;
    t.AddKey(L"Headbox.HB0.HBType", hbType);
    t.AddKey(L"Study.StudyGroup", group);
    t.AddKey(L"Channels.RawCount", rawCount);
    return t;
}

} // namespace sk::enginetest

#pragma once
// Shared pieces of the engine tests: an isolated registry per test, hand-made
// study descriptions, and simulated study folders.

#include "platform/KeyTree.h"
#include "support/IsolatedSettings.h"

namespace sk::enginetest {

using ScopedRegistry = sk::test::IsolatedSettings;

// The keys of a study description that template choice and estimates read.
inline CKeyTree MakeStudy(int hbType, int group, int rawCount) {
    CKeyTree t;
    t.AddKey(L"Headbox.HB0.HBType", hbType);
    t.AddKey(L"Study.StudyGroup", group);
    t.AddKey(L"Channels.RawCount", rawCount);
    return t;
}

} // namespace sk::enginetest

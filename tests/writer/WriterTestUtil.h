#pragma once
// Helpers shared by the writer tests: templates and file reading (the check
// every exported file gets, ReadChecked, is in support/EdfLibRead.h).

#include <fstream>
#include <iterator>
#include <string>

#include "platform/KeyTree.h"
#include "support/EdfLibRead.h"

namespace sk::test {

inline CKeyTree MakeTemplate(const std::wstring& format, const std::wstring& channels = L"RawData") {
    CKeyTree t;
    t.AddKey(L"ExportFormat", format);
    t.AddKey(L"ExportChannels", channels);
    t.AddKey(L"Extension", std::wstring(L".EDF"));
    return t;
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

} // namespace sk::test

#pragma once
// Helpers shared by the writer tests: templates, file reading, and the check
// every exported file gets.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/KeyTree.h"
#include "support/EdfCheck.h"
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

// An exported file as readers see it: the strict checker always, EDFlib
// (every sample, every annotation) for plain EDF and EDF+C files. EDFlib
// refuses EDF+D, whose result keeps rc -1.
inline EdfLibFile ReadChecked(const std::string& path) {
    const EdfFile strict(path);
    EXPECT_TRUE(strict.Ok()) << path << ": " << strict.Error();
    if (strict.Header().reserved.rfind("EDF+D", 0) == 0)
        return {};
    EdfLibFile f = ReadEdfLib(path);
    EXPECT_EQ(f.rc, 0) << path << ": EDFlib error " << f.hdr->filetype;
    return f;
}

} // namespace sk::test

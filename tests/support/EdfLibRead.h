#pragma once
// The one EDFlib reader of the tests: a file read through EDFlib with every
// sample and every annotation. (Not in EdfCheck.h: BioSig's header defines
// macros with EDFlib's names.)

#include <edflib.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/EdfCheck.h"

namespace sk::test {

// A file read through EDFlib with every annotation; rc is 0 when it opened
// and every sample could be read.
struct EdfLibFile {
    int rc = -1;
    std::unique_ptr<edf_hdr_struct> hdr = std::make_unique<edf_hdr_struct>();
    std::vector<std::vector<double>> phys;
    std::vector<edf_annotation_struct> annots;
};

inline EdfLibFile ReadEdfLib(const std::string& path) {
    EdfLibFile f;
    f.rc = edfopen_file_readonly(path.c_str(), f.hdr.get(), EDFLIB_READ_ALL_ANNOTATIONS);
    if (f.rc != 0)
        return f;
    const int h = f.hdr->handle;
    for (int s = 0; s < f.hdr->edfsignals; ++s) {
        auto n = static_cast<int>(f.hdr->signalparam[s].smp_in_file);
        std::vector<double> v(static_cast<size_t>(n));
        if (n > 0 && edfread_physical_samples(h, s, n, v.data()) != n)
            f.rc = -100; // opened, but not every sample could be read
        f.phys.push_back(std::move(v));
    }
    for (long long i = 0; i < f.hdr->annotations_in_file; ++i) {
        edf_annotation_struct a{};
        if (edf_get_annotation(h, static_cast<int>(i), &a) == 0)
            f.annots.push_back(a);
    }
    edfclose_file(h);
    return f;
}

// A file a test wrote as readers see it: the strict checker always, EDFlib
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

// skrivo_edfcheck FILE...: one JSON line per file saying whether the readers
// a user would reach for accept it (EDFlib for plain EDF and EDF+C, which
// refuses EDF+D; the strict checker for every kind) and what it holds. The
// fault-injection run (tools/faults/faults.py) judges outputs with it.

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "support/EdfLibRead.h"

int main(int argc, char** argv) {
    int bad = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string path = argv[i];
        const sk::test::EdfFile strict(path);
        const auto& h = strict.Header();
        const std::string reserved = h.reserved.substr(0, 5);
        const std::string kind = reserved == "EDF+C" || reserved == "EDF+D" ? reserved : "EDF";
        // EDFlib opens the file with all its annotations and reads every sample.
        const sk::test::EdfLibFile f = kind == "EDF+D" ? sk::test::EdfLibFile{} : sk::test::ReadEdfLib(path);
        const bool edflib = f.rc == 0;
        const int edflibError = edflib || kind == "EDF+D" ? 0 : f.rc == -100 ? -100 : f.hdr->filetype;
        int64_t notes = 0;
        if (strict.Ok() && h.annotationSignal >= 0)
            for (int64_t r = 0; r < h.records; ++r)
                for (const auto& tal : strict.Tals(r))
                    for (const auto& text : tal.texts) notes += !text.empty();
        const bool accepted = strict.Ok() && (kind == "EDF+D" || edflib);
        bad += !accepted;
        const nlohmann::json j = {{"file", path},
                                  {"accepted", accepted},
                                  {"kind", kind},
                                  {"edflib", edflib},
                                  {"edflib_error", edflibError},
                                  {"strict", strict.Ok()},
                                  {"strict_error", strict.Error()},
                                  {"records", h.records},
                                  {"seconds", static_cast<double>(h.records) * h.duration},
                                  {"signals", h.ns - (h.annotationSignal >= 0 ? 1 : 0)},
                                  {"notes", notes}};
        std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    }
    return bad ? 1 : 0;
}

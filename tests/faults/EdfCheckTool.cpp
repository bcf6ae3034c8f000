// skrivo_edfcheck FILE...: one JSON line per file saying whether the readers
// a user would reach for accept it (EDFlib for plain EDF and EDF+C, which
// refuses EDF+D; the strict checker for every kind) and what it holds. The
// fault-injection run (tools/faults/faults.py) judges outputs with it.

#include <edflib.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/EdfCheck.h"

namespace {

// EDFlib opens the file with all its annotations and reads every sample.
bool ReadWithEdflib(const std::string& path, int* error) {
    edf_hdr_struct hdr{};
    if (edfopen_file_readonly(path.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS) != 0) {
        *error = hdr.filetype;
        return false;
    }
    std::vector<int> buf(1 << 16);
    bool ok = true;
    for (int s = 0; s < hdr.edfsignals && ok; ++s)
        for (long long left = hdr.signalparam[s].smp_in_file; left > 0 && ok;) {
            const int n = static_cast<int>(std::min<long long>(left, static_cast<long long>(buf.size())));
            ok = edfread_digital_samples(hdr.handle, s, n, buf.data()) == n;
            left -= n;
        }
    edfclose_file(hdr.handle);
    *error = ok ? 0 : -100;
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    int bad = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string path = argv[i];
        const sk::test::EdfFile strict(path);
        const auto& h = strict.Header();
        const std::string reserved = h.reserved.substr(0, 5);
        const std::string kind = reserved == "EDF+C" || reserved == "EDF+D" ? reserved : "EDF";
        int edflibError = 0;
        const bool edflib = kind != "EDF+D" && ReadWithEdflib(path, &edflibError);
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

#pragma once
// Writer of the notes file (".ENT"), atomically.

#include <string>
#include <vector>

#include "platform/SkrivoExport.h"
#include "platform/recording/NoteManager.h"

namespace sk::rec {

class SKRIVO_API NoteWriter {
public:
    // Notes in any order (the file keeps the given order). False (with error)
    // for texts or data beyond the format limits or a write failure.
    static bool Save(const std::wstring& path, const std::vector<CNote>& notes, std::wstring* error = nullptr);
    // The file image (used by Save, tests and fuzz seeds).
    static bool Serialize(const std::vector<CNote>& notes, std::string& out, std::wstring* error = nullptr);
};

} // namespace sk::rec

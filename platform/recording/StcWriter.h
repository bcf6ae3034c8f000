#pragma once
// Writer of the segment table (".STC"), atomically.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/SkrivoExport.h"
#include "platform/recording/StcFile.h"

namespace sk::rec {

class SKRIVO_API StcWriter {
public:
    // Segments in time order; names are plain file names without extension
    // (at most 255 UTF-16 units, no path separators). The table's start, end
    // and total are derived from them. False (with error) on bad input or a
    // write failure.
    static bool Save(const std::wstring& path, int decimation,
                     const std::vector<CStcFile::Segment>& segments, std::wstring* error = nullptr);
};

} // namespace sk::rec

#pragma once
// Sees the bytes of each output file on their way to it, so that a caller
// can digest a file without reading it back. The exporter calls it on the
// exporting thread, one file at a time: Started once the file is created
// empty (under its temporary name), Wrote for every run of bytes that reached
// it (at its file offset; the data is valid during the call only), Resized
// when the file was cut or extended, Ended once it is closed, published when
// it took its final name. A file seen in one pass from offset 0 with every
// later write repeating bytes already there holds exactly what was seen.

#include <cstddef>
#include <cstdint>
#include <string>

namespace sk {

class OutputObserver {
public:
    virtual ~OutputObserver() = default;
    virtual void Started(const std::wstring& path) = 0;
    virtual void Wrote(int64_t offset, const void* data, size_t size) = 0;
    virtual void Resized(int64_t length) = 0;
    virtual void Ended(bool published) = 0;
};

} // namespace sk

#pragma once
// The raw data file of one recording segment, opened and ready to decode:
// the file beside the segment's table of contents and the producer of its
// storage schema. Whether it opens decides whether the segment's records
// exist, for the export and the size plan alike.

#include <memory>
#include <string>

#include "platform/recording/DataProducer.h"
#include "platform/recording/RawDataFile.h"

namespace sk {

class RawSegment {
public:
    // Opens the raw data file of the table-of-contents file tocPath; false,
    // with *why, when the file, its header or its schema cannot be read.
    bool Open(const std::wstring& tocPath, CEegFileException* why);
    // The raw data file's path (also when it did not open).
    const std::wstring& Path() const { return m_path; }
    CRawDataFile& File() { return m_raw; }
    const CRawDataHeader& Header() const { return *m_header; }
    CDataProducer* Producer() const { return m_producer.get(); }

private:
    struct ProducerDeleter {
        void operator()(CDataProducer* p) const {
            if (p)
                p->Release();
        }
    };

    std::wstring m_path;
    CRawDataFile m_raw;
    const CRawDataHeader* m_header = nullptr;
    std::unique_ptr<CDataProducer, ProducerDeleter> m_producer; // released before the file closes
};

} // namespace sk

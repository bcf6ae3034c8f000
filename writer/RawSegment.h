#pragma once
// The raw data file of one recording segment, opened and ready to decode:
// the file beside the segment's table of contents and the producer of its
// storage schema. Whether it opens decides whether the segment's records
// exist, for the export and the size plan alike.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/recording/DataProducer.h"
#include "platform/recording/RawDataFile.h"

namespace sk {

// What every segment's raw data header must share with the study: records
// are laid out for one rate and one channel order, so the samples of a
// segment recorded otherwise would land at the wrong times or in the wrong
// signals. A field of 0 is not checked.
struct SegmentLayout {
    double rate = 0.0;      // acquisition rate as the study takes it (whole Hz)
    int32_t channels = 0;   // stored channels
    int32_t decimation = 0; // stamps per stored sample
};

class RawSegment {
public:
    // Opens the raw data file of the table-of-contents file tocPath; false,
    // with *why, when the file, its header or its schema cannot be read, or
    // the header's layout is not the study's.
    bool Open(const std::wstring& tocPath, const SegmentLayout& layout, CEegFileException* why);
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

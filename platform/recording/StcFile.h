#pragma once
// Segment table (".STC"): the list of segment files of a study in time order.
// Each segment is one ".ETC"/".ERD" pair in the study folder named by the
// entry (file name without extension). The table also carries the
// recording's first and last stamp and its recorded sample count.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/SkrivoExport.h"
#include "platform/recording/EegFile.h"

struct STC_ENTRY {
    wchar_t m_name[256] = {}; // segment file name without extension, zero-terminated
    int64_t m_number = -1;    // segment's first stamp; negative after the last entry
};

class SKRIVO_API CStcFile : public CEegFile {
public:
    // One segment as stored.
    struct Segment {
        std::wstring name;
        int64_t firstStamp = -1;
        int64_t lastStamp = -1;
        int64_t sampleCount = 0;
    };

    CStcFile();
    ~CStcFile() override;

    // -1 gives the first entry (and puts the cursor on it); any other stamp
    // gives the segment covering it or, inside a gap between segments, the
    // next one. Past the end (or when empty) the entry's m_number is -1.
    STC_ENTRY FindStcEntry(int64_t stamp);
    // Advances the cursor; returns non-zero and fills *entry while entries
    // remain. After the last entry it returns 0 and *entry gets m_number -1
    // and an empty name.
    int NextStcEntry(STC_ENTRY* entry);

    int64_t GetStartStamp() const { return m_start; }
    int64_t GetEndStamp() const { return m_end; }
    int64_t GetRecordingSampleNum() const { return m_total; }
    int GetDecimation() const { return m_decimation; }
    const std::vector<Segment>& GetSegments() const { return m_segments; }

protected:
    bool OnOpen(CEegFileException& err) override;
    void OnClose() override;

private:
    STC_ENTRY MakeEntry(int index) const;
    std::vector<Segment> m_segments;
    int64_t m_start = -1, m_end = -1, m_total = 0;
    int m_decimation = 1;
    int m_cursor = -1;
};

#pragma once
// Table-of-contents file (".ETC"): one 32-byte entry per stored run of
// consecutive samples (at most 32767 samples), in stamp order. An entry gives
// the byte offset of its samples in the raw data file (".ERD" of the same
// name), the stamp of its first sample and its sample count. Stamps advance
// by the file's decimation factor per sample; a jump between one entry's end
// and the next entry's stamp is a recording gap.
//
// The whole table is validated and held in memory at Open (its size is
// bounded by the file length).

#include <cstdint>
#include <vector>

#include "platform/SkrivoExport.h"
#include "platform/recording/EegFile.h"

#pragma pack(push, 1)
struct TOC_ENTRY {
    uint32_t m_dataOffset = 0;     // byte 0: offset of the entry's data in the ERD (low 32 bits)
    uint32_t m_dataOffsetHigh = 0; // byte 4: high 32 bits of the offset
    int64_t m_stamp = -1;          // byte 8: stamp of the first sample; -1 = no entry
    uint32_t m_dataBytes = 0;      // byte 16: bytes of sample data the entry covers
    uint32_t m_reserved = 0;       // byte 20: zero
    int16_t m_sampleCount = 0;     // byte 24: samples in the entry, 1..32767
    uint16_t m_flags = 0;          // byte 26: bit 0 = first entry after a recording gap
    uint32_t m_crc = 0;            // byte 28: CRC-32 of bytes 0..27

    uint64_t DataOffset() const { return (static_cast<uint64_t>(m_dataOffsetHigh) << 32) | m_dataOffset; }
};
#pragma pack(pop)
static_assert(sizeof(TOC_ENTRY) == 32, "TOC_ENTRY is 32 bytes on disk and in memory");

constexpr int64_t kTocEndSentinel = 0x7FFFFFFFFFFFll;
constexpr uint16_t kTocFlagAfterGap = 0x0001;

class SKRIVO_API CTocFile : public CEegFile {
public:
    CTocFile();
    ~CTocFile() override;

    // Entry lookup. -1 gives the first entry, 0x7FFFFFFFFFFF (or larger) the
    // last one. Any other stamp gives the entry that covers it (stamp .. stamp + count x decimation - 1), or an entry whose
    // m_stamp is -1 when no entry covers it. A found entry becomes the cursor
    // for NextTocEntry.
    TOC_ENTRY FindTocEntry(int64_t stamp);
    // The first entry whose covered range ends at or after the stamp: the one
    // covering it, else the next one after a gap. m_stamp -1 when the stamp
    // lies past the last entry. A found entry becomes the cursor.
    TOC_ENTRY FindTocEntryUpperBound(int64_t stamp);
    // Moves the cursor to the following entry and copies it to *entry; returns
    // non-zero while entries remain, 0 (entry untouched) after the last one.
    int NextTocEntry(TOC_ENTRY* entry);

    int64_t GetStartStamp() const;         // first entry's stamp, -1 when empty
    int64_t GetEndStamp() const;           // last covered stamp, -1 when empty
    int64_t GetRecordingSampleNum() const; // sum of sample counts
    int GetDecimation() const { return m_decimation; }
    int GetEntryCount() const { return static_cast<int>(m_entries.size()); }
    const TOC_ENTRY& GetEntry(int index) const { return m_entries[index]; }
    // Last stamp covered by an entry.
    int64_t EntryEnd(const TOC_ENTRY& e) const { return e.m_stamp + int64_t(e.m_sampleCount) * m_decimation - 1; }

protected:
    bool OnOpen(CEegFileException& err) override;
    void OnClose() override;

private:
    std::vector<TOC_ENTRY> m_entries;
    int m_decimation = 1;
    int m_cursor = -1;
    int64_t m_total = 0;
};

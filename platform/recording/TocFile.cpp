#include "platform/recording/TocFile.h"

#include <algorithm>

#include "platform/recording/StudyFormat.h"

using namespace sk::rec;

namespace {
const FileHeaderKind kEtcHeader{
    kEtcMagic, kEtcHeaderSize, 28,
    L"table of contents is truncated (no complete header)",
    L"not a table-of-contents file (bad magic)",
    L"unsupported table-of-contents version", true,
    L"bad table-of-contents header size",
    L"table-of-contents header checksum mismatch"};
} // namespace

CTocFile::CTocFile() = default;
CTocFile::~CTocFile() = default;

bool CTocFile::OnOpen(CEegFileException& err)
{
    m_entries.clear();
    m_cursor = -1;
    m_total = 0;
    uint8_t h[kEtcHeaderSize];
    const bool read = GetLength() >= static_cast<int64_t>(kEtcHeaderSize) && ReadExact(h, sizeof h);
    int32_t code = 0;
    std::wstring why;
    if (!CheckFileHeader(read ? h : nullptr, sizeof h, kEtcHeader, code, why)) {
        err.Set(code, Describe(why));
        return false;
    }
    const uint32_t count = GetU32(h + 8);
    const int decimation = GetU16(h + 12);
    if (decimation < 1) {
        err.Set(kErrInvalidData, Describe(L"decimation factor 0 in table of contents"));
        return false;
    }
    const int64_t expected = static_cast<int64_t>(kEtcHeaderSize) + static_cast<int64_t>(count) * kTocEntrySize;
    if (GetLength() < expected) {
        err.Set(kErrHandleEof, Describe(L"table of contents is truncated: " + std::to_wstring(count) +
                                        L" entries announced, file holds " +
                                        std::to_wstring((GetLength() - kEtcHeaderSize) / kTocEntrySize)));
        return false;
    }
    if (GetLength() != expected) {
        err.Set(kErrInvalidData, Describe(L"table of contents has trailing bytes after its entries"));
        return false;
    }
    m_decimation = decimation;
    m_entries.reserve(count);
    uint8_t chunk[kTocEntrySize * 256];
    uint32_t done = 0;
    while (done < count) {
        const uint32_t n = std::min<uint32_t>(256, count - done);
        if (!ReadExact(chunk, n * kTocEntrySize)) {
            err.Set(kErrHandleEof, Describe(L"table of contents is truncated"));
            return false;
        }
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* p = chunk + i * kTocEntrySize;
            const uint32_t index = done + i;
            auto bad = [&](const std::wstring& why) {
                err.Set(kErrInvalidData, Describe(L"TOC entry " + std::to_wstring(index) + L": " + why));
                return false;
            };
            if (ChecksumsEnforced() && GetU32(p + 28) != Crc32(p, 28)) return bad(L"checksum mismatch");
            TOC_ENTRY e;
            e.m_dataOffset = GetU32(p);
            e.m_dataOffsetHigh = GetU32(p + 4);
            e.m_stamp = GetI64(p + 8);
            e.m_dataBytes = GetU32(p + 16);
            e.m_reserved = GetU32(p + 20);
            e.m_sampleCount = GetI16(p + 24);
            e.m_flags = GetU16(p + 26);
            e.m_crc = GetU32(p + 28);
            if (e.m_sampleCount < 1) return bad(L"sample count " + std::to_wstring(e.m_sampleCount));
            if (e.m_dataBytes == 0) return bad(L"no sample data");
            if (e.m_stamp < 0 || e.m_stamp >= kTocEndSentinel ||
                EntryEnd(e) >= kTocEndSentinel)
                return bad(L"stamp " + std::to_wstring(e.m_stamp) + L" out of range");
            if (e.DataOffset() < kErdHeaderSize) return bad(L"data offset inside the raw data header");
            if (!m_entries.empty()) {
                const TOC_ENTRY& prev = m_entries.back();
                if (e.m_stamp <= EntryEnd(prev)) return bad(L"stamp overlaps or precedes the previous entry");
                if (e.DataOffset() != prev.DataOffset() + prev.m_dataBytes)
                    return bad(L"data does not follow the previous entry's data");
            }
            m_total += e.m_sampleCount;
            m_entries.push_back(e);
        }
        done += n;
    }
    return true;
}

void CTocFile::OnClose()
{
    m_entries.clear();
    m_cursor = -1;
    m_total = 0;
}

TOC_ENTRY CTocFile::FindTocEntry(int64_t stamp)
{
    TOC_ENTRY none;
    if (m_entries.empty()) return none;
    int index = -1;
    if (stamp == -1) {
        index = 0;
    } else if (stamp >= kTocEndSentinel) {
        index = static_cast<int>(m_entries.size()) - 1;
    } else if (stamp >= 0) {
        // Last entry starting at or before the stamp.
        auto it = std::upper_bound(m_entries.begin(), m_entries.end(), stamp,
                                   [](int64_t s, const TOC_ENTRY& e) { return s < e.m_stamp; });
        if (it != m_entries.begin()) {
            --it;
            if (stamp <= EntryEnd(*it)) index = static_cast<int>(it - m_entries.begin());
        }
    }
    if (index < 0) return none;
    m_cursor = index;
    return m_entries[index];
}

TOC_ENTRY CTocFile::FindTocEntryUpperBound(int64_t stamp)
{
    TOC_ENTRY none;
    auto it = std::lower_bound(m_entries.begin(), m_entries.end(), stamp,
                               [this](const TOC_ENTRY& e, int64_t s) { return EntryEnd(e) < s; });
    if (it == m_entries.end()) return none;
    m_cursor = static_cast<int>(it - m_entries.begin());
    return *it;
}

int CTocFile::NextTocEntry(TOC_ENTRY* entry)
{
    if (m_cursor < 0 || m_cursor + 1 >= static_cast<int>(m_entries.size())) return 0;
    ++m_cursor;
    if (entry) *entry = m_entries[m_cursor];
    return 1;
}

int64_t CTocFile::GetStartStamp() const
{
    return m_entries.empty() ? -1 : m_entries.front().m_stamp;
}

int64_t CTocFile::GetEndStamp() const
{
    return m_entries.empty() ? -1 : EntryEnd(m_entries.back());
}

int64_t CTocFile::GetRecordingSampleNum() const
{
    return m_total;
}

#include "platform/recording/StcFile.h"

#include <algorithm>
#include <cwchar>

#include "platform/TextConv.h"
#include "platform/recording/StudyFormat.h"

using namespace sk::rec;

namespace {
const FileHeaderKind kStcHeader{
    kStcMagic, kStcHeaderSize, 44,
    L"segment table is truncated (no complete header)",
    L"not a segment table (bad magic)",
    L"unsupported segment table version or header size", false,
    L"unsupported segment table version or header size",
    L"segment table header checksum mismatch"};
} // namespace

CStcFile::CStcFile() = default;
CStcFile::~CStcFile() = default;

namespace {

// Segment names are plain file names in the study folder.
bool IsPlainName(const std::wstring& name)
{
    if (name.empty() || name == L"." || name == L"..") return false;
    for (wchar_t c : name)
        if (c < 0x20 || c == L'/' || c == L'\\' || c == L':') return false;
    return true;
}

} // namespace

bool CStcFile::OnOpen(CEegFileException& err)
{
    m_segments.clear();
    m_cursor = -1;
    uint8_t h[kStcHeaderSize];
    const bool read = GetLength() >= static_cast<int64_t>(kStcHeaderSize) && ReadExact(h, sizeof h);
    int32_t code = 0;
    std::wstring why;
    if (!CheckFileHeader(read ? h : nullptr, sizeof h, kStcHeader, code, why)) {
        err.Set(code, Describe(why));
        return false;
    }
    const uint32_t count = GetU32(h + 8);
    const int decimation = GetU16(h + 12);
    const int64_t start = GetI64(h + 16), end = GetI64(h + 24), total = GetI64(h + 32);
    if (decimation < 1) {
        err.Set(kErrInvalidData, Describe(L"decimation factor 0 in segment table"));
        return false;
    }
    const int64_t expected = static_cast<int64_t>(kStcHeaderSize) + static_cast<int64_t>(count) * kStcRecordSize;
    if (GetLength() < expected) {
        err.Set(kErrHandleEof, Describe(L"segment table is truncated: " + std::to_wstring(count) +
                                        L" segments announced"));
        return false;
    }
    if (GetLength() != expected) {
        err.Set(kErrInvalidData, Describe(L"segment table has trailing bytes after its segments"));
        return false;
    }
    m_segments.reserve(count);
    uint8_t r[kStcRecordSize];
    int64_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) {
        auto bad = [&](const std::wstring& why) {
            err.Set(kErrInvalidData, Describe(L"segment " + std::to_wstring(i) + L": " + why));
            m_segments.clear();
            return false;
        };
        if (!ReadExact(r, sizeof r)) {
            err.Set(kErrHandleEof, Describe(L"segment table is truncated"));
            m_segments.clear();
            return false;
        }
        if (ChecksumsEnforced() && GetU32(r + 540) != Crc32(r, 540)) return bad(L"checksum mismatch");
        if (GetU16(r + 2 * (kStcNameUnits - 1)) != 0) return bad(L"name is not terminated");
        Segment s;
        s.name = sk::Utf16LEToWideLossy(r, kStcNameUnits, true);
        s.firstStamp = GetI64(r + 512);
        s.lastStamp = GetI64(r + 520);
        s.sampleCount = GetI64(r + 528);
        if (!IsPlainName(s.name)) return bad(L"segment name is not a plain file name");
        if (s.firstStamp < 0 || s.lastStamp < s.firstStamp || s.lastStamp >= 0x7FFFFFFFFFFFll)
            return bad(L"stamps out of range");
        if (s.sampleCount < 1 || s.sampleCount > (s.lastStamp - s.firstStamp) / decimation + 1)
            return bad(L"sample count does not fit its stamps");
        if (!m_segments.empty() && s.firstStamp <= m_segments.back().lastStamp)
            return bad(L"segment overlaps or precedes the previous one");
        sum += s.sampleCount;
        m_segments.push_back(std::move(s));
    }
    const int64_t wantStart = m_segments.empty() ? -1 : m_segments.front().firstStamp;
    const int64_t wantEnd = m_segments.empty() ? -1 : m_segments.back().lastStamp;
    if (start != wantStart || end != wantEnd || total != sum) {
        m_segments.clear();
        err.Set(kErrInvalidData, Describe(L"segment table totals do not match its segments"));
        return false;
    }
    m_start = start;
    m_end = end;
    m_total = total;
    m_decimation = decimation;
    return true;
}

void CStcFile::OnClose()
{
    m_segments.clear();
    m_start = m_end = -1;
    m_total = 0;
    m_cursor = -1;
}

STC_ENTRY CStcFile::MakeEntry(int index) const
{
    STC_ENTRY e;
    if (index < 0 || index >= static_cast<int>(m_segments.size())) return e;
    const std::wstring& n = m_segments[index].name;
    const size_t len = std::min<size_t>(n.size(), 255);
    std::wmemcpy(e.m_name, n.data(), len);
    e.m_name[len] = 0;
    e.m_number = m_segments[index].firstStamp;
    return e;
}

STC_ENTRY CStcFile::FindStcEntry(int64_t stamp)
{
    int index = -1;
    if (stamp == -1) {
        index = m_segments.empty() ? -1 : 0;
    } else {
        auto it = std::lower_bound(m_segments.begin(), m_segments.end(), stamp,
                                   [](const Segment& s, int64_t v) { return s.lastStamp < v; });
        if (it != m_segments.end()) index = static_cast<int>(it - m_segments.begin());
    }
    if (index < 0) return STC_ENTRY{};
    m_cursor = index;
    return MakeEntry(index);
}

int CStcFile::NextStcEntry(STC_ENTRY* entry)
{
    if (m_cursor >= 0 && m_cursor + 1 < static_cast<int>(m_segments.size())) {
        ++m_cursor;
        if (entry) *entry = MakeEntry(m_cursor);
        return 1;
    }
    if (entry) *entry = STC_ENTRY{};
    if (m_cursor >= 0) m_cursor = static_cast<int>(m_segments.size());
    return 0;
}

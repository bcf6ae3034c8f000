#include "platform/recording/NoteManager.h"

#include <algorithm>
#include <fstream>

#include "platform/TextConv.h"
#include "platform/recording/StudyFormat.h"

using namespace sk::rec;

namespace {
const FileHeaderKind kEntHeader{
    kEntMagic, kEntHeaderSize, 12,
    L"notes file is truncated (no complete header)",
    L"not a notes file (bad magic)",
    L"unsupported notes file version or header size", false,
    L"unsupported notes file version or header size",
    L"notes file header checksum mismatch"};
} // namespace

CNote::CNote(std::wstring text, std::wstring label, int64_t start, int64_t end, uint32_t flags,
             std::unique_ptr<CKeyTree> data)
    : m_text(std::move(text)), m_label(std::move(label)), m_start(start), m_end(end), m_flags(flags)
{
    if (data) m_tree.AddKey(L"Data", data.release());
}

CNote::CNote(const CNote& other) = default;
CNote& CNote::operator=(const CNote& other) = default;

const CKeyTree* CNote::GetData() const
{
    return AsKeyTree(m_tree.GetAt(L"Data"));
}

CNoteManager::CNoteManager() = default;
CNoteManager::~CNoteManager() = default;

void CNoteManager::setPath(const std::wstring& path)
{
    m_path = path;
}

const CNote* CNoteManager::GetAt(int index) const
{
    if (index < 0 || index >= static_cast<int>(m_notes.size())) return nullptr;
    return &m_notes[index];
}

int CNoteManager::Load(CEegFileException* pError)
{
    CEegFileException local;
    CEegFileException& err = pError ? *pError : local;
    m_notes.clear();
    m_order.clear();
    m_announced = -1;
    m_skipped = 0;
    CEegFile file;
    if (!file.Open(m_path, CEegFile::modeRead | CEegFile::shareDenyNone, &err)) return 0;
    if (file.GetLength() > kMaxStudyFileBytes * 4) {
        err.Set(kErrInvalidData, m_path + L": notes file is too large");
        return 0;
    }
    std::vector<uint8_t> data(static_cast<size_t>(file.GetLength()));
    if (!data.empty() && !file.ReadExact(data.data(), static_cast<uint32_t>(data.size()))) {
        err.Set(kErrHandleEof, m_path + L": cannot read notes file");
        return 0;
    }
    if (!LoadFromMemory(data.data(), data.size(), &err)) {
        err.Set(err.GetErrorCode(), m_path + L": " + err.GetErrorText());
        return 0;
    }
    return 1;
}

int CNoteManager::LoadFromMemory(const uint8_t* data, size_t size, CEegFileException* pError)
{
    CEegFileException local;
    CEegFileException& err = pError ? *pError : local;
    m_notes.clear();
    m_order.clear();
    m_announced = -1;
    m_skipped = 0;
    int32_t code = 0;
    std::wstring why;
    if (!CheckFileHeader(data, size, kEntHeader, code, why)) {
        err.Set(code, why);
        return 0;
    }
    const uint32_t count = GetU32(data + 8);
    m_announced = count;
    // One damaged note costs that note, not the file: a record whose length
    // field holds is stepped over; one whose length does not leaves no way
    // to the next, so it and every note after it are lost. The first damage
    // is the error; the notes read stay loaded.
    auto skip = [&](uint32_t i, int32_t c, const std::wstring& what, int64_t notes) {
        if (m_skipped == 0 && code == 0) {
            code = c;
            why = L"note " + std::to_wstring(i) + L": " + what;
        }
        m_skipped += notes;
    };
    // Never more than the file could hold, whatever the header announces.
    constexpr size_t kMinRecord = 4 + 28 + 4;
    m_notes.reserve(std::min<size_t>(count, (size - kEntHeaderSize) / kMinRecord));
    size_t pos = kEntHeaderSize;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t len = size - pos < 4 ? 0 : GetU32(data + pos);
        if (size - pos < 4 || len > size - pos - 4) {
            skip(i, kErrHandleEof, L"truncated (" + std::to_wstring(count) + L" notes announced)", count - i);
            pos = size;
            break;
        }
        if (len < 28 + 4) {
            skip(i, kErrInvalidData, L"record too short", count - i);
            pos = size;
            break;
        }
        const uint8_t* r = data + pos + 4;
        pos += 4 + len;
        if (ChecksumsEnforced() && GetU32(r + len - 4) != Crc32(r, len - 4)) {
            skip(i, kErrInvalidData, L"checksum mismatch", 1);
            continue;
        }
        const int64_t start = GetI64(r);
        const int64_t end = GetI64(r + 8);
        const uint32_t flags = GetU32(r + 16);
        const uint32_t textUnits = GetU16(r + 20);
        const uint32_t labelUnits = GetU16(r + 22);
        const uint32_t dataBytes = GetU32(r + 24);
        if (textUnits > kMaxNoteTextUnits || labelUnits > kMaxNoteTextUnits || dataBytes > kMaxNoteDataBytes) {
            skip(i, kErrInvalidData, L"field length beyond the format limits", 1);
            continue;
        }
        const uint64_t need = 28ull + 2ull * textUnits + 2ull * labelUnits + dataBytes + 4;
        if (need != len) {
            skip(i, kErrInvalidData, L"field lengths do not add up to the record length", 1);
            continue;
        }
        const uint8_t* q = r + 28;
        std::wstring text = sk::Utf16LEToWideLossy(q, textUnits, false);
        q += 2 * textUnits;
        std::wstring label = sk::Utf16LEToWideLossy(q, labelUnits, false);
        q += 2 * labelUnits;
        std::unique_ptr<CKeyTree> tree;
        if (dataBytes > 0) {
            tree = std::make_unique<CKeyTree>();
            if (!tree->Unbinarize(q, dataBytes)) {
                skip(i, kErrInvalidData, L"note data is not a valid key tree", 1);
                continue;
            }
        }
        m_notes.emplace_back(std::move(text), std::move(label), start, end, flags, std::move(tree));
    }
    // Bytes after the announced notes may be notes the count left out.
    if (pos != size && code == 0) {
        code = kErrInvalidData;
        why = L"notes file has trailing bytes after its notes";
    }
    m_order.resize(m_notes.size());
    for (size_t i = 0; i < m_order.size(); ++i) m_order[i] = static_cast<int>(i);
    std::stable_sort(m_order.begin(), m_order.end(), [this](int a, int b) {
        return m_notes[a].GetStartStamp() < m_notes[b].GetStartStamp();
    });
    if (code != 0) {
        err.Set(code, why);
        return 0;
    }
    err.Clear();
    return 1;
}

CNoteMapIterator::CNoteMapIterator(const CNoteManager& manager, int64_t from, int64_t to, const CNoteFilter* filter)
    : m_manager(manager), m_from(from), m_to(to), m_filter(filter)
{
    MoveFirst();
}

void CNoteMapIterator::SkipRejected()
{
    const auto& order = m_manager.SortedOrder();
    while (m_pos < order.size()) {
        const CNote* n = m_manager.GetAt(order[m_pos]);
        const int64_t s = n->GetStartStamp();
        if (s > m_to) {
            m_pos = order.size(); // sorted: nothing later can be in range
            break;
        }
        if (s >= m_from && (!m_filter || m_filter->Accept(*n))) break;
        ++m_pos;
    }
}

void CNoteMapIterator::MoveFirst()
{
    m_pos = 0;
    SkipRejected();
}

void CNoteMapIterator::MoveNext()
{
    if (m_pos < m_manager.SortedOrder().size()) {
        ++m_pos;
        SkipRejected();
    }
}

bool CNoteMapIterator::IsEOF() const
{
    return m_pos >= m_manager.SortedOrder().size();
}

const CNote* CNoteMapIterator::GetCurrent() const
{
    if (IsEOF()) return nullptr;
    return m_manager.GetAt(m_manager.SortedOrder()[m_pos]);
}

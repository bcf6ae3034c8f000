#include "platform/recording/StagingFile.h"

#include <algorithm>

#include "platform/TextConv.h"
#include "platform/recording/StudyFormat.h"

using namespace sk::rec;

namespace {
const FileHeaderKind kEpoHeader{
    kEpoMagic, kEpoHeaderSize, 172,
    L"staging file is truncated (no complete header)",
    L"not a staging file (bad magic)",
    L"unsupported staging file version or header size", false,
    L"unsupported staging file version or header size",
    L"staging header checksum mismatch"};
} // namespace

CStagingFile::CStagingFile() = default;
CStagingFile::~CStagingFile() = default;

void CStagingFile::Close()
{
    m_open = false;
    m_present = false;
    m_epochSeconds = 0;
    m_firstStamp = -1;
    m_stagingType = -1;
    m_label.clear();
    m_codes.clear();
    m_damaged.clear();
    m_skipped = 0;
}

int CStagingFile::Open(const std::wstring& path, CEegFileException* pError)
{
    CEegFileException local;
    CEegFileException& err = pError ? *pError : local;
    Close();
    m_announced = -1;
    CEegFile file;
    if (!file.Open(path, CEegFile::modeRead | CEegFile::shareDenyNone, &err)) return 0;
    // One code byte per epoch: a million epochs is far beyond any recording.
    if (file.GetLength() > static_cast<int64_t>(kEpoHeaderSize + 4 + (1u << 20))) {
        err.Set(kErrInvalidData, path + L": staging file is too large");
        return 0;
    }
    std::vector<uint8_t> data(static_cast<size_t>(file.GetLength()));
    if (!data.empty() && !file.ReadExact(data.data(), static_cast<uint32_t>(data.size()))) {
        err.Set(kErrHandleEof, path + L": cannot read staging file");
        return 0;
    }
    if (!OpenFromMemory(data.data(), data.size(), &err)) {
        err.Set(err.GetErrorCode(), path + L": " + err.GetErrorText());
        return 0;
    }
    return 1;
}

int CStagingFile::OpenFromMemory(const uint8_t* d, size_t size, CEegFileException* pError)
{
    CEegFileException local;
    CEegFileException& err = pError ? *pError : local;
    Close();
    auto fail = [&](int32_t code, const std::wstring& why) {
        Close();
        err.Set(code, why);
        return 0;
    };
    m_announced = -1;
    int32_t code = 0;
    std::wstring why;
    if (!CheckFileHeader(d, size, kEpoHeader, code, why)) return fail(code, why);
    m_announced = GetU32(d + 16);
    const uint32_t flags = GetU32(d + 8);
    const int32_t epochSeconds = GetI32(d + 12);
    const uint32_t count = GetU32(d + 16);
    const int64_t first = GetI64(d + 24);
    const int32_t type = GetI32(d + 32);
    const uint32_t labelUnits = GetU16(d + 36);
    if (epochSeconds < 1 || epochSeconds > 86400) return fail(kErrInvalidData, L"epoch length out of range");
    if (first < 0 || first >= 0x7FFFFFFFFFFFll) return fail(kErrInvalidData, L"first epoch stamp out of range");
    if (labelUnits >= kEpoLabelUnits) return fail(kErrInvalidData, L"staging label too long");
    if (count > (1u << 20)) return fail(kErrInvalidData, L"epoch count beyond the format's limit");
    // One damaged epoch costs that epoch, not the staging: the epochs are
    // kept whatever follows the header; those cut off are lost, and behind a
    // checksum that fails so is every code the format never stores (which
    // is what a damaged byte usually becomes). The first damage is the error.
    const size_t present = std::min<size_t>(count, size - kEpoHeaderSize);
    const uint8_t* codes = d + kEpoHeaderSize;
    const bool checked = present == count && size - kEpoHeaderSize - count >= 4;
    const bool intact = !ChecksumsEnforced() || (checked && GetU32(codes + count) == Crc32(codes, count));
    m_damaged.assign(count, false);
    for (size_t n = 0; n < count; ++n)
        m_damaged[n] = n >= present || (!intact && codes[n] > 8 && codes[n] != kUnscored);
    if (present < count || !checked) {
        code = kErrHandleEof;
        why = L"staging file is truncated: " + std::to_wstring(count) + L" epochs announced";
    } else if (!intact) {
        code = kErrInvalidData;
        why = L"staging epochs checksum mismatch";
    } else if (size != kEpoHeaderSize + count + 4) {
        code = kErrInvalidData;
        why = L"staging file has trailing bytes";
    }
    m_skipped = std::count(m_damaged.begin(), m_damaged.end(), true);
    if (m_skipped == 0)
        m_damaged.clear();
    m_label = sk::Utf16LEToWideLossy(d + 40, labelUnits, false);
    m_present = (flags & 1) != 0;
    m_epochSeconds = epochSeconds;
    m_firstStamp = first;
    m_stagingType = type;
    m_codes.assign(codes, codes + present);
    m_open = true;
    if (code != 0) {
        err.Set(code, why);
        return 0;
    }
    err.Clear();
    return 1;
}

int CStagingFile::GetStageCode(uint32_t n) const
{
    if (!m_open || n < 1 || n > m_codes.size()) return -1;
    const uint8_t c = m_codes[n - 1];
    return c <= 8 ? c : -1;
}

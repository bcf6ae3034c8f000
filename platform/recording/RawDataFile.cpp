#include "platform/recording/RawDataFile.h"

#include <cmath>

#include "platform/recording/StudyFormat.h"

using namespace sk::rec;

namespace {
const FileHeaderKind kErdHeader{
    kErdMagic, kErdHeaderSize, 60,
    L"raw data file is truncated (no complete header)",
    L"not a raw data file (bad magic)",
    L"unsupported raw data version or header size", false,
    L"unsupported raw data version or header size",
    L"raw data header checksum mismatch"};
} // namespace

CRawDataFile::CRawDataFile() = default;
CRawDataFile::~CRawDataFile() = default;

const CEegFileHeader* CRawDataFile::GetHeader() const
{
    return m_valid ? &m_header : nullptr;
}

const CRawDataHeader* CRawDataFile::GetRawHeader() const
{
    return m_valid ? &m_header : nullptr;
}

bool CRawDataFile::OnOpen(CEegFileException& err)
{
    m_valid = false;
    uint8_t h[kErdHeaderSize];
    const bool read = GetLength() >= static_cast<int64_t>(kErdHeaderSize) && ReadExact(h, sizeof h);
    int32_t code = 0;
    std::wstring why;
    if (!CheckFileHeader(read ? h : nullptr, sizeof h, kErdHeader, code, why)) {
        err.Set(code, Describe(why));
        return false;
    }
    CRawDataHeader hd;
    hd.m_version = GetU16(h + 4);
    hd.m_headerSize = GetU16(h + 6);
    hd.m_type = GetI32(h + 8);
    hd.m_schema = GetU16(h + 12);
    hd.m_frameWord = GetU16(h + 14);
    hd.m_sampleFreq = GetF64(h + 16);
    hd.m_channelCount = GetI32(h + 24);
    hd.m_decimation = GetI32(h + 28);
    hd.m_firstStamp = GetI64(h + 32);
    if (hd.m_schema != kSchemaPlain && hd.m_schema != kSchemaDeltaVarint && hd.m_schema != kSchemaChannelBlocks) {
        err.Set(kErrInvalidData, Describe(L"unknown storage schema " + std::to_wstring(hd.m_schema)));
        return false;
    }
    if (hd.m_channelCount < 1 || hd.m_channelCount > kMaxChannels) {
        err.Set(kErrInvalidData, Describe(L"channel count " + std::to_wstring(hd.m_channelCount) + L" out of range"));
        return false;
    }
    if (!(std::isfinite(hd.m_sampleFreq) && hd.m_sampleFreq > 0.0 && hd.m_sampleFreq <= 1.0e6)) {
        err.Set(kErrInvalidData, Describe(L"sampling frequency out of range"));
        return false;
    }
    if (hd.m_decimation < 1 || hd.m_decimation > 65535 || hd.m_firstStamp < -1) {
        err.Set(kErrInvalidData, Describe(L"decimation or first stamp out of range"));
        return false;
    }
    m_header = hd;
    m_valid = true;
    return true;
}

void CRawDataFile::OnClose()
{
    m_valid = false;
}

#include "platform/recording/StcWriter.h"

#include "platform/TextConv.h"
#include "platform/recording/StudyFormat.h"

namespace sk::rec {

bool StcWriter::Save(const std::wstring& path, int decimation, const std::vector<CStcFile::Segment>& segments,
                     std::wstring* error)
{
    auto fail = [&](const std::wstring& why) {
        if (error) *error = path + L": " + why;
        return false;
    };
    if (decimation < 1 || decimation > 65535) return fail(L"decimation out of range");
    std::vector<uint8_t> out(kStcHeaderSize + kStcRecordSize * segments.size(), 0);
    int64_t total = 0;
    for (size_t i = 0; i < segments.size(); ++i) {
        const auto& s = segments[i];
        std::string name;
        AppendUtf16LELossy(s.name, name);
        if (s.name.empty() || name.size() / 2 >= kStcNameUnits) return fail(L"segment name empty or too long");
        if (s.name.find_first_of(L"/\\:") != std::wstring::npos) return fail(L"segment name is not a plain file name");
        uint8_t* r = out.data() + kStcHeaderSize + i * kStcRecordSize;
        std::memcpy(r, name.data(), name.size());
        PutI64(r + 512, s.firstStamp);
        PutI64(r + 520, s.lastStamp);
        PutI64(r + 528, s.sampleCount);
        PutU32(r + 540, Crc32(r, 540));
        total += s.sampleCount;
    }
    uint8_t* h = out.data();
    std::memcpy(h, kStcMagic, 4);
    PutU16(h + 4, kFormatVersion);
    PutU16(h + 6, kStcHeaderSize);
    PutU32(h + 8, static_cast<uint32_t>(segments.size()));
    PutU16(h + 12, static_cast<uint16_t>(decimation));
    PutI64(h + 16, segments.empty() ? -1 : segments.front().firstStamp);
    PutI64(h + 24, segments.empty() ? -1 : segments.back().lastStamp);
    PutI64(h + 32, total);
    PutU32(h + 44, Crc32(h, 44));
    return AtomicWriteFile(path, out.data(), out.size(), error);
}

} // namespace sk::rec

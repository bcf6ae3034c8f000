#include "platform/recording/StagingWriter.h"

#include "platform/TextConv.h"
#include "platform/recording/StudyFormat.h"

namespace sk::rec {

bool StagingWriter::Serialize(const StagingData& d, std::string& out, std::wstring* error)
{
    std::string label;
    AppendUtf16LELossy(d.label, label);
    if (label.size() / 2 >= kEpoLabelUnits || d.epochSeconds < 1 || d.epochSeconds > 86400 || d.firstEpochStamp < 0 ||
        d.codes.size() > (1u << 20)) {
        if (error) *error = L"staging label, epoch length, first stamp or epoch count out of range";
        return false;
    }
    out.assign(kEpoHeaderSize + d.codes.size() + 4, '\0');
    uint8_t* h = reinterpret_cast<uint8_t*>(out.data());
    std::memcpy(h, kEpoMagic, 4);
    PutU16(h + 4, kFormatVersion);
    PutU16(h + 6, kEpoHeaderSize);
    PutU32(h + 8, d.present ? 1u : 0u);
    PutI32(h + 12, d.epochSeconds);
    PutU32(h + 16, static_cast<uint32_t>(d.codes.size()));
    PutI64(h + 24, d.firstEpochStamp);
    PutI32(h + 32, d.stagingType);
    PutU16(h + 36, static_cast<uint16_t>(label.size() / 2));
    std::memcpy(h + 40, label.data(), label.size());
    PutU32(h + 172, Crc32(h, 172));
    uint8_t* codes = h + kEpoHeaderSize;
    if (!d.codes.empty()) std::memcpy(codes, d.codes.data(), d.codes.size());
    PutU32(codes + d.codes.size(), Crc32(codes, d.codes.size()));
    return true;
}

bool StagingWriter::Save(const std::wstring& path, const StagingData& data, std::wstring* error)
{
    std::string out;
    if (!Serialize(data, out, error)) {
        if (error) *error = path + L": " + *error;
        return false;
    }
    return AtomicWriteFile(path, out.data(), out.size(), error);
}

} // namespace sk::rec

#include "platform/recording/NoteWriter.h"

#include "platform/TextConv.h"
#include "platform/recording/StudyFormat.h"

namespace sk::rec {

bool NoteWriter::Serialize(const std::vector<CNote>& notes, std::string& out, std::wstring* error)
{
    out.assign(kEntHeaderSize, '\0');
    for (size_t i = 0; i < notes.size(); ++i) {
        const CNote& n = notes[i];
        std::string text, label;
        AppendUtf16LELossy(n.GetText(), text);
        AppendUtf16LELossy(n.GetLabel(), label);
        std::vector<uint8_t> data;
        if (const CKeyTree* d = n.GetData()) {
            data.resize(d->GetBinarizeSize());
            if (data.empty() || d->Binarize(data.data(), data.size()) != data.size()) {
                if (error) *error = L"note " + std::to_wstring(i) + L": data cannot be serialized";
                return false;
            }
        }
        if (text.size() / 2 > kMaxNoteTextUnits || label.size() / 2 > kMaxNoteTextUnits ||
            data.size() > kMaxNoteDataBytes) {
            if (error) *error = L"note " + std::to_wstring(i) + L": text or data beyond the format limits";
            return false;
        }
        const uint32_t len = static_cast<uint32_t>(28 + text.size() + label.size() + data.size() + 4);
        std::string rec(4 + len, '\0');
        uint8_t* p = reinterpret_cast<uint8_t*>(rec.data());
        PutU32(p, len);
        uint8_t* r = p + 4;
        PutI64(r, n.GetStartStamp());
        PutI64(r + 8, n.GetEndStamp());
        PutU32(r + 16, n.GetFlags());
        PutU16(r + 20, static_cast<uint16_t>(text.size() / 2));
        PutU16(r + 22, static_cast<uint16_t>(label.size() / 2));
        PutU32(r + 24, static_cast<uint32_t>(data.size()));
        uint8_t* q = r + 28;
        std::memcpy(q, text.data(), text.size());
        q += text.size();
        std::memcpy(q, label.data(), label.size());
        q += label.size();
        if (!data.empty()) std::memcpy(q, data.data(), data.size());
        PutU32(r + len - 4, Crc32(r, len - 4));
        out += rec;
    }
    uint8_t* h = reinterpret_cast<uint8_t*>(out.data());
    std::memcpy(h, kEntMagic, 4);
    PutU16(h + 4, kFormatVersion);
    PutU16(h + 6, kEntHeaderSize);
    PutU32(h + 8, static_cast<uint32_t>(notes.size()));
    PutU32(h + 12, Crc32(h, 12));
    return true;
}

bool NoteWriter::Save(const std::wstring& path, const std::vector<CNote>& notes, std::wstring* error)
{
    std::string out;
    if (!Serialize(notes, out, error)) {
        if (error) *error = path + L": " + *error;
        return false;
    }
    return AtomicWriteFile(path, out.data(), out.size(), error);
}

} // namespace sk::rec

// Fuzzes the key-tree readers: the binary image (raw, and wrapped in a file
// header with a correct checksum so that mutations reach the item parser),
// CItem::FromBinary, the text form, and BinLoad through a scratch file.
// Whatever parses must write back to an image and a text that read back equal.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "FuzzFile.h"
#include "platform/Crc32.h"
#include "platform/KeyTree.h"

namespace {

std::vector<uint8_t> Wrap(const uint8_t* body, size_t n) {
    std::vector<uint8_t> b = {0x89, 'S', 'K', 'T', 'R', 0x0D, 0x0A, 0x1A, 1, 0, 0, 0};
    const uint32_t crc = sk::Crc32(body, n);
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(crc >> (8 * i)));
    for (int i = 0; i < 8; ++i) b.push_back(uint8_t(uint64_t(n) >> (8 * i)));
    b.insert(b.end(), body, body + n);
    return b;
}

void CheckRoundTrip(const CItem& item) {
    std::vector<uint8_t> img(item.GetBinarizeSize());
    if (img.empty()) return; // e.g. text form with lone surrogates cannot be written
    if (item.Binarize(img.data(), img.size()) != img.size()) std::abort();
    const std::unique_ptr<CItem> back = CItem::FromBinary(img.data(), img.size()), text(item.Duplicate());
    if (!back || !back->IsEqual(item) || !text->FromString(item.ToString()) || !text->IsEqual(item)) std::abort();
    if (const CKeyTree* tree = AsKeyTree(&item))
        for (int indent : {0, 1}) (void)tree->ToIndentString(0, indent);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0] % 5;
    ++data;
    --size;
    CKeyTree t;
    const std::vector<uint8_t> img = Wrap(data, size);
    switch (mode) {
    case 0:
        if (t.Unbinarize(data, size)) CheckRoundTrip(t);
        break;
    case 1:
        if (t.Unbinarize(img.data(), img.size())) CheckRoundTrip(t);
        break;
    case 2:
        if (const auto item = CItem::FromBinary(data, size)) CheckRoundTrip(*item);
        break;
    case 3: {
        // Bytes in pairs as UTF-16-ish units, so that non-ASCII reaches the text parser.
        std::wstring text;
        for (size_t i = 0; i + 1 < size; i += 2) text.push_back(wchar_t(data[i] | data[i + 1] << 8));
        if (t.FromString(text)) CheckRoundTrip(t);
        break;
    }
    case 4: {
        const std::wstring path = sk::fuzz::ScratchFile(".skt", img.data(), img.size());
        if (t.BinLoad(path)) {
            if (AsCStr(t.GetAt(L"FileName"), L"") != path) std::abort();
            CheckRoundTrip(t);
        }
        break;
    }
    }
    return 0;
}

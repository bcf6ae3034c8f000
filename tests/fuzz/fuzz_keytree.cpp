// Fuzzes the key-tree readers: the binary image (raw, and wrapped in a file
// header with a correct checksum so that mutations reach the item parser),
// the text form, and BinLoad through a temporary file. Whatever parses must
// write back to an image and a text that read back to an equal tree.

#include <cstdint>
#include <cstdlib>
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

void CheckRoundTrip(const CKeyTree& t) {
    std::vector<uint8_t> img(t.GetBinarizeSize());
    if (img.empty()) return; // e.g. text form with lone surrogates cannot be written
    if (t.Binarize(img.data(), img.size()) != img.size()) std::abort();
    CKeyTree back;
    if (!back.Unbinarize(img.data(), img.size()) || !back.IsEqual(t)) std::abort();
    CKeyTree text;
    if (!text.FromString(t.ToString()) || !text.IsEqual(t)) std::abort();
    (void)t.ToIndentString(0, 1);
    (void)t.ToIndentString(0, 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0] % 5;
    ++data;
    --size;
    CKeyTree t;
    switch (mode) {
    case 0:
        if (t.Unbinarize(data, size)) CheckRoundTrip(t);
        break;
    case 1: {
        const auto img = Wrap(data, size);
        if (t.Unbinarize(img.data(), img.size())) CheckRoundTrip(t);
        break;
    }
    case 2: {
        auto item = CItem::FromBinary(data, size);
        if (item) {
            std::vector<uint8_t> img(item->GetBinarizeSize());
            if (!img.empty() && item->Binarize(img.data(), img.size()) == img.size()) {
                auto back = CItem::FromBinary(img.data(), img.size());
                if (!back || !back->IsEqual(*item)) std::abort();
            }
        }
        break;
    }
    case 3: {
        // Bytes in pairs as UTF-16-ish units, so that non-ASCII reaches the text parser.
        std::wstring text;
        for (size_t i = 0; i + 1 < size; i += 2) text.push_back(wchar_t(data[i] | data[i + 1] << 8));
        if (t.FromString(text)) CheckRoundTrip(t);
        break;
    }
    case 4: {
        const auto img = Wrap(data, size);
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

// Table of contents: validation and every lookup on arbitrary bytes.
#include "FuzzFile.h"
#include "platform/recording/TocFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring path = sk::fuzz::ScratchFile(".ETC", data, size);
    CTocFile toc;
    CEegFileException ex;
    if (!toc.Open(path, CEegFile::modeRead | CEegFile::shareDenyNone, &ex)) return 0;
    const int64_t probes[] = {-1, 0, toc.GetStartStamp(), toc.GetEndStamp(), toc.GetEndStamp() + 1,
                              kTocEndSentinel, INT64_MIN, INT64_MAX,
                              size >= 8 ? static_cast<int64_t>(sk::rec::GetU64(data + size - 8)) : 7};
    for (int64_t s : probes) {
        TOC_ENTRY e = toc.FindTocEntry(s);
        e = toc.FindTocEntryUpperBound(s);
        int n = 0;
        while (toc.NextTocEntry(&e) && n++ <= toc.GetEntryCount()) {
        }
    }
    (void)toc.GetRecordingSampleNum();
    return 0;
}

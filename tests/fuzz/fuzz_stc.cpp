// Segment table: validation and the segment walk on arbitrary bytes.
#include "FuzzFile.h"
#include "platform/recording/StcFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring path = sk::fuzz::ScratchFile(".STC", data, size);
    CStcFile stc;
    CEegFileException ex;
    if (!stc.Open(path, CEegFile::modeRead | CEegFile::shareDenyNone, &ex)) return 0;
    size_t n = 0;
    for (STC_ENTRY e = stc.FindStcEntry(-1); e.m_number >= 0; stc.NextStcEntry(&e)) {
        if (++n > stc.GetSegments().size()) __builtin_trap(); // the walk must end
    }
    (void)stc.FindStcEntry(stc.GetEndStamp());
    (void)stc.FindStcEntry(INT64_MAX);
    return 0;
}

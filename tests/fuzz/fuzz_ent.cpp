// Notes file: record parsing, note data key trees and the note walk.
#include "platform/recording/StudyFormat.h"
#include "platform/recording/NoteManager.h"

// Checksums would stop almost every mutation at the first check.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    sk::rec::SetChecksumsEnforced(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CNoteManager notes;
    CEegFileException ex;
    if (!notes.LoadFromMemory(data, size, &ex)) return 0;
    for (CNoteMapIterator it(notes, -2147483648LL, 0x7FFFFFFFFFFFLL); !it.IsEOF(); it.MoveNext()) {
        const CNote* n = it.GetCurrent();
        (void)AsCStr(n->GetKeyTree()->GetAt(L"Data.Type"), L"");
        (void)IntOf(n->GetKeyTree()->GetAt(L"Data.NeverDisplayed"), 0);
        (void)n->IsSkipped();
    }
    return 0;
}

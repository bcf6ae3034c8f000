// Notes file: record parsing, note data key trees and the note walk.
#include "FuzzFile.h"
#include "platform/recording/NoteManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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

#pragma once
// The library's module object and its string table.
//
// The string table holds ids 100 to 109 in seven languages. Ids 101 to 104
// are reserved and have no text; every id outside the table reads as an empty
// string. String 108 ("On/Off") becomes the physical dimension of the event
// channels in EDF headers, whose fields are US-ASCII of at most 8 characters,
// so every language keeps it within that.

#include <string>

#include "module/Language.h"
#include "platform/SkrivoExport.h"

// One global instance (theApp), constructed when the library is loaded. It
// holds no state; the string table is static data.
class SKRIVO_API CSkrivoApp {
public:
    CSkrivoApp();
    virtual ~CSkrivoApp();
    CSkrivoApp(const CSkrivoApp&) = delete;
    CSkrivoApp& operator=(const CSkrivoApp&) = delete;

    // Start-up hook of the module; always succeeds.
    virtual bool InitInstance();
};

extern SKRIVO_API CSkrivoApp theApp;

namespace sk {

// String ids of the table.
enum StringId : int {
    IDS_SKRIVO = 100,
    IDS_NAME_LABEL = 105,
    IDS_NAME_REQUIRED = 106,
    IDS_EDITOR_TITLE = 107,
    IDS_ON_OFF = 108,
    IDS_SAVE = 109,
};

// Text of id in the current language; empty for ids without text.
SKRIVO_API std::wstring LoadString(int id);
// Text of id in the given language; empty for ids without text.
SKRIVO_API std::wstring LoadString(int id, Language lang);

// Overrides the locale's language for this process (tests, the editor's
// language choice). Safe to call from any thread.
SKRIVO_API void SetLanguage(Language lang);
// Drops the override: the language follows the locale again.
SKRIVO_API void UseLocaleLanguage();
// The language LoadString(id) uses now: the override, else the locale's.
SKRIVO_API Language CurrentLanguage();

} // namespace sk

#include "module/SkrivoApp.h"

#include <atomic>

CSkrivoApp theApp;

CSkrivoApp::CSkrivoApp() = default;
CSkrivoApp::~CSkrivoApp() = default;

bool CSkrivoApp::InitInstance() { return true; }

namespace sk {

namespace {

struct Entry {
    int id;
    // In the order of Language.
    const wchar_t* text[kLanguageCount];
};

// Ids 101 to 104 are reserved without text. 108 stays US-ASCII of at most 8
// characters in every language because it is written into EDF headers as a
// physical dimension; the languages whose words for it are not ASCII keep the
// English form.
constexpr Entry kTable[] = {
    {IDS_SKRIVO, {L"Skrivo", L"Skrivo", L"Skrivo", L"Skrivo", L"Skrivo", L"Skrivo", L"Skrivo"}},
    {IDS_NAME_LABEL, {L"Name:", L"Name:", L"Nom\u00A0:", L"名前:", L"Имя:", L"名称:", L"Nombre:"}},
    {IDS_NAME_REQUIRED,
     {L"You must specify a name for the template.", L"Sie müssen einen Namen für die Vorlage angeben.",
      L"Vous devez indiquer un nom pour le modèle.", L"テンプレートの名前を指定してください。",
      L"Необходимо указать имя шаблона.", L"必须为模板指定名称。", L"Debe especificar un nombre para la plantilla."}},
    {IDS_EDITOR_TITLE,
     {L"EDF Template Editor", L"EDF-Vorlageneditor", L"Éditeur de modèles EDF", L"EDF テンプレート エディター",
      L"Редактор шаблонов EDF", L"EDF 模板编辑器", L"Editor de plantillas EDF"}},
    {IDS_ON_OFF, {L"On/Off", L"Ein/Aus", L"On/Off", L"On/Off", L"On/Off", L"On/Off", L"On/Off"}},
    {IDS_SAVE, {L"Save", L"Speichern", L"Enregistrer", L"保存", L"Сохранить", L"保存", L"Guardar"}},
};

// -1: no override, the locale decides.
std::atomic<int> g_override{-1};

} // namespace

std::wstring LoadString(int id, Language lang) {
    const int index = static_cast<int>(lang);
    if (index < 0 || index >= kLanguageCount) return std::wstring();
    for (const Entry& e : kTable)
        if (e.id == id) return e.text[index];
    return std::wstring();
}

std::wstring LoadString(int id) { return LoadString(id, CurrentLanguage()); }

void SetLanguage(Language lang) { g_override.store(static_cast<int>(lang), std::memory_order_relaxed); }

void UseLocaleLanguage() { g_override.store(-1, std::memory_order_relaxed); }

Language CurrentLanguage() {
    const int forced = g_override.load(std::memory_order_relaxed);
    return forced >= 0 ? static_cast<Language>(forced) : LanguageFromEnvironment();
}

} // namespace sk

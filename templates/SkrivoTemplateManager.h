#pragma once
// The store of export templates. Reads the ".exp" files of one folder per
// modality ("EEG", "Sleep"), hands out stored templates and working
// instances, writes templates back (atomically), deletes template files,
// opens the editor, and remembers per headbox type and modality the template
// used last (registry, REG_BINARY values "Headbox01".."Headbox27" under
// "Software\Corvane\Ostra\EDF\Export\EEG" and "...\Sleep").
//
// The manager owns every template it ever made; each pointer it hands out
// stays valid until the manager is destroyed. It has no lock: it is used from
// the host's thread only. Its montage librarian starts loading at once.
//
// Result codes (sk::HResult): 0 success; 0x8007010B not a directory / no folder known;
// 0x80070050 file exists and overwriting was not allowed; 0x80070052 writing
// failed; 0x80070002 no file to delete; 0x8007xxxx a failed deletion.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/HResult.h"
#include "platform/KeyTree.h"
#include "platform/SkrivoExport.h"
#include "templates/MontageLibrarian.h"
#include "templates/SkrivoTemplate.h"

class CWnd; // host window handle type; opaque to the core

class SKRIVO_API CSkrivoTemplateManager {
public:
    static constexpr sk::HResult kOk = sk::S_OK;
    static constexpr sk::HResult kNotADirectory = sk::E_DIRECTORY;    // 0x8007010B
    static constexpr sk::HResult kFileExists = sk::E_FILE_EXISTS;     // 0x80070050
    static constexpr sk::HResult kWriteFailed = sk::E_CANNOT_MAKE;    // 0x80070052
    static constexpr sk::HResult kFileNotFound = sk::E_FILE_NOT_FOUND; // 0x80070002

    CSkrivoTemplateManager();
    ~CSkrivoTemplateManager();
    CSkrivoTemplateManager(const CSkrivoTemplateManager&) = delete;
    CSkrivoTemplateManager& operator=(const CSkrivoTemplateManager&) = delete;

    // Adds the templates of every "*.exp" file of the folder to the Sleep list
    // when modality is exactly "Sleep", else to the EEG list, and makes the
    // folder the one Save writes that modality to.
    sk::HResult Load(const std::wstring& modality, const std::wstring& folder);
    // Writes a copy of the template as "<sanitised name>.exp" into the folder
    // of its modality; the copy joins the list (displacing a stored template
    // of the same name when overwriting).
    sk::HResult Save(CSkrivoTemplate* tmpl, bool overwrite);
    // Deletes the template's file; the template itself stays valid.
    sk::HResult Delete(CSkrivoTemplate* tmpl);
    // 0 when the editor was closed with OK, 1 otherwise (also when no editor
    // is registered, see ITemplateEditorHost).
    int Edit(CSkrivoTemplate* tmpl, const CKeyTree* study, CWnd* parent);

    unsigned GetCount(const std::wstring& modality) const;
    CSkrivoTemplate* GetItem(const std::wstring& modality, int index) const;
    CSkrivoTemplate* GetItem(const std::wstring& modality, const std::wstring& name) const;
    // Stored template read from that file (letter case ignored); null when
    // the file does not exist.
    CSkrivoTemplate* GetItem(const std::wstring& path) const;

    CSkrivoTemplate* Create(const std::wstring& modality, const std::wstring& name);
    CSkrivoTemplate* CreateDefault();
    // Defaults for a study group (1 = EEG, else Sleep) and headbox type, with
    // the headbox's default channel list.
    CSkrivoTemplate* CreateDefault(int studyGroup, int headboxType);
    CSkrivoTemplate* Clone(const CSkrivoTemplate* tmpl);
    // True when b came from a file and a came from the same file.
    bool IsCloneOf(const CSkrivoTemplate* a, const CSkrivoTemplate* b) const;

    // Template last used for a headbox type (1..27) and study group, or null.
    CSkrivoTemplate* GetLastUsed(int headboxType, int studyGroup);
    void SetLastUsed(int headboxType, int studyGroup, const CSkrivoTemplate* tmpl);

    // Folder that Load fixed for the modality (empty before).
    const std::wstring& GetFolder(const std::wstring& modality) const;
    CMontageLibrarian& GetMontageLibrarian() { return m_librarian; }

private:
    std::vector<CSkrivoTemplate*>& ListFor(const std::wstring& modality);
    const std::vector<CSkrivoTemplate*>& ListFor(const std::wstring& modality) const;
    CSkrivoTemplate* NewTemplate();

    std::vector<CSkrivoTemplate*> m_eegTemplates;
    std::vector<CSkrivoTemplate*> m_sleepTemplates;
    std::vector<CSkrivoTemplate*> m_createdTemplates;
    std::vector<CSkrivoTemplate*> m_lastUsed; // not owned
    std::wstring m_sleepFolder;
    std::wstring m_eegFolder;
    CMontageLibrarian m_librarian;
};

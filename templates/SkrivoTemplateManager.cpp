#include "templates/SkrivoTemplateManager.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include <unistd.h>

#include "module/RegSetup.h"
#include "platform/Log.h"
#include "platform/Path.h"
#include "platform/Registry.h"
#include "templates/ITemplateEditorHost.h"
#include "templates/TextFold.h"

namespace {

constexpr int kFirstHeadboxType = 1;
constexpr int kLastHeadboxType = 27;

const std::wstring kSleep = L"Sleep";

std::wstring LastUsedKey(int studyGroup)
{
    return studyGroup == 1 ? L"Software\\Corvane\\Ostra\\EDF\\Export\\EEG"
                           : L"Software\\Corvane\\Ostra\\EDF\\Export\\Sleep";
}

std::wstring LastUsedValueName(int headboxType)
{
    wchar_t name[32];
    std::swprintf(name, 32, L"Headbox%02d", headboxType);
    return name;
}

std::wstring ModalityOfGroup(int studyGroup)
{
    return studyGroup == 1 ? L"EEG" : kSleep;
}

std::wstring FileNameOf(const CSkrivoTemplate* t)
{
    return AsCStr(t->GetAt(CSkrivoTemplate::kFileName), L"");
}

// Characters that no file name may hold on the systems templates travel
// between; control characters are refused by them as well.
std::wstring SanitiseFileName(const std::wstring& name)
{
    std::wstring out = name;
    for (wchar_t& c : out) {
        if (c < 0x20 || std::wstring_view(L"<>:\"/\\|?*").find(c) != std::wstring_view::npos)
            c = L'_';
    }
    return out;
}

// The extension of a file name in the shell's sense: from its last dot, as
// long as no blank follows that dot ("Run.2" has ".2", "Run.2 b" has none).
std::wstring WithExpExtension(const std::wstring& path)
{
    const size_t nameStart = path.find_last_of(L"/\\") == std::wstring::npos ? 0 : path.find_last_of(L"/\\") + 1;
    size_t dot = std::wstring::npos;
    for (size_t i = nameStart; i < path.size(); ++i) {
        if (path[i] == L'.')
            dot = i;
        else if (path[i] == L' ')
            dot = std::wstring::npos;
    }
    return (dot == std::wstring::npos ? path : path.substr(0, dot)) + L".exp";
}

// Template folders are shared with systems whose file names ignore letter
// case; a path counts as existing when each of its steps names an entry in
// some letter case.
std::wstring ResolveIgnoringCase(const std::wstring& path, int depth = 0)
{
    if (sk::path::Exists(path))
        return path;
    const std::wstring parent = sk::path::FolderPart(path);
    const std::wstring name = sk::path::FileNamePart(path);
    if (depth > 64 || parent.empty() || parent == path || name.empty())
        return std::wstring();
    const std::wstring realParent = ResolveIgnoringCase(parent, depth + 1);
    if (realParent.empty())
        return std::wstring();
    return sk::path::FindIgnoringCase(realParent, name);
}

// Templates can only be deleted by the manager, so the deleter is made inside
// its members.
using OwnedTemplate = std::unique_ptr<CSkrivoTemplate, void (*)(CSkrivoTemplate*)>;

} // namespace

CSkrivoTemplateManager::CSkrivoTemplateManager() = default;

CSkrivoTemplateManager::~CSkrivoTemplateManager()
{
    // Stop the montage loader first so that the librarian, destroyed after
    // this body, has the least to wait for.
    m_librarian.RequestStop();
    m_lastUsed.clear(); // not owned: every entry sits in one of the lists below
    for (auto* list : {&m_sleepTemplates, &m_eegTemplates, &m_createdTemplates}) {
        for (CSkrivoTemplate* t : *list)
            delete t;
        list->clear();
    }
}

CSkrivoTemplate* CSkrivoTemplateManager::NewTemplate()
{
    return new CSkrivoTemplate;
}

std::vector<CSkrivoTemplate*>& CSkrivoTemplateManager::ListFor(const std::wstring& modality)
{
    return modality == kSleep ? m_sleepTemplates : m_eegTemplates;
}

const std::vector<CSkrivoTemplate*>& CSkrivoTemplateManager::ListFor(const std::wstring& modality) const
{
    return modality == kSleep ? m_sleepTemplates : m_eegTemplates;
}

const std::wstring& CSkrivoTemplateManager::GetFolder(const std::wstring& modality) const
{
    return modality == kSleep ? m_sleepFolder : m_eegFolder;
}

sk::HResult CSkrivoTemplateManager::Load(const std::wstring& modality, const std::wstring& folder)
{
    if (folder.empty() || !sk::path::IsDirectory(folder))
        return kNotADirectory;

    std::vector<CSkrivoTemplate*>& list = ListFor(modality);
    for (const std::wstring& file : sk::path::FindFiles(folder, L"*.exp")) {
        CKeyTree tree;
        if (!tree.BinLoad(file)) {
            SKLOG(8, L"CSkrivoTemplateManager::Load - unable to load export template at %s", file.c_str());
            continue;
        }
        OwnedTemplate t(NewTemplate(), [](CSkrivoTemplate* p) { delete p; });
        t->Load(tree);
        // The folder decides the modality, whatever the file says.
        t->SetModality(modality);
        t->SetIsTemplate();
        list.push_back(nullptr);
        list.back() = t.release();
    }
    (modality == kSleep ? m_sleepFolder : m_eegFolder) = folder;
    return kOk;
}

sk::HResult CSkrivoTemplateManager::Save(CSkrivoTemplate* tmpl, bool overwrite)
{
    if (!tmpl)
        return sk::E_INVALIDARG;
    const std::wstring fileName = SanitiseFileName(tmpl->GetName());
    const std::wstring modality = tmpl->GetModality();
    const std::wstring& folder = GetFolder(modality);
    if (folder.empty())
        return kNotADirectory;

    // Template names ignore letter case, so "t1" saved beside "T1.exp" is
    // that template: it replaces the file under the name it already has.
    std::wstring path = WithExpExtension(sk::path::Combine(folder, fileName));
    const std::wstring existing = ResolveIgnoringCase(path);
    const bool existed = !existing.empty();
    if (existed)
        path = existing;
    if (existed && !overwrite)
        return kFileExists;

    tmpl->SetModality(modality);

    OwnedTemplate copy(NewTemplate(), [](CSkrivoTemplate* p) { delete p; });
    copy->Load(*tmpl);
    copy->SetIsTemplate();
    // BinSave writes aside and renames over the target, so a failed write
    // leaves the earlier file whole.
    if (!copy->BinSave(path, 0)) {
        m_createdTemplates.push_back(nullptr);
        m_createdTemplates.back() = copy.release();
        return kWriteFailed;
    }
    // The stored copy is what loading the folder would give: it knows its
    // file, so it can be found by path, deleted and recognised in clones.
    copy->SetAt(CSkrivoTemplate::kFileName, path);

    std::vector<CSkrivoTemplate*>& list = ListFor(modality);
    if (existed) {
        // The template of the file just replaced: saved to it, or loaded
        // under the same name in any letter case.
        const std::wstring name = tmpl->GetName();
        auto it = std::find_if(list.begin(), list.end(), [&](const CSkrivoTemplate* t) {
            return FileNameOf(t) == path || sk::EqualsNoCase(t->GetName(), name);
        });
        if (it != list.end()) {
            // Displaced, not deleted: the host may still hold its pointer.
            m_createdTemplates.push_back(*it);
            list.erase(it);
        }
    }
    list.push_back(nullptr);
    list.back() = copy.release();
    return kOk;
}

sk::HResult CSkrivoTemplateManager::Delete(CSkrivoTemplate* tmpl)
{
    if (!tmpl)
        return kFileNotFound;
    const std::wstring path = FileNameOf(tmpl);
    if (path.empty() || !sk::path::Exists(path))
        return kFileNotFound;
    // unlink, not remove: a folder that happens to carry the name is not a
    // template file and must not be deleted.
    if (::unlink(sk::path::ToNative(path).c_str()) != 0)
        return sk::HResultFromErrno(errno);
    return kOk;
}

int CSkrivoTemplateManager::Edit(CSkrivoTemplate* tmpl, const CKeyTree* study, CWnd* parent)
{
    ITemplateEditorHost* host = ITemplateEditorHost::Current();
    if (!host || !tmpl)
        return 1;
    return host->EditTemplate(tmpl, study, *this, m_librarian, parent) == 0 ? 0 : 1;
}

unsigned CSkrivoTemplateManager::GetCount(const std::wstring& modality) const
{
    return static_cast<unsigned>(ListFor(modality).size());
}

CSkrivoTemplate* CSkrivoTemplateManager::GetItem(const std::wstring& modality, int index) const
{
    const std::vector<CSkrivoTemplate*>& list = ListFor(modality);
    if (index < 0 || static_cast<size_t>(index) >= list.size())
        return nullptr;
    return list[static_cast<size_t>(index)];
}

CSkrivoTemplate* CSkrivoTemplateManager::GetItem(const std::wstring& modality, const std::wstring& name) const
{
    for (CSkrivoTemplate* t : ListFor(modality)) {
        if (t->GetName() == name)
            return t;
    }
    return nullptr;
}

CSkrivoTemplate* CSkrivoTemplateManager::GetItem(const std::wstring& path) const
{
    if (path.empty() || ResolveIgnoringCase(path).empty())
        return nullptr;
    for (const auto* list : {&m_eegTemplates, &m_sleepTemplates}) {
        for (CSkrivoTemplate* t : *list) {
            if (sk::EqualsNoCase(FileNameOf(t), path))
                return t;
        }
    }
    return nullptr;
}

CSkrivoTemplate* CSkrivoTemplateManager::Create(const std::wstring& modality, const std::wstring& name)
{
    CSkrivoTemplate* t = CreateDefault();
    t->SetName(name);
    t->SetModality(modality);
    return t;
}

CSkrivoTemplate* CSkrivoTemplateManager::CreateDefault()
{
    m_createdTemplates.push_back(nullptr);
    m_createdTemplates.back() = NewTemplate();
    return m_createdTemplates.back();
}

CSkrivoTemplate* CSkrivoTemplateManager::CreateDefault(int studyGroup, int headboxType)
{
    CSkrivoTemplate* t = CreateDefault();
    t->SetHeadboxType(headboxType);
    t->SetModality(ModalityOfGroup(studyGroup));
    t->SetChannelDefinition(CSkrivoTemplate::ChannelsRawData, nullptr);
    return t;
}

CSkrivoTemplate* CSkrivoTemplateManager::Clone(const CSkrivoTemplate* tmpl)
{
    CSkrivoTemplate* t = CreateDefault();
    if (tmpl)
        t->Load(*tmpl);
    t->m_isTemplate = false;
    return t;
}

bool CSkrivoTemplateManager::IsCloneOf(const CSkrivoTemplate* a, const CSkrivoTemplate* b) const
{
    if (!a || !b)
        return false;
    const std::wstring source = FileNameOf(b);
    return !source.empty() && sk::EqualsNoCase(FileNameOf(a), source);
}

CSkrivoTemplate* CSkrivoTemplateManager::GetLastUsed(int headboxType, int studyGroup)
{
    const std::wstring modality = ModalityOfGroup(studyGroup);
    for (CSkrivoTemplate* t : m_lastUsed) {
        if (t->GetModality() == modality && t->GetHeadboxType() == headboxType)
            return t;
    }
    if (headboxType < kFirstHeadboxType || headboxType > kLastHeadboxType) {
        SKLOG(8, L"CSkrivoTemplateManager::GetLastUsed - unknown headbox type: %d", headboxType);
        return nullptr;
    }

    std::unique_ptr<sk::RegistryKey> key;
    if (sk::RegistryKey::Open(sk::HKEY_LOCAL_MACHINE, LastUsedKey(studyGroup), sk::KEY_READ, &key) != 0 || !key)
        return nullptr;
    const std::wstring valueName = LastUsedValueName(headboxType);
    uint32_t type = sk::REG_NONE;
    uint32_t size = 0;
    if (key->QueryValue(valueName, &type, nullptr, &size) != 0 || type != sk::REG_BINARY || size == 0 ||
        size > sk::kRegMaxValueBytes)
        return nullptr;
    std::vector<uint8_t> bytes(size);
    if (key->QueryValue(valueName, &type, bytes.data(), &size) != 0 || type != sk::REG_BINARY)
        return nullptr;

    CKeyTree tree;
    if (!tree.Unbinarize(bytes.data(), size))
        return nullptr;

    CSkrivoTemplate* t = nullptr;
    const std::wstring path = AsCStr(tree.GetAt(CSkrivoTemplate::kFileName), L"");
    if (!path.empty())
        t = GetItem(path); // null unless the file still exists and is loaded
    if (!t) {
        t = CreateDefault();
        t->Load(tree);
    }
    if (t->GetHeadboxType() != headboxType || t->GetModality() != modality)
        return nullptr;
    t->SetIsTemplate();
    m_lastUsed.push_back(t);
    return t;
}

void CSkrivoTemplateManager::SetLastUsed(int headboxType, int studyGroup, const CSkrivoTemplate* tmpl)
{
    if (headboxType < kFirstHeadboxType || headboxType > kLastHeadboxType) {
        SKLOG(8, L"CSkrivoTemplateManager::SetLastUsed - unknown headbox type: %d", headboxType);
        return;
    }
    if (!tmpl)
        return;
    RegSetup reg(sk::HKEY_LOCAL_MACHINE, LastUsedKey(studyGroup), false);
    if (!reg.IsWritable())
        return;
    const size_t size = tmpl->GetBinarizeSize();
    if (size == 0 || size > sk::kRegMaxValueBytes)
        return; // a tree that cannot be written, or too big for a value
    std::vector<uint8_t> bytes(size);
    if (tmpl->Binarize(bytes.data(), bytes.size()) != size)
        return;
    reg.WriteBinary(LastUsedValueName(headboxType), bytes.data(), static_cast<uint32_t>(size));
}

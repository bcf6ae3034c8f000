#pragma once
// The template editor is a user-interface library that the core must not
// depend on. It registers one host object here when it is linked in; the
// template manager's Edit goes through it and answers "not OK" while no
// editor is registered.

#include "platform/KeyTree.h"
#include "platform/SkrivoExport.h"

class CSkrivoTemplate;
class CSkrivoTemplateManager;
class CMontageLibrarian;
class CWnd; // host window handle type; opaque to the core

class SKRIVO_API ITemplateEditorHost {
public:
    // Opens the editor modally on the template. Returns 0 when the user ended
    // it with OK, 1 otherwise. The study description may be null.
    virtual int EditTemplate(CSkrivoTemplate* tmpl, const CKeyTree* study,
                             CSkrivoTemplateManager& manager, CMontageLibrarian& librarian,
                             CWnd* parent) = 0;

    // Registers the process-wide editor (null unregisters). The object is not
    // owned and must outlive its registration. Returns the previous host.
    static ITemplateEditorHost* Register(ITemplateEditorHost* host);
    static ITemplateEditorHost* Current();

protected:
    ~ITemplateEditorHost() = default;
};

#include "templates/ITemplateEditorHost.h"

#include <atomic>

namespace {
std::atomic<ITemplateEditorHost*> g_editorHost{nullptr};
}

ITemplateEditorHost* ITemplateEditorHost::Register(ITemplateEditorHost* host)
{
    return g_editorHost.exchange(host);
}

ITemplateEditorHost* ITemplateEditorHost::Current()
{
    return g_editorHost.load();
}

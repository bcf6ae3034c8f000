#include "editor/TemplatePropertyPage.h"

#include "editor/EditorControlIds.h"

CTemplatePropertyPage::CTemplatePropertyPage(int dialogId, const QString& caption, QWidget* parent)
    : QWidget(parent), m_dialogId(dialogId), m_caption(caption)
{
    setObjectName(sk::editor::ControlName(dialogId));
    setMinimumSize(DluX(kWidthDlu), DluY(kHeightDlu));
}

void CTemplatePropertyPage::Place(QWidget* w, int id, int x, int y, int cx, int cy)
{
    if (id != 0)
        w->setObjectName(sk::editor::ControlName(id));
    w->setGeometry(DluX(x), DluY(y), DluX(cx), DluY(cy));
}

void CTemplatePropertyPage::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!m_initialized)
        OnInitDialog(); // sets the flag when done
}

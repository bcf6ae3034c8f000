#pragma once
// One page of the template editor sheet. Like a property page whose window
// is made when its tab is first shown, a page stays uninitialised until it
// becomes visible for the first time; only then does OnInitDialog fill its
// controls, and until then OnApply changes nothing.
//
// Pages are laid out in dialog units of the original 8-point dialog font
// (one horizontal unit = 1.5 pixels, one vertical unit = 13/8 pixels), so
// the geometry of every control is fixed and testable.

#include <QWidget>

class QAbstractButton;

class CTemplatePropertyPage : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidthDlu = 240;
    static constexpr int kHeightDlu = 300;

    CTemplatePropertyPage(int dialogId, const QString& caption, QWidget* parent = nullptr);

    int GetDialogId() const { return m_dialogId; }
    const QString& GetCaption() const { return m_caption; }
    bool IsInitialized() const { return m_initialized; }

    // Fills the controls from the working copy; runs once, when the page is
    // first shown.
    virtual void OnInitDialog() = 0;
    // Writes the controls into the working copy. False keeps the sheet open
    // (the page has shown its message).
    virtual bool OnApply() = 0;

    // Dialog units to pixels.
    static int DluX(int x) { return x * 3 / 2; }
    static int DluY(int y) { return y * 13 / 8; }
    // Places a control at a rectangle given in dialog units and names it by
    // its id (id 0: no id).
    static void Place(QWidget* w, int id, int x, int y, int cx, int cy);

protected:
    void showEvent(QShowEvent* event) override;
    void SetInitialized() { m_initialized = true; }

private:
    int m_dialogId;
    QString m_caption;
    bool m_initialized = false;
};

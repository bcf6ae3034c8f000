#pragma once
// The "Options" page of the template editor: output format, extension, gap
// padding, de-identification, AC inversion, the size or duration limit of one
// output file and the use of decimated data. It edits the sheet's working
// copy of the template; the study decides whether decimated data is offered.

#include <cstdint>

#include "editor/TemplatePropertyPage.h"

class CKeyTree;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QRadioButton;

class CTemplateOptionsPage : public CTemplatePropertyPage {
    Q_OBJECT
public:
    static constexpr uint64_t kMinSizeKB = 100;
    static constexpr uint64_t kMaxSizeKB = 4194304;
    static constexpr unsigned kMinMinutes = 1;
    static constexpr unsigned kMaxMinutes = 1440;
    static constexpr uint64_t kProposedSizeKB = 1048576;
    static constexpr unsigned kProposedMinutes = 60;

    explicit CTemplateOptionsPage(QWidget* parent = nullptr);

    // Both borrowed; they must outlive the page.
    void Initialize(CKeyTree* workingCopy, const CKeyTree* study);

    void OnInitDialog() override;
    bool OnApply() override;

    // Click handlers.
    void OnFormatEDF();
    void OnFormatEDFPlus();
    void OnLimitNone();
    void OnLimitSize();
    void OnLimitDuration();

private:
    // Moves the size and duration values into the edits (saveAndValidate
    // false) or reads and range-checks them (true; false when a value does
    // not parse or an enabled edit is out of range, after the message).
    bool UpdateData(bool saveAndValidate);

    CKeyTree* m_workingCopy = nullptr;
    const CKeyTree* m_study = nullptr;
    uint64_t m_sizeKB = 0;
    unsigned m_minutes = 0;

    QGroupBox* m_formatGroup;
    QRadioButton* m_formatEDF;
    QRadioButton* m_formatEDFPlus;
    QLabel* m_extensionLabel;
    QComboBox* m_extension;
    QCheckBox* m_padGaps;
    QCheckBox* m_deidentify;
    QCheckBox* m_invertAC;
    QGroupBox* m_limitGroup;
    QRadioButton* m_limitNone;
    QRadioButton* m_limitSize;
    QRadioButton* m_limitDuration;
    QLineEdit* m_sizeEdit;
    QLabel* m_sizeUnit;
    QLineEdit* m_durationEdit;
    QLabel* m_durationUnit;
    QGroupBox* m_decimatedGroup;
    QCheckBox* m_useDecimated;
    QButtonGroup* m_formatButtons;
    QButtonGroup* m_limitButtons;
};

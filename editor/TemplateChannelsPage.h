#pragma once
// The "Channels" page of the template editor: the channel source (raw data,
// the study's acquisition montage or a montage of the library), the ticked
// channels, the trigger and patient event channels, and for the
// multi-breakout headbox buttons that tick or untick blocks of 64 channels.
//
// Item data of a check-list entry (Qt::UserRole, 32 bits): for raw data the
// channel's configuration index; for a montage the derivation's position in
// the low 16 bits and its raw channel number in the high 16 bits.

#include <cstdint>
#include <memory>
#include <vector>

#include "editor/TemplatePropertyPage.h"
#include "platform/KeyTree.h"

class CMontageLibrarian;
class QCheckBox;
class QComboBox;
class QListWidget;
class QPushButton;
class QRadioButton;

class CTemplateChannelsPage : public CTemplatePropertyPage {
    Q_OBJECT
public:
    static constexpr int kRangeButtons = 8;
    static constexpr int kChannelsPerRange = 64;

    explicit CTemplateChannelsPage(QWidget* parent = nullptr);
    ~CTemplateChannelsPage() override;

    // All borrowed; they must outlive the page.
    void Initialize(CKeyTree* workingCopy, const CKeyTree* study, CMontageLibrarian* librarian);

    void OnInitDialog() override;
    bool OnApply() override;

    void FillFromMontage(const CKeyTree* montage, bool restoreSelection);
    void FillFromRawChannels(const CItemList* rawChannels, bool restoreSelection);

    // Handlers; each does nothing before the page is initialised.
    void OnRawData();
    void OnAcquisitionMontage();
    void OnMontage();
    void OnMontageSelChange();
    void OnChannelRange(int buttonId);

private:
    std::vector<int> SelectedSet() const;
    int StudyHeadboxType() const;
    // Tree attached to the montage-list entry, or null.
    const CKeyTree* MontageAt(int index) const;
    // Adds an entry in sorted place (letter case ignored); returns its index.
    int AddMontageEntry(const QString& name, std::unique_ptr<CKeyTree> tree);
    void AddChannel(const QString& text, uint32_t data, bool ticked);

    CKeyTree* m_workingCopy = nullptr;
    const CKeyTree* m_study = nullptr;
    CMontageLibrarian* m_librarian = nullptr;
    std::vector<std::unique_ptr<CKeyTree>> m_montages; // owned by the page

    QRadioButton* m_rawData;
    QRadioButton* m_acqMontage;
    QRadioButton* m_montage;
    QComboBox* m_montageList;
    QListWidget* m_channelList;
    QCheckBox* m_trigger;
    QCheckBox* m_patientEvent;
    QPushButton* m_rangeButtons[kRangeButtons];
};

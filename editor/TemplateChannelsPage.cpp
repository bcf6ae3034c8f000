#include "editor/TemplateChannelsPage.h"

#include <algorithm>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>

#include "editor/EditorControlIds.h"
#include "editor/EditorTexts.h"
#include "platform/recording/Montage.h"
#include "platform/recording/MultipleBOSupport.h"
#include "templates/MontageLibrarian.h"

using namespace sk::editor;

namespace {
constexpr int kMultiBreakoutHeadbox = CDataReaderMultipleBOSupport::kMultiBreakoutHeadboxType;
// Range buttons in dialog units: the eighth ends at the bottom of the list.
constexpr int kListY = 50, kListCy = 204;
constexpr int kRangeX = 142, kRangeCx = 91, kRangeCy = 14, kRangeStep = 18;
constexpr int kRangeY = kListY + kListCy - (7 * kRangeStep + kRangeCy);
} // namespace

CTemplateChannelsPage::CTemplateChannelsPage(QWidget* parent)
    : CTemplatePropertyPage(IDD_CHANNELS_PAGE, Tr(Text::ChannelsCaption), parent)
{
    m_rawData = new QRadioButton(Tr(Text::RawData), this);
    Place(m_rawData, IDC_RAW_DATA, 7, 7, 160, 12);
    m_acqMontage = new QRadioButton(Tr(Text::AcquisitionMontage), this);
    Place(m_acqMontage, IDC_ACQ_MONTAGE, 7, 21, 160, 12);
    m_montage = new QRadioButton(Tr(Text::MontageChoice), this);
    Place(m_montage, IDC_MONTAGE, 7, 35, 60, 12);
    m_montageList = new QComboBox(this);
    Place(m_montageList, IDC_MONTAGE_LIST, 70, 33, 163, 14);
    auto* sources = new QButtonGroup(this);
    sources->addButton(m_rawData, IDC_RAW_DATA);
    sources->addButton(m_acqMontage, IDC_ACQ_MONTAGE);
    sources->addButton(m_montage, IDC_MONTAGE);

    m_channelList = new QListWidget(this);
    Place(m_channelList, IDC_CHANNEL_LIST, 7, kListY, 130, kListCy);
    m_channelList->setSelectionMode(QAbstractItemView::NoSelection);

    for (int k = 0; k < kRangeButtons; ++k) {
        const int first = k * kChannelsPerRange + 1;
        m_rangeButtons[k] = new QPushButton(Tr(Text::ChannelRange).arg(first).arg(first + kChannelsPerRange - 1), this);
        Place(m_rangeButtons[k], IDC_RANGE_FIRST + k, kRangeX, kRangeY + k * kRangeStep, kRangeCx, kRangeCy);
        connect(m_rangeButtons[k], &QAbstractButton::clicked, this, [this, k] { OnChannelRange(IDC_RANGE_FIRST + k); });
    }

    m_trigger = new QCheckBox(Tr(Text::AddTriggerChannel), this);
    Place(m_trigger, IDC_TRIGGER, 7, 264, 226, 12);
    m_patientEvent = new QCheckBox(Tr(Text::AddPatientEventChannel), this);
    Place(m_patientEvent, IDC_PATIENT_EVENT, 7, 278, 226, 12);

    connect(m_rawData, &QAbstractButton::clicked, this, [this] { OnRawData(); });
    connect(m_acqMontage, &QAbstractButton::clicked, this, [this] { OnAcquisitionMontage(); });
    connect(m_montage, &QAbstractButton::clicked, this, [this] { OnMontage(); });
    connect(m_montageList, &QComboBox::activated, this, [this] { OnMontageSelChange(); });
}

CTemplateChannelsPage::~CTemplateChannelsPage() = default;

void CTemplateChannelsPage::Initialize(CKeyTree* workingCopy, const CKeyTree* study, CMontageLibrarian* librarian)
{
    m_workingCopy = workingCopy;
    m_study = study;
    m_librarian = librarian;
}

int CTemplateChannelsPage::StudyHeadboxType() const
{
    return m_study ? IntOf(m_study->GetAt(L"Headbox.HB0.HBType"), 0) : 0;
}

std::vector<int> CTemplateChannelsPage::SelectedSet() const
{
    std::vector<int> set;
    const CItemList* list = m_workingCopy ? AsItemList(m_workingCopy->GetAt(L"Channels.Selected")) : nullptr;
    for (int i = 0; list && i < list->GetCount(); ++i) {
        const CKeyTree* entry = AsKeyTree(list->GetChild(i));
        if (entry && IntOf(entry->GetAt(L"Selected"), 0) != 0)
            set.push_back(IntOf(entry->GetAt(L"Index"), -1));
    }
    std::sort(set.begin(), set.end());
    return set;
}

const CKeyTree* CTemplateChannelsPage::MontageAt(int index) const
{
    if (index < 0 || index >= m_montageList->count())
        return nullptr;
    const auto slot = m_montageList->itemData(index).toULongLong();
    return slot < m_montages.size() ? m_montages[slot].get() : nullptr;
}

int CTemplateChannelsPage::AddMontageEntry(const QString& name, std::unique_ptr<CKeyTree> tree)
{
    // A sorted drop-down list: the entry goes before the first greater name.
    int at = 0;
    while (at < m_montageList->count() &&
           QString::compare(m_montageList->itemText(at), name, Qt::CaseInsensitive) <= 0)
        ++at;
    m_montages.push_back(std::move(tree));
    m_montageList->insertItem(at, name, QVariant::fromValue<qulonglong>(m_montages.size() - 1));
    return at;
}

void CTemplateChannelsPage::AddChannel(const QString& text, uint32_t data, bool ticked)
{
    auto* item = new QListWidgetItem(text, m_channelList);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    item->setData(Qt::UserRole, QVariant::fromValue<uint>(data));
    item->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
}

void CTemplateChannelsPage::OnInitDialog()
{
    if (!m_workingCopy)
        return;
    const int h = StudyHeadboxType();
    if (h == kMultiBreakoutHeadbox) {
        // Two buttons per breakout box; the buttons in use sit where the last
        // ones of the eight would, so they end with the check list.
        int n = 2 * IntOf(m_study->GetAt(L"Headbox.HB0.Breakouts"), 2);
        n = std::clamp(n, 0, kRangeButtons);
        const int step = m_rangeButtons[1]->y() - m_rangeButtons[0]->y();
        for (int k = 0; k < kRangeButtons; ++k) {
            if (k >= n)
                m_rangeButtons[k]->hide();
            else
                m_rangeButtons[k]->move(m_rangeButtons[k]->x(), m_rangeButtons[k]->y() + (kRangeButtons - n) * step);
        }
    } else {
        for (QPushButton* b : m_rangeButtons)
            b->hide();
    }

    const bool sleep = AsCStr(m_workingCopy->GetAt(L"Modality"), L"EEG") != L"EEG";
    std::vector<CMontage*> offered;
    if (m_librarian)
        m_librarian->GetMontages(sleep, h, offered);
    for (const CMontage* m : offered) {
        auto tree = std::make_unique<CKeyTree>();
        m->Save(*tree);
        AddMontageEntry(QString::fromStdWString(m->GetMontageName()), std::move(tree));
    }
    m_montageList->setCurrentIndex(m_montageList->count() > 0 ? 0 : -1);
    if (m_montageList->count() == 0)
        m_montage->setEnabled(false);

    const CKeyTree* studyMontage = m_study ? AsKeyTree(m_study->GetAt(L"Montage")) : nullptr;
    const std::wstring source = AsCStr(m_workingCopy->GetAt(L"ExportChannels"), L"RawData");
    if (source == L"AcquisitionMontage") {
        m_acqMontage->setChecked(true);
        FillFromMontage(studyMontage, true);
        m_montageList->setEnabled(false);
    } else if (source == L"Montage") {
        m_montage->setChecked(true);
        const CKeyTree* stored = AsKeyTree(m_workingCopy->GetAt(L"Montage"));
        FillFromMontage(stored, true);
        // The list must name the montage whose channels are listed, or OK
        // would store another montage than the one the ticks belong to:
        // select the offered montage that is the stored one, else offer the
        // stored montage itself.
        if (stored) {
            CMontage storedMontage(h);
            const bool loaded = storedMontage.Load(stored) == 0;
            int match = -1;
            for (int i = 0; loaded && i < m_montageList->count() && match < 0; ++i) {
                CMontage candidate(h);
                if (const CKeyTree* t = MontageAt(i); t && candidate.Load(t) == 0 &&
                                                       candidate.GetMontageName() == storedMontage.GetMontageName() &&
                                                       candidate.IsMontagingEqual(storedMontage))
                    match = i;
            }
            if (match < 0) {
                const QString name = QString::fromStdWString(loaded ? storedMontage.GetMontageName()
                                                                    : AsCStr(stored->GetAt(L"Name"), L""));
                match = AddMontageEntry(name, std::make_unique<CKeyTree>(*stored));
            }
            m_montageList->setCurrentIndex(match);
            m_montage->setEnabled(true);
        } else if (const CKeyTree* t = MontageAt(m_montageList->currentIndex())) {
            // No montage stored yet: show the montage that OK would store.
            FillFromMontage(t, false);
        }
    } else {
        m_rawData->setChecked(true);
        FillFromRawChannels(m_study ? AsItemList(m_study->GetAt(L"Channels.Raw")) : nullptr, true);
        m_montageList->setEnabled(false);
    }
    // Without a recorded montage there is nothing to derive from; the choice
    // stays only when the template already made it.
    if (!studyMontage && !m_acqMontage->isChecked())
        m_acqMontage->setEnabled(false);

    m_trigger->setChecked(IntOf(m_workingCopy->GetAt(L"IncludeTriggerEvent"), 0) != 0);
    m_patientEvent->setChecked(IntOf(m_workingCopy->GetAt(L"IncludePatientEvent"), 0) != 0);
    SetInitialized();
}

void CTemplateChannelsPage::FillFromRawChannels(const CItemList* rawChannels, bool restoreSelection)
{
    m_channelList->clear();
    const std::vector<int> selected = restoreSelection ? SelectedSet() : std::vector<int>{};
    for (int i = 0; rawChannels && i < rawChannels->GetCount(); ++i) {
        const CKeyTree* raw = AsKeyTree(rawChannels->GetChild(i));
        const std::wstring label = raw ? AsCStr(raw->GetAt(L"Label"), L"") : std::wstring();
        const int c = raw ? IntOf(raw->GetAt(L"ConfigurationIndex"), i) : i;
        const bool ticked = !restoreSelection || std::binary_search(selected.begin(), selected.end(), c);
        AddChannel(QString::fromStdWString(label), static_cast<uint32_t>(c), ticked);
    }
}

void CTemplateChannelsPage::FillFromMontage(const CKeyTree* montage, bool restoreSelection)
{
    const int h = StudyHeadboxType();
    const std::vector<int> selected = restoreSelection ? SelectedSet() : std::vector<int>{};
    CMontage m(h);
    // A missing tree is no montage (loading null would build the headbox's
    // default montage instead).
    const bool loaded = montage && m.Load(montage) == 0;
    m_channelList->clear();

    CDataReaderMultipleBOSupport mapper;
    bool useMapper = false;
    bool blocks[kRangeButtons] = {};
    if (h == kMultiBreakoutHeadbox) {
        mapper.setHeadboxType(h, IntOf(m_study->GetAt(L"Headbox.HB0.Breakouts"), 2), m_study);
        useMapper = true;
    }
    const int covered = useMapper ? mapper.GetCoveredChannelCount() : 0;

    for (int i = 0; loaded && i < m.GetSize(); ++i) {
        const CMontageChannel* ch = m.GetChannel(i);
        if (!ch || (!ch->GetFirstHalf() && !ch->GetSecondHalf()))
            continue;
        const CHalfMontageChannel* half = ch->GetFirstHalf() ? ch->GetFirstHalf() : ch->GetSecondHalf();
        const int r = half->GetChannel(0);
        if (useMapper) {
            bool stored = true;
            for (int c : ch->FindChannelComponents())
                if (mapper.ChannelNumber_ConfigurationToStorage(c) < 0)
                    stored = false;
            if (!stored)
                continue;
            if (r >= 0 && r < covered && r / kChannelsPerRange < kRangeButtons)
                blocks[r / kChannelsPerRange] = true;
        }
        const uint32_t data = ((static_cast<uint32_t>(r) & 0xFFFFu) << 16) | (static_cast<uint32_t>(i) & 0xFFFFu);
        const bool ticked = !restoreSelection || std::binary_search(selected.begin(), selected.end(), i);
        AddChannel(QString::fromStdWString(ch->GetName()), data, ticked);
    }
    if (h == kMultiBreakoutHeadbox) {
        for (int k = 0; k < kRangeButtons; ++k)
            if (!m_rangeButtons[k]->isHidden())
                m_rangeButtons[k]->setEnabled(blocks[k]);
    }
}

void CTemplateChannelsPage::OnRawData()
{
    if (!IsInitialized())
        return;
    m_montageList->setEnabled(false);
    FillFromRawChannels(m_study ? AsItemList(m_study->GetAt(L"Channels.Raw")) : nullptr, false);
}

void CTemplateChannelsPage::OnAcquisitionMontage()
{
    if (!IsInitialized())
        return;
    m_montageList->setEnabled(false);
    FillFromMontage(m_study ? AsKeyTree(m_study->GetAt(L"Montage")) : nullptr, false);
}

void CTemplateChannelsPage::OnMontage()
{
    if (!IsInitialized())
        return;
    m_montageList->setEnabled(true);
    if (const CKeyTree* t = MontageAt(m_montageList->currentIndex()))
        FillFromMontage(t, false);
}

void CTemplateChannelsPage::OnMontageSelChange()
{
    if (!IsInitialized())
        return;
    if (const CKeyTree* t = MontageAt(m_montageList->currentIndex()))
        FillFromMontage(t, false);
}

void CTemplateChannelsPage::OnChannelRange(int buttonId)
{
    if (!IsInitialized())
        return;
    const int k = buttonId - IDC_RANGE_FIRST;
    if (k < 0 || k >= kRangeButtons)
        return;
    const uint32_t lo = static_cast<uint32_t>(k * kChannelsPerRange);
    const uint32_t hi = lo + kChannelsPerRange - 1;
    const bool raw = m_rawData->isChecked();
    std::vector<QListWidgetItem*> block;
    for (int i = 0; i < m_channelList->count(); ++i) {
        QListWidgetItem* item = m_channelList->item(i);
        const uint32_t data = item->data(Qt::UserRole).toUInt();
        const uint32_t channel = raw ? data : data >> 16;
        if (channel >= lo && channel <= hi)
            block.push_back(item);
    }
    const bool allTicked = !block.empty() && std::all_of(block.begin(), block.end(), [](QListWidgetItem* item) {
        return item->checkState() == Qt::Checked;
    });
    for (QListWidgetItem* item : block)
        item->setCheckState(allTicked ? Qt::Unchecked : Qt::Checked);
}

bool CTemplateChannelsPage::OnApply()
{
    if (!IsInitialized() || !m_workingCopy)
        return true;
    CKeyTree& w = *m_workingCopy;
    const bool raw = m_rawData->isChecked();

    auto list = std::make_unique<CItemList>();
    for (int i = 0; i < m_channelList->count(); ++i) {
        const QListWidgetItem* item = m_channelList->item(i);
        const uint32_t data = item->data(Qt::UserRole).toUInt();
        auto* entry = new CKeyTree();
        entry->AddKey(L"Channel", item->text().toStdWString());
        entry->AddKey(L"Selected", int32_t{item->checkState() == Qt::Checked ? 1 : 0});
        entry->AddKey(L"Index", static_cast<int32_t>(raw ? data : (data & 0xFFFFu)));
        list->Append(entry);
    }

    auto replace = [&w](const wchar_t* key, CItem* item) {
        w.DeleteKey(key);
        w.AddKey(key, item);
    };
    if (raw) {
        w.SetAt(L"ExportChannels", L"RawData");
        replace(L"Channels.Selected", list.release());
    } else if (m_acqMontage->isChecked()) {
        w.SetAt(L"ExportChannels", L"AcquisitionMontage");
        replace(L"Channels.Selected", list.release());
        const CKeyTree* studyMontage = m_study ? AsKeyTree(m_study->GetAt(L"Montage")) : nullptr;
        w.DeleteKey(L"Montage");
        if (studyMontage)
            w.AddKey(L"Montage", studyMontage->Duplicate());
    } else {
        w.SetAt(L"ExportChannels", L"Montage");
        // No entry selected happens only when nothing could be offered; the
        // stored montage then stays, and so do the channels listed from it.
        if (const CKeyTree* t = MontageAt(m_montageList->currentIndex()))
            replace(L"Montage", t->Duplicate());
        replace(L"Channels.Selected", list.release());
    }
    w.SetAt(L"IncludeTriggerEvent", int32_t{m_trigger->isChecked() ? 1 : 0});
    w.SetAt(L"IncludePatientEvent", int32_t{m_patientEvent->isChecked() ? 1 : 0});
    return true;
}

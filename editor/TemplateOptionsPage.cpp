#include "editor/TemplateOptionsPage.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include "editor/EditorControlIds.h"
#include "editor/EditorMessages.h"
#include "editor/EditorTexts.h"
#include "platform/KeyTree.h"
#include "templates/SkrivoTemplate.h"

using namespace sk::editor;

namespace {

// Decimal digits only, surrounding blanks allowed, no sign, no overflow:
// what an unsigned edit accepts.
bool ParseUnsigned(const QString& text, uint64_t max, uint64_t& out)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return false;
    uint64_t v = 0;
    for (QChar c : t) {
        if (c < u'0' || c > u'9')
            return false;
        const uint64_t d = static_cast<uint64_t>(c.unicode() - u'0');
        if (v > (max - d) / 10)
            return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

} // namespace

CTemplateOptionsPage::CTemplateOptionsPage(QWidget* parent)
    : CTemplatePropertyPage(IDD_OPTIONS_PAGE, Tr(Text::OptionsCaption), parent)
{
    m_formatGroup = new QGroupBox(Tr(Text::ExportFormat), this);
    Place(m_formatGroup, 0, 7, 7, 226, 30);
    m_formatEDF = new QRadioButton(QStringLiteral("EDF"), this);
    Place(m_formatEDF, IDC_FORMAT_EDF, 16, 19, 60, 12);
    m_formatEDFPlus = new QRadioButton(QStringLiteral("EDF+"), this);
    Place(m_formatEDFPlus, IDC_FORMAT_EDFPLUS, 90, 19, 60, 12);
    m_formatButtons = new QButtonGroup(this);
    m_formatButtons->addButton(m_formatEDF, IDC_FORMAT_EDF);
    m_formatButtons->addButton(m_formatEDFPlus, IDC_FORMAT_EDFPLUS);

    m_extensionLabel = new QLabel(Tr(Text::FileExtension), this);
    Place(m_extensionLabel, 0, 7, 46, 126, 12);
    m_extension = new QComboBox(this);
    Place(m_extension, IDC_EXTENSION, 136, 44, 50, 14);

    m_padGaps = new QCheckBox(Tr(Text::PadGaps), this);
    Place(m_padGaps, IDC_PAD_GAPS, 7, 64, 226, 12);
    m_deidentify = new QCheckBox(Tr(Text::Deidentify), this);
    Place(m_deidentify, IDC_DEIDENTIFY, 7, 78, 226, 12);
    m_invertAC = new QCheckBox(Tr(Text::InvertAC), this);
    Place(m_invertAC, IDC_INVERT_AC, 7, 92, 226, 12);

    m_limitGroup = new QGroupBox(Tr(Text::FileSizeLimitations), this);
    Place(m_limitGroup, 0, 7, 110, 226, 66);
    m_limitNone = new QRadioButton(Tr(Text::LimitNone), this);
    Place(m_limitNone, IDC_LIMIT_NONE, 16, 123, 120, 12);
    m_limitSize = new QRadioButton(Tr(Text::LimitFileSize), this);
    Place(m_limitSize, IDC_LIMIT_SIZE, 16, 139, 118, 12);
    m_sizeEdit = new QLineEdit(this);
    Place(m_sizeEdit, IDC_SIZE_EDIT, 136, 137, 42, 14);
    m_sizeUnit = new QLabel(Tr(Text::Kilobytes), this);
    Place(m_sizeUnit, 0, 182, 139, 50, 12);
    m_limitDuration = new QRadioButton(Tr(Text::LimitFileDuration), this);
    Place(m_limitDuration, IDC_LIMIT_DURATION, 16, 157, 118, 12);
    m_durationEdit = new QLineEdit(this);
    Place(m_durationEdit, IDC_DURATION_EDIT, 136, 155, 42, 14);
    m_durationUnit = new QLabel(Tr(Text::Minutes), this);
    Place(m_durationUnit, 0, 182, 157, 50, 12);
    m_limitButtons = new QButtonGroup(this);
    m_limitButtons->addButton(m_limitNone, IDC_LIMIT_NONE);
    m_limitButtons->addButton(m_limitSize, IDC_LIMIT_SIZE);
    m_limitButtons->addButton(m_limitDuration, IDC_LIMIT_DURATION);

    m_decimatedGroup = new QGroupBox(Tr(Text::DecimatedData), this);
    Place(m_decimatedGroup, IDC_DECIMATED_GROUP, 7, 184, 226, 30);
    m_useDecimated = new QCheckBox(Tr(Text::ExportDecimatedData), this);
    Place(m_useDecimated, IDC_USE_DECIMATED, 16, 196, 210, 12);

    m_extensionLabel->setObjectName(QStringLiteral("lblExtension"));
    m_sizeUnit->setObjectName(QStringLiteral("lblKilobytes"));
    m_durationUnit->setObjectName(QStringLiteral("lblMinutes"));
    // Group boxes are drawn beneath the controls they frame.
    m_formatGroup->lower();
    m_limitGroup->lower();
    m_decimatedGroup->lower();

    connect(m_formatEDF, &QAbstractButton::clicked, this, [this] { OnFormatEDF(); });
    connect(m_formatEDFPlus, &QAbstractButton::clicked, this, [this] { OnFormatEDFPlus(); });
    connect(m_limitNone, &QAbstractButton::clicked, this, [this] { OnLimitNone(); });
    connect(m_limitSize, &QAbstractButton::clicked, this, [this] { OnLimitSize(); });
    connect(m_limitDuration, &QAbstractButton::clicked, this, [this] { OnLimitDuration(); });
}

void CTemplateOptionsPage::Initialize(CKeyTree* workingCopy, const CKeyTree* study)
{
    m_workingCopy = workingCopy;
    m_study = study;
}

bool CTemplateOptionsPage::UpdateData(bool saveAndValidate)
{
    if (!saveAndValidate) {
        m_sizeEdit->setText(QString::number(m_sizeKB));
        m_durationEdit->setText(QString::number(m_minutes));
        return true;
    }
    uint64_t size = 0;
    uint64_t minutes = 0;
    if (!ParseUnsigned(m_sizeEdit->text(), UINT64_MAX, size)) {
        ShowMessage(this, Tr(Text::EnterUnsigned));
        m_sizeEdit->setFocus();
        return false;
    }
    m_sizeKB = size;
    if (m_sizeEdit->isEnabled() && (size < kMinSizeKB || size > kMaxSizeKB)) {
        ShowMessage(this, Tr(Text::EnterRange).arg(kMinSizeKB).arg(kMaxSizeKB));
        m_sizeEdit->setFocus();
        return false;
    }
    if (!ParseUnsigned(m_durationEdit->text(), UINT32_MAX, minutes)) {
        ShowMessage(this, Tr(Text::EnterUnsigned));
        m_durationEdit->setFocus();
        return false;
    }
    m_minutes = static_cast<unsigned>(minutes);
    if (m_durationEdit->isEnabled() && (minutes < kMinMinutes || minutes > kMaxMinutes)) {
        ShowMessage(this, Tr(Text::EnterRange).arg(kMinMinutes).arg(kMaxMinutes));
        m_durationEdit->setFocus();
        return false;
    }
    return true;
}

void CTemplateOptionsPage::OnInitDialog()
{
    if (!m_workingCopy)
        return;
    const CKeyTree& w = *m_workingCopy;
    UpdateData(false);

    if (CSkrivoTemplate::ExportFormatOf(w) != CSkrivoTemplate::FormatEDFPlus) {
        m_formatEDF->setChecked(true);
        m_padGaps->setEnabled(false);
    } else {
        m_formatEDFPlus->setChecked(true);
    }
    m_padGaps->setChecked(IntOf(w.GetAt(L"PadGaps"), 0) != 0);

    m_extension->clear();
    m_extension->addItem(QStringLiteral(".EDF"));
    m_extension->addItem(QStringLiteral(".REC"));
    const QString ext = QString::fromStdWString(AsCStr(w.GetAt(L"Extension"), L".EDF")).toUpper();
    m_extension->setCurrentIndex(ext == QStringLiteral(".EDF") ? 0 : 1);

    m_deidentify->setChecked(IntOf(w.GetAt(L"Deidentify"), 0) != 0);
    m_invertAC->setChecked(IntOf(w.GetAt(L"InvertAC"), 0) != 0);

    const int64_t spatial = LongLongOf(w.GetAt(L"SpatialMaximum"), 0);
    const int temporal = IntOf(w.GetAt(L"TemporalMaximum"), 0);
    if (spatial > 0) {
        m_limitSize->setChecked(true);
        m_durationEdit->setEnabled(false);
        m_sizeKB = static_cast<uint64_t>(spatial / 1024);
    } else if (spatial == 0 && temporal == 0) {
        m_limitNone->setChecked(true);
        m_sizeEdit->setEnabled(false);
        m_durationEdit->setEnabled(false);
    } else {
        m_limitDuration->setChecked(true);
        m_sizeEdit->setEnabled(false);
        // A negative duration shows as the unsigned value it wraps to and
        // fails the range check, as any other absurd stored value does.
        m_minutes = static_cast<unsigned>(temporal / 60);
    }

    if (!m_study || !m_study->GetAt(L"Decimated.Samples")) {
        m_decimatedGroup->hide();
        m_useDecimated->hide();
    } else {
        m_useDecimated->setChecked(IntOf(w.GetAt(L"UseDecimatedData"), 0) != 0);
    }

    UpdateData(false);
    SetInitialized();
}

void CTemplateOptionsPage::OnFormatEDF()
{
    if (IsInitialized())
        m_padGaps->setEnabled(false);
}

void CTemplateOptionsPage::OnFormatEDFPlus()
{
    if (IsInitialized())
        m_padGaps->setEnabled(true);
}

void CTemplateOptionsPage::OnLimitNone()
{
    if (!IsInitialized())
        return;
    m_limitNone->setChecked(true);
    m_sizeEdit->setEnabled(false);
    m_durationEdit->setEnabled(false);
}

void CTemplateOptionsPage::OnLimitSize()
{
    if (!IsInitialized())
        return;
    m_limitSize->setChecked(true);
    m_sizeEdit->setEnabled(true);
    m_durationEdit->setEnabled(false);
    if (m_sizeKB == 0)
        m_sizeKB = kProposedSizeKB;
    UpdateData(false);
}

void CTemplateOptionsPage::OnLimitDuration()
{
    if (!IsInitialized())
        return;
    m_limitDuration->setChecked(true);
    m_sizeEdit->setEnabled(false);
    m_durationEdit->setEnabled(true);
    if (m_minutes == 0)
        m_minutes = kProposedMinutes;
    UpdateData(false);
}

bool CTemplateOptionsPage::OnApply()
{
    if (!IsInitialized() || !m_workingCopy)
        return true;
    if (!UpdateData(true))
        return false;
    CKeyTree& w = *m_workingCopy;

    if (m_formatEDF->isChecked()) {
        w.SetAt(L"ExportFormat", L"EDF");
        w.SetAt(L"PadGaps", int32_t{0});
    } else {
        w.SetAt(L"ExportFormat", L"EDF+");
        w.SetAt(L"PadGaps", int32_t{m_padGaps->isChecked() ? 1 : 0});
    }
    w.SetAt(L"Extension", m_extension->currentText().toStdWString());
    w.SetAt(L"Deidentify", int32_t{m_deidentify->isChecked() ? 1 : 0});
    w.SetAt(L"InvertAC", int32_t{m_invertAC->isChecked() ? 1 : 0});

    if (m_limitNone->isChecked()) {
        w.SetAt(L"SpatialMaximum", int64_t{0});
        w.SetAt(L"TemporalMaximum", int32_t{0});
    } else if (m_limitSize->isChecked()) {
        w.SetAt(L"SpatialMaximum", static_cast<int64_t>(m_sizeKB * 1024));
        w.SetAt(L"TemporalMaximum", int32_t{0});
    } else {
        w.SetAt(L"SpatialMaximum", int64_t{0});
        w.SetAt(L"TemporalMaximum", static_cast<int32_t>(m_minutes * 60));
    }
    w.SetAt(L"UseDecimatedData", int32_t{!m_useDecimated->isHidden() && m_useDecimated->isChecked() ? 1 : 0});
    return true;
}

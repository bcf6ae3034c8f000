#include "platform/recording/WaveType.h"

#include <algorithm>
#include <cmath>

#include "platform/KeyTree.h"
#include "platform/appcommon/PhysicalUnits.h"

namespace {

namespace dt = sk::display;
using U = CPhysicalUnits;

std::wstring UnitText(U::Units u) { return U::ToLangNeutralString(u); }

const std::vector<CWaveType>& Table() {
    // Input limits are volts, negative up: X is the upper edge (-), Y the
    // lower (+). AC types carry their usual display range.
    static const std::vector<CWaveType> table = [] {
        const double acX = -0.0032, acY = 0.0032; // ±3200 µV
        const double dcX = -1.0, dcY = 1.0;       // ±1 V analogue DC input
        std::vector<CWaveType> t;
        t.emplace_back(dt::EEG, L"EEG", UnitText(U::Microvolts), CWaveType::KindAC, -200.0, 200.0, acX, acY);
        t.emplace_back(dt::Polygraphic, L"Polygraphic", UnitText(U::Microvolts), CWaveType::KindAC, -500.0, 500.0, acX, acY);
        t.emplace_back(dt::ECG, L"ECG", UnitText(U::Microvolts), CWaveType::KindAC, -2000.0, 2000.0, acX, acY);
        t.emplace_back(dt::EOG, L"EOG", UnitText(U::Microvolts), CWaveType::KindAC, -500.0, 500.0, acX, acY);
        t.emplace_back(dt::EMG, L"EMG", UnitText(U::Microvolts), CWaveType::KindAC, -100.0, 100.0, acX, acY);
        t.emplace_back(dt::DCVoltage, L"DC", UnitText(U::Microvolts), CWaveType::KindDC, -1000000.0, 1000000.0, dcX, dcY);
        t.emplace_back(dt::SpO2, L"SpO2", UnitText(U::Percent), CWaveType::KindCalibratedDC, 0.0, 100.0, dcX, dcY);
        t.emplace_back(dt::PulseRate, L"Pulse", UnitText(U::BeatsPerMinute), CWaveType::KindCalibratedDC, 0.0, 250.0, dcX, dcY);
        t.emplace_back(dt::BodyPosition, L"Position", UnitText(U::Degrees), CWaveType::KindCalibratedDC, -180.0, 180.0, dcX, dcY);
        t.emplace_back(dt::Temperature, L"Temperature", UnitText(U::DegreesCelsius), CWaveType::KindCalibratedDC, 0.0, 50.0, dcX, dcY);
        t.emplace_back(dt::RespEffort, L"Effort", UnitText(U::Microvolts), CWaveType::KindAC, -1000.0, 1000.0, acX, acY);
        t.emplace_back(dt::Airflow, L"Airflow", UnitText(U::Microvolts), CWaveType::KindAC, -500.0, 500.0, acX, acY);
        t.emplace_back(dt::RespRate, L"RespRate", UnitText(U::BreathsPerMinute), CWaveType::KindCalibratedDC, 0.0, 60.0, dcX, dcY);
        t.emplace_back(dt::Flow, L"Flow", UnitText(U::LitresPerMinute), CWaveType::KindCalibratedDC, -120.0, 120.0, dcX, dcY);
        t.emplace_back(dt::Pressure, L"Pressure", UnitText(U::CmH2O), CWaveType::KindCalibratedDC, -20.0, 40.0, dcX, dcY);
        t.emplace_back(dt::Snore, L"Snore", UnitText(U::Microvolts), CWaveType::KindAC, -200.0, 200.0, acX, acY);
        t.emplace_back(dt::Light, L"Light", UnitText(U::Lux), CWaveType::KindCalibratedDC, 0.0, 1000.0, dcX, dcY);
        t.emplace_back(dt::Intracranial, L"Intracranial", UnitText(U::Microvolts), CWaveType::KindAC, -1000.0, 1000.0, acX, acY);
        t.emplace_back(dt::OximeterSpO2, L"OximeterSpO2", UnitText(U::Percent), CWaveType::KindDC, 0.0, 100.0, dcX, dcY);
        t.emplace_back(dt::OximeterPulse, L"OximeterPulse", UnitText(U::BeatsPerMinute), CWaveType::KindDC, 0.0, 255.0, dcX, dcY);
        t.emplace_back(dt::Auxiliary, L"Auxiliary", UnitText(U::Millivolts), CWaveType::KindDC, -32768.0, 32767.0, dcX, dcY);
        return t;
    }();
    return table;
}

bool ValidName(const std::wstring& name) { return !name.empty() && name.find(L'.') == std::wstring::npos; }

bool ReadReals(const CItemList* list, std::vector<double>& out) {
    out.clear();
    if (!list || list->GetCount() < 2 || static_cast<size_t>(list->GetCount()) > CCalFileArchivist::kMaxPoints)
        return false;
    for (int i = 0; i < list->GetCount(); ++i) {
        const CItem* item = list->GetChild(i);
        if (!item || (item->Kind() != ItemKind::Real && item->Kind() != ItemKind::Integer &&
                      item->Kind() != ItemKind::LongLong))
            return false;
        out.push_back(RealOf(item, std::nan("")));
    }
    return true;
}

} // namespace

// ---- CCalFileArchivist ----

CCalFileArchivist::CCalFileArchivist(const CKeyTree* calibration) : m_tree(calibration) {}

bool CCalFileArchivist::IsValid(const std::vector<Point>& points) {
    if (points.size() < 2 || points.size() > kMaxPoints) return false;
    for (size_t i = 0; i < points.size(); ++i) {
        if (!std::isfinite(points[i].input) || !std::isfinite(points[i].value)) return false;
        if (i > 0 && !(points[i].input > points[i - 1].input)) return false;
    }
    return true;
}

bool CCalFileArchivist::GetPoints(const std::wstring& waveTypeName, std::vector<Point>& points) const {
    points.clear();
    if (!m_tree || !ValidName(waveTypeName)) return false;
    const CKeyTree* entry = AsKeyTree(m_tree->GetAt(waveTypeName));
    if (!entry) return false;
    std::vector<double> in, val;
    if (!ReadReals(AsItemList(entry->GetAt(L"Input")), in) || !ReadReals(AsItemList(entry->GetAt(L"Value")), val) ||
        in.size() != val.size())
        return false;
    std::vector<Point> pts;
    for (size_t i = 0; i < in.size(); ++i) pts.push_back({in[i], val[i]});
    if (!IsValid(pts)) return false;
    points = std::move(pts);
    return true;
}

bool CCalFileArchivist::WritePoints(CKeyTree& calibration, const std::wstring& waveTypeName, int displayType,
                                    const std::vector<Point>& points) {
    if (!ValidName(waveTypeName) || !IsValid(points)) return false;
    auto* entry = new CKeyTree;
    auto* in = new CItemList;
    auto* val = new CItemList;
    for (const Point& p : points) {
        in->Append(new CLreal(p.input));
        val->Append(new CLreal(p.value));
    }
    entry->AddKey(L"DisplayType", static_cast<int32_t>(displayType));
    entry->AddKey(L"Input", in);
    entry->AddKey(L"Value", val);
    while (calibration.DeleteKey(waveTypeName)) {
    }
    return calibration.AddKey(waveTypeName, entry);
}

// ---- CWaveCalibration ----

double CWaveCalibration::Convert(double x) const {
    if (m_points.size() < 2) return x;
    // Segment whose upper end is the first point above x, clamped to the
    // first and last segments so the ends extrapolate.
    auto it = std::upper_bound(m_points.begin(), m_points.end(), x,
                               [](double v, const CCalFileArchivist::Point& p) { return v < p.input; });
    size_t hi = static_cast<size_t>(it - m_points.begin());
    hi = std::clamp<size_t>(hi, 1, m_points.size() - 1);
    const auto& a = m_points[hi - 1];
    const auto& b = m_points[hi];
    return a.value + (x - a.input) * (b.value - a.value) / (b.input - a.input);
}

// ---- CWaveType ----

CWaveType::CWaveType(int displayType, std::wstring name, std::wstring units, int kind, double calMin, double calMax,
                     double inputLimitX, double inputLimitY)
    : m_displayType(displayType), m_name(std::move(name)), m_units(std::move(units)), m_kind(kind), m_calMin(calMin),
      m_calMax(calMax), m_inputX(inputLimitX), m_inputY(inputLimitY) {}

CWaveCalibration CWaveType::DefaultCalibration() const {
    if (m_kind != KindCalibratedDC) return CWaveCalibration({{0.0, 0.0}, {1.0, 1.0}}, false);
    double a = m_inputX * -1000000.0, b = m_inputY * -1000000.0;
    double lo = std::min(a, b), hi = std::max(a, b);
    return CWaveCalibration({{lo, m_calMin}, {hi, m_calMax}}, false);
}

CWaveCalibration CWaveType::LoadCalibration(const CCalFileArchivist& archivist) const {
    std::vector<CCalFileArchivist::Point> pts;
    if (m_kind == KindCalibratedDC && archivist.GetPoints(m_name, pts)) return CWaveCalibration(std::move(pts), true);
    return DefaultCalibration();
}

double CWaveType::ToCalibrated(double inputMicrovolts, const CKeyTree* calibration) const {
    return LoadCalibration(CCalFileArchivist(calibration)).Convert(inputMicrovolts);
}

const CWaveType* WaveTypePtrLookup(int displayType) {
    for (const CWaveType& w : Table())
        if (w.GetDisplayType() == displayType) return &w;
    return nullptr;
}

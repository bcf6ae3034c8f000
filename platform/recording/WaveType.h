#pragma once
// Wave types: what a montage channel's display type means physically (units,
// AC or DC, calibrated range) and, for calibrated DC channels, how an input
// voltage converts to the calibrated quantity.
//
// Values fed to the conversion are input voltages in µV (positive up). The
// input limits are kept as the acquisition stores them: in volts, with the
// display's negative-up sign convention, so a caller turns them into µV with
// a factor of -1000000.
//
// Calibrations live in the study record's "Calibration" subtree (the study
// description's "Study.Calibration"), one subtree per wave type name:
//   "<WaveTypeName>.DisplayType"  integer (informational)
//   "<WaveTypeName>.Input"        list of reals: input µV, strictly increasing
//   "<WaveTypeName>.Value"        list of reals: calibrated value per input
// Two to 64 points; the conversion is piecewise linear and extends the first
// and last segments. A missing or malformed entry means the wave type's
// default calibration: the input limits map linearly onto the calibrated
// range. See docs/formats/montage.md.
//
// Wave types are immutable and shared; calibration is loaded into a separate
// value (CWaveCalibration), so concurrent exports need no locking.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/SkrivoExport.h"

class CKeyTree;

// Reads calibrations from a calibration subtree (borrowed, may be null) and
// writes them for study writers.
class SKRIVO_API CCalFileArchivist {
public:
    struct Point {
        double input; // µV
        double value; // calibrated units
    };
    static constexpr size_t kMaxPoints = 64;

    explicit CCalFileArchivist(const CKeyTree* calibration);

    // The valid points stored for a wave type name; false (points emptied)
    // when none or when the entry is malformed.
    bool GetPoints(const std::wstring& waveTypeName, std::vector<Point>& points) const;

    // Stores points under the wave type's name (replacing an existing entry).
    // False, tree unchanged, when the points are not a valid calibration.
    static bool WritePoints(CKeyTree& calibration, const std::wstring& waveTypeName, int displayType,
                            const std::vector<Point>& points);

    // Two to kMaxPoints finite points with strictly increasing inputs.
    static bool IsValid(const std::vector<Point>& points);

private:
    const CKeyTree* m_tree;
};

// A loaded calibration: two or more points, piecewise linear.
class SKRIVO_API CWaveCalibration {
public:
    CWaveCalibration() = default;
    explicit CWaveCalibration(std::vector<CCalFileArchivist::Point> points, bool fromStudy)
        : m_points(std::move(points)), m_fromStudy(fromStudy) {}
    // Calibrated value of an input in µV.
    double Convert(double inputMicrovolts) const;
    bool IsFromStudy() const { return m_fromStudy; }
    const std::vector<CCalFileArchivist::Point>& Points() const { return m_points; }

private:
    std::vector<CCalFileArchivist::Point> m_points;
    bool m_fromStudy = false;
};

class SKRIVO_API CWaveType {
public:
    enum Kind : int {
        KindAC = 0,            // AC (EEG-like) signal
        KindDC = 1,            // DC voltage, not calibrated
        KindCalibratedDC = 2,  // DC input converted to a physical quantity
    };

    CWaveType(int displayType, std::wstring name, std::wstring units, int kind, double calMin, double calMax,
              double inputLimitX, double inputLimitY);

    int GetDisplayType() const { return m_displayType; }
    const std::wstring& GetName() const { return m_name; }
    const std::wstring& GetUnits() const { return m_units; }
    int GetKind() const { return m_kind; }
    // Calibrated physical range (lower A, upper B); for other kinds the
    // typical display range.
    double GetCalibratedMinimum() const { return m_calMin; }
    double GetCalibratedMaximum() const { return m_calMax; }
    // Input limits in volts, negative-up (X the upper, Y the lower edge).
    double GetInputLimitX() const { return m_inputX; }
    double GetInputLimitY() const { return m_inputY; }

    // The study's calibration of this wave type, or the default calibration.
    CWaveCalibration LoadCalibration(const CCalFileArchivist& archivist) const;
    CWaveCalibration DefaultCalibration() const;
    // Calibrated value of an input (µV) with a loaded calibration.
    double ToCalibrated(double inputMicrovolts, const CWaveCalibration& calibration) const {
        return calibration.Convert(inputMicrovolts);
    }
    // Same, loading the calibration from a calibration subtree (may be null).
    double ToCalibrated(double inputMicrovolts, const CKeyTree* calibration) const;

private:
    int m_displayType;
    std::wstring m_name;
    std::wstring m_units;
    int m_kind;
    double m_calMin, m_calMax;
    double m_inputX, m_inputY;
};

// Display types (montage channel display types). The montage label prefixes
// EEG/ECG/EOG/EMG/Resp follow these numbers.
namespace sk::display {
enum : int {
    EEG = 0,
    Polygraphic = 1,   // generic AC polygraphy
    ECG = 2,
    EOG = 3,
    EMG = 4,
    DCVoltage = 5,     // uncalibrated DC input, µV
    SpO2 = 6,          // %
    PulseRate = 7,     // beats/min
    BodyPosition = 8,  // degrees
    Temperature = 9,   // °C
    RespEffort = 10,   // thorax/abdomen belts (AC)
    Airflow = 11,      // nasal/oral airflow (AC)
    RespRate = 12,     // breaths/min
    Flow = 13,         // litres/min (ventilator / CPAP flow)
    Pressure = 14,     // cmH2O (CPAP / nasal pressure)
    Snore = 15,        // AC
    Light = 16,        // lx
    Intracranial = 17, // intracranial EEG (AC)
    OximeterSpO2 = 18, // %, delivered digitally by an oximeter (not calibrated)
    OximeterPulse = 19, // beats/min, delivered digitally by an oximeter
    Auxiliary = 20,    // auxiliary DC input in mV (not calibrated)
    Count = 21,
};
} // namespace sk::display

// Wave type of a display type, or null when the display type has none. The
// pointer stays valid for the life of the process.
SKRIVO_API const CWaveType* WaveTypePtrLookup(int displayType);

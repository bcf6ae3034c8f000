#pragma once
// The shared fixture of simulated studies: simulate a study into a fresh
// folder, probe it, export it, and compare what EDFlib reads back against the
// simulator's source values.

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/KeyTree.h"
#include "support/EdfLibRead.h"
#include "platform/recording/WaveType.h"
#include "support/TempDir.h"
#include "tools/simulator/StudySimulator.h"
#include "writer/ExportDetails.h"
#include "writer/Skrivoer.h"

namespace sk::test {

struct SimStudy {
    std::unique_ptr<TempDir> dir;
    sim::SimOptions opt;
    sim::SimResult res;
    CKeyTree desc;
    bool probed = false;
    std::wstring folder; // with trailing separator
    std::filesystem::path out;
};

inline SimStudy Simulate(sim::SimOptions o, const std::string& tag) {
    SimStudy s;
    s.dir = std::make_unique<TempDir>(tag);
    o.folder = s.dir->path() / "study";
    s.opt = o;
    s.res = sim::SimulateStudy(o);
    s.folder = o.folder.wstring() + L"/";
    s.probed = CSkrivoer::ProbeStudy(s.folder, o.studyName, &s.desc);
    if (o.decimation > 1) {
        CKeyTree dec;
        CSkrivoer::ProbeStudy(s.folder + L"Decimated/", o.studyName, &dec);
        s.desc.AddKey(L"Decimated", new CKeyTree(dec));
    }
    s.out = s.dir->path() / "out";
    std::filesystem::create_directories(s.out);
    return s;
}

struct ExportResult {
    bool ok = false;
    int32_t code = 0;
    std::wstring text;
    std::vector<std::string> files; // output files, sorted by name (full paths)
};

inline ExportResult RunExport(const SimStudy& s, const CKeyTree& tmpl, CExportDetails* details = nullptr,
                              const std::wstring& outFolder = L"") {
    ExportResult r;
    CExportDetails local(L"study", s.folder, s.opt.studyName, nullptr);
    CSkrivoer w(s.desc, tmpl, outFolder.empty() ? s.out.wstring() : outFolder);
    r.ok = w.Export(details ? details : &local);
    r.code = w.GetLastErrorCode();
    r.text = w.GetLastErrorText();
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(s.out, ec))
        r.files.push_back(e.path().string());
    std::sort(r.files.begin(), r.files.end());
    return r;
}

inline bool Recorded(const std::vector<sim::SimRun>& runs, int64_t stamp) {
    for (const auto& r : runs)
        if (stamp >= r.firstStamp && stamp < r.firstStamp + r.samples)
            return true;
    return false;
}

// Expected physical value of a raw source value for a channel whose input
// range is (dmin..dmax -> pmin..pmax), in an EDF signal with physical range
// lo..hi; a calibrated channel shows k x input + c. Out-of-range codes map to
// the ends of the range.
inline double ExpectedPhysical(int32_t v, int32_t dmin, int32_t dmax, double pmin, double pmax, double edfMin,
                               double edfMax, double k = 1.0, double c = 0.0) {
    if (v == 0x7FFFC0 || v == 0x7FFFFF)
        return edfMax;
    if (v == 0x7FFF80)
        return edfMin;
    double p = pmin + (static_cast<double>(v) - dmin) * (pmax - pmin) / (static_cast<double>(dmax) - dmin);
    return std::clamp(k * p + c, std::min(edfMin, edfMax), std::max(edfMin, edfMax));
}

// The wave type of a calibrated DC channel (raw description entry) and the
// line value = k x input + c its export follows: the line through the
// calibrated values of the wave type's input limits. Null when the channel is
// not calibrated; a raw export calibrates only with the study's calibration,
// a montage export also with the wave type's nominal one.
inline const CWaveType* CalibrationLine(const CKeyTree& desc, const CKeyTree& raw, bool nominalToo, double& k,
                                        double& c) {
    const CWaveType* wt = WaveTypePtrLookup(IntOf(raw.GetAt(L"DisplayType"), -1));
    const CKeyTree* calibration = AsKeyTree(desc.GetAt(L"Study.Calibration"));
    if (!wt || wt->GetKind() != CWaveType::KindCalibratedDC ||
        (!nominalToo && !wt->LoadCalibration(CCalFileArchivist(calibration)).IsFromStudy()))
        return nullptr;
    const double x = wt->GetInputLimitX() * -1e6, y = wt->GetInputLimitY() * -1e6;
    const double lo = std::min(x, y), hi = std::max(x, y);
    const double p = wt->ToCalibrated(lo, calibration), q = wt->ToCalibrated(hi, calibration);
    k = (q - p) / (hi - lo);
    c = q - hi * k;
    return wt;
}

inline double Step(const edf_param_struct& p) {
    return std::fabs(p.phys_max - p.phys_min) / (static_cast<double>(p.dig_max) - p.dig_min);
}

inline const CKeyTree* RawEntry(const CKeyTree& desc, int i) {
    return AsKeyTree(AsItemList(desc.GetAt(L"Channels.Raw"))->GetChild(i));
}

} // namespace sk::test

// Fuzzes montage loading and calibration reading from key trees, reached
// through the key tree's text form (so mutations stay structured) and its
// binary image. Whatever loads must save and load back to equal montaging.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/KeyTree.h"
#include "platform/recording/Montage.h"
#include "platform/recording/WaveType.h"

namespace {

void CheckMontage(const CKeyTree& tree, int headboxType) {
    CMontage m(headboxType);
    if (m.Load(&tree) != 0) {
        if (m.GetSize() != 0) std::abort(); // a failed load leaves the montage empty
        return;
    }
    for (int i = 0; i < m.GetSize(); ++i) {
        const CMontageChannel* ch = m.GetChannel(i);
        if (!ch) std::abort();
        for (int c : ch->FindChannelComponents())
            if (c < 0 || c >= CMontage::kMaxInputs) std::abort();
        (void)m.GetInputName(i);
    }
    for (int type = 0; type <= 28; ++type) (void)m.IsApplicable(type);
    CKeyTree saved;
    if (m.Save(saved) != 0) std::abort();
    CMontage back(0);
    if (back.Load(&saved) != 0 || !back.IsMontagingEqual(m) || back.GetMontageName() != m.GetMontageName())
        std::abort();
}

void CheckCalibration(const CKeyTree& tree) {
    const CKeyTree* cal = AsKeyTree(tree.GetAt(L"Calibration"));
    if (!cal) cal = &tree;
    CCalFileArchivist archivist(cal);
    for (int d = 0; d < sk::display::Count; ++d) {
        const CWaveType* w = WaveTypePtrLookup(d);
        CWaveCalibration c = w->LoadCalibration(archivist);
        // The conversion passes through every point of a moderate calibration.
        for (const auto& p : c.Points()) {
            if (std::fabs(p.input) > 1e12 || std::fabs(p.value) > 1e12) continue;
            if (std::fabs(c.Convert(p.input) - p.value) > 1e-6 * (1.0 + std::fabs(p.value))) std::abort();
        }
        (void)w->ToCalibrated(0.0, c);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int headboxType = data[0] % 29;
    const bool text = data[1] & 1;
    CKeyTree tree;
    if (text ? tree.FromString(std::wstring(data + 2, data + size)) : tree.Unbinarize(data + 2, size - 2)) {
        CheckMontage(tree, headboxType);
        CheckCalibration(tree);
    }
    return 0;
}

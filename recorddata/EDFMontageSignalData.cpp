#include "recorddata/EDFMontageSignalData.h"

#include <cmath>
#include <new>
#include <stdexcept>

#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/recording/Montage.h"
#include "platform/recording/MultipleBOSupport.h"
#include "platform/recording/SampleFrame.h"
#include "platform/recording/WaveType.h"

namespace {

constexpr size_t kMaxLabel = 16;

const wchar_t* LabelPrefix(int displayType) {
    switch (displayType) {
    case 0: return L"EEG";
    case 2: return L"ECG";
    case 3: return L"EOG";
    case 4: return L"EMG";
    case 10:
    case 11: return L"Resp";
    default: return nullptr;
    }
}

// The reference text of a derivation: its name, or for an average of several
// inputs the joined input names over their count, or "Ref" when the weights
// do not form an average.
std::wstring ReferenceText(const CHalfMontageChannel* second, const std::vector<std::wstring>& inputNames) {
    if (!second)
        return std::wstring();
    const int count = second->NumberOfCoefficents();
    if (count <= 1)
        return second->GetName();
    std::wstring joined;
    double sum = 0.0;
    for (int i = 0; i < count; ++i) {
        const int ch = second->GetChannel(i);
        if (ch < 0 || static_cast<size_t>(ch) >= inputNames.size())
            throw std::invalid_argument("montage input channel outside the montage's input list");
        if (i > 0)
            joined += L'+';
        joined += inputNames[static_cast<size_t>(ch)];
        sum += second->GetCoefficient(i);
    }
    if (std::trunc(sum + 0.01) == 1.0)
        return L"(" + joined + L")/" + std::to_wstring(count);
    return L"Ref";
}

// Saturating truncation of a double to 32 bits; false for non-finite values.
bool TruncTo32(double v, int32_t& out) {
    if (!std::isfinite(v))
        return false;
    v = std::trunc(v);
    if (v > 2147483647.0)
        v = 2147483647.0;
    if (v < -2147483648.0)
        v = -2147483648.0;
    out = static_cast<int32_t>(v);
    return true;
}

} // namespace

std::wstring CEDFMontageSignalData::BuildLabel(const CMontageChannel& channel,
                                               const std::vector<std::wstring>& inputNames) {
    const wchar_t* prefix = LabelPrefix(channel.GetDisplayType());
    const std::wstring a = channel.GetFirstHalf() ? channel.GetFirstHalf()->GetName() : std::wstring();
    const std::wstring b = ReferenceText(channel.GetSecondHalf(), inputNames);
    std::wstring label;
    if (!prefix) {
        if (b.empty()) {
            label = a;
        } else {
            label = a + L"-" + b;
            if (label.size() > kMaxLabel)
                label = a + L"-Ref";
        }
    } else {
        const std::wstring p(prefix);
        if (b.empty()) {
            label = p + L" " + a;
        } else {
            label = p + L" " + a + L"-" + b;
            if (label.size() > kMaxLabel)
                label = p + L" " + a + L"-Ref";
        }
    }
    if (label.size() > kMaxLabel)
        label.resize(kMaxLabel);
    return label;
}

CEDFMontageSignalData::CEDFMontageSignalData(CMontageChannel* channel, const std::vector<std::wstring>& inputNames)
    : m_channel(channel) {
    Init(inputNames);
}

CEDFMontageSignalData::CEDFMontageSignalData(CMontageChannel* channel, const CMontage* montage)
    : m_channel(channel) {
    static const std::vector<std::wstring> kNoNames;
    Init(montage ? montage->GetInputNames() : kNoNames);
}

CEDFMontageSignalData::~CEDFMontageSignalData() = default;

void CEDFMontageSignalData::Init(const std::vector<std::wstring>& inputNames) {
    if (!m_channel)
        return;
    m_label = BuildLabel(*m_channel, inputNames);
    // A display type without a wave type leaves the units empty; the header
    // then shows no physical dimension rather than a guessed one.
    SetUnitsFromWaveType(m_channel->GetDisplayType());
    ResolveInputs();
}

namespace {

// Construction throws when an input of the channel is not among the inputs it
// is given; the factories turn that into a logged null.
template <class Inputs>
CEDFMontageSignalData* NewOrNull(CMontageChannel* channel, const Inputs& inputs) {
    if (!channel)
        return nullptr;
    try {
        return new CEDFMontageSignalData(channel, inputs);
    } catch (const std::exception&) {
        SKLOG(8, L"CEDFMontageSignalData::CEDFMontageSignalData - input channel outside the montage's input list for '%s'",
              channel->GetName().c_str());
        return nullptr;
    }
}

} // namespace

CEDFMontageSignalData* CEDFMontageSignalData::Create(CMontageChannel* channel, const CMontage* montage) {
    return NewOrNull(channel, montage);
}

CEDFMontageSignalData* CEDFMontageSignalData::Create(CMontageChannel* channel,
                                                     const std::vector<std::wstring>& inputNames) {
    return NewOrNull(channel, inputNames);
}

void CEDFMontageSignalData::SetBOSupport(CDataReaderMultipleBOSupport* mapper) {
    m_boSupport = mapper;
    ResolveInputs();
}

void CEDFMontageSignalData::ResolveInputs() {
    m_active.clear();
    m_reference.clear();
    if (!m_channel)
        return;
    auto resolve = [this](const CHalfMontageChannel* half, std::vector<Input>& into) {
        const int count = half->NumberOfCoefficents();
        into.reserve(static_cast<size_t>(count > 0 ? count : 0));
        for (int i = 0; i < count; ++i) {
            int ch = half->GetChannel(i);
            if (m_boSupport)
                ch = m_boSupport->ChannelNumber_ConfigurationToStorage(ch);
            // An input that is not stored (a breakout not in use, a number
            // beyond the frame) contributes nothing rather than reading
            // outside the frame.
            if (ch < 0 || ch >= frame::kMaxChannels) {
                SKLOG(8, L"CEDFMontageSignalData::ResolveInputs - input %d of '%s' is not a stored channel, ignored",
                      half->GetChannel(i), m_label.c_str());
                continue;
            }
            into.push_back(Input{ch, half->GetCoefficient(i)});
        }
    };
    if (const CHalfMontageChannel* second = m_channel->GetSecondHalf())
        resolve(second, m_reference);
    if (const CHalfMontageChannel* first = m_channel->GetFirstHalf())
        resolve(first, m_active);
}

void CEDFMontageSignalData::ApplyCalibration(CKeyTree* calibration) {
    const CWaveType* waveType = m_channel ? WaveTypePtrLookup(m_channel->GetDisplayType()) : nullptr;
    if (!waveType || waveType->GetKind() != CWaveType::KindCalibratedDC) {
        Finalize();
        return;
    }
    const double a = waveType->GetCalibratedMinimum();
    const double b = waveType->GetCalibratedMaximum();
    const CCalFileArchivist archivist(calibration);
    const CWaveCalibration cal = waveType->LoadCalibration(archivist);
    const double x = waveType->GetInputLimitX() * -1000000.0;
    const double y = waveType->GetInputLimitY() * -1000000.0;
    const double lo = x < y ? x : y;
    const double hi = x < y ? y : x;
    const double p = waveType->ToCalibrated(lo, cal);
    const double q = waveType->ToCalibrated(hi, cal);
    const double k = (q - p) / (hi - lo);
    const double c = q - hi * k;
    const double rawA = (a - c) / k;
    const double rawB = (b - c) / k;

    const int32_t inDigDiff = static_cast<int32_t>(static_cast<int64_t>(m_inDigMax) - m_inDigMin);
    const double inScale = (m_inPhysMax - m_inPhysMin) / static_cast<double>(inDigDiff);
    const double inOffset = m_inPhysMax - m_inDigMax * inScale;
    int32_t digMin = 0, digMax = 0;
    if (!TruncTo32((rawA - inOffset) / inScale, digMin) || !TruncTo32((rawB - inOffset) / inScale, digMax) ||
        digMin == digMax) {
        // A flat calibration or an empty input range cannot be inverted;
        // the channel keeps its uncalibrated range.
        SKLOG(8, L"CEDFMontageSignalData::ApplyCalibration - calibration of '%s' cannot be applied, using the input range",
              m_label.c_str());
        Finalize();
        return;
    }
    // A falling calibration maps the physical range onto a reversed digital
    // one; order it by digital value as for any input range.
    SetInputRange(digMin, digMax, a, b);
    Finalize();
}

inline int16_t CEDFMontageSignalData::SampleOf(const uint8_t* f) const {
    if (frame::Flags(f) & frame::kFlagNoData)
        return m_zeroCode;
    // Reference first: an out-of-range reference decides the sample whatever
    // the active inputs hold.
    double referenceSum = 0.0;
    int referenceState = 0; // 1 above range, -1 below range
    for (const Input& in : m_reference) {
        const int32_t v = frame::Value(f, in.storage);
        if (v == frame::kAboveRangeA || v == frame::kAboveRangeB) {
            referenceState = 1;
            break;
        }
        if (v == frame::kBelowRange) {
            referenceState = -1;
            break;
        }
        referenceSum += (v * m_inputScale + m_inputOffset) * in.coefficient;
    }
    if (referenceState > 0)
        return static_cast<int16_t>(m_edfDigMax);
    if (referenceState < 0)
        return static_cast<int16_t>(m_edfDigMin);
    double activeSum = 0.0;
    for (const Input& in : m_active) {
        const int32_t v = frame::Value(f, in.storage);
        if (v == frame::kAboveRangeA || v == frame::kAboveRangeB)
            return static_cast<int16_t>(m_edfDigMax);
        if (v == frame::kBelowRange)
            return static_cast<int16_t>(m_edfDigMin);
        activeSum += (v * m_inputScale + m_inputOffset) * in.coefficient;
    }
    return ClampToEDF((activeSum - referenceSum - m_outputOffset) / m_outputScale + 0.5);
}

int16_t CEDFMontageSignalData::GetSample(const uint8_t* frame) const { return SampleOf(frame); }

void CEDFMontageSignalData::WriteSamples(const uint8_t* frames, uint32_t sampleCount, uint8_t* out) const {
    for (uint32_t i = 0; i < sampleCount; ++i) {
        const uint16_t v = static_cast<uint16_t>(SampleOf(frames + static_cast<size_t>(i) * frame::kFrameSize));
        out[2 * static_cast<size_t>(i)] = static_cast<uint8_t>(v);
        out[2 * static_cast<size_t>(i) + 1] = static_cast<uint8_t>(v >> 8);
    }
}

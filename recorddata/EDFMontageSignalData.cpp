#include "recorddata/EDFMontageSignalData.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/recording/Montage.h"
#include "platform/recording/MultipleBOSupport.h"
#include "platform/recording/SampleFrame.h"
#include "platform/recording/WaveType.h"

static_assert(std::endian::native == std::endian::little, "EDF samples are stored as the host holds them");

namespace {

constexpr size_t kMaxLabel = 16;

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

} // namespace

std::wstring CEDFMontageSignalData::BuildLabel(const CMontageChannel& channel,
                                               const std::vector<std::wstring>& inputNames) {
    const std::wstring a = channel.GetFirstHalf() ? channel.GetFirstHalf()->GetName() : std::wstring();
    // A name that already carries a signal type keeps it alone.
    const wchar_t* prefix = HasSignalType(a) ? nullptr : SignalTypeOf(channel.GetDisplayType());
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

bool CEDFMontageSignalData::ApplyCalibration(CKeyTree* calibration) {
    const CWaveType* waveType = m_channel ? WaveTypePtrLookup(m_channel->GetDisplayType()) : nullptr;
    if (!waveType || waveType->GetKind() != CWaveType::KindCalibratedDC) {
        Finalize();
        return false;
    }
    return Calibrate(waveType, waveType->LoadCalibration(CCalFileArchivist(calibration)));
}

template <class ValueAt>
inline int16_t CEDFMontageSignalData::Derive(ValueAt valueAt) const {
    // Reference first: an out-of-range reference decides the sample whatever
    // the active inputs hold.
    double referenceSum = 0.0;
    int referenceState = 0; // 1 above range, -1 below range
    for (const Input& in : m_reference) {
        const int32_t v = valueAt(in.storage);
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
        const int32_t v = valueAt(in.storage);
        if (v == frame::kAboveRangeA || v == frame::kAboveRangeB)
            return static_cast<int16_t>(m_edfDigMax);
        if (v == frame::kBelowRange)
            return static_cast<int16_t>(m_edfDigMin);
        activeSum += (v * m_inputScale + m_inputOffset) * in.coefficient;
    }
    return ClampToEDF((activeSum - referenceSum - m_outputOffset) / m_outputScale + 0.5);
}

inline int16_t CEDFMontageSignalData::SampleOf(const uint8_t* f) const {
    if (frame::Flags(f) & frame::kFlagNoData)
        return m_zeroCode;
    return Derive([f](int32_t storage) { return frame::Value(f, storage); });
}

int16_t CEDFMontageSignalData::GetSample(const uint8_t* frame) const { return SampleOf(frame); }

void CEDFMontageSignalData::WriteColumns(const Columns& columns, uint32_t count, uint8_t* out) const {
    // Each half is summed input by input over a chunk of samples, in the
    // order Derive sums them, so every sum and code is the same as its;
    // a chunk holding an out-of-range code (all three lie in
    // 0x7FFF80..0x7FFFFF) has those samples derived again one by one.
    constexpr uint32_t kChunk = 128;
    double reference[kChunk];
    double active[kChunk];
    const double scale = m_inputScale;
    const double offset = m_inputOffset;
    auto sum = [&](const std::vector<Input>& inputs, double* into, uint32_t first, uint32_t n) {
        uint32_t rare = 0;
        for (uint32_t i = 0; i < n; ++i)
            into[i] = 0.0;
        for (const Input& in : inputs) {
            const int32_t* v = columns.Column(in.storage) + first;
            const double coefficient = in.coefficient;
            for (uint32_t i = 0; i < n; ++i) {
                rare |= static_cast<uint32_t>(v[i]) - static_cast<uint32_t>(frame::kBelowRange) < 0x80u;
                into[i] += (v[i] * scale + offset) * coefficient;
            }
        }
        return rare;
    };
    for (uint32_t first = 0; first < count; first += kChunk) {
        const uint32_t n = std::min(kChunk, count - first);
        const uint32_t rare = sum(m_reference, reference, first, n) | sum(m_active, active, first, n);
        uint8_t* o = out + 2 * static_cast<size_t>(first);
        for (uint32_t i = 0; i < n; ++i) {
            const int16_t code = ClampToEDF((active[i] - reference[i] - m_outputOffset) / m_outputScale + 0.5);
            std::memcpy(o + 2 * static_cast<size_t>(i), &code, 2); // little-endian host
        }
        if (rare)
            for (uint32_t i = 0; i < n; ++i) {
                const uint32_t at = first + i;
                const int16_t code = Derive([&](int32_t storage) { return columns.Column(storage)[at]; });
                std::memcpy(o + 2 * static_cast<size_t>(i), &code, 2);
            }
    }
}

void CEDFMontageSignalData::WriteSamples(const uint8_t* frames, uint32_t sampleCount, uint8_t* out) const {
    for (uint32_t i = 0; i < sampleCount; ++i) {
        const uint16_t v = static_cast<uint16_t>(SampleOf(frames + static_cast<size_t>(i) * frame::kFrameSize));
        out[2 * static_cast<size_t>(i)] = static_cast<uint8_t>(v);
        out[2 * static_cast<size_t>(i) + 1] = static_cast<uint8_t>(v >> 8);
    }
}

#include "recorddata/EDFSignalData.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/Log.h"
#include "platform/recording/SampleFrame.h"
#include "platform/recording/WaveType.h"

namespace {

constexpr int32_t kEdfMin = -32768;
constexpr int32_t kEdfMax = 32767;

// Truncation toward zero into 16 bits. Values beyond 16 bits saturate rather
// than wrap.
int16_t TruncTo16(double v) {
    if (!std::isfinite(v))
        return 0;
    v = std::trunc(v);
    if (v > kEdfMax)
        return static_cast<int16_t>(kEdfMax);
    if (v < kEdfMin)
        return static_cast<int16_t>(kEdfMin);
    return static_cast<int16_t>(v);
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

uint32_t CEDFSignalData::CEDFSignalWriter::Write(int64_t, int64_t, const uint8_t* frames,
                                                 uint32_t sampleCount, uint8_t* out) {
    m_owner->WriteSamples(frames, sampleCount, out);
    return 2u * sampleCount;
}

CEDFSignalData::CEDFSignalData() : m_writer(this) {}

CEDFSignalData::~CEDFSignalData() = default;

std::wstring CEDFSignalData::GetLabel() const { return m_label; }

void CEDFSignalData::GetRange(int32_t& digitalMin, int32_t& digitalMax, double& physicalMin,
                              double& physicalMax) const {
    digitalMin = m_edfDigMin;
    digitalMax = m_edfDigMax;
    if (m_invert) {
        physicalMin = -m_edfPhysMin;
        physicalMax = -m_edfPhysMax;
    } else {
        physicalMin = m_edfPhysMin;
        physicalMax = m_edfPhysMax;
    }
}

int32_t CEDFSignalData::GetRecordSize(double recordDuration, double sampleFrequency) const {
    return SixteenBitRecordSize(recordDuration, sampleFrequency);
}

IEDFRecordWriter* CEDFSignalData::GetWriter() { return &m_writer; }

void CEDFSignalData::SetLabel(const std::wstring& label) { m_label = label; }

void CEDFSignalData::SetInputRange(int32_t digitalMin, int32_t digitalMax, double physicalMin,
                                   double physicalMax) {
    if (digitalMin > digitalMax) {
        std::swap(digitalMin, digitalMax);
        std::swap(physicalMin, physicalMax);
    }
    m_inDigMin = digitalMin;
    m_inDigMax = digitalMax;
    m_inPhysMin = physicalMin;
    m_inPhysMax = physicalMax;
}

void CEDFSignalData::Finalize() {
    const int64_t span = std::llabs(static_cast<int64_t>(m_inDigMax) - m_inDigMin);
    if (span >= 65535) {
        m_edfDigMin = kEdfMin;
        m_edfDigMax = kEdfMax;
    } else {
        m_edfDigMin = m_inDigMin > kEdfMin ? m_inDigMin : kEdfMin;
        m_edfDigMax = m_inDigMax < kEdfMax ? m_inDigMax : kEdfMax;
        // An input range lying wholly above or below 16 bits would leave a
        // minimum above the maximum, which no reader can interpret: fall back
        // to the full 16-bit range for it.
        if (m_edfDigMin > kEdfMax || m_edfDigMax < kEdfMin) {
            m_edfDigMin = kEdfMin;
            m_edfDigMax = kEdfMax;
        }
    }
    m_edfPhysMin = m_inPhysMin;
    m_edfPhysMax = m_inPhysMax;

    // The digital difference is a 32-bit quantity; a span beyond 32 bits wraps.
    const int32_t inDigDiff = static_cast<int32_t>(static_cast<int64_t>(m_inDigMax) - m_inDigMin);
    m_inputScale = (m_inPhysMax - m_inPhysMin) / static_cast<double>(inDigDiff);
    m_inputOffset = m_inPhysMax - m_inDigMax * m_inputScale;
    m_outputScale = (m_edfPhysMax - m_edfPhysMin) / static_cast<double>(m_edfDigMax - m_edfDigMin);
    m_outputOffset = m_edfPhysMax - m_edfDigMax * m_outputScale;
    m_gain = m_inputScale / m_outputScale;
    m_offset = (m_inputOffset - m_outputOffset) / m_outputScale;
    const double zero = -(m_outputOffset / m_outputScale);
    if (std::isfinite(zero)) {
        m_zeroCode = TruncTo16(zero);
    } else {
        // A range without extent has no scale; its nearest code to 0 stands in.
        m_zeroCode = static_cast<int16_t>(m_edfDigMin > 0 ? m_edfDigMin : (m_edfDigMax < 0 ? m_edfDigMax : 0));
    }
}

bool CEDFSignalData::Calibrate(const CWaveType* waveType, const CWaveCalibration& calibration) {
    if (!waveType || waveType->GetKind() != CWaveType::KindCalibratedDC) {
        Finalize();
        return false;
    }
    const double a = waveType->GetCalibratedMinimum();
    const double b = waveType->GetCalibratedMaximum();
    const double x = waveType->GetInputLimitX() * -1000000.0;
    const double y = waveType->GetInputLimitY() * -1000000.0;
    const double lo = x < y ? x : y;
    const double hi = x < y ? y : x;
    const double p = waveType->ToCalibrated(lo, calibration);
    const double q = waveType->ToCalibrated(hi, calibration);
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
        SKLOG(8, L"CEDFSignalData::Calibrate - calibration of '%s' cannot be applied, using the input range",
              m_label.c_str());
        Finalize();
        return false;
    }
    // A falling calibration maps the physical range onto a reversed digital
    // one; order it by digital value as for any input range.
    SetInputRange(digMin, digMax, a, b);
    Finalize();
    return true;
}

std::wstring CEDFSignalData::GetTransducerType() const { return m_transducer; }

void CEDFSignalData::WriteSamples(const uint8_t* frames, uint32_t sampleCount, uint8_t* out) const {
    for (uint32_t i = 0; i < sampleCount; ++i) {
        const uint16_t v = static_cast<uint16_t>(GetSample(frames + static_cast<size_t>(i) * frame::kFrameSize));
        out[2 * static_cast<size_t>(i)] = static_cast<uint8_t>(v);
        out[2 * static_cast<size_t>(i) + 1] = static_cast<uint8_t>(v >> 8);
    }
}

#pragma once
// One record data processor per output signal of an EDF file. A processor
// answers the header's questions about its signal and owns a writer that
// turns the sample frames of one data record into that signal's bytes.

#include <cstdint>
#include <string>
#include <utility>

#include "platform/SkrivoExport.h"

// Writer of one signal's part of each data record.
class SKRIVO_API IEDFRecordWriter {
public:
    virtual ~IEDFRecordWriter() = default;

    // Per-file preparation. startFraction is the sub-second part of the
    // recording's start time in seconds, startStamp the stamp of the file's
    // first sample. Only the annotation writer needs it.
    virtual void Initialize(double startFraction, int64_t startStamp, double sampleFrequency,
                            int32_t decimation, double recordDuration) {
        (void)startFraction; (void)startStamp; (void)sampleFrequency; (void)decimation;
        (void)recordDuration;
    }

    // Fills this signal's part of one data record. recordStart/recordEnd are
    // the stamps of the record's first and last frame; frames points at
    // sampleCount (or more) sample frames laid out frame::kFrameSize bytes
    // apart; out receives 2 x sampleCount bytes of little-endian 16-bit values
    // (any alignment). Returns the number of bytes written.
    virtual uint32_t Write(int64_t recordStart, int64_t recordEnd, const uint8_t* frames,
                           uint32_t sampleCount, uint8_t* out) = 0;
};

class SKRIVO_API CEDFRecordData {
public:
    CEDFRecordData() = default;
    CEDFRecordData(const CEDFRecordData&) = delete;            // writers point back at their owner
    CEDFRecordData& operator=(const CEDFRecordData&) = delete;
    virtual ~CEDFRecordData();

    virtual std::wstring GetLabel() const = 0;
    virtual std::wstring GetTransducerType() const;
    virtual std::wstring GetPrefiltering() const;
    virtual void GetRange(int32_t& digitalMin, int32_t& digitalMax, double& physicalMin,
                          double& physicalMax) const = 0;
    // Bytes this signal occupies in one data record; the header's samples per
    // record is half of it.
    virtual int32_t GetRecordSize(double recordDuration, double sampleFrequency) const = 0;
    virtual IEDFRecordWriter* GetWriter() = 0;

    // Keeps the text as given and derives the EDF form: "µ" -> "u", "°" ->
    // "deg", then "breaths/min" and "beats/min" -> "bpm", "litres/min" -> "l/min".
    void SetUnits(const std::wstring& units);
    // Units from the module's string table (e.g. 108 "On/Off").
    void SetUnitsFromResource(int resourceId);
    // Units text of the wave type for a display type; false (units left
    // unchanged) when the display type has no wave type.
    bool SetUnitsFromWaveType(int displayType);

    const std::wstring& GetUnits() const { return m_units.first; }
    // The physical dimension as the EDF header shows it.
    const std::wstring& GetEDFUnits() const { return m_units.second; }

    // The EDF form of a units text (exposed for callers that need the rule
    // without a processor).
    static std::wstring ToEDFUnits(const std::wstring& units);

    // Width of the header's label field.
    static constexpr size_t kLabelWidth = 16;
    // Signal type word that leads an EDF+ label ("EEG", "EOG", "SaO2", ...)
    // for a display type; null for a display type of unknown kind.
    static const wchar_t* SignalTypeOf(int displayType);
    // "<type> <name>" cut to the label field. The name is kept as it is when
    // there is no type or when it already begins with a signal type word and
    // a space.
    static std::wstring TypedLabel(const wchar_t* type, const std::wstring& name);
    // True when the label begins with a signal type word and a space.
    static bool HasSignalType(const std::wstring& label);

protected:
    // Bytes of 16-bit samples a record of recordDuration seconds holds at
    // sampleFrequency: 0 for no samples, capped to the largest even int32.
    static int32_t SixteenBitRecordSize(double recordDuration, double sampleFrequency);
    // Digital 0..1 shown as physical 0..1, the range of every on/off signal.
    static void OnOffRange(int32_t& digitalMin, int32_t& digitalMax, double& physicalMin,
                           double& physicalMax);

    std::pair<std::wstring, std::wstring> m_units; // as given, EDF form
};

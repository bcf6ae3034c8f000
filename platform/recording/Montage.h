#pragma once
// Montages: ordered derivations over the inputs of a headbox. Each montage
// channel has up to two halves (first = active input, second = reference);
// a half is a weighted sum of input channels given by configuration number.
//
// Key layout (".mtg" files are key-tree files; the recording montage note's
// "Data" subtree uses the same layout); see docs/formats/montage.md:
//   "Type"      string   "Montage"
//   "Name"      string   montage name
//   "HBType"    integer  headbox type the montage was made for; 0 = any
//   "Inputs"    list of strings: input channel names by configuration number
//   "Channels"  list of trees, in montage order:
//       "Name"         string   derivation label
//       "DisplayType"  integer  (see WaveType.h)
//       "First", "Second"  optional trees, one per present half:
//           "Name"      string   (optional; defaults to the single input's name)
//           "Inputs"    list of trees: "Channel" integer, "Coefficient" real
//
// Loading is strict about structure and bounded: at most kMaxChannels
// derivations, kMaxInputs inputs and kMaxCoefficients per half; a channel
// number must be non-negative and below kMaxInputs. Anything else makes Load
// fail (non-zero) and leaves the montage empty.

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/SkrivoExport.h"

class CKeyTree;

class SKRIVO_API CHalfMontageChannel {
public:
    CHalfMontageChannel() = default;

    void AddInput(int channel, float coefficient);
    void SetName(const std::wstring& name) { m_name = name; }

    // Stored name, or the name given when the half has a single input and no
    // stored name (see CMontage::Load).
    const std::wstring& GetName() const { return m_name; }
    int NumberOfCoefficents() const { return static_cast<int>(m_channels.size()); }
    // Configuration channel number of input i, or -1 when out of range.
    int GetChannel(int i) const;
    // Coefficient of input i, or 0 when out of range.
    float GetCoefficient(int i) const;
    // Has at least one input and every channel number lies in 0 .. limit-1
    // (limit <= 0: any non-negative number).
    bool IsValid(int channelLimit) const;

    bool IsMontagingEqual(const CHalfMontageChannel& other) const;

private:
    std::wstring m_name;
    std::vector<int> m_channels;
    std::vector<float> m_coefficients;
};

class SKRIVO_API CMontageChannel {
public:
    CMontageChannel() = default;
    CMontageChannel(const std::wstring& name, int displayType) : m_name(name), m_displayType(displayType) {}

    const std::wstring& GetName() const { return m_name; }
    void SetName(const std::wstring& name) { m_name = name; }
    int GetDisplayType() const { return m_displayType; }
    void SetDisplayType(int displayType) { m_displayType = displayType; }

    // Null when the half is absent.
    const CHalfMontageChannel* GetFirstHalf() const { return m_first.get(); }
    const CHalfMontageChannel* GetSecondHalf() const { return m_second.get(); }
    CHalfMontageChannel* GetFirstHalf() { return m_first.get(); }
    CHalfMontageChannel* GetSecondHalf() { return m_second.get(); }
    void SetFirstHalf(const CHalfMontageChannel& half) { m_first = std::make_unique<CHalfMontageChannel>(half); }
    void SetSecondHalf(const CHalfMontageChannel& half) { m_second = std::make_unique<CHalfMontageChannel>(half); }
    void ClearFirstHalf() { m_first.reset(); }
    void ClearSecondHalf() { m_second.reset(); }

    // Configuration numbers of every input of both halves.
    std::set<int> FindChannelComponents() const;

    CMontageChannel(const CMontageChannel& other);
    CMontageChannel& operator=(const CMontageChannel& other);
    CMontageChannel(CMontageChannel&&) noexcept = default;
    CMontageChannel& operator=(CMontageChannel&&) noexcept = default;

private:
    std::wstring m_name;
    int m_displayType = 0;
    std::unique_ptr<CHalfMontageChannel> m_first;
    std::unique_ptr<CHalfMontageChannel> m_second;
};

class SKRIVO_API CMontage {
public:
    static constexpr int kMaxChannels = 1024;
    static constexpr int kMaxInputs = 1024;
    static constexpr int kMaxCoefficients = 1024;

    explicit CMontage(int headboxType = 0);

    // Loads from a montage tree. A null tree loads the headbox's default
    // montage: one referential derivation per configuration channel (its
    // first half that channel with coefficient 1, no second half), labelled
    // and with input names from the headbox's "DefaultChanNameList"; that
    // succeeds for headbox types 1 .. 27 and fails for others. Returns 0 on
    // success; on failure the montage is left empty.
    int Load(const CKeyTree* tree);
    // Loads a ".mtg" key-tree file. 0 on success.
    int Load(const std::wstring& path);

    // Writes the montage into the tree (emptied first), in the layout above.
    // 0 on success.
    int Save(CKeyTree& tree) const;
    // Writes a ".mtg" file atomically. 0 on success.
    int Save(const std::wstring& path) const;

    const std::wstring& GetMontageName() const { return m_name; }
    void SetMontageName(const std::wstring& name) { m_name = name; }
    // The headbox type of the montage: the loaded "HBType", or the type given
    // at construction when the tree has none.
    int GetHeadboxType() const { return m_headboxType; }
    void SetHeadboxType(int headboxType) { m_headboxType = headboxType; }

    // True when the montage fits the headbox: its headbox type is that type
    // or 0 (any headbox), and every input it uses lies below that headbox's
    // channel count. False for unknown headbox types and empty montages.
    bool IsApplicable(int headboxType) const;
    // Same derivations (count, order, and per half the inputs and
    // coefficients); names, display types and the montage name are ignored.
    bool IsMontagingEqual(const CMontage& other) const;

    int GetSize() const { return static_cast<int>(m_channels.size()); }
    int GetChannelCount() const { return GetSize(); }
    // Null when out of range.
    const CMontageChannel* GetChannel(int i) const;
    CMontageChannel* GetChannel(int i);
    void AddChannel(const CMontageChannel& channel) { m_channels.push_back(channel); }

    // Input names by configuration channel number.
    const std::vector<std::wstring>& GetInputNames() const { return m_inputs; }
    void SetInputNames(const std::vector<std::wstring>& names) { m_inputs = names; }
    // Name of an input, or empty when the number is out of range.
    std::wstring GetInputName(int channel) const;

    void Empty();

private:
    int m_headboxType;
    std::wstring m_name;
    std::vector<std::wstring> m_inputs;
    std::vector<CMontageChannel> m_channels;
};

namespace sk {

// Builds the standard recording montage of a headbox type (false when the
// type is outside 1 .. 27): one derivation per configuration channel, in
// configuration order, so that derivation c is configuration channel c. Its
// first half is that input with coefficient 1 (recorded against the
// amplifier's common reference), no second half; its name and the input
// names come from "DefaultChanNameList", or "DefaultSleepChanNameList" when
// sleep is true and that list is not empty; its display type follows the
// input (EEG, EOG, EMG, ECG, respiration, and the DC wave types such as SpO2
// and body position, which are calibrated). Name "Recording", type
// "Montage", HBType the headbox type.
SKRIVO_API bool BuildRecordingMontage(int headboxType, bool sleep, CMontage& montage);
// Bipolar longitudinal ("double banana") over the 10-20 inputs the headbox
// has, followed by the polygraphic and DC derivations of the referential
// montage. False when the type is unknown or has no 10-20 EEG inputs.
SKRIVO_API bool BuildBipolarMontage(int headboxType, CMontage& montage);
// Display type of a configuration channel of a headbox (by its default name
// and kind); -1 when the channel or type is unknown.
SKRIVO_API int DefaultDisplayType(int headboxType, int configurationChannel);

} // namespace sk

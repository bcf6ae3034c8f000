#pragma once
// Channel-number mapping for headboxes whose channels are spread over
// breakout boxes (headbox type 20). Only the channels of the breakout boxes in
// use are stored, so the position of a channel in the raw data file (storage
// numbering) differs from its number in the headbox configuration.
//
// Headbox type 20 layout (see docs/headboxes.md):
//   configuration 0 .. 511   breakout b (0-based) holds 128*b .. 128*b+127 (AC)
//   configuration 512 .. 543 the base unit's 32 DC inputs
//   storage 0 .. 31          the base unit's DC inputs (configuration 512 ..)
//   storage 32 .. 32+128*B-1 the breakout channels of breakouts 0 .. B-1
// so with B breakouts 32 + 128*B channels are stored.
//
// Any other headbox type maps one-to-one over its configuration channels.

#include <cstdint>

#include "platform/SkrivoExport.h"

class CKeyTree;

class SKRIVO_API CDataReaderMultipleBOSupport {
public:
    static constexpr int kMultiBreakoutHeadboxType = 20;
    static constexpr int kChannelsPerBreakout = 128;
    static constexpr int kMaxBreakouts = 4;
    static constexpr int kBaseDCChannels = 32;

    CDataReaderMultipleBOSupport() = default;

    // Prepares the mapping. breakouts is clamped to 1 .. 4; the study tree
    // (may be null) is not needed for the mapping. Returns false when the
    // headbox type is unknown (outside 1 .. 27; the mapper then maps nothing)
    // or the breakout count had to be clamped.
    bool setHeadboxType(int headboxType, int breakouts, const CKeyTree* study);
    bool setHeadboxType(int headboxType, int breakouts, const CKeyTree& study) {
        return setHeadboxType(headboxType, breakouts, &study);
    }

    // Storage index of a configuration channel, or -1 when that channel is
    // not stored (a breakout not in use) or the number is out of range.
    int ChannelNumber_ConfigurationToStorage(int configuration) const;
    // Configuration number of a storage index, or -1 when out of range.
    int ChannelNumber_StorageToConfiguration(int storage) const;

    // Number of configuration channels on the breakout boxes in use
    // (128 per breakout): the channels 0 .. count-1 that the per-breakout
    // range selection covers. For other headbox types the configuration
    // channel count.
    int GetCoveredChannelCount() const;
    // Number of stored channels (DC inputs plus breakout channels).
    int GetStorageChannelCount() const;
    // Number of configuration channels of the headbox (544 for type 20).
    int GetConfigurationChannelCount() const { return m_configCount; }

    int GetHeadboxType() const { return m_type; }
    int GetBreakouts() const { return m_breakouts; }

private:
    int m_type = 0;
    int m_breakouts = 0;
    int m_configCount = 0;
};

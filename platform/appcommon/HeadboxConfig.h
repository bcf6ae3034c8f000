#pragma once
// Headbox (amplifier) descriptions: the table of headbox classes indexed by
// headbox type, and the description object each class creates.
//
// Configuration channel numbering: AC channels first (0 .. AC count - 1),
// then the DC channels. Every per-channel answer below (name lists, channel
// ranges) is in that order. Headbox types are 1 .. 27; 0 and everything from
// 28 up name no headbox. See docs/headboxes.md for the table.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/KeyTree.h"
#include "platform/SkrivoExport.h"
#include "platform/appcommon/PhysicalUnits.h"

class CKadeHeadbox;

// One entry of the headbox class table: creates description objects of one
// headbox type.
struct SKRIVO_API CHeadboxClass {
    int m_nType;                  // headbox type, 1 .. 27
    const wchar_t* m_lpszName;    // model name, e.g. L"Routine EEG 24"
    CKadeHeadbox* (*m_pfnCreate)(); // factory; the caller owns the result

    // New description object (owned by the caller); never null.
    CKadeHeadbox* CreateObject() const { return m_pfnCreate(); }
};

class SKRIVO_API CKadeHeadbox {
public:
    // Input range of one configuration channel as the headbox reports it
    // (before any correction an exporter may apply for known quirks).
    struct ChannelRange {
        int32_t digitalMaximum = 0;
        int32_t digitalMinimum = 0;
        double physicalMaximum = 0.0;
        double physicalMinimum = 0.0;
        CPhysicalUnits::Units units = CPhysicalUnits::Unknown;
    };

    virtual ~CKadeHeadbox();

    int GetType() const { return m_type; }
    const std::wstring& GetName() const { return m_name; }
    // Number of configuration channels (AC + DC).
    int GetChannelCount() const { return m_channelCount; }
    int GetACChannelCount() const { return m_acCount; }
    int GetDCChannelCount() const { return m_channelCount - m_acCount; }

    // Configuration tree: "Type" (integer), "Name" (string),
    // "ChannelCount", "ACChannelCount" (integers), "DefaultChanNameList" and
    // "DefaultSleepChanNameList" (item lists of CLstring names in
    // configuration order; the sleep list is empty for headboxes that are not
    // used for sleep studies, otherwise it has ChannelCount names).
    const CKeyTree& GetConfiguration() const { return m_config; }
    CKeyTree& GetConfiguration() { return m_config; }

    // Convenience copies of the two name lists.
    std::vector<std::wstring> GetDefaultChannelNames() const;
    std::vector<std::wstring> GetDefaultSleepChannelNames() const;

    // Display type (see platform/recording/WaveType.h) of every configuration
    // channel as the default name list (sleep false) or the sleep name list
    // (sleep true, when that list exists) names it.
    const std::vector<int>& GetDefaultDisplayTypes(bool sleep) const {
        return sleep && !m_sleepDisplayTypes.empty() ? m_sleepDisplayTypes : m_displayTypes;
    }

    // One range per configuration channel (GetChannelCount entries), for a
    // headbox software version (as a number, -1.0 = unknown) and a raw data
    // storage schema (-1 = unknown). Older firmware of some types reports
    // ranges that the exporter corrects; see docs/headboxes.md.
    virtual std::vector<ChannelRange> GetChannelRanges(double swVersion, int schema) const;
    // The ranges the stored samples really have: what GetChannelRanges
    // reports once the known firmware quirks are corrected. Study writers
    // generate samples in these ranges. One per configuration channel.
    virtual std::vector<ChannelRange> GetStorageRanges() const;

protected:
    CKadeHeadbox(int type, const std::wstring& name);

    int m_type = 0;
    std::wstring m_name;
    int m_channelCount = 0;
    int m_acCount = 0;
    CKeyTree m_config;
    // Ranges as reported by current firmware; GetChannelRanges applies the
    // version-dependent quirks on a copy.
    std::vector<ChannelRange> m_ranges;
    std::vector<int> m_displayTypes;
    std::vector<int> m_sleepDisplayTypes; // empty without a sleep list

    friend struct sk_headbox_builder;
};

class SKRIVO_API CKadeHeadboxConfig {
public:
    static constexpr int kFirstType = 1;
    static constexpr int kLastType = 27;
    static constexpr int kTableSize = 28; // index 0 is a null entry

    // Indexed by headbox type. Entry 0 is null; types 1 .. 27 are all
    // present. Index only after checking the range, or use GetHeadboxClass.
    static const std::array<const CHeadboxClass*, kTableSize> m_HeadboxClass;

    // Bounds-checked lookup: null for any type outside 1 .. 27.
    static const CHeadboxClass* GetHeadboxClass(int type);
    // New description object for the type (owned), or null outside 1 .. 27.
    static std::unique_ptr<CKadeHeadbox> CreateHeadbox(int type);
};

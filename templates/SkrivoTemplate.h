#pragma once
// An export template says what is exported from a study and how. It is a key
// tree whose keys hold the settings, plus one flag that tells a stored
// template (read from or written to an ".exp" file) from a working instance
// that the host may change freely. The key names and their stored forms below
// are also the layout of the ".exp" file and of the last-used registry record.
//
// Templates are made only by CSkrivoTemplateManager, which owns every one of
// them until it is destroyed; callers get plain pointers and never delete.

#include <cstdint>
#include <string>

#include "platform/KeyTree.h"
#include "platform/SkrivoExport.h"

class CSkrivoTemplateManager;

class SKRIVO_API CSkrivoTemplate : public CKeyTree {
    friend class CSkrivoTemplateManager;

public:
    // Values passed through the exported functions; the tree stores the texts
    // "EDF" / "EDF+" and "RawData" / "AcquisitionMontage" / "Montage".
    enum ExportFormat { FormatEDF = 0, FormatEDFPlus = 1 };
    enum ChannelDefinition {
        ChannelsRawData = 0,
        ChannelsAcquisitionMontage = 1,
        ChannelsMontage = 2,
    };

    // Key names (top level unless dotted).
    static constexpr const wchar_t* kDeidentify = L"Deidentify";
    static constexpr const wchar_t* kExportChannels = L"ExportChannels";
    static constexpr const wchar_t* kExportFormat = L"ExportFormat";
    static constexpr const wchar_t* kExtension = L"Extension";
    static constexpr const wchar_t* kHBType = L"HBType";
    static constexpr const wchar_t* kIncludePatientEvent = L"IncludePatientEvent";
    static constexpr const wchar_t* kIncludeTriggerEvent = L"IncludeTriggerEvent";
    static constexpr const wchar_t* kInvertAC = L"InvertAC";
    static constexpr const wchar_t* kModality = L"Modality";
    static constexpr const wchar_t* kName = L"Name";
    static constexpr const wchar_t* kPadGaps = L"PadGaps";
    static constexpr const wchar_t* kSpatialMaximum = L"SpatialMaximum";
    static constexpr const wchar_t* kTemporalMaximum = L"TemporalMaximum";
    static constexpr const wchar_t* kUseDecimatedData = L"UseDecimatedData";
    static constexpr const wchar_t* kChannelsSelected = L"Channels.Selected";
    static constexpr const wchar_t* kMontage = L"Montage";
    static constexpr const wchar_t* kFileName = L"FileName";
    // Keys of one entry of "Channels.Selected".
    static constexpr const wchar_t* kEntryChannel = L"Channel";
    static constexpr const wchar_t* kEntrySelected = L"Selected";
    static constexpr const wchar_t* kEntryIndex = L"Index";

    // The format a tree's "ExportFormat" text names: "EDF+" in any letter
    // case is EDF+; anything else, or no text, is plain EDF. The writer, the
    // editor and this class all read the text here, so a hand-written
    // template exports what the editor shows.
    static ExportFormat ExportFormatOf(const CKeyTree& tree);

    // Deep copy of the tree; the copy keeps the source's flag.
    CSkrivoTemplate(const CSkrivoTemplate& other);
    CSkrivoTemplate& operator=(const CSkrivoTemplate& other);

    // Whole tree. Load empties this template and makes it a copy of the
    // source (the flag is untouched); Save makes the target a copy of this
    // template. Both always succeed.
    bool Load(const CKeyTree& source);
    bool Save(CKeyTree& target) const;
    const CKeyTree& GetKeyTree() const { return *this; }

    bool IsTemplate() const { return m_isTemplate; }
    bool IsInstance() const { return !m_isTemplate; }

    // Getters: a missing key (or one of another type) yields the fallback.
    std::wstring GetName() const;              // "Name", fallback ""
    std::wstring GetModality() const;          // "Modality", fallback "EEG"
    int GetHeadboxType() const;                // "HBType", fallback 0
    std::wstring GetExtension() const;         // "Extension", fallback ".EDF"
    ExportFormat GetExportType() const;        // ExportFormatOf(*this)
    ChannelDefinition GetChannelDefinition() const;
    bool GetInvertAC() const;                  // fallback true
    bool GetFillGaps() const;
    bool GetExportDecimatedData() const;
    bool GetDeidentify() const;
    bool GetExportTrigger() const;
    bool GetExportPatientEvent() const;
    int64_t GetSpatialMaximum() const;         // bytes; 0 = no limit
    int GetTemporalMaximum() const;            // seconds; 0 = no limit
    // Empties out for "RawData"; otherwise out becomes a copy of "Montage".
    void GetMontage(CKeyTree& out) const;
    // Entries of "Channels.Selected" for raw data, else of "Montage.Channels".
    int GetTotalChannelCount() const;
    // Entries of "Channels.Selected" that are trees with a non-zero "Selected".
    int GetExportedChannelCount() const;

    // Setters: each leaves its key holding exactly one item of its own type,
    // whatever the key held before.
    void SetName(const std::wstring& name);
    void SetModality(const std::wstring& modality); // "Sleep" (any case) or "EEG"
    void SetHeadboxType(int headboxType);
    void SetExportType(ExportFormat format);        // "EDF+" for 1, else "EDF"
    void SetExtension(const std::wstring& extension);
    void SetInvertAC(bool on);
    void SetFillGaps(bool on);
    void SetExportDecimatedData(bool on);
    void SetDeidentify(bool on);
    void SetExportTrigger(bool on);
    void SetExportPatientEvent(bool on);
    void SetSpatialMaximum(int64_t bytes);
    void SetTemporalMaximum(int seconds);

    // Channel source. For ChannelsRawData the channel list is rebuilt from the
    // headbox's default channel names (the study, when given, supplies the
    // headbox type and modality of a template that has none, and the stored
    // breakouts of the multi-breakout headbox). Other definitions only change
    // "ExportChannels".
    void SetChannelDefinition(ChannelDefinition definition, const CKeyTree* study);
    // Replaces "Montage" with the given tree, which the template takes over
    // (null only removes "Montage"), then rebuilds the channel list from it.
    // "ExportChannels" is not changed.
    void SetMontage(CKeyTree* montage, const CKeyTree* study);

protected:
    CSkrivoTemplate();
    ~CSkrivoTemplate() override;

    void SetIsTemplate() { m_isTemplate = true; }
    void SetDefaults();

    // modalityCode: 2 = sleep, anything else EEG. A headbox type outside the
    // headbox table leaves the channel list unchanged.
    void LoadChannelsFromHeadbox(int headboxType, unsigned modalityCode, const CKeyTree* study);
    // A montage that does not load leaves the channel list unchanged.
    void LoadChannelsFromMontage(const CKeyTree& montage, const CKeyTree* study);

private:
    // Deletes the key, then adds the item (taken over) under the same name.
    void ReplaceKey(const wchar_t* key, CItem* item);

    bool m_isTemplate = false;
};

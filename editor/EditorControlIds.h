#pragma once
// Control and resource ids of the template editor. Every control carries its
// id as object name "ctl<id>" (see sk::editor::ControlName) so tests,
// screenshots and translators can find it.

#include <QString>

namespace sk::editor {

enum ControlId : int {
    IDOK = 1,
    IDCANCEL = 2,
    IDC_SAVE = 101,
    IDD_CHANNELS_PAGE = 103,
    IDD_OPTIONS_PAGE = 104,
    IDC_NAME_LABEL = 204,
    IDC_NAME_EDIT = 205,
    // Options page
    IDC_FORMAT_EDF = 206,
    IDC_FORMAT_EDFPLUS = 207,
    IDC_PAD_GAPS = 208,
    IDC_EXTENSION = 210,
    IDC_DEIDENTIFY = 211,
    IDC_INVERT_AC = 212,
    IDC_LIMIT_NONE = 213,
    IDC_LIMIT_SIZE = 214,
    IDC_LIMIT_DURATION = 215,
    IDC_SIZE_EDIT = 216,
    IDC_DURATION_EDIT = 217,
    IDC_DECIMATED_GROUP = 218,
    IDC_USE_DECIMATED = 219,
    // Channels page
    IDC_CHANNEL_LIST = 220,
    IDC_RAW_DATA = 221,
    IDC_ACQ_MONTAGE = 222,
    IDC_MONTAGE = 223,
    IDC_TRIGGER = 224,
    IDC_MONTAGE_LIST = 225,
    IDC_PATIENT_EVENT = 226,
    IDC_RANGE_FIRST = 227, // "Channels 1 - 64"
    IDC_RANGE_LAST = 234,  // "Channels 449 - 512"
    // The sheet's Apply button (hidden).
    ID_APPLY_NOW = 0x3021,
};

inline QString ControlName(int id) { return QStringLiteral("ctl%1").arg(id); }

} // namespace sk::editor

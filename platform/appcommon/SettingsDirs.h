#pragma once
// Settings folders of the application and of the user, for EEG and sleep
// studies. Montage (".mtg") and template files live here.
//
// Application folder: $SKRIVO_APP_SETTINGS_DIR when set and not empty, else
//   <first entry of $XDG_DATA_DIRS, or /usr/share>/skrivo/settings.
// User folder: $SKRIVO_USER_SETTINGS_DIR when set and not empty, else
//   <$XDG_CONFIG_HOME, or $HOME/.config, or the passwd home/.config>/skrivo.
// Each has an "EEG" and a "Sleep" subfolder; the user's EEG folder is the user
// folder itself (GetUserSettingsDir), its sleep folder the "Sleep" subfolder.
//
//   GetAppSettingsDirByStudyMode(x, STUDY_MODE_EEG)   -> <app>/EEG
//   GetAppSettingsDirByStudyMode(x, STUDY_MODE_SLEEP) -> <app>/Sleep
//   GetUserSettingsDir()                              -> <user>
//   GetUserSettingsSleepDir()                         -> <user>/Sleep
//
// The folders are computed on every call (environment changes take effect at
// once) and are not created. The flag asks for a trailing '/'.

#include <string>

#include "platform/SkrivoExport.h"

enum STUDY_MODE : int {
    STUDY_MODE_EEG = 0,
    STUDY_MODE_SLEEP = 1,
};

SKRIVO_API std::wstring GetAppSettingsDirByStudyMode(bool bTrailingSeparator, int studyMode);
SKRIVO_API std::wstring GetUserSettingsDir(bool bTrailingSeparator = true);
SKRIVO_API std::wstring GetUserSettingsSleepDir(bool bTrailingSeparator = true);

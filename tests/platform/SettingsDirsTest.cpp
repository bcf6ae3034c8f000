#include "platform/appcommon/SettingsDirs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace {

// Sets environment variables for one test and restores them afterwards.
class EnvGuard {
public:
    void Set(const char* name, const char* value) {
        if (!m_saved.count(name)) {
            const char* old = std::getenv(name);
            m_saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~EnvGuard() {
        for (auto& [name, value] : m_saved) {
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> m_saved;
};

TEST(SettingsDirs, EnvironmentOverridesWin) {
    EnvGuard env;
    env.Set("SKRIVO_APP_SETTINGS_DIR", "/srv/app//");
    env.Set("SKRIVO_USER_SETTINGS_DIR", "/home/u/sk");
    EXPECT_EQ(GetAppSettingsDirByStudyMode(true, STUDY_MODE_EEG), L"/srv/app/EEG/");
    EXPECT_EQ(GetAppSettingsDirByStudyMode(true, STUDY_MODE_SLEEP), L"/srv/app/Sleep/");
    EXPECT_EQ(GetAppSettingsDirByStudyMode(false, STUDY_MODE_SLEEP), L"/srv/app/Sleep");
    EXPECT_EQ(GetUserSettingsDir(), L"/home/u/sk/");
    EXPECT_EQ(GetUserSettingsDir(false), L"/home/u/sk");
    EXPECT_EQ(GetUserSettingsSleepDir(), L"/home/u/sk/Sleep/");
    // Changes take effect at once.
    env.Set("SKRIVO_USER_SETTINGS_DIR", "/");
    EXPECT_EQ(GetUserSettingsDir(), L"/");
    EXPECT_EQ(GetUserSettingsSleepDir(false), L"/Sleep");
}

TEST(SettingsDirs, DefaultsFollowXdgFolders) {
    EnvGuard env;
    env.Set("SKRIVO_APP_SETTINGS_DIR", "");
    env.Set("SKRIVO_USER_SETTINGS_DIR", nullptr);
    env.Set("XDG_DATA_DIRS", "/opt/share:/usr/share");
    env.Set("XDG_CONFIG_HOME", "/cfg");
    EXPECT_EQ(GetAppSettingsDirByStudyMode(true, STUDY_MODE_EEG), L"/opt/share/skrivo/settings/EEG/");
    EXPECT_EQ(GetUserSettingsDir(), L"/cfg/skrivo/");
    EXPECT_EQ(GetUserSettingsSleepDir(), L"/cfg/skrivo/Sleep/");

    env.Set("XDG_DATA_DIRS", nullptr);
    env.Set("XDG_CONFIG_HOME", "relative/ignored");
    env.Set("HOME", "/home/alice");
    EXPECT_EQ(GetAppSettingsDirByStudyMode(false, STUDY_MODE_EEG), L"/usr/share/skrivo/settings/EEG");
    EXPECT_EQ(GetUserSettingsDir(false), L"/home/alice/.config/skrivo");
}

TEST(SettingsDirs, UnknownStudyModeIsEEGAndNonAsciiPathsSurvive) {
    EnvGuard env;
    env.Set("SKRIVO_APP_SETTINGS_DIR", "/data/\xC3\xA9tudes");
    EXPECT_EQ(GetAppSettingsDirByStudyMode(true, 7), L"/data/\u00E9tudes/EEG/");
}

} // namespace

#include "platform/appcommon/SettingsDirs.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/TextConv.h"

namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::wstring Widen(const std::string& s) {
    // Paths are bytes here; they are taken as UTF-8 whatever the locale.
    return sk::FromUtf8Lossy(s);
}

std::wstring Join(std::wstring dir, const wchar_t* sub) {
    while (dir.size() > 1 && dir.back() == L'/') dir.pop_back();
    if (!dir.empty() && dir.back() != L'/') dir += L'/';
    return dir + sub;
}

std::string HomeDir() {
    std::string home = Env("HOME");
    if (!home.empty()) return home;
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && result->pw_dir)
        return result->pw_dir;
    return "/tmp";
}

std::wstring AppRoot() {
    std::string dir = Env("SKRIVO_APP_SETTINGS_DIR");
    if (!dir.empty()) return Widen(dir);
    std::string dataDirs = Env("XDG_DATA_DIRS");
    std::string first = dataDirs.substr(0, dataDirs.find(':'));
    if (first.empty()) first = "/usr/share";
    return Widen(first + "/skrivo/settings");
}

std::wstring UserRoot() {
    std::string dir = Env("SKRIVO_USER_SETTINGS_DIR");
    if (!dir.empty()) return Widen(dir);
    std::string config = Env("XDG_CONFIG_HOME");
    if (config.empty() || config[0] != '/') config = HomeDir() + "/.config";
    return Widen(config + "/skrivo");
}

std::wstring Finish(std::wstring dir, bool trailing) {
    while (dir.size() > 1 && dir.back() == L'/') dir.pop_back();
    if (trailing && (dir.empty() || dir.back() != L'/')) dir += L'/';
    return dir;
}

} // namespace

std::wstring GetAppSettingsDirByStudyMode(bool bTrailingSeparator, int studyMode) {
    const wchar_t* sub = studyMode == STUDY_MODE_SLEEP ? L"Sleep" : L"EEG";
    return Finish(Join(AppRoot(), sub), bTrailingSeparator);
}

std::wstring GetUserSettingsDir(bool bTrailingSeparator) { return Finish(UserRoot(), bTrailingSeparator); }

std::wstring GetUserSettingsSleepDir(bool bTrailingSeparator) {
    return Finish(Join(UserRoot(), L"Sleep"), bTrailingSeparator);
}

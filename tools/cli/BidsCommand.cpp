// `skrivo export --bids`'s bridge from the exporter's study description to
// the dataset writer, and `skrivo bids check`, which hands a dataset to the
// official BIDS validator when it is installed.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "BidsExport.h"
#include "Cli.h"
#include "platform/KeyTree.h"
#include "templates/SkrivoTemplate.h"
#include "writer/ExportDetails.h"

extern char** environ;

namespace sk::cli {

namespace fs = std::filesystem;

sk::bids::Options BidsWriterOptions(const BidsOptions& o, const char* version) {
    sk::bids::Options b;
    b.root = o.dir;
    b.mapFile = o.map;
    b.deidentify = o.deidentify;
    b.keyFile = o.key;
    b.keepKey = !o.noKey;
    b.overwrite = o.overwrite;
    b.lineFrequency = o.lineFrequency;
    b.version = version;
    return b;
}

sk::bids::Study BidsStudyOf(const CExportDetails& e, const std::vector<std::string>& files) {
    const CKeyTree& s = e.GetStudyInfo();
    auto str = [&](const wchar_t* key) { return Narrow(AsCStr(s.GetAt(key), L"")); };
    sk::bids::Study b;
    b.source = Narrow(e.GetStudyId());
    b.guid = str(L"Study.StudyGUID");
    b.sleep = IntOf(s.GetAt(L"Study.StudyGroup"), 1) == 2;
    b.patientId = str(L"Info.Admin.ID");
    b.lastName = str(L"Info.Name.LastName");
    b.firstName = str(L"Info.Name.FirstName");
    const std::string sex = str(L"Info.Personal.Gender");
    const char c = sex.empty() ? '\0' : sex[0] == 'm' ? 'M' : sex[0] == 'f' ? 'F' : sex[0];
    if (c == 'M' || c == 'F') b.sex.assign(1, c); // not = "M": g++ 12 warns falsely (-Wrestrict) there
    // Birth dates are stored as days since 30 December 1899.
    const double birth = RealOf(s.GetAt(L"Info.Personal.BirthDate"), -1.0);
    if (birth >= 1.0 && birth < 2958466.0) {
        using namespace std::chrono;
        const year_month_day d{sys_days{year{1899} / December / 30} + days{static_cast<int>(birth)}};
        b.birth = sk::bids::Date{static_cast<int>(d.year()), static_cast<int>(static_cast<unsigned>(d.month())),
                                 static_cast<int>(static_cast<unsigned>(d.day()))};
    }
    if (const CSkrivoTemplate* t = e.GetTemplate()) {
        if (t->GetChannelDefinition() == CSkrivoTemplate::ChannelsRawData)
            b.reference = "the amplifier's recording reference (channels as recorded)";
        else b.reference = "as derived by the montage " + str(L"Montage.Name");
    }
    b.files = files;
    return b;
}

namespace {

// The validator: $SKRIVO_BIDS_VALIDATOR, the project's npm install, or one
// on the PATH.
std::string FindValidator() {
    if (const char* v = std::getenv("SKRIVO_BIDS_VALIDATOR"); v && *v) return v;
#ifdef SKRIVO_SOURCE_DIR
    const fs::path local = fs::path(SKRIVO_SOURCE_DIR) / "tools/bids-validator/node_modules/.bin/bids-validator";
    if (fs::exists(local)) return local.string();
#endif
    if (const char* path = std::getenv("PATH"))
        for (std::string dirs = path; !dirs.empty();) {
            const size_t colon = dirs.find(':');
            const fs::path candidate = fs::path(dirs.substr(0, colon)) / "bids-validator";
            if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
            dirs = colon == std::string::npos ? "" : dirs.substr(colon + 1);
        }
    return {};
}

} // namespace

int RunBidsCheck(const std::string& dir) {
    if (!fs::is_directory(dir)) {
        std::fprintf(stderr, "skrivo: %s: no such dataset folder\n", dir.c_str());
        return kExitUsage;
    }
    const std::string validator = FindValidator();
    if (validator.empty()) {
        std::fprintf(stderr,
                     "skrivo: the BIDS validator is not installed (npm install bids-validator in "
                     "tools/bids-validator, or set SKRIVO_BIDS_VALIDATOR); see docs/bids.md\n");
        return kExitFailed;
    }
    std::fflush(stdout);
    std::vector<std::string> args = {validator, dir};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, validator.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "skrivo: cannot start %s\n", validator.c_str());
        return kExitFailed;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {}
    const bool valid = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::printf("%s: %s\n", dir.c_str(),
                valid ? "a valid BIDS dataset (the validator found no errors)"
                      : "NOT a valid BIDS dataset (see the validator's errors above)");
    return valid ? kExitOk : kExitFailed;
}

} // namespace sk::cli

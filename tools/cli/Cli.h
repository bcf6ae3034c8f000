#pragma once
// Shared declarations of the `skrivo` command line: option sets of the
// commands and the functions that run them. Each command returns the
// process exit status (see docs/cli.md).

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

class CKeyTree;
class CSkrivoEngine;
class CSkrivoTemplate;

namespace sk::cli {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;    // a study did not export (or a command failed)
inline constexpr int kExitUsage = 2;     // bad arguments, unknown template, ...
inline constexpr int kExitIncomplete = 3; // every study written, some incomplete
inline constexpr int kExitCancelled = 130;

// Template keys a command line may override. Switches are tri-state:
// 0 not given, >0 on, <0 off.
struct TemplateOverrides {
    std::string format; // "", "edf" or "edf+"
    int padGaps = 0;
    int splitAtGaps = 0; // EDF+ without padding: an EDF+C file per continuous part
    int deidentify = 0;
    int events = 0;
    int decimated = 0;
    std::string montage;
    std::optional<int64_t> maxSize;
    std::optional<int> maxDuration;
    std::string extension;
};

// Applies the overrides to a template. The study (may be null) selects the
// montages offered for --montage. False with a message when one cannot apply.
bool ApplyOverrides(CSkrivoTemplate& tmpl, const TemplateOverrides& o, const CKeyTree* study,
                    CSkrivoEngine& engine, std::string* error);

// How progress and results are shown.
enum class OutputMode { Auto, Quiet, Json };

// `export --bids DIR`: an EEG-BIDS dataset instead of a plain output folder.
struct BidsOptions {
    std::string dir;
    std::string map;  // --bids-map
    std::string key;  // --bids-key
    bool noKey = false;
    bool deidentify = true;
    bool overwrite = false; // replace a study's files already in the dataset
    std::optional<double> lineFrequency;
};

struct ExportOptions {
    std::vector<std::string> studies;
    std::vector<std::string> lists; // --from: files of study paths, "-" standard input
    std::string shard;              // "K/N", "slurm" or empty
    bool folderPerStudy = false;    // each study's files in a subfolder named after it
    bool skipExisting = false;      // skip studies the manifest has complete with unchanged files
    std::string output;
    std::string templateRef; // ".exp" file or stored template name; empty: engine's choice
    TemplateOverrides overrides;
    int jobs = 0; // 0: engine default
    bool remember = false;
    bool edit = false; // open the editor on each study's template first
    bool overwrite = false; // replace existing output files
    OutputMode mode = OutputMode::Auto;
    BidsOptions bids;
};
int RunExport(const ExportOptions& o);
int RunBidsCheck(const std::string& dir);

struct ListOptions {
    std::string root;
    bool json = false;
    bool patient = false; // --json: include the patient's name and id
};
int RunList(const ListOptions& o);

struct ManifestOptions {
    std::string action; // summary, verify
    std::string folder;
    bool json = false;
};
int RunManifest(const ManifestOptions& o);

struct ProbeOptions {
    std::string study;
    bool json = false;
    bool tree = false;
};
int RunProbe(const ProbeOptions& o);

struct EstimateOptions {
    std::vector<std::string> studies;
    std::string templateRef;
    TemplateOverrides overrides;
    bool json = false;
};
int RunEstimate(const EstimateOptions& o);

struct TemplatesOptions {
    std::string action; // list, show, new, edit, delete
    std::string name;
    std::string modality = "EEG";
    std::string editModality; // edit: "" looks in both modalities
    int headbox = 1;
    bool force = false;
    bool json = false;
    TemplateOverrides overrides;
};
int RunTemplates(const TemplatesOptions& o);

struct SimulateOptions {
    std::string folder;
    int headbox = 1;
    double minutes = 1.0;
    double rate = 256.0;
    uint32_t seed = 1;
    bool sleep = false;
    bool gaps = false;
    int decimated = 0; // factor; 0 none
    std::string patient = "Doe, John";
    // What the recorder writes now: channel-major blocks.
    int schema = 3;
    bool quiet = false;
};
int RunSimulate(const SimulateOptions& o);

struct DemoOptions {
    std::string folder; // empty: a new temporary folder
    double minutes = 2.0;
    std::string format = "edf+";
    OutputMode mode = OutputMode::Auto;
};
int RunDemo(const DemoOptions& o);

struct BenchOptions {
    // One night's sleep study: at 60 minutes an export takes a quarter of a
    // second and starting threads and files moves the ratio by several
    // hundredths from run to run.
    double minutes = 480.0;
    double rate = 512.0;
    int schema = 3;
    int repeat = 3;
};
int RunBenchParallel(const BenchOptions& o);

// --- helpers shared by the commands ------------------------------------------
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& wide);
// Loads the application's and the user's template folders into the engine's
// manager (the user's last, so that saving goes there).
void LoadTemplateFolders(CSkrivoEngine& engine, bool createUserFolders);
// Resolves --template: a ".exp" file (or any existing file) or a stored
// template's name. Null with a message when neither.
CSkrivoTemplate* ResolveTemplate(CSkrivoEngine& engine, const std::string& ref, std::string* error);
// Adds one study; on refusal returns false with the engine's reason.
bool AddStudy(CSkrivoEngine& engine, const std::string& path, CSkrivoTemplate* base, std::string* error);
std::string HumanBytes(int64_t bytes);
// The program's version ("0.1.0").
const char* Version();
// Seconds as people write them, whatever the locale: "8 s", "2.5 s",
// "0.004 s" (at most three decimals).
std::string HumanSeconds(double seconds);
// True when a montage of that name exists for some headbox type in the
// application's or the user's folders: a name that exists nowhere is a
// usage error, one that misses a study's headbox fails that study.
bool MontageExists(CSkrivoEngine& engine, const std::string& name);
// A montage file of that name (".mtg", any letter case) in the application's
// or the user's folders that does not load, as "FILE: what is wrong with
// it"; empty when there is none. A damaged file, not an unknown name, is
// then the story to tell.
std::string DamagedMontageFile(const std::string& name);

// JSON output, one convention for every command (docs/cli.md, OUTPUT): one
// compact object per line, each with an "event" member, the last one always
// {"event":"result","ok":...,"exit":N,...}.
void PrintJsonLine(const nlohmann::json& line);
// Prints the result line with `fields` added and returns `exit`.
int PrintJsonResult(int exit, const nlohmann::json& fields);

} // namespace sk::cli

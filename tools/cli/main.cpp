// The `skrivo` command line: argument parsing and dispatch. Every command
// is described in docs/cli.md.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Cli.h"
#include "EditorGlue.h"
#include "tools/bids/BidsWriter.h"
#include "platform/Log.h"

#ifndef SKRIVO_VERSION
#define SKRIVO_VERSION "0.0.0"
#endif

using namespace sk::cli;

const char* sk::cli::Version() { return SKRIVO_VERSION; }

namespace {

struct RawOverrides {
    int64_t maxSize = -1;
    int maxDuration = -1;
    CLI::Option* maxSizeOpt = nullptr;
    CLI::Option* maxDurationOpt = nullptr;
};

// Help without CLI11's "{false}" after a negating flag: each switch says
// what it does when given, and its default is in its text.
class HelpFormatter : public CLI::Formatter {
public:
    std::string make_option_name(const CLI::Option* opt, bool positional) const override {
        std::string name = CLI::Formatter::make_option_name(opt, positional);
        for (size_t open; (open = name.find('{')) != std::string::npos;) {
            const size_t close = name.find('}', open);
            if (close == std::string::npos) break;
            name.erase(open, close - open + 1);
        }
        return name;
    }
};

// A whole number of at least `least`; the message names the range instead
// of CLI11's "0 not in range 2.2e-308 to 1.8e+308".
CLI::Validator WholeNumber(long long least) {
    return CLI::Validator(
        [least](std::string& text) -> std::string {
            long long v = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
            if (ec == std::errc() && end == text.data() + text.size() && v >= least) return {};
            return "\"" + text + "\" is not a whole number of " + std::to_string(least) + " or more";
        },
        "");
}

// An extension is a name part, never a path: "../evil" would write beside
// the output folder.
const CLI::Validator kExtension(
    [](std::string& text) -> std::string {
        const std::string bare = text.rfind('.', 0) == 0 ? text.substr(1) : text;
        const bool ok = !bare.empty() && bare.size() <= 16 && std::all_of(bare.begin(), bare.end(), [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                   c == '-' || c == '+';
        });
        return ok ? std::string() : "\"" + text + "\" is not a file extension (up to 16 letters, digits, _, - or + after an optional dot)";
    },
    "");

constexpr const char* kTemplateDefault = " (default: the template's setting)";

void AddOverrideOptions(CLI::App* sub, TemplateOverrides& o, RawOverrides& raw) {
    const std::string d = kTemplateDefault;
    sub->add_option("--format", o.format, "Output format: edf or edf+" + d)
        ->check(CLI::IsMember({"edf", "edf+"}, CLI::ignore_case))
        ->type_name("FMT");
    sub->add_flag("--pad-gaps,!--no-pad-gaps", o.padGaps,
                  "Fill recording gaps with padding (EDF+C) or not (EDF+D for EDF+)" + d);
    sub->add_flag("--deidentify,!--no-deidentify", o.deidentify,
                  "Replace the patient's name in headers and file names by \"X~ X\", in notes by \"X\"" + d);
    sub->add_flag("--events,!--no-events", o.events, "Add the trigger and patient event channels" + d);
    sub->add_flag("--decimated,!--no-decimated", o.decimated, "Export the study's decimated data" + d);
    sub->add_option("--montage", o.montage, "Export the derivations of the named montage")->type_name("NAME");
    raw.maxSizeOpt =
        sub->add_option("--max-size", raw.maxSize, "Largest output file, 0 for no limit; longer studies are split" + d)
            ->check(WholeNumber(0))
            ->type_name("BYTES");
    raw.maxDurationOpt =
        sub->add_option("--max-duration", raw.maxDuration, "Largest duration of one output file, 0 for no limit" + d)
            ->check(WholeNumber(0))
            ->type_name("SECONDS");
    sub->add_option("--extension", o.extension, "Extension of the output files" + d)
        ->check(kExtension)
        ->type_name("EXT");
}

size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

// The command (or templates action) the user named that does not exist,
// with the nearest existing one; nothing when the words are all known.
// Only words before the first option are commands.
bool UnknownCommand(const CLI::App& app, int argc, char** argv, std::string* message) {
    const CLI::App* level = &app;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--config" || word == "--registry") {
            ++i;
            continue;
        }
        if (word.rfind('-', 0) == 0) {
            if (level != &app) return false;
            continue;
        }
        const std::vector<const CLI::App*> subs = level->get_subcommands([](const CLI::App*) { return true; });
        if (subs.empty()) return false;
        const CLI::App* match = nullptr;
        const CLI::App* nearest = nullptr;
        size_t best = std::string::npos;
        for (const CLI::App* sub : subs) {
            if (sub->get_name() == word) match = sub;
            const size_t d = EditDistance(word, sub->get_name());
            if (d < best || (sub->get_name().rfind(word, 0) == 0 && d == best)) {
                best = d;
                nearest = sub;
            }
        }
        if (match) {
            level = match;
            continue;
        }
        const std::string where = level == &app ? "" : level->get_name() + " ";
        *message = "unknown command \"" + where + word + "\"";
        const bool close = nearest && (best <= std::max<size_t>(2, word.size() / 3) ||
                                       nearest->get_name().rfind(word, 0) == 0);
        if (close) *message += "; did you mean \"" + where + nearest->get_name() + "\"?";
        *message += " (skrivo " + where + "--help lists the commands)";
        return true;
    }
    return false;
}

// With --json a usage error still ends in the result line every command's
// JSON output ends with.
int UsageError(bool json, const std::string& text) {
    return json ? PrintJsonResult(kExitUsage, {{"error", text}}) : kExitUsage;
}

void FinishOverrides(TemplateOverrides& o, const RawOverrides& raw) {
    if (raw.maxSizeOpt && raw.maxSizeOpt->count()) o.maxSize = raw.maxSize;
    if (raw.maxDurationOpt && raw.maxDurationOpt->count()) o.maxDuration = raw.maxDuration;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // keep results and progress in order when piped
    CLI::App app{"skrivo exports EEG and sleep (PSG) study recordings to EDF and EDF+ files.", "skrivo"};
    app.formatter(std::make_shared<HelpFormatter>());
    app.set_version_flag("--version", std::string("skrivo ") + SKRIVO_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.footer("Run `skrivo COMMAND --help` for the options of a command. See docs/cli.md.");

    std::string configDir, registryDir;
    bool verbose = false;
    app.add_option("--config", configDir,
                   "Folder of the user's templates and montages (default $XDG_CONFIG_HOME/skrivo)")
        ->type_name("DIR");
    app.add_option("--registry", registryDir, "Folder of the settings store (default <config>/registry)")
        ->type_name("DIR");
    app.add_flag("-v,--verbose", verbose, "Write the library's error log to standard error");

    // export
    ExportOptions ex;
    RawOverrides exRaw;
    bool exQuiet = false, exJson = false;
    auto* exp = app.add_subcommand("export", "Export studies to EDF/EDF+ files");
    exp->add_option("STUDY", ex.studies, "Study folder or its .EEG file")->expected(0, -1);
    exp->add_option("--from", ex.lists, "File listing studies, one a line (# comments; - for standard input)")
        ->type_name("FILE");
    exp->add_option("--shard", ex.shard, "Export only the K-th of N parts of the sorted list (K/N, or slurm)")
        ->type_name("K/N");
    exp->add_flag("--folder-per-study", ex.folderPerStudy,
                  "Write each study's files into a subfolder named after its study folder");
    exp->add_flag("--skip-existing", ex.skipExisting,
                  "Skip studies the output folder's manifest has complete with unchanged files");
    auto* exOut = exp->add_option("-o,--output", ex.output, "Output folder (created when missing)")->type_name("DIR");
    auto* exBids =
        exp->add_option("--bids", ex.bids.dir, "Write an EEG-BIDS dataset into this folder instead (docs/bids.md)")
            ->type_name("DIR")
            ->excludes(exOut);
    exp->add_option("--bids-map", ex.bids.map, "Tab-separated study path or GUID, subject, session, task")
        ->type_name("FILE")
        ->needs(exBids);
    exp->add_option("--bids-key", ex.bids.key, "Where the subjects' key is kept (default DIR.key.json)")
        ->type_name("FILE")
        ->needs(exBids);
    exp->add_flag("--bids-no-key", ex.bids.noKey, "Keep no key: the date shifts are forgotten")->needs(exBids);
    double lineFrequency = 0;
    auto* exLine = exp->add_option("--line-frequency", lineFrequency, "Power line frequency for the BIDS sidecars")
                       ->check(CLI::PositiveNumber)
                       ->type_name("HZ")
                       ->needs(exBids);
    exp->add_option("-t,--template", ex.templateRef, "A .exp template file or a stored template's name")
        ->type_name("TEMPLATE");
    AddOverrideOptions(exp, ex.overrides, exRaw);
    exp->add_option("-j,--jobs", ex.jobs, "Studies exported at the same time (at most the processor count)")
        ->check(WholeNumber(1))
        ->default_str("4")
        ->type_name("N");
    exp->add_flag("--remember", ex.remember, "Remember each study's template as the last used for its headbox");
    exp->add_flag("--edit", ex.edit, "Open the template editor on each study's template before the export");
    exp->add_flag("--overwrite", ex.overwrite, "Replace output files that exist already");
    exp->add_flag("-q,--quiet", exQuiet, "Print nothing but errors");
    exp->add_flag("--json", exJson, "Print progress and results as JSON lines");

    // list
    ListOptions li;
    auto* list = app.add_subcommand("list", "Print every study under a folder tree, one a line, sorted");
    list->add_option("ROOT", li.root, "Folder to search")->required();
    list->add_flag("--json", li.json, "One JSON object a line with the study's details");
    list->add_flag("--patient", li.patient, "With --json: include the patient's name and id");

    // manifest
    ManifestOptions ma;
    auto* man = app.add_subcommand("manifest", "Totals of an output folder's manifest, or check its files");
    man->require_subcommand(1);
    auto* mSum = man->add_subcommand("summary", "Print the totals of the studies in the manifest");
    mSum->add_option("DIR", ma.folder, "Output folder holding manifest.jsonl")->required();
    mSum->add_flag("--json", ma.json, "Print the totals as JSON");
    auto* mVer = man->add_subcommand("verify", "Hash the files again and report those that changed or vanished");
    mVer->add_option("DIR", ma.folder, "Output folder holding manifest.jsonl")->required();
    mVer->add_flag("--json", ma.json, "Print the findings as JSON");

    // bids
    std::string bidsDir;
    auto* bidsCmd = app.add_subcommand("bids", "Check an EEG-BIDS dataset with the official validator");
    bidsCmd->require_subcommand(1);
    auto* bidsCheck = bidsCmd->add_subcommand("check", "Run bids-validator on a dataset and print its verdict");
    bidsCheck->add_option("DIR", bidsDir, "The dataset folder")->required();

    // probe
    ProbeOptions pr;
    auto* probe = app.add_subcommand("probe", "Describe a study: patient, channels, samples, template, size");
    probe->add_option("STUDY", pr.study, "Study folder or its .EEG file")->required();
    probe->add_flag("--json", pr.json, "Print the description as JSON");
    probe->add_flag("--tree", pr.tree, "Also print the whole study description");

    // estimate
    EstimateOptions es;
    RawOverrides esRaw;
    auto* est = app.add_subcommand("estimate", "Estimate the size of the export of studies");
    est->add_option("STUDY", es.studies, "Study folder or its .EEG file")->required()->expected(1, -1);
    est->add_option("-t,--template", es.templateRef, "A .exp template file or a stored template's name")
        ->type_name("TEMPLATE");
    AddOverrideOptions(est, es.overrides, esRaw);
    est->add_flag("--json", es.json, "Print the estimates as JSON");

    // templates
    TemplatesOptions tp;
    RawOverrides tpRaw;
    auto* tpl = app.add_subcommand("templates", "List, show, create, edit and delete stored templates");
    tpl->require_subcommand(1);
    auto* tList = tpl->add_subcommand("list", "List the stored templates");
    tList->add_flag("--json", tp.json, "Print as JSON");
    auto* tShow = tpl->add_subcommand("show", "Show every key of a stored template");
    tShow->add_option("NAME", tp.name, "Template name")->required();
    tShow->add_flag("--json", tp.json, "Print the main settings as JSON");
    auto* tNew = tpl->add_subcommand("new", "Create a template with the headbox's channels and save it");
    tNew->add_option("NAME", tp.name, "Template name")->required();
    tNew->add_option("--modality", tp.modality, "EEG or Sleep")->capture_default_str();
    tNew->add_option("--headbox", tp.headbox, "Headbox type 1..27")->capture_default_str();
    tNew->add_flag("--force", tp.force, "Replace a stored template of that name");
    AddOverrideOptions(tNew, tp.overrides, tpRaw);
    auto* tEdit = tpl->add_subcommand("edit", "Open the template editor on a stored template and save it after OK");
    tEdit->add_option("NAME", tp.name, "Template name")->required();
    tEdit->add_option("--modality", tp.editModality, "Look only among the EEG or the Sleep templates")
        ->check(CLI::IsMember({"EEG", "Sleep"}, CLI::ignore_case));
    auto* tDel = tpl->add_subcommand("delete", "Delete a stored template's file");
    tDel->add_option("NAME", tp.name, "Template name")->required();

    // simulate
    SimulateOptions si;
    bool siDecimated = false;
    auto* sim = app.add_subcommand("simulate", "Write a simulated study into a folder");
    sim->add_option("DIR", si.folder, "Folder to write the study files into (created when missing)")->required();
    sim->add_option("--headbox", si.headbox, "Headbox type 1..27")->capture_default_str();
    sim->add_option("--minutes", si.minutes, "Recorded minutes")->capture_default_str();
    sim->add_option("--rate", si.rate, "Sampling rate in Hz")->capture_default_str();
    sim->add_option("--seed", si.seed, "Seed of the signals")->capture_default_str();
    sim->add_flag("--sleep", si.sleep, "A sleep study (with staging)");
    sim->add_flag("--gaps", si.gaps, "Two recording gaps, one of them starting a new segment");
    sim->add_flag("--decimated", siDecimated, "Add a decimated copy (factor 4)");
    sim->add_option("--decimation", si.decimated, "Add a decimated copy with this factor")->type_name("N");
    sim->add_option("--patient", si.patient, "Patient name as \"Last, First\"")->capture_default_str();
    sim->add_option("--schema", si.schema, "Storage schema of the data files: 1 plain, 2 delta, 3 channel blocks")
        ->check(CLI::Range(1, 3))
        ->capture_default_str();
    sim->add_flag("-q,--quiet", si.quiet, "Print nothing");

    // demo
    DemoOptions de;
    bool deQuiet = false, deJson = false;
    auto* demo = app.add_subcommand("demo", "Simulate a study into a temporary folder and export it");
    demo->add_option("--folder", de.folder, "Use this folder instead of a new temporary one")->type_name("DIR");
    demo->add_option("--minutes", de.minutes, "Recorded minutes")->capture_default_str();
    demo->add_option("--format", de.format, "edf or edf+")
        ->check(CLI::IsMember({"edf", "edf+"}, CLI::ignore_case))
        ->capture_default_str();
    demo->add_flag("-q,--quiet", deQuiet, "Print nothing but errors");
    demo->add_flag("--json", deJson, "Print progress and results as JSON lines");

    // bench-parallel
    BenchOptions be;
    auto* bench = app.add_subcommand("bench-parallel", "Time two equal exports one after the other and in parallel");
    bench->add_option("--minutes", be.minutes, "Recorded minutes of each study")->capture_default_str();
    bench->add_option("--rate", be.rate, "Sampling rate in Hz")->capture_default_str();
    bench->add_option("--schema", be.schema, "Storage schema of the simulated studies (1, 2 or 3)")
        ->check(CLI::Range(1, 3))
        ->capture_default_str();
    bench->add_option("--repeat", be.repeat, "Runs of each; the best counts")->capture_default_str();

    bool json = false;
    for (int i = 1; i < argc; ++i) json = json || std::strcmp(argv[i], "--json") == 0;
    std::string unknown;
    if (UnknownCommand(app, argc, argv, &unknown)) {
        std::fprintf(stderr, "skrivo: %s\n", unknown.c_str());
        return UsageError(json, unknown);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? kExitOk : UsageError(json, e.what());
    }

    if ((*exp && ex.edit) || *tEdit) RunInEditorProgram(argv);

    if (!configDir.empty()) {
        setenv("SKRIVO_USER_SETTINGS_DIR", configDir.c_str(), 1);
        if (registryDir.empty() && !std::getenv("SKRIVO_REGISTRY_ROOT"))
            registryDir = configDir + "/registry";
    }
    if (!registryDir.empty()) setenv("SKRIVO_REGISTRY_ROOT", registryDir.c_str(), 1);
    // The command reports every failure itself; the library's log is for
    // those who ask for it.
    // Internal consistency records (the event log) are diagnostics too: they go
    // to stderr only with --verbose unless the user chose a file for them.
    if (verbose) setenv("SKRIVO_LOG_LEVELS", "12", 1);
    else {
        setenv("SKRIVO_LOG_LEVELS", "0", 0);
        setenv("SKRIVO_EVENTLOG_FILE", "/dev/null", 0);
    }
    CTaviLogManager::Reconfigure();

    auto mode = [](bool quiet, bool json) {
        return json ? OutputMode::Json : quiet ? OutputMode::Quiet : OutputMode::Auto;
    };
    try {
        if (*exp) {
            FinishOverrides(ex.overrides, exRaw);
            ex.mode = mode(exQuiet, exJson);
            if (ex.output.empty() && ex.bids.dir.empty()) {
                std::fprintf(stderr, "skrivo: export needs -o DIR or --bids DIR\n");
                return kExitUsage;
            }
            if (!ex.bids.dir.empty()) {
                // BIDS readers take EDF+C: a recording with gaps becomes one
                // file (a run) per continuous part, unless --pad-gaps asks
                // for one padded file. Names and dates go unless asked to stay.
                if (ex.skipExisting) {
                    std::fprintf(stderr, "skrivo: --skip-existing does not work with --bids: a dataset keeps no "
                                         "manifest; a study already in it is refused unless --overwrite "
                                         "(docs/bids.md)\n");
                    return UsageError(exJson, "--skip-existing does not work with --bids");
                }
                ex.overrides.format = "edf+";
                if (ex.overrides.padGaps <= 0) {
                    ex.overrides.padGaps = -1;
                    ex.overrides.splitAtGaps = 1;
                }
                ex.bids.overwrite = ex.overwrite;
                ex.bids.deidentify = ex.overrides.deidentify >= 0;
                ex.overrides.deidentify = ex.bids.deidentify ? 1 : -1;
                if (exLine->count()) ex.bids.lineFrequency = lineFrequency;
                // Studies export into subfolders of a staging folder inside
                // the dataset, which is gone once their files are placed.
                ex.output = sk::bids::CBidsWriter::StagingFolderOf(ex.bids.dir);
                ex.folderPerStudy = true;
            }
            return RunExport(ex);
        }
        if (*probe) return RunProbe(pr);
        if (*bidsCmd) return RunBidsCheck(bidsDir);
        if (*list) return RunList(li);
        if (*man) {
            ma.action = *mSum ? "summary" : "verify";
            return RunManifest(ma);
        }
        if (*est) {
            FinishOverrides(es.overrides, esRaw);
            return RunEstimate(es);
        }
        if (*tpl) {
            FinishOverrides(tp.overrides, tpRaw);
            tp.action = *tList ? "list" : *tShow ? "show" : *tNew ? "new" : *tEdit ? "edit" : "delete";
            return RunTemplates(tp);
        }
        if (*sim) {
            if (siDecimated && si.decimated == 0) si.decimated = 4;
            return RunSimulate(si);
        }
        if (*demo) {
            de.mode = mode(deQuiet, deJson);
            return RunDemo(de);
        }
        if (*bench) return RunBenchParallel(be);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "skrivo: %s\n", e.what());
        return kExitFailed;
    }
    return kExitUsage;
}

// Dataset names, sidecars and date shifts of an EEG-BIDS export. The EDF+
// files are read back (with EDFlib) rather than described from the study, so
// that channels.tsv and events.tsv say what the files hold, to the sample.

#include "BidsWriter.h"

#include <edflib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>

namespace sk::bids {

namespace fs = std::filesystem;
using nlohmann::ordered_json;

namespace {

constexpr long long kTicks = EDFLIB_TIME_DIMENSION; // 100 ns units a second

struct Signal {
    std::string name, type, units;
    double rate = 0;
    std::optional<double> highPass, lowPass;
};

struct Annotation {
    long long onset = 0, duration = 0; // 100 ns units from the file's first sample
    std::string text;
};

struct EdfFile {
    std::string path;
    Date date;
    int hour = 0, minute = 0, second = 0;
    long long subsecond = 0;
    long long duration = 0;
    std::vector<Signal> signals;
    std::vector<Annotation> annotations;
};

std::string Number(double v) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// Seconds from 100 ns units, written exactly (no binary rounding).
std::string Seconds(long long ticks) {
    const bool neg = ticks < 0;
    if (neg) ticks = -ticks;
    std::string s = std::to_string(ticks / kTicks);
    if (long long frac = ticks % kTicks) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%07lld", frac);
        std::string f = buf;
        f.erase(f.find_last_not_of('0') + 1);
        s += "." + f;
    }
    return neg ? "-" + s : s;
}

std::optional<double> FilterValue(const std::string& prefilter, const std::string& key) {
    const size_t at = prefilter.find(key);
    if (at == std::string::npos) return std::nullopt;
    double v = 0;
    const char* b = prefilter.c_str() + at + key.size();
    auto r = std::from_chars(b, prefilter.c_str() + prefilter.size(), v);
    if (r.ec != std::errc()) return std::nullopt;
    return v;
}

// BIDS channel type from the signal-type word the exporter puts first.
std::string ChannelType(const std::string& label) {
    const std::string word = label.substr(0, label.find(' '));
    static const std::map<std::string, std::string> types = {
        {"EEG", "EEG"},   {"EOG", "EOG"},   {"ECG", "ECG"},   {"EMG", "EMG"},  {"Resp", "RESP"},
        {"Temp", "TEMP"}, {"SaO2", "MISC"}, {"Event", "TRIG"}, {"Stim", "TRIG"}};
    if (label.find("Trigger") != std::string::npos || label.find("Patient Evt") != std::string::npos) return "TRIG";
    auto it = types.find(word);
    return it == types.end() ? "MISC" : it->second;
}

bool ReadEdf(const std::string& path, EdfFile& f, std::string* error) {
    auto hdr = std::make_unique<edf_hdr_struct>();
    if (edfopen_file_readonly(path.c_str(), hdr.get(), EDFLIB_READ_ALL_ANNOTATIONS) != 0) {
        *error = path + ": not a readable EDF+C file (EDFlib error " + std::to_string(hdr->filetype) + ")";
        return false;
    }
    f.path = path;
    f.date = {hdr->startdate_year, hdr->startdate_month, hdr->startdate_day};
    f.hour = hdr->starttime_hour;
    f.minute = hdr->starttime_minute;
    f.second = hdr->starttime_second;
    f.subsecond = hdr->starttime_subsecond;
    f.duration = hdr->file_duration;
    for (int i = 0; i < hdr->edfsignals; ++i) {
        const auto& p = hdr->signalparam[i];
        Signal s;
        s.name = p.label;
        s.name.erase(s.name.find_last_not_of(' ') + 1);
        s.type = ChannelType(s.name);
        s.units = p.physdimension;
        s.units.erase(s.units.find_last_not_of(' ') + 1);
        s.rate = hdr->datarecord_duration > 0
                     ? static_cast<double>(p.smp_in_datarecord) * kTicks / static_cast<double>(hdr->datarecord_duration)
                     : 0.0;
        s.highPass = FilterValue(p.prefilter, "HP:");
        s.lowPass = FilterValue(p.prefilter, "LP:");
        f.signals.push_back(s);
    }
    for (long long n = 0; n < hdr->annotations_in_file; ++n) {
        edf_annotation_struct a{};
        if (edf_get_annotation(hdr->handle, static_cast<int>(n), &a) != 0) continue;
        f.annotations.push_back({a.onset, a.duration_l > 0 ? a.duration_l : 0, a.annotation});
    }
    edfclose_file(hdr->handle);
    return true;
}

using Days = std::chrono::sys_days;

Days ToDays(const Date& d) {
    return std::chrono::year_month_day{std::chrono::year{d.year}, std::chrono::month{static_cast<unsigned>(d.month)},
                                       std::chrono::day{static_cast<unsigned>(d.day)}};
}

Date FromDays(Days d) {
    const std::chrono::year_month_day ymd{d};
    return {static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
            static_cast<int>(static_cast<unsigned>(ymd.day()))};
}

std::string Two(int v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d", v);
    return buf;
}

int AgeAt(const Date& birth, const Date& at) {
    int age = at.year - birth.year;
    if (at.month < birth.month || (at.month == birth.month && at.day < birth.day)) --age;
    return age;
}

std::string Field(std::string s) {
    for (char& c : s)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return s.empty() ? "n/a" : s;
}

bool WriteText(const fs::path& path, const std::string& text, std::string* error) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    const fs::path part = path.string() + ".part";
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            *error = "cannot write " + path.string();
            return false;
        }
    }
    fs::rename(part, path, ec);
    if (ec) {
        *error = "cannot write " + path.string() + ": " + ec.message();
        return false;
    }
    return true;
}

// Rows of an existing TSV file by their first column (header dropped).
std::map<std::string, std::string> ReadRows(const fs::path& path) {
    std::map<std::string, std::string> rows;
    std::ifstream in(path);
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (header) {
            header = false;
            continue;
        }
        if (!line.empty()) rows[line.substr(0, line.find('\t'))] = line;
    }
    return rows;
}

std::string StudyKey(const std::string& source) {
    std::error_code ec;
    return fs::absolute(source, ec).lexically_normal().string();
}

std::string NormalGuid(std::string g) {
    g.erase(std::remove_if(g.begin(), g.end(), [](char c) { return c == '{' || c == '}'; }), g.end());
    std::transform(g.begin(), g.end(), g.begin(), [](unsigned char c) { return std::tolower(c); });
    return g;
}

bool IsLabel(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isalnum(c) != 0; });
}

// Writes the shifted date into the EDF header's start date field (dd.mm.yy);
// the time of day stays, so onsets and the file's own clock agree.
bool ShiftHeaderDate(const std::string& path, const Date& d, std::string* error) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    const std::string text = Two(d.day) + "." + Two(d.month) + "." + Two(d.year % 100);
    f.seekp(168);
    f.write(text.data(), 8);
    f.flush();
    if (!f) {
        *error = path + ": cannot shift the start date";
        return false;
    }
    return true;
}

} // namespace

CBidsWriter::CBidsWriter(Options options) : m_options(std::move(options)) {
    while (m_options.root.size() > 1 && m_options.root.back() == '/') m_options.root.pop_back();
}

std::vector<std::string> CBidsWriter::PlacedFiles(const std::string& source) const {
    auto it = m_placed.find(source);
    return it == m_placed.end() ? std::vector<std::string>() : it->second;
}

std::string CBidsWriter::StagingFolderOf(const std::string& root) {
    return (fs::path(root) / ".skrivo-staging").string();
}

std::string CBidsWriter::KeyFile() const {
    if (!m_options.keepKey) return {};
    return m_options.keyFile.empty() ? m_options.root + ".key.json" : m_options.keyFile;
}

std::string CBidsWriter::Identity(const Study& s) {
    std::string birth = s.birth ? std::to_string(s.birth->year) + "-" + Two(s.birth->month) + "-" + Two(s.birth->day)
                                : std::string();
    if (!s.patientId.empty()) return "id:" + s.patientId;
    return "name:" + s.lastName + "," + s.firstName + "," + birth;
}

bool CBidsWriter::Open(std::string* error) {
    const std::string key = KeyFile();
    if (!key.empty()) {
        std::error_code ec;
        const fs::path k = fs::weakly_canonical(key, ec), r = fs::weakly_canonical(m_options.root, ec);
        const auto rel = k.lexically_relative(r);
        if (!rel.empty() && *rel.begin() != "..") {
            *error = "the key file " + key + " must be outside the dataset folder";
            return false;
        }
    }
    return ReadMap(error) && ReadKey(error);
}

bool CBidsWriter::ReadMap(std::string* error) {
    if (m_options.mapFile.empty()) return true;
    std::ifstream in(m_options.mapFile);
    if (!in) {
        *error = "cannot read the mapping file " + m_options.mapFile;
        return false;
    }
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> cols;
        std::stringstream ss(line);
        for (std::string c; std::getline(ss, c, '\t');) cols.push_back(c);
        if (n == 1 && cols[0] == "study") continue; // header line
        cols.resize(4);
        auto strip = [](std::string s, const char* prefix) {
            return s.rfind(prefix, 0) == 0 ? s.substr(std::char_traits<char>::length(prefix)) : s;
        };
        MapEntry e{strip(cols[1], "sub-"), strip(cols[2], "ses-"), strip(cols[3], "task-"), n, cols[0]};
        if (cols[0].empty() || !IsLabel(e.subject) || (!e.session.empty() && !IsLabel(e.session)) ||
            (!e.task.empty() && !IsLabel(e.task))) {
            *error = m_options.mapFile + ":" + std::to_string(n) +
                     ": expected study<TAB>subject[<TAB>session[<TAB>task]] with labels of letters and digits";
            return false;
        }
        // A GUID in any letter case and braces, or a path as given or absolute.
        const std::string g = NormalGuid(cols[0]);
        const bool guid = g.size() == 36 && std::all_of(g.begin(), g.end(), [](unsigned char c) {
                              return std::isxdigit(c) || c == '-';
                          });
        const std::vector<std::string> keys = guid ? std::vector{g} : std::vector{cols[0], StudyKey(cols[0])};
        for (const std::string& k : keys)
            if (auto it = m_map.find(k); it != m_map.end() && it->second.line != n) {
                *error = m_options.mapFile + ":" + std::to_string(n) + ": " + cols[0] + " is mapped on line " +
                         std::to_string(it->second.line) + " already";
                return false;
            }
        for (const std::string& k : keys) m_map[k] = e;
    }
    return true;
}

bool CBidsWriter::ReadKey(std::string* error) {
    const std::string key = KeyFile();
    if (key.empty() || !fs::exists(key)) return true;
    try {
        std::ifstream in(key);
        const auto j = nlohmann::json::parse(in);
        // Labels become folder names: one that is not letters and digits
        // (a damaged or hand-edited key) must not lead outside the dataset.
        auto label = [](const std::string& l, bool orEmpty) {
            if (!IsLabel(l) && !(orEmpty && l.empty())) throw std::runtime_error("\"" + l + "\" is no label");
            return l;
        };
        for (const auto& [name, s] : j.at("subjects").items()) {
            Subject sub;
            sub.label = label(name, false);
            if (s.contains("date_shift_days") && !s["date_shift_days"].is_number_integer())
                throw std::runtime_error("date_shift_days of " + name + " is no whole number");
            sub.shiftDays = static_cast<int>(std::clamp<int64_t>(s.value("date_shift_days", int64_t{0}), 0, 100000));
            for (const auto& id : s.at("identities")) m_subjects[id.get<std::string>()] = sub;
        }
        for (const auto& [guid, s] : j.at("studies").items())
            m_sessions[guid] = label(s.at("subject").get<std::string>(), false) + "/" + label(s.value("session", ""), true);
    } catch (const std::exception& e) {
        *error = "cannot use the key file " + key + ": " + e.what();
        return false;
    }
    return true;
}

const CBidsWriter::MapEntry* CBidsWriter::Mapped(const Study& s) const {
    for (const std::string& k : {s.source, StudyKey(s.source), NormalGuid(s.guid)}) {
        auto it = m_map.find(k);
        if (it != m_map.end()) {
            m_usedLines.insert(it->second.line);
            return &it->second;
        }
    }
    return nullptr;
}

std::vector<std::string> CBidsWriter::UnusedMapLines() const {
    std::map<int, std::string> unused;
    for (const auto& [k, e] : m_map)
        if (!m_usedLines.count(e.line)) unused[e.line] = e.study;
    std::vector<std::string> lines;
    for (const auto& [n, study] : unused)
        lines.push_back(m_options.mapFile + ":" + std::to_string(n) + ": " + study +
                        " is no study of this export (line ignored)");
    return lines;
}

void CBidsWriter::Add(Study study) { m_studies.push_back(std::move(study)); }

bool CBidsWriter::Finish(std::vector<std::pair<std::string, std::string>>& failed, std::string* error) {
    const fs::path root = m_options.root;
    struct Placed {
        const Study* study;
        std::vector<EdfFile> files;
        std::string identity, subject, session, task;
    };
    std::vector<Placed> placed;
    for (const Study& s : m_studies) {
        Placed p{&s, {}, Identity(s), {}, {}, {}};
        std::string err;
        for (const auto& f : s.files) {
            EdfFile e;
            if (!ReadEdf(f, e, &err)) break;
            p.files.push_back(std::move(e));
        }
        if (p.files.size() != s.files.size() || s.files.empty()) {
            failed.emplace_back(s.source, err.empty() ? "no file was exported" : err);
            continue;
        }
        placed.push_back(std::move(p));
    }

    // Subjects: the mapping file first, then labels of earlier runs, then
    // new numbers in the order of the identities (stable from run to run).
    std::set<std::string> used;
    int next = 1;
    auto noteLabel = [&](const std::string& l) {
        used.insert(l);
        int v = 0;
        auto r = std::from_chars(l.data(), l.data() + l.size(), v);
        if (r.ec == std::errc() && r.ptr == l.data() + l.size()) next = std::max(next, v + 1);
    };
    for (const auto& [id, sub] : m_subjects) noteLabel(sub.label);
    for (const auto& [k, e] : m_map) noteLabel(e.subject);
    std::error_code ec;
    for (const auto& d : fs::directory_iterator(root, ec))
        if (d.path().filename().string().rfind("sub-", 0) == 0) noteLabel(d.path().filename().string().substr(4));
    std::sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
        const auto ka = std::make_tuple(a.identity, ToDays(a.files[0].date), a.files[0].hour, a.files[0].minute,
                                        a.files[0].second);
        const auto kb = std::make_tuple(b.identity, ToDays(b.files[0].date), b.files[0].hour, b.files[0].minute,
                                        b.files[0].second);
        return ka < kb;
    });
    std::map<std::string, std::string> labelOf; // identity -> label for this run
    for (Placed& p : placed) {
        if (const MapEntry* m = Mapped(*p.study)) {
            p.subject = m->subject;
            p.session = m->session;
            p.task = m->task;
        } else if (auto it = m_subjects.find(p.identity); it != m_subjects.end()) {
            p.subject = it->second.label;
        } else if (auto l = labelOf.find(p.identity); l != labelOf.end()) {
            p.subject = l->second;
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%03d", next);
            while (used.count(buf)) std::snprintf(buf, sizeof buf, "%03d", ++next);
            p.subject = buf;
            noteLabel(p.subject);
        }
        labelOf.emplace(p.identity, p.subject);
        if (p.task.empty()) p.task = p.study->sleep ? "sleep" : "clinical";
    }

    // Sessions: a subject with more than one study gets them numbered by
    // date; once one subject has sessions every subject has, so that the
    // dataset is alike throughout.
    std::map<std::string, int> perSubject;
    for (const Placed& p : placed) ++perSubject[p.subject];
    bool sessions = std::any_of(perSubject.begin(), perSubject.end(), [](auto& e) { return e.second > 1; }) ||
                    std::any_of(m_sessions.begin(), m_sessions.end(), [](auto& e) { return e.second.back() != '/'; });
    for (const Placed& p : placed) sessions = sessions || !p.session.empty();
    std::map<std::string, std::set<std::string>> sessionsOf;
    for (const auto& [g, v] : m_sessions) sessionsOf[v.substr(0, v.find('/'))].insert(v.substr(v.find('/') + 1));
    for (Placed& p : placed)
        if (auto it = m_sessions.find(StudyKey(p.study->source)); p.session.empty() && it != m_sessions.end() &&
                                                                   it->second.rfind(p.subject + "/", 0) == 0)
            p.session = it->second.substr(p.subject.size() + 1);
    for (Placed& p : placed) {
        if (!sessions || !p.session.empty()) continue;
        auto& taken = sessionsOf[p.subject];
        int n = 1;
        while (taken.count(std::to_string(n))) ++n;
        p.session = std::to_string(n);
        taken.insert(p.session);
    }

    // Date shifts: one per subject, back by one to ten years, never before
    // 1985 (the earliest date an EDF header holds).
    std::map<std::string, Subject*> byLabel;
    for (auto& [id, s] : m_subjects) byLabel[s.label] = &s;
    std::random_device rd;
    std::uniform_int_distribution<int> shiftDays(365, 3650);
    for (const Placed& p : placed) {
        Subject& s = m_subjects[p.identity];
        if (s.label.empty()) {
            s.label = p.subject;
            s.shiftDays = m_options.deidentify ? shiftDays(rd) : 0;
        }
        if (byLabel.count(p.subject) == 0) byLabel[p.subject] = &s;
        s.sex = p.study->sex;
        s.birth = p.study->birth;
        if (p.study->birth) {
            const int age = AgeAt(*p.study->birth, p.files[0].date);
            if (!s.age || age < *s.age) s.age = age;
        }
    }
    for (const Placed& p : placed) {
        Subject& s = *byLabel[p.subject];
        if (!m_options.deidentify) {
            s.shiftDays = 0;
            continue;
        }
        const int room = static_cast<int>((ToDays(p.files[0].date) - ToDays({1985, 1, 1})).count());
        s.shiftDays = std::clamp(s.shiftDays, 0, std::max(room, 0));
    }
    // Identities a mapping file joins under one label share its shift.
    for (auto& [id, s] : m_subjects)
        if (byLabel.count(s.label)) s.shiftDays = byLabel[s.label]->shiftDays;

    // The files. Two studies of one run never share names; a study whose
    // names an earlier run took is refused unless overwriting, and then
    // every file of those names goes first, so no stale run stays behind.
    std::map<std::string, std::string> takenBy; // stem -> study source, this run
    for (const Placed& p : placed) {
        const Subject& subj = *byLabel[p.subject];
        fs::path dir = root / ("sub-" + p.subject);
        std::string stem = "sub-" + p.subject;
        if (!p.session.empty()) {
            dir /= "ses-" + p.session;
            stem += "_ses-" + p.session;
        }
        const std::string scansName = stem + "_scans.tsv";
        stem += "_task-" + p.task;
        std::map<std::string, std::string> scans = ReadRows(dir / scansName);
        std::string err;
        bool ok = true;
        if (auto [it, fresh] = takenBy.emplace(stem, p.study->source); !fresh) {
            failed.emplace_back(p.study->source, "would take the names " + stem + "_* of " + it->second +
                                                     "; give them different sessions or tasks in the mapping file");
            continue;
        }
        std::vector<fs::path> earlier;
        for (const auto& e : fs::directory_iterator(dir / "eeg", ec))
            if (e.path().filename().string().rfind(stem + "_", 0) == 0) earlier.push_back(e.path());
        if (!earlier.empty() && !m_options.overwrite) {
            std::sort(earlier.begin(), earlier.end());
            failed.emplace_back(p.study->source, earlier.front().string() +
                                                     " is in the dataset already and is not replaced "
                                                     "(--overwrite replaces it)");
            continue;
        }
        for (const fs::path& e : earlier) {
            fs::remove(e, ec);
            scans.erase("eeg/" + e.filename().string());
        }
        for (size_t i = 0; i < p.files.size() && ok; ++i) {
            const EdfFile& f = p.files[i];
            const std::string base =
                stem + (p.files.size() > 1 ? "_run-" + std::to_string(i + 1) : std::string()) + "_eeg";
            const fs::path eeg = dir / "eeg";
            const Date shifted = FromDays(ToDays(f.date) - std::chrono::days{subj.shiftDays});
            if (subj.shiftDays && !ShiftHeaderDate(f.path, shifted, &err)) {
                ok = false;
                break;
            }

            // channels.tsv: cutoffs only when the study has them.
            const bool cutoffs = std::any_of(f.signals.begin(), f.signals.end(),
                                             [](const Signal& s) { return s.highPass || s.lowPass; });
            std::string ch = "name\ttype\tunits\tsampling_frequency";
            ch += cutoffs ? "\tlow_cutoff\thigh_cutoff\tstatus\n" : "\tstatus\n";
            std::map<std::string, int> counts;
            double rate = 0;
            for (const Signal& s : f.signals) {
                ch += Field(s.name) + "\t" + s.type + "\t" + Field(s.units) + "\t" + Number(s.rate);
                if (cutoffs) {
                    // Appended piece by piece: "\t" + std::string trips g++ 12's
                    // false -Wrestrict in an optimised build.
                    ch += '\t';
                    ch += s.highPass ? Number(*s.highPass) : "n/a";
                    ch += '\t';
                    ch += s.lowPass ? Number(*s.lowPass) : "n/a";
                }
                ch += "\tgood\n";
                ++counts[s.type];
                if (s.type == "EEG" && rate == 0) rate = s.rate;
            }
            if (rate == 0 && !f.signals.empty()) rate = f.signals[0].rate;

            std::string ev = "onset\tduration\ttrial_type\tvalue\n";
            // EDFlib gives onsets to 100 ns; the files put them on samples,
            // so the sample is recovered and written exactly.
            auto exact = [rate](long long ticks) {
                if (rate > 0) {
                    const long long n = std::llround(static_cast<double>(ticks) * rate / kTicks);
                    if (std::llabs(std::llround(static_cast<double>(n) * kTicks / rate) - ticks) <= 1)
                        return Number(static_cast<double>(n) / rate);
                }
                return Seconds(ticks);
            };
            for (const Annotation& a : f.annotations) {
                const std::string type = a.text.rfind("Sleep stage", 0) == 0   ? "sleep_stage"
                                         : a.text.rfind("Recording gap", 0) == 0 ? "recording_gap"
                                                                                 : "note";
                ev += exact(a.onset) + "\t" + exact(a.duration) + "\t" + type + "\t" + Field(a.text) + "\n";
            }
            const ordered_json evj = {
                {"trial_type",
                 {{"Description", "What the event is"},
                  {"Levels",
                   {{"note", "A note written during or after the recording"},
                    {"sleep_stage", "A scored sleep stage; value names the stage, duration is the epoch"},
                    {"recording_gap", "Time the recording was paused; the data there are zeros"}}}}},
                {"value", {{"Description", "The text of the note or stage as in the EDF+ file's annotations"}}}};

            const int other = static_cast<int>(f.signals.size()) - counts["EEG"] - counts["EOG"] - counts["ECG"] -
                              counts["EMG"] - counts["TRIG"];
            ordered_json side = {
                {"TaskName", p.task},
                {"EEGReference", p.study->reference.empty() ? "n/a" : p.study->reference},
                {"SamplingFrequency", rate},
                {"PowerLineFrequency",
                 m_options.lineFrequency ? ordered_json(*m_options.lineFrequency) : ordered_json("n/a")},
                {"SoftwareFilters", "n/a"},
                {"EEGChannelCount", counts["EEG"]},
                {"EOGChannelCount", counts["EOG"]},
                {"ECGChannelCount", counts["ECG"]},
                {"EMGChannelCount", counts["EMG"]},
                {"MiscChannelCount", other},
                {"TriggerChannelCount", counts["TRIG"]},
                {"RecordingDuration", static_cast<double>(f.duration) / kTicks},
                {"RecordingType", "continuous"}};

            if (!WriteText(eeg / (base + ".json"), side.dump(2) + "\n", &err) ||
                !WriteText(eeg / (stem + (p.files.size() > 1 ? "_run-" + std::to_string(i + 1) : "") + "_channels.tsv"),
                           ch, &err) ||
                !WriteText(eeg / (stem + (p.files.size() > 1 ? "_run-" + std::to_string(i + 1) : "") + "_events.tsv"),
                           ev, &err) ||
                !WriteText(eeg / (stem + (p.files.size() > 1 ? "_run-" + std::to_string(i + 1) : "") + "_events.json"),
                           evj.dump(2) + "\n", &err)) {
                ok = false;
                break;
            }
            fs::rename(f.path, eeg / (base + ".edf"), ec);
            if (ec) {
                err = "cannot move " + f.path + " into the dataset: " + ec.message();
                ok = false;
                break;
            }
            std::string acq = std::to_string(shifted.year) + "-" + Two(shifted.month) + "-" + Two(shifted.day) + "T" +
                              Two(f.hour) + ":" + Two(f.minute) + ":" + Two(f.second);
            if (f.subsecond) {
                char frac[32];
                std::snprintf(frac, sizeof frac, ".%06lld", (f.subsecond / 10) % 1000000);
                acq += frac;
            }
            const std::string name = "eeg/" + base + ".edf";
            m_placed[p.study->source].push_back((eeg / (base + ".edf")).string());
            scans[name] = name + "\t" + acq;
        }
        if (ok) {
            std::string text = "filename\tacq_time\n";
            for (const auto& [k, row] : scans) text += row + "\n";
            ok = WriteText(dir / scansName, text, &err);
        }
        if (!ok) failed.emplace_back(p.study->source, err);
        else m_sessions[StudyKey(p.study->source)] = p.subject + "/" + p.session;
    }

    // The dataset's own files. Rows of subjects from earlier runs stay.
    std::map<std::string, std::string> participants = ReadRows(root / "participants.tsv");
    // A row for every subject a study was placed under: a mapped label too.
    for (const Placed& p : placed) {
        if (!m_placed.count(p.study->source) || !m_sessions.count(StudyKey(p.study->source))) continue;
        const Subject& s = m_subjects[p.identity];
        participants["sub-" + p.subject] = "sub-" + p.subject + "\t" + (s.age ? std::to_string(*s.age) : "n/a") +
                                           "\t" + (s.sex.empty() ? "n/a" : s.sex);
    }
    std::string text = "participant_id\tage\tsex\n";
    for (const auto& [k, row] : participants) text += row + "\n";
    const ordered_json pj = {
        {"age", {{"Description", "Age at the first recording, in whole years"}, {"Units", "year"}}},
        {"sex", {{"Description", "Sex recorded in the study"}, {"Levels", {{"M", "male"}, {"F", "female"}}}}}};
    const ordered_json dd = {{"Name", root.filename().string()},
                             {"BIDSVersion", "1.8.0"},
                             {"DatasetType", "raw"},
                             {"GeneratedBy", {{{"Name", "skrivo"}, {"Version", m_options.version}}}}};
    if (!WriteText(root / "participants.tsv", text, error) ||
        !WriteText(root / "participants.json", pj.dump(2) + "\n", error) ||
        (!fs::exists(root / "dataset_description.json") &&
         !WriteText(root / "dataset_description.json", dd.dump(2) + "\n", error)) ||
        (!fs::exists(root / "README") &&
         !WriteText(root / "README",
                    "EEG and sleep recordings exported to EDF+ by skrivo. Names are removed and dates are shifted "
                    "by a per-subject offset; ages are in whole years.\n",
                    error)))
        return false;
    fs::remove_all(StagingFolder(), ec);
    return WriteKey(error);
}

bool CBidsWriter::WriteKey(std::string* error) const {
    const std::string key = KeyFile();
    if (key.empty()) return true;
    ordered_json subjects = ordered_json::object(), studies = ordered_json::object();
    for (const auto& [id, s] : m_subjects)
        if (!s.label.empty())
        {
            subjects[s.label]["identities"].push_back(id);
            subjects[s.label]["date_shift_days"] = s.shiftDays;
        }
    for (const auto& [path, v] : m_sessions)
        studies[path] = {{"subject", v.substr(0, v.find('/'))}, {"session", v.substr(v.find('/') + 1)}};
    const ordered_json j = {{"dataset", fs::absolute(m_options.root).string()},
                            {"note", "Re-identifies the subjects of the dataset: keep it private, never inside it."},
                            {"subjects", subjects},
                            {"studies", studies}};
    return WriteText(key, j.dump(2) + "\n", error);
}

} // namespace sk::bids

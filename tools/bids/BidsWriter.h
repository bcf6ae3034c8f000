#pragma once
// Arranges exported EDF+ files into an EEG-BIDS dataset: subject, session,
// task and run names, the sidecar files every BIDS reader expects, and the
// de-identification of dates (a per-subject shift whose key stays outside
// the dataset). It knows nothing of studies: the command line hands it what
// the exporter learnt about each study and the files it wrote. docs/bids.md
// describes the layout.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sk::bids {

struct Date {
    int year = 0, month = 0, day = 0;
};

// One exported study as the dataset needs it.
struct Study {
    std::string source; // the study path as the user gave it
    std::string guid;   // the study's GUID ("{...}" or bare)
    bool sleep = false;
    // Identity: decides which studies share a subject; never written into
    // the dataset.
    std::string patientId, lastName, firstName;
    std::string sex; // "M", "F" or empty
    std::optional<Date> birth;
    std::string reference; // montage the channels were exported with
    std::vector<std::string> files; // EDF+C files in order (more than one: a split study)
};

struct Options {
    std::string root;         // the dataset folder
    std::string mapFile;      // --bids-map: study path or GUID -> subject, session, task
    bool deidentify = true;   // shift dates, keep no name
    std::string keyFile;      // where the subject key is kept; empty: <root>.key.json
    bool keepKey = true;      // false: the shifts are forgotten
    bool overwrite = false;   // replace a study's files already in the dataset
    std::optional<double> lineFrequency;
    std::string version;      // of the program, for dataset_description.json
};

class CBidsWriter {
public:
    explicit CBidsWriter(Options options);

    // Reads the mapping file and an earlier key; false with a message when
    // either cannot be used.
    bool Open(std::string* error);
    // The folder the exporter writes into before the files take their
    // dataset names (inside the dataset, hidden from BIDS readers).
    std::string StagingFolder() const { return StagingFolderOf(m_options.root); }
    static std::string StagingFolderOf(const std::string& root);

    void Add(Study study);
    // Places every added study into the dataset. Studies that could not be
    // placed are returned with the reason; false when the dataset itself
    // could not be written.
    bool Finish(std::vector<std::pair<std::string, std::string>>& failed, std::string* error);

    // Where a study's files are in the dataset after Finish.
    std::vector<std::string> PlacedFiles(const std::string& source) const;
    // The key file in use ("" when none is kept).
    std::string KeyFile() const;
    // Lines of the mapping file that named no study of this export (after
    // Finish), as "FILE:LINE: ..." messages.
    std::vector<std::string> UnusedMapLines() const;

private:
    struct MapEntry {
        std::string subject, session, task;
        int line = 0;
        std::string study;
    };
    struct Subject {
        std::string label;
        int shiftDays = 0;
        std::string sex;
        std::optional<Date> birth;
        std::optional<int> age; // at the earliest study
    };

    bool ReadMap(std::string* error);
    bool ReadKey(std::string* error);
    bool WriteKey(std::string* error) const;
    const MapEntry* Mapped(const Study& s) const;
    static std::string Identity(const Study& s);

    Options m_options;
    std::vector<Study> m_studies;
    std::map<std::string, MapEntry> m_map;         // by study path or normalised GUID
    std::map<std::string, Subject> m_subjects;     // by identity
    std::map<std::string, std::vector<std::string>> m_placed; // by study source
    std::map<std::string, std::string> m_sessions; // study's absolute path -> "subject/session"
    mutable std::set<int> m_usedLines;             // of the mapping file
};

} // namespace sk::bids

#pragma once
// Strict, independent checks of EDF/EDF+ files for tests: a header parser
// that refuses anything the EDF and EDF+ rules forbid, access to the raw data
// records, a TAL parser for the "EDF Annotations" signal, and a BioSig
// reader (EDFlib refuses EDF+D files, BioSig reads them). Nothing here uses
// the writer's code.

#include <cstdint>
#include <string>
#include <vector>

namespace sk::test {

struct EdfSignal {
    std::string label, transducer, dimension, prefilter;
    double physMin = 0, physMax = 0;
    int digMin = 0, digMax = 0;
    int samples = 0; // per data record
};

struct EdfHeader {
    std::string patient, recording, startDate, startTime, reserved;
    int headerBytes = 0;
    int64_t records = 0;
    std::string durationText;
    double duration = 0;
    int ns = 0;
    std::vector<EdfSignal> signals;
    int64_t recordBytes = 0; // bytes of one data record
    int annotationSignal = -1; // index of "EDF Annotations", -1 when none
};

struct Tal {
    double onset = 0;
    double duration = -1; // -1: none
    std::vector<std::string> texts; // empty for a time-keeping TAL
};

// One EDF/EDF+ file read into memory with its header checked strictly.
class EdfFile {
public:
    // Reads and checks; Error() is empty when the file keeps every rule.
    explicit EdfFile(const std::string& path);
    const std::string& Error() const { return m_error; }
    bool Ok() const { return m_error.empty(); }
    const EdfHeader& Header() const { return m_header; }
    // Digital sample i of signal s in data record r.
    int16_t Sample(int64_t r, int s, int i) const;
    // TALs of record r's annotation signal (first one is the time-keeping TAL).
    std::vector<Tal> Tals(int64_t r, std::string* error = nullptr) const;
    // Start of record r from its time-keeping TAL (EDF+), else r x duration.
    double RecordOnset(int64_t r) const;
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

private:
    void Check();
    std::string m_path, m_error;
    std::vector<uint8_t> m_bytes;
    EdfHeader m_header;
    std::vector<int64_t> m_signalOffset; // byte offset of each signal in a record
};

// Parses the TALs of one annotation signal block; error describes the first
// violation of the TAL rules.
std::vector<Tal> ParseTals(const uint8_t* data, size_t size, std::string* error);

struct BiosigEvent {
    std::string text;
    double timeStampSeconds = 0; // event's own time stamp (0 when none), seconds since year 0
};

struct BiosigRead {
    bool ok = false;
    std::string error;
    int channels = 0;          // data channels (annotation channel excluded)
    size_t records = 0;
    std::vector<std::vector<double>> data; // per channel, physical values
    std::vector<BiosigEvent> events;
};

// Opens the file with BioSig and reads every data channel.
BiosigRead ReadWithBiosig(const std::string& path);

} // namespace sk::test

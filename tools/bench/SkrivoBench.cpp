// skrivo-bench: export throughput against two baselines, in the same run and
// the same output folder.
//
//   edf     our exporter (CSkrivoer::Export) writing EDF+ (EDFlib writes
//           only EDF+, so both write the same kind of file)
//   edflib  a plain converter on EDFlib's writer: the same samples, read
//           through the same recording-access classes, written signal by
//           signal as a general-purpose writer takes them
//   copy    copying a file of the same size in 1 MiB blocks
//
// Every figure ends with a data sync of its file. Each measurement runs in a
// child process; our exports run as fresh processes so that their peak
// memory is their own. Simulated studies are
// kept in the work folder and reused by later runs. They are stored in the
// newest storage schema (3, channel-major blocks) unless --schema names
// another.
//
// Usage: skrivo-bench [--dir FOLDER] [--quick] [--no-memory] [--schema 1|2|3]
// The last output line is
//   bench: edf_MBps=<x> edflib_MBps=<y> copy_MBps=<z> vs_edflib=<x/y> vs_copy=<x/z> peak_rss_MiB=<m>
//          cpu_vs_edflib=<EDFlib converter's CPU seconds over ours, per output byte>

#include <edflib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/KeyTree.h"
#include "platform/recording/DataProducer.h"
#include "platform/recording/RawDataFile.h"
#include "platform/recording/SampleFrame.h"
#include "platform/recording/StcFile.h"
#include "platform/recording/TocFile.h"
#include "tools/simulator/StudySimulator.h"
#include "writer/ExportDetails.h"
#include "writer/Skrivoer.h"

namespace fs = std::filesystem;

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool SyncFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fdatasync(fd) == 0;
    ::close(fd);
    return ok;
}

// Runs fn in a child process; returns its wall time (seconds, measured by the
// child and passed back), its CPU time (user and system, all its threads) and
// peak resident memory (KiB). Negative time on failure.
struct ChildResult {
    double seconds = -1;
    double cpuSeconds = 0;
    long maxRssKiB = 0;
};

double CpuSeconds(const struct rusage& ru) {
    auto sec = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
    return sec(ru.ru_utime) + sec(ru.ru_stime);
}

ChildResult InChild(const std::function<double()>& fn) {
    ChildResult r;
    int fds[2];
    if (pipe(fds) != 0)
        return r;
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid < 0)
        return r;
    if (pid == 0) {
        close(fds[0]);
        double t = fn();
        std::fflush(stdout);
        if (write(fds[1], &t, sizeof t) != sizeof t)
            _exit(2);
        _exit(0);
    }
    close(fds[1]);
    double t = -1;
    if (read(fds[0], &t, sizeof t) != sizeof t)
        t = -1;
    close(fds[0]);
    int status = 0;
    struct rusage ru {};
    wait4(pid, &status, 0, &ru);
    r.seconds = (WIFEXITED(status) && WEXITSTATUS(status) == 0) ? t : -1;
    r.cpuSeconds = CpuSeconds(ru);
    r.maxRssKiB = ru.ru_maxrss;
    return r;
}

struct Study {
    std::string name;
    sk::sim::SimOptions opt;
    CKeyTree desc;
    std::wstring folder;
};

bool PrepareStudy(Study& s, const fs::path& root) {
    // Schema 2 keeps the folder names of the runs before schema 3 existed.
    s.opt.folder = root / ("study-" + s.name + (s.opt.schema == 2 ? "" : "-s" + std::to_string(s.opt.schema)));
    s.folder = s.opt.folder.wstring() + L"/";
    const fs::path eeg = s.opt.folder / (s.opt.studyName + L".EEG");
    if (!fs::exists(eeg)) {
        std::printf("simulating %s ...\n", s.name.c_str());
        std::fflush(stdout);
        double t0 = Now();
        sk::sim::SimResult r = sk::sim::SimulateStudy(s.opt);
        if (!r.ok) {
            std::printf("simulation failed: %ls\n", r.error.c_str());
            return false;
        }
        std::printf("  simulated in %.1f s\n", Now() - t0);
    }
    return CSkrivoer::ProbeStudy(s.folder, s.opt.studyName, &s.desc);
}

CKeyTree BenchTemplate(const std::wstring& channels = L"RawData") {
    CKeyTree t;
    t.AddKey(L"ExportFormat", std::wstring(L"EDF+"));
    t.AddKey(L"ExportChannels", channels);
    t.AddKey(L"Extension", std::wstring(L".EDF"));
    return t;
}

// Our exporter; returns seconds (the file is synced by the exporter).
double RunOurs(const Study& s, const fs::path& out, const std::wstring& channels = L"RawData") {
    CSkrivoer w(s.desc, BenchTemplate(channels), out.wstring());
    CExportDetails d(L"bench", s.folder, s.opt.studyName, nullptr);
    double t0 = Now();
    bool ok = w.Export(&d);
    double t = Now() - t0;
    if (!ok) {
        std::printf("export failed: %ls\n", w.GetLastErrorText().c_str());
        return -1;
    }
    return t;
}

// The EDFlib converter. Same layout as ours (record duration and samples per
// record), same 16-bit samples; the samples are read through the recording
// classes and written signal by signal.
double RunEdflib(const Study& s, const std::string& path, double recordSeconds, int spr) {
    const CItemList* raw = AsItemList(s.desc.GetAt(L"Channels.Raw"));
    const int ns = raw ? raw->GetCount() : 0;
    if (ns == 0 || spr <= 0)
        return -1;
    struct Conv {
        int storage;
        double gain, offset;
        int dmin, dmax;
    };
    std::vector<Conv> conv;
    double t0 = Now();
    int h = edfopen_file_writeonly(path.c_str(), EDFLIB_FILETYPE_EDFPLUS, ns);
    if (h < 0) {
        std::printf("EDFlib cannot create %s (%d)\n", path.c_str(), h);
        return -1;
    }
    edf_set_datarecord_duration(h, static_cast<int>(std::llround(recordSeconds * 100000)));
    for (int i = 0; i < ns; ++i) {
        const CKeyTree* e = AsKeyTree(raw->GetChild(i));
        int dmin = IntOf(e->GetAt(L"DigitalMinimum"), -32768), dmax = IntOf(e->GetAt(L"DigitalMaximum"), 32767);
        double pmin = RealOf(e->GetAt(L"PhysicalMinimum"), -1), pmax = RealOf(e->GetAt(L"PhysicalMaximum"), 1);
        int edmin = std::max(dmin, -32768), edmax = std::min(dmax, 32767);
        if (std::abs(static_cast<long long>(dmax) - dmin) >= 65535) {
            edmin = -32768;
            edmax = 32767;
        }
        double inScale = (pmax - pmin) / (dmax - dmin), inOff = pmax - dmax * inScale;
        double outScale = (pmax - pmin) / (edmax - edmin), outOff = pmax - edmax * outScale;
        conv.push_back({IntOf(e->GetAt(L"StorageIndex"), i), inScale / outScale, (inOff - outOff) / outScale, edmin, edmax});
        edf_set_samplefrequency(h, i, spr);
        edf_set_physical_maximum(h, i, pmax);
        edf_set_physical_minimum(h, i, pmin);
        edf_set_digital_maximum(h, i, edmax);
        edf_set_digital_minimum(h, i, edmin);
        std::wstring label = AsCStr(e->GetAt(L"Label"), L"");
        edf_set_label(h, i, std::string(label.begin(), label.end()).c_str());
        edf_set_physical_dimension(h, i, "uV");
    }
    std::vector<std::vector<short>> block(static_cast<size_t>(ns), std::vector<short>(static_cast<size_t>(spr)));
    std::vector<uint8_t> fr(frame::kFrameSize);
    int filled = 0;
    auto flush = [&]() {
        for (int i = 0; i < ns; ++i)
            edfwrite_digital_short_samples(h, block[static_cast<size_t>(i)].data());
        filled = 0;
    };
    CStcFile stc;
    if (!stc.Open(AsCStr(s.desc.GetAt(L"Files.STC"), L""), CEegFile::modeRead)) {
        std::printf("cannot open the segment table\n");
        return -1;
    }
    for (STC_ENTRY e = stc.FindStcEntry(-1); e.m_number >= 0;) {
        std::wstring base = s.folder + std::wstring(e.m_name);
        CTocFile toc;
        CRawDataFile rawFile;
        if (toc.Open(base + L".ETC", CEegFile::modeRead) && rawFile.Open(base + L".ERD", CEegFile::modeRead)) {
            const CRawDataHeader* rh = rawFile.GetRawHeader();
            CDataProducer* p = CDataProducer::CreateDataProducer(rh->m_schema, rh->m_frameWord, &rawFile);
            p->Attach(&rawFile);
            p->GetDataInterface()->Init(rh->m_channelCount, rh->m_schema, rh->m_decimation, rh->m_sampleFreq);
            for (int k = 0; k < toc.GetEntryCount(); ++k) {
                const TOC_ENTRY& te = toc.GetEntry(k);
                rawFile.Seek(static_cast<int64_t>(te.DataOffset()), 0);
                for (int n = 0; n < te.m_sampleCount; ++n) {
                    if (p->ReadSample(&rawFile, fr.data(), fr.data()) != 1)
                        break;
                    for (int i = 0; i < ns; ++i) {
                        const Conv& c = conv[static_cast<size_t>(i)];
                        int32_t v = frame::Value(fr.data(), c.storage);
                        long d;
                        if (v == 0x7FFFC0 || v == 0x7FFFFF)
                            d = c.dmax;
                        else if (v == 0x7FFF80)
                            d = c.dmin;
                        else
                            d = std::clamp(static_cast<long>(v * c.gain + c.offset + 0.5), static_cast<long>(c.dmin),
                                           static_cast<long>(c.dmax));
                        block[static_cast<size_t>(i)][static_cast<size_t>(filled)] = static_cast<short>(d);
                    }
                    if (++filled == spr)
                        flush();
                }
            }
            p->Release();
        }
        if (!stc.NextStcEntry(&e))
            break;
    }
    if (filled > 0) {
        for (auto& b : block)
            std::fill(b.begin() + filled, b.end(), 0);
        flush();
    }
    edfclose_file(h);
    SyncFile(path);
    return Now() - t0;
}

double RunCopy(const std::string& from, const std::string& to) {
    std::vector<char> buf(1 << 20);
    double t0 = Now();
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || out < 0)
        return -1;
    for (;;) {
        ssize_t n = ::read(in, buf.data(), buf.size());
        if (n <= 0)
            break;
        if (::write(out, buf.data(), static_cast<size_t>(n)) != n)
            return -1;
    }
    ::fdatasync(out);
    ::close(in);
    ::close(out);
    return Now() - t0;
}

// Drops a file's pages so every run reads its input the same way (best
// effort; the study files are read by all three figures alike).
void Forget(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

// Runs "<this program> --export FOLDER NAME OUT" as a fresh process, so that
// its peak memory is the export's own and nothing inherited from this one.
ChildResult ExportInFreshProcess(const Study& s, const fs::path& out) {
    ChildResult r;
    int fds[2];
    if (pipe(fds) != 0)
        return r;
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid < 0)
        return r;
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        const std::string folder = s.opt.folder.string() + "/";
        const std::string name(s.opt.studyName.begin(), s.opt.studyName.end());
        const std::string o = out.string();
        execl("/proc/self/exe", "skrivo-bench", "--export", folder.c_str(), name.c_str(), o.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char buf[128] = {};
    ssize_t n = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    int status = 0;
    struct rusage ru {};
    wait4(pid, &status, 0, &ru);
    if (n > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        r.seconds = std::strtod(buf, nullptr);
    r.cpuSeconds = CpuSeconds(ru);
    r.maxRssKiB = ru.ru_maxrss;
    return r;
}

// The --export mode: probe and export one study, print the seconds.
// channels: the template's channel choice (RawData, AcquisitionMontage).
int ExportMode(const std::string& folder, const std::string& name, const std::string& out,
               const std::string& channels) {
    Study s;
    s.folder = std::wstring(folder.begin(), folder.end());
    s.opt.studyName = std::wstring(name.begin(), name.end());
    if (!CSkrivoer::ProbeStudy(s.folder, s.opt.studyName, &s.desc))
        return 1;
    double t = RunOurs(s, out, std::wstring(channels.begin(), channels.end()));
    if (t < 0)
        return 1;
    std::printf("%.6f\n", t);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if ((argc == 5 || argc == 6) && std::string(argv[1]) == "--export")
        return ExportMode(argv[2], argv[3], argv[4], argc == 6 ? argv[5] : "RawData");
    fs::path root = fs::current_path() / "skrivo-bench-work";
    bool quick = false, memory = true;
    uint16_t schema = 3;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc)
            root = argv[++i];
        else if (a == "--quick")
            quick = true;
        else if (a == "--no-memory")
            memory = false;
        else if (a == "--schema" && i + 1 < argc && std::strlen(argv[i + 1]) == 1 && argv[i + 1][0] >= '1' &&
                 argv[i + 1][0] <= '3')
            schema = static_cast<uint16_t>(argv[++i][0] - '0');
        else {
            std::printf("usage: skrivo-bench [--dir FOLDER] [--quick] [--no-memory] [--schema 1|2|3]\n");
            return 2;
        }
    }
    fs::create_directories(root);
    const fs::path out = root / "out";

    // Study A: 32 channels at 256 Hz for one hour; study B: 264 channels at
    // 1024 Hz for ten minutes.
    std::vector<Study> studies(2);
    studies[0].name = quick ? "32ch-256Hz-5min" : "32ch-256Hz-1h";
    studies[0].opt.headboxType = 2;
    studies[0].opt.sampleRate = 256;
    studies[0].opt.durationSeconds = quick ? 300 : 3600;
    studies[1].name = quick ? "264ch-1024Hz-1min" : "264ch-1024Hz-10min";
    studies[1].opt.headboxType = 13;
    studies[1].opt.sampleRate = 1024;
    studies[1].opt.durationSeconds = quick ? 60 : 600;
    for (auto& s : studies) {
        s.opt.schema = schema;
        s.opt.studyName = L"bench";
        if (!PrepareStudy(s, root))
            return 1;
    }

    double edfBytes = 0, edfSec = 0, libBytes = 0, libSec = 0, copyBytes = 0, copySec = 0;
    double edfCpu = 0, libCpu = 0;
    long peakKiB = 0;
    for (auto& s : studies) {
        fs::remove_all(out);
        fs::create_directories(out);
        // Writes still pending from before (the studies just simulated, the
        // last run's files) would drain into whichever figure comes next.
        ::sync();
        for (const auto& e : fs::directory_iterator(s.opt.folder))
            Forget(e.path().string());
        ChildResult ours = ExportInFreshProcess(s, out);
        const fs::path edf = out / "bench.EDF";
        if (ours.seconds < 0 || !fs::exists(edf)) {
            std::printf("%s: our export failed\n", s.name.c_str());
            return 1;
        }
        const double bytes = static_cast<double>(fs::file_size(edf));
        peakKiB = std::max(peakKiB, ours.maxRssKiB);

        // The same layout for EDFlib.
        CSkrivoer layout(s.desc, BenchTemplate(), L"");
        layout.ProcessRecordData();
        layout.ComputeRecordLayout();
        for (const auto& e : fs::directory_iterator(s.opt.folder))
            Forget(e.path().string());
        const std::string libPath = (out / "edflib.edf").string();
        ChildResult lib = InChild([&] {
            return RunEdflib(s, libPath, layout.GetRecordDuration(), layout.GetFramesPerRecord());
        });
        const double lbytes = fs::exists(libPath) ? static_cast<double>(fs::file_size(libPath)) : 0;
        Forget(edf.string());
        ChildResult copy = InChild([&] { return RunCopy(edf.string(), (out / "copy.edf").string()); });
        if (lib.seconds <= 0 || copy.seconds <= 0) {
            std::printf("%s: a baseline failed (edflib %.3f, copy %.3f)\n", s.name.c_str(), lib.seconds, copy.seconds);
            return 1;
        }
        std::printf("%-22s edf %7.1f MB/s (%.0f MB, %.2f s, cpu %.2f s, %ld MiB)  edflib %7.1f MB/s (%.2f s, cpu %.2f s)"
                    "  copy %7.1f MB/s\n",
                    s.name.c_str(), bytes / ours.seconds / 1e6, bytes / 1e6, ours.seconds, ours.cpuSeconds,
                    ours.maxRssKiB / 1024, lbytes / lib.seconds / 1e6, lib.seconds, lib.cpuSeconds,
                    bytes / copy.seconds / 1e6);
        edfBytes += bytes;
        edfSec += ours.seconds;
        libBytes += lbytes;
        libSec += lib.seconds;
        edfCpu += ours.cpuSeconds;
        libCpu += lib.cpuSeconds;
        copyBytes += bytes;
        copySec += copy.seconds;
    }
    fs::remove_all(out);

    if (memory) {
        // Peak memory must follow the record layout, not the recording's
        // length: a four-hour export against a one-hour one (12 channels at
        // 128 Hz keep the simulation short).
        long rss[2] = {0, 0};
        const double hours[2] = {1, 4};
        for (int k = 0; k < 2; ++k) {
            Study m;
            m.name = k == 0 ? "mem-1h" : "mem-4h";
            m.opt.headboxType = 23;
            m.opt.sampleRate = 128;
            m.opt.durationSeconds = hours[k] * 3600;
            m.opt.schema = schema;
            m.opt.studyName = L"bench";
            if (!PrepareStudy(m, root))
                return 1;
            fs::create_directories(out);
            ChildResult r = ExportInFreshProcess(m, out);
            rss[k] = r.maxRssKiB;
            fs::remove_all(out);
        }
        std::printf("peak memory: 1 h %ld KiB, 4 h %ld KiB, ratio %.3f\n", rss[0], rss[1],
                    rss[0] > 0 ? static_cast<double>(rss[1]) / static_cast<double>(rss[0]) : 0.0);
        peakKiB = std::max(peakKiB, rss[1]);
    }

    const double x = edfBytes / edfSec / 1e6, y = libBytes / libSec / 1e6, z = copyBytes / copySec / 1e6;
    // CPU seconds per byte of output, EDFlib's over ours.
    const double cpuRatio = edfCpu > 0 && libBytes > 0 ? (libCpu / libBytes) / (edfCpu / edfBytes) : 0.0;
    std::printf("bench: edf_MBps=%.1f edflib_MBps=%.1f copy_MBps=%.1f vs_edflib=%.2f vs_copy=%.2f peak_rss_MiB=%.1f"
                " cpu_vs_edflib=%.2f\n",
                x, y, z, x / y, x / z, static_cast<double>(peakKiB) / 1024.0, cpuRatio);
    return 0;
}

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/simulator/StudySimulator.h"

namespace sk::sim {

namespace {

// Numbers on the command line use '.' whatever the locale.
bool ParseDouble(const char* s, double& out)
{
    const char* end = s + std::strlen(s);
    const auto r = std::from_chars(s, end, out);
    return r.ec == std::errc() && r.ptr == end;
}

bool ParseInt(const char* s, long long& out)
{
    const char* end = s + std::strlen(s);
    const auto r = std::from_chars(s, end, out);
    return r.ec == std::errc() && r.ptr == end;
}

std::wstring Widen(const char* s)
{
    // Arguments are UTF-8; decode so names with accents survive.
    std::wstring out;
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    while (*p) {
        uint32_t c = *p++;
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra) c &= (0x3F >> extra);
        for (int i = 0; i < extra && (*p & 0xC0) == 0x80; ++i) c = (c << 6) | (*p++ & 0x3F);
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

void Usage()
{
    std::fprintf(stderr,
                 "usage: simulate --out DIR [--name \"Last, First\"] [--study NAME] [--headbox N] [--breakouts N]\n"
                 "                [--rate HZ] [--seconds S] [--seed N] [--schema 1|2|3] [--sleep] [--staging-type N]\n"
                 "                [--decimate N] [--gap AT:LEN[:seg]]... [--no-notes] [--no-montage]\n"
                 "                [--creation-ms N]\n");
}

} // namespace

int RunSimulatorCommand(int argc, char** argv)
{
    SimOptions o;
    bool haveOut = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--sleep") { o.studyGroup = 2; continue; }
        if (a == "--no-notes") { o.notes = false; continue; }
        if (a == "--no-montage") { o.montageNote = false; continue; }
        if (a == "-h" || a == "--help") { Usage(); return 0; }
        if (!(v = value())) { Usage(); return 2; }
        double d = 0;
        long long n = 0;
        bool ok = true;
        if (a == "--out") { o.folder = v; haveOut = true; }
        else if (a == "--study") o.studyName = Widen(v);
        else if (a == "--name") SetPatientName(o, Widen(v));
        else if (a == "--headbox") { ok = ParseInt(v, n); o.headboxType = static_cast<int>(n); }
        else if (a == "--breakouts") { ok = ParseInt(v, n); o.breakouts = static_cast<int>(n); }
        else if (a == "--rate") { ok = ParseDouble(v, d); o.sampleRate = d; }
        else if (a == "--seconds") { ok = ParseDouble(v, d); o.durationSeconds = d; }
        else if (a == "--seed") { ok = ParseInt(v, n) && n >= 0; o.seed = static_cast<uint32_t>(n); }
        else if (a == "--schema") { ok = ParseInt(v, n); o.schema = static_cast<uint16_t>(n); }
        else if (a == "--staging-type") { ok = ParseInt(v, n); o.stagingType = static_cast<int>(n); }
        else if (a == "--creation-ms") { ok = ParseInt(v, n) && n >= 0 && n <= 999; o.creationMillis = static_cast<int>(n); }
        else if (a == "--decimate") { ok = ParseInt(v, n); o.decimation = static_cast<int>(n); }
        else if (a == "--gap") {
            // AT:LEN or AT:LEN:seg
            std::string g = v;
            SimGap gap;
            const size_t c1 = g.find(':');
            const size_t c2 = c1 == std::string::npos ? c1 : g.find(':', c1 + 1);
            const std::string len = c1 == std::string::npos ? "" : g.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
            ok = c1 != std::string::npos && ParseDouble(g.substr(0, c1).c_str(), gap.atSeconds) &&
                 ParseDouble(len.c_str(), gap.seconds) && (c2 == std::string::npos || g.substr(c2 + 1) == "seg");
            gap.newSegment = c2 != std::string::npos;
            o.gaps.push_back(gap);
        } else ok = false;
        if (!ok) { Usage(); return 2; }
    }
    if (!haveOut) { Usage(); return 2; }
    const SimResult r = SimulateStudy(o);
    if (!r.ok) {
        std::fprintf(stderr, "simulate: %ls\n", r.error.c_str());
        return 1;
    }
    std::printf("%s\n", r.eegFile.string().c_str());
    return 0;
}

} // namespace sk::sim

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/simulator/StudySimulator.h"

namespace sk::sim {

namespace {

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
                 "                [--rate HZ] [--seconds S] [--seed N] [--schema 1|2] [--sleep] [--staging-type N]\n"
                 "                [--decimate N] [--gap AT:LEN[:seg]]... [--no-notes] [--no-montage]\n");
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
        char* end = nullptr;
        if (a == "--out") { o.folder = v; haveOut = true; }
        else if (a == "--study") o.studyName = Widen(v);
        else if (a == "--name") SetPatientName(o, Widen(v));
        else if (a == "--headbox") o.headboxType = std::atoi(v);
        else if (a == "--breakouts") o.breakouts = std::atoi(v);
        else if (a == "--rate") o.sampleRate = std::strtod(v, &end);
        else if (a == "--seconds") o.durationSeconds = std::strtod(v, &end);
        else if (a == "--seed") o.seed = static_cast<uint32_t>(std::strtoul(v, &end, 10));
        else if (a == "--schema") o.schema = static_cast<uint16_t>(std::atoi(v));
        else if (a == "--staging-type") o.stagingType = std::atoi(v);
        else if (a == "--decimate") o.decimation = std::atoi(v);
        else if (a == "--gap") {
            SimGap g;
            char seg[8] = {};
            if (std::sscanf(v, "%lf:%lf:%7s", &g.atSeconds, &g.seconds, seg) < 2) { Usage(); return 2; }
            g.newSegment = std::strcmp(seg, "seg") == 0;
            o.gaps.push_back(g);
        } else { Usage(); return 2; }
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

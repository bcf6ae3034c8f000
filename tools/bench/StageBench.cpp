// Throughput of the export's stages, each against its limit, so that a
// regression shows at the stage that caused it (bytes_per_second):
//   memcpy   moving the same bytes: the ceiling of any stage
//   Crc32    the block checksum, at study record and block sizes
//   Decode   compressed raw data into channel arrays (bytes of rows the
//            values would fill; items are values), per storage schema; the
//            study is simulated once into a temp folder
// The conversion into EDF samples is in RecordWriterBench.cpp.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <unistd.h>
#include <vector>

#include "platform/Crc32.h"
#include "platform/recording/DataProducer.h"
#include "platform/recording/RawDataFile.h"
#include "platform/recording/TocFile.h"
#include "tools/simulator/StudySimulator.h"

namespace {

std::vector<uint8_t> Noise(size_t n) {
    std::vector<uint8_t> b(n);
    std::mt19937 rng(7);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

void BM_Memcpy(benchmark::State& state) {
    const auto n = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> in = Noise(n);
    std::vector<uint8_t> out(n);
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), n);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

void BM_Crc32(benchmark::State& state) {
    const auto n = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> in = Noise(n);
    for (auto _ : state)
        benchmark::DoNotOptimize(sk::Crc32(in.data(), n));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

// A simulated compressed study (range(0) channels' headbox, 1024 Hz, 4 s,
// storage schema range(1)), decoded entry by entry as the export's reader
// thread does.
void BM_Decode(benchmark::State& state) {
    const int headbox = static_cast<int>(state.range(0));
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("skrivo-stage-" + std::to_string(getpid()) + "-" + std::to_string(headbox) + "-" +
                                                    std::to_string(state.range(1)));
    sk::sim::SimOptions o;
    o.folder = dir;
    o.headboxType = headbox;
    o.sampleRate = 1024;
    o.durationSeconds = 4;
    o.schema = static_cast<uint16_t>(state.range(1));
    o.notes = false;
    const sk::sim::SimResult sim = sk::sim::SimulateStudy(o);
    CTocFile toc;
    CRawDataFile raw;
    if (!sim.ok || !toc.Open(sim.etcFiles[0].wstring(), CEegFile::modeRead) ||
        !raw.Open(sim.erdFiles[0].wstring(), CEegFile::modeRead)) {
        state.SkipWithError("simulated study not readable");
        std::filesystem::remove_all(dir);
        return;
    }
    const CRawDataHeader* h = raw.GetRawHeader();
    CDataProducer* p = CDataProducer::CreateDataProducer(h->m_schema, h->m_frameWord, &raw);
    p->Init(h->m_channelCount, h->m_schema, h->m_decimation, h->m_sampleFreq);
    // Channel by channel, as the exporter's reader decodes (channels an odd
    // number of cache lines apart, as there).
    const size_t stride = 1 + 4 * static_cast<size_t>(h->m_channelCount);
    std::vector<uint8_t> flags(1024);
    std::vector<int32_t> values(1040 * static_cast<size_t>(h->m_channelCount));
    int64_t samples = 0;
    for (auto _ : state) {
        for (int k = 0; k < toc.GetEntryCount(); ++k) {
            const TOC_ENTRY& e = toc.GetEntry(k);
            raw.Seek(static_cast<int64_t>(e.DataOffset()), 0);
            for (int left = e.m_sampleCount; left > 0;) {
                const int n = p->ReadColumns(&raw, flags.data(), values.data(), 1040, std::min(left, 1024));
                if (n <= 0) {
                    state.SkipWithError("decoding failed");
                    break;
                }
                left -= n;
                samples += n;
            }
        }
        benchmark::DoNotOptimize(values.data());
    }
    p->Release();
    raw.Close();
    toc.Close();
    std::filesystem::remove_all(dir);
    state.SetBytesProcessed(samples * static_cast<int64_t>(stride));
    state.SetItemsProcessed(samples * h->m_channelCount);
}

} // namespace

BENCHMARK(BM_Memcpy)->Arg(32 << 10)->Arg(1 << 20);
// A table-of-contents entry, a segment record, a 32 KiB and a 400 KB block.
BENCHMARK(BM_Crc32)->Arg(28)->Arg(540)->Arg(32 << 10)->Arg(400000);
// Headbox 2 (32 channels) and 13 (264 channels), storage schemas 2 and 3.
BENCHMARK(BM_Decode)->Args({2, 2})->Args({13, 2})->Args({2, 3})->Args({13, 3})->Unit(benchmark::kMillisecond);

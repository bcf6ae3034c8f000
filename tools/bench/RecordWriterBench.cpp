// Throughput of the signal writers over one data record of sample frames.
// items_per_second is samples per second for one output signal,
// bytes_per_second the EDF bytes written.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "platform/recording/Montage.h"
#include "platform/recording/SampleFrame.h"
#include "recorddata/EDFMontageSignalData.h"
#include "recorddata/EDFSimpleSignalData.h"

namespace {

// One record of frames with noise in the first 64 channels, a few gap
// frames and out-of-range markers, as a recording would have them.
std::vector<uint8_t> MakeRecord(uint32_t frames) {
    std::vector<uint8_t> buf(static_cast<size_t>(frames) * frame::kFrameSize, 0);
    std::mt19937 rng(42);
    std::uniform_int_distribution<int32_t> value(-40000, 40000);
    for (uint32_t i = 0; i < frames; ++i) {
        uint8_t* f = buf.data() + static_cast<size_t>(i) * frame::kFrameSize;
        frame::SetStamp(f, i);
        for (int ch = 0; ch < 64; ++ch)
            frame::SetValue(f, ch, value(rng));
        if (i % 97 == 0)
            frame::SetValue(f, 3, frame::kAboveRangeA);
        if (i % 501 == 0)
            frame::SetFlags(f, frame::kFlagNoData);
    }
    return buf;
}

void RunWriter(benchmark::State& state, IEDFRecordWriter* writer) {
    const uint32_t frames = static_cast<uint32_t>(state.range(0));
    const std::vector<uint8_t> record = MakeRecord(frames);
    std::vector<uint8_t> out(2 * static_cast<size_t>(frames));
    for (auto _ : state) {
        writer->Write(0, frames - 1, record.data(), frames, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * frames);
    state.SetBytesProcessed(state.iterations() * frames * 2); // EDF samples written
}

void BM_SimpleWriter(benchmark::State& state) {
    CEDFSimpleSignalData signal(3);
    signal.SetInputRange(-32768, 32767, -3200.0, 3200.0);
    signal.Finalize();
    RunWriter(state, signal.GetWriter());
}

// The same channel's values as the exporter converts them: contiguous, as
// decoded, instead of gathered out of frames.
void BM_SimpleValues(benchmark::State& state) {
    CEDFSimpleSignalData signal(3);
    signal.SetInputRange(-32768, 32767, -3200.0, 3200.0);
    signal.Finalize();
    const uint32_t n = static_cast<uint32_t>(state.range(0));
    const std::vector<uint8_t> record = MakeRecord(n);
    std::vector<int32_t> values(n);
    for (uint32_t i = 0; i < n; ++i)
        values[i] = frame::Value(record.data() + static_cast<size_t>(i) * frame::kFrameSize, 3);
    std::vector<uint8_t> out(2 * static_cast<size_t>(n));
    for (auto _ : state) {
        signal.WriteValues(values.data(), n, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.SetBytesProcessed(state.iterations() * n * 2);
}

// Fp1 against the average of three inputs: four inputs per sample.
void BM_MontageWriter(benchmark::State& state) {
    CHalfMontageChannel first, second;
    first.SetName(L"Fp1");
    first.AddInput(0, 1.0f);
    for (int ch : {1, 2, 3})
        second.AddInput(ch, 1.0f / 3.0f);
    CMontageChannel channel(L"Fp1-Avg", 0);
    channel.SetFirstHalf(first);
    channel.SetSecondHalf(second);
    const std::vector<std::wstring> names = {L"Fp1", L"F3", L"C3", L"P3"};
    CEDFMontageSignalData signal(&channel, names);
    signal.SetInputRange(-32768, 32767, -3200.0, 3200.0);
    signal.ApplyCalibration(nullptr);
    RunWriter(state, signal.GetWriter());
}

// Bipolar derivation: one input per half.
void BM_BipolarWriter(benchmark::State& state) {
    CHalfMontageChannel first, second;
    first.SetName(L"Fp1");
    first.AddInput(0, 1.0f);
    second.SetName(L"F3");
    second.AddInput(1, 1.0f);
    CMontageChannel channel(L"Fp1-F3", 0);
    channel.SetFirstHalf(first);
    channel.SetSecondHalf(second);
    CEDFMontageSignalData signal(&channel, std::vector<std::wstring>{L"Fp1", L"F3"});
    signal.SetInputRange(-32768, 32767, -3200.0, 3200.0);
    signal.ApplyCalibration(nullptr);
    RunWriter(state, signal.GetWriter());
}

} // namespace

// 256 frames: one second at 256 Hz; 1536: a 6-second record at 256 Hz.
BENCHMARK(BM_SimpleWriter)->Arg(256)->Arg(1536);
BENCHMARK(BM_SimpleValues)->Arg(256)->Arg(1536);
BENCHMARK(BM_MontageWriter)->Arg(256)->Arg(1536);
BENCHMARK(BM_BipolarWriter)->Arg(256)->Arg(1536);

BENCHMARK_MAIN();

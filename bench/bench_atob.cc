// Throughput of the atob codec on 1 MiB against memcpy of the same bytes:
// both directions are one pass without allocation, so they should stay
// within a small factor of the copy.
#include <benchmark/benchmark.h>
#include <string.h>

#include <vector>

#include "zttools.h"

namespace {

constexpr int kBytes = 1 << 20;
constexpr size_t kEncodedSpace = 4 * (kBytes / 3 + 1) + 2;

std::vector<char> sample_bytes()
{
    std::vector<char> bytes(kBytes);
    for (int i = 0; i < kBytes; i++)
        bytes[i] = static_cast<char>(i * 2654435761u >> 24);
    return bytes;
}

void BM_Memcpy(benchmark::State &state)
{
    const std::vector<char> bytes = sample_bytes();
    std::vector<char> copy(kBytes);
    for (auto _ : state) {
        memcpy(copy.data(), bytes.data(), kBytes);
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}

// Each pass copies the bytes in and encodes them: the copy is the baseline's
// whole work, so the difference is the codec's.
void BM_Encode(benchmark::State &state)
{
    const std::vector<char> bytes = sample_bytes();
    std::vector<char> buffer(kEncodedSpace);
    for (auto _ : state) {
        memcpy(buffer.data(), bytes.data(), kBytes);
        benchmark::DoNotOptimize(atobEncode(buffer.data(), kBytes, 'c'));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_Decode(benchmark::State &state)
{
    std::vector<char> encoded(kEncodedSpace);
    const std::vector<char> bytes = sample_bytes();
    memcpy(encoded.data(), bytes.data(), kBytes);
    const int length = atobEncode(encoded.data(), kBytes, 'c');
    std::vector<char> buffer(static_cast<size_t>(length));
    for (auto _ : state) {
        memcpy(buffer.data(), encoded.data(), static_cast<size_t>(length));
        ATOB_State decoder = ATOB_Init;
        int count = length;
        benchmark::DoNotOptimize(atobDecode(&decoder, buffer.data(), &count));
        if (count != kBytes)
            state.SkipWithError("decoded length differs");
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}

BENCHMARK(BM_Memcpy);
BENCHMARK(BM_Encode);
BENCHMARK(BM_Decode);

}  // namespace

BENCHMARK_MAIN();

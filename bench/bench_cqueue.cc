// The circular queue's copy in and out against memcpy of the same bytes
// into and out of a ring of the same size, for small, middle and
// frame-sized items: what the queue adds is its index arithmetic and the
// length bookkeeping of each slot.
#include <benchmark/benchmark.h>
#include <string.h>

#include <vector>

#include "zttools.h"

namespace {

constexpr int kCapacity = 64;
constexpr int kBatch = 32;  // items in and out per round, fewer than fit

std::vector<char> sample(size_t size)
{
    std::vector<char> bytes(size);
    for (size_t i = 0; i < size; i++)
        bytes[i] = static_cast<char>(i * 131);
    return bytes;
}

void BM_MemcpyRing(benchmark::State &state)
{
    const auto size = static_cast<size_t>(state.range(0));
    const std::vector<char> item = sample(size);
    std::vector<char> ring(size * kCapacity), out(size);
    size_t slot = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; i++)
            memcpy(&ring[(slot + static_cast<size_t>(i)) % kCapacity * size], item.data(), size);
        for (int i = 0; i < kBatch; i++) {
            memcpy(out.data(), &ring[slot % kCapacity * size], size);
            slot++;
            benchmark::DoNotOptimize(out.data());
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kBatch * static_cast<int64_t>(size));
}

void BM_QueueCopy(benchmark::State &state)
{
    const int size = static_cast<int>(state.range(0));
    const std::vector<char> item = sample(static_cast<size_t>(size));
    std::vector<char> out(static_cast<size_t>(size));
    ztcq_queue queue;
    if (ztcq_init(&queue, size, kCapacity) != ZTCQ_OK) {
        state.SkipWithError("ztcq_init failed");
        return;
    }
    for (auto _ : state) {
        for (int i = 0; i < kBatch; i++)
            ztcq_copyto_queue(&queue, item.data(), size);
        for (int i = 0; i < kBatch; i++) {
            int len = size;
            if (ztcq_copyfrom_queue(&queue, out.data(), &len) != ZTCQ_OK || len != size)
                state.SkipWithError("item lost");
            benchmark::DoNotOptimize(out.data());
        }
        benchmark::ClobberMemory();
    }
    ztcq_destroy(&queue);
    state.SetBytesProcessed(state.iterations() * kBatch * static_cast<int64_t>(size));
}

BENCHMARK(BM_MemcpyRing)->Arg(16)->Arg(256)->Arg(1500);
BENCHMARK(BM_QueueCopy)->Arg(16)->Arg(256)->Arg(1500);

}  // namespace

BENCHMARK_MAIN();

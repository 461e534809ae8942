// Insert, find and delete of 100 000 int keys in shuffled order: the hash
// table (hash_int, hash_intcmp and the default multiplicative index)
// against std::unordered_map, both with the bucket count that the map picks
// for 100 000 elements, and against GLib's GHashTable with its own int
// callbacks (g_int_hash, g_int_equal; it grows as it fills), in the same
// run. The table compares keys through callbacks and keeps each bucket as a
// linked list, so it is expected to trail both by a small factor.
#include <benchmark/benchmark.h>
#ifdef ZT_BENCH_GLIB
#include <glib.h>
#endif

#include <algorithm>
#include <numeric>
#include <random>
#include <unordered_map>
#include <vector>

#include "zttools.h"

namespace {

constexpr int kKeys = 100000;

using Map = std::unordered_map<int, void *>;

// The keys 0 .. kKeys - 1 in a fixed shuffled order.
const std::vector<int> &keys()
{
    static const std::vector<int> shuffled = [] {
        std::vector<int> k(kKeys);
        std::iota(k.begin(), k.end(), 0);
        std::shuffle(k.begin(), k.end(), std::mt19937(7));
        return k;
    }();
    return shuffled;
}

Map empty_map()
{
    Map map;
    map.rehash(kKeys);
    return map;
}

int bucket_count()
{
    return static_cast<int>(empty_map().bucket_count());
}

hash_table *empty_table()
{
    return hash_create(bucket_count(), hash_int, nullptr, hash_intcmp);
}

void fill(hash_table *table)
{
    for (const int &k : keys())
        hash_add(table, &k, const_cast<int *>(&k));
}

void fill(Map &map)
{
    for (const int &k : keys())
        map.emplace(k, const_cast<int *>(&k));
}

void count_items(benchmark::State &state)
{
    state.SetItemsProcessed(state.iterations() * kKeys);
    state.counters["buckets"] = bucket_count();
}

void BM_HashInsert(benchmark::State &state)
{
    for (auto _ : state) {
        hash_table *table = empty_table();
        fill(table);
        state.PauseTiming();
        hash_del(table);
        state.ResumeTiming();
    }
    count_items(state);
}

void BM_MapInsert(benchmark::State &state)
{
    for (auto _ : state) {
        Map map = empty_map();
        fill(map);
        state.PauseTiming();
        map = Map();
        state.ResumeTiming();
    }
    count_items(state);
}

// Looks up every key of a filled table, then releases it.
void find_all(benchmark::State &state, hash_table *table)
{
    fill(table);
    for (auto _ : state) {
        for (const int &k : keys())
            benchmark::DoNotOptimize(hash_find_element(table, &k));
    }
    hash_del(table);
    count_items(state);
}

void BM_HashFind(benchmark::State &state)
{
    find_all(state, empty_table());
}

// The same look-ups with the multiplicative method in integer arithmetic
// (the golden ratio as a 32-bit fraction) in place of the default index
// callback, which works in double precision: about the same spread over
// the buckets, so the difference is what the default's arithmetic costs.
int golden_index(int hash, int count, list_link **)
{
    const uint32_t fraction = static_cast<uint32_t>(hash) * 2654435769u;
    return static_cast<int>(uint64_t{fraction} * static_cast<uint32_t>(count) >> 32);
}

void BM_HashFindIntIndex(benchmark::State &state)
{
    find_all(state, hash_create(bucket_count(), hash_int, golden_index, hash_intcmp));
}

void BM_MapFind(benchmark::State &state)
{
    Map map = empty_map();
    fill(map);
    for (auto _ : state) {
        for (const int &k : keys())
            benchmark::DoNotOptimize(map.find(k));
    }
    count_items(state);
}

void BM_HashDelete(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        hash_table *table = empty_table();
        fill(table);
        state.ResumeTiming();
        for (const int &k : keys())
            hash_del_element(table, &k);
        state.PauseTiming();
        if (hash_length(table) != 0)
            state.SkipWithError("entries left");
        hash_del(table);
        state.ResumeTiming();
    }
    count_items(state);
}

void BM_MapDelete(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        Map map = empty_map();
        fill(map);
        state.ResumeTiming();
        for (const int &k : keys())
            map.erase(k);
        state.PauseTiming();
        if (!map.empty())
            state.SkipWithError("entries left");
        map = Map();
        state.ResumeTiming();
    }
    count_items(state);
}

#ifdef ZT_BENCH_GLIB
GHashTable *filled_ghash()
{
    GHashTable *table = g_hash_table_new(g_int_hash, g_int_equal);
    for (const int &k : keys())
        g_hash_table_insert(table, const_cast<int *>(&k), const_cast<int *>(&k));
    return table;
}

void BM_GHashInsert(benchmark::State &state)
{
    for (auto _ : state) {
        GHashTable *table = filled_ghash();
        state.PauseTiming();
        g_hash_table_destroy(table);
        state.ResumeTiming();
    }
    count_items(state);
}

void BM_GHashFind(benchmark::State &state)
{
    GHashTable *table = filled_ghash();
    for (auto _ : state) {
        for (const int &k : keys())
            benchmark::DoNotOptimize(g_hash_table_lookup(table, &k));
    }
    g_hash_table_destroy(table);
    count_items(state);
}

void BM_GHashDelete(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        GHashTable *table = filled_ghash();
        state.ResumeTiming();
        for (const int &k : keys())
            g_hash_table_remove(table, &k);
        state.PauseTiming();
        if (g_hash_table_size(table) != 0)
            state.SkipWithError("entries left");
        g_hash_table_destroy(table);
        state.ResumeTiming();
    }
    count_items(state);
}

BENCHMARK(BM_GHashInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GHashFind)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GHashDelete)->Unit(benchmark::kMillisecond);
#endif

BENCHMARK(BM_MapInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HashInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapFind)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HashFind)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HashFindIntIndex)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapDelete)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HashDelete)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

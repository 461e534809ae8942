// Insert, find and delete of 100 000 int keys in shuffled order: the hash
// table (hash_int, hash_intcmp and the default multiplicative index)
// against std::unordered_map, both with the bucket count that the map picks
// for 100 000 elements, and against GLib's GHashTable with its own int
// callbacks (g_int_hash, g_int_equal; it grows as it fills), in the same
// run. The table compares keys through callbacks and keeps each bucket as a
// linked list, so it is expected to trail both by a small factor. The
// finds run also on 10 000 keys, where every contender's data fits in a
// second-level cache of 2 MiB: at 100 000 the table's entry blocks (a link
// and an entry each, one allocation per entry) no longer do, and
// GHashTable's arrays still do.
#include <benchmark/benchmark.h>
#ifdef ZT_BENCH_GLIB
#include <glib.h>
#endif

#include <span>
#include <unordered_map>
#include <vector>

#include "bench.h"
#include "zttools.h"

namespace {

constexpr int kKeys = 100000;
constexpr int kFewKeys = 10000;

using Map = std::unordered_map<int, void *>;

// The keys 0 .. kKeys - 1 in a fixed shuffled order.
const std::vector<int> &keys()
{
    static const std::vector<int> shuffled = bench::shuffled<int>(kKeys, 7);
    return shuffled;
}

// The first count keys of that order.
std::span<const int> first_keys(int count)
{
    return std::span(keys()).first(static_cast<size_t>(count));
}

Map empty_map(int count = kKeys)
{
    Map map;
    map.rehash(static_cast<size_t>(count));
    return map;
}

int bucket_count(int count = kKeys)
{
    return static_cast<int>(empty_map(count).bucket_count());
}

hash_table *empty_table(int count = kKeys)
{
    return hash_create(bucket_count(count), hash_int, nullptr, hash_intcmp);
}

hash_table *filled_table(hash_table *table, int count = kKeys)
{
    for (const int &k : first_keys(count))
        hash_add(table, &k, const_cast<int *>(&k));
    return table;
}

hash_table *filled_table(int count = kKeys)
{
    return filled_table(empty_table(count), count);
}

Map filled_map()
{
    Map map = empty_map();
    for (const int &k : keys())
        map.emplace(k, const_cast<int *>(&k));
    return map;
}

void release_map(Map &map)
{
    map = Map();
}

void count_items(benchmark::State &state, int count = kKeys)
{
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["buckets"] = bucket_count(count);
}

void BM_HashInsert(benchmark::State &state)
{
    bench::time_building(state, [] { return filled_table(); }, hash_del);
    count_items(state);
}

void BM_MapInsert(benchmark::State &state)
{
    bench::time_building(state, filled_map, release_map);
    count_items(state);
}

void *find_in_table(hash_table *table, const int &key)
{
    return hash_find_element(table, &key);
}

void BM_HashFind(benchmark::State &state)
{
    const auto count = static_cast<int>(state.range(0));
    bench::time_finding(state, filled_table(count), first_keys(count), find_in_table, hash_del);
    count_items(state, count);
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
    hash_table *table = filled_table(hash_create(bucket_count(), hash_int, golden_index, hash_intcmp));
    bench::time_finding(state, table, keys(), find_in_table, hash_del);
    count_items(state);
}

void BM_MapFind(benchmark::State &state)
{
    bench::time_finding(
        state, filled_map(), keys(), [](const Map &map, int key) { return map.find(key); },
        release_map);
    count_items(state);
}

void BM_HashDelete(benchmark::State &state)
{
    bench::time_removing(
        state, [] { return filled_table(); }, keys(),
        [](hash_table *table, const int &key) { hash_del_element(table, &key); },
        [](hash_table *table) { return hash_length(table) == 0; }, hash_del);
    count_items(state);
}

void BM_MapDelete(benchmark::State &state)
{
    bench::time_removing(
        state, filled_map, keys(), [](Map &map, int key) { map.erase(key); },
        [](const Map &map) { return map.empty(); }, release_map);
    count_items(state);
}

#ifdef ZT_BENCH_GLIB
GHashTable *filled_ghash(int count = kKeys)
{
    GHashTable *table = g_hash_table_new(g_int_hash, g_int_equal);
    for (const int &k : first_keys(count))
        g_hash_table_insert(table, const_cast<int *>(&k), const_cast<int *>(&k));
    return table;
}

void BM_GHashInsert(benchmark::State &state)
{
    bench::time_building(state, [] { return filled_ghash(); }, g_hash_table_destroy);
    count_items(state);
}

void BM_GHashFind(benchmark::State &state)
{
    const auto count = static_cast<int>(state.range(0));
    bench::time_finding(
        state, filled_ghash(count), first_keys(count),
        [](GHashTable *table, const int &key) { return g_hash_table_lookup(table, &key); },
        g_hash_table_destroy);
    count_items(state, count);
}

void BM_GHashDelete(benchmark::State &state)
{
    bench::time_removing(
        state, [] { return filled_ghash(); }, keys(),
        [](GHashTable *table, const int &key) { g_hash_table_remove(table, &key); },
        [](GHashTable *table) { return g_hash_table_size(table) == 0; }, g_hash_table_destroy);
    count_items(state);
}

BENCHMARK(BM_GHashInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GHashFind)->Arg(kKeys)->Arg(kFewKeys)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GHashDelete)->Unit(benchmark::kMillisecond);
#endif

BENCHMARK(BM_MapInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HashInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapFind)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HashFind)->Arg(kKeys)->Arg(kFewKeys)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HashFindIntIndex)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapDelete)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HashDelete)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

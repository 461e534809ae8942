// Insert, find and delete of 100 000 int keys in shuffled order: the tree
// (balanced once after the inserts, the balance counted with them) against
// std::set and GLib's GTree in the same run. The tree and GTree call their
// compare through a pointer, the set inlines its comparison; all allocate
// one node per key, and the other two keep their balance on every change.
#include <benchmark/benchmark.h>
#ifdef ZT_BENCH_GLIB
#include <glib.h>
#endif
#include <stdint.h>
#include <stdlib.h>

#include <set>
#include <vector>

#include "bench.h"
#include "zttools.h"

namespace {

constexpr intptr_t kKeys = 100000;

const std::vector<intptr_t> &shuffled_keys()
{
    static const std::vector<intptr_t> keys = bench::shuffled<intptr_t>(kKeys, 1);
    return keys;
}

void *item(intptr_t key)
{
    return reinterpret_cast<void *>(key);
}

int compare(const void *key, const void *item)
{
    intptr_t a = reinterpret_cast<intptr_t>(key), b = reinterpret_cast<intptr_t>(item);
    return a < b ? -1 : a > b;
}

zt_tree_node *balanced_tree()
{
    zt_tree_node *root = ZT_TREE_EMPTY;
    for (intptr_t key : shuffled_keys())
        root = zt_tree_insert(root, compare, item(key));
    return zt_tree_balance(root);
}

int free_node(zt_tree_node *node, void *)
{
    free(node);
    return 0;
}

void destroy(zt_tree_node *root)
{
    zt_tree_iter(root, free_node, ZT_TREE_POSTORDER, nullptr);
}

void count_items(benchmark::State &state)
{
    state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_TreeInsert(benchmark::State &state)
{
    bench::time_building(state, balanced_tree, destroy);
    count_items(state);
}

using Set = std::set<intptr_t>;

Set filled_set()
{
    return Set(shuffled_keys().begin(), shuffled_keys().end());
}

void clear_set(Set &set)
{
    set.clear();
}

void BM_SetInsert(benchmark::State &state)
{
    bench::time_building(
        state,
        [] {
            Set set;
            for (intptr_t key : shuffled_keys())
                set.insert(key);
            return set;
        },
        clear_set);
    count_items(state);
}

void BM_TreeFind(benchmark::State &state)
{
    bench::time_finding(
        state, balanced_tree(), shuffled_keys(),
        [](zt_tree_node *root, intptr_t key) { return zt_tree_find(root, compare, item(key)); },
        destroy);
    count_items(state);
}

void BM_SetFind(benchmark::State &state)
{
    bench::time_finding(
        state, filled_set(), shuffled_keys(), [](const Set &set, intptr_t key) { return set.find(key); },
        clear_set);
    count_items(state);
}

void BM_TreeDelete(benchmark::State &state)
{
    bench::time_removing(
        state, balanced_tree, shuffled_keys(),
        [](zt_tree_node *&root, intptr_t key) { root = zt_tree_delete(root, compare, item(key)); },
        [](zt_tree_node *root) { return root == &zt_tree_null; }, destroy);
    count_items(state);
}

void BM_SetDelete(benchmark::State &state)
{
    bench::time_removing(
        state, filled_set, shuffled_keys(), [](Set &set, intptr_t key) { set.erase(key); },
        [](const Set &set) { return set.empty(); }, clear_set);
    count_items(state);
}

#ifdef ZT_BENCH_GLIB
gint gcompare(gconstpointer key, gconstpointer item)
{
    return compare(key, item);
}

GTree *filled_gtree()
{
    GTree *tree = g_tree_new(gcompare);
    for (intptr_t key : shuffled_keys())
        g_tree_insert(tree, item(key), item(key));
    return tree;
}

void BM_GTreeInsert(benchmark::State &state)
{
    bench::time_building(state, filled_gtree, g_tree_destroy);
    count_items(state);
}

void BM_GTreeFind(benchmark::State &state)
{
    bench::time_finding(
        state, filled_gtree(), shuffled_keys(),
        [](GTree *tree, intptr_t key) { return g_tree_lookup(tree, item(key)); },
        g_tree_destroy);
    count_items(state);
}

void BM_GTreeDelete(benchmark::State &state)
{
    bench::time_removing(
        state, filled_gtree, shuffled_keys(),
        [](GTree *tree, intptr_t key) { g_tree_remove(tree, item(key)); },
        [](GTree *tree) { return g_tree_nnodes(tree) == 0; }, g_tree_destroy);
    count_items(state);
}

BENCHMARK(BM_GTreeInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GTreeFind)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GTreeDelete)->Unit(benchmark::kMillisecond);
#endif

BENCHMARK(BM_SetInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SetFind)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeFind)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SetDelete)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeDelete)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

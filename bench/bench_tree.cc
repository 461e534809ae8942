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

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "zttools.h"

namespace {

constexpr intptr_t kKeys = 100000;

const std::vector<intptr_t> &shuffled_keys()
{
    static const std::vector<intptr_t> keys = [] {
        std::vector<intptr_t> k(kKeys);
        for (intptr_t i = 0; i < kKeys; i++)
            k[static_cast<size_t>(i)] = i;
        std::shuffle(k.begin(), k.end(), std::mt19937(1));
        return k;
    }();
    return keys;
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
        root = zt_tree_insert(root, compare, reinterpret_cast<void *>(key));
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

void BM_TreeInsert(benchmark::State &state)
{
    for (auto _ : state) {
        zt_tree_node *root = balanced_tree();
        benchmark::DoNotOptimize(root);
        state.PauseTiming();
        destroy(root);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_SetInsert(benchmark::State &state)
{
    for (auto _ : state) {
        std::set<intptr_t> set;
        for (intptr_t key : shuffled_keys())
            set.insert(key);
        benchmark::DoNotOptimize(set);
        state.PauseTiming();
        set.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_TreeFind(benchmark::State &state)
{
    zt_tree_node *root = balanced_tree();
    for (auto _ : state) {
        for (intptr_t key : shuffled_keys())
            benchmark::DoNotOptimize(zt_tree_find(root, compare, reinterpret_cast<void *>(key)));
    }
    destroy(root);
    state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_SetFind(benchmark::State &state)
{
    const std::set<intptr_t> set(shuffled_keys().begin(), shuffled_keys().end());
    for (auto _ : state) {
        for (intptr_t key : shuffled_keys())
            benchmark::DoNotOptimize(set.find(key));
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_TreeDelete(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        zt_tree_node *root = balanced_tree();
        state.ResumeTiming();
        for (intptr_t key : shuffled_keys())
            root = zt_tree_delete(root, compare, reinterpret_cast<void *>(key));
        if (root != &zt_tree_null)
            state.SkipWithError("tree not empty");
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_SetDelete(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        std::set<intptr_t> set(shuffled_keys().begin(), shuffled_keys().end());
        state.ResumeTiming();
        for (intptr_t key : shuffled_keys())
            set.erase(key);
        if (!set.empty())
            state.SkipWithError("set not empty");
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
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
        g_tree_insert(tree, reinterpret_cast<void *>(key), reinterpret_cast<void *>(key));
    return tree;
}

void BM_GTreeInsert(benchmark::State &state)
{
    for (auto _ : state) {
        GTree *tree = filled_gtree();
        benchmark::DoNotOptimize(tree);
        state.PauseTiming();
        g_tree_destroy(tree);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_GTreeFind(benchmark::State &state)
{
    GTree *tree = filled_gtree();
    for (auto _ : state) {
        for (intptr_t key : shuffled_keys())
            benchmark::DoNotOptimize(g_tree_lookup(tree, reinterpret_cast<void *>(key)));
    }
    g_tree_destroy(tree);
    state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_GTreeDelete(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        GTree *tree = filled_gtree();
        state.ResumeTiming();
        for (intptr_t key : shuffled_keys())
            g_tree_remove(tree, reinterpret_cast<void *>(key));
        if (g_tree_nnodes(tree) != 0)
            state.SkipWithError("tree not empty");
        state.PauseTiming();
        g_tree_destroy(tree);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
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

// The list as a stack and as a walk: 1000 elements pushed in front and
// popped again, and one list_iterate over them with a callback, against
// std::list and GLib's GQueue (a GList with a head, tail and length) in the
// same run. All three allocate one link per element; the walks call a
// function per element (GQueue and the list through a pointer).
#include <benchmark/benchmark.h>
#include <stdint.h>
#ifdef ZT_BENCH_GLIB
#include <glib.h>
#endif

#include <list>
#include <numeric>
#include <vector>

#include "zttools.h"

namespace {

constexpr int kElements = 1000;

const std::vector<int> &elements()
{
    static const std::vector<int> values = [] {
        std::vector<int> v(kElements);
        std::iota(v.begin(), v.end(), 1);
        return v;
    }();
    return values;
}

void *element(const int &value)
{
    return const_cast<int *>(&value);
}

// Adds the element's value to the sum that arg points to.
void add_value(void *elem, void *sum)
{
    *static_cast<int64_t *>(sum) += *static_cast<const int *>(elem);
}

constexpr int64_t kSum = int64_t{kElements} * (kElements + 1) / 2;

void check_sum(benchmark::State &state, int64_t sum)
{
    if (sum != kSum * static_cast<int64_t>(state.iterations()))
        state.SkipWithError("wrong sum");
}

void count_items(benchmark::State &state)
{
    state.SetItemsProcessed(state.iterations() * kElements);
}

void BM_StdListPushPop(benchmark::State &state)
{
    std::list<void *> list;
    for (auto _ : state) {
        for (const int &value : elements())
            list.push_front(element(value));
        while (!list.empty()) {
            benchmark::DoNotOptimize(list.front());
            list.pop_front();
        }
    }
    count_items(state);
}

void BM_ListPushPop(benchmark::State &state)
{
    list_link *list = nullptr;
    for (auto _ : state) {
        for (const int &value : elements())
            list_push(element(value), &list);
        while (void *elem = list_pop(&list))
            benchmark::DoNotOptimize(elem);
    }
    count_items(state);
}

void BM_StdListIterate(benchmark::State &state)
{
    std::list<void *> filled;
    for (const int &value : elements())
        filled.push_back(element(value));
    int64_t sum = 0;
    for (auto _ : state) {
        for (void *elem : filled)
            add_value(elem, &sum);
        benchmark::DoNotOptimize(sum);
    }
    check_sum(state, sum);
    count_items(state);
}

int add_at(void *elem, int, void *sum)
{
    add_value(elem, sum);
    return 0;
}

void BM_ListIterate(benchmark::State &state)
{
    list_link *list = nullptr;
    for (const int &value : elements())
        list_append(element(value), &list);
    int64_t sum = 0;
    for (auto _ : state)
        list_iterate(&list, add_at, &sum);
    check_sum(state, sum);
    while (list_pop(&list)) {
    }
    count_items(state);
}

#ifdef ZT_BENCH_GLIB
void BM_GQueuePushPop(benchmark::State &state)
{
    GQueue queue = G_QUEUE_INIT;
    for (auto _ : state) {
        for (const int &value : elements())
            g_queue_push_head(&queue, element(value));
        while (void *elem = g_queue_pop_head(&queue))
            benchmark::DoNotOptimize(elem);
    }
    count_items(state);
}

void BM_GQueueIterate(benchmark::State &state)
{
    GQueue queue = G_QUEUE_INIT;
    for (const int &value : elements())
        g_queue_push_tail(&queue, element(value));
    int64_t sum = 0;
    for (auto _ : state)
        g_queue_foreach(&queue, add_value, &sum);
    check_sum(state, sum);
    g_queue_clear(&queue);
    count_items(state);
}

BENCHMARK(BM_GQueuePushPop);
BENCHMARK(BM_GQueueIterate);
#endif

BENCHMARK(BM_StdListPushPop);
BENCHMARK(BM_ListPushPop);
BENCHMARK(BM_StdListIterate);
BENCHMARK(BM_ListIterate);

}  // namespace

BENCHMARK_MAIN();

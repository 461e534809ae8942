// What the benchmarks share: the keys every contender gets, the three timed
// shapes that the containers and their peers run in (building, finding,
// removing), so that the library and its peers are timed by the same loop,
// and the bare local-socket exchange that the request benchmarks measure
// themselves against.
#ifndef ZT_BENCH_H
#define ZT_BENCH_H

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

namespace bench {

// 0 .. count - 1 in an order shuffled with seed.
template <typename Key> std::vector<Key> shuffled(size_t count, unsigned seed)
{
    std::vector<Key> keys(count);
    std::iota(keys.begin(), keys.end(), Key{0});
    std::shuffle(keys.begin(), keys.end(), std::mt19937(seed));
    return keys;
}

// Times make(), which builds a whole container and returns it; releasing it
// is not timed.
template <typename Make, typename Release>
void time_building(benchmark::State &state, Make make, Release release)
{
    for (auto _ : state) {
        auto container = make();
        benchmark::DoNotOptimize(container);
        state.PauseTiming();
        release(container);
        state.ResumeTiming();
    }
}

// Times find(container, key) for every key, in a container built once.
template <typename Container, typename Keys, typename Find, typename Release>
void time_finding(benchmark::State &state, Container container, const Keys &keys, Find find,
                  Release release)
{
    for (auto _ : state) {
        for (const auto &key : keys)
            benchmark::DoNotOptimize(find(container, key));
    }
    release(container);
}

// Times remove(container, key) for every key, in a container built anew
// (not timed) for each round; a round that leaves an entry is an error.
template <typename Make, typename Keys, typename Remove, typename IsEmpty, typename Release>
void time_removing(benchmark::State &state, Make make, const Keys &keys, Remove remove,
                   IsEmpty is_empty, Release release)
{
    for (auto _ : state) {
        state.PauseTiming();
        auto container = make();
        state.ResumeTiming();
        for (const auto &key : keys)
            remove(container, key);
        state.PauseTiming();
        if (!is_empty(container))
            state.SkipWithError("entries left");
        release(container);
        state.ResumeTiming();
    }
}

// The bare exchange: each connection sends one 8-byte word and gets it
// back. Serves the listening socket until the process is killed.
[[noreturn]] inline void serve_bare(int listener)
{
    for (;;) {
        int connection = accept(listener, nullptr, nullptr);
        char word[8];
        if (read(connection, word, sizeof word) == sizeof word)
            (void)!write(connection, word, sizeof word);
        close(connection);
    }
}

}  // namespace bench

#endif

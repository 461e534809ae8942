// The hash table: the ready-made callbacks' exact values and probe orders,
// duplicate keys, keys without a bucket, iteration order, lookups, adds and
// deletions from inside iterations, allocation failures, and random
// operation sequences against std::unordered_map.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

namespace failalloc = zt_test::failalloc;

int keys[64];
struct Keys {
    Keys()
    {
        for (int i = 0; i < 64; i++)
            keys[i] = i;
    }
} keys_init;

// A table of int keys, released at the end.
struct Table {
    hash_table *t;
    explicit Table(int count = 0, hash_index_fn index = nullptr)
        : t(hash_create(count, hash_int, index, hash_intcmp))
    {
    }
    ~Table() { hash_del(t); }
};

// Data of an entry: the key's own int.
void *data_of(int key)
{
    return &keys[key];
}

int value_of(const void *data)
{
    return data ? *static_cast<const int *>(data) : -1;
}

template <typename F> int iterate_del(hash_table *t, F fn)
{
    return hash_iterate_del(
        t,
        [](void *data, int position, void *f, void *) -> int {
            return (*static_cast<F *>(f))(data, position);
        },
        &fn, nullptr);
}

TEST(Hash, ReadyMadeCallbacksGiveTheirExactValues)
{
    EXPECT_EQ(hash_atoi(""), 0);
    EXPECT_EQ(hash_atoi("abc"), 197091);
    EXPECT_EQ(hash_atoi("cab"), 197091);
    EXPECT_EQ(hash_atoi("\x80"), 65599 - 128);
    EXPECT_EQ(hash_atoi(nullptr), -1);
    EXPECT_LT(hash_atoi(std::string(33000, 'a').c_str()), 0);
    int minus = -7, seven = 7;
    EXPECT_EQ(hash_int(&minus), -7);
    EXPECT_EQ(hash_int(nullptr), -1);
    EXPECT_EQ(hash_intcmp(&minus, &seven), -1);
    EXPECT_EQ(hash_intcmp(&seven, &minus), 1);
    EXPECT_EQ(hash_intcmp(&seven, &seven), 0);
    EXPECT_EQ(hash_intcmp(nullptr, &minus), -1);
    EXPECT_EQ(hash_intcmp(nullptr, nullptr), 0);

    errno = 12345;
    const std::pair<int, int> by_127[] = {{0, 0}, {1, 78}, {2, 29}, {100, 102}, {197091, 118},
                                          {-1, -1}, {-100, -1}, {INT_MAX, 2}};
    for (auto [hash, index] : by_127)
        EXPECT_EQ(hash_mult_func(hash, 127, nullptr), index) << hash;
    EXPECT_EQ(hash_mult_func(1, 1000, nullptr), 618);
    EXPECT_EQ(errno, 12345);
}

TEST(Hash, DoubleProbingTriesBucketsInItsOrder)
{
    // Occupying each result in turn reveals the probe order.
    list_link occupied{};
    std::vector<list_link *> buckets(8, nullptr);
    std::vector<int> order;
    for (int i = 0; i < 8; i++) {
        int b = hash_double_func(10, 7, buckets.data());
        order.push_back(b);
        buckets[b] = &occupied;
    }
    EXPECT_EQ(order, (std::vector<int>{3, 0, 4, 1, 5, 2, 6, 3}));

    std::fill(buckets.begin(), buckets.end(), nullptr);
    buckets[3] = &occupied;
    EXPECT_EQ(hash_double_func(3, 8, buckets.data()), 7);
    buckets[7] = &occupied;
    EXPECT_EQ(hash_double_func(3, 8, buckets.data()), 3);
    errno = 0;
    EXPECT_EQ(hash_double_func(-3, 8, buckets.data()), -1);
    EXPECT_EQ(errno, EDOM);
    // Every probe of h = count - 1 meets h again, until h + k * (h + 1)
    // wraps past INT_MAX and its remainder turns negative.
    std::vector<list_link *> full(50000, &occupied);
    errno = 0;
    EXPECT_EQ(hash_double_func(49999, 50000, full.data()), -1);
    EXPECT_EQ(errno, EDOM);
}

TEST(Hash, CreationAddsAndLookups)
{
    EXPECT_EQ(Table(0).t->size, 127);
    EXPECT_EQ(Table(-5).t->size, 127);
    EXPECT_EQ(Table(0).t->index_fn, hash_mult_func);
    errno = 0;
    EXPECT_EQ(hash_create(7, nullptr, nullptr, hash_intcmp), nullptr);
    EXPECT_EQ(errno, EINVAL);

    Table table(127);
    hash_table *t = table.t;
    EXPECT_EQ(hash_add(t, &keys[1], data_of(1)), 78);
    EXPECT_EQ(hash_add(t, &keys[2], nullptr), 29);
    int one = 1;
    EXPECT_EQ(hash_add(t, &one, data_of(5)), 78);
    EXPECT_EQ(hash_length(t), 3);
    EXPECT_EQ(hash_find_element(t, &keys[1]), data_of(5));
    EXPECT_EQ(hash_find_element(t, &keys[2]), nullptr);
    EXPECT_EQ(hash_get_metadata(t, &keys[1]), 0u);
    hash_set_metadata(t, &keys[1], 42);
    EXPECT_EQ(static_cast<hash_entry *>(t->buckets[78]->elem)->metadata, 42u);
    EXPECT_EQ(static_cast<hash_entry *>(t->buckets[78]->next->elem)->metadata, 42u);
    EXPECT_EQ(hash_get_metadata(t, &one), 42u);
    EXPECT_EQ(hash_del_element(t, &keys[1]), 0);
    EXPECT_EQ(hash_length(t), 1);
    EXPECT_EQ(t->buckets[78], nullptr);
    EXPECT_EQ(hash_del_element(t, &keys[1]), 0);

    // Negative keys have no bucket with the default index callback.
    int negative = -100;
    errno = 0;
    EXPECT_EQ(hash_add(t, &negative, data_of(3)), -1);
    EXPECT_EQ(errno, EDOM);
    EXPECT_EQ(hash_find_element(t, &negative), nullptr);
    EXPECT_EQ(hash_length(t), 1);
    errno = 0;
    EXPECT_EQ(hash_add(nullptr, &one, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(hash_length(nullptr), -1);
    EXPECT_EQ(hash_find_element(nullptr, &one), nullptr);
    EXPECT_EQ(hash_del_element(nullptr, &one), 0);
    hash_del(nullptr);
}

TEST(Hash, ProbingIndexLooksWhereTheProbeGoesNow)
{
    Table table(7, hash_double_func);
    EXPECT_EQ(hash_add(table.t, &keys[10], data_of(10)), 3);
    EXPECT_EQ(hash_find_element(table.t, &keys[10]), nullptr);
    EXPECT_EQ(hash_add(table.t, &keys[10], data_of(10)), 0);
    EXPECT_EQ(hash_length(table.t), 2);
}

TEST(Hash, IterationOrderAndEarlyStop)
{
    Table table(4, [](int hash, int count, list_link **) { return hash % count; });
    for (int k : {1, 6, 2, 5})
        hash_add(table.t, &keys[k], data_of(k));
    std::vector<int> seen;
    auto record = [](void *data, int position, void *out) {
        static_cast<std::vector<int> *>(out)->push_back(value_of(data) * 10 + position);
        return value_of(data) == 2 ? 9 : 0;
    };
    EXPECT_EQ(hash_iterate(table.t, record, &seen), 9);
    EXPECT_EQ(seen, (std::vector<int>{50, 11, 20}));
    seen.clear();
    hash_del_element(table.t, &keys[2]);
    EXPECT_EQ(hash_iterate(table.t, record, &seen), 0);
    EXPECT_EQ(seen, (std::vector<int>{50, 11, 60}));
}

TEST(Hash, CallbacksAddLookUpAndDeleteDuringIterations)
{
    Table table(2, [](int hash, int count, list_link **) { return hash % count; });
    hash_table *t = table.t;
    for (int k = 0; k < 10; k++)
        hash_add(t, &keys[k], data_of(k));
    // Bucket 0 walks 8 6 4 2 0. Accept 8; delete 4 by key; delete 6 by key
    // and accept it too (freed once); add 20 in front (not visited).
    std::vector<int> seen;
    iterate_del(t, [&](void *data, int position) {
        const int k = value_of(data);
        seen.push_back(k * 10 + position);
        if (k == 6) {
            EXPECT_EQ(hash_find_element(t, &keys[8]), nullptr);
            hash_del_element(t, &keys[4]);
            hash_del_element(t, &keys[6]);
            EXPECT_EQ(hash_find_element(t, &keys[4]), nullptr);
            hash_add(t, &keys[20], data_of(20));
            EXPECT_EQ(t->buckets[0]->iter_count, 1);
        }
        return k == 8 || k == 6;
    });
    EXPECT_EQ(seen, (std::vector<int>{80, 61, 23, 4, 90, 71, 52, 33, 14}));
    EXPECT_EQ(hash_length(t), 8);
    EXPECT_EQ(list_length(t->buckets[0]), 3);

    // A nested walk that takes the outer walk's current entry.
    iterate_del(t, [&](void *outer, int) {
        if (value_of(outer) == 20)
            iterate_del(t, [&](void *inner, int) { return value_of(inner) <= 20; });
        return 1;
    });
    EXPECT_EQ(hash_length(t), 0);
    EXPECT_EQ(t->buckets[0], nullptr);
    EXPECT_EQ(keys[20], 20);
}

TEST(Hash, AllocationFailuresLeaveNothingBehind)
{
    failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        failalloc::arm(k, mode);
        hash_table *t = hash_create(5, hash_int, nullptr, hash_intcmp);
        failalloc::disarm();
        EXPECT_EQ(t == nullptr, failalloc::failed());
        hash_del(t);
    });
    Table table(5);
    hash_add(table.t, &keys[1], data_of(1));
    const unsigned calls = failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        errno = 0;
        failalloc::arm(k, mode);
        int index = hash_add(table.t, &keys[2], data_of(2));
        failalloc::disarm();
        if (failalloc::failed()) {
            EXPECT_EQ(index, -1);
            EXPECT_EQ(errno, ENOMEM);
            EXPECT_EQ(hash_length(table.t), 1);
        } else {
            hash_del_element(table.t, &keys[2]);
        }
    });
    EXPECT_EQ(calls, 2u);
}

// Random adds, finds, metadata, deletions and filtered walks against a map
// of each key's data, newest last.
TEST(Hash, RandomOperationsMatchAModel)
{
    std::mt19937 random(4);
    Table mult(13);
    std::unordered_map<int, std::vector<int>> model;
    auto newest = [&](int k) { return model[k].empty() ? -1 : model[k].back(); };
    for (int round = 0; round < 2000; round++) {
        const int k = static_cast<int>(random() % 40), d = static_cast<int>(random() % 64);
        switch (random() % 6) {
        case 0:
        case 1:
            ASSERT_EQ(hash_add(mult.t, &keys[k], data_of(d)), hash_mult_func(k, 13, nullptr));
            model[k].push_back(d);
            break;
        case 2:
            hash_del_element(mult.t, &keys[k]);
            model[k].clear();
            break;
        case 3:
            hash_set_metadata(mult.t, &keys[k], static_cast<uintptr_t>(d));
            EXPECT_EQ(hash_get_metadata(mult.t, &keys[k]), model[k].empty() ? 0u : unsigned(d));
            break;
        case 4:
            iterate_del(mult.t, [&](void *data, int) { return value_of(data) == d; });
            for (auto &[key, data] : model)
                std::erase(data, d);
            break;
        default:
            EXPECT_EQ(value_of(hash_find_element(mult.t, &keys[k])), newest(k));
        }
        size_t total = 0;
        for (auto &[key, data] : model)
            total += data.size();
        ASSERT_EQ(hash_length(mult.t), static_cast<int>(total));
    }
}

}  // namespace

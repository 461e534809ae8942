// The hash table: the ready-made callbacks' values and probe orders, duplicate
// keys and keys without a bucket, changes inside iterations, allocation
// failures, and random operations against std::unordered_map.
#include <errno.h>
#include <limits.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

namespace failalloc = zt_test::failalloc;

int keys[64];  // keys[i] == i: both key and data
const bool keys_set = (std::iota(keys, keys + 64, 0), true);

int modulo(int hash, int count, list_link **) { return hash % count; }
int value_of(const void *data) { return data ? *static_cast<const int *>(data) : -1; }

// A table of int keys, released at the end.
struct Table {
    hash_table *t;
    explicit Table(int count, hash_index_fn index = nullptr)
        : t(hash_create(count, hash_int, index, hash_intcmp)) {}
    ~Table() { hash_del(t); }
};

template <typename F> int iterate_del(hash_table *t, F fn)
{
    auto call = [](void *data, int position, void *f, void *) -> int {
        return (*static_cast<F *>(f))(data, position);
    };
    return hash_iterate_del(t, call, &fn, nullptr);
}

TEST(Hash, ReadyMadeCallbacksGiveTheirExactValues)
{
    const std::pair<const char *, int> strings[] = {
        {"", 0}, {"abc", 197091}, {"cab", 197091}, {"\x80", 65599 - 128}, {nullptr, -1}};
    for (auto [text, hash] : strings)
        EXPECT_EQ(hash_atoi(text), hash) << (text ? text : "(null)");
    EXPECT_LT(hash_atoi(std::string(33000, 'a').c_str()), 0);
    int minus = -7, seven = 7;
    EXPECT_EQ(hash_int(&minus), -7);
    EXPECT_EQ(hash_intcmp(&minus, &seven) * 10 + hash_intcmp(&seven, &minus), -9);
    EXPECT_EQ(hash_intcmp(&seven, &keys[7]), 0);
    EXPECT_EQ(hash_intcmp(nullptr, &minus), -1);

    errno = 12345;
    const std::pair<int, int> by_127[] = {{0, 0},      {1, 78},   {2, 29},   {100, 102},
                                          {197091, 118}, {-1, -1}, {-100, -1}, {INT_MAX, 2},
                                          // products that extended precision rounds otherwise
                                          {21102687, 104}, {-124013275, 0}, {INT_MIN, -1}};
    for (auto [hash, index] : by_127)
        EXPECT_EQ(hash_mult_func(hash, 127, nullptr), index) << hash;
    // Large counts see the last bits: a tie of the product rounded to even,
    // a carry of the scaled fraction into its whole part, a product just
    // one bit longer than its factors.
    const int by_count[][3] = {{1, 1000, 618},
                               {402653184, 1401788041, 519047095},
                               {2047012912, 1418225213, 1310102676},
                               {1737350767, 5676314, 1702976}};
    for (auto [hash, count, index] : by_count)
        EXPECT_EQ(hash_mult_func(hash, count, nullptr), index) << hash << " of " << count;
    EXPECT_EQ(hash_mult_func(5, 0, nullptr), -1);
    EXPECT_EQ(errno, 12345);

    // Occupying each result in turn reveals the probe order.
    list_link occupied{};
    std::vector<list_link *> buckets(8, nullptr);
    std::vector<int> order;
    for (int i = 0; i < 8; i++)
        buckets[order.emplace_back(hash_double_func(10, 7, buckets.data()))] = &occupied;
    EXPECT_EQ(order, (std::vector<int>{3, 0, 4, 1, 5, 2, 6, 3}));
    buckets.assign(8, nullptr);
    buckets[3] = &occupied;
    EXPECT_EQ(hash_double_func(3, 8, buckets.data()), 7);
    buckets[7] = &occupied;
    EXPECT_EQ(hash_double_func(3, 8, buckets.data()), 3);
    // h + k * (h + 1) for h = 49999 wraps past INT_MAX before a free bucket.
    std::vector<list_link *> full(50000, &occupied);
    for (int hash : {-3, 49999}) {
        errno = 0;
        EXPECT_EQ(hash_double_func(hash, 50000, full.data()) == -1 ? errno : 0, EDOM) << hash;
    }
}

TEST(Hash, DuplicatesNegativeKeysProbingLookupsAndNoMemory)
{
    EXPECT_EQ(Table(-5).t->size, 127);
    errno = 0;
    EXPECT_EQ(hash_create(7, hash_int, nullptr, nullptr) ? 0 : errno, EINVAL);
    Table table(0);
    hash_table *t = table.t;
    int one = 1, negative = -100;
    EXPECT_EQ(hash_add(t, &keys[1], &keys[1]), 78);
    EXPECT_EQ(hash_add(t, &keys[2], nullptr), 29);
    EXPECT_EQ(hash_add(t, &one, &keys[5]), 78);
    EXPECT_EQ(hash_length(t), 3);
    EXPECT_EQ(hash_find_element(t, &keys[1]), &keys[5]);
    EXPECT_EQ(hash_get_metadata(t, &keys[1]), 0u);
    hash_set_metadata(t, &keys[1], 42);
    EXPECT_EQ(static_cast<hash_entry *>(t->buckets[78]->next->elem)->metadata, 42u);
    EXPECT_EQ(hash_del_element(t, &one), 0);
    EXPECT_EQ(t->buckets[78], nullptr);
    errno = 0;
    EXPECT_EQ(hash_add(t, &negative, &keys[3]) == -1 ? errno : 0, EDOM);
    EXPECT_EQ(hash_find_element(t, &negative), nullptr);
    EXPECT_EQ(hash_length(t), 1);
    EXPECT_EQ(hash_add(nullptr, &one, nullptr) == -1 ? errno : 0, EINVAL);
    Table past_end(5, [](int, int count, list_link **) { return count; });
    EXPECT_EQ(hash_add(past_end.t, &one, nullptr) == -1 ? errno : 0, EDOM) << "an index equal to the count";

    // The probe runs afresh: bucket 3 is taken by now, so the lookup goes on.
    Table probing(7, hash_double_func);
    EXPECT_EQ(hash_add(probing.t, &keys[10], &keys[10]), 3);
    EXPECT_EQ(hash_find_element(probing.t, &keys[10]), nullptr);

    // Without memory nothing is made or added, and nothing stays behind.
    failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        failalloc::arm(k, mode);
        hash_table *made = hash_create(5, hash_int, nullptr, hash_intcmp);
        failalloc::disarm();
        EXPECT_EQ(made == nullptr, failalloc::failed());
        hash_del(made);
    });
    const unsigned calls = failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        errno = 0;
        failalloc::arm(k, mode);
        int index = hash_add(t, &keys[4], &keys[4]);
        failalloc::disarm();
        EXPECT_EQ(index == -1 && errno == ENOMEM, failalloc::failed());
        EXPECT_EQ(hash_length(t), 1 + !failalloc::failed());
        hash_del_element(t, &keys[4]);
    });
    EXPECT_EQ(calls, 1u);
}

TEST(Hash, CallbacksAddLookUpAndDeleteDuringIterations)
{
    Table table(2, modulo);
    hash_table *t = table.t;
    for (int k = 0; k < 10; k++)
        hash_add(t, &keys[k], &keys[k]);
    // Bucket 0 walks 8 6 4 2 0, bucket 1 9 7 5 3 1. Accept 8; at 6 delete 4
    // and 6 itself (accepted too, freed once) and add 20 in front.
    std::vector<int> seen;
    EXPECT_EQ(hash_iterate(t, [](void *d, int, void *) { return value_of(d) == 8 ? 3 : 1; }, nullptr), 3);
    iterate_del(t, [&](void *data, int position) {
        const int k = value_of(data);
        seen.push_back(k * 10 + position);
        if (k == 6) {
            EXPECT_EQ(hash_find_element(t, &keys[8]), nullptr);
            hash_del_element(t, &keys[4]);
            hash_del_element(t, &keys[6]);
            hash_add(t, &keys[20], &keys[20]);
            EXPECT_EQ(t->buckets[0]->iter_count, 1);
        }
        return k == 8 || k == 6;
    });
    EXPECT_EQ(seen, (std::vector<int>{80, 61, 23, 4, 90, 71, 52, 33, 14}));
    EXPECT_EQ(hash_length(t), 8);
    EXPECT_EQ(list_length(t->buckets[0]), 3);

    // A nested walk that also takes the outer walk's current entry.
    iterate_del(t, [&](void *outer, int) {
        if (value_of(outer) == 20)
            iterate_del(t, [&](void *, int) { return 1; });
        return 1;
    });
    EXPECT_EQ(hash_length(t), 0);
    EXPECT_EQ(t->buckets[0], nullptr);
}

// Random adds, finds, metadata, deletions and filtered walks against a map
// of each key's data, newest last.
TEST(Hash, RandomOperationsMatchAModel)
{
    std::mt19937 random(4);
    Table table(13);
    std::unordered_map<int, std::vector<int>> model;
    size_t total = 0;
    for (int round = 0; round < 2000; round++) {
        const int k = static_cast<int>(random() % 40), d = static_cast<int>(random() % 64);
        std::vector<int> &data = model[k];
        const unsigned op = random() % 6;
        if (op <= 1) {
            ASSERT_EQ(hash_add(table.t, &keys[k], &keys[d]), hash_mult_func(k, 13, nullptr));
            data.push_back(d), total++;
        } else if (op == 2) {
            hash_del_element(table.t, &keys[k]);
            total -= data.size(), data.clear();
        } else if (op == 3) {
            hash_set_metadata(table.t, &keys[k], static_cast<uintptr_t>(d));
            EXPECT_EQ(hash_get_metadata(table.t, &keys[k]), data.empty() ? 0u : unsigned(d));
        } else if (op == 4) {
            iterate_del(table.t, [&](void *entry, int) { return value_of(entry) == d; });
            for (auto &[key, entries] : model)
                total -= std::erase(entries, d);
        } else {
            EXPECT_EQ(value_of(hash_find_element(table.t, &keys[k])), data.empty() ? -1 : data.back());
        }
        ASSERT_EQ(hash_length(table.t), static_cast<int>(total));
    }
}

}  // namespace

// The hash table: the ready-made callbacks' values and probe orders, duplicate
// keys and keys without a bucket, changes inside iterations, no memory.
#include <errno.h>
#include <limits.h>

#include <numeric>
#include <string>
#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

int keys[64];  // keys[i] == i: both key and data
const bool keys_set = (std::iota(keys, keys + 64, 0), true);

// A table of int keys, released at the end.
struct Table {
    hash_table *t;
    explicit Table(int count, hash_index_fn index = nullptr)
        : t(hash_create(count, hash_int, index, hash_intcmp)) {}
    ~Table() { hash_del(t); }
};

TEST(Hash, ReadyMadeCallbacksGiveTheirExactValues)
{
    const std::pair<const char *, int> strings[] = {{"abc", 197091}, {"cab", 197091}, {"\x80", 65599 - 128}};
    for (auto [text, hash] : strings)
        EXPECT_EQ(hash_atoi(text), hash) << text;
    EXPECT_EQ(hash_intcmp(&keys[7], &keys[3]), 1);
    EXPECT_EQ(hash_intcmp(&keys[3], &keys[7]), -1);

    // The middle rows are products that extended precision rounds otherwise;
    // the last three see the last bits of large counts: a tie rounded to even,
    // a carry of the scaled fraction into its whole part, a product just one
    // bit longer than its factors.
    const int by_count[][3] = {{1, 127, 78},         {197091, 127, 118},   {-100, 127, -1},
                               {INT_MIN, 127, -1},    {21102687, 127, 104}, {-124013275, 127, 0},
                               {402653184, 1401788041, 519047095},         {2047012912, 1418225213, 1310102676},
                               {1737350767, 5676314, 1702976}};
    errno = 12345;
    for (auto [hash, count, index] : by_count)
        EXPECT_EQ(hash_mult_func(hash, count, nullptr), index) << hash << " of " << count;
    EXPECT_EQ(errno, 12345);

    // Occupying each result in turn reveals the probe order.
    list_link occupied{};
    std::vector<list_link *> buckets(7, nullptr);
    std::vector<int> order;
    for (int i = 0; i < 8; i++)
        buckets[order.emplace_back(hash_double_func(10, 7, buckets.data()))] = &occupied;
    EXPECT_EQ(order, (std::vector<int>{3, 0, 4, 1, 5, 2, 6, 3}));
    // h + k * (h + 1) for h = 49999 wraps past INT_MAX before a free bucket.
    std::vector<list_link *> full(50000, &occupied);
    for (int hash : {-3, 49999}) {
        errno = 0;
        EXPECT_EQ(hash_double_func(hash, 50000, full.data()), -1) << hash;
        EXPECT_EQ(errno, EDOM) << hash;
    }
}

TEST(Hash, DuplicatesKeysWithoutABucketAndNoMemory)
{
    EXPECT_EQ(Table(-5).t->size, 127);
    Table table(0);
    hash_table *t = table.t;
    int one = 1, negative = -100;
    EXPECT_EQ(hash_add(t, &keys[1], &keys[1]), 78);
    EXPECT_EQ(hash_add(t, &one, &keys[5]), 78);
    EXPECT_EQ(hash_length(t), 2);
    EXPECT_EQ(hash_find_element(t, &keys[1]), &keys[5]);
    hash_set_metadata(t, &keys[1], 42);
    EXPECT_EQ(static_cast<hash_entry *>(t->buckets[78]->next->elem)->metadata, 42u) << "the older entry";
    hash_del_element(t, &one);
    EXPECT_EQ(t->buckets[78], nullptr);

    // A key without a bucket: EDOM, and nothing added.
    Table past_end(5, [](int, int count, list_link **) { return count; });
    for (auto [in, key] : {std::pair{t, &negative}, {past_end.t, &one}}) {
        errno = 0;
        EXPECT_EQ(hash_add(in, key, nullptr), -1) << *key;
        EXPECT_EQ(errno, EDOM) << *key;
        EXPECT_EQ(hash_length(in), 0) << *key;
    }
    // The probe runs afresh: bucket 3 is taken by now, so the lookup goes on.
    Table probing(7, hash_double_func);
    EXPECT_EQ(hash_add(probing.t, &keys[10], &keys[10]), 3);
    EXPECT_EQ(hash_find_element(probing.t, &keys[10]), nullptr);

    // Without memory nothing is made or added, and nothing stays behind.
    namespace failalloc = zt_test::failalloc;
    hash_table *made;
    failalloc::for_each_failure([&] { made = hash_create(5, hash_int, nullptr, hash_intcmp); },
                                [&](bool failed) {
                                    EXPECT_EQ(made == nullptr, failed);
                                    hash_del(made);
                                });
    int index;
    failalloc::for_each_failure([&] { index = hash_add(t, &keys[4], nullptr); }, [&](bool failed) {
        EXPECT_EQ(index, failed ? -1 : 59);
        EXPECT_EQ(hash_length(t), failed ? 0 : 1);
        hash_del_element(t, &keys[4]);
    });
}

int value_of(const void *data) { return data ? *static_cast<const int *>(data) : -1; }

template <typename F> void iterate_del(hash_table *t, F fn)
{
    auto call = [](void *data, int position, void *f, void *) -> int {
        return (*static_cast<F *>(f))(data, position);
    };
    hash_iterate_del(t, call, &fn, nullptr);
}

TEST(Hash, CallbacksAddLookUpAndDeleteDuringIterations)
{
    Table table(2, [](int hash, int count, list_link **) { return hash % count; });
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
    EXPECT_EQ(t->buckets[0], nullptr);
}

}  // namespace

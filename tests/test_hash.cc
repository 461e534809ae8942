// The hash table: the ready-made callbacks, duplicate keys, keys without a
// bucket, changes inside iterations, no memory.
#include <errno.h>

#include <numeric>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

int keys[64];  // keys[i] == i: both key and data
const bool keys_set = (std::iota(keys, keys + 64, 0), true);
std::vector<int> seen;  // what the callbacks saw
hash_table *walked;     // the table they walk

int value_of(const void *data) { return *static_cast<const int *>(data); }

// A table of int keys, released at the end.
struct Table {
    hash_table *t;
    explicit Table(int count, hash_index_fn index = nullptr)
        : t(hash_create(count, hash_int, index, hash_intcmp)) {}
    ~Table() { hash_del(t); }
};

TEST(Hash, ReadyMadeCallbacksGiveTheirExactValues)
{
    EXPECT_EQ(hash_atoi("abc"), 197091);
    EXPECT_EQ(hash_atoi("\x80"), 65599 - 128) << "a signed character";
    EXPECT_EQ(hash_intcmp(&keys[7], &keys[3]), 1);

    // Rows 3 and 4: products that extended precision rounds otherwise; then large
    // counts: a tie rounded to even, a carry into the whole part, a product one bit longer; no buckets.
    const int by_count[][3] = {{1, 127, 78}, {-100, 127, -1}, {21102687, 127, 104}, {-124013275, 127, 0},
                               {402653184, 1401788041, 519047095}, {2047012912, 1418225213, 1310102676},
                               {1737350767, 5676314, 1702976}, {5, 0, -1}};
    for (auto [hash, count, index] : by_count)
        EXPECT_EQ(hash_mult_func(hash, count, nullptr), index) << hash << " of " << count;

    list_link occupied{};
    list_link *buckets[7] = {nullptr, nullptr, nullptr, &occupied};
    EXPECT_EQ(hash_double_func(10, 7, buckets), 0) << "the probe after the occupied bucket 3";
}

TEST(Hash, DuplicatesKeysWithoutABucketIterationsAndNoMemory)
{
    EXPECT_EQ(Table(-5).t->size, 127);
    Table table(0);
    hash_table *t = table.t;
    int one = 1, negative = -100;
    EXPECT_EQ(hash_add(t, &keys[1], &keys[1]), 78);
    EXPECT_EQ(hash_add(t, &one, &keys[5]), 78);
    EXPECT_EQ(hash_find_element(t, &keys[1]), &keys[5]);
    hash_set_metadata(t, &keys[1], 42);
    EXPECT_EQ(hash_get_metadata(t, &keys[1]), 42u);
    EXPECT_EQ(static_cast<hash_entry *>(t->buckets[78]->next->elem)->metadata, 42u) << "the older entry";
    hash_del_element(t, &one);  // both entries: the no-memory checks below count on it

    // A key without a bucket: EDOM; no table: EINVAL.
    Table past_end(5, [](int, int count, list_link **) { return count; });
    for (auto [in, key, error] :
         {std::tuple{t, &negative, EDOM}, {past_end.t, &one, EDOM}, {nullptr, &keys[2], EINVAL}}) {
        errno = 0;
        EXPECT_EQ(hash_add(in, key, nullptr), -1) << *key;
        EXPECT_EQ(errno, error) << *key;
    }

    // Bucket 0 walks 8 6 4 2 0, bucket 1 9 7 5 3 1. The first walk deletes 0
    // and stops. Then accept 8 and 1; at 6 delete 4 and 6 itself (accepted
    // too, freed once) and add 20 in front.
    Table two(2, [](int hash, int count, list_link **) { return hash % count; });
    walked = two.t;
    for (int k = 0; k < 10; k++)
        hash_add(walked, &keys[k], &keys[k]);
    auto stop = [](void *, int, void *) { return hash_del_element(walked, &keys[0]), 3; };
    EXPECT_EQ(hash_iterate(walked, stop, nullptr), 3);
    auto links = [](int i) {
        int n = 0;
        for (const list_link *link = walked->buckets[i]; link; link = link->next)
            n++;
        return n;
    };
    EXPECT_EQ(links(0), 4) << "the entry deleted during the walk is freed when it ends";
    auto accept = [](void *data, int position, void *, void *) {
        const int k = value_of(data);
        seen.push_back(k * 10 + position);
        if (k == 6) {
            EXPECT_EQ(hash_find_element(walked, &keys[8]), nullptr);
            hash_del_element(walked, &keys[4]);
            hash_del_element(walked, &keys[6]);
            hash_add(walked, &keys[20], &keys[20]);
        }
        return int(k == 8 || k == 6 || k == 1);
    };
    hash_iterate_del(walked, accept, nullptr, nullptr);
    EXPECT_EQ(seen, (std::vector<int>{80, 61, 23, 90, 71, 52, 33, 14}));
    EXPECT_EQ(hash_length(walked), 6);
    EXPECT_EQ(links(0) + links(1), 6) << "accepted and deleted entries freed";

    // Without memory nothing is made or added, and nothing stays behind.
    using zt_test::failalloc::for_each_failure;
    hash_table *made;
    for_each_failure([&] { made = hash_create(5, hash_int, nullptr, hash_intcmp); }, [&](bool failed) {
        EXPECT_EQ(made == nullptr, failed);
        hash_del(made);
    });
    int index;
    for_each_failure([&] { index = hash_add(t, &keys[4], nullptr); }, [&](bool failed) {
        EXPECT_EQ(index, failed ? -1 : 59);
        EXPECT_EQ(hash_length(t), failed ? 0 : 1);
        hash_del_element(t, &keys[4]);
    });
}

}  // namespace

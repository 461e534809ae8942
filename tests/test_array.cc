// Pointer arrays: the count and the null slot after the last element, and
// which operations go by the count and which walk to the first null slot.
#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

using Values = std::vector<intptr_t>;

void *num(intptr_t n) { return reinterpret_cast<void *>(n); }

struct Filled : Array {
    explicit Filled(const Values &values) : Array{nullptr, 0}
    {
        for (intptr_t v : values)
            ArrayPush(this, num(v));
    }
    ~Filled() { ArrayDelete(this); }
    Values slots(uint32_t n) const
    {
        Values out;
        for (uint32_t i = 0; i < n; i++)
            out.push_back(reinterpret_cast<intptr_t>(elems[i]));
        return out;
    }
};

TEST(Array, CountsWalksMatchesCopiesAndFailedAllocations)
{
    Filled a({5, 0, 7});
    for (auto [index, value] : {std::pair{-1, 7}, {-3, 5}, {-4, 0}, {3, 0}})
        EXPECT_EQ(ArrayGet(&a, index), num(value)) << index;
    ArraySet(&a, 1, num(9));
    ArraySet(&a, 3, num(1));  // outside: ignored, the null slot stays
    EXPECT_EQ(a.slots(4), (Values{5, 9, 7, 0}));
    ArraySet(&a, 1, num(0));
    EXPECT_EQ(ArrayMatchNum(&a, num(7), ArrayElemsMatch), -1);
    EXPECT_EQ(ArrayDeleteElement(&a, num(7)), -1);
    static int visited = 0;
    ArrayEnum(&a, [](Array *, void *) { return ++visited; });
    EXPECT_EQ(visited, 1) << "the walk ends at the stored zero";
    EXPECT_EQ(ArrayMatch(&a, num(5), [](void *key, void *e) -> uint8_t { return e == key ? 2 : 0; }), 2);

    Filled c({1, 2, 3, 2});
    EXPECT_NE(ArrayDeleteElement(&c, num(2)), -1);  // the first 2 only
    EXPECT_EQ(c.slots(4), (Values{1, 3, 2, 0}));
    EXPECT_EQ(c.count, 3u);

    Filled abc({1, 2, 3}), acb({1, 3, 2}), ab({1, 2}), empty({}), emptied({4}), copy({});
    ArrayDeleteElement(&emptied, num(4));
    const std::tuple<const char *, Array *, Array *, int> pairs[] = {
        {"nulls", nullptr, nullptr, 1}, {"empties", &empty, &emptied, 1}, {"empty, null", &empty, nullptr, 0},
        {"another order", &abc, &acb, 0}, {"a longer one", &abc, &ab, 0}};
    for (auto [name, x, y, match] : pairs)
        EXPECT_EQ(ArraysMatch(x, y), match) << name;
    ASSERT_EQ(ArrayDup(&acb, &copy), &copy);
    EXPECT_EQ(copy.slots(4), (Values{1, 3, 2, 0}));
    ArraySort(&copy, [](const void *x, const void *y) {
        return int(*static_cast<const intptr_t *>(x) - *static_cast<const intptr_t *>(y));
    });
    EXPECT_EQ(copy.slots(4), (Values{1, 2, 3, 0})) << "sorted by the count: the null slot stays last";

    // A failed allocation leaves the record as it was; a copy is then empty, or not made at all.
    namespace failalloc = zt_test::failalloc;
    failalloc::for_each_failure([&] { ArrayPush(&ab, num(3)); }, [&](bool failed) {
        EXPECT_EQ(ab.slots(ab.count + 1), failed ? (Values{1, 2, 0}) : (Values{1, 2, 3, 0}));
        ArrayDeleteElement(&ab, num(3));
    });
    Array *dup;
    failalloc::for_each_failure([&] { dup = ArrayDup(&ab, nullptr); }, [&](bool failed) {
        EXPECT_EQ(ArrayNumElements(dup), failed ? 0u : 2u);
        ArrayDelete(dup);
        free(dup);
    });
}

}  // namespace

// Pointer arrays: the count and the null slot after the last element, and
// which operations go by the count and which walk to the first null slot.
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

namespace failalloc = zt_test::failalloc;
using Values = std::vector<intptr_t>;

void *num(intptr_t n)
{
    return reinterpret_cast<void *>(n);
}

// A record filled by ArrayPush.
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

TEST(Array, EveryPushLeavesCountPlusOneSlotsWithANullLast)
{
    Filled a({});
    EXPECT_EQ(a.elems, nullptr);
    EXPECT_EQ(std::pair(ArrayGet(&a, 0), ArrayGet(&a, -1)), std::pair(num(0), num(0)));
    ArrayPush(&a, num(5));
    EXPECT_EQ(a.count, 1u);
    EXPECT_EQ(a.slots(2), (Values{5, 0}));
    ArrayPush(&a, num(6));
    ArrayPush(&a, num(7));
    EXPECT_EQ(a.slots(4), (Values{5, 6, 7, 0}));
    for (auto [index, value] : {std::pair{-1, 7}, {-3, 5}, {-4, 0}, {3, 0}})
        EXPECT_EQ(ArrayGet(&a, index), num(value)) << index;
    ArraySet(&a, 1, num(9));
    ArraySet(&a, 3, num(1));  // outside: ignored, the null slot stays
    EXPECT_EQ(a.slots(4), (Values{5, 9, 7, 0}));
    ArrayDelete(&a);
    EXPECT_EQ(std::pair(a.elems, ArrayNumElements(&a)), (std::pair<void **, uint32_t>(nullptr, 0)));
}

int visited_sum;

TEST(Array, WalksStopAtAStoredZeroWhileCountsAndDeletionsDoNot)
{
    Filled a({5, 0, 7});
    EXPECT_EQ(std::pair(ArrayNumElements(&a), ArrayGet(&a, 2)), std::pair(3u, num(7)));
    EXPECT_EQ(ArrayMatchNum(&a, num(7), ArrayElemsMatch), -1);
    EXPECT_EQ(ArrayDeleteElement(&a, num(7)), -1);
    EXPECT_EQ(a.count, 3u);
    visited_sum = 0;
    ArrayEnum(&a, [](Array *, void *e) {
        return visited_sum += static_cast<int>(reinterpret_cast<intptr_t>(e));
    });
    EXPECT_EQ(visited_sum, 5);
    Filled b({4, 6, 8});
    auto code_for_key = [](void *key, void *e) -> uint8_t { return e == key ? 2 : 0; };
    EXPECT_EQ(ArrayMatch(&b, num(6), code_for_key), 2);
    EXPECT_EQ(ArrayMatch(&b, num(9), code_for_key), 0);
    EXPECT_EQ(ArrayMatchNum(&b, num(8), ArrayElemsMatch), 2);

    // Deleting keeps the order and never shrinks the vector.
    Filled c({1, 2, 3, 2}), none({});
    void **vector = c.elems;
    EXPECT_NE(ArrayDeleteElement(&c, num(2)), -1);  // the first 2 only
    EXPECT_EQ(c.slots(4), (Values{1, 3, 2, 0}));
    EXPECT_EQ(c.count, 3u);
    EXPECT_NE(ArrayDeleteElement(&c, num(2)), -1);
    EXPECT_EQ(c.slots(3), (Values{1, 3, 0}));
    EXPECT_EQ(c.elems, vector);
    ArrayDeleteElement(&c, num(1));
    ArrayDeleteElement(&c, num(3));
    EXPECT_EQ(ArraysMatch(&c, &none), 1);  // all removed against never filled
}

TEST(Array, MatchingDuplicatingSortingAndFailedAllocations)
{
    Filled abc({1, 2, 3}), acb({1, 3, 2}), ab({1, 2}), empty({}), copy({});
    EXPECT_EQ(ArraysMatch(nullptr, nullptr), 1);
    for (auto [x, y] : {std::pair<Array *, Array *>{&empty, nullptr}, {&abc, &acb}, {&abc, &ab}, {&ab, &empty}})
        EXPECT_EQ(ArraysMatch(x, y), 0) << x << " " << y;
    EXPECT_EQ(ArrayDup(nullptr, &copy), &copy);
    ASSERT_EQ(ArrayDup(&acb, &copy), &copy);
    EXPECT_NE(copy.elems, acb.elems);
    EXPECT_EQ(copy.slots(4), (Values{1, 3, 2, 0}));
    ArraySort(&copy, [](const void *x, const void *y) {
        intptr_t a = *static_cast<const intptr_t *>(x), b = *static_cast<const intptr_t *>(y);
        return (a > b) - (a < b);
    });
    EXPECT_EQ(ArraysMatch(&copy, &abc), 1);
    ArraySort(nullptr, nullptr);
    ArraySort(&empty, nullptr);
    Array *fresh = ArrayDup(&empty, nullptr);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->elems, nullptr);
    free(fresh);

    // A failed allocation leaves the record as it was.
    Filled a({1, 2}), none({});
    failalloc::arm(1, failalloc::Mode::from_then_on);
    ArrayPush(&a, num(3));
    Array *dup = ArrayDup(&a, &none);
    fresh = ArrayNew(nullptr);
    failalloc::disarm();
    EXPECT_EQ(a.slots(3), (Values{1, 2, 0}));
    EXPECT_EQ(dup, &none);
    EXPECT_EQ(std::pair(none.elems, none.count), (std::pair<void **, uint32_t>(nullptr, 0)));
    EXPECT_EQ(fresh, nullptr);
}

}  // namespace

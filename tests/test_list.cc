// The linked list: changes inside iterations and the purge when the outermost
// ends, positions over marked and null links, placements, allocation failures.
#include <stdlib.h>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

int values[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
std::vector<int> seen;       // what the callbacks saw
list_link *first = nullptr;  // the list under test

int value_of(const void *elem) { return elem ? *static_cast<const int *>(elem) : -1; }

// Empties the list, then fills it with the given values (-1: a null element).
void refill(std::initializer_list<int> elems)
{
    for (int pops = 0; first && pops < 100; pops++)
        list_pop(&first);
    ASSERT_EQ(first, nullptr) << "marked links left over";
    for (int v : elems)
        list_append(v < 0 ? nullptr : &values[v], &first);
    seen.clear();
}

// The whole chain, a marked link as its value + 100; checks prev and next.
std::vector<int> chain()
{
    std::vector<int> out;
    for (const list_link *link = first; link; link = link->next) {
        EXPECT_EQ(link->prev ? link->prev->next : first, link);
        out.push_back(value_of(link->elem) + (link->flags & LIST_LINK_REMOVED ? 100 : 0));
    }
    return out;
}

TEST(List, IterationsPositionsPlacementsAndAllocationFailures)
{
    refill({1, 2, 3, 4});
    auto visit = [](void *elem, int position, void *) {
        seen.push_back(value_of(elem) * 10 + position);
        if (value_of(elem) == 1) {
            list_push(&values[0], &first);    // not visited; takes the count over
            list_append(&values[5], &first);  // visited
            int three = 3;                    // found by value
            auto same = [](const void *key, void *e) { return value_of(key) == value_of(e) ? 0 : 1; };
            EXPECT_EQ(list_del(&three, &first, same), &values[3]);
            EXPECT_EQ(list_length(first), 5);
            auto pop = [](void *, int, void *) { return int(list_pop(&first) != nullptr); };
            list_iterate(&first, pop, nullptr);
            EXPECT_EQ(chain(), (std::vector<int>{100, 1, 2, 103, 4, 5}));
        }
        return value_of(elem) == 5 ? 9 : 0;
    };
    EXPECT_EQ(list_iterate(&first, visit, nullptr), 9);
    EXPECT_EQ(seen, (std::vector<int>{10, 21, 43, 54}));
    EXPECT_EQ(chain(), (std::vector<int>{1, 2, 4, 5}));
    ASSERT_EQ(first->iter_count, 0) << "the count handed on to the new first link";

    // The walk ends the outer iteration from inside: the link marked before
    // the walk is purged when it ends.
    refill({1, 2, -1, 3});
    list_iter_set(first);
    list_del_link(&values[2], &first);
    auto record = [](void *, int position, void *, void *) {
        if (position == 0)
            list_iter_clear(&first);
        return seen.push_back(position), 0;
    };
    list_iterate_del(&first, record, nullptr, nullptr);
    EXPECT_EQ(seen, (std::vector<int>{0, 3})) << "marked and null links count";
    EXPECT_EQ(chain(), (std::vector<int>{1, -1, 3}));
    list_iter_clear(&first);
    ASSERT_EQ(first->iter_count, 0) << "a clear without an iteration";
    EXPECT_EQ(list_find_link(nullptr, first), first->next) << "the link of the null element";
    auto same_pointer = [](const void *key, void *e) { return key == e ? 0 : 1; };
    EXPECT_EQ(list_find_element(&values[3], first, same_pointer), &values[3]) << "past the null element";
    int equal_one = 1;
    EXPECT_EQ(list_del_link(&equal_one, &first), 0) << "an equal element, not the same";

    // An empty list asks nothing, so it needs no callback; others do.
    refill({});
    ASSERT_NE(list_insert(&values[5], &first, nullptr), nullptr);
    EXPECT_EQ(list_insert(&values[6], &first, nullptr), nullptr);
    static int answer;
    for (auto [v, a] : {std::pair{6, 1}, {7, 1}, {4, -1}, {8, 2}, {9, 0}}) {
        answer = a;
        auto fixed = [](void *, void *) { return answer; };
        EXPECT_EQ(list_insert(&values[v], &first, fixed) != nullptr, a != 0) << v;
    }
    EXPECT_EQ(chain(), (std::vector<int>{4, 5, 7, 6, 8}));

    // Without memory the list stays as it was.
    zt_test::failalloc::for_each_failure(
        [] {
            list_push(&values[1], &first);
            list_append(&values[2], &first);
            list_insert(&values[3], &first, [](void *, void *) { return 2; });
            free(list_2_table(first, nullptr));
        },
        [](bool) {
            for (int v : {1, 2, 3})
                list_del_link(&values[v], &first);
            EXPECT_EQ(chain(), (std::vector<int>{4, 5, 7, 6, 8}));
        });
    refill({});
}

}  // namespace

// The linked list: removals, pushes and appends from inside iterations, the
// purge at the end of the outermost one, positions with gaps, placement
// results, searches over marked and null links, allocation failures, and
// random operation sequences against std::list.
#include <stdlib.h>

#include <algorithm>
#include <list>
#include <random>
#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

namespace failalloc = zt_test::failalloc;

int values[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

// A list of the given values, whose links are released at the end.
struct List {
    list_link *first = nullptr;
    explicit List(std::initializer_list<int> elems = {})
    {
        for (int v : elems)
            list_append(v < 0 ? nullptr : &values[v], &first);
    }
    ~List()
    {
        while (first)
            list_pop(&first);
    }
};

int value_of(const void *elem)
{
    return elem ? *static_cast<const int *>(elem) : -1;
}

// The whole chain, marked links as value + 100, null elements as -1; checks
// that prev and next agree.
std::vector<int> chain(const list_link *first)
{
    std::vector<int> out;
    EXPECT_TRUE(!first || !first->prev);
    for (const list_link *link = first; link; link = link->next) {
        EXPECT_TRUE(!link->next || link->next->prev == link);
        out.push_back(value_of(link->elem) + (link->flags & LIST_LINK_REMOVED ? 100 : 0));
    }
    return out;
}

// list_iterate with a lambda as the callback.
template <typename F> int iterate(list_link **list, F fn)
{
    return list_iterate(
        list,
        [](void *elem, int position, void *f) { return (*static_cast<F *>(f))(elem, position); },
        &fn);
}

TEST(List, RemovalDuringIterationMarksUntilTheWalkEnds)
{
    List l({1, 2, 3, 4});
    std::vector<int> seen;
    int result = iterate(&l.first, [&](void *elem, int position) {
        seen.push_back(value_of(elem) * 10 + position);
        if (position == 1) {
            EXPECT_EQ(list_del_link(&values[3], &l.first), 1);
            EXPECT_EQ(chain(l.first), (std::vector<int>{1, 2, 103, 4}));
            EXPECT_EQ(list_length(l.first), 3);
            EXPECT_EQ(list_next(l.first->next), l.first->next->next->next);
            EXPECT_EQ(list_peek(l.first->next->next), &values[4]);
        }
        return 0;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(seen, (std::vector<int>{10, 21, 43}));
    EXPECT_EQ(chain(l.first), (std::vector<int>{1, 2, 4}));
    EXPECT_EQ(l.first->iter_count, 0);
}

TEST(List, NestedIterationsPurgeOnlyWhenTheOuterEnds)
{
    List l({1, 2, 3});
    auto same = [](const void *key, void *elem) { return key == elem ? 0 : 1; };
    iterate(&l.first, [&](void *outer, int) {
        if (value_of(outer) == 1) {
            iterate(&l.first, [&](void *inner, int) {
                EXPECT_EQ(l.first->iter_count, 2);
                if (value_of(inner) == 2) {
                    EXPECT_EQ(list_pop(&l.first), &values[1]);
                    EXPECT_EQ(list_del(&values[2], &l.first, same), &values[2]);
                }
                return 0;
            });
            EXPECT_EQ(chain(l.first), (std::vector<int>{101, 102, 3}));
            EXPECT_EQ(l.first->iter_count, 1);
        }
        return 0;
    });
    EXPECT_EQ(chain(l.first), (std::vector<int>{3}));
}

TEST(List, PushedLinksCarryTheCountAppendedOnesAreVisited)
{
    List l({1, 2});
    std::vector<int> seen;
    iterate(&l.first, [&](void *elem, int position) {
        seen.push_back(value_of(elem) * 10 + position);
        if (value_of(elem) == 1) {
            list_push(&values[0], &l.first);
            EXPECT_EQ(l.first->iter_count, 1);
            list_append(&values[5], &l.first);
            list_del_link(&values[0], &l.first);
        }
        return 0;
    });
    // Position counts from the first link at the start of the walk.
    EXPECT_EQ(seen, (std::vector<int>{10, 21, 52}));
    EXPECT_EQ(chain(l.first), (std::vector<int>{1, 2, 5}));
    EXPECT_EQ(l.first->iter_count, 0);
}

TEST(List, EarlyStopStillPurgesAndIterateDelEmptiesTheList)
{
    List l({1, 2, 3});
    EXPECT_EQ(iterate(&l.first, [&](void *elem, int) {
                  list_del_link(elem, &l.first);
                  return value_of(elem) == 2 ? 7 : 0;
              }),
              7);
    EXPECT_EQ(chain(l.first), (std::vector<int>{3}));

    List all({1, 2, 3, 4});
    int calls = 0;
    list_iterate_del(&all.first, [](void *, int, void *n, void *) { return ++*static_cast<int *>(n); },
                     &calls, nullptr);
    EXPECT_EQ(all.first, nullptr);
    EXPECT_EQ(calls, 4);
}

TEST(List, PositionsCountMarkedAndNullLinks)
{
    List l({1, 2, -1, 3});
    EXPECT_EQ(list_length(l.first), 4);
    list_iter_set(l.first);
    list_del_link(&values[2], &l.first);
    std::vector<int> positions;
    list_iterate_del(
        &l.first,
        [](void *, int position, void *out, void *) {
            static_cast<std::vector<int> *>(out)->push_back(position);
            return 0;
        },
        &positions, nullptr);
    EXPECT_EQ(positions, (std::vector<int>{0, 3}));
    EXPECT_EQ(chain(l.first), (std::vector<int>{1, 102, -1, 3}));
    list_iter_clear(&l.first);
    EXPECT_EQ(chain(l.first), (std::vector<int>{1, -1, 3}));

    // The null element ends the table and a peeking walk; match sees it.
    int count = -5;
    void **table = list_2_table(l.first, &count);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(table[0], &values[1]);
    EXPECT_EQ(table[1], nullptr);
    free(table);
    EXPECT_EQ(list_peek(l.first->next), nullptr);
    std::vector<int> matched;
    auto record = [](const void *out, void *elem) {
        static_cast<std::vector<int> *>(const_cast<void *>(out))->push_back(value_of(elem));
        return 1;
    };
    EXPECT_EQ(list_find_element(&matched, l.first, record), nullptr);
    EXPECT_EQ(matched, (std::vector<int>{1, -1, 3}));
    matched.clear();
    EXPECT_EQ(list_find_element(&matched, nullptr, record), nullptr);
    EXPECT_EQ(matched, (std::vector<int>{-1}));
    EXPECT_EQ(list_find_link(nullptr, l.first), l.first->next);
}

TEST(List, InsertPlacements)
{
    auto place_all = [](int result) {
        static int fixed;
        fixed = result;
        return +[](void *, void *) { return fixed; };
    };
    List l;
    static int calls = 0;
    EXPECT_NE(list_insert(&values[5], &l.first, [](void *, void *) { return ++calls; }), nullptr);
    EXPECT_EQ(calls, 0);
    list_insert(&values[6], &l.first, place_all(2));
    list_insert(&values[7], &l.first, place_all(1));
    list_insert(&values[4], &l.first, place_all(-1));
    EXPECT_EQ(list_insert(&values[8], &l.first, place_all(0)), nullptr);
    EXPECT_EQ(chain(l.first), (std::vector<int>{4, 5, 7, 6}));
    EXPECT_EQ(list_insert(&values[1], nullptr, place_all(2)), nullptr);

    // Ascending order by -1 / 0 / 2; an equal value is refused.
    List sorted;
    auto ascending = [](void *n, void *e) {
        int a = value_of(n), b = value_of(e);
        return a < b ? -1 : a == b ? 0 : 2;
    };
    for (int v : {5, 2, 8, 3, 9, 0, 3})
        list_insert(&values[v], &sorted.first, ascending);
    EXPECT_EQ(chain(sorted.first), (std::vector<int>{0, 2, 3, 5, 8, 9}));
}

TEST(List, RemovalsAndSearchesComparePointersOrMatch)
{
    List l({1, 2, 1});
    int other_one = 1;
    EXPECT_EQ(list_del_link(&other_one, &l.first), 0);
    List empty;
    EXPECT_EQ(list_del_link(&values[1], &empty.first), -1);
    EXPECT_EQ(list_del_link(&values[1], nullptr), -1);
    EXPECT_EQ(list_pop(&empty.first), nullptr);
    EXPECT_EQ(list_pop(nullptr), nullptr);
    EXPECT_EQ(list_find_link(&other_one, l.first), nullptr);
    EXPECT_EQ(list_find_link(&values[2], l.first), l.first->next);

    auto by_value = [](const void *k, void *e) { return value_of(k) == value_of(e) ? 0 : 1; };
    EXPECT_EQ(list_find_element(&other_one, l.first, by_value), &values[1]);
    // During an iteration list_del passes over the marked first 1.
    list_iter_set(l.first);
    EXPECT_EQ(list_del(&other_one, &l.first, by_value), &values[1]);
    EXPECT_EQ(list_del(&other_one, &l.first, by_value), &values[1]);
    EXPECT_EQ(list_del(&other_one, &l.first, by_value), nullptr);
    EXPECT_EQ(chain(l.first), (std::vector<int>{101, 2, 101}));
    EXPECT_EQ(list_pop(&l.first), &values[2]);
    EXPECT_EQ(list_pop(&l.first), nullptr);
    list_iter_clear(&l.first);
    EXPECT_EQ(l.first, nullptr);
    list_iter_set(nullptr);
    list_iter_clear(&l.first);
    list_iter_clear(nullptr);
}

TEST(List, AllocationFailuresLeaveTheListAsItWas)
{
    List l({1, 2});
    failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        int count = -5;
        failalloc::arm(k, mode);
        list_link *pushed = list_push(&values[3], &l.first);
        list_link *appended = list_append(&values[4], &l.first);
        list_link *inserted = list_insert(&values[5], &l.first, [](void *, void *) { return 2; });
        void **table = list_2_table(l.first, &count);
        failalloc::disarm();
        EXPECT_EQ(chain(l.first).size(), 2u + (pushed != nullptr) + (appended != nullptr) +
                                             (inserted != nullptr));
        EXPECT_EQ(count, table ? static_cast<int>(chain(l.first).size()) : -5);
        free(table);
        list_del_link(&values[3], &l.first);
        list_del_link(&values[4], &l.first);
        list_del_link(&values[5], &l.first);
    });
    EXPECT_EQ(chain(l.first), (std::vector<int>{1, 2}));
}

// Random operations, some of them from inside an iteration, against
// std::list (where removal is immediate: marked links are invisible).
TEST(List, RandomOperationsMatchAModel)
{
    std::mt19937 random(9);
    List l;
    std::list<int *> model;
    auto check = [&] {
        int count = -1;
        void **table = list_2_table(l.first, &count);
        std::vector<void *> got(table, table + count);
        free(table);
        EXPECT_EQ(got, std::vector<void *>(model.begin(), model.end()));
        EXPECT_EQ(list_length(l.first), static_cast<int>(model.size()));
    };
    auto step = [&] {
        int *elem = &values[random() % 10];
        switch (random() % 5) {
        case 0:
            list_push(elem, &l.first);
            model.push_front(elem);
            break;
        case 1:
            list_append(elem, &l.first);
            model.push_back(elem);
            break;
        case 2:
            EXPECT_EQ(list_pop(&l.first), model.empty() ? nullptr : model.front());
            if (!model.empty())
                model.pop_front();
            break;
        default: {
            auto it = std::find(model.begin(), model.end(), elem);
            EXPECT_EQ(list_del_link(elem, &l.first), l.first ? it != model.end() : -1);
            if (it != model.end())
                model.erase(it);
        }
        }
    };
    for (int round = 0; round < 300; round++) {
        if (round % 3 == 0) {
            iterate(&l.first, [&](void *, int) {
                step();
                check();
                return 0;
            });
        } else {
            step();
        }
        check();
    }
}

}  // namespace

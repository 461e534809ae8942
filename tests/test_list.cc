// The linked list: changes inside iterations and the purge when the outermost
// ends, positions over marked and null links, placements, allocation failures,
// and random operations against std::list.
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
std::vector<int> seen;  // what the callbacks saw

// A list of the given values (-1: a null element), released at the end.
struct List {
    list_link *first = nullptr;
    explicit List(std::initializer_list<int> elems)
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

int value_of(const void *elem) { return elem ? *static_cast<const int *>(elem) : -1; }

// The whole chain, a marked link as its value + 100; checks prev and next.
std::vector<int> chain(const list_link *first)
{
    std::vector<int> out;
    for (const list_link *link = first; link; link = link->next) {
        EXPECT_EQ(link->prev ? link->prev->next : first, link);
        out.push_back(value_of(link->elem) + (link->flags & LIST_LINK_REMOVED ? 100 : 0));
    }
    return out;
}

int same_value(const void *key, void *elem) { return value_of(key) == value_of(elem) ? 0 : 1; }

template <typename F> int iterate(list_link **list, F fn)
{
    auto call = [](void *elem, int position, void *f) { return (*static_cast<F *>(f))(elem, position); };
    return list_iterate(list, call, &fn);
}

TEST(List, ChangesDuringIterationsAreMarksUntilTheOutermostEnds)
{
    List l({1, 2, 3, 4});
    seen.clear();
    int result = iterate(&l.first, [&](void *elem, int position) {
        seen.push_back(value_of(elem) * 10 + position);
        if (value_of(elem) == 1) {
            list_push(&values[0], &l.first);  // not visited; takes the count over
            EXPECT_EQ(l.first->iter_count, 1);
            list_append(&values[5], &l.first);  // visited
            int three = 3;  // found by value; the marked link is passed over next time
            EXPECT_EQ(list_del(&three, &l.first, same_value), &values[3]);
            EXPECT_EQ(list_del(&three, &l.first, same_value), nullptr);
            EXPECT_EQ(list_length(l.first), 5);
            EXPECT_EQ(list_peek(l.first->next->next->next), &values[4]);
            iterate(&l.first, [&](void *, int) {
                EXPECT_EQ(l.first->iter_count, 2);
                EXPECT_EQ(list_pop(&l.first), &values[0]);
                return 1;
            });
            EXPECT_EQ(chain(l.first), (std::vector<int>{100, 1, 2, 103, 4, 5}));
        }
        return value_of(elem) == 5 ? 9 : 0;
    });
    EXPECT_EQ(result, 9);
    EXPECT_EQ(seen, (std::vector<int>{10, 21, 43, 54}));
    EXPECT_EQ(chain(l.first), (std::vector<int>{1, 2, 4, 5}));
    EXPECT_EQ(l.first->iter_count, 0);

    list_iterate_del(&l.first, [](void *, int, void *, void *) { return 1; }, nullptr, nullptr);
    EXPECT_EQ(l.first, nullptr);
}

TEST(List, PositionsCountMarkedAndNullLinks)
{
    List l({1, 2, -1, 3});
    EXPECT_EQ(list_length(l.first), 4);
    list_iter_set(l.first);
    list_del_link(&values[2], &l.first);
    seen.clear();
    auto record = [](void *, int position, void *, void *) { return seen.push_back(position), 0; };
    list_iterate_del(&l.first, record, nullptr, nullptr);
    EXPECT_EQ(seen, (std::vector<int>{0, 3}));
    list_iter_clear(&l.first);
    EXPECT_EQ(chain(l.first), (std::vector<int>{1, -1, 3}));
    list_iter_clear(&l.first);
    EXPECT_EQ(l.first->iter_count, 0) << "a clear without an iteration";

    // A null element ends the table and a peeking walk; match sees the null.
    int count = -5;
    void **table = list_2_table(l.first, &count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(std::vector<void *>(table, table + 2), (std::vector<void *>{&values[1], nullptr}));
    free(table);
    seen.clear();
    auto match = [](const void *, void *elem) { return seen.push_back(value_of(elem)), 1; };
    EXPECT_EQ(list_find_element(nullptr, l.first, match), nullptr);
    EXPECT_EQ(list_find_element(nullptr, nullptr, match), nullptr);
    EXPECT_EQ(seen, (std::vector<int>{1, -1, 3, -1}));
    EXPECT_EQ(list_find_link(nullptr, l.first), l.first->next);
    int equal_one = 1;
    EXPECT_EQ(list_del_link(&equal_one, &l.first), 0);
}

TEST(List, InsertPlacementsAndAllocationFailures)
{
    static int answer;
    auto fixed = [](void *, void *) { return answer; };
    List l({});
    // An empty list asks nothing: not a missing callback, not one that would
    // refuse. A list with links needs the callback.
    ASSERT_NE(list_insert(&values[5], &l.first, nullptr), nullptr);
    EXPECT_EQ(list_insert(&values[6], &l.first, nullptr), nullptr);
    list_del_link(&values[5], &l.first);
    answer = 0;
    ASSERT_NE(list_insert(&values[5], &l.first, fixed), nullptr);
    const std::pair<int, int> cases[] = {{6, 1}, {7, 1}, {4, -1}, {8, 2}, {9, 0}};
    for (auto [v, a] : cases) {
        answer = a;
        EXPECT_EQ(list_insert(&values[v], &l.first, fixed) != nullptr, a != 0);
    }
    EXPECT_EQ(chain(l.first), (std::vector<int>{4, 5, 7, 6, 8}));

    // Without memory the list stays as it was.
    failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        int count = -5;
        failalloc::arm(k, mode);
        bool pushed = list_push(&values[1], &l.first);
        bool appended = list_append(&values[2], &l.first);
        bool inserted = list_insert(&values[3], &l.first, [](void *, void *) { return 2; });
        void **table = list_2_table(l.first, &count);
        failalloc::disarm();
        const size_t length = chain(l.first).size();
        EXPECT_EQ(length, 5u + pushed + appended + inserted);
        EXPECT_EQ(count, table ? static_cast<int>(length) : -5);
        free(table);
        for (int v : {1, 2, 3})
            list_del_link(&values[v], &l.first);
    });
    EXPECT_EQ(chain(l.first), (std::vector<int>{4, 5, 7, 6, 8}));
}

// Random operations, a third of them from inside an iteration, against
// std::list, where a removal takes effect at once as a mark does. (Sorted
// inserts run outside iterations only: placement also sees marked links.)
TEST(List, RandomOperationsMatchAModel)
{
    std::mt19937 random(9);
    List l({});
    std::list<void *> model;
    auto ascending = [](void *n, void *e) { return value_of(n) <= value_of(e) ? -1 : 2; };
    auto step = [&](bool walking) {
        int *elem = &values[random() % 10];
        auto found = std::find(model.begin(), model.end(), elem);
        const unsigned op = random() % 5;
        if (op == 0) {
            list_push(elem, &l.first), model.push_front(elem);
        } else if (op == 1) {
            list_append(elem, &l.first), model.push_back(elem);
        } else if (op == 2) {
            EXPECT_EQ(list_pop(&l.first), model.empty() ? nullptr : model.front());
            if (!model.empty())
                model.pop_front();
        } else if (op == 3 && !walking) {
            list_insert(elem, &l.first, ascending);
            auto before = [&](void *e) { return *elem <= value_of(e); };
            model.insert(std::find_if(model.begin(), model.end(), before), elem);
        } else if (op == 4) {
            EXPECT_EQ(list_del_link(elem, &l.first), l.first ? found != model.end() : -1);
            if (found != model.end())
                model.erase(found);
        }
        int count = -1;
        void **table = list_2_table(l.first, &count);
        EXPECT_EQ(std::vector<void *>(table, table + count), std::vector<void *>(model.begin(), model.end()));
        free(table);
        return 0;
    };
    for (int round = 0; round < 300; round++)
        round % 3 ? step(false) : iterate(&l.first, [&](void *, int) { return step(true); });
}

}  // namespace

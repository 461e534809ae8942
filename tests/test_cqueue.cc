// The circular queue: empty and full queues, lengths at the slot size,
// cancel and reset, set-up without memory, and long random runs that wrap
// around many times, against a std::deque that drops its oldest item where
// the queue would overflow.
#include <string.h>

#include <deque>
#include <random>
#include <string>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

// The next item copied out (with room bytes of room), or "<result>".
std::string take(ztcq_queue *q, int room = 64)
{
    char buf[64];
    int result = ztcq_copyfrom_queue(q, buf, &room);
    return result == ZTCQ_OK ? std::string(buf, static_cast<size_t>(room))
                             : "<" + std::to_string(result) + ">";
}

int put(ztcq_queue *q, const std::string &s)
{
    return ztcq_copyto_queue(q, s.data(), static_cast<int>(s.size()));
}

TEST(CqueueTest, EmptyFullAndBadArguments)
{
    ztcq_queue q, zero = {};
    ztcq_slot *slot = nullptr;
    EXPECT_EQ(ztcq_init(&q, 8, 0), ZTCQ_ERROR);  // no capacity to wrap at
    EXPECT_EQ(ztcq_init(&q, 0, 4), ZTCQ_ERROR);
    ASSERT_EQ(ztcq_init(&q, 8, 4), ZTCQ_OK);
    EXPECT_EQ(ztcq_peek(&q, &slot), ZTCQ_EMPTY);
    EXPECT_EQ(take(&q), "<3>");
    EXPECT_EQ(take(&q, 0), "<-1>");
    EXPECT_EQ(ztcq_enqueue(&q, nullptr), ZTCQ_ERROR);
    for (const char *item : {"1", "2", "3", "4"})
        EXPECT_EQ(put(&q, item), ZTCQ_OK);
    EXPECT_EQ(ztcq_get_size(&q), 3);  // the 1 was discarded
    for (const char *item : {"2", "3", "4", "<3>"})
        EXPECT_EQ(take(&q), item);
    ztcq_destroy(&q);
    EXPECT_EQ(memcmp(&q, &zero, sizeof q), 0);
    EXPECT_EQ(ztcq_enqueue(&q, &slot), ZTCQ_ERROR);
    EXPECT_EQ(ztcq_get_size(nullptr), -1);

    ASSERT_EQ(ztcq_init(&q, 8, 1), ZTCQ_OK);  // never holds anything
    EXPECT_EQ(ztcq_enqueue(&q, &slot), ZTCQ_OK);
    EXPECT_EQ(ztcq_get_size(&q), 0);
    EXPECT_EQ(ztcq_dequeue(&q, &slot), ZTCQ_EMPTY);
    ztcq_destroy(&q);
}

TEST(CqueueTest, LengthsCancelAndReset)
{
    ztcq_queue q;
    ASSERT_EQ(ztcq_init(&q, 5, 4), ZTCQ_OK);
    EXPECT_EQ(put(&q, "abcdef"), ZTCQ_TOO_LONG);
    EXPECT_EQ(ztcq_get_size(&q), 0);
    EXPECT_EQ(put(&q, "abcde"), ZTCQ_OK);
    EXPECT_EQ(take(&q, 3), "abc");
    EXPECT_EQ(ztcq_get_size(&q), 0);
    // A slot filled in place that claims more than it holds is cut to it.
    ztcq_slot *first, *again;
    ztcq_enqueue(&q, &first);
    memcpy(first->data, "vwxyz", 5);
    first->len = 1000;
    EXPECT_EQ(take(&q), "vwxyz");

    ztcq_enqueue(&q, &first);
    EXPECT_EQ(ztcq_cancel(&q), ZTCQ_OK);
    EXPECT_EQ(ztcq_cancel(&q), ZTCQ_OK);  // empty: nothing to withdraw
    ztcq_enqueue(&q, &again);
    EXPECT_EQ(again, first);
    ztcq_reset(&q);
    EXPECT_EQ(take(&q), "<3>");
    EXPECT_EQ(memcmp(q.slots[1].data, "vwxyz", 5), 0);  // contents stay
    ztcq_destroy(&q);
}

TEST(CqueueTest, SetUpWithoutMemoryLeavesNothingAllocated)
{
    namespace failalloc = zt_test::failalloc;
    failalloc::for_each_failure([](unsigned k, failalloc::Mode mode) {
        ztcq_queue q;
        failalloc::arm(k, mode);
        int result = ztcq_init(&q, 16, 10);
        failalloc::disarm();
        EXPECT_EQ(result == ZTCQ_OK, !failalloc::failed());
        EXPECT_EQ(q.slots == nullptr, result != ZTCQ_OK);
        ztcq_destroy(&q);
    });
}

TEST(CqueueTest, RandomRunsAgreeWithADequeThatDropsItsOldest)
{
    std::mt19937 random(3);
    for (int capacity : {2, 3, 5, 16}) {
        ztcq_queue q;
        ASSERT_EQ(ztcq_init(&q, 6, capacity), ZTCQ_OK);
        std::deque<std::string> model;
        for (int step = 0; step < 30000; step++) {
            ztcq_slot *slot;
            switch (random() % 7) {
            case 0:
                EXPECT_EQ(take(&q), model.empty() ? "<3>" : model.front());
                if (!model.empty())
                    model.pop_front();
                break;
            case 1:
                if (ztcq_peek(&q, &slot) == ZTCQ_OK) {
                    ASSERT_FALSE(model.empty());
                    const auto *data = static_cast<const char *>(slot->data);
                    EXPECT_EQ(std::string(data, static_cast<size_t>(slot->len)), model.front());
                }
                break;
            case 2:
                ztcq_cancel(&q);
                if (!model.empty())
                    model.pop_back();
                break;
            default:
                put(&q, std::to_string(step));
                model.push_back(std::to_string(step));
                if (model.size() > static_cast<size_t>(capacity - 1))
                    model.pop_front();
            }
            ASSERT_EQ(ztcq_get_size(&q), static_cast<int>(model.size())) << step;
        }
        ztcq_destroy(&q);
    }
}

}  // namespace

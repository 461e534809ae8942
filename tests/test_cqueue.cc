// The circular queue: empty and full queues, lengths at the slot size,
// cancel and reset, set-up without memory, and long random runs that wrap
// around many times, against a std::deque that drops its oldest item when
// the queue would overflow.
#include <string.h>

#include <deque>
#include <random>
#include <string>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

namespace failalloc = zt_test::failalloc;

std::string take(ztcq_queue *q, int room = 64)
{
    char buf[64];
    int len = room;
    int result = ztcq_copyfrom_queue(q, buf, &len);
    return result == ZTCQ_OK ? std::string(buf, static_cast<size_t>(len)) : "<" + std::to_string(result) + ">";
}

int put(ztcq_queue *q, const std::string &s)
{
    return ztcq_copyto_queue(q, s.data(), static_cast<int>(s.size()));
}

TEST(CqueueTest, EmptyQueuesAndBadArguments)
{
    ztcq_queue q;
    ASSERT_EQ(ztcq_init(&q, 8, 4), ZTCQ_OK);
    ztcq_slot *slot = nullptr;
    EXPECT_EQ(ztcq_get_size(&q), 0);
    EXPECT_EQ(ztcq_dequeue(&q, &slot), ZTCQ_EMPTY);
    EXPECT_EQ(ztcq_peek(&q, &slot), ZTCQ_EMPTY);
    EXPECT_EQ(take(&q), "<3>");
    EXPECT_EQ(ztcq_enqueue(&q, nullptr), ZTCQ_ERROR);
    EXPECT_EQ(ztcq_copyto_queue(&q, "x", 0), ZTCQ_ERROR);
    EXPECT_EQ(take(&q, 0), "<-1>");
    EXPECT_EQ(ztcq_get_size(nullptr), -1);
    EXPECT_EQ(ztcq_cancel(nullptr), ZTCQ_ERROR);
    ztcq_destroy(&q);
    ztcq_queue zero = {};
    EXPECT_EQ(memcmp(&q, &zero, sizeof q), 0);
    EXPECT_EQ(ztcq_get_size(&q), 0);
    EXPECT_EQ(ztcq_enqueue(&q, &slot), ZTCQ_ERROR);

    // No capacity (nothing to count modulo) and no slot size are refused.
    EXPECT_EQ(ztcq_init(&q, 8, 0), ZTCQ_ERROR);
    EXPECT_EQ(ztcq_init(&q, 0, 4), ZTCQ_ERROR);
    EXPECT_EQ(ztcq_init(nullptr, 8, 4), ZTCQ_ERROR);
    EXPECT_EQ(memcmp(&q, &zero, sizeof q), 0);
}

TEST(CqueueTest, AFullQueueDiscardsItsOldestItem)
{
    ztcq_queue q;
    ASSERT_EQ(ztcq_init(&q, 8, 4), ZTCQ_OK);
    for (const char *item : {"1", "2", "3"})
        EXPECT_EQ(put(&q, item), ZTCQ_OK);
    EXPECT_EQ(ztcq_get_size(&q), 3);
    EXPECT_EQ(put(&q, "4"), ZTCQ_OK);
    EXPECT_EQ(ztcq_get_size(&q), 3);
    for (const char *item : {"2", "3", "4", "<3>"})
        EXPECT_EQ(take(&q), item);
    ztcq_destroy(&q);

    // Capacity 1: every enqueue hands out slot 0 and discards it at once.
    ASSERT_EQ(ztcq_init(&q, 8, 1), ZTCQ_OK);
    ztcq_slot *slot = nullptr;
    EXPECT_EQ(ztcq_enqueue(&q, &slot), ZTCQ_OK);
    EXPECT_EQ(slot, &q.slots[0]);
    EXPECT_EQ(ztcq_get_size(&q), 0);
    EXPECT_EQ(ztcq_dequeue(&q, &slot), ZTCQ_EMPTY);
    ztcq_destroy(&q);
}

TEST(CqueueTest, LengthsAtTheSlotSizeAndShortBuffers)
{
    ztcq_queue q;
    ASSERT_EQ(ztcq_init(&q, 5, 4), ZTCQ_OK);
    EXPECT_EQ(put(&q, "abcdef"), ZTCQ_TOO_LONG);
    EXPECT_EQ(ztcq_get_size(&q), 0);
    EXPECT_EQ(put(&q, "abcde"), ZTCQ_OK);
    EXPECT_EQ(take(&q, 3), "abc");
    EXPECT_EQ(ztcq_get_size(&q), 0);
    // A slot filled in place with a length beyond its storage is cut to it.
    ztcq_slot *slot;
    ztcq_enqueue(&q, &slot);
    memcpy(slot->data, "vwxyz", 5);
    slot->len = 1000;
    EXPECT_EQ(take(&q), "vwxyz");
    ztcq_destroy(&q);
}

TEST(CqueueTest, CancelWithdrawsTheLastEnqueueAndResetKeepsContents)
{
    ztcq_queue q;
    ASSERT_EQ(ztcq_init(&q, 8, 4), ZTCQ_OK);
    ztcq_slot *first, *again;
    EXPECT_EQ(ztcq_cancel(&q), ZTCQ_OK);
    EXPECT_EQ(q.write_index, 0);
    ztcq_enqueue(&q, &first);
    EXPECT_EQ(ztcq_cancel(&q), ZTCQ_OK);
    EXPECT_EQ(ztcq_get_size(&q), 0);
    ztcq_enqueue(&q, &again);
    EXPECT_EQ(again, first);

    put(&q, "kept");
    ztcq_reset(&q);
    EXPECT_EQ(ztcq_get_size(&q), 0);
    EXPECT_EQ(take(&q), "<3>");
    EXPECT_EQ(q.slots[1].len, 4);
    EXPECT_EQ(memcmp(q.slots[1].data, "kept", 4), 0);
    ztcq_destroy(&q);
}

TEST(CqueueTest, SetUpWithoutMemoryLeavesNothingAllocated)
{
    failalloc::for_each_failure([](unsigned k, failalloc::Mode mode) {
        ztcq_queue q;
        failalloc::arm(k, mode);
        int result = ztcq_init(&q, 16, 10);
        failalloc::disarm();
        EXPECT_EQ(result == ZTCQ_OK, !failalloc::failed());
        if (result != ZTCQ_OK) {
            EXPECT_EQ(q.block, nullptr);
            EXPECT_EQ(q.slots, nullptr);
        }
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
            const std::string item = std::to_string(step % 100000);
            switch (random() % 7) {
            case 0:
                EXPECT_EQ(take(&q), model.empty() ? "<3>" : model.front());
                if (!model.empty())
                    model.pop_front();
                break;
            case 1: {
                ztcq_slot *slot;
                int result = ztcq_peek(&q, &slot);
                EXPECT_EQ(result == ZTCQ_EMPTY, model.empty());
                if (result == ZTCQ_OK) {
                    const auto *data = static_cast<const char *>(slot->data);
                    EXPECT_EQ(std::string(data, static_cast<size_t>(slot->len)), model.front());
                }
                break;
            }
            case 2:
                ztcq_cancel(&q);
                if (!model.empty())
                    model.pop_back();
                break;
            default:
                put(&q, item);
                model.push_back(item);
                if (model.size() > static_cast<size_t>(capacity - 1))
                    model.pop_front();
            }
            ASSERT_EQ(ztcq_get_size(&q), static_cast<int>(model.size())) << step;
        }
        ztcq_destroy(&q);
    }
}

}  // namespace

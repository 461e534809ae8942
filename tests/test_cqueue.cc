// The circular queue: bad arguments, lengths at the slot size, reset, set-up
// without memory, and long random runs against a deque that drops its oldest.
#include <string.h>

#include <deque>
#include <random>
#include <string>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

namespace failalloc = zt_test::failalloc;

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

TEST(CqueueTest, BadArgumentsLengthsResetAndNoMemory)
{
    ztcq_queue q, zero = {};
    ztcq_slot *slot = nullptr;
    EXPECT_EQ(ztcq_init(&q, 8, 0), ZTCQ_ERROR);
    EXPECT_EQ(ztcq_init(&q, -1, 4), ZTCQ_ERROR);
    // Slots of no bytes pass only items of no bytes, filled in place.
    ASSERT_EQ(ztcq_init(&q, 0, 4), ZTCQ_OK);
    EXPECT_EQ(put(&q, "a"), ZTCQ_TOO_LONG);
    EXPECT_EQ(ztcq_enqueue(&q, &slot), ZTCQ_OK);
    EXPECT_EQ(take(&q), "");
    ztcq_destroy(&q);
    ASSERT_EQ(ztcq_init(&q, 5, 4), ZTCQ_OK);
    EXPECT_EQ(take(&q, 0), "<-1>");
    EXPECT_EQ(ztcq_enqueue(&q, nullptr), ZTCQ_ERROR);
    EXPECT_EQ(put(&q, "abcdef"), ZTCQ_TOO_LONG);
    EXPECT_EQ(ztcq_get_size(&q), 0);
    EXPECT_EQ(put(&q, "abcde"), ZTCQ_OK);
    EXPECT_EQ(take(&q, 3), "abc");  // the rest is dropped with the item
    EXPECT_EQ(ztcq_get_size(&q), 0);
    // A slot filled in place that claims more than it holds is cut to it.
    ztcq_enqueue(&q, &slot);
    memcpy(slot->data, "vwxyz", 5);
    slot->len = 1000;
    EXPECT_EQ(take(&q), "vwxyz");
    put(&q, "x");
    put(&q, "yy");
    ASSERT_EQ(ztcq_dequeue(&q, &slot), ZTCQ_OK);
    EXPECT_EQ(slot->len, 1);  // the "x" left; the "yy" stays until the reset
    EXPECT_EQ(ztcq_get_size(&q), 1);
    ztcq_reset(&q);
    EXPECT_EQ(take(&q), "<3>");
    EXPECT_EQ(memcmp(q.slots[1].data, "vwxyz", 5), 0);  // contents stay
    ztcq_destroy(&q);
    EXPECT_EQ(memcmp(&q, &zero, sizeof q), 0);
    EXPECT_EQ(ztcq_enqueue(&q, &slot), ZTCQ_ERROR);
    EXPECT_EQ(ztcq_get_size(nullptr), -1);
    // Without memory the set-up fails and leaves nothing allocated.
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

// Capacity 1 never holds anything; the others wrap around many times.
TEST(CqueueTest, RandomRunsAgreeWithADequeThatDropsItsOldest)
{
    std::mt19937 random(3);
    for (int capacity : {1, 2, 3, 5, 16}) {
        ztcq_queue q;
        ASSERT_EQ(ztcq_init(&q, 6, capacity), ZTCQ_OK);
        std::deque<std::string> model;
        for (int step = 0; step < 30000; step++) {
            ztcq_slot *slot;
            switch (random() % 6) {
            case 0: {  // the oldest, peeked at and then taken
                const std::string front = model.empty() ? "<3>" : model.front();
                ASSERT_EQ(ztcq_peek(&q, &slot), model.empty() ? ZTCQ_EMPTY : ZTCQ_OK);
                if (!model.empty()) {
                    const auto *data = static_cast<const char *>(slot->data);
                    EXPECT_EQ(std::string(data, static_cast<size_t>(slot->len)), front);
                    model.pop_front();
                }
                EXPECT_EQ(take(&q), front);
                break;
            }
            case 1:
                EXPECT_EQ(ztcq_cancel(&q), ZTCQ_OK);  // empty too: nothing to withdraw
                if (!model.empty())
                    model.pop_back();
                break;
            default:
                EXPECT_EQ(put(&q, std::to_string(step)), ZTCQ_OK);
                model.push_back(std::to_string(step));
                if (model.size() > static_cast<size_t>(capacity - 1))
                    model.pop_front();
            }
            ASSERT_EQ(ztcq_get_size(&q), static_cast<int>(model.size())) << capacity << " " << step;
        }
        ztcq_destroy(&q);
    }
}

}  // namespace

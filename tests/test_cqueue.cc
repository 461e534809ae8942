// The circular queue: item sizes, a full queue giving up its oldest, withdrawals, no memory.
#include <string.h>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

// The next item copied out (with room bytes of room), or "<result>".
std::string take(ztcq_queue *q, int room = 64)
{
    char buf[64];
    int result = ztcq_copyfrom_queue(q, buf, &room);
    return result == ZTCQ_OK ? std::string(buf, size_t(room)) : "<" + std::to_string(result) + ">";
}

int put(ztcq_queue *q, const std::string &s) { return ztcq_copyto_queue(q, s.data(), int(s.size())); }

TEST(CqueueTest, ItemsSizesWithdrawalsAndNoMemory)
{
    ztcq_queue q, zero = {};
    ztcq_slot *slot;
    EXPECT_EQ(ztcq_init(&q, 8, 0), ZTCQ_ERROR);
    EXPECT_EQ(ztcq_init(&q, 0, 1), ZTCQ_OK) << "slots of no bytes, for items of no bytes";
    ztcq_destroy(&q);
    ASSERT_EQ(ztcq_init(&q, 5, 4), ZTCQ_OK);
    // Four items in three places: the oldest goes; a withdrawal at slot 0 wraps.
    for (const char *item : {"1", "2", "3", "4"})
        put(&q, item);
    EXPECT_EQ(ztcq_get_size(&q), 3);
    EXPECT_EQ(ztcq_cancel(&q), ZTCQ_OK);
    put(&q, "5");
    EXPECT_EQ(ztcq_peek(&q, &slot), ZTCQ_OK);
    EXPECT_EQ(ztcq_dequeue(&q, &slot), ZTCQ_OK);
    EXPECT_EQ(*static_cast<char *>(slot->data), '2') << "peeked at, then taken";
    for (const char *item : {"3", "5", "<3>"})
        EXPECT_EQ(take(&q), item);
    EXPECT_EQ(put(&q, "abcdef"), ZTCQ_TOO_LONG);
    EXPECT_EQ(put(&q, "abcde"), ZTCQ_OK);
    EXPECT_EQ(take(&q, 3), "abc");  // the rest is dropped with the item
    EXPECT_EQ(ztcq_enqueue(&q, &slot), ZTCQ_OK);
    ztcq_reset(&q);
    EXPECT_EQ(ztcq_get_size(&q), 0);
    ztcq_destroy(&q);
    EXPECT_EQ(memcmp(&q, &zero, sizeof q), 0);

    // Without memory the set-up fails and leaves nothing allocated.
    int result;
    zt_test::failalloc::for_each_failure([&] { result = ztcq_init(&q, 16, 10); }, [&](bool failed) {
        EXPECT_EQ(result, failed ? ZTCQ_ERROR : ZTCQ_OK);
        EXPECT_EQ(q.slots == nullptr, failed);
        ztcq_destroy(&q);
    });
}

}  // namespace

// The circular queue: a fixed ring of fixed-size slots carrying byte records
// first in, first out. It never refuses an item; a full queue gives up its
// oldest one. All storage is allocated once, by ztcq_init, so queueing never
// allocates and every operation takes constant time apart from the copies.
// Its contract: zttools.h and the manual page zttools_cqueue(3).
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "zttools.h"

namespace {

// A record that ztcq_init set up and ztcq_destroy has not cleared: only then
// are the slots there and a capacity above 0 for the indexes to wrap at.
bool usable(const ztcq_queue *queue)
{
    return queue && queue->slots && queue->capacity > 0;
}

// The slot after index, wrapping to 0: (index + 1) modulo the capacity,
// without a division.
int32_t next(const ztcq_queue *queue, int32_t index)
{
    return index + 1 == queue->capacity ? 0 : index + 1;
}

// The next free slot, counted as an item at once.
ztcq_slot *hand_out(ztcq_queue *queue)
{
    ztcq_slot *slot = &queue->slots[queue->write_index];
    queue->write_index = next(queue, queue->write_index);
    // Caught up with the oldest item: the queue was full, and that item goes.
    if (queue->write_index == queue->read_index)
        queue->read_index = next(queue, queue->read_index);
    if (queue->count < queue->capacity - 1)
        queue->count++;
    return slot;
}

// The oldest item's slot, which leaves the queue when take is set.
int take_oldest(ztcq_queue *queue, ztcq_slot **slot, bool take)
{
    if (!usable(queue) || !slot)
        return ZTCQ_ERROR;
    if (queue->write_index == queue->read_index)
        return ZTCQ_EMPTY;
    *slot = &queue->slots[queue->read_index];
    if (take) {
        queue->read_index = next(queue, queue->read_index);
        if (queue->count > 0)
            queue->count--;
    }
    return ZTCQ_OK;
}

}  // namespace

extern "C" {

int ztcq_init(ztcq_queue *queue, int slot_size, int capacity)
{
    // A capacity of 0 would leave the indexes nothing to be taken modulo.
    // Slots of 0 bytes are a queue of empty items.
    if (!queue || slot_size < 0 || capacity < 1)
        return ZTCQ_ERROR;
    *queue = {};
    queue->capacity = capacity;
    queue->slot_size = slot_size;
    // calloc refuses a product that does not fit a size_t.
    const auto slot_count = static_cast<size_t>(capacity);
    auto *block = static_cast<unsigned char *>(calloc(slot_count, static_cast<size_t>(slot_size)));
    auto *slots = static_cast<ztcq_slot *>(calloc(slot_count, sizeof(ztcq_slot)));
    if (!block || !slots) {
        free(block);
        free(slots);
        return ZTCQ_ERROR;
    }
    for (int i = 0; i < capacity; i++)
        slots[i].data = block + static_cast<size_t>(i) * static_cast<size_t>(slot_size);
    queue->block = block;
    queue->slots = slots;
    return ZTCQ_OK;
}

int ztcq_enqueue(ztcq_queue *queue, ztcq_slot **slot)
{
    if (!usable(queue) || !slot)
        return ZTCQ_ERROR;
    *slot = hand_out(queue);
    return ZTCQ_OK;
}

int ztcq_dequeue(ztcq_queue *queue, ztcq_slot **slot)
{
    return take_oldest(queue, slot, true);
}

int ztcq_peek(ztcq_queue *queue, ztcq_slot **slot)
{
    return take_oldest(queue, slot, false);
}

int ztcq_copyto_queue(ztcq_queue *queue, const void *bytes, int len)
{
    if (!usable(queue) || !bytes || len < 1)
        return ZTCQ_ERROR;
    if (len > queue->slot_size)
        return ZTCQ_TOO_LONG;
    ztcq_slot *slot = hand_out(queue);
    slot->len = len;
    memcpy(slot->data, bytes, static_cast<size_t>(len));
    return ZTCQ_OK;
}

int ztcq_copyfrom_queue(ztcq_queue *queue, void *buf, int *len)
{
    if (!usable(queue) || !buf || !len || *len < 1)
        return ZTCQ_ERROR;
    ztcq_slot *slot;
    int result = take_oldest(queue, &slot, true);
    if (result != ZTCQ_OK)
        return result;
    // A slot filled in place may claim more than it holds (or less than
    // nothing): the copy stays inside the slot and the buffer.
    const int n = std::clamp(slot->len, 0, std::min(queue->slot_size, *len));
    *len = n;
    memcpy(buf, slot->data, static_cast<size_t>(n));
    return ZTCQ_OK;
}

int ztcq_cancel(ztcq_queue *queue)
{
    if (!queue)
        return ZTCQ_ERROR;
    if (queue->count < 1 || !usable(queue))
        return ZTCQ_OK;
    queue->write_index = (queue->write_index == 0 ? queue->capacity : queue->write_index) - 1;
    queue->count--;
    return ZTCQ_OK;
}

int ztcq_reset(ztcq_queue *queue)
{
    if (!queue)
        return ZTCQ_ERROR;
    queue->write_index = queue->read_index = queue->count = 0;
    return ZTCQ_OK;
}

int ztcq_get_size(const ztcq_queue *queue)
{
    return queue ? queue->count : -1;
}

void ztcq_destroy(ztcq_queue *queue)
{
    if (!queue)
        return;
    free(queue->block);
    free(queue->slots);
    *queue = {};
}

}  // extern "C"

// Pointer arrays: a growable vector of pointer-sized values that keeps a
// count and a null slot after the last element, so that services can walk it
// like a null-terminated list as well. The vector never has spare capacity:
// each push grows it by one slot.
// Its contract: zttools.h and the manual page zttools_array(3).
#include <stdlib.h>
#include <string.h>

#include "zttools.h"

namespace {

constexpr size_t kSlot = sizeof(void *);

// A record with a vector to walk; a null record or one without a vector
// walks as empty.
bool walkable(const Array *array)
{
    return array && array->elems;
}

}  // namespace

extern "C" {

Array *ArrayNew(Array *array)
{
    if (!array)
        array = static_cast<Array *>(malloc(sizeof *array));
    if (array) {
        array->elems = nullptr;
        array->count = 0;
    }
    return array;
}

void ArrayDelete(Array *array)
{
    if (!array)
        return;
    free(array->elems);
    array->elems = nullptr;
    array->count = 0;
}

uint32_t ArrayNumElements(const Array *array)
{
    return array ? array->count : 0;
}

void *ArrayGet(const Array *array, int index)
{
    if (!walkable(array))
        return nullptr;
    long long at = index;
    if (at < 0)
        at += array->count;
    if (at < 0 || at >= array->count)
        return nullptr;
    return array->elems[at];
}

void ArraySet(Array *array, int index, void *value)
{
    if (!walkable(array) || index < 0 || static_cast<uint32_t>(index) >= array->count)
        return;
    array->elems[index] = value;
}

void ArrayPush(Array *array, void *value)
{
    if (!array)
        return;
    void **grown = static_cast<void **>(realloc(array->elems, (array->count + size_t{2}) * kSlot));
    if (!grown)
        return;
    grown[array->count] = value;
    grown[array->count + 1] = nullptr;
    array->elems = grown;
    array->count++;
}

Array *ArrayDup(const Array *src, Array *dst)
{
    if (!src)
        return dst;
    if (!dst && !(dst = ArrayNew(nullptr)))
        return nullptr;
    if (!src->elems)
        return dst;
    size_t size = (src->count + size_t{1}) * kSlot;
    dst->elems = static_cast<void **>(malloc(size));
    if (!dst->elems) {
        dst->count = 0;
        return dst;
    }
    memcpy(dst->elems, src->elems, size);
    dst->count = src->count;
    return dst;
}

int ArrayMatchNum(const Array *array, void *key, ArrayMatchFn fn)
{
    if (!walkable(array))
        return -1;
    for (int i = 0; array->elems[i]; i++) {
        if (fn(key, array->elems[i]))
            return i;
    }
    return -1;
}

uint8_t ArrayMatch(const Array *array, void *key, ArrayMatchFn fn)
{
    if (!walkable(array))
        return 0;
    for (void **slot = array->elems; *slot; slot++) {
        if (uint8_t result = fn(key, *slot))
            return result;
    }
    return 0;
}

uint8_t ArrayElemsMatch(void *a, void *b)
{
    return a == b;
}

int ArrayDeleteElement(Array *array, void *element)
{
    int index = ArrayMatchNum(array, element, ArrayElemsMatch);
    if (index < 0)
        return -1;
    // The null slot at count moves down with the rest; the last slot of the
    // vector is then spare.
    void **at = array->elems + index;
    memmove(at, at + 1, (array->count - static_cast<size_t>(index)) * kSlot);
    array->count--;
    return index;
}

int ArraysMatch(const Array *a, const Array *b)
{
    if (!a || !b)
        return !a && !b;
    static void *const kEmpty[] = {nullptr};
    void *const *x = a->elems ? a->elems : kEmpty;
    void *const *y = b->elems ? b->elems : kEmpty;
    for (; *x == *y; x++, y++) {
        if (!*x)
            return 1;
    }
    return 0;
}

void ArraySort(Array *array, int (*cmp)(const void *, const void *))
{
    if (walkable(array) && array->count != 0)
        qsort(array->elems, array->count, kSlot, cmp);
}

void ArrayEnum(Array *array, ArrayEnumFn fn)
{
    if (!walkable(array))
        return;
    for (void **slot = array->elems; *slot; slot++)
        fn(array, *slot);
}

}  // extern "C"

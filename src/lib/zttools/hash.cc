// The hash table: a fixed number of buckets, each a linked list of entry
// records (key, data and a metadata word of the caller's), newest first.
// Bucket choice is the caller's (a hash and an index callback); deletion
// rides on the list's iteration guard, so that callbacks walking a bucket
// may delete entries of it. Each entry shares one block with its link, so
// an add allocates once and a lookup finds the entry beside the link it has
// just read. The ready-made hash, index and compare callbacks close the
// file.
// Its contract: zttools.h and the manual page zttools_hash(3).
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>

#include "internal.h"
#include "zttools.h"

namespace {

constexpr int kDefaultSize = 127;
constexpr int32_t kAtoiStep = 65599;

// The link first: the list frees the link, and with it the entry.
struct EntryBlock {
    list_link link;
    hash_entry entry;
};

hash_entry *entry_of(const list_link *link)
{
    return static_cast<hash_entry *>(link->elem);
}

// The key's bucket, or null when the index callback gives none.
list_link **bucket_of(const hash_table *table, const void *key)
{
    const int index = table->index_fn(table->hash_fn(key), table->size, table->buckets);
    return index >= 0 && index < table->size ? &table->buckets[index] : nullptr;
}

// From link on, the first unmarked link whose key compares equal; null if
// none.
list_link *next_equal(const hash_table *table, const void *key, list_link *link)
{
    if (link && (link->flags & LIST_LINK_REMOVED))
        link = list_next(link);
    for (; link; link = list_next(link)) {
        if (table->compare_fn(key, entry_of(link)->key) == 0)
            return link;
    }
    return nullptr;
}

// The newest entry of key, or null.
hash_entry *newest_entry(const hash_table *table, const void *key)
{
    list_link **bucket = table ? bucket_of(table, key) : nullptr;
    list_link *link = bucket ? next_equal(table, key, *bucket) : nullptr;
    return link ? entry_of(link) : nullptr;
}

}  // namespace

extern "C" {

hash_table *hash_create(int count, hash_key_fn hash, hash_index_fn index, hash_compare_fn compare)
{
    if (!hash || !compare) {
        errno = EINVAL;
        return nullptr;
    }
    zt::MallocPtr<hash_table> table(static_cast<hash_table *>(malloc(sizeof(hash_table))));
    if (!table)
        return nullptr;
    const int size = count > 0 ? count : kDefaultSize;
    auto **buckets = static_cast<list_link **>(calloc(static_cast<size_t>(size), sizeof(list_link *)));
    if (!buckets)
        return nullptr;
    *table = hash_table{size, hash, index ? index : hash_mult_func, compare, buckets};
    return table.release();
}

int hash_add(hash_table *table, const void *key, void *data)
{
    if (!table) {
        errno = EINVAL;
        return -1;
    }
    list_link **bucket = bucket_of(table, key);
    if (!bucket) {
        errno = EDOM;
        return -1;
    }
    auto *block = static_cast<EntryBlock *>(malloc(sizeof(EntryBlock)));
    if (!block)
        return -1;
    block->entry = hash_entry{key, data, 0};
    zt::list_push_link(bucket, &block->link, &block->entry);
    return static_cast<int>(bucket - table->buckets);
}

void *hash_find_element(hash_table *table, const void *key)
{
    const hash_entry *entry = newest_entry(table, key);
    return entry ? entry->data : nullptr;
}

uintptr_t hash_get_metadata(hash_table *table, const void *key)
{
    const hash_entry *entry = newest_entry(table, key);
    return entry ? entry->metadata : 0;
}

}  // extern "C"

namespace {

// Calls visit for every unmarked link of the bucket whose key compares
// equal, from first on.
template <typename Visit>
void for_each_equal(const hash_table *table, const void *key, list_link *first, Visit visit)
{
    for (list_link *link = next_equal(table, key, first); link;
         link = next_equal(table, key, list_next(link)))
        visit(link);
}

template <typename Callback> struct IterateCall {
    Callback callback;
    void *arg1;
    void *arg2;
};

int iterate_adapter(void *elem, int position, void *call)
{
    const auto *c = static_cast<const IterateCall<hash_iter_fn> *>(call);
    return c->callback(static_cast<hash_entry *>(elem)->data, position, c->arg1);
}

int iterate_del_adapter(void *elem, int position, void *call, void *)
{
    const auto *c = static_cast<const IterateCall<hash_iter_del_fn> *>(call);
    return c->callback(static_cast<hash_entry *>(elem)->data, position, c->arg1, c->arg2);
}

}  // namespace

extern "C" {

void hash_set_metadata(hash_table *table, const void *key, uintptr_t value)
{
    list_link **bucket = table ? bucket_of(table, key) : nullptr;
    if (bucket)
        for_each_equal(table, key, *bucket,
                       [&](list_link *link) { entry_of(link)->metadata = value; });
}

int hash_iterate(hash_table *table, hash_iter_fn callback, void *arg)
{
    if (!table || !callback)
        return 0;
    IterateCall<hash_iter_fn> call = {callback, arg, nullptr};
    for (int i = 0; i < table->size; i++) {
        if (int result = list_iterate(&table->buckets[i], iterate_adapter, &call))
            return result;
    }
    return 0;
}

// An entry that the callback accepts is marked by the walk and freed with
// its link when the bucket's walk ends; one that the callback itself
// deleted meanwhile is only marked again.
int hash_iterate_del(hash_table *table, hash_iter_del_fn callback, void *arg1, void *arg2)
{
    if (!table || !callback)
        return 0;
    IterateCall<hash_iter_del_fn> call = {callback, arg1, arg2};
    for (int i = 0; i < table->size; i++)
        list_iterate_del(&table->buckets[i], iterate_del_adapter, &call, nullptr);
    return 0;
}

int hash_length(hash_table *table)
{
    if (!table)
        return -1;
    int length = 0;
    for (int i = 0; i < table->size; i++)
        length += list_length(table->buckets[i]);
    return length;
}

int hash_del_element(hash_table *table, const void *key)
{
    list_link **bucket = table ? bucket_of(table, key) : nullptr;
    if (!bucket || !*bucket)
        return 0;
    // Under a raised count the removal is the mark, which hides the entry
    // from every look-up; the purge frees it with its link.
    list_iter_set(*bucket);
    for_each_equal(table, key, *bucket, zt::list_mark);
    list_iter_clear(bucket);
    return 0;
}

void hash_del(hash_table *table)
{
    if (!table)
        return;
    // Each pop frees a link and the entry in its block.
    for (int i = 0; i < table->size; i++) {
        while (list_pop(&table->buckets[i])) {
        }
    }
    free(table->buckets);
    free(table);
}

int hash_int(const void *key)
{
    return key ? *static_cast<const int32_t *>(key) : -1;
}

int hash_atoi(const void *key)
{
    if (!key)
        return -1;
    // Unsigned, so that long strings wrap instead of overflowing.
    uint32_t sum = 0;
    for (const auto *c = static_cast<const signed char *>(key); *c; c++)
        sum += static_cast<uint32_t>(*c + kAtoiStep);
    return static_cast<int32_t>(sum);
}

int hash_intcmp(const void *a, const void *b)
{
    if (!a || !b)
        return (a != nullptr) - (b != nullptr);
    const int32_t x = *static_cast<const int32_t *>(a), y = *static_cast<const int32_t *>(b);
    return (x > y) - (x < y);
}

}  // extern "C"

namespace {

// hash_mult_func rounds each step as double arithmetic rounds it. Where
// every double operation is rounded to double (SSE2 arithmetic: every
// x86_64 build, and i386 ones on a processor that has it), the hardware
// does exactly that.
constexpr double kMultiplier = 0.6180339887;

// The index before its range check: the signed fractional part of
// hash * multiplier, times count, truncated toward zero. (The product is
// below 2^31 in magnitude, so an int holds its whole part.) An i386 build
// would compute it in the x87 unit, which rounds to 64 bits first and, now
// and then, rounds the same product twice: it runs this in the SSE2 unit
// where the processor has one, and computes the same results in integers
// where it has none.
__attribute__((target("sse2,fpmath=sse"))) int double_index(int hash, int count)
{
    const double product = hash * kMultiplier;
    const double fraction = product - static_cast<double>(static_cast<int>(product));
    return static_cast<int>(fraction * count);
}

#if __FLT_EVAL_METHOD__ == 0

int mult_index(int hash, int count)
{
    return double_index(hash, count);
}

#else

// The multiplier as the 53-bit integer m of the double m * 2^-53.
constexpr uint64_t kMultiplierBits = static_cast<uint64_t>(kMultiplier * 0x1p53);
static_assert(kMultiplierBits * 0x1p-53 == kMultiplier && kMultiplierBits >> 52 == 1);
constexpr int kDoubleBits = 53;
constexpr uint64_t kFractionMask = (uint64_t{1} << kDoubleBits) - 1;

// The least t with t * kMultiplierBits >= 2^84: a 32-bit value whose top
// bit is set, normalised to 32 bits, that reaches it makes the product one
// bit longer.
constexpr uint32_t carry_threshold()
{
    uint64_t remainder = 0, quotient = 0;
    for (int bit = 84; bit >= 0; bit--) {
        remainder = (remainder << 1) | (bit == 84);
        quotient <<= 1;
        if (remainder >= kMultiplierBits) {
            remainder -= kMultiplierBits;
            quotient |= 1;
        }
    }
    return static_cast<uint32_t>(quotient + (remainder != 0));
}
constexpr uint32_t kCarryThreshold = carry_threshold();

// The fractional part, as F * 2^-53, of the double nearest to
// magnitude * multiplier (ties to even). The product has up to 84 bits;
// rounding it to 53 drops its lowest shift bits, so its low 64 bits are all
// that the fraction and the rounding need.
uint64_t fraction_of_product(uint32_t magnitude)
{
    if (magnitude == 0)
        return 0;
    const int length = 32 - __builtin_clz(magnitude);
    const int shift = length - 1 + ((magnitude << (32 - length)) >= kCarryThreshold);
    const uint64_t product = kMultiplierBits * magnitude;
    const uint32_t unit = uint32_t{1} << shift;  // shift < 32
    // Half a unit up, less one where the kept part is even: ties to even.
    const uint64_t rounded = (product + (unit >> 1) - (shift > 0 && !(product & unit))) & ~uint64_t{unit - 1};
    return rounded & kFractionMask;
}

// The whole part of the double nearest to fraction * 2^-53 * count. The
// exact product's whole part is right unless the rounding, which drops as
// many bits as the whole part has, carries into it from just below.
uint32_t whole_of_scaled(uint64_t fraction, uint32_t count)
{
    const uint64_t low = (fraction & 0xffffffffu) * count;
    const uint64_t high = (fraction >> 32) * count + (low >> 32);
    const auto whole = static_cast<uint32_t>(high >> (kDoubleBits - 32));
    if (whole == 0)
        return 0;
    const uint64_t below = ((high << 32) | (low & 0xffffffffu)) & kFractionMask;
    const int dropped = 32 - __builtin_clz(whole);
    return whole + (below >= (uint64_t{1} << kDoubleBits) - (uint32_t{1} << (dropped - 1)));
}

int emulated_index(int hash, int count)
{
    // x = hash * multiplier; its fractional part f, with the sign of x, is
    // F * 2^-53; the index is f * count, truncated toward zero.
    const uint32_t magnitude = hash < 0 ? 0u - static_cast<uint32_t>(hash) : static_cast<uint32_t>(hash);
    const uint64_t fraction = fraction_of_product(magnitude);
    const auto whole = static_cast<int>(whole_of_scaled(fraction, static_cast<uint32_t>(count)));
    return hash < 0 ? -whole : whole;
}

int mult_index(int hash, int count)
{
    return zt::have_sse2() ? double_index(hash, count) : emulated_index(hash, count);
}

#endif

}  // namespace

extern "C" {

int hash_mult_func(int hash, int count, list_link ** /*buckets*/)
{
    if (count < 1)
        return -1;
    const int index = mult_index(hash, count);
    return index >= 0 && index < count ? index : -1;
}

int hash_double_func(int hash, int count, list_link **buckets)
{
    const int h = count >= 1 ? hash % count : -1;
    if (h < 0) {
        errno = EDOM;
        return -1;
    }
    if (!buckets || !buckets[h] || count < 2)
        return h;
    // The probe sequence in 32-bit arithmetic that wraps, as the signed
    // remainder of the wrapped value: a negative one ends the search.
    for (int k = 1; k < count; k++) {
        const auto step = static_cast<uint32_t>(k) * static_cast<uint32_t>(h + 1);
        const int probe = static_cast<int32_t>(static_cast<uint32_t>(h) + step) % count;
        if (probe < 0) {
            errno = EDOM;
            return -1;
        }
        if (!buckets[probe])
            return probe;
    }
    return h;
}

}  // extern "C"

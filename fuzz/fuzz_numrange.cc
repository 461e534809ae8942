// Reads arbitrary number lists: the result is the array or null, the array
// keeps its null slot after the last element and only grows, an overflow is
// ERANGE, and text without a hyphen lists no negative number while text
// without digits lists only zeros. Digit runs are kept short when the text
// has a hyphen, so that a range cannot ask for millions of pushes.
#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include "fuzz_text.h"
#include "zttools.h"

namespace {

constexpr size_t kMaxRangeDigits = 3;

bool has_long_digit_run(const char *s)
{
    size_t run = 0;
    for (; *s; s++) {
        run = isdigit(static_cast<unsigned char>(*s)) ? run + 1 : 0;
        if (run > kMaxRangeDigits)
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    zt_fuzz::Reader input(data, size);
    zt_fuzz::HeapText text = input.piece();
    bool hyphen = strchr(text.get(), '-') != nullptr;
    if (hyphen && has_long_digit_run(text.get()))
        return 0;
    Array out;
    ArrayNew(&out);
    ArrayPush(&out, reinterpret_cast<void *>(intptr_t{42}));  // kept in any case
    errno = 0;
    Array *result = ParseNumRange(text.get(), &out);
    FUZZ_CHECK(result == &out || (result == nullptr && (errno == 0 || errno == ERANGE)));
    FUZZ_CHECK(out.count >= 1 && out.elems[0] == reinterpret_cast<void *>(intptr_t{42}));
    FUZZ_CHECK(out.elems[out.count] == nullptr);
    bool digits = strpbrk(text.get(), "0123456789") != nullptr;
    for (uint32_t i = 1; i < out.count; i++) {
        intptr_t value = reinterpret_cast<intptr_t>(out.elems[i]);
        FUZZ_CHECK(value >= INT32_MIN && value <= INT32_MAX);
        FUZZ_CHECK(hyphen || value >= 0);
        FUZZ_CHECK(digits || value == 0);
    }
    ArrayDelete(&out);
    return 0;
}

// Validates arbitrary strings (input: mask byte, limit byte, allowed set up
// to a NUL, then the string): the result is 0 or 1 and agrees with a
// character-by-character reading of the rules, and a valid string stays
// valid with a smaller limit, without a mask or with an accept function;
// without an allowed set only the mask counts.
#include <ctype.h>
#include <string.h>

#include "fuzz_text.h"
#include "zttools.h"

namespace {

int accept_alnum(int c)
{
    return isalnum(c);
}

bool expected(const char *s, int maxlen, uint8_t mask, const char *allowed, bool alnum)
{
    for (int i = 0; (maxlen < 0 || i < maxlen) && s[i]; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (mask && (c & ~mask))
            return false;
        if (alnum && isalnum(static_cast<signed char>(c)))
            continue;
        if (allowed && !strchr(allowed, c))
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    zt_fuzz::Reader input(data, size);
    uint8_t mask = input.byte();
    int maxlen = static_cast<signed char>(input.byte());
    zt_fuzz::HeapText allowed = input.piece();
    zt_fuzz::HeapText s = input.piece();
    int plain = IsValidStr(s.get(), maxlen, mask, allowed.get(), nullptr);
    int alnum = IsValidStr(s.get(), maxlen, mask, allowed.get(), accept_alnum);
    FUZZ_CHECK(plain == expected(s.get(), maxlen, mask, allowed.get(), false));
    FUZZ_CHECK(alnum == expected(s.get(), maxlen, mask, allowed.get(), true));
    if (plain) {
        FUZZ_CHECK(alnum == 1);
        FUZZ_CHECK(IsValidStr(s.get(), maxlen, 0, allowed.get(), nullptr) == 1);
        if (maxlen > 0)
            FUZZ_CHECK(IsValidStr(s.get(), maxlen - 1, mask, allowed.get(), nullptr) == 1);
    }
    FUZZ_CHECK(IsValidStr(s.get(), maxlen, mask, nullptr, nullptr) ==
               expected(s.get(), maxlen, mask, nullptr, false));
    return 0;
}

// Cuts arbitrary text by an arbitrary delimiter set (the input up to its
// first NUL): every word is the text at the cursor up to its first
// delimiter, the cursor then moves past delimiters only, and the walk ends
// (cursor null) within length + 2 calls without changing the text.
#include <stdlib.h>
#include <string.h>

#include "fuzz_text.h"
#include "zttools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    zt_fuzz::Reader input(data, size);
    zt_fuzz::HeapText delims = input.piece();
    zt_fuzz::HeapText text = input.piece();
    zt_fuzz::HeapText original(text.get(), text.length());
    char *cursor = text.get();
    size_t calls = 0;
    while (cursor) {
        FUZZ_CHECK(++calls <= text.length() + 2);
        char *at = cursor;
        char *word = GetWord(&cursor, delims.get());
        FUZZ_CHECK(word);
        size_t length = strlen(word);
        FUZZ_CHECK(strncmp(word, at, length) == 0 && strcspn(word, delims.get()) == length);
        if (cursor) {
            FUZZ_CHECK(cursor > at + length);
            FUZZ_CHECK(strspn(at + length, delims.get()) == static_cast<size_t>(cursor - at - length));
        } else {
            FUZZ_CHECK(at[length] == '\0');
        }
        free(word);
    }
    FUZZ_CHECK(GetWord(&cursor, delims.get()) == nullptr);
    FUZZ_CHECK(memcmp(text.get(), original.get(), text.length() + 1) == 0);
    return 0;
}

// Tokenises arbitrary text: the count equals the filled slots, the slot
// after them is null, every token is a non-empty string inside the copied
// text, in order and without overlap, and the copy differs from the text
// only where a NUL ended a token.
#include <string.h>

#include "fuzz_text.h"
#include "zttools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    zt_fuzz::Reader input(data, size);
    zt_fuzz::HeapText text = input.piece();
    int n = -1;
    char **tokens = zt_str2tokens(text.get(), &n);
    FUZZ_CHECK(tokens && n >= 0 && tokens[n] == nullptr);
    const char *copy = reinterpret_cast<const char *>(tokens + n + 1);
    const char *copy_end = copy + text.length();
    FUZZ_CHECK(*copy_end == '\0');
    for (size_t i = 0; i < text.length(); i++)
        FUZZ_CHECK(copy[i] == text.get()[i] || copy[i] == '\0');
    const char *previous_end = copy;
    for (int i = 0; i < n; i++) {
        FUZZ_CHECK(tokens[i] && tokens[i] >= previous_end && tokens[i] < copy_end);
        size_t length = strlen(tokens[i]);
        FUZZ_CHECK(length > 0 && tokens[i] + length <= copy_end);
        previous_end = tokens[i] + length;
    }
    zt_tokens_free(tokens);
    return 0;
}

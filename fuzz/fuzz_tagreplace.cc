// Substitutes tags in arbitrary templates (first byte: the tag character)
// with a fixed table: a template without the tag character comes back as a
// copy, and a result is never longer than the template allows (each
// two-character tag gives at most three characters).
#include <stdlib.h>
#include <string.h>

#include "fuzz_text.h"
#include "zttools.h"

namespace {

const TagEntry kTable[] = {{'a', "ABC"}, {'b', nullptr}, {'c', ""}, {'%', "%%"}, {0, nullptr}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    zt_fuzz::Reader input(data, size);
    char tagchar = static_cast<char>(input.byte());
    zt_fuzz::HeapText text = input.piece();
    char *result = TagReplace(text.get(), tagchar, kTable);
    if (tagchar == '\0' || !strchr(text.get(), tagchar)) {
        FUZZ_CHECK(text.length() == 0 ? result == nullptr : result && strcmp(result, text.get()) == 0);
    } else if (result) {
        FUZZ_CHECK(strlen(result) <= text.length() * 3 / 2);
    }
    free(result);
    FUZZ_CHECK(TagReplace(nullptr, tagchar, kTable) == nullptr);
    return 0;
}

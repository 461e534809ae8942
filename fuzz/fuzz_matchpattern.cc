// Matches arbitrary strings against arbitrary patterns (the input split at
// its first NUL): the result is 0 or 1, a pattern without an asterisk
// agrees with Match, a string matches itself and itself followed by an
// asterisk, and a pattern starting with an asterisk matches anything.
#include <string.h>

#include <string>

#include "fuzz_text.h"
#include "zttools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    zt_fuzz::Reader input(data, size);
    zt_fuzz::HeapText s = input.piece();
    zt_fuzz::HeapText pattern = input.piece();
    int result = MatchPattern(s.get(), pattern.get());
    FUZZ_CHECK(result == 0 || result == 1);
    if (!strchr(pattern.get(), '*'))
        FUZZ_CHECK(result == Match(s.get(), pattern.get()));
    if (pattern.get()[0] == '*')
        FUZZ_CHECK(result == 1);
    FUZZ_CHECK(MatchPattern(s.get(), s.get()) == 1);
    const std::string starred = std::string(s.get()) + "*";
    FUZZ_CHECK(MatchPattern(s.get(), starred.c_str()) == 1);
    FUZZ_CHECK(MatchPattern(nullptr, pattern.get()) == -1 && MatchPattern(s.get(), nullptr) == -1);
    return 0;
}

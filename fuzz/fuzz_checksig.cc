// Checks arbitrary data against arbitrary signatures (input: a count byte,
// then per signature its length byte and bytes, then the data), each in a
// block of exactly its size, so that no byte past a signature or the data
// may be read: the result is what a direct comparison says, and a match
// stays a match when case is ignored.
#include <ctype.h>

#include <algorithm>
#include <vector>

#include "fuzz_text.h"
#include "zttools.h"

namespace {

constexpr unsigned kMaxSigs = 4;
constexpr unsigned kMaxSigLength = 127;

int expected(const std::vector<zt_fuzz::HeapText> &sigs, const zt_fuzz::HeapText &data, bool nocase)
{
    if (sigs.empty())
        return 1;
    int result = -1;
    for (const zt_fuzz::HeapText &sig : sigs) {
        const unsigned char *s = sig.bytes(), *d = data.bytes();
        size_t n = s[0] > kMaxSigLength ? 0 : std::min<size_t>(s[0], data.length());
        if (n == 0)
            continue;
        bool same = true;
        for (size_t i = 0; i < n && same; i++)
            same = nocase ? tolower(d[i]) == tolower(s[1 + i]) : d[i] == s[1 + i];
        if (same)
            return 0;
        result = 1;
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    zt_fuzz::Reader input(data, size);
    unsigned count = input.byte() % (kMaxSigs + 1);
    std::vector<zt_fuzz::HeapText> sigs;
    sigs.reserve(count);
    Array array;
    ArrayNew(&array);
    for (unsigned i = 0; i < count; i++) {
        unsigned char sig[1 + kMaxSigLength];
        sig[0] = input.byte();
        // A length byte outside the format gets a block of its own byte
        // only: reading what it claims would leave the block.
        size_t length = sig[0] > kMaxSigLength ? 0 : sig[0];
        for (size_t j = 0; j < length; j++)
            sig[1 + j] = input.byte();
        sigs.emplace_back(sig, 1 + length, zt_fuzz::Nul::none);
        ArrayPush(&array, sigs.back().get());
    }
    zt_fuzz::HeapText bytes = input.rest(zt_fuzz::Nul::none);
    auto len = static_cast<uint32_t>(bytes.length());
    int exact = CheckSig(bytes.get(), len, &array, 0);
    int nocase = CheckSig(bytes.get(), len, &array, 1);
    FUZZ_CHECK(exact == expected(sigs, bytes, false));
    FUZZ_CHECK(nocase == expected(sigs, bytes, true));
    FUZZ_CHECK(exact != 0 || nocase == 0);
    ArrayDelete(&array);
    return 0;
}

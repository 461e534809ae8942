// Feeds arbitrary text to parse_ip: the result is 0 or 1, a failure writes
// nothing or (prefix out of range) the address with an all-ones mask, a
// success gives a mask of leading ones, and ip2str of what was read parses
// back to the same address and mask.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <bit>
#include <string>

#include "zttools.h"

namespace {

constexpr uint32_t kUntouched = 0x5A5A5A5A;

bool leading_ones(uint32_t mask)
{
    return std::countl_one(mask) + std::countr_zero(mask) == 32 || mask == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);  // NUL-terminated copy
    uint32_t addr = kUntouched, mask = kUntouched;
    int result = parse_ip(text.c_str(), &addr, &mask);
    if (result == 1) {
        bool untouched = addr == kUntouched && mask == kUntouched;
        if (!untouched && mask != UINT32_MAX)
            __builtin_trap();
        return 0;
    }
    if (result != 0 || !leading_ones(mask))
        __builtin_trap();
    char *printed = ip2str(addr, mask);
    uint32_t again_addr = 0, again_mask = 0;
    if (!printed || parse_ip(printed, &again_addr, &again_mask) != 0 || again_addr != addr ||
        again_mask != (mask == 0 ? UINT32_MAX : mask))  // a zero mask prints no prefix
        __builtin_trap();
    free(printed);
    return 0;
}

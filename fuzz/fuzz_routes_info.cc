// Feeds arbitrary text to networking_routes_info: the result is 0 or -1; a
// failure writes nothing; a success gives the network or the host flags,
// and a host route the all-ones mask.
#include <net/route.h>
#include <stdint.h>

#include <string>

#include "zttools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);  // NUL-terminated copy
    constexpr NetRouteInfo kUntouched = {0x5A5A5A5A, 0x5A5A5A5A, 0x5A5A5A5A, 0x5A5A5A5A};
    NetRouteInfo info = kUntouched;
    int result = networking_routes_info(text.c_str(), &info);
    if (result == -1) {
        if (info.flags != kUntouched.flags || info.destination != kUntouched.destination ||
            info.netmask != kUntouched.netmask || info.gateway != kUntouched.gateway)
            __builtin_trap();
        return 0;
    }
    if (result != 0 || (info.flags != (RTF_UP | RTF_GATEWAY) && info.flags != (RTF_UP | RTF_GATEWAY | RTF_HOST)))
        __builtin_trap();
    if ((info.flags & RTF_HOST) && info.netmask != UINT32_MAX)
        __builtin_trap();
    return 0;
}

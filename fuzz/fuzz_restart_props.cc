// Feeds arbitrary bytes as a peer's property groups to restart_get_props:
// whatever arrives, the list holds NUL-terminated strings inside their
// blocks (the sanitizer checks every byte read) or is refused.
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <initializer_list>

#include "zttools.h"
#include "ztsvc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 60000)
        return 0;
    uint32_t count = data[0] % 8;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) < 0)
        return 0;
    ztuds_set_timeout(1);
    if (write(pair[0], data + 1, size - 1) != static_cast<ssize_t>(size - 1))
        __builtin_trap();
    shutdown(pair[0], SHUT_WR);
    restart_prop *list = restart_get_props(pair[1], count);
    if (list) {
        size_t total = 0;
        for (uint32_t i = 0; i < count; i++)
            for (const char *text : {list[i].str1, list[i].str2, list[i].str3})
                total += text ? strlen(text) : 0;
        if (total > size)
            __builtin_trap();
    }
    restart_free_props(list, static_cast<int>(count));
    close(pair[0]);
    close(pair[1]);
    return 0;
}

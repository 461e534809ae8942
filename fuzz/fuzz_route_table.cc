// Feeds arbitrary routing table text to the route lookup: the fuzzer's own
// /proc/PID/net is a tmpfs (in a mount namespace of its own) whose "route"
// each input replaces. A selected route leaves through an interface whose
// name fits its buffer, never "ipsec0", and covers the address; the role
// tests agree with the selection.
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include <string>

#include "zttools.h"

namespace {

bool table_ready = false;

uint32_t address_part(const struct sockaddr &field)
{
    struct sockaddr_in in;
    memcpy(&in, &field, sizeof in);
    return in.sin_addr.s_addr;
}

void check_lookup(uint32_t dest)
{
    struct rtentry out;
    memset(&out, 0x5A, sizeof out);
    if (!route(dest, 0, &out)) {
        if (is_on_net(dest, ""))
            __builtin_trap();
        return;
    }
    const uint32_t mask = address_part(out.rt_genmask);
    if (strnlen(out.rt_dev, 20) == 20 || strcmp(out.rt_dev, "ipsec0") == 0 || !(out.rt_flags & RTF_UP) ||
        ((dest ^ address_part(out.rt_dst)) & mask) != 0 || out.rt_dst.sa_family != 0)
        __builtin_trap();
    if (is_on_trusted_net(dest) != (strncmp(out.rt_dev, "eth1", 4) == 0))
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const std::string net = "/proc/" + std::to_string(getpid()) + "/net";
    table_ready = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                  mount("fuzz-routes", net.c_str(), "tmpfs", 0, nullptr) == 0;
    if (!table_ready)
        fprintf(stderr, "fuzz_route_table: needs root and a mount namespace; inputs are not run\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!table_ready)
        return 0;
    FILE *table = fopen("/proc/net/route", "we");
    if (!table || fwrite(data, 1, size, table) != size || fclose(table) != 0)
        abort();
    uint32_t first = 0;
    memcpy(&first, data, size < sizeof first ? size : sizeof first);
    for (uint32_t dest : {first, 0u, 0x0000000Au, 0x0201010Au, UINT32_MAX})
        check_lookup(dest);
    return 0;
}

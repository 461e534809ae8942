/* ztnet: the appliance's network as its services see it, for an operator:
 * the route selected for an address with its role and local address, the
 * interface of a role, the drop-in mode, an interface's hardware address,
 * and a broadcast ARP request sent on an interface. The library's own
 * error records are shown on standard error as well. */
#include <arpa/inet.h>
#include <errno.h>
#include <net/route.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include "zttools.h"

enum {
    EXIT_FAILED = 1, /* no route, no such interface, sending failed */
    EXIT_USAGE = 2,
};

static void usage(FILE *out)
{
    fprintf(out,
            "usage: ztnet route ADDR        the route selected for ADDR in %s, the\n"
            "                               networks it lies on and the local address\n"
            "       ztnet role NAME         the interface of role NAME (external, trusted,\n"
            "                               optional)\n"
            "       ztnet dropin            drop-in mode (%s) and its addresses\n"
            "       ztnet hwaddr IFACE      the hardware address of IFACE\n"
            "       ztnet arp-request IFACE TARGET SENDER\n"
            "                               broadcast an ARP request for TARGET from SENDER\n"
            "                               and IFACE's own hardware address\n"
            "Addresses are dotted IPv4 addresses.\n"
            "Exit status: 0 success, 1 no route or the interface request failed,\n"
            "2 usage error or bad address.\n",
            "/proc/net/route", ZT_DROPIN_FILE);
}

static int usage_error(const char *what)
{
    fprintf(stderr, "ztnet: %s\n", what);
    usage(stderr);
    return EXIT_USAGE;
}

/* An address argument in network order; 0 (with a message) if it is none. */
static int parse_address(const char *text, uint32_t *addr)
{
    struct in_addr converted;
    if (!inet_aton(text, &converted)) {
        fprintf(stderr, "ztnet: %s is not an IPv4 address\n", text);
        return 0;
    }
    *addr = converted.s_addr;
    return 1;
}

/* A failed request on an interface; EXIT_FAILED. */
static int interface_failure(const char *iface)
{
    fprintf(stderr, "ztnet: %s: %s\n", iface, errno == ENODEV ? "no such interface" : strerror(errno));
    return EXIT_FAILED;
}

/* The dotted form of an address in network order. */
static const char *dotted(uint32_t addr, char text[INET_ADDRSTRLEN])
{
    return inet_ntop(AF_INET, &addr, text, INET_ADDRSTRLEN);
}

static uint32_t address_part(const struct sockaddr *field)
{
    struct sockaddr_in in;
    memcpy(&in, field, sizeof in);
    return in.sin_addr.s_addr;
}

static int show_route(const char *text)
{
    uint32_t addr;
    if (!parse_address(text, &addr))
        return EXIT_USAGE;
    struct rtentry selected;
    if (!route(addr, 0, &selected)) {
        fprintf(stderr, "ztnet: no route to %s\n", text);
        return EXIT_FAILED;
    }
    char dst[INET_ADDRSTRLEN], mask[INET_ADDRSTRLEN], gateway[INET_ADDRSTRLEN];
    printf("route %s mask %s gateway %s dev %s flags 0x%04x\n",
           dotted(address_part(&selected.rt_dst), dst), dotted(address_part(&selected.rt_genmask), mask),
           dotted(address_part(&selected.rt_gateway), gateway), selected.rt_dev, selected.rt_flags);
    static const struct {
        const char *role;
        int (*test)(uint32_t);
    } roles[] = {{"trusted", is_on_trusted_net},     {"optional", is_on_optional_net},
                 {"optional2", is_on_optional2_net}, {"optional3", is_on_optional3_net},
                 {"optional4", is_on_optional4_net}};
    printf("networks:");
    int any = 0;
    for (size_t i = 0; i < sizeof roles / sizeof roles[0]; i++) {
        if (roles[i].test(addr)) {
            printf(" %s", roles[i].role);
            any = 1;
        }
    }
    if (in_dropin_net(addr)) {
        printf(" drop-in");
        any = 1;
    }
    printf("%s\n", any ? "" : " none");
    uint32_t local = route_laddr(addr, 0, NULL);
    if (local)
        printf("local address %s\n", dotted(local, dst));
    else
        printf("local address unknown\n");
    return 0;
}

static int show_role(const char *name)
{
    const char *device = translate_device(name);
    if (device == name) {
        fprintf(stderr, "ztnet: %s is not a role (external, trusted, optional)\n", name);
        return EXIT_USAGE;
    }
    printf("%s\n", device);
    return 0;
}

static int show_dropin(void)
{
    uint32_t address, network, netmask;
    if (!get_dropin_info(&address, &network, &netmask)) {
        printf("drop-in mode off\n");
        return 0;
    }
    char a[INET_ADDRSTRLEN], n[INET_ADDRSTRLEN], m[INET_ADDRSTRLEN];
    printf("drop-in mode on: address %s network %s netmask %s\n", dotted(address, a), dotted(network, n),
           dotted(netmask, m));
    return 0;
}

static int show_hwaddr(const char *iface)
{
    IfInfo info;
    if (!get_if_info(iface, &info))
        return interface_failure(iface);
    const unsigned char *hw = info.hwaddr;
    printf("%02x:%02x:%02x:%02x:%02x:%02x\n", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);
    return 0;
}

static int send_request(const char *iface, const char *target_text, const char *sender_text)
{
    uint32_t target, sender;
    if (!parse_address(target_text, &target) || !parse_address(sender_text, &sender))
        return EXIT_USAGE;
    int sent = arp_req(-1, target, sender, iface);
    if (sent == 0) {
        fprintf(stderr, "ztnet: %s does not use ARP; nothing sent\n", iface);
        return EXIT_FAILED;
    }
    if (sent < 0)
        return interface_failure(iface);
    printf("sent %d bytes on %s: who has %s, tell %s\n", sent, iface, target_text, sender_text);
    return 0;
}

int main(int argc, char **argv)
{
    openlog("ztnet", LOG_PERROR, LOG_USER);
    setlogmask(LOG_UPTO(LOG_ERR));
    if (argc == 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"))) {
        usage(stdout);
        return 0;
    }
    if (argc == 3 && !strcmp(argv[1], "route"))
        return show_route(argv[2]);
    if (argc == 3 && !strcmp(argv[1], "role"))
        return show_role(argv[2]);
    if (argc == 2 && !strcmp(argv[1], "dropin"))
        return show_dropin();
    if (argc == 3 && !strcmp(argv[1], "hwaddr"))
        return show_hwaddr(argv[2]);
    if (argc == 5 && !strcmp(argv[1], "arp-request"))
        return send_request(argv[2], argv[3], argv[4]);
    return usage_error(argc < 2 ? "no command given" : "unknown command or wrong arguments");
}

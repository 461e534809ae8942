/* ztnet: the appliance's network as its services see it, for an operator:
 * the route selected for an address with its role and local address, the
 * interface of a role, the drop-in mode, an interface's hardware address,
 * and a broadcast ARP request sent on an interface. The library's own
 * error records are shown on standard error as well. */
#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <net/route.h>
#include <string.h>
#include <syslog.h>

#include "tool.h"

static void usage(void)
{
    printf(
            "usage: ztnet route ADDR        the route selected for ADDR in %s, the\n"
            "                               networks it lies on and the local address\n"
            "       ztnet role NAME         the interface of role NAME (external, trusted,\n"
            "                               optional)\n"
            "       ztnet dropin            drop-in mode (%s) and its addresses\n"
            "       ztnet hwaddr IFACE      the hardware address of IFACE\n"
            "       ztnet arp-request IFACE TARGET SENDER\n"
            "                               broadcast an ARP request for TARGET from SENDER\n"
            "                               and IFACE's own hardware address\n"
            "  -h, --help     this text\n"
            "  -V, --version  the version\n"
            "Addresses are dotted IPv4 addresses.\n"
            "The status is 1 when there is no route to ADDR or IFACE does not use ARP,\n"
            "69 when there is no such interface.\n" TOOL_STATUS_HELP,
            "/proc/net/route", ZT_DROPIN_FILE);
}

/* An address argument in network order; 0 (with a message) if it is none. */
static int parse_address(const char *text, uint32_t *addr)
{
    struct in_addr converted;
    if (!inet_aton(text, &converted)) {
        tool_usage_error("%s is not an IPv4 address", text);
        return 0;
    }
    *addr = converted.s_addr;
    return 1;
}

/* A failed request on an interface. */
static int interface_failure(const char *iface)
{
    if (errno == ENODEV)
        return tool_fail(EX_UNAVAILABLE, "%s: no such interface", iface);
    return tool_fail(EX_OSERR, "%s: %s", iface, strerror(errno));
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
        return EX_USAGE;
    struct rtentry selected;
    if (!route(addr, 0, &selected))
        return tool_fail(TOOL_NEGATIVE, "no route to %s", text);
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
    if (device == name)
        return tool_usage_error("%s is not a role (external, trusted, optional)", name);
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
        return EX_USAGE;
    int sent = arp_req(-1, target, sender, iface);
    if (sent == 0)
        return tool_fail(TOOL_NEGATIVE, "%s does not use ARP; nothing sent", iface);
    if (sent < 0)
        return interface_failure(iface);
    printf("sent %d bytes on %s: who has %s, tell %s\n", sent, iface, target_text, sender_text);
    return 0;
}

static int run_route(char **operands)
{
    return show_route(operands[0]);
}

static int run_role(char **operands)
{
    return show_role(operands[0]);
}

static int run_dropin(char **operands)
{
    (void)operands;
    return show_dropin();
}

static int run_hwaddr(char **operands)
{
    return show_hwaddr(operands[0]);
}

static int run_arp_request(char **operands)
{
    return send_request(operands[0], operands[1], operands[2]);
}

static const tool_verb verbs[] = {{"route", 1, run_route},   {"role", 1, run_role},
                                  {"dropin", 0, run_dropin}, {"hwaddr", 1, run_hwaddr},
                                  {"arp-request", 3, run_arp_request}};

int main(int argc, char **argv)
{
    static const struct option options[] = {{"help", no_argument, NULL, 'h'},
                                            {"version", no_argument, NULL, 'V'},
                                            {NULL, 0, NULL, 0}};
    tool_start("ztnet", argv);
    openlog("ztnet", LOG_PERROR, LOG_USER);
    setlogmask(LOG_UPTO(LOG_ERR));
    int option = getopt_long(argc, argv, "hV", options, NULL);
    if (option != -1)
        return tool_other_option(option, usage);
    const tool_verb *command = tool_find_verb(verbs, sizeof verbs / sizeof verbs[0],
                                              "route, role, dropin, hwaddr or arp-request", argc - optind,
                                              argv + optind);
    return command ? command->run(argv + optind + 1) : EX_USAGE;
}

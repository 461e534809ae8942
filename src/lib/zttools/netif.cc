// The appliance's view and control of its network: interface flags and
// addresses, routes and proxy-ARP entries set through the kernel's interface
// requests; hardware addresses and ARP look-ups; the route that the kernel's
// routing table (read as text) selects for an address, and the networks
// named by role (external, trusted, optional ...) that follow from it; the
// drop-in mode announced by "/tmp/dropin"; and whole ARP frames sent on a
// named interface.
//
// Process-wide state, unlocked: the control socket, the interface name of
// the last selected route and the drop-in state.
// Its contract: zttools.h and the manual page zttools_netif(3).
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <net/route.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "internal.h"
#include "zttools.h"

namespace {

static_assert(sizeof(IfMap) == sizeof(struct ifmap) && offsetof(IfMap, base_addr) == offsetof(struct ifmap, base_addr) &&
              offsetof(IfMap, port) == offsetof(struct ifmap, port));

// The socket on which interface, route and ARP requests are made: opened by
// the first request that needs it (and again by the next one if that
// failed), never closed, not inherited by executed programs.
int control_fd = -1;

int control_socket()
{
    if (control_fd < 0)
        control_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return control_fd;
}

// Copies an interface name into a request's name field. A null name, or one
// longer than the kernel's names (15 characters), would address no interface
// or a different one: it is refused (EINVAL, ENODEV).
bool put_name(char (&field)[IFNAMSIZ], const char *name)
{
    if (!name) {
        errno = EINVAL;
        return false;
    }
    size_t length = strnlen(name, IFNAMSIZ);
    if (length == IFNAMSIZ) {
        errno = ENODEV;
        return false;
    }
    memcpy(field, name, length + 1);
    return true;
}

// An IPv4 address with port 0 in place of a generic one; of family AF_INET
// in requests, without a family in the records read back.
void put_ipv4(struct sockaddr &field, uint32_t addr, sa_family_t family = AF_INET)
{
    struct sockaddr_in in = {};
    in.sin_family = family;
    in.sin_addr.s_addr = addr;
    memcpy(&field, &in, sizeof in);
}

// Whether a and b lie on the same network under mask.
constexpr bool on_same_net(uint32_t a, uint32_t b, uint32_t mask)
{
    return ((a ^ b) & mask) == 0;
}

constexpr size_t kHwLength = 6;

}  // namespace

// ---- interface and route control --------------------------------------

namespace {

// Rewrites the flags of an interface: up or down, point-to-point in both
// cases (a flag that the kernel keeps for itself on other interfaces).
int set_up(const char *name, bool up)
{
    int fd = control_socket();
    struct ifreq request = {};
    if (fd < 0 || !put_name(request.ifr_name, name) || ioctl(fd, SIOCGIFFLAGS, &request) < 0)
        return 0;
    request.ifr_flags = static_cast<short>(up ? request.ifr_flags | IFF_UP : request.ifr_flags & ~IFF_UP);
    request.ifr_flags |= IFF_POINTOPOINT;
    return ioctl(fd, SIOCSIFFLAGS, &request) == 0;
}


}  // namespace

extern "C" {

int sifup(const char *name)
{
    return set_up(name, true);
}

int sifdown(const char *name)
{
    return set_up(name, false);
}

int sifaddr(const char *name, uint32_t local, uint32_t peer, uint32_t mask)
{
    int fd = control_socket();
    struct ifreq request = {};
    if (fd < 0 || !put_name(request.ifr_name, name))
        return 0;
    put_ipv4(request.ifr_addr, local);
    if (ioctl(fd, SIOCSIFADDR, &request) < 0)
        return 0;
    put_ipv4(request.ifr_dstaddr, peer);
    if (ioctl(fd, SIOCSIFDSTADDR, &request) < 0)
        return 0;
    if (mask != 0) {
        put_ipv4(request.ifr_netmask, mask);
        if (ioctl(fd, SIOCSIFNETMASK, &request) < 0)
            return 0;
    }
    struct rtentry host_route = {};
    put_ipv4(host_route.rt_dst, peer);
    put_ipv4(host_route.rt_gateway, 0);
    host_route.rt_flags = RTF_UP | RTF_HOST;
    host_route.rt_dev = request.ifr_name;
    return ioctl(fd, SIOCADDRT, &host_route) == 0;
}

int route_cmd(unsigned long request, const char *dev, uint32_t dst, uint32_t mask,
              uint32_t gateway, uint16_t flags)
{
    int fd = control_socket();
    // The kernel reads a whole name field from rt_dev, whatever the length
    // of the string: it gets one.
    char name[IFNAMSIZ] = {};
    if (fd < 0 || (dev && !put_name(name, dev)))
        return 0;
    struct rtentry entry = {};
    put_ipv4(entry.rt_dst, dst);
    put_ipv4(entry.rt_gateway, gateway);
    put_ipv4(entry.rt_genmask, mask);
    entry.rt_flags = flags;
    entry.rt_dev = dev ? name : nullptr;
    return ioctl(fd, request, &entry) == 0;
}

int get_if_info(const char *name, IfInfo *info)
{
    if (!info) {
        errno = EINVAL;
        return 0;
    }
    memset(info, 0, sizeof *info);
    struct ifreq request = {};
    if (!put_name(request.ifr_name, name))
        return 0;
    zt::UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd || ioctl(fd.get(), SIOCGIFMAP, &request) < 0)
        return 0;
    memcpy(&info->map, &request.ifr_map, sizeof info->map);
    if (ioctl(fd.get(), SIOCGIFHWADDR, &request) < 0)
        return 0;
    const auto *hw = reinterpret_cast<const uint8_t *>(request.ifr_hwaddr.sa_data);
    memcpy(info->hwaddr, hw, sizeof info->hwaddr);
    info->hw_high = static_cast<uint32_t>(hw[0]) << 16 | hw[1] << 8 | hw[2];
    info->hw_low = static_cast<uint32_t>(hw[3]) << 16 | hw[4] << 8 | hw[5];
    constexpr unsigned long kThreeBytes = 0xffffff;  // tells the compiler: six digits each
    snprintf(info->hwaddr_text, sizeof info->hwaddr_text, "%06lx%06lx", info->hw_high & kThreeBytes,
             info->hw_low & kThreeBytes);
    return 1;
}

int if_hwaddr(int fd, const char *name, unsigned char *hw)
{
    struct ifreq request = {};
    if (!put_name(request.ifr_name, name) || ioctl(fd, SIOCGIFHWADDR, &request) < 0) {
        syslog(LOG_ERR, "%s: SIOCGIFHWADDR error (%m)", __func__);
        return -1;
    }
    if (hw)
        memcpy(hw, request.ifr_hwaddr.sa_data, kHwLength);
    return 0;
}

int nat_translation1(const struct sockaddr_in *match, const struct sockaddr_in *repl,
                     struct sockaddr_in *addr)
{
    if (!match || !repl || !addr || match->sin_port != addr->sin_port ||
        (match->sin_addr.s_addr != INADDR_BROADCAST && match->sin_addr.s_addr != addr->sin_addr.s_addr))
        return 0;
    addr->sin_addr = repl->sin_addr;
    addr->sin_port = repl->sin_port;
    return 1;
}

}  // extern "C"

// ---- proxy ARP and the ARP table --------------------------------------

namespace {

// The list of configured interface addresses, one struct ifreq per address,
// with room for kMaxEntries of them.
class InterfaceList {
public:
    static constexpr size_t kMaxEntries = 5000;

    // Asks the kernel for the list; false (errno set) when it cannot.
    bool fetch(int fd)
    {
        entries_.reset(static_cast<struct ifreq *>(malloc(kMaxEntries * sizeof(struct ifreq))));
        if (!entries_)
            return false;
        struct ifconf list = {};
        list.ifc_len = static_cast<int>(kMaxEntries * sizeof(struct ifreq));
        list.ifc_req = entries_.get();
        if (ioctl(fd, SIOCGIFCONF, &list) < 0)
            return false;
        count_ = static_cast<size_t>(list.ifc_len) / sizeof(struct ifreq);
        return true;
    }
    const struct ifreq *begin() const { return entries_.get(); }
    const struct ifreq *end() const { return entries_.get() + count_; }

private:
    zt::MallocPtr<struct ifreq> entries_;
    size_t count_ = 0;
};

// A proxy-ARP entry for addr as both ends of its life name it.
struct arpreq proxy_entry(uint32_t addr)
{
    struct arpreq request = {};
    put_ipv4(request.arp_pa, addr);
    request.arp_flags = ATF_PERM | ATF_PUBL;
    return request;
}

// Repeats an ARP-table request that the kernel would not grant without an
// interface on each interface that has an IPv4 address (the list of the
// control socket has only those), named in arp_dev, until one is granted.
// false when none is (or there is no list), with errno as the request
// without an interface left it.
bool on_some_interface(int fd, unsigned long request, struct arpreq *entry)
{
    zt::SavedErrno first_refusal;
    InterfaceList list;
    if (!list.fetch(fd))
        return false;
    for (const struct ifreq &candidate : list) {
        memcpy(entry->arp_dev, candidate.ifr_name, IFNAMSIZ);
        if (ioctl(fd, request, entry) == 0)
            return true;
    }
    return false;
}

// Whether an interface with these flags answers ARP for a subnet: up and
// broadcast, not point-to-point, loopback or without ARP.
constexpr bool serves_proxy_arp(unsigned flags)
{
    return ((flags ^ (IFF_UP | IFF_BROADCAST)) &
            (IFF_UP | IFF_BROADCAST | IFF_LOOPBACK | IFF_POINTOPOINT | IFF_NOARP)) == 0;
}
static_assert(serves_proxy_arp(IFF_UP | IFF_BROADCAST | IFF_MULTICAST | IFF_RUNNING));
static_assert(!serves_proxy_arp(IFF_UP | IFF_BROADCAST | IFF_NOARP));

uint32_t ipv4_of(const struct sockaddr &field)
{
    struct sockaddr_in in;
    memcpy(&in, &field, sizeof in);
    return in.sin_addr.s_addr;
}

}  // namespace

extern "C" {

int sifproxyarp(const char *name, uint32_t addr, uint32_t mask)
{
    int fd = control_socket();
    struct arpreq entry = proxy_entry(addr);
    if (fd < 0 || (name && !put_name(entry.arp_dev, name)))
        return 0;
    InterfaceList list;
    if (!list.fetch(fd))
        return 0;
    struct ifreq work = {};  // ends up holding the chosen interface's name
    bool found = false;
    for (const struct ifreq &candidate : list) {
        if (candidate.ifr_addr.sa_family != AF_INET ||
            (name && strncmp(candidate.ifr_name, name, IFNAMSIZ) != 0))
            continue;
        memcpy(work.ifr_name, candidate.ifr_name, IFNAMSIZ);
        if (ioctl(fd, SIOCGIFFLAGS, &work) < 0 || !serves_proxy_arp(static_cast<uint16_t>(work.ifr_flags)))
            continue;
        if (ioctl(fd, SIOCGIFNETMASK, &work) < 0)
            continue;
        if (on_same_net(ipv4_of(candidate.ifr_addr), addr, ipv4_of(work.ifr_netmask))) {
            found = true;
            break;
        }
    }
    if (!found) {
        errno = ENXIO;
        return 0;
    }
    memcpy(entry.arp_dev, work.ifr_name, IFNAMSIZ);
    memset(&work.ifr_hwaddr, 0, sizeof work.ifr_hwaddr);
    if (ioctl(fd, SIOCGIFHWADDR, &work) < 0)
        return 0;
    entry.arp_ha = work.ifr_hwaddr;
    put_ipv4(entry.arp_netmask, mask, 0);
    return ioctl(fd, SIOCSARP, &entry) == 0;
}

int cifproxyarp(uint32_t, uint32_t addr)
{
    int fd = control_socket();
    struct arpreq entry = proxy_entry(addr);
    if (fd < 0)
        return 0;
    if (ioctl(fd, SIOCDARP, &entry) == 0)
        return 1;
    // The kernel files a published entry under its interface and deletes
    // it only when told which.
    return on_some_interface(fd, SIOCDARP, &entry);
}

int get_arp_info(uint32_t addr, struct arpreq *req)
{
    if (!req) {
        errno = EINVAL;
        return -1;
    }
    int fd = control_socket();
    if (fd < 0)
        return -1;
    memset(req, 0, sizeof *req);
    put_ipv4(req->arp_pa, addr);
    if (ioctl(fd, SIOCGARP, req) == 0)
        return 0;
    // Linux looks an entry up only on a named interface.
    return errno == ENODEV && on_some_interface(fd, SIOCGARP, req) ? 0 : -1;
}

}  // extern "C"

// ---- routing table and network roles ----------------------------------

namespace {

constexpr char kRouteFile[] = "/proc/net/route";
constexpr size_t kLineSize = 256;
constexpr size_t kRouteDevSize = 20;
constexpr char kUnroutedDevice[] = "ipsec0";

// The interface of the route selected last; rt_dev of the records handed out.
char route_dev[kRouteDevSize];

// Fields of a routing table line: Iface, Destination, Gateway, Flags,
// RefCnt, Use, Metric, Mask (the later ones are not used).
enum RouteField { kIface, kDestination, kGateway, kFlags, kMask = 7, kUsedFields };

// The kernel's routing table separates its fields with spaces, tabs and
// newlines; a route description may use any white space.
constexpr std::string_view kFieldSeparators = " \t\n";
constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";

// Splits text at runs of separators into at most out.size() words; returns
// how many there are (all of them, also those not stored).
template <size_t N>
size_t split_words(std::string_view text, std::string_view separators, std::array<std::string_view, N> &out)
{
    size_t count = 0;
    for (size_t at = text.find_first_not_of(separators); at != std::string_view::npos; count++) {
        size_t end = std::min(text.find_first_of(separators, at), text.size());
        if (count < N)
            out[count] = std::string_view(text.data() + at, end - at);  // substr would throw
        at = text.find_first_not_of(separators, end);
    }
    return count;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The leading hexadecimal digits of a field as a 32-bit number (all ones
// when they do not fit, on every platform alike).
uint32_t parse_hex(std::string_view field)
{
    uint64_t value = 0;
    for (char c : field) {
        int digit = hex_digit(c);
        if (digit < 0)
            break;
        value = std::min<uint64_t>(value * 16 + static_cast<unsigned>(digit), UINT32_MAX);
    }
    return static_cast<uint32_t>(value);
}

// Copies a selected route's interface name, cut to fit with its NUL.
void keep_route_dev(std::string_view name)
{
    size_t length = std::min(name.size(), kRouteDevSize - 1);
    memcpy(route_dev, name.data(), length);
    route_dev[length] = '\0';
}

}  // namespace

extern "C" {

int route(uint32_t dest, uint32_t, struct rtentry *out)
{
    FILE *file = fopen(kRouteFile, "re");
    if (!file)
        return 0;
    struct rtentry best = {};
    bool selected = false;
    uint32_t best_mask = 0;
    char line[kLineSize];
    while (fgets(line, sizeof line, file)) {
        std::array<std::string_view, kUsedFields> field;
        if (split_words(line, kFieldSeparators, field) < kUsedFields || hex_digit(field[kDestination][0]) < 0 ||
            hex_digit(field[kGateway][0]) < 0 || hex_digit(field[kFlags][0]) < 0)
            continue;
        const uint32_t destination = parse_hex(field[kDestination]);
        const uint32_t flags = parse_hex(field[kFlags]);
        const uint32_t mask = parse_hex(field[kMask]);
        if (!(flags & RTF_UP) || field[kIface] == kUnroutedDevice ||
            !on_same_net(dest, destination, mask))
            continue;
        const bool host = flags & RTF_HOST;
        if (!host && (destination != 0 || mask != 0)) {
            if (mask <= best_mask)
                continue;
            best_mask = mask;
        } else if (!host && selected) {
            continue;  // a default route only when nothing else covers dest
        }
        best = {};
        put_ipv4(best.rt_dst, destination, 0);
        put_ipv4(best.rt_gateway, parse_hex(field[kGateway]), 0);
        put_ipv4(best.rt_genmask, mask, 0);
        best.rt_flags = static_cast<unsigned short>(flags);
        keep_route_dev(field[kIface]);
        selected = true;
        if (host)
            break;
    }
    fclose(file);
    if (selected && out) {
        *out = best;
        out->rt_dev = route_dev;
    }
    return selected;
}

int is_on_net(uint32_t addr, const char *ifname)
{
    struct rtentry selected;
    return ifname && route(addr, 0, &selected) && strncmp(ifname, route_dev, strlen(ifname)) == 0;
}

int is_on_trusted_net(uint32_t addr)
{
    return is_on_net(addr, "eth1");
}

int is_on_optional_net(uint32_t addr)
{
    return is_on_net(addr, "eth2");
}

int is_on_optional2_net(uint32_t addr)
{
    return is_on_net(addr, "eth3");
}

int is_on_optional3_net(uint32_t addr)
{
    return is_on_net(addr, "eth4");
}

int is_on_optional4_net(uint32_t addr)
{
    return is_on_net(addr, "eth5");
}

uint32_t route_laddr(uint32_t dest, uint32_t spare, struct rtentry *out)
{
    int fd = control_socket();
    struct rtentry selected;
    if (fd < 0 || !route(dest, spare, &selected))
        return 0;
    if (out)
        *out = selected;
    struct ifreq request = {};
    request.ifr_addr.sa_family = AF_INET;
    if (!put_name(request.ifr_name, route_dev) || ioctl(fd, SIOCGIFADDR, &request) < 0) {
        syslog(LOG_ERR, "Unable to get dev IP address for (%s): %m", route_dev);
        return 0;
    }
    return ipv4_of(request.ifr_addr);
}

int networking_routes_info(const char *text, NetRouteInfo *out)
{
    if (!text || !out)
        return -1;
    std::array<std::string_view, 4> word;
    size_t count = split_words(text, kWhiteSpace, word);
    if (count < 3)
        return -1;
    // A word that is no address (or too long for one) leaves its field alone.
    auto convert = [](std::string_view word, uint32_t &field) {
        constexpr size_t kWordMax = 79;
        char copy[kWordMax + 1];
        struct in_addr converted;
        if (word.size() > kWordMax)
            return;
        memcpy(copy, word.data(), word.size());
        copy[word.size()] = '\0';
        if (inet_aton(copy, &converted))
            field = converted.s_addr;
    };
    out->flags = RTF_UP | RTF_GATEWAY;
    convert(word[1], out->destination);
    if (word[0].size() == 4 && strncasecmp(word[0].data(), "host", 4) == 0) {
        out->flags |= RTF_HOST;
        convert(word[2], out->gateway);
        out->netmask = INADDR_BROADCAST;
        return 0;
    }
    convert(word[2], out->netmask);
    if (count > 3)
        convert(word[3], out->gateway);
    return 0;
}

int same_net(uint32_t a, uint32_t b, uint32_t mask)
{
    return on_same_net(a, b, mask);
}

const char *translate_device(const char *name)
{
    struct Role {
        const char *role;
        const char *device;
    };
    static constexpr Role kRoles[] = {{"external", "eth0"}, {"trusted", "eth1"}, {"optional", "eth2"}};
    if (!name)
        return nullptr;
    for (const Role &role : kRoles) {
        if (strcmp(name, role.role) == 0)
            return role.device;
    }
    return name;
}

}  // extern "C"

// ---- drop-in mode -----------------------------------------------------

namespace {

constexpr char kDropinFile[] = ZT_DROPIN_FILE;
constexpr size_t kDropinWordSize = 20;  // 19 characters and the NUL

enum class DropinState { unread, off, on };
struct Dropin {
    DropinState state = DropinState::unread;
    uint32_t address = 0;
    uint32_t network = 0;
    uint32_t netmask = 0;
};
Dropin dropin;

// Reads the next whitespace-separated word of the file; false at the end of
// the file or for a word that does not fit.
bool read_word(FILE *file, char (&word)[kDropinWordSize])
{
    int c;
    while ((c = getc(file)) != EOF && isspace(c)) {
    }
    size_t length = 0;
    for (; c != EOF && !isspace(c); c = getc(file)) {
        if (length == kDropinWordSize - 1)
            return false;
        word[length++] = static_cast<char>(c);
    }
    word[length] = '\0';
    return length > 0;
}

// Moves the drop-in state from unread to on or off by reading the file.
void read_dropin()
{
    FILE *file = fopen(kDropinFile, "re");
    if (!file) {
        dropin.state = DropinState::off;
        return;
    }
    char words[3][kDropinWordSize];
    bool complete = read_word(file, words[0]) && read_word(file, words[1]) && read_word(file, words[2]);
    fclose(file);
    if (!complete) {
        syslog(LOG_ERR, "bad drop-in mode, weird data in %s", kDropinFile);
        dropin.state = DropinState::off;
        return;
    }
    uint32_t *values[3] = {&dropin.address, &dropin.network, &dropin.netmask};
    for (int i = 0; i < 3; i++) {
        struct in_addr converted;
        if (inet_aton(words[i], &converted))
            *values[i] = converted.s_addr;
    }
    dropin.state = DropinState::on;
}

}  // namespace

extern "C" {

int get_dropin_info(uint32_t *address, uint32_t *network, uint32_t *netmask)
{
    if (dropin.state == DropinState::unread)
        read_dropin();
    if (dropin.state == DropinState::off)
        return 0;
    if (address)
        *address = dropin.address;
    if (network)
        *network = dropin.network;
    if (netmask)
        *netmask = dropin.netmask;
    return 1;
}

int in_dropin_net(uint32_t addr)
{
    uint32_t network, netmask;
    return get_dropin_info(nullptr, &network, &netmask) && (addr & netmask) == network;
}

}  // extern "C"

// ---- ARP frames -------------------------------------------------------

namespace {

constexpr size_t kArpFrameSize = 42;
constexpr uint8_t kBroadcast[kHwLength] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
// The packet destination names the interface in the 14-byte data field,
// which the kernel cuts to 13 characters and a NUL.
constexpr size_t kPacketNameMax = sizeof(sockaddr::sa_data) - 1;

// Ethernet header and ARP message for Ethernet and IPv4: byte offsets.
enum ArpOffset : size_t {
    kEthDst = 0,
    kEthSrc = 6,
    kEtherType = 12,
    kHwType = 14,
    kProtoType = 16,
    kHwLen = 18,
    kProtoLen = 19,
    kOpcode = 20,
    kSenderHw = 22,
    kSenderIp = 28,
    kTargetHw = 32,
    kTargetIp = 38,
};
using ArpFrame = std::array<uint8_t, kArpFrameSize>;

void put_be16(ArpFrame &frame, size_t at, uint16_t value)
{
    frame[at] = static_cast<uint8_t>(value >> 8);
    frame[at + 1] = static_cast<uint8_t>(value);
}

// Copies n bytes, or leaves the cleared field alone for a null source.
void put_bytes(ArpFrame &frame, size_t at, const void *bytes, size_t n)
{
    if (bytes)
        memcpy(frame.data() + at, bytes, n);
}

// A whole frame; the addresses already as they go on the wire, each
// hardware address null for all zero.
ArpFrame arp_frame(uint16_t op, const uint8_t *eth_dst, const uint8_t *eth_src,
                   const uint8_t *target_hw, uint32_t sender_ip, uint32_t target_ip)
{
    ArpFrame frame = {};
    put_bytes(frame, kEthDst, eth_dst ? eth_dst : kBroadcast, kHwLength);
    put_bytes(frame, kEthSrc, eth_src, kHwLength);
    put_be16(frame, kEtherType, ETH_P_ARP);
    put_be16(frame, kHwType, ARPHRD_ETHER);
    put_be16(frame, kProtoType, ETH_P_IP);
    frame[kHwLen] = kHwLength;
    frame[kProtoLen] = sizeof(uint32_t);
    put_be16(frame, kOpcode, op);
    put_bytes(frame, kSenderHw, eth_src, kHwLength);
    put_bytes(frame, kSenderIp, &sender_ip, sizeof sender_ip);
    put_bytes(frame, kTargetHw, target_hw, kHwLength);
    put_bytes(frame, kTargetIp, &target_ip, sizeof target_ip);
    return frame;
}

// Sends the frame unchanged on the interface of that name.
int send_frame(int fd, const char *ifname, const ArpFrame &frame)
{
    if (!ifname) {
        errno = EINVAL;
        return -1;
    }
    struct sockaddr destination = {};
    destination.sa_family = AF_INET;
    memcpy(destination.sa_data, ifname, strnlen(ifname, kPacketNameMax));
    return static_cast<int>(sendto(fd, frame.data(), frame.size(), 0, &destination, sizeof destination));
}

}  // namespace

extern "C" {

int arp_send(int fd, const char *ifname, uint16_t op, uint32_t target_ip, uint32_t sender_ip,
             const unsigned char *eth_dst, const unsigned char *eth_src, const unsigned char *target_hw)
{
    return send_frame(fd, ifname, arp_frame(op, eth_dst, eth_src, target_hw, sender_ip, target_ip));
}

int arp_req(int fd, uint32_t target_ip, uint32_t sender_ip, const char *ifname)
{
    if (!ifname) {
        errno = EINVAL;
        return -1;
    }
    zt::UniqueFd own;
    if (fd < 0) {
        own.reset(socket(AF_INET, SOCK_PACKET | SOCK_CLOEXEC, htons(ETH_P_ARP)));
        if (!own)
            return -1;
        fd = own.get();
    }
    struct ifreq request = {};
    if (!put_name(request.ifr_name, ifname) || ioctl(fd, SIOCGIFFLAGS, &request) < 0)
        return -1;
    if (request.ifr_flags & IFF_NOARP)
        return 0;
    uint8_t hw[kHwLength] = {};
    if_hwaddr(fd, ifname, hw);  // on failure recorded, and sent from all zero
    return send_frame(fd, ifname, arp_frame(ARPOP_REQUEST, kBroadcast, hw, nullptr, sender_ip, target_ip));
}

}  // extern "C"

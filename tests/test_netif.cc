// Interfaces, routes and ARP against the kernel of the test's own network
// namespace, on veth pairs named as the roles need; route selection and
// drop-in mode in children with a routing table or drop-in file of their own.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <net/route.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

using zt_test::with_errno;
uint32_t ip(const char *text) { return inet_addr(text); }
uint32_t address_part(const struct sockaddr &field)
{
    return reinterpret_cast<const struct sockaddr_in &>(field).sin_addr.s_addr;
}
constexpr int kErr = zt_test::kDefaultFacility | LOG_ERR;

std::string hex_of(const void *bytes, size_t size)
{
    std::string hex;
    char digits[3];
    for (size_t i = 0; i < size; i++) {
        snprintf(digits, sizeof digits, "%02x", static_cast<const unsigned char *>(bytes)[i]);
        hex += digits;
    }
    return hex;
}

struct NetifTest : testing::Test {
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        syslog(LOG_DEBUG, "connects syslog before descriptors are counted");
        zt_test::take_syslog();
    }
    void TearDown() override
    {
        for (const std::string &name : links)
            run("ip link del " + name);
    }
    static void run(const std::string &command) { ASSERT_EQ(system(command.c_str()), 0) << command; }
    // A veth pair: name (with hardware address mac, if given) and its peer.
    void veth(const std::string &name, const std::string &peer, const char *mac = nullptr)
    {
        run("ip link add name " + name + (mac ? std::string(" address ") + mac : "") +
            " type veth peer name " + peer);
        links.push_back(name);
    }
    // What an interface request reads about name.
    static struct ifreq ask(const char *name, unsigned long request)
    {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct ifreq answer = {};
        strcpy(answer.ifr_name, name);
        EXPECT_EQ(ioctl(fd, request, &answer), 0);
        close(fd);
        return answer;
    }
    std::vector<std::string> links;
};

TEST_F(NetifTest, FlagsAddressesMasksAndRoutesAreSet)
{
    veth("eth1", "peer_of_15chars");
    run("ip link set eth1 arp off");
    const short before = ask("eth1", SIOCGIFFLAGS).ifr_flags;
    ASSERT_EQ(sifup("eth1"), 1);
    EXPECT_EQ(ask("eth1", SIOCGIFFLAGS).ifr_flags, before | IFF_UP);
    ASSERT_EQ(sifdown("eth1"), 1);
    EXPECT_EQ(ask("eth1", SIOCGIFFLAGS).ifr_flags, before) << "only IFF_UP is cleared";
    EXPECT_EQ(with_errno(sifdown("peer_of_15chars+")), std::pair(0, ENODEV)) << "cut, it would name the peer";

    ASSERT_EQ(sifup("eth1"), 1);
    // Without a mask the kernel's choice for the address stays.
    ASSERT_EQ(sifaddr("eth1", ip("10.2.0.1"), ip("10.2.0.2"), 0), 1);
    EXPECT_EQ(address_part(ask("eth1", SIOCGIFNETMASK).ifr_netmask), ip("255.0.0.0"));
    ASSERT_EQ(sifaddr("eth1", ip("10.1.0.1"), ip("10.1.0.2"), ip("255.255.0.0")), 1);
    EXPECT_EQ(address_part(ask("eth1", SIOCGIFADDR).ifr_addr), ip("10.1.0.1"));
    EXPECT_EQ(address_part(ask("eth1", SIOCGIFDSTADDR).ifr_dstaddr), ip("10.1.0.2"));
    EXPECT_EQ(address_part(ask("eth1", SIOCGIFNETMASK).ifr_netmask), ip("255.255.0.0"));
    EXPECT_EQ(with_errno(sifaddr("eth1", ip("10.1.0.1"), ip("10.1.0.2"), 0)), std::pair(0, EEXIST))
        << "the host route exists";
    EXPECT_EQ(with_errno(sifaddr("eth1", ip("10.1.0.1"), ip("10.1.0.2"), ip("255.0.255.0"))),
              std::pair(0, EINVAL)) << "a mask with a gap";
    // A network route through the peer: made, then deleted.
    const uint32_t net = ip("10.5.0.0"), mask = ip("255.255.0.0");
    EXPECT_EQ(route_cmd(SIOCADDRT, "eth1", net, mask, ip("10.1.0.2"), RTF_UP | RTF_GATEWAY), 1);
    EXPECT_EQ(route_cmd(SIOCDELRT, nullptr, net, mask, 0, RTF_UP), 1);
}

TEST_F(NetifTest, ArpEntriesArePublishedAndLookedUp)
{
    veth("eth1", "peer1");
    veth("eth2", "peer2");
    run("ip link set eth1 up && ip link set eth2 up && ip addr add 10.1.0.1/16 dev eth1 && "
        "ip addr add 10.1.0.9/16 dev eth2 && "
        "ip neigh add 10.1.7.7 lladdr 00:1a:2b:3c:4d:5e dev eth2 nud permanent");
    const uint32_t addr = ip("10.1.3.3");
    // The interface of the published entry for addr in the kernel's table.
    auto published = [] {
        std::ifstream table("/proc/net/arp");
        std::string address, type, flags, hw, mask, dev;
        for (std::getline(table, address); table >> address >> type >> flags >> hw >> mask >> dev;)
            if (address == "10.1.3.3" && flags == "0xc")
                return dev;
        return std::string("none");
    };
    // The first fitting interface in the kernel's list; withdrawn whatever
    // the first argument.
    ASSERT_EQ(sifproxyarp(nullptr, addr, INADDR_BROADCAST), 1);
    EXPECT_EQ(published(), "eth1");
    EXPECT_EQ(cifproxyarp(12345, addr), 1);
    // Without ARP eth1 does not fit; loopback never; no interface elsewhere.
    run("ip link set eth1 arp off");
    EXPECT_EQ(sifproxyarp("eth1", addr, INADDR_BROADCAST), 0);
    EXPECT_EQ(sifproxyarp(nullptr, ip("127.0.0.9"), INADDR_BROADCAST), 0);
    EXPECT_EQ(with_errno(sifproxyarp(nullptr, ip("10.7.0.1"), INADDR_BROADCAST)), std::pair(0, ENXIO));
    EXPECT_EQ(published(), "none");

    // Without memory for the interface list nothing is published; else on
    // eth2, the one that still fits.
    zt_test::FdGuard fds;
    int done = 0;
    const unsigned allocations = zt_test::failalloc::for_each_failure(
        [&] { done = sifproxyarp(nullptr, addr, INADDR_BROADCAST); },
        [&](bool failed) {
            EXPECT_EQ(done, failed ? 0 : 1);
            EXPECT_EQ(published(), failed ? "none" : "eth2");
            EXPECT_EQ(cifproxyarp(0, addr), done);
        });
    EXPECT_EQ(allocations, 1u);

    struct arpreq entry = {};
    strcpy(entry.arp_dev, "eth2");
    reinterpret_cast<struct sockaddr_in &>(entry.arp_pa) = {AF_INET, 0, {ip("10.1.7.7")}, {}};
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool answered = ioctl(fd, SIOCGARP, &entry) == 0;
    close(fd);
    if (!answered)  // qemu-i386 hands the request to the kernel without its contents
        GTEST_SKIP() << "SIOCGARP itself fails here: " << strerror(errno);
    // Nothing the caller left in the record is read: the kernel wants an
    // interface, and each one with an address is asked (lo first).
    memset(&entry, 0x55, sizeof entry);
    ASSERT_EQ(get_arp_info(ip("10.1.7.7"), &entry), 0) << strerror(errno);
    EXPECT_EQ(hex_of(entry.arp_ha.sa_data, 6), "001a2b3c4d5e");
    EXPECT_STREQ(entry.arp_dev, "eth2");
    // Known nowhere: the refusal of the request without an interface.
    EXPECT_EQ(with_errno(get_arp_info(ip("10.1.7.8"), &entry)), std::pair(-1, ENODEV));
}

TEST_F(NetifTest, HardwareAddressesAreReadAndArpFramesLeaveByteForByte)
{
    const char *const kName = "abcdefghijklm";  // the longest a packet destination holds
    veth(kName, "peer", "00:1a:2b:3c:4d:5e");
    zt_test::FdGuard fds;
    IfInfo info;
    ASSERT_EQ(get_if_info(kName, &info), 1);
    EXPECT_EQ(info.hw_high, 0x001a2bu);
    EXPECT_EQ(info.hw_low, 0x3c4d5eu);
    EXPECT_STREQ(info.hwaddr_text, "001a2b3c4d5e");
    EXPECT_EQ(get_if_info("nosuch", &info), 0);
    int sender = socket(AF_INET, SOCK_PACKET | SOCK_CLOEXEC, htons(ETH_P_ARP));
    EXPECT_EQ(if_hwaddr(sender, "nosuch", nullptr), -1);
    EXPECT_SYSLOG({kErr, "if_hwaddr: SIOCGIFHWADDR error (No such device)"});

    // The ARP frames that arrive at the peer end, one by one.
    run("ip link set abcdefghijklm up && ip link set peer up");
    int peer = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ARP));
    const int index = static_cast<int>(if_nametoindex("peer"));
    const struct sockaddr_ll at_peer = {AF_PACKET, htons(ETH_P_ARP), index, 0, 0, 0, {}};
    ASSERT_EQ(bind(peer, reinterpret_cast<const struct sockaddr *>(&at_peer), sizeof at_peer), 0);
    const struct timeval patience = {10, 0};  // only against a hang
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    auto next_frame = [&] {
        char frame[128];
        ssize_t n = recv(peer, frame, sizeof frame, 0);
        return hex_of(frame, n > 0 ? n : 0);
    };
    ASSERT_EQ(arp_req(-1, ip("10.1.0.2"), ip("10.1.0.1"), kName), 42);
    EXPECT_EQ(next_frame(), "ffffffffffff001a2b3c4d5e0806" "0001080006040001001a2b3c4d5e0a010001"
                            "0000000000000a010002");
    const unsigned char dst[6] = {2, 3, 4, 5, 6, 7}, src[6] = {8, 9, 10, 11, 12, 13},
                        target[6] = {14, 15, 16, 17, 18, 19};
    ASSERT_EQ(arp_send(sender, kName, 2, ip("192.168.1.1"), ip("192.168.1.2"), dst, src, target), 42);
    EXPECT_EQ(next_frame(), "02030405060708090a0b0c0d0806" "000108000604000208090a0b0c0dc0a80102"
                            "0e0f10111213c0a80101");
    // A longer name is cut; no hardware addresses: broadcast from and to
    // all zero.
    const uint32_t self = ip("10.0.0.1");
    ASSERT_EQ(arp_send(sender, "abcdefghijklmnop", 1, self, self, nullptr, nullptr, nullptr), 42);
    EXPECT_EQ(next_frame(), "ffffffffffff0000000000000806" "00010800060400010000000000000a000001"
                            "0000000000000a000001");
    // Without ARP nothing is sent: the next frame is the one sent after.
    run("ip link set abcdefghijklm arp off");
    EXPECT_EQ(arp_req(-1, ip("10.1.0.2"), ip("10.1.0.1"), kName), 0);
    ASSERT_EQ(arp_send(sender, kName, 7, 0, 0, nullptr, nullptr, nullptr), 42);
    EXPECT_EQ(next_frame().substr(40, 4), "0007");
    EXPECT_EQ(arp_req(-1, 0, 0, "nosuch"), -1);
    close(sender);
    close(peer);
}

// Runs body in a child whose /proc/net/route holds table (none if null);
// says how the child failed, as zt_test::child_failure does.
std::string with_route_table(const char *table, const std::function<int()> &body)
{
    return zt_test::child_failure([&] {
        CHILD_CHECK(unshare(CLONE_NEWNS) == 0);
        CHILD_CHECK(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
        CHILD_CHECK(mount("routes", "/proc", "tmpfs", 0, nullptr) == 0);
        CHILD_CHECK(mkdir("/proc/net", 0755) == 0);
        if (table)
            std::ofstream("/proc/net/route") << table;
        return body();
    });
}

// The interface of the route selected for addr, or "-" for none.
std::string selected_dev(const char *addr)
{
    struct rtentry out;
    return route(ip(addr), 0, &out) ? out.rt_dev : "-";
}

TEST_F(NetifTest, RoutesAreSelectedByTheirKindAndMask)
{
    const std::string table = std::string(R"(Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window
eth0	00000000	0101A8C0	0003	0	0	0	00000000	0	0	0
eth1 0000000A 0101A8C0 0001 0 0 0 000000FF 0 0 0
eth2 0000010A 0101A8C0 0001 0 0 0 0000FFFF 0 0 0
eth5 0000010A 0101A8C0 0001 0 0 0 0000FFFF 0 0 0
eth4 0300010A 0101A8C0 0005 0 0 0 FFFFFFFF 0 0 0
eth6 0200010A 0101A8C0 0001 0 0 0 FEFFFFFF 0 0 0
eth5 0000000B 0101A8C0 0000 0 0 0 000000FF 0 0 0
ipsec1 0000000D 0101A8C0 0001 0 0 0 000000FF 0 0 0
ipsec0 0000000D 0101A8C0 0001 0 0 0 0000FFFF 0 0 0
eth10 0000000E 0101A8C0 0001 0 0 0 000000FF 0 0 0
eth5 0000000F 0101A8C0 0001 0 0 0
lo 0000007F 0101A8C0 0001 0 0 0 000000FF 0 0 0
a_name_longer_than_any 00000011 0101A8C0 0001 0 0 0 000000FF 0 0 0
eth3 00000012 0101A8C0 0001 0 0 0 000000FF 0 0 0
eth5 00000013 0101A8C0 0001 0 0 0 000000FF 0 0 0
eth1 00000000 0101A8C0 0003 0 0 0 00000000 0 0 0
)") + std::string(255, 'x') + "eth4 00000010 0101A8C0 0001 0 0 0 000000FF\n";
    EXPECT_EQ(with_route_table(table.c_str(), [] {
                  CHILD_CHECK(selected_dev("10.2.0.1") == "eth1");    // over the default route before it
                  CHILD_CHECK(selected_dev("8.8.8.8") == "eth0");     // the first default route, not eth1's
                  CHILD_CHECK(selected_dev("10.1.0.1") == "eth2");    // the first of equal masks
                  CHILD_CHECK(selected_dev("10.1.0.3") == "eth4");    // a host route over all, later ones too
                  CHILD_CHECK(selected_dev("11.0.0.1") == "eth0");    // not up
                  CHILD_CHECK(selected_dev("13.0.0.1") == "ipsec1");  // never through ipsec0
                  CHILD_CHECK(selected_dev("15.0.0.1") == "eth0");    // a short line
                  CHILD_CHECK(selected_dev("16.0.0.1") == "eth4");    // the rest of an over-long line
                  CHILD_CHECK(selected_dev("17.0.0.1") == "a_name_longer_than_");
                  struct rtentry out;
                  CHILD_CHECK(route(ip("10.1.0.3"), 0, &out) == 1);
                  CHILD_CHECK(out.rt_flags == (RTF_UP | RTF_HOST));
                  CHILD_CHECK(out.rt_dst.sa_family == 0);
                  CHILD_CHECK(address_part(out.rt_genmask) == INADDR_BROADCAST);
                  CHILD_CHECK(address_part(out.rt_gateway) == ip("192.168.1.1"));

                  CHILD_CHECK(is_on_trusted_net(ip("14.0.0.1")));  // eth10
                  CHILD_CHECK(!is_on_trusted_net(ip("8.8.8.8")));
                  CHILD_CHECK(is_on_optional_net(ip("10.1.0.1")));
                  CHILD_CHECK(is_on_optional2_net(ip("18.0.0.1")));
                  CHILD_CHECK(is_on_optional3_net(ip("10.1.0.3")));
                  CHILD_CHECK(is_on_optional4_net(ip("19.0.0.1")));
                  CHILD_CHECK(is_on_net(ip("8.8.8.8"), ""));
                  CHILD_CHECK(route_laddr(ip("127.0.0.9"), 0, &out) == ip("127.0.0.1"));
                  CHILD_CHECK(strcmp(out.rt_dev, "lo") == 0);
                  CHILD_CHECK(route_laddr(ip("18.0.0.1"), 0, nullptr) == 0);  // there is no eth3
                  return 0;
              }),
              "");
    EXPECT_SYSLOG({kErr, "Unable to get dev IP address for (eth3): No such device"});

    // With no table nothing is selected.
    EXPECT_EQ(with_route_table(nullptr, [] {
                  CHILD_CHECK(selected_dev("10.0.0.1") == "-");
                  CHILD_CHECK(route_laddr(ip("10.0.0.1"), 0, nullptr) == 0);
                  return 0;
              }),
              "");
    EXPECT_SYSLOG();
}

// Runs body in a child, whose drop-in state is still unread, with the
// drop-in file holding text.
std::string with_dropin(const char *text, const std::function<int()> &body)
{
    std::ofstream(ZT_DROPIN_FILE) << text;
    return zt_test::child_failure(body);
}

TEST_F(NetifTest, DropinModeIsReadOncePerProcess)
{
    // Two words: refused, once.
    EXPECT_EQ(with_dropin("10.1.1.1\n10.1.0.0\n", [] {
                  CHILD_CHECK(get_dropin_info(nullptr, nullptr, nullptr) == 0);
                  CHILD_CHECK(in_dropin_net(ip("10.1.0.1")) == 0);
                  return 0;
              }),
              "");
    EXPECT_SYSLOG({kErr, "bad drop-in mode, weird data in /tmp/dropin"});
    // A word of 19 characters (the longest) is read: 10.1.1.1 in hex.
    EXPECT_EQ(with_dropin("  0x0a.0x01.0x01.0x01\n\t10.1.0.0   255.255.0.0 and the rest", [] {
                  uint32_t address = 0;
                  CHILD_CHECK(get_dropin_info(&address, nullptr, nullptr) == 1);
                  CHILD_CHECK(address == ip("10.1.1.1"));
                  CHILD_CHECK(in_dropin_net(ip("10.1.200.3")) == 1);
                  CHILD_CHECK(in_dropin_net(ip("10.2.0.1")) == 0);
                  std::ofstream(ZT_DROPIN_FILE) << "nonsense";
                  CHILD_CHECK(in_dropin_net(ip("10.1.200.3")) == 1);
                  return 0;
              }),
              "");
    EXPECT_SYSLOG();
}

TEST(NetifText, RouteDescriptionsRolesAndTranslations)
{
    // Over the fields {1, 2, 3, 4}: a word that is no address, or none, leaves its field.
    const std::pair<const char *, std::vector<int64_t>> descriptions[] = {  // the result, then the fields
        {"HOST 10.0.0.5 10.0.0.1 x", {0, 7, ip("10.0.0.5"), INADDR_BROADCAST, ip("10.0.0.1")}},
        {"net\t10.2.0.0 255.255.0.0\f10.0.0.1", {0, 3, ip("10.2.0.0"), ip("255.255.0.0"), ip("10.0.0.1")}},
        {"net nonsense 255.255.0.0", {0, 3, 2, ip("255.255.0.0"), 4}},
        {"host 10.0.0.5", {-1, 1, 2, 3, 4}}};
    for (const auto &[text, want] : descriptions) {
        NetRouteInfo got = {1, 2, 3, 4};
        const int64_t result = networking_routes_info(text, &got);
        EXPECT_EQ(std::vector<int64_t>({result, got.flags, got.destination, got.netmask, got.gateway}), want)
            << text;
    }

    const std::pair<const char *, const char *> roles[] = {
        {"external", "eth0"}, {"trusted", "eth1"}, {"optional", "eth2"}, {"Trusted", "Trusted"}};
    for (const auto &[role, device] : roles)
        EXPECT_STREQ(translate_device(role), device) << role;
    EXPECT_TRUE(same_net(ip("10.1.2.3"), ip("10.1.9.9"), ip("255.255.0.0")));
    EXPECT_FALSE(same_net(ip("10.1.2.3"), ip("10.2.2.3"), ip("255.255.0.0")));

    // A rule for port 53 of any address, or of 10.0.0.1 alone.
    const struct {
        const char *match, *addr;
        uint16_t port;
        int rewritten;
    } translations[] = {{"255.255.255.255", "10.9.9.9", 53, 1},
                        {"10.0.0.1", "10.0.0.1", 53, 1},
                        {"255.255.255.255", "10.9.9.9", 54, 0},
                        {"10.0.0.1", "10.9.9.9", 53, 0}};
    const struct sockaddr_in repl = {AF_INET, htons(5353), {ip("192.168.0.1")}, {}};
    for (const auto &row : translations) {
        const struct sockaddr_in rule = {AF_INET, htons(53), {ip(row.match)}, {}};
        struct sockaddr_in addr = {AF_INET, htons(row.port), {ip(row.addr)}, {}};
        SCOPED_TRACE(std::string(row.match) + " " + row.addr + ":" + std::to_string(row.port));
        EXPECT_EQ(nat_translation1(&rule, &repl, &addr), row.rewritten);
        EXPECT_EQ(addr.sin_addr.s_addr, row.rewritten ? repl.sin_addr.s_addr : ip(row.addr));
        EXPECT_EQ(addr.sin_port, row.rewritten ? repl.sin_port : htons(row.port));
    }
}

}  // namespace

// Interfaces, routes and ARP against the kernel of the test's own network
// namespace, on veth pairs named as the roles need: flags, addresses and
// routes read back, proxy-ARP entries in the kernel's table, hardware
// addresses, ARP frames captured on the peer end. Route selection runs in
// children that see a routing table text of the test's own (a tmpfs over
// /proc), the drop-in mode in children that each read "/tmp/dropin" once.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "zt_test.h"
#include "zttools.h"

namespace {

uint32_t ip(const char *text)
{
    return inet_addr(text);
}

// Fails a child's check: the exit status is 1, the line goes to stderr.
#define CHILD_CHECK(condition)                                                          \
    do {                                                                                \
        if (!(condition)) {                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            return 1;                                                                   \
        }                                                                               \
    } while (0)

int in_child(const std::function<int()> &body)
{
    int status = zt_test::run_in_child(body);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs body in a child whose /proc/net/route holds table (none if null).
int with_route_table(const char *table, const std::function<int()> &body)
{
    return in_child([&] {
        if (unshare(CLONE_NEWNS) < 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
            mount("routes", "/proc", "tmpfs", 0, nullptr) < 0 || mkdir("/proc/net", 0755) < 0)
            return 100;
        if (table) {
            std::ofstream("/proc/net/route") << table;
        }
        return body();
    });
}

std::string file_text(const char *path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class NetifTest : public testing::Test {
protected:
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        zt_test::take_syslog();
    }
    void TearDown() override
    {
        for (const std::string &name : links_)
            run("ip link del " + name);
    }
    static void run(const std::string &command) { ASSERT_EQ(system(command.c_str()), 0) << command; }
    // A veth pair: name (with hardware address mac, if given) and its peer.
    void veth(const std::string &name, const std::string &peer, const char *mac = nullptr)
    {
        run("ip link add name " + name + (mac ? std::string(" address ") + mac : "") +
            " type veth peer name " + peer);
        links_.push_back(name);
    }
    static short flags(const char *name)
    {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct ifreq request = {};
        strcpy(request.ifr_name, name);
        EXPECT_EQ(ioctl(fd, SIOCGIFFLAGS, &request), 0);
        close(fd);
        return request.ifr_flags;
    }
    static uint32_t if_address(const char *name, unsigned long request_code)
    {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct ifreq request = {};
        strcpy(request.ifr_name, name);
        EXPECT_EQ(ioctl(fd, request_code, &request), 0);
        close(fd);
        return reinterpret_cast<struct sockaddr_in &>(request.ifr_addr).sin_addr.s_addr;
    }

private:
    std::vector<std::string> links_;
};

TEST_F(NetifTest, ControlSocketIsRetriedAndNotInherited)
{
    // First in the suite: the test process has not opened the socket yet.
    EXPECT_EQ(in_child([] {
                  struct rlimit limit;
                  getrlimit(RLIMIT_NOFILE, &limit);
                  const struct rlimit none = {3, limit.rlim_max};
                  setrlimit(RLIMIT_NOFILE, &none);
                  CHILD_CHECK(sifup("lo") == 0 && errno == EMFILE);
                  CHILD_CHECK(route_laddr(ip("127.0.0.1"), 0, nullptr) == 0);
                  setrlimit(RLIMIT_NOFILE, &limit);
                  const int before = zt_test::open_fd_count();
                  CHILD_CHECK(sifup("lo") == 1 && get_arp_info(0, nullptr) == -1);
                  CHILD_CHECK(zt_test::open_fd_count() == before + 1);
                  for (int fd = 3; fd < 64; fd++) {
                      struct stat st;
                      if (fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode))
                          CHILD_CHECK(fcntl(fd, F_GETFD) == FD_CLOEXEC);
                  }
                  return 0;
              }),
              0);
}

TEST_F(NetifTest, UpAndDownChangeOnlyTheUpFlag)
{
    veth("eth1", "peer1");
    run("ip link set eth1 arp off");
    const short before = flags("eth1");
    ASSERT_EQ(sifup("eth1"), 1);
    EXPECT_EQ(flags("eth1"), before | IFF_UP);
    EXPECT_EQ(sifup("eth1"), 1);
    ASSERT_EQ(sifdown("eth1"), 1);
    EXPECT_EQ(flags("eth1"), before);
    EXPECT_TRUE(flags("eth1") & IFF_NOARP);

    errno = 0;
    EXPECT_EQ(sifup("nosuch"), 0);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(sifdown("eth1_and_much_more"), 0);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(sifup(nullptr), 0);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(NetifTest, AddressesMasksAndRoutesAreSet)
{
    veth("eth1", "peer1");
    veth("eth2", "peer2");
    ASSERT_EQ(sifup("eth1"), 1);
    ASSERT_EQ(sifup("eth2"), 1);
    ASSERT_EQ(sifaddr("eth1", ip("10.1.0.1"), ip("10.1.0.2"), ip("255.255.0.0")), 1);
    EXPECT_EQ(if_address("eth1", SIOCGIFADDR), ip("10.1.0.1"));
    EXPECT_EQ(if_address("eth1", SIOCGIFDSTADDR), ip("10.1.0.2"));
    EXPECT_EQ(if_address("eth1", SIOCGIFNETMASK), ip("255.255.0.0"));
    EXPECT_NE(file_text("/proc/net/route").find("eth1\t0200010A\t00000000\t0005\t"), std::string::npos);
    // The host route exists already: the addresses are set all the same.
    errno = 0;
    EXPECT_EQ(sifaddr("eth1", ip("10.1.0.1"), ip("10.1.0.2"), 0), 0);
    EXPECT_EQ(errno, EEXIST);
    // No mask: the kernel's own choice for the address stays.
    ASSERT_EQ(sifaddr("eth2", ip("10.2.0.1"), ip("10.2.0.2"), 0), 1);
    EXPECT_EQ(if_address("eth2", SIOCGIFNETMASK), ip("255.0.0.0"));

    // A network route through the peer, seen by the route lookup and by
    // the local address query on the kernel's own table.
    ASSERT_EQ(route_cmd(SIOCADDRT, "eth1", ip("10.5.0.0"), ip("255.255.0.0"), ip("10.1.0.2"),
                        RTF_UP | RTF_GATEWAY),
              1);
    struct rtentry selected;
    ASSERT_EQ(route(ip("10.5.1.1"), 0, &selected), 1);
    EXPECT_STREQ(selected.rt_dev, "eth1");
    EXPECT_EQ(reinterpret_cast<struct sockaddr_in &>(selected.rt_gateway).sin_addr.s_addr, ip("10.1.0.2"));
    EXPECT_EQ(selected.rt_flags, RTF_UP | RTF_GATEWAY);
    EXPECT_EQ(route_laddr(ip("10.5.1.1"), 0, nullptr), ip("10.1.0.1"));
    EXPECT_EQ(is_on_trusted_net(ip("10.5.1.1")), 1);
    EXPECT_EQ(route_cmd(SIOCDELRT, nullptr, ip("10.5.0.0"), ip("255.255.0.0"), 0, RTF_UP), 1);
    EXPECT_EQ(route_cmd(SIOCDELRT, nullptr, ip("10.5.0.0"), ip("255.255.0.0"), 0, RTF_UP), 0);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(is_on_trusted_net(ip("10.5.1.1")), 0);  // now eth2's 10.0.0.0/8
    EXPECT_EQ(is_on_optional_net(ip("10.5.1.1")), 1);
}

TEST_F(NetifTest, ProxyArpEntriesArePublishedOnTheFittingInterface)
{
    veth("eth1", "peer1");
    veth("eth2", "peer2");
    run("ip link set eth1 up && ip link set eth2 up && ip addr add 10.1.0.1/16 dev eth1 && "
        "ip addr add 10.1.0.9/16 dev eth2");
    // The interface of the published entry for 10.1.3.3 in the kernel's table.
    auto published = [] {
        std::istringstream table(file_text("/proc/net/arp"));
        std::string line;
        while (std::getline(table, line)) {
            std::istringstream words(line);
            std::string address, type, flags, hw, mask, dev;
            if (words >> address >> type >> flags >> hw >> mask >> dev && address == "10.1.3.3" &&
                flags == "0xc")
                return dev;
        }
        return std::string("none");
    };
    // The first fitting interface of the kernel's list, or the one named.
    ASSERT_EQ(sifproxyarp(nullptr, ip("10.1.3.3"), INADDR_BROADCAST), 1);
    EXPECT_EQ(published(), "eth1");
    EXPECT_EQ(cifproxyarp(0, ip("10.1.3.3")), 1);
    EXPECT_EQ(published(), "none");
    EXPECT_EQ(cifproxyarp(12345, ip("10.1.3.3")), 0);
    ASSERT_EQ(sifproxyarp("eth2", ip("10.1.3.3"), INADDR_BROADCAST), 1);
    EXPECT_EQ(published(), "eth2");
    EXPECT_EQ(cifproxyarp(12345, ip("10.1.3.3")), 1);
    // Without ARP eth1 does not fit; loopback never; no interface elsewhere.
    run("ip link set eth1 arp off");
    ASSERT_EQ(sifproxyarp(nullptr, ip("10.1.3.3"), INADDR_BROADCAST), 1);
    EXPECT_EQ(published(), "eth2");
    EXPECT_EQ(cifproxyarp(0, ip("10.1.3.3")), 1);
    EXPECT_EQ(sifproxyarp("eth1", ip("10.1.3.3"), INADDR_BROADCAST), 0);
    EXPECT_EQ(sifproxyarp(nullptr, ip("127.0.0.9"), INADDR_BROADCAST), 0);
    EXPECT_EQ(sifproxyarp(nullptr, ip("10.7.0.1"), INADDR_BROADCAST), 0);
    EXPECT_EQ(sifproxyarp("nosuch", ip("10.1.3.3"), INADDR_BROADCAST), 0);
    EXPECT_EQ(published(), "none");
}

TEST_F(NetifTest, ArpEntriesAreLookedUpOnTheirInterface)
{
    veth("eth2", "peer2");
    run("ip link set eth2 up && ip neigh add 10.1.7.7 lladdr 00:1a:2b:3c:4d:5e dev eth2 nud permanent");
    struct arpreq entry = {};
    strcpy(entry.arp_dev, "eth2");
    reinterpret_cast<struct sockaddr_in &>(entry.arp_pa).sin_family = AF_INET;
    reinterpret_cast<struct sockaddr_in &>(entry.arp_pa).sin_addr.s_addr = ip("10.1.7.7");
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool answered = ioctl(fd, SIOCGARP, &entry) == 0;
    close(fd);
    if (!answered)  // qemu-i386 passes the request to the kernel without its contents
        GTEST_SKIP() << "SIOCGARP itself fails here: " << strerror(errno);

    memset(&entry, 0x55, sizeof entry);
    strcpy(entry.arp_dev, "eth2");
    ASSERT_EQ(get_arp_info(ip("10.1.7.7"), &entry), 0) << strerror(errno);
    EXPECT_EQ(memcmp(entry.arp_ha.sa_data, "\x00\x1a\x2b\x3c\x4d\x5e", 6), 0);
    EXPECT_EQ(entry.arp_flags, ATF_PERM | ATF_COM);
    EXPECT_EQ(get_arp_info(ip("10.1.7.8"), &entry), -1);
    EXPECT_EQ(errno, ENXIO);
    entry.arp_dev[0] = '\0';
    EXPECT_EQ(get_arp_info(ip("10.1.7.7"), &entry), -1);
    EXPECT_EQ(errno, ENODEV);
}

TEST_F(NetifTest, HardwareAddressesAreRead)
{
    veth("eth1", "peer1", "00:1a:2b:3c:4d:5e");
    const int descriptors = zt_test::open_fd_count();
    IfInfo info;
    memset(&info, 0x55, sizeof info);
    ASSERT_EQ(get_if_info("eth1", &info), 1);
    EXPECT_EQ(info.hw_high, 0x001a2bu);
    EXPECT_EQ(info.hw_low, 0x3c4d5eu);
    EXPECT_EQ(memcmp(info.hwaddr, "\x00\x1a\x2b\x3c\x4d\x5e", 6), 0);
    EXPECT_STREQ(info.hwaddr_text, "001a2b3c4d5e");
    EXPECT_EQ(info.map.irq, 0);
    EXPECT_EQ(get_if_info("nosuch", &info), 0);
    EXPECT_EQ(info.hw_high, 0u);
    EXPECT_EQ(get_if_info("eth1", nullptr), 0);
    EXPECT_EQ(zt_test::open_fd_count(), descriptors);

    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    unsigned char hw[6] = {};
    EXPECT_EQ(if_hwaddr(fd, "eth1", hw), 0);
    EXPECT_EQ(memcmp(hw, "\x00\x1a\x2b\x3c\x4d\x5e", 6), 0);
    EXPECT_EQ(if_hwaddr(fd, "eth1", nullptr), 0);
    EXPECT_EQ(if_hwaddr(fd, "nosuch", hw), -1);
    close(fd);
    std::vector<zt_test::SyslogRecord> records = zt_test::take_syslog();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].priority, zt_test::kDefaultFacility | LOG_ERR);
    EXPECT_EQ(records[0].message, "if_hwaddr: SIOCGIFHWADDR error (No such device)");
}

TEST_F(NetifTest, ArpFramesLeaveByteForByte)
{
    veth("eth1", "peer1", "00:1a:2b:3c:4d:5e");
    veth("abcdefghijklm", "peer2");
    run("ip link set eth1 up && ip link set peer1 up && ip link set abcdefghijklm up && "
        "ip link set peer2 up");
    // Captures the ARP frames arriving at a peer end.
    auto capture = [](const char *peer) {
        int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ARP));
        struct sockaddr_ll where = {};
        where.sll_family = AF_PACKET;
        where.sll_protocol = htons(ETH_P_ARP);
        where.sll_ifindex = static_cast<int>(if_nametoindex(peer));
        struct timeval patience = {10, 0};  // only against a hang
        EXPECT_EQ(bind(fd, reinterpret_cast<struct sockaddr *>(&where), sizeof where), 0);
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        return fd;
    };
    auto next_frame = [](int fd) {
        unsigned char frame[128];
        ssize_t n = recv(fd, frame, sizeof frame, 0);
        return std::string(reinterpret_cast<char *>(frame), n > 0 ? n : 0);
    };
    const int peer1 = capture("peer1"), peer2 = capture("peer2");
    const int descriptors = zt_test::open_fd_count();

    ASSERT_EQ(arp_req(-1, ip("10.1.0.2"), ip("10.1.0.1"), "eth1"), 42);
    EXPECT_EQ(next_frame(peer1), std::string("\xff\xff\xff\xff\xff\xff\x00\x1a\x2b\x3c\x4d\x5e\x08\x06"
                                             "\x00\x01\x08\x00\x06\x04\x00\x01\x00\x1a\x2b\x3c\x4d\x5e"
                                             "\x0a\x01\x00\x01\x00\x00\x00\x00\x00\x00\x0a\x01\x00\x02",
                                             42));
    EXPECT_EQ(zt_test::open_fd_count(), descriptors);

    int sender = socket(AF_INET, SOCK_PACKET | SOCK_CLOEXEC, htons(ETH_P_ARP));
    ASSERT_GE(sender, 0);
    const unsigned char dst[6] = {2, 3, 4, 5, 6, 7}, src[6] = {8, 9, 10, 11, 12, 13},
                        target[6] = {14, 15, 16, 17, 18, 19};
    ASSERT_EQ(arp_send(sender, "eth1", ARPOP_REPLY, ip("192.168.1.1"), ip("192.168.1.2"), dst, src, target), 42);
    EXPECT_EQ(next_frame(peer1), std::string("\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x08\x06"
                                             "\x00\x01\x08\x00\x06\x04\x00\x02\x08\x09\x0a\x0b\x0c\x0d"
                                             "\xc0\xa8\x01\x02\x0e\x0f\x10\x11\x12\x13\xc0\xa8\x01\x01",
                                             42));
    // The name is cut to 13 characters; no addresses given: broadcast, zeros.
    ASSERT_EQ(arp_send(sender, "abcdefghijklmnop", 1, ip("10.0.0.1"), ip("10.0.0.1"), nullptr, nullptr,
                       nullptr),
              42);
    EXPECT_EQ(next_frame(peer2), std::string("\xff\xff\xff\xff\xff\xff\x00\x00\x00\x00\x00\x00\x08\x06"
                                             "\x00\x01\x08\x00\x06\x04\x00\x01\x00\x00\x00\x00\x00\x00"
                                             "\x0a\x00\x00\x01\x00\x00\x00\x00\x00\x00\x0a\x00\x00\x01",
                                             42));

    // Without ARP nothing is sent: the next frame is the one sent after.
    run("ip link set eth1 arp off");
    EXPECT_EQ(arp_req(sender, ip("10.1.0.2"), ip("10.1.0.1"), "eth1"), 0);
    EXPECT_EQ(arp_req(-1, ip("10.1.0.2"), ip("10.1.0.1"), "eth1"), 0);
    ASSERT_EQ(arp_send(sender, "eth1", 7, 0, 0, nullptr, nullptr, nullptr), 42);
    EXPECT_EQ(next_frame(peer1).substr(20, 2), std::string("\x00\x07", 2));
    EXPECT_EQ(arp_req(-1, 0, 0, nullptr), -1);
    EXPECT_EQ(arp_req(-1, 0, 0, "nosuch"), -1);
    EXPECT_EQ(arp_send(sender, "nosuch", 1, 0, 0, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(zt_test::open_fd_count(), descriptors + 1);
    close(sender);
    close(peer1);
    close(peer2);
}

// Runs ztnet with args; its exit status and what it wrote to either stream.
std::pair<int, std::string> ztnet(const std::string &args)
{
    std::string command = std::string(ZT_EMULATOR) + " " + ZTNET_PATH + " " + args + " 2>&1";
    FILE *tool = popen(command.c_str(), "r");
    std::string output;
    char chunk[256];
    for (size_t n; tool && (n = fread(chunk, 1, sizeof chunk, tool)) > 0;)
        output.append(chunk, n);
    int status = tool ? pclose(tool) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST_F(NetifTest, ToolShowsRoutesRolesAndHardwareAddresses)
{
    veth("eth1", "peer1", "00:1a:2b:3c:4d:5e");
    run("ip link set eth1 up && ip link set peer1 up && ip addr add 10.1.0.1/16 dev eth1");
    using Run = std::pair<int, std::string>;
    EXPECT_EQ(ztnet("route 10.1.0.5"), Run(0, "route 10.1.0.0 mask 255.255.0.0 gateway 0.0.0.0 dev eth1 "
                                              "flags 0x0001\nnetworks: trusted\nlocal address 10.1.0.1\n"));
    EXPECT_EQ(ztnet("route 10.1.0.300"), Run(2, "ztnet: 10.1.0.300 is not an IPv4 address\n"));
    EXPECT_EQ(ztnet("route 8.8.8.8"), Run(1, "ztnet: no route to 8.8.8.8\n"));
    EXPECT_EQ(ztnet("role trusted"), Run(0, "eth1\n"));
    EXPECT_EQ(ztnet("role eth1").first, 2);
    EXPECT_EQ(ztnet("dropin"), Run(0, "drop-in mode off\n"));
    EXPECT_EQ(ztnet("hwaddr eth1"), Run(0, "00:1a:2b:3c:4d:5e\n"));
    EXPECT_EQ(ztnet("hwaddr nosuch"), Run(1, "ztnet: nosuch: no such interface\n"));
    EXPECT_EQ(ztnet("arp-request eth1 10.1.0.2 10.1.0.1"),
              Run(0, "sent 42 bytes on eth1: who has 10.1.0.2, tell 10.1.0.1\n"));
    EXPECT_EQ(ztnet("arp-request nosuch 10.1.0.2 10.1.0.1"), Run(1, "ztnet: nosuch: no such interface\n"));
    EXPECT_EQ(ztnet("arp-request eth1 10.1.0.2 x"), Run(2, "ztnet: x is not an IPv4 address\n"));
    EXPECT_EQ(ztnet("--help").first, 0);
    EXPECT_EQ(ztnet("hwaddr").first, 2);
}

// Route selection over a table of the test's own.
constexpr char kHeader[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string table_line(const char *dev, const char *dst, const char *flags, const char *mask)
{
    return std::string(dev) + "\t" + dst + "\t0101A8C0\t" + flags + "\t0\t0\t0\t" + mask + "\t0\t0\t0\n";
}

// The interface of the route selected for addr, or "-" for none.
std::string selected_dev(const char *addr)
{
    struct rtentry out;
    return route(ip(addr), 0, &out) ? out.rt_dev : "-";
}

TEST_F(NetifTest, RoutesAreSelectedByTheirKindAndMask)
{
    const std::string table = kHeader + table_line("eth0", "00000000", "0003", "00000000") +
                              table_line("eth1", "0000000A", "0001", "000000FF") +
                              table_line("eth2", "0000010A", "0001", "0000FFFF") +
                              table_line("eth3", "0000010A", "0001", "0000FFFF") +
                              table_line("eth4", "0300010A", "0005", "FFFFFFFF") +
                              table_line("eth5", "0000000B", "0000", "000000FF") +
                              table_line("ipsec0", "0000000C", "0001", "000000FF") +
                              table_line("ipsec1", "0000000D", "0001", "000000FF") +
                              table_line("ipsec0", "0000000D", "0001", "0000FFFF") +
                              table_line("eth10", "0000000E", "0001", "000000FF") +
                              "eth5\t0000000F\t00000000\t0001\t0\t0\t0\n" +  // short
                              std::string(255, 'x') + table_line("eth4", "00000010", "0001", "000000FF") +
                              table_line("lo", "0000007F", "0001", "000000FF") +
                              table_line("a_name_longer_than_any", "00000011", "0001", "000000FF") +
                              table_line("eth9", "00000012", "0001", "000000FF") +
                              table_line("eth1", "00000000", "0003", "00000000");
    EXPECT_EQ(with_route_table(table.c_str(), [] {
                  CHILD_CHECK(selected_dev("10.2.0.1") == "eth1");
                  CHILD_CHECK(selected_dev("8.8.8.8") == "eth0");  // the first default route
                  CHILD_CHECK(selected_dev("10.1.0.1") == "eth2");
                  CHILD_CHECK(selected_dev("10.1.0.3") == "eth4");
                  CHILD_CHECK(selected_dev("11.0.0.1") == "eth0");  // eth5 is not up
                  CHILD_CHECK(selected_dev("12.0.0.1") == "eth0");
                  CHILD_CHECK(selected_dev("13.0.0.1") == "ipsec1");
                  CHILD_CHECK(selected_dev("15.0.0.1") == "eth0");
                  CHILD_CHECK(selected_dev("16.0.0.1") == "eth4");  // the rest of a long line
                  CHILD_CHECK(selected_dev("17.0.0.1") == "a_name_longer_than_");
                  struct rtentry out;
                  CHILD_CHECK(route(ip("10.1.0.3"), 0, &out) == 1);
                  CHILD_CHECK(out.rt_dst.sa_family == 0 && out.rt_gateway.sa_family == 0);
                  CHILD_CHECK(reinterpret_cast<struct sockaddr_in &>(out.rt_dst).sin_addr.s_addr ==
                              ip("10.1.0.3"));
                  CHILD_CHECK(reinterpret_cast<struct sockaddr_in &>(out.rt_gateway).sin_addr.s_addr ==
                              ip("192.168.1.1"));
                  CHILD_CHECK(reinterpret_cast<struct sockaddr_in &>(out.rt_genmask).sin_addr.s_addr ==
                              INADDR_BROADCAST);
                  CHILD_CHECK(out.rt_flags == (RTF_UP | RTF_HOST));

                  CHILD_CHECK(is_on_trusted_net(ip("10.2.0.1")) && !is_on_trusted_net(ip("8.8.8.8")));
                  CHILD_CHECK(is_on_trusted_net(ip("14.0.0.1")));  // eth10
                  CHILD_CHECK(is_on_optional_net(ip("10.1.0.1")) && !is_on_optional2_net(ip("10.1.0.1")));
                  CHILD_CHECK(is_on_optional3_net(ip("10.1.0.3")) && is_on_optional3_net(ip("16.0.0.1")));
                  CHILD_CHECK(!is_on_optional4_net(ip("11.0.0.1")) && is_on_net(ip("8.8.8.8"), ""));
                  CHILD_CHECK(!is_on_net(ip("12.0.0.1"), "ipsec"));

                  CHILD_CHECK(route_laddr(ip("127.0.0.9"), 0, &out) == ip("127.0.0.1"));
                  CHILD_CHECK(strcmp(out.rt_dev, "lo") == 0);
                  CHILD_CHECK(route_laddr(ip("18.0.0.1"), 0, nullptr) == 0);
                  return 0;
              }),
              0);
    std::vector<zt_test::SyslogRecord> records = zt_test::take_syslog();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "Unable to get dev IP address for (eth9): No such device");

    // A default route after a covering network route is not selected; with
    // no table nothing is.
    const std::string later_default = kHeader + table_line("eth2", "0000000A", "0001", "000000FF") +
                                      table_line("eth0", "00000000", "0003", "00000000");
    EXPECT_EQ(with_route_table(later_default.c_str(), [] {
                  CHILD_CHECK(selected_dev("10.0.0.1") == "eth2" && selected_dev("9.0.0.1") == "eth0");
                  return 0;
              }),
              0);
    EXPECT_EQ(with_route_table(nullptr, [] {
                  CHILD_CHECK(selected_dev("10.0.0.1") == "-" && !is_on_trusted_net(ip("10.0.0.1")));
                  CHILD_CHECK(route_laddr(ip("10.0.0.1"), 0, nullptr) == 0);
                  return 0;
              }),
              0);
    EXPECT_TRUE(zt_test::take_syslog().empty());
}

TEST_F(NetifTest, DropinModeIsReadOncePerProcess)
{
    unlink(ZT_DROPIN_FILE);
    auto write_dropin = [](const char *text) { std::ofstream(ZT_DROPIN_FILE) << text; };
    EXPECT_EQ(in_child([&] {
                  uint32_t address = 7;
                  CHILD_CHECK(get_dropin_info(&address, nullptr, nullptr) == 0 && address == 7);
                  write_dropin("10.1.1.1 10.1.0.0 255.255.0.0");
                  CHILD_CHECK(get_dropin_info(&address, nullptr, nullptr) == 0 && !in_dropin_net(0));
                  return 0;
              }),
              0);
    EXPECT_TRUE(zt_test::take_syslog().empty());

    for (const char *malformed : {"10.1.1.1\n10.1.0.0\n", "10.1.1.1 10.1.0.0 255.255.255.255.255.255"}) {
        write_dropin(malformed);
        EXPECT_EQ(in_child([] {
                      CHILD_CHECK(get_dropin_info(nullptr, nullptr, nullptr) == 0);
                      CHILD_CHECK(in_dropin_net(ip("10.1.0.1")) == 0);
                      return 0;
                  }),
                  0);
        std::vector<zt_test::SyslogRecord> records = zt_test::take_syslog();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].priority, zt_test::kDefaultFacility | LOG_ERR);
        EXPECT_EQ(records[0].message, "bad drop-in mode, weird data in /tmp/dropin");
    }

    write_dropin("  10.1.1.1\n\t10.1.0.0   255.255.0.0 and the rest");
    EXPECT_EQ(in_child([&] {
                  uint32_t address = 0, network = 0, netmask = 0;
                  CHILD_CHECK(get_dropin_info(&address, &network, &netmask) == 1);
                  CHILD_CHECK(address == ip("10.1.1.1") && network == ip("10.1.0.0") &&
                              netmask == ip("255.255.0.0"));
                  CHILD_CHECK(in_dropin_net(ip("10.1.200.3")) == 1 && in_dropin_net(ip("10.2.0.1")) == 0);
                  write_dropin("nonsense");
                  CHILD_CHECK(get_dropin_info(nullptr, &network, nullptr) == 1 && network == ip("10.1.0.0"));
                  return 0;
              }),
              0);
    write_dropin("10.1.1.1 nonsense 255.255.0.0");
    EXPECT_EQ(in_child([] {
                  uint32_t network = 5;
                  CHILD_CHECK(get_dropin_info(nullptr, &network, nullptr) == 1 && network == 0);
                  return 0;
              }),
              0);
    EXPECT_TRUE(zt_test::take_syslog().empty());
}

TEST(NetifText, StaticRouteDescriptions)
{
    NetRouteInfo info = {1, 2, 3, 4};
    EXPECT_EQ(networking_routes_info("HOST 10.0.0.5 10.0.0.1 ignored", &info), 0);
    EXPECT_EQ(info.flags, 7u);
    EXPECT_EQ(info.destination, ip("10.0.0.5"));
    EXPECT_EQ(info.netmask, INADDR_BROADCAST);
    EXPECT_EQ(info.gateway, ip("10.0.0.1"));
    info = {1, 2, 3, 4};
    EXPECT_EQ(networking_routes_info("  net\t10.2.0.0 255.255.0.0 10.0.0.1 more words", &info), 0);
    EXPECT_EQ(info.flags, 3u);
    EXPECT_EQ(info.destination, ip("10.2.0.0"));
    EXPECT_EQ(info.netmask, ip("255.255.0.0"));
    EXPECT_EQ(info.gateway, ip("10.0.0.1"));
    // Words that do not convert, and a missing gateway, leave their fields.
    info = {1, 2, 3, 4};
    const std::string overlong = "net " + std::string(100, '1') + " nonsense";
    EXPECT_EQ(networking_routes_info(overlong.c_str(), &info), 0);
    EXPECT_EQ(info.flags, 3u);
    EXPECT_EQ(info.destination, 2u);
    EXPECT_EQ(info.netmask, 3u);
    EXPECT_EQ(info.gateway, 4u);
    EXPECT_EQ(networking_routes_info("host 10.0.0.5", &info), -1);
    EXPECT_EQ(networking_routes_info(nullptr, &info), -1);
    EXPECT_EQ(networking_routes_info("host 10.0.0.5 10.0.0.1", nullptr), -1);
}

TEST(NetifText, RolesNetsAndTranslations)
{
    const char trusted_capital[] = "Trusted", eth1[] = "eth1";
    EXPECT_STREQ(translate_device("external"), "eth0");
    EXPECT_STREQ(translate_device("trusted"), "eth1");
    EXPECT_STREQ(translate_device("optional"), "eth2");
    EXPECT_EQ(translate_device(trusted_capital), trusted_capital);
    EXPECT_EQ(translate_device(eth1), eth1);
    EXPECT_EQ(translate_device(nullptr), nullptr);
    EXPECT_EQ(same_net(ip("10.1.2.3"), ip("10.1.9.9"), ip("255.255.0.0")), 1);
    EXPECT_EQ(same_net(ip("10.1.2.3"), ip("10.2.2.3"), ip("255.255.0.0")), 0);
    EXPECT_EQ(same_net(ip("1.2.3.4"), ip("5.6.7.8"), 0), 1);

    auto endpoint = [](const char *addr, uint16_t port) {
        struct sockaddr_in in = {};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = ip(addr);
        in.sin_port = htons(port);
        return in;
    };
    const struct sockaddr_in any53 = endpoint("255.255.255.255", 53), one53 = endpoint("10.0.0.1", 53),
                             repl = endpoint("192.168.0.1", 5353);
    struct sockaddr_in addr = endpoint("10.9.9.9", 53);
    addr.sin_family = AF_UNIX;
    EXPECT_EQ(nat_translation1(&any53, &repl, &addr), 1);
    EXPECT_EQ(addr.sin_addr.s_addr, repl.sin_addr.s_addr);
    EXPECT_EQ(addr.sin_port, repl.sin_port);
    EXPECT_EQ(addr.sin_family, AF_UNIX);
    addr = endpoint("10.9.9.9", 53);
    EXPECT_EQ(nat_translation1(&one53, &repl, &addr), 0);
    EXPECT_EQ(addr.sin_addr.s_addr, ip("10.9.9.9"));
    addr = endpoint("10.0.0.1", 54);
    EXPECT_EQ(nat_translation1(&any53, &repl, &addr), 0);
    addr = endpoint("10.0.0.1", 53);
    EXPECT_EQ(nat_translation1(&one53, &repl, &addr), 1);
}

}  // namespace

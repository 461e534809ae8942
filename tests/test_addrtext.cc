// Address text: dotted addresses with prefix lengths to and from numbers,
// socket addresses as text, and their comparison.
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <string>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

namespace failalloc = zt_test::failalloc;

TEST(ParseIp, ReadsAddressesAndPrefixLengthsOrWritesNothing)
{
    constexpr uint32_t kOnes = 0xFFFFFFFF, kNone = 0xDEADBEEF;
    const struct {
        const char *text;
        int result;
        uint32_t addr, mask;
    } cases[] = {
        {"192.168.1.0/24", 0, 0xC0A80100, 0xFFFFFF00}, {"10.1.2.3", 0, 0x0A010203, kOnes}, {"0.0.0.0/0", 0, 0, 0},
        {"1.2.3.4/32", 0, 0x01020304, kOnes}, {"1.2.3.4/1", 0, 0x01020304, 0x80000000},
        {"255.255.255.255/31", 0, kOnes, 0xFFFFFFFE},
        // sscanf's rules: white space before numbers, a sign, trailing text.
        {" 10. 0.\t0.1/ 8", 0, 0x0A000001, 0xFF000000}, {"+1.2.3.4", 0, 0x01020304, kOnes},
        {"10.0.0.1 x", 0, 0x0A000001, kOnes}, {"10.0.0.0/8x", 0, 0x0A000000, 0xFF000000},
        {"10.0.0.1/x", 0, 0x0A000001, kOnes},
        // Too few parts or a part out of range: nothing written.
        {"10.1.2", 1, kNone, kNone}, {"256.1.1.1", 1, kNone, kNone}, {"1.2.3.256", 1, kNone, kNone},
        {"-1.2.3.4", 1, kNone, kNone}, {"", 1, kNone, kNone}, {"1.2.3.x4", 1, kNone, kNone},
        {"4294967297.0.0.1", 1, kNone, kNone},  // 2^32 + 1 must not wrap to 1
        // A prefix out of range: the address stored and the mask all ones.
        {"1.2.3.4/33", 1, 0x01020304, kOnes}, {"1.2.3.4/-1", 1, 0x01020304, kOnes},
        {"1.2.3.4/4294967304", 1, 0x01020304, kOnes},  // 2^32 + 8 must not wrap to 8
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t addr = kNone, mask = kNone;
        errno = 0;
        EXPECT_EQ(parse_ip(c.text, &addr, &mask), c.result);
        EXPECT_EQ(addr, c.addr);
        EXPECT_EQ(mask, c.mask);
        EXPECT_EQ(errno, 0);
    }
    uint32_t value = kNone;
    EXPECT_EQ(parse_ip(nullptr, &value, &value) + parse_ip("1.2.3.4", nullptr, &value) +
                  parse_ip("1.2.3.4", &value, nullptr),
              3);
    EXPECT_EQ(value, kNone);
}

TEST(Ip2Str, PrintsTheLeadingRunOfTheMaskOnly)
{
    for (auto [addr, mask, text] : {std::tuple{0xC0A80100u, 0xFFFFFF00u, "192.168.1.0/24"},
                                    {0xC0A80100u, 0xFFFFFFFFu, "192.168.1.0"}, {0xC0A80100u, 0u, "192.168.1.0"},
                                    {0xC0A80100u, 0xFF00FF00u, "192.168.1.0/8"},
                                    {0xC0A80100u, 0x7FFFFFFFu, "192.168.1.0"}, {0u, 0x80000000u, "0.0.0.0/1"},
                                    {0xFFFFFFFFu, 0xFFFFFFFEu, "255.255.255.255/31"}}) {
        char *printed = ip2str(addr, mask);
        uint32_t back = 0, back_mask = 0;  // reads back as the address with the printed prefix
        EXPECT_EQ(parse_ip(printed, &back, &back_mask), 0);
        EXPECT_EQ(back, addr);
        EXPECT_STREQ(printed, text);
        free(printed);
    }
    failalloc::arm(1, failalloc::Mode::once);
    char *text = ip2str(0x0A000001, 0xFFFFFFFF);
    failalloc::disarm();
    EXPECT_EQ(text, nullptr);
}

sockaddr_in socket_address(const char *dotted, uint16_t port, sa_family_t family = AF_INET)
{
    sockaddr_in address = {};
    address.sin_family = family;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = dotted ? inet_addr(dotted) : 0;
    return address;
}

TEST(FormatSockaddr, LeavesOutAZeroPortNamesAZeroAddressAnyAndGivesNullWithoutMemory)
{
    for (auto [address, text] : {std::pair{socket_address("10.0.0.1", 80), "10.0.0.1:80"},
                                 {socket_address(nullptr, 80), "any:80"}, {socket_address("10.0.0.1", 0), "10.0.0.1"},
                                 {socket_address(nullptr, 0), "any"},
                                 {socket_address("255.255.255.255", 65535, AF_UNIX), "255.255.255.255:65535"}}) {
        char *printed = FormatSockaddr(&address);
        EXPECT_STREQ(printed, text);
        free(printed);
    }
    EXPECT_EQ(FormatSockaddr(nullptr), nullptr);
    // Out of memory: null, and nothing leaks.
    for (const char *dotted : {"10.0.0.1", static_cast<const char *>(nullptr)}) {
        const sockaddr_in address = socket_address(dotted, 8080);
        const std::string expected = dotted ? "10.0.0.1:8080" : "any:8080";
        unsigned nulls = 0;
        failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
            failalloc::arm(k, mode);
            char *text = FormatSockaddr(&address);
            failalloc::disarm();
            // The formatter may survive a failed allocation of its own;
            // what comes back is then whole. Leaks show at exit.
            EXPECT_TRUE(text ? text == expected : failalloc::failed()) << "allocation " << k;
            nulls += !text;
            free(text);
        });
        // The port text, and the address put before it, each fail once.
        EXPECT_GE(nulls, 4u);
    }
}

TEST(CmpSockaddr, ComparesAllSixteenBytes)
{
    sockaddr_in a = socket_address("10.0.0.1", 80), b = a;
    EXPECT_EQ(CmpSockaddr(&a, &b), 0);
    b.sin_zero[7] = 1;
    EXPECT_LT(CmpSockaddr(&a, &b), 0);
    EXPECT_GT(CmpSockaddr(&b, &a), 0);
    for (sockaddr_in other : {socket_address("10.0.0.1", 81), socket_address("10.0.0.1", 80, AF_UNIX)})
        EXPECT_NE(CmpSockaddr(&a, &other), 0);
    EXPECT_EQ(CmpSockaddr(nullptr, nullptr), 0);
    EXPECT_LT(CmpSockaddr(nullptr, &a), 0);
    EXPECT_GT(CmpSockaddr(&a, nullptr), 0);
}

}  // namespace

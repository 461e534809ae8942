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

constexpr uint32_t kUntouched = 0xDEADBEEF;
constexpr uint32_t kAllOnes = 0xFFFFFFFF;

TEST(ParseIp, ReadsAddressesAndPrefixLengthsOrWritesNothing)
{
    struct Case {
        const char *text;
        int result;
        uint32_t addr, mask;
    };
    const Case cases[] = {
        {"192.168.1.0/24", 0, 0xC0A80100, 0xFFFFFF00},
        {"10.1.2.3", 0, 0x0A010203, kAllOnes},
        {"0.0.0.0/0", 0, 0, 0},
        {"1.2.3.4/32", 0, 0x01020304, kAllOnes},
        {"1.2.3.4/1", 0, 0x01020304, 0x80000000},
        {"255.255.255.255/31", 0, kAllOnes, 0xFFFFFFFE},
        // sscanf's rules: white space before numbers, a sign, trailing text.
        {" 10. 0.\t0.1/ 8", 0, 0x0A000001, 0xFF000000},
        {"+1.2.3.4", 0, 0x01020304, kAllOnes},
        {"10.0.0.1 x", 0, 0x0A000001, kAllOnes},
        {"10.0.0.0/8x", 0, 0x0A000000, 0xFF000000},
        {"10.0.0.1/", 0, 0x0A000001, kAllOnes},
        {"10.0.0.1/x", 0, 0x0A000001, kAllOnes},
        {"10.0.0.1-8", 0, 0x0A000001, kAllOnes},
        // Too few parts or a part out of range: nothing written.
        {"10.1.2", 1, kUntouched, kUntouched},
        {"256.1.1.1", 1, kUntouched, kUntouched},
        {"1.2.3.256", 1, kUntouched, kUntouched},
        {"-1.2.3.4", 1, kUntouched, kUntouched},
        {"4294967297.0.0.1", 1, kUntouched, kUntouched},  // 2^32 + 1 must not wrap to 1
        {"", 1, kUntouched, kUntouched},
        {"a.b.c.d", 1, kUntouched, kUntouched},
        {"1.2.3.x4", 1, kUntouched, kUntouched},
        // A prefix out of range: the address stored and the mask all ones.
        {"1.2.3.4/33", 1, 0x01020304, kAllOnes},
        {"1.2.3.4/-1", 1, 0x01020304, kAllOnes},
        {"1.2.3.4/4294967304", 1, 0x01020304, kAllOnes},  // 2^32 + 8 must not wrap to 8
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t addr = kUntouched, mask = kUntouched;
        errno = 0;
        EXPECT_EQ(parse_ip(c.text, &addr, &mask), c.result);
        EXPECT_EQ(addr, c.addr);
        EXPECT_EQ(mask, c.mask);
        EXPECT_EQ(errno, 0);
    }
    uint32_t value = kUntouched;
    EXPECT_EQ(parse_ip(nullptr, &value, &value), 1);
    EXPECT_EQ(parse_ip("1.2.3.4", nullptr, &value), 1);
    EXPECT_EQ(parse_ip("1.2.3.4", &value, nullptr), 1);
    EXPECT_EQ(value, kUntouched);
}

TEST(Ip2Str, PrintsTheLeadingRunOfTheMaskOnly)
{
    struct Case {
        uint32_t addr, mask;
        const char *text;
    };
    const Case cases[] = {
        {0xC0A80100, 0xFFFFFF00, "192.168.1.0/24"},
        {0xC0A80100, kAllOnes, "192.168.1.0"},
        {0xC0A80100, 0, "192.168.1.0"},
        {0xC0A80100, 0xFF00FF00, "192.168.1.0/8"},
        {0xC0A80100, 0x7FFFFFFF, "192.168.1.0"},
        {0, 0x80000000, "0.0.0.0/1"},
        {kAllOnes, 0xFFFFFFFE, "255.255.255.255/31"},
    };
    for (const Case &c : cases) {
        char *text = ip2str(c.addr, c.mask);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, c.text);
        // Each text reads back as the address with the printed prefix.
        uint32_t addr = 0, mask = 0;
        EXPECT_EQ(parse_ip(text, &addr, &mask), 0);
        EXPECT_EQ(addr, c.addr);
        free(text);
    }
    failalloc::arm(1, failalloc::Mode::once);
    char *text = ip2str(0x0A000001, kAllOnes);
    failalloc::disarm();
    EXPECT_EQ(text, nullptr);
}

sockaddr_in socket_address(const char *dotted, uint16_t port, sa_family_t family = AF_INET)
{
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = family;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = dotted ? inet_addr(dotted) : 0;
    return address;
}

TEST(FormatSockaddr, LeavesOutAZeroPortAndNamesAZeroAddressAny)
{
    struct Case {
        sockaddr_in address;
        const char *text;
    };
    const Case cases[] = {
        {socket_address("10.0.0.1", 80), "10.0.0.1:80"},
        {socket_address(nullptr, 80), "any:80"},
        {socket_address("10.0.0.1", 0), "10.0.0.1"},
        {socket_address(nullptr, 0), "any"},
        {socket_address("255.255.255.255", 65535, AF_UNIX), "255.255.255.255:65535"},
    };
    for (const Case &c : cases) {
        char *text = FormatSockaddr(&c.address);
        EXPECT_STREQ(text, c.text);
        free(text);
    }
    EXPECT_EQ(FormatSockaddr(nullptr), nullptr);
}

TEST(FormatSockaddr, RunningOutOfMemoryGivesNullAndLeaksNothing)
{
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
            if (text) {
                EXPECT_EQ(text, expected) << "allocation " << k;
            }
            EXPECT_TRUE(text || failalloc::failed());
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
    b = socket_address("10.0.0.1", 81);
    EXPECT_NE(CmpSockaddr(&a, &b), 0);
    b = socket_address("10.0.0.1", 80, AF_UNIX);
    EXPECT_NE(CmpSockaddr(&a, &b), 0);
    EXPECT_EQ(CmpSockaddr(nullptr, nullptr), 0);
    EXPECT_LT(CmpSockaddr(nullptr, &a), 0);
    EXPECT_GT(CmpSockaddr(&a, nullptr), 0);
}

}  // namespace

// Address text: dotted addresses with prefix lengths to and from numbers,
// socket addresses as text, and their comparison.
#include <arpa/inet.h>
#include <stdlib.h>

#include <string>
#include <tuple>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

namespace failalloc = zt_test::failalloc;

TEST(AddrText, ParseIpReadsAddressesAndPrefixLengthsOrWritesNothing)
{
    constexpr uint32_t kOnes = 0xFFFFFFFF, kNone = 0xDEADBEEF;
    for (auto [text, result, addr, mask] : std::initializer_list<std::tuple<const char *, int, uint32_t, uint32_t>>{
             {"192.168.1.0/24", 0, 0xC0A80100, 0xFFFFFF00}, {"10.1.2.3", 0, 0x0A010203, kOnes},
             {"0.0.0.0/0", 0, 0, 0}, {"1.2.3.4/32", 0, 0x01020304, kOnes}, {"1.2.3.4/1", 0, 0x01020304, 0x80000000},
             // sscanf's rules: white space before numbers, trailing text.
             {" 10. 0.\t0.1/ 8", 0, 0x0A000001, 0xFF000000}, {"10.0.0.0/8x", 0, 0x0A000000, 0xFF000000},
             {"10.0.0.1/x", 0, 0x0A000001, kOnes},
             // Too few parts or a part out of range: nothing written.
             {"10.1.2", 1, kNone, kNone}, {"256.1.1.1", 1, kNone, kNone}, {"-1.2.3.4", 1, kNone, kNone},
             {"4294967297.0.0.1", 1, kNone, kNone},  // 2^32 + 1 must not wrap to 1
             // A prefix out of range: the address stored and the mask all ones.
             {"1.2.3.4/33", 1, 0x01020304, kOnes}, {"1.2.3.4/-1", 1, 0x01020304, kOnes},
             {"1.2.3.4/4294967304", 1, 0x01020304, kOnes}}) {  // 2^32 + 8 must not wrap to 8
        SCOPED_TRACE(text);
        uint32_t got_addr = kNone, got_mask = kNone;
        errno = 0;
        EXPECT_EQ(parse_ip(text, &got_addr, &got_mask), result);
        EXPECT_EQ(got_addr, addr);
        EXPECT_EQ(got_mask, mask);
        EXPECT_EQ(errno, 0);
    }
    uint32_t value = kNone;
    for (int result : {parse_ip(nullptr, &value, &value), parse_ip("1.2.3.4", nullptr, &value),
                       parse_ip("1.2.3.4", &value, nullptr)})
        EXPECT_EQ(result, 1);
    EXPECT_EQ(value, kNone);
}

TEST(AddrText, Ip2StrPrintsTheLeadingRunOfTheMaskOnly)
{
    for (auto [mask, text] : {std::pair{0xFFFFFF00u, "192.168.1.0/24"}, {0xFFFFFFFFu, "192.168.1.0"},
                              {0u, "192.168.1.0"}, {0xFF00FF00u, "192.168.1.0/8"}, {0x7FFFFFFFu, "192.168.1.0"}}) {
        char *printed = ip2str(0xC0A80100, mask);
        EXPECT_STREQ(printed, text);
        free(printed);
    }
    char *longest = ip2str(0xFFFFFFFF, 0xFFFFFFFE);
    EXPECT_STREQ(longest, "255.255.255.255/31");
    free(longest);
    failalloc::arm(1, failalloc::Mode::once);
    EXPECT_EQ(ip2str(0x0A000001, 0xFFFFFFFF), nullptr);
    failalloc::disarm();
}

TEST(AddrText, FormatSockaddrAndCmpSockaddr)
{
    // The family is not looked at.
    for (auto [address, text] : std::initializer_list<std::pair<sockaddr_in, const char *>>{
             {{AF_INET, htons(80), {htonl(0x0A000001)}, {}}, "10.0.0.1:80"}, {{AF_INET, htons(80), {0}, {}}, "any:80"},
             {{AF_INET, 0, {htonl(0x0A000001)}, {}}, "10.0.0.1"}, {{AF_INET, 0, {0}, {}}, "any"},
             {{AF_UNIX, htons(65535), {INADDR_BROADCAST}, {}}, "255.255.255.255:65535"}}) {
        char *printed = FormatSockaddr(&address);
        EXPECT_STREQ(printed, text);
        free(printed);
    }
    EXPECT_EQ(FormatSockaddr(nullptr), nullptr);
    // Out of memory: null or the whole text, and nothing leaks.
    const sockaddr_in address = {AF_INET, htons(8080), {htonl(0x0A000001)}, {}};
    char *printed = nullptr;
    failalloc::for_each_failure([&] { printed = FormatSockaddr(&address); }, [&](bool) {
        EXPECT_STREQ(printed ? printed : "10.0.0.1:8080", "10.0.0.1:8080");
        free(printed);
    });

    // All sixteen bytes take part, the zero fill too.
    sockaddr_in other = address;
    EXPECT_EQ(CmpSockaddr(&address, &other), 0);
    other.sin_zero[7] = 1;
    EXPECT_LT(CmpSockaddr(&address, &other), 0);
    EXPECT_GT(CmpSockaddr(&other, &address), 0);
    EXPECT_EQ(CmpSockaddr(nullptr, nullptr), 0);
    EXPECT_LT(CmpSockaddr(nullptr, &address), 0);
}

}  // namespace

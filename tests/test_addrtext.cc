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
    constexpr uint32_t kOnes = 0xFFFFFFFF, kNone = 0xDEADBEEF, k1234 = 0x01020304;
    for (auto [text, result, addr, mask] :
         std::initializer_list<std::tuple<const char *, int, uint32_t, uint32_t>>{
             {"192.168.1.0/24", 0, 0xC0A80100, 0xFFFFFF00}, {"10.1.2.3", 0, 0x0A010203, kOnes},
             {"0.0.0.0/0", 0, 0, 0}, {"1.2.3.4/32", 0, k1234, kOnes}, {"1.2.3.4/1", 0, k1234, 1u << 31},
             // sscanf's rules: white space before numbers, trailing text.
             {" 10. 0.\t0.1/ 8", 0, 0x0A000001, 0xFF000000}, {"10.0.0.0/8x", 0, 0x0A000000, 0xFF000000},
             {"10.0.0.1/x", 0, 0x0A000001, kOnes},
             // Too few parts or a part out of range: nothing written.
             {"10.1.2", 1, kNone, kNone}, {"256.1.1.1", 1, kNone, kNone}, {"-1.2.3.4", 1, kNone, kNone},
             {"4294967297.0.0.1", 1, kNone, kNone},  // 2^32 + 1 must not wrap to 1
             // A prefix out of range: the address stored and the mask all ones.
             {"1.2.3.4/33", 1, k1234, kOnes}, {"1.2.3.4/-1", 1, k1234, kOnes},
             {"1.2.3.4/4294967304", 1, k1234, kOnes}}) {  // 2^32 + 8 must not wrap to 8
        uint32_t got_addr = kNone, got_mask = kNone;
        errno = 0;
        const int got = parse_ip(text, &got_addr, &got_mask);
        EXPECT_EQ(std::tuple(got, got_addr, got_mask, errno), std::tuple(result, addr, mask, 0)) << text;
    }
    uint32_t value = kNone;
    EXPECT_EQ(parse_ip(nullptr, &value, &value), 1);
}

TEST(AddrText, Ip2StrPrintsTheLeadingRunOfTheMaskOnly)
{
    for (auto [addr, mask, text] : {std::tuple{0xC0A80100u, 0xFFFFFF00u, "192.168.1.0/24"},
                                    {0xC0A80100u, ~0u, "192.168.1.0"}, {0xC0A80100u, 0u, "192.168.1.0"},
                                    {0xC0A80100u, 0xFF00FF00u, "192.168.1.0/8"}, {1u, ~0u >> 1, "0.0.0.1"},
                                    {~0u, 0xFFFFFFFEu, "255.255.255.255/31"}}) {
        char *printed = ip2str(addr, mask);
        EXPECT_STREQ(printed, text);
        free(printed);
    }
    failalloc::arm(1, failalloc::Mode::once);
    EXPECT_EQ(ip2str(0x0A000001, 0xFFFFFFFF), nullptr);
    failalloc::disarm();
}

TEST(AddrText, FormatSockaddrAndCmpSockaddr)
{
    const uint32_t ten = htonl(0x0A000001);
    for (auto [address, text] : std::initializer_list<std::pair<sockaddr_in, const char *>>{
             {{AF_INET, htons(80), {ten}, {}}, "10.0.0.1:80"}, {{AF_INET, htons(80), {0}, {}}, "any:80"},
             {{AF_INET, 0, {ten}, {}}, "10.0.0.1"}, {{AF_INET, 0, {0}, {}}, "any"},
             {{AF_UNIX, htons(65535), {INADDR_BROADCAST}, {}}, "255.255.255.255:65535"}}) {  // any family
        char *printed = FormatSockaddr(&address);
        EXPECT_STREQ(printed, text);
        free(printed);
    }
    EXPECT_EQ(FormatSockaddr(nullptr), nullptr);
    // Out of memory: null or the whole text, and nothing leaks.
    const sockaddr_in address = {AF_INET, htons(8080), {ten}, {}};
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
    EXPECT_LT(CmpSockaddr(nullptr, &address), 0);
}

}  // namespace

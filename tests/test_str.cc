// String tools: building and editing, tokens and words, validation and
// signatures, patterns, number ranges, tags, bit sets and address text.
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <malloc.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <tuple>
#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

namespace failalloc = zt_test::failalloc;
using Words = std::vector<std::string>;
using Ints = std::vector<int>;

// Takes a heap string, giving "(null)" for null.
std::string take(char *s)
{
    std::string text = s ? s : "(null)";
    free(s);
    return text;
}

char *tags(const char *text)
{
    static const TagEntry table[] = {{'p', "80"}, {'h', "gw"}, {'x', nullptr}, {'e', ""}, {}};
    return TagReplace(text, '%', table);
}

const sockaddr_in kAddress = {AF_INET, htons(8080), {htonl(0x0A000001)}, {}};

TEST(Str, StripsTruncatesJoinsAndReplacesTagsWholeOrNotAtAll)
{
    using Make = char *(*)(const char *);
    for (auto [make, input, text] : std::initializer_list<std::tuple<Make, const char *, const char *>>{
             {strstripspace, "  a \t b \v\f", " a b "}, {strstripspace, "", "(null)"}, {tags, "%x%e", ""},
             {tags, "port %p of %h, 100%% up%x", "port 80 of gw, 100% up"}, {tags, "ends in %", "(null)"},
             {tags, "a %q b", "(null)"}, {tags, "", "(null)"}, {tags, nullptr, "(null)"}})
        EXPECT_EQ(take(make(input)), text) << input;
    // Out of memory: null or the whole text, and nothing leaks.
    for (auto [make, text] : {std::pair{+[] { return strstripspace("a  b c"); }, "a b c"},
                              {+[] { return tags("a%pb%hc"); }, "a80bgwc"},
                              {+[] { return zt_buildstr(nullptr, "%s:%d", "port", 80); }, "port:80"},
                              {+[] { return ip2str(0x0A000001, 0xFF000000); }, "10.0.0.1/8"},
                              {+[] { return FormatSockaddr(&kAddress); }, "10.0.0.1:8080"}}) {
        char *s = nullptr;
        failalloc::for_each_failure([&] { s = make(); }, [&](bool) { EXPECT_EQ(s ? take(s) : text, text); });
    }
    for (auto [s, max, extra, copy] : {std::tuple{"abcdef", 10, "", "abcdef"}, {"abcdef", 6, "", "abcdef..."},
                                       {"abcdefgh", 6, "xy", "abcd..."}, {"ab", 1, "longer", "ab..."}})
        EXPECT_EQ(take(strduptruncate(s, max, extra)), copy) << s << " " << max << " " << extra;
    Array words = {nullptr, 0};
    EXPECT_EQ(take(strjoin(&words, ", ")), "");
    for (const char *w : {"a", "b", "c"})
        ArrayPush(&words, const_cast<char *>(w));
    EXPECT_EQ(take(strjoin(&words, ", ")), "a, b, c");
    EXPECT_EQ(take(strjoin(&words, nullptr)), "abc");
    ArrayDelete(&words);
}

TEST(Str, BuildsAndEditsInPlaceFromSourcesInsideTheStringToo)
{
    // 512 bytes, or else 1024, then the base resized: a failure keeps the base.
    char *s = strdup("ab");
    for (auto [length, allocations] : {std::pair{511, 2u}, {512, 3u}}) {
        const std::string text(length - 1, 'y');
        char *built = nullptr;
        const unsigned made = failalloc::for_each_failure(
            [&] { built = zt_buildstr(s, "%d%s", 7, text.c_str()); }, [&](bool) {
                EXPECT_EQ(built ? take(built) : s, built ? "ab7" + text : "ab") << "a failure keeps the base";
                EXPECT_EQ(errno, built ? 0 : ENOMEM);
                s = built ? strdup("ab") : s;
            });
        EXPECT_EQ(made, allocations) << length;
    }
    EXPECT_STREQ(strnappend(&s, "cd", 100), "abcd");
    EXPECT_GE(malloc_usable_size(s), 2 + 100 + 1u) << "room for n bytes, not for those taken";
    EXPECT_EQ(take(strprepend(&s, "hello ")), "hello abcd");
    // The call resizes (and so may free) the string its source lies in.
    for (auto [edit, text] : std::initializer_list<std::pair<char *(*)(char **), const char *>>{
             {[](char **t) { return strprepend(t, *t + 6); }, "worldhello world"},
             {[](char **t) { return strappend(t, *t + 5); }, "hello world world"},
             {[](char **t) { return strnappend(t, *t, 5); }, "hello worldhello"},
             {[](char **t) { return *t = zt_buildstr(*t, "|%s", *t + 6); }, "hello world|world"}}) {
        s = strdup("hello world");
        EXPECT_EQ(take(edit(&s)), text);
    }
    void *buf = memcpy(malloc(10), "0123456789", 10);
    int len = 10;
    memshift(&buf, &len, 3);
    memunshift(&buf, &len, 2);
    ASSERT_EQ(len, 9);
    EXPECT_EQ(std::string(static_cast<char *>(buf) + 2, 7), "3456789");
    memshift(&buf, &len, 12);
    EXPECT_EQ(buf, nullptr);
    buf = malloc(16);
    failalloc::arm(1, failalloc::Mode::once);
    EXPECT_EQ(resize(&buf, 32), nullptr);  // the old block is released: no leak
    failalloc::disarm();
    EXPECT_EQ(buf, nullptr);
}

TEST(Words, TokensWordsValidationAndSignatures)
{
    for (auto [text, words] : std::initializer_list<std::pair<const char *, Words>>{
             {"  set  'a b'   e", {"set", "a b", "e"}}, {"\"c'd\"", {"c'd"}}, {"a '' b", {"a", "b"}},
             {"a 'b c", {"a", "b c"}}, {"'ab'cd", {"ab", "cd"}}, {"a\vb\r\nd\te", {"a\vb", "d", "e"}},
             {" ", {}}, {nullptr, {}}}) {
        int n = -1;
        Words out;
        char **tokens = zt_str2tokens(text, &n);
        for (char **t = tokens; t && *t; t++)
            out.push_back(*t);
        zt_tokens_free(tokens);
        EXPECT_EQ(out, words) << text;
        EXPECT_EQ(n, static_cast<int>(words.size())) << text;
    }
    int n = -1;
    failalloc::arm(1, failalloc::Mode::once);
    EXPECT_EQ(zt_str2tokens("a b c", &n), nullptr);
    failalloc::disarm();
    EXPECT_EQ(n, 3);
    zt_test::TraceCapture cap(4);
    zt_tokens_free(zt_str2tokens("x 'y z'", nullptr));
    Words traces;
    for (const auto &r : cap.take())
        traces.push_back(r.file + " " + r.function + " " + r.severity + std::to_string(r.level) + " " +
                         r.message);
    const std::string at = "src/lib/zttools/str zt_str2tokens debug4 zt_str2tokens: ";
    EXPECT_EQ(traces, (Words{at + "found 2 tokens", at + "adding token [x] at index 0",
                                at + "adding token [y z] at index 1", at + "adding token NULL at index 2"}));
    for (auto [text, words] : {std::pair{"a,,b,", Words{"a", "b", ""}}, {",a", Words{"", "a"}}}) {
        Words out;
        for (char *w, *s = const_cast<char *>(text); out.size() < 4 && (w = GetWord(&s, ","));)
            out.push_back(take(w));
        EXPECT_EQ(out, words) << text;
    }
    char text[] = "\v\f one two", *cursor = text;
    SkipSpace(&cursor);
    const std::vector<char *> found = {cursor, firstword(text), nextword(text), nextword(text + 3),
                                       nextword(text + 7)};
    EXPECT_EQ(found, (std::vector<char *>{text + 3, text + 3, text + 3, text + 7, text + 10}));
    for (auto [s, maxlen, mask, allowed, valid] : {std::tuple{"ab\x80", -1, uint8_t{0x7f}, "ab\x80", 0},
                                                   {"ab\x80", 2, 0x7f, "ab", 1}, {"abcd", -1, 0, "abc", 0},
                                                   {"10.1", -1, 0, ".", 1}})
        EXPECT_EQ(IsValidStr(s, maxlen, mask, allowed, isdigit), valid) << s << " " << maxlen;
    // Signatures: 0 a match, 1 none, -1 nothing compared.
    Array sigs = {nullptr, 0};
    EXPECT_EQ(CheckSig("GET", 3, &sigs, 0), 1);
    zt_test::GuardedBytes odd(1);  // a length byte above 127 at a page end: skipped
    odd.data()[0] = 0x80;
    ArrayPush(&sigs, odd.data());
    ArrayPush(&sigs, const_cast<char *>("\3GET"));
    ArrayPush(&sigs, const_cast<char *>("\4POST"));
    for (auto [data, nocase, result] : {std::tuple{"GET /", 0, 0}, {"get /", 0, 1}, {"get /", 1, 0},
                                        {"PO", 0, 0}, {"PUT", 0, 1}, {"", 0, -1}})
        EXPECT_EQ(CheckSig(data, strlen(data), &sigs, nocase), result) << data;
    ArrayDelete(&sigs);
}

TEST(Patterns, MatchPatternBitSetsAndNumberRanges)
{
    EXPECT_EQ(Match("Abc", "aBC"), 1);
    for (auto [s, pattern, result] : {std::tuple{"Hello", "hel*", 1}, {"Hello", "he*xyz", 1},
                                      {"Hello", "*", 1}, {"Hello", "hel", 0}, {"Hello", "HELLO", 1},
                                      {"Hello", nullptr, -1}, {nullptr, nullptr, 0}})
        EXPECT_EQ(MatchPattern(s, pattern), result) << s << " " << pattern;
    uint8_t *nine = BitsNew(9), *bits = StrToBits("1000000001", nullptr), set[] = {0x80, 0};
    EXPECT_EQ(Ints(nine, nine + 2), (Ints{0, 0}));
    EXPECT_EQ(Ints(bits, bits + 2), (Ints{1, 2}));
    EXPECT_EQ(StrToBits("1x", set), set);
    EXPECT_EQ(set[0], 0x82);
    free(nine);
    free(bits);
    // Number lists keep what they read before an error.
    auto numbers = [](Array *a) {
        Ints out;
        for (int i = 0; i < static_cast<int>(ArrayNumElements(a)); i++)
            out.push_back(static_cast<int>(reinterpret_cast<intptr_t>(ArrayGet(a, i))));
        ArrayDelete(a);
        return out;
    };
    for (auto [text, ok, values] : std::initializer_list<std::tuple<const char *, bool, Ints>>{
             {"1-3, 7 10-12", true, {1, 2, 3, 7, 10, 11, 12}}, {"5-3", true, {}}, {"1-2-3", false, {}},
             {"1,x", false, {1}}, {"1 -5", true, {1, -5}}, {"-2-1", true, {-2, -1, 0, 1}},
             {"1,,2", true, {1, 0, 2}}, {"1 # first\r2", true, {1, 2}}, {"3- # c\n5", true, {3, 4, 5}},
             {"-1-5", true, {5}}, {"2147483646-2147483647", true, {INT_MAX - 1, INT_MAX}}}) {
        Array out = {nullptr, 0};
        EXPECT_EQ(ParseNumRange(text, &out), ok ? &out : nullptr) << text;
        EXPECT_EQ(numbers(&out), values) << text;
    }
    Array out = {nullptr, 0};
    EXPECT_EQ(ParseNumRange("7 2147483648", &out), nullptr);
    EXPECT_EQ(errno, ERANGE);
    failalloc::arm(2, failalloc::Mode::once);
    EXPECT_EQ(ParseNumRange("1-3", &out), nullptr);
    failalloc::disarm();
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(numbers(&out), (Ints{7, 1}));
}

TEST(AddrText, ParsesAndPrintsAddressesAndComparesSocketAddresses)
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
    for (auto [addr, mask, text] : {std::tuple{0xC0A80100u, 0xFFFFFF00u, "192.168.1.0/24"},
                                    {0xC0A80100u, ~0u, "192.168.1.0"}, {0xC0A80100u, 0u, "192.168.1.0"},
                                    {0xC0A80100u, 0xFF00FF00u, "192.168.1.0/8"}, {1u, ~0u >> 1, "0.0.0.1"},
                                    {~0u, 0xFFFFFFFEu, "255.255.255.255/31"}})
        EXPECT_EQ(take(ip2str(addr, mask)), text);
    const uint32_t ten = htonl(0x0A000001);
    for (auto [address, text] : std::initializer_list<std::pair<sockaddr_in, const char *>>{
             {{AF_INET, htons(80), {ten}, {}}, "10.0.0.1:80"}, {{AF_INET, htons(80), {0}, {}}, "any:80"},
             {{AF_INET, 0, {ten}, {}}, "10.0.0.1"}, {{AF_INET, 0, {0}, {}}, "any"},
             {{AF_UNIX, htons(65535), {INADDR_BROADCAST}, {}}, "255.255.255.255:65535"}})  // any family
        EXPECT_EQ(take(FormatSockaddr(&address)), text);
    // All sixteen bytes take part, the zero fill too.
    sockaddr_in other = kAddress;
    EXPECT_EQ(CmpSockaddr(&kAddress, &other), 0);
    other.sin_zero[7] = 1;
    EXPECT_LT(CmpSockaddr(&kAddress, &other), 0);
}

}  // namespace

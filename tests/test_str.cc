// String tools: building and editing heap strings and buffers, tokens and
// words, validation and signatures, patterns, number ranges, tags, bit sets,
// address text.
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

TEST(Str, StripsTruncatesJoinsAndReplacesTags)
{
    using Make = char *(*)(const char *);
    for (auto [make, input, text] : std::initializer_list<std::tuple<Make, const char *, const char *>>{
             {strstripspace, "  a \t b \v\f", " a b "}, {strstripspace, "", "(null)"}, {tags, "%x%e", ""},
             {tags, "port %p of %h, 100%% up%x", "port 80 of gw, 100% up"}, {tags, "ends in %", "(null)"},
             {tags, "a %q b", "(null)"}, {tags, "", "(null)"}})
        EXPECT_EQ(take(make(input)), text) << input;
    for (auto [make, text] : {std::pair{+[] { return strstripspace("a  b c"); }, "a b c"},
                              {+[] { return tags("a%pb%hc"); }, "a80bgwc"}}) {
        char *s = nullptr;  // out of memory: null or the whole text
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
    char *none = nullptr;
    for (const void *result : {strappend(&none, nullptr), strprepend(nullptr, "x"), strstripspace(nullptr),
                               strduptruncate(nullptr, 3, nullptr), tags(nullptr), firstword(nullptr)})
        EXPECT_EQ(result, nullptr) << "a null string";
}

TEST(Str, BuildsAndEditsInPlaceFromSourcesInsideTheStringToo)
{
    for (auto [length, attempts] : {std::pair{511, 1u}, {512, 2u}}) {  // buffers of 512, then what fits
        const std::string text(length, 'x');
        failalloc::arm(UINT_MAX, failalloc::Mode::once);
        char *built = zt_buildstr(nullptr, "%s", text.c_str());
        failalloc::disarm();
        EXPECT_EQ(failalloc::calls(), attempts) << length;
        EXPECT_EQ(take(built), text);
    }
    const std::string text(700, 'y');
    char *s = strdup("ab"), *built = nullptr;
    failalloc::for_each_failure([&] { built = zt_buildstr(s, "%d%s", 7, text.c_str()); }, [&](bool) {
        EXPECT_EQ(built ? take(built) : s, built ? "ab7" + text : "ab") << "a failure keeps the base";
        EXPECT_EQ(errno, built ? 0 : ENOMEM);
        s = built ? strdup("ab") : s;
    });
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

Words tokens_of(const char *text, int *n = nullptr)
{
    Words out;
    char **tokens = zt_str2tokens(text, n);
    for (char **t = tokens; t && *t; t++)
        out.push_back(*t);
    zt_tokens_free(tokens);
    return out;
}

TEST(Tokens, QuotesAndSeparatorsAndATraceOfEach)
{
    for (auto [text, words] : std::initializer_list<std::pair<const char *, Words>>{
             {"  set  'a b'   e", {"set", "a b", "e"}}, {"\"c'd\"", {"c'd"}}, {"a '' b", {"a", "b"}},
             {"a 'b c", {"a", "b c"}}, {"'ab'cd", {"ab", "cd"}}, {"a\vb\r\nd\te", {"a\vb", "d", "e"}},
             {" ", {}}}) {
        int n = -1;
        EXPECT_EQ(tokens_of(text, &n), words) << text;
        EXPECT_EQ(n, static_cast<int>(words.size())) << text;
    }
    int n = -1;
    EXPECT_EQ(zt_str2tokens(nullptr, &n), nullptr);
    EXPECT_EQ(n, 0);
    failalloc::arm(1, failalloc::Mode::once);
    EXPECT_EQ(zt_str2tokens("a b c", &n), nullptr);
    failalloc::disarm();
    EXPECT_EQ(n, 3);

    zt_test::TraceCapture cap(4);
    tokens_of("x 'y z'");
    Words traces;
    for (const auto &r : cap.take())
        traces.push_back(r.file + " " + r.function + " " + r.severity + std::to_string(r.level) + " " +
                         r.message);
    const std::string at = "src/lib/zttools/str zt_str2tokens debug4 zt_str2tokens: ";
    const std::string add = at + "adding token ";
    EXPECT_EQ(traces, (Words{at + "found 2 tokens", add + "[x] at index 0", add + "[y z] at index 1",
                             add + "NULL at index 2"}));
}

TEST(Words, CuttingScanningAndValidation)
{
    for (auto [text, words] : {std::pair{"a,,b,", Words{"a", "b", ""}}, {",a", Words{"", "a"}}}) {
        Words out;
        for (char *w, *s = const_cast<char *>(text); (w = GetWord(&s, ","));)
            out.push_back(take(w));
        EXPECT_EQ(out, words) << text;
    }
    char text[] = "\v\f one two", *cursor = text;
    SkipSpace(&cursor);
    const std::vector<char *> found = {cursor, firstword(text), nextword(text), nextword(text + 3),
                                       nextword(text + 7)};
    EXPECT_EQ(found, (std::vector<char *>{text + 3, text + 3, text + 3, text + 7, text + 10}));
    for (auto [s, maxlen, mask, allowed, valid] : {std::tuple{"ab\x80", -1, 0x7f, "ab\x80", 0},
                                                   {"ab\x80", 2, 0x7f, "ab", 1}, {"abcd", -1, 0, "abc", 0},
                                                   {"10.1", -1, 0, ".", 1}}) {
        const uint8_t bits = static_cast<uint8_t>(mask);
        EXPECT_EQ(IsValidStr(s, maxlen, bits, allowed, isdigit), valid) << s << " " << maxlen;
    }
    // Signatures: 0 a match, 1 none, -1 nothing compared.
    Array sigs = {nullptr, 0};
    EXPECT_EQ(CheckSig("GET", 3, &sigs, 0), 1);
    zt_test::GuardedBytes odd(1);  // a length byte above 127 at a page end: skipped
    odd.data()[0] = 0x80;
    ArrayPush(&sigs, odd.data());
    EXPECT_EQ(CheckSig("GET", 3, &sigs, 0), -1);
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
    for (auto [pattern, result] : {std::pair{"hel*", 1}, {"he*xyz", 1}, {"*", 1}, {"hel", 0}, {"HELLO", 1}})
        EXPECT_EQ(MatchPattern("Hello", pattern), result) << pattern;
    EXPECT_EQ(MatchPattern("Hello", nullptr), -1);
    EXPECT_EQ(MatchPattern(nullptr, nullptr), 0);
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
             {"1,,2", true, {1, 0, 2}},
             {"1 # first\n2", true, {1, 2}}, {"1 # first\r2", true, {1, 2}}, {"3- # c\n5", true, {3, 4, 5}},
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

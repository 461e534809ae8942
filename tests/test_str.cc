// String tools: building and editing heap strings and buffers, tokens and
// words, validation and signatures, patterns, number ranges, tags, bit sets.
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <malloc.h>
#include <stdlib.h>
#include <string.h>

#include <string>
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

// A copy of text whose NUL is the last byte before an unmapped page.
struct Guarded : zt_test::GuardedBytes {
    explicit Guarded(const std::string &t) : GuardedBytes(t.size() + 1) { memcpy(data(), t.c_str(), t.size() + 1); }
    char *str() { return reinterpret_cast<char *>(data()); }
};

// Runs make() with every allocation failing in turn: each result is null
// or whole.
template <typename Make> void null_or_whole(Make make, const std::string &whole)
{
    failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        failalloc::arm(k, mode);
        char *s = make();
        failalloc::disarm();
        EXPECT_TRUE(!s || take(s) == whole) << k;
    });
}

TEST(BuildStr, FormatsInSteps512AndAppendsToABase)
{
    EXPECT_EQ(take(zt_buildstr(nullptr, "%s%s", "/tmp/ztmsg/", "name")), "/tmp/ztmsg/name");
    // One buffer per attempt: 512 bytes, then the first multiple that fits.
    for (auto [length, attempts] : {std::pair{511, 1u}, {512, 2u}, {5000, 2u}}) {
        const std::string text(length, 'x');
        failalloc::arm(UINT_MAX, failalloc::Mode::once);
        char *built = zt_buildstr(nullptr, "%s", text.c_str());
        failalloc::disarm();
        EXPECT_EQ(failalloc::calls(), attempts) << length;
        EXPECT_EQ(take(built), text);
        EXPECT_EQ(take(zt_buildstr(strdup("ab"), "%s", text.c_str())), "ab" + text);
    }
    // A failure gives null and leaves the base with the caller.
    const std::string text(700, 'y');
    failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        char *base = strdup("ab");
        failalloc::arm(k, mode);
        char *built = zt_buildstr(base, "%d%s", 7, text.c_str());
        failalloc::disarm();
        EXPECT_EQ(built ? take(built) : take(base) + std::to_string(errno), built ? "ab7" + text : "ab12");
    });
    // So does a text too long for the size (not under qemu-i386, where two
    // gigabytes of padding take too long).
    char *base = strdup("ab");
    if (sizeof(void *) == 8)
        EXPECT_EQ(zt_buildstr(base, "%*d", INT_MAX - 100, 1) ? 0 : errno, EOVERFLOW);
    EXPECT_EQ(take(base), "ab");
}

TEST(StrEdit, AppendPrependTruncateJoinStrip)
{
    char *s = nullptr;
    EXPECT_STREQ(strnappend(&s, "abc", 2), "ab");
    EXPECT_STREQ(strnappend(&s, "cd", 100), "abcd");
    EXPECT_GE(malloc_usable_size(s), 2 + 100 + 1u) << "room for n bytes, not for those taken";
    EXPECT_EQ(take(strprepend(&s, "hello ")), "hello abcd");
    s = nullptr;
    EXPECT_EQ(take(strprepend(&s, "pre")), "pre");
    // Sources inside the string that the call resizes (which frees the old
    // block), and a formatted argument from the base.
    for (auto [edit, text] : std::initializer_list<std::pair<char *(*)(char **), const char *>>{
             {[](char **t) { return strprepend(t, *t + 6); }, "worldhello world"},
             {[](char **t) { return strappend(t, *t + 5); }, "hello world world"},
             {[](char **t) { return strnappend(t, *t, 5); }, "hello worldhello"},
             {[](char **t) { return *t = zt_buildstr(*t, "|%s", *t + 6); }, "hello world|world"}}) {
        s = strdup("hello world");
        EXPECT_EQ(take(edit(&s)), text);
    }

    EXPECT_EQ(take(strduptruncate("abcdef", 10, nullptr)), "abcdef");
    EXPECT_EQ(take(strduptruncate("abcdef", 6, nullptr)), "abcdef...");
    EXPECT_EQ(take(strduptruncate("abcdefgh", 6, "xy")), "abcd...");
    EXPECT_EQ(take(strduptruncate("abcdefgh", 6, "longer than six")), "abcdefgh...");

    Array words = {nullptr, 0};
    EXPECT_EQ(take(strjoin(&words, ", ")), "");
    for (const char *w : {"a", "b", "c"})
        ArrayPush(&words, const_cast<char *>(w));
    EXPECT_EQ(take(strjoin(&words, ", ")), "a, b, c");
    EXPECT_EQ(take(strjoin(&words, nullptr)), "abc");
    ArrayDelete(&words);

    EXPECT_EQ(take(strstripspace("  a \t b  ")), " a b ");
    EXPECT_EQ(strstripspace(""), nullptr);
    EXPECT_EQ(take(strstripspace("a \v\fb\vc")), "a b\vc");  // \v counts only inside a run
    Guarded at_page_end("x\r\n");
    EXPECT_EQ(take(strstripspace(at_page_end.str())), "x ");
    null_or_whole([] { return strstripspace("a  b c"); }, "a b c");

    // Null strings give null or nothing.
    s = nullptr;
    const void *nulls[] = {strappend(&s, nullptr), strprepend(nullptr, "x"), strduptruncate(nullptr, 3, nullptr),
                           strstripspace(nullptr), TagReplace(nullptr, '%', nullptr), ParseNumRange("1", nullptr),
                           firstword(nullptr), resize(nullptr, 8)};
    for (const void *result : nulls)
        EXPECT_EQ(result, nullptr) << &result - nulls;
    EXPECT_EQ(IsValidStr(nullptr, -1, 0, nullptr, nullptr), 0);
}

TEST(StrEdit, ByteBuffersShiftAndUnshift)
{
    void *buf = memcpy(malloc(10), "0123456789", 10);
    int len = 10;
    memshift(&buf, &len, 3);
    EXPECT_EQ(std::string(static_cast<char *>(buf), len), "3456789");
    memunshift(&buf, &len, 2);
    memshift(&buf, &len, -1);
    memunshift(&buf, &len, INT_MAX);  // would overflow: nothing changes
    ASSERT_EQ(len, 9);
    EXPECT_EQ(std::string(static_cast<char *>(buf) + 2, 7), "3456789");
    memshift(&buf, &len, 12);
    EXPECT_EQ(std::pair(buf, len), (std::pair<void *, int>(nullptr, 0)));

    void *block = nullptr;
    EXPECT_NE(resize(&block, 16), nullptr);
    failalloc::arm(1, failalloc::Mode::once);
    EXPECT_EQ(resize(&block, 32), nullptr);  // the old block is released: no leak
    failalloc::disarm();
    EXPECT_EQ(block, nullptr);
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

TEST(Tokens, QuotesSeparatorsAndOneBlock)
{
    const struct {
        const char *text;
        Words words;
    } cases[] = {
        {"  set  'a b'   e", {"set", "a b", "e"}}, {"\"c'd\"", {"c'd"}}, {"a '' b", {"a", "b"}},
        {"a 'b c", {"a", "b c"}}, {"a '", {"a"}}, {"'ab'cd", {"ab", "cd"}}, {"ab\"cd\"", {"ab\"cd\""}},
        {"a\vb\r\nd\te", {"a\vb", "d", "e"}}, {" \t\r\n", {}},
    };
    int n = -1;
    for (const auto &c : cases) {
        EXPECT_EQ(tokens_of(c.text, &n), c.words) << c.text;
        EXPECT_EQ(n, static_cast<int>(c.words.size())) << c.text;
    }
    EXPECT_EQ(zt_str2tokens(nullptr, &n), nullptr);
    EXPECT_EQ(n, 0);
    Guarded at_page_end("x 'y");
    EXPECT_EQ(tokens_of(at_page_end.str()), (Words{"x", "y"}));

    // One block: the slots, then the copy of the text cut in place.
    const char text[] = " ab 'c d'";
    char **tokens = zt_str2tokens(text, &n);
    ASSERT_EQ(n, 2);
    const char *copy = reinterpret_cast<char *>(tokens + 3);
    EXPECT_EQ(memcmp(copy, " ab\0'c d\0", sizeof text), 0);
    EXPECT_EQ(std::vector<const char *>(tokens, tokens + 3), (std::vector<const char *>{copy + 1, copy + 5, nullptr}));
    EXPECT_STREQ(text, " ab 'c d'");
    zt_tokens_free(tokens);
    failalloc::arm(1, failalloc::Mode::once);
    EXPECT_EQ(zt_str2tokens("a b c", &n), nullptr);
    failalloc::disarm();
    EXPECT_EQ(n, 3);
}

TEST(Tokens, TracesEachTokenAtLevelFour)
{
    for (int level : {3, 4}) {
        zt_test::TraceCapture cap(level);
        tokens_of("x 'y z'");
        tokens_of("");
        Words messages;
        for (const zt_test::TraceRecord &r : cap.take()) {
            EXPECT_EQ(r.file + " " + r.function + " " + r.severity + std::to_string(r.level),
                      "src/lib/zttools/str zt_str2tokens debug4");
            messages.push_back(r.message);
        }
        const std::string at = "zt_str2tokens: ", adding = at + "adding token ";
        const Words expected = {at + "found 2 tokens", adding + "[x] at index 0", adding + "[y z] at index 1",
                                adding + "NULL at index 2", at + "found 0 tokens", adding + "NULL at index 0"};
        EXPECT_EQ(messages, level < 4 ? Words{} : expected);
    }
}

TEST(Words, CuttingAndScanning)
{
    auto words_of = [](char *s, const char *delims) {
        Words out;
        for (char *w; (w = GetWord(&s, delims));)
            out.push_back(take(w));
        return out;
    };
    char a[] = "a,,b,", b[] = ",a";
    EXPECT_EQ(words_of(a, ","), (Words{"a", "b", ""}));
    EXPECT_EQ(words_of(b, ","), (Words{"", "a"}));
    EXPECT_STREQ(a, "a,,b,");
    Guarded at_page_end("p:q::");
    EXPECT_EQ(words_of(at_page_end.str(), ":"), (Words{"p", "q", ""}));
    EXPECT_EQ(GetWord(nullptr, ","), nullptr);

    const char *s = "  one two";
    EXPECT_EQ((std::vector<const char *>{firstword(s), nextword(s), nextword(s + 2), nextword(s + 6)}),
              (std::vector<const char *>{s + 2, s + 2, s + 6, s + 9}));
    char text[] = "\v\f x";
    char *cursor = text;
    SkipSpace(&cursor);
    EXPECT_EQ(cursor, text + 3);
}

TEST(Validation, IsValidStrAndCheckSig)
{
    EXPECT_EQ(IsValidStr("abc\x80", -1, 0x7f, nullptr, nullptr), 0);
    EXPECT_EQ(IsValidStr("abc\x80", 3, 0x7f, nullptr, nullptr), 1);
    EXPECT_EQ(IsValidStr("abcd", -1, 0, "abc", nullptr), 0);
    EXPECT_EQ(IsValidStr("10.1", -1, 0, ".", isdigit), 1);
    EXPECT_EQ(IsValidStr("10-1", -1, 0, ".", isdigit), 0);
    EXPECT_EQ(IsValidStr("\xe9", -1, 0, "", [](int c) { return static_cast<int>(c == -23); }), 1);
    Guarded at_page_end("ok");
    EXPECT_EQ(IsValidStr(at_page_end.str(), 100, 0, "ko", nullptr), 1);

    // Signatures compare beginnings (0 a match, 1 none); no signatures give 1.
    Array sigs = {nullptr, 0};
    EXPECT_EQ(CheckSig("GET", 3, &sigs, 0), 1);
    EXPECT_EQ(CheckSig("GET", 3, nullptr, 0), 1);
    ArrayPush(&sigs, const_cast<char *>("\3GET"));
    ArrayPush(&sigs, const_cast<char *>("\4POST"));
    for (auto [data, nocase, result] : {std::tuple{"GET /", 0, 0}, {"get /", 0, 1}, {"get /", 1, 0}, {"PO", 0, 0},
                                        {"PUT", 0, 1}, {"put", 1, 1}, {"", 0, -1}})
        EXPECT_EQ(CheckSig(data, strlen(data), &sigs, nocase), result) << data;
    ArrayDelete(&sigs);
    // Neither the data nor a signature is read past its end, nor past a
    // length byte above 127.
    zt_test::GuardedBytes data(2), sig(3), odd(1);
    memcpy(data.data(), "PO", 2);
    memcpy(sig.data(), "\2PO", 3);
    odd.data()[0] = 0x80;
    ArrayPush(&sigs, odd.data());
    EXPECT_EQ(CheckSig(data.data(), 2, &sigs, 1), -1);
    ArrayPush(&sigs, sig.data());
    EXPECT_EQ(CheckSig(data.data(), 2, &sigs, 1), 0);
    ArrayDelete(&sigs);
}

TEST(Patterns, MatchAndMatchPattern)
{
    EXPECT_EQ(std::pair(Match("Abc", "aBC"), Match("Abc", "ab")), std::pair(1, 0));
    for (auto [pattern, result] : {std::pair{"hello*", 1}, {"hello*xyz", 1}, {"*", 1}, {"hello", 0},
                                   {"HELLO WORLD", 1}, {"world*", 0}, {nullptr, -1}})
        EXPECT_EQ(MatchPattern("Hello World", pattern), result) << pattern;
    EXPECT_EQ(std::pair(MatchPattern(nullptr, nullptr), MatchPattern(nullptr, "*")), std::pair(0, -1));
}

Ints numbers(const Array &a)
{
    Ints out;
    for (int i = 0; i < static_cast<int>(ArrayNumElements(&a)); i++)
        out.push_back(static_cast<int>(reinterpret_cast<intptr_t>(ArrayGet(&a, i))));
    return out;
}

TEST(Patterns, ParseNumRangeKeepsWhatItReadBeforeAnError)
{
    const struct {
        const char *text;
        bool ok;
        Ints values;
    } cases[] = {
        {"1-3, 7 10-12", true, {1, 2, 3, 7, 10, 11, 12}}, {"5-3", true, {}}, {"4-", true, {}}, {"1-2-3", false, {}},
        {"1,x", false, {1}}, {"1 -5", true, {1, -5}}, {"-2-1", true, {-2, -1, 0, 1}}, {"1- 3", true, {1, 2, 3}},
        {"1,,2", true, {1, 0, 2}}, {"1 # first\n2", true, {1, 2}}, {"1 # first\r2", true, {1, 2}}, {"1#x", true, {}}, {"3- # c\n5", true, {3, 4, 5}},
        {"-1-5", true, {5}}, {"", true, {}}, {"2147483646-2147483647", true, {INT_MAX - 1, INT_MAX}},
    };
    for (const auto &c : cases) {
        Array out = {nullptr, 0};
        EXPECT_EQ(ParseNumRange(c.text, &out), c.ok ? &out : nullptr) << c.text;
        EXPECT_EQ(numbers(out), c.values) << c.text;
        ArrayDelete(&out);
    }
    Array out = {nullptr, 0};
    EXPECT_EQ(ParseNumRange("7 2147483648", &out) ? 0 : errno, ERANGE);
    Guarded at_page_end("8-9");
    EXPECT_EQ(ParseNumRange(at_page_end.str(), &out), &out);
    failalloc::arm(2, failalloc::Mode::once);
    EXPECT_EQ(ParseNumRange("1-3", &out) ? 0 : errno, ENOMEM);
    failalloc::disarm();
    EXPECT_EQ(numbers(out), (Ints{7, 8, 9, 1}));
    ArrayDelete(&out);
}

TEST(Patterns, TagReplace)
{
    const TagEntry table[] = {{'p', "80"}, {'h', "gateway"}, {'x', nullptr}, {'e', ""}, {'s', "%p"}, {0, nullptr}};
    EXPECT_EQ(take(TagReplace("port %p of %h, 100%% up%x", '%', table)), "port 80 of gateway, 100% up");
    for (const char *fails : {"ends in %", "a %q b", "", "%x%x"})
        EXPECT_EQ(TagReplace(fails, '%', table), nullptr) << fails;
    EXPECT_EQ(take(TagReplace("%x%e", '%', table)), "");
    EXPECT_EQ(take(TagReplace("%s", '%', table)), "%p");
    Guarded at_page_end("at %h");
    EXPECT_EQ(take(TagReplace(at_page_end.str(), '%', table)), "at gateway");
    null_or_whole([&] { return TagReplace("a%pb%hc", '%', table); }, "a80bgatewayc");
}

TEST(Patterns, BitSets)
{
    auto bytes = [](uint8_t *bits, size_t n) {
        Ints out(bits, bits + n);
        free(bits);
        return out;
    };
    EXPECT_EQ(bytes(BitsNew(9), 2), (Ints{0, 0}));
    EXPECT_EQ(bytes(StrToBits("1000000001", nullptr), 2), (Ints{1, 2}));
    EXPECT_EQ(bytes(StrToBits("0x1", nullptr), 1), Ints{1});
    uint8_t set[2] = {0x80, 0};
    EXPECT_EQ(StrToBits("10", set) == set ? set[0] : -1, 0x82);
}

}  // namespace

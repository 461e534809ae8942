// String tools: building and editing heap strings and buffers, tokens and
// words, validation and signatures, patterns, number ranges, tags, bit sets.
// Every input text ends where readable memory ends, so that a read past its
// NUL faults.
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

const TagEntry kTags[] = {{'p', "80"}, {'h', "gateway"}, {'x', nullptr}, {'e', ""}, {'s', "%p"}, {0, nullptr}};
char *tags(const char *text) { return TagReplace(text, '%', kTags); }

TEST(Str, BuildsTruncatesStripsAndReplacesTags)
{
    const struct {
        char *(*make)(const char *);
        const char *input, *text;
    } cases[] = {
        {[](const char *s) { return zt_buildstr(nullptr, "%s%s", "/tmp/ztmsg/", s); }, "name", "/tmp/ztmsg/name"},
        {[](const char *s) { return strduptruncate(s, 10, nullptr); }, "abcdef", "abcdef"},
        {[](const char *s) { return strduptruncate(s, 6, nullptr); }, "abcdef", "abcdef..."},
        {[](const char *s) { return strduptruncate(s, 6, "xy"); }, "abcdefgh", "abcd..."},
        {[](const char *s) { return strduptruncate(s, 1, "longer"); }, "ab", "ab..."},
        {strstripspace, "  a \t b  ", " a b "}, {strstripspace, "", "(null)"},
        {strstripspace, "a \v\fb\vc\r\n", "a b\vc "},  // \v and \f count only inside a run
        {tags, "port %p of %h, 100%% up%x", "port 80 of gateway, 100% up"}, {tags, "%x%e", ""}, {tags, "%s", "%p"},
        {tags, "ends in %", "(null)"}, {tags, "a %q b", "(null)"}, {tags, "", "(null)"}, {tags, "%x%x", "(null)"},
    };
    for (const auto &c : cases) {
        Guarded input(c.input);
        EXPECT_EQ(take(c.make(input.str())), c.text) << c.input;
    }
    // Out of memory: null or the whole text.
    for (auto [make, text] : {std::pair{+[] { return strstripspace("a  b c"); }, "a b c"},
                              {+[] { return tags("a%pb%hc"); }, "a80bgatewayc"}}) {
        char *s = nullptr;
        failalloc::for_each_failure([&] { s = make(); }, [&](bool) { EXPECT_EQ(s ? take(s) : text, text); });
    }
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

TEST(Str, BuildStrTriesBuffersOf512AndThenWhatFitsAndKeepsTheBaseOnFailure)
{
    for (auto [length, attempts] : {std::pair{511, 1u}, {512, 2u}}) {
        const std::string text(length, 'x');
        failalloc::arm(UINT_MAX, failalloc::Mode::once);
        char *built = zt_buildstr(nullptr, "%s", text.c_str());
        failalloc::disarm();
        EXPECT_EQ(failalloc::calls(), attempts) << length;
        EXPECT_EQ(take(built), text);
    }
    const std::string text(700, 'y');
    char *base = strdup("ab"), *built = nullptr;
    failalloc::for_each_failure([&] { built = zt_buildstr(base, "%d%s", 7, text.c_str()); }, [&](bool) {
        EXPECT_EQ(built ? take(built) : base, built ? "ab7" + text : "ab");
        EXPECT_EQ(errno, built ? 0 : ENOMEM);
        base = built ? strdup("ab") : base;
    });
    // A text too long for an int (not under qemu-i386, where two gigabytes
    // of padding take too long).
    if (sizeof(void *) == 8) {
        EXPECT_EQ(zt_buildstr(base, "%*d", INT_MAX - 100, 1), nullptr);
        EXPECT_EQ(errno, EOVERFLOW);
    }
    EXPECT_EQ(take(base), "ab");
}

TEST(Str, EditsInPlaceFromSourcesInsideTheStringToo)
{
    char *s = nullptr;
    EXPECT_STREQ(strnappend(&s, "abc", 2), "ab");
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
    memunshift(&buf, &len, INT_MAX);  // would overflow: nothing changes
    ASSERT_EQ(len, 9);
    EXPECT_EQ(std::string(static_cast<char *>(buf) + 2, 7), "3456789");
    memshift(&buf, &len, 12);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(len, 0);
    void *block = malloc(16);
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
    for (auto [text, words] : std::initializer_list<std::pair<const char *, Words>>{
             {"  set  'a b'   e", {"set", "a b", "e"}}, {"\"c'd\"", {"c'd"}}, {"a '' b", {"a", "b"}},
             {"a 'b c", {"a", "b c"}}, {"a '", {"a"}}, {"'ab'cd", {"ab", "cd"}}, {"ab\"cd\"", {"ab\"cd\""}},
             {"a\vb\r\nd\te", {"a\vb", "d", "e"}}, {" \t\r\n", {}}}) {
        Guarded input(text);
        int n = -1;
        EXPECT_EQ(tokens_of(input.str(), &n), words) << text;
        EXPECT_EQ(n, static_cast<int>(words.size())) << text;
    }
    int n = -1;
    EXPECT_EQ(zt_str2tokens(nullptr, &n), nullptr);
    EXPECT_EQ(n, 0);
    // One block: the slots, then the copy of the text cut in place.
    char **tokens = zt_str2tokens(" ab 'c d'", &n);
    const char *copy = reinterpret_cast<char *>(tokens + 3);
    EXPECT_EQ(memcmp(copy, " ab\0'c d\0", 10), 0);
    EXPECT_EQ(std::vector<const char *>(tokens, tokens + 3), (std::vector<const char *>{copy + 1, copy + 5, nullptr}));
    zt_tokens_free(tokens);
    failalloc::arm(1, failalloc::Mode::once);
    EXPECT_EQ(zt_str2tokens("a b c", &n), nullptr);
    failalloc::disarm();
    EXPECT_EQ(n, 3);

    zt_test::TraceCapture cap(4);
    tokens_of("x 'y z'");
    tokens_of("");
    Words traces;
    for (const zt_test::TraceRecord &r : cap.take())
        traces.push_back(r.file + " " + r.function + " " + r.severity + std::to_string(r.level) + " " + r.message);
    const std::string at = "src/lib/zttools/str zt_str2tokens debug4 zt_str2tokens: ", adding = at + "adding token ";
    EXPECT_EQ(traces, (Words{at + "found 2 tokens", adding + "[x] at index 0", adding + "[y z] at index 1",
                             adding + "NULL at index 2", at + "found 0 tokens", adding + "NULL at index 0"}));
}

TEST(Words, CuttingScanningAndValidation)
{
    for (auto [text, words] : std::initializer_list<std::pair<const char *, Words>>{
             {"a,,b,", {"a", "b", ""}}, {",a", {"", "a"}}}) {
        Guarded input(text);
        Words out;
        for (char *w, *s = input.str(); (w = GetWord(&s, ","));)
            out.push_back(take(w));
        EXPECT_EQ(out, words) << text;
    }
    const char *s = "  one two";
    EXPECT_EQ((std::vector<const char *>{firstword(s), nextword(s), nextword(s + 2), nextword(s + 6)}),
              (std::vector<const char *>{s + 2, s + 2, s + 6, s + 9}));
    char text[] = "\v\f x";
    char *cursor = text;
    SkipSpace(&cursor);
    EXPECT_EQ(cursor, text + 3);

    using Accept = int (*)(int);
    for (auto [text, maxlen, mask, allowed, accept, valid] :
         std::initializer_list<std::tuple<const char *, int, uint8_t, const char *, Accept, int>>{
             {"abc\x80", -1, 0x7f, nullptr, nullptr, 0}, {"abc\x80", 3, 0x7f, nullptr, nullptr, 1},
             {"abcd", -1, 0, "abc", nullptr, 0}, {"10.1", -1, 0, ".", isdigit, 1}, {"10-1", 99, 0, ".", isdigit, 0},
             {"\xe9", -1, 0, "", [](int c) { return static_cast<int>(c == -23); }, 1}}) {  // a signed char
        Guarded input(text);
        EXPECT_EQ(IsValidStr(input.str(), maxlen, mask, allowed, accept), valid) << text << " " << maxlen;
    }
}

TEST(Validation, CheckSigComparesBeginnings)
{
    Array sigs = {nullptr, 0};
    EXPECT_EQ(CheckSig("GET", 3, &sigs, 0), 1);
    ArrayPush(&sigs, const_cast<char *>("\3GET"));
    ArrayPush(&sigs, const_cast<char *>("\4POST"));
    // 0 a match, 1 none, -1 nothing compared.
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

TEST(Patterns, MatchPatternBitSets)
{
    EXPECT_EQ(Match("Abc", "aBC"), 1);
    EXPECT_EQ(Match("Abc", "ab"), 0);
    for (auto [s, pattern, result] : {std::tuple{"Hello World", "hello*", 1}, {"Hello World", "hello*xyz", 1},
                                      {"Hello World", "*", 1}, {"Hello World", "hello", 0},
                                      {"Hello World", "HELLO WORLD", 1}, {"Hello World", "world*", 0},
                                      {"Hello World", nullptr, -1}, {nullptr, "*", -1}, {nullptr, nullptr, 0}})
        EXPECT_EQ(MatchPattern(s, pattern), result) << (s ? s : "null") << " " << (pattern ? pattern : "null");
    auto bytes = [](uint8_t *bits, size_t n) {
        Ints out(bits, bits + n);
        free(bits);
        return out;
    };
    EXPECT_EQ(bytes(BitsNew(9), 2), (Ints{0, 0}));
    EXPECT_EQ(bytes(StrToBits("1000000001", nullptr), 2), (Ints{1, 2}));
    EXPECT_EQ(bytes(StrToBits("0x1", nullptr), 1), Ints{1});
    uint8_t set[2] = {0x80, 0};
    EXPECT_EQ(StrToBits("10", set), set);
    EXPECT_EQ(set[0], 0x82);
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
    for (auto [text, ok, values] : std::initializer_list<std::tuple<const char *, bool, Ints>>{
             {"1-3, 7 10-12", true, {1, 2, 3, 7, 10, 11, 12}}, {"5-3", true, {}}, {"4-", true, {}},
             {"1-2-3", false, {}}, {"1,x", false, {1}}, {"1 -5", true, {1, -5}}, {"-2-1", true, {-2, -1, 0, 1}},
             {"1- 3", true, {1, 2, 3}}, {"1,,2", true, {1, 0, 2}}, {"1 # first\n2", true, {1, 2}},
             {"1 # first\r2", true, {1, 2}}, {"1#x", true, {}}, {"3- # c\n5", true, {3, 4, 5}},
             {"-1-5", true, {5}}, {"", true, {}}, {"2147483646-2147483647", true, {INT_MAX - 1, INT_MAX}}}) {
        Guarded input(text);
        Array out = {nullptr, 0};
        EXPECT_EQ(ParseNumRange(input.str(), &out), ok ? &out : nullptr) << text;
        EXPECT_EQ(numbers(out), values) << text;
        ArrayDelete(&out);
    }
    Array out = {nullptr, 0};
    EXPECT_EQ(ParseNumRange("7 2147483648", &out) ? 0 : errno, ERANGE);
    failalloc::arm(2, failalloc::Mode::once);
    EXPECT_EQ(ParseNumRange("1-3", &out) ? 0 : errno, ENOMEM);
    failalloc::disarm();
    EXPECT_EQ(numbers(out), (Ints{7, 1}));
    ArrayDelete(&out);
}

}  // namespace

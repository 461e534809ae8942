// String tools: building and editing heap strings and buffers, tokens and
// words, validation and signatures, patterns, number ranges, tags, bit sets.
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

namespace failalloc = zt_test::failalloc;

// Takes a heap string, giving "(null)" for null.
std::string take(char *s)
{
    std::string text = s ? s : "(null)";
    free(s);
    return text;
}

// A copy of text that ends where a mapped page ends: reading past its NUL
// faults.
struct Guarded {
    explicit Guarded(const std::string &text) : bytes(text.size() + 1)
    {
        memcpy(bytes.data(), text.c_str(), text.size() + 1);
    }
    char *str() { return reinterpret_cast<char *>(bytes.data()); }
    zt_test::GuardedBytes bytes;
};

TEST(BuildStr, FormatsIntoSteps512AndAppendsToABase)
{
    EXPECT_EQ(take(zt_buildstr(nullptr, "%s%s", "/tmp/ztmsg/", "name")), "/tmp/ztmsg/name");
    for (int length : {511, 512, 1023, 1024, 5000}) {
        const std::string text(length, 'x');
        EXPECT_EQ(take(zt_buildstr(nullptr, "%s", text.c_str())), text);
        char *base = strdup("ab");
        EXPECT_EQ(take(zt_buildstr(base, "%s", text.c_str())), "ab" + text);
    }
    // Each failed allocation gives null and leaves the base with the caller.
    const std::string long_text(700, 'y');
    failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        char *base = strdup("ab");
        failalloc::arm(k, mode);
        char *built = zt_buildstr(base, "%d%s", 7, long_text.c_str());
        failalloc::disarm();
        if (built) {
            EXPECT_EQ(take(built), "ab7" + long_text);
        } else {
            EXPECT_EQ(errno, ENOMEM);
            EXPECT_EQ(take(base), "ab");
        }
    });
}

TEST(BuildStr, ATextTooLongForTheSizeIsAnOverflow)
{
    if (sizeof(void *) == 4)
        GTEST_SKIP() << "formats two gigabytes of padding: too slow under qemu-i386";
    char *base = strdup("ab");
    EXPECT_EQ(zt_buildstr(base, "%*d", INT_MAX - 100, 1), nullptr);
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_EQ(take(base), "ab");
}

TEST(StrEdit, AppendPrependTruncateJoin)
{
    char *s = nullptr;
    EXPECT_STREQ(strnappend(&s, "abc", 2), "ab");
    EXPECT_EQ(take(s), "ab");
    s = strdup("x");
    EXPECT_STREQ(strnappend(&s, "ab", 5), "xab");
    EXPECT_STREQ(strprepend(&s, "hello "), "hello xab");
    EXPECT_EQ(take(s), "hello xab");
    s = nullptr;
    EXPECT_STREQ(strprepend(&s, "pre"), "pre");
    free(s);

    EXPECT_EQ(take(strduptruncate("abcdef", 10, nullptr)), "abcdef");
    EXPECT_EQ(take(strduptruncate("abcdef", 6, nullptr)), "abcdef...");
    EXPECT_EQ(take(strduptruncate("abcdefgh", 6, nullptr)), "abcdef...");
    EXPECT_EQ(take(strduptruncate("abcdefgh", 6, "xy")), "abcd...");
    EXPECT_EQ(take(strduptruncate("abcdefgh", 6, "longer than six")), "abcdefgh...");

    Array words = {nullptr, 0};
    EXPECT_EQ(take(strjoin(&words, ", ")), "");
    for (const char *w : {"a", "b", "c"})
        ArrayPush(&words, const_cast<char *>(w));
    EXPECT_EQ(take(strjoin(&words, ", ")), "a, b, c");
    EXPECT_EQ(take(strjoin(&words, nullptr)), "abc");
    ArrayDelete(&words);
    EXPECT_EQ(take(strjoin(&words, nullptr)), "");
}

TEST(StrEdit, StripSpaceCollapsesRunsWithoutTrimming)
{
    EXPECT_EQ(take(strstripspace("  a \t b  ")), " a b ");
    EXPECT_EQ(take(strstripspace("ab")), "ab");
    EXPECT_EQ(strstripspace(""), nullptr);
    EXPECT_EQ(take(strstripspace("a \v\fb\vc")), "a b\vc");  // \v counts only inside a run
    Guarded at_page_end("x\r\n");
    EXPECT_EQ(take(strstripspace(at_page_end.str())), "x ");
    failalloc::for_each_failure([](unsigned k, failalloc::Mode mode) {
        failalloc::arm(k, mode);
        char *s = strstripspace("a  b c");
        failalloc::disarm();
        EXPECT_TRUE(!s || take(s) == "a b c");
    });
}

TEST(StrEdit, ByteBuffersShiftAndUnshift)
{
    void *buf = malloc(10);
    memcpy(buf, "0123456789", 10);
    int len = 10;
    memshift(&buf, &len, 3);
    ASSERT_EQ(len, 7);
    EXPECT_EQ(std::string(static_cast<char *>(buf), 7), "3456789");
    memunshift(&buf, &len, 2);
    ASSERT_EQ(len, 9);
    EXPECT_EQ(std::string(static_cast<char *>(buf) + 2, 7), "3456789");
    memshift(&buf, &len, -1);
    memunshift(&buf, &len, INT_MAX);
    EXPECT_EQ(len, 9);
    memshift(&buf, &len, 12);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(len, 0);

    void *block = nullptr;
    EXPECT_NE(resize(&block, 16), nullptr);
    failalloc::arm(1, failalloc::Mode::once);
    EXPECT_EQ(resize(&block, 32), nullptr);  // the old block is released
    failalloc::disarm();
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(resize(nullptr, 8), nullptr);
    drop(nullptr);
}

std::vector<std::string> tokens_of(const char *text, int *n)
{
    std::vector<std::string> out;
    char **tokens = zt_str2tokens(text, n);
    for (char **t = tokens; t && *t; t++)
        out.push_back(*t);
    zt_tokens_free(tokens);
    return out;
}

using Words = std::vector<std::string>;

TEST(Tokens, QuotesAndSeparators)
{
    struct Case {
        const char *text;
        Words words;
    };
    const Case cases[] = {
        {"  set  'a b'   e", {"set", "a b", "e"}},
        {"\"c'd\"", {"c'd"}},
        {"a '' b", {"a", "b"}},
        {"a 'b c", {"a", "b c"}},
        {"a '", {"a"}},
        {"'ab'cd", {"ab", "cd"}},
        {"ab\"cd\"", {"ab\"cd\""}},
        {"a\vb\fc\r\nd\te", {"a\vb\fc", "d", "e"}},
        {"", {}},
        {" \t\r\n", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        int n = -1;
        EXPECT_EQ(tokens_of(c.text, &n), c.words);
        EXPECT_EQ(n, static_cast<int>(c.words.size()));
    }
    int n = -1;
    EXPECT_EQ(zt_str2tokens(nullptr, &n), nullptr);
    EXPECT_EQ(n, 0);
    Guarded at_page_end("x 'y");
    EXPECT_EQ(tokens_of(at_page_end.str(), nullptr), (Words{"x", "y"}));
}

TEST(Tokens, OneBlockOfSlotsThenTheCopiedText)
{
    const char text[] = " ab 'c d'";
    int n = 0;
    char **tokens = zt_str2tokens(text, &n);
    ASSERT_EQ(n, 2);
    const char *copy = reinterpret_cast<char *>(tokens + 3);
    EXPECT_EQ(memcmp(copy, " ab\0'c d\0", sizeof text), 0);
    EXPECT_EQ(tokens[0], copy + 1);
    EXPECT_EQ(tokens[1], copy + 5);
    EXPECT_EQ(tokens[2], nullptr);
    EXPECT_STREQ(text, " ab 'c d'");
    zt_tokens_free(tokens);

    failalloc::arm(1, failalloc::Mode::once);
    EXPECT_EQ(zt_str2tokens("a b c", &n), nullptr);
    failalloc::disarm();
    EXPECT_EQ(n, 3);
}

TEST(Tokens, TracesEachTokenAtLevelFour)
{
    for (int level : {0, 3, 4}) {
        zt_test::TraceCapture cap(level);
        tokens_of("x 'y z'", nullptr);
        tokens_of("", nullptr);
        std::vector<std::string> messages;
        for (const zt_test::TraceRecord &r : cap.take()) {
            EXPECT_EQ(r.file, "src/lib/zttools/str");
            EXPECT_EQ(r.function, "zt_str2tokens");
            EXPECT_EQ(r.level, 4);
            EXPECT_EQ(r.severity, "debug");
            messages.push_back(r.message);
        }
        if (level < 4) {
            EXPECT_TRUE(messages.empty()) << level;
            continue;
        }
        EXPECT_EQ(messages, (Words{"zt_str2tokens: found 2 tokens", "zt_str2tokens: adding token [x] at index 0",
                                   "zt_str2tokens: adding token [y z] at index 1",
                                   "zt_str2tokens: adding token NULL at index 2",
                                   "zt_str2tokens: found 0 tokens",
                                   "zt_str2tokens: adding token NULL at index 0"}));
    }
}

Words words_of(char *s, const char *delims)
{
    Words out;
    for (char *w; (w = GetWord(&s, delims));)
        out.push_back(take(w));
    return out;
}

TEST(Words, CuttingAndScanning)
{
    char a[] = "a,,b,", b[] = ",a";
    EXPECT_EQ(words_of(a, ","), (Words{"a", "b", ""}));
    EXPECT_EQ(words_of(b, ","), (Words{"", "a"}));
    EXPECT_STREQ(a, "a,,b,");
    EXPECT_EQ(GetWord(nullptr, ","), nullptr);
    Guarded at_page_end("p:q::");
    EXPECT_EQ(words_of(at_page_end.str(), ":"), (Words{"p", "q", ""}));

    const char *s = "  one two";
    EXPECT_EQ(nextword(s), s + 2);
    EXPECT_EQ(nextword(s + 2), s + 6);
    EXPECT_EQ(nextword(s + 6), s + 9);
    EXPECT_EQ(firstword(s), s + 2);
    char text[] = "\v\f x";
    char *cursor = text;
    SkipSpace(&cursor);
    EXPECT_EQ(cursor, text + 3);
    SkipSpace(nullptr);
}

TEST(Validation, IsValidStr)
{
    EXPECT_EQ(IsValidStr("abc\x80", -1, 0x7f, nullptr, nullptr), 0);
    EXPECT_EQ(IsValidStr("abc\x80", 3, 0x7f, nullptr, nullptr), 1);
    EXPECT_EQ(IsValidStr("abcd", -1, 0, "abc", nullptr), 0);
    EXPECT_EQ(IsValidStr("abcd", 3, 0, "abc", nullptr), 1);
    EXPECT_EQ(IsValidStr("10.1", -1, 0, ".", isdigit), 1);
    EXPECT_EQ(IsValidStr("10-1", -1, 0, ".", isdigit), 0);
    EXPECT_EQ(IsValidStr("", 5, 1, "", nullptr), 1);
    EXPECT_EQ(IsValidStr("\xe9", -1, 0, nullptr, [](int c) { return static_cast<int>(c == -23); }), 1);
    Guarded at_page_end("ok");
    EXPECT_EQ(IsValidStr(at_page_end.str(), 100, 0, "ko", nullptr), 1);
}

TEST(Validation, CheckSigComparesBeginnings)
{
    Array sigs = {nullptr, 0};
    EXPECT_EQ(CheckSig("GET", 3, &sigs, 0), 1);
    EXPECT_EQ(CheckSig("GET", 3, nullptr, 0), 1);
    ArrayPush(&sigs, const_cast<char *>("\3GET"));
    ArrayPush(&sigs, const_cast<char *>("\4POST"));
    EXPECT_EQ(CheckSig("GET /", 5, &sigs, 0), 0);
    EXPECT_EQ(CheckSig("get /", 5, &sigs, 0), 1);
    EXPECT_EQ(CheckSig("get /", 5, &sigs, 1), 0);
    EXPECT_EQ(CheckSig("PO", 2, &sigs, 0), 0);
    EXPECT_EQ(CheckSig("PUT", 3, &sigs, 0), 1);
    EXPECT_EQ(CheckSig("GET", 0, &sigs, 0), -1);
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
    EXPECT_EQ(Match("Abc", "aBC"), 1);
    EXPECT_EQ(Match("Abc", "ab"), 0);
    struct Case {
        const char *pattern;
        int result;
    };
    for (const Case &c : {Case{"hello*", 1}, Case{"hello*xyz", 1}, Case{"*", 1}, Case{"hello", 0},
                          Case{"HELLO WORLD", 1}, Case{"world*", 0}, Case{nullptr, -1}}) {
        EXPECT_EQ(MatchPattern("Hello World", c.pattern), c.result) << c.pattern;
    }
    EXPECT_EQ(MatchPattern(nullptr, nullptr), 0);
    EXPECT_EQ(MatchPattern(nullptr, "*"), -1);
}

std::vector<int> numbers(const Array &a)
{
    std::vector<int> out;
    for (uint32_t i = 0; i < ArrayNumElements(&a); i++)
        out.push_back(static_cast<int>(reinterpret_cast<intptr_t>(ArrayGet(&a, static_cast<int>(i)))));
    return out;
}

TEST(Patterns, ParseNumRangeKeepsWhatItReadBeforeAnError)
{
    struct Case {
        const char *text;
        bool ok;
        std::vector<int> values;
    };
    const Case cases[] = {
        {"1-3, 7 10-12", true, {1, 2, 3, 7, 10, 11, 12}},
        {"5-3", true, {}},
        {"4-", true, {}},
        {"1-2-3", false, {}},
        {"1,x", false, {1}},
        {"1 -5", true, {1, -5}},
        {"-2-1", true, {-2, -1, 0, 1}},
        {"1- 3", true, {1, 2, 3}},
        {"1,,2", true, {1, 0, 2}},
        {"1 # first\n2", true, {1, 2}},
        {"1#x", true, {}},
        {"3- # c\n5", true, {3, 4, 5}},
        {"-1-5", true, {5}},
        {"2147483646-2147483647", true, {INT_MAX - 1, INT_MAX}},
        {"", true, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Array out = {nullptr, 0};
        EXPECT_EQ(ParseNumRange(c.text, &out), c.ok ? &out : nullptr);
        EXPECT_EQ(numbers(out), c.values);
        ArrayDelete(&out);
    }
    Array out = {nullptr, 0};
    EXPECT_EQ(ParseNumRange("7 2147483648", &out), nullptr);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(numbers(out), std::vector<int>{7});
    Guarded at_page_end("8-9");
    EXPECT_EQ(ParseNumRange(at_page_end.str(), &out), &out);
    EXPECT_EQ(numbers(out), (std::vector<int>{7, 8, 9}));
    failalloc::arm(2, failalloc::Mode::once);
    EXPECT_EQ(ParseNumRange("1-3", &out), nullptr);
    failalloc::disarm();
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(numbers(out), (std::vector<int>{7, 8, 9, 1}));
    ArrayDelete(&out);
}

TEST(Patterns, TagReplace)
{
    const TagEntry table[] = {{'p', "80"}, {'h', "gateway"}, {'x', nullptr}, {'e', ""}, {'s', "%p"}, {0, nullptr}};
    EXPECT_EQ(take(TagReplace("port %p of %h, 100%% up%x", '%', table)), "port 80 of gateway, 100% up");
    EXPECT_EQ(TagReplace("ends in %", '%', table), nullptr);
    EXPECT_EQ(TagReplace("a %q b", '%', table), nullptr);
    EXPECT_EQ(take(TagReplace("no tags", '%', table)), "no tags");
    EXPECT_EQ(TagReplace("", '%', table), nullptr);
    EXPECT_EQ(TagReplace("%x%x", '%', table), nullptr);
    EXPECT_EQ(take(TagReplace("%x%e", '%', table)), "");
    EXPECT_EQ(take(TagReplace("%s", '%', table)), "%p");
    EXPECT_EQ(TagReplace(nullptr, '%', table), nullptr);
    Guarded at_page_end("at %h");
    EXPECT_EQ(take(TagReplace(at_page_end.str(), '%', table)), "at gateway");
    failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        failalloc::arm(k, mode);
        char *s = TagReplace("a%pb%hc", '%', table);
        failalloc::disarm();
        EXPECT_TRUE(!s || take(s) == "a80bgatewayc");
    });
}

TEST(Patterns, BitSets)
{
    auto bytes = [](uint8_t *bits, size_t n) {
        std::vector<int> out(bits, bits + n);
        free(bits);
        return out;
    };
    EXPECT_EQ(bytes(BitsNew(1), 1), std::vector<int>{0});
    EXPECT_EQ(bytes(BitsNew(8), 1), std::vector<int>{0});
    EXPECT_EQ(bytes(BitsNew(9), 2), (std::vector<int>{0, 0}));
    EXPECT_EQ(bytes(StrToBits("101", nullptr), 1), std::vector<int>{5});
    EXPECT_EQ(bytes(StrToBits("1000000001", nullptr), 2), (std::vector<int>{1, 2}));
    EXPECT_EQ(bytes(StrToBits("0x1", nullptr), 1), std::vector<int>{1});
    uint8_t set[2] = {0x80, 0};
    EXPECT_EQ(StrToBits("10", set), set);
    EXPECT_EQ(set[0], 0x82);
}

}  // namespace

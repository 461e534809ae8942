// Diagnostic dumps: the exact text written to the real stderr descriptor and
// rendered into the dump buffer, with data that ends where readable memory
// ends, so that any read past the data faults.
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include "internal.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

using zt_test::stderr_of;

// bytes copied to the end of readable memory.
struct Guarded : zt_test::GuardedBytes {
    explicit Guarded(const std::string &b) : GuardedBytes(b.size()) { memcpy(data(), b.data(), b.size()); }
    const char *text() { return reinterpret_cast<const char *>(data()); }
};

TEST(Dump, WritesStringsAndRowsOfFourBytesToStderr)
{
    for (auto [bytes, written] : {std::pair<std::string, std::string>{"A\x01" "b", "A<0x01>b"},
                                  {std::string("a\0 \n\x7f\xff", 6), "a<0x00> <0x0a><0x7f><0xff>"}, {"", "(EMPTY)"}}) {
        Guarded data(bytes);
        EXPECT_EQ(stderr_of([&] { DumpNString(data.text(), bytes.size()); }), written);
    }
    EXPECT_EQ(stderr_of([] { DumpString("\tb"); }), "<0x09>b");
    EXPECT_EQ(stderr_of([] { DumpString(nullptr); }), "(NULL)");

    const std::string row = "    41 42 43 44 |  65  66  67  68 |  16706  17220 | 1094861636 | ABCD\n";
    for (auto [bytes, written] : {
             std::pair<std::string, std::string>{"ABCD", row},
             {"ABCDEF", row + "    45 46 |  69  70 |  17734      0 |      (end) | EF\n"},
             {std::string("\xff\x00\x7f\x80", 4), "    ff 00 7f 80 | 255   0 127 128 |  65280  32640 | 4278222720 | ....\n"},
             {"", "(EMPTY)\n"}}) {
        Guarded data(bytes);
        EXPECT_EQ(stderr_of([&] { DumpBuf(data.text(), static_cast<unsigned>(bytes.size())); }), written);
    }
    EXPECT_EQ(stderr_of([] { DumpBuf(nullptr, 4); }), "(NULL)\n");
}

// The walk of DumpBuf's rows, with rows of 1 MiB so that it is short: a
// length whose last row ends at 2^32 ends there and does not start again at
// offset 0.
TEST(Dump, RowsOfALengthAtTheLimitEnd)
{
    auto walk = [] {
        alarm(5);  // a walk that starts again never ends
        unsigned rows = 0, last = 0;
        zt::for_each_piece(UINT_MAX, 1u << 20, [&](unsigned offset, unsigned) {
            rows++;
            last = offset;
        });
        CHILD_CHECK(rows == 4096);
        CHILD_CHECK(last == 0xfff00000u);
        return 0;
    };
    EXPECT_EQ(zt_test::child_failure(walk), "");
}

std::string times(size_t n, const std::string &text)
{
    std::string out;
    while (n-- > 0)
        out += text;
    return out;
}

TEST(Dump, RendersTextOrHexIntoOneBufferAndCutsAfterTheLimit)
{
    const std::string unprintable(2000, '\x01'), as(8190, 'a');
    for (auto [bytes, mode, text] : std::initializer_list<std::tuple<std::string, uint8_t, std::string>>{
             {"A\x01" "b", 7, "A<0x01>b"}, {"A\x01" "b", 0, "41:A 01:. 62:b "}, {" \xff", 0, "20:. ff:. "},
             // Cut after the byte that takes the text past 8190 characters.
             {unprintable, 1, times(1366, "<0x01>")}, {unprintable, 0, times(1639, "01:. ")},
             {as + "aa", 1, as + "a"}, {as + unprintable, 1, as + "<0x01>"}}) {
        Guarded data(bytes);
        EXPECT_EQ(DumpBufAsStr(data.text(), static_cast<int>(bytes.size()), mode), text) << bytes.substr(0, 9);
    }
    // Marks are constant texts apart from the one buffer.
    const char *buffer = DumpAsciiAsStr("first");
    EXPECT_EQ(DumpAsciiAsStr("second"), buffer);
    for (auto [mark, text] : {std::pair{DumpBufAsStr(nullptr, -1, 1), "(NULL)"}, {DumpAsciiAsStr(nullptr), "(NULL)"},
                              {DumpBufAsStr("abc", 0, 0), "(EMPTY)"}}) {
        EXPECT_STREQ(mark, text);
        EXPECT_NE(mark, buffer);
    }
    EXPECT_STREQ(buffer, "second");
    EXPECT_STREQ(DumpBufAsStr("abc", -1, 1), "");
    EXPECT_EQ(DumpAsciiAsStr((as + "aa").c_str()), as + "a");
}

}  // namespace

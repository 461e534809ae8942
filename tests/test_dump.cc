// Diagnostic dumps: the exact text written to the real stderr descriptor and
// rendered into the dump buffer, with data that ends where readable memory
// ends, so that any read past the data faults.
#include <limits.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>

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

TEST(DumpString, SpellsOutUnprintableBytesWithoutANewline)
{
    for (auto [bytes, written] : {std::pair<std::string, std::string>{"A\x01" "b", "A<0x01>b"},
                                  {std::string("a\0 \n\x7f\xff", 6), "a<0x00> <0x0a><0x7f><0xff>"}, {"", "(EMPTY)"}}) {
        Guarded data(bytes);
        EXPECT_EQ(stderr_of([&] { DumpNString(data.text(), bytes.size()); }), written);
        // The string form, on a NUL that ends readable memory.
        Guarded string(bytes + '\0');
        if (bytes.find('\0') == std::string::npos)
            EXPECT_EQ(stderr_of([&] { DumpString(string.text()); }), written);
    }
    EXPECT_EQ(stderr_of([] { DumpNString(nullptr, 3); }), "(NULL)");
    EXPECT_EQ(stderr_of([] { DumpString(nullptr); }), "(NULL)");
}

TEST(DumpBuf, WritesFourBytesPerRowAndAShortLastRowUnpadded)
{
    const std::string full_row = "    41 42 43 44 |  65  66  67  68 |  16706  17220 | 1094861636 | ABCD\n";
    for (auto [bytes, written] : {
             std::pair<std::string, std::string>{"ABCD", full_row},
             {"ABCDEF", full_row + "    45 46 |  69  70 |  17734      0 |      (end) | EF\n"},
             {std::string("\xff\x00\x7f\x80", 4),
              "    ff 00 7f 80 | 255   0 127 128 |  65280  32640 | 4278222720 | ....\n"},
             {" ", "    20 |  32 |   8192      0 |      (end) | .\n"},
             {"\t~!", "    09 7e 21 |   9 126  33 |   2430   8448 |      (end) | .~!\n"}}) {
        Guarded data(bytes);
        EXPECT_EQ(stderr_of([&] { DumpBuf(data.text(), static_cast<unsigned>(bytes.size())); }), written);
    }
    Guarded data("ABCD");
    EXPECT_EQ(stderr_of([&] { DumpBuf(data.text(), 0); }), "(EMPTY)\n");
    EXPECT_EQ(stderr_of([] { DumpBuf(nullptr, 4); }), "(NULL)\n");
}

// The walk of DumpBuf's rows, with rows of 1 MiB so that it is short: a
// length whose last row ends at 2^32 ends there and does not start again at
// offset 0 (the child is stopped if it does).
TEST(DumpBuf, RowsOfALengthAtTheLimitEnd)
{
    const int status = zt_test::run_in_child([] {
        alarm(5);  // a walk that starts again never ends
        unsigned rows = 0, last = 0, shortest = UINT_MAX;
        zt::for_each_piece(UINT_MAX, 1u << 20, [&](unsigned offset, unsigned count) {
            rows++, last = offset, shortest = std::min(shortest, count);
        });
        return rows == 4096 && last == 0xfff00000u && shortest == (1u << 20) - 1 ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "rows miscounted, or the walk did not end: " << status;
}

TEST(DumpBufAsStr, RendersTextOrHexWithinTheData)
{
    for (auto [bytes, mode, text] : {std::tuple<std::string, uint8_t, const char *>{"A\x01" "b", 1, "A<0x01>b"},
                                     {"A\x01" "b", 7, "A<0x01>b"}, {"A\x01" "b", 0, "41:A 01:. 62:b "},
                                     {" \xff", 0, "20:. ff:. "}, {std::string(" \0", 2), 1, " <0x00>"}}) {
        Guarded data(bytes);
        EXPECT_STREQ(DumpBufAsStr(data.text(), static_cast<int>(bytes.size()), mode), text);
    }
    Guarded string(std::string("a\tb") + '\0');
    EXPECT_STREQ(DumpAsciiAsStr(string.text()), "a<0x09>b");
}

TEST(DumpBufAsStr, MarksAreConstantTextsApartFromTheBuffer)
{
    const char *buffer = DumpBufAsStr("abc", -1, 1);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(DumpAsciiAsStr("first"), buffer);
    EXPECT_EQ(DumpAsciiAsStr("second"), buffer);
    EXPECT_STREQ(buffer, "second");
    for (const char *mark : {DumpBufAsStr(nullptr, -1, 1), DumpBufAsStr(nullptr, 0, 1), DumpBufAsStr(nullptr, 5, 0),
                             DumpAsciiAsStr(nullptr)})
        EXPECT_STREQ(mark, "(NULL)");
    const char *empty = DumpBufAsStr("abc", 0, 0);
    EXPECT_STREQ(empty, "(EMPTY)");
    EXPECT_NE(empty, buffer);
    EXPECT_STREQ(DumpAsciiAsStr(""), "(EMPTY)");
    EXPECT_STREQ(buffer, "second") << "the marks leave the buffer alone";
}

TEST(DumpBufAsStr, CutsAfterTheByteThatPassesTheLimit)
{
    const std::string unprintable(2000, '\x01');
    for (auto [bytes, mode, length, ending] : {
             std::tuple<std::string, uint8_t, size_t, const char *>{unprintable, 1, 8196, "<0x01>"},  // 1366 of six
             {unprintable, 0, 8195, "01:. "},                                                          // 1639 of five
             {std::string(9000, 'a'), 1, 8191, "a"}, {std::string(8190, 'a') + unprintable, 1, 8196, "a<0x01>"},
             {std::string(8190, 'a'), 1, 8190, "a"}}) {
        Guarded data(bytes);
        std::string text = DumpBufAsStr(data.text(), static_cast<int>(bytes.size()), mode);
        EXPECT_EQ(text.size(), length);
        EXPECT_TRUE(text.ends_with(ending)) << text.substr(text.size() - 10);
    }
    const std::string long_string(9000, 'a');
    EXPECT_EQ(strlen(DumpAsciiAsStr(long_string.c_str())), 8191u) << "a string is cut where its bytes are";
}

}  // namespace

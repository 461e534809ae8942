// Diagnostic dumps: the exact text written to the real stderr descriptor and
// rendered into the dump buffer, with data that ends where readable memory
// ends, so that any read past the data faults.
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "zt_test.h"
#include "zttools.h"

namespace {

using zt_test::GuardedBytes;
using zt_test::stderr_of;

// bytes copied to the end of readable memory.
struct Guarded {
    explicit Guarded(const std::string &bytes) : block(bytes.size())
    {
        memcpy(block.data(), bytes.data(), bytes.size());
    }
    const char *text() { return reinterpret_cast<const char *>(block.data()); }
    GuardedBytes block;
};

TEST(DumpString, SpellsOutUnprintableBytesWithoutANewline)
{
    struct Case {
        std::string bytes;
        const char *written;
    };
    const Case cases[] = {
        {std::string("A\x01" "b", 3), "A<0x01>b"},
        {std::string("a\0 \n\x7f\xff", 6), "a<0x00> <0x0a><0x7f><0xff>"},
        {"", "(EMPTY)"},
    };
    for (const Case &c : cases) {
        Guarded data(c.bytes);
        EXPECT_EQ(stderr_of([&] { DumpNString(data.text(), c.bytes.size()); }), c.written);
        // The string form, on a NUL that ends readable memory.
        if (c.bytes.find('\0') == std::string::npos) {
            Guarded string(c.bytes + '\0');
            EXPECT_EQ(stderr_of([&] { DumpString(string.text()); }), c.written);
        }
    }
    EXPECT_EQ(stderr_of([] { DumpNString(nullptr, 3); }), "(NULL)");
    EXPECT_EQ(stderr_of([] { DumpString(nullptr); }), "(NULL)");
}

TEST(DumpBuf, WritesFourBytesPerRowAndAShortLastRowUnpadded)
{
    const std::string full_row = "    41 42 43 44 |  65  66  67  68 |  16706  17220 | 1094861636 | ABCD\n";
    struct Case {
        std::string bytes;
        std::string written;
    };
    const Case cases[] = {
        {"ABCD", full_row},
        {"ABCDEF", full_row + "    45 46 |  69  70 |  17734      0 |      (end) | EF\n"},
        {std::string("\xff\x00\x7f\x80", 4),
         "    ff 00 7f 80 | 255   0 127 128 |  65280  32640 | 4278222720 | ....\n"},
        {" ", "    20 |  32 |   8192      0 |      (end) | .\n"},
        {"ABCDxyz", full_row + "    78 79 7a | 120 121 122 |  30841  31232 |      (end) | xyz\n"},
        {"\t~!", "    09 7e 21 |   9 126  33 |   2430   8448 |      (end) | .~!\n"},
    };
    for (const Case &c : cases) {
        Guarded data(c.bytes);
        EXPECT_EQ(stderr_of([&] { DumpBuf(data.text(), static_cast<unsigned>(c.bytes.size())); }),
                  c.written);
    }
    Guarded data("ABCD");
    EXPECT_EQ(stderr_of([&] { DumpBuf(data.text(), 0); }), "(EMPTY)\n");
    EXPECT_EQ(stderr_of([] { DumpBuf(nullptr, 4); }), "(NULL)\n");
}

TEST(DumpBufAsStr, RendersTextOrHexWithinTheData)
{
    struct Case {
        std::string bytes;
        uint8_t mode;
        const char *text;
    };
    const Case cases[] = {
        {std::string("A\x01" "b", 3), 1, "A<0x01>b"},
        {std::string("A\x01" "b", 3), 7, "A<0x01>b"},
        {std::string("A\x01" "b", 3), 0, "41:A 01:. 62:b "},
        {" \xff", 0, "20:. ff:. "},
        {std::string(" \0", 2), 1, " <0x00>"},
    };
    for (const Case &c : cases) {
        Guarded data(c.bytes);
        EXPECT_STREQ(DumpBufAsStr(data.text(), static_cast<int>(c.bytes.size()), c.mode), c.text);
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
    for (int len : {-1, 0, 5})
        EXPECT_STREQ(DumpBufAsStr(nullptr, len, 1), "(NULL)");
    EXPECT_STREQ(DumpAsciiAsStr(nullptr), "(NULL)");
    const char *empty = DumpBufAsStr("abc", 0, 0);
    EXPECT_STREQ(empty, "(EMPTY)");
    EXPECT_NE(empty, buffer);
    EXPECT_STREQ(DumpAsciiAsStr(""), "(EMPTY)");
    EXPECT_STREQ(buffer, "second") << "the marks leave the buffer alone";
}

TEST(DumpBufAsStr, CutsAfterTheByteThatPassesTheLimit)
{
    struct Case {
        std::string bytes;
        uint8_t mode;
        size_t length;
        const char *ending;
    };
    const std::string unprintable(2000, '\x01');
    const Case cases[] = {
        {unprintable, 1, 8196, "<0x01>"},  // 1366 renderings of six
        {unprintable, 0, 8195, "01:. "},   // 1639 of five
        {std::string(9000, 'a'), 1, 8191, "a"},
        {std::string(8190, 'a') + unprintable, 1, 8196, "a<0x01>"},
        {std::string(8190, 'a'), 1, 8190, "a"},
    };
    for (const Case &c : cases) {
        Guarded data(c.bytes);
        std::string text = DumpBufAsStr(data.text(), static_cast<int>(c.bytes.size()), c.mode);
        EXPECT_EQ(text.size(), c.length);
        EXPECT_TRUE(text.ends_with(c.ending)) << text.substr(text.size() - 10);
    }
}

}  // namespace

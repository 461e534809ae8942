// Diagnostic dumps: the exact text written to stderr and rendered into the
// dump buffer, of data that ends where readable memory ends.
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include "internal.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

// bytes copied to the end of readable memory.
struct Guarded : zt_test::GuardedBytes {
    explicit Guarded(const std::string &b) : GuardedBytes(b.size()) { memcpy(data(), b.data(), b.size()); }
    const char *text() { return reinterpret_cast<const char *>(data()); }
};

TEST(Dump, WritesAndRendersBytesUpToTheLimit)
{
    const std::string row = "    41 42 43 44 |  65  66  67  68 |  16706  17220 | 1094861636 | ABCD\n";
    for (auto [bytes, text, hex, rows] :
         std::initializer_list<std::tuple<std::string, const char *, const char *, std::string>>{
             {"", "(EMPTY)", "(EMPTY)", "(EMPTY)\n"}, {"ABCD", "ABCD", "41:A 42:B 43:C 44:D ", row},
             {"ABCDEF", "ABCDEF", "41:A 42:B 43:C 44:D 45:E 46:F ",
              row + "    45 46 |  69  70 |  17734      0 |      (end) | EF\n"},
             {std::string("\xff\0 \x7f", 4), "<0xff><0x00> <0x7f>", "ff:. 00:. 20:. 7f:. ",
              "    ff 00 20 7f | 255   0  32 127 |  65280   8319 | 4278198399 | ....\n"}}) {
        SCOPED_TRACE(text);
        Guarded data(bytes);
        EXPECT_EQ(zt_test::stderr_of([&] { DumpNString(data.text(), bytes.size()); }), text);
        EXPECT_STREQ(DumpBufAsStr(data.text(), static_cast<int>(bytes.size()), 7), text);
        EXPECT_STREQ(DumpBufAsStr(data.text(), static_cast<int>(bytes.size()), 0), hex);
        EXPECT_EQ(zt_test::stderr_of([&] { DumpBuf(data.text(), static_cast<unsigned>(bytes.size())); }),
                  rows);
    }
    EXPECT_EQ(zt_test::stderr_of([] { DumpString("\tb"); }), "<0x09>b");
    EXPECT_EQ(zt_test::stderr_of([] { DumpString(nullptr); }), "(NULL)");
    EXPECT_EQ(zt_test::stderr_of([] { DumpBuf(nullptr, 4); }), "(NULL)\n");
    EXPECT_STREQ(DumpAsciiAsStr(nullptr), "(NULL)");
    EXPECT_STREQ(DumpBufAsStr("abc", -1, 1), "");
    const char *first = DumpAsciiAsStr("first");
    EXPECT_EQ(DumpAsciiAsStr("second"), first) << "one buffer";
    // Rendering is cut after the byte that passes the limit: 1366 renderings
    // of six, 1639 of five.
    const std::string unprintable(2000, '\x01'), as(8190, 'a');
    for (auto [bytes, mode, length] : {std::tuple{unprintable, 1, 8196u}, {unprintable, 0, 8195u},
                                       {as + "aa", 1, 8191u}, {as + unprintable, 1, 8196u}}) {
        Guarded data(bytes);
        EXPECT_EQ(strlen(DumpBufAsStr(data.text(), static_cast<int>(bytes.size()), mode)), length) << mode;
    }
    EXPECT_EQ(strlen(DumpAsciiAsStr((as + "aa").c_str())), 8191u);
}

// The walk of DumpBuf's rows (of 1 MiB here, so that it is short): a length
// whose last row ends at 2^32 ends there, not starting again at offset 0.
TEST(Dump, RowsOfALengthAtTheLimitEnd)
{
    EXPECT_EQ(zt_test::child_failure([] {
                  alarm(5);  // a walk that starts again never ends
                  unsigned rows = 0;
                  zt::for_each_piece(UINT_MAX, 1u << 20, [&](unsigned, unsigned) { rows++; });
                  CHILD_CHECK(rows == 4096);
                  return 0;
              }),
              "");
}

}  // namespace

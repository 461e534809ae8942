// The atob codec: the fixed encodings, decoding with control letters and
// text split anywhere, round trips of every byte value, and the ztatob tool.
#include <string.h>

#include <iterator>
#include <sstream>
#include <string>
#include <tuple>

#include "zt_test.h"
#include "zttools.h"

namespace {

// Encodes bytes in a buffer of exactly the room atobEncode needs, followed by
// memory that faults when touched; returns the text with its terminator.
std::string encode(const std::string &bytes, char term = 'c')
{
    zt_test::GuardedBytes buffer(4 * ((bytes.size() + 2) / 3) + 2);
    char *text = static_cast<char *>(memcpy(buffer.data(), bytes.data(), bytes.size()));
    int length = atobEncode(text, static_cast<int>(bytes.size()), term);
    EXPECT_EQ(strlen(text), static_cast<size_t>(length));
    return std::string(text, static_cast<size_t>(length));
}

// Decodes text in place: the result, the decoded bytes, and the whole buffer.
std::tuple<int, std::string, std::string> decode(ATOB_State &state, std::string text)
{
    int len = static_cast<int>(text.size());
    const int result = atobDecode(&state, text.data(), &len);
    return {result, text.substr(0, static_cast<size_t>(len)), text};
}

TEST(Atob, EncodesGroupsOfThreeAndEndsWithTheTerminator)
{
    for (auto [bytes, term, text] : std::initializer_list<std::tuple<std::string, char, const char *>>{
             {"abc", 'c', "6BCDc"}, {"a", 'c', "1Bc"}, {"ab", 'c', "5BCc"}, {"", 'X', "X"},
             {"abcab", '!', "6BCD5BC!"}, {std::string("\0\0\0", 3), 'c', "!!!!c"},
             {"\xff\xff\xff", 'c', "````c"}, {"\xc0\x40\x80", 'c', "W!!!c"},  // top bits 3, 1, 2: 0b110110
             {"abc\xc0\x40\x80" "abc\xff\xff\xff" "ab", 'c', "6BCDW!!!6BCD````5BCc"}})  // four groups at once
        EXPECT_EQ(encode(bytes, term), text);
    char buffer[8] = "abc";
    for (int refused : {-1, 1610612734})  // the encoded length would not fit an int
        EXPECT_EQ(atobEncode(buffer, refused, 'c'), -1) << refused;
    EXPECT_STREQ(buffer, "abc");
}

TEST(Atob, DecodingFollowsControlLettersAndCarriesTheGroupFromCallToCall)
{
    for (auto [text, result, bytes, phase] :
         std::initializer_list<std::tuple<const char *, int, std::string, int>>{
             {"6BCDc", 5, "abc", 0}, {"6\tB\nC D\n", 0, "abc", 0}, {"", 0, "", 0},
             {"5BCc", 4, "ab", 3},          // "c" leaves the group pending
             {"6BCd", -1, "", 3},           // the run aborts: this call's bytes are dropped
             {"6BeC", 0, "a", 1},           // "e" restarts the group: C starts a new one
             {"6BCDcdXY", 5, "abc", 0},     // nothing after "c" is looked at
             {"6B\rCD", 0, "a\xec" "b", 1},  // a carriage return is data
             {"!\xc8\xc8\xc8", 0, "\xa7\xa7\xa7", 0},  // outside the alphabet: code - 33 mod 256
             {"6BCDW!!!6BCD````6BCDc", 21, "abc\xc0\x40\x80" "abc\xff\xff\xff" "abc", 0}}) {
        ATOB_State state = ATOB_Init;
        auto [got, decoded, buffer] = decode(state, text);
        EXPECT_EQ(std::tuple(got, decoded, state.phase), std::tuple(result, bytes, phase)) << text;
    }
    ATOB_State state = ATOB_Init;
    for (auto [text, buffer] : {std::pair{"6BCD6BCDc", "abcabcCDc"}, {"6BCD6BCD6BCD6BCDc", "abcabcabcabc6BCDc"}})
        EXPECT_EQ(std::get<2>(decode(state, text)), buffer) << "only the decoded bytes are written";
    // After "c" the pending group goes on, after "d" too.
    EXPECT_EQ(std::get<0>(decode(state, "6c")), 2);
    EXPECT_EQ(std::get<0>(decode(state, "Bd")), -1);
    EXPECT_EQ(std::get<1>(decode(state, "CD")), "bc");
    char text[] = "xyz";
    int len = 3;
    EXPECT_EQ(atobDecode(nullptr, text, &len), -1) << "no state";
    EXPECT_EQ(len, 3);
}

// Runs the tool (under the emulator of the tests, if any) with the options.
zt_test::ProgramRun ztatob(const std::string &options, const std::string &input)
{
    std::istringstream words(ZT_EMULATOR " " ZTATOB_PATH " " + options);
    return zt_test::run_program({std::istream_iterator<std::string>(words), {}}, input);
}

TEST(Ztatob, RoundTripsInLinesAndStopsOrRefusesBadText)
{
    // 100000 bytes, every value: three chunks of the encoder, and two reads
    // of 65536 for the decoder, the first ending inside a group after the
    // leading blank.
    std::string bytes(100000, '\0'), lines;
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<char>(i * 37);
    const std::string text = encode(bytes);
    for (size_t at = 0; at < text.size(); at += 64)
        lines += text.substr(at, 64) + "\n";
    const zt_test::ProgramRun encoded = ztatob("", bytes), decoded = ztatob("-d", " " + lines);
    EXPECT_EQ(std::tuple(encoded.status, encoded.err, encoded.out), std::tuple(0, "", lines));
    EXPECT_EQ(std::tuple(decoded.status, decoded.err), std::tuple(0, ""));
    EXPECT_TRUE(decoded.out == bytes) << "decoded to " << decoded.out.size() << " bytes";
    const std::string refused = " is not an atob letter\n";
    for (auto [args, input, status, out, err] :
         std::initializer_list<std::tuple<const char *, std::string, int, std::string, std::string>>{
             {"-w 3", "abcab", 0, "6BC\nD5B\nCc\n", ""}, {"-w 4", "abc", 0, "6BCD\nc\n", ""},
             {"-w0", "abcabc", 0, "6BCD6BCDc\n", ""}, {"-d", "6Be6B\tC D\nc\r\nd~", 0, "aabc", ""},
             {"-d", "6BCD5BCd", 1, "", "ztatob: the text aborted the data (\"d\")\n"},
             {"-d", "6BC", 65, "ab", "ztatob: the text ended before its terminator \"c\"\n"},
             {"-d", "6B~", 65, "a", "ztatob: 0x7e at offset 2" + refused},
             {"-d", std::string(70000, ' ') + "\r\n", 65, "", "ztatob: 0x0d at offset 70000" + refused},
             {"--decode --lenient", "6BCD\r\n5BCc", 0, "abc\x94\xe1\"", ""}}) {
        const zt_test::ProgramRun run = ztatob(args, input);
        EXPECT_EQ(std::tuple(run.status, run.out, run.err), std::tuple(status, out, err)) << args << input;
    }
}

}  // namespace

// The atob codec: the fixed encodings, decoding with control letters and
// text split anywhere, round trips of every byte value, and the ztatob tool.
#include <string.h>

#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "zt_test.h"
#include "zttools.h"

namespace {

using Strings = std::vector<std::string>;

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

struct Decoded {
    int result;
    std::string bytes, rest;  // rest: the buffer after the decoded bytes
};

Decoded decode(ATOB_State &state, std::string buffer)
{
    int len = static_cast<int>(buffer.size());
    int result = atobDecode(&state, buffer.data(), &len);
    return {result, buffer.substr(0, static_cast<size_t>(len)), buffer.substr(static_cast<size_t>(len))};
}

TEST(Atob, EncodesGroupsOfThreeAndEndsWithTheTerminator)
{
    for (auto [bytes, term, text] : std::initializer_list<std::tuple<std::string, char, const char *>>{
             {"abc", 'c', "6BCDc"}, {"a", 'c', "1Bc"}, {"ab", 'c', "5BCc"}, {"", 'X', "X"}, {"abcab", '!', "6BCD5BC!"},
             {std::string("\0\0\0", 3), 'c', "!!!!c"}, {"\xff\xff\xff", 'c', "````c"},
             {"\xc0\x40\x80", 'c', "W!!!c"}})  // the top bits alone: 3, 1, 2 packed as 0b110110
        EXPECT_EQ(encode(bytes, term), text);
    char buffer[8] = "abc";
    for (int refused : {-1, 1610612734})  // the encoded length would not fit an int
        EXPECT_EQ(atobEncode(buffer, refused, 'c'), -1) << refused;
    EXPECT_STREQ(buffer, "abc");
}

TEST(Atob, DecodingFollowsControlLettersAndCarriesTheGroupFromCallToCall)
{
    for (auto [text, result, bytes, phase] : std::initializer_list<std::tuple<const char *, int, std::string, int>>{
             {"6BCDc", 5, "abc", 0}, {"6\tB\nC D\n", 0, "abc", 0},
             {"6BCd", -1, "", 3},           // the run aborts: this call's bytes are dropped
             {"6BeC", 0, "a", 1},           // "e" restarts the group: C starts a new one
             {"6Bc", 3, "a", 2},            // "c" leaves the group pending
             {"6BCDcdXY", 5, "abc", 0},     // nothing after "c" is looked at
             {"6B\rCD", 0, "a\xec" "b", 1},  // a carriage return is data
             {"!\xc8\xc8\xc8", 0, "\xa7\xa7\xa7", 0}}) {  // outside the alphabet: code - 33 mod 256
        ATOB_State state = ATOB_Init;
        Decoded out = decode(state, text);
        EXPECT_EQ(std::tuple(out.result, out.bytes, state.phase), std::tuple(result, bytes, phase)) << text;
    }
    ATOB_State state = ATOB_Init;
    EXPECT_EQ(decode(state, "6BCD6BCDc").rest, "CDc") << "only the decoded bytes are written";
    // After "c" the pending group goes on, after "d" too.
    EXPECT_EQ(decode(state, "6c").result, 2);
    EXPECT_EQ(decode(state, "Bd").result, -1);
    EXPECT_EQ(decode(state, "CD").bytes, "bc");
    // A record with a phase out of range skips data until "e".
    state.phase = 7;
    EXPECT_EQ(decode(state, "6BCDe6BCD").bytes, "abc");
    // No state, or a count of zero or less: nothing decoded.
    char text[] = "xyz";
    int len = 3;
    EXPECT_EQ(atobDecode(nullptr, text, &len), -1);
    EXPECT_EQ(len, 3);
    len = -5;
    EXPECT_EQ(atobDecode(&state, text, &len), 0);
    EXPECT_EQ(len, 0);
}

// n bytes that, from 256 on, hold every byte value.
std::string sample(size_t n)
{
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; i++)
        bytes[i] = static_cast<char>(i * 37 + n * 11);
    return bytes;
}

TEST(Atob, EveryLengthRoundTripsWhereverTheTextIsSplit)
{
    for (size_t n = 0; n <= 300; n++) {
        SCOPED_TRACE(n);
        const std::string bytes = sample(n), text = encode(bytes);
        ASSERT_EQ(text.size(), 4 * (n / 3) + (n % 3 ? n % 3 + 2 : 1));
        for (size_t split = 0; split <= text.size(); split++) {
            ATOB_State state = ATOB_Init;
            Decoded head = decode(state, text.substr(0, split)), tail = decode(state, text.substr(split));
            ASSERT_EQ(head.result, split == text.size() ? static_cast<int>(split) : 0);
            ASSERT_EQ(tail.result, static_cast<int>(text.size() - split));
            ASSERT_EQ(head.bytes + tail.bytes, bytes) << "split at " << split;
        }
    }
}

zt_test::ProgramRun ztatob(const Strings &args, const std::string &input)
{
    std::istringstream emulator(ZT_EMULATOR " " ZTATOB_PATH);
    Strings command{std::istream_iterator<std::string>(emulator), {}};
    command.insert(command.end(), args.begin(), args.end());
    return zt_test::run_program(command, input);
}

TEST(Ztatob, RoundTripsInLinesOfTheGivenWidth)
{
    // Around the tool's encoding chunk of 49152 bytes too; the decoder reads
    // 65536 bytes at a time, and the blank before the text puts the end of
    // the first read inside a group.
    for (size_t n : {0, 49152, 100000}) {
        SCOPED_TRACE(n);
        std::string bytes = sample(n), text = encode(bytes), lines;
        for (size_t at = 0; at < text.size(); at += 64)
            lines += text.substr(at, 64) + "\n";
        zt_test::ProgramRun encoded = ztatob({}, bytes);
        EXPECT_EQ(std::tuple(encoded.status, encoded.err, encoded.out), std::tuple(0, "", lines));
        zt_test::ProgramRun decoded = ztatob({"-d"}, " " + encoded.out);
        EXPECT_EQ(std::tuple(decoded.status, decoded.err), std::tuple(0, ""));
        EXPECT_TRUE(decoded.out == bytes) << "decoded " << decoded.out.size() << " bytes";
    }
    for (auto [width, bytes, text] : {std::tuple{"3", "abcab", "6BC\nD5B\nCc\n"}, {"4", "abc", "6BCD\nc\n"},
                                      {"0", "abcabc", "6BCD6BCDc\n"}})
        EXPECT_EQ(ztatob({"-w", width}, bytes).out, text) << width;
    const std::string width = "ztatob: --width needs a width of 0 or more, not ";
    for (const char *refused : {"wide", "", "-1"}) {
        zt_test::ProgramRun run = ztatob({"--width", refused}, "abc");
        EXPECT_EQ(run.status, 64);
        EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1), width + "\"" + refused + "\"\n");
    }
}

TEST(Ztatob, DecodingStopsAtTheControlLettersAndRefusesOtherLetters)
{
    const std::string unterminated = "ztatob: the text ended before its terminator \"c\"\n";
    const std::string carriage_return = "ztatob: 0x0d at offset 4 is not an atob letter\n";
    for (auto [input, status, out, err] : std::initializer_list<std::tuple<std::string, int, const char *, std::string>>{
             {"6BCDcdgarbage", 0, "abc", ""}, {"6Be6B\tC D\nc\n", 0, "aabc", ""}, {"6BCDc\r\n", 0, "abc", ""},
             {"6BCD5BCd", 1, "", "ztatob: the text aborted the data (\"d\")\n"}, {"6BC", 65, "ab", unterminated},
             {"", 65, "", unterminated}, {"6BCD\r\n5BCc\r\n", 65, "abc", carriage_return},
             {"6B~", 65, "a", "ztatob: 0x7e at offset 2 is not an atob letter\n"},
             {std::string(70000, ' ') + "\r", 65, "", "ztatob: 0x0d at offset 70000 is not an atob letter\n"}}) {
        zt_test::ProgramRun run = ztatob({"-d"}, input);
        EXPECT_EQ(std::tie(run.status, run.out, run.err), std::tie(status, out, err)) << input.substr(0, 20);
    }
    // Told to be lenient, it decodes them as the codec does.
    ATOB_State state = ATOB_Init;
    const std::string lenient = "6BCD\r\n5BCc";
    zt_test::ProgramRun run = ztatob({"--decode", "--lenient"}, lenient);
    EXPECT_EQ(std::tuple(run.status, run.out, run.err), std::tuple(0, decode(state, lenient).bytes, ""));
}

}  // namespace

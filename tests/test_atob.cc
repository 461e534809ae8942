// The atob codec: the fixed encodings, decoding with control letters and
// pieces split anywhere, round trips of every byte value, and the ztatob
// tool run as a process with its input arriving through a pipe in pieces.
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iterator>
#include <random>
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

TEST(AtobEncode, EncodesGroupsOfThreeAndEndsWithTheTerminator)
{
    const struct {
        std::string bytes;
        char term;
        const char *text;
    } cases[] = {
        {"abc", 'c', "6BCDc"}, {"a", 'c', "1Bc"}, {"ab", 'c', "5BCc"}, {"", 'X', "X"}, {"abcab", '!', "6BCD5BC!"},
        {std::string("\0\0\0", 3), 'c', "!!!!c"}, {"\xff\xff\xff", 'c', "````c"},
        {"\xc0\x40\x80", 'c', "W!!!c"},  // the top bits alone: 3, 1, 2 packed as 0b110110
    };
    for (const auto &c : cases)
        EXPECT_EQ(encode(c.bytes, c.term), c.text);
    char buffer[8] = "abc";
    EXPECT_EQ(atobEncode(buffer, -1, 'c'), -1);
    EXPECT_EQ(atobEncode(nullptr, 0, 'c'), -1);
    EXPECT_EQ(atobEncode(buffer, 1610612734, 'c'), -1);  // the encoded length would not fit an int
    EXPECT_STREQ(buffer, "abc");
}

TEST(AtobDecode, FollowsControlLettersAndIgnoresBlanks)
{
    const struct {
        const char *text;
        int result;
        std::string bytes;
        int phase;
    } cases[] = {
        {"6BCDc", 5, "abc", 0}, {"6\tB\nC D\n", 0, "abc", 0},
        {"6BCd", -1, "", 3},           // the run aborts: this call's bytes are dropped
        {"6BeC", 0, "a", 1},           // "e" restarts the group: C starts a new one
        {"6Bc", 3, "a", 2},            // "c" leaves the group pending
        {"6BCDcdXY", 5, "abc", 0},     // nothing after "c" is looked at
        {"6B\rCD", 0, "a\xec" "b", 1},  // a carriage return is data
        {"!\xc8\xc8\xc8", 0, "\xa7\xa7\xa7", 0},  // outside the alphabet: code - 33 mod 256
    };
    for (const auto &c : cases) {
        ATOB_State state = ATOB_Init;
        Decoded out = decode(state, c.text);
        EXPECT_EQ(std::tuple(out.result, out.bytes, state.phase, state.reserved),
                  std::tuple(c.result, c.bytes, c.phase, 0u)) << c.text;
    }
    // Only the decoded bytes are written: the text after them stays.
    ATOB_State fresh = ATOB_Init;
    EXPECT_EQ(decode(fresh, "6BCD6BCDc").rest, "CDc");
    // Missing arguments; counts of zero or less decode nothing.
    ATOB_State state = ATOB_Init;
    char text[] = "xyz";
    int len = 3;
    EXPECT_EQ(atobDecode(nullptr, text, &len), -1);
    EXPECT_EQ(atobDecode(&state, nullptr, &len), -1);
    EXPECT_EQ(len, 3);
    EXPECT_EQ(atobDecode(&state, text, nullptr), -1);
    for (int count : {0, -5}) {
        len = count;
        EXPECT_EQ(atobDecode(&state, text, &len), 0);
        EXPECT_EQ(len, 0);
    }
    EXPECT_STREQ(text, "xyz");
    EXPECT_EQ(state.phase, 0);
}

TEST(AtobDecode, CarriesTheGroupFromCallToCall)
{
    ATOB_State state = ATOB_Init;
    Decoded first = decode(state, "6B");
    EXPECT_EQ(std::tuple(first.result, first.bytes, first.rest), std::tuple(0, "a", "B"));  // B: not yet overwritten
    EXPECT_EQ(decode(state, "CD").bytes, "bc");
    // After "c" the pending group goes on, after "d" too.
    EXPECT_EQ(decode(state, "6c").result, 2);
    EXPECT_EQ(decode(state, "Bd").result, -1);
    EXPECT_EQ(decode(state, "CD").bytes, "bc");
    // A record with a phase out of range skips data until "e".
    state.phase = 7;
    EXPECT_EQ(decode(state, "6BCD").bytes, "");
    EXPECT_EQ(decode(state, "e6BCD").bytes, "abc");
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
        for (size_t i = 0; i + 1 < text.size(); i++)
            ASSERT_TRUE(text[i] >= '!' && text[i] <= '`') << "character " << i;
        for (size_t split = 0; split <= text.size(); split++) {
            ATOB_State state = ATOB_Init;
            Decoded head = decode(state, text.substr(0, split)), tail = decode(state, text.substr(split));
            ASSERT_EQ(head.result, split == text.size() ? static_cast<int>(split) : 0);
            ASSERT_EQ(tail.result, static_cast<int>(text.size() - split));
            ASSERT_EQ(head.bytes + tail.bytes, bytes) << "split at " << split;
        }
    }
}

struct ToolRun {
    int status;  // the exit status, -1 if it did not exit
    std::string out, err;
};

// Runs ztatob with input written to its pipe in the given pieces, each sent
// only when the tool has read everything before it, so that each read it
// makes returns exactly one piece.
ToolRun run_tool(Strings command, const Strings &pieces)
{
    std::istringstream emulator(ZT_EMULATOR " " ZTATOB_PATH);
    Strings words{std::istream_iterator<std::string>(emulator), {}};
    command.insert(command.begin(), words.begin(), words.end());
    std::vector<char *> argv;
    for (std::string &word : command)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    int input[2];
    EXPECT_EQ(pipe2(input, O_CLOEXEC), 0);
    int out = memfd_create("out", MFD_CLOEXEC), err = memfd_create("err", MFD_CLOEXEC);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(input[0], STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(input[0]);
    signal(SIGPIPE, SIG_IGN);
    for (const std::string &piece : pieces) {
        if (write(input[1], piece.data(), piece.size()) != static_cast<ssize_t>(piece.size()))
            break;  // the tool stopped reading
        siginfo_t info = {};  // si_pid stays 0 while the child runs
        for (int unread = 1; ioctl(input[1], FIONREAD, &unread) == 0 && unread > 0 &&
                             waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                             info.si_pid == 0;)
            usleep(100);
    }
    close(input[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    ToolRun run = {WIFEXITED(status) ? WEXITSTATUS(status) : -1, zt_test::file_text(out),
                   zt_test::file_text(err)};
    close(out);
    close(err);
    return run;
}

// text cut at random places into pieces of 1 to max bytes.
Strings pieces(const std::string &text, std::mt19937 &random, size_t max)
{
    Strings out;
    for (size_t at = 0, take; at < text.size(); at += take)
        out.push_back(text.substr(at, take = std::uniform_int_distribution<size_t>(1, max)(random)));
    return out;
}

TEST(Ztatob, RoundTripsEveryByteThroughPipesInRandomPiecesAndWraps)
{
    std::mt19937 random(6);
    // Around the tool's encoding chunk of 12288 bytes too.
    for (size_t n : {0, 1, 2, 3, 100, 12287, 12288, 12289, 40000}) {
        SCOPED_TRACE(n);
        std::string bytes = sample(n), text = encode(bytes), lines;
        // Lines of 64 characters, the last one ending in the terminator.
        for (size_t at = 0; at < text.size(); at += 64)
            lines += text.substr(at, 64) + "\n";
        ToolRun encoded = run_tool({}, pieces(bytes, random, 5000));
        EXPECT_EQ(std::tuple(encoded.status, encoded.err, encoded.out), std::tuple(0, "", lines));
        ToolRun decoded = run_tool({"-d"}, pieces(encoded.out, random, n < 1000 ? 3 : 700));
        EXPECT_EQ(std::tuple(decoded.status, decoded.err), std::tuple(0, ""));
        EXPECT_TRUE(decoded.out == bytes) << "decoded " << decoded.out.size() << " bytes";
    }
    EXPECT_EQ(run_tool({"-w", "3"}, {"abcab"}).out, "6BC\nD5B\nCc\n");
    EXPECT_EQ(run_tool({"-w", "0"}, {sample(99)}).out, encode(sample(99)) + "\n");
    EXPECT_EQ(run_tool({"-w", "4"}, {"abc"}).out, "6BCD\nc\n");
}

TEST(Ztatob, DecodingObeysTheControlLettersAndRefusesOtherLetters)
{
    const std::string unterminated = "ztatob: the text ended before its terminator \"c\"\n";
    const std::string carriage_return = "ztatob: 0x0d at offset 4 is not an atob letter\n";
    const struct {
        Strings pieces;
        int status;
        std::string out, err;
    } cases[] = {
        {{"6", "BCD", "cd", "garbage"}, 0, "abc", ""}, {{"6Be6B\tC D\nc\n"}, 0, "aabc", ""},
        {{"6BCD", "5BCd"}, 1, "abc", "ztatob: the text aborted the data (\"d\")\n"},
        {{"6BC"}, 65, "ab", unterminated}, {{}, 65, "", unterminated},
        // CRLF line ends, at the start of a piece after others, and a letter
        // beyond the alphabet; text after the "c" is not looked at.
        {{"6BCD\r\n5BCc\r\n"}, 65, "abc", carriage_return}, {{"6BCD", "\r\n"}, 65, "abc", carriage_return},
        {{"6B~"}, 65, "a", "ztatob: 0x7e at offset 2 is not an atob letter\n"}, {{"6BCDc\r\n"}, 0, "abc", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pieces.empty() ? "" : c.pieces[0]);
        ToolRun run = run_tool({"-d"}, c.pieces);
        EXPECT_EQ(std::tie(run.status, run.out, run.err), std::tie(c.status, c.out, c.err));
    }
    // Told to be lenient, it decodes them as the codec does.
    std::string lenient = "6BCD\r\n5BCc";
    int length = static_cast<int>(lenient.size());
    ATOB_State state = ATOB_Init;
    ASSERT_GT(atobDecode(&state, lenient.data(), &length), 0);
    ToolRun run = run_tool({"--decode", "--lenient"}, {"6BCD\r\n5BCc"});
    EXPECT_EQ(std::tuple(run.status, run.out, run.err), std::tuple(0, lenient.substr(0, length), ""));
}

TEST(Ztatob, HelpAndUsageErrors)
{
    ToolRun help = run_tool({"--help"}, {});
    EXPECT_EQ(std::tuple(help.status, help.out.substr(0, 13)), std::tuple(0, "usage: ztatob"));
    const std::string width = "ztatob: --width needs a width of 0 or more, not ";
    for (auto [args, first_line] : {std::pair<Strings, std::string>{{"-x"}, "ztatob: invalid option -- 'x'\n"},
                                    {{"-w", "wide"}, width + "\"wide\"\n"}, {{"--width="}, width + "\"\"\n"},
                                    {{"-w", "-1"}, width + "\"-1\"\n"}}) {
        ToolRun run = run_tool(args, {"abc"});
        EXPECT_EQ(std::tuple(run.status, run.out, run.err.substr(0, first_line.size())), std::tuple(64, "", first_line));
    }
}

}  // namespace

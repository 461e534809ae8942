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

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "zt_test.h"
#include "zttools.h"

namespace {

// The buffer that atobEncode needs for n bytes.
size_t encode_room(size_t n)
{
    return 4 * ((n + 2) / 3) + 2;
}

// Encodes bytes in a buffer of exactly the room it needs, followed by memory
// that faults when touched; returns the text with its terminator.
std::string encode(const std::string &bytes, char term = 'c')
{
    zt_test::GuardedBytes buffer(encode_room(bytes.size()));
    memcpy(buffer.data(), bytes.data(), bytes.size());
    char *text = reinterpret_cast<char *>(buffer.data());
    int length = atobEncode(text, static_cast<int>(bytes.size()), term);
    EXPECT_EQ(text[length], '\0');
    EXPECT_EQ(strlen(text), static_cast<size_t>(length));
    return std::string(text, static_cast<size_t>(length));
}

struct Decoded {
    int result;
    std::string bytes;
    std::string rest;  // the buffer after the decoded bytes
};

Decoded decode(ATOB_State &state, const std::string &text)
{
    std::string buffer = text;
    int len = static_cast<int>(buffer.size());
    int result = atobDecode(&state, buffer.data(), &len);
    return {result, buffer.substr(0, static_cast<size_t>(len)),
            buffer.substr(static_cast<size_t>(len))};
}

TEST(AtobEncode, EncodesGroupsOfThreeAndEndsWithTheTerminator)
{
    struct Case {
        std::string bytes;
        char term;
        const char *text;
    };
    const Case cases[] = {
        {"abc", 'c', "6BCDc"},
        {"a", 'c', "1Bc"},
        {"ab", 'c', "5BCc"},
        {"", 'c', "c"},
        {"", 'X', "X"},
        {"abcab", '!', "6BCD5BC!"},
        {std::string("\0\0\0", 3), 'c', "!!!!c"},
        {"\xff\xff\xff", 'c', "````c"},
        {"\xc0\x40\x80", 'c', "W!!!c"},  // the top bits alone: 3, 1, 2 packed as 0b110110
    };
    for (const Case &c : cases)
        EXPECT_EQ(encode(c.bytes, c.term), c.text);
}

TEST(AtobEncode, RefusesLengthsItCannotEncode)
{
    char buffer[8] = "abc";
    EXPECT_EQ(atobEncode(buffer, -1, 'c'), -1);
    EXPECT_EQ(atobEncode(nullptr, 0, 'c'), -1);
    // The encoded length of this many bytes would not fit an int.
    EXPECT_EQ(atobEncode(buffer, 1610612734, 'c'), -1);
    EXPECT_STREQ(buffer, "abc");
}

TEST(AtobDecode, FollowsControlLettersAndIgnoresBlanks)
{
    struct Case {
        const char *text;
        int result;
        std::string bytes;
        int phase;
    };
    const Case cases[] = {
        {"6BCDc", 5, "abc", 0},
        {"6B CD", 0, "abc", 0},
        {"6\tB\nC D\n", 0, "abc", 0},
        {"6BCd", -1, "", 3},      // the run aborts: this call's bytes are dropped
        {"6BeC", 0, "a", 1},      // "e" restarts the group: C starts a new one
        {"6Bc", 3, "a", 2},       // "c" leaves the group pending
        {"6BCDcdXY", 5, "abc", 0},  // nothing after "c" is looked at
        {"6B\rCD", 0, "a\xec" "b", 1},  // a carriage return is data
        {"!\xc8\xc8\xc8", 0, "\xa7\xa7\xa7", 0},  // outside the alphabet: code - 33 mod 256
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        ATOB_State state = ATOB_Init;
        Decoded out = decode(state, c.text);
        EXPECT_EQ(out.result, c.result);
        EXPECT_EQ(out.bytes, c.bytes);
        EXPECT_EQ(state.phase, c.phase);
        EXPECT_EQ(state.reserved, 0u);
    }
}

TEST(AtobDecode, CarriesTheGroupFromCallToCall)
{
    ATOB_State state = ATOB_Init;
    Decoded first = decode(state, "6B");
    EXPECT_EQ(first.result, 0);
    EXPECT_EQ(first.bytes, "a");
    EXPECT_EQ(first.rest, "B") << "the text not yet overwritten stays";
    Decoded second = decode(state, "CD");
    EXPECT_EQ(second.result, 0);
    EXPECT_EQ(second.bytes, "bc");
    // After "c" the pending group goes on, after "d" too.
    EXPECT_EQ(decode(state, "6c").result, 2);
    EXPECT_EQ(decode(state, "Bd").result, -1);
    EXPECT_EQ(decode(state, "CD").bytes, "bc");
    // A record with a phase out of range skips data until "e".
    state.phase = 7;
    EXPECT_EQ(decode(state, "6BCD").bytes, "");
    EXPECT_EQ(decode(state, "e6BCD").bytes, "abc");
}

TEST(AtobDecode, RefusesMissingArguments)
{
    ATOB_State state = ATOB_Init;
    char text[] = "xyz";
    int len = 3;
    EXPECT_EQ(atobDecode(nullptr, text, &len), -1);
    EXPECT_EQ(len, 3);
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
        const std::string bytes = sample(n);
        const std::string text = encode(bytes);
        const size_t expected = n % 3 == 0 ? 4 * (n / 3) + 1 : 4 * (n / 3) + n % 3 + 2;
        ASSERT_EQ(text.size(), expected);
        for (size_t i = 0; i + 1 < text.size(); i++)
            ASSERT_TRUE(text[i] >= '!' && text[i] <= '`') << "character " << i;
        for (size_t split = 0; split <= text.size(); split++) {
            ATOB_State state = ATOB_Init;
            Decoded head = decode(state, text.substr(0, split));
            Decoded tail = decode(state, text.substr(split));
            const size_t tail_length = text.size() - split;
            ASSERT_EQ(head.result, split == text.size() ? static_cast<int>(split) : 0);
            ASSERT_EQ(tail.result, static_cast<int>(tail_length));
            ASSERT_EQ(head.bytes + tail.bytes, bytes) << "split at " << split;
        }
    }
}

// ---- the tool ----------------------------------------------------------------

struct ToolRun {
    int status;
    std::string out, err;
};

std::string file_text(int fd)
{
    std::string text;
    char chunk[65536];
    ssize_t n;
    for (off_t at = 0; (n = pread(fd, chunk, sizeof chunk, at)) > 0; at += n)
        text.append(chunk, static_cast<size_t>(n));
    return text;
}

// Whether the child has not exited yet (it stays to be waited for).
bool running(pid_t pid)
{
    siginfo_t info = {};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

// Runs ztatob with input written to its pipe in the given pieces, each sent
// only when the tool has read everything before it, so that each read it
// makes returns exactly one piece.
ToolRun run_tool(const std::vector<std::string> &args, const std::vector<std::string> &pieces)
{
    std::vector<std::string> command;
    std::istringstream emulator(ZT_EMULATOR);
    for (std::string word; emulator >> word;)
        command.push_back(word);
    command.push_back(ZTATOB_PATH);
    command.insert(command.end(), args.begin(), args.end());
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
        int unread = 1;
        while (ioctl(input[1], FIONREAD, &unread) == 0 && unread > 0 && running(pid))
            usleep(100);
    }
    close(input[1]);
    ToolRun run = {-1, "", ""};
    waitpid(pid, &run.status, 0);
    run.out = file_text(out);
    run.err = file_text(err);
    close(out);
    close(err);
    return run;
}

int exit_status(const ToolRun &run)
{
    return WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1;
}

// text cut at random places into pieces of 1 to max bytes.
std::vector<std::string> pieces(const std::string &text, std::mt19937 &random, size_t max)
{
    std::vector<std::string> out;
    for (size_t at = 0; at < text.size();) {
        size_t take = std::uniform_int_distribution<size_t>(1, max)(random);
        out.push_back(text.substr(at, take));
        at += take;
    }
    return out;
}

TEST(Ztatob, RoundTripsEveryByteThroughPipesInRandomPieces)
{
    std::mt19937 random(6);
    // Around the tool's encoding chunk of 12288 bytes too.
    for (size_t n : {0, 1, 2, 3, 100, 12287, 12288, 12289, 40000}) {
        SCOPED_TRACE(n);
        std::string bytes = sample(n);
        ToolRun encoded = run_tool({}, pieces(bytes, random, 5000));
        ASSERT_EQ(exit_status(encoded), 0) << encoded.err;
        EXPECT_EQ(encoded.err, "");
        // Lines of 64 characters, the last one ending in the terminator.
        const std::string text = encode(bytes);
        std::string lines;
        for (size_t at = 0; at < text.size(); at += 64)
            lines += text.substr(at, 64) + "\n";
        EXPECT_EQ(encoded.out, lines);
        ToolRun decoded = run_tool({"-d"}, pieces(encoded.out, random, n < 1000 ? 3 : 700));
        ASSERT_EQ(exit_status(decoded), 0) << decoded.err;
        EXPECT_EQ(decoded.err, "");
        EXPECT_TRUE(decoded.out == bytes) << "decoded " << decoded.out.size() << " bytes";
    }
}

TEST(Ztatob, WrapsAtTheGivenWidth)
{
    EXPECT_EQ(run_tool({"-w", "3"}, {"abcab"}).out, "6BC\nD5B\nCc\n");
    EXPECT_EQ(run_tool({"-w", "0"}, {sample(99)}).out, encode(sample(99)) + "\n");
    EXPECT_EQ(run_tool({"-w", "4"}, {"abc"}).out, "6BCD\nc\n");
}

TEST(Ztatob, DecodingObeysTheControlLetters)
{
    struct Case {
        std::vector<std::string> pieces;
        int status;
        std::string out;
        const char *err;
    };
    const Case cases[] = {
        {{"6BCDc"}, 0, "abc", ""},
        {{"6", "BCD", "c", "garbage"}, 0, "abc", ""},
        {{"6BCDcd"}, 0, "abc", ""},
        {{"6Be6BCD\nc\n"}, 0, "aabc", ""},
        {{"6BCD", "5BCd"}, 1, "abc", "ztatob: the text aborted the data (\"d\")\n"},
        {{"6BC"}, 4, "ab", "ztatob: the text ended before its terminator \"c\"\n"},
        {{}, 4, "", "ztatob: the text ended before its terminator \"c\"\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pieces.empty() ? "" : c.pieces[0]);
        ToolRun run = run_tool({"-d"}, c.pieces);
        EXPECT_EQ(exit_status(run), c.status);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, c.err);
    }
}

TEST(Ztatob, HelpAndUsageErrors)
{
    ToolRun help = run_tool({"--help"}, {});
    EXPECT_EQ(exit_status(help), 0);
    EXPECT_TRUE(help.out.starts_with("usage: ztatob")) << help.out;
    struct Case {
        std::vector<std::string> args;
        const char *first_line;
    };
    const Case cases[] = {
        {{"-x"}, "ztatob: unknown argument \"-x\"\n"},
        {{"-w", "wide"}, "ztatob: -w needs a width of 0 or more, not \"wide\"\n"},
        {{"-w"}, "ztatob: -w needs a width of 0 or more, not \"\"\n"},
        {{"-w", "-1"}, "ztatob: -w needs a width of 0 or more, not \"-1\"\n"},
    };
    for (const Case &c : cases) {
        ToolRun run = run_tool(c.args, {"abc"});
        EXPECT_EQ(exit_status(run), 2);
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.err.starts_with(c.first_line)) << run.err;
    }
}

}  // namespace

// The socket buffer over real socket pairs: line ends, data in pieces, reads
// that never wait, the peer's shutdown, pieces by length, writes, no memory.
#include <errno.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

// A buffer on one end of a stream socket pair; the test is the peer.
struct SockBufTest : testing::Test {
    SockBufTest()
    {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        SockBufSetSocket(SockBufNew(&buf), fds[0]);
    }
    ~SockBufTest() override
    {
        free(buf.bytes);
        close(fds[0]);
        close(fds[1]);
    }
    void send_peer(const std::string &s) { ASSERT_EQ(write(fds[1], s.data(), s.size()), ssize_t(s.size())); }
    std::string buffered() const { return std::string(buf.bytes, size_t(buf.len)); }
    int fds[2] = {-1, -1};
    SockBuf buf;
};

// The string a call returned (freed), or "<null>".
std::string own(char *text)
{
    std::string s = text ? text : "<null>";
    free(text);
    return s;
}

TEST_F(SockBufTest, LinesAreReadBeforeTheyAreLookedFor)
{
    EXPECT_EQ(own(SockBufGetLine(&buf)), "<null>");  // no block yet
    send_peer("ab\r\ncd\r\n");
    int status = -1;
    EXPECT_EQ(own(SockBufReadLine(&buf, &status)), "ab\r\n");
    EXPECT_EQ(status, SOCKBUF_OK);
    EXPECT_EQ(own(SockBufReadLine(&buf, &status)), "<null>");
    EXPECT_EQ(status, SOCKBUF_NODATA);
    EXPECT_EQ(own(SockBufGetLine(&buf)), "cd\r\n");
    // A CR that came alone was a whole line end: the LF behind it is a line.
    send_peer("he");
    EXPECT_EQ(own(SockBufReadLine(&buf, nullptr)), "<null>");
    send_peer("llo\r");
    EXPECT_EQ(own(SockBufReadLine(&buf, &status)), "hello\r");
    send_peer("\nworld\n");
    EXPECT_EQ(own(SockBufReadLine(&buf, &status)), "\n");
    EXPECT_EQ(own(SockBufGetLine(&buf)), "world\n");

    const std::string nul("a\0\n", 3);
    const std::string cases[][3] = {{"a\n\rb", "a\n\r", "b"}, {"a\r\r", "a\r", "\r"}, {"\n\n", "\n", "\n"},
                                    {"abc", "<null>", "abc"}, {nul, "<null>", nul}};
    for (const auto &[bytes, line, rest] : cases) {
        SockBufWrite(SockBufReset(&buf), bytes.data(), int(bytes.size()));
        EXPECT_EQ(own(SockBufGetLine(&buf)), line) << bytes;
        EXPECT_EQ(buffered(), rest) << bytes;
        EXPECT_TRUE(line == "<null>" || buf.bytes[buf.len] == '\0') << bytes;  // the rest reads as a string
    }
}

TEST_F(SockBufTest, ReadsTakeOnlyWhatIsPendingAndPiecesGoByLength)
{
    EXPECT_EQ(SockBufRead(&buf), SOCKBUF_NODATA);  // a blocking socket, and no wait
    send_peer("0123456789");
    EXPECT_EQ(SockBufReadMax(&buf, 3), SOCKBUF_OK);
    int pending = -1;
    ioctl(fds[0], FIONREAD, &pending);
    EXPECT_EQ(pending, 7);
    EXPECT_EQ(SockBufReadMax(&buf, -1), SOCKBUF_OK);
    shutdown(fds[1], SHUT_WR);
    EXPECT_EQ(SockBufRead(&buf), SOCKBUF_NODATA);
    EXPECT_EQ(own(SockBufGetStr(&buf, 11)), "<null>");
    EXPECT_EQ(own(SockBufGetStr(&buf, 0)), "");
    EXPECT_EQ(own(SockBufGetStr(&buf, 2)), "01");
    EXPECT_STREQ(SockBufPtr(&buf), "23456789");
    EXPECT_EQ(own(SockBufGetStr(&buf, 8)), "23456789") << "every buffered byte";
    SockBufWrite(SockBufReset(&buf), "x\0yz", 4);
    EXPECT_EQ(own(SockBufGetStr(&buf, 3)), "x");  // the zero byte ends the copy
    EXPECT_EQ(buffered(), "z");
    SockBufWriteStr(&buf, "123");
    EXPECT_EQ(SockBufResetLen(&buf, 2), 2);
    EXPECT_EQ(buffered(), "23");
    EXPECT_EQ(SockBufResetLen(&buf, 3), 0);
    EXPECT_EQ(SockBufResetLen(nullptr, 1), -1);

    SockBuf other = {5, reinterpret_cast<char *>(16), 9};  // overwritten, not freed
    EXPECT_EQ(SockBufLen(SockBufNew(&other)), 0);
    errno = 0;
    EXPECT_EQ(SockBufRead(&other), SOCKBUF_ERROR);  // no socket
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(SockBufRead(nullptr), SOCKBUF_ERROR);
    SockBuf *allocated = SockBufNew(nullptr);
    SockBufWriteStr(allocated, "held");
    SockBufDelete(allocated);  // block and record: the leak checker sees either left behind
}

TEST_F(SockBufTest, WritesGoOutInOneWriteOrAreDropped)
{
    SockBufWriteStr(&buf, "GET ");
    SockBufWrite(&buf, "/x\r\n", 4);
    EXPECT_EQ(SockBufWriteAll(&buf), 0);
    EXPECT_EQ(SockBufLen(&buf), 8);  // kept until the caller resets
    char got[16];
    EXPECT_EQ(std::string(got, std::max<ssize_t>(read(fds[1], got, sizeof got), 0)), "GET /x\r\n");

    // No memory changes nothing, and the pending bytes stay in the socket.
    namespace failalloc = zt_test::failalloc;
    SockBufWrite(SockBufReset(&buf), "line\nrest", 9);
    send_peer("more");
    failalloc::arm(1, failalloc::Mode::from_then_on);
    char *line = SockBufGetLine(&buf), *piece = SockBufGetStr(&buf, 2);
    SockBufWriteStr(&buf, "lost");
    const int read_status = SockBufRead(&buf);
    SockBuf *fresh = SockBufNew(nullptr);
    failalloc::disarm();
    EXPECT_TRUE(line == nullptr && piece == nullptr && fresh == nullptr);
    EXPECT_EQ(read_status, SOCKBUF_ERROR);
    EXPECT_EQ(buffered(), "line\nrest");
    EXPECT_EQ(SockBufRead(&buf), SOCKBUF_OK);
    EXPECT_EQ(buffered(), "line\nrestmore");
    // A write leaves no room behind the bytes: an empty piece needs one more
    // byte for its terminator, and without it nothing is taken.
    SockBufWrite(SockBufReset(&buf), "abc", 3);
    failalloc::for_each_failure([&](unsigned k, failalloc::Mode mode) {
        failalloc::arm(k, mode);
        char *empty = SockBufGetStr(&buf, 0);
        failalloc::disarm();
        EXPECT_EQ(own(empty), failalloc::failed() ? "<null>" : "") << k;
        EXPECT_EQ(buffered(), "abc") << k;
    });
    EXPECT_EQ(buf.bytes[3], '\0');

    // The peer gone: -1 with EPIPE, the bytes dropped, the process alive.
    shutdown(fds[1], SHUT_RD);
    errno = 0;
    EXPECT_EQ(SockBufWriteAll(&buf), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(SockBufLen(&buf), 0);
}

// Bytes taken from the buffer's own block, whose growth may move it.
TEST_F(SockBufTest, OwnBytesAreAppendedAsMemmoveWould)
{
    const std::string start = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    for (auto [offset, n] : {std::pair{0, 40}, {13, 7}, {39, 1}}) {
        SockBufWrite(SockBufReset(&buf), start.data(), int(start.size()));
        void *neighbour = malloc(start.size());  // so that the block cannot grow in place
        SockBufWrite(&buf, SockBufPtr(&buf) + offset, n);
        free(neighbour);
        EXPECT_EQ(buffered(), start + start.substr(size_t(offset), size_t(n))) << offset;
    }
}

}  // namespace

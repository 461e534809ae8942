// The socket buffer over real socket pairs: lines with their four kinds of
// line end, data arriving in pieces, bounded reads that never wait, the
// peer's shutdown, pieces by length, collected writes, no memory.
#include <errno.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

// A buffer on one end of a stream socket pair; the test is the peer.
class SockBufTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
        SockBufSetSocket(SockBufNew(&buf_), fds_[0]);
    }
    void TearDown() override
    {
        free(buf_.bytes);
        close(fds_[0]);
        close(fds_[1]);
    }
    void send_peer(const std::string &s)
    {
        ASSERT_EQ(write(fds_[1], s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    std::string buffered() const { return std::string(buf_.bytes, static_cast<size_t>(buf_.len)); }

    int fds_[2] = {-1, -1};
    SockBuf buf_;
};

// The string a call returned (freed), or "<null>".
std::string own(char *text)
{
    std::string s = text ? text : "<null>";
    free(text);
    return s;
}

TEST_F(SockBufTest, ReadLineReadsBeforeItLooks)
{
    send_peer("ab\r\ncd\r\n");
    int status = -1;
    EXPECT_EQ(own(SockBufReadLine(&buf_, &status)), "ab\r\n");
    EXPECT_EQ(status, SOCKBUF_OK);
    EXPECT_EQ(own(SockBufReadLine(&buf_, &status)), "<null>");
    EXPECT_EQ(status, SOCKBUF_NODATA);
    EXPECT_EQ(own(SockBufGetLine(&buf_)), "cd\r\n");
    EXPECT_EQ(SockBufLen(&buf_), 0);
    // A line in pieces; a CR that came alone was a whole line end, so the
    // LF behind it is a line of its own.
    send_peer("he");
    EXPECT_EQ(own(SockBufReadLine(&buf_, nullptr)), "<null>");
    send_peer("llo\r");
    EXPECT_EQ(own(SockBufReadLine(&buf_, &status)), "hello\r");
    send_peer("\nworld\n");
    EXPECT_EQ(own(SockBufReadLine(&buf_, &status)), "\n");
    EXPECT_EQ(own(SockBufGetLine(&buf_)), "world\n");
}

TEST_F(SockBufTest, LineEnds)
{
    EXPECT_EQ(own(SockBufGetLine(&buf_)), "<null>");  // no block yet
    const std::string nul("a\0\n", 3);
    const std::string cases[][3] = {{"a\n\rb", "a\n\r", "b"}, {"a\r\r", "a\r", "\r"},
                                    {"\n\n", "\n", "\n"},     {"abc", "<null>", "abc"},
                                    {nul, "<null>", nul}};
    for (const auto &[bytes, line, rest] : cases) {
        SockBufWrite(SockBufReset(&buf_), bytes.data(), static_cast<int>(bytes.size()));
        EXPECT_EQ(own(SockBufGetLine(&buf_)), line) << bytes;
        EXPECT_EQ(buffered(), rest) << bytes;
        if (line != "<null>") {
            EXPECT_EQ(buf_.bytes[buf_.len], '\0');  // the rest reads as a string
        }
    }
}

TEST_F(SockBufTest, ReadsTakeOnlyWhatIsPending)
{
    EXPECT_EQ(SockBufRead(&buf_), SOCKBUF_NODATA);  // a blocking socket, and no wait
    send_peer("0123456789");
    EXPECT_EQ(SockBufReadMax(&buf_, 3), SOCKBUF_OK);
    int pending = -1;
    ioctl(fds_[0], FIONREAD, &pending);
    EXPECT_EQ(pending, 7);
    EXPECT_EQ(SockBufReadMax(&buf_, -1), SOCKBUF_OK);
    shutdown(fds_[1], SHUT_WR);
    EXPECT_EQ(SockBufRead(&buf_), SOCKBUF_NODATA);
    EXPECT_EQ(buffered(), "0123456789");

    SockBuf other = {5, reinterpret_cast<char *>(16), 9};  // overwritten, not freed
    SockBufNew(&other);
    EXPECT_EQ(SockBufLen(&other), 0);
    errno = 0;
    EXPECT_EQ(SockBufRead(&other), SOCKBUF_ERROR);  // no socket
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(SockBufRead(nullptr), SOCKBUF_ERROR);
}

TEST_F(SockBufTest, PiecesByLength)
{
    EXPECT_EQ(own(SockBufGetStr(&buf_, 0)), "");
    SockBufWriteStr(&buf_, "abcdef");
    EXPECT_EQ(own(SockBufGetStr(&buf_, 7)), "<null>");
    EXPECT_EQ(own(SockBufGetStr(&buf_, 2)), "ab");
    EXPECT_STREQ(SockBufPtr(&buf_), "cdef");
    EXPECT_EQ(own(SockBufGetStr(&buf_, 4)), "cdef");
    SockBufWrite(&buf_, "x\0yz", 4);
    EXPECT_EQ(own(SockBufGetStr(&buf_, 3)), "x");  // the zero byte ends the copy
    EXPECT_EQ(buffered(), "z");
    SockBufWriteStr(&buf_, "123");
    EXPECT_EQ(SockBufResetLen(&buf_, 2), 2);
    EXPECT_EQ(buffered(), "23");
    EXPECT_EQ(SockBufResetLen(&buf_, 3), 0);
    EXPECT_EQ(SockBufResetLen(nullptr, 1), -1);
}

TEST_F(SockBufTest, WritesGoOutInOneWrite)
{
    SockBufWriteStr(&buf_, "GET ");
    SockBufWrite(&buf_, "/x\r\n", 4);
    EXPECT_EQ(SockBufWriteAll(&buf_), 0);
    EXPECT_EQ(SockBufLen(&buf_), 8);  // kept until the caller resets
    char got[16] = {};
    EXPECT_EQ(read(fds_[1], got, sizeof got), 8);
    EXPECT_STREQ(got, "GET /x\r\n");
    // The peer gone: -1 with EPIPE, the bytes dropped, the process alive.
    shutdown(fds_[1], SHUT_RD);
    errno = 0;
    EXPECT_EQ(SockBufWriteAll(&buf_), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(SockBufLen(&buf_), 0);
}

TEST_F(SockBufTest, NoMemoryChangesNothing)
{
    namespace failalloc = zt_test::failalloc;
    SockBufWriteStr(&buf_, "line\nrest");
    send_peer("more");
    failalloc::arm(1, failalloc::Mode::from_then_on);
    char *line = SockBufGetLine(&buf_);
    char *piece = SockBufGetStr(&buf_, 2);
    SockBufWriteStr(&buf_, "lost");
    int read_status = SockBufRead(&buf_);
    SockBuf *fresh = SockBufNew(nullptr);
    failalloc::disarm();
    EXPECT_EQ(line, nullptr);
    EXPECT_EQ(piece, nullptr);
    EXPECT_EQ(read_status, SOCKBUF_ERROR);
    EXPECT_EQ(fresh, nullptr);
    EXPECT_EQ(buffered(), "line\nrest");
    EXPECT_EQ(SockBufRead(&buf_), SOCKBUF_OK);  // the pending bytes are still there
    EXPECT_EQ(buffered(), "line\nrestmore");
}

}  // namespace

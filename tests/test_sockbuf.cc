// The socket buffer on a socket pair: lines, pieces, reads that never wait, writes.
#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "failalloc.h"
#include "zt_test.h"
#include "zttools.h"

namespace {

// The string a call returned (freed), or "<null>".
std::string own(char *text)
{
    std::string s = text ? text : "<null>";
    free(text);
    return s;
}

// A buffer on one end of a stream socket pair; the test is the peer.
TEST(SockBuf, LinesPiecesWritesAndNoMemory)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    SockBuf buf;
    SockBufSetSocket(SockBufNew(&buf), fds[0]);
    auto buffered = [&] { return std::string(buf.bytes, size_t(buf.len)); };
    auto hold = [&](const std::string &s) { SockBufWrite(SockBufReset(&buf), s.data(), int(s.size())); };

    ASSERT_EQ(write(fds[1], "ab\r\ncd\r\n", 8), 8);
    int status = -1;
    EXPECT_EQ(own(SockBufReadLine(&buf, &status)), "ab\r\n");
    EXPECT_EQ(own(SockBufReadLine(&buf, &status)), "<null>");
    EXPECT_EQ(status, SOCKBUF_NODATA);
    EXPECT_EQ(own(SockBufGetLine(&buf)), "cd\r\n");

    EXPECT_EQ(SockBufRead(&buf), SOCKBUF_NODATA) << "nothing pending: no wait on a blocking socket";
    ASSERT_EQ(write(fds[1], "0123456789", 10), 10);
    EXPECT_EQ(SockBufReadMax(&buf, 3), SOCKBUF_OK);
    EXPECT_EQ(SockBufRead(&buf), SOCKBUF_OK) << "the other 7 bytes still pending";
    shutdown(fds[1], SHUT_WR);
    EXPECT_EQ(SockBufRead(&buf), SOCKBUF_NODATA);
    EXPECT_EQ(own(SockBufGetStr(&buf, 11)), "<null>");
    EXPECT_EQ(own(SockBufGetStr(&buf, 10)), "0123456789") << "every buffered byte";

    const std::string nul("a\0\n", 3);
    const std::string cases[][3] = {{"a\n\rb", "a\n\r", "b"}, {"a\r\r", "a\r", "\r"}, {"a\r", "a\r", ""},
                                    {"abc", "<null>", "abc"},   {nul, "<null>", nul}};
    for (const auto &[bytes, line, rest] : cases) {
        hold(bytes);
        EXPECT_EQ(own(SockBufGetLine(&buf)), line) << bytes;
        EXPECT_EQ(buffered(), rest) << bytes;
    }

    SockBufWriteStr(SockBufReset(&buf), "GET /x\r\n");
    EXPECT_EQ(SockBufWriteAll(&buf), 0);
    EXPECT_EQ(SockBufLen(&buf), 8);  // kept until the caller resets
    char got[16];
    EXPECT_EQ(read(fds[1], got, sizeof got), 8);
    EXPECT_EQ(SockBufResetLen(&buf, 9), 0) << "more than buffered: all dropped";

    // No memory changes nothing. A write leaves no room behind the bytes: an
    // empty piece needs one more byte for its terminator.
    hold("line\nrest");
    char *empty;
    zt_test::failalloc::for_each_failure([&] { empty = SockBufGetStr(&buf, 0); }, [&](bool failed) {
        EXPECT_EQ(own(empty), failed ? "<null>" : "");
        EXPECT_EQ(buffered(), "line\nrest");
    });
    EXPECT_EQ(buf.bytes[9], '\0');

    // Bytes taken from the buffer's own block, whose growth may move it.
    const std::string start = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    for (auto [offset, n] : {std::pair{0, 40}, {13, 7}, {39, 1}}) {
        hold(start);
        void *neighbour = malloc(start.size());  // so that the block cannot grow in place
        SockBufWrite(&buf, SockBufPtr(&buf) + offset, n);
        free(neighbour);
        EXPECT_EQ(buffered(), start + start.substr(size_t(offset), size_t(n))) << offset;
    }

    EXPECT_EQ(SockBufResetLen(&buf, 40), 1);
    EXPECT_EQ(buffered(), "D");

    // The peer gone: -1 with EPIPE, the bytes dropped, the process alive.
    shutdown(fds[1], SHUT_RD);
    errno = 0;
    EXPECT_EQ(SockBufWriteAll(&buf), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(SockBufLen(&buf), 0);

    SockBuf *allocated = SockBufNew(nullptr);
    SockBufWriteStr(allocated, "held");
    SockBufDelete(allocated);  // block and record: the leak checker sees either left behind
    free(buf.bytes);
    close(fds[0]);
    EXPECT_EQ(SockBufRead(&buf), SOCKBUF_ERROR) << "the socket closed";
    close(fds[1]);
}

}  // namespace

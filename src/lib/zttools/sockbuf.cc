// The socket buffer: one growable heap block of bytes tied to a socket. As
// an input buffer it takes in only what the socket already has pending, so a
// read never waits, and hands the bytes out as text lines or pieces of a
// given length; as an output buffer it collects bytes and sends them in one
// write. The block always has exactly the size needed, and what is taken
// from the front is closed up at once. The socket stays the caller's.
// Its contract: zttools.h and the manual page zttools_sockbuf(3).
#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "zttools.h"

namespace {

constexpr char kCR = '\r';
constexpr char kLF = '\n';

// Makes the block hold exactly size bytes; false when it cannot, or when
// size is beyond what len can count, and then the old block stays (the
// exported resize frees it).
bool set_block_size(SockBuf *buf, size_t size)
{
    if (size > static_cast<size_t>(INT_MAX)) {
        errno = EOVERFLOW;
        return false;
    }
    void *block = realloc(buf->bytes, size);
    if (!block)
        return false;
    buf->bytes = static_cast<char *>(block);
    return true;
}

}  // namespace

extern "C" {

SockBuf *SockBufNew(SockBuf *buf)
{
    if (!buf) {
        buf = static_cast<SockBuf *>(malloc(sizeof(SockBuf)));
        if (!buf)
            return nullptr;
    }
    *buf = {-1, nullptr, 0};
    return buf;
}

void SockBufDelete(SockBuf *buf)
{
    if (!buf)
        return;
    free(buf->bytes);
    *buf = {-1, nullptr, 0};
    free(buf);
}

SockBuf *SockBufSetSocket(SockBuf *buf, int sock)
{
    if (buf)
        buf->sock = sock;
    return buf;
}

int SockBufReadMax(SockBuf *buf, int max)
{
    if (!buf)
        return SOCKBUF_ERROR;
    int pending = 0;
    if (ioctl(buf->sock, FIONREAD, &pending) < 0)
        return SOCKBUF_ERROR;
    const int n = max > 0 && max < pending ? max : pending;
    if (n <= 0)
        return SOCKBUF_NODATA;
    if (!set_block_size(buf, static_cast<size_t>(buf->len) + static_cast<size_t>(n)))
        return SOCKBUF_ERROR;
    ssize_t received = recv(buf->sock, buf->bytes + buf->len, static_cast<size_t>(n), 0);
    if (received < 0)
        return SOCKBUF_ERROR;
    if (received == 0)
        return SOCKBUF_NODATA;
    buf->len += static_cast<int32_t>(received);
    return SOCKBUF_OK;
}

int SockBufRead(SockBuf *buf)
{
    return SockBufReadMax(buf, 0);
}

}  // extern "C"

namespace {

// Drops the first n buffered bytes (n at most len), moving the rest to the
// front.
void consume(SockBuf *buf, int32_t n)
{
    buf->len -= n;
    if (buf->len > 0)
        memmove(buf->bytes, buf->bytes + n, static_cast<size_t>(buf->len));
}

// A new string of the first n bytes up to the first zero byte among them.
char *copy_front(const SockBuf *buf, int32_t n)
{
    size_t size = n > 0 ? strnlen(buf->bytes, static_cast<size_t>(n)) : 0;
    auto *text = static_cast<char *>(malloc(size + 1));
    if (!text)
        return nullptr;
    if (size > 0)
        memcpy(text, buf->bytes, size);
    text[size] = '\0';
    return text;
}

// copy_front of n bytes, which then leave the buffer; nothing changes when
// the copy cannot be made.
char *take_front(SockBuf *buf, int32_t n)
{
    char *text = copy_front(buf, n);
    if (text)
        consume(buf, n);
    return text;
}

// The length of the first line with its line end, or 0 when no line end
// comes before a zero byte or the end of the buffered bytes.
int32_t line_length(const SockBuf *buf)
{
    for (int32_t i = 0; i < buf->len; i++) {
        const char c = buf->bytes[i];
        if (c == '\0')
            return 0;
        if (c == kCR || c == kLF) {
            // The other of the two right behind it belongs to the same end.
            const char pair = c == kCR ? kLF : kCR;
            return i + 1 < buf->len && buf->bytes[i + 1] == pair ? i + 2 : i + 1;
        }
    }
    return 0;
}

}  // namespace

extern "C" {

char *SockBufGetLine(SockBuf *buf)
{
    if (!buf || !buf->bytes)
        return nullptr;
    const int32_t length = line_length(buf);
    if (length == 0)
        return nullptr;
    char *line = take_front(buf, length);
    if (!line)
        return nullptr;
    buf->bytes[buf->len] = '\0';  // inside the block: the line was longer
    return line;
}

char *SockBufReadLine(SockBuf *buf, int *status)
{
    if (!buf)
        return nullptr;
    for (;;) {
        const int read_status = SockBufRead(buf);
        if (read_status != SOCKBUF_OK) {
            if (status)
                *status = read_status;
            return nullptr;
        }
        if (char *line = SockBufGetLine(buf)) {
            if (status)
                *status = SOCKBUF_OK;
            return line;
        }
    }
}

char *SockBufGetStr(SockBuf *buf, int n)
{
    if (!buf || n < 0 || n > buf->len)
        return nullptr;
    // Taking nothing leaves all len bytes in place, and the block may have
    // no room behind them: it grows first, or there is no place for the
    // zero byte and nothing is taken.
    if (n == 0 && !set_block_size(buf, static_cast<size_t>(buf->len) + 1))
        return nullptr;
    char *text = take_front(buf, n);
    if (!text)
        return nullptr;
    // A piece of n bytes left room for the zero byte: shrinking may fail and
    // keep the old block, which is large enough.
    if (n > 0)
        set_block_size(buf, static_cast<size_t>(buf->len) + 1);
    buf->bytes[buf->len] = '\0';
    return text;
}

char *SockBufPtr(SockBuf *buf)
{
    return buf ? buf->bytes : nullptr;
}

int SockBufLen(SockBuf *buf)
{
    return buf ? buf->len : -1;
}

SockBuf *SockBufReset(SockBuf *buf)
{
    if (buf)
        buf->len = 0;
    return buf;
}

int SockBufResetLen(SockBuf *buf, unsigned int n)
{
    if (!buf)
        return -1;
    if (buf->len < 0 || static_cast<unsigned int>(buf->len) <= n) {
        buf->len = 0;
        return 0;
    }
    consume(buf, static_cast<int32_t>(n));
    return buf->len;
}

}  // extern "C"

namespace {

// Appends the n bytes (n above 0); a block that cannot grow changes nothing.
// Bytes taken from the buffer's own block are found again at their offset in
// the grown block, which the old one may have given way to.
void append(SockBuf *buf, const void *bytes, size_t n)
{
    const auto from = reinterpret_cast<uintptr_t>(bytes), start = reinterpret_cast<uintptr_t>(buf->bytes);
    const bool own = buf->bytes && from >= start && from - start <= static_cast<size_t>(buf->len);
    if (!set_block_size(buf, static_cast<size_t>(buf->len) + n))
        return;
    memmove(buf->bytes + buf->len, own ? buf->bytes + (from - start) : bytes, n);
    buf->len += static_cast<int32_t>(n);
}

// One write of all n bytes. A socket is sent to without SIGPIPE, so that a
// peer that has gone away is a failed write and not the end of the service;
// another kind of descriptor gets a plain write.
ssize_t write_once(int fd, const void *bytes, size_t n)
{
    ssize_t written = send(fd, bytes, n, MSG_NOSIGNAL);
    if (written < 0 && errno == ENOTSOCK)
        written = write(fd, bytes, n);
    return written;
}

}  // namespace

extern "C" {

void SockBufWrite(SockBuf *buf, const void *bytes, int n)
{
    if (buf && bytes && n > 0)
        append(buf, bytes, static_cast<size_t>(n));
}

void SockBufWriteStr(SockBuf *buf, const char *str)
{
    if (buf && str && *str)
        append(buf, str, strlen(str));
}

int SockBufWriteAll(SockBuf *buf)
{
    if (!buf)
        return -1;
    const size_t n = buf->len > 0 ? static_cast<size_t>(buf->len) : 0;
    ssize_t written = write_once(buf->sock, buf->bytes, n);
    if (written < 0 || static_cast<size_t>(written) < n) {
        buf->len = 0;
        return -1;
    }
    return 0;
}

}  // extern "C"

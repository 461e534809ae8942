// Sockets and descriptor I/O: the IPv4 and local sockets that services
// listen, receive and send on, their blocking mode and options, UDP through
// the transparent-proxy convention, and text over raw descriptors: one-write
// formatted output, line splitting through a buffer the caller owns, the
// first word of a string, and zero-filled data views.
// Its contract: zttools.h and the manual page zttools_io(3).
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "internal.h"
#include "zttools.h"

namespace {

constexpr const char kTraceFile[] = "src/lib/zttools/io";

// What the proxied flag carries instead of a plain socket address: the
// leading half (family, port, address) of two sockaddr_in records.
struct ProxiedHalf {
    sa_family_t family;
    in_port_t port;
    in_addr_t addr;
};
struct ProxiedAddress {
    ProxiedHalf first;
    ProxiedHalf second;
};
static_assert(sizeof(ProxiedHalf) == 8 && sizeof(ProxiedAddress) == 16);
static_assert(sizeof(struct sockaddr_in) == 16);

constexpr int kOpenSocketBacklog = 256;
constexpr int kListenRecord = LOG_USER | LOG_ERR;
// Bytes of a local socket address before its path.
constexpr size_t kUnixPathOffset = offsetof(struct sockaddr_un, sun_path);
constexpr size_t kUnixPathMax = sizeof(sockaddr_un::sun_path);

// Every address of this host, at port (host order).
struct sockaddr_in any_address(uint16_t port)
{
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    return addr;
}

const struct sockaddr *as_sockaddr(const struct sockaddr_in *addr)
{
    return reinterpret_cast<const struct sockaddr *>(addr);
}

int bind_in(int fd, const struct sockaddr_in &addr)
{
    return bind(fd, as_sockaddr(&addr), sizeof addr);
}

}  // namespace

extern "C" {

int socket_is_nb(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        ZT_TRACE_ERROR("Unable to get file descriptor flags in socket_is_nb: %s", strerror(errno));
        return -1;
    }
    return flags & O_NONBLOCK;
}

int socket_set_nb(int fd, int nonblocking)
{
    // Each trace keeps the errno of the fcntl that failed.
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        ZT_TRACE_ERROR("Unable to get file descriptor flags: %s", strerror(errno));
        return -1;
    }
    // The flags are written only when the mode changes.
    const int wanted = nonblocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    if (wanted != flags && fcntl(fd, F_SETFL, wanted) < 0) {
        ZT_TRACE_ERROR("Unable to set file descriptor to %s: %s",
                       nonblocking ? "non-blocking" : "blocking", strerror(errno));
        return -1;
    }
    return 0;
}

int open_socket(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        syslog(LOG_ERR, "socket() creation failed (%s)", strerror(errno));
        exit(1);
    }
    if (bind_in(fd, any_address(static_cast<uint16_t>(port))) < 0) {
        syslog(LOG_ERR, "socket bind to %d failed (%s)", port, strerror(errno));
        exit(1);
    }
    if (listen(fd, kOpenSocketBacklog) < 0) {
        syslog(LOG_ERR, "socket listen failed (%s)", strerror(errno));
        exit(1);
    }
    return fd;
}

}  // extern "C"

namespace {

int connect_in(int fd, const struct sockaddr_in *addr)
{
    return connect(fd, as_sockaddr(addr), sizeof *addr);
}

// One OpenListenSocket record: what failed and the error's text.
void log_listen_failure(const char *what)
{
    syslog(kListenRecord, "%s: %s", what, strerror(errno));
}

}  // namespace

extern "C" {

int OpenListenSocket(uint16_t port, int protocol, uint8_t reuse, int backlog, int bufsize)
{
    int type;
    if (protocol == IPPROTO_TCP) {
        type = SOCK_STREAM;
    } else if (protocol == IPPROTO_UDP) {
        type = SOCK_DGRAM;
    } else {
        errno = EINVAL;
        return -1;
    }
    // Each record is written while the socket is still open.
    zt::UniqueFd fd(socket(AF_INET, type, protocol));
    if (!fd) {
        log_listen_failure("socket creation failed");
        return -1;
    }
    if (reuse && SetReuseAddr(fd.get()) < 0) {
        log_listen_failure("can't set SO_REUSEADDR on socket");
        return -1;
    }
    if (bufsize > 0 && SetBufSize(fd.get(), bufsize) < 0) {
        log_listen_failure("can't set buffer size on socket");
        return -1;
    }
    if (bind_in(fd.get(), any_address(port)) < 0) {
        log_listen_failure("socket bind failed");
        return -1;
    }
    if (type == SOCK_STREAM && listen(fd.get(), backlog) < 0) {
        log_listen_failure("socket listen failed");
        return -1;
    }
    return fd.release();
}

int NewUdpRecvSocket(uint16_t port, const struct sockaddr_in *peer, struct sockaddr_in *local)
{
    zt::UniqueFd fd(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!fd || bind_in(fd.get(), any_address(port)) < 0)
        return -1;
    if (peer && connect_in(fd.get(), peer) < 0)
        return -1;
    if (local) {
        socklen_t length = sizeof *local;
        if (getsockname(fd.get(), reinterpret_cast<struct sockaddr *>(local), &length) < 0)
            return -1;
    }
    return fd.release();
}

int NewUdpSendSocket(const struct sockaddr_in *peer)
{
    zt::UniqueFd fd(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!fd || (peer && connect_in(fd.get(), peer) < 0))
        return -1;
    return fd.release();
}

int NewTcpSendSocket(const struct sockaddr_in *peer, const struct sockaddr_in *local, int bufsize)
{
    if (!peer) {
        errno = EINVAL;
        return -1;
    }
    zt::UniqueFd fd(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!fd || (bufsize > 0 && SetBufSize(fd.get(), bufsize) < 0))
        return -1;
    if ((local && bind_in(fd.get(), *local) < 0) || connect_in(fd.get(), peer) < 0)
        return -1;
    return fd.release();
}

int NewNamedPipe(const char *path, int type, int backlog)
{
    if (!path || !*path) {
        errno = EINVAL;
        return -1;
    }
    // The address holds the path without its NUL; a longer one cannot be
    // bound, so nothing is removed for it.
    const size_t length = strlen(path);
    if (length > kUnixPathMax) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (unlink(path) < 0 && errno != ENOENT)
        return -1;
    zt::UniqueFd fd(socket(AF_UNIX, type, 0));
    if (!fd)
        return -1;
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, length);
    const auto addr_length = static_cast<socklen_t>(kUnixPathOffset + length);
    if (bind(fd.get(), reinterpret_cast<const struct sockaddr *>(&addr), addr_length) < 0)
        return -1;
    if (backlog > 0 && listen(fd.get(), backlog) < 0)
        return -1;
    return fd.release();
}

}  // extern "C"

namespace {

int set_int_option(int fd, int option, int value)
{
    return setsockopt(fd, SOL_SOCKET, option, &value, sizeof value);
}

void fill_from_half(struct sockaddr_in *addr, const ProxiedHalf &half)
{
    if (!addr)
        return;
    *addr = {};
    addr->sin_family = AF_INET;
    addr->sin_port = half.port;
    addr->sin_addr.s_addr = half.addr;
}

ProxiedHalf half_of(const struct sockaddr_in &addr)
{
    return {AF_INET, addr.sin_port, addr.sin_addr.s_addr};
}

}  // namespace

extern "C" {

int SetBufSize(int fd, int size)
{
    if (set_int_option(fd, SO_SNDBUF, size) < 0 || set_int_option(fd, SO_RCVBUF, size) < 0)
        return -1;
    return 0;
}

int SetReuseAddr(int fd)
{
    return set_int_option(fd, SO_REUSEADDR, 1);
}

ssize_t SendProxiedUdp(int fd, const struct sockaddr_in *from, const struct sockaddr_in *to,
                       const void *buf, size_t len)
{
    if (!from || !to) {
        errno = EINVAL;
        return -1;
    }
    const ProxiedAddress addr = {half_of(*to), half_of(*from)};
    return sendto(fd, buf, len, MSG_PROXY, reinterpret_cast<const struct sockaddr *>(&addr),
                  sizeof addr);
}

ssize_t RecvProxiedUdp(int fd, struct sockaddr_in *from, struct sockaddr_in *to, void *buf,
                       size_t len)
{
    ProxiedAddress addr = {};
    socklen_t addr_length = sizeof addr;
    const ssize_t received =
        recvfrom(fd, buf, len, MSG_PROXY, reinterpret_cast<struct sockaddr *>(&addr), &addr_length);
    fill_from_half(from, addr.first);
    fill_from_half(to, addr.second);
    return received;
}

void fdprintf(int fd, const char *format, ...)
{
    if (!format)
        return;
    char *formatted = nullptr;
    va_list args;
    va_start(args, format);
    const int length = vasprintf(&formatted, format, args);
    va_end(args);
    if (length < 0)
        return;
    zt::MallocPtr<char> text(formatted);
    if (write(fd, text.get(), static_cast<size_t>(length)) != length)
        fprintf(stderr, "couldn't write to %d (%s)\n", fd, strerror(errno));
}

}  // extern "C"

namespace {

void reset_stream(LineBuf *lb)
{
    lb->next = nullptr;
    lb->len = 0;
}

// Whether the record keeps its rules: at most size valid bytes, and next
// (when set) inside them.
bool stream_consistent(const LineBuf &lb, uint32_t size)
{
    if (lb.len > size)
        return false;
    if (!lb.next)
        return true;
    const auto start = reinterpret_cast<uintptr_t>(lb.buf);
    const auto next = reinterpret_cast<uintptr_t>(lb.next);
    return next >= start && next - start < lb.len;
}

// The first newline of the buffered data from `from` on, unless a NUL comes
// first: the data is a string, its text ending at the first NUL. The NUL
// after the valid bytes is put back first, so that the search stops there
// even when the caller changed the buffer.
char *find_newline(LineBuf *lb, char *from)
{
    lb->buf[lb->len] = '\0';
    return strchr(from, '\n');
}

// Hands out the bytes from next through newline as one line; the stream is
// empty once its last valid byte is taken.
void deliver_line(LineBuf *lb, char *newline, char *line)
{
    const auto length = static_cast<size_t>(newline + 1 - lb->next);
    memcpy(line, lb->next, length);
    line[length] = '\0';
    if (newline == lb->buf + lb->len - 1)
        reset_stream(lb);
    else
        lb->next = newline + 1;
}

}  // namespace

extern "C" {

int zt_getline(int fd, uint32_t size, char *line, LineBuf *lb, int32_t *status)
{
    int32_t unused;
    if (!status)
        status = &unused;
    *status = ZT_LINE_OK;
    if (!line || !lb || !lb->buf || size == 0 || !stream_consistent(*lb, size)) {
        if (lb)
            reset_stream(lb);
        errno = EINVAL;
        *status = ZT_LINE_ERROR;
        return 1;
    }
    char *const end = lb->buf + lb->len;
    if (lb->next) {
        // Lines already buffered go out without a read; the rest of a line
        // moves to the front only when they are used up.
        if (char *newline = find_newline(lb, lb->next)) {
            deliver_line(lb, newline, line);
            return 0;
        }
        const auto rest = static_cast<uint32_t>(end - lb->next);
        memmove(lb->buf, lb->next, rest);
        lb->len = rest;
        lb->next = nullptr;
        *status = ZT_LINE_PARTIAL;
        return 0;
    }
    // A buffer already full needs no read to be handed out.
    if (lb->len < size) {
        const ssize_t received = read(fd, end, size - lb->len);
        if (received <= 0) {
            *status = received == 0 ? ZT_LINE_EOF : errno == EINTR ? ZT_LINE_EINTR : ZT_LINE_ERROR;
            reset_stream(lb);
            return 1;
        }
        lb->len += static_cast<uint32_t>(received);
    }
    lb->next = lb->buf;
    if (char *newline = find_newline(lb, lb->buf)) {
        deliver_line(lb, newline, line);
        return 0;
    }
    if (lb->len < size) {
        lb->next = nullptr;
        *status = ZT_LINE_PARTIAL;
        return 0;
    }
    memcpy(line, lb->buf, size);
    line[size] = '\0';
    reset_stream(lb);
    *status = ZT_LINE_FULL;
    return 0;
}

void zt_getword(const char *src, char *dst, size_t size)
{
    if (!dst || size == 0)
        return;
    size_t length = 0;
    if (src) {
        while (length < size - 1 && src[length] != '\0' &&
               !isspace(static_cast<unsigned char>(src[length])))
            length++;
        memcpy(dst, src, length);
    }
    dst[length] = '\0';
}

DataView *DataViewNew(DataView *view, size_t size)
{
    if (!view && !(view = static_cast<DataView *>(malloc(sizeof *view))))
        return nullptr;
    view->user1 = 0;
    view->user2 = 0;
    view->data = calloc(1, size);
    return view;
}

void DataViewDelete(DataView *view)
{
    if (view)
        free(view->data);
}

}  // extern "C"

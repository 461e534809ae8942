// Local-socket transport: whole messages with a 32-bit id over stream sockets.
// Its contract: ztsvc.h and the manual page zttools(7).
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "internal.h"
#include "ztsvc.h"

namespace {

constexpr uint32_t kMagic = 0x5a545544;
constexpr int kDefaultTimeoutMs = 5000;

struct Header {
    uint32_t magic;
    uint32_t id;
    uint32_t length;
};

int timeout_ms = 0;  // 0: not yet taken from the environment

// A descriptor held in reserve for the moment the process runs out of them:
// giving it up lets ztuds_accept take a waiting connection and close it, so
// that the listener stops being readable instead of waking its loop for
// ever. Held while a listener made by ztuds_server is open.
int spare_fd = -1;
int listeners[16];
size_t listener_count = 0;

void take_spare()
{
    if (spare_fd < 0)
        spare_fd = eventfd(0, EFD_CLOEXEC);
}

void add_listener(int fd)
{
    take_spare();
    if (listener_count < sizeof listeners / sizeof listeners[0])
        listeners[listener_count++] = fd;
}

// Out of descriptors: takes the oldest waiting connection with the spare's
// slot and closes it at once. errno stays as accept left it.
void refuse_one(int listen_fd)
{
    zt::SavedErrno keep;
    if (spare_fd >= 0) {
        close(spare_fd);
        spare_fd = -1;
        int refused = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (refused >= 0)
            close(refused);
        take_spare();
    }
}

bool make_address(const char *path, struct sockaddr_un *address)
{
    if (!path || strlen(path) >= sizeof address->sun_path) {
        errno = path ? ENAMETOOLONG : EINVAL;
        return false;
    }
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    strcpy(address->sun_path, path);
    return true;
}

// A socket file that nobody listens on is left over from a server that
// ended; it may be replaced. Anything else at the path is kept.
bool is_stale_socket(const struct sockaddr_un *address)
{
    struct stat status;
    if (lstat(address->sun_path, &status) < 0 || !S_ISSOCK(status.st_mode))
        return false;
    zt::UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe)
        return false;
    return connect(probe.get(), reinterpret_cast<const struct sockaddr *>(address), sizeof *address) < 0 &&
           errno == ECONNREFUSED;
}

// A local stream socket and the address of path, for a server or a client.
int open_local_socket(const char *path, struct sockaddr_un *address)
{
    if (!make_address(path, address))
        return -1;
    return socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

}  // namespace

extern "C" {

void ztuds_set_timeout(int milliseconds)
{
    timeout_ms = milliseconds > 0 ? milliseconds : 1;
}

int ztuds_server(const char *path, int mode)
{
    struct sockaddr_un address;
    zt::UniqueFd fd(open_local_socket(path, &address));
    if (!fd)
        return -1;
    const auto *generic = reinterpret_cast<const struct sockaddr *>(&address);
    if (bind(fd.get(), generic, sizeof address) < 0) {
        if (errno != EADDRINUSE)
            return -1;
        if (!is_stale_socket(&address)) {
            errno = EADDRINUSE;
            return -1;
        }
        if (unlink(path) < 0 || bind(fd.get(), generic, sizeof address) < 0)
            return -1;
    }
    if (chmod(path, static_cast<mode_t>(mode)) < 0 || listen(fd.get(), SOMAXCONN) < 0)
        return -1;
    add_listener(fd.get());
    return fd.release();
}

int ztuds_accept(int listen_fd)
{
    for (;;) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE))
            refuse_one(listen_fd);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}

int ztuds_connect(const char *path)
{
    struct sockaddr_un address;
    zt::UniqueFd fd(open_local_socket(path, &address));
    if (!fd)
        return -1;
    if (connect(fd.get(), reinterpret_cast<const struct sockaddr *>(&address), sizeof address) < 0)
        return -1;
    return fd.release();
}

}  // extern "C"

namespace {

int current_timeout()
{
    if (timeout_ms == 0) {
        const char *text = getenv("ZTUDS_TIMEOUT_MS");
        int value = text ? atoi(text) : 0;
        timeout_ms = value > 0 ? value : kDefaultTimeoutMs;
    }
    return timeout_ms;
}

int64_t now_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The moment by which one whole message must have been moved: the time-out
// bounds the message, not each wait inside it, so a peer that trickles its
// bytes cannot stretch it.
int64_t message_deadline()
{
    return now_ms() + current_timeout();
}

// Waits until fd is ready for events; -1 with ETIMEDOUT once the deadline
// has passed.
int wait_ready(int fd, short events, int64_t deadline)
{
    struct pollfd entry = {fd, events, 0};
    for (;;) {
        int64_t left = deadline - now_ms();
        int ready = poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready > 0)
            return 0;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (errno != EINTR)
            return -1;
    }
}

// Reads exactly size bytes by the deadline. Returns the number read before
// an orderly end of the stream (less than size), or -1 with errno. Never
// blocks inside recv, where no deadline holds: it waits only when nothing
// has arrived.
ssize_t read_full(int fd, void *buffer, size_t size, int64_t deadline)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = recv(fd, static_cast<char *>(buffer) + done, size - done, MSG_DONTWAIT);
        if (n == 0)
            break;
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (errno == EAGAIN) {
            if (wait_ready(fd, POLLIN, deadline) < 0)
                return -1;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

extern "C" {

int ztuds_read(int fd, void **payload, uint32_t *length, uint32_t *id, uint32_t read_arg)
{
    const int64_t deadline = message_deadline();
    Header header;
    ssize_t got = read_full(fd, &header, sizeof header, deadline);
    if (got < 0)
        return -1;
    if (got == 0) {
        errno = 0;  // the peer closed between messages
        return -1;
    }
    if (static_cast<size_t>(got) < sizeof header) {
        errno = ECONNRESET;
        return -1;
    }
    if (header.magic != kMagic) {
        errno = EBADMSG;
        return -1;
    }
    if (header.length > ZTUDS_MAX_PAYLOAD) {
        errno = EMSGSIZE;
        return -1;
    }
    zt::MallocPtr<char> block;
    if (header.length > 0) {
        block.reset(static_cast<char *>(malloc(header.length + 1)));
        if (!block)
            return -1;
        got = read_full(fd, block.get(), header.length, deadline);
        if (got < static_cast<ssize_t>(header.length)) {
            if (got >= 0)
                errno = ECONNRESET;
            return -1;
        }
        block.get()[header.length] = '\0';
    }
    if (read_arg != 0 && header.id != read_arg) {
        errno = EPROTO;
        return -1;
    }
    if (payload)
        *payload = block.release();
    if (length)
        *length = header.length;
    if (id)
        *id = header.id;
    return static_cast<int>(header.length);
}

}  // extern "C"

namespace {

// Sends the pieces by the deadline, in one call where the socket takes them
// all. Never blocks inside sendmsg, where no deadline holds: it waits only
// when the socket is full.
int write_full(int fd, struct iovec *pieces, size_t count, int64_t deadline)
{
    struct msghdr message = {};
    message.msg_iov = pieces;
    message.msg_iovlen = count;
    while (message.msg_iovlen > 0) {
        ssize_t n = sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN) {
                if (wait_ready(fd, POLLOUT, deadline) < 0)
                    return -1;
            } else if (errno != EINTR) {
                return -1;
            }
            continue;
        }
        // Past the pieces sent whole, into the one sent in part.
        auto sent = static_cast<size_t>(n);
        for (; message.msg_iovlen > 0 && sent >= message.msg_iov->iov_len; message.msg_iovlen--)
            sent -= message.msg_iov++->iov_len;
        if (message.msg_iovlen > 0) {
            message.msg_iov->iov_base = static_cast<char *>(message.msg_iov->iov_base) + sent;
            message.msg_iov->iov_len -= sent;
        }
    }
    return 0;
}

// Forgets fd as a listener; the spare goes with the last one.
void drop_listener(int fd)
{
    for (size_t i = 0; i < listener_count; i++) {
        if (listeners[i] == fd) {
            listeners[i] = listeners[--listener_count];
            if (listener_count == 0 && spare_fd >= 0) {
                close(spare_fd);
                spare_fd = -1;
            }
            return;
        }
    }
}

}  // namespace

extern "C" {

int ztuds_write(int fd, const void *payload, uint32_t length, uint32_t id)
{
    if (length > ZTUDS_MAX_PAYLOAD) {
        errno = EMSGSIZE;
        return -1;
    }
    if (length > 0 && !payload) {
        errno = EINVAL;
        return -1;
    }
    const int64_t deadline = message_deadline();
    Header header = {kMagic, id, length};
    struct iovec pieces[2] = {{&header, sizeof header}, {const_cast<void *>(payload), length}};
    if (write_full(fd, pieces, length > 0 ? 2 : 1, deadline) < 0)
        return -1;
    return static_cast<int>(length);
}

int ztuds_close(int fd)
{
    if (fd < 0)
        return 0;
    drop_listener(fd);
    return close(fd);
}

}  // extern "C"

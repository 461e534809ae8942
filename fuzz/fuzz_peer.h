// Shared by the fuzz targets of the servers that a peer talks to through the
// local-socket transport: a listening socket with no file (an automatically
// bound abstract address), a peer that sends the whole input as transport
// messages before the server reads a byte and then hangs up its sending
// side, so that the server never waits, and the reply the server left.
//
// Input, after the target's own option byte: with `raw`, the bytes as they
// are (the transport's framing itself under test); otherwise a sequence of
// messages, each a head byte and the payload:
//   head & 0x3f   payload length, plus 64 times the next byte with head & 0x40
//   head & 0x80   the next 4 bytes are the message id, else the server's id
// A payload cut short by the end of the input is sent as far as it goes.
#ifndef ZT_FUZZ_PEER_H
#define ZT_FUZZ_PEER_H

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "fuzz_syslog.h"
#include "fuzz_text.h"


namespace zt_fuzz {

// The transport's header as the peer writes it.
constexpr uint32_t kTransportMagic = 0x5a545544;
constexpr size_t kHeaderSize = 12;
// A stream that the socket takes in one write without waiting.
constexpr size_t kMaxStream = 128 * 1024;

inline void put_word(std::string &stream, uint32_t word)
{
    stream.append(reinterpret_cast<const char *>(&word), sizeof word);
}

inline uint32_t get_word(const std::string &bytes, size_t offset)
{
    uint32_t word;
    memcpy(&word, bytes.data() + offset, sizeof word);
    return word;
}

// The bytes the peer sends for the input.
inline std::string peer_stream(const uint8_t *data, size_t size, bool raw, uint32_t id)
{
    if (raw)
        return std::string(reinterpret_cast<const char *>(data), size);
    std::string stream;
    size_t at = 0;
    auto next = [&]() -> uint32_t { return at < size ? data[at++] : 0; };
    while (at < size && stream.size() <= kMaxStream) {
        const uint32_t head = next();
        uint32_t length = head & 0x3f;
        if (head & 0x40)
            length += next() * 64;
        uint32_t message_id = id;
        if (head & 0x80)
            message_id = next() | next() << 8 | next() << 16 | next() << 24;
        put_word(stream, kTransportMagic);
        put_word(stream, message_id);
        put_word(stream, length);
        const size_t taken = length < size - at ? length : size - at;
        stream.append(reinterpret_cast<const char *>(data + at), taken);
        at += taken;
    }
    return stream;
}

// A listening local socket at an abstract address of its own.
class Listener {
public:
    Listener()
    {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        socklen_t length = sizeof(sa_family_t);  // the kernel picks the name
        FUZZ_CHECK(fd_ >= 0 && bind(fd_, reinterpret_cast<struct sockaddr *>(&address), length) == 0);
        FUZZ_CHECK(listen(fd_, 4) == 0);
        length_ = sizeof address_;
        FUZZ_CHECK(getsockname(fd_, reinterpret_cast<struct sockaddr *>(&address_), &length_) == 0);
    }
    int fd() const { return fd_; }

    // A connected peer that has sent stream and shut its sending side.
    int peer(const std::string &stream) const
    {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        FUZZ_CHECK(fd >= 0 && connect(fd, reinterpret_cast<const struct sockaddr *>(&address_), length_) == 0);
        FUZZ_CHECK(stream.empty() || write(fd, stream.data(), stream.size()) == static_cast<ssize_t>(stream.size()));
        FUZZ_CHECK(shutdown(fd, SHUT_WR) == 0);
        return fd;
    }

private:
    int fd_;
    struct sockaddr_un address_ = {};
    socklen_t length_ = 0;
};

// Everything the server sent the peer, up to its close (a reset when it left
// some of the peer's bytes unread); a server that left the connection open
// ends the run.
inline std::string take_reply(int fd)
{
    FUZZ_CHECK(fcntl(fd, F_SETFL, O_NONBLOCK) == 0);
    std::string reply;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        reply.append(buffer, static_cast<size_t>(n));
    FUZZ_CHECK(n == 0 || errno == ECONNRESET);
    close(fd);
    return reply;
}

// The lowest free descriptor: the same before and after a request when the
// server closed all it opened.
inline int lowest_free_fd()
{
    int fd = dup(0);
    close(fd);
    return fd;
}

// A reply of exactly one transport message with id: its payload, or the
// run ends.
inline std::string one_message(const std::string &reply, uint32_t id)
{
    FUZZ_CHECK(reply.size() >= kHeaderSize);
    FUZZ_CHECK(get_word(reply, 0) == kTransportMagic && get_word(reply, 4) == id);
    FUZZ_CHECK(get_word(reply, 8) == reply.size() - kHeaderSize);
    return reply.substr(kHeaderSize);
}

}  // namespace zt_fuzz

#endif

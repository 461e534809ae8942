// Drives the socket buffer's reader over a stream that arrives in pieces,
// against a model of the buffered and the pending bytes: after every step
// the buffer's length and bytes are the model's; every line handed out is
// the front of what arrived, ends at its first line end and holds no zero
// byte; a piece is the front up to its first zero byte; reads take exactly
// what is pending (at most their maximum) and never wait.
//
// The input is a sequence of steps, each an operation byte and its
// argument byte: 0 the peer sends that many of the following input bytes,
// 1 SockBufReadLine, 2 SockBufGetLine, 3 SockBufGetStr(argument - 8),
// 4 SockBufReadMax(signed argument), 5 SockBufResetLen(argument), 6 the peer
// shuts its sending side, 7 SockBufRead.
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "fuzz_text.h"
#include "zttools.h"

namespace {

struct Model {
    std::string held;     // what the buffer holds
    std::string pending;  // sent by the peer, not yet read
};

// The bytes a read of at most max (0: all) moves into the buffer, and the
// status it must give.
int model_read(Model &model, size_t max)
{
    const size_t n = max > 0 && max < model.pending.size() ? max : model.pending.size();
    if (n == 0)
        return SOCKBUF_NODATA;
    model.held += model.pending.substr(0, n);
    model.pending.erase(0, n);
    return SOCKBUF_OK;
}

// A line handed out: the front of the buffered bytes, ending at its first
// CR or LF (with the other of the two right behind it), no zero byte.
void check_line(const char *line, Model &model)
{
    const size_t length = strlen(line);
    FUZZ_CHECK(length > 0 && model.held.compare(0, length, line) == 0);
    const size_t end = strcspn(line, "\r\n");
    FUZZ_CHECK(end < length);
    const bool pair = end + 1 < model.held.size() && model.held[end + 1] == (line[end] == '\r' ? '\n' : '\r');
    FUZZ_CHECK(length == end + 1 + pair);
    model.held.erase(0, length);
}

// No line may be found when no CR or LF comes before a zero byte.
void check_no_line(const Model &model)
{
    const size_t end = model.held.find_first_of(std::string("\r\n\0", 3));
    FUZZ_CHECK(end == std::string::npos || model.held[end] == '\0');
}

void check_buffer(SockBuf *buf, const Model &model, bool terminated)
{
    const int len = SockBufLen(buf);
    FUZZ_CHECK(len >= 0 && static_cast<size_t>(len) == model.held.size());
    FUZZ_CHECK(len == 0 || memcmp(SockBufPtr(buf), model.held.data(), model.held.size()) == 0);
    if (terminated)
        FUZZ_CHECK(SockBufPtr(buf)[len] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int pair[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
    SockBuf *buf = SockBufSetSocket(SockBufNew(nullptr), pair[0]);
    Model model;
    bool shut = false;
    size_t at = 0;
    while (at + 2 <= size) {
        const uint8_t operation = data[at] % 8;
        const uint8_t argument = data[at + 1];
        at += 2;
        bool terminated = false;
        switch (operation) {
        case 0: {
            const size_t n = argument < size - at ? argument : size - at;
            if (!shut && n > 0) {
                FUZZ_CHECK(write(pair[1], data + at, n) == static_cast<ssize_t>(n));
                model.pending.append(reinterpret_cast<const char *>(data + at), n);
            }
            at += n;
            break;
        }
        case 1: {
            int status = -1;
            char *line = SockBufReadLine(buf, &status);
            // Reads until a line comes out or nothing more is pending.
            for (;;) {
                const int expected = model_read(model, 0);
                if (expected != SOCKBUF_OK) {
                    FUZZ_CHECK(!line && status == expected);
                    break;
                }
                if (line) {
                    FUZZ_CHECK(status == SOCKBUF_OK);
                    check_line(line, model);
                    terminated = true;
                    break;
                }
                check_no_line(model);
            }
            free(line);
            break;
        }
        case 2:
            if (char *line = SockBufGetLine(buf)) {
                check_line(line, model);
                free(line);
                terminated = true;
            } else {
                check_no_line(model);
            }
            break;
        case 3: {
            const int n = argument - 8;
            char *piece = SockBufGetStr(buf, n);
            if (n < 0 || static_cast<size_t>(n) > model.held.size()) {
                FUZZ_CHECK(!piece);
                break;
            }
            FUZZ_CHECK(piece && model.held.compare(0, strlen(piece), piece) == 0);
            FUZZ_CHECK(strlen(piece) == strnlen(model.held.c_str(), static_cast<size_t>(n)));
            model.held.erase(0, static_cast<size_t>(n));
            free(piece);
            terminated = SockBufPtr(buf) != nullptr;
            break;
        }
        case 4: {
            const int max = static_cast<int8_t>(argument);
            const int status = SockBufReadMax(buf, max);
            FUZZ_CHECK(status == model_read(model, max > 0 ? static_cast<size_t>(max) : 0));
            break;
        }
        case 5: {
            const int left = SockBufResetLen(buf, argument);
            model.held.erase(0, argument);
            FUZZ_CHECK(left >= 0 && static_cast<size_t>(left) == model.held.size());
            break;
        }
        case 6:
            if (!shut)
                FUZZ_CHECK(shutdown(pair[1], SHUT_WR) == 0);
            shut = true;
            break;
        default:
            FUZZ_CHECK(SockBufRead(buf) == model_read(model, 0));
            break;
        }
        check_buffer(buf, model, terminated);
    }
    SockBufDelete(buf);
    close(pair[0]);
    close(pair[1]);
    return 0;
}

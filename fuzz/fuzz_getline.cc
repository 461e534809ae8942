// Feeds zt_getline a byte stream through a pipe in pieces of random sizes,
// with a random buffer size: every delivered line is well formed, the lines
// concatenate to a prefix of the stream and, at its end, what is dropped is
// exactly the rest; the buffer never holds more than its size, and a call
// that starts with data buffered reads nothing.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "zttools.h"

namespace {

// First byte: the buffer size (1 to 64); second: the seed of the piece
// sizes; the rest is the stream.
constexpr size_t kHeader = 2;
constexpr uint32_t kMaxSize = 64;
constexpr uint32_t kMaxPiece = 200;

uint32_t next_random(uint32_t &state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

int pending(int fd)
{
    int bytes = 0;
    if (ioctl(fd, FIONREAD, &bytes) < 0)
        __builtin_trap();
    return bytes;
}

void check_line(const char *line, int32_t status, uint32_t size, std::string &delivered)
{
    const size_t length = status == 0 ? strlen(line) : size;
    const char *newline = static_cast<const char *>(memchr(line, '\n', length));
    if (line[length] != '\0')
        __builtin_trap();
    if (status == 0 && (length == 0 || newline != line + length - 1))
        __builtin_trap();
    // A full buffer has no newline that the search could have seen.
    if (status == 1 && newline && !memchr(line, '\0', static_cast<size_t>(newline - line)))
        __builtin_trap();
    delivered.append(line, length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kHeader)
        return 0;
    const uint32_t buffer_size = 1 + data[0] % kMaxSize;
    uint32_t state = 0x9E3779B9u ^ data[1];
    const std::string input(reinterpret_cast<const char *>(data + kHeader), size - kHeader);

    int fds[2];
    if (pipe(fds) < 0)
        __builtin_trap();
    char *buf = static_cast<char *>(malloc(buffer_size + 1));
    char *line = static_cast<char *>(malloc(buffer_size + 1));
    LineBuf lb = {buf, nullptr, 0};
    std::string delivered;
    size_t written = 0;
    for (;;) {
        // Nothing buffered and nothing to read: the next piece, or the end.
        if (!lb.next && pending(fds[0]) == 0 && fds[1] >= 0) {
            if (written == input.size()) {
                close(fds[1]);
                fds[1] = -1;
            } else {
                size_t piece = 1 + next_random(state) % kMaxPiece;
                piece = piece < input.size() - written ? piece : input.size() - written;
                if (write(fds[1], input.data() + written, piece) != static_cast<ssize_t>(piece))
                    __builtin_trap();
                written += piece;
            }
            continue;
        }
        const bool had_data = lb.next != nullptr;
        const int before = pending(fds[0]);
        const uint32_t held = lb.len;
        int32_t status = -1;
        const int result = zt_getline(fds[0], buffer_size, line, &lb, &status);
        if (lb.buf != buf || lb.len > buffer_size || (had_data && pending(fds[0]) != before))
            __builtin_trap();
        if (result != (status >= 2 && status <= 4 ? 1 : 0))
            __builtin_trap();
        if (status == 0 || status == 1) {
            check_line(line, status, buffer_size, delivered);
        } else if (status == 3) {
            // The end drops the partial line held, and only that.
            if (delivered.size() + held != input.size() || lb.len != 0 || lb.next)
                __builtin_trap();
            break;
        } else if (status != 5) {
            __builtin_trap();
        }
        if (delivered.compare(0, delivered.size(), input, 0, delivered.size()) != 0)
            __builtin_trap();
    }
    close(fds[0]);
    free(buf);
    free(line);
    return 0;
}

// The atob codec: arbitrary bytes as printable text without spaces, three
// bytes to four characters from '!' to '`', and back. Both directions work in
// place in one pass; the decoder keeps its place inside a group in the
// caller's state record, so that text may arrive in pieces, and obeys the
// control letters "c" (end), "d" (abort) and "e" (restart the group).
// Its contract: zttools.h and the manual page zttools_atob(3).
#include <limits.h>
#include <stdint.h>
#include <string.h>

#include "zttools.h"

namespace {

constexpr unsigned char kFirst = 33;  // the character of the 6-bit value 0
constexpr unsigned char kEnd = 'c';
constexpr unsigned char kAbort = 'd';
constexpr unsigned char kRestart = 'e';

// The largest input whose encoding (4 per started group, terminator, NUL)
// still has a length that fits an int.
constexpr int kMaxEncodable = (INT_MAX - 2) / 4 * 3;

// Groups are handled as 32-bit words whose first byte is the group's first
// (little-endian order, which the shifts below assume).
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
constexpr uint32_t kFirstEach = 0x21212121;  // kFirst in every byte

}  // namespace

const ATOB_State ATOB_Init = {0, 0, 0};

namespace {

uint32_t load_word(const unsigned char *at)
{
    uint32_t word;
    memcpy(&word, at, sizeof word);
    return word;
}

// The four characters of the three bytes in the low three bytes of word:
// the packed top bits first, then the low six bits of each byte.
uint32_t encode_group(uint32_t word)
{
    const uint32_t top = word >> 6 & 0x030303;
    // Multiplying gathers the three 2-bit fields into bits 16 to 21, b0's
    // highest; the other products of the fields stay below bit 12 or above
    // bit 25.
    const uint32_t packed = top * 0x100401 >> 16 & 0x3F;
    return ((word & 0x3F3F3F) << 8 | packed) + kFirstEach;
}

}  // namespace

extern "C" {

int atobEncode(char *buf, int len, char term)
{
    if (!buf || len < 0 || len > kMaxEncodable)
        return -1;
    auto *bytes = reinterpret_cast<unsigned char *>(buf);
    int full = len / 3, rest = len % 3;
    // A short last group is encoded as if zero bytes completed it.
    if (rest != 0)
        memset(bytes + len, 0, static_cast<size_t>(3 - rest));
    // Group k moves from 3k to 4k: going from the last group to the first,
    // every group is read before anything is written over it.
    // The word read for a group takes the first byte of the next group
    // too, which is still unwritten and within the buffer, and is ignored.
    for (int k = full + (rest != 0) - 1; k >= 0; k--) {
        const uint32_t chars = encode_group(load_word(bytes + 3 * k));
        memcpy(bytes + 4 * k, &chars, sizeof chars);
    }
    // A short group keeps its first character and those of its real bytes;
    // the terminator takes the place of the rest.
    int length = 4 * full + (rest != 0 ? rest + 1 : 0) + 1;
    buf[length - 1] = term;
    buf[length] = '\0';
    return length;
}

}  // extern "C"

namespace {

// The byte that a data character yields at phase 1, 2 or 3 of a group: the
// character's value, with the top two bits packed for it in the first one.
unsigned char group_byte(unsigned char pack, int phase, unsigned char value)
{
    return static_cast<unsigned char>(value | ((pack >> (6 - 2 * phase)) & 3) << 6);
}

// Four characters that are all in the alphabet (no white space or control
// letter among them), so that they are one whole group: every byte below
// 128, and 31 more than it between 64 and 127.
bool whole_group(uint32_t chars)
{
    return (chars & 0x80808080) == 0 && ((chars + 0x1F1F1F1F) & 0xC0C0C0C0) == 0x40404040;
}

// The three bytes of a whole group, in the low three bytes of the result.
uint32_t decode_group(uint32_t chars)
{
    const uint32_t values = chars - kFirstEach;
    // Multiplying puts copies of the packed 6-bit value at bits 2, 12 and
    // 22, apart enough not to carry; each byte keeps its two top bits.
    const uint32_t top = (values & 0xFF) * 0x401004 & 0xC0C0C0;
    return values >> 8 | top;
}

}  // namespace

extern "C" {

int atobDecode(ATOB_State *state, char *buf, int *len)
{
    if (!state || !len || (!buf && *len > 0))
        return -1;
    int count = *len;
    *len = 0;
    auto *text = reinterpret_cast<unsigned char *>(buf);
    // Kept in locals: the bytes written into the text could alias *state.
    int phase = state->phase;
    unsigned char pack = state->pack;
    int decoded = 0;
    int result = 0;
    for (int i = 0; i < count && result == 0; i++) {
        // The common case, a whole group in four characters, in one step;
        // its characters are all read before its bytes are written.
        // Only the three bytes are written, so that the text after the
        // decoded bytes keeps what it held.
        uint32_t chars;
        while (phase == 0 && i + 4 <= count && whole_group(chars = load_word(text + i))) {
            pack = static_cast<unsigned char>(chars - kFirst);
            const uint32_t group = decode_group(chars);
            memcpy(text + decoded, &group, 3);
            decoded += 3;
            i += 4;
        }
        if (i == count)
            break;
        const unsigned char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n')
            continue;
        if (c == kAbort) {
            decoded = 0;
            result = -1;
        } else if (c == kEnd) {
            result = i + 1;
        } else if (c == kRestart) {
            phase = 0;
        } else {
            // Bytes never overtake the text: each one takes at least one
            // character, so decoded <= i here.
            const unsigned char value = static_cast<unsigned char>(c - kFirst);
            if (phase == 0) {
                pack = value;
                phase = 1;
            } else if (phase >= 1 && phase <= 3) {
                text[decoded++] = group_byte(pack, phase, value);
                phase = (phase + 1) % 4;
            }
            // Any other phase comes from a record not started from
            // ATOB_Init: its characters are skipped.
        }
    }
    state->phase = phase;
    state->pack = pack;
    *len = decoded;
    return result;
}

}  // extern "C"

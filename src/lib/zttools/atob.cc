// The atob codec: arbitrary bytes as printable text without spaces, three
// bytes to four characters from '!' to '`', and back. Both directions work in
// place in one pass; the decoder keeps its place inside a group in the
// caller's state record, so that text may arrive in pieces, and obeys the
// control letters "c" (end), "d" (abort) and "e" (restart the group).
// Its contract: zttools.h and the manual page zttools_atob(3).
#include <limits.h>
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

unsigned char low_six(unsigned char byte)
{
    return static_cast<unsigned char>(kFirst + (byte & 0x3F));
}

// The byte that a data character yields at phase 1, 2 or 3 of a group: the
// character's value, with the top two bits packed for it in the first one.
unsigned char group_byte(unsigned char pack, int phase, unsigned char value)
{
    return static_cast<unsigned char>(value | ((pack >> (6 - 2 * phase)) & 3) << 6);
}

bool in_alphabet(unsigned char c)
{
    return static_cast<unsigned char>(c - kFirst) < 64;
}

// Four alphabet characters at the start of a group: no white space or
// control letter among them, so they are one whole group.
bool whole_group(const unsigned char *text)
{
    return in_alphabet(text[0]) && in_alphabet(text[1]) && in_alphabet(text[2]) &&
           in_alphabet(text[3]);
}

}  // namespace

extern "C" {

const ATOB_State ATOB_Init = {0, 0, 0};

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
    for (int k = full + (rest != 0) - 1; k >= 0; k--) {
        const unsigned char b0 = bytes[3 * k], b1 = bytes[3 * k + 1], b2 = bytes[3 * k + 2];
        unsigned char *out = bytes + 4 * k;
        out[0] = static_cast<unsigned char>(kFirst + ((b0 >> 6) << 4 | (b1 >> 6) << 2 | b2 >> 6));
        out[1] = low_six(b0);
        out[2] = low_six(b1);
        out[3] = low_six(b2);
    }
    // A short group keeps its first character and those of its real bytes;
    // the terminator takes the place of the rest.
    int length = 4 * full + (rest != 0 ? rest + 1 : 0) + 1;
    buf[length - 1] = term;
    buf[length] = '\0';
    return length;
}

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
        while (phase == 0 && i + 4 <= count && whole_group(text + i)) {
            pack = static_cast<unsigned char>(text[i] - kFirst);
            const unsigned char c1 = static_cast<unsigned char>(text[i + 1] - kFirst);
            const unsigned char c2 = static_cast<unsigned char>(text[i + 2] - kFirst);
            const unsigned char c3 = static_cast<unsigned char>(text[i + 3] - kFirst);
            text[decoded++] = group_byte(pack, 1, c1);
            text[decoded++] = group_byte(pack, 2, c2);
            text[decoded++] = group_byte(pack, 3, c3);
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

// The atob codec: arbitrary bytes as printable text without spaces, three
// bytes to four characters from '!' to '`', and back. Both directions work in
// place in one pass; the decoder keeps its place inside a group in the
// caller's state record, so that text may arrive in pieces, and obeys the
// control letters "c" (end), "d" (abort) and "e" (restart the group).
// Whole groups go four at a time through SSE2 registers where the processor
// has them (every x86_64 one; on i386 the processor is asked once), with the
// same formulas as the one-group steps.
// Its contract: zttools.h and the manual page zttools_atob(3).
#include <emmintrin.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>

#include "internal.h"
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
// (little-endian order, which the shifts below assume); four groups at once
// as the four lanes of a vector word.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
constexpr uint32_t kFirstEach = 0x21212121;  // kFirst in every byte
typedef uint32_t FourWords __attribute__((vector_size(16)));
typedef int32_t FourFlags __attribute__((vector_size(16)));
// The helpers taking vector words are file-local and always inlined, so no
// call passes one; i386's note on how such a call would is beside the point.
#pragma GCC diagnostic ignored "-Wpsabi"

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
// the packed top bits first (b0's highest), then the low six bits of each
// byte.
template <typename Word> [[gnu::always_inline]] inline Word encode_group(Word word)
{
    const Word packed = (word >> 2 & 0x30) | (word >> 12 & 0x0C) | (word >> 22 & 0x03);
    return ((word & 0x3F3F3F) << 8 | packed) + kFirstEach;
}

// Group k moves from 3k to 4k. The word read for a group takes the first
// byte of the next group too, which is still unwritten and within the
// buffer, and is ignored.
void encode_one(unsigned char *bytes, int k)
{
    const uint32_t chars = encode_group(load_word(bytes + 3 * k));
    memcpy(bytes + 4 * k, &chars, sizeof chars);
}

// Groups 0 to groups - 1 (a multiple of four), four at a time from the
// last; the four words are all read before their characters are written.
ZT_SSE2 void encode_fours(unsigned char *bytes, int groups)
{
    for (int k = groups - 4; k >= 0; k -= 4) {
        const unsigned char *at = bytes + 3 * k;
        const FourWords words = {load_word(at), load_word(at + 3), load_word(at + 6), load_word(at + 9)};
        const FourWords chars = encode_group(words);
        memcpy(bytes + 4 * k, &chars, sizeof chars);
    }
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
    // Going from the last group to the first, every group is read before
    // anything is written over it.
    const int groups = full + (rest != 0), fours = zt::have_sse2() ? groups / 4 * 4 : 0;
    for (int k = groups - 1; k >= fours; k--)
        encode_one(bytes, k);
    if (fours > 0)
        encode_fours(bytes, fours);
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

// For each group of chars, whether its four characters are all in the
// alphabet (no white space or control letter among them), so that they are
// one whole group: every byte below 128, and 31 more than it between 64 and
// 127.
template <typename Word> [[gnu::always_inline]] inline auto whole_group(Word chars)
{
    return ((chars & 0x80808080) == 0) & (((chars + 0x1F1F1F1F) & 0xC0C0C0C0) == 0x40404040);
}

[[gnu::always_inline]] inline ZT_SSE2 bool all_lanes(FourFlags flags)
{
    return _mm_movemask_epi8(reinterpret_cast<__m128i>(flags)) == 0xFFFF;
}

// The three bytes of a whole group, in the low three bytes of the result:
// the packed value's bit pairs go to the top of bytes 0, 1 and 2.
template <typename Word> [[gnu::always_inline]] inline Word decode_group(Word chars)
{
    const Word values = chars - kFirstEach;
    const Word top = (values << 2 & 0xC0) | (values << 12 & 0xC000) | (values << 22 & 0xC00000);
    return values >> 8 | top;
}

// Whole groups four at a time while sixteen characters of the alphabet
// follow i; moves i, decoded and pack past them. Only the twelve bytes are
// written: each group's word but the last goes out whole, its fourth byte
// then overwritten by the next group. (The places are kept in locals, which
// the bytes written cannot alias.)
ZT_SSE2 void decode_fours(unsigned char *text, int count, int &i, int &decoded, unsigned char &pack)
{
    int at = i, out = decoded;
    unsigned char last_pack = pack;
    for (; at + 16 <= count; at += 16, out += 12) {
        FourWords chars;
        memcpy(&chars, text + at, sizeof chars);
        if (!all_lanes(whole_group(chars)))
            break;
        uint32_t groups[4];
        const FourWords decoded_groups = decode_group(chars);
        memcpy(groups, &decoded_groups, sizeof groups);
        for (int k = 0; k < 3; k++)
            memcpy(text + out + 3 * k, &groups[k], 4);
        memcpy(text + out + 9, &groups[3], 3);
        last_pack = static_cast<unsigned char>(chars[3] - kFirst);
    }
    i = at;
    decoded = out;
    pack = last_pack;
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
        if (zt::have_sse2() && phase == 0)
            decode_fours(text, count, i, decoded, pack);
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

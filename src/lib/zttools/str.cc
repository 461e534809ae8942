// String tools: building and editing heap strings and byte buffers, taking
// text apart into tokens and words, validating it, matching patterns and
// signatures, reading number ranges, substituting tags, bit sets written as
// text, and address text.
// Its contract: zttools.h and the manual page zttools_str(3).
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <bit>

#include "internal.h"
#include "zttools.h"

namespace {

constexpr const char kTraceFile[] = "src/lib/zttools/str";

constexpr int kBuildStep = 512;
constexpr char kTruncationMark[] = "...";
// White space that strstripspace collapses and the tokeniser splits at;
// the classification set (isspace) adds vertical tab and form feed.
constexpr char kSpaceSet[] = "\r\n\t ";
// A range start of -1 reads as none pending, as the number lists of the
// services have always been read: "-1-5" lists only 5.
constexpr long kNoRangeStart = -1;
// Signature length bytes above this lie outside the format: such a
// signature is skipped, so that no byte past it is read.
constexpr unsigned kMaxSigLength = 127;

// One token of zt_str2tokens, as offsets into the text: it runs from start
// to end, where the character that ended it (a separator, the closing quote
// or the NUL) is.
struct Token {
    size_t start;
    size_t end;
};

}  // namespace

extern "C" {

// ---- building -------------------------------------------------------------

char *zt_buildstr(char *base, const char *format, ...)
{
    if (!format) {
        errno = EINVAL;
        return nullptr;
    }
    errno = 0;
    zt::MallocPtr<char> text;
    int size = kBuildStep;
    int length;
    for (;;) {
        char *grown = static_cast<char *>(realloc(text.get(), static_cast<size_t>(size)));
        if (!grown)
            return nullptr;
        (void)text.release();
        text.reset(grown);
        va_list args;
        va_start(args, format);
        length = vsnprintf(text.get(), static_cast<size_t>(size), format, args);
        va_end(args);
        if (length < 0)
            return nullptr;
        if (length < size)
            break;
        // The buffer grows in steps of kBuildStep; go straight to the
        // first step that holds the text and its NUL.
        long long needed = (static_cast<long long>(length) / kBuildStep + 1) * kBuildStep;
        if (needed > INT_MAX) {
            errno = EOVERFLOW;
            return nullptr;
        }
        size = static_cast<int>(needed);
    }
    if (errno != 0)
        return nullptr;
    if (!base)
        return text.release();
    size_t base_length = strlen(base);
    char *joined = static_cast<char *>(realloc(base, base_length + static_cast<size_t>(length) + 1));
    if (!joined)
        return nullptr;
    memcpy(joined + base_length, text.get(), static_cast<size_t>(length) + 1);
    return joined;
}

}  // extern "C"

namespace {

// Where p lies in the string s of length characters (its NUL included), or
// kElsewhere: a source taken from the very string that a call resizes is
// found again at that offset in the resized block.
constexpr size_t kElsewhere = SIZE_MAX;
size_t offset_in(const char *s, size_t length, const char *p)
{
    const auto at = reinterpret_cast<uintptr_t>(p), start = reinterpret_cast<uintptr_t>(s);
    return at >= start && at - start <= length ? at - start : kElsewhere;
}

}  // namespace

extern "C" {

char *strnappend(char **dst, const char *src, size_t n)
{
    if (!dst || !src)
        return nullptr;
    size_t take = strnlen(src, n);
    if (!*dst) {
        *dst = strndup(src, take);
        return *dst;
    }
    size_t length = strlen(*dst);
    const size_t own = offset_in(*dst, length, src);
    // Room for n bytes even when src is shorter, unless n is so large that
    // the size would wrap.
    size_t room = n < SIZE_MAX - length ? n : take;
    char *grown = static_cast<char *>(realloc(*dst, length + room + 1));
    if (!grown)
        return nullptr;
    memcpy(grown + length, own == kElsewhere ? src : grown + own, take);
    grown[length + take] = '\0';
    *dst = grown;
    return grown;
}

char *strappend(char **dst, const char *src)
{
    return src ? strnappend(dst, src, strlen(src)) : nullptr;
}

char *strprepend(char **dst, const char *prefix)
{
    if (!dst || !prefix)
        return nullptr;
    if (!*dst) {
        *dst = strdup(prefix);
        return *dst;
    }
    size_t length = strlen(*dst);
    size_t prefix_length = strlen(prefix);
    const size_t own = offset_in(*dst, length, prefix);
    char *grown = static_cast<char *>(realloc(*dst, length + prefix_length + 1));
    if (!grown)
        return nullptr;
    memmove(grown + prefix_length, grown, length);
    // A prefix from the string itself has moved up with it.
    memcpy(grown, own == kElsewhere ? prefix : grown + prefix_length + own, prefix_length);
    grown[length + prefix_length] = '\0';
    *dst = grown;
    return grown;
}

}  // extern "C"

namespace {

bool is_classified_space(char c)
{
    return isspace(static_cast<unsigned char>(c));
}

const char *skip_classified_space(const char *s)
{
    while (is_classified_space(*s))
        s++;
    return s;
}

// Appends n bytes of src to *text. When memory runs out the text is
// released and left null, so that the caller can hand back the failure.
bool append_or_drop(char **text, const char *src, size_t n)
{
    if (strnappend(text, src, n))
        return true;
    free(*text);
    *text = nullptr;
    return false;
}

}  // namespace

extern "C" {

char *strduptruncate(const char *s, size_t max, const char *extra)
{
    if (!s)
        return nullptr;
    size_t extra_length = extra ? strlen(extra) : 0;
    if (strlen(s) + extra_length < max)
        return strdup(s);
    // Unsigned on purpose: an extra longer than max keeps the whole of s.
    char *copy = strndup(s, max - extra_length);
    return copy && append_or_drop(&copy, kTruncationMark, sizeof kTruncationMark - 1) ? copy
                                                                                        : nullptr;
}

char *strjoin(const Array *array, const char *sep)
{
    static void *const kEmpty[] = {nullptr};
    void *const *elems = array && array->elems ? array->elems : kEmpty;
    size_t sep_length = sep ? strlen(sep) : 0;
    size_t total = 0, n = 0;
    for (; elems[n]; n++)
        total += strlen(static_cast<const char *>(elems[n]));
    if (n > 0)
        total += (n - 1) * sep_length;
    char *joined = static_cast<char *>(malloc(total + 1));
    if (!joined)
        return nullptr;
    char *at = joined;
    for (size_t i = 0; i < n; i++) {
        at = stpcpy(at, static_cast<const char *>(elems[i]));
        if (i + 1 < n && sep)
            at = stpcpy(at, sep);
    }
    *at = '\0';
    return joined;
}

// ---- editing --------------------------------------------------------------

char *strstripspace(const char *s)
{
    if (!s || *s == '\0')
        return nullptr;
    char *result = nullptr;
    for (;;) {
        size_t word = strcspn(s, kSpaceSet);
        if (s[word] == '\0')
            return append_or_drop(&result, s, word) ? result : nullptr;
        if (!append_or_drop(&result, s, word) || !append_or_drop(&result, " ", 1))
            return nullptr;
        s = skip_classified_space(s + word);
        if (*s == '\0')
            return result;
    }
}

void memshift(void **buf, int *len, int n)
{
    if (!buf || !len || n < 0)
        return;
    if (*len > n) {
        int remaining = *len - n;
        memmove(*buf, static_cast<char *>(*buf) + n, static_cast<size_t>(remaining));
        // A smaller block that cannot be had leaves the larger one in use.
        if (void *shrunk = realloc(*buf, static_cast<size_t>(remaining)))
            *buf = shrunk;
        *len = remaining;
        return;
    }
    free(*buf);
    *buf = nullptr;
    *len = 0;
}

void memunshift(void **buf, int *len, int n)
{
    if (!buf || !len || n <= 0 || *len < 0 || *len > INT_MAX - n)
        return;
    char *grown = static_cast<char *>(realloc(*buf, static_cast<size_t>(*len) + static_cast<size_t>(n)));
    if (!grown)
        return;
    memmove(grown + n, grown, static_cast<size_t>(*len));
    *buf = grown;
    *len += n;
}

void drop(void *p)
{
    if (p)
        free(p);
}

void *resize(void **pp, size_t size)
{
    if (!pp)
        return nullptr;
    void *block = size != 0 ? realloc(*pp, size) : nullptr;
    if (!block)
        free(*pp);
    *pp = block;
    return block;
}

}  // extern "C"

// ---- tokens, words and validation -----------------------------------------

namespace {

// Finds the token at or after *pos and moves *pos to where scanning goes on
// after it; false when the text holds no more tokens. The text is only read,
// so the counting pass and the filling pass see the same tokens.
bool next_token(const char *text, size_t *pos, Token *token)
{
    for (;;) {
        size_t at = *pos + strspn(text + *pos, kSpaceSet);
        char c = text[at];
        if (c == '\0') {
            *pos = at;
            return false;
        }
        if (c == '\'' || c == '"') {
            size_t start = at + 1;
            const char *close = strchr(text + start, c);
            size_t end = close ? static_cast<size_t>(close - text) : start + strlen(text + start);
            *pos = close ? end + 1 : end;
            if (end == start)  // two quotes in a row, or a quote at the end
                continue;
            *token = {start, end};
            return true;
        }
        size_t end = at + strcspn(text + at, kSpaceSet);
        *token = {at, end};
        *pos = text[end] ? end + 1 : end;
        return true;
    }
}

}  // namespace

extern "C" {

char **zt_str2tokens(const char *text, int *count)
{
    if (count)
        *count = 0;
    if (!text)
        return nullptr;
    Token token;
    int n = 0;
    for (size_t pos = 0; next_token(text, &pos, &token);)
        n++;
    ZT_TRACE_DEBUG("%s: found %d tokens", __func__, n);
    if (count)
        *count = n;
    size_t slots = (static_cast<size_t>(n) + 1) * sizeof(char *);
    size_t length = strlen(text);
    auto **tokens = static_cast<char **>(malloc(slots + length + 1));
    if (!tokens)
        return nullptr;
    char *copy = reinterpret_cast<char *>(tokens) + slots;
    memcpy(copy, text, length + 1);
    int index = 0;
    for (size_t pos = 0; next_token(text, &pos, &token); index++) {
        copy[token.end] = '\0';
        tokens[index] = copy + token.start;
        ZT_TRACE_DEBUG("%s: adding token [%s] at index %d", __func__, tokens[index], index);
    }
    tokens[n] = nullptr;
    ZT_TRACE_DEBUG("%s: adding token NULL at index %d", __func__, n);
    return tokens;
}

void zt_tokens_free(char **tokens)
{
    if (tokens)
        free(tokens);
}

char *GetWord(char **cursor, const char *delims)
{
    if (!cursor || !*cursor)
        return nullptr;
    char *s = *cursor;
    if (!delims)
        delims = "";
    size_t length = strcspn(s, delims);
    char *word = strndup(s, length);
    if (!word)
        return nullptr;
    *cursor = s[length] ? s + length + strspn(s + length, delims) : nullptr;
    return word;
}

char *firstword(const char *s)
{
    return s ? const_cast<char *>(skip_classified_space(s)) : nullptr;
}

char *nextword(const char *s)
{
    if (!s)
        return nullptr;
    while (*s && !is_classified_space(*s))
        s++;
    return firstword(s);
}

void SkipSpace(char **cursor)
{
    if (cursor && *cursor)
        *cursor = firstword(*cursor);
}

int IsValidStr(const char *s, int maxlen, uint8_t mask, const char *allowed, int (*accept)(int))
{
    if (!s)
        return 0;
    for (size_t i = 0; (maxlen < 0 || i < static_cast<size_t>(maxlen)) && s[i]; i++) {
        char c = s[i];
        if (mask != 0 && (static_cast<unsigned char>(c) & ~mask))
            return 0;
        if (accept && accept(static_cast<signed char>(c)))
            continue;
        if (allowed && !strchr(allowed, c))
            return 0;
    }
    return 1;
}

}  // extern "C"

namespace {

bool same_bytes(const unsigned char *a, const unsigned char *b, size_t n, bool nocase)
{
    if (!nocase)
        return memcmp(a, b, n) == 0;
    for (size_t i = 0; i < n; i++) {
        if (tolower(a[i]) != tolower(b[i]))
            return false;
    }
    return true;
}

}  // namespace

extern "C" {

int CheckSig(const void *data, uint32_t len, const Array *sigs, int nocase)
{
    if (!sigs || !sigs->elems || sigs->count == 0)
        return 1;
    if (!data)
        len = 0;
    const auto *bytes = static_cast<const unsigned char *>(data);
    int result = -1;
    for (void **slot = sigs->elems; *slot; slot++) {
        const auto *sig = static_cast<const unsigned char *>(*slot);
        if (sig[0] > kMaxSigLength)
            continue;
        size_t n = std::min<size_t>(sig[0], len);
        if (n == 0)
            continue;
        if (same_bytes(bytes, sig + 1, n, nocase))
            return 0;
        result = 1;
    }
    return result;
}

// ---- patterns, ranges, tags and bit sets ----------------------------------

int Match(const char *a, const char *b)
{
    return a && b && strcasecmp(a, b) == 0;
}

int MatchPattern(const char *s, const char *pattern)
{
    if (!pattern)
        return s ? -1 : 0;
    if (!s)
        return -1;
    const char *star = strchr(pattern, '*');
    if (!star)
        return strcasecmp(s, pattern) == 0;
    return strncasecmp(s, pattern, static_cast<size_t>(star - pattern)) == 0;
}

}  // extern "C"

namespace {

// Appends one number to a number list; false when the vector could not grow.
bool push_number(Array *out, long long value)
{
    uint32_t before = out->count;
    ArrayPush(out, reinterpret_cast<void *>(static_cast<intptr_t>(value)));
    return out->count != before;
}

}  // namespace

extern "C" {

Array *ParseNumRange(const char *text, Array *out)
{
    if (!out)
        return nullptr;
    if (!text || *text == '\0')
        return out;
    errno = 0;
    long range_start = kNoRangeStart;
    const char *at = text;
    for (;;) {
        char *end;
        long value = strtol(at, &end, 10);
        if (errno == ERANGE || value < INT_MIN || value > INT_MAX) {
            errno = ERANGE;
            return nullptr;
        }
        char c = *end;
        if (c == '\0' || c == ',' || is_classified_space(c)) {
            long long first = range_start == kNoRangeStart ? value : range_start;
            for (long long n = first; n <= value; n++) {
                if (!push_number(out, n)) {
                    errno = ENOMEM;
                    return nullptr;
                }
            }
            range_start = kNoRangeStart;
            at = c ? end + 1 : end;
        } else if (c == '-') {
            if (range_start != kNoRangeStart)
                return nullptr;
            range_start = value;
            at = end + 1;
        } else if (c == '#') {
            at = end + strcspn(end, "\n\r");  // the number before it is dropped
        } else {
            return nullptr;
        }
        at = skip_classified_space(at);
        if (*at == '\0')
            return out;
    }
}

}  // extern "C"

namespace {

const TagEntry *find_tag(const TagEntry *table, char tag)
{
    if (!table)
        return nullptr;
    for (; table->tag != '\0'; table++) {
        if (table->tag == tag)
            return table;
    }
    return nullptr;
}

}  // namespace

extern "C" {

char *TagReplace(const char *text, char tagchar, const TagEntry *table)
{
    if (!text)
        return nullptr;
    // Empty pieces are not appended: a template that produces nothing
    // gives null, not an empty string.
    char *result = nullptr;
    for (;;) {
        const char *tag = tagchar ? strchr(text, tagchar) : nullptr;
        if (!tag) {
            size_t rest = strlen(text);
            return rest == 0 || append_or_drop(&result, text, rest) ? result : nullptr;
        }
        if (tag > text && !append_or_drop(&result, text, static_cast<size_t>(tag - text)))
            return nullptr;
        if (tag[1] == tagchar) {  // a doubled tag character stands for itself
            if (!append_or_drop(&result, tag, 1))
                return nullptr;
        } else if (const TagEntry *entry = find_tag(table, tag[1])) {
            const char *replacement = entry->replacement;
            if (replacement && !append_or_drop(&result, replacement, strlen(replacement)))
                return nullptr;
        } else {
            free(result);
            return nullptr;
        }
        text = tag + 2;
    }
}

uint8_t *BitsNew(size_t nbits)
{
    size_t bytes = nbits == 0 ? 1 : (nbits - 1) / 8 + 1;
    return static_cast<uint8_t *>(calloc(bytes, 1));
}

uint8_t *StrToBits(const char *s, uint8_t *bits)
{
    size_t length = s ? strlen(s) : 0;
    if (!bits && !(bits = BitsNew(length)))
        return nullptr;
    for (size_t k = 0; k < length; k++) {
        if (s[k] == '1') {
            size_t bit = length - 1 - k;
            bits[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
        }
    }
    return bits;
}

// ---- address text ---------------------------------------------------------

int parse_ip(const char *text, uint32_t *addr, uint32_t *mask)
{
    if (!text || !addr || !mask)
        return 1;
    // Read as "%d.%d.%d.%d/%d" would read, but into long long: an int that
    // overflowed would be undefined, and wrap on 64-bit targets only.
    long long part[4], prefix;
    int converted = sscanf(text, "%lld.%lld.%lld.%lld/%lld", &part[0], &part[1], &part[2], &part[3],
                           &prefix);
    if (converted < 4)
        return 1;
    uint32_t value = 0;
    for (long long byte : part) {
        if (byte < 0 || byte > 255)
            return 1;
        value = value << 8 | static_cast<uint32_t>(byte);
    }
    *addr = value;
    *mask = UINT32_MAX;
    if (converted == 4)
        return 0;
    if (prefix < 0 || prefix > 32)
        return 1;
    *mask = prefix == 0 ? 0 : UINT32_MAX << (32 - prefix);
    return 0;
}

char *ip2str(uint32_t addr, uint32_t mask)
{
    constexpr size_t kSize = 32;  // "255.255.255.255/31" and more fit
    char *text = static_cast<char *>(malloc(kSize));
    if (!text)
        return nullptr;
    struct in_addr in = {htonl(addr)};
    int ones = mask == UINT32_MAX ? 0 : std::countl_one(mask);
    if (ones > 0)
        snprintf(text, kSize, "%s/%d", inet_ntoa(in), ones);
    else
        snprintf(text, kSize, "%s", inet_ntoa(in));
    return text;
}

char *FormatSockaddr(const struct sockaddr_in *sa)
{
    if (!sa)
        return nullptr;
    char *text = nullptr;
    if (sa->sin_port != 0 && asprintf(&text, ":%d", ntohs(sa->sin_port)) < 0)
        return nullptr;
    const char *host = sa->sin_addr.s_addr != 0 ? inet_ntoa(sa->sin_addr) : "any";
    if (!strprepend(&text, host)) {
        free(text);
        return nullptr;
    }
    return text;
}

int CmpSockaddr(const struct sockaddr_in *a, const struct sockaddr_in *b)
{
    if (!a || !b)
        return (a != nullptr) - (b != nullptr);
    return memcmp(a, b, sizeof *a);
}

}  // extern "C"

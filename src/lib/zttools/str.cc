// String tools: building and editing heap strings, words and tokens,
// patterns, ranges and tags, and address text.
#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <bit>

#include "internal.h"
#include "zttools.h"

namespace {

constexpr int kBuildStep = 512;

}  // namespace

extern "C" {

// ---- building and editing -----------------------------------------------

char *zt_buildstr(char *base, const char *format, ...)
{
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

char *strnappend(char **dst, const char *src, size_t n)
{
    size_t take = strnlen(src, n);
    if (!*dst) {
        *dst = strndup(src, take);
        return *dst;
    }
    size_t length = strlen(*dst);
    char *grown = static_cast<char *>(realloc(*dst, length + take + 1));
    if (!grown)
        return nullptr;
    memcpy(grown + length, src, take);
    grown[length + take] = '\0';
    *dst = grown;
    return grown;
}

char *strappend(char **dst, const char *src)
{
    return strnappend(dst, src, strlen(src));
}

char *strprepend(char **dst, const char *prefix)
{
    if (!*dst) {
        *dst = strdup(prefix);
        return *dst;
    }
    size_t length = strlen(*dst);
    size_t prefix_length = strlen(prefix);
    char *grown = static_cast<char *>(realloc(*dst, length + prefix_length + 1));
    if (!grown)
        return nullptr;
    memmove(grown + prefix_length, grown, length);
    memcpy(grown, prefix, prefix_length);
    grown[length + prefix_length] = '\0';
    *dst = grown;
    return grown;
}

// ---- words, tokens and validation ----------------------------------------

// ---- patterns, ranges, tags and bit sets ---------------------------------

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

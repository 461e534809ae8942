// String tools: building and editing heap strings, words and tokens,
// patterns, ranges and tags, and address text.
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

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

}  // extern "C"

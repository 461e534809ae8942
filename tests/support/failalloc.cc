// The failing allocator: replaces malloc, calloc and realloc for the whole
// process and forwards to the real ones (glibc's, or the sanitizer's in
// sanitized builds, where this file itself is not instrumented).
#include "failalloc.h"

#include <errno.h>
#include <stddef.h>

#if defined(ZT_FAILALLOC_UNDER_ASAN)
#define REAL(name) __interceptor_##name
#else
#define REAL(name) __libc_##name
#endif

extern "C" {
void *REAL(malloc)(size_t size);
void *REAL(calloc)(size_t count, size_t size);
void *REAL(realloc)(void *block, size_t size);
void REAL(free)(void *block);
}

namespace zt_test::failalloc {
namespace {

bool armed = false;
unsigned fail_at = 0;
Mode fail_mode = Mode::once;
unsigned seen = 0;
bool hit = false;

// Counts one allocation; true when this one is to fail.
bool should_fail()
{
    if (!armed)
        return false;
    seen++;
    bool fails = fail_mode == Mode::once ? seen == fail_at : seen >= fail_at;
    if (fails) {
        hit = true;
        errno = ENOMEM;
    }
    return fails;
}

}  // namespace

void arm(unsigned k, Mode mode)
{
    fail_at = k;
    fail_mode = mode;
    seen = 0;
    hit = false;
    armed = true;
}

void disarm()
{
    armed = false;
}

unsigned calls()
{
    return seen;
}

bool failed()
{
    return hit;
}

}  // namespace zt_test::failalloc

using zt_test::failalloc::should_fail;

extern "C" {

void *malloc(size_t size)
{
    return should_fail() ? nullptr : REAL(malloc)(size);
}

void *calloc(size_t count, size_t size)
{
    return should_fail() ? nullptr : REAL(calloc)(count, size);
}

void *realloc(void *block, size_t size)
{
    return should_fail() ? nullptr : REAL(realloc)(block, size);
}

void free(void *block)
{
    REAL(free)(block);
}

}  // extern "C"

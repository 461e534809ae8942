// Helpers shared by the library's families: ownership of descriptors, heap
// blocks and errno, and the one way every family emits a diagnostic trace.
// Nothing here is exported.
#ifndef ZTTOOLS_INTERNAL_H
#define ZTTOOLS_INTERNAL_H

#include <cpuid.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <memory>

#include "ztsvc.h"

struct list_link;

namespace zt {

// Restores errno when it goes out of scope, so that clean-up (close, free,
// a trace) never changes the error a caller is to see.
class SavedErrno {
public:
    SavedErrno() : value_(errno) {}
    ~SavedErrno() { errno = value_; }
    SavedErrno(const SavedErrno &) = delete;
    SavedErrno &operator=(const SavedErrno &) = delete;
    int value() const { return value_; }

private:
    int value_;
};

// Owns a descriptor; closes it (keeping errno) unless released.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            SavedErrno keep;
            close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

// Owns a block from malloc; frees it (keeping errno) unless released.
struct FreeDeleter {
    void operator()(void *block) const
    {
        SavedErrno keep;
        free(block);
    }
};
template <typename T> using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// Owns a stream from fopen; closes it (keeping errno) unless released.
struct FileCloser {
    void operator()(FILE *file) const
    {
        SavedErrno keep;
        fclose(file);
    }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// Calls piece(offset, count) for the pieces of width bytes (the last one
// shorter) that cover length bytes, in order. It counts what is left, so a
// length near the type's limit ends: an offset stepped past the last piece
// would wrap round to 0 and start again.
template <typename Piece> void for_each_piece(unsigned length, unsigned width, Piece piece)
{
    unsigned offset = 0;
    for (unsigned left = length; left > 0;) {
        const unsigned count = left < width ? left : width;
        piece(offset, count);
        offset += count;
        left -= count;
    }
}

// The two kinds of trace record.
struct TraceKind {
    int level;
    int severity;
};
inline constexpr TraceKind kErrorTrace = {1, LOG_ERR};
inline constexpr TraceKind kDebugTrace = {4, LOG_DEBUG};

// Decides whether one trace record is emitted: the diagnostic level is asked
// afresh for every record, and errno is the caller's both when the record is
// formatted (for "%m") and after it.
class TraceGate {
public:
    explicit TraceGate(TraceKind kind) : open_(ztlog_diag_level(-1) >= kind.level) {}
    bool open()
    {
        errno = saved_.value();
        return open_;
    }

private:
    SavedErrno saved_;
    bool open_;
};

// Whether the processor runs SSE2 code, which functions marked ZT_SSE2 use:
// every x86_64 one does; an i386 one is asked at the first call (calls that
// race there both ask, and agree), so that loading the library costs
// nothing.
#define ZT_SSE2 __attribute__((target("sse2")))
#ifdef __SSE2__
constexpr bool have_sse2()
{
    return true;
}
#else
inline int sse2_known = -1;  // 1 or 0 once asked
inline bool have_sse2()
{
    int known = __atomic_load_n(&sse2_known, __ATOMIC_RELAXED);
    if (known < 0) {
        unsigned int eax, ebx, ecx, edx;
        known = __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (edx & bit_SSE2) != 0;
        __atomic_store_n(&sse2_known, known, __ATOMIC_RELAXED);
    }
    return known != 0;
}
#endif

// Puts link, which the caller allocated, in front of the list as list_push
// does, holding elem. The list frees the link when it is removed, so a
// block that starts with the link goes with it.
void list_push_link(struct ::list_link **list, struct ::list_link *link, void *elem);

// Marks link as removed, to be freed by the purge that ends the outermost
// iteration of its list. Every mark goes through here: a walk that sees no
// mark made while it ran leaves the purge out.
void list_mark(struct ::list_link *link);

}  // namespace zt

// Emits a trace in the name of function. Each family defines kTraceFile,
// the source file name that its records carry.
#define ZT_TRACE_AS(function, kind, ...)                                                     \
    do {                                                                                     \
        ::zt::TraceGate trace_gate_(kind);                                                   \
        if (trace_gate_.open())                                                              \
            ztlog_trace_r(-1, (kind).level, (kind).severity, kTraceFile, __LINE__, function, \
                          __VA_ARGS__);                                                      \
    } while (0)
// Emits a trace from the calling function.
#define ZT_TRACE_ERROR(...) ZT_TRACE_AS(__func__, ::zt::kErrorTrace, __VA_ARGS__)
#define ZT_TRACE_DEBUG(...) ZT_TRACE_AS(__func__, ::zt::kDebugTrace, __VA_ARGS__)

#endif

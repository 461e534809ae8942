// Test support: every test process runs in namespaces of its own (private
// /tmp and /dev with a /dev/log that the test reads, its own network and
// System V IPC), and observes syslog records and diagnostic traces.
#ifndef ZT_TEST_H
#define ZT_TEST_H

#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <syslog.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace zt_test {

// Set up by the test main before any test runs.
bool isolated();
const std::string &isolation_problem();

#define ZT_REQUIRE_ISOLATION()                                                                 \
    do {                                                                                       \
        if (!::zt_test::isolated())                                                            \
            GTEST_SKIP() << "needs root and private namespaces: " << ::zt_test::isolation_problem(); \
    } while (0)

// The test process calls openlog with this facility, so that a record
// logged with a bare severity arrives as kDefaultFacility | severity, and
// one logged with LOG_USER | severity keeps LOG_USER.
constexpr int kDefaultFacility = LOG_LOCAL0;

struct SyslogRecord {
    int priority;         // facility | severity, as sent
    std::string message;  // the text after "ident: " (a trailing newline is kept)
};
// Every record received since the last call.
std::vector<SyslogRecord> take_syslog();

struct TraceRecord {
    int level;
    std::string severity;  // "err", "debug", ...
    std::string file;
    int line;
    std::string function;
    std::string message;
    std::string time;  // as written, e.g. "2026-12-08T01:23:45.123456Z"
    int pid = -1;
};

// Sends diagnostic traces to a private file for the capture's lifetime and
// sets the diagnostic level.
class TraceCapture {
public:
    explicit TraceCapture(int level = 4);
    ~TraceCapture();
    TraceCapture(const TraceCapture &) = delete;
    TraceCapture &operator=(const TraceCapture &) = delete;
    void set_level(int level);
    // Every record written since the last call.
    std::vector<TraceRecord> take();

private:
    int fd_;
    int previous_level_;
    off_t consumed_ = 0;
};

// The trace records of a sink's text (a ZTLOG_FILE, say), line by line.
std::vector<TraceRecord> parse_traces(const std::string &text);

// Number of descriptors this process has open.
int open_fd_count();

// Checks, when it goes out of scope, that the process has as many
// descriptors open as when it was made: a leak on any path fails the test.
class FdGuard {
public:
    FdGuard() : before_(open_fd_count()) {}
    ~FdGuard() { EXPECT_EQ(open_fd_count(), before_) << "descriptors leaked or closed"; }
    FdGuard(const FdGuard &) = delete;
    FdGuard &operator=(const FdGuard &) = delete;

private:
    int before_;
};

inline bool operator==(const SyslogRecord &a, const SyslogRecord &b)
{
    return a.priority == b.priority && a.message == b.message;
}
inline void PrintTo(const SyslogRecord &record, std::ostream *os)
{
    *os << "{" << record.priority << ", \"" << record.message << "\"}";
}
// Checks that exactly these records arrived since the last take, in order,
// e.g. EXPECT_SYSLOG({LOG_ERR | kDefaultFacility, "text\n"}).
#define EXPECT_SYSLOG(...) \
    EXPECT_EQ(::zt_test::take_syslog(), (std::vector<::zt_test::SyslogRecord>{__VA_ARGS__}))

// size bytes that end where a mapped page ends, followed by a page that
// cannot be read or written: touching one byte past the end faults.
class GuardedBytes {
public:
    explicit GuardedBytes(size_t size);
    ~GuardedBytes();
    GuardedBytes(const GuardedBytes &) = delete;
    GuardedBytes &operator=(const GuardedBytes &) = delete;
    unsigned char *data() { return data_; }

private:
    void *mapping_;
    size_t mapping_size_;
    unsigned char *data_;
};

// The whole content of a file (a memory file, say), read from its start.
std::string file_text(int fd);

// What body writes to descriptor 2, which goes to a memory file meanwhile.
std::string stderr_of(const std::function<void()> &body);

// Runs body in a forked child whose exit status is body's result, and
// returns the child's wait status. The child never returns into gtest.
int run_in_child(const std::function<int()> &body);

// Runs body in a forked child and says how it failed: "" when it returned
// 0, else the condition of the CHILD_CHECK that failed (or how it ended).
// Used as EXPECT_EQ(zt_test::child_failure([&] { ...; return 0; }), "").
std::string child_failure(const std::function<int()> &body);

// In a child_failure body: ends the child with the condition's text when
// it does not hold.
#define CHILD_CHECK(condition)                                                    \
    do {                                                                          \
        if (!(condition)) {                                                       \
            fprintf(stderr, "line %d: %s", __LINE__, #condition);                 \
            return 1;                                                             \
        }                                                                         \
    } while (0)

// What a program did: its exit status (128 + the signal when one ended it)
// and what it wrote to standard output and standard error.
struct ProgramRun {
    int status;
    std::string out, err;
};

// Runs command (the program's path, then its arguments) with input on its
// standard input; a program still running after limit_secs is killed.
ProgramRun run_program(const std::vector<std::string> &command, const std::string &input = "",
                       int limit_secs = 60);

// A directory at path whose entries, made in the lower directory by fill
// before the mount, have inode numbers beyond 32 bits: an overlay of two
// tmpfs with extended inode numbers. problem() says why there is none.
class WideInodeDir {
public:
    WideInodeDir(const std::string &path, const std::function<void(const std::string &lower)> &fill);
    ~WideInodeDir();
    WideInodeDir(const WideInodeDir &) = delete;
    WideInodeDir &operator=(const WideInodeDir &) = delete;
    const std::string &problem() const { return problem_; }

private:
    std::string path_, problem_;
};

// A call's result with the errno it left, to compare as one pair:
// EXPECT_EQ(with_errno(call()), std::pair(-1, EINVAL)).
inline std::pair<int, int> with_errno(int result)
{
    return {result, errno};
}

// The exit status of body run in a child (run_in_child), or -1 when the
// child did not exit.
inline int exit_status_of(const std::function<int()> &body)
{
    const int status = run_in_child(body);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zt_test

#endif

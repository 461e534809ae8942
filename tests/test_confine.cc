// Confinement in forked children, which may change their ids, root, limits
// and mounts freely: the sandbox and the switch to "nobody" with each
// failure's record, CPU limits, signal actions, and randint over known bytes.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "zt_test.h"
#include "zttools.h"

namespace {

constexpr uid_t kUser = 1000;

// The exit code of body run in a child (-1 when it did not exit).
int in_child(const std::function<int()> &body)
{
    int status = zt_test::run_in_child(body);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#define EXPECT_CHILD_EXIT(code, ...) EXPECT_EQ(in_child(__VA_ARGS__), code)

// 0 when every check holds; otherwise a bit set for each that fails, the
// first check's the highest.
int failures(std::initializer_list<bool> checks)
{
    int bits = 0;
    for (bool ok : checks)
        bits = bits * 2 + !ok;
    return bits;
}

bool become_user() { return setgid(kUser) == 0 && setuid(kUser) == 0; }

// Gives the child a mount namespace of its own (once).
bool private_mounts()
{
    static bool done = false;
    if (!done)
        done = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return done;
}

// Replaces path with a file of the given bytes, for this child alone.
bool replace_file(const char *path, const std::string &bytes)
{
    const std::string copy = "/tmp/replacement" + std::to_string(getpid()) + "-" + (strrchr(path, '/') + 1);
    int fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool written = fd >= 0 && write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size();
    close(fd);
    return written && private_mounts() && mount(copy.c_str(), path, nullptr, MS_BIND, nullptr) == 0;
}

class ConfineTest : public testing::Test {
protected:
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        (void)!system("rm -rf " ZT_SANDBOX_ROOT);
        zt_test::take_syslog();
    }
    // The records the children logged, at LOG_USER | LOG_DEBUG unless said otherwise.
    void expect_log(const std::vector<std::string> &messages, int priority = LOG_USER | LOG_DEBUG)
    {
        std::vector<zt_test::SyslogRecord> records = zt_test::take_syslog();
        ASSERT_EQ(records.size(), messages.size());
        for (size_t i = 0; i < records.size(); i++)
            EXPECT_EQ(std::to_string(records[i].priority) + " " + records[i].message,
                      std::to_string(priority) + " " + messages[i]);
    }
};

TEST_F(ConfineTest, SandboxMakesANewRootAndBecomesNobody)
{
    EXPECT_CHILD_EXIT(0, [] {
        struct stat st = {};
        char cwd[64] = "";
        // The sandbox is now the root: the old /tmp is gone.
        return failures({sandbox("svc") == 0, stat("/", &st) == 0, access("/tmp", F_OK) < 0,
                         getcwd(cwd, sizeof cwd) && strcmp(cwd, "/") == 0,
                         st.st_uid == 65534 && st.st_gid == 65534 && (st.st_mode & 0777) == 0700,
                         getuid() == 65534 && geteuid() == 65534 && getgid() == 65534,
                         getpgrp() == getpid()});
    });
    struct stat st;
    ASSERT_EQ(stat(ZT_SANDBOX_ROOT, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    expect_log({});

    // A second service: the root exists already; the sandbox itself must not.
    EXPECT_CHILD_EXIT(0, [] { return sandbox("other"); });
    EXPECT_CHILD_EXIT(0, [] { return failures({sandbox("svc") == -1, getuid() == 0}); });
    EXPECT_CHILD_EXIT(255, [] { return sandbox(""); });
    EXPECT_CHILD_EXIT(255, [] { return enter_sandbox_dir(nullptr, 0, 0); });
    expect_log({"mkdir(/tmp/sandbox/svc, 0700) failed (File exists)",
                "mkdir(/tmp/sandbox/, 0700) failed (File exists)", "no name given"});

    // Without a "nobody" in the user database (and no services that make one
    // up) the ids are 65535.
    EXPECT_TRUE(get_nobody_uid() == 65534 && get_nobody_gid() == 65534);
    EXPECT_CHILD_EXIT(0, [] {
        return failures({replace_file("/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n"),
                         replace_file("/etc/nsswitch.conf", "passwd: files\ngroup: files\n"),
                         get_nobody_uid() == 65535 && get_nobody_gid() == 65535, sandbox("plain") == 0,
                         getuid() == 65535 && getgid() == 65535});
    });
}

TEST_F(ConfineTest, EachFailingStepIsLoggedAndEndsTheWay)
{
    // The root cannot be made on a read-only /tmp.
    EXPECT_CHILD_EXIT(255, [] {
        if (!private_mounts() || mount("ro", "/tmp", "tmpfs", MS_RDONLY, nullptr) < 0)
            return 100;
        return enter_sandbox_dir("svc", 0, 0);
    });
    expect_log({"mkdir(/tmp/sandbox, 0700) failed (Read-only file system)"});

    // Without privileges the owner cannot be given away (the ids printed in
    // octal), the root not changed (the working directory stays changed),
    // nor the group (the user stays); a session leader cannot start a
    // process group of its own.
    ASSERT_EQ(mkdir(ZT_SANDBOX_ROOT, 0700), 0);
    ASSERT_EQ(chown(ZT_SANDBOX_ROOT, kUser, kUser), 0);
    EXPECT_CHILD_EXIT(255, [] { return become_user() ? enter_sandbox_dir("a", 8, 9) : 100; });
    EXPECT_CHILD_EXIT(0, [] {
        char cwd[64] = "";
        return failures({become_user(), enter_sandbox_dir("b", kUser, kUser) == -1,
                         getcwd(cwd, sizeof cwd) && strcmp(cwd, "/tmp/sandbox/b") == 0});
    });
    EXPECT_CHILD_EXIT(0, [] {
        return failures({become_user(), SetNobodyId(65534, 65534) == -1, getuid() == kUser});
    });
    EXPECT_CHILD_EXIT(255, [] { return setsid() < 0 ? 100 : SetNobodyId(0, 0); });
    expect_log({"chown(/tmp/sandbox/a, 010, 011) failed (Operation not permitted)",
                "chroot(/tmp/sandbox/b) failed (Operation not permitted)",
                "setgid(65534) failed (Operation not permitted)",
                "setpgrp failed (Operation not permitted)"});
}

TEST_F(ConfineTest, PriorityAndCpuLimit)
{
    EXPECT_CHILD_EXIT(0, [] {
        struct rlimit limit = {};
        return failures({set_priority(0, 7) == 0, getpriority(PRIO_PROCESS, 0) == 7,
                         set_priority(999999, 1) == -1 && errno == ESRCH, set_cputime_limit(100) == 0,
                         getrlimit(RLIMIT_CPU, &limit) == 0, limit.rlim_cur == 100 && limit.rlim_max >= 100});
    });
    // A negative time converts as the limit type converts it: the limit is
    // the one that setrlimit of the converted value leaves (qemu-i386 reads
    // any limit above 2^31 - 1 back as infinite).
    EXPECT_CHILD_EXIT(0, [] {
        struct rlimit limit = {}, direct = {};
        const bool kept = set_cputime_limit(-2) == 0 && getrlimit(RLIMIT_CPU, &limit) == 0;
        direct = {static_cast<rlim_t>(-2), limit.rlim_max};
        return failures({kept, setrlimit(RLIMIT_CPU, &direct) == 0 && getrlimit(RLIMIT_CPU, &direct) == 0,
                         limit.rlim_cur == direct.rlim_cur});
    });
    // A failure ends the process with status 1 after its record: a soft limit
    // above a hard one that an ordinary user may not raise.
    EXPECT_CHILD_EXIT(1, [] {
        struct rlimit limit = {50, 50};
        return setrlimit(RLIMIT_CPU, &limit) < 0 || !become_user() ? 100 : set_cputime_limit(100) + 100;
    });
    expect_log({"setrlimit failure (Operation not permitted)"}, LOG_USER | LOG_ERR);
}

volatile sig_atomic_t caught = 0;

// Every signal is blocked meanwhile; interrupted calls fail with EINTR rather
// than restart, and the handler stays for the next signal.
TEST(SimpleSigAction, BlocksEverySignalAndDoesNotRestart)
{
    ASSERT_EQ(SimpleSigAction(SIGUSR2, [](int sig) { caught = sig; }), 0);
    struct sigaction action;
    ASSERT_EQ(sigaction(SIGUSR2, nullptr, &action), 0);
    EXPECT_EQ(action.sa_flags & (SA_RESTART | SA_RESETHAND | SA_NODEFER | SA_SIGINFO), 0);
    EXPECT_EQ(sigismember(&action.sa_mask, SIGTERM) + sigismember(&action.sa_mask, SIGINT), 2);
    raise(SIGUSR2);
    EXPECT_EQ(caught, SIGUSR2);
    EXPECT_EQ(SimpleSigAction(SIGKILL, SIG_IGN) < 0 ? errno : 0, EINVAL);
    signal(SIGUSR2, SIG_DFL);
}

TEST(Randint, StaysInRangeAndReadsTheSourceBigEndian)
{
    std::vector<int> seen(10);
    for (int i = 0; i < 2000; i++) {
        int value = randint(10);
        ASSERT_TRUE(value >= 0 && value < 10) << value;
        seen[static_cast<size_t>(value)]++;
    }
    for (int count : seen)
        EXPECT_GT(count, 0);
    for (int i = 0; i < 50; i++)
        EXPECT_EQ(randint(1), 0);
    ZT_REQUIRE_ISOLATION();
    // A source of known bytes: the first byte is the most significant, and
    // a negative value counts by its magnitude.
    const struct {
        std::string bytes;
        int n;
        int value;
    } cases[] = {{std::string("\0\0\0\x07", 4), 10, 7},
                 {"\x01\x02\x03\x04", 1000, 0x01020304 % 1000},
                 {"\xff\xff\xff\xff", 10, 1},
                 {std::string("\x80\0\0\0", 4), 10, 8},  // 2^31
                 {std::string("\x80\0\0\0", 4), 2147483647, 1},
                 {"\x01\x02", 10, 0}};  // short: 0
    for (const auto &c : cases)
        EXPECT_CHILD_EXIT(c.value, [&] {
            return replace_file("/dev/urandom", c.bytes) ? randint(c.n) : 100;
        });
    // Below 1 the source is not even opened: a FIFO without a writer would
    // hold the open until the alarm ends the child.
    EXPECT_CHILD_EXIT(0, [] {
        if (!private_mounts() || mkfifo("/tmp/fifo", 0644) < 0 ||
            mount("/tmp/fifo", "/dev/urandom", nullptr, MS_BIND, nullptr) < 0)
            return 100;
        alarm(2);
        return randint(0) + randint(-5);
    });
}

}  // namespace

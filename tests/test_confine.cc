// Confinement in forked children, which may change their ids, root, limits
// and mounts without touching the test process: the sandbox and the switch
// to "nobody" step by step with each failure's record, CPU limits, signal
// actions and random numbers from a random source the child controls.
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

constexpr int kDebug = LOG_USER | LOG_DEBUG;
constexpr uid_t kUser = 1000;

// The exit code of body run in a child (-1 when it did not exit).
int in_child(const std::function<int()> &body)
{
    int status = zt_test::run_in_child(body);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Becomes an ordinary user and group (kUser) in a child.
bool become_user()
{
    return setgid(kUser) == 0 && setuid(kUser) == 0;
}

// Replaces path with a file of the given bytes, in a mount namespace of the
// child's own.
bool replace_file(const char *path, const std::string &bytes)
{
    static bool unshared = false;
    if (!unshared && (unshare(CLONE_NEWNS) < 0 ||
                      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0))
        return false;
    unshared = true;
    const std::string copy = "/tmp/replacement" + std::to_string(getpid()) + "-" + (strrchr(path, '/') + 1);
    int fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool written = fd >= 0 && write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size();
    close(fd);
    return written && mount(copy.c_str(), path, nullptr, MS_BIND, nullptr) == 0;
}

class ConfineTest : public testing::Test {
protected:
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        (void)!system("rm -rf " ZT_SANDBOX_ROOT);
        zt_test::take_syslog();
    }
    // The records the children logged, all at LOG_USER | LOG_DEBUG unless
    // another priority is given.
    void expect_log(const std::vector<std::string> &messages, int priority = kDebug)
    {
        std::vector<zt_test::SyslogRecord> records = zt_test::take_syslog();
        ASSERT_EQ(records.size(), messages.size());
        for (size_t i = 0; i < records.size(); i++) {
            EXPECT_EQ(records[i].priority, priority);
            EXPECT_EQ(records[i].message, messages[i]);
        }
    }
};

TEST_F(ConfineTest, SandboxMakesANewRootAndBecomesNobody)
{
    EXPECT_EQ(in_child([] {
                  if (sandbox("svc") != 0)
                      return 1;
                  struct stat st;
                  char cwd[64] = "";
                  // The sandbox is now the root: the old /tmp is gone.
                  if (stat("/", &st) < 0 || access("/tmp", F_OK) == 0 || !getcwd(cwd, sizeof cwd))
                      return 2;
                  if (strcmp(cwd, "/") != 0 || st.st_uid != 65534 || st.st_gid != 65534 ||
                      (st.st_mode & 0777) != 0700)
                      return 3;
                  if (getuid() != 65534 || geteuid() != 65534 || getgid() != 65534)
                      return 4;
                  return getpgrp() == getpid() ? 0 : 5;
              }),
              0);
    struct stat st;
    ASSERT_EQ(stat(ZT_SANDBOX_ROOT, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    expect_log({});

    // A second service: the root exists already; the sandbox itself must not.
    EXPECT_EQ(in_child([] { return sandbox("other"); }), 0);
    EXPECT_EQ(in_child([] { return sandbox("svc") == -1 && getuid() == 0 ? 0 : 1; }), 0);
    EXPECT_EQ(in_child([] { return sandbox(""); }), 255);
    EXPECT_EQ(in_child([] { return enter_sandbox_dir(nullptr, 0, 0); }), 255);
    expect_log({"mkdir(/tmp/sandbox/svc, 0700) failed (File exists)",
                "mkdir(/tmp/sandbox/, 0700) failed (File exists)", "no name given"});
}

TEST_F(ConfineTest, EachFailingStepIsLoggedAndEndsTheWay)
{
    // The root cannot be made on a read-only /tmp.
    EXPECT_EQ(in_child([] {
                  if (unshare(CLONE_NEWNS) < 0 ||
                      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
                      mount("ro", "/tmp", "tmpfs", MS_RDONLY, nullptr) < 0)
                      return 100;
                  return enter_sandbox_dir("svc", 0, 0);
              }),
              255);
    expect_log({"mkdir(/tmp/sandbox, 0700) failed (Read-only file system)"});

    // Without privileges: the owner cannot be given away, the root not
    // changed; the ids are printed in octal.
    ASSERT_EQ(mkdir(ZT_SANDBOX_ROOT, 0700), 0);
    ASSERT_EQ(chown(ZT_SANDBOX_ROOT, kUser, kUser), 0);
    EXPECT_EQ(in_child([] { return become_user() ? enter_sandbox_dir("a", 8, 9) : 100; }), 255);
    EXPECT_EQ(in_child([] {
                  if (!become_user())
                      return 100;
                  char cwd[64] = "";
                  // The chroot failed; the working directory stays changed.
                  return enter_sandbox_dir("b", kUser, kUser) == -1 && getcwd(cwd, sizeof cwd) &&
                                 strcmp(cwd, "/tmp/sandbox/b") == 0
                             ? 0
                             : 1;
              }),
              0);
    expect_log({"chown(/tmp/sandbox/a, 010, 011) failed (Operation not permitted)",
                "chroot(/tmp/sandbox/b) failed (Operation not permitted)"});

    // The group cannot be changed without privileges: the user stays.
    EXPECT_EQ(in_child([] {
                  if (!become_user())
                      return 100;
                  return SetNobodyId(65534, 65534) == -1 && getuid() == kUser ? 0 : 1;
              }),
              0);
    // A session leader cannot start a process group of its own.
    EXPECT_EQ(in_child([] { return setsid() < 0 ? 100 : SetNobodyId(0, 0); }), 255);
    expect_log({"setgid(65534) failed (Operation not permitted)",
                "setpgrp failed (Operation not permitted)"});
}

TEST_F(ConfineTest, WithoutANobodyEntryTheIdsAre65535)
{
    EXPECT_EQ(get_nobody_uid(), 65534u);
    EXPECT_EQ(get_nobody_gid(), 65534u);
    EXPECT_EQ(in_child([] {
                  // The user database alone, without services that make up
                  // a "nobody" of their own.
                  if (!replace_file("/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n") ||
                      !replace_file("/etc/nsswitch.conf", "passwd: files\ngroup: files\n"))
                      return 100;
                  if (get_nobody_uid() != 65535 || get_nobody_gid() != 65535)
                      return 1;
                  if (sandbox("svc") != 0)
                      return 3;
                  return getuid() == 65535 && getgid() == 65535 ? 0 : 2;
              }),
              0);
}

TEST_F(ConfineTest, PriorityAndCpuLimit)
{
    EXPECT_EQ(in_child([] {
                  if (set_priority(0, 7) != 0 || getpriority(PRIO_PROCESS, 0) != 7)
                      return 1;
                  if (set_priority(999999, 1) != -1 || errno != ESRCH)
                      return 2;
                  struct rlimit limit;
                  if (set_cputime_limit(100) != 0 || getrlimit(RLIMIT_CPU, &limit) != 0)
                      return 3;
                  return limit.rlim_cur == 100 && limit.rlim_max >= 100 ? 0 : 4;
              }),
              0);
    // Failures end the process with status 1 after their record: a
    // negative time, and a soft limit above a hard one that an ordinary
    // user may not raise.
    EXPECT_EQ(in_child([] { return set_cputime_limit(-1) + 100; }), 1);
    EXPECT_EQ(in_child([] {
                  struct rlimit limit = {50, 50};
                  if (setrlimit(RLIMIT_CPU, &limit) < 0 || !become_user())
                      return 100;
                  return set_cputime_limit(100) + 100;
              }),
              1);
    expect_log({"setrlimit failure (Invalid argument)", "setrlimit failure (Operation not permitted)"},
               LOG_USER | LOG_ERR);
}

volatile sig_atomic_t caught = 0;
void catch_signal(int sig)
{
    caught = sig;
}

TEST(SimpleSigAction, BlocksEverySignalAndDoesNotRestart)
{
    ASSERT_EQ(SimpleSigAction(SIGUSR2, catch_signal), 0);
    struct sigaction action;
    ASSERT_EQ(sigaction(SIGUSR2, nullptr, &action), 0);
    EXPECT_EQ(action.sa_flags & (SA_RESTART | SA_RESETHAND | SA_NODEFER | SA_SIGINFO), 0);
    EXPECT_EQ(sigismember(&action.sa_mask, SIGTERM), 1);
    EXPECT_EQ(sigismember(&action.sa_mask, SIGINT), 1);
    // A read that the signal interrupts fails with EINTR, and the handler
    // stays for the next signal.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    struct itimerval timer = {{0, 0}, {0, 50000}};
    ASSERT_EQ(SimpleSigAction(SIGALRM, catch_signal), 0);
    setitimer(ITIMER_REAL, &timer, nullptr);
    char byte;
    EXPECT_EQ(read(fds[0], &byte, 1), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(caught, SIGALRM);
    raise(SIGUSR2);
    EXPECT_EQ(caught, SIGUSR2);
    EXPECT_EQ(SimpleSigAction(SIGKILL, catch_signal), -1);
    EXPECT_EQ(errno, EINVAL);
    close(fds[0]);
    close(fds[1]);
    signal(SIGALRM, SIG_DFL);
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
                 {std::string("\x80\0\0\0", 4), 10, 8},   // 2^31
                 {std::string("\x80\0\0\0", 4), 2147483647, 1},
                 {"\x01\x02", 10, 0}};                       // short: 0
    for (const auto &c : cases)
        EXPECT_EQ(in_child([&] { return replace_file("/dev/urandom", c.bytes) ? randint(c.n) : 100; }),
                  c.value);
    // Below 1 the source is not even opened: a FIFO without a writer would
    // hold the open until the alarm ends the child.
    EXPECT_EQ(in_child([] {
                  if (unshare(CLONE_NEWNS) < 0 ||
                      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
                      mkfifo("/tmp/fifo", 0644) < 0 ||
                      mount("/tmp/fifo", "/dev/urandom", nullptr, MS_BIND, nullptr) < 0)
                      return 100;
                  alarm(2);
                  return randint(0) + randint(-5);
              }),
              0);
}

}  // namespace

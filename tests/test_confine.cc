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
#include <unistd.h>

#include <string>

#include "zt_test.h"
#include "zttools.h"

namespace {

using zt_test::child_failure;
using zt_test::exit_status_of;
constexpr uid_t kUser = 1000;

bool become_user() { return setgid(kUser) == 0 && setuid(kUser) == 0; }

// Replaces path with a file of the given bytes, for this child alone: in a
// mount namespace of its own, made at the first call.
bool replace_file(const char *path, const std::string &bytes)
{
    static bool private_mounts = false;
    if (!private_mounts)
        private_mounts = unshare(CLONE_NEWNS) == 0 &&
                         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    const std::string copy = "/tmp/replacement" + std::to_string(getpid()) + "-" + (strrchr(path, '/') + 1);
    int fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool written = fd >= 0 && write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size();
    close(fd);
    return written && private_mounts && mount(copy.c_str(), path, nullptr, MS_BIND, nullptr) == 0;
}

class ConfineTest : public testing::Test {
protected:
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        (void)!system("rm -rf " ZT_SANDBOX_ROOT);
        zt_test::take_syslog();
    }
};

TEST_F(ConfineTest, SandboxMakesANewRootAndBecomesNobodyOrLogsTheFailedStep)
{
    EXPECT_EQ(child_failure([] {
                  struct stat st = {};
                  CHILD_CHECK(sandbox("svc") == 0);
                  CHILD_CHECK(access("/tmp", F_OK) < 0);  // the sandbox is the root now
                  CHILD_CHECK(stat("/", &st) == 0);
                  CHILD_CHECK((st.st_mode & 0777) == 0700);
                  CHILD_CHECK(getuid() == 65534);
                  return 0;
              }),
              "");
    // Without a "nobody" in the user database (and no services that make one
    // up) the ids are 65535; the root exists already.
    EXPECT_EQ(child_failure([] {
                  CHILD_CHECK(replace_file("/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n"));
                  CHILD_CHECK(replace_file("/etc/nsswitch.conf", "passwd: files\ngroup: files\n"));
                  CHILD_CHECK(sandbox("plain") == 0);
                  CHILD_CHECK(getgid() == 65535);
                  return 0;
              }),
              "");
    EXPECT_SYSLOG();

    // Each step that fails returns -1 after its debug record: an existing
    // sandbox, no name, a new process group for a session leader; without
    // privileges a new owner (the ids in octal), root, group or user.
    ASSERT_EQ(chown(ZT_SANDBOX_ROOT, kUser, kUser), 0);
    for (auto step : {+[] { return sandbox("svc"); }, +[] { return enter_sandbox_dir(nullptr, 0, 0); },
                      +[] { return setsid() < 0 ? 100 : SetNobodyId(0, 0); },
                      +[] { return become_user() ? enter_sandbox_dir("a", 8, 9) : 100; },
                      +[] { return become_user() ? enter_sandbox_dir("b", kUser, kUser) : 100; },
                      +[] { return become_user() ? SetNobodyId(65534, 65534) : 100; },
                      +[] { return become_user() ? SetNobodyId(65534, kUser) : 100; }})
        EXPECT_EQ(child_failure([&] {
                      CHILD_CHECK(step() == -1);
                      CHILD_CHECK(getuid() != 65534);
                      return 0;
                  }),
                  "");
    constexpr int kDebug = LOG_USER | LOG_DEBUG;
    EXPECT_SYSLOG({kDebug, "mkdir(/tmp/sandbox/svc, 0700) failed (File exists)"}, {kDebug, "no name given"},
                  {kDebug, "setpgrp failed (Operation not permitted)"},
                  {kDebug, "chown(/tmp/sandbox/a, 010, 011) failed (Operation not permitted)"},
                  {kDebug, "chroot(/tmp/sandbox/b) failed (Operation not permitted)"},
                  {kDebug, "setgid(65534) failed (Operation not permitted)"},
                  {kDebug, "setuid(65534) failed (Operation not permitted)"});
}

// A negative time converts as the limit type converts it: the limit is the
// one that setrlimit of the converted value leaves (qemu-i386 reads any
// limit above 2^31 - 1 back as infinite).
TEST_F(ConfineTest, PriorityAndCpuLimit)
{
    EXPECT_EQ(child_failure([] {
                  struct rlimit limit = {}, direct = {};
                  CHILD_CHECK(set_priority(0, 7) == 0);
                  CHILD_CHECK(getpriority(PRIO_PROCESS, 0) == 7);
                  CHILD_CHECK(set_cputime_limit(100) == 0);
                  CHILD_CHECK(getrlimit(RLIMIT_CPU, &limit) == 0);
                  CHILD_CHECK(limit.rlim_cur == 100);
                  CHILD_CHECK(set_cputime_limit(-2) == 0);
                  direct = {static_cast<rlim_t>(-2), limit.rlim_max};
                  CHILD_CHECK(getrlimit(RLIMIT_CPU, &limit) == 0);
                  CHILD_CHECK(setrlimit(RLIMIT_CPU, &direct) == 0);
                  CHILD_CHECK(getrlimit(RLIMIT_CPU, &direct) == 0);
                  CHILD_CHECK(limit.rlim_cur == direct.rlim_cur);
                  return 0;
              }),
              "");
    // A failure ends the process with status 1 after its record: a soft limit
    // above a hard one that an ordinary user may not raise.
    EXPECT_EQ(exit_status_of([] {
                  struct rlimit limit = {50, 50};
                  if (setrlimit(RLIMIT_CPU, &limit) < 0 || !become_user())
                      return 100;
                  return set_cputime_limit(100) + 100;
              }),
              1);
    EXPECT_SYSLOG({LOG_USER | LOG_ERR, "setrlimit failure (Operation not permitted)"});
}

// Every signal is blocked meanwhile; interrupted calls fail with EINTR rather
// than restart, and the handler stays for the next signal.
TEST(SimpleSigAction, BlocksEverySignalAndDoesNotRestart)
{
    static volatile sig_atomic_t caught = 0;
    ASSERT_EQ(SimpleSigAction(SIGUSR2, [](int sig) { caught = sig; }), 0);
    struct sigaction action;
    ASSERT_EQ(sigaction(SIGUSR2, nullptr, &action), 0);
    EXPECT_EQ(action.sa_flags & (SA_RESTART | SA_RESETHAND | SA_NODEFER | SA_SIGINFO), 0);
    EXPECT_EQ(sigismember(&action.sa_mask, SIGTERM), 1);
    raise(SIGUSR2);
    EXPECT_EQ(caught, SIGUSR2);
    signal(SIGUSR2, SIG_DFL);
}

// A source of known bytes: the first byte is the most significant, and a
// negative value counts by its magnitude (2^31 too); a short read gives 0,
// and so does an n below 1.
TEST_F(ConfineTest, RandintReadsTheSourceBigEndian)
{
    for (auto [bytes, n, value] :
         {std::tuple{std::string("\x01\x02\x03\x04"), 1000, 0x01020304 % 1000}, {"\xff\xff\xff\xff", 10, 1},
          {std::string("\x80\0\0\0", 4), 10, 8}, {"\x01\x02", 10, 0}, {"\x01\x02\x03\x04", -5, 0}})
        EXPECT_EQ(exit_status_of([&] { return replace_file("/dev/urandom", bytes) ? randint(n) : 100; }),
                  value)
            << testing::PrintToString(bytes) << " n " << n;
}

}  // namespace

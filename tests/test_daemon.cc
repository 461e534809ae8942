// The daemon loop driven for real on the test's private /tmp: its sockets,
// peers in forked children, signals that interrupt the wait, a descriptor
// that makes the wait fail, and the shut-down calls seen on every way out.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "zt_test.h"
#include "ztsvc.h"
#include "zttools.h"

// The loop's shut-down calls, seen through the services library's own
// functions, which this program interposes (it exports its symbols): each
// call as "term" or "close" with "-1" or "fd" for a descriptor.
namespace spy {
std::vector<std::string> calls;
bool in_term = false;
std::string fd_word(int fd) { return fd < 0 ? "-1" : "fd"; }
}  // namespace spy

extern "C" int ztcmd_server_term(int *fd)
{
    static auto real = reinterpret_cast<int (*)(int *)>(dlsym(RTLD_NEXT, "ztcmd_server_term"));
    spy::calls.push_back("term " + spy::fd_word(*fd));
    spy::in_term = true;  // its own close of the command socket is its business
    int result = real(fd);
    spy::in_term = false;
    return result;
}

extern "C" int ztuds_close(int fd)
{
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "ztuds_close"));
    if (!spy::in_term)
        spy::calls.push_back("close " + spy::fd_word(fd));
    return real(fd);
}

namespace {

// The last two library calls of the loop that just returned.
std::vector<std::string> shut_down()
{
    std::vector<std::string> last(spy::calls.end() - std::min<size_t>(2, spy::calls.size()),
                                  spy::calls.end());
    spy::calls.clear();
    return last;
}
using Calls = std::vector<std::string>;

int64_t uptime()
{
    struct sysinfo info;
    sysinfo(&info);
    return info.uptime;
}

bool exists(const std::string &path)
{
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

// One loop run: the callbacks are std::functions held by the test, reached
// through ctx; a callback left empty is passed as null.
struct Loop {
    std::function<int()> idle;
    std::function<int(int *, fd_set *)> hook;
    std::function<int(fd_set *, int32_t)> fd;
    void *cmd = reinterpret_cast<void *>(+[](int, char **, char *, size_t, void *) { return 1; });
    restart_check_handler check = [](const char *, const char *, const char *, void *) {
        return 0;
    };
    restart_request_handler request = [](void *) { return 3; };

    int run(const char *name, int max_errors, int idle_secs)
    {
        return ztuds_daemon(name, max_errors, idle_secs, idle ? call_idle : nullptr, this, cmd,
                            check, request, nullptr, hook ? call_hook : nullptr,
                            fd ? call_fd : nullptr);
    }

    static Loop *self;
    static int call_idle(void *ctx) { return static_cast<Loop *>(ctx)->idle(); }
    static int call_hook(int *highest, fd_set *set) { return self->hook(highest, set); }
    static int call_fd(fd_set *set, int32_t elapsed, void *ctx)
    {
        return static_cast<Loop *>(ctx)->fd(set, elapsed);
    }
    Loop() { self = this; }
};
Loop *Loop::self;

// A hook that adds fd to the wait after running before.
std::function<int(int *, fd_set *)> watching(int fd, const std::function<void()> &before = {})
{
    return [=](int *highest, fd_set *set) {
        if (before)
            before();
        FD_SET(fd, set);
        *highest = std::max(*highest, fd);
        return 0;
    };
}

// "level severity message" of each trace, which all come from the loop.
std::vector<std::string> messages(zt_test::TraceCapture &traces)
{
    std::vector<std::string> out;
    for (const zt_test::TraceRecord &record : traces.take()) {
        EXPECT_EQ(record.file, "src/lib/zttools/ztuds_daemon");
        EXPECT_EQ(record.function, "ztuds_daemon");
        out.push_back(std::to_string(record.level) + " " + record.severity + " " + record.message);
    }
    return out;
}

// Makes the next wait fail with EINTR: a timer signal arrives while it blocks.
void interrupt_soon()
{
    struct sigaction action = {};
    action.sa_handler = [](int) {};
    sigaction(SIGALRM, &action, nullptr);
    struct itimerval timer = {{0, 0}, {0, 20000}};
    setitimer(ITIMER_REAL, &timer, nullptr);
}

class DaemonTest : public testing::Test {
protected:
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        // The restart records connect syslog: connect it before counting.
        syslog(LOG_DEBUG, "daemon test");
        zt_test::take_syslog();
        fds_before_ = zt_test::open_fd_count();
        loop_.idle = [] { return ADD_FAILURE() << "idle handler called", 1; };
    }
    void TearDown() override
    {
        EXPECT_TRUE(!zt_test::isolated() || zt_test::open_fd_count() == fds_before_)
            << "a descriptor was left open";
    }
    zt_test::TraceCapture traces_{4};
    Loop loop_;
    int fds_before_ = 0;
};

TEST_F(DaemonTest, SetUpFailuresShutDownWhatWasMade)
{
    const std::vector<std::string> null_handler = {
        "1 err ztuds_daemon: passed NULL callback handler"};
    for (int which = 0; which < 3; which++) {
        Loop loop;
        loop.idle = loop_.idle;
        loop.cmd = which == 0 ? nullptr : loop.cmd;
        loop.check = which == 1 ? nullptr : loop.check;
        loop.request = which == 2 ? nullptr : loop.request;
        EXPECT_EQ(loop.run("nullsvc", 3, 1), -1);
        EXPECT_EQ(messages(traces_), null_handler);
        EXPECT_EQ(shut_down(), (Calls{"term -1", "close -1"}));
        EXPECT_FALSE(exists(RESTART_UDS_DIR "/nullsvc"));
    }

    // No command server: its result, and no restart socket.
    ASSERT_EQ(close(open("/tmp/ztcmd", O_CREAT | O_WRONLY, 0600)), 0);
    EXPECT_EQ(loop_.run("svc", 3, 1), -1);
    EXPECT_EQ(messages(traces_),
              std::vector<std::string>{"1 err ztuds_daemon: UDS error: Not a directory"});
    EXPECT_EQ(shut_down(), (Calls{"term -1", "close -1"}));
    EXPECT_FALSE(exists(RESTART_UDS_DIR "/svc"));
    unlink("/tmp/ztcmd");
    EXPECT_EQ(loop_.run(nullptr, 3, 1), -1);
    EXPECT_EQ(messages(traces_),
              std::vector<std::string>{"1 err ztuds_daemon: UDS error: Invalid argument"});

    // No restart socket: -1 after the command server was set up and shut.
    ASSERT_EQ(close(open(RESTART_UDS_DIR, O_CREAT | O_WRONLY, 0600)), 0);
    EXPECT_EQ(loop_.run("svc", 3, 1), -1);
    EXPECT_EQ(messages(traces_), std::vector<std::string>{
                                     "1 err ztuds_daemon: restart server error: Not a directory"});
    EXPECT_EQ(shut_down(), (Calls{"term fd", "close -1"}));
    EXPECT_FALSE(exists("/tmp/ztcmd/svc"));
    unlink(RESTART_UDS_DIR);

    // max_errors below 1: -1 once both are made, without a record.
    EXPECT_EQ(loop_.run("zero", 0, 1), -1);
    EXPECT_TRUE(messages(traces_).empty());
    EXPECT_EQ(shut_down(), (Calls{"term fd", "close fd"}));
    EXPECT_TRUE(exists(RESTART_UDS_DIR "/zero")) << "the restart socket file stays";
    EXPECT_FALSE(exists("/tmp/ztcmd/zero"));
}

TEST_F(DaemonTest, LongNameIsCutForTheCommandServerOnly)
{
    const std::string name = std::string(39, 'h') + std::string(11, 't');  // head and tail differ
    loop_.idle = [&] {
        EXPECT_TRUE(exists("/tmp/ztcmd/" + name.substr(0, 39)));
        EXPECT_TRUE(exists(RESTART_UDS_DIR "/" + name));
        return 6;
    };
    EXPECT_EQ(loop_.run(name.c_str(), 1, 1), 6);
    EXPECT_EQ(messages(traces_),
              std::vector<std::string>{"1 err ztuds_daemon: returning because idle handler "
                                       "returned 6"});
    EXPECT_EQ(shut_down(), (Calls{"term fd", "close fd"}));
    EXPECT_FALSE(exists("/tmp/ztcmd/" + name.substr(0, 39)));
}

// Without a time-out the idle handler runs after every wake-up; the pair
// of descriptor callbacks runs on every pass too, and ends the loop.
TEST_F(DaemonTest, IdleZeroRunsTheIdleHandlerOnEveryPass)
{
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(write(ready[1], "x", 1), 1);  // never read: every wait returns at once
    int idle_calls = 0, hook_calls = 0, fd_calls = 0;
    loop_.idle = [&] { return idle_calls++, 0; };
    loop_.hook = watching(ready[0], [&] { hook_calls++; });
    loop_.fd = [&](fd_set *set, int32_t elapsed) {
        EXPECT_TRUE(FD_ISSET(ready[0], set));
        EXPECT_GE(elapsed, 0);
        return ++fd_calls == 5 ? 7 : 0;
    };
    traces_.set_level(3);
    EXPECT_EQ(loop_.run("busy", 1, 0), 7);
    EXPECT_EQ(idle_calls, 5);
    EXPECT_EQ(hook_calls, 5);
    EXPECT_TRUE(messages(traces_).empty()) << "the debug record needs level 4";

    fd_calls = 0;
    traces_.set_level(4);
    EXPECT_EQ(loop_.run("busy", 1, 0), 7);
    EXPECT_EQ(messages(traces_),
              std::vector<std::string>{"4 debug ztuds_daemon: returning because user defined "
                                       "file descriptor handler returned 7"});
    close(ready[0]);
    close(ready[1]);

    // One callback of the pair alone is never called.
    for (bool hook_only : {false, true}) {
        idle_calls = 0;
        loop_.idle = [&] { return ++idle_calls == 2 ? 4 : 0; };
        loop_.hook = [](int *, fd_set *) { return ADD_FAILURE() << "hook called", 0; };
        loop_.fd = [](fd_set *, int32_t) { return ADD_FAILURE() << "fd handler called", 1; };
        if (hook_only)
            loop_.fd = nullptr;
        else
            loop_.hook = nullptr;
        EXPECT_EQ(loop_.run("single", 1, 1), 4);
        EXPECT_EQ(idle_calls, 2);
    }
}

TEST_F(DaemonTest, IdleHandlerRunsOnTimeInUptimeSeconds)
{
    std::vector<int64_t> idle_at;
    int32_t elapsed_total = 0;
    int fd_calls = 0;
    loop_.idle = [&] {
        idle_at.push_back(uptime());
        return idle_at.size() == 3 ? 5 : 0;
    };
    loop_.hook = [](int *, fd_set *) { return 0; };
    loop_.fd = [&](fd_set *, int32_t elapsed) {
        fd_calls++;
        elapsed_total += elapsed;
        return 0;
    };
    const int64_t start = uptime();
    EXPECT_EQ(loop_.run("ticker", 1, 1), 5);
    ASSERT_EQ(idle_at.size(), 3u);
    EXPECT_LE(idle_at[0] - start, 1) << "due on the first pass";
    EXPECT_GE(idle_at[1], idle_at[0] + 1);
    EXPECT_GE(idle_at[2], idle_at[1] + 1);
    EXPECT_GE(fd_calls, 2) << "called after timed-out waits too";
    // The seconds handed over add up to the time of the last call.
    EXPECT_GE(elapsed_total, idle_at[1] - start - 1);
    EXPECT_LE(elapsed_total, idle_at[2] - start + 1);
}

// Each call hands over the seconds since the call before, not since the
// loop started: over three seconds of calls 0.1 s apart, no call may see
// more than the seconds that passed since the previous one (and one for
// the tick in between).
TEST_F(DaemonTest, ElapsedSecondsCountFromTheLastCall)
{
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(write(ready[1], "x", 1), 1);  // never read: every wait returns at once
    const int64_t start = uptime();
    int64_t previous = start;
    int32_t elapsed_total = 0;
    loop_.idle = nullptr;
    loop_.hook = watching(ready[0]);
    loop_.fd = [&](fd_set *, int32_t elapsed) {
        const int64_t now = uptime();
        EXPECT_LE(elapsed, now - previous + 1) << "at " << now - start << " s";
        previous = now;
        elapsed_total += elapsed;
        usleep(100000);
        return now - start >= 3 ? 2 : 0;
    };
    EXPECT_EQ(loop_.run("elapsed", 1, 0), 2);
    EXPECT_NEAR(elapsed_total, previous - start, 2) << "the calls' seconds add up to the run's";
    close(ready[0]);
    close(ready[1]);
}

TEST_F(DaemonTest, FailedWaitsEndTheLoopWhenTheyComeInARow)
{
    // Interrupted waits: no record, no pause.
    int fd_calls = 0;
    loop_.idle = nullptr;
    loop_.hook = [](int *, fd_set *) { return interrupt_soon(), 0; };
    loop_.fd = [&](fd_set *, int32_t) { return fd_calls++, 0; };
    int64_t start = uptime();
    EXPECT_EQ(loop_.run("intr", 3, 0), -1);
    EXPECT_LE(uptime() - start, 1) << "no pause after EINTR";
    EXPECT_TRUE(messages(traces_).empty());

    // A descriptor that is not open (inside the process's descriptor table,
    // which a higher one is not): a record and a one-second pause each.
    const int closed = 200;
    ASSERT_EQ(dup2(0, closed), closed);
    close(closed);
    loop_.hook = watching(closed);
    start = uptime();
    EXPECT_EQ(loop_.run("badfd", 3, 1), -1);
    EXPECT_GE(uptime() - start, 2);
    EXPECT_EQ(messages(traces_),
              std::vector<std::string>(3, "1 err ztuds_daemon: select error: Bad file descriptor"));
    EXPECT_EQ(fd_calls, 0);

    // A successful wait in between resets the count: interrupted and ready
    // passes alternate.
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC | O_NONBLOCK), 0);
    int pass = 0;
    loop_.hook = watching(ready[0], [&] {
        if (pass++ % 2 == 0)
            interrupt_soon();
        else
            EXPECT_EQ(write(ready[1], "x", 1), 1);
    });
    loop_.fd = [&](fd_set *, int32_t) {
        char byte;
        EXPECT_EQ(read(ready[0], &byte, 1), 1);
        return ++fd_calls == 3 ? 9 : 0;
    };
    EXPECT_EQ(loop_.run("reset", 2, 0), 9);
    EXPECT_EQ(pass, 6);
    close(ready[0]);
    close(ready[1]);
}

// One restart request from the peer's side; the reply's result or -1.
int ask(uint32_t type, uint32_t argument, const char *args)
{
    int fd = ztuds_connect(RESTART_UDS_DIR "/served");
    const uint32_t request[2] = {type, argument};
    ztuds_write(fd, request, sizeof request, RESTART_PROTOCOL_ID);
    restart_prop prop = {const_cast<char *>("interface"), nullptr, nullptr, 1};
    for (uint32_t i = 0; type == RESTART_CHECK && i < argument; i++)
        restart_send_prop(fd, &prop, RESTART_PROTOCOL_ID);
    if (args)
        ztuds_write(fd, args, static_cast<uint32_t>(strlen(args) + 1), RESTART_PROTOCOL_ID);
    void *reply = nullptr;
    int32_t result = -1;
    if (ztuds_read(fd, &reply, nullptr, nullptr, RESTART_PROTOCOL_ID) == 8)
        memcpy(&result, reply, sizeof result);
    free(reply);
    ztuds_close(fd);
    return result;
}

// Sends bytes that are not a transport message to a local socket.
void send_garbage(const char *path)
{
    int fd = ztuds_connect(path);
    (void)!write(fd, "not a message", 13);
    char byte;
    (void)!read(fd, &byte, 1);  // until the service hangs up
    close(fd);
}

TEST_F(DaemonTest, ServesCommandsAndRestartRequestsAndGoesOnAfterBadPeers)
{
    int done[2];
    ASSERT_EQ(pipe2(done, O_CLOEXEC), 0);
    static int commands;
    commands = 0;
    loop_.idle = nullptr;
    loop_.cmd = reinterpret_cast<void *>(+[](int, char **argv, char *reply, size_t size,
                                             void *ctx) {
        commands += ctx == Loop::self;
        snprintf(reply, size, "did %s", argv[0]);
        return 0;
    });
    loop_.check = [](const char *str1, const char *, const char *, void *ctx) {
        return ctx == Loop::self && str1 && strcmp(str1, "interface") == 0 ? 1 : 0;
    };
    loop_.hook = watching(done[0]);
    loop_.fd = [&](fd_set *set, int32_t) { return FD_ISSET(done[0], set) ? 8 : 0; };

    fflush(nullptr);
    pid_t peer = fork();
    if (peer == 0) {
        while (!exists(RESTART_UDS_DIR "/served"))
            usleep(10000);
        int status = -1;
        char *reply = nullptr;
        int failures = ztcmd_request("served", "flush", &status, &reply) != 0 || status != 0 ||
                       strcmp(reply, "did flush") != 0;
        free(reply);
        failures += ask(RESTART_CHECK, 2, nullptr) != 1;
        failures += ask(RESTART_REQUEST, 0, nullptr) != 3;
        failures += ask(RESTART_EVENT, 5, "args") != 2;  // no event handler
        send_garbage("/tmp/ztcmd/served");
        send_garbage(RESTART_UDS_DIR "/served");
        failures += ask(RESTART_REQUEST, 0, nullptr) != 3;
        (void)!write(done[1], "x", 1);
        _exit(failures);
    }
    EXPECT_EQ(loop_.run("served", 1, 0), 8);
    int status = -1;
    waitpid(peer, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "peer saw wrong replies";
    EXPECT_EQ(commands, 1);
    EXPECT_EQ(messages(traces_),
              (std::vector<std::string>{
                  "1 err ztuds_daemon: ztuds_handler error: Bad message",
                  "1 err ztuds_daemon: restart_accept error: Bad message",
                  "4 debug ztuds_daemon: returning because user defined file descriptor "
                  "handler returned 8"}));
    zt_test::take_syslog();
    close(done[0]);
    close(done[1]);
}

}  // namespace

// The daemon loop driven for real on the test's private /tmp: its sockets,
// peers in a thread, signals that interrupt the wait, a descriptor that
// makes the wait fail, and what is left after every way out.
#include <fcntl.h>
#include <signal.h>
#include <sys/sysinfo.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "zt_test.h"
#include "ztsvc.h"
#include "zttools.h"

namespace {

using Strings = std::vector<std::string>;

int64_t uptime()
{
    struct sysinfo info;
    sysinfo(&info);
    return info.uptime;
}

// One loop run with the test's callbacks (an empty one is passed as null);
// with fd, the hook adds watched to the wait after running before.
struct Loop {
    static inline Loop *self;
    std::function<int()> idle;
    std::function<int(fd_set *, int32_t)> fd;
    std::function<void()> before;
    int watched = -1;
    void *cmd = reinterpret_cast<void *>(+[](int, char **, char *, size_t, void *) { return 1; });
    restart_check_handler check = [](const char *, const char *, const char *, void *) { return 0; };
    restart_request_handler request = [](void *) { return 3; };

    int run(const char *name, int max_errors, int idle_secs)
    {
        self = this;
        ztuds_idle_handler call_idle = [](void *) { return self->idle(); };
        ztuds_fdset_hook hook = [](int *highest, fd_set *set) {
            if (self->before)
                self->before();
            FD_SET(self->watched, set);
            *highest = std::max(*highest, self->watched);
            return 0;
        };
        ztuds_fd_handler call_fd = [](fd_set *set, int32_t elapsed, void *) {
            return self->fd(set, elapsed);
        };
        return ztuds_daemon(name, max_errors, idle_secs, idle ? call_idle : nullptr, this, cmd, check,
                            request, nullptr, fd ? hook : nullptr, fd ? call_fd : nullptr);
    }
};

// "level severity message" of each trace, which all come from the loop.
Strings messages(zt_test::TraceCapture &traces)
{
    Strings out;
    for (const zt_test::TraceRecord &record : traces.take()) {
        EXPECT_EQ(record.function, "ztuds_daemon");
        out.push_back(std::to_string(record.level) + " " + record.severity + " " + record.message);
    }
    return out;
}

class DaemonTest : public testing::Test {
protected:
    // The restart records connect syslog: connected before any count. A
    // timer signal interrupts a wait (its handler is set without SA_RESTART).
    static void SetUpTestSuite()
    {
        syslog(LOG_DEBUG, "daemon test");
        struct sigaction action = {};
        action.sa_handler = [](int) {};
        sigaction(SIGALRM, &action, nullptr);
    }
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        ASSERT_EQ(pipe2(ready_, O_CLOEXEC | O_NONBLOCK), 0);
        loop_.idle = [] { return ADD_FAILURE() << "idle handler called", 1; };
        loop_.watched = ready_[0];
    }
    void TearDown() override
    {
        close(ready_[0]);
        close(ready_[1]);
    }
    zt_test::FdGuard fds_;
    zt_test::TraceCapture traces_{4};
    Loop loop_;
    int ready_[2] = {-1, -1};  // a pipe for the loop to watch
};

TEST_F(DaemonTest, SetUpFailuresLeaveNothingBehind)
{
    const std::string null_handler = "1 err ztuds_daemon: passed NULL callback handler";
    const struct {
        const char *name, *blocked;  // blocked: a file where this directory goes
        std::string null;            // the handler passed as null
        int max_errors;
        Strings traces;
    } cases[] = {
        {"nullsvc", nullptr, "cmd", 3, {null_handler}},
        {"nullsvc", nullptr, "check", 3, {null_handler}},
        {"nullsvc", nullptr, "request", 3, {null_handler}},
        {"svc", ZTCMD_DIR, "", 3, {"1 err ztuds_daemon: UDS error: Not a directory"}},
        {"svc", RESTART_UDS_DIR, "", 3, {"1 err ztuds_daemon: restart server error: Not a directory"}},
        {"zero", nullptr, "", 0, {}},
    };
    for (const auto &c : cases) {
        const std::string row = std::string(c.name) + " " + c.null;
        Loop loop = loop_;
        loop.cmd = c.null == "cmd" ? nullptr : loop.cmd;
        loop.check = c.null == "check" ? nullptr : loop.check;
        loop.request = c.null == "request" ? nullptr : loop.request;
        if (c.blocked) {
            ASSERT_EQ(close(open(c.blocked, O_CREAT | O_WRONLY | O_CLOEXEC, 0600)), 0);
        }
        EXPECT_EQ(loop.run(c.name, c.max_errors, 1), -1) << row;
        EXPECT_EQ(messages(traces_), c.traces) << row;
        if (c.blocked)
            unlink(c.blocked);
    }
    EXPECT_EQ(access(RESTART_UDS_DIR "/zero", F_OK), 0) << "the restart socket file stays";
}

// The idle handler is due on the first pass and then each idle_secs of
// uptime; every descriptor call hands over the seconds since the one
// before, not since the loop started. A long name reaches the command
// server cut, while the restart socket takes it whole.
TEST_F(DaemonTest, IdleAndElapsedSecondsKeepUptime)
{
    const std::string name = std::string(39, 'h') + std::string(11, 't');  // head and tail differ
    ASSERT_EQ(write(ready_[1], "x", 1), 1);  // never read: every wait returns at once
    std::vector<int64_t> idle_at;
    const int64_t start = uptime();
    int64_t previous = start;
    int32_t elapsed_total = 0;
    loop_.idle = [&] {
        idle_at.push_back(uptime());
        if (idle_at.size() < 4)
            return 0;
        EXPECT_EQ(access((ZTCMD_DIR "/" + name.substr(0, 39)).c_str(), F_OK), 0);
        EXPECT_EQ(access((RESTART_UDS_DIR "/" + name).c_str(), F_OK), 0);
        return 5;
    };
    loop_.fd = [&](fd_set *, int32_t elapsed) {
        const int64_t now = uptime();
        EXPECT_LE(elapsed, now - previous + 1) << "at " << now - start << " s";
        previous = now;
        elapsed_total += elapsed;
        usleep(100000);
        return 0;
    };
    EXPECT_EQ(loop_.run(name.c_str(), 1, 1), 5);
    ASSERT_EQ(idle_at.size(), 4u);
    EXPECT_LE(idle_at[0] - start, 1) << "due on the first pass";
    EXPECT_LE(idle_at[3] - idle_at[0], 4) << "due once its seconds have passed, not one more";
    EXPECT_NEAR(elapsed_total, previous - start, 2) << "the calls' seconds add up to the run's";
    EXPECT_EQ(messages(traces_), Strings{"1 err ztuds_daemon: returning because idle handler returned 5"});
}

TEST_F(DaemonTest, FailedWaitsEndTheLoopWhenTheyComeInARow)
{
    // A descriptor that is not open (inside the process's descriptor table,
    // which a higher one is not): a record and a one-second pause each.
    const int closed = 200;
    ASSERT_EQ(dup2(0, closed), closed);
    close(closed);
    loop_.idle = nullptr;
    loop_.watched = closed;
    loop_.fd = [](fd_set *, int32_t) { return 0; };
    const int64_t start = uptime();
    EXPECT_EQ(loop_.run("badfd", 3, 1), -1);
    EXPECT_GE(uptime() - start, 2);
    EXPECT_EQ(messages(traces_), Strings(3, "1 err ztuds_daemon: select error: Bad file descriptor"));

    // Interrupted waits count too, without a record; a ready pass between
    // them resets the count. Interrupted, ready, interrupted twice: the end;
    // a ready pass after that would end the loop with 9.
    const std::string passes = "irii";
    size_t pass = 0;
    loop_.watched = ready_[0];
    loop_.before = [&] {
        const struct itimerval soon = {{0, 0}, {0, 20000}};  // the wait fails with EINTR
        if (pass < passes.size() && passes[pass++] == 'i')
            setitimer(ITIMER_REAL, &soon, nullptr);
        else
            EXPECT_EQ(write(ready_[1], "x", 1), 1);
    };
    loop_.fd = [&](fd_set *, int32_t) {
        char byte;
        EXPECT_EQ(read(ready_[0], &byte, 1), 1);
        return pass < passes.size() ? 0 : 9;
    };
    EXPECT_EQ(loop_.run("intr", 2, 0), -1);
    EXPECT_EQ(pass, 4u) << "the ready pass reset the count";
    EXPECT_EQ(messages(traces_), Strings{});
}

TEST_F(DaemonTest, ServesBothSocketsAndGoesOnAfterBadPeers)
{
    loop_.idle = nullptr;
    loop_.cmd = reinterpret_cast<void *>(+[](int, char **argv, char *reply, size_t size, void *ctx) {
        snprintf(reply, size, "%s", ctx == Loop::self ? argv[0] : "another context");
        return 0;
    });
    loop_.fd = [&](fd_set *set, int32_t) { return FD_ISSET(ready_[0], set) ? 8 : 0; };
    std::thread peer([&] {
        while (access(RESTART_UDS_DIR "/served", F_OK) != 0)
            usleep(10000);
        for (const char *path : {ZTCMD_DIR "/served", RESTART_UDS_DIR "/served"}) {
            int fd = ztuds_connect(path);
            EXPECT_EQ(write(fd, "not a message", 13), 13);
            char byte;
            (void)!read(fd, &byte, 1);  // until the service hangs up
            close(fd);
        }
        int status = -1;
        char *reply = nullptr;
        EXPECT_EQ(ztcmd_request("served", "flush", &status, &reply), 0) << "after the bad peers";
        EXPECT_STREQ(reply, "flush");
        free(reply);
        EXPECT_EQ(write(ready_[1], "x", 1), 1);
    });
    EXPECT_EQ(loop_.run("served", 1, 0), 8);
    peer.join();
    EXPECT_EQ(messages(traces_),
              (Strings{"1 err ztuds_daemon: ztuds_handler error: Bad message",
                       "1 err ztuds_daemon: restart_accept error: Bad message",
                       "4 debug ztuds_daemon: returning because user defined file descriptor "
                       "handler returned 8"}));
}

}  // namespace

// The services-library stand-in: whole messages over local sockets, the
// command server and the trace sink.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "zt_test.h"
#include "ztsvc.h"
#include "zttools.h"

namespace {

class TransportTest : public testing::Test {
protected:
    void SetUp() override
    {
        ztuds_set_timeout(5000);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
    }
    void TearDown() override
    {
        close(fds_[0]);
        close(fds_[1]);
    }
    int fds_[2];
};

TEST_F(TransportTest, LargeMessageArrivesWholeThroughPartialReadsAndSignals)
{
    // A writer in another process sends a message far larger than the
    // socket buffer, so the reader gets it in many pieces while a timer
    // interrupts it.
    std::vector<char> sent(ZTUDS_MAX_PAYLOAD);
    for (size_t i = 0; i < sent.size(); i++)
        sent[i] = static_cast<char>(i * 7 + 3);
    pid_t writer = fork();
    if (writer == 0) {
        usleep(20000);
        _exit(ztuds_write(fds_[0], sent.data(), sent.size(), 77) < 0);
    }
    struct sigaction action = {};
    action.sa_handler = [](int) {};  // no SA_RESTART: reads fail with EINTR
    sigaction(SIGALRM, &action, nullptr);
    struct itimerval timer = {{0, 2000}, {0, 2000}};
    setitimer(ITIMER_REAL, &timer, nullptr);
    void *payload = nullptr;
    uint32_t length = 0, id = 0;
    int got = ztuds_read(fds_[1], &payload, &length, &id, 0);
    timer = {};
    setitimer(ITIMER_REAL, &timer, nullptr);
    ASSERT_EQ(got, static_cast<int>(sent.size())) << strerror(errno);
    EXPECT_EQ(length, sent.size());
    EXPECT_EQ(id, 77u);
    EXPECT_EQ(memcmp(payload, sent.data(), sent.size()), 0);
    EXPECT_EQ(static_cast<char *>(payload)[length], '\0');
    free(payload);
    int status;
    waitpid(writer, &status, 0);
    EXPECT_EQ(status, 0);
}

TEST_F(TransportTest, BoundsEmptyMessagesAndTheOrderlyEnd)
{
    static char big[ZTUDS_MAX_PAYLOAD + 1];
    errno = 0;
    EXPECT_EQ(ztuds_write(fds_[0], big, sizeof big, 1), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(ztuds_write(fds_[0], nullptr, 5, 1), -1);
    EXPECT_EQ(errno, EINVAL);

    // An empty message has no payload block.
    ASSERT_EQ(ztuds_write(fds_[0], nullptr, 0, 9), 0);
    void *payload = &payload;
    uint32_t length = 1;
    EXPECT_EQ(ztuds_read(fds_[1], &payload, &length, nullptr, 9), 0);
    EXPECT_EQ(payload, nullptr);
    EXPECT_EQ(length, 0u);

    // A header that announces more than the bound is refused before any
    // allocation.
    const uint32_t header[3] = {0x5a545544, 1, ZTUDS_MAX_PAYLOAD + 1};
    ASSERT_EQ(write(fds_[0], header, sizeof header), (ssize_t)sizeof header);
    EXPECT_EQ(ztuds_read(fds_[1], &payload, nullptr, nullptr, 0), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(payload, nullptr);

    // The peer closes between messages: -1 with errno 0.
    close(fds_[0]);
    fds_[0] = -1;
    errno = EINVAL;
    EXPECT_EQ(ztuds_read(fds_[1], &payload, nullptr, nullptr, 0), -1);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(ztuds_close(-1), 0);
}

double seconds_since(const struct timespec &start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
}

// A peer that keeps every single wait short but spreads one message over
// seconds: the call still ends by the time-out of the whole message.
TEST_F(TransportTest, WholeMessageEndsByItsDeadline)
{
    static std::vector<char> big(ZTUDS_MAX_PAYLOAD);
    const struct {
        const char *what;
        std::function<void(int)> peer;  // runs in a child on the other end
        std::function<int(int)> call;
    } cases[] = {
        {"a writer that trickles a byte every 50 ms",
         [](int fd) {
             const uint32_t header[3] = {0x5a545544, 1, 100};
             (void)!write(fd, header, sizeof header);
             for (int i = 0; i < 100 && write(fd, "x", 1) == 1; i++)
                 usleep(50000);
         },
         [](int fd) {
             void *payload = nullptr;
             return ztuds_read(fd, &payload, nullptr, nullptr, 0);
         }},
        {"a reader that takes 64 KiB every 50 ms",
         [](int fd) {
             static char sink[1 << 16];
             while (read(fd, sink, sizeof sink) > 0)
                 usleep(50000);
         },
         [](int fd) { return ztuds_write(fd, big.data(), big.size(), 1); }},
    };
    ztuds_set_timeout(300);
    for (const auto &c : cases) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        pid_t peer = fork();
        if (peer == 0) {
            close(fds[1]);
            c.peer(fds[0]);
            _exit(0);
        }
        close(fds[0]);
        struct timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        errno = 0;
        EXPECT_EQ(c.call(fds[1]), -1) << c.what;
        EXPECT_EQ(errno, ETIMEDOUT) << c.what;
        EXPECT_LT(seconds_since(start), 1.5) << c.what << ": the time-out bounds the message";
        close(fds[1]);
        kill(peer, SIGKILL);
        waitpid(peer, nullptr, 0);
    }
}

int service_commands(int argc, char **argv, char *reply, size_t size, void *ctx)
{
    ++*static_cast<int *>(ctx);
    if (strcmp(argv[0], "echo") != 0)
        return snprintf(reply, size, "no such command: %s", argv[0]), 5;
    std::string words;
    for (int i = 1; i < argc; i++)
        words += std::string(i > 1 ? "," : "") + argv[i];
    snprintf(reply, size, "%s", words.c_str());
    return 0;
}

TEST(CommandServer, ServesBuiltInsAndPassesTheRestOn)
{
    ZT_REQUIRE_ISOLATION();
    char name[40] = "svc";
    int fd = -1, calls = 0;
    ASSERT_EQ(ztcmd_server_init(name, &fd), 0) << strerror(errno);
    struct stat status;
    ASSERT_EQ(stat(ZTCMD_DIR "/svc", &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));

    // The command's status and reply; the server side runs in this process.
    auto ask = [&](const char *command) {
        int reply_pipe[2];
        EXPECT_EQ(pipe(reply_pipe), 0);
        pid_t client = fork();
        if (client == 0) {
            int result = -1;
            char *reply = nullptr;
            if (ztcmd_request("svc", command, &result, &reply) < 0)
                _exit(99);
            (void)!write(reply_pipe[1], reply, strlen(reply));
            _exit(result & 0x7f);
        }
        close(reply_pipe[1]);
        EXPECT_EQ(ztuds_handler(fd, reinterpret_cast<void *>(service_commands), &calls), 0);
        char text[4096] = "";
        ssize_t n = read(reply_pipe[0], text, sizeof text - 1);
        text[n > 0 ? n : 0] = '\0';
        close(reply_pipe[0]);
        int wait_status;
        waitpid(client, &wait_status, 0);
        return std::make_pair(WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1,
                              std::string(text));
    };
    auto reply = ask("status");
    EXPECT_EQ(reply.first, 0);
    EXPECT_EQ(reply.second.rfind("name=svc pid=", 0), 0u) << reply.second;
    EXPECT_EQ(ask("level 4"), std::make_pair(0, std::string("level=4")));
    EXPECT_EQ(ztlog_diag_level(-1), 4);
    EXPECT_EQ(ask("level"), std::make_pair(0, std::string("level=4")));
    EXPECT_EQ(ask("level x").first, 1);
    EXPECT_EQ(ztlog_diag_level(-1), 4);
    ask("level 1");
    EXPECT_EQ(ask("help").first, 0);
    EXPECT_EQ(calls, 0) << "built-ins never reach the service";

    EXPECT_EQ(ask("echo a  b\tc"), std::make_pair(0, std::string("a,b,c")));
    EXPECT_EQ(ask("frobnicate"), std::make_pair(5, std::string("no such command: frobnicate")));
    EXPECT_EQ(ask("   ").first, 1);
    EXPECT_EQ(calls, 2);

    // A client that hangs up before its command is no failure.
    close(ztuds_connect(ZTCMD_DIR "/svc"));
    errno = EINVAL;
    EXPECT_EQ(ztuds_handler(fd, nullptr, nullptr), 0);

    ztcmd_server_term(&fd);
    EXPECT_EQ(fd, -1);
    EXPECT_NE(stat(ZTCMD_DIR "/svc", &status), 0) << "the socket goes with the server";
    EXPECT_EQ(ztcmd_server_term(&fd), 0) << "a second shut-down is harmless";

    int result = 0;
    char *text = nullptr;
    EXPECT_EQ(ztcmd_request("svc", "status", &result, &text), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(ztcmd_request("../x", "status", &result, &text), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(text, nullptr);
}

TEST(Traces, RecordsCarryTheirOriginAndHonourTheLevel)
{
    zt_test::TraceCapture traces(3);
    errno = ENOENT;
    ztlog_trace_r(-1, 1, 3, "src/x", 12, "fn", "%s: gone: %m", "fn");
    EXPECT_EQ(errno, ENOENT) << "a record keeps errno";
    ztlog_trace_r(-1, 4, 7, "src/x", 13, "fn", "line\nbreak");
    std::vector<zt_test::TraceRecord> records = traces.take();
    ASSERT_EQ(records.size(), 2u) << "the sink writes what it is given; the caller filters";
    const zt_test::TraceRecord &r = records[0];
    EXPECT_EQ(std::tie(r.level, r.severity, r.file, r.line, r.function, r.message),
              std::make_tuple(1, "err", "src/x", 12, "fn", "fn: gone: No such file or directory"));
    EXPECT_EQ(r.pid, getpid());
    // The time in UTC to the microsecond, within seconds of now.
    struct tm fields = {};
    const char *rest = strptime(r.time.c_str(), "%Y-%m-%dT%H:%M:%S", &fields);
    ASSERT_NE(rest, nullptr) << r.time;
    EXPECT_TRUE(strlen(rest) == 8 && rest[0] == '.' && rest[7] == 'Z' &&
                strspn(rest + 1, "0123456789") == 6)
        << r.time;
    EXPECT_LE(llabs(static_cast<long long>(timegm(&fields) - time(nullptr))), 5) << r.time;
    EXPECT_EQ(records[1].message, "line\\nbreak") << "one record, one line";
    EXPECT_EQ(ztlog_diag_level(-1), 3);
}

// The level of a process that never set one comes from ZTLOG_LEVEL, else 1:
// this program is run again, fresh, to report just that as its status.
TEST(Traces, ALevelStartsFromTheEnvironmentOrAtOne)
{
    if (getenv("ZT_TEST_LEVEL_PROBE"))
        _exit(ztlog_diag_level(-1));
    for (auto [variable, level] : {std::pair<const char *, int>{nullptr, 1}, {"3", 3}}) {
        const int status = zt_test::run_in_child([variable] {
            setenv("ZT_TEST_LEVEL_PROBE", "1", 1);
            if (variable)
                setenv("ZTLOG_LEVEL", variable, 1);
            else
                unsetenv("ZTLOG_LEVEL");
            execl("/proc/self/exe", "test_ztsvc", "--gtest_filter=Traces.ALevelStartsFromTheEnvironmentOrAtOne",
                  nullptr);
            return 99;
        });
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, level) << (variable ? variable : "unset");
    }
}

}  // namespace

namespace {

// With the descriptor table full, a connection waiting on either socket of
// the daemon loop is taken and closed, once: the loop sleeps in its wait
// again instead of spinning on a listener that stays readable.
TEST(OutOfDescriptors, EachWaitingConnectionIsRefusedOnce)
{
    ZT_REQUIRE_ISOLATION();
    zt_test::TraceCapture traces(1);
    static std::vector<int> fillers, peers;
    int status = zt_test::run_in_child([] {
        struct rlimit limit = {64, 64};
        setrlimit(RLIMIT_NOFILE, &limit);
        for (int fd; (fd = dup(0)) >= 0;)
            fillers.push_back(fd);
        for (int i = 0; i < 3; i++) {  // the command and restart sockets, the spare
            close(fillers.back());
            fillers.pop_back();
        }
        auto idle = [](void *) {
            static int calls = 0;
            if (calls++ > 0)
                return 1;  // the second call, a second later, ends the loop
            for (const char *path : {ZTCMD_DIR "/full", RESTART_UDS_DIR "/full"}) {
                close(fillers.back());  // room for one peer, none for the loop
                fillers.pop_back();
                peers.push_back(ztuds_connect(path));
            }
            return 0;
        };
        auto yes = [](const char *, const char *, const char *, void *) { return 1; };
        auto restart = [](void *) { return 3; };
        int result = ztuds_daemon("full", 3, 1, idle, nullptr, reinterpret_cast<void *>(1), yes,
                                  restart, nullptr, nullptr, nullptr);
        struct rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        char byte;
        bool refused = peers.size() == 2 && peers[0] >= 0 && peers[1] >= 0 &&
                       read(peers[0], &byte, 1) == 0 && read(peers[1], &byte, 1) == 0;
        return (result == 1 ? 0 : 1) | (refused ? 0 : 2) | (cpu < 0.5 ? 0 : 4);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status) & 1, 0) << "the loop ended by its idle handler";
    EXPECT_EQ(WEXITSTATUS(status) & 2, 0) << "both peers saw their connection closed";
    EXPECT_EQ(WEXITSTATUS(status) & 4, 0) << "the loop used under half a second of CPU";
    std::vector<std::string> messages;
    for (const zt_test::TraceRecord &record : traces.take())
        messages.push_back(record.message);
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "ztuds_daemon: ztuds_handler error: Too many open files",
                            "ztuds_daemon: restart_accept error: Too many open files",
                            "ztuds_daemon: returning because idle handler returned 1"}));
}

}  // namespace

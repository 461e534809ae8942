// The example service and the peer tools as processes: restart checks,
// requests and events through ztrestart, commands through ztcmd, datagrams,
// queue messages, shut-down by command and by signal, confinement, a
// second start, and hostile peers.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zt_test.h"
#include "ztsvc.h"
#include "zttools.h"

namespace {

using Strings = std::vector<std::string>;

// A program of the build with its arguments, under the target's emulator
// if there is one, with the environment variables of env ("NAME=VALUE").
Strings program(const char *path, const Strings &args, const Strings &env = {})
{
    Strings command{"/usr/bin/env"};
    command.insert(command.end(), env.begin(), env.end());
    std::istringstream emulator(ZT_EMULATOR);
    command.insert(command.end(), std::istream_iterator<std::string>(emulator), {});
    command.push_back(path);
    command.insert(command.end(), args.begin(), args.end());
    return command;
}
zt_test::ProgramRun restart(const Strings &args)
{
    return zt_test::run_program(program(ZTRESTART_PATH, args));
}
zt_test::ProgramRun command(const std::string &name, const std::string &text)
{
    return zt_test::run_program(program(ZTCMD_PATH, {name, text}));
}

double seconds_since(const struct timespec &start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
}

// A peer in a child that connects to path, announces a 1 MiB message and
// then sends one byte of it every 100 ms, for 10 seconds.
pid_t drip(const std::string &path)
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = ztuds_connect(path.c_str());
        const uint32_t header[3] = {0x5a545544, RESTART_PROTOCOL_ID, ZTUDS_MAX_PAYLOAD};
        (void)!write(fd, header, sizeof header);
        for (int i = 0; i < 100 && write(fd, "x", 1) == 1; i++)
            usleep(100000);
        _exit(0);
    }
    usleep(200000);  // the service is inside its read of the message by now
    return pid;
}

void end(pid_t child)
{
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

constexpr int kInfo = LOG_DAEMON | LOG_INFO;
constexpr int kNotice = LOG_DAEMON | LOG_NOTICE;

class DemoServiceTest : public testing::Test {
protected:
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        zt_test::take_syslog();
    }
    void TearDown() override
    {
        if (runner_.joinable() && pid_ > 0)
            kill(pid_, SIGKILL);
        if (runner_.joinable())
            runner_.join();
    }
    // Starts the service in a thread and waits until its restart socket
    // listens; its pid is what its command server tells.
    void start(const std::string &name, Strings options = {}, const Strings &env = {})
    {
        options.push_back(name);
        runner_ = std::thread([this, run = program(DEMO_SERVICE_PATH, options, env)] {
            run_ = zt_test::run_program(run, "", 120);
        });
        const std::string socket = RESTART_UDS_DIR "/" + name;
        for (int i = 0; i < 1000 && access(socket.c_str(), F_OK) != 0; i++)
            usleep(10000);
        ASSERT_EQ(access(socket.c_str(), F_OK), 0) << "the service did not start";
        const std::string status = command(name, "status").out;
        pid_ = atoi(status.c_str() + status.find(" pid=") + 5);
        ASSERT_GT(pid_, 0) << status;
    }
    // The run of the service, once it has ended.
    zt_test::ProgramRun ended()
    {
        runner_.join();
        pid_ = -1;
        return run_;
    }
    // Waits up to 20 seconds for a syslog record from the service with this
    // message; every record seen meanwhile is kept.
    bool logged(int priority, const std::string &message)
    {
        for (int i = 0; i < 2000; i++, usleep(10000)) {
            for (zt_test::SyslogRecord &record : zt_test::take_syslog())
                records_.push_back(record);
            for (const zt_test::SyslogRecord &record : records_)
                if (record == zt_test::SyslogRecord{priority, message})
                    return true;
        }
        return false;
    }
    std::thread runner_;
    zt_test::ProgramRun run_;
    pid_t pid_ = -1;
    std::vector<zt_test::SyslogRecord> records_;
};

TEST_F(DemoServiceTest, AnswersPeersAndStopsOnCommand)
{
    FILE *config = fopen("/tmp/demo.conf", "w");
    fputs("# what this service uses\ninterface eth1 *\nroute - 10.0.0.0/8\n", config);
    fclose(config);
    start("alpha", {"--idle", "1", "--config", "/tmp/demo.conf"});
    ASSERT_TRUE(logged(kInfo, "heartbeat 1"));
    const struct {
        Strings args;
        int status;
        std::string out;
    } cases[] = {
        {{"check", "interface", "eth1", "down", "7"}, 1,
         "check: 1 (the last decided property concerns the service)\n"},
        {{"check", "route", "-", "10.0.0.0/8", "0", "interface", "eth2", "up", "1"}, 0,
         "check: 0 (the last decided property does not concern the service)\n"},
        {{"request"}, 0, "request: 3 (restarted)\n"},
        {{"event", "9", "link", "eth1", "down"}, 0, "event 9: 0\n"},
    };
    for (const auto &c : cases) {
        Strings args{"alpha"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        zt_test::ProgramRun run = restart(args);
        EXPECT_EQ(run.status, c.status) << c.args[0] << ": " << run.err;
        EXPECT_EQ(run.out, c.out);
    }
    EXPECT_TRUE(logged(kNotice, "restart request: configuration reloaded with 2 properties"));
    EXPECT_TRUE(logged(kNotice, "event 9: link eth1 down"));

    // Its own datagram socket, watched by the loop.
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un me = {AF_UNIX, "/tmp/peer.sock"}, it = {AF_UNIX, "/tmp/demo_service/alpha"};
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&me), sizeof me), 0);
    struct timeval bound = {20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ASSERT_EQ(sendto(fd, "ping", 4, 0, reinterpret_cast<sockaddr *>(&it), sizeof it), 4);
    char reply[64] = "";
    EXPECT_EQ(recv(fd, reply, sizeof reply - 1, 0), 9);
    EXPECT_STREQ(reply, "pong ping");
    close(fd);

    // A queue message, logged at the next heartbeat.
    ztmsg_message message = {5, 5, 0, "hello"};
    ASSERT_EQ(ztmsg_send("alpha", &message), 0);
    EXPECT_TRUE(logged(kInfo, "message type 5 from " + std::to_string(getpid()) + ": hello"));

    EXPECT_EQ(command("alpha", "stop").out, "stopping\n");
    EXPECT_EQ(ended().status, 0);
    EXPECT_TRUE(logged(kNotice, "stopped"));
}

TEST_F(DemoServiceTest, StopsOnTermAndInt)
{
    for (int sig : {SIGTERM, SIGINT}) {
        start("beta", {"--idle", "30"});
        ASSERT_TRUE(logged(kInfo, "heartbeat 1"));
        kill(pid_, sig);
        EXPECT_EQ(ended().status, 0) << sig;
        EXPECT_TRUE(logged(kNotice, "signal " + std::to_string(sig) + ": shutting down"));
    }
}

TEST_F(DemoServiceTest, ConfinedServiceStillAnswers)
{
    // No /proc for the leak checker inside the sandbox.
    start("gamma", {"--idle", "1", "--sandbox"}, {"ZTLOG_FILE=/tmp/traces.log", "ASAN_OPTIONS=detect_leaks=0"});
    ASSERT_TRUE(logged(kNotice, "confined to /tmp/sandbox/gamma as uid " + std::to_string(get_nobody_uid())));
    EXPECT_EQ(restart({"gamma", "request"}).status, 0);
    ztmsg_message message = {6, 4, 0, "boxed"};
    ASSERT_EQ(ztmsg_send("gamma", &message), 0);
    EXPECT_TRUE(logged(kInfo, "message type 6 from " + std::to_string(getpid()) + ": boxe"))
        << "the queue still reaches the confined service";

    // A command connection that carries no message: traced to the file,
    // which was opened before confinement.
    int fd = ztuds_connect(ZTCMD_DIR "/gamma");
    ASSERT_EQ(write(fd, "not a message", 13), 13);
    close(fd);
    const pid_t pid = pid_;
    EXPECT_EQ(command("gamma", "stop").status, 0);
    EXPECT_EQ(ended().status, 0);
    int file = open("/tmp/traces.log", O_RDONLY | O_CLOEXEC);
    std::vector<zt_test::TraceRecord> traces = zt_test::parse_traces(zt_test::file_text(file));
    close(file);
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_EQ(traces[0].message, "ztuds_daemon: ztuds_handler error: Bad message");
    EXPECT_EQ(traces[0].pid, pid);
}

// A peer that trickles one message holds either socket for the transport's
// time-out at most: a command waits no longer, and SIGTERM acts in time.
TEST_F(DemoServiceTest, DrippingPeerHoldsTheServiceOnlyForTheDeadline)
{
    start("delta", {"--idle", "30"}, {"ZTUDS_TIMEOUT_MS=500"});
    for (const char *held : {RESTART_UDS_DIR "/delta", ZTCMD_DIR "/delta"}) {
        pid_t peer = drip(held);
        struct timespec begun;
        clock_gettime(CLOCK_MONOTONIC, &begun);
        EXPECT_EQ(command("delta", "status").status, 0) << held;
        EXPECT_LT(seconds_since(begun), 3.0) << held << ": a command waits out the drip";
        end(peer);
    }
    pid_t peer = drip(RESTART_UDS_DIR "/delta");
    struct timespec begun;
    clock_gettime(CLOCK_MONOTONIC, &begun);
    kill(pid_, SIGTERM);
    EXPECT_EQ(ended().status, 0);
    EXPECT_LT(seconds_since(begun), 3.0) << "SIGTERM waits out the drip";
    end(peer);
}

// A storm of signals, handled or not by default, while peers are served.
TEST_F(DemoServiceTest, SignalStormLeavesTheLoopRunning)
{
    start("storm", {"--idle", "1"});
    const pid_t service = pid_;
    pid_t sender = fork();
    if (sender == 0) {
        const int signals[] = {SIGUSR1, SIGHUP, SIGCHLD};
        for (int i = 0; i < 1500; i++, usleep(1000))
            kill(service, signals[i % 3]);
        _exit(0);
    }
    // Its records are taken meanwhile: a full /dev/log would block it.
    std::atomic<bool> storming = true;
    std::thread reader([&] {
        for (; storming; usleep(1000))
            for (zt_test::SyslogRecord &record : zt_test::take_syslog())
                records_.push_back(record);
    });
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(restart({"storm", "request"}).status, 0) << "request " << i;
    waitpid(sender, nullptr, 0);
    storming = false;
    reader.join();
    EXPECT_TRUE(logged(kNotice, "SIGHUP: configuration reloaded with 2 properties"));
    EXPECT_EQ(command("storm", "stop").status, 0);
    EXPECT_EQ(ended().status, 0);
}

// A second start under a running service's name fails and leaves the
// running one reachable.
TEST_F(DemoServiceTest, SecondStartLeavesTheRunningOneAlone)
{
    start("alpha", {"--idle", "1"});
    zt_test::ProgramRun second = zt_test::run_program(program(DEMO_SERVICE_PATH, {"alpha"}));
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err,
              "demo_service: a service named alpha runs already (/tmp/ztcmd/alpha answers); not started\n");
    EXPECT_EQ(restart({"alpha", "request"}).status, 0);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un it = {AF_UNIX, "/tmp/demo_service/alpha"};
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&it), sizeof it), 0)
        << "the datagram socket stays the running one's";
    close(fd);
    EXPECT_EQ(command("alpha", "stop").status, 0);
    EXPECT_EQ(ended().status, 0);
}

}  // namespace

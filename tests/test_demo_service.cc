// The example service and the peer tools as processes: restart requests
// through ztrestart, commands through ztcmd, queue messages, shut-down by
// command and by signal, confinement, a second start, and hostile peers.
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
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
        if (pid_ > 0)
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
        const std::string status = zt_test::run_program(program(ZTCMD_PATH, {name, "status"})).out;
        pid_ = atoi(status.c_str() + status.find(" pid=") + 5);
        ASSERT_GT(pid_, 0) << status;
    }
    // The exit status of the service, once it has ended.
    int ended()
    {
        runner_.join();
        pid_ = -1;
        return run_.status;
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

TEST_F(DemoServiceTest, AnswersPeersOnceAndStopsOnCommand)
{
    FILE *config = fopen("/tmp/demo.conf", "w");
    fputs("# what this service uses\ninterface eth1 *\nroute - 10.0.0.0/8\n", config);
    fclose(config);
    start("alpha", {"--idle", "1", "--config", "/tmp/demo.conf"});
    ASSERT_TRUE(logged(kInfo, "heartbeat 1"));
    const std::pair<Strings, int> cases[] = {
        {{"alpha", "check", "interface", "eth1", "down", "7"}, 1},  // concerns the service
        {{"alpha", "request"}, 0},
        {{"alpha", "event", "9", "link", "eth1", "down"}, 0},
    };
    for (const auto &[args, status] : cases)
        EXPECT_EQ(zt_test::run_program(program(ZTRESTART_PATH, args)).status, status) << args[1];
    EXPECT_TRUE(logged(kNotice, "restart request: configuration reloaded with 2 properties"));
    EXPECT_TRUE(logged(kNotice, "event 9: link eth1 down"));

    // A second start under its name changes nothing of it.
    zt_test::ProgramRun second = zt_test::run_program(program(DEMO_SERVICE_PATH, {"alpha"}));
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err,
              "demo_service: a service named alpha runs already (/tmp/ztcmd/alpha answers); not started\n");

    EXPECT_EQ(zt_test::run_program(program(ZTCMD_PATH, {"alpha", "stop"})).out, "stopping\n");
    EXPECT_EQ(ended(), 0);
    EXPECT_TRUE(logged(kNotice, "stopped"));
}

// Confined, it still takes its messages; a storm of signals, handled or not
// by default, leaves it serving; a peer that trickles one message holds it
// for the transport's time-out at most.
TEST_F(DemoServiceTest, ConfinedServiceOutlivesSignalStormsAndDrippingPeers)
{
    // No /proc for the leak checker inside the sandbox.
    start("storm", {"--idle", "1", "--sandbox"}, {"ZTUDS_TIMEOUT_MS=500", "ASAN_OPTIONS=detect_leaks=0"});
    ASSERT_TRUE(logged(kNotice, "confined to /tmp/sandbox/storm as uid " + std::to_string(get_nobody_uid())));
    ztmsg_message message = {6, 4, 0, "boxed"};
    ASSERT_EQ(ztmsg_send("storm", &message), 0);
    EXPECT_TRUE(logged(kInfo, "message type 6 from " + std::to_string(getpid()) + ": boxe"));

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
        EXPECT_EQ(zt_test::run_program(program(ZTRESTART_PATH, {"storm", "request"})).status, 0) << i;
    waitpid(sender, nullptr, 0);
    storming = false;
    reader.join();
    EXPECT_TRUE(logged(kNotice, "SIGHUP: configuration reloaded with 2 properties"));

    // A peer that announces a 1 MiB message, then sends a byte of it every
    // 100 ms until the service hangs up.
    std::thread peer([] {
        const int fd = ztuds_connect(RESTART_UDS_DIR "/storm");
        const uint32_t header[3] = {0x5a545544, RESTART_PROTOCOL_ID, ZTUDS_MAX_PAYLOAD};
        send(fd, header, sizeof header, MSG_NOSIGNAL);
        for (int i = 0; i < 100 && send(fd, "x", 1, MSG_NOSIGNAL) == 1; i++)
            usleep(100000);
        close(fd);
    });
    usleep(200000);  // the service is inside its read of the message by now
    const time_t begun = time(nullptr);
    kill(service, SIGTERM);
    EXPECT_EQ(ended(), 0);
    EXPECT_LE(time(nullptr) - begun, 3) << "SIGTERM waits out a drip on the restart socket";
    EXPECT_TRUE(logged(kNotice, "signal 15: shutting down"));
    peer.join();
}

}  // namespace

// The example service and the peer tools as processes: restart checks,
// requests and events through ztrestart, commands through ztcmd, datagrams,
// queue messages, shut-down by command and by signal, confinement, and the
// peer's answers for services that are missing, dead or hung.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zt_test.h"
#include "ztsvc.h"
#include "zttools.h"

namespace {

// A program of the build started in a child, with its output in memory
// files; under an emulator on a foreign target.
class Process {
public:
    Process(const char *program, const std::vector<std::string> &args, bool keep_leaks = true)
    {
        std::istringstream emulator(ZT_EMULATOR);
        std::vector<std::string> words{std::istream_iterator<std::string>(emulator), {}};
        words.push_back(program);
        words.insert(words.end(), args.begin(), args.end());
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char *> argv;
            for (std::string &word : words)
                argv.push_back(word.data());
            argv.push_back(nullptr);
            dup2(out_, STDOUT_FILENO);
            dup2(err_, STDERR_FILENO);
            if (!keep_leaks)  // no /proc for the leak checker inside a sandbox
                setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Process()
    {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            wait();
        }
        close(out_);
        close(err_);
    }
    pid_t pid() const { return pid_; }
    int wait()
    {
        while (status_ < 0 && waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
    }
    std::string out() const { return zt_test::file_text(out_); }
    std::string err() const { return zt_test::file_text(err_); }

private:
    int out_ = memfd_create("out", MFD_CLOEXEC), err_ = memfd_create("err", MFD_CLOEXEC);
    pid_t pid_ = -1;
    int status_ = -1;
};

struct ToolRun {
    int status;
    std::string out, err;
};

ToolRun run(const char *program, const std::vector<std::string> &args)
{
    Process process(program, args);
    int status = process.wait();
    return {status, process.out(), process.err()};
}
ToolRun restart(const std::vector<std::string> &args) { return run(ZTRESTART_PATH, args); }
ToolRun command(const std::string &name, const std::string &text)
{
    return run(ZTCMD_PATH, {name, text});
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
    // Starts the service and waits until its restart socket listens.
    void start(const std::string &name, std::vector<std::string> options = {},
               bool keep_leaks = true)
    {
        options.push_back(name);
        service_ = std::make_unique<Process>(DEMO_SERVICE_PATH, options, keep_leaks);
        const std::string socket = RESTART_UDS_DIR "/" + name;
        for (int i = 0; i < 1000 && access(socket.c_str(), F_OK) != 0; i++)
            usleep(10000);
        ASSERT_EQ(access(socket.c_str(), F_OK), 0) << service_->err();
    }
    // Waits up to 20 seconds for a syslog record from the service with this
    // message; every record seen meanwhile is kept.
    bool logged(int priority, const std::string &message)
    {
        for (int i = 0; i < 2000; i++, usleep(10000)) {
            for (zt_test::SyslogRecord &record : zt_test::take_syslog())
                records_.push_back(record);
            for (const zt_test::SyslogRecord &record : records_)
                if (record.priority == priority && record.message == message)
                    return true;
        }
        return false;
    }
    std::unique_ptr<Process> service_;
    std::vector<zt_test::SyslogRecord> records_;
};

TEST_F(DemoServiceTest, AnswersPeersAndStopsOnCommand)
{
    FILE *config = fopen("/tmp/demo.conf", "w");
    fputs("# what this service uses\ninterface eth1 *\nroute - 10.0.0.0/8\n", config);
    fclose(config);
    start("alpha", {"--idle", "1", "--config", "/tmp/demo.conf"});
    ASSERT_TRUE(logged(kInfo, "heartbeat 1"));

    ToolRun check = restart({"alpha", "check", "interface", "eth1", "down", "7"});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out, "check: 1 (the last decided property concerns the service)\n");
    check = restart({"alpha", "check", "route", "-", "10.0.0.0/8", "0", "interface", "eth2", "up",
                     "1"});
    EXPECT_EQ(check.status, 0) << check.out << check.err;

    ToolRun request = restart({"alpha", "request"});
    EXPECT_EQ(request.status, 0);
    EXPECT_EQ(request.out, "request: 3 (restarted)\n");
    EXPECT_TRUE(logged(kNotice, "restart request: configuration reloaded with 2 properties"));

    ToolRun event = restart({"alpha", "event", "9", "link", "eth1", "down"});
    EXPECT_EQ(event.status, 0);
    EXPECT_EQ(event.out, "event 9: 0\n");
    EXPECT_TRUE(logged(kNotice, "event 9: link eth1 down"));

    // Its own datagram socket, watched by the loop.
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un me = {AF_UNIX, "/tmp/peer.sock"}, it = {AF_UNIX, "/tmp/demo_service/alpha"};
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&me), sizeof me), 0);
    ASSERT_EQ(sendto(fd, "ping", 4, 0, reinterpret_cast<sockaddr *>(&it), sizeof it), 4);
    char reply[64] = "";
    struct timeval bound = {20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    EXPECT_EQ(recv(fd, reply, sizeof reply - 1, 0), 9);
    EXPECT_STREQ(reply, "pong ping");
    close(fd);

    // A queue message, logged at the next heartbeat.
    ztmsg_message message = {5, 5, 0, "hello"};
    ASSERT_EQ(ztmsg_send("alpha", &message), 0);
    EXPECT_TRUE(logged(kInfo, "message type 5 from " + std::to_string(getpid()) + ": hello"));

    ToolRun stats = command("alpha", "stats");
    EXPECT_EQ(stats.status, 0);
    EXPECT_NE(stats.out.find("datagrams=1 messages=1"), std::string::npos) << stats.out;

    EXPECT_EQ(command("alpha", "stop").out, "stopping\n");
    EXPECT_EQ(service_->wait(), 0) << service_->err();
    EXPECT_TRUE(logged(kNotice, "stopped"));

    ToolRun gone = restart({"alpha", "request"});
    EXPECT_EQ(gone.status, 69);
    EXPECT_EQ(gone.err, "ztrestart: service alpha: no such service (No such file or directory)\n");
}

TEST_F(DemoServiceTest, StopsOnTermAndInt)
{
    for (int sig : {SIGTERM, SIGINT}) {
        start("beta", {"--idle", "30"});
        ASSERT_TRUE(logged(kInfo, "heartbeat 1"));
        kill(service_->pid(), sig);
        EXPECT_EQ(service_->wait(), 0) << service_->err();
        EXPECT_TRUE(logged(kNotice, "signal " + std::to_string(sig) + ": shutting down"));
        records_.clear();
    }
}

TEST_F(DemoServiceTest, ConfinedServiceStillAnswers)
{
    setenv("ZTLOG_FILE", "/tmp/traces.log", 1);
    start("gamma", {"--idle", "1", "--sandbox"}, false);
    unsetenv("ZTLOG_FILE");
    ASSERT_TRUE(logged(kNotice, "confined to /tmp/sandbox/gamma as uid " +
                                    std::to_string(get_nobody_uid())));
    EXPECT_EQ(restart({"gamma", "request"}).status, 0);
    ztmsg_message message = {6, 4, 0, "boxed"};
    ASSERT_EQ(ztmsg_send("gamma", &message), 0);
    EXPECT_TRUE(logged(kInfo, "message type 6 from " + std::to_string(getpid()) + ": boxe"))
        << "the queue still reaches the confined service";

    // A command connection that carries no message: traced to the file.
    int fd = ztuds_connect(ZTCMD_DIR "/gamma");
    ASSERT_EQ(write(fd, "not a message", 13), 13);
    close(fd);
    EXPECT_EQ(command("gamma", "stop").status, 0);
    EXPECT_EQ(service_->wait(), 0) << service_->err();
    int file = open("/tmp/traces.log", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0) << "the trace file is opened before confinement";
    std::vector<zt_test::TraceRecord> traces = zt_test::parse_traces(zt_test::file_text(file));
    close(file);
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_EQ(traces[0].message, "ztuds_daemon: ztuds_handler error: Bad message");
    EXPECT_EQ(traces[0].pid, service_->pid());
}

// A peer that trickles one message holds either socket for the transport's
// time-out at most: a command waits no longer, and SIGTERM acts in time.
TEST_F(DemoServiceTest, DrippingPeerHoldsTheServiceOnlyForTheDeadline)
{
    setenv("ZTUDS_TIMEOUT_MS", "500", 1);
    start("delta", {"--idle", "30"});
    unsetenv("ZTUDS_TIMEOUT_MS");
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
    kill(service_->pid(), SIGTERM);
    EXPECT_EQ(service_->wait(), 0) << service_->err();
    EXPECT_LT(seconds_since(begun), 3.0) << "SIGTERM waits out the drip";
    end(peer);
}

// A storm of signals, handled or not by default, while peers are served.
TEST_F(DemoServiceTest, SignalStormLeavesTheLoopRunning)
{
    start("storm", {"--idle", "1"});
    const pid_t service = service_->pid();
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
    EXPECT_EQ(service_->wait(), 0) << service_->err();
}

// A second start under a running service's name fails and leaves the
// running one reachable on every road.
TEST_F(DemoServiceTest, SecondStartLeavesTheRunningOneAlone)
{
    start("alpha", {"--idle", "1"});
    ToolRun second = run(DEMO_SERVICE_PATH, {"alpha"});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err,
              "demo_service: a service named alpha runs already (/tmp/ztcmd/alpha answers); "
              "not started\n");
    EXPECT_EQ(restart({"alpha", "request"}).status, 0);
    ztmsg_message message = {7, 2, 0, "hi"};
    ASSERT_EQ(ztmsg_send("alpha", &message), 0);
    EXPECT_TRUE(logged(kInfo, "message type 7 from " + std::to_string(getpid()) + ": hi"));
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un it = {AF_UNIX, "/tmp/demo_service/alpha"};
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&it), sizeof it), 0)
        << "the datagram socket stays the running one's";
    close(fd);
    EXPECT_EQ(command("alpha", "stop").status, 0);
    EXPECT_EQ(service_->wait(), 0) << service_->err();
}

TEST_F(DemoServiceTest, PeerToolFailsClearlyAndInBoundedTime)
{
    // A socket file that nobody listens on.
    mkdir(RESTART_UDS_DIR, 0700);
    int dead = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {AF_UNIX, RESTART_UDS_DIR "/dead"};
    ASSERT_EQ(bind(dead, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(dead);
    ToolRun refused = restart({"dead", "request"});
    EXPECT_EQ(refused.status, 69);
    EXPECT_EQ(refused.err, "ztrestart: service dead: not listening (Connection refused)\n");

    // A service that listens but never answers.
    int hung = restart_server("hung");
    ASSERT_GE(hung, 0);
    time_t start = time(nullptr);
    ToolRun late = restart({"--timeout", "1", "hung", "event", "3"});
    EXPECT_LT(time(nullptr) - start, 10);
    EXPECT_EQ(late.status, 75);
    EXPECT_EQ(late.err, "ztrestart: service hung: no reply in time\n");
    close(hung);

    for (const std::vector<std::string> &bad :
         {std::vector<std::string>{"x", "check", "a", "b", "c"},
          {"x", "check", "a", "b", "c", "-1"}, {"x", "event"}, {"x", "poke"},
          {"--timeout", "0", "x", "request"}, {"a/b", "request"}})
        EXPECT_EQ(restart(bad).status, 64) << bad[1];
    ToolRun help = restart({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Exit status"), std::string::npos);
}

}  // namespace

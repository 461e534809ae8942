// The operator tools as an operator meets them: options anywhere, one set
// of exit statuses and messages, services' answers and their listing, and
// the bound on a whole exchange with a service.
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "zt_test.h"
#include "ztsvc.h"
#include "zttools.h"

namespace {

using Strings = std::vector<std::string>;
using Result = std::tuple<int, std::string, std::string>;  // status, out, err

Result tool(const std::string &name, const Strings &args, int limit_secs = 60)
{
    std::istringstream emulator(ZT_EMULATOR);
    Strings command{std::istream_iterator<std::string>(emulator), {}};
    command.push_back(ZT_TOOLS_DIR "/" + name);
    command.insert(command.end(), args.begin(), args.end());
    zt_test::ProgramRun run = zt_test::run_program(command, "", limit_secs);
    return {run.status, run.out, run.err};
}

std::string usage_error(const std::string &name, const std::string &message)
{
    return name + ": " + message + "\nTry '" + name + " --help' for more information.\n";
}

// A restart socket that answers every request with a header that promises
// 1000 bytes, then sends one of them every 100 ms.
void drip_service()
{
    const int listener = restart_server("drip");
    std::vector<int> peers;
    for (pollfd ready = {listener, POLLIN, 0};;) {
        if (poll(&ready, 1, 100) > 0) {
            const uint32_t header[3] = {0x5a545544, RESTART_PROTOCOL_ID, 1000};
            peers.push_back(accept(listener, nullptr, nullptr));
            send(peers.back(), header, sizeof header, MSG_NOSIGNAL);
        }
        for (int peer : peers)
            send(peer, "x", 1, MSG_NOSIGNAL);
    }
}

// A restart socket that answers with a reply of 4 bytes, not 8.
void short_reply_service()
{
    int listener = restart_server("short");
    for (int connection; (connection = accept(listener, nullptr, nullptr)) >= 0; close(connection)) {
        ztuds_read(connection, nullptr, nullptr, nullptr, 0);
        ztuds_write(connection, "\3\0\0\0", 4, RESTART_PROTOCOL_ID);
    }
}

// A service that takes every command, decides no property and does not
// restart.
void live_service()
{
    auto command = [](int, char **, char *reply, size_t, void *) { return reply[0] = '\0', 0; };
    ztuds_daemon("alpha", 5, 0, nullptr, nullptr, reinterpret_cast<void *>(+command),
                 [](const char *, const char *, const char *, void *) { return 2; },
                 [](void *) { return 4; }, nullptr, nullptr, nullptr);
}

class ToolsTest : public testing::Test {
protected:
    void SetUp() override
    {
        ZT_REQUIRE_ISOLATION();
        // This test's own /tmp and IPC: start each case from nothing.
        ASSERT_EQ(system("rm -rf /tmp/* && ipcrm --all=msg"), 0);
    }
    void TearDown() override
    {
        for (pid_t pid : children_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // Runs body in a child until the test ends, once path is there.
    void spawn(void (*body)(), const char *path)
    {
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            body();
            _exit(0);
        }
        children_.push_back(pid);
        for (int i = 0; i < 500 && access(path, F_OK) != 0; i++)
            usleep(10000);
        ASSERT_EQ(access(path, F_OK), 0) << path;
    }
    std::vector<pid_t> children_;
};

TEST_F(ToolsTest, QueuesAreSentToReadAndRemovedWithTheirFailuresTold)
{
    int a, full;
    ASSERT_EQ(ztmsg_init("a", &a), 0);
    ASSERT_EQ(ztmsg_init("full", &full), 0);
    ASSERT_EQ(mkdir(ZTMSG_DIR "gone", 0777), 0);  // a directory without its queue
    struct msqid_ds info;
    ASSERT_EQ(msgctl(full, IPC_STAT, &info), 0);
    info.msg_qbytes = 8;  // less than any message
    ASSERT_EQ(msgctl(full, IPC_SET, &info), 0);

    EXPECT_EQ(tool("ztmsg", {"recv", "a"}), Result(75, "", "ztmsg: recv from a: no message waiting\n"));
    EXPECT_EQ(tool("ztmsg", {"send", "full", "1", "hi"}),
              Result(75, "", "ztmsg: send to full: the queue is full\n"));
    auto [status, out, err] = tool("ztmsg", {"send", "*", "3", "all"});
    EXPECT_EQ(status, 75) << "the highest of the failures' statuses";
    EXPECT_NE(err.find("ztmsg: send to gone: no such queue\n"), std::string::npos) << err;
    std::tie(status, out, err) = tool("ztmsg", {"recv", "a", "--wait"});
    EXPECT_EQ(status, 0) << err;
    EXPECT_TRUE(std::regex_match(out, std::regex("type 3 from pid [0-9]+, 3 bytes: all\n"))) << out;
    EXPECT_EQ(tool("ztmsg", {"rm", "a"}), Result(0, "", ""));
    EXPECT_EQ(msgget(ftok(ZTMSG_DIR "a", ZTMSG_KEY_ID), 0), -1) << "the queue is still there";
}

// Statuses and messages that agree across the tools; services that answer,
// drip their reply, say nothing, answer short or are gone: the time-out
// bounds the whole exchange, and only a whole reply counts.
TEST_F(ToolsTest, StatusesAgreeServicesAnswerOrFailInBoundedTimeAndTheListShowsEach)
{
    spawn(live_service, ZTCMD_DIR "/alpha");
    spawn(drip_service, RESTART_UDS_DIR "/drip");
    spawn(short_reply_service, RESTART_UDS_DIR "/short");
    const int silent = restart_server("silent");
    int dead = socket(AF_UNIX, SOCK_STREAM, 0);  // a socket file that nobody listens on
    struct sockaddr_un address = {AF_UNIX, RESTART_UDS_DIR "/dead"};
    ASSERT_EQ(bind(dead, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(dead);
    int queue;
    ASSERT_EQ(ztmsg_init("alpha", &queue), 0);
    ztmsg_message message = {1, 0, 0, {}};
    ASSERT_EQ(ztmsg_send("alpha", &message), 0);
    ASSERT_EQ(ztmsg_send("alpha", &message), 0);
    ASSERT_EQ(mkdir(ZTMSG_DIR "qonly", 0777), 0);
    const struct {
        std::string tool;
        Strings args;
        Result result;
    } cases[] = {
        // Options after the operands, and the longest time-out.
        {"ztrestart", {"x", "request", "--timeout=3600"},
         {69, "", "ztrestart: service x: no such service (No such file or directory)\n"}},
        {"ztrestart", {"x", "--timeout", "3601", "request"},
         {64, "", usage_error("ztrestart", "--timeout takes 1 to 3600 seconds, not \"3601\"")}},
        {"ztcmd", {"x", std::string(1000, 'a'), std::string(23, 'b')},
         {64, "", usage_error("ztcmd", "the command is longer than 1023 bytes")}},
        {"ztmsg", {"rm", "--wait", "x"}, {64, "", usage_error("ztmsg", "--wait applies to recv only")}},
        {"ztmsg", {"recv", "../escape"},
         {64, "", usage_error("ztmsg", "\"../escape\" is not a service name: it contains \"/\"")}},
        {"ztnet", {"route"}, {64, "", usage_error("ztnet", "route takes 1 operand, not 0")}},
        {"ztatob", {"--lenient"}, {64, "", usage_error("ztatob", "--lenient applies to decoding only")}},
        {"ztrestart", {"alpha", "check", "a", "-", "-", "1"}, {2, "check: 2 (no property decided)\n", ""}},
        {"ztrestart", {"alpha", "request"}, {1, "request: 4 (not restarted)\n", ""}},
        {"ztrestart", {"alpha", "event", "5", "up"}, {1, "event 5: 2\n", ""}},
        {"ztcmd", {"alpha", "level", "x"}, {1, "level: expected a number from 0 to 9\n", ""}},
        {"ztrestart", {"dead", "request"},
         {69, "", "ztrestart: service dead: not listening (Connection refused)\n"}},
        {"ztrestart", {"--timeout", "1", "drip", "request"},
         {75, "", "ztrestart: service drip: no reply in time\n"}},
        // A time-out beyond the transport's own wait.
        {"ztrestart", {"--timeout", "6", "silent", "request"},
         {75, "", "ztrestart: service silent: no reply in time\n"}},
        {"ztrestart", {"short", "request"},
         {75, "", "ztrestart: service short: no proper reply: Bad message\n"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(tool(c.tool, c.args), c.result) << c.tool << " " << testing::PrintToString(c.args);

    const time_t start = time(nullptr);
    const std::string id = std::to_string(queue);
    EXPECT_EQ(tool("ztcmd", {"--list", "-t", "1"}, 20),
              Result(0,
                  "NAME                 RESTART   COMMAND   QUEUE      WAITING\n"
                  "alpha                answers   answers   " + id + std::string(11 - id.size(), ' ') + "2\n"
                  "dead                 refused   absent    -          -\n"
                  "drip                 no-reply  absent    -          -\n"
                  "qonly                absent    absent    -          -\n"
                  "short                no-reply  absent    -          -\n"
                  "silent               no-reply  absent    -          -\n",
                  ""));
    EXPECT_LE(time(nullptr) - start, 5) << "each probe is bounded";
    close(silent);
}

}  // namespace

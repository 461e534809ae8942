// The operator tools as an operator meets them: options anywhere, one set
// of exit statuses, the checks of queue names, the listing of services,
// the bound on a whole exchange with a service that drips its reply, and
// the bash completion.
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

std::string try_help(const std::string &name)
{
    return "Try '" + name + " --help' for more information.\n";
}

// A service that answers every request with a message header that
// promises 1000 bytes, then sends one of them every 100 ms.
void drip_service()
{
    int listeners[2] = {restart_server("drip"), -1};
    mkdir(ZTCMD_DIR, 0700);
    listeners[1] = ztuds_server(ZTCMD_DIR "/drip", 0700);
    std::vector<pollfd> fds;
    for (int fd : listeners)
        fds.push_back({fd, POLLIN, 0});
    for (;;) {
        poll(fds.data(), 2, 100);
        for (int i = 0; i < 2; i++) {
            if (fds[i].revents & POLLIN) {
                const uint32_t header[3] = {0x5a545544, 0, 1000};
                int connection = accept(fds[i].fd, nullptr, nullptr);
                send(connection, header, sizeof header, MSG_NOSIGNAL);
                fds.push_back({connection, 0, 0});
            }
        }
        for (size_t i = 2; i < fds.size(); i++)
            send(fds[i].fd, "x", 1, MSG_NOSIGNAL);
    }
}

// A service whose restart socket answers with a reply of 4 bytes, not 8.
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
    // Runs body in a child until the test ends, and waits until path is there.
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

TEST_F(ToolsTest, EveryToolTakesVersionHelpAndNamesAWrongOption)
{
    for (const std::string name : {"ztrestart", "ztcmd", "ztmsg", "ztatob", "ztnet"}) {
        EXPECT_EQ(tool(name, {"--version"}), Result(0, name + " (zttools) " ZTTOOLS_VERSION "\n", ""));
        auto [status, out, err] = tool(name, {"--help"});
        EXPECT_EQ(status, 0) << name;
        EXPECT_NE(out.find("64 usage error;\n65 bad input data; 69 service"), std::string::npos) << out;
        EXPECT_EQ(tool(name, {"--bogus"}),
                  Result(64, "", name + ": unrecognized option '--bogus'\n" + try_help(name)));
    }
}

TEST_F(ToolsTest, StatusesAgreeAcrossToolsAndErrorsSayWhatWasWrong)
{
    const std::string absent = "no such service (No such file or directory)\n";
    const struct {
        std::string tool;
        Strings args;
        int status;
        std::string err;
    } cases[] = {
        // Options before, between and after the operands, in either form.
        {"ztrestart", {"x", "--timeout", "2", "request"}, 69, "ztrestart: service x: " + absent},
        {"ztrestart", {"x", "request", "--timeout=3600"}, 69, "ztrestart: service x: " + absent},
        {"ztcmd", {"-t1", "x", "status"}, 69, "ztcmd: service x: " + absent},
        {"ztmsg", {"send", "x", "1", "hi"}, 69, "ztmsg: send to x: no such queue\n"},
        {"ztmsg", {"rm", "x"}, 69, "ztmsg: rm x: no such queue\n"},
        {"ztmsg", {"send", "*", "1", "hi"}, 69, "ztmsg: send to *: no queues under " ZTMSG_DIR "\n"},
        {"ztmsg", {"recv", "x"}, 75, "ztmsg: recv from x: no message waiting\n"},  // and makes x's queue
        {"ztrestart", {"x", "poke"}, 64,
         "ztrestart: unknown request \"poke\" (check, request or event)\n" + try_help("ztrestart")},
        {"ztrestart", {"x", "--timeout", "3601", "request"}, 64,
         "ztrestart: --timeout takes 1 to 3600 seconds, not \"3601\"\n" + try_help("ztrestart")},
        {"ztcmd", {"--timeout=0", "x", "status"}, 64,
         "ztcmd: --timeout takes 1 to 3600 seconds, not \"0\"\n" + try_help("ztcmd")},
        {"ztcmd", {"x"}, 64, "ztcmd: no COMMAND given\n" + try_help("ztcmd")},
        {"ztcmd", {"x", std::string(1000, 'a'), std::string(23, 'b')}, 64,
         "ztcmd: the command is longer than 1023 bytes\n" + try_help("ztcmd")},
        {"ztcmd", {"--list", "x"}, 64, "ztcmd: --list takes no operands, not \"x\"\n" + try_help("ztcmd")},
        {"ztmsg", {"frob"}, 64, "ztmsg: unknown command \"frob\" (send, recv or rm)\n" + try_help("ztmsg")},
        {"ztmsg", {"recv"}, 64, "ztmsg: recv takes 1 operand, not 0\n" + try_help("ztmsg")},
        {"ztmsg", {"send", "--wait", "x", "1", "hi"}, 64,
         "ztmsg: --wait applies to recv only\n" + try_help("ztmsg")},
        {"ztmsg", {"rm", "*"}, 64, "ztmsg: \"*\" stands for every queue; only send takes it\n" + try_help("ztmsg")},
        {"ztnet", {"route"}, 64, "ztnet: route takes 1 operand, not 0\n" + try_help("ztnet")},
        {"ztatob", {"-w"}, 64, "ztatob: option requires an argument -- 'w'\n" + try_help("ztatob")},
        {"ztatob", {"--lenient"}, 64, "ztatob: --lenient applies to decoding only\n" + try_help("ztatob")},
    };
    for (const auto &c : cases) {
        auto [status, out, err] = tool(c.tool, c.args);
        EXPECT_EQ(status, c.status) << c.tool << " " << c.args[0] << ": " << err;
        EXPECT_EQ(err, c.err) << c.tool << " " << c.args[0];
    }
}

TEST_F(ToolsTest, QueueNamesAreServiceNames)
{
    const struct {
        std::string name, why;
    } names[] = {{"../escape", "it contains \"/\""}, {"", "it is empty"},
                 {"..", "it is a directory's own name"}, {std::string(256, 'q'), "it is too long"}};
    for (const auto &n : names) {
        for (const Strings &args : {Strings{"send", n.name, "1", "hi"}, Strings{"recv", n.name},
                                    Strings{"rm", n.name}}) {
            EXPECT_EQ(tool("ztmsg", args),
                      Result(64, "", "ztmsg: \"" + n.name + "\" is not a service name: " + n.why + "\n" +
                                      try_help("ztmsg")));
        }
    }
    EXPECT_NE(access("/tmp/escape", F_OK), 0) << "a queue was keyed outside " ZTMSG_DIR;
}

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

    EXPECT_EQ(tool("ztmsg", {"send", "full", "1", "hi"}), Result(75, "", "ztmsg: send to full: the queue is full\n"));
    auto [status, out, err] = tool("ztmsg", {"send", "*", "3", "all"});
    EXPECT_EQ(status, 75) << "the highest of the failures' statuses";
    EXPECT_NE(err.find("ztmsg: send to gone: no such queue\n"), std::string::npos) << err;
    std::tie(status, out, err) = tool("ztmsg", {"recv", "a", "--wait"});  // the option after the operand
    EXPECT_EQ(status, 0) << err;
    EXPECT_TRUE(std::regex_match(out, std::regex("type 3 from pid [0-9]+, 3 bytes: all\n"))) << out;
    EXPECT_EQ(tool("ztmsg", {"rm", "a"}), Result(0, "", ""));
    EXPECT_EQ(msgget(ftok(ZTMSG_DIR "a", ZTMSG_KEY_ID), 0), -1) << "the queue is still there";
}

double seconds_since(const timespec &start)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
}

TEST_F(ToolsTest, TimeOutsBoundTheWholeExchangeAndOnlyAWholeReplyCounts)
{
    spawn(drip_service, ZTCMD_DIR "/drip");
    for (const std::string name : {"ztrestart", "ztcmd"}) {
        timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        // The tool is killed after 20 s if it waits on.
        EXPECT_EQ(tool(name, {"--timeout", "1", "drip", name == "ztcmd" ? "status" : "request"}, 20),
                  Result(75, "", name + ": service drip: no reply in time\n"));
        EXPECT_LT(seconds_since(start), 4.0) << name;
    }
    // A silent service, with a time-out beyond the transport's own wait.
    ASSERT_GE(restart_server("silent"), 0);
    EXPECT_EQ(tool("ztrestart", {"--timeout", "6", "silent", "request"}, 20),
              Result(75, "", "ztrestart: service silent: no reply in time\n"));
    spawn(short_reply_service, RESTART_UDS_DIR "/short");
    EXPECT_EQ(tool("ztrestart", {"short", "request"}),
              Result(75, "", "ztrestart: service short: no proper reply: Bad message\n"));
}

TEST_F(ToolsTest, ServicesAnswerAndTheListShowsEachWithItsSocketsAndQueue)
{
    spawn(live_service, ZTCMD_DIR "/alpha");
    spawn(drip_service, ZTCMD_DIR "/drip");
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
        {"ztrestart", {"alpha", "check", "a", "-", "-", "1"}, {2, "check: 2 (no property decided)\n", ""}},
        {"ztrestart", {"alpha", "request"}, {1, "request: 4 (not restarted)\n", ""}},
        {"ztrestart", {"alpha", "event", "5", "up"}, {1, "event 5: 2\n", ""}},
        {"ztcmd", {"alpha", "level", "x"}, {1, "level: expected a number from 0 to 9\n", ""}},
        {"ztrestart", {"dead", "request"}, {69, "", "ztrestart: service dead: not listening (Connection refused)\n"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(tool(c.tool, c.args), c.result) << c.tool << " " << c.args[1];

    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    std::string id = std::to_string(queue);
    EXPECT_EQ(tool("ztcmd", {"--list", "-t", "1"}, 20),
              Result(0,
                  "NAME                 RESTART   COMMAND   QUEUE      WAITING\n"
                  "alpha                answers   answers   " + id + std::string(11 - id.size(), ' ') + "2\n"
                  "dead                 refused   absent    -          -\n"
                  "drip                 no-reply  no-reply  -          -\n"
                  "qonly                absent    absent    -          -\n",
                  ""));
    EXPECT_LT(seconds_since(start), 8.0);
}

TEST_F(ToolsTest, BashCompletesVerbsNamesAndOptions)
{
    ASSERT_EQ(mkdir(ZTMSG_DIR, 0777), 0);
    ASSERT_EQ(mkdir(ZTMSG_DIR "q1", 0777), 0);
    const std::pair<std::string, std::string> cases[] = {
        {"ztmsg ''", "send recv rm"}, {"ztmsg send ''", "q1 *"}, {"ztmsg --w", "--wait"},
        {"ztrestart x ''", "check request event"}, {"ztnet role o", "optional"}, {"ztatob --d", "--decode"},
    };
    for (const auto &[line, offered] : cases) {
        std::string script = "source " ZT_COMPLETION_PATH "; COMP_WORDS=(" + line +
                             "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _zttools ${COMP_WORDS[0]}; "
                             "echo \"${COMPREPLY[*]}\"";
        zt_test::ProgramRun run = zt_test::run_program({"/bin/bash", "-c", script});
        EXPECT_EQ(Result(run.status, run.out, run.err), Result(0, offered + "\n", "")) << line;
    }
}

}  // namespace

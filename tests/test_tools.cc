// The operator tools as an operator meets them: options anywhere, one set
// of exit statuses, the checks of queue names, the listing of services,
// the bound on a whole exchange with a service that drips its reply, and
// the bash completion.
#include <errno.h>
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

#include <algorithm>
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

const Strings kTools = {"ztrestart", "ztcmd", "ztmsg", "ztatob", "ztnet"};

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
    // Runs body in a child until the test ends.
    void spawn(void (*body)())
    {
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            body();
            _exit(0);
        }
        children_.push_back(pid);
    }
    std::vector<pid_t> children_;
};

TEST_F(ToolsTest, EveryToolTakesVersionHelpAndNamesAWrongOption)
{
    for (const std::string &name : kTools) {
        SCOPED_TRACE(name);
        EXPECT_EQ(tool(name, {"--version"}), Result(0, name + " (zttools) " ZTTOOLS_VERSION "\n", ""));
        auto [status, out, err] = tool(name, {"--help"});
        EXPECT_EQ(status, 0);
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
        {"ztnet", {"route"}, 64, "ztnet: route takes 1 operand, not 0\n" + try_help("ztnet")},
        {"ztatob", {"-w"}, 64, "ztatob: option requires an argument -- 'w'\n" + try_help("ztatob")},
        {"ztatob", {"--lenient"}, 64, "ztatob: --lenient applies to decoding only\n" + try_help("ztatob")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tool + " " + c.args[0]);
        auto [status, out, err] = tool(c.tool, c.args);
        EXPECT_EQ(std::tie(status, err), std::tie(c.status, c.err));
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
            SCOPED_TRACE(args[0] + " " + n.name.substr(0, 10));
            EXPECT_EQ(tool("ztmsg", args),
                      Result(64, "", "ztmsg: \"" + n.name + "\" is not a service name: " + n.why + "\n" +
                                      try_help("ztmsg")));
        }
    }
    EXPECT_NE(access("/tmp/escape", F_OK), 0) << "a queue was keyed outside " ZTMSG_DIR;
    EXPECT_EQ(tool("ztmsg", {"rm", "*"}),
              Result(64, "", "ztmsg: \"*\" stands for every queue; only send takes it\n" + try_help("ztmsg")));
}

TEST_F(ToolsTest, QueuesAreSentToReadAndRemovedWithTheirFailuresTold)
{
    ASSERT_EQ(mkdir(ZTMSG_DIR, 0777), 0);
    EXPECT_EQ(tool("ztmsg", {"send", "*", "1", "hi"}), Result(69, "", "ztmsg: send to *: no queues under " ZTMSG_DIR "\n"));
    int a, b, full;
    ASSERT_TRUE(ztmsg_init("a", &a) == 0 && ztmsg_init("b", &b) == 0 && ztmsg_init("full", &full) == 0);
    ASSERT_EQ(mkdir(ZTMSG_DIR "gone", 0777), 0);  // a directory without its queue
    struct msqid_ds info;
    ASSERT_EQ(msgctl(full, IPC_STAT, &info), 0);
    info.msg_qbytes = 8;  // less than any message
    ASSERT_EQ(msgctl(full, IPC_SET, &info), 0);

    EXPECT_EQ(tool("ztmsg", {"send", "full", "1", "hi"}), Result(75, "", "ztmsg: send to full: the queue is full\n"));
    auto [status, out, err] = tool("ztmsg", {"send", "*", "3", "all"});
    EXPECT_EQ(status, 75) << "the highest of the failures' statuses";
    Strings lines;
    for (std::istringstream stream(err); std::getline(stream, out);)
        lines.push_back(out);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, Strings({"ztmsg: send to full: the queue is full", "ztmsg: send to gone: no such queue"}));
    for (const char *name : {"a", "b"}) {  // the option after the operand
        auto [status, out, err] = tool("ztmsg", {"recv", name, "--wait"});
        EXPECT_TRUE(status == 0 && std::regex_match(out, std::regex("type 3 from pid [0-9]+, 3 bytes: all\n")))
            << name << ": " << status << " " << out << err;
    }
    EXPECT_EQ(tool("ztmsg", {"rm", "a"}), Result(0, "", ""));
    EXPECT_EQ(msgget(ftok(ZTMSG_DIR "a", ZTMSG_KEY_ID), 0), -1) << "the queue is still there";
    EXPECT_EQ(tool("ztmsg", {"rm", "a"}), Result(69, "", "ztmsg: rm a: no such queue\n"));
}

// A service that accepts and answers every request with a message header
// that promises 1000 bytes, then sends one of them every 100 ms.
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
        void *request = nullptr;
        ztuds_read(connection, &request, nullptr, nullptr, 0);
        free(request);
        ztuds_write(connection, "\3\0\0\0", 4, RESTART_PROTOCOL_ID);
    }
}

int always_status_0(int, char **, char *reply, size_t, void *)
{
    reply[0] = '\0';
    return 0;
}
int no_opinion(const char *, const char *, const char *, void *) { return 2; }
int not_restarted(void *) { return 4; }

void live_service()
{
    ztuds_daemon("alpha", 5, 0, nullptr, nullptr, reinterpret_cast<void *>(always_status_0), no_opinion,
                 not_restarted, nullptr, nullptr, nullptr);
}

double seconds_since(const timespec &start)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
}

bool appears(const char *path)
{
    for (int i = 0; i < 500 && access(path, F_OK) != 0; i++)
        usleep(10000);
    return access(path, F_OK) == 0;
}

TEST_F(ToolsTest, TimeOutsBoundTheWholeExchangeAndOnlyAWholeReplyCounts)
{
    spawn(drip_service);
    ASSERT_TRUE(appears(ZTCMD_DIR "/drip"));
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
    spawn(short_reply_service);
    ASSERT_TRUE(appears(RESTART_UDS_DIR "/short"));
    EXPECT_EQ(tool("ztrestart", {"short", "request"}),
              Result(75, "", "ztrestart: service short: no proper reply: Bad message\n"));
}

TEST_F(ToolsTest, ListShowsEveryServiceItsSocketsAndItsQueue)
{
    spawn(live_service);
    spawn(drip_service);
    ASSERT_TRUE(appears(ZTCMD_DIR "/alpha") && appears(ZTCMD_DIR "/drip"));
    int dead = socket(AF_UNIX, SOCK_STREAM, 0);  // a socket file that nobody listens on
    struct sockaddr_un address = {AF_UNIX, RESTART_UDS_DIR "/dead"};
    ASSERT_EQ(bind(dead, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(dead);
    int queue;
    ASSERT_EQ(ztmsg_init("alpha", &queue), 0);
    ztmsg_message message = {1, 0, 0, {}};
    ASSERT_TRUE(ztmsg_send("alpha", &message) == 0 && ztmsg_send("alpha", &message) == 0);
    ASSERT_EQ(mkdir(ZTMSG_DIR "qonly", 0777), 0);

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
    ASSERT_EQ(mkdir(ZTMSG_DIR, 0777) | mkdir(ZTMSG_DIR "q1", 0777), 0);
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
